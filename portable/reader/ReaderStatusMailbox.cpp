#include "ReaderStatusMailbox.h"

#include <utility>

#include "korvat_nfc_plugin.h"

namespace reader {

void StatusMailbox::post(std::deque<StatusReport> &events, const StatusReport &steady)
{
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
}

StatusReport &StatusMailbox::next()
{
    if (m_DeviceErrorWaiting) {
        m_HandedOut = std::move(m_DeviceError);
        m_DeviceErrorWaiting = false;
    } else if (m_TargetWaiting != Target::Nothing) {
        m_HandedOut = std::move(m_TargetReport);
        m_TargetWaiting = Target::Nothing;
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
}

}  // namespace reader
