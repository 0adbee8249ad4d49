#include "PcscReader.h"

#include <cstdio>

#include "PcscDataObjects.h"
#include "PcscErrorCodes.h"
#include "PcscLimits.h"
#include "ReaderPortName.h"
#include "korvat_nfc_plugin.h"

namespace pcsc {

namespace {

// Pauses of the poll thread between steps: the reader's state is asked for every StepIntervalMs
// (a card is found within that of its arrival, well within the library's cycle); a reader or
// resource manager that is gone is looked for every FailingIntervalMs.
const uint32_t StepIntervalMs = 50;
const uint32_t IdleIntervalMs = 50;
const uint32_t FailingIntervalMs = 500;

const uint32_t ScardETimeout = 0x8010000Au;
const uint32_t KnownCardTypes = 1 | 2 | 4 | 8;

std::string hex(const uint8_t *data, size_t length)
{
    std::string text;
    char byte[4];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(byte, sizeof byte, i == 0 ? "%02X" : " %02X", data[i]);
        text += byte;
    }
    return text;
}

std::string hex(const std::vector<uint8_t> &bytes)
{
    return hex(bytes.data(), bytes.size());
}

std::string code(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
    return text;
}

const char *outcomeName(ProbeOutcome outcome)
{
    switch (outcome) {
    case ProbeOutcome::Offered: return "offered";
    case ProbeOutcome::NotOffered: return "not offered";
    case ProbeOutcome::Unexpected: return "unexpected answer, taken as not offered";
    case ProbeOutcome::Failed: return "failed";
    }
    return "?";
}

}  // namespace

namespace {

const unsigned LargestPortNumber = 9;  // one digit

}  // namespace

bool portNumber(const std::string &portName, unsigned &number)
{
    return reader::numberedPort(portName, PCSC_CATEGORY_NAME, LargestPortNumber, number);
}

bool chooseReader(const std::vector<std::string> &readers, const std::string &filter, unsigned number,
                  std::string &reader)
{
    unsigned seen = 0;
    for (const std::string &name : readers) {
        if (!filter.empty() && name.find(filter) == std::string::npos) {
            continue;
        }
        if (seen++ == number) {
            reader = name;
            return true;
        }
    }
    return false;
}

bool listPorts(Scard &scard, const std::string &filter, std::vector<reader::PortEntry> &ports, Error &error)
{
    ports.clear();
    std::vector<std::string> readers;
    uint32_t code = scard.establishContext();
    if (code == 0) {
        code = scard.listReaders(readers);
        scard.releaseContext();
    }
    if (code == ScardENoReadersAvailable || (code != 0 && classifyScardCode(code) == Failure::ServiceGone)) {
        return true;
    }
    if (code != 0) {
        return fail(error, PCSC_E_READER_GONE, code);
    }
    std::string name;
    for (unsigned number = 0; number <= LargestPortNumber && chooseReader(readers, filter, number, name); ++number) {
        ports.push_back({PCSC_CATEGORY_NAME + std::to_string(number), name});
    }
    return true;
}

Reader::Reader(Scard &scard, const std::string &filter)
    : m_Scard(scard), m_Filter(filter), m_Timeout(PCSC_DEFAULT_TIMEOUT)
{
}

bool Reader::requireOpen(Error &error) const
{
    return m_Open || fail(error, PCSC_E_PORT_NOT_OPEN, 0);
}

// Establishes a context when there is none, and finds the port's reader in the list.
bool Reader::findReader(Error &error)
{
    if (!m_HasContext) {
        const uint32_t established = m_Scard.establishContext();
        if (established != 0) {
            return fail(error, PCSC_E_SERVICE, established);
        }
        m_HasContext = true;
    }
    std::vector<std::string> readers;
    const uint32_t listed = m_Scard.listReaders(readers);
    if (listed != 0) {
        // With no reader left some resource managers stop, and a context may outlive its service:
        // the next attempt starts with a new one.
        m_Scard.releaseContext();
        m_HasContext = false;
        return fail(error, classifyScardCode(listed) == Failure::ServiceGone ? PCSC_E_SERVICE : PCSC_E_READER_GONE,
                    listed);
    }
    if (!chooseReader(readers, m_Filter, m_Number, m_ReaderName)) {
        return fail(error, PCSC_E_READER_GONE, 0);
    }
    return true;
}

bool Reader::open(unsigned number, Error &error)
{
    if (m_Open) {
        return fail(error, PCSC_E_PORT_ALREADY_OPEN, 0);
    }
    m_Number = number;
    if (!findReader(error)) {
        if (m_HasContext) {
            m_Scard.releaseContext();
            m_HasContext = false;
        }
        m_Scard.trace("open PCSC" + std::to_string(number) + " failed: error " + code(error.code) + ", detail " +
                      code(error.detail));
        return false;
    }
    m_Open = true;
    m_Polling = false;
    m_Phase = Phase::None;
    m_ProfileKnown = false;
    m_LastState = 0;
    m_CardSeen = false;
    m_NextTargetNumber = 1;
    m_DeviceFailing = false;
    m_Events.clear();
    m_Scard.trace("PCSC" + std::to_string(number) + " is the reader \"" + m_ReaderName + "\"");
    // A card in the field now tells the reader's profile at once; it is found in poll mode.
    uint32_t state = 0;
    std::vector<uint8_t> atr;
    if (m_Scard.readerState(m_ReaderName, 0, state, atr) == 0 && (state & StatePresent) != 0 &&
        (state & StateMute) == 0) {
        const AtrInfo info = parseAtr(atr.data(), atr.size());
        if (info.kind != CardKind::Unknown && m_Scard.connect(m_ReaderName) == 0) {
            m_Connected = true;
            probe(info.kind);
            forgetCard();
        }
    }
    return true;
}

bool Reader::close(Error &error)
{
    if (!requireOpen(error)) {
        return false;
    }
    forgetCard();
    if (m_HasContext) {
        m_Scard.releaseContext();
        m_HasContext = false;
    }
    m_Open = false;
    m_Polling = false;
    m_Phase = Phase::None;
    m_AccessLost = Error();
    m_Events.clear();
    return true;
}

bool Reader::startPollMode(uint32_t targetDevice, Error &error)
{
    if (!requireOpen(error)) {
        return false;
    }
    if (m_Polling) {
        return fail(error, PCSC_E_ALREADY_POLLING, 0);
    }
    if (targetDevice == 0 || (targetDevice & ~KnownCardTypes) != 0) {
        return fail(error, PCSC_E_INVALID_ARGUMENT, 1);
    }
    m_Polling = true;
    m_TargetDevice = targetDevice;
    m_Phase = Phase::None;
    m_AccessLost = Error();
    m_LastState = 0;
    m_CardSeen = false;
    m_Events.clear();
    return true;
}

bool Reader::stopPollMode(Error &error)
{
    if (!requireOpen(error)) {
        return false;
    }
    if (!m_Polling) {
        return fail(error, PCSC_E_NOT_POLLING, 0);
    }
    if (m_Phase == Phase::Accessing) {
        endAccess();
    }
    forgetCard();
    m_Phase = Phase::None;
    m_AccessLost = Error();
    m_Polling = false;
    m_Events.clear();
    m_DeviceFailing = false;
    return true;
}

bool Reader::startDeviceAccess(uint32_t targetNumber, Error &error)
{
    if (!requireOpen(error)) {
        return false;
    }
    if (!m_Polling) {
        return fail(error, PCSC_E_NOT_POLLING, 0);
    }
    if (m_Phase == Phase::None || targetNumber != m_TargetNumber) {
        return fail(error, PCSC_E_NO_TARGET, targetNumber);
    }
    if (m_Phase == Phase::Accessing) {
        return fail(error, PCSC_E_ALREADY_ACCESSING, m_TargetNumber);
    }
    std::vector<std::vector<uint8_t>> commands = accessStartCommands(m_Profile, m_Card.kind);
    if (m_Profile == Profile::TransparentSession && !commands.empty()) {
        // The session's timer bounds each transceive by the time-out in force now.
        std::vector<uint8_t> timer;
        sessionCommand(SessionManage, timerObject(static_cast<uint32_t>(m_Timeout) * 1000u), timer);
        commands.push_back(timer);
    }
    m_AccessLost = Error();
    if (!sendAll(commands, error)) {
        m_Scard.trace("access set-up failed: error " + code(error.code) + ", detail " + code(error.detail));
        return false;
    }
    m_Phase = Phase::Accessing;
    return true;
}

bool Reader::stopDeviceAccess(uint32_t stopMode, Error &error)
{
    if (!requireOpen(error)) {
        return false;
    }
    if (stopMode > 1) {
        return fail(error, PCSC_E_INVALID_ARGUMENT, 1);
    }
    if (m_AccessLost.code != 0) {
        m_AccessLost = Error();  // the card or the reader left: nothing to end
        return true;
    }
    if (m_Phase != Phase::Accessing) {
        return fail(error, PCSC_E_NOT_ACCESSING, 0);
    }
    endAccess();
    forgetCard();
    m_Phase = Phase::None;
    m_Card = CardRecord();
    // Stop mode 0: the card is found again only after it has left the field (m_CardSeen stays).
    if (stopMode == 1) {
        m_CardSeen = false;
    }
    return true;
}

// The session's end is the reader's business, and a card that has left cannot take it: a refusal
// is traced and the access ends all the same.
void Reader::endAccess()
{
    Error error;
    if (!sendAll(accessEndCommands(m_Profile, m_Card.kind), error)) {
        m_Scard.trace("access end failed: error " + code(error.code) + ", detail " + code(error.detail));
    }
}

bool Reader::selectDevice(Error &error)
{
    return requireOpen(error) && (m_Phase == Phase::Accessing || fail(error, PCSC_E_NOT_ACCESSING, 0));
}

bool Reader::deselectDevice(Error &error)
{
    return selectDevice(error);
}

bool Reader::exchange(const uint8_t *command, size_t length, std::vector<uint8_t> &response, Error &error)
{
    if (m_Open && m_AccessLost.code != 0) {
        error = m_AccessLost;
        return false;
    }
    if (!selectDevice(error)) {
        return false;
    }
    // The session's time-out was set at the start of the access (a manage-session object).
    Exchange exchange;
    if (!exchange.begin(m_Profile, m_Card.kind, command, length, 0, error)) {
        return false;
    }
    std::vector<uint8_t> answer;
    for (;;) {
        const uint32_t transmitted = m_Scard.transmit(exchange.command().data(), exchange.command().size(), answer);
        const Exchange::Step step = transmitted != 0 ? exchange.transmitFailed(transmitted, error)
                                                     : exchange.answer(answer.data(), answer.size(), error);
        if (step == Exchange::Step::Done) {
            response = exchange.response();
            return true;
        }
        if (step == Exchange::Step::Failed) {
            return false;
        }
    }
}

bool Reader::setTimeout(int32_t timeout, Error &error)
{
    if (timeout < PCSC_MINIMUM_TIMEOUT || timeout > PCSC_MAXIMUM_TIMEOUT) {
        return fail(error, PCSC_E_INVALID_ARGUMENT, 1);
    }
    m_Timeout = timeout;
    return true;
}

void Reader::forgetCard()
{
    if (m_Connected) {
        m_Scard.disconnect();
        m_Connected = false;
    }
}

void Reader::dropTarget(const Error &why, bool reportRemoval)
{
    if (m_Phase == Phase::Accessing) {
        m_AccessLost = why;
    }
    forgetCard();
    m_Phase = Phase::None;
    m_Card = CardRecord();
    if (reportRemoval) {
        StatusReport removed;
        removed.driverStatus = GP_STATUS_CARD_ERROR | PCSC_CARD_ERROR_REMOVED << GP_CARD_ERROR_DETAIL_SHIFT;
        removed.error = why;
        m_Events.push_back(removed);
    }
}

void Reader::deviceFailed(const Error &error)
{
    if (m_DeviceFailing) {
        return;
    }
    m_Scard.trace("reader \"" + m_ReaderName + "\" lost: error " + code(error.code) + ", detail " +
                  code(error.detail));
    dropTarget(error, false);
    if (error.code == PCSC_E_SERVICE && m_HasContext) {
        m_Scard.releaseContext();
        m_HasContext = false;
    }
    m_DeviceFailing = true;
    const uint32_t detail = error.code == PCSC_E_SERVICE ? PCSC_DEVICE_ERROR_SERVICE : PCSC_DEVICE_ERROR_READER_GONE;
    m_Failure = StatusReport();
    m_Failure.driverStatus = GP_STATUS_DEVICE_ERROR | detail << GP_DEVICE_ERROR_DETAIL_SHIFT;
    m_Failure.error = error;
    m_Events.push_back(m_Failure);
    m_LastState = 0;
    m_CardSeen = false;
}

bool Reader::recover()
{
    Error error;
    if (!findReader(error)) {
        return false;
    }
    uint32_t state = 0;
    std::vector<uint8_t> atr;
    const uint32_t asked = m_Scard.readerState(m_ReaderName, 0, state, atr);
    if (asked != 0 && asked != ScardETimeout) {
        m_Scard.releaseContext();
        m_HasContext = false;
        return false;
    }
    if ((state & (StateUnknown | StateUnavailable)) != 0) {
        return false;
    }
    m_DeviceFailing = false;
    m_LastState = 0;
    m_Scard.trace("reader \"" + m_ReaderName + "\" is back");
    return true;
}

uint32_t Reader::pollStep()
{
    if (!m_Open || !m_Polling) {
        return IdleIntervalMs;
    }
    if (m_DeviceFailing) {
        return recover() ? StepIntervalMs : FailingIntervalMs;
    }
    uint32_t state = 0;
    std::vector<uint8_t> atr;
    const uint32_t asked = m_Scard.readerState(m_ReaderName, m_LastState, state, atr);
    if (asked == ScardETimeout) {
        return StepIntervalMs;
    }
    if (asked != 0) {
        Error error;
        error.code = classifyScardCode(asked) == Failure::ReaderGone ? PCSC_E_READER_GONE : PCSC_E_SERVICE;
        error.detail = asked;
        deviceFailed(error);
        return FailingIntervalMs;
    }
    if ((state & (StateUnknown | StateUnavailable)) != 0) {
        Error error;
        error.code = PCSC_E_READER_GONE;
        error.detail = ScardEReaderUnavailable;
        deviceFailed(error);
        return FailingIntervalMs;
    }
    readerChanged(state & ~StateChanged, atr);
    m_LastState = state & ~StateChanged;
    return StepIntervalMs;
}

// A new state of the reader: the target leaves with its card, a card not looked at yet is
// identified and, when it is of a wanted kind, found.
void Reader::readerChanged(uint32_t state, const std::vector<uint8_t> &atr)
{
    const bool present = (state & StatePresent) != 0 && (state & StateMute) == 0;
    const uint32_t counter = state & StateCounterMask;
    if (m_Phase != Phase::None && (!present || counter != m_SeenCounter)) {
        m_Scard.trace("the card left the field");
        Error removed;
        removed.code = PCSC_E_CARD_REMOVED;
        removed.detail = ScardWRemovedCard;
        dropTarget(removed, true);
    }
    if (!present) {
        m_CardSeen = false;  // a card released for good may be found again when it comes back
        return;
    }
    if (m_CardSeen && counter == m_SeenCounter) {
        return;
    }
    m_CardSeen = true;
    m_SeenCounter = counter;
    CardRecord record;
    Error error;
    if (!identify(atr, record, error)) {
        m_Scard.trace("card with ATR " + hex(atr) + " not found: error " + code(error.code) + ", detail " +
                      code(error.detail));
        forgetCard();
        return;
    }
    const uint32_t cardType = record.target.cardType;
    if ((cardType & m_TargetDevice) == 0) {
        m_Scard.trace("card of type " + std::to_string(cardType) + " not polled for");
        forgetCard();
        return;
    }
    m_Card = record;
    m_Phase = Phase::Found;
    m_TargetNumber = m_NextTargetNumber++;
    if (m_NextTargetNumber == 0) {
        m_NextTargetNumber = 1;
    }
    m_Events.push_back(reader::foundReport(cardType, additionalData(m_Card, m_TargetNumber)));
    char notes[16];
    std::snprintf(notes, sizeof notes, "%04X", static_cast<unsigned>(record.notes));
    m_Scard.trace("found target " + std::to_string(m_TargetNumber) + ", card type " + std::to_string(cardType) +
                  ", record notes " + notes + ": " + hex(m_Events.back().additionalData));
}

bool Reader::identify(const std::vector<uint8_t> &atr, CardRecord &record, Error &error)
{
    const AtrInfo info = parseAtr(atr.data(), atr.size());
    if (info.check != AtrCheck::Valid) {
        return fail(error, PCSC_E_UNSUPPORTED_CARD, static_cast<uint32_t>(info.check) | info.standard << 8);
    }
    const uint32_t connected = m_Scard.connect(m_ReaderName);
    if (connected != 0) {
        error = transmitError(connected);
        return false;
    }
    m_Connected = true;
    if (!m_ProfileKnown) {
        probe(info.kind);
    }
    std::vector<uint8_t> answer;
    if (m_Profile == Profile::Pn532) {
        return transmit(listTargetCommand(info.kind), answer, error) &&
               cardRecordFromListing(info.kind, answer.data(), answer.size(), record, error);
    }
    if (!transmit(getDataCommand(GetDataIdentifier), answer, error)) {
        return false;
    }
    GetDataAnswer uid = parseGetDataAnswer(answer.data(), answer.size());
    if (uid.result == GetDataResult::WrongLe) {
        if (!transmit(getDataCommand(GetDataIdentifier, static_cast<uint8_t>(uid.statusWord)), answer, error)) {
            return false;
        }
        uid = parseGetDataAnswer(answer.data(), answer.size());
    }
    GetDataAnswer ats;
    const bool askAts = info.kind == CardKind::TypeA4 || info.kind == CardKind::TypeB4;
    if (askAts) {
        if (!transmit(getDataCommand(GetDataAts), answer, error)) {
            return false;
        }
        ats = parseGetDataAnswer(answer.data(), answer.size());
    }
    return buildCardRecord(info, uid, askAts ? &ats : nullptr, record, error);
}

// Sends the probe plan to the connected card once per open port and keeps the profile.
void Reader::probe(CardKind kind)
{
    ProbePlan plan(kind);
    std::vector<uint8_t> answer;
    while (!plan.finished()) {
        const std::vector<uint8_t> command = plan.command();
        const uint32_t transmitted = m_Scard.transmit(command.data(), command.size(), answer);
        Error error;
        const ProbeOutcome outcome =
            transmitted != 0 ? plan.transmitFailed(transmitted, error) : plan.answer(answer.data(), answer.size());
        m_Scard.trace("probe " + hex(command) + " -> " +
                      (transmitted != 0 ? "transmit failed " + code(transmitted) : hex(answer)) + ": " +
                      outcomeName(outcome));
        if (outcome == ProbeOutcome::Failed) {
            return;  // card or reader gone: the next card probes again
        }
    }
    m_Profile = plan.profile();
    m_ProfileKnown = true;
    std::string line = std::string("profile of \"") + m_ReaderName + "\": " + profileName(m_Profile);
    if (m_Profile == Profile::Pn532) {
        line += ", firmware " + code(plan.firmware());
    }
    m_Scard.trace(line);
}

bool Reader::transmit(const std::vector<uint8_t> &command, std::vector<uint8_t> &answer, Error &error)
{
    const uint32_t transmitted = m_Scard.transmit(command.data(), command.size(), answer);
    if (transmitted != 0) {
        error = transmitError(transmitted);
        return false;
    }
    return true;
}

bool Reader::sendAll(const std::vector<std::vector<uint8_t>> &commands, Error &error)
{
    std::vector<uint8_t> answer;
    for (const std::vector<uint8_t> &command : commands) {
        if (!transmit(command, answer, error) || !accessAnswerOk(answer.data(), answer.size(), error)) {
            return false;
        }
    }
    return true;
}

void Reader::takeReports(std::deque<StatusReport> &events, StatusReport &steady)
{
    reader::takeReports(m_Events, m_Polling, m_Phase, m_DeviceFailing ? &m_Failure : nullptr, events, steady);
}

}  // namespace pcsc
