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
//     holds the library lock never waits on a cycle that waits for the lock (NfcCriticalSection).
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

    // ---- notification thread ----
    typedef void (*ThreadBody)(void *context);

    // Starts the thread that runs body(context) and returns once it runs this DLL's code.
    // False, with KORVAT_NFC_E_THREAD_CREATE in the code word, when it cannot be created or does
    // not start within StartBoundMilliseconds (the loader lock is held); the thread is then
    // abandoned and will end by itself without running body.
    static bool startThread(ThreadBody body, void *context, HANDLE &thread, ErrorInfo *error);
    // Asks the thread to stop (the body watches stopEvent()), waits until it has finished, and
    // closes its handle. Outside the DLL entry point it also waits until the thread has ended.
    static void stopThread(HANDLE &thread);
    // Signalled while a stop is pending: the body ends its loop and gives up waiting for a lock.
    static HANDLE stopEvent() { return s_StopEvent; }

    // Closes the thread events; called once the library object is done with the thread.
    static void releaseThreadEvents();

    // How long startThread waits for the new thread to reach this DLL's code.
    static const DWORD StartBoundMilliseconds = 5000;

    // The thread's own code, entered from its start stub: runs the body and returns the event
    // that the stub signals as the thread's last act.
    static HANDLE runThread(void *start);
    // The runtime's per-module memory and the unloading thread's runtime record; run after
    // every global destructor of this DLL, at FreeLibrary only.
    static void releaseRuntimeOfThisModule();

private:
    struct ThreadStart;
    static bool abandonThread(ThreadStart *start);

    static Phase s_Phase;
    static HANDLE s_StopEvent;
    static HANDLE s_StartedEvent;
    static HANDLE s_FinishedEvent;
};
