// Memory of the records that the find messages point to (target information records and error
// pairs). A message posted before FreeLibrary may be pumped after it, so its lParam must point
// to memory that the unload does not give back: one block of NfcRecordRing::BlockSize bytes per
// process, a ring of NfcRecordRing::SlotCount slots, never freed. It is a named section of this
// process ("Local\korvat_nfc_message_records.<process id>") whose first view stays mapped and
// whose handle stays open; the next load of the DLL opens the section by its name, reads the
// kept view's address from its header and checks that the address shows the same section, so
// a process holds one block and one handle whatever the number of loads.
#pragma once

#include <cstddef>
#include <cstdint>

class NfcMessageRecords {
public:
    // Makes the ring available (creates or finds the block); false, traced, when neither works.
    static bool prepare();
    // A zeroed slot for a record of `size` bytes, valid until SlotCount - 1 further claims; null
    // (traced) when the ring is not available or the record does not fit.
    static uint8_t *claim(size_t size);

private:
    static uint8_t *findOrCreate();
    static uint8_t *s_Ring;
};
