// The event queue of callers without a window: a ring of KORVAT_NFC_EVENT_QUEUE_LENGTH events
// kept by value. When it is full a new event drops the oldest one, and the event that is then
// the oldest carries the number of events dropped right before it (lost_before), so whoever
// reads the queue learns where a gap lies. Pure data: the lock and the wake-up are the library's.
#pragma once

#include <cstddef>
#include <cstdint>

#include "korvat_nfc.h"

class NfcEventRing {
public:
    static constexpr size_t Capacity = KORVAT_NFC_EVENT_QUEUE_LENGTH;

    // Appends a copy of event (its lost_before is ignored and counted here); when the ring is
    // full the oldest event is dropped first. True when an event was dropped.
    bool push(const KORVAT_NFC_EVENT &event);
    // Takes the oldest event; false, event untouched, when the ring is empty.
    bool pop(KORVAT_NFC_EVENT &event);
    void clear();
    size_t size() const { return m_Size; }

private:
    KORVAT_NFC_EVENT m_Events[Capacity] = {};
    size_t m_Head = 0;  // the oldest event
    size_t m_Size = 0;
};
