#include "SimType3Tag.h"

#include <algorithm>
#include <cstring>

#include "SimBytes.h"

namespace sim {

const size_t SimType3Tag::BlockSize;
const uint8_t SimType3Tag::MaximumBlocksPerWrite;
const size_t SimType3Tag::SmallestWritableCapacity;
const size_t SimType3Tag::LargestWritableCapacity;

namespace {

const uint8_t CommandPolling = 0x00;
const uint8_t CommandReadWithoutEncryption = 0x06;
const uint8_t CommandWriteWithoutEncryption = 0x08;
const uint16_t NdefServiceCode = 0x000B;       // read only access
const uint16_t NdefWriteServiceCode = 0x0009;  // read/write access
// Nbr of the attribute block: the most blocks one Read Without Encryption may ask for.
const uint8_t MaximumBlocksPerRead = 4;
const size_t IdmLength = 8;
const size_t BlockSize = SimType3Tag::BlockSize;

// Status flags of a refused command: flag 1 FF (the command as a whole), flag 2 the reason.
const uint8_t ErrorNumberOfServices = 0xA1;
const uint8_t ErrorNumberOfBlocks = 0xA2;
const uint8_t ErrorServiceCodeListOrder = 0xA3;
const uint8_t ErrorAccessNotAllowed = 0xA5;
const uint8_t ErrorServiceCode = 0xA6;
const uint8_t ErrorBlockNumber = 0xA8;

size_t blocksFor(size_t bytes)
{
    return (bytes + BlockSize - 1) / BlockSize;
}

std::vector<uint8_t> attributeBlock(size_t ndefLength, size_t dataBlocks, bool writable)
{
    std::vector<uint8_t> block(BlockSize, 0);
    block[0] = 0x10;  // mapping version 1.0
    block[1] = MaximumBlocksPerRead;
    block[2] = writable ? SimType3Tag::MaximumBlocksPerWrite : 1;  // Nbw
    putBigEndian(&block[3], static_cast<uint32_t>(dataBlocks), 2);  // Nmaxb
    block[9] = 0x00;                    // WriteF: no write in progress
    block[10] = writable ? 0x01 : 0x00;  // RWFlag
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
    layOut(ndefMessage, blocksFor(ndefMessage.size()));
}

SimType3Tag::SimType3Tag(const std::vector<uint8_t> &idm, const std::vector<uint8_t> &pmm,
                         const std::vector<uint8_t> &requestData, const std::vector<uint8_t> &ndefMessage,
                         size_t capacity)
    : m_Idm(idm), m_Pmm(pmm), m_RequestData(requestData), m_Writable(true)
{
    layOut(ndefMessage, blocksFor(std::max(capacity, ndefMessage.size())));
}

void SimType3Tag::layOut(const std::vector<uint8_t> &ndefMessage, size_t dataBlocks)
{
    // Block 0, then the message padded with zeros to whole blocks.
    const std::vector<uint8_t> attributes = attributeBlock(ndefMessage.size(), dataBlocks, m_Writable);
    m_Blocks.assign((1 + dataBlocks) * BlockSize, 0);
    std::copy(attributes.begin(), attributes.end(), m_Blocks.begin());
    std::copy(ndefMessage.begin(), ndefMessage.end(), m_Blocks.begin() + BlockSize);
}

bool SimType3Tag::answer(const uint8_t *frame, size_t length, std::vector<uint8_t> &response)
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
    case CommandWriteWithoutEncryption:
        return answerWrite(frame, length, response);
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

bool SimType3Tag::parseBlockAccess(const uint8_t *frame, size_t length, bool dataBlocks, BlockAccess &access) const
{
    // LEN, code, IDm, number of services
    if (length < 2 + IdmLength + 1 || std::memcmp(frame + 2, m_Idm.data(), IdmLength) != 0) {
        return false;
    }
    size_t position = 2 + IdmLength;
    access.services = frame[position++];
    if (position + 2 * access.services + 1 > length) {
        return false;
    }
    access.serviceList = frame + position;
    position += 2 * access.services;
    const size_t blocks = frame[position++];

    // Parse the whole block list before judging it: a cut-off frame gets no response.
    for (size_t i = 0; i < blocks; ++i) {
        if (position >= length) {
            return false;
        }
        const uint8_t head = frame[position];
        const size_t elementLength = (head & 0x80) ? 2 : 3;
        if (position + elementLength > length) {
            return false;
        }
        access.serviceOrders.push_back(head & 0x0F);
        access.blockNumbers.push_back(elementLength == 2 ? frame[position + 1]
                                                         : littleEndian16(frame + position + 1));
        position += elementLength;
    }
    access.data = frame + position;
    return length - position == (dataBlocks ? blocks * BlockSize : 0);
}

uint8_t SimType3Tag::checkBlockAccess(const BlockAccess &access, uint16_t serviceCode, size_t mostBlocks) const
{
    const size_t blocks = access.blockNumbers.size();
    if (access.services < 1 || access.services > 16) {
        return ErrorNumberOfServices;
    }
    if (blocks < 1 || blocks > mostBlocks) {
        return ErrorNumberOfBlocks;
    }
    for (size_t i = 0; i < access.services; ++i) {
        if (littleEndian16(access.serviceList + 2 * i) != serviceCode) {
            return ErrorServiceCode;
        }
    }
    for (size_t i = 0; i < blocks; ++i) {
        if (access.serviceOrders[i] >= access.services) {
            return ErrorServiceCodeListOrder;
        }
        if (static_cast<size_t>(access.blockNumbers[i]) * BlockSize >= m_Blocks.size()) {
            return ErrorBlockNumber;
        }
    }
    return 0;
}

void SimType3Tag::beginResponse(uint8_t code, std::vector<uint8_t> &response) const
{
    response.push_back(0);
    response.push_back(code);
    response.insert(response.end(), m_Idm.begin(), m_Idm.end());
}

bool SimType3Tag::answerRead(const uint8_t *frame, size_t length, std::vector<uint8_t> &response) const
{
    BlockAccess access;
    if (!parseBlockAccess(frame, length, false, access)) {
        return false;
    }
    beginResponse(CommandReadWithoutEncryption + 1, response);
    const uint8_t error = checkBlockAccess(access, NdefServiceCode, MaximumBlocksPerRead);
    if (error != 0) {
        response.push_back(0xFF);
        response.push_back(error);
    } else {
        response.push_back(0x00);
        response.push_back(0x00);
        response.push_back(static_cast<uint8_t>(access.blockNumbers.size()));
        for (uint16_t number : access.blockNumbers) {
            const auto start = m_Blocks.begin() + static_cast<size_t>(number) * BlockSize;
            response.insert(response.end(), start, start + BlockSize);
        }
    }
    finishFrame(response);
    return true;
}

bool SimType3Tag::answerWrite(const uint8_t *frame, size_t length, std::vector<uint8_t> &response)
{
    BlockAccess access;
    if (!parseBlockAccess(frame, length, true, access)) {
        return false;
    }
    beginResponse(CommandWriteWithoutEncryption + 1, response);
    // A read only tag has no service that may be written; a refused frame writes nothing.
    const uint8_t error =
        m_Writable ? checkBlockAccess(access, NdefWriteServiceCode, MaximumBlocksPerWrite) : ErrorAccessNotAllowed;
    if (error != 0) {
        response.push_back(0xFF);
        response.push_back(error);
    } else {
        for (size_t i = 0; i < access.blockNumbers.size(); ++i) {
            const uint8_t *data = access.data + i * BlockSize;
            const size_t at = static_cast<size_t>(access.blockNumbers[i]) * BlockSize;
            std::copy(data, data + BlockSize, m_Blocks.begin() + at);
        }
        response.push_back(0x00);
        response.push_back(0x00);
    }
    finishFrame(response);
    return true;
}

void SimType3Tag::finishFrame(std::vector<uint8_t> &response) const
{
    response[0] = static_cast<uint8_t>(response.size());
}

}  // namespace sim
