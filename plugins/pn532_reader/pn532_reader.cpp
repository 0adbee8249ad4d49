// The fourteen entry points of the PN532 reader plug-in. The chip dialogue lives in the
// portable pn532::Reader; this unit adds the serial port, the locks and the poll thread.
//
// Two locks: the I/O lock is held for every exchange with the chip (entry points and the poll
// thread's steps), the status lock only to hand reports from the poll thread to
// gp_get_driver_status (pn532::StatusMailbox: the state now, not a queue). So the status call,
// made under the library's lock every cycle, never waits for the serial line.
//
// The loader lock. gp_stop_poll_mode, gp_close_port and gp_stop_device_access may be called
// from the library's DllMain (FreeLibrary of the library while polling or with access open), and
// gp_start_poll_mode / gp_stop_poll_mode from an application's DllMain (the library's start-up
// time-out path), that is with the loader lock held. There this plug-in never waits for a
// thread's end, never loads or frees a DLL, never takes a lock its poll thread may hold, and
// never blocks without a bound. How it keeps that (the poll thread is korvat_plugin::PollThread,
// plugins/common, which the PC/SC plug-in shares):
//   - The poll thread holds its own reference on this module, taken by gp_start_poll_mode
//     before the thread is created (GetModuleHandleEx, FROM_ADDRESS: a reference, not a load),
//     and leaves through FreeLibraryAndExitThread. So the module stays mapped for as long as
//     the thread runs, whoever frees it meanwhile.
//   - The thread's run record (stop and "finished" events) is shared and counted, so the side
//     that lets go last frees it.
//   - A closer signals stop and cancels the serial line (the link's reads wait in slices of
//     50 ms and give up at once when cancelled), then waits, bounded by PollThreadStopBoundMs,
//     for "finished": the thread sets it as its last act on the plug-in's state, after it has
//     left the I/O lock. The closer never waits for the thread's handle.
//   - A thread that has not started yet (it cannot while the creator holds the loader lock) is
//     abandoned without a wait: when it starts it sees that, and only leaves.
//   - Only after "finished" does the closer take the I/O lock. gp_stop_device_access, which
//     does not stop the thread, takes it with a bounded try (IoLockBoundMs).
//   - When a bound runs out the call fails with PN532_E_POLL_THREAD_BUSY and touches nothing
//     the thread may still use; the thread ends on its own.
//   - At process exit (DllMain with a non-null reserved pointer) the thread is already gone:
//     this plug-in has no DllMain, and its global objects' ends only close handles.
#include <windows.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "PluginStatusOutputs.h"
#include "PluginPollThread.h"
#include "PluginRegistry.h"
#include "PluginSection.h"
#include "Pn532PortName.h"
#include "Pn532Reader.h"
#include "Pn532SerialLink.h"
#include "Pn532StatusMailbox.h"
#include "korvat_nfc_plugin.h"
#include "pn532_reader.h"

#define PN532_EXPORT extern "C" __declspec(dllexport)

namespace {

// The longest a closer waits for the poll thread to finish: a cancelled step ends within one
// read slice, or one write to a port that has stopped taking bytes (its write time-out, 1 s).
const DWORD PollThreadStopBoundMs = 2000;
// The longest gp_stop_device_access waits for the I/O lock (the poll thread holds it for a
// moment per step while a target is accessed).
const DWORD IoLockBoundMs = 2000;

using korvat_plugin::Hold;
using korvat_plugin::Section;

struct Plugin {
    Section io;      // the serial line and the reader
    Section status;  // the mailbox below
    Pn532SerialLink link;
    std::unique_ptr<pn532::Reader> reader;
    int32_t timeout = PN532_DEFAULT_TIMEOUT;  // kept while no port is open
    pn532::StatusMailbox mailbox;
    korvat_plugin::PollThread thread;  // started and stopped under the I/O lock or by a closer
};

Plugin &plugin()
{
    static Plugin p;
    return p;
}

GP_BOOL fail(ErrorInfo *error, uint32_t code, uint32_t detail)
{
    error->error_code = code;
    error->detail_code = detail;
    return 0;
}

GP_BOOL finish(bool ok, const pn532::Error &e, ErrorInfo *error)
{
    return ok ? 1 : fail(error, e.code, e.detail);
}

// Hands the reader's new reports to the status side. Called with the I/O lock held.
void publishReports()
{
    Plugin &p = plugin();
    Hold hold(p.status);
    if (p.reader) {
        std::deque<pn532::StatusReport> events;
        pn532::StatusReport steady;
        p.reader->takeReports(events, steady);
        p.mailbox.post(events, steady);
    } else {
        p.mailbox.clear();
    }
}

bool stopRequested(HANDLE stop)
{
    return WaitForSingleObject(stop, 0) != WAIT_TIMEOUT;
}

void pollUntilStopped(void *, HANDLE stop)
{
    Plugin &p = plugin();
    for (;;) {
        uint32_t pause = 50;
        {
            Hold hold(p.io);
            if (stopRequested(stop)) {
                return;
            }
            if (p.reader) {
                pause = p.reader->pollStep();
            }
            // A step cut short by a stop reports nothing: its failure is the stop's doing.
            if (!stopRequested(stop)) {
                publishReports();
            }
        }
        if (WaitForSingleObject(stop, pause) != WAIT_TIMEOUT) {
            return;
        }
    }
}

// Stops the poll thread: signals it, cuts its serial I/O short and waits, bounded, for
// "finished" (never for its handle). Called without the I/O lock, possibly under the loader
// lock. False (PN532_E_POLL_THREAD_BUSY) when the thread did not finish within the bound: it
// ends on its own, and nothing it may still use is touched.
bool stopPollThread(ErrorInfo *error)
{
    Plugin &p = plugin();
    if (!p.thread.running()) {
        return true;
    }
    p.thread.requestStop();
    p.link.cancel(true);
    if (!p.thread.waitStopped(PollThreadStopBoundMs)) {
        fail(error, PN532_E_POLL_THREAD_BUSY, PollThreadStopBoundMs);
        return false;
    }
    p.link.cancel(false);
    return true;
}

// Enters the I/O lock within a bound, for an entry point that may run under the loader lock
// while the poll thread runs.
bool enterIoWithin(ErrorInfo *error)
{
    if (!plugin().io.enterWithin(IoLockBoundMs)) {
        fail(error, PN532_E_POLL_THREAD_BUSY, IoLockBoundMs);
        return false;
    }
    return true;
}

}  // namespace

PN532_EXPORT GP_BOOL __cdecl gp_open_port_and_transition_nfc_mode(const char *port_name, ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    if (port_name == nullptr) {
        return fail(error, PN532_E_INVALID_ARGUMENT, 1);
    }
    std::string device;
    if (!pn532::serialDeviceName(port_name, device)) {
        return fail(error, PN532_E_UNKNOWN_PORT, 0);
    }
    Plugin &p = plugin();
    Hold hold(p.io);
    if (p.reader) {
        return fail(error, PN532_E_PORT_ALREADY_OPEN, 0);
    }
    DWORD windowsError = 0;
    if (!p.link.open(device, windowsError)) {
        return fail(error, PN532_E_PORT, windowsError);
    }
    std::unique_ptr<pn532::Reader> reader(new pn532::Reader(p.link));
    pn532::Error e;
    if (!reader->setTimeout(p.timeout, e) || !reader->open(e)) {
        p.link.close();
        return fail(error, e.code, e.detail);
    }
    p.reader = std::move(reader);
    publishReports();
    return 1;
}

PN532_EXPORT GP_BOOL __cdecl gp_close_port(ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    if (!stopPollThread(error)) {
        return 0;
    }
    Plugin &p = plugin();
    Hold hold(p.io);
    if (!p.reader) {
        return fail(error, PN532_E_PORT_NOT_OPEN, 0);
    }
    pn532::Error e;
    p.reader->close(e);
    p.timeout = p.reader->timeout();
    p.reader.reset();
    p.link.close();
    publishReports();
    return 1;
}

PN532_EXPORT GP_BOOL __cdecl gp_start_poll_mode(uint32_t target_device, ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    Plugin &p = plugin();
    Hold hold(p.io);
    if (!p.reader) {
        return fail(error, PN532_E_PORT_NOT_OPEN, 0);
    }
    pn532::Error e;
    if (!p.reader->startPollMode(target_device, e)) {
        return fail(error, e.code, e.detail);
    }
    DWORD windowsError = 0;
    if (!p.thread.start(pollUntilStopped, nullptr, windowsError)) {
        p.reader->stopPollMode(e);
        return fail(error, PN532_E_PORT, windowsError);
    }
    publishReports();
    return 1;
}

PN532_EXPORT GP_BOOL __cdecl gp_stop_poll_mode(ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    if (!stopPollThread(error)) {
        return 0;
    }
    Plugin &p = plugin();
    Hold hold(p.io);
    if (!p.reader) {
        return fail(error, PN532_E_PORT_NOT_OPEN, 0);
    }
    pn532::Error e;
    const bool ok = p.reader->stopPollMode(e);
    publishReports();
    return finish(ok, e, error);
}

PN532_EXPORT GP_BOOL __cdecl gp_start_device_access(uint32_t target_number, ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    Plugin &p = plugin();
    Hold hold(p.io);
    pn532::Error e;
    const bool ok = p.reader ? p.reader->startDeviceAccess(target_number, e)
                             : (e.code = PN532_E_PORT_NOT_OPEN, false);
    publishReports();
    return finish(ok, e, error);
}

PN532_EXPORT GP_BOOL __cdecl gp_stop_device_access(uint32_t stop_mode, ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    if (!enterIoWithin(error)) {
        return 0;
    }
    Plugin &p = plugin();
    pn532::Error e;
    const bool ok = p.reader ? p.reader->stopDeviceAccess(stop_mode, e) : (e.code = PN532_E_PORT_NOT_OPEN, false);
    publishReports();
    p.io.leave();
    return finish(ok, e, error);
}

PN532_EXPORT GP_BOOL __cdecl gp_select_device(ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    Plugin &p = plugin();
    Hold hold(p.io);
    pn532::Error e;
    const bool ok = p.reader ? p.reader->selectDevice(e) : (e.code = PN532_E_PORT_NOT_OPEN, false);
    return finish(ok, e, error);
}

PN532_EXPORT GP_BOOL __cdecl gp_deselect_device(ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    Plugin &p = plugin();
    Hold hold(p.io);
    pn532::Error e;
    const bool ok = p.reader ? p.reader->deselectDevice(e) : (e.code = PN532_E_PORT_NOT_OPEN, false);
    return finish(ok, e, error);
}

PN532_EXPORT GP_BOOL __cdecl gp_read(const uint8_t *command_packet_data, uint32_t command_packet_data_length,
                                     uint8_t *response_packet_data, uint16_t *response_packet_data_length,
                                     ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    // Only the low 16 bits carry the length; the caller may leave anything in the others.
    const uint16_t length = static_cast<uint16_t>(command_packet_data_length);
    const uint32_t fault = korvat_plugin::readArgumentFault(command_packet_data, length, response_packet_data,
                                                            response_packet_data_length);
    if (fault != 0) {
        return fail(error, PN532_E_INVALID_ARGUMENT, fault);
    }
    Plugin &p = plugin();
    Hold hold(p.io);
    if (!p.reader) {
        return fail(error, PN532_E_PORT_NOT_OPEN, 0);
    }
    std::vector<uint8_t> response;
    pn532::Error e;
    if (!p.reader->exchange(command_packet_data, length, response, e)) {
        return fail(error, e.code, e.detail);
    }
    korvat_plugin::handOutAnswer(response, response_packet_data, response_packet_data_length);
    return 1;
}

PN532_EXPORT GP_BOOL __cdecl gp_set_timeout(int32_t timeout, ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    if (timeout < PN532_MINIMUM_TIMEOUT || timeout > PN532_MAXIMUM_TIMEOUT) {
        return fail(error, PN532_E_INVALID_ARGUMENT, 1);
    }
    Plugin &p = plugin();
    Hold hold(p.io);
    p.timeout = timeout;
    pn532::Error e;
    return p.reader ? finish(p.reader->setTimeout(timeout, e), e, error) : 1;
}

PN532_EXPORT GP_BOOL __cdecl gp_get_timeout(int32_t *timeout, ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    if (timeout == nullptr) {
        return fail(error, PN532_E_INVALID_ARGUMENT, 1);
    }
    Plugin &p = plugin();
    Hold hold(p.io);
    *timeout = p.reader ? p.reader->timeout() : p.timeout;
    return 1;
}

PN532_EXPORT GP_BOOL __cdecl gp_get_version_number(int32_t *version_number)
{
    if (version_number == nullptr) {
        return 0;
    }
    *version_number = PN532_VERSION_NUMBER;
    return 1;
}

// Takes the status lock only: the serial line may be busy with the poll thread's listing.
PN532_EXPORT GP_BOOL __cdecl gp_get_driver_status(uint32_t *DriverStatus, uint32_t *PollModeCardType,
                                                  uint32_t *ListenModeCardType, uint32_t *AdditionalDataSize,
                                                  uint8_t **AdditionalData, ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    const uint32_t fault = korvat_plugin::driverStatusArgumentFault(DriverStatus, PollModeCardType, ListenModeCardType,
                                                                    AdditionalDataSize, AdditionalData);
    if (fault != 0) {
        return fail(error, PN532_E_INVALID_ARGUMENT, fault);
    }
    Plugin &p = plugin();
    Hold hold(p.status);
    if (!p.mailbox.portOpen()) {
        return fail(error, PN532_E_PORT_NOT_OPEN, 0);
    }
    korvat_plugin::handOutStatus(p.mailbox, DriverStatus, PollModeCardType, ListenModeCardType, AdditionalDataSize,
                                 AdditionalData, error);
    return 1;
}

PN532_EXPORT GP_BOOL __cdecl gp_get_plugin_information(uint8_t *PortCategory, ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    if (PortCategory == nullptr) {
        return fail(error, PN532_E_INVALID_ARGUMENT, 1);
    }
    std::string list;
    if (!korvat_plugin::readLibraryString("category_name_list", list) || list.empty()) {
        return fail(error, PN532_E_CATEGORY_NOT_LISTED, 0);
    }
    const int position = pn532::categoryPosition(list, PN532_CATEGORY_NAME);
    if (position < 0) {
        return fail(error, PN532_E_CATEGORY_NOT_LISTED, 1);
    }
    *PortCategory = static_cast<uint8_t>(position);
    return 1;
}
