#include "ReaderReports.h"

#include <utility>

#include "korvat_nfc_plugin.h"

namespace reader {

StatusReport foundReport(uint32_t cardType, std::vector<uint8_t> additionalData)
{
    StatusReport found;
    found.driverStatus = GP_STATUS_STATE_ACTIVE | GP_CONNECT_REPORT_POLL_MODE;
    found.pollModeCardType = cardType;
    found.additionalData = std::move(additionalData);
    return found;
}

void takeReports(std::deque<StatusReport> &pending, bool polling, TargetPhase phase, const StatusReport *failure,
                 std::deque<StatusReport> &events, StatusReport &steady)
{
    while (!pending.empty()) {
        events.push_back(std::move(pending.front()));
        pending.pop_front();
    }
    if (polling && failure != nullptr) {
        steady = *failure;
        return;
    }
    steady = StatusReport();
    if (!polling || phase == TargetPhase::None) {
        steady.driverStatus = GP_STATUS_STATE_IDLE;
    } else {
        steady.driverStatus =
            GP_STATUS_STATE_ACTIVE | (phase == TargetPhase::Accessing ? GP_ACCESS_ENABLED : GP_ACCESS_WAITING);
    }
}

}  // namespace reader
