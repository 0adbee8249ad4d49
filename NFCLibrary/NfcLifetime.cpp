#include "NfcLifetime.h"

#include <process.h>

#include <new>

#include "NfcLogProxy.h"
#include "korvat_nfc.h"

static const char NFC_SOURCE_FILE[] = "..\\..\\NFCLibrary\\NfcLifetime.cpp";

extern "C" IMAGE_DOS_HEADER __ImageBase;
extern "C" const IMAGE_TLS_DIRECTORY _tls_used;

// The statically linked C++ runtime keeps a pool for exceptions thrown under memory pressure and
// never gives it back on its own; a DLL that is loaded and unloaded repeatedly must.
namespace __gnu_cxx {
void __freeres();
}

// ---------------------------------------------------------------------------------------------
// The thread's start stub. It calls runThread and then jumps (does not call) into SetEvent with
// the returned "finished" event as the argument that the stub itself received, so SetEvent
// returns straight into the C runtime's thread start-up (msvcrt.dll), which ends the thread. From
// the moment the event is signalled nothing on the thread's stack leads back into this DLL. It
// is written in assembly because only then is the jump, rather than a call, guaranteed.
// ---------------------------------------------------------------------------------------------
extern "C" HANDLE nfcRunNotificationThread(void *start)
{
    return NfcLifetime::runThread(start);
}
extern "C" unsigned __stdcall nfcNotificationThreadEntry(void *start);

#if defined(__i386__)
asm(".text\n"
    ".globl _nfcNotificationThreadEntry@4\n"
    ".def _nfcNotificationThreadEntry@4; .scl 2; .type 32; .endef\n"
    "_nfcNotificationThreadEntry@4:\n"
    "    pushl 4(%esp)\n"
    "    call _nfcRunNotificationThread\n"
    "    addl $4, %esp\n"
    "    movl %eax, 4(%esp)\n"
    "    jmp *__imp__SetEvent@4\n");
#elif defined(__x86_64__)
asm(".text\n"
    ".globl nfcNotificationThreadEntry\n"
    ".def nfcNotificationThreadEntry; .scl 2; .type 32; .endef\n"
    ".seh_proc nfcNotificationThreadEntry\n"
    "nfcNotificationThreadEntry:\n"
    "    subq $40, %rsp\n"
    "    .seh_stackalloc 40\n"
    "    .seh_endprologue\n"
    "    call nfcRunNotificationThread\n"
    "    addq $40, %rsp\n"
    "    movq %rax, %rcx\n"
    "    rex.W jmp *__imp_SetEvent(%rip)\n"
    ".seh_endproc\n");
#else
#error "the notification thread's start stub is written for x86 and x64"
#endif

// One start of the thread. Claimed by exactly one side: the thread (it reached this DLL's code in
// time) or the starter (it gave up waiting). The starter frees it, unless the thread was
// abandoned, in which case the thread frees it.
struct NfcLifetime::ThreadStart {
    enum : LONG { Pending = 0, Started = 1, Abandoned = 2 };
    ThreadBody body;
    void *context;
    HANDLE started;
    HANDLE finished;
    volatile LONG state;
    bool holdsReference;  // abandoned: the thread owns a reference on this DLL
};

// ---------------------------------------------------------------------------------------------
// The runtime of this module
// ---------------------------------------------------------------------------------------------

void NfcLifetime::releaseRuntimeOfThisModule()
{
    __gnu_cxx::__freeres();
    // The static thread runtime keeps a record (memory, a thread handle and an event) for each
    // thread that used it in this module, and frees it only when that thread ends. The thread
    // that unloads the module outlives it, so its record is released here, as its end would.
    const PIMAGE_TLS_CALLBACK *callback = reinterpret_cast<const PIMAGE_TLS_CALLBACK *>(_tls_used.AddressOfCallBacks);
    for (; callback != nullptr && *callback != nullptr; ++callback) {
        (*callback)(reinterpret_cast<HINSTANCE>(&__ImageBase), DLL_THREAD_DETACH, nullptr);
    }
}

namespace {
// Built before every other global object of this DLL, so destroyed after all of them: whatever
// those destructors do with the runtime happens before its memory is given back.
struct NfcRuntimeRelease {
    NfcRuntimeRelease() {}
    ~NfcRuntimeRelease()
    {
        if (NfcProcessState::phase() == NfcProcessState::Unloading) {
            NfcLifetime::releaseRuntimeOfThisModule();
        }
    }
};
__attribute__((init_priority(101))) NfcRuntimeRelease g_NfcRuntimeRelease;
} // namespace

// ---------------------------------------------------------------------------------------------
// The library's threads
// ---------------------------------------------------------------------------------------------

bool NfcLifetime::startThread(ThreadEvents &events, ThreadBody body, void *context, HANDLE &thread, ErrorInfo *error)
{
    for (HANDLE *event : {&events.stop, &events.started, &events.finished}) {
        if (*event == nullptr) {
            *event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        }
    }
    ThreadStart *start = nullptr;
    if (events.stop != nullptr && events.started != nullptr && events.finished != nullptr) {
        start = new (std::nothrow)
            ThreadStart{body, context, events.started, events.finished, ThreadStart::Pending, false};
    }
    if (start == nullptr) {
        NFC_LOG(0, "ERROR! : _beginthreadex()\n");
        error->error_code = KORVAT_NFC_E_THREAD_CREATE;
        return false;
    }
    ResetEvent(events.stop);
    ResetEvent(events.started);
    ResetEvent(events.finished);

    const uintptr_t created = _beginthreadex(nullptr, 0, &nfcNotificationThreadEntry, start, 0, nullptr);
    if (created == 0) {
        delete start;
        NFC_LOG(0, "ERROR! : _beginthreadex()\n");
        error->error_code = KORVAT_NFC_E_THREAD_CREATE;
        return false;
    }
    // Until the thread runs this DLL's code an unload could not reach it: a thread still in its
    // start-up needs the loader lock that an unload holds.
    if (WaitForSingleObject(events.started, StartBoundMilliseconds) != WAIT_OBJECT_0 && abandonThread(start)) {
        if (!CloseHandle(reinterpret_cast<HANDLE>(created))) {
            NFC_LOG(0, "ASSERT! CloseHandle() failed.\n");
        }
        NFC_LOG(0, "ERROR! : Thread did not start within %lu ms.\n", static_cast<unsigned long>(StartBoundMilliseconds));
        error->error_code = KORVAT_NFC_E_THREAD_CREATE;
        return false;
    }
    delete start;
    thread = reinterpret_cast<HANDLE>(created);
    return true;
}

bool NfcLifetime::abandonThread(ThreadStart *start)
{
    // The thread may run this DLL's code long after this call returned, even after the
    // application has freed the DLL: it gets a reference of its own and gives it back with
    // FreeLibraryAndExitThread, which does not return into the DLL.
    HMODULE reference = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(reinterpret_cast<void *>(&nfcRunNotificationThread)),
                            &reference)) {
        NFC_LOG(0, "ASSERT! GetModuleHandleEx() failed.\n");
    }
    start->holdsReference = reference != nullptr;
    if (InterlockedCompareExchange(&start->state, ThreadStart::Abandoned, ThreadStart::Pending) ==
        ThreadStart::Pending) {
        return true;
    }
    // It reached this DLL's code after all, and no longer reads the record: nothing to wait for
    // (the caller may hold the loader lock).
    if (reference != nullptr) {
        FreeLibrary(reference);
    }
    return false;
}

HANDLE NfcLifetime::runThread(void *argument)
{
    ThreadStart *start = static_cast<ThreadStart *>(argument);
    // Read before the claim: once the thread has claimed its start, the starter owns (and frees)
    // the record at any moment, without waiting for "started".
    const ThreadBody body = start->body;
    void *const context = start->context;
    const HANDLE started = start->started;
    const HANDLE finished = start->finished;
    if (InterlockedCompareExchange(&start->state, ThreadStart::Started, ThreadStart::Pending) ==
        ThreadStart::Abandoned) {
        const bool holdsReference = start->holdsReference;
        delete start;
        if (holdsReference) {
            FreeLibraryAndExitThread(reinterpret_cast<HMODULE>(&__ImageBase), 0);
        }
        ExitThread(0);
    }
    SetEvent(started);
    body(context);
    return finished;
}

bool NfcLifetime::stopThread(ThreadEvents &events, HANDLE &thread)
{
    if (thread == nullptr) {
        return true;
    }
    SetEvent(events.stop);
    const bool finished = WaitForSingleObject(events.finished, FinishBoundMilliseconds) == WAIT_OBJECT_0;
    if (!finished) {
        // The thread lives on (suspended, or stalled outside the library lock): its handle is
        // kept so that a later stop can confirm its end, and the stop event stays set, so it
        // leaves its loop without another cycle once it runs.
        NFC_LOG(0, "ERROR! : Thread did not finish within %lu ms.\n", static_cast<unsigned long>(FinishBoundMilliseconds));
        keepImageMapped();
        return false;
    }
    if (NfcProcessState::mayWaitForThread()) {
        if (WaitForSingleObject(thread, EndBoundMilliseconds) != WAIT_OBJECT_0) {
            NFC_LOG(0, "WARNING! : Thread did not end within %lu ms.\n", static_cast<unsigned long>(EndBoundMilliseconds));
        }
    } else if (NfcProcessState::phase() == NfcProcessState::Loaded) {
        // It needs nothing of this DLL any more and ends once the loader lock is free.
        NFC_LOG(0, "INFORMATION! : Loader lock held: the end of the thread is not waited for.\n");
    }
    if (!CloseHandle(thread)) {
        NFC_LOG(0, "ASSERT! CloseHandle() failed.\n");
    }
    thread = nullptr;
    return true;
}

void NfcLifetime::keepImageMapped()
{
    // The thread may still run this DLL's code: the image stays until the process ends. Inside
    // the DLL's own detach the unload is already decided, and nothing can keep it.
    if (NfcProcessState::phase() != NfcProcessState::Loaded) {
        return;
    }
    HMODULE pinned = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                            reinterpret_cast<LPCWSTR>(reinterpret_cast<void *>(&nfcRunNotificationThread)),
                            &pinned)) {
        NFC_LOG(0, "ASSERT! GetModuleHandleEx() failed.\n");
        return;
    }
    NFC_LOG(0, "WARNING! : The DLL stays loaded until the process ends.\n");
}

void NfcLifetime::releaseThreadEvents(ThreadEvents &events)
{
    for (HANDLE *event : {&events.stop, &events.started, &events.finished}) {
        if (*event != nullptr) {
            CloseHandle(*event);
            *event = nullptr;
        }
    }
}
