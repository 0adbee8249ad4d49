// Fair hand-off of the library lock to the notification cycle. A critical section is not fair:
// an application thread that calls the library back to back would take the lock again and again
// before the waiting notification thread is scheduled. So while the notification thread waits
// for the lock, an application thread that has just taken it (at its outermost level) gives it
// back once and waits, bounded, until that cycle has passed. The scope guard (NfcCriticalSection)
// asks this class when to give way; the notification thread tells it when it waits and when its
// cycle has passed.
//
// The notification thread never waits for a stopper: it gives a cycle up as soon as a stop is
// pending, so a stopper that holds the lock never waits on a cycle that waits for it.
#pragma once

#include <windows.h>

#include <atomic>

class NfcLockHandOff {
public:
    // Creates the "cycle passed" event; called with the lock's creation.
    static void create();
    // Closes the event; called when the lock is deleted.
    static void destroy();

    // Application side, called holding the lock at its outermost level: true when the
    // notification thread waits for the lock and this thread may give way to it (never while
    // the loader lock is held: the cycle's plug-in call must not be made to wait on it).
    static bool shouldGiveWay()
    {
        // The common case, no cycle waiting, costs one load and no call.
        return s_CycleWaiting.load(std::memory_order_acquire) && shouldGiveWaySlow();
    }
    // Waits, without holding the lock, until the waiting cycle has passed (at most
    // GiveWayBoundMilliseconds).
    static void waitForCycle();

    // Notification side: the thread starts waiting for the lock ...
    static void cycleWaits();
    // ... got it through its turn (called holding the lock) ...
    static void cycleEntered();
    // ... and has released it again, or gave up waiting.
    static void cyclePassed();

    // How long an application thread that gave way waits for the cycle at most; the cycle only
    // needs the lock, so this bound is reached only when the cycle cannot run at all.
    static const DWORD GiveWayBoundMilliseconds = 1200;

private:
    static bool shouldGiveWaySlow();

    // Set while the notification thread waits for the lock; s_CyclePassed is signalled when it
    // got the lock and released it again, or gave up.
    static std::atomic<bool> s_CycleWaiting;
    static HANDLE s_CyclePassed;
};
