#include "NfcEventQueue.h"

#include "NfcLogProxy.h"

static const char NFC_SOURCE_FILE[] = "..\\..\\NFCLibrary\\NfcEventQueue.cpp";

NfcEventQueue::NfcEventQueue() : m_Available(CreateEventA(nullptr, TRUE, FALSE, nullptr)), m_Enabled(false)
{
    InitializeCriticalSection(&m_Lock);
}

NfcEventQueue::~NfcEventQueue()
{
    DeleteCriticalSection(&m_Lock);
    if (m_Available != nullptr) {
        CloseHandle(m_Available);
    }
}

void NfcEventQueue::setEnabled(bool enabled)
{
    EnterCriticalSection(&m_Lock);
    m_Enabled = enabled;
    if (!enabled) {
        m_Ring.clear();
    }
    if (m_Available != nullptr) {
        // Off, the event stays set: a caller waiting now, or later, is let go at once.
        if (!enabled) {
            SetEvent(m_Available);
        } else if (m_Ring.size() == 0) {
            ResetEvent(m_Available);
        }
    }
    LeaveCriticalSection(&m_Lock);
}

void NfcEventQueue::push(const KORVAT_NFC_EVENT &event)
{
    if (!m_Enabled.load()) {
        return;
    }
    EnterCriticalSection(&m_Lock);
    const bool dropped = m_Enabled.load() && m_Ring.push(event);
    if (m_Available != nullptr && m_Ring.size() > 0) {
        SetEvent(m_Available);
    }
    LeaveCriticalSection(&m_Lock);
    if (dropped) {
        NFC_LOG(0, "WARNING! : The event queue is full: its oldest event was dropped.\n");
    }
}

bool NfcEventQueue::pop(KORVAT_NFC_EVENT &event, uint32_t timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        EnterCriticalSection(&m_Lock);
        const bool taken = m_Ring.pop(event);
        const bool enabled = m_Enabled.load();
        if (m_Ring.size() == 0 && m_Available != nullptr && enabled) {
            ResetEvent(m_Available);
        }
        LeaveCriticalSection(&m_Lock);
        if (taken) {
            return true;
        }
        if (!enabled) {
            return false;  // switched off (or uninitialised) while waiting: no event can come
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline || m_Available == nullptr) {
            return false;
        }
        WaitForSingleObject(m_Available, static_cast<DWORD>(deadline - now));
    }
}
