// Hands the poll thread's reports to gp_get_driver_status as the state of the reader now, not as
// its history. The library asks every 600 ms; a card at the edge of the field can arrive and
// leave several times in between, and a queue of every report would make the application learn
// of targets long after they left. So at most one report waits:
//   - a found target not yet handed out is replaced by a newer one, and dropped with its
//     departure (the application never learns of a target that came and went between two
//     calls);
//   - a departure is reported (card error, once) only for a target that was handed out, and
//     only until a newer target is found; it carries GP_TARGET_DEPARTED and the departed
//     target's card type and additional data (its number at GP_AD_TARGET_NUMBER), so a library
//     that knows the bit reports a lost target, and one that does not sees the card error as
//     before;
//   - a device error is reported once even when the reader answered again before the call; the
//     target of the moment is given up with it.
// Otherwise the call gets the state (idle, waiting, enabled, or the device error while the
// reader fails). Not thread-safe: the plug-in calls it under its status lock.
#pragma once

#include <deque>

#include "ReaderReports.h"

namespace reader {

class StatusMailbox {
public:
    // The reports made since the last post, oldest first (taken out of `events`), and the state.
    // True when the answer of the next status call changed with them: a report now waits that
    // did not, or the state is another (the moment to set the plug-in's status event).
    bool post(std::deque<StatusReport> &events, const StatusReport &steady);
    // The answer of one status call: lives until the next call of next() or clear().
    StatusReport &next();
    // The port is closed: nothing waits, and the state is "no port" (driverStatus 0).
    void clear();
    bool portOpen() const { return m_Steady.driverStatus != 0; }
    // A report waits for the next status call (it answers other than the state).
    bool reportWaiting() const { return m_DeviceErrorWaiting || m_TargetWaiting != Target::Nothing; }

private:
    enum class Target { Nothing, Found, Departure };

    bool m_DeviceErrorWaiting = false;
    StatusReport m_DeviceError;
    Target m_TargetWaiting = Target::Nothing;
    StatusReport m_TargetReport;
    StatusReport m_Steady;     // the state
    StatusReport m_HandedOut;  // the last answer
    StatusReport m_LastFound;  // the last target handed out, until its departure (empty: none)
};

}  // namespace reader
