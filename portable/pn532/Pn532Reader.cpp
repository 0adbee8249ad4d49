#include "Pn532Reader.h"

#include "korvat_nfc_plugin.h"
#include "Pn532ErrorCodes.h"
#include "Pn532Limits.h"

namespace pn532 {

namespace {

struct Kind {
    uint32_t cardType;
    Modulation modulation;
};
// The order in which the kinds of target_device are listed.
const Kind Kinds[] = {
    {CardTypeA, Modulation::TypeA106},
    {CardTypeB, Modulation::TypeB106},
    {CardTypeF212, Modulation::Felica212},
    {CardTypeF424, Modulation::Felica424},
};
const uint32_t KnownCardTypes = CardTypeA | CardTypeB | CardTypeF212 | CardTypeF424;

// Pauses of the poll thread between steps.
const uint32_t ListingIntervalMs = 20;
const uint32_t PresenceIntervalMs = 250;
const uint32_t IdleIntervalMs = 50;
const uint32_t FailingIntervalMs = 500;
// Commands that a live chip answers at once (release, RF off, power down, and the set-up sent
// to a reader that failed) wait no longer than this, whatever the time-out: a reader that has
// gone away must not hold up a close or the poll thread for the time-out of each.
const uint32_t QuickCommandTimeoutMs = 500;

using reader::fail;

bool sameCard(uint32_t typeA, const std::vector<uint8_t> &idA, uint32_t typeB, const std::vector<uint8_t> &idB)
{
    const uint32_t felica = CardTypeF212 | CardTypeF424;
    const bool sameKind = typeA == typeB || ((typeA & felica) != 0 && (typeB & felica) != 0);
    return sameKind && idA == idB;
}

uint32_t deviceErrorDetail(const Error &error)
{
    switch (error.code) {
    case PN532_E_TIMEOUT:
        return PN532_DEVICE_ERROR_TIMEOUT;
    case PN532_E_LINK:
        return error.detail == PN532_LINK_WRITE_FAILED || error.detail == PN532_LINK_READ_FAILED
                   ? PN532_DEVICE_ERROR_PORT_LOST
                   : PN532_DEVICE_ERROR_LINK;
    default:
        return PN532_DEVICE_ERROR_CHIP;
    }
}

bool isCardError(const Error &error)
{
    return error.code == PN532_E_CARD_NO_ANSWER || error.code == PN532_E_CARD_TRANSMISSION ||
           error.code == PN532_E_TARGET_RELEASED;
}

}  // namespace

Reader::Reader(Link &link) : m_Link(link), m_Device(link), m_Timeout(PN532_DEFAULT_TIMEOUT) {}

uint32_t Reader::quickTimeout() const
{
    return static_cast<uint32_t>(m_Timeout) < QuickCommandTimeoutMs ? static_cast<uint32_t>(m_Timeout)
                                                                     : QuickCommandTimeoutMs;
}

bool Reader::requireOpen(Error &error) const
{
    return m_Open || fail(error, PN532_E_PORT_NOT_OPEN, 0);
}

bool Reader::requireAccess(Error &error) const
{
    if (!requireOpen(error)) {
        return false;
    }
    return m_Phase == Phase::Accessing || fail(error, PN532_E_NOT_ACCESSING, 0);
}

bool Reader::open(Error &error)
{
    if (m_Open) {
        return fail(error, PN532_E_PORT_ALREADY_OPEN, 0);
    }
    if (!m_Device.open(static_cast<uint32_t>(m_Timeout), error)) {
        return false;
    }
    m_Open = true;
    m_Polling = false;
    m_Phase = Phase::None;
    m_NextTargetNumber = 1;
    m_Released.clear();
    m_Events.clear();
    m_DeviceFailing = false;
    return true;
}

bool Reader::close(Error &error)
{
    if (!requireOpen(error)) {
        return false;
    }
    // The port is closed whatever the chip answers: a reader that has gone away must not keep
    // the application from closing it.
    Error ignored;
    m_Device.close(quickTimeout(), ignored);
    m_Open = false;
    m_Polling = false;
    m_Phase = Phase::None;
    m_Events.clear();
    return true;
}

bool Reader::startPollMode(uint32_t targetDevice, Error &error)
{
    if (!requireOpen(error)) {
        return false;
    }
    if (m_Polling) {
        return fail(error, PN532_E_ALREADY_POLLING, 0);
    }
    if (targetDevice == 0 || (targetDevice & ~KnownCardTypes) != 0) {
        return fail(error, PN532_E_INVALID_ARGUMENT, 1);
    }
    m_Polling = true;
    m_TargetDevice = targetDevice;
    m_NextKind = 0;
    m_Phase = Phase::None;
    m_Released.clear();
    m_Events.clear();
    m_DeviceFailing = false;
    return true;
}

bool Reader::stopPollMode(Error &error)
{
    if (!requireOpen(error)) {
        return false;
    }
    if (!m_Polling) {
        return fail(error, PN532_E_NOT_POLLING, 0);
    }
    if (m_Phase != Phase::None) {
        Error ignored;
        m_Device.targetCommand(InRelease, 0, quickTimeout(), ignored);
    }
    m_Polling = false;
    m_Phase = Phase::None;
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
        return fail(error, PN532_E_NOT_POLLING, 0);
    }
    if (m_Phase == Phase::None || targetNumber != m_TargetNumber) {
        return fail(error, PN532_E_NO_TARGET, targetNumber);
    }
    if (m_Phase == Phase::Accessing) {
        return fail(error, PN532_E_ALREADY_ACCESSING, m_TargetNumber);
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
        return fail(error, PN532_E_INVALID_ARGUMENT, 1);
    }
    if (!requireAccess(error)) {
        return false;
    }
    Error released;
    const bool ok = m_Device.targetCommand(InRelease, m_Target.tg, quickTimeout(), released);
    if (stopMode == 0) {
        m_Released.push_back({m_Target.identifier(), m_Target.cardType, true});
    }
    dropTarget();
    if (!ok && !isCardError(released)) {
        error = released;
        return false;
    }
    return true;
}

bool Reader::selectDevice(Error &error)
{
    return requireAccess(error) &&
           m_Device.targetCommand(InSelect, m_Target.tg, static_cast<uint32_t>(m_Timeout), error);
}

bool Reader::deselectDevice(Error &error)
{
    return requireAccess(error) &&
           m_Device.targetCommand(InDeselect, m_Target.tg, static_cast<uint32_t>(m_Timeout), error);
}

bool Reader::exchange(const uint8_t *command, size_t length, std::vector<uint8_t> &response, Error &error)
{
    if (!requireAccess(error)) {
        return false;
    }
    if (length > PN532_MAXIMUM_COMMAND_SIZE) {
        return fail(error, PN532_E_TOO_LONG, static_cast<uint32_t>(length));
    }
    // A type A card without ISO/IEC 14443-4 (a Type 2 Tag, a MIFARE card) has no chaining: the
    // command is one InDataExchange, handed to the tag raw.
    if (m_Target.cardType == CardTypeA && !m_Target.isoDep() && length > MaximumExchangeChunk) {
        return fail(error, PN532_E_TOO_LONG, static_cast<uint32_t>(length));
    }
    return m_Device.exchange(m_Target.tg, command, length, response, PN532_MAXIMUM_RESPONSE_SIZE,
                             static_cast<uint32_t>(m_Timeout), error);
}

bool Reader::setTimeout(int32_t timeout, Error &error)
{
    if (timeout < PN532_MINIMUM_TIMEOUT || timeout > PN532_MAXIMUM_TIMEOUT) {
        return fail(error, PN532_E_INVALID_ARGUMENT, 1);
    }
    m_Timeout = timeout;
    return true;
}

void Reader::report(uint32_t driverStatus, const Error &error)
{
    StatusReport event;
    event.driverStatus = driverStatus;
    event.error = error;
    m_Events.push_back(event);
}

void Reader::dropTarget()
{
    m_Phase = Phase::None;
    m_Target = ListedTarget();
}

void Reader::deviceFailed(const Error &error)
{
    if (m_DeviceFailing) {
        return;
    }
    m_DeviceFailing = true;
    m_Failure.driverStatus = GP_STATUS_DEVICE_ERROR | deviceErrorDetail(error) << GP_DEVICE_ERROR_DETAIL_SHIFT;
    m_Failure.error = error;
    report(m_Failure.driverStatus, error);
}

bool Reader::setUpAgain()
{
    // The port may be a new one (an adapter plugged in again), and the chip may have reset: it is
    // asleep in its low-power state until woken and configured as at open.
    Error ignored;
    return m_Link.reopen() && m_Device.open(quickTimeout(), ignored);
}

uint32_t Reader::pollStep()
{
    if (!m_Open || !m_Polling || m_Phase == Phase::Accessing) {
        return IdleIntervalMs;
    }
    if (m_DeviceFailing) {
        // Stays failing until a listing is answered again.
        return setUpAgain() && listNextKind() ? ListingIntervalMs : FailingIntervalMs;
    }
    if (m_Phase == Phase::Found) {
        const uint32_t now = m_Link.milliseconds();
        if (now - m_LastPresenceCheck < PresenceIntervalMs) {
            return PresenceIntervalMs - (now - m_LastPresenceCheck);
        }
        m_LastPresenceCheck = now;
        Error error;
        if (m_Device.targetPresent(m_Target, static_cast<uint32_t>(m_Timeout), error)) {
            return PresenceIntervalMs;
        }
        if (isCardError(error)) {
            Error ignored;
            m_Device.targetCommand(InRelease, m_Target.tg, quickTimeout(), ignored);
            dropTarget();
            report(GP_STATUS_CARD_ERROR | PN532_CARD_ERROR_LEFT_FIELD << GP_CARD_ERROR_DETAIL_SHIFT, error);
            return ListingIntervalMs;
        }
        // The reader itself failed: the target is given up, and found again once it answers.
        dropTarget();
        deviceFailed(error);
        return FailingIntervalMs;
    }
    return listNextKind() ? ListingIntervalMs : FailingIntervalMs;
}

bool Reader::listNextKind()
{
    std::vector<const Kind *> wanted;
    for (const Kind &kind : Kinds) {
        if ((m_TargetDevice & kind.cardType) != 0) {
            wanted.push_back(&kind);
        }
    }
    const Kind &kind = *wanted[m_NextKind % wanted.size()];
    const bool roundEnds = ++m_NextKind % wanted.size() == 0;

    std::vector<ListedTarget> targets;
    Error error;
    if (!m_Device.listTargets(kind.modulation, targets, static_cast<uint32_t>(m_Timeout), error)) {
        deviceFailed(error);
        return false;
    }
    m_DeviceFailing = false;
    for (ListedTarget &target : targets) {
        bool released = false;
        for (Released &r : m_Released) {
            if (sameCard(r.cardType, r.identifier, target.cardType, target.identifier())) {
                r.seen = released = true;
            }
        }
        if (released || m_Phase != Phase::None) {
            continue;
        }
        m_Target = target;
        m_Phase = Phase::Found;
        m_TargetNumber = m_NextTargetNumber++;
        if (m_NextTargetNumber == 0) {
            m_NextTargetNumber = 1;
        }
        m_LastPresenceCheck = m_Link.milliseconds();
        m_Events.push_back(reader::foundReport(m_Target.cardType, reader::additionalData(m_Target, m_TargetNumber)));
    }
    if (roundEnds) {
        std::vector<Released> stillHere;
        for (Released &r : m_Released) {
            if (r.seen) {
                r.seen = false;
                stillHere.push_back(r);
            }
        }
        m_Released.swap(stillHere);
    }
    return true;
}

void Reader::takeReports(std::deque<StatusReport> &events, StatusReport &steady)
{
    reader::takeReports(m_Events, m_Polling, m_Phase, m_DeviceFailing ? &m_Failure : nullptr, events, steady);
}

}  // namespace pn532
