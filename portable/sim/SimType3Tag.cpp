#include "SimType3Tag.h"

#include <algorithm>
#include <cstring>

#include "SimBytes.h"

namespace sim {

namespace {

const size_t BlockSize = 16;
const uint8_t CommandPolling = 0x00;
const uint8_t CommandReadWithoutEncryption = 0x06;
const uint16_t NdefServiceCode = 0x000B;
// Nbr of the attribute block: the most blocks one Read Without Encryption may ask for.
const uint8_t MaximumBlocksPerRead = 4;
const size_t IdmLength = 8;

// Status flags of a refused command: flag 1 FF (the command as a whole), flag 2 the reason.
const uint8_t ErrorNumberOfServices = 0xA1;
const uint8_t ErrorNumberOfBlocks = 0xA2;
const uint8_t ErrorServiceCodeListOrder = 0xA3;
const uint8_t ErrorServiceCode = 0xA6;
const uint8_t ErrorBlockNumber = 0xA8;

std::vector<uint8_t> attributeBlock(size_t ndefLength)
{
    const size_t dataBlocks = (ndefLength + BlockSize - 1) / BlockSize;
    std::vector<uint8_t> block(BlockSize, 0);
    block[0] = 0x10;  // mapping version 1.0
    block[1] = MaximumBlocksPerRead;
    block[2] = 1;     // Nbw
    putBigEndian(&block[3], static_cast<uint32_t>(dataBlocks), 2);  // Nmaxb
    block[9] = 0x00;  // WriteF: no write in progress
    block[10] = 0x00; // RWFlag: read only
    putBigEndian(&block[11], static_cast<uint32_t>(ndefLength), 3);  // Ln
    unsigned sum = 0;
    for (size_t i = 0; i < 14; ++i) {
        sum += block[i];
    }
    putBigEndian(&block[14], sum, 2);
    return block;
}

}  // namespace

SimType3Tag::SimType3Tag(const std::vector<uint8_t> &idm, const std::vector<uint8_t> &pmm,
                         const std::vector<uint8_t> &requestData, const std::vector<uint8_t> &ndefMessage)
    : m_Idm(idm), m_Pmm(pmm), m_RequestData(requestData)
{
    // Block 0, then the message padded with zeros to whole blocks.
    const std::vector<uint8_t> attributes = attributeBlock(ndefMessage.size());
    m_Blocks.assign((1 + (ndefMessage.size() + BlockSize - 1) / BlockSize) * BlockSize, 0);
    std::copy(attributes.begin(), attributes.end(), m_Blocks.begin());
    std::copy(ndefMessage.begin(), ndefMessage.end(), m_Blocks.begin() + BlockSize);
}

bool SimType3Tag::answer(const uint8_t *frame, size_t length, std::vector<uint8_t> &response) const
{
    response.clear();
    // A frame with a wrong length byte is noise to the card.
    if (length < 2 || frame[0] != length) {
        return false;
    }
    switch (frame[1]) {
    case CommandPolling:
        return answerPolling(frame, length, response);
    case CommandReadWithoutEncryption:
        return answerRead(frame, length, response);
    default:
        return false;
    }
}

bool SimType3Tag::answerPolling(const uint8_t *frame, size_t length, std::vector<uint8_t> &response) const
{
    if (length != 6) {
        return false;
    }
    const uint8_t *systemCode = frame + 2;
    const bool wildcard = systemCode[0] == 0xFF && systemCode[1] == 0xFF;
    const bool ours = m_RequestData.size() >= 2 && std::memcmp(systemCode, m_RequestData.data(), 2) == 0;
    if (!wildcard && !ours) {
        return false;
    }
    response.push_back(0);
    response.push_back(CommandPolling + 1);
    response.insert(response.end(), m_Idm.begin(), m_Idm.end());
    response.insert(response.end(), m_Pmm.begin(), m_Pmm.end());
    if (frame[4] == 0x01) {  // request code: system code
        response.insert(response.end(), m_RequestData.begin(), m_RequestData.end());
    }
    finishFrame(response);
    return true;
}

bool SimType3Tag::answerRead(const uint8_t *frame, size_t length, std::vector<uint8_t> &response) const
{
    // LEN, code, IDm, number of services
    if (length < 2 + IdmLength + 1 || std::memcmp(frame + 2, m_Idm.data(), IdmLength) != 0) {
        return false;
    }
    size_t position = 2 + IdmLength;
    const size_t services = frame[position++];
    if (position + 2 * services + 1 > length) {
        return false;
    }
    const uint8_t *serviceList = frame + position;
    position += 2 * services;
    const size_t blocks = frame[position++];

    // Parse the whole block list before judging it: a cut-off frame gets no response.
    std::vector<uint16_t> blockNumbers;
    std::vector<uint8_t> serviceOrders;
    for (size_t i = 0; i < blocks; ++i) {
        if (position >= length) {
            return false;
        }
        const uint8_t head = frame[position];
        const size_t elementLength = (head & 0x80) ? 2 : 3;
        if (position + elementLength > length) {
            return false;
        }
        serviceOrders.push_back(head & 0x0F);
        blockNumbers.push_back(elementLength == 2 ? frame[position + 1] : littleEndian16(frame + position + 1));
        position += elementLength;
    }
    if (position != length) {
        return false;
    }

    response.push_back(0);
    response.push_back(CommandReadWithoutEncryption + 1);
    response.insert(response.end(), m_Idm.begin(), m_Idm.end());
    uint8_t error = 0;
    if (services < 1 || services > 16) {
        error = ErrorNumberOfServices;
    } else if (blocks < 1 || blocks > MaximumBlocksPerRead) {
        error = ErrorNumberOfBlocks;
    } else {
        for (size_t i = 0; i < services && error == 0; ++i) {
            if (littleEndian16(serviceList + 2 * i) != NdefServiceCode) {
                error = ErrorServiceCode;
            }
        }
        for (size_t i = 0; i < blocks && error == 0; ++i) {
            if (serviceOrders[i] >= services) {
                error = ErrorServiceCodeListOrder;
            } else if (static_cast<size_t>(blockNumbers[i]) * BlockSize >= m_Blocks.size()) {
                error = ErrorBlockNumber;
            }
        }
    }
    if (error != 0) {
        response.push_back(0xFF);
        response.push_back(error);
    } else {
        response.push_back(0x00);
        response.push_back(0x00);
        response.push_back(static_cast<uint8_t>(blocks));
        for (uint16_t number : blockNumbers) {
            const auto start = m_Blocks.begin() + static_cast<size_t>(number) * BlockSize;
            response.insert(response.end(), start, start + BlockSize);
        }
    }
    finishFrame(response);
    return true;
}

void SimType3Tag::finishFrame(std::vector<uint8_t> &response) const
{
    response[0] = static_cast<uint8_t>(response.size());
}

}  // namespace sim
