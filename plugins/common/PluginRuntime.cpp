// What the statically linked C++ and threads runtime of a plug-in would leave behind in its host
// at every load and unload, and how the plug-in gives it back. The library loads every plug-in
// at each korvatlib_nfc_initialize (also the ones it then refuses) and frees it at
// korvatlib_nfc_uninitialize, so anything kept per load grows with every reader lifetime.
//
//   - The threads runtime's pthread_once gives the calling thread a thread record (an event, a
//     duplicate of the thread's handle and some memory) that only that thread's end frees. The
//     C++ runtime calls it on the application's thread at the first use of a guarded static or
//     of a stream's locale. The link redirects pthread_once here (-Wl,--wrap): one lock of
//     Windows (an SRW lock, which owns no handle and no memory) and a state word, no record.
//   - On x86 the unwinder registers the plug-in's exception frames at load and creates its lock
//     through pthread_once; nothing destroys that lock, whose first use allocated its record.
//     The locks created by an initialisation function run here are remembered, and destroyed
//     once the unwinder has deregistered the frames (the last use of its lock, at unload).
//   - The C++ runtime's pool for exceptions thrown under memory pressure is never given back on
//     its own: it is released when the module is freed (FreeLibrary, not process exit).
//   - A record that the unloading thread still got from the threads runtime is released as the
//     thread's own end would release it: the module's TLS callbacks with DLL_THREAD_DETACH.
//
// The skeleton's objects live at namespace scope and the poll thread runs on Windows calls
// alone, so no other thread of the plug-in needs a record.
#include <windows.h>

#include <pthread.h>

extern "C" IMAGE_DOS_HEADER __ImageBase;
extern "C" const IMAGE_TLS_DIRECTORY _tls_used;

namespace __gnu_cxx {
void __freeres();
}

namespace {

// pthread_once_t states: 0 (PTHREAD_ONCE_INIT) not run, 1 done.
const LONG OnceDone = 1;

// Held while an initialisation function runs; a function that starts another one (of another
// control) on the same thread runs it at once, under the same hold.
SRWLOCK g_OnceLock = SRWLOCK_INIT;
volatile LONG g_OnceOwner = 0;

// Locks created by initialisation functions run here (the unwinder's): at most a few. Changed
// only by the thread that holds g_OnceLock.
const LONG MostOnceLocks = 8;
pthread_mutex_t *g_OnceLocks[MostOnceLocks];
LONG g_OnceLockCount = 0;

// Set by DllMain when the module is being freed (and not the process ending: then every other
// thread is gone already and nothing is given back).
bool g_Unloading = false;

}  // namespace

namespace {

// The hold of g_OnceLock for one call, given back however the initialisation function ends: one
// that throws leaves its control not run (the next call runs it again, as std::call_once wants)
// and the lock free for every other thread.
class OnceHold {
public:
    OnceHold() : m_Nested(g_OnceOwner == static_cast<LONG>(GetCurrentThreadId()))
    {
        if (!m_Nested) {
            AcquireSRWLockExclusive(&g_OnceLock);
            g_OnceOwner = static_cast<LONG>(GetCurrentThreadId());
        }
    }
    ~OnceHold()
    {
        if (!m_Nested) {
            g_OnceOwner = 0;
            ReleaseSRWLockExclusive(&g_OnceLock);
        }
    }
    OnceHold(const OnceHold &) = delete;
    OnceHold &operator=(const OnceHold &) = delete;

private:
    const bool m_Nested;
};

}  // namespace

extern "C" int __wrap_pthread_once(pthread_once_t *once, void (*function)(void))
{
    volatile LONG *state = reinterpret_cast<volatile LONG *>(once);
    if (InterlockedCompareExchange(state, OnceDone, OnceDone) == OnceDone) {
        return 0;
    }
    OnceHold hold;
    if (*state != OnceDone) {
        function();
        InterlockedExchange(state, OnceDone);
    }
    return 0;
}

extern "C" int __real_pthread_mutex_init(pthread_mutex_t *mutex, const pthread_mutexattr_t *attributes);

extern "C" int __wrap_pthread_mutex_init(pthread_mutex_t *mutex, const pthread_mutexattr_t *attributes)
{
    if (g_OnceOwner == static_cast<LONG>(GetCurrentThreadId()) && g_OnceLockCount < MostOnceLocks) {
        g_OnceLocks[g_OnceLockCount++] = mutex;
    }
    return __real_pthread_mutex_init(mutex, attributes);
}

#if defined(__i386__)
extern "C" void *__real___deregister_frame_info(const void *begin);

// The unwinder's last use of its lock is this deregistration, at unload.
extern "C" void *__wrap___deregister_frame_info(const void *begin)
{
    void *const object = __real___deregister_frame_info(begin);
    for (LONG i = 0; i < g_OnceLockCount; ++i) {
        pthread_mutex_destroy(g_OnceLocks[i]);
    }
    g_OnceLockCount = 0;
    return object;
}
#endif

namespace {

// Built before every other global object of the plug-in, so destroyed after all of them:
// whatever their destructors do with the runtime happens before it is given back.
struct RuntimeRelease {
    ~RuntimeRelease()
    {
        if (!g_Unloading) {
            return;
        }
        __gnu_cxx::__freeres();
        const PIMAGE_TLS_CALLBACK *callback =
            reinterpret_cast<const PIMAGE_TLS_CALLBACK *>(_tls_used.AddressOfCallBacks);
        for (; callback != nullptr && *callback != nullptr; ++callback) {
            (*callback)(reinterpret_cast<HINSTANCE>(&__ImageBase), DLL_THREAD_DETACH, nullptr);
        }
    }
};
__attribute__((init_priority(101))) RuntimeRelease g_RuntimeRelease;

}  // namespace

// Runs before the runtime's own detach work (global objects' destructors), after its attach.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_DETACH) {
        g_Unloading = reserved == nullptr;
    }
    return TRUE;
}
