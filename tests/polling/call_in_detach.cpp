// Helper DLL of the unload tests: a DLL of an application that tidies up in its own entry point.
// At DLL_PROCESS_DETACH it calls korvatlib_nfc_close or korvatlib_nfc_stop_poll_mode (the name
// after "korvatlib_nfc_" is read from KORVAT_DETACH_CALL) and writes one line to the file named
// by KORVAT_DETACH_RESULT:
//   <function> <result 0|1> <error code> <detail code> <milliseconds> <unload|exit>
// It finds the library loaded already; load it after the library, so that at process exit it is
// detached before the library.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "korvat_nfc.h"

namespace {

void callAndRecord(bool processExit)
{
    char function[64] = "korvatlib_nfc_";
    char result[MAX_PATH];
    const size_t prefix = std::strlen(function);
    const DWORD nameLength =
        GetEnvironmentVariableA("KORVAT_DETACH_CALL", function + prefix, static_cast<DWORD>(sizeof(function) - prefix));
    const DWORD resultLength = GetEnvironmentVariableA("KORVAT_DETACH_RESULT", result, sizeof(result));
    HMODULE library = GetModuleHandleA("korvat_nfc_library_for_vb.dll");
    if (nameLength == 0 || nameLength >= sizeof(function) - prefix || resultLength == 0 ||
        resultLength >= sizeof(result) || library == nullptr) {
        return;
    }
    typedef KORVAT_NFC_BOOL(__cdecl * call_t)(void);
    typedef KORVAT_NFC_BOOL(__cdecl * last_error_t)(uint32_t *);
    call_t call = reinterpret_cast<call_t>(reinterpret_cast<void *>(GetProcAddress(library, function)));
    last_error_t lastError = reinterpret_cast<last_error_t>(
        reinterpret_cast<void *>(GetProcAddress(library, "korvatlib_nfc_get_last_error")));
    if (call == nullptr || lastError == nullptr) {
        return;
    }
    const DWORD began = GetTickCount();
    const int called = call() != 0 ? 1 : 0;
    const DWORD took = GetTickCount() - began;
    uint32_t error[2] = {0, 0};
    lastError(error);

    char line[160];
    const int length = std::snprintf(line, sizeof(line), "%s %d %08X %08X %lu %s\r\n", function, called, error[0],
                                     error[1], static_cast<unsigned long>(took), processExit ? "exit" : "unload");
    HANDLE file = CreateFileA(result, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr);
        CloseHandle(file);
    }
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_DETACH) {
        callAndRecord(reserved != nullptr);
    }
    return TRUE;
}
