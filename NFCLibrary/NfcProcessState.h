// Where the DLL and the process stand: loaded, being unloaded, or ending, and whether the calling
// thread holds the loader lock. Only queries: no logging, no lock of this library, no loader
// work, so that every other class (the log writers included) can ask them at any moment.
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
#pragma once

#include <windows.h>

#include <cstddef>

class NfcProcessState {
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

private:
    // The loader's own answer (RtlDllShutdownInProgress).
    static bool loaderIsShuttingDown();

    static Phase s_Phase;
};
