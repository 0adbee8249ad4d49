// Child program of the plug-and-play tests: an application that has the library watch for
// readers (plug_and_play = 1, the event queue on, no window) and then frees it, or ends, without
// stopping anything. Arguments:
//   watch <plug-in file name>          watching, no port open
//   watch_polling <plug-in file name>  watching, and the first port open and polling
//                                      (event_notification = 1: the status event handed over)
//   exit <plug-in file name>           watching and polling, and the process ends without FreeLibrary
// FreeLibrary must return within 3 s; one second later the plug-in's module must be gone, and the
// library must load and initialise again. Exit code 0: all of that held; otherwise the step that
// failed (printed).
#include <windows.h>

#include <cstdio>
#include <string>

#include "korvat_nfc.h"

namespace {

typedef KORVAT_NFC_BOOL(__cdecl *call_t)(void);
typedef KORVAT_NFC_BOOL(__cdecl *open_t)(char *);
typedef KORVAT_NFC_BOOL(__cdecl *number_t)(uint32_t);
typedef KORVAT_NFC_BOOL(__cdecl *next_event_t)(KORVAT_NFC_EVENT *, uint32_t);

template <typename T>
T entry(HMODULE library, const char *name)
{
    return reinterpret_cast<T>(reinterpret_cast<void *>(GetProcAddress(library, name)));
}

int failed(int code, const char *step)
{
    std::printf("free_library_while_watching: %s\n", step);
    std::fflush(stdout);
    return code;
}

// The library loaded, initialised, the queue on and the watcher started.
HMODULE loadAndWatch()
{
    HMODULE library = LoadLibraryA("korvat_nfc_library_for_vb.dll");
    if (library == nullptr) {
        return nullptr;
    }
    if (!entry<call_t>(library, "korvatlib_nfc_initialize")() ||
        !entry<number_t>(library, "korvatlib_nfc_set_event_queue")(1) ||
        !entry<call_t>(library, "korvatlib_nfc_start_plug_and_play")()) {
        FreeLibrary(library);
        return nullptr;
    }
    return library;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        return failed(2, "usage: free_library_while_watching watch|watch_polling|exit <plug-in file name>");
    }
    const std::string mode = argv[1];
    const char *pluginName = argv[2];
    HMODULE library = loadAndWatch();
    if (library == nullptr) {
        return failed(3, "the library did not load, initialise and start watching");
    }
    if (mode != "watch") {
        char port[16] = "";
        if (!entry<open_t>(library, "korvatlib_nfc_open")(port) ||
            !entry<number_t>(library, "korvatlib_nfc_start_poll_mode")(DEVICE_TYPE_NFC_14443A_18092_106K)) {
            return failed(4, "open or start_poll_mode failed");
        }
    }
    // Some looks of the watcher go by (it asks every 250 ms); events are read meanwhile.
    KORVAT_NFC_EVENT event;
    const DWORD watching = GetTickCount();
    while (GetTickCount() - watching < 700) {
        entry<next_event_t>(library, "korvatlib_nfc_get_next_event")(&event, 50);
    }
    if (mode == "exit") {
        return 0;  // the process ends with the watcher and the notification thread running
    }

    const DWORD begun = GetTickCount();
    FreeLibrary(library);
    const DWORD took = GetTickCount() - begun;
    std::printf("free_library_while_watching %s: FreeLibrary took %lu ms\n", mode.c_str(),
                static_cast<unsigned long>(took));
    std::fflush(stdout);
    if (took > 3000) {
        return failed(9, "FreeLibrary took longer than 3 s");
    }
    Sleep(1000);
    if (GetModuleHandleA(pluginName) != nullptr) {
        return failed(10, "the plug-in is still loaded a second after FreeLibrary");
    }
    library = loadAndWatch();
    if (library == nullptr) {
        return failed(11, "the library did not start watching again after FreeLibrary");
    }
    const bool stopped = entry<call_t>(library, "korvatlib_nfc_stop_plug_and_play")() &&
                         entry<call_t>(library, "korvatlib_nfc_uninitialize")();
    FreeLibrary(library);
    return stopped ? 0 : failed(12, "stop_plug_and_play or uninitialise failed");
}
