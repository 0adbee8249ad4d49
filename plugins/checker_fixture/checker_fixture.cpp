// A small reader plug-in for the plug-in checker's tests: without a fault variant it keeps every
// rule of the plug-in interface; each variant breaks exactly one.
//   CHECKER_FAULT_STATUS_WORD   after the find, status words with state code 5 (illegal)
//   CHECKER_FAULT_DATA_SIZE     the found target's block is declared one byte longer than its kind needs
//   CHECKER_FAULT_READ_LENGTH   gp_read writes an 8192-byte response and that length
//   CHECKER_FAULT_SLOW_STATUS   gp_get_driver_status sleeps 250 ms
//   CHECKER_FAULT_SILENT_FALSE  gp_stop_device_access answers false without writing the record
//   CHECKER_FAULT_OMIT_SELECT   no gp_select_device export
//   CHECKER_FAULT_JOINS_THREAD  gp_start_poll_mode starts a thread; gp_stop_poll_mode and
//                               gp_close_port wait for its end, which never comes under the
//                               loader lock (FreeLibrary of the library while polling), for far
//                               longer than any checker bound
//   CHECKER_FAULT_VERSION_WRITE_PAST  gp_get_version_number writes 64 bits into its 32-bit value
//   CHECKER_FAULT_INFO_READ_PAST      gp_get_plugin_information reads the byte after PortCategory
//   CHECKER_FAULT_LOADS_DLL     gp_get_driver_status loads version.dll and frees it again (loader
//                               work in a call that a thread holding the loader lock may wait for)
//   CHECKER_FAULT_EVENT_CALLBACK  beside setting its status event, tells the library through its
//                               export korvatlib_nfc_get_last_error (a call back into the library);
//                               with CHECKER_FAULT_EVENT_CALLBACK_QUEUE through korvatlib_nfc_get_next_event
//   CHECKER_FAULT_EVENT_BLOCKS  gp_set_status_event waits 1500 ms for the library to take the
//                               change (a wait under the library lock, and under the loader lock
//                               at the withdrawal of the library's stop)
//   CHECKER_FAULT_KEEPS_EVENT   the withdrawal forgets nothing: the event is set after it
//   CHECKER_FAULT_LIST_SIZE     gp_list_ports writes its whole list into a buffer too small for it
//   CHECKER_LIST_CHANGES        no fault: a third reader is plugged in right after the first
//                               gp_list_ports (the list grows between the sizing call and the next)
//   CHECKER_FAULT_LIST_LOADS_DLL  gp_list_ports loads version.dll and frees it again (loader work in
//                               a call that the library's stop may wait for under the loader lock)
// The optional entry points: gp_set_status_event sets the event whenever the next status call
// answers something new (a pending find at the hand-over or poll mode's start, access enabled or
// ended); gp_list_ports lists CHK0 and CHK1.
// The reader: ports whose names begin with "CHK"; in poll mode the first status call reports a
// type A target (number 7, a 2-byte ATS), then "waiting for access" until device access to it
// starts, then "access enabled". gp_read answers 90 00 to any command.
#include <windows.h>

#include <cstring>

#include "korvat_nfc_plugin.h"

#ifndef CHECKER_FIXTURE_CATEGORY
#define CHECKER_FIXTURE_CATEGORY 0
#endif

#define CHECKER_EXPORT extern "C" __declspec(dllexport)

// The plug-in's own error pairs.
#define CHECKER_E_UNKNOWN_PORT  0xE0C40001u
#define CHECKER_E_NOT_OPEN      0xE0C40002u
#define CHECKER_E_NOT_POLLING   0xE0C40003u
#define CHECKER_E_NO_TARGET     0xE0C40004u
#define CHECKER_E_ARGUMENT      0xE0C40005u

namespace {

const uint32_t TargetNumber = 7;

struct Reader {
    bool open = false;
    bool polling = false;
    bool accessing = false;
    uint32_t statusCalls = 0;
    int32_t timeout = 6000;
    uint8_t block[64] = {0};
};

Reader g_Reader;
HANDLE g_StatusEvent = nullptr;  // the library's, while handed over

// What the next status call answers changed.
void signalChange()
{
    if (g_StatusEvent == nullptr) {
        return;
    }
    SetEvent(g_StatusEvent);
#ifdef CHECKER_FAULT_EVENT_CALLBACK
    // An export of the library: the first twenty, or one it gained with its event queue.
#ifdef CHECKER_FAULT_EVENT_CALLBACK_QUEUE
    const char exportName[] = "korvatlib_nfc_get_next_event";
#else
    const char exportName[] = "korvatlib_nfc_get_last_error";
#endif
    typedef GP_BOOL(__cdecl * LibraryEntry)(void *, uint32_t);
    const HMODULE library = GetModuleHandleA("korvat_nfc_library_for_vb.dll");
    const LibraryEntry entry = library != nullptr ? reinterpret_cast<LibraryEntry>(reinterpret_cast<void (*)(void)>(
                                                        GetProcAddress(library, exportName)))
                                                  : nullptr;
    static uint8_t answer[4096];
    if (entry != nullptr) {
        entry(answer, 0);
    }
#endif
}

#ifdef CHECKER_FAULT_JOINS_THREAD
// The fault this variant exists for, kept on purpose so that the checker's lifetime steps can
// show they catch it: the poll thread sleeps until told to stop (its own wait, never made under
// the loader lock), and gp_stop_poll_mode / gp_close_port wait for the thread's end. Called from
// the library's DllMain at FreeLibrary, that wait cannot end while the loader lock is held: it
// runs for JoinMs, far past the checker's bound, which ends the child first. Even this fixture
// never waits without a bound. A shipped plug-in must not join its thread at all
// (korvat_nfc_plugin.h, "The loader lock").
const DWORD JoinMs = 120000;
HANDLE g_PollThread = nullptr;
HANDLE g_PollStop = nullptr;

DWORD WINAPI pollThread(void *)
{
    WaitForSingleObject(g_PollStop, JoinMs);
    return 0;
}

void joinPollThread()
{
    if (g_PollThread != nullptr) {
        SetEvent(g_PollStop);
        WaitForSingleObject(g_PollThread, JoinMs);
        CloseHandle(g_PollThread);
        CloseHandle(g_PollStop);
        g_PollThread = nullptr;
        g_PollStop = nullptr;
    }
}
#endif

GP_BOOL fail(ErrorInfo *error, uint32_t code, uint32_t detail)
{
    error->error_code = code;
    error->detail_code = detail;
    return 0;
}

// Additional data of the type A target: 25 fixed bytes and the ATS.
uint32_t buildTypeABlock(uint8_t *block)
{
    static const uint8_t nfcid1[] = {0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    static const uint8_t ats[] = {0x05, 0x78};
    std::memset(block, 0, 64);
    block[0] = 1;
    block[GP_AD_TARGET_NUMBER] = static_cast<uint8_t>(TargetNumber);
    block[GP_AD_A_SENS_RES] = 0x44;
    block[GP_AD_A_SEL_RES] = 0x20;
    block[GP_AD_A_NFCID1_SIZE] = sizeof(nfcid1);
    std::memcpy(block + GP_AD_A_NFCID1, nfcid1, sizeof(nfcid1));
    block[GP_AD_A_ATS_SIZE] = sizeof(ats);
    std::memcpy(block + GP_AD_A_ATS, ats, sizeof(ats));
    return GP_AD_A_ATS + sizeof(ats);
}

} // namespace

CHECKER_EXPORT GP_BOOL __cdecl gp_open_port_and_transition_nfc_mode(const char *port_name, ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    if (port_name == nullptr || std::strncmp(port_name, "CHK", 3) != 0) {
        return fail(error, CHECKER_E_UNKNOWN_PORT, 0);
    }
    g_Reader = Reader();
    g_Reader.open = true;
    return 1;
}

CHECKER_EXPORT GP_BOOL __cdecl gp_close_port(ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    if (!g_Reader.open) {
        return fail(error, CHECKER_E_NOT_OPEN, 0);
    }
#ifdef CHECKER_FAULT_JOINS_THREAD
    joinPollThread();
#endif
    g_Reader = Reader();
#ifndef CHECKER_FAULT_KEEPS_EVENT
    g_StatusEvent = nullptr;
#endif
    return 1;
}

CHECKER_EXPORT GP_BOOL __cdecl gp_start_poll_mode(uint32_t target_device, ErrorInfo *error)
{
    (void)target_device;
    if (error == nullptr) {
        return 0;
    }
    if (!g_Reader.open) {
        return fail(error, CHECKER_E_NOT_OPEN, 0);
    }
#ifdef CHECKER_FAULT_JOINS_THREAD
    if (g_PollThread == nullptr) {
        g_PollStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        g_PollThread = CreateThread(nullptr, 0, pollThread, nullptr, 0, nullptr);
    }
#endif
    g_Reader.polling = true;
    g_Reader.statusCalls = 0;
    signalChange();
    return 1;
}

CHECKER_EXPORT GP_BOOL __cdecl gp_stop_poll_mode(ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    if (!g_Reader.polling) {
        return fail(error, CHECKER_E_NOT_POLLING, 0);
    }
#ifdef CHECKER_FAULT_JOINS_THREAD
    joinPollThread();
#endif
    g_Reader.polling = false;
    g_Reader.accessing = false;
    return 1;
}

CHECKER_EXPORT GP_BOOL __cdecl gp_start_device_access(uint32_t target_number, ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    if (!g_Reader.polling || target_number != TargetNumber) {
        return fail(error, CHECKER_E_NO_TARGET, target_number);
    }
    g_Reader.accessing = true;
    signalChange();
    return 1;
}

CHECKER_EXPORT GP_BOOL __cdecl gp_stop_device_access(uint32_t stop_mode, ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
#ifdef CHECKER_FAULT_SILENT_FALSE
    (void)stop_mode;
    return 0;
#else
    if (stop_mode > 1) {
        return fail(error, CHECKER_E_ARGUMENT, 1);
    }
    if (!g_Reader.accessing) {
        return fail(error, CHECKER_E_NO_TARGET, 0);
    }
    g_Reader.accessing = false;
    signalChange();
    return 1;
#endif
}

#ifndef CHECKER_FAULT_OMIT_SELECT
CHECKER_EXPORT GP_BOOL __cdecl gp_select_device(ErrorInfo *error)
{
    return error != nullptr ? 1 : 0;
}
#endif

CHECKER_EXPORT GP_BOOL __cdecl gp_deselect_device(ErrorInfo *error)
{
    return error != nullptr ? 1 : 0;
}

CHECKER_EXPORT GP_BOOL __cdecl gp_read(const uint8_t *command_packet_data, uint32_t command_packet_data_length,
                                       uint8_t *response_packet_data, uint16_t *response_packet_data_length,
                                       ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    if (command_packet_data == nullptr || (command_packet_data_length & 0xFFFF) == 0 ||
        response_packet_data == nullptr || response_packet_data_length == nullptr) {
        return fail(error, CHECKER_E_ARGUMENT, 0);
    }
    if (!g_Reader.accessing) {
        return fail(error, CHECKER_E_NO_TARGET, 0);
    }
#ifdef CHECKER_FAULT_READ_LENGTH
    const uint16_t length = 8192;
    std::memset(response_packet_data, 0x5A, length);
#else
    const uint16_t length = 2;
#endif
    response_packet_data[length - 2] = 0x90;
    response_packet_data[length - 1] = 0x00;
    *response_packet_data_length = length;
    return 1;
}

CHECKER_EXPORT GP_BOOL __cdecl gp_set_timeout(int32_t timeout, ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    g_Reader.timeout = timeout;
    return 1;
}

CHECKER_EXPORT GP_BOOL __cdecl gp_get_timeout(int32_t *timeout, ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    if (timeout == nullptr) {
        return fail(error, CHECKER_E_ARGUMENT, 1);
    }
    *timeout = g_Reader.timeout;
    return 1;
}

CHECKER_EXPORT GP_BOOL __cdecl gp_get_version_number(int32_t *version_number)
{
    if (version_number == nullptr) {
        return 0;
    }
#ifdef CHECKER_FAULT_VERSION_WRITE_PAST
    const int64_t wide = 1000;
    std::memcpy(version_number, &wide, sizeof(wide));
#else
    *version_number = 1000;
#endif
    return 1;
}

CHECKER_EXPORT GP_BOOL __cdecl gp_get_driver_status(uint32_t *DriverStatus, uint32_t *PollModeCardType,
                                                    uint32_t *ListenModeCardType, uint32_t *AdditionalDataSize,
                                                    uint8_t **AdditionalData, ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    if (DriverStatus == nullptr || PollModeCardType == nullptr || ListenModeCardType == nullptr ||
        AdditionalDataSize == nullptr || AdditionalData == nullptr) {
        return fail(error, CHECKER_E_ARGUMENT, 0);
    }
#ifdef CHECKER_FAULT_LOADS_DLL
    HMODULE loaded = LoadLibraryA("version.dll");
    if (loaded != nullptr) {
        FreeLibrary(loaded);
    }
#endif
#ifdef CHECKER_FAULT_SLOW_STATUS
    Sleep(250);
#endif
    *PollModeCardType = 0;
    *ListenModeCardType = 0;
    *AdditionalDataSize = 0;
    *AdditionalData = nullptr;
    if (!g_Reader.polling) {
        *DriverStatus = GP_STATUS_STATE_IDLE;
        return 1;
    }
    ++g_Reader.statusCalls;
    if (g_Reader.statusCalls == 1) {
        *DriverStatus = GP_STATUS_STATE_ACTIVE | GP_CONNECT_REPORT_POLL_MODE;
        *PollModeCardType = 1;
        uint32_t size = buildTypeABlock(g_Reader.block);
#ifdef CHECKER_FAULT_DATA_SIZE
        ++size;
#endif
        *AdditionalDataSize = size;
        *AdditionalData = g_Reader.block;
        return 1;
    }
#ifdef CHECKER_FAULT_STATUS_WORD
    *DriverStatus = 0x00000005u;
#else
    *DriverStatus = GP_STATUS_STATE_ACTIVE | (g_Reader.accessing ? GP_ACCESS_ENABLED : GP_ACCESS_WAITING);
#endif
    return 1;
}

CHECKER_EXPORT GP_BOOL __cdecl gp_get_plugin_information(uint8_t *PortCategory, ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    if (PortCategory == nullptr) {
        return fail(error, CHECKER_E_ARGUMENT, 1);
    }
#ifdef CHECKER_FAULT_INFO_READ_PAST
    // As if the category were kept in a 16-bit field: the byte after it is read as well.
    volatile const uint8_t *field = PortCategory;
    if (field[1] != 0) {
        return fail(error, CHECKER_E_ARGUMENT, 2);
    }
#endif
    *PortCategory = CHECKER_FIXTURE_CATEGORY;
    return 1;
}

CHECKER_EXPORT GP_BOOL __cdecl gp_set_status_event(void *event, ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
#ifdef CHECKER_FAULT_EVENT_BLOCKS
    // Even this fixture waits with a bound; the checker's bounds are far shorter.
    HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    WaitForSingleObject(never, 1500);
    CloseHandle(never);
#endif
    if (event == nullptr) {
#ifndef CHECKER_FAULT_KEEPS_EVENT
        g_StatusEvent = nullptr;
#endif
        return 1;
    }
    if (!g_Reader.open) {
        return fail(error, CHECKER_E_NOT_OPEN, 0);
    }
    g_StatusEvent = static_cast<HANDLE>(event);
    if (g_Reader.polling && g_Reader.statusCalls == 0) {
        signalChange();  // the find waits for the first status call
    }
    return 1;
}

CHECKER_EXPORT GP_BOOL __cdecl gp_list_ports(char *buffer, uint32_t buffer_size, uint32_t *needed_size,
                                             ErrorInfo *error)
{
#ifdef CHECKER_LIST_CHANGES
    static const char Grown[] = "CHK0\0Checker reader 0\0CHK1\0Checker reader 1\0CHK2\0Checker reader 2\0";
    static const char Two[] = "CHK0\0Checker reader 0\0CHK1\0Checker reader 1\0";
    static LONG calls = 0;
    const bool grown = InterlockedIncrement(&calls) > 1;
    const char *const List = grown ? Grown : Two;
    const uint32_t listSize = grown ? sizeof(Grown) : sizeof(Two);
#else
    static const char List[] = "CHK0\0Checker reader 0\0CHK1\0Checker reader 1\0";  // and the final NUL
    const uint32_t listSize = sizeof(List);
#endif
    if (error == nullptr) {
        return 0;
    }
    if (needed_size == nullptr || (buffer == nullptr && buffer_size > 0)) {
        return fail(error, CHECKER_E_ARGUMENT, needed_size == nullptr ? 3 : 1);
    }
    *needed_size = listSize;
#ifdef CHECKER_FAULT_LIST_LOADS_DLL
    HMODULE loaded = LoadLibraryA("version.dll");
    if (loaded != nullptr) {
        FreeLibrary(loaded);
    }
#endif
#ifdef CHECKER_FAULT_LIST_SIZE
    if (buffer != nullptr) {
        std::memcpy(buffer, List, listSize);
    }
#else
    if (buffer_size >= listSize) {
        std::memcpy(buffer, List, listSize);
    }
#endif
    return 1;
}
