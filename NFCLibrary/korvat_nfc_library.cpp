// The exported functions: each traces its entry and arguments, calls one operation of the
// library object, traces its outputs and exit, and returns the operation's result.
#include <windows.h>

#include "NfcLibrary.h"
#include "NfcLogProxy.h"
#include "NfcProcessState.h"
#include "NfcTracePointer.h"
#include "korvat_nfc.h"

static const char NFC_SOURCE_FILE[] = "..\\..\\NFCLibrary\\korvat_nfc_library.cpp";

#include <new>

// Built in this order when the DLL is loaded and destroyed in the reverse order when it is
// unloaded: the library object first, then the log front end (which reads the registry). At
// process exit the library object is left as it is (NfcLifetime says why): it lives in static
// storage, and its end is run only when NfcProcessState allows it.
namespace {
alignas(NfcLibrary) unsigned char g_NfcLibraryStorage[sizeof(NfcLibrary)];

struct NfcLibraryLifetime {
    NfcLibraryLifetime() { new (g_NfcLibraryStorage) NfcLibrary(); }
    ~NfcLibraryLifetime()
    {
        if (NfcProcessState::mayEndLibraryObject()) {
            reinterpret_cast<NfcLibrary *>(g_NfcLibraryStorage)->~NfcLibrary();
        }
    }
};
NfcLibraryLifetime g_NfcLibraryLifetime;
} // namespace

static NfcLibrary &g_NfcLibrary = *reinterpret_cast<NfcLibrary *>(g_NfcLibraryStorage);

namespace {

struct NfcLogLifetime {
    NfcLogLifetime() { NfcLogProxy::startUp(); }
    ~NfcLogLifetime() { NfcLogProxy::shutDown(NfcProcessState::mayEnterLock()); }
};
NfcLogLifetime g_NfcLogLifetime;

KORVAT_NFC_BOOL leave(const char *function, bool result)
{
    NFC_LOG(1, "---- %s() End! return value = %s\n", function, result ? "true" : "false");
    return result ? KORVAT_NFC_TRUE : KORVAT_NFC_FALSE;
}

#define NFC_LEAVE(result) leave(__func__, (result))
// Every exported function but get_last_error begins here. Once the process is exiting the
// plug-ins may be detached and the notification thread is gone: the call does nothing.
#define NFC_ENTER()                                                        \
    NFC_LOG(1, "++++ %s() Start!\n", __func__);                           \
    if (NfcProcessState::processExiting()) {                               \
        return NFC_LEAVE(g_NfcLibrary.refuseAtProcessExit(__func__));      \
    }                                                                      \
    static_assert(true, "")

} // namespace

// Runs before the global objects are destroyed; NfcProcessState says what their ends may do.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_DETACH) {
        NfcProcessState::processDetach(reserved);
    }
    return TRUE;
}

extern "C" {

KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_initialize(void)
{
    NFC_ENTER();
    return NFC_LEAVE(g_NfcLibrary.initializeNfcLibrary());
}

KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_uninitialize(void)
{
    NFC_ENTER();
    return NFC_LEAVE(g_NfcLibrary.uninitializeNfcLibrary());
}

KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_open(char *port_name)
{
    NFC_ENTER();
    if (port_name != nullptr) {
        NFC_LOG(1, "    [IN] port_name = %s\n", port_name);
    } else {
        NFC_LOG(1, "    [IN] port_name = NULL\n");
    }
    const bool result = g_NfcLibrary.open(port_name);
    if (result && port_name != nullptr) {
        NFC_LOG(1, "    [OUT] port_name = %s\n", port_name);
    }
    return NFC_LEAVE(result);
}

KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_close(void)
{
    NFC_ENTER();
    return NFC_LEAVE(g_NfcLibrary.close());
}

KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_start_poll_mode(uint32_t target_device)
{
    NFC_ENTER();
    NFC_LOG(1, "    [IN] target_device = %08xh\n", target_device);
    return NFC_LEAVE(g_NfcLibrary.startPollMode(target_device));
}

KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_stop_poll_mode(void)
{
    NFC_ENTER();
    return NFC_LEAVE(g_NfcLibrary.stopPollMode());
}

KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_start_dev_access(uint32_t target_number)
{
    NFC_ENTER();
    NFC_LOG(1, "    [IN] target_number = %08xh\n", target_number);
    return NFC_LEAVE(g_NfcLibrary.startDevAccess(target_number));
}

KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_stop_dev_access(uint32_t stop_mode)
{
    NFC_ENTER();
    NFC_LOG(1, "    [IN] stop_mode = %08xh\n", stop_mode);
    return NFC_LEAVE(g_NfcLibrary.stopDevAccess(stop_mode));
}

KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_select_device(void)
{
    NFC_ENTER();
    return NFC_LEAVE(g_NfcLibrary.selectDevice());
}

KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_deselect_device(void)
{
    NFC_ENTER();
    return NFC_LEAVE(g_NfcLibrary.deselectDevice());
}

KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_thru(const uint8_t *command_packet_data,
                                                                uint16_t command_packet_data_length,
                                                                uint8_t *response_packet_data,
                                                                uint16_t *response_packet_data_length)
{
    // The hot path of an application: when neither log is on, none of the trace lines below
    // would be written, so the call goes straight to the library object.
    if (NfcLogProxy::receiving(1) == nullptr && !NfcProcessState::processExiting()) {
        return g_NfcLibrary.thru(command_packet_data, command_packet_data_length, response_packet_data,
                                 response_packet_data_length)
                   ? KORVAT_NFC_TRUE
                   : KORVAT_NFC_FALSE;
    }
    NFC_ENTER();
    if (command_packet_data != nullptr) {
        NFC_LOG(1, "    [IN] command_packet_data = " NFC_TRACE_POINTER "h\n",
                nfcTracePointer(command_packet_data));
        NFC_HEX_DUMP(command_packet_data, command_packet_data_length);
    } else {
        NFC_LOG(1, "    [IN] command_packet_data = NULL\n");
    }
    if (response_packet_data != nullptr) {
        NFC_LOG(1, "    [IN] response_packet_data = " NFC_TRACE_POINTER "h\n",
                nfcTracePointer(response_packet_data));
    } else {
        NFC_LOG(1, "    [IN] response_packet_data = NULL\n");
    }
    if (response_packet_data_length != nullptr) {
        NFC_LOG(1, "    [IN] response_packet_data_length = " NFC_TRACE_POINTER "h\n",
                nfcTracePointer(response_packet_data_length));
    } else {
        NFC_LOG(1, "    [IN] response_packet_data_length = NULL\n");
    }
    const bool result = g_NfcLibrary.thru(command_packet_data, command_packet_data_length, response_packet_data,
                                          response_packet_data_length);
    if (result && response_packet_data != nullptr && response_packet_data_length != nullptr) {
        NFC_LOG(1, "    [OUT] *response_packet_data_length = %08xh\n", *response_packet_data_length);
        NFC_LOG(1, "    [OUT] response_packet_data =\n");
        NFC_HEX_DUMP(response_packet_data, *response_packet_data_length);
    }
    return NFC_LEAVE(result);
}

KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_set_timeout(int32_t timeout)
{
    NFC_ENTER();
    NFC_LOG(1, "    [IN] timeout = %d\n", timeout);
    return NFC_LEAVE(g_NfcLibrary.setTimeout(timeout));
}

KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_get_timeout(int32_t *timeout)
{
    NFC_ENTER();
    NFC_LOG(1, "    [IN] timeout = " NFC_TRACE_POINTER "h\n", nfcTracePointer(timeout));
    const bool result = g_NfcLibrary.getTimeout(timeout);
    if (result && timeout != nullptr) {
        NFC_LOG(1, "    [OUT] *timeout = %d\n", *timeout);
    }
    return NFC_LEAVE(result);
}

namespace {
void traceCallbackArguments(void *handle, const char *msg_str_of_find, const char *second_name,
                            const char *second_message)
{
    NFC_LOG(1, "    [IN] handle = " NFC_TRACE_POINTER "h\n", nfcTracePointer(handle));
    if (msg_str_of_find != nullptr) {
        NFC_LOG(1, "    [IN] msg_str_of_find = %s\n", msg_str_of_find);
    } else {
        NFC_LOG(1, "    [IN] msg_str_of_find = NULL\n");
    }
    if (second_message != nullptr) {
        NFC_LOG(1, "    [IN] %s = %s\n", second_name, second_message);
    } else {
        NFC_LOG(1, "    [IN] %s = NULL\n", second_name);
    }
}
} // namespace

KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_set_poll_callback_parameters(void *handle,
                                                                                        const char *msg_str_of_find,
                                                                                        const char *msg_str_of_enable)
{
    NFC_ENTER();
    traceCallbackArguments(handle, msg_str_of_find, "msg_str_of_enable", msg_str_of_enable);
    return NFC_LEAVE(
        g_NfcLibrary.setPollCallbackParameters(static_cast<HWND>(handle), msg_str_of_find, msg_str_of_enable));
}

KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_set_pnp_callback_parameters(void *handle,
                                                                                       const char *msg_str_of_find,
                                                                                       const char *msg_str_of_loss)
{
    NFC_ENTER();
    traceCallbackArguments(handle, msg_str_of_find, "msg_str_of_loss", msg_str_of_loss);
    return NFC_LEAVE(
        g_NfcLibrary.setPnpCallbackParameters(static_cast<HWND>(handle), msg_str_of_find, msg_str_of_loss));
}

KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_start_plug_and_play(void)
{
    NFC_ENTER();
    return NFC_LEAVE(g_NfcLibrary.startPlugAndPlay());
}

KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_stop_plug_and_play(void)
{
    NFC_ENTER();
    return NFC_LEAVE(g_NfcLibrary.stopPlugAndPlay());
}

KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_get_last_error(uint32_t *error_info)
{
    // Also at process exit: it reads the record of the call that was refused there.
    NFC_LOG(1, "++++ %s() Start!\n", __func__);
    NFC_LOG(1, "    [IN] error_info = " NFC_TRACE_POINTER "h\n", nfcTracePointer(error_info));
    const bool result = g_NfcLibrary.getLastError(error_info);
    if (result && error_info != nullptr) {
        NFC_LOG(1, "    [OUT] error_info[0] = %08xh\n", error_info[0]);
        NFC_LOG(1, "    [OUT] error_info[1] = %08xh\n", error_info[1]);
    }
    return NFC_LEAVE(result);
}

KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_start_logging(const char *filename)
{
    NFC_ENTER();
    if (filename != nullptr) {
        NFC_LOG(1, "    [IN] filename = %s\n", filename);
    } else {
        NFC_LOG(1, "    [IN] filename = NULL\n");
    }
    return NFC_LEAVE(g_NfcLibrary.startLogging(filename));
}

KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_stop_logging(void)
{
    NFC_ENTER();
    return NFC_LEAVE(g_NfcLibrary.stopLogging());
}

KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_set_event_queue(uint32_t enabled)
{
    NFC_ENTER();
    NFC_LOG(1, "    [IN] enabled = %08xh\n", enabled);
    return NFC_LEAVE(g_NfcLibrary.setEventQueue(enabled));
}

KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_get_next_event(KORVAT_NFC_EVENT *event,
                                                                          uint32_t timeout_ms)
{
    NFC_ENTER();
    NFC_LOG(1, "    [IN] event = " NFC_TRACE_POINTER "h\n", nfcTracePointer(event));
    NFC_LOG(1, "    [IN] timeout_ms = %u\n", timeout_ms);
    const bool result = g_NfcLibrary.getNextEvent(event, timeout_ms);
    if (result) {
        NFC_LOG(1, "    [OUT] event->kind = %u\n", event->kind);
        NFC_LOG(1, "    [OUT] event->lost_before = %u\n", event->lost_before);
        NFC_LOG(1, "    [OUT] event->target_number = %08xh\n", event->target_number);
        NFC_LOG(1, "    [OUT] event->error_code = %08xh\n", event->error_code);
        NFC_LOG(1, "    [OUT] event->detail_code = %08xh\n", event->detail_code);
        NFC_LOG(1, "    [OUT] event->data_size = %u\n", event->data_size);
        NFC_HEX_DUMP(event->data, event->data_size);
    }
    return NFC_LEAVE(result);
}

KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_list_readers(KORVAT_NFC_READER_RECORD *records,
                                                                        uint32_t capacity, uint32_t *count)
{
    NFC_ENTER();
    NFC_LOG(1, "    [IN] records = " NFC_TRACE_POINTER "h\n", nfcTracePointer(records));
    NFC_LOG(1, "    [IN] capacity = %u\n", capacity);
    NFC_LOG(1, "    [IN] count = " NFC_TRACE_POINTER "h\n", nfcTracePointer(count));
    const bool result = g_NfcLibrary.listReaders(records, capacity, count);
    if (count != nullptr && (result || g_NfcLibrary.lastErrorIs(KORVAT_NFC_E_BUFFER_TOO_SMALL))) {
        NFC_LOG(1, "    [OUT] *count = %u\n", *count);
        for (uint32_t i = 0; i < *count && i < capacity; ++i) {
            NFC_LOG(1, "    [OUT] records[%u] = %u %s (%s)\n", i, records[i].category, records[i].port_name,
                    records[i].reader_name);
        }
    }
    return NFC_LEAVE(result);
}

} // extern "C"
