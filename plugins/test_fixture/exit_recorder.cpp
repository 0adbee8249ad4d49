// Test plug-in that stands in front of another plug-in and records the order of events at the
// end of a process. It forwards its fourteen entry points to the module named by the environment
// variable KORVAT_RECORDER_TARGET (loaded on the first call, so after this module: the target is
// detached before it), and appends one line per event to the file named by
// KORVAT_RECORDER_EVENTS: "attach", "call <entry>", "detach process-exit" or "detach unload".
// A call that comes after its own detach is recorded as "call <entry> after detach" and refused
// without being forwarded, since the target is gone by then as well.
#include <windows.h>

#include "korvat_nfc_plugin.h"

namespace {

HMODULE g_Target = nullptr;
volatile LONG g_Detached = 0;

struct TargetEntries {
#define RECORDER_DECLARE_ENTRY(name, parameters, arguments) name##_t name;
    GP_ENTRY_POINTS(RECORDER_DECLARE_ENTRY)
#undef RECORDER_DECLARE_ENTRY
} g_Entries;

// One open, write and close per event, with no runtime lock: it works inside a detach too.
void record(const char *event, const char *suffix)
{
    char path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("KORVAT_RECORDER_EVENTS", path, sizeof(path));
    if (length == 0 || length >= sizeof(path)) {
        return;
    }
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    char line[160];
    const int size = wsprintfA(line, "%s%s\r\n", event, suffix);
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(size), &written, nullptr);
    CloseHandle(file);
}

bool bindTarget()
{
    if (g_Target != nullptr) {
        return true;
    }
    char path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("KORVAT_RECORDER_TARGET", path, sizeof(path));
    if (length == 0 || length >= sizeof(path) || (g_Target = LoadLibraryA(path)) == nullptr) {
        return false;
    }
    bool complete = true;
#define RECORDER_BIND_ENTRY(name, parameters, arguments)                                                  \
    g_Entries.name = reinterpret_cast<name##_t>(reinterpret_cast<void *>(GetProcAddress(g_Target, #name))); \
    complete = complete && g_Entries.name != nullptr;
    GP_ENTRY_POINTS(RECORDER_BIND_ENTRY)
#undef RECORDER_BIND_ENTRY
    return complete;
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        record("attach", "");
    } else if (reason == DLL_PROCESS_DETACH) {
        g_Detached = 1;
        record(reserved != nullptr ? "detach process-exit" : "detach unload", "");
        if (reserved == nullptr && g_Target != nullptr) {
            FreeLibrary(g_Target);
        }
    }
    return TRUE;
}

#define RECORDER_FORWARD(name, parameters, arguments)                        \
    extern "C" __declspec(dllexport) GP_BOOL __cdecl name parameters         \
    {                                                                        \
        const bool detached = g_Detached != 0;                               \
        record("call " #name, detached ? " after detach" : "");              \
        if (detached || !bindTarget()) {                                     \
            return 0;                                                        \
        }                                                                    \
        return g_Entries.name arguments;                                     \
    }
GP_ENTRY_POINTS(RECORDER_FORWARD)
#undef RECORDER_FORWARD
