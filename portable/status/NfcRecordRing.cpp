#include "NfcRecordRing.h"

#include <cstring>

namespace {
const uint8_t Magic[8] = {'K', 'N', 'F', 'C', 'R', 'E', 'C', 'S'};
} // namespace

uint64_t NfcRecordRing::readWord(const uint8_t *block, size_t offset)
{
    uint64_t value = 0;
    for (size_t i = 0; i < 8; ++i) {
        value |= static_cast<uint64_t>(block[offset + i]) << (8 * i);
    }
    return value;
}

void NfcRecordRing::writeWord(uint8_t *block, size_t offset, uint64_t value)
{
    for (size_t i = 0; i < 8; ++i) {
        block[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void NfcRecordRing::format(uint8_t *block, uint32_t owner)
{
    std::memset(block, 0, BlockSize);
    std::memcpy(block, Magic, sizeof(Magic));
    for (size_t i = 0; i < 4; ++i) {
        block[OwnerOffset + i] = static_cast<uint8_t>(owner >> (8 * i));
    }
}

bool NfcRecordRing::isRing(const uint8_t *block, uint32_t owner)
{
    uint32_t stored = 0;
    for (size_t i = 0; i < 4; ++i) {
        stored |= static_cast<uint32_t>(block[OwnerOffset + i]) << (8 * i);
    }
    return std::memcmp(block, Magic, sizeof(Magic)) == 0 && stored == owner;
}

uint8_t *NfcRecordRing::claim(uint8_t *block, size_t size)
{
    if (size > SlotSize) {
        return nullptr;
    }
    // The counter is 4-byte aligned in a block that is page-aligned where it is used.
    uint32_t *next = reinterpret_cast<uint32_t *>(block + NextOffset);
    const uint32_t claimed = __atomic_fetch_add(next, 1u, __ATOMIC_RELAXED);
    uint8_t *slot = block + HeaderSize + (claimed % SlotCount) * SlotSize;
    std::memset(slot, 0, SlotSize);
    return slot;
}
