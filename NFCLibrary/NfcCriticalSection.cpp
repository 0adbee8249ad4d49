#include "NfcCriticalSection.h"

#include "NfcLockHandOff.h"

CRITICAL_SECTION NfcCriticalSection::m_CriticalSection;
bool NfcCriticalSection::m_IsInitialized = false;
bool NfcCriticalSection::m_IsDeleted = false;
std::atomic<DWORD> NfcCriticalSection::s_Owner{0};
LONG NfcCriticalSection::s_Depth = 0;

void NfcCriticalSection::createLock()
{
    if (!m_IsInitialized) {
        InitializeCriticalSection(&m_CriticalSection);
        NfcLockHandOff::create();
        m_IsInitialized = true;
    }
}

NfcCriticalSection::NfcCriticalSection() : m_Owns(true), m_TurnGiven(false)
{
    createLock();
    const bool outermost = s_Owner.load(std::memory_order_relaxed) != GetCurrentThreadId();
    EnterCriticalSection(&m_CriticalSection);
    if (outermost && NfcLockHandOff::shouldGiveWay()) {
        LeaveCriticalSection(&m_CriticalSection);
        NfcLockHandOff::waitForCycle();
        EnterCriticalSection(&m_CriticalSection);
    }
    entered();
}

NfcCriticalSection::NfcCriticalSection(HANDLE abandonEvent) : m_Owns(false), m_TurnGiven(false)
{
    createLock();
    if (TryEnterCriticalSection(&m_CriticalSection)) {
        m_Owns = true;
        entered();
        return;
    }
    // Ask for the next turn, then wait in short steps so that a pending stop is seen within a
    // few milliseconds.
    NfcLockHandOff::cycleWaits();
    for (;;) {
        if (TryEnterCriticalSection(&m_CriticalSection)) {
            m_Owns = true;
            m_TurnGiven = true;
            entered();
            NfcLockHandOff::cycleEntered();
            return;
        }
        if (WaitForSingleObject(abandonEvent, 1) == WAIT_OBJECT_0) {
            NfcLockHandOff::cyclePassed();
            return;
        }
    }
}

void NfcCriticalSection::entered()
{
    if (s_Owner.load(std::memory_order_relaxed) == GetCurrentThreadId()) {
        ++s_Depth;
    } else {
        s_Owner.store(GetCurrentThreadId(), std::memory_order_relaxed);
        s_Depth = 1;
    }
}

NfcCriticalSection::~NfcCriticalSection()
{
    if (!m_Owns) {
        return;
    }
    if (--s_Depth == 0) {
        s_Owner.store(0, std::memory_order_relaxed);
    }
    const bool lastRelease = s_Depth == 0;
    LeaveCriticalSection(&m_CriticalSection);
    if (m_TurnGiven) {
        NfcLockHandOff::cyclePassed();
    }
    if (lastRelease && m_IsDeleted) {
        DeleteCriticalSection(&m_CriticalSection);
        NfcLockHandOff::destroy();
        m_IsInitialized = false;
    }
}

void NfcCriticalSection::retire()
{
    NfcCriticalSection guard;
    m_IsDeleted = true;
}
