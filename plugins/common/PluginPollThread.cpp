#include "PluginPollThread.h"

#include <new>

namespace korvat_plugin {

struct PollThread::Run {
    enum : LONG { Pending = 0, Running = 1, Abandoned = 2 };
    volatile LONG state = Pending;  // claimed once: by the thread (Running) or a closer (Abandoned)
    volatile LONG references = 2;
    HANDLE stop = nullptr;      // manual reset
    HANDLE finished = nullptr;  // manual reset: the thread no longer uses the plug-in's state
    HMODULE module = nullptr;   // the thread's own reference on the plug-in's module
    Body body = nullptr;
    void *context = nullptr;
};

void PollThread::release(Run *run)
{
    if (InterlockedDecrement(&run->references) == 0) {
        CloseHandle(run->stop);
        CloseHandle(run->finished);
        delete run;
    }
}

DWORD WINAPI PollThread::main(void *argument)
{
    Run *run = static_cast<Run *>(argument);
    const HMODULE module = run->module;
    if (InterlockedCompareExchange(&run->state, Run::Running, Run::Pending) == Run::Pending) {
        run->body(run->context, run->stop);
    }
    // The last act on the plug-in's state; the module stays mapped by this thread's reference.
    SetEvent(run->finished);
    release(run);
    FreeLibraryAndExitThread(module, 0);
    return 0;
}

bool PollThread::start(Body body, void *context, DWORD &windowsError)
{
    Run *run = new (std::nothrow) Run;
    if (run == nullptr) {
        windowsError = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    run->body = body;
    run->context = context;
    run->stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    run->finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const bool referenced =
        run->stop != nullptr && run->finished != nullptr &&
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                           reinterpret_cast<LPCWSTR>(reinterpret_cast<void *>(&PollThread::main)), &run->module);
    HANDLE thread = referenced ? CreateThread(nullptr, 0, &PollThread::main, run, 0, nullptr) : nullptr;
    if (thread == nullptr) {
        windowsError = GetLastError();
        if (run->module != nullptr) {
            FreeLibrary(run->module);  // only the count drops: the library holds this module too
        }
        run->references = 1;
        release(run);
        return false;
    }
    CloseHandle(thread);  // never waited for: "finished" says when it is done with the plug-in
    m_Run = run;
    return true;
}

void PollThread::requestStop()
{
    if (m_Run != nullptr) {
        SetEvent(m_Run->stop);
    }
}

bool PollThread::waitStopped(DWORD boundMs)
{
    Run *run = m_Run;
    if (run == nullptr) {
        return true;
    }
    const bool neverStarted =
        InterlockedCompareExchange(&run->state, Run::Abandoned, Run::Pending) == Run::Pending;
    if (!neverStarted && WaitForSingleObject(run->finished, boundMs) != WAIT_OBJECT_0) {
        return false;
    }
    m_Run = nullptr;
    release(run);
    return true;
}

}  // namespace korvat_plugin
