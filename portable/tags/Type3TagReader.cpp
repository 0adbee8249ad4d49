#include "Type3TagReader.h"

#include <algorithm>
#include <cstring>

#include "TagHex.h"

namespace {

const uint8_t CommandReadWithoutEncryption = 0x06;
const uint8_t ResponseReadWithoutEncryption = 0x07;
const uint16_t NdefServiceCode = 0x000B;
const uint8_t WriteInProgress = 0x0F;
// Length byte, response code, IDm, two status flags, number of blocks.
const size_t ResponseHeadSize = 1 + 1 + 8 + 2 + 1;

}  // namespace

bool Type3TagReader::parseAttributeBlock(const uint8_t *block, size_t size, Type3AttributeInformation &info,
                                         std::string &error)
{
    if (size != BlockSize) {
        error = "attribute information block of " + std::to_string(size) + " bytes";
        return false;
    }
    unsigned sum = 0;
    for (size_t i = 0; i < 14; ++i) {
        sum += block[i];
    }
    if (sum != static_cast<unsigned>(block[14] << 8 | block[15])) {
        error = "attribute information block: checksum error";
        return false;
    }
    info.version = block[0];
    info.blocksPerRead = block[1];
    info.blocksPerWrite = block[2];
    info.maximumBlocks = static_cast<uint16_t>(block[3] << 8 | block[4]);
    info.writeFlag = block[9];
    info.accessFlag = block[10];
    info.messageLength = static_cast<uint32_t>(block[11]) << 16 | static_cast<uint32_t>(block[12]) << 8 | block[13];
    if ((info.version >> 4) != 1) {
        error = "mapping version " + std::to_string(info.version >> 4) + "." + std::to_string(info.version & 0x0F) +
                " is not supported (1.x is)";
        return false;
    }
    if (info.blocksPerRead == 0 || info.blocksPerRead > MostBlocksPerRead) {
        error = "Nbr " + std::to_string(info.blocksPerRead) + " is outside 1 to 15";
        return false;
    }
    if (info.messageLength > capacity(info)) {
        error = "Ln " + std::to_string(info.messageLength) + " exceeds Nmaxb " + std::to_string(info.maximumBlocks) +
                " blocks of 16 bytes";
        return false;
    }
    if (info.writeFlag != 0x00 && info.writeFlag != WriteInProgress) {
        error = "WriteFlag " + tagHex(info.writeFlag) + " is invalid";
        return false;
    }
    return true;
}

bool Type3TagReader::readCommand(const uint8_t *idm, size_t first, size_t count, std::vector<uint8_t> &frame)
{
    if (count == 0 || count > MostBlocksPerRead || first > 0xFFFF || count - 1 > 0xFFFF - first) {
        return false;
    }
    frame = {0, CommandReadWithoutEncryption};
    frame.insert(frame.end(), idm, idm + IdmSize);
    frame.insert(frame.end(), {0x01, static_cast<uint8_t>(NdefServiceCode), static_cast<uint8_t>(NdefServiceCode >> 8),
                               static_cast<uint8_t>(count)});
    for (size_t i = 0; i < count; ++i) {
        const size_t block = first + i;
        if (block <= 0xFF) {
            frame.insert(frame.end(), {0x80, static_cast<uint8_t>(block)});  // two-byte element
        } else {
            frame.insert(frame.end(), {0x00, static_cast<uint8_t>(block), static_cast<uint8_t>(block >> 8)});
        }
    }
    // At most 14 + 15 * 3 bytes: the length byte cannot wrap.
    frame[0] = static_cast<uint8_t>(frame.size());
    return true;
}

Type3TagReader::Type3TagReader(const std::vector<uint8_t> &idm) : m_Idm(idm)
{
    if (m_Idm.size() != IdmSize) {
        fail(TagReadOutcome::InvalidTag, "NFCID2 of " + std::to_string(m_Idm.size()) + " bytes, 8 needed");
    }
}

void Type3TagReader::fail(TagReadOutcome outcome, const std::string &report)
{
    m_Outcome = outcome;
    m_Report = report;
    m_Done = true;
}

bool Type3TagReader::nextCommand(std::vector<uint8_t> &frame)
{
    if (m_Done) {
        return false;
    }
    if (!m_AttributesRead) {
        m_Asked = 1;
        return readCommand(m_Idm.data(), 0, 1, frame);
    }
    m_Asked = std::min<size_t>(m_Info.blocksPerRead, m_DataBlocks + 1 - m_NextBlock);
    if (!readCommand(m_Idm.data(), m_NextBlock, m_Asked, frame)) {
        // Ln <= Nmaxb * 16 keeps every block number within 16 bits; kept as a guard.
        fail(TagReadOutcome::InvalidTag, "block " + std::to_string(m_NextBlock) + " cannot be addressed");
        return false;
    }
    return true;
}

void Type3TagReader::takeResponse(const uint8_t *response, size_t length)
{
    if (m_Done) {
        return;
    }
    const char *what = m_AttributesRead ? "Read Without Encryption of the NDEF data"
                                        : "Read Without Encryption of the attribute information block";
    if (length < 12 || response[0] != length || response[1] != ResponseReadWithoutEncryption ||
        std::memcmp(response + 2, m_Idm.data(), IdmSize) != 0) {
        fail(TagReadOutcome::InvalidTag, std::string("malformed answer to the ") + what);
        return;
    }
    if (response[10] != 0x00 || response[11] != 0x00) {
        fail(TagReadOutcome::Refused, std::string("the card refused the ") + what + ": status flags " +
                                          tagHex(response[10]) + " " + tagHex(response[11]));
        return;
    }
    if (length != ResponseHeadSize + BlockSize * m_Asked || response[12] != m_Asked) {
        fail(TagReadOutcome::InvalidTag, std::string("answer to the ") + what + " does not hold the " +
                                             std::to_string(m_Asked) + " blocks asked for");
        return;
    }
    const uint8_t *blocks = response + ResponseHeadSize;
    if (!m_AttributesRead) {
        std::string error;
        if (!parseAttributeBlock(blocks, BlockSize, m_Info, error)) {
            fail(TagReadOutcome::InvalidTag, error);
            return;
        }
        m_AttributesRead = true;
        // A write that was cut leaves WriteFlag 0F: the data is not valid, and the tag holds no
        // message until the next write ends.
        if (m_Info.writeFlag == WriteInProgress) {
            m_Report = "a write was cut (WriteFlag 0F): no valid message until the next write";
        }
        if (m_Info.messageLength == 0 || m_Info.writeFlag == WriteInProgress) {
            m_Outcome = TagReadOutcome::NoMessage;
            m_Done = true;
            return;
        }
        m_DataBlocks = (m_Info.messageLength + BlockSize - 1) / BlockSize;
        m_Message.reserve(m_Info.messageLength);
        m_NextBlock = 1;
        return;
    }
    const size_t wanted = std::min(BlockSize * m_Asked, m_Info.messageLength - m_Message.size());
    m_Message.insert(m_Message.end(), blocks, blocks + wanted);
    m_NextBlock += m_Asked;
    if (m_Message.size() == m_Info.messageLength) {
        m_Outcome = TagReadOutcome::Message;
        m_Done = true;
    }
}
