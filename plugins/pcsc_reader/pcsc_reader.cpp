// The fourteen entry points of the PC/SC reader plug-in. The reader's states, its profile and the
// card records live in the portable pcsc::Reader; this unit adds winscard (PcscWinscard), the
// locks and the poll thread.
//
// Two locks, as in the PN532 reader: the I/O lock is held for every call into the resource
// manager (entry points and the poll thread's steps), the status lock only to hand reports from
// the poll thread to gp_get_driver_status (pn532::StatusMailbox: the state now, not a queue).
//
// The loader lock. gp_stop_poll_mode, gp_close_port and gp_stop_device_access may run in the
// library's DllMain (FreeLibrary of the library while polling or with access open), and
// gp_start_poll_mode / gp_stop_poll_mode in an application's DllMain. There this plug-in never
// waits for a thread's end, never loads or frees a DLL, never takes a lock its poll thread may
// hold, and never blocks without a bound:
//   - the poll thread is korvat_plugin::PollThread (plugins/common): its own reference on this
//     module, FreeLibraryAndExitThread, a "finished" event that a closer waits for at most
//     PollThreadStopBoundMs, never its handle; a thread not started yet is abandoned;
//   - the poll thread never blocks in the resource manager: each step asks for the reader's
//     state with a zero time-out and sleeps on the stop event between steps, so a closer's wait
//     is at most one step (a transmit of the card's identification at worst);
//   - only after "finished" does a closer take the I/O lock; gp_stop_device_access, which leaves
//     the thread running, takes it within IoLockBoundMs;
//   - a bound that runs out fails the call with PCSC_E_POLL_THREAD_BUSY and touches nothing the
//     thread may still use.
#include <windows.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "PcscReader.h"
#include "PcscWinscard.h"
#include "PluginStatusOutputs.h"
#include "PluginPollThread.h"
#include "PluginRegistry.h"
#include "PluginSection.h"
#include "Pn532PortName.h"
#include "Pn532StatusMailbox.h"
#include "korvat_nfc_plugin.h"
#include "pcsc_reader.h"

#define PCSC_EXPORT extern "C" __declspec(dllexport)

namespace {

// The longest a closer waits for the poll thread: one step (a state query, or a card's
// identification of a few transmits) is far shorter.
const DWORD PollThreadStopBoundMs = 2000;
// The longest gp_stop_device_access waits for the I/O lock.
const DWORD IoLockBoundMs = 2000;

using korvat_plugin::Hold;
using korvat_plugin::Section;

struct Plugin {
    Section io;      // the resource manager and the reader
    Section status;  // the mailbox below
    PcscWinscard scard;
    std::unique_ptr<pcsc::Reader> reader;
    int32_t timeout = PCSC_DEFAULT_TIMEOUT;  // kept while no port is open
    pn532::StatusMailbox mailbox;
    korvat_plugin::PollThread thread;  // started under the I/O lock, stopped by a closer
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

// The failure of an entry point: traced, then written to the error record.
GP_BOOL report(const char *entry, const pcsc::Error &e, ErrorInfo *error)
{
    char line[160];
    wsprintfA(line, "%s failed: error %08X, detail %08X", entry, e.code, e.detail);
    plugin().scard.trace(line);
    return fail(error, e.code, e.detail);
}

GP_BOOL finish(const char *entry, bool ok, const pcsc::Error &e, ErrorInfo *error)
{
    return ok ? 1 : report(entry, e, error);
}

GP_BOOL refuse(const char *entry, uint32_t code, uint32_t detail, ErrorInfo *error)
{
    pcsc::Error e;
    e.code = code;
    e.detail = detail;
    return report(entry, e, error);
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

void pollUntilStopped(void *, HANDLE stop)
{
    Plugin &p = plugin();
    for (;;) {
        uint32_t pause = 50;
        {
            Hold hold(p.io);
            if (WaitForSingleObject(stop, 0) != WAIT_TIMEOUT) {
                return;
            }
            if (p.reader) {
                pause = p.reader->pollStep();
            }
            publishReports();
        }
        if (WaitForSingleObject(stop, pause) != WAIT_TIMEOUT) {
            return;
        }
    }
}

// Stops the poll thread with a bounded wait for its "finished" event. Called without the I/O
// lock, possibly under the loader lock.
bool stopPollThread(const char *entry, ErrorInfo *error)
{
    Plugin &p = plugin();
    p.thread.requestStop();
    if (!p.thread.waitStopped(PollThreadStopBoundMs)) {
        refuse(entry, PCSC_E_POLL_THREAD_BUSY, PollThreadStopBoundMs, error);
        return false;
    }
    return true;
}

}  // namespace

PCSC_EXPORT GP_BOOL __cdecl gp_open_port_and_transition_nfc_mode(const char *port_name, ErrorInfo *error)
{
    const char *entry = "gp_open_port_and_transition_nfc_mode";
    if (error == nullptr) {
        return 0;
    }
    if (port_name == nullptr) {
        return refuse(entry, PCSC_E_INVALID_ARGUMENT, 1, error);
    }
    unsigned number = 0;
    if (!pcsc::portNumber(port_name, number)) {
        return refuse(entry, PCSC_E_UNKNOWN_PORT, 0, error);
    }
    Plugin &p = plugin();
    Hold hold(p.io);
    if (p.reader) {
        return refuse(entry, PCSC_E_PORT_ALREADY_OPEN, 0, error);
    }
    std::string filter;
    korvat_plugin::readLibraryString(PCSC_READER_FILTER_VALUE, filter);
    p.scard.setPortName(port_name);
    std::unique_ptr<pcsc::Reader> reader(new pcsc::Reader(p.scard, filter));
    pcsc::Error e;
    if (!reader->setTimeout(p.timeout, e) || !reader->open(number, e)) {
        return report(entry, e, error);
    }
    p.reader = std::move(reader);
    publishReports();
    return 1;
}

PCSC_EXPORT GP_BOOL __cdecl gp_close_port(ErrorInfo *error)
{
    const char *entry = "gp_close_port";
    if (error == nullptr) {
        return 0;
    }
    if (!stopPollThread(entry, error)) {
        return 0;
    }
    Plugin &p = plugin();
    Hold hold(p.io);
    if (!p.reader) {
        return refuse(entry, PCSC_E_PORT_NOT_OPEN, 0, error);
    }
    pcsc::Error e;
    p.reader->close(e);
    p.timeout = p.reader->timeout();
    p.reader.reset();
    publishReports();
    return 1;
}

PCSC_EXPORT GP_BOOL __cdecl gp_start_poll_mode(uint32_t target_device, ErrorInfo *error)
{
    const char *entry = "gp_start_poll_mode";
    if (error == nullptr) {
        return 0;
    }
    Plugin &p = plugin();
    Hold hold(p.io);
    if (!p.reader) {
        return refuse(entry, PCSC_E_PORT_NOT_OPEN, 0, error);
    }
    pcsc::Error e;
    if (!p.reader->startPollMode(target_device, e)) {
        return report(entry, e, error);
    }
    DWORD windowsError = 0;
    if (!p.thread.start(pollUntilStopped, nullptr, windowsError)) {
        p.reader->stopPollMode(e);
        return refuse(entry, PCSC_E_POLL_THREAD, windowsError, error);
    }
    publishReports();
    return 1;
}

PCSC_EXPORT GP_BOOL __cdecl gp_stop_poll_mode(ErrorInfo *error)
{
    const char *entry = "gp_stop_poll_mode";
    if (error == nullptr) {
        return 0;
    }
    if (!stopPollThread(entry, error)) {
        return 0;
    }
    Plugin &p = plugin();
    Hold hold(p.io);
    if (!p.reader) {
        return refuse(entry, PCSC_E_PORT_NOT_OPEN, 0, error);
    }
    pcsc::Error e;
    const bool ok = p.reader->stopPollMode(e);
    publishReports();
    return finish(entry, ok, e, error);
}

PCSC_EXPORT GP_BOOL __cdecl gp_start_device_access(uint32_t target_number, ErrorInfo *error)
{
    const char *entry = "gp_start_device_access";
    if (error == nullptr) {
        return 0;
    }
    Plugin &p = plugin();
    Hold hold(p.io);
    if (!p.reader) {
        return refuse(entry, PCSC_E_PORT_NOT_OPEN, 0, error);
    }
    pcsc::Error e;
    const bool ok = p.reader->startDeviceAccess(target_number, e);
    publishReports();
    return finish(entry, ok, e, error);
}

PCSC_EXPORT GP_BOOL __cdecl gp_stop_device_access(uint32_t stop_mode, ErrorInfo *error)
{
    const char *entry = "gp_stop_device_access";
    if (error == nullptr) {
        return 0;
    }
    Plugin &p = plugin();
    if (!p.io.enterWithin(IoLockBoundMs)) {
        return refuse(entry, PCSC_E_POLL_THREAD_BUSY, IoLockBoundMs, error);
    }
    pcsc::Error e;
    const bool ok = p.reader ? p.reader->stopDeviceAccess(stop_mode, e) : pcsc::fail(e, PCSC_E_PORT_NOT_OPEN, 0);
    publishReports();
    p.io.leave();
    return finish(entry, ok, e, error);
}

PCSC_EXPORT GP_BOOL __cdecl gp_select_device(ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    Plugin &p = plugin();
    Hold hold(p.io);
    pcsc::Error e;
    const bool ok = p.reader ? p.reader->selectDevice(e) : pcsc::fail(e, PCSC_E_PORT_NOT_OPEN, 0);
    return finish("gp_select_device", ok, e, error);
}

PCSC_EXPORT GP_BOOL __cdecl gp_deselect_device(ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    Plugin &p = plugin();
    Hold hold(p.io);
    pcsc::Error e;
    const bool ok = p.reader ? p.reader->deselectDevice(e) : pcsc::fail(e, PCSC_E_PORT_NOT_OPEN, 0);
    return finish("gp_deselect_device", ok, e, error);
}

PCSC_EXPORT GP_BOOL __cdecl gp_read(const uint8_t *command_packet_data, uint32_t command_packet_data_length,
                                    uint8_t *response_packet_data, uint16_t *response_packet_data_length,
                                    ErrorInfo *error)
{
    const char *entry = "gp_read";
    if (error == nullptr) {
        return 0;
    }
    // Only the low 16 bits carry the length; the caller may leave anything in the others.
    const uint16_t length = static_cast<uint16_t>(command_packet_data_length);
    const uint32_t fault = korvat_plugin::readArgumentFault(command_packet_data, length, response_packet_data,
                                                            response_packet_data_length);
    if (fault != 0) {
        return refuse(entry, PCSC_E_INVALID_ARGUMENT, fault, error);
    }
    Plugin &p = plugin();
    Hold hold(p.io);
    if (!p.reader) {
        return refuse(entry, PCSC_E_PORT_NOT_OPEN, 0, error);
    }
    std::vector<uint8_t> response;
    pcsc::Error e;
    if (!p.reader->exchange(command_packet_data, length, response, e)) {
        return report(entry, e, error);
    }
    korvat_plugin::handOutAnswer(response, response_packet_data, response_packet_data_length);
    return 1;
}

PCSC_EXPORT GP_BOOL __cdecl gp_set_timeout(int32_t timeout, ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    if (timeout < PCSC_MINIMUM_TIMEOUT || timeout > PCSC_MAXIMUM_TIMEOUT) {
        return refuse("gp_set_timeout", PCSC_E_INVALID_ARGUMENT, 1, error);
    }
    Plugin &p = plugin();
    Hold hold(p.io);
    p.timeout = timeout;
    pcsc::Error e;
    return p.reader ? finish("gp_set_timeout", p.reader->setTimeout(timeout, e), e, error) : 1;
}

PCSC_EXPORT GP_BOOL __cdecl gp_get_timeout(int32_t *timeout, ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    if (timeout == nullptr) {
        return refuse("gp_get_timeout", PCSC_E_INVALID_ARGUMENT, 1, error);
    }
    Plugin &p = plugin();
    Hold hold(p.io);
    *timeout = p.reader ? p.reader->timeout() : p.timeout;
    return 1;
}

PCSC_EXPORT GP_BOOL __cdecl gp_get_version_number(int32_t *version_number)
{
    if (version_number == nullptr) {
        return 0;
    }
    *version_number = PCSC_VERSION_NUMBER;
    return 1;
}

// Takes the status lock only: the poll thread may be identifying a card.
PCSC_EXPORT GP_BOOL __cdecl gp_get_driver_status(uint32_t *DriverStatus, uint32_t *PollModeCardType,
                                                 uint32_t *ListenModeCardType, uint32_t *AdditionalDataSize,
                                                 uint8_t **AdditionalData, ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    const uint32_t fault = korvat_plugin::driverStatusArgumentFault(DriverStatus, PollModeCardType, ListenModeCardType,
                                                                    AdditionalDataSize, AdditionalData);
    if (fault != 0) {
        return refuse("gp_get_driver_status", PCSC_E_INVALID_ARGUMENT, fault, error);
    }
    Plugin &p = plugin();
    Hold hold(p.status);
    if (!p.mailbox.portOpen()) {
        return fail(error, PCSC_E_PORT_NOT_OPEN, 0);  // not traced: the library asks every cycle
    }
    korvat_plugin::handOutStatus(p.mailbox, DriverStatus, PollModeCardType, ListenModeCardType, AdditionalDataSize,
                                 AdditionalData, error);
    return 1;
}

PCSC_EXPORT GP_BOOL __cdecl gp_get_plugin_information(uint8_t *PortCategory, ErrorInfo *error)
{
    const char *entry = "gp_get_plugin_information";
    if (error == nullptr) {
        return 0;
    }
    if (PortCategory == nullptr) {
        return refuse(entry, PCSC_E_INVALID_ARGUMENT, 1, error);
    }
    std::string list;
    if (!korvat_plugin::readLibraryString("category_name_list", list) || list.empty()) {
        return refuse(entry, PCSC_E_CATEGORY_NOT_LISTED, 0, error);
    }
    const int position = pn532::categoryPosition(list, PCSC_CATEGORY_NAME);
    if (position < 0) {
        return refuse(entry, PCSC_E_CATEGORY_NOT_LISTED, 1, error);
    }
    *PortCategory = static_cast<uint8_t>(position);
    return 1;
}
