// What happens to the library at its three ends: stop of one of its threads (the notification
// thread, the plug-and-play watcher), unload by FreeLibrary, and the end of the process. Where the DLL and the process stand (the DLL's
// phases, the process's end, the loader lock) NfcProcessState says.
//
// States of each of the library's threads (each has its own ThreadEvents):
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

#include "NfcProcessState.h"
#include "korvat_nfc_plugin.h"

class NfcLifetime {
public:
    // ---- the library's threads ----
    typedef void (*ThreadBody)(void *context);

    // The events of one thread the library runs, made at its first start and kept until
    // releaseThreadEvents (the owner's end).
    struct ThreadEvents {
        HANDLE stop = nullptr;      // signalled while a stop is pending
        HANDLE started = nullptr;   // the thread has reached this DLL's code
        HANDLE finished = nullptr;  // the thread's last act
    };

    // Starts the thread that runs body(context) and returns once it runs this DLL's code.
    // False, with KORVAT_NFC_E_THREAD_CREATE in the code word, when it cannot be created or does
    // not start within StartBoundMilliseconds (the loader lock is held); the thread is then
    // abandoned and will end by itself without running body.
    static bool startThread(ThreadEvents &events, ThreadBody body, void *context, HANDLE &thread, ErrorInfo *error);
    // Asks the thread to stop (the body watches events.stop), waits until it has finished (at
    // most FinishBoundMilliseconds), and closes its handle. When
    // NfcProcessState::mayWaitForThread() it also waits until the thread has ended (at most
    // EndBoundMilliseconds). False when it did not finish:
    // the handle is then kept (a later call waits again) and the stop event stays set.
    static bool stopThread(ThreadEvents &events, HANDLE &thread);

    // Closes the thread's events; called once its owner is done with the thread.
    static void releaseThreadEvents(ThreadEvents &events);

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
    struct ThreadStart;
    static bool abandonThread(ThreadStart *start);
    static void keepImageMapped();

};
