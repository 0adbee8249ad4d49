// Scope guard over the library lock: one process-wide, recursive critical section that every
// library operation and every cycle of the notification thread holds for its whole work. The
// waiting cycle gets its turn through the fair hand-off (NfcLockHandOff).
#pragma once

#include <windows.h>

#include <atomic>

class NfcCriticalSection {
public:
    // Takes the lock, creating it on first use; gives a waiting cycle its turn first.
    NfcCriticalSection();
    // The notification thread's way in: takes the lock unless abandonEvent is signalled first;
    // owns() tells which happened. askForTurn false (the plug-and-play watcher, which is not in
    // a hurry) waits without the fair hand-off, which serves the notification cycle alone.
    explicit NfcCriticalSection(HANDLE abandonEvent, bool askForTurn = true);
    // The unloading thread's way in (it holds the loader lock, so whoever holds this lock may be
    // waiting for it): waits for the lock; once boundMilliseconds have passed, asks giveUp() at
    // every step and stops waiting when it answers true. owns() tells which happened.
    NfcCriticalSection(DWORD boundMilliseconds, bool (*giveUp)());
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

private:
    void entered(DWORD self);

    bool m_Owns;
    bool m_TurnGiven;  // the notification thread got the lock through its turn

    // Owner and depth of the lock, written only by the thread that holds it.
    static std::atomic<DWORD> s_Owner;
    static LONG s_Depth;
};
