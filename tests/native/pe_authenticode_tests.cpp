// The bytes a signed PE file's Authenticode digest covers: everything but the checksum, the
// certificate table's directory entry and the table, for PE32 and PE32+, and the files whose
// table cannot be placed.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "PeAuthenticode.h"

namespace {

using Bytes = std::vector<uint8_t>;

void put32(Bytes &b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

// An image of size bytes with PE headers at 0x80 (magic 0x10B or 0x20B), directoryCount data
// directories and the security directory naming [table, table + tableSize).
Bytes signedImage(uint16_t magic, size_t size, uint32_t table, uint32_t tableSize, uint32_t directoryCount = 16)
{
    Bytes b(size, 0xCC);
    std::memset(b.data(), 0, 0x200);
    b[0] = 'M';
    b[1] = 'Z';
    put32(b, 0x3C, 0x80);
    std::memcpy(&b[0x80], "PE\0\0", 4);
    b[0x80 + 4 + 16] = 0xF0;  // optional header size
    b[0x98] = static_cast<uint8_t>(magic);
    b[0x99] = static_cast<uint8_t>(magic >> 8);
    const size_t directories = 0x98 + (magic == 0x20B ? 112 : 96);
    put32(b, directories - 4, directoryCount);
    put32(b, directories + 4 * 8, table);
    put32(b, directories + 4 * 8 + 4, tableSize);
    return b;
}

// Gives the image SizeOfHeaders and one section whose raw data is [rawPointer, rawPointer + rawSize).
Bytes withSection(Bytes b, uint32_t sizeOfHeaders, uint32_t rawPointer, uint32_t rawSize)
{
    put32(b, 0x98 + 60, sizeOfHeaders);
    b[0x80 + 4 + 2] = 1;  // NumberOfSections
    const size_t section = 0x98 + 0xF0;
    put32(b, section + 16, rawSize);
    put32(b, section + 20, rawPointer);
    return b;
}

std::vector<std::pair<size_t, size_t>> rangesOf(const Bytes &image, bool *read = nullptr)
{
    std::vector<PeByteRange> ranges;
    const bool ok = PeAuthenticode::digestRanges(image.data(), image.size(), ranges);
    if (read != nullptr) {
        *read = ok;
    }
    std::vector<std::pair<size_t, size_t>> pairs;
    for (const PeByteRange &r : ranges) {
        pairs.emplace_back(r.offset, r.length);
    }
    return pairs;
}

TEST(PeAuthenticode, TheDigestSkipsTheChecksumTheDirectoryEntryAndTheTable)
{
    // Checksum at optional header + 64 (0x98 + 0x40 = 0xD8); the security entry at 0x98 + 128
    // (PE32) or 0x98 + 144 (PE32+).
    using Ranges = std::vector<std::pair<size_t, size_t>>;
    EXPECT_EQ(rangesOf(signedImage(0x10B, 0x1000, 0xF00, 0x100)),
              (Ranges{{0, 0xD8}, {0xDC, 0x118 - 0xDC}, {0x120, 0xF00 - 0x120}}));
    EXPECT_EQ(rangesOf(signedImage(0x20B, 0x1000, 0xF00, 0x100)),
              (Ranges{{0, 0xD8}, {0xDC, 0x128 - 0xDC}, {0x130, 0xF00 - 0x130}}));
    // Bytes after the table are covered too.
    EXPECT_EQ(rangesOf(signedImage(0x20B, 0x1000, 0xE00, 0x100)),
              (Ranges{{0, 0xD8}, {0xDC, 0x128 - 0xDC}, {0x130, 0xE00 - 0x130}, {0xF00, 0x100}}));
    // A table right behind the headers and the last section's raw data.
    EXPECT_EQ(rangesOf(withSection(signedImage(0x20B, 0x1000, 0xF00, 0x100), 0x400, 0x400, 0xB00)),
              (Ranges{{0, 0xD8}, {0xDC, 0x128 - 0xDC}, {0x130, 0xF00 - 0x130}}));
}

TEST(PeAuthenticode, FilesWhoseTableCannotBePlacedHaveNoDigestRanges)
{
    struct Case {
        const char *what;
        Bytes image;
    };
    Bytes notPe = signedImage(0x10B, 0x1000, 0xF00, 0x100);
    notPe[0x81] = 'X';
    Bytes cut = signedImage(0x20B, 0x1000, 0xF00, 0x100);
    cut.resize(0x12C);
    Bytes sectionsCut = withSection(signedImage(0x20B, 0x1000, 0x190, 0x10), 0, 0, 0);
    sectionsCut.resize(0x1A0);  // the one section header would end at 0x1B0
    const Case cases[] = {
        {"no table", signedImage(0x10B, 0x1000, 0, 0)},
        {"table past the end", signedImage(0x10B, 0x1000, 0xF00, 0x101)},
        {"table offset far past the end", signedImage(0x10B, 0x1000, 0xFFFFFFF0u, 0x100)},
        {"table inside the headers", signedImage(0x10B, 0x1000, 0x100, 0x10)},
        {"only four data directories", signedImage(0x10B, 0x1000, 0xF00, 0x100, 4)},
        {"unknown optional header", signedImage(0x10C, 0x1000, 0xF00, 0x100)},
        {"no PE signature", notPe},
        {"headers cut before the directory", cut},
        // The loader maps these bytes, yet the digest would leave them out.
        {"table inside what SizeOfHeaders covers", withSection(signedImage(0x10B, 0x1000, 0x300, 0x100), 0x400,
                                                               0x400, 0x100)},
        {"table inside a section's raw data", withSection(signedImage(0x20B, 0x1000, 0xC00, 0x100), 0x400, 0x400,
                                                           0xB00)},
        {"section table past the end", sectionsCut},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        bool read = true;
        EXPECT_TRUE(rangesOf(c.image, &read).empty());
        EXPECT_FALSE(read);
    }
}

}  // namespace
