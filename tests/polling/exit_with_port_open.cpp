// Child program of the unload tests: an application that returns from main with the port open,
// so that the library meets the end of the process instead of FreeLibrary. Arguments:
//   (none)  port open
//   poll    poll mode running: the thread has run a cycle and sleeps, or is in its next one
//   held    poll mode running, and the thread is inside the plug-in's status call, holding the
//           library lock, when the process ends (the test plug-in is made to take 5 s there;
//           its module is the one named by KORVAT_RECORDER_TARGET)
//   detach-unload  poll mode running; call_in_detach.dll (loaded after the library) is freed,
//           and its entry point calls the library (under the loader lock); then the library is
//           closed and uninitialised as usual
//   detach-exit    poll mode running with call_in_detach.dll loaded: its entry point calls the
//           library at process exit
// Exit code 0 means every call before the exit worked.
#include <windows.h>

#include <cstring>

#include "fixture_control.h"
#include "korvat_nfc.h"

int main(int argc, char **argv)
{
    const char *mode = argc > 1 ? argv[1] : "";
    char port[16] = "";
    if (!korvatlib_nfc_initialize() || !korvatlib_nfc_open(port)) {
        return 2;
    }
    if (std::strcmp(mode, "held") == 0) {
        char target[MAX_PATH];
        const DWORD length = GetEnvironmentVariableA("KORVAT_RECORDER_TARGET", target, sizeof(target));
        HMODULE plugin = length > 0 && length < sizeof(target) ? GetModuleHandleA(target) : nullptr;
        fixture_set_status_delay_t setStatusDelay =
            plugin != nullptr ? reinterpret_cast<fixture_set_status_delay_t>(
                                    reinterpret_cast<void *>(GetProcAddress(plugin, "fixture_set_status_delay")))
                              : nullptr;
        if (setStatusDelay == nullptr) {
            return 4;
        }
        setStatusDelay(5000);
    }
    const bool detach = std::strncmp(mode, "detach-", 7) == 0;
    if (std::strcmp(mode, "poll") == 0 || std::strcmp(mode, "held") == 0 || detach) {
        HWND window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        if (!korvatlib_nfc_set_poll_callback_parameters(window, "korvat.exit.find", "korvat.exit.enable") ||
            !korvatlib_nfc_start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K)) {
            return 3;
        }
        Sleep(std::strcmp(mode, "held") == 0 ? 300 : 700);
    }
    if (detach) {
        HMODULE helper = LoadLibraryA("call_in_detach.dll");
        if (helper == nullptr) {
            return 5;
        }
        if (std::strcmp(mode, "detach-unload") == 0) {
            FreeLibrary(helper);
            // The library is still usable after a call from another DLL's entry point: a stop
            // leaves the port open, a close leaves it closed.
            korvatlib_nfc_close();
            if (!korvatlib_nfc_uninitialize()) {
                return 6;
            }
        }
    }
    return 0;
}
