#include "ReaderStatusMailbox.h"

#include <utility>

#include "korvat_nfc_plugin.h"

namespace reader {

namespace {

bool sameState(const StatusReport &a, const StatusReport &b)
{
    return a.driverStatus == b.driverStatus && a.pollModeCardType == b.pollModeCardType &&
           a.error.code == b.error.code && a.error.detail == b.error.detail;
}

}  // namespace

bool StatusMailbox::post(std::deque<StatusReport> &events, const StatusReport &steady)
{
    const bool changed = !events.empty() || !sameState(steady, m_Steady);
    for (StatusReport &event : events) {
        const uint32_t state = event.driverStatus & GP_STATUS_STATE_MASK;
        if (state == GP_STATUS_DEVICE_ERROR) {
            m_DeviceErrorWaiting = true;
            m_DeviceError = std::move(event);
            m_TargetWaiting = Target::Nothing;  // the reader gave its target up
        } else if (state == GP_STATUS_CARD_ERROR) {
            if (m_TargetWaiting == Target::Found) {
                m_TargetWaiting = Target::Nothing;  // came and went unseen
            } else if (m_TargetWaiting == Target::Nothing) {
                m_TargetWaiting = Target::Departure;
                m_TargetReport = std::move(event);
            }
        } else if ((event.driverStatus & GP_CONNECT_REPORT_POLL_MODE) != 0) {
            m_TargetWaiting = Target::Found;
            m_TargetReport = std::move(event);
        }
    }
    events.clear();
    m_Steady = steady;
    return changed;
}

StatusReport &StatusMailbox::next()
{
    if (m_DeviceErrorWaiting) {
        m_HandedOut = std::move(m_DeviceError);
        m_DeviceErrorWaiting = false;
        m_LastFound = StatusReport();
    } else if (m_TargetWaiting == Target::Found) {
        m_HandedOut = std::move(m_TargetReport);
        m_TargetWaiting = Target::Nothing;
        m_LastFound = m_HandedOut;
    } else if (m_TargetWaiting == Target::Departure) {
        m_HandedOut = std::move(m_TargetReport);
        m_TargetWaiting = Target::Nothing;
        // Which target left: the one handed out last, when it carries its number.
        if (m_LastFound.additionalData.size() >= GP_AD_TARGET_NUMBER + 4) {
            m_HandedOut.driverStatus |= GP_TARGET_DEPARTED;
            m_HandedOut.pollModeCardType = m_LastFound.pollModeCardType;
            m_HandedOut.additionalData = std::move(m_LastFound.additionalData);
        }
        m_LastFound = StatusReport();
    } else {
        m_HandedOut = m_Steady;
    }
    return m_HandedOut;
}

void StatusMailbox::clear()
{
    m_DeviceErrorWaiting = false;
    m_TargetWaiting = Target::Nothing;
    m_Steady = StatusReport();
    m_LastFound = StatusReport();
}

}  // namespace reader
