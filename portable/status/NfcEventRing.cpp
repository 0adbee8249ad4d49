#include "NfcEventRing.h"

bool NfcEventRing::push(const KORVAT_NFC_EVENT &event)
{
    uint32_t lost = 0;
    if (m_Size == Capacity) {
        // The oldest goes, together with the count of those dropped before it.
        lost = m_Events[m_Head].lost_before + 1;
        m_Head = (m_Head + 1) % Capacity;
        --m_Size;
    }
    KORVAT_NFC_EVENT &slot = m_Events[(m_Head + m_Size) % Capacity];
    slot = event;
    slot.lost_before = 0;
    ++m_Size;
    // The dropped events lay right before what is now the oldest.
    m_Events[m_Head].lost_before += lost;
    return lost != 0;
}

bool NfcEventRing::pop(KORVAT_NFC_EVENT &event)
{
    if (m_Size == 0) {
        return false;
    }
    event = m_Events[m_Head];
    m_Head = (m_Head + 1) % Capacity;
    --m_Size;
    return true;
}

void NfcEventRing::clear()
{
    m_Head = 0;
    m_Size = 0;
}
