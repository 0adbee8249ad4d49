// Decoding of a found target's additional data into the record the application receives:
// byte-exact records, the size rules, and random blocks placed against an inaccessible page so
// that any read outside the declared block faults at once.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "NfcTargetDecoder.h"
#include "korvat_nfc.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Bytes placed at the very end of a readable page, followed by a page without any access.
// (Address sanitizer would catch such a read as well; the guard page also catches it in a plain
// build.)
class GuardedBytes {
public:
    GuardedBytes() : m_Page(static_cast<size_t>(sysconf(_SC_PAGESIZE)))
    {
        void *base = mmap(nullptr, 2 * m_Page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) {
            return;
        }
        m_Base = static_cast<uint8_t *>(base);
        if (mprotect(m_Base + m_Page, m_Page, PROT_NONE) != 0) {
            munmap(m_Base, 2 * m_Page);
            m_Base = nullptr;
        }
    }
    ~GuardedBytes()
    {
        if (m_Base != nullptr) {
            munmap(m_Base, 2 * m_Page);
        }
    }
    bool ready() const { return m_Base != nullptr; }
    size_t capacity() const { return m_Page; }
    // The returned pointer is followed directly by the inaccessible page.
    uint8_t *place(const uint8_t *data, size_t size)
    {
        uint8_t *start = m_Base + m_Page - size;
        if (size > 0) {
            std::memcpy(start, data, size);
        }
        return start;
    }
    uint8_t *place(const Bytes &data) { return place(data.data(), data.size()); }
    uint8_t *reserve(size_t size, uint8_t fill)
    {
        uint8_t *start = m_Base + m_Page - size;
        std::memset(start, fill, size);
        return start;
    }

    GuardedBytes(const GuardedBytes &) = delete;
    GuardedBytes &operator=(const GuardedBytes &) = delete;

private:
    size_t m_Page;
    uint8_t *m_Base = nullptr;
};

const uint8_t Unwritten = 0xCD;

struct RecordCase {
    const char *name;
    uint32_t cardType;
    Bytes data;      // the plug-in's additional data
    Bytes record;    // the record expected, byte for byte
    std::vector<size_t> unwritten;  // record offsets that the decoder must not write
};

// Target number 0x12345678 everywhere; bytes 0-3 and 9 of the head hold values that must not
// show up anywhere.
std::vector<RecordCase> recordCases()
{
    return {
        {"14443A",
         DEVICE_TYPE_NFC_14443A_18092_106K,
         {0xA0, 0xA1, 0xA2, 0xA3, 0x99, 0x78, 0x56, 0x34, 0x12, 0xEE,   // head
          0x04, 0x03,                                                   // sens_res 0x0304
          0x20,                                                         // sel_res
          0x07,                                                         // NFCID1_size
          0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0xF1, 0xF2, 0xF3,   // NFCID1, padding copied too
          0x03,                                                         // ATS_size
          0x75, 0x77, 0x81},                                            // ATS
         {0x01, 0x00, 0x00, 0x00, 0x78, 0x56, 0x34, 0x12, 0x04, 0x03, 0x20, 0x07, 0x01, 0x02,
          0x03, 0x04, 0x05, 0x06, 0x07, 0xF1, 0xF2, 0xF3, 0x03, 0x75, 0x77, 0x81},
         {}},
        {"14443B",
         DEVICE_TYPE_NFC_14443B_106K,
         {0xA0, 0xA1, 0xA2, 0xA3, 0x99, 0x78, 0x56, 0x34, 0x12, 0xEE,                     // head
          0x50, 0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x5B,         // ATQB
          0x02,                                                                           // ATTRIB_size
          0x61, 0x62},                                                                    // ATTRIB
         {0x08, 0x00, 0x00, 0x00, 0x78, 0x56, 0x34, 0x12, 0x50, 0x51, 0x52, 0x53, 0x54, 0x55,
          0x56, 0x57, 0x58, 0x59, 0x5A, 0x5B, 0x02, 0x61, 0x62},
         {}},
        {"18092_212_id1",
         DEVICE_TYPE_NFC_18092_212K,
         {0xA0, 0xA1, 0xA2, 0xA3, 0x05, 0x78, 0x56, 0x34, 0x12, 0xEE,   // head, byte 4 = 5 -> id 1
          0x01, 0x2E, 0x3D, 0x4C, 0x5B, 0x6A, 0x79, 0x88,               // NFCID2
          0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7,               // Pad
          0x02,                                                         // RD_size
          0xD1, 0xD2},                                                  // RD
         {0x02, 0x00, 0x00, 0x00, 0x01, Unwritten, Unwritten, Unwritten, 0x78, 0x56, 0x34, 0x12,
          0x01, 0x2E, 0x3D, 0x4C, 0x5B, 0x6A, 0x79, 0x88, 0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5,
          0xC6, 0xC7, 0x02, 0xD1, 0xD2},
         {5, 6, 7}},
        {"18092_424_id0",
         DEVICE_TYPE_NFC_18092_424K,
         {0xA0, 0xA1, 0xA2, 0xA3, 0x04, 0x78, 0x56, 0x34, 0x12, 0xEE,   // head, byte 4 = 4 -> id 0
          0x01, 0x2E, 0x3D, 0x4C, 0x5B, 0x6A, 0x79, 0x88,               // NFCID2
          0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7,               // Pad
          0x00},                                                        // RD_size 0
         {0x04, 0x00, 0x00, 0x00, 0x00, Unwritten, Unwritten, Unwritten, 0x78, 0x56, 0x34, 0x12,
          0x01, 0x2E, 0x3D, 0x4C, 0x5B, 0x6A, 0x79, 0x88, 0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5,
          0xC6, 0xC7, 0x00},
         {5, 6, 7}},
    };
}

TEST(TargetRecord, EachCardTypeGivesItsRecordByteForByte)
{
    GuardedBytes input;
    GuardedBytes output;
    ASSERT_TRUE(input.ready() && output.ready());
    for (const RecordCase &c : recordCases()) {
        SCOPED_TRACE(c.name);
        const uint8_t *data = input.place(c.data);
        ASSERT_EQ(NfcTargetDecoder::check(c.cardType, data, static_cast<uint32_t>(c.data.size())),
                  NfcTargetCheck::Valid);
        EXPECT_EQ(NfcTargetDecoder::recordSize(c.cardType, data), c.record.size());
        ASSERT_EQ(NfcTargetDecoder::blockSize(c.cardType, data), c.record.size());
        EXPECT_EQ(NfcTargetDecoder::targetNumber(data), 0x12345678u);

        // The block ends at the inaccessible page, so a write past the record faults.
        uint8_t *block = output.reserve(c.record.size(), Unwritten);
        NfcTargetDecoder::fill(c.cardType, data, block);
        const Bytes record(block, block + c.record.size());
        EXPECT_EQ(record, c.record);
        // Padding inside the record stays as it was.
        for (size_t offset : c.unwritten) {
            EXPECT_EQ(block[offset], Unwritten) << "offset " << offset;
        }
    }
}

// The same records read through the packed structures of the application header.
TEST(TargetRecord, RecordsReadBackThroughTheApplicationStructures)
{
    std::vector<RecordCase> cases = recordCases();
    Bytes block(64, Unwritten);

    NfcTargetDecoder::fill(cases[0].cardType, cases[0].data.data(), block.data());
    const auto *a = reinterpret_cast<const DEVICE_DATA_NFC_14443A_18092_106K *>(block.data());
    EXPECT_EQ(a->target_device, DEVICE_TYPE_NFC_14443A_18092_106K);
    EXPECT_EQ(a->target_number, 0x12345678u);
    EXPECT_EQ(a->sens_res, 0x0304);
    EXPECT_EQ(a->sel_res, 0x20);
    EXPECT_EQ(a->NFCID1_size, 7);
    EXPECT_EQ(Bytes(a->NFCID1, a->NFCID1 + 10), Bytes({1, 2, 3, 4, 5, 6, 7, 0xF1, 0xF2, 0xF3}));
    EXPECT_EQ(a->ATS_size, 3);
    EXPECT_EQ(Bytes(a->ATS, a->ATS + a->ATS_size), Bytes({0x75, 0x77, 0x81}));
    EXPECT_EQ(KORVAT_NFC_14443A_RECORD_SIZE(a->ATS_size), cases[0].record.size());

    NfcTargetDecoder::fill(cases[1].cardType, cases[1].data.data(), block.data());
    const auto *b = reinterpret_cast<const DEVICE_DATA_NFC_14443B_106K *>(block.data());
    EXPECT_EQ(b->target_device, DEVICE_TYPE_NFC_14443B_106K);
    EXPECT_EQ(b->target_number, 0x12345678u);
    EXPECT_EQ(Bytes(b->ATQB, b->ATQB + 12), Bytes(cases[1].data.begin() + 10, cases[1].data.begin() + 22));
    EXPECT_EQ(b->ATTRIB_size, 2);
    EXPECT_EQ(b->ATTRIB - block.data(), 21);
    EXPECT_EQ(Bytes(b->ATTRIB, b->ATTRIB + 2), Bytes({0x61, 0x62}));

    NfcTargetDecoder::fill(cases[2].cardType, cases[2].data.data(), block.data());
    const auto *f = reinterpret_cast<const DEVICE_DATA_NFC_18092_212_424K *>(block.data());
    EXPECT_EQ(f->target_device, DEVICE_TYPE_NFC_18092_212K);
    EXPECT_EQ(f->id, 1);
    EXPECT_EQ(f->target_number, 0x12345678u);
    EXPECT_EQ(Bytes(f->NFCID2, f->NFCID2 + 8), Bytes(cases[2].data.begin() + 10, cases[2].data.begin() + 18));
    EXPECT_EQ(Bytes(f->Pad, f->Pad + 8), Bytes(cases[2].data.begin() + 18, cases[2].data.begin() + 26));
    EXPECT_EQ(f->RD_size, 2);
    EXPECT_EQ(Bytes(f->RD, f->RD + 2), Bytes({0xD1, 0xD2}));
}

TEST(TargetRecord, IdIsZeroOnlyWhenByteFourIsFour)
{
    for (uint32_t cardType : {DEVICE_TYPE_NFC_18092_212K, DEVICE_TYPE_NFC_18092_424K}) {
        for (int byte4 : {0, 1, 3, 4, 5, 0x14, 0x84, 0xFF}) {
            Bytes data(27, 0);
            data[4] = static_cast<uint8_t>(byte4);
            Bytes block(35, Unwritten);
            ASSERT_EQ(NfcTargetDecoder::check(cardType, data.data(), 27), NfcTargetCheck::Valid);
            NfcTargetDecoder::fill(cardType, data.data(), block.data());
            EXPECT_EQ(block[4], byte4 == 4 ? 0 : 1) << "card type " << cardType << ", byte 4 = " << byte4;
        }
    }
}

struct SizeCase {
    const char *what;
    uint32_t cardType;
    Bytes data;
    uint32_t size;  // declared size; the block handed over has exactly this many bytes
    NfcTargetCheck expected;
};

Bytes block14443A(uint8_t nfcid1Size, uint8_t atsSize)
{
    Bytes data(25 + atsSize, 0x5A);
    data[13] = nfcid1Size;
    data[24] = atsSize;
    return data;
}

Bytes blockWithLength(size_t fixedPart, uint8_t variable)
{
    Bytes data(fixedPart + variable, 0x5A);
    data[fixedPart - 1] = variable;
    return data;
}

std::vector<SizeCase> sizeCases()
{
    const uint32_t A = DEVICE_TYPE_NFC_14443A_18092_106K;
    const uint32_t B = DEVICE_TYPE_NFC_14443B_106K;
    const uint32_t F2 = DEVICE_TYPE_NFC_18092_212K;
    const uint32_t F4 = DEVICE_TYPE_NFC_18092_424K;
    Bytes a0 = block14443A(4, 0);
    Bytes a0Long = a0;
    a0Long.push_back(0);
    Bytes a5 = block14443A(10, 5);
    Bytes a5Short(a5.begin(), a5.end() - 1);
    Bytes a5Long = a5;
    a5Long.push_back(0);
    Bytes a11 = block14443A(11, 2);
    Bytes a11Long = a11;
    a11Long.push_back(0);
    Bytes a255 = block14443A(0xFF, 0);
    Bytes b0 = blockWithLength(23, 0);
    Bytes b9 = blockWithLength(23, 9);
    Bytes b9Long = b9;
    b9Long.push_back(0);
    Bytes f0 = blockWithLength(27, 0);
    Bytes f200 = blockWithLength(27, 200);
    Bytes f200Short(f200.begin(), f200.end() - 1);
    return {
        {"type 1, ATS_size 0, size 25", A, a0, 25, NfcTargetCheck::Valid},
        {"type 1, ATS_size 0, size 26", A, a0Long, 26, NfcTargetCheck::IllegalSize},
        {"type 1, ATS_size 5, size 30, NFCID1_size 10", A, a5, 30, NfcTargetCheck::Valid},
        {"type 1, ATS_size 5, size 29", A, a5Short, 29, NfcTargetCheck::IllegalSize},
        {"type 1, ATS_size 5, size 31", A, a5Long, 31, NfcTargetCheck::IllegalSize},
        {"type 1, NFCID1_size 11, size right", A, a11, 27, NfcTargetCheck::IllegalNfcid1Size},
        {"type 1, NFCID1_size 11, size wrong", A, a11Long, 28, NfcTargetCheck::IllegalSize},
        {"type 1, NFCID1_size 255", A, a255, 25, NfcTargetCheck::IllegalNfcid1Size},
        {"type 1, 24 bytes", A, Bytes(24, 0), 24, NfcTargetCheck::IllegalSize},
        {"type 1, empty", A, Bytes(), 0, NfcTargetCheck::IllegalSize},
        {"type 8, ATTRIB_size 0, size 23", B, b0, 23, NfcTargetCheck::Valid},
        {"type 8, ATTRIB_size 9, size 32", B, b9, 32, NfcTargetCheck::Valid},
        {"type 8, ATTRIB_size 9, size 33", B, b9Long, 33, NfcTargetCheck::IllegalSize},
        {"type 8, 22 bytes", B, Bytes(22, 0), 22, NfcTargetCheck::IllegalSize},
        {"type 8, NFCID1_size byte 11 is not examined", B, [] { Bytes d = blockWithLength(23, 0); d[13] = 11; return d; }(),
         23, NfcTargetCheck::Valid},
        {"type 2, RD_size 0, size 27", F2, f0, 27, NfcTargetCheck::Valid},
        {"type 4, RD_size 200, size 227", F4, f200, 227, NfcTargetCheck::Valid},
        {"type 4, RD_size 200, size 226", F4, f200Short, 226, NfcTargetCheck::IllegalSize},
        {"type 2, 26 bytes", F2, Bytes(26, 0), 26, NfcTargetCheck::IllegalSize},
        {"type 4, 1 byte", F4, Bytes(1, 0), 1, NfcTargetCheck::IllegalSize},
    };
}

TEST(TargetRecord, SizeRulesReadOnlyInsideTheBlock)
{
    GuardedBytes input;
    ASSERT_TRUE(input.ready());
    for (const SizeCase &c : sizeCases()) {
        ASSERT_EQ(c.data.size(), c.size) << c.what;
        const uint8_t *data = input.place(c.data);
        EXPECT_EQ(NfcTargetDecoder::check(c.cardType, data, c.size), c.expected) << c.what;
    }
}

TEST(TargetRecord, CardTypesWithoutARecordAreUnsupported)
{
    const Bytes valid = block14443A(4, 0);
    for (uint32_t cardType : {0u, 3u, 5u, 6u, 7u, 9u, 0x10u, 0x101u, 0x80000001u, 0xFFFFFFFFu}) {
        EXPECT_FALSE(NfcTargetDecoder::hasRecord(cardType)) << cardType;
        EXPECT_EQ(NfcTargetDecoder::check(cardType, valid.data(), static_cast<uint32_t>(valid.size())),
                  NfcTargetCheck::UnsupportedType)
            << cardType;
    }
    for (uint32_t cardType : {1u, 2u, 4u, 8u}) {
        EXPECT_TRUE(NfcTargetDecoder::hasRecord(cardType)) << cardType;
        EXPECT_EQ(NfcTargetDecoder::check(cardType, nullptr, 0), NfcTargetCheck::IllegalSize) << cardType;
    }
}

size_t fixedPartOf(uint32_t cardType)
{
    return cardType == DEVICE_TYPE_NFC_14443A_18092_106K ? 25 : cardType == DEVICE_TYPE_NFC_14443B_106K ? 23 : 27;
}

// Random blocks of 0..300 bytes end at an inaccessible page: a read past the declared size
// faults and ends the test program. Half of them get a consistent length byte, so that valid
// blocks are decoded too; their records go into a block that also ends at such a page.
TEST(TargetRecord, RandomBlocksNeverReadOutsideTheirSize)
{
    GuardedBytes input;
    GuardedBytes output;
    ASSERT_TRUE(input.ready() && output.ready());
    std::mt19937 random(0x4B525654u);
    const uint32_t cardTypes[] = {1, 2, 4, 8, 1, 2, 4, 8, 0, 3, 16};
    int decoded = 0;
    for (int i = 0; i < 60000; ++i) {
        const uint32_t cardType = cardTypes[random() % (sizeof(cardTypes) / sizeof(cardTypes[0]))];
        const uint32_t size = random() % 301;
        Bytes bytes(size);
        for (uint8_t &b : bytes) {
            b = static_cast<uint8_t>(random());
        }
        if (NfcTargetDecoder::hasRecord(cardType) && (random() & 1) != 0) {
            const size_t fixed = fixedPartOf(cardType);
            if (size >= fixed && size - fixed <= 255) {
                bytes[fixed - 1] = static_cast<uint8_t>(size - fixed);
                if (cardType == DEVICE_TYPE_NFC_14443A_18092_106K && (random() & 3) != 0) {
                    bytes[13] = static_cast<uint8_t>(random() % 11);
                }
            }
        }
        const uint8_t *data = input.place(bytes);
        const NfcTargetCheck result = NfcTargetDecoder::check(cardType, data, size);
        if (!NfcTargetDecoder::hasRecord(cardType)) {
            ASSERT_EQ(result, NfcTargetCheck::UnsupportedType);
            continue;
        }
        if (result != NfcTargetCheck::Valid) {
            ASSERT_TRUE(result == NfcTargetCheck::IllegalSize ||
                        (result == NfcTargetCheck::IllegalNfcid1Size && cardType == DEVICE_TYPE_NFC_14443A_18092_106K))
                << "card type " << cardType << ", size " << size;
            continue;
        }

        const size_t fixed = fixedPartOf(cardType);
        const size_t variable = bytes[fixed - 1];
        ASSERT_EQ(size, fixed + variable) << "card type " << cardType;
        if (cardType == DEVICE_TYPE_NFC_14443A_18092_106K) {
            ASSERT_LE(bytes[13], 10);
        }
        const size_t recordSize = NfcTargetDecoder::recordSize(cardType, data);
        const size_t blockSize = NfcTargetDecoder::blockSize(cardType, data);
        // Record: 23 + ATS_size, 21 + ATTRIB_size, 29 + RD_size; the block is the record.
        const size_t recordFixed = cardType == DEVICE_TYPE_NFC_14443A_18092_106K ? 23
                                   : cardType == DEVICE_TYPE_NFC_14443B_106K     ? 21
                                                                                 : 29;
        ASSERT_EQ(recordSize, recordFixed + variable);
        ASSERT_EQ(blockSize, recordSize);
        uint8_t *block = output.reserve(blockSize, Unwritten);
        NfcTargetDecoder::fill(cardType, data, block);
        uint32_t deviceField;
        std::memcpy(&deviceField, block, 4);
        ASSERT_EQ(deviceField, cardType);
        ASSERT_EQ(block[recordFixed - 1], variable);
        ASSERT_EQ(Bytes(block + recordFixed, block + recordSize), Bytes(bytes.begin() + fixed, bytes.end()));
        ++decoded;
    }
    // The sweep must have exercised the decoding path, not only the rejections.
    EXPECT_GT(decoded, 10000);
}

}  // namespace
