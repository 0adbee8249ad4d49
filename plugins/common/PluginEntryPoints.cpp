#include "PluginEntryPoints.h"

#include <cstring>
#include <deque>
#include <string>

#include "PluginRegistry.h"
#include "ReaderPortName.h"

namespace korvat_plugin {

namespace {

// The longest a closer waits for the poll thread to finish: a step cut short by a stop ends
// within one read slice, or one write to a port that has stopped taking bytes (1 s).
const DWORD PollThreadStopBoundMs = 2000;
// The longest gp_stop_device_access waits for the I/O lock (the poll thread holds it for a
// moment per step while a target is accessed).
const DWORD IoLockBoundMs = 2000;
// How often the watch thread of a reader without a poll thread asks whether its status changed.
const DWORD WatchIntervalMs = 5;

bool stopRequested(HANDLE stop)
{
    return WaitForSingleObject(stop, 0) != WAIT_TIMEOUT;
}

// gp_read's arguments, with the command's length already cut to its low 16 bits: 0 when they are
// usable, else the position of the first that is not (1 command, 2 its length, 3 answer buffer,
// 4 answer length).
uint32_t readArgumentFault(const uint8_t *command, uint16_t length, const uint8_t *response,
                           const uint16_t *responseLength)
{
    if (command == nullptr) {
        return 1;
    }
    if (length == 0) {
        return 2;
    }
    if (response == nullptr) {
        return 3;
    }
    return responseLength == nullptr ? 4 : 0;
}

// gp_get_driver_status's outputs: 0 when all are given, else the position of the first null one.
uint32_t driverStatusArgumentFault(const uint32_t *driverStatus, const uint32_t *pollModeCardType,
                                   const uint32_t *listenModeCardType, const uint32_t *additionalDataSize,
                                   uint8_t *const *additionalData)
{
    const void *const outputs[] = {driverStatus, pollModeCardType, listenModeCardType, additionalDataSize,
                                   additionalData};
    for (uint32_t i = 0; i < 5; ++i) {
        if (outputs[i] == nullptr) {
            return i + 1;
        }
    }
    return 0;
}

}  // namespace

GP_BOOL EntryPoints::fail(const char *entry, const Error &failure, ErrorInfo *error)
{
    m_Reader.traceFailure(entry, failure);
    error->error_code = failure.code;
    error->detail_code = failure.detail;
    return 0;
}

GP_BOOL EntryPoints::refuse(const char *entry, uint32_t code, uint32_t detail, ErrorInfo *error)
{
    Error failure;
    failure.code = code;
    failure.detail = detail;
    return fail(entry, failure, error);
}

GP_BOOL EntryPoints::finish(const char *entry, bool ok, const Error &failure, ErrorInfo *error)
{
    return ok ? 1 : fail(entry, failure, error);
}

template <class Operation>
GP_BOOL EntryPoints::onOpenPort(const char *entry, bool publish, ErrorInfo *error, Operation operation)
{
    if (!m_Reader.isOpen()) {
        return refuse(entry, description().portNotOpen, 0, error);
    }
    Error failure;
    const bool ok = operation(failure);
    if (publish) {
        publishReports();
    }
    return finish(entry, ok, failure, error);
}

void EntryPoints::publishReports()
{
    if (!pollThread()) {
        return;
    }
    Hold hold(m_Status);
    if (m_Reader.isOpen()) {
        std::deque<StatusReport> events;
        StatusReport steady;
        m_Reader.takeReports(events, steady);
        if (m_Mailbox.post(events, steady)) {
            signalStatusChange();
        }
    } else {
        m_Mailbox.clear();
    }
}

void EntryPoints::pollUntilStopped(void *context, HANDLE stop)
{
    EntryPoints &self = *static_cast<EntryPoints *>(context);
    for (;;) {
        uint32_t pause = 50;
        {
            Hold hold(self.m_Io);
            if (stopRequested(stop)) {
                return;
            }
            if (self.m_Reader.isOpen()) {
                pause = self.m_Reader.pollStep();
            }
            // A step cut short by a stop reports nothing: its failure is the stop's doing.
            if (!stopRequested(stop)) {
                self.publishReports();
            }
        }
        if (WaitForSingleObject(stop, pause) != WAIT_TIMEOUT) {
            return;
        }
    }
}

void EntryPoints::signalStatusChange()
{
    if (m_StatusEvent != nullptr) {
        SetEvent(m_StatusEvent);
    }
}

void EntryPoints::forgetStatusEvent()
{
    Hold hold(m_Status);
    m_StatusEvent = nullptr;
    m_ChangeSignalled = false;
}

bool EntryPoints::startWatch(DWORD &windowsError)
{
    return m_Thread.running() || m_Thread.start(watchUntilStopped, this, windowsError);
}

// Once per change: a change that passes unasked for (a card that came and went) is signalled
// again when the next one comes.
void EntryPoints::watchUntilStopped(void *context, HANDLE stop)
{
    EntryPoints &self = *static_cast<EntryPoints *>(context);
    for (;;) {
        {
            Hold hold(self.m_Io);
            if (stopRequested(stop)) {
                return;
            }
            const bool pending = self.m_Reader.isOpen() && self.m_Reader.statusChangePending();
            Hold status(self.m_Status);
            if (!pending) {
                self.m_ChangeSignalled = false;
            } else if (!self.m_ChangeSignalled) {
                self.signalStatusChange();
                self.m_ChangeSignalled = true;
            }
        }
        if (WaitForSingleObject(stop, WatchIntervalMs) != WAIT_TIMEOUT) {
            return;
        }
    }
}

// Called without the I/O lock, possibly under the loader lock.
bool EntryPoints::stopPollThread(const char *entry, ErrorInfo *error)
{
    if (!m_Thread.running()) {
        return true;
    }
    m_Thread.requestStop();
    m_Reader.cancelIo(true);
    if (!m_Thread.waitStopped(PollThreadStopBoundMs)) {
        refuse(entry, description().pollThreadBusy, PollThreadStopBoundMs, error);
        return false;
    }
    m_Reader.cancelIo(false);
    return true;
}

GP_BOOL EntryPoints::gp_open_port_and_transition_nfc_mode(const char *port_name, ErrorInfo *error)
{
    const char *entry = "gp_open_port_and_transition_nfc_mode";
    if (error == nullptr) {
        return 0;
    }
    if (port_name == nullptr) {
        return refuse(entry, description().invalidArgument, 1, error);
    }
    if (!m_Reader.knowsPort(port_name)) {
        return refuse(entry, description().unknownPort, 0, error);
    }
    Hold hold(m_Io);
    if (m_Reader.isOpen()) {
        return refuse(entry, description().portAlreadyOpen, 0, error);
    }
    Error failure;
    if (!m_Reader.open(port_name, m_TimeoutSet ? m_Timeout : description().defaultTimeout, failure)) {
        return fail(entry, failure, error);
    }
    publishReports();
    return 1;
}

GP_BOOL EntryPoints::gp_close_port(ErrorInfo *error)
{
    const char *entry = "gp_close_port";
    if (error == nullptr) {
        return 0;
    }
    if (!stopPollThread(entry, error)) {
        return 0;
    }
    Hold hold(m_Io);
    return onOpenPort(entry, true, error, [this](Error &) {
        m_Timeout = m_Reader.timeout();
        m_TimeoutSet = true;
        // The hand-over of an event ends with the port, withdrawn or not.
        forgetStatusEvent();
        m_Reader.statusWatched(false);
        m_Reader.close();
        return true;
    });
}

GP_BOOL EntryPoints::gp_start_poll_mode(uint32_t target_device, ErrorInfo *error)
{
    const char *entry = "gp_start_poll_mode";
    if (error == nullptr) {
        return 0;
    }
    Hold hold(m_Io);
    if (!m_Reader.isOpen()) {
        return refuse(entry, description().portNotOpen, 0, error);
    }
    Error failure;
    if (!m_Reader.startPollMode(target_device, failure)) {
        return fail(entry, failure, error);
    }
    DWORD windowsError = 0;
    if (pollThread() && !m_Thread.start(pollUntilStopped, this, windowsError)) {
        m_Reader.stopPollMode(failure);
        return refuse(entry, description().pollThreadFailed, windowsError, error);
    }
    publishReports();
    // Poll mode again with an event still handed over: the status is watched again. Without the
    // thread the library still asks at its own pace.
    if (!pollThread() && statusEventHandedOver() && !startWatch(windowsError)) {
        failure.code = description().pollThreadFailed;
        failure.detail = windowsError;
        m_Reader.traceFailure(entry, failure);
    }
    return 1;
}

GP_BOOL EntryPoints::gp_stop_poll_mode(ErrorInfo *error)
{
    const char *entry = "gp_stop_poll_mode";
    if (error == nullptr) {
        return 0;
    }
    if (!stopPollThread(entry, error)) {
        return 0;
    }
    Hold hold(m_Io);
    return onOpenPort(entry, true, error, [this](Error &failure) { return m_Reader.stopPollMode(failure); });
}

GP_BOOL EntryPoints::gp_start_device_access(uint32_t target_number, ErrorInfo *error)
{
    const char *entry = "gp_start_device_access";
    if (error == nullptr) {
        return 0;
    }
    Hold hold(m_Io);
    return onOpenPort(entry, true, error,
                      [&](Error &failure) { return m_Reader.startDeviceAccess(target_number, failure); });
}

GP_BOOL EntryPoints::gp_stop_device_access(uint32_t stop_mode, ErrorInfo *error)
{
    const char *entry = "gp_stop_device_access";
    if (error == nullptr) {
        return 0;
    }
    // It may run under the loader lock while the poll thread holds the I/O lock.
    if (pollThread()) {
        if (!m_Io.enterWithin(IoLockBoundMs)) {
            return refuse(entry, description().pollThreadBusy, IoLockBoundMs, error);
        }
    } else {
        m_Io.enter();
    }
    const GP_BOOL done =
        onOpenPort(entry, true, error, [&](Error &failure) { return m_Reader.stopDeviceAccess(stop_mode, failure); });
    m_Io.leave();
    return done;
}

GP_BOOL EntryPoints::gp_select_device(ErrorInfo *error)
{
    const char *entry = "gp_select_device";
    if (error == nullptr) {
        return 0;
    }
    Hold hold(m_Io);
    return onOpenPort(entry, false, error, [this](Error &failure) { return m_Reader.selectDevice(failure); });
}

GP_BOOL EntryPoints::gp_deselect_device(ErrorInfo *error)
{
    const char *entry = "gp_deselect_device";
    if (error == nullptr) {
        return 0;
    }
    Hold hold(m_Io);
    return onOpenPort(entry, false, error, [this](Error &failure) { return m_Reader.deselectDevice(failure); });
}

GP_BOOL EntryPoints::gp_read(const uint8_t *command_packet_data, uint32_t command_packet_data_length,
                             uint8_t *response_packet_data, uint16_t *response_packet_data_length, ErrorInfo *error)
{
    const char *entry = "gp_read";
    if (error == nullptr) {
        return 0;
    }
    // Only the low 16 bits carry the length; the caller may leave anything in the others.
    const uint16_t length = static_cast<uint16_t>(command_packet_data_length);
    const uint32_t fault =
        readArgumentFault(command_packet_data, length, response_packet_data, response_packet_data_length);
    if (fault != 0) {
        return refuse(entry, description().invalidArgument, fault, error);
    }
    Hold hold(m_Io);
    if (!m_Reader.isOpen()) {
        return refuse(entry, description().portNotOpen, 0, error);
    }
    std::vector<uint8_t> response;
    Error failure;
    if (!m_Reader.exchange(command_packet_data, length, response, failure)) {
        return fail(entry, failure, error);
    }
    if (!response.empty()) {
        std::memcpy(response_packet_data, response.data(), response.size());
    }
    *response_packet_data_length = static_cast<uint16_t>(response.size());
    return 1;
}

GP_BOOL EntryPoints::gp_set_timeout(int32_t timeout, ErrorInfo *error)
{
    const char *entry = "gp_set_timeout";
    if (error == nullptr) {
        return 0;
    }
    if (timeout < description().minimumTimeout || timeout > description().maximumTimeout) {
        return refuse(entry, description().invalidArgument, 1, error);
    }
    Hold hold(m_Io);
    m_Timeout = timeout;
    m_TimeoutSet = true;
    Error failure;
    return m_Reader.isOpen() ? finish(entry, m_Reader.setTimeout(timeout, failure), failure, error) : 1;
}

GP_BOOL EntryPoints::gp_get_timeout(int32_t *timeout, ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    if (timeout == nullptr) {
        return refuse("gp_get_timeout", description().invalidArgument, 1, error);
    }
    Hold hold(m_Io);
    *timeout = m_Reader.isOpen() ? m_Reader.timeout() : m_TimeoutSet ? m_Timeout : description().defaultTimeout;
    return 1;
}

GP_BOOL EntryPoints::gp_get_version_number(int32_t *version_number)
{
    if (version_number == nullptr) {
        return 0;
    }
    *version_number = description().versionNumber;
    return 1;
}

// The report into gp_get_driver_status's outputs; its additional data live until the next call.
// The error pair is written only when the report carries one.
void EntryPoints::handOutStatus(StatusReport &report, uint32_t *driverStatus, uint32_t *pollModeCardType,
                                uint32_t *listenModeCardType, uint32_t *additionalDataSize, uint8_t **additionalData,
                                ErrorInfo *error)
{
    *driverStatus = report.driverStatus;
    *pollModeCardType = report.pollModeCardType;
    *listenModeCardType = 0;
    *additionalDataSize = static_cast<uint32_t>(report.additionalData.size());
    *additionalData = report.additionalData.empty() ? nullptr : report.additionalData.data();
    if (report.error.code != 0) {
        error->error_code = report.error.code;
        error->detail_code = report.error.detail;
    }
}

// A reader with a poll thread: the status lock only, as the reader may be busy with the thread's
// step. "Port not open" is not traced: the library asks every cycle.
GP_BOOL EntryPoints::gp_get_driver_status(uint32_t *DriverStatus, uint32_t *PollModeCardType,
                                          uint32_t *ListenModeCardType, uint32_t *AdditionalDataSize,
                                          uint8_t **AdditionalData, ErrorInfo *error)
{
    const char *entry = "gp_get_driver_status";
    if (error == nullptr) {
        return 0;
    }
    const uint32_t fault = driverStatusArgumentFault(DriverStatus, PollModeCardType, ListenModeCardType,
                                                     AdditionalDataSize, AdditionalData);
    if (fault != 0) {
        return refuse(entry, description().invalidArgument, fault, error);
    }
    if (pollThread()) {
        Hold hold(m_Status);
        if (!m_Mailbox.portOpen()) {
            error->error_code = description().portNotOpen;
            error->detail_code = 0;
            return 0;
        }
        handOutStatus(m_Mailbox.next(), DriverStatus, PollModeCardType, ListenModeCardType, AdditionalDataSize,
                      AdditionalData, error);
        return 1;
    }
    Hold hold(m_Io);
    if (!m_Reader.isOpen()) {
        error->error_code = description().portNotOpen;
        error->detail_code = 0;
        return 0;
    }
    Error failure;
    const bool read = m_Reader.readStatus(m_OnDemand, failure);
    {
        Hold status(m_Status);
        m_ChangeSignalled = false;
    }
    if (!read) {
        return fail(entry, failure, error);
    }
    handOutStatus(m_OnDemand, DriverStatus, PollModeCardType, ListenModeCardType, AdditionalDataSize, AdditionalData,
                  error);
    return 1;
}

GP_BOOL EntryPoints::gp_get_plugin_information(uint8_t *PortCategory, ErrorInfo *error)
{
    const char *entry = "gp_get_plugin_information";
    if (error == nullptr) {
        return 0;
    }
    if (PortCategory == nullptr) {
        return refuse(entry, description().invalidArgument, 1, error);
    }
    std::string list;
    if (!readLibraryString("category_name_list", list) || list.empty()) {
        return refuse(entry, description().categoryNotListed, 0, error);
    }
    const int position = reader::categoryPosition(list, description().categoryName);
    if (position < 0) {
        return refuse(entry, description().categoryNotListed, 1, error);
    }
    *PortCategory = static_cast<uint8_t>(position);
    return 1;
}

bool EntryPoints::statusEventHandedOver()
{
    Hold hold(m_Status);
    return m_StatusEvent != nullptr;
}

GP_BOOL EntryPoints::gp_set_status_event(void *event, ErrorInfo *error)
{
    const char *entry = "gp_set_status_event";
    if (error == nullptr) {
        return 0;
    }
    if (event == nullptr) {
        return withdrawStatusEvent();
    }
    if (!m_Reader.offersStatusEvent()) {
        return refuse(entry, description().invalidArgument, 1, error);
    }
    Hold hold(m_Io);
    if (!m_Reader.isOpen()) {
        return refuse(entry, description().portNotOpen, 0, error);
    }
    {
        Hold status(m_Status);
        m_StatusEvent = static_cast<HANDLE>(event);
        m_ChangeSignalled = false;
        // A report that waits already (a target found before the hand-over) is a change too.
        if (pollThread() && m_Mailbox.reportWaiting()) {
            signalStatusChange();
        }
    }
    m_Reader.statusWatched(true);
    DWORD windowsError = 0;
    if (!pollThread() && !startWatch(windowsError)) {
        forgetStatusEvent();
        m_Reader.statusWatched(false);
        return refuse(entry, description().pollThreadFailed, windowsError, error);
    }
    return 1;
}

// May run under the loader lock (the library's stop at FreeLibrary): the watch thread is asked
// to stop and waited for within a bound, never for its end; the event is forgotten first, so a
// thread that outlives the bound no longer touches it. The withdrawal itself cannot fail.
GP_BOOL EntryPoints::withdrawStatusEvent()
{
    forgetStatusEvent();
    if (pollThread()) {
        if (m_Io.enterWithin(IoLockBoundMs)) {
            m_Reader.statusWatched(false);
            m_Io.leave();
        }
        return 1;
    }
    m_Thread.requestStop();
    m_Thread.waitStopped(PollThreadStopBoundMs);
    Hold hold(m_Io);
    m_Reader.statusWatched(false);
    return 1;
}

namespace {

// The entries a list may carry: a port name of 1 to 63 bytes without a NUL, listed once.
std::vector<reader::PortEntry> usablePorts(const std::vector<reader::PortEntry> &ports)
{
    std::vector<reader::PortEntry> usable;
    for (const reader::PortEntry &port : ports) {
        bool listed = false;
        for (const reader::PortEntry &other : usable) {
            listed = listed || other.portName == port.portName;
        }
        if (!listed && !port.portName.empty() && port.portName.size() <= reader::MaximumPortNameLength &&
            port.portName.find('\0') == std::string::npos && port.readerName.find('\0') == std::string::npos) {
            usable.push_back(port);
        }
    }
    return usable;
}

}  // namespace

GP_BOOL EntryPoints::gp_list_ports(char *buffer, uint32_t buffer_size, uint32_t *needed_size, ErrorInfo *error)
{
    const char *entry = "gp_list_ports";
    if (error == nullptr) {
        return 0;
    }
    if (buffer == nullptr && buffer_size > 0) {
        return refuse(entry, description().invalidArgument, 1, error);
    }
    if (needed_size == nullptr) {
        return refuse(entry, description().invalidArgument, 3, error);
    }
    Hold hold(m_List);
    std::vector<reader::PortEntry> ports;
    Error failure;
    if (!m_Reader.listPorts(ports, failure)) {
        return fail(entry, failure, error);
    }
    std::string list;
    reader::formatPortList(usablePorts(ports), list);
    *needed_size = static_cast<uint32_t>(list.size());
    if (list.size() <= buffer_size) {
        std::memcpy(buffer, list.data(), list.size());
    }
    return 1;
}

}  // namespace korvat_plugin

namespace {

korvat_plugin::EntryPoints g_EntryPoints(korvat_plugin::pluginReader());

}  // namespace

// The exports: each of the fourteen entry points under its plain name, cdecl, calling the member
// of the same name. The optional entry points' exports go here too, from their own list.
#define KORVAT_PLUGIN_EXPORT_ENTRY(name, parameters, arguments)                                                        \
    extern "C" __declspec(dllexport) GP_BOOL GP_CALL name parameters { return g_EntryPoints.name arguments; }
GP_ENTRY_POINTS(KORVAT_PLUGIN_EXPORT_ENTRY)
GP_OPTIONAL_ENTRY_POINTS(KORVAT_PLUGIN_EXPORT_ENTRY)
#undef KORVAT_PLUGIN_EXPORT_ENTRY
