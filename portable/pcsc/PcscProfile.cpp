#include "PcscProfile.h"

#include <algorithm>

#include "PcscApdu.h"
#include "PcscDataObjects.h"
#include "PcscErrorCodes.h"
#include "Pn532Commands.h"

namespace pcsc {

namespace {

using pn532::ChipToHost;
using pn532::GetFirmwareVersion;
using pn532::HostToChip;
using pn532::InDataExchange;
using pn532::StatusErrorMask;
using pn532::StatusMoreInformation;

const uint8_t ReaderClass = 0xFF;
const size_t FirmwareSize = 4;
// D4 40 Tg before the frame, within a short Lc.
const size_t Pn532ExchangeHeader = 3;
// Type 2 Tag commands the storage-card pseudo-APDUs carry.
const uint8_t Type2Read = 0x30;
const uint8_t Type2Write = 0xA2;
const uint8_t Type2Ack = 0x0A;
const size_t PageReadSize = 16;
const size_t PageSize = 4;
// The layer byte of the switch to FeliCa: FeliCa has no layers of ISO/IEC 14443.
const uint8_t SessionLayerNone = 0x00;

bool isStorageKind(CardKind kind)
{
    return kind == CardKind::TypeAPart3 || kind == CardKind::Felica212 || kind == CardKind::Felica424;
}

}  // namespace

const char *profileName(Profile profile)
{
    switch (profile) {
    case Profile::PlainApdu: return "plain APDU";
    case Profile::StoragePages: return "plain APDU and storage-card pages";
    case Profile::Pn532: return "PN532 pseudo-APDU";
    case Profile::TransparentSession: return "transparent session";
    }
    return "?";
}

std::vector<uint8_t> pn532Command(const std::vector<uint8_t> &payload)
{
    const uint8_t header[] = {0xFF, 0x00, 0x00, 0x00, static_cast<uint8_t>(payload.size() + 1), HostToChip};
    std::vector<uint8_t> command(sizeof header + payload.size());
    std::copy(header, header + sizeof header, command.begin());
    std::copy(payload.begin(), payload.end(), command.begin() + sizeof header);
    return command;
}

bool pn532AnswerData(uint8_t code, const uint8_t *answer, size_t length, std::vector<uint8_t> &data, Error &error)
{
    data.clear();
    if (answer == nullptr || length < 2) {
        return fail(error, PCSC_E_MALFORMED_ANSWER, PCSC_MALFORMED_NO_STATUS_WORD);
    }
    const uint16_t sw = statusWord(answer, length);
    if (sw != StatusWordOk) {
        return fail(error, PCSC_E_READER_REFUSED, sw);
    }
    if (length < 4 || answer[0] != ChipToHost || answer[1] != static_cast<uint8_t>(code + 1)) {
        return fail(error, PCSC_E_MALFORMED_ANSWER, PCSC_MALFORMED_PN532_HEADER);
    }
    data.assign(answer + 2, answer + length - 2);
    return true;
}

// ---------------------------------------------------------------------------------------------
// The probe plan

ProbePlan::ProbePlan(CardKind kind) : m_Kind(kind)
{
    enter(Step::Pn532);
}

void ProbePlan::enter(Step step)
{
    m_Step = step;
    switch (step) {
    case Step::Pn532: m_Command = pn532Command({GetFirmwareVersion}); break;
    case Step::StartSession: m_Command = startSessionCommand(); break;
    case Step::EndSession: m_Command = endSessionCommand(); break;
    case Step::Pages: m_Command = {0xFF, 0xB0, 0x00, 0x00, static_cast<uint8_t>(PageReadSize)}; break;
    case Step::Done: m_Command.clear(); break;
    }
}

void ProbePlan::next()
{
    switch (m_Step) {
    case Step::Pn532: enter(Step::StartSession); break;
    case Step::StartSession: enter(m_Kind == CardKind::TypeAPart3 ? Step::Pages : Step::Done); break;
    default: enter(Step::Done); break;
    }
}

ProbeOutcome ProbePlan::answer(const uint8_t *data, size_t length)
{
    if (m_Step == Step::Done) {
        return ProbeOutcome::Unexpected;
    }
    const bool hasSw = data != nullptr && length >= 2;
    const bool ok = hasSw && statusWord(data, length) == StatusWordOk;
    switch (m_Step) {
    case Step::Pn532: {
        std::vector<uint8_t> firmware;
        Error ignored;
        if (pn532AnswerData(GetFirmwareVersion, data, length, firmware, ignored) && firmware.size() == FirmwareSize) {
            m_Profile = Profile::Pn532;
            m_Firmware = static_cast<uint32_t>(firmware[0]) << 24 | firmware[1] << 16 | firmware[2] << 8 | firmware[3];
            enter(Step::Done);
            return ProbeOutcome::Offered;
        }
        const bool pn532Shaped = ok && length >= 4 && data[0] == ChipToHost;
        next();
        return pn532Shaped || !hasSw ? ProbeOutcome::Unexpected : ProbeOutcome::NotOffered;
    }
    case Step::StartSession: {
        SessionAnswer session;
        Error error;
        if (!parseSessionAnswer(data, length, session, error)) {
            next();
            return ok || !hasSw ? ProbeOutcome::Unexpected : ProbeOutcome::NotOffered;
        }
        if (sessionAnswerOk(session, error)) {
            m_Profile = Profile::TransparentSession;
            enter(Step::EndSession);
            return ProbeOutcome::Offered;
        }
        next();
        return ProbeOutcome::NotOffered;
    }
    case Step::EndSession:
        // The session was offered; how the reader takes its end changes nothing.
        enter(Step::Done);
        return ok ? ProbeOutcome::Offered : ProbeOutcome::Unexpected;
    case Step::Pages:
        enter(Step::Done);
        if (ok && length == PageReadSize + 2) {
            m_Profile = Profile::StoragePages;
            return ProbeOutcome::Offered;
        }
        return ok || !hasSw ? ProbeOutcome::Unexpected : ProbeOutcome::NotOffered;
    case Step::Done:
        break;
    }
    return ProbeOutcome::Unexpected;
}

ProbeOutcome ProbePlan::transmitFailed(uint32_t scardCode, Error &error)
{
    if (m_Step == Step::Done) {
        return ProbeOutcome::Unexpected;
    }
    if (classifyScardCode(scardCode) != Failure::CommandFailed) {
        error = transmitError(scardCode);
        m_Profile = Profile::PlainApdu;
        enter(Step::Done);
        return ProbeOutcome::Failed;
    }
    next();
    return ProbeOutcome::NotOffered;
}

// ---------------------------------------------------------------------------------------------
// Session set-up

std::vector<std::vector<uint8_t>> accessStartCommands(Profile profile, CardKind kind)
{
    if (profile != Profile::TransparentSession || !isStorageKind(kind)) {
        return {};
    }
    if (kind == CardKind::TypeAPart3) {
        return {startSessionCommand()};
    }
    return {startSessionCommand(), switchProtocolCommand(SessionStandardFelica, SessionLayerNone)};
}

std::vector<std::vector<uint8_t>> accessEndCommands(Profile profile, CardKind kind)
{
    if (profile != Profile::TransparentSession || !isStorageKind(kind)) {
        return {};
    }
    return {endSessionCommand()};
}

bool accessAnswerOk(const uint8_t *answer, size_t length, Error &error)
{
    SessionAnswer session;
    return parseSessionAnswer(answer, length, session, error) && sessionAnswerOk(session, error);
}

// ---------------------------------------------------------------------------------------------
// One exchange

bool Exchange::begin(Profile profile, CardKind kind, const uint8_t *frame, size_t length, uint32_t timeoutMs,
                     Error &error)
{
    m_Command.clear();
    m_Response.clear();
    if (frame == nullptr || length == 0) {
        return fail(error, PCSC_E_INVALID_ARGUMENT, frame == nullptr ? 1 : 2);
    }
    if (length > MaximumCommandSize) {
        return fail(error, PCSC_E_TOO_LONG, static_cast<uint32_t>(length));
    }
    const uint32_t notCarried = static_cast<uint32_t>(frame[0]) << 16 | static_cast<uint32_t>(profile) << 8 |
                                static_cast<uint32_t>(kind);
    if (kind == CardKind::Unknown) {
        return fail(error, PCSC_E_NOT_CARRIED, notCarried);
    }
    if (profile == Profile::Pn532) {
        if (length > ShortLcMaximum - Pn532ExchangeHeader) {
            return fail(error, PCSC_E_TOO_LONG, static_cast<uint32_t>(length));
        }
        std::vector<uint8_t> payload{InDataExchange, Pn532Target};
        payload.insert(payload.end(), frame, frame + length);
        m_Command = pn532Command(payload);
        m_Form = Form::Pn532;
        return true;
    }
    if (kind == CardKind::TypeA4 || kind == CardKind::TypeB4) {
        // Class FF is no card's (ISO/IEC 7816-4 reserves it): the reader would take the command.
        if (frame[0] == ReaderClass) {
            return fail(error, PCSC_E_READER_CLASS, length > 1 ? frame[1] : 0);
        }
        m_Command.assign(frame, frame + length);
        m_Form = Form::Plain;
        return true;
    }
    if (profile == Profile::TransparentSession) {
        if (!transceiveCommand(frame, length, timeoutMs > 0xFFFFFFFFu / 1000 ? 0xFFFFFFFFu : timeoutMs * 1000,
                               m_Command)) {
            return fail(error, PCSC_E_TOO_LONG, static_cast<uint32_t>(length));
        }
        m_Form = Form::Session;
        return true;
    }
    if (profile == Profile::StoragePages && kind == CardKind::TypeAPart3) {
        if (frame[0] == Type2Read && length == 2) {
            m_Command = {0xFF, 0xB0, 0x00, frame[1], static_cast<uint8_t>(PageReadSize)};
            m_Form = Form::PageRead;
            return true;
        }
        if (frame[0] == Type2Write && length == 2 + PageSize) {
            m_Command = {0xFF, 0xD6, 0x00, frame[1], static_cast<uint8_t>(PageSize)};
            m_Command.insert(m_Command.end(), frame + 2, frame + length);
            m_Form = Form::PageWrite;
            return true;
        }
    }
    return fail(error, PCSC_E_NOT_CARRIED, notCarried);
}

Exchange::Step Exchange::answer(const uint8_t *data, size_t length, Error &error)
{
    if (m_Form == Form::Pn532) {
        return unwrapPn532(data, length, error);
    }
    if (m_Form == Form::Session) {
        SessionAnswer session;
        if (!parseSessionAnswer(data, length, session, error) || !sessionAnswerOk(session, error)) {
            return Step::Failed;
        }
        if (!session.hasCardAnswer) {
            fail(error, PCSC_E_CARD_NO_ANSWER, 0);
            return Step::Failed;
        }
        if (session.cardAnswer.size() > MaximumResponseSize) {
            fail(error, PCSC_E_TOO_LONG, static_cast<uint32_t>(session.cardAnswer.size()));
            return Step::Failed;
        }
        m_Response = std::move(session.cardAnswer);
        return Step::Done;
    }
    if (data == nullptr || length < 2) {
        fail(error, PCSC_E_MALFORMED_ANSWER, PCSC_MALFORMED_NO_STATUS_WORD);
        return Step::Failed;
    }
    if (length > MaximumResponseSize) {
        fail(error, PCSC_E_TOO_LONG, static_cast<uint32_t>(length));
        return Step::Failed;
    }
    if (m_Form == Form::Plain) {
        // The card's status word is part of its answer: the application judges it.
        m_Response.assign(data, data + length);
        return Step::Done;
    }
    const uint16_t sw = statusWord(data, length);
    if (sw != StatusWordOk) {
        fail(error, PCSC_E_READER_REFUSED, sw);
        return Step::Failed;
    }
    if (m_Form == Form::PageWrite) {
        // The reader reports the card's ACK as 90 00 and keeps the 4-bit answer to itself.
        m_Response = {Type2Ack};
        return Step::Done;
    }
    if (length != PageReadSize + 2) {
        fail(error, PCSC_E_MALFORMED_ANSWER, PCSC_MALFORMED_PAGE_LENGTH);
        return Step::Failed;
    }
    m_Response.assign(data, data + PageReadSize);
    return Step::Done;
}

Exchange::Step Exchange::unwrapPn532(const uint8_t *data, size_t length, Error &error)
{
    std::vector<uint8_t> chip;
    if (!pn532AnswerData(InDataExchange, data, length, chip, error)) {
        return Step::Failed;
    }
    if (chip.empty()) {
        fail(error, PCSC_E_MALFORMED_ANSWER, PCSC_MALFORMED_PN532_HEADER);
        return Step::Failed;
    }
    const uint8_t status = chip[0];
    if ((status & StatusErrorMask) != 0) {
        fail(error, PCSC_E_CHIP_STATUS, status);
        return Step::Failed;
    }
    const bool more = (status & StatusMoreInformation) != 0;
    if (more && chip.size() == 1) {
        // A piece that announces more and carries nothing would keep the chain going without end.
        fail(error, PCSC_E_MALFORMED_ANSWER, PCSC_MALFORMED_EMPTY_CHAIN);
        return Step::Failed;
    }
    if (m_Response.size() + chip.size() - 1 > MaximumResponseSize) {
        fail(error, PCSC_E_TOO_LONG, static_cast<uint32_t>(m_Response.size() + chip.size() - 1));
        return Step::Failed;
    }
    m_Response.insert(m_Response.end(), chip.begin() + 1, chip.end());
    if (more) {
        // The chip holds the rest of the card's answer: InDataExchange with no data fetches it.
        m_Command = pn532Command({InDataExchange, Pn532Target});
        return Step::Again;
    }
    return Step::Done;
}

Exchange::Step Exchange::transmitFailed(uint32_t scardCode, Error &error)
{
    error = transmitError(scardCode);
    return Step::Failed;
}

}  // namespace pcsc
