// What happens to the library at its three ends: stop of the notification thread, unload by
// FreeLibrary, and the end of the process. Every other class asks this one what it may do.
//
// Phases of the DLL (one way only):
//   Loaded      - attached; every operation allowed.
//   Unloading   - DLL_PROCESS_DETACH from FreeLibrary: the loader lock is held by the unloading
//                 thread. The port is closed and the plug-ins are freed; the lock is not given
//                 away to a waiting cycle, and no thread is waited for by its handle (a thread
//                 cannot end while the loader lock is held).
//   ProcessExit - DLL_PROCESS_DETACH with a non-null reserved pointer: every other thread has
//                 been killed where it stood, and the plug-ins (loaded after this DLL) have run
//                 their own detach already.
// The process may be exiting before this DLL's own detach: another DLL's detach or a global
// destructor can call in while the DLL is still Loaded. processExiting() asks the loader, and the
// exported functions (all but get_last_error) then do nothing: they fail with
// KORVAT_NFC_E_PROCESS_EXITING, take no lock and call no plug-in.
// States of the notification thread:
//   none -> starting -> running -> finished -> (ended by the system)
//   starting -> abandoned, when it does not reach this DLL's code within StartBoundMilliseconds
//               (another thread, or the caller itself, holds the loader lock): start-up fails.
//
// Invariants:
//   - After "finished" is signalled no code of this DLL runs on the notification thread: the
//     signal is the thread's last act (a jump into SetEvent whose return goes to the C runtime's
//     thread start-up in msvcrt.dll, which ends the thread), so no return address into this DLL
//     is left on its stack, and the thread never waits alertably, so no queued APC can bring it
//     back. What the loader itself calls on its way out (thread-detach notifications) it calls
//     under the loader lock, and only while the DLL is mapped.
//   - Stop never deadlocks: the thread gives a cycle up when a stop is pending, so a stopper that
//     holds the library lock never waits on a cycle that waits for the lock (NfcLockHandOff).
//     Every wait of a stop is bounded, and the wait for the thread's end is skipped while the
//     stopper holds the loader lock (any DLL's entry point): a thread cannot end until it is free.
//   - A thread that did not finish in time is left to run: the stop fails (the caller calls no
//     plug-in), its handle is kept so that a later stop can confirm its end, the stop event
//     stays set so it leaves its loop as soon as it runs, and the DLL is pinned, so its code
//     stays mapped (outside the entry point; inside it nothing can keep the image).
//   - At FreeLibrary the library lock is waited for with a bound: a status call that waits for
//     the loader lock held by the unloading thread is given up (NfcStatusCall), and the thread
//     ends when the plug-in returns, without coming back into this DLL.
//   - A thread abandoned at start-up holds its own reference on this DLL and leaves through
//     FreeLibraryAndExitThread, so it never runs code of an unmapped DLL either.
//   - At process exit no plug-in is called and no plug-in module is freed: the library object
//     is not ended at all, so it frees no memory either.
//   - At process exit no lock is entered and no thread is waited for (the log is switched off
//     without taking its writers' locks).
//   - The runtime's per-module memory is given back only at FreeLibrary, after every global
//     destructor of this DLL has run.
#pragma once

#include <windows.h>

#include <cstdint>

#include "korvat_nfc_plugin.h"

class NfcLifetime {
public:
    enum Phase { Loaded, Unloading, ProcessExit };

    // DLL entry point, DLL_PROCESS_DETACH.
    static void processDetach(void *reserved);
    static Phase phase() { return s_Phase; }

    // The library object's end (close the port, free the plug-ins, retire the lock, free its
    // memory) runs at FreeLibrary; at process exit the object is left as it is.
    static bool mayEndLibraryObject() { return s_Phase != ProcessExit; }
    static bool mayEnterLock() { return s_Phase != ProcessExit; }

    // True once the process has begun to exit (ExitProcess, or the return from main), also
    // before this DLL's own detach: every other thread is gone, and DLLs loaded after this one
    // (the plug-ins) may have been detached already.
    // The loader detaches the DLLs of an exiting process holding its lock, on the exiting
    // thread: a thread that does not hold it is not in the process's end, and that is known
    // from a few loads, without asking the loader (every exported call asks this).
    static bool processExiting() { return s_Phase == ProcessExit || (holdsLoaderLock() && loaderIsShuttingDown()); }
    // True when the calling thread holds the loader lock (inside any DLL's entry point): no
    // thread can start or end until it is released.
    static bool holdsLoaderLock()
    {
        // The process environment block names the loader's critical section; its owner field
        // says which thread holds it. The block's address in the thread environment block and
        // the lock's address in the block are at fixed offsets for each architecture.
        const unsigned char *peb = nullptr;
#if defined(__x86_64__)
        const size_t LoaderLockOffset = 0x110;
        asm("movq %%gs:0x60, %0" : "=r"(peb));
#else
        const size_t LoaderLockOffset = 0xA0;
        asm("movl %%fs:0x30, %0" : "=r"(peb));
#endif
        const CRITICAL_SECTION *loaderLock =
            peb != nullptr ? *reinterpret_cast<const CRITICAL_SECTION *const *>(peb + LoaderLockOffset) : nullptr;
        const HANDLE owner = loaderLock != nullptr ? loaderLock->OwningThread : nullptr;
        return owner != nullptr && static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(owner)) == GetCurrentThreadId();
    }
    // Whether the calling thread may wait for another thread of this DLL to get on.
    static bool mayWaitForThread() { return s_Phase == Loaded && !processExiting() && !holdsLoaderLock(); }

    // ---- notification thread ----
    typedef void (*ThreadBody)(void *context);

    // Starts the thread that runs body(context) and returns once it runs this DLL's code.
    // False, with KORVAT_NFC_E_THREAD_CREATE in the code word, when it cannot be created or does
    // not start within StartBoundMilliseconds (the loader lock is held); the thread is then
    // abandoned and will end by itself without running body.
    static bool startThread(ThreadBody body, void *context, HANDLE &thread, ErrorInfo *error);
    // Asks the thread to stop (the body watches stopEvent()), waits until it has finished (at
    // most FinishBoundMilliseconds), and closes its handle. When mayWaitForThread() it also waits
    // until the thread has ended (at most EndBoundMilliseconds). False when it did not finish:
    // the handle is then kept (a later call waits again) and the stop event stays set.
    static bool stopThread(HANDLE &thread);
    // Signalled while a stop is pending: the body ends its loop and gives up waiting for a lock.
    static HANDLE stopEvent() { return s_StopEvent; }

    // Closes the thread events; called once the library object is done with the thread.
    static void releaseThreadEvents();

    // How long startThread waits for the new thread to reach this DLL's code.
    static const DWORD StartBoundMilliseconds = 5000;
    // How long stopThread waits for "finished": the stopper holds the library lock, so the thread
    // is asleep or waiting for the lock, and it finishes within milliseconds unless it cannot
    // run at all.
    static const DWORD FinishBoundMilliseconds = 2000;
    // How long stopThread waits for the thread's end after "finished" (the loader's thread-detach
    // notifications).
    static const DWORD EndBoundMilliseconds = 2000;

    // The thread's own code, entered from its start stub: runs the body and returns the event
    // that the stub signals as the thread's last act.
    static HANDLE runThread(void *start);
    // The runtime's per-module memory and the unloading thread's runtime record; run after
    // every global destructor of this DLL, at FreeLibrary only.
    static void releaseRuntimeOfThisModule();

private:
    // The loader's own answer (RtlDllShutdownInProgress).
    static bool loaderIsShuttingDown();

    struct ThreadStart;
    static bool abandonThread(ThreadStart *start);
    static void keepImageMapped();

    static Phase s_Phase;
    static HANDLE s_StopEvent;
    static HANDLE s_StartedEvent;
    static HANDLE s_FinishedEvent;
};
