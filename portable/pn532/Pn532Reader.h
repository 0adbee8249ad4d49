// The PN532 reader as the library sees it: port open and closed, poll mode with its found,
// waiting and enabled targets, device access to one target. Not thread-safe: the plug-in calls
// it under its I/O lock, from the entry points and from its poll thread, and hands what it
// reports to gp_get_driver_status through a lock of its own.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "Pn532Device.h"
#include "ReaderReports.h"

namespace pn532 {

using reader::StatusReport;
using reader::TargetPhase;

class Reader {
public:
    explicit Reader(Link &link);

    bool open(Error &error);
    bool close(Error &error);
    bool startPollMode(uint32_t targetDevice, Error &error);
    bool stopPollMode(Error &error);
    bool startDeviceAccess(uint32_t targetNumber, Error &error);
    bool stopDeviceAccess(uint32_t stopMode, Error &error);
    bool selectDevice(Error &error);
    bool deselectDevice(Error &error);
    bool exchange(const uint8_t *command, size_t length, std::vector<uint8_t> &response, Error &error);
    bool setTimeout(int32_t timeout, Error &error);
    int32_t timeout() const { return m_Timeout; }

    // One step of the poll thread: a listing of the next kind of target while none is found,
    // a presence check of the found target while access has not started. Returns how long
    // the thread may sleep before the next step.
    uint32_t pollStep();

    // A reader that fails (port lost, chip silent or reset) is reported once as a device error
    // event and then stays in the device error state: each step reopens the port, wakes and
    // configures the chip again and lists, until a listing is answered; then the state is idle
    // and targets are found again.

    // Moves the reports made since the last call to `events` (found, card error, device
    // error, in order) and gives the status to report when no event is pending: the device
    // error while the reader fails, else idle, waiting or enabled.
    void takeReports(std::deque<StatusReport> &events, StatusReport &steady);

    bool isOpen() const { return m_Open; }
    bool isPolling() const { return m_Polling; }
    const Device &device() const { return m_Device; }

private:
    using Phase = TargetPhase;

    bool requireOpen(Error &error) const;
    bool requireAccess(Error &error) const;
    void report(uint32_t driverStatus, const Error &error);
    void dropTarget();
    void deviceFailed(const Error &error);
    bool setUpAgain();
    uint32_t quickTimeout() const;
    bool listNextKind();

    Link &m_Link;
    Device m_Device;
    bool m_Open = false;
    bool m_Polling = false;
    uint32_t m_TargetDevice = 0;
    int32_t m_Timeout;
    size_t m_NextKind = 0;

    Phase m_Phase = Phase::None;
    ListedTarget m_Target;
    uint32_t m_TargetNumber = 0;
    uint32_t m_NextTargetNumber = 1;
    uint32_t m_LastPresenceCheck = 0;
    bool m_DeviceFailing = false;  // a device error was reported and the chip has not answered since
    StatusReport m_Failure;        // the device error state while it fails

    // Cards released with stop mode 0, by identifier, and whether the current round of listings
    // saw them again; a card not seen in a whole round has left the field.
    struct Released {
        std::vector<uint8_t> identifier;
        uint32_t cardType;
        bool seen;
    };
    std::vector<Released> m_Released;

    std::deque<StatusReport> m_Events;
};

}  // namespace pn532
