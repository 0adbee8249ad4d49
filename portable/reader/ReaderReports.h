// What a reader in poll mode reports to gp_get_driver_status, the same for each reader kind:
// the events it made (found, card error, device error, in order) and, when none is pending, the
// steady state of its target or the device error while it fails.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "ReaderError.h"

namespace reader {

// One answer of gp_get_driver_status.
struct StatusReport {
    uint32_t driverStatus = 0;
    uint32_t pollModeCardType = 0;
    std::vector<uint8_t> additionalData;
    Error error;  // with a device error state
};

// Where the reader's target stands: none, found (access waiting) or accessed (access enabled).
enum class TargetPhase { None, Found, Accessing };

// The event of a target found in poll mode.
StatusReport foundReport(uint32_t cardType, std::vector<uint8_t> additionalData);

// Moves `pending` to the end of `events` and gives the status to report when no event is pending:
// `*failure` when it is not null and the reader polls, else idle (not polling or no target),
// waiting or enabled.
void takeReports(std::deque<StatusReport> &pending, bool polling, TargetPhase phase, const StatusReport *failure,
                 std::deque<StatusReport> &events, StatusReport &steady);

}  // namespace reader
