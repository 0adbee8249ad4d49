// The records that the library's messages point to (target information records and error
// pairs), laid out in one block of memory as a ring of fixed slots. The block outlives any one
// load of the DLL: a message posted before an unload may be read after it, and the next load
// takes the same block up again. Pure code over the block's bytes; where the block comes from is
// the library's business.
//
// Block layout (little-endian, BlockSize bytes):
//   0   8  magic "KNFCRECS"
//   8   4  owner: the process the block belongs to
//   12  4  next: counter of claimed slots (the slot is next % SlotCount)
//   16  8  home: an address the owner keeps to find the block again (not read here)
//   24  8  check: written by a finder to tell whether two views show the same block
//   32  32 reserved (zero)
//   64     SlotCount slots of SlotSize bytes
// A record stays as written until SlotCount - 1 further records have been claimed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "korvat_nfc.h"

class NfcRecordRing {
public:
    static constexpr size_t BlockSize = 4096;
    static constexpr size_t HeaderSize = 64;
    static constexpr size_t SlotSize = 288;
    static constexpr size_t SlotCount = (BlockSize - HeaderSize) / SlotSize;
    static constexpr size_t HomeOffset = 16;
    static constexpr size_t CheckOffset = 24;

    // Makes a block of BlockSize bytes an empty ring of process `owner`.
    static void format(uint8_t *block, uint32_t owner);
    // True when the block is a ring of process `owner`.
    static bool isRing(const uint8_t *block, uint32_t owner);
    // The next slot, zeroed, for a record of `size` bytes; null when the record would not fit.
    // Safe against concurrent claims on the same block.
    static uint8_t *claim(uint8_t *block, size_t size);

    static uint64_t readWord(const uint8_t *block, size_t offset);
    static void writeWord(uint8_t *block, size_t offset, uint64_t value);

private:
    static constexpr size_t OwnerOffset = 8;
    static constexpr size_t NextOffset = 12;
};

static_assert(NfcRecordRing::SlotSize >= KORVAT_NFC_MAXIMUM_RECORD_SIZE, "a slot holds the largest record");
static_assert(NfcRecordRing::SlotSize % 16 == 0, "slots are aligned as the heap would align a record");
static_assert(NfcRecordRing::SlotCount >= 8, "a record outlives several cycles");
