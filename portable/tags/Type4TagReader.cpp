#include "Type4TagReader.h"

#include <algorithm>

#include "TagHex.h"

namespace {

// SELECT by name of the NDEF application (D2760000850101), Le 00.
const uint8_t SelectNdefApplication[] = {0x00, 0xA4, 0x04, 0x00, 0x07, 0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x01, 0x00};
const uint8_t NdefFileControlTlv = 0x04;
const uint8_t ExtendedNdefFileControlTlv = 0x06;
const size_t NlenSize = 2;

uint16_t bigEndian16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

}  // namespace

bool Type4TagReader::parseCapabilityContainer(const uint8_t *data, size_t size, Type4CapabilityContainer &cc,
                                              std::string &error)
{
    if (size < CapabilityContainerSize) {
        error = "capability container of " + std::to_string(size) + " bytes, 15 needed";
        return false;
    }
    cc.length = bigEndian16(data);
    cc.mappingVersion = data[2];
    cc.maximumRead = bigEndian16(data + 3);
    cc.maximumCommand = bigEndian16(data + 5);
    if (cc.length < CapabilityContainerSize || cc.length == 0xFFFF) {
        error = "capability container length " + std::to_string(cc.length) + " is invalid";
        return false;
    }
    const unsigned major = cc.mappingVersion >> 4;
    if (major != 2 && major != 3) {
        error = "mapping version " + std::to_string(major) + "." + std::to_string(cc.mappingVersion & 0x0F) +
                " is not supported (2.x and 3.x are)";
        return false;
    }
    if (cc.maximumRead < 0x000F) {
        error = "MLe " + std::to_string(cc.maximumRead) + " is below 15";
        return false;
    }
    if (cc.maximumCommand < 0x0001) {
        error = "MLc is 0";
        return false;
    }
    if (data[7] == ExtendedNdefFileControlTlv) {
        error = "extended NDEF file (32-bit lengths) is not supported";
        return false;
    }
    if (data[7] != NdefFileControlTlv || data[8] != 0x06) {
        error = "no NDEF file control TLV (found T " + tagHex(data[7]) + ", L " + tagHex(data[8]) + ")";
        return false;
    }
    cc.ndefFileId = bigEndian16(data + 9);
    cc.maximumNdefSize = bigEndian16(data + 11);
    cc.readAccess = data[13];
    cc.writeAccess = data[14];
    const uint16_t id = cc.ndefFileId;
    if (id == 0x0000 || id == 0xE102 || id == CapabilityContainerFileId || id == 0x3F00 || id == 0x3FFF ||
        id == 0xFFFF) {
        error = "NDEF file identifier " + tagHex(id, 4) + " is reserved";
        return false;
    }
    if (cc.maximumNdefSize < 0x0005 || cc.maximumNdefSize == 0xFFFF) {
        error = "maximum NDEF file size " + std::to_string(cc.maximumNdefSize) + " is invalid";
        return false;
    }
    if (cc.readAccess != 0x00) {
        error = "read access to the NDEF file is not granted (" + tagHex(cc.readAccess) + ")";
        return false;
    }
    return true;
}

size_t Type4TagReader::capacity(const Type4CapabilityContainer &cc)
{
    return cc.maximumNdefSize < NlenSize ? 0 : std::min<size_t>(cc.maximumNdefSize - NlenSize, LargestOffset + 1 - NlenSize);
}

std::vector<uint8_t> Type4TagReader::selectApplicationCommand()
{
    return std::vector<uint8_t>(SelectNdefApplication, SelectNdefApplication + sizeof(SelectNdefApplication));
}

std::vector<uint8_t> Type4TagReader::selectFileCommand(uint16_t id)
{
    return {0x00, 0xA4, 0x00, 0x0C, 0x02, static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)};
}

bool Type4TagReader::readBinaryCommand(size_t offset, size_t length, std::vector<uint8_t> &apdu)
{
    if (offset > LargestOffset || length == 0 || length > 0xFF) {
        return false;
    }
    apdu = {0x00, 0xB0, static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset), static_cast<uint8_t>(length)};
    return true;
}

void Type4TagReader::fail(TagReadOutcome outcome, const std::string &report)
{
    m_Outcome = outcome;
    m_Report = report;
    m_Step = Step::Done;
}

const char *Type4TagReader::stepName() const
{
    switch (m_Step) {
    case Step::SelectApplication: return "SELECT of the NDEF application";
    case Step::SelectCapabilityContainer: return "SELECT of the capability container";
    case Step::ReadCapabilityContainer: return "READ BINARY of the capability container";
    case Step::SelectNdefFile: return "SELECT of the NDEF file";
    case Step::ReadLength: return "READ BINARY of NLEN";
    default: return "READ BINARY of the NDEF message";
    }
}

bool Type4TagReader::nextCommand(std::vector<uint8_t> &apdu)
{
    switch (m_Step) {
    case Step::SelectApplication:
        apdu = Type4TagReader::selectApplicationCommand();
        return true;
    case Step::SelectCapabilityContainer:
        apdu = Type4TagReader::selectFileCommand(Type4TagReader::CapabilityContainerFileId);
        return true;
    case Step::ReadCapabilityContainer:
        m_Asked = CapabilityContainerSize;
        return readBinaryCommand(0, m_Asked, apdu);
    case Step::SelectNdefFile:
        apdu = Type4TagReader::selectFileCommand(m_Cc.ndefFileId);
        return true;
    case Step::ReadLength:
        m_Asked = NlenSize;
        return readBinaryCommand(0, m_Asked, apdu);
    case Step::ReadMessage: {
        // MLe bounds each answer; a short Le bounds it to 255 here.
        const size_t most = std::min<size_t>(m_Cc.maximumRead, 0xFF);
        m_Asked = std::min(most, m_MessageLength - m_Message.size());
        const size_t offset = NlenSize + m_Message.size();
        if (!readBinaryCommand(offset, m_Asked, apdu)) {
            // Checked when NLEN was read; kept as a guard for the arithmetic above.
            fail(TagReadOutcome::InvalidTag, "NDEF message reaches offset " + std::to_string(offset));
            return false;
        }
        return true;
    }
    default:
        return false;
    }
}

void Type4TagReader::takeResponse(const uint8_t *response, size_t length)
{
    if (m_Step == Step::Done) {
        return;
    }
    if (length < 2) {
        fail(TagReadOutcome::InvalidTag, std::string("answer to the ") + stepName() + " has no status word");
        return;
    }
    const uint16_t status = bigEndian16(response + length - 2);
    if (status != StatusOk) {
        fail(TagReadOutcome::Refused, std::string("the card refused the ") + stepName() + ": status word " + tagHex(status, 4));
        return;
    }
    const uint8_t *data = response;
    const size_t dataLength = length - 2;
    const bool isRead = m_Step == Step::ReadCapabilityContainer || m_Step == Step::ReadLength ||
                        m_Step == Step::ReadMessage;
    if (isRead && dataLength != m_Asked) {
        fail(TagReadOutcome::InvalidTag, std::string("the card sent ") + std::to_string(dataLength) +
                                             " bytes instead of " + std::to_string(m_Asked) + " to the " + stepName());
        return;
    }
    switch (m_Step) {
    case Step::SelectApplication:
        m_Step = Step::SelectCapabilityContainer;
        break;
    case Step::SelectCapabilityContainer:
        m_Step = Step::ReadCapabilityContainer;
        break;
    case Step::ReadCapabilityContainer: {
        std::string error;
        if (!parseCapabilityContainer(data, dataLength, m_Cc, error)) {
            fail(TagReadOutcome::InvalidTag, "capability container: " + error);
            return;
        }
        m_Step = Step::SelectNdefFile;
        break;
    }
    case Step::SelectNdefFile:
        m_Step = Step::ReadLength;
        break;
    case Step::ReadLength:
        m_MessageLength = bigEndian16(data);
        if (m_MessageLength == 0) {
            m_Outcome = TagReadOutcome::NoMessage;
            m_Step = Step::Done;
        } else if (m_MessageLength > static_cast<size_t>(m_Cc.maximumNdefSize) - NlenSize) {
            fail(TagReadOutcome::InvalidTag, "NLEN " + std::to_string(m_MessageLength) +
                                                 " exceeds the NDEF file size " + std::to_string(m_Cc.maximumNdefSize) +
                                                 " of the capability container");
        } else if (NlenSize + m_MessageLength - 1 > LargestOffset) {
            fail(TagReadOutcome::InvalidTag, "NLEN " + std::to_string(m_MessageLength) +
                                                 " needs READ BINARY offsets above 7FFF, which this reader does not use");
        } else {
            m_Message.reserve(m_MessageLength);
            m_Step = Step::ReadMessage;
        }
        break;
    case Step::ReadMessage:
        m_Message.insert(m_Message.end(), data, data + dataLength);
        if (m_Message.size() == m_MessageLength) {
            m_Outcome = TagReadOutcome::Message;
            m_Step = Step::Done;
        }
        break;
    default:
        break;
    }
}
