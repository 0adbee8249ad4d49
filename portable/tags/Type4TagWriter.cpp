#include "Type4TagWriter.h"

#include <algorithm>

#include "TagHex.h"

namespace {

const size_t NlenSize = 2;
const uint8_t WriteAccessGranted = 0x00;

}  // namespace

bool Type4TagWriter::updateBinaryCommand(size_t offset, const uint8_t *data, size_t size, std::vector<uint8_t> &apdu)
{
    if (offset > Type4TagReader::LargestOffset || size == 0 || size > 0xFF) {
        return false;
    }
    apdu = {0x00, 0xD6, static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset), static_cast<uint8_t>(size)};
    apdu.insert(apdu.end(), data, data + size);
    return true;
}

Type4TagWriter::Type4TagWriter(const std::vector<uint8_t> &message) : m_Message(message) {}

void Type4TagWriter::fail(TagWriteOutcome outcome, const std::string &report)
{
    m_Outcome = outcome;
    m_Report = report;
    m_Step = Step::Done;
}

const char *Type4TagWriter::stepName() const
{
    switch (m_Step) {
    case Step::SelectApplication: return "SELECT of the NDEF application";
    case Step::SelectCapabilityContainer: return "SELECT of the capability container";
    case Step::ReadCapabilityContainer: return "READ BINARY of the capability container";
    case Step::SelectNdefFile: return "SELECT of the NDEF file";
    case Step::ClearLength: return "UPDATE BINARY of NLEN 0";
    case Step::WriteMessage: return "UPDATE BINARY of the NDEF message";
    default: return "UPDATE BINARY of NLEN";
    }
}

bool Type4TagWriter::nextCommand(std::vector<uint8_t> &apdu)
{
    const uint8_t noLength[NlenSize] = {0, 0};
    const uint8_t length[NlenSize] = {static_cast<uint8_t>(m_Message.size() >> 8), static_cast<uint8_t>(m_Message.size())};
    switch (m_Step) {
    case Step::SelectApplication:
        apdu = Type4TagReader::selectApplicationCommand();
        return true;
    case Step::SelectCapabilityContainer:
        apdu = Type4TagReader::selectFileCommand(Type4TagReader::CapabilityContainerFileId);
        return true;
    case Step::ReadCapabilityContainer:
        return Type4TagReader::readBinaryCommand(0, Type4TagReader::CapabilityContainerSize, apdu);
    case Step::SelectNdefFile:
        apdu = Type4TagReader::selectFileCommand(m_Cc.ndefFileId);
        return true;
    case Step::ClearLength:
        return updateBinaryCommand(0, noLength, NlenSize, apdu);
    case Step::WriteMessage:
        // MLc bounds each command; a short Lc bounds it to 255 here. Offsets were checked
        // against 7FFF with the capacity.
        m_Piece = std::min({static_cast<size_t>(m_Cc.maximumCommand), size_t(0xFF), m_Message.size() - m_Written});
        return updateBinaryCommand(NlenSize + m_Written, m_Message.data() + m_Written, m_Piece, apdu);
    case Step::WriteLength:
        return updateBinaryCommand(0, length, NlenSize, apdu);
    default:
        return false;
    }
}

void Type4TagWriter::takeResponse(const uint8_t *response, size_t length)
{
    if (m_Step == Step::Done) {
        return;
    }
    if (length < 2) {
        fail(TagWriteOutcome::InvalidTag, std::string("answer to the ") + stepName() + " has no status word");
        return;
    }
    const uint16_t status = static_cast<uint16_t>(response[length - 2] << 8 | response[length - 1]);
    if (status != Type4TagReader::StatusOk) {
        fail(TagWriteOutcome::Refused, std::string("the card refused the ") + stepName() + ": status word " +
                                           tagHex(status, 4));
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
        if (length - 2 != Type4TagReader::CapabilityContainerSize) {
            fail(TagWriteOutcome::InvalidTag, "the card sent " + std::to_string(length - 2) +
                                                  " bytes instead of 15 to the READ BINARY of the capability container");
            return;
        }
        if (!Type4TagReader::parseCapabilityContainer(response, length - 2, m_Cc, error)) {
            fail(TagWriteOutcome::InvalidTag, "capability container: " + error);
            return;
        }
        if (m_Cc.writeAccess != WriteAccessGranted) {
            fail(TagWriteOutcome::ReadOnly, "the NDEF file is read-only (write access " + tagHex(m_Cc.writeAccess, 2) + ")");
            return;
        }
        const size_t capacity = Type4TagReader::capacity(m_Cc);
        if (m_Message.size() > capacity) {
            fail(TagWriteOutcome::TooLarge, "a message of " + std::to_string(m_Message.size()) +
                                                " bytes does not fit the tag's " + std::to_string(capacity));
            return;
        }
        m_Step = Step::SelectNdefFile;
        break;
    }
    case Step::SelectNdefFile:
        m_Step = Step::ClearLength;
        break;
    case Step::ClearLength:
        m_Step = m_Message.empty() ? Step::Done : Step::WriteMessage;
        if (m_Message.empty()) {
            m_Outcome = TagWriteOutcome::Written;
        }
        break;
    case Step::WriteMessage:
        m_Written += m_Piece;
        if (m_Written == m_Message.size()) {
            m_Step = Step::WriteLength;
        }
        break;
    case Step::WriteLength:
        m_Outcome = TagWriteOutcome::Written;
        m_Step = Step::Done;
        break;
    default:
        break;
    }
}
