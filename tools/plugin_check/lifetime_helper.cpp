// korvat_nfc_lifetime_helper.dll, shipped beside korvat_nfc_plugin_check: "another DLL" of an
// application, linked to the library, whose DLL_PROCESS_DETACH stops poll mode and closes the
// port, as a module that cleans up in its entry point does. Its detach runs under the loader
// lock, at its FreeLibrary or at process exit. Armed by korvat_lifetime_helper_arm only, so
// that loading it changes nothing. What the two calls answered and how long they took goes to
// standard output as a "detach" line for the checker.
#include <windows.h>

#include <cstdio>

#include "korvat_nfc.h"

namespace {
bool g_Armed = false;
}

extern "C" __declspec(dllexport) void __cdecl korvat_lifetime_helper_arm(void)
{
    g_Armed = true;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    if (reason != DLL_PROCESS_DETACH || !g_Armed) {
        return TRUE;
    }
    LARGE_INTEGER start, end, frequency;
    QueryPerformanceCounter(&start);
    const bool stopped = korvatlib_nfc_stop_poll_mode() != 0;
    const bool closed = korvatlib_nfc_close() != 0;
    QueryPerformanceCounter(&end);
    QueryPerformanceFrequency(&frequency);
    char line[160];
    const int length = std::snprintf(
        line, sizeof(line), "detach at %s: korvatlib_nfc_stop_poll_mode %s, korvatlib_nfc_close %s, %.1f ms\n",
        reserved != nullptr ? "process exit" : "FreeLibrary", stopped ? "true" : "false", closed ? "true" : "false",
        static_cast<double>(end.QuadPart - start.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart));
    DWORD written = 0;
    if (length > 0) {
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, static_cast<DWORD>(length), &written, nullptr);
    }
    return TRUE;
}
