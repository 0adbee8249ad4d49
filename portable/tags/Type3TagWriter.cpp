#include "Type3TagWriter.h"

#include <algorithm>
#include <cstring>

#include "TagHex.h"

namespace {

const uint8_t CommandWriteWithoutEncryption = 0x08;
const uint8_t ResponseWriteWithoutEncryption = 0x09;
const uint8_t ResponseReadWithoutEncryption = 0x07;
const uint16_t NdefWriteServiceCode = 0x0009;
const uint8_t WriteInProgress = 0x0F;
const uint8_t ReadWrite = 0x01;
const size_t BlockSize = Type3TagReader::BlockSize;
const size_t IdmSize = Type3TagReader::IdmSize;
const size_t LargestFrame = 0xFF;
// Length byte, command code, IDm, one service code, number of blocks.
const size_t WriteHeadSize = 1 + 1 + 8 + 1 + 2 + 1;
// Length byte, response code, IDm, two status flags.
const size_t WriteAnswerSize = 1 + 1 + 8 + 2;

size_t blockListSize(size_t block)
{
    return block <= 0xFF ? 2 : 3;
}

}  // namespace

bool Type3TagWriter::writeCommand(const uint8_t *idm, size_t first, size_t count, const uint8_t *data, size_t size,
                                  std::vector<uint8_t> &frame)
{
    if (count == 0 || first > 0xFFFF || count - 1 > 0xFFFF - first || size != count * BlockSize) {
        return false;
    }
    size_t frameSize = WriteHeadSize + size;
    for (size_t block = first; block < first + count; ++block) {
        frameSize += blockListSize(block);
    }
    if (frameSize > LargestFrame) {
        return false;
    }
    frame = {static_cast<uint8_t>(frameSize), CommandWriteWithoutEncryption};
    frame.insert(frame.end(), idm, idm + IdmSize);
    frame.insert(frame.end(), {0x01, static_cast<uint8_t>(NdefWriteServiceCode),
                               static_cast<uint8_t>(NdefWriteServiceCode >> 8), static_cast<uint8_t>(count)});
    for (size_t block = first; block < first + count; ++block) {
        if (blockListSize(block) == 2) {
            frame.insert(frame.end(), {0x80, static_cast<uint8_t>(block)});
        } else {
            frame.insert(frame.end(), {0x00, static_cast<uint8_t>(block), static_cast<uint8_t>(block >> 8)});
        }
    }
    frame.insert(frame.end(), data, data + size);
    return true;
}

void Type3TagWriter::sealAttributeBlock(uint8_t *block)
{
    unsigned sum = 0;
    for (size_t i = 0; i < 14; ++i) {
        sum += block[i];
    }
    block[14] = static_cast<uint8_t>(sum >> 8);
    block[15] = static_cast<uint8_t>(sum);
}

Type3TagWriter::Type3TagWriter(const std::vector<uint8_t> &idm, const std::vector<uint8_t> &message)
    : m_Idm(idm), m_Data(message), m_MessageLength(message.size())
{
    m_Data.resize((message.size() + BlockSize - 1) / BlockSize * BlockSize, 0x00);
    if (m_Idm.size() != IdmSize) {
        fail(TagWriteOutcome::InvalidTag, "NFCID2 of " + std::to_string(m_Idm.size()) + " bytes, 8 needed");
    }
}

void Type3TagWriter::fail(TagWriteOutcome outcome, const std::string &report)
{
    m_Outcome = outcome;
    m_Report = report;
    m_Step = Step::Done;
}

const char *Type3TagWriter::stepName() const
{
    switch (m_Step) {
    case Step::ReadAttributes: return "Read Without Encryption of the attribute information block";
    case Step::MarkWriting: return "Write Without Encryption of WriteFlag 0F";
    case Step::WriteBlocks: return "Write Without Encryption of the NDEF data";
    default: return "Write Without Encryption of Ln";
    }
}

bool Type3TagWriter::nextCommand(std::vector<uint8_t> &frame)
{
    switch (m_Step) {
    case Step::ReadAttributes:
        return Type3TagReader::readCommand(m_Idm.data(), 0, 1, frame);
    case Step::MarkWriting:
    case Step::WriteAttributes:
        return writeCommand(m_Idm.data(), 0, 1, m_Attributes, BlockSize, frame);
    case Step::WriteBlocks: {
        // Nbw blocks, fewer when the frame's length byte could not count them.
        const size_t left = m_Data.size() / BlockSize - m_NextBlock;
        for (m_Sent = std::min<size_t>(m_Info.blocksPerWrite, left); m_Sent > 0; --m_Sent) {
            if (writeCommand(m_Idm.data(), 1 + m_NextBlock, m_Sent, m_Data.data() + m_NextBlock * BlockSize,
                             m_Sent * BlockSize, frame)) {
                return true;
            }
        }
        fail(TagWriteOutcome::InvalidTag, "block " + std::to_string(1 + m_NextBlock) + " cannot be addressed");
        return false;
    }
    default:
        return false;
    }
}

void Type3TagWriter::takeResponse(const uint8_t *response, size_t length)
{
    if (m_Step == Step::Done) {
        return;
    }
    const bool reading = m_Step == Step::ReadAttributes;
    const uint8_t code = reading ? ResponseReadWithoutEncryption : ResponseWriteWithoutEncryption;
    if (length < WriteAnswerSize || response[0] != length || response[1] != code ||
        std::memcmp(response + 2, m_Idm.data(), IdmSize) != 0) {
        fail(TagWriteOutcome::InvalidTag, std::string("malformed answer to the ") + stepName());
        return;
    }
    if (response[10] != 0x00 || response[11] != 0x00) {
        fail(TagWriteOutcome::Refused, std::string("the card refused the ") + stepName() + ": status flags " +
                                           tagHex(response[10]) + " " + tagHex(response[11]));
        return;
    }
    if (!reading && length != WriteAnswerSize) {
        fail(TagWriteOutcome::InvalidTag, std::string("malformed answer to the ") + stepName());
        return;
    }
    switch (m_Step) {
    case Step::ReadAttributes: {
        if (length != WriteAnswerSize + 1 + BlockSize || response[12] != 1) {
            fail(TagWriteOutcome::InvalidTag, std::string("answer to the ") + stepName() + " does not hold 1 block");
            return;
        }
        std::memcpy(m_Attributes, response + WriteAnswerSize + 1, BlockSize);
        std::string error;
        if (!Type3TagReader::parseAttributeBlock(m_Attributes, BlockSize, m_Info, error)) {
            fail(TagWriteOutcome::InvalidTag, error);
            return;
        }
        if (m_Info.accessFlag != ReadWrite) {
            fail(TagWriteOutcome::ReadOnly, "the tag is read-only (RWFlag " + tagHex(m_Info.accessFlag) + ")");
            return;
        }
        if (m_Info.blocksPerWrite == 0) {
            fail(TagWriteOutcome::InvalidTag, "Nbw is 0");
            return;
        }
        const size_t capacity = Type3TagReader::capacity(m_Info);
        if (m_MessageLength > capacity) {
            fail(TagWriteOutcome::TooLarge, "a message of " + std::to_string(m_MessageLength) +
                                                " bytes does not fit the tag's " + std::to_string(capacity));
            return;
        }
        m_Attributes[9] = WriteInProgress;
        sealAttributeBlock(m_Attributes);
        m_Step = Step::MarkWriting;
        return;
    }
    case Step::MarkWriting:
        m_Step = m_Data.empty() ? Step::WriteAttributes : Step::WriteBlocks;
        break;
    case Step::WriteBlocks:
        m_NextBlock += m_Sent;
        if (m_NextBlock * BlockSize < m_Data.size()) {
            return;
        }
        m_Step = Step::WriteAttributes;
        break;
    case Step::WriteAttributes:
        m_Outcome = TagWriteOutcome::Written;
        m_Step = Step::Done;
        return;
    default:
        return;
    }
    if (m_Step == Step::WriteAttributes) {
        m_Attributes[9] = 0x00;
        m_Attributes[11] = static_cast<uint8_t>(m_MessageLength >> 16);
        m_Attributes[12] = static_cast<uint8_t>(m_MessageLength >> 8);
        m_Attributes[13] = static_cast<uint8_t>(m_MessageLength);
        sealAttributeBlock(m_Attributes);
    }
}
