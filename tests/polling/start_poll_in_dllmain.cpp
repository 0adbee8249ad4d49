// Helper DLL of the unload tests: an application that starts poll mode from a DLL's entry point,
// that is with the loader lock held, so the library's new thread cannot start until the entry
// point has returned. The library must already be loaded and its port open.
#include <windows.h>

#include <cstdint>

#include "korvat_nfc.h"

namespace {
bool g_Result = true;
uint32_t g_LastError[2] = {0, 0};
DWORD g_Milliseconds = 0;
} // namespace

// Result of the start_poll_mode made at load, its last error, and how long the call took.
extern "C" __declspec(dllexport) int __cdecl start_poll_result(uint32_t *last_error, uint32_t *milliseconds)
{
    last_error[0] = g_LastError[0];
    last_error[1] = g_LastError[1];
    *milliseconds = g_Milliseconds;
    return g_Result ? 1 : 0;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH) {
        return TRUE;
    }
    HMODULE library = GetModuleHandleA("korvat_nfc_library_for_vb.dll");
    if (library == nullptr) {
        return FALSE;
    }
    typedef KORVAT_NFC_BOOL(__cdecl * start_t)(uint32_t);
    typedef KORVAT_NFC_BOOL(__cdecl * last_error_t)(uint32_t *);
    start_t start = reinterpret_cast<start_t>(
        reinterpret_cast<void *>(GetProcAddress(library, "korvatlib_nfc_start_poll_mode")));
    last_error_t lastError = reinterpret_cast<last_error_t>(
        reinterpret_cast<void *>(GetProcAddress(library, "korvatlib_nfc_get_last_error")));
    if (start == nullptr || lastError == nullptr) {
        return FALSE;
    }
    const DWORD began = GetTickCount();
    g_Result = start(DEVICE_TYPE_NFC_14443A_18092_106K) != 0;
    g_Milliseconds = GetTickCount() - began;
    lastError(g_LastError);
    return TRUE;
}
