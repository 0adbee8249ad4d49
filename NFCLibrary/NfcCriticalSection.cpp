#include "NfcCriticalSection.h"

CRITICAL_SECTION NfcCriticalSection::m_CriticalSection;
bool NfcCriticalSection::m_IsInitialized = false;
bool NfcCriticalSection::m_IsDeleted = false;

void NfcCriticalSection::createLock()
{
    if (!m_IsInitialized) {
        InitializeCriticalSection(&m_CriticalSection);
        m_IsInitialized = true;
    }
}

NfcCriticalSection::NfcCriticalSection() : m_Owns(true)
{
    createLock();
    EnterCriticalSection(&m_CriticalSection);
}

NfcCriticalSection::NfcCriticalSection(HANDLE abandonEvent) : m_Owns(false)
{
    createLock();
    // The lock is normally free between operations; when it is held, wait in short steps so
    // that a pending stop is seen within a few milliseconds.
    for (;;) {
        if (TryEnterCriticalSection(&m_CriticalSection)) {
            m_Owns = true;
            return;
        }
        if (WaitForSingleObject(abandonEvent, 1) == WAIT_OBJECT_0) {
            return;
        }
    }
}

NfcCriticalSection::~NfcCriticalSection()
{
    if (!m_Owns) {
        return;
    }
    LeaveCriticalSection(&m_CriticalSection);
    if (m_IsDeleted) {
        DeleteCriticalSection(&m_CriticalSection);
        m_IsInitialized = false;
    }
}

void NfcCriticalSection::retire()
{
    NfcCriticalSection guard;
    m_IsDeleted = true;
}
