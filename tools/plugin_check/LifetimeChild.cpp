#include "LifetimeChild.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "NfcCheckerInterface.h"
#include "NfcErrorCodes.h"
#include "korvat_nfc.h"

const char LifetimeChild::ChildOption[] = "--lifetime-step";
const char LifetimeChild::HelperFileName[] = "korvat_nfc_lifetime_helper.dll";
const char LifetimeChild::HelperArmExport[] = "korvat_lifetime_helper_arm";

namespace {

const LifetimeStep Steps[] = {
    {"status_under_loader_lock",
     "gp_get_driver_status (then gp_list_ports and gp_set_status_event(NULL) where exported) while another thread "
     "holds the loader lock",
     true, false, LifetimeStep::StatusUnderLoaderLock, false},
    {"free_port_open", "FreeLibrary with the port open, not polling", false, false, LifetimeStep::FreeLibraryStep,
     false},
    {"free_while_polling", "FreeLibrary while polling", true, false, LifetimeStep::FreeLibraryStep, false},
    {"free_device_access", "FreeLibrary with device access enabled, while polling", true, false,
     LifetimeStep::FreeLibraryStep, true},
    {"detach_free", "FreeLibrary of another DLL whose DLL_PROCESS_DETACH calls korvatlib_nfc_stop_poll_mode and "
                    "korvatlib_nfc_close while polling",
     true, true, LifetimeStep::FreeLibraryStep, false},
    {"detach_exit", "process exit while polling, with another DLL whose DLL_PROCESS_DETACH calls "
                    "korvatlib_nfc_stop_poll_mode and korvatlib_nfc_close",
     true, true, LifetimeStep::ExitStep, false},
    {"exit_port_open", "process exit with the port open", false, false, LifetimeStep::ExitStep, false},
    {"exit_while_polling", "process exit while polling", true, false, LifetimeStep::ExitStep, false},
};

// How long poll mode runs before the step begins: the notification thread has run a cycle.
const DWORD PollBeforeStepMilliseconds = 700;

void say(const std::string &line)
{
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

int notRun(const std::string &reason)
{
    say("notrun " + reason);
    return LifetimeChild::NotRunExitCode;
}


double millisecondsSince(const LARGE_INTEGER &start)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// The exports the steps use, from the library loaded by path.
struct Library {
    HMODULE module = nullptr;
    KORVAT_NFC_BOOL(__cdecl *initialize)(void) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *open)(char *) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *setPollCallbackParameters)(void *, const char *, const char *) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *startPollMode)(uint32_t) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *startDevAccess)(uint32_t) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *getLastError)(uint32_t *) = nullptr;

    template <typename Function>
    bool bind(Function &function, const char *name)
    {
        function = reinterpret_cast<Function>(reinterpret_cast<void *>(GetProcAddress(module, name)));
        return function != nullptr;
    }

    // "korvatlib_nfc_open(\"COM3\") failed: KORVAT_NFC_E_NO_PLUGIN (80C0000Bh, detail 00000000h)"
    std::string failure(const std::string &call)
    {
        uint32_t info[2] = {0, 0};
        getLastError(info);
        const NfcErrorCode *known = NfcErrorCodes::find(info[0]);
        char text[96];
        std::snprintf(text, sizeof(text), " (%08Xh, detail %08Xh)", info[0], info[1]);
        return call + " failed: " + (known != nullptr ? known->name : "a plug-in's error") + text;
    }
};

std::string errorText(const char *call, const ErrorInfo &error)
{
    char text[160];
    std::snprintf(text, sizeof(text), "%s failed (%08Xh, detail %08Xh)", call, error.error_code, error.detail_code);
    return text;
}

// gp_get_driver_status called on a thread of its own while this thread holds the loader lock,
// as the library's unloading thread does while it waits for a cycle at FreeLibrary.
int statusUnderLoaderLock(const std::string &plugin, const std::string &port, uint32_t targetDevice)
{
    typedef LONG(NTAPI * LockLoaderLock)(ULONG flags, ULONG *disposition, ULONG_PTR *cookie);
    typedef LONG(NTAPI * UnlockLoaderLock)(ULONG flags, ULONG_PTR cookie);
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    const LockLoaderLock lockLoader = reinterpret_cast<LockLoaderLock>(
        reinterpret_cast<void *>(GetProcAddress(ntdll, "LdrLockLoaderLock")));
    const UnlockLoaderLock unlockLoader = reinterpret_cast<UnlockLoaderLock>(
        reinterpret_cast<void *>(GetProcAddress(ntdll, "LdrUnlockLoaderLock")));
    if (lockLoader == nullptr || unlockLoader == nullptr) {
        return notRun("this system's ntdll.dll has no LdrLockLoaderLock");
    }
    const HMODULE module = LoadLibraryA(plugin.c_str());
    PluginFunctionTable functions;
    if (module == nullptr || !NfcCheckerInterface::bindPluginFunctions(module, functions)) {
        return notRun("the plug-in cannot be loaded and bound");
    }
    ErrorInfo error = {0, 0};
    if (!functions.gp_open_port_and_transition_nfc_mode(port.c_str(), &error)) {
        return notRun(errorText("gp_open_port_and_transition_nfc_mode", error));
    }
    if (!functions.gp_start_poll_mode(targetDevice, &error)) {
        functions.gp_close_port(&error);
        return notRun(errorText("gp_start_poll_mode", error));
    }
    Sleep(PollBeforeStepMilliseconds);

    // The calls a thread holding the loader lock may wait for, in turn on one thread: the status,
    // the port list, and the withdrawal of an event handed over before the lock is taken.
    struct StatusCall {
        gp_get_driver_status_t entry;
        gp_list_ports_t listPorts;
        gp_set_status_event_t setStatusEvent;
        HANDLE ready, go, done;
        volatile LONG stage;  // the call under way: 0 status, 1 list, 2 withdrawal, 3 done
        double took[3];       // each call's time
        static DWORD WINAPI run(void *argument)
        {
            StatusCall *call = static_cast<StatusCall *>(argument);
            SetEvent(call->ready);  // past its start-up, which needs the loader lock
            WaitForSingleObject(call->go, INFINITE);
            uint32_t status = 0, pollType = 0, listenType = 0, size = 0;
            uint8_t *data = nullptr;
            ErrorInfo record = {0, 0};
            LARGE_INTEGER begun;
            QueryPerformanceCounter(&begun);
            call->entry(&status, &pollType, &listenType, &size, &data, &record);
            call->next(begun);
            if (call->listPorts != nullptr) {
                char list[4096];
                uint32_t needed = 0;
                call->listPorts(list, sizeof list, &needed, &record);
            }
            call->next(begun);
            if (call->setStatusEvent != nullptr) {
                call->setStatusEvent(nullptr, &record);
            }
            call->next(begun);
            SetEvent(call->done);
            return 0;
        }
        void next(LARGE_INTEGER &begun)
        {
            took[stage] = millisecondsSince(begun);
            QueryPerformanceCounter(&begun);
            InterlockedIncrement(&stage);
        }
        // The call under way, or the slowest once all returned.
        int slowest() const
        {
            if (stage < 3) {
                return stage;
            }
            return took[1] > took[0] && took[1] >= took[2] ? 1 : took[2] > took[0] ? 2 : 0;
        }
    } call{functions.gp_get_driver_status,
           reinterpret_cast<gp_list_ports_t>(reinterpret_cast<void (*)(void)>(GetProcAddress(module, "gp_list_ports"))),
           reinterpret_cast<gp_set_status_event_t>(
               reinterpret_cast<void (*)(void)>(GetProcAddress(module, "gp_set_status_event"))),
           CreateEventA(nullptr, TRUE, FALSE, nullptr), CreateEventA(nullptr, TRUE, FALSE, nullptr),
           CreateEventA(nullptr, TRUE, FALSE, nullptr), 0, {0, 0, 0}};
    HANDLE statusEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (call.setStatusEvent != nullptr && !call.setStatusEvent(statusEvent, &error)) {
        call.setStatusEvent = nullptr;  // not handed over: nothing to withdraw
    }
    HANDLE thread = CreateThread(nullptr, 0, &StatusCall::run, &call, 0, nullptr);
    if (thread == nullptr || WaitForSingleObject(call.ready, 10000) != WAIT_OBJECT_0) {
        return notRun("no thread for the status call");
    }
    LARGE_INTEGER begin;
    QueryPerformanceCounter(&begin);
    say("begin " + std::to_string(begin.QuadPart));
    ULONG_PTR cookie = 0;
    lockLoader(0, nullptr, &cookie);
    SetEvent(call.go);
    const bool returned = WaitForSingleObject(call.done, LifetimeChild::LoaderLockHoldMilliseconds) == WAIT_OBJECT_0;
    const double took = millisecondsSince(begin);
    unlockLoader(0, cookie);
    static const char *const Entries[] = {"gp_get_driver_status", "gp_list_ports", "gp_set_status_event(NULL)"};
    char line[96];
    std::snprintf(line, sizeof(line), "%s %.1f %s", returned ? "status" : "blocked", took, Entries[call.slowest()]);
    say(line);
    WaitForSingleObject(thread, INFINITE);  // it can go on now; the checker bounds this process
    CloseHandle(thread);
    for (HANDLE event : {call.ready, call.go, call.done, statusEvent}) {
        CloseHandle(event);
    }
    functions.gp_stop_poll_mode(&error);
    functions.gp_close_port(&error);
    FreeLibrary(module);
    return 0;
}

} // namespace

const LifetimeStep *LifetimeChild::steps(size_t &count)
{
    count = sizeof(Steps) / sizeof(Steps[0]);
    return Steps;
}

const LifetimeStep *LifetimeChild::find(const std::string &name)
{
    for (const LifetimeStep &step : Steps) {
        if (name == step.name) {
            return &step;
        }
    }
    return nullptr;
}

int LifetimeChild::run(const LifetimeStep &step, const std::string &plugin, const std::string &port,
                       uint32_t targetDevice)
{
    if (step.kind == LifetimeStep::StatusUnderLoaderLock) {
        return statusUnderLoaderLock(plugin, port, targetDevice);
    }
    const std::string directory = LifetimeChild::programDirectory();
    const std::string libraryPath = directory + "korvat_nfc_library_for_vb.dll";
    Library library;
    library.module = LoadLibraryA(libraryPath.c_str());
    if (library.module == nullptr) {
        return notRun("the library " + libraryPath + " cannot be loaded (error " + std::to_string(GetLastError()) +
                      ")");
    }
    if (!library.bind(library.initialize, "korvatlib_nfc_initialize") || !library.bind(library.open, "korvatlib_nfc_open") ||
        !library.bind(library.setPollCallbackParameters, "korvatlib_nfc_set_poll_callback_parameters") ||
        !library.bind(library.startPollMode, "korvatlib_nfc_start_poll_mode") ||
        !library.bind(library.startDevAccess, "korvatlib_nfc_start_dev_access") ||
        !library.bind(library.getLastError, "korvatlib_nfc_get_last_error")) {
        return notRun(libraryPath + " lacks an export");
    }
    if (!library.initialize()) {
        return notRun(library.failure("korvatlib_nfc_initialize()"));
    }
    // The checker never loads the plug-in in this process: if its module is here, the library
    // registered it.
    if (GetModuleHandleA(plugin.c_str()) == nullptr) {
        return notRun("the library did not register the plug-in: it is not below plugins_home_directory (\"" +
                      NfcCheckerInterface::pluginsHomeDirectory() +
                      "\"), or another plug-in there serves its category");
    }
    std::vector<char> name(port.begin(), port.end());
    name.push_back('\0');
    if (!library.open(name.data())) {
        return notRun(library.failure("korvatlib_nfc_open(\"" + port + "\")"));
    }
    if (step.polling) {
        HWND window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        if (window == nullptr) {
            return notRun("no message window");
        }
        if (!library.setPollCallbackParameters(window, "korvat.check.find", "korvat.check.enable")) {
            return notRun(library.failure("korvatlib_nfc_set_poll_callback_parameters()"));
        }
        if (!library.startPollMode(targetDevice)) {
            return notRun(library.failure("korvatlib_nfc_start_poll_mode()"));
        }
        // Poll for a while as an application does, taking the messages as they come; for device
        // access, until the first target is reported ready for it.
        const UINT enable = RegisterWindowMessageA("korvat.check.enable");
        bool accessing = false;
        DWORD start = GetTickCount();
        while (GetTickCount() - start < PollBeforeStepMilliseconds || (step.deviceAccess && !accessing)) {
            MSG message;
            while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
                if (step.deviceAccess && !accessing && message.message == enable) {
                    if (!library.startDevAccess(static_cast<uint32_t>(message.lParam))) {
                        return notRun(library.failure("korvatlib_nfc_start_dev_access()"));
                    }
                    accessing = true;
                    start = GetTickCount();
                }
                DispatchMessageA(&message);
            }
            if (step.deviceAccess && !accessing && GetTickCount() - start > TargetWaitMilliseconds) {
                return notRun("no target was reported ready for access within " +
                              std::to_string(TargetWaitMilliseconds) + " ms: place a target on the reader");
            }
            Sleep(10);
        }
    }
    HMODULE helper = nullptr;
    if (step.helper) {
        const std::string helperPath = directory + HelperFileName;
        helper = LoadLibraryA(helperPath.c_str());
        void (__cdecl *arm)(void) = helper != nullptr ? reinterpret_cast<void (__cdecl *)(void)>(reinterpret_cast<void *>(
                                                            GetProcAddress(helper, HelperArmExport)))
                                                      : nullptr;
        if (arm == nullptr) {
            return notRun("the helper " + helperPath + " cannot be loaded");
        }
        arm();
    }
    LARGE_INTEGER begin;
    QueryPerformanceCounter(&begin);
    say("begin " + std::to_string(begin.QuadPart));
    if (!step.freesLibrary()) {
        return 0;  // the process ends here, with the library as the step left it
    }
    FreeLibrary(helper != nullptr ? helper : library.module);
    char returned[32];
    std::snprintf(returned, sizeof(returned), "returned %.1f", millisecondsSince(begin));
    say(returned);
    if (helper != nullptr) {
        FreeLibrary(library.module);
    } else {
        // A plug-in's own thread may hold a reference on it for a moment after its closer saw it
        // finish (it frees it on its way out): give that the time; a plug-in the library kept
        // because it gave up a status call that did not return stays loaded for good.
        bool kept = GetModuleHandleA(plugin.c_str()) != nullptr;
        for (int i = 0; kept && i < LifetimeChild::KeptPluginWaitMilliseconds / 10; ++i) {
            Sleep(10);
            kept = GetModuleHandleA(plugin.c_str()) != nullptr;
        }
        if (kept) {
            say("kept");
        }
    }
    return 0;
}

std::string LifetimeChild::programDirectory()
{
    char path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
    if (length == 0 || length >= sizeof(path)) {
        return "";
    }
    std::string directory(path, length);
    return directory.substr(0, directory.find_last_of('\\') + 1);
}
