// Child program of the unload tests: an application that returns from main with the port open
// (and, with the argument "poll", with poll mode running), so that the library meets the end of
// the process instead of FreeLibrary. Exit code 0 means every call before the exit worked.
#include <windows.h>

#include <cstring>

#include "korvat_nfc.h"

int main(int argc, char **argv)
{
    char port[16] = "";
    if (!korvatlib_nfc_initialize() || !korvatlib_nfc_open(port)) {
        return 2;
    }
    if (argc > 1 && std::strcmp(argv[1], "poll") == 0) {
        HWND window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        if (!korvatlib_nfc_set_poll_callback_parameters(window, "korvat.exit.find", "korvat.exit.enable") ||
            !korvatlib_nfc_start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K)) {
            return 3;
        }
        Sleep(700);  // the thread has run a cycle and sleeps, or is in its next one
    }
    return 0;
}
