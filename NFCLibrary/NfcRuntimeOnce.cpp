// The threads runtime's one-time initialisation, as this DLL uses it, and the memory it would
// otherwise leave behind at every FreeLibrary.
//
// The statically linked runtime runs pthread_once when the DLL is loaded: on x86 the unwinder
// registers this DLL's exception frames and creates its lock through pthread_once. The threads
// library's pthread_once gives the loading thread a thread record and creates a lock of its own;
// both are kept on lists that nothing frees at unload, and the unwinder's lock is never
// destroyed. Loaded and freed again and again (as VB and .NET hosts do), the DLL would leave
// 224 bytes of heap behind each time.
//
// So the link redirects pthread_once here (-Wl,--wrap): one-time initialisation with an
// interlocked state word and no thread record. The locks created by an initialisation function
// run here are remembered, and on x86 the last act of the unload, the unwinder's deregistration
// of this DLL's frames, destroys them once it has used them for the last time.
#include <windows.h>

#include <pthread.h>

namespace {

// pthread_once_t states: 0 (PTHREAD_ONCE_INIT) not run, 1 done; 2 running, only here.
const LONG OnceNotRun = 0;
const LONG OnceDone = 1;
const LONG OnceRunning = 2;

// Locks created by initialisation functions that ran through pthread_once; at most a few.
const LONG MostOnceLocks = 8;
pthread_mutex_t *volatile g_OnceLocks[MostOnceLocks];
volatile LONG g_OnceLockCount = 0;
// The thread that runs an initialisation function now (0: none).
volatile LONG g_OnceThread = 0;

// Another thread runs the initialisation function: wait until it is done. A one-time
// initialisation takes microseconds, so a few short spins usually see it end; after them the
// waiter sleeps a millisecond per round. Sleep(1) takes the waiter off the processor for a timer
// tick, so the initialiser runs whatever its priority; Sleep(0) (or a yield) gives the processor
// only to threads of the same or a higher priority, and a waiter of higher priority would then
// spin for ever beside a lower-priority initialiser on a busy machine. No event or lock is
// created: this runs at the DLL's load, before any other object exists, and nothing here may
// need freeing at unload.
void waitForOtherInitialiser(unsigned rounds)
{
    const unsigned SpinRounds = 64;
    if (rounds <= SpinRounds) {
        YieldProcessor();
    } else {
        Sleep(1);
    }
}

} // namespace

extern "C" {

int __real_pthread_mutex_init(pthread_mutex_t *mutex, const pthread_mutexattr_t *attributes);
void *__real___deregister_frame_info(const void *begin);

int __wrap_pthread_once(pthread_once_t *once, void (*function)(void))
{
    volatile LONG *state = reinterpret_cast<volatile LONG *>(once);
    unsigned rounds = 0;
    for (;;) {
        const LONG seen = InterlockedCompareExchange(state, OnceRunning, OnceNotRun);
        if (seen == OnceDone) {
            return 0;
        }
        if (seen == OnceNotRun) {
            break;
        }
        waitForOtherInitialiser(++rounds);
    }
    const LONG outer = InterlockedExchange(&g_OnceThread, static_cast<LONG>(GetCurrentThreadId()));
    function();
    InterlockedExchange(&g_OnceThread, outer);
    InterlockedExchange(state, OnceDone);
    return 0;
}

int __wrap_pthread_mutex_init(pthread_mutex_t *mutex, const pthread_mutexattr_t *attributes)
{
    if (g_OnceThread == static_cast<LONG>(GetCurrentThreadId())) {
        const LONG slot = InterlockedIncrement(&g_OnceLockCount) - 1;
        if (slot < MostOnceLocks) {
            g_OnceLocks[slot] = mutex;
        }
    }
    return __real_pthread_mutex_init(mutex, attributes);
}

#if defined(__i386__)
void *__wrap___deregister_frame_info(const void *begin)
{
    void *const object = __real___deregister_frame_info(begin);
    const LONG count = g_OnceLockCount < MostOnceLocks ? g_OnceLockCount : MostOnceLocks;
    for (LONG i = 0; i < count; ++i) {
        pthread_mutex_destroy(g_OnceLocks[i]);
    }
    g_OnceLockCount = 0;
    return object;
}
#endif

} // extern "C"
