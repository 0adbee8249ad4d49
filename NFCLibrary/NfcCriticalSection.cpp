#include "NfcCriticalSection.h"

#include "NfcLifetime.h"

CRITICAL_SECTION NfcCriticalSection::m_CriticalSection;
bool NfcCriticalSection::m_IsInitialized = false;
bool NfcCriticalSection::m_IsDeleted = false;
std::atomic<DWORD> NfcCriticalSection::s_Owner{0};
LONG NfcCriticalSection::s_Depth = 0;
std::atomic<bool> NfcCriticalSection::s_CycleWaiting{false};
HANDLE NfcCriticalSection::s_CyclePassed = nullptr;

void NfcCriticalSection::createLock()
{
    if (!m_IsInitialized) {
        InitializeCriticalSection(&m_CriticalSection);
        s_CyclePassed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        m_IsInitialized = true;
    }
}

NfcCriticalSection::NfcCriticalSection() : m_Owns(true), m_TurnGiven(false)
{
    createLock();
    const bool outermost = s_Owner.load(std::memory_order_relaxed) != GetCurrentThreadId();
    EnterCriticalSection(&m_CriticalSection);
    // Read under the lock: the notification thread clears the flag only while it holds the lock
    // (or when it gives up), so a set flag means its cycle is still to come. An unload does not
    // give way: it holds the loader lock, which the cycle's plug-in call might need.
    if (outermost && s_CyclePassed != nullptr && s_CycleWaiting.load(std::memory_order_acquire) &&
        NfcLifetime::phase() == NfcLifetime::Loaded) {
        LeaveCriticalSection(&m_CriticalSection);
        WaitForSingleObject(s_CyclePassed, GiveWayBoundMilliseconds);
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
    if (s_CyclePassed != nullptr) {
        ResetEvent(s_CyclePassed);
    }
    s_CycleWaiting.store(true, std::memory_order_release);
    for (;;) {
        if (TryEnterCriticalSection(&m_CriticalSection)) {
            m_Owns = true;
            m_TurnGiven = true;
            entered();
            s_CycleWaiting.store(false, std::memory_order_release);
            return;
        }
        if (WaitForSingleObject(abandonEvent, 1) == WAIT_OBJECT_0) {
            cyclePassed();
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

void NfcCriticalSection::cyclePassed()
{
    s_CycleWaiting.store(false, std::memory_order_release);
    if (s_CyclePassed != nullptr) {
        SetEvent(s_CyclePassed);
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
        cyclePassed();
    }
    if (lastRelease && m_IsDeleted) {
        DeleteCriticalSection(&m_CriticalSection);
        if (s_CyclePassed != nullptr) {
            CloseHandle(s_CyclePassed);
            s_CyclePassed = nullptr;
        }
        m_IsInitialized = false;
    }
}

void NfcCriticalSection::retire()
{
    NfcCriticalSection guard;
    m_IsDeleted = true;
}
