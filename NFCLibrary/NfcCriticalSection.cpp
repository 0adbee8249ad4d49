#include "NfcCriticalSection.h"

#include "NfcLockHandOff.h"

CRITICAL_SECTION NfcCriticalSection::m_CriticalSection;
bool NfcCriticalSection::m_IsInitialized = false;
bool NfcCriticalSection::m_IsDeleted = false;
std::atomic<DWORD> NfcCriticalSection::s_Owner{0};
LONG NfcCriticalSection::s_Depth = 0;

// The calling thread's id, read from its thread environment block as GetCurrentThreadId does,
// without the call: the lock is taken on every library call.
static inline DWORD currentThreadId()
{
#if defined(__x86_64__)
    DWORD id;
    asm("movl %%gs:0x48, %0" : "=r"(id));
    return id;
#elif defined(__i386__)
    DWORD id;
    asm("movl %%fs:0x24, %0" : "=r"(id));
    return id;
#else
    return GetCurrentThreadId();
#endif
}

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
    const DWORD self = currentThreadId();
    const bool outermost = s_Owner.load(std::memory_order_relaxed) != self;
    EnterCriticalSection(&m_CriticalSection);
    if (outermost && NfcLockHandOff::shouldGiveWay()) {
        LeaveCriticalSection(&m_CriticalSection);
        NfcLockHandOff::waitForCycle();
        EnterCriticalSection(&m_CriticalSection);
    }
    entered(self);
}

NfcCriticalSection::NfcCriticalSection(HANDLE abandonEvent, bool askForTurn) : m_Owns(false), m_TurnGiven(false)
{
    createLock();
    if (TryEnterCriticalSection(&m_CriticalSection)) {
        m_Owns = true;
        entered(currentThreadId());
        return;
    }
    if (!askForTurn) {
        for (;;) {
            if (WaitForSingleObject(abandonEvent, 1) == WAIT_OBJECT_0) {
                return;
            }
            if (TryEnterCriticalSection(&m_CriticalSection)) {
                m_Owns = true;
                entered(currentThreadId());
                return;
            }
        }
    }
    // Ask for the next turn, then wait in short steps so that a pending stop is seen within a
    // few milliseconds.
    NfcLockHandOff::cycleWaits();
    for (;;) {
        if (TryEnterCriticalSection(&m_CriticalSection)) {
            m_Owns = true;
            m_TurnGiven = true;
            entered(currentThreadId());
            NfcLockHandOff::cycleEntered();
            return;
        }
        if (WaitForSingleObject(abandonEvent, 1) == WAIT_OBJECT_0) {
            NfcLockHandOff::cyclePassed();
            return;
        }
    }
}

NfcCriticalSection::NfcCriticalSection(DWORD boundMilliseconds, bool (*giveUp)()) : m_Owns(false), m_TurnGiven(false)
{
    createLock();
    const DWORD start = GetTickCount();
    for (;;) {
        if (TryEnterCriticalSection(&m_CriticalSection)) {
            m_Owns = true;
            entered(currentThreadId());
            return;
        }
        if (GetTickCount() - start >= boundMilliseconds && giveUp()) {
            return;
        }
        Sleep(1);
    }
}

void NfcCriticalSection::entered(DWORD self)
{
    if (s_Owner.load(std::memory_order_relaxed) == self) {
        ++s_Depth;
    } else {
        s_Owner.store(self, std::memory_order_relaxed);
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
