#include "NfcLibrary.h"

#include <optional>

#include "NfcCriticalSection.h"
#include "NfcLogProxy.h"
#include "NfcProcessState.h"
#include "NfcStatusCall.h"
#include "NfcTracePointer.h"
#include "korvat_nfc.h"

static const char NFC_SOURCE_FILE[] = "..\\..\\NFCLibrary\\NfcLibrary.cpp";

NfcLibrary::NfcLibrary()
    : m_ErrorInfo{0, 0}, m_NfcLibraryState(NFC_LIBRARY_STATE_UNINITIALIZED),
      m_PortResolver(m_Configuration, m_NfcPluginLoader, m_NfcPluginWrapper, m_ErrorInfo)
{
    m_NfcCallback.setPluginWrapper(&m_NfcPluginWrapper);
    m_NfcCallback.setEventQueue(&m_EventQueue);
    m_PlugAndPlay.setEventQueue(&m_EventQueue);
    // Created here, while the DLL is loaded and no application thread can call in yet.
    NfcCriticalSection::createLock();
}

NfcLibrary::~NfcLibrary()
{
    // Runs at FreeLibrary only; at process exit the object is not ended at all (NfcLifetime).
    // The unloading thread holds the loader lock. A notification cycle holds the library lock
    // for its status call, and a plug-in that waits for the loader lock there would never give
    // it back: the lock is waited for DetachLockBoundMilliseconds, and after that the cycle's
    // status call is abandoned as soon as the thread is inside it (NfcStatusCall: the thread
    // ends when the plug-in returns, without coming back into this DLL). Then nothing else is
    // done: the plug-in is neither closed nor freed (the thread runs its code) and the lock is
    // not retired. A holder outside the status call runs this library's own code, which never
    // waits for the loader lock, so it gives the lock back.
    NfcCriticalSection guard(DetachLockBoundMilliseconds, &NfcStatusCall::abandonCallInProgress);
    if (!guard.owns()) {
        NFC_LOG(0, "ERROR! : The notification thread's status call did not return within %lu ms at unload; "
                   "it was abandoned and the plug-in stays loaded.\n",
                static_cast<unsigned long>(DetachLockBoundMilliseconds));
        return;
    }
    // The watcher calls the plug-ins: while it may still run, none is closed or unloaded.
    if (!stopPlugAndPlayThread()) {
        return;
    }
    if (m_NfcLibraryState == NFC_LIBRARY_STATE_PORT_OPEN) {
        close();
    }
    if (m_NfcLibraryState == NFC_LIBRARY_STATE_INITIALIZED) {
        uninitializeNfcLibrary();
    }
    NfcCriticalSection::retire();
}

void NfcLibrary::setError(uint32_t code)
{
    m_ErrorInfo.error_code = code;
    m_ErrorInfo.detail_code = 0;
}

bool NfcLibrary::checkState(int required, uint32_t code)
{
    if (m_NfcLibraryState == required) {
        return true;
    }
    NFC_LOG(0, "ERROR! : NFC Library state error. m_NfcLibraryState = %d\n", m_NfcLibraryState);
    setError(code);
    return false;
}

// ---------------------------------------------------------------------------------------------
// State machine
// ---------------------------------------------------------------------------------------------

bool NfcLibrary::initializeNfcLibrary()
{
    NfcCriticalSection guard;
    if (m_NfcLibraryState != NFC_LIBRARY_STATE_UNINITIALIZED) {
        NFC_LOG(0, "ERROR! : initializeNfcLibrary() again.\n");
        setError(KORVAT_NFC_E_ALREADY_INITIALIZED);
        return false;
    }
    if (!m_Configuration.readPluginHomeDirectory()) {
        NFC_LOG(0, "ERROR! : getPluginHomeDirectoryFromRegistry() failed.\n");
        setError(KORVAT_NFC_E_PLUGIN_HOME_DIRECTORY);
        return false;
    }
    m_Configuration.readNameLists();
    m_Configuration.readSwitches();
    m_NfcCallback.setEventNotification(m_Configuration.eventNotification());
    m_NfcPluginLoader.setSignaturePolicy(NfcConfiguration::signaturePolicyFromRegistry());
    if (!m_NfcPluginLoader.loadPlugins(m_Configuration.pluginsHomeDirectory(), &m_ErrorInfo)) {
        return false;
    }
    m_NfcLibraryState = NFC_LIBRARY_STATE_INITIALIZED;
    return true;
}

bool NfcLibrary::uninitializeNfcLibrary()
{
    NfcCriticalSection guard;
    if (m_NfcLibraryState == NFC_LIBRARY_STATE_UNINITIALIZED) {
        return checkState(NFC_LIBRARY_STATE_INITIALIZED, KORVAT_NFC_E_NOT_INITIALIZED);
    }
    if (m_NfcLibraryState == NFC_LIBRARY_STATE_PORT_OPEN) {
        return checkState(NFC_LIBRARY_STATE_INITIALIZED, KORVAT_NFC_E_PORT_OPEN);
    }
    // The watcher calls the plug-ins: it ends before they are unloaded.
    if (!stopPlugAndPlayThread()) {
        return false;
    }
    m_EventQueue.setEnabled(false);
    m_NfcPluginLoader.unloadPlugins();
    m_NfcLibraryState = NFC_LIBRARY_STATE_UNINITIALIZED;
    return true;
}

bool NfcLibrary::open(char *port_name)
{
    NfcCriticalSection guard;
    if (m_NfcLibraryState == NFC_LIBRARY_STATE_UNINITIALIZED) {
        return checkState(NFC_LIBRARY_STATE_INITIALIZED, KORVAT_NFC_E_NOT_INITIALIZED);
    }
    if (m_NfcLibraryState == NFC_LIBRARY_STATE_PORT_OPEN) {
        return checkState(NFC_LIBRARY_STATE_INITIALIZED, KORVAT_NFC_E_PORT_OPEN);
    }

    bool opened;
    if (port_name == nullptr) {
        opened = m_PortResolver.openFirstAvailablePort(nullptr);
    } else if (port_name[0] == '\0') {
        opened = m_PortResolver.openFirstAvailablePort(port_name);
    } else {
        opened = m_PortResolver.openPortByName(port_name);
    }
    if (!opened) {
        return false;
    }

    if (m_NfcPluginWrapper.setTimeout(OpenTimeout, &m_ErrorInfo)) {
        m_NfcLibraryState = NFC_LIBRARY_STATE_PORT_OPEN;
        return true;
    }
    // Undo the opening; the scratch record keeps the time-out's error in m_ErrorInfo.
    ErrorInfo scratch = {0, 0};
    if (m_NfcPluginWrapper.closePort(&scratch)) {
        m_NfcPluginWrapper.clearFunctionTable();
    } else {
        NFC_LOG(0, "ASSERT! : closePort() failed.\n");
    }
    return false;
}

bool NfcLibrary::close()
{
    NfcCriticalSection guard;
    if (!checkState(NFC_LIBRARY_STATE_PORT_OPEN, KORVAT_NFC_E_PORT_NOT_OPEN)) {
        return false;
    }
    if (!stopNotificationThread()) {
        return false;
    }
    m_NfcCallback.withdrawStatusEvent(m_NfcPluginWrapper.statusEventEntry());
    if (!m_NfcPluginWrapper.closePort(&m_ErrorInfo)) {
        return false;
    }
    m_NfcPluginWrapper.clearFunctionTable();
    m_NfcLibraryState = NFC_LIBRARY_STATE_INITIALIZED;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Reader operations
// ---------------------------------------------------------------------------------------------

bool NfcLibrary::startPollMode(uint32_t target_device)
{
    NfcCriticalSection guard;
    if (!checkState(NFC_LIBRARY_STATE_PORT_OPEN, KORVAT_NFC_E_PORT_NOT_OPEN)) {
        return false;
    }
    // A stop that failed left its thread, and the reader polling: that stop is completed first
    // (the thread's end confirmed, then the plug-in's stop); while the thread may still run, the
    // start fails as the stop did and calls no plug-in.
    if (m_NfcCallback.stopUnconfirmed()) {
        if (!stopNotificationThread()) {
            return false;
        }
        m_NfcCallback.withdrawStatusEvent(m_NfcPluginWrapper.statusEventEntry());
        if (!m_NfcPluginWrapper.stopPollMode(&m_ErrorInfo)) {
            return false;
        }
    }
    if (!m_NfcPluginWrapper.startPollMode(target_device, &m_ErrorInfo)) {
        return false;
    }
    const bool handedOver = m_NfcCallback.handOverStatusEvent(m_NfcPluginWrapper.statusEventEntry());
    if (m_NfcCallback.startThread(&m_ErrorInfo)) {
        return true;
    }
    // No thread started: stop the reader's polling again, keeping the start's error in
    // m_ErrorInfo. A thread that runs already keeps its event.
    if (handedOver) {
        m_NfcCallback.withdrawStatusEvent(m_NfcPluginWrapper.statusEventEntry());
    }
    ErrorInfo scratch = {0, 0};
    if (!m_NfcPluginWrapper.stopPollMode(&scratch)) {
        NFC_LOG(0, "ASSERT! : stopPollMode() failed.\n");
    }
    return false;
}

bool NfcLibrary::stopPollMode()
{
    NfcCriticalSection guard;
    if (!checkState(NFC_LIBRARY_STATE_PORT_OPEN, KORVAT_NFC_E_PORT_NOT_OPEN)) {
        return false;
    }
    if (!stopNotificationThread()) {
        return false;
    }
    m_NfcCallback.withdrawStatusEvent(m_NfcPluginWrapper.statusEventEntry());
    return m_NfcPluginWrapper.stopPollMode(&m_ErrorInfo);
}

bool NfcLibrary::stopNotificationThread()
{
    if (!m_NfcCallback.isRunning() || m_NfcCallback.stopThread()) {
        return true;
    }
    // The thread may still be inside this library (suspended, or stalled in a log write): the
    // plug-in is not called while it may call it too. The stop can be asked for again.
    NFC_LOG(0, "ERROR! : The notification thread did not stop; the plug-in is not called.\n");
    setError(KORVAT_NFC_E_THREAD_CREATE);
    return false;
}

bool NfcLibrary::startDevAccess(uint32_t target_number)
{
    NfcCriticalSection guard;
    if (!checkState(NFC_LIBRARY_STATE_PORT_OPEN, KORVAT_NFC_E_PORT_NOT_OPEN)) {
        return false;
    }
    return m_NfcPluginWrapper.startDeviceAccess(target_number, &m_ErrorInfo);
}

bool NfcLibrary::stopDevAccess(uint32_t stop_mode)
{
    NfcCriticalSection guard;
    if (!checkState(NFC_LIBRARY_STATE_PORT_OPEN, KORVAT_NFC_E_PORT_NOT_OPEN)) {
        return false;
    }
    if (stop_mode != 0 && stop_mode != 1) {
        NFC_LOG(0, "ERROR! : Argument error. stop_mode = %08Xh\n", stop_mode);
        setError(KORVAT_NFC_E_INVALID_ARGUMENT);
        return false;
    }
    return m_NfcPluginWrapper.stopDeviceAccess(stop_mode, &m_ErrorInfo);
}

bool NfcLibrary::selectDevice()
{
    NfcCriticalSection guard;
    if (!checkState(NFC_LIBRARY_STATE_PORT_OPEN, KORVAT_NFC_E_PORT_NOT_OPEN)) {
        return false;
    }
    return m_NfcPluginWrapper.selectDevice(&m_ErrorInfo);
}

bool NfcLibrary::deselectDevice()
{
    NfcCriticalSection guard;
    if (!checkState(NFC_LIBRARY_STATE_PORT_OPEN, KORVAT_NFC_E_PORT_NOT_OPEN)) {
        return false;
    }
    return m_NfcPluginWrapper.deselectDevice(&m_ErrorInfo);
}

bool NfcLibrary::thru(const uint8_t *command_packet_data, uint16_t command_packet_data_length,
                      uint8_t *response_packet_data, uint16_t *response_packet_data_length)
{
    NfcCriticalSection guard;
    if (!checkState(NFC_LIBRARY_STATE_PORT_OPEN, KORVAT_NFC_E_PORT_NOT_OPEN)) {
        return false;
    }
    if (command_packet_data == nullptr || command_packet_data_length == 0 || response_packet_data == nullptr ||
        response_packet_data_length == nullptr) {
        NFC_LOG(0, "ERROR! : Argument error. command_packet_data = " NFC_TRACE_POINTER_BARE "h\n",
                nfcTracePointer(command_packet_data));
        NFC_LOG(0, "ERROR! : Argument error. command_packet_data_length = %08Xh\n", command_packet_data_length);
        NFC_LOG(0, "ERROR! : Argument error. response_packet_data = " NFC_TRACE_POINTER_BARE "h\n",
                nfcTracePointer(response_packet_data));
        NFC_LOG(0, "ERROR! : Argument error. response_packet_data_length = " NFC_TRACE_POINTER_BARE "h\n",
                nfcTracePointer(response_packet_data_length));
        setError(KORVAT_NFC_E_INVALID_ARGUMENT);
        return false;
    }
    return m_NfcPluginWrapper.read(command_packet_data, command_packet_data_length, response_packet_data,
                                   response_packet_data_length, &m_ErrorInfo);
}

bool NfcLibrary::setTimeout(int32_t timeout)
{
    NfcCriticalSection guard;
    if (!checkState(NFC_LIBRARY_STATE_PORT_OPEN, KORVAT_NFC_E_PORT_NOT_OPEN)) {
        return false;
    }
    return m_NfcPluginWrapper.setTimeout(timeout, &m_ErrorInfo);
}

bool NfcLibrary::getTimeout(int32_t *timeout)
{
    NfcCriticalSection guard;
    if (!checkState(NFC_LIBRARY_STATE_PORT_OPEN, KORVAT_NFC_E_PORT_NOT_OPEN)) {
        return false;
    }
    if (timeout == nullptr) {
        NFC_LOG(0, "ERROR! : Argument error. timeout = %Xh\n", 0u);
        setError(KORVAT_NFC_E_INVALID_ARGUMENT);
        return false;
    }
    return m_NfcPluginWrapper.getTimeout(timeout, &m_ErrorInfo);
}

// The window and the two message names of either callback: none may be null.
bool NfcLibrary::checkCallbackArguments(HWND handle, const char *msg_str_of_find, const char *second,
                                        const char *secondName)
{
    if (handle != nullptr && msg_str_of_find != nullptr && second != nullptr) {
        return true;
    }
    NFC_LOG(0, "ERROR! : Argument error. handle = " NFC_TRACE_POINTER_BARE "h\n", nfcTracePointer(handle));
    NFC_LOG(0, "ERROR! : Argument error. msg_str_of_find = " NFC_TRACE_POINTER_BARE "h\n",
            nfcTracePointer(msg_str_of_find));
    NFC_LOG(0, "ERROR! : Argument error. %s = " NFC_TRACE_POINTER_BARE "h\n", secondName, nfcTracePointer(second));
    setError(KORVAT_NFC_E_INVALID_ARGUMENT);
    return false;
}

bool NfcLibrary::setPollCallbackParameters(HWND handle, const char *msg_str_of_find, const char *msg_str_of_enable)
{
    NfcCriticalSection guard;
    if (m_NfcLibraryState == NFC_LIBRARY_STATE_UNINITIALIZED) {
        return checkState(NFC_LIBRARY_STATE_INITIALIZED, KORVAT_NFC_E_NOT_INITIALIZED);
    }
    if (!checkCallbackArguments(handle, msg_str_of_find, msg_str_of_enable, "msg_str_of_enable")) {
        return false;
    }
    return m_NfcCallback.setPollCallbackParameters(handle, msg_str_of_find, msg_str_of_enable, &m_ErrorInfo);
}

bool NfcLibrary::plugAndPlayOn() const
{
    return m_NfcLibraryState != NFC_LIBRARY_STATE_UNINITIALIZED && m_Configuration.plugAndPlay();
}

bool NfcLibrary::refuseNotImplemented()
{
    setError(KORVAT_NFC_E_NOT_IMPLEMENTED);
    return false;
}

bool NfcLibrary::setPnpCallbackParameters(HWND handle, const char *msg_str_of_find, const char *msg_str_of_loss)
{
    NfcCriticalSection guard;
    if (!plugAndPlayOn()) {
        return refuseNotImplemented();
    }
    if (!checkCallbackArguments(handle, msg_str_of_find, msg_str_of_loss, "msg_str_of_loss")) {
        return false;
    }
    return m_PlugAndPlay.setCallbackParameters(handle, msg_str_of_find, msg_str_of_loss, &m_ErrorInfo);
}

bool NfcLibrary::startPlugAndPlay()
{
    NfcCriticalSection guard;
    if (!plugAndPlayOn()) {
        return refuseNotImplemented();
    }
    return m_PlugAndPlay.start(m_NfcPluginLoader.portListers(), &m_ErrorInfo);
}

bool NfcLibrary::stopPlugAndPlay()
{
    NfcCriticalSection guard;
    if (!plugAndPlayOn()) {
        return refuseNotImplemented();
    }
    return stopPlugAndPlayThread();
}

bool NfcLibrary::stopPlugAndPlayThread()
{
    if (m_PlugAndPlay.stop()) {
        return true;
    }
    NFC_LOG(0, "ERROR! : The plug-and-play thread did not stop.\n");
    setError(KORVAT_NFC_E_THREAD_CREATE);
    return false;
}

bool NfcLibrary::setEventQueue(uint32_t enabled)
{
    NfcCriticalSection guard;
    if (m_NfcLibraryState == NFC_LIBRARY_STATE_UNINITIALIZED) {
        return checkState(NFC_LIBRARY_STATE_INITIALIZED, KORVAT_NFC_E_NOT_INITIALIZED);
    }
    if (enabled != 0 && enabled != 1) {
        NFC_LOG(0, "ERROR! : Argument error. enabled = %08Xh\n", enabled);
        setError(KORVAT_NFC_E_INVALID_ARGUMENT);
        return false;
    }
    m_EventQueue.setEnabled(enabled == 1);
    return true;
}

bool NfcLibrary::getNextEvent(KORVAT_NFC_EVENT *event, uint32_t timeout_ms)
{
    {
        NfcCriticalSection guard;
        if (m_NfcLibraryState == NFC_LIBRARY_STATE_UNINITIALIZED) {
            return checkState(NFC_LIBRARY_STATE_INITIALIZED, KORVAT_NFC_E_NOT_INITIALIZED);
        }
        if (event == nullptr || timeout_ms > KORVAT_NFC_EVENT_WAIT_LIMIT_MS) {
            NFC_LOG(0, "ERROR! : Argument error. event = " NFC_TRACE_POINTER_BARE "h\n", nfcTracePointer(event));
            NFC_LOG(0, "ERROR! : Argument error. timeout_ms = %u\n", timeout_ms);
            setError(KORVAT_NFC_E_INVALID_ARGUMENT);
            return false;
        }
        if (!m_EventQueue.enabled()) {
            NFC_LOG(0, "WARNING! : The event queue is off: no event can come.\n");
            setError(KORVAT_NFC_E_NO_EVENT);
            return false;
        }
    }
    // Without the library lock: the threads that queue the events need it.
    KORVAT_NFC_EVENT taken;
    if (m_EventQueue.pop(taken, timeout_ms)) {
        *event = taken;
        return true;
    }
    NfcCriticalSection guard;
    setError(KORVAT_NFC_E_NO_EVENT);
    return false;
}

bool NfcLibrary::listReaders(KORVAT_NFC_READER_RECORD *records, uint32_t capacity, uint32_t *count)
{
    NfcCriticalSection guard;
    if (m_NfcLibraryState == NFC_LIBRARY_STATE_UNINITIALIZED) {
        return checkState(NFC_LIBRARY_STATE_INITIALIZED, KORVAT_NFC_E_NOT_INITIALIZED);
    }
    if (count == nullptr || (records == nullptr && capacity > 0)) {
        NFC_LOG(0, "ERROR! : Argument error. records = " NFC_TRACE_POINTER_BARE "h\n", nfcTracePointer(records));
        NFC_LOG(0, "ERROR! : Argument error. count = " NFC_TRACE_POINTER_BARE "h\n", nfcTracePointer(count));
        setError(KORVAT_NFC_E_INVALID_ARGUMENT);
        return false;
    }
    std::vector<KORVAT_NFC_READER_RECORD> readers;
    NfcPlugAndPlay::listReaders(m_NfcPluginLoader.portListers(), readers);
    const uint32_t found = static_cast<uint32_t>(readers.size());
    for (uint32_t i = 0; i < found && i < capacity; ++i) {
        records[i] = readers[i];
    }
    *count = found;
    if (found > capacity) {
        NFC_LOG(0, "ERROR! : %u readers, room for %u.\n", found, capacity);
        m_ErrorInfo.error_code = KORVAT_NFC_E_BUFFER_TOO_SMALL;
        m_ErrorInfo.detail_code = found;
        return false;
    }
    return true;
}

bool NfcLibrary::refuseAtProcessExit(const char *function)
{
    NFC_LOG(0, "ERROR! : The process is exiting: %s() does nothing.\n", function);
    setError(KORVAT_NFC_E_PROCESS_EXITING);
    return false;
}

bool NfcLibrary::getLastError(uint32_t *error_info)
{
    // At process exit the record is read without the lock: only this thread is left, and a
    // killed one may hold the lock.
    std::optional<NfcCriticalSection> guard;
    if (!NfcProcessState::processExiting()) {
        guard.emplace();
    }
    if (error_info == nullptr) {
        NFC_LOG(0, "ERROR! : Argument error. error_info = %Xh\n", 0u);
        setError(KORVAT_NFC_E_INVALID_ARGUMENT);
        return false;
    }
    error_info[0] = m_ErrorInfo.error_code;
    error_info[1] = m_ErrorInfo.detail_code;
    return true;
}

bool NfcLibrary::startLogging(const char *filename)
{
    NfcCriticalSection guard;
    NfcLogProxy *log = NfcLogProxy::instance();
    return log != nullptr && log->openLogFile(filename, &m_ErrorInfo.error_code);
}

bool NfcLibrary::stopLogging()
{
    NfcCriticalSection guard;
    NfcLogProxy *log = NfcLogProxy::instance();
    return log != nullptr && log->closeLogFile(&m_ErrorInfo.error_code);
}
