// The threads runtime's one-time initialisation for a DLL of ours that links its runtimes
// statically (the library and the reader plug-ins), without what the threads library would leave
// behind in the host at every load and unload.
//
//   - The threads library's pthread_once gives the calling thread a thread record (an event, a
//     duplicate of the thread's handle and some memory) that only that thread's end frees. The
//     C++ runtime calls it at the DLL's load and at the first use of a guarded static or of a
//     stream's locale. The link redirects pthread_once here (-Wl,--wrap): one lock of Windows (an
//     SRW lock, which owns no handle and no memory: nothing to free at unload) and a state word,
//     no record. A waiter sleeps in the lock, so an initialiser of any priority runs.
//   - On x86 the unwinder registers the DLL's exception frames at load and creates its lock
//     through pthread_once; nothing destroys that lock, whose first use allocated its record.
//     The locks created by an initialisation function run here are remembered, and destroyed
//     once the unwinder has deregistered the frames (the last use of its lock, at unload).
#include <windows.h>

#include <pthread.h>

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
