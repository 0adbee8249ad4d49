// Child program of the unload tests: an application that loads the library, opens the first port
// of port_name_list and frees the library without stopping anything. Arguments:
//   poll <plug-in file name>     poll mode running, a target found
//   access <plug-in file name>   and a device access to it open
//   dllmain <plug-in file name>  poll mode started from a DLL's entry point (start_poll_in_dllmain:
//                                the library's thread cannot start in time, and the start fails)
// FreeLibrary must return within 3 s; one second later the plug-in's module must be gone (no
// thread of it left running), and the library must load, open the port and close it again.
// Exit code 0: all of that held; otherwise the step that failed (printed).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "korvat_nfc.h"

namespace {

const char FindName[] = "korvat.free.find";
const char EnableName[] = "korvat.free.enable";

typedef KORVAT_NFC_BOOL(__cdecl *call_t)(void);
typedef KORVAT_NFC_BOOL(__cdecl *open_t)(char *);
typedef KORVAT_NFC_BOOL(__cdecl *number_t)(uint32_t);
typedef KORVAT_NFC_BOOL(__cdecl *callback_t)(void *, const char *, const char *);

template <typename T>
T entry(HMODULE library, const char *name)
{
    return reinterpret_cast<T>(reinterpret_cast<void *>(GetProcAddress(library, name)));
}

int failed(int code, const char *step)
{
    std::printf("free_library_while_polling: %s\n", step);
    std::fflush(stdout);
    return code;
}

std::string binDirectory()
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
    std::string directory(path, length);
    return directory.substr(0, directory.find_last_of('\\') + 1);
}

// Pumps until a find message for a target arrives; its target_number, 0 when none came.
uint32_t waitForTarget(DWORD limitMs)
{
    const UINT find = RegisterWindowMessageA(FindName);
    const DWORD begun = GetTickCount();
    while (GetTickCount() - begun < limitMs) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == find && msg.wParam == KORVAT_NFC_FIND_TARGET) {
                uint32_t number = 0;
                std::memcpy(&number, reinterpret_cast<const uint8_t *>(msg.lParam) + 4, sizeof(number));
                return number;
            }
        }
        Sleep(10);
    }
    return 0;
}

// The library loaded, initialised and its first port open.
HMODULE loadAndOpen()
{
    HMODULE library = LoadLibraryA("korvat_nfc_library_for_vb.dll");
    if (library == nullptr) {
        return nullptr;
    }
    char port[16] = "";
    if (!entry<call_t>(library, "korvatlib_nfc_initialize")() || !entry<open_t>(library, "korvatlib_nfc_open")(port)) {
        FreeLibrary(library);
        return nullptr;
    }
    return library;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        return failed(2, "usage: free_library_while_polling poll|access|dllmain <plug-in file name>");
    }
    const std::string mode = argv[1];
    const char *pluginName = argv[2];
    HMODULE library = loadAndOpen();
    if (library == nullptr) {
        return failed(3, "the library did not load, initialise and open its port");
    }
    HWND window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    if (!entry<callback_t>(library, "korvatlib_nfc_set_poll_callback_parameters")(window, FindName, EnableName)) {
        return failed(4, "set_poll_callback_parameters failed");
    }
    HMODULE helper = nullptr;
    if (mode == "dllmain") {
        helper = LoadLibraryA((binDirectory() + "start_poll_in_dllmain.dll").c_str());
        if (helper == nullptr) {
            return failed(5, "start_poll_in_dllmain.dll did not load");
        }
    } else {
        if (!entry<number_t>(library, "korvatlib_nfc_start_poll_mode")(DEVICE_TYPE_NFC_14443A_18092_106K)) {
            return failed(6, "start_poll_mode failed");
        }
        const uint32_t target = waitForTarget(5000);
        if (target == 0) {
            return failed(7, "no target was found");
        }
        if (mode == "access" && !entry<number_t>(library, "korvatlib_nfc_start_dev_access")(target)) {
            return failed(8, "start_dev_access failed");
        }
    }

    const DWORD begun = GetTickCount();
    FreeLibrary(library);
    const DWORD took = GetTickCount() - begun;
    std::printf("free_library_while_polling %s: FreeLibrary took %lu ms\n", mode.c_str(),
                static_cast<unsigned long>(took));
    std::fflush(stdout);
    if (took > 3000) {
        return failed(9, "FreeLibrary took longer than 3 s");
    }
    if (helper != nullptr) {
        FreeLibrary(helper);
    }
    Sleep(1000);
    if (GetModuleHandleA(pluginName) != nullptr) {
        return failed(10, "the plug-in is still loaded a second after FreeLibrary");
    }
    library = loadAndOpen();
    if (library == nullptr) {
        return failed(11, "the library did not open the port again after FreeLibrary");
    }
    const bool closed = entry<call_t>(library, "korvatlib_nfc_close")() && entry<call_t>(library, "korvatlib_nfc_uninitialize")();
    FreeLibrary(library);
    DestroyWindow(window);
    return closed ? 0 : failed(12, "close or uninitialise failed");
}
