// The fourteen entry points of the PN532 reader plug-in. The chip dialogue lives in the
// portable pn532::Reader; this unit adds the serial port, the locks and the poll thread.
//
// Two locks: the I/O lock is held for every exchange with the chip (entry points and the poll
// thread's steps), the status lock only to hand reports from the poll thread to
// gp_get_driver_status. So the status call, made under the library's lock every cycle, never
// waits for the serial line.
//
// The poll thread runs from gp_start_poll_mode to gp_stop_poll_mode (or gp_close_port), which
// signal it and wait for its end; after that wait no code of the thread runs.
#include <windows.h>

#include <process.h>

#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "Pn532PortName.h"
#include "Pn532Reader.h"
#include "Pn532SerialLink.h"
#include "korvat_nfc_plugin.h"
#include "pn532_reader.h"

#define PN532_EXPORT extern "C" __declspec(dllexport)

namespace {

const char LibraryKey[] = "SOFTWARE\\Ravo Corporation\\Korvat NFC Library";

class Section {
public:
    Section() { InitializeCriticalSection(&m_Section); }
    ~Section() { DeleteCriticalSection(&m_Section); }
    void enter() { EnterCriticalSection(&m_Section); }
    void leave() { LeaveCriticalSection(&m_Section); }

private:
    CRITICAL_SECTION m_Section;
};

class Hold {
public:
    explicit Hold(Section &section) : m_Section(section) { m_Section.enter(); }
    ~Hold() { m_Section.leave(); }
    Hold(const Hold &) = delete;
    Hold &operator=(const Hold &) = delete;

private:
    Section &m_Section;
};

struct Plugin {
    Section io;      // the serial line and the reader
    Section status;  // the reports below
    Pn532SerialLink link;
    std::unique_ptr<pn532::Reader> reader;
    int32_t timeout = PN532_DEFAULT_TIMEOUT;  // kept while no port is open

    std::deque<pn532::StatusReport> events;
    pn532::StatusReport steady;
    pn532::StatusReport reported;  // the last one handed out: its data lives until the next call

    HANDLE thread = nullptr;
    HANDLE stop = nullptr;
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
        p.reader->takeReports(p.events, p.steady);
    } else {
        p.events.clear();
        p.steady = pn532::StatusReport();
    }
}

unsigned __stdcall pollThread(void *)
{
    Plugin &p = plugin();
    for (;;) {
        uint32_t pause;
        {
            Hold hold(p.io);
            pause = p.reader ? p.reader->pollStep() : 50;
            publishReports();
        }
        if (WaitForSingleObject(p.stop, pause) != WAIT_TIMEOUT) {
            return 0;
        }
    }
}

// Stops the poll thread and waits for its end. Called without the I/O lock (the thread takes it).
void stopPollThread()
{
    Plugin &p = plugin();
    if (p.thread == nullptr) {
        return;
    }
    SetEvent(p.stop);
    WaitForSingleObject(p.thread, INFINITE);
    CloseHandle(p.thread);
    CloseHandle(p.stop);
    p.thread = nullptr;
    p.stop = nullptr;
}

bool readRegistryString(const char *name, std::string &value)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, LibraryKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    DWORD size = 0;
    bool ok = RegQueryValueExA(key, name, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS;
    if (ok) {
        std::vector<char> buffer(size + 1, '\0');
        ok = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE *>(buffer.data()), &size) ==
             ERROR_SUCCESS;
        value = ok ? std::string(buffer.data()) : std::string();
    }
    RegCloseKey(key);
    return ok;
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
    stopPollThread();
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
    p.stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    p.thread = p.stop ? reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, pollThread, nullptr, 0, nullptr)) : nullptr;
    if (p.thread == nullptr) {
        const DWORD windowsError = GetLastError();
        if (p.stop) {
            CloseHandle(p.stop);
            p.stop = nullptr;
        }
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
    stopPollThread();
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
    Plugin &p = plugin();
    Hold hold(p.io);
    pn532::Error e;
    const bool ok = p.reader ? p.reader->stopDeviceAccess(stop_mode, e) : (e.code = PN532_E_PORT_NOT_OPEN, false);
    publishReports();
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
    if (command_packet_data == nullptr) {
        return fail(error, PN532_E_INVALID_ARGUMENT, 1);
    }
    if (length == 0) {
        return fail(error, PN532_E_INVALID_ARGUMENT, 2);
    }
    if (response_packet_data == nullptr) {
        return fail(error, PN532_E_INVALID_ARGUMENT, 3);
    }
    if (response_packet_data_length == nullptr) {
        return fail(error, PN532_E_INVALID_ARGUMENT, 4);
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
    if (!response.empty()) {
        std::memcpy(response_packet_data, response.data(), response.size());
    }
    *response_packet_data_length = static_cast<uint16_t>(response.size());
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
    void *const outputs[] = {DriverStatus, PollModeCardType, ListenModeCardType, AdditionalDataSize, AdditionalData};
    for (uint32_t i = 0; i < 5; ++i) {
        if (outputs[i] == nullptr) {
            return fail(error, PN532_E_INVALID_ARGUMENT, i + 1);
        }
    }
    Plugin &p = plugin();
    Hold hold(p.status);
    if (p.steady.driverStatus == 0) {
        return fail(error, PN532_E_PORT_NOT_OPEN, 0);
    }
    if (!p.events.empty()) {
        p.reported = std::move(p.events.front());
        p.events.pop_front();
    } else {
        p.reported = p.steady;
    }
    *DriverStatus = p.reported.driverStatus;
    *PollModeCardType = p.reported.pollModeCardType;
    *ListenModeCardType = 0;
    *AdditionalDataSize = static_cast<uint32_t>(p.reported.additionalData.size());
    *AdditionalData = p.reported.additionalData.empty() ? nullptr : p.reported.additionalData.data();
    if (p.reported.error.code != 0) {
        error->error_code = p.reported.error.code;
        error->detail_code = p.reported.error.detail;
    }
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
    if (!readRegistryString("category_name_list", list) || list.empty()) {
        return fail(error, PN532_E_CATEGORY_NOT_LISTED, 0);
    }
    const int position = pn532::categoryPosition(list, PN532_CATEGORY_NAME);
    if (position < 0) {
        return fail(error, PN532_E_CATEGORY_NOT_LISTED, 1);
    }
    *PortCategory = static_cast<uint8_t>(position);
    return 1;
}
