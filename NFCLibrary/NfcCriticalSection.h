// Scope guard over the library lock: one process-wide, recursive critical section that every
// library operation and every cycle of the notification thread holds for its whole work.
#pragma once

#include <windows.h>

class NfcCriticalSection {
public:
    // Takes the lock, creating it on first use.
    NfcCriticalSection();
    // Takes the lock unless abandonEvent is signalled first; owns() tells which happened.
    // The notification thread enters this way, so that a stop requested by a thread that holds
    // the lock never waits for a cycle that is itself waiting for the lock.
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

private:
    bool m_Owns;
};
