// Scope guard over the library lock: one process-wide, recursive critical section that every
// library operation and every cycle of the notification thread holds for its whole work.
//
// The cycle gets its turn: a critical section is not fair, and an application thread that calls
// the library back to back would take the lock again and again before the waiting notification
// thread is scheduled. So while the notification thread waits for the lock, an application
// thread that has just taken it (at its outermost level) gives it back once and waits until that
// cycle has passed (not during an unload, which holds the loader lock). The notification thread
// never waits for a stopper: it gives up the cycle as soon as a stop is pending, and a stopper
// therefore never waits on a cycle that waits for it.
#pragma once

#include <windows.h>

#include <atomic>

class NfcCriticalSection {
public:
    // Takes the lock, creating it on first use; gives a waiting cycle its turn first.
    NfcCriticalSection();
    // The notification thread's way in: takes the lock unless abandonEvent is signalled first;
    // owns() tells which happened.
    explicit NfcCriticalSection(HANDLE abandonEvent);
    // Releases the lock; once the lock is retired, the release deletes it.
    virtual ~NfcCriticalSection();

    bool owns() const { return m_Owns; }

    // Creates the lock; called once while the DLL is loaded, before any thread can call in.
    static void createLock();
    // Marks the lock as retired: the next release deletes it (library object's end).
    static void retire();

    NfcCriticalSection(const NfcCriticalSection &) = delete;
    NfcCriticalSection &operator=(const NfcCriticalSection &) = delete;

    static CRITICAL_SECTION m_CriticalSection;
    static bool m_IsInitialized;
    static bool m_IsDeleted;

    // How long an application thread that gave way waits for the cycle at most; the cycle only
    // needs this lock, so this bound is reached only when the cycle cannot run at all.
    static const DWORD GiveWayBoundMilliseconds = 1200;

private:
    void entered();
    void cyclePassed();

    bool m_Owns;
    bool m_TurnGiven;  // the notification thread got the lock through its turn

    // Owner and depth of the lock, written only by the thread that holds it.
    static std::atomic<DWORD> s_Owner;
    static LONG s_Depth;
    // Set while the notification thread waits for the lock; s_CyclePassed is signalled when it
    // got the lock and released it again, or gave up.
    static std::atomic<bool> s_CycleWaiting;
    static HANDLE s_CyclePassed;
};
