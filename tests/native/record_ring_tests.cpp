// The ring of record slots that the library's messages point to: where records land, how long a
// record stays as it was written, what a block must hold to be taken up again, and claims made
// from several threads at once.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "NfcRecordRing.h"
#include "korvat_nfc.h"

namespace {

using Bytes = std::vector<uint8_t>;

const uint32_t Owner = 0x00001A2B;

// A block aligned as a mapped page would be.
struct Block {
    alignas(4096) uint8_t bytes[NfcRecordRing::BlockSize];
};

TEST(RecordRing, RecordsLandInTheSlotsInTurnAndStayForAFullRound)
{
    Block block;
    std::memset(block.bytes, 0xEE, sizeof(block.bytes));
    NfcRecordRing::format(block.bytes, Owner);
    ASSERT_TRUE(NfcRecordRing::isRing(block.bytes, Owner));

    std::vector<uint8_t *> slots;
    for (size_t i = 0; i < NfcRecordRing::SlotCount; ++i) {
        uint8_t *slot = NfcRecordRing::claim(block.bytes, KORVAT_NFC_MAXIMUM_RECORD_SIZE);
        ASSERT_NE(slot, nullptr);
        // Inside the block, after the header, aligned, and each slot its own.
        EXPECT_EQ(static_cast<size_t>(slot - block.bytes),
                  NfcRecordRing::HeaderSize + i * NfcRecordRing::SlotSize);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(slot) % 16, 0u);
        EXPECT_EQ(Bytes(slot, slot + NfcRecordRing::SlotSize), Bytes(NfcRecordRing::SlotSize, 0))
            << "a claimed slot is handed out zeroed";
        std::memset(slot, static_cast<int>(0x10 + i), KORVAT_NFC_MAXIMUM_RECORD_SIZE);
        slots.push_back(slot);
    }
    // Every record of the round is still as written: no slot overlapped another.
    for (size_t i = 0; i < slots.size(); ++i) {
        EXPECT_EQ(Bytes(slots[i], slots[i] + KORVAT_NFC_MAXIMUM_RECORD_SIZE),
                  Bytes(KORVAT_NFC_MAXIMUM_RECORD_SIZE, static_cast<uint8_t>(0x10 + i)))
            << "slot " << i;
    }
    // The next claim takes the oldest slot again; the header is untouched.
    EXPECT_EQ(NfcRecordRing::claim(block.bytes, 8), slots[0]);
    EXPECT_TRUE(NfcRecordRing::isRing(block.bytes, Owner));
}

TEST(RecordRing, RecordSizesAgainstTheSlot)
{
    Block block;
    NfcRecordRing::format(block.bytes, Owner);
    const struct {
        const char *name;
        size_t size;
        bool fits;
    } cases[] = {
        {"error pair", 8, true},
        {"14443 A with the longest ATS", KORVAT_NFC_14443A_RECORD_SIZE(255), true},
        {"14443 B with the longest ATTRIB", KORVAT_NFC_14443B_RECORD_SIZE(255), true},
        {"18092 with the longest RD", KORVAT_NFC_18092_RECORD_SIZE(255), true},
        {"one byte more than a slot", NfcRecordRing::SlotSize + 1, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(NfcRecordRing::claim(block.bytes, c.size) != nullptr, c.fits);
    }
}

TEST(RecordRing, ABlockIsTakenUpOnlyWhenItIsARingOfThisProcess)
{
    Block block;
    NfcRecordRing::format(block.bytes, Owner);
    NfcRecordRing::writeWord(block.bytes, NfcRecordRing::HomeOffset, 0x1122334455667788ull);
    EXPECT_EQ(NfcRecordRing::readWord(block.bytes, NfcRecordRing::HomeOffset), 0x1122334455667788ull);
    EXPECT_TRUE(NfcRecordRing::isRing(block.bytes, Owner));
    EXPECT_FALSE(NfcRecordRing::isRing(block.bytes, Owner + 1)) << "a ring of another process";
    Block empty = {};
    EXPECT_FALSE(NfcRecordRing::isRing(empty.bytes, 0)) << "a block never formatted";
    block.bytes[3] ^= 0x20;
    EXPECT_FALSE(NfcRecordRing::isRing(block.bytes, Owner)) << "a block whose magic differs";
}

// Two loads of the DLL in one process (copies from two directories) share the ring: claims made
// at the same time never hand out one slot twice within a round.
TEST(RecordRing, ConcurrentClaimsGetDistinctSlots)
{
    Block block;
    NfcRecordRing::format(block.bytes, Owner);
    const size_t PerThread = NfcRecordRing::SlotCount / 2;
    std::vector<uint8_t *> first(PerThread), second(PerThread);
    std::thread a([&] {
        for (auto &slot : first) {
            slot = NfcRecordRing::claim(block.bytes, 8);
        }
    });
    std::thread b([&] {
        for (auto &slot : second) {
            slot = NfcRecordRing::claim(block.bytes, 8);
        }
    });
    a.join();
    b.join();
    std::set<uint8_t *> distinct(first.begin(), first.end());
    distinct.insert(second.begin(), second.end());
    EXPECT_EQ(distinct.size(), 2 * PerThread);
}

}  // namespace
