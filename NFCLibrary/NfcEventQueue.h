// The event queue of callers without a window (korvatlib_nfc_set_event_queue,
// korvatlib_nfc_get_next_event): while it is on, every event that a window message carries is
// also appended here by value (NfcEventRing: bounded, the oldest dropped). It has a lock of its
// own, never held while waiting, and a manual-reset event that is set while an event is queued
// (and while the queue is off, so that no wait outlasts it),
// so that a reader waits without the library lock and a writer (the library's threads, which
// hold the library lock) never waits for a reader.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "NfcEventRing.h"
#include "korvat_nfc.h"

class NfcEventQueue {
public:
    NfcEventQueue();
    virtual ~NfcEventQueue();

    // On: events are queued from now on. Off: the queue is emptied, nothing more is queued, and
    // every pop waiting or to come returns false at once.
    void setEnabled(bool enabled);
    bool enabled() const { return m_Enabled.load(); }
    // Appends a copy of event when the queue is on; a full queue drops its oldest (traced).
    void push(const KORVAT_NFC_EVENT &event);
    // Takes the oldest event, waiting up to timeoutMs for one (0: not at all); false when none
    // came, the queue is off or went off meanwhile, or it could not be made.
    bool pop(KORVAT_NFC_EVENT &event, uint32_t timeoutMs);

    NfcEventQueue(const NfcEventQueue &) = delete;
    NfcEventQueue &operator=(const NfcEventQueue &) = delete;

private:
    CRITICAL_SECTION m_Lock;
    HANDLE m_Available;  // set while the ring holds an event
    NfcEventRing m_Ring;
    std::atomic<bool> m_Enabled;
};
