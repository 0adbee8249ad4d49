#include "SimReader.h"

#include "ReaderTarget.h"
#include "sim_reader.h"

namespace sim {

using reader::fail;

SimReader::SimReader() : m_Timeout(SIM_DEFAULT_TIMEOUT) {}

SimReader::~SimReader() = default;

bool SimReader::requireOpen(reader::Error &error) const
{
    return m_Open || fail(error, SIM_E_PORT_NOT_OPEN, 0);
}

bool SimReader::open(const Scenario &scenario, reader::Error &error)
{
    if (m_Open) {
        return fail(error, SIM_E_PORT_ALREADY_OPEN, 0);
    }
    m_Cards.clear();
    for (const CardDescription &description : scenario.cards) {
        VirtualCard card;
        card.description = description;
        // The tag models live until the port closes: what is written to them stays till then.
        makeCardModels(description, card);
        m_Cards.push_back(std::move(card));
    }
    m_RepeatMs = scenario.repeatMs;
    m_Open = true;
    m_Polling = false;
    m_Current = -1;
    m_NextTargetNumber = 1;
    m_DeparturePending = false;
    m_Answered = GP_STATUS_STATE_IDLE;
    return true;
}

bool SimReader::close(reader::Error &error)
{
    if (!requireOpen(error)) {
        return false;
    }
    m_Open = false;
    m_Polling = false;
    m_Current = -1;
    m_DeparturePending = false;
    m_Cards.clear();
    return true;
}

bool SimReader::startPollMode(uint32_t targetDevice, uint32_t now, reader::Error &error)
{
    if (!requireOpen(error)) {
        return false;
    }
    if (m_Polling) {
        return fail(error, SIM_E_ALREADY_POLLING, 0);
    }
    const uint32_t known = static_cast<uint32_t>(CardKind::TypeA) | static_cast<uint32_t>(CardKind::TypeB) |
                           static_cast<uint32_t>(CardKind::TypeF212) | static_cast<uint32_t>(CardKind::TypeF424);
    if (targetDevice == 0 || (targetDevice & ~known) != 0) {
        return fail(error, SIM_E_INVALID_ARGUMENT, 1);
    }
    m_Polling = true;
    m_TargetDevice = targetDevice;
    m_PollStart = now;
    m_Current = -1;
    m_DeparturePending = false;
    for (VirtualCard &card : m_Cards) {
        card.served = false;
    }
    return true;
}

bool SimReader::stopPollMode(reader::Error &error)
{
    if (!requireOpen(error)) {
        return false;
    }
    if (!m_Polling) {
        return fail(error, SIM_E_NOT_POLLING, 0);
    }
    m_Polling = false;
    m_Current = -1;
    m_DeparturePending = false;
    return true;
}

bool SimReader::inField(const VirtualCard &card, uint32_t now, uint32_t &round) const
{
    uint32_t elapsed = now - m_PollStart;
    round = 0;
    if (m_RepeatMs != 0) {
        round = elapsed / m_RepeatMs;
        elapsed %= m_RepeatMs;
    }
    return card.description.enterMs <= elapsed && elapsed < card.description.leaveMs;
}

bool SimReader::dropCardThatLeft(uint32_t now)
{
    if (m_Current < 0) {
        return false;
    }
    uint32_t round;
    if (inField(m_Cards[m_Current], now, round) && round == m_CurrentRound) {
        return false;
    }
    const bool wasAccessed = m_Phase == Phase::Accessing;
    if (m_ReportDepartures) {
        m_DeparturePending = true;
        m_Departed = reader::StatusReport();
        m_Departed.pollModeCardType = static_cast<uint32_t>(m_Cards[m_Current].description.kind);
        m_Departed.additionalData = m_AdditionalData;
    }
    m_Current = -1;
    return wasAccessed;
}

int SimReader::cardToFind(uint32_t now) const
{
    for (size_t i = 0; i < m_Cards.size(); ++i) {
        const VirtualCard &card = m_Cards[i];
        uint32_t round;
        if ((static_cast<uint32_t>(card.description.kind) & m_TargetDevice) != 0 && inField(card, now, round) &&
            !(card.served && card.servedRound == round)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool SimReader::findNextCard(uint32_t now)
{
    const int found = cardToFind(now);
    if (found >= 0) {
        uint32_t round;
        inField(m_Cards[found], now, round);
        m_Current = found;
        m_CurrentRound = round;
        m_Phase = Phase::Found;
        m_Halted = false;
        m_TargetNumber = m_NextTargetNumber++;
        if (m_NextTargetNumber == 0) {
            m_NextTargetNumber = 1;
        }
        buildAdditionalData();
        return true;
    }
    return false;
}

// The block the PN532 and PC/SC readers give for a listed target; the reader's own number of the
// target (byte 9) is 0.
void SimReader::buildAdditionalData()
{
    const CardDescription &card = m_Cards[m_Current].description;
    reader::ListedTarget target;
    target.cardType = static_cast<uint32_t>(card.kind);
    target.sensRes = card.sensRes;
    target.selRes = card.selRes;
    target.nfcid1 = card.nfcid1;
    target.ats = card.ats;
    target.atqb = card.atqb;
    target.attribRes = card.attrib;
    target.nfcid2 = card.nfcid2;
    target.pad = card.pad;
    target.rd = card.rd;
    m_AdditionalData = reader::additionalData(target, m_TargetNumber);
}

bool SimReader::readDriverStatus(uint32_t now, reader::StatusReport &report, reader::Error &error)
{
    if (!requireOpen(error)) {
        return false;
    }
    report = reader::StatusReport();
    report.driverStatus = GP_STATUS_STATE_IDLE;
    if (m_Polling) {
        dropCardThatLeft(now);
    }
    if (m_DeparturePending) {
        // Once, before the next card is looked for; its number is the departed target's.
        m_DeparturePending = false;
        report = std::move(m_Departed);
        report.driverStatus =
            GP_STATUS_CARD_ERROR | SIM_CARD_ERROR_LEFT_FIELD << GP_CARD_ERROR_DETAIL_SHIFT | GP_TARGET_DEPARTED;
        report.error.code = SIM_E_NO_RESPONSE;
        report.error.detail = SIM_NO_RESPONSE_LEFT_FIELD;
    } else if (m_Polling && m_Current >= 0) {
        if (m_Phase == Phase::Found) {
            m_Phase = Phase::Waiting;
        }
        report.driverStatus =
            GP_STATUS_STATE_ACTIVE | (m_Phase == Phase::Accessing ? GP_ACCESS_ENABLED : GP_ACCESS_WAITING);
    } else if (m_Polling && findNextCard(now)) {
        report.driverStatus = GP_STATUS_STATE_ACTIVE | GP_CONNECT_REPORT_POLL_MODE;
        report.pollModeCardType = static_cast<uint32_t>(m_Cards[m_Current].description.kind);
        report.additionalData = m_AdditionalData;
    }
    // The state the library now knows: after a find, a target waiting for access; after a
    // departure, none.
    if ((report.driverStatus & GP_CONNECT_REPORT_POLL_MODE) != 0) {
        m_Answered = GP_STATUS_STATE_ACTIVE | GP_ACCESS_WAITING;
    } else if ((report.driverStatus & GP_TARGET_DEPARTED) != 0) {
        m_Answered = GP_STATUS_STATE_IDLE;
    } else {
        m_Answered = report.driverStatus;
    }
    return true;
}

bool SimReader::statusChangePending(uint32_t now) const
{
    if (!m_Open) {
        return false;
    }
    if (m_DeparturePending) {
        return true;
    }
    uint32_t state = GP_STATUS_STATE_IDLE;
    if (m_Polling && m_Current >= 0) {
        uint32_t round;
        if (inField(m_Cards[m_Current], now, round) && round == m_CurrentRound) {
            state = GP_STATUS_STATE_ACTIVE | (m_Phase == Phase::Accessing ? GP_ACCESS_ENABLED : GP_ACCESS_WAITING);
        } else if (m_ReportDepartures) {
            return true;
        } else if (cardToFind(now) >= 0) {
            return true;
        }
    } else if (m_Polling && cardToFind(now) >= 0) {
        return true;
    }
    return state != m_Answered;
}

bool SimReader::startDeviceAccess(uint32_t targetNumber, uint32_t now, reader::Error &error)
{
    if (!requireOpen(error)) {
        return false;
    }
    if (!m_Polling) {
        return fail(error, SIM_E_NOT_POLLING, 0);
    }
    dropCardThatLeft(now);
    if (m_Current < 0 || targetNumber != m_TargetNumber) {
        return fail(error, SIM_E_NO_TARGET, targetNumber);
    }
    if (m_Phase == Phase::Accessing) {
        return fail(error, SIM_E_ALREADY_ACCESSING, m_TargetNumber);
    }
    m_Phase = Phase::Accessing;
    m_Halted = false;
    m_Cards[m_Current].reset();
    return true;
}

bool SimReader::requireAccess(uint32_t now, reader::Error &error)
{
    if (!requireOpen(error)) {
        return false;
    }
    if (dropCardThatLeft(now)) {
        return fail(error, SIM_E_NO_RESPONSE, SIM_NO_RESPONSE_LEFT_FIELD);
    }
    if (m_Current < 0 || m_Phase != Phase::Accessing) {
        return fail(error, SIM_E_NOT_ACCESSING, 0);
    }
    return true;
}

bool SimReader::stopDeviceAccess(uint32_t stopMode, uint32_t now, reader::Error &error)
{
    if (!requireOpen(error)) {
        return false;
    }
    if (stopMode > 1) {
        return fail(error, SIM_E_INVALID_ARGUMENT, 1);
    }
    if (!requireAccess(now, error)) {
        return false;
    }
    VirtualCard &card = m_Cards[m_Current];
    card.served = stopMode == 0;
    card.servedRound = m_CurrentRound;
    m_Current = -1;
    return true;
}

bool SimReader::selectDevice(uint32_t now, reader::Error &error)
{
    if (!requireAccess(now, error)) {
        return false;
    }
    m_Halted = false;
    m_Cards[m_Current].reset();
    return true;
}

bool SimReader::deselectDevice(uint32_t now, reader::Error &error)
{
    if (!requireAccess(now, error)) {
        return false;
    }
    m_Halted = true;
    return true;
}

bool SimReader::exchange(const uint8_t *command, size_t length, uint32_t now, std::vector<uint8_t> &response,
                         reader::Error &error)
{
    if (!requireAccess(now, error)) {
        return false;
    }
    if (m_Halted) {
        return fail(error, SIM_E_NO_RESPONSE, SIM_NO_RESPONSE_HALTED);
    }
    VirtualCard &card = m_Cards[m_Current];
    if (card.type4) {
        response = card.type4->answer(command, length);
        return true;
    }
    if (card.type2) {
        if (!card.type2->answer(command, length, response)) {
            return fail(error, SIM_E_NO_RESPONSE, SIM_NO_RESPONSE_IGNORED);
        }
        // The tag answers a FAST_READ of any length; the reader's frame carries no more than this.
        if (response.size() > SIM_MAXIMUM_RESPONSE_SIZE) {
            response.clear();
            return fail(error, SIM_E_NO_RESPONSE, SIM_NO_RESPONSE_OVERFLOW);
        }
        return true;
    }
    return card.type3->answer(command, length, response) || fail(error, SIM_E_NO_RESPONSE, SIM_NO_RESPONSE_IGNORED);
}

}  // namespace sim
