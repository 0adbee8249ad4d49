// The poll thread of a reader plug-in, kept by the loader-lock rules of korvat_nfc_plugin.h: its
// closers may run in the library's DllMain, where nothing may wait for a thread's end, load or
// free a DLL, or block without a bound.
//   - start() takes a reference on the plug-in's own module for the thread (GetModuleHandleEx,
//     FROM_ADDRESS: a reference, not a load) before creating it; the thread leaves through
//     FreeLibraryAndExitThread, so its code stays mapped for as long as it runs, whoever frees
//     the module meanwhile.
//   - The thread's run record (stop and "finished" events) is shared and counted: the side that
//     lets go last frees it.
//   - A closer calls requestStop(), cuts the thread's I/O short in its own way, then
//     waitStopped(bound): a bounded wait for "finished", which the thread sets as its last act
//     on the plug-in's state. Never a wait for the thread's handle.
//   - A thread that has not started yet (it cannot while its creator holds the loader lock) is
//     abandoned without a wait: when it starts it sees that, and only leaves.
#pragma once

#include <windows.h>

namespace korvat_plugin {

class PollThread {
public:
    // The thread's work: runs until it returns; `stop` is set when it should.
    using Body = void (*)(void *context, HANDLE stop);

    // False with the Windows error when the thread or its events cannot be made.
    bool start(Body body, void *context, DWORD &windowsError);
    bool running() const { return m_Run != nullptr; }
    void requestStop();
    // True once the thread no longer uses the plug-in's state (at once when none runs). False
    // when `boundMs` ran out: the thread is still known, and ends on its own.
    bool waitStopped(DWORD boundMs);

private:
    struct Run;
    static DWORD WINAPI main(void *argument);
    static void release(Run *run);

    Run *m_Run = nullptr;
};

}  // namespace korvat_plugin
