// Which bytes of a signed PE file its Authenticode digest covers: all of them except the header
// checksum, the certificate table's directory entry and the certificate table itself. Pure code:
// reads only inside the given bytes; the caller hashes the ranges.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct PeByteRange {
    size_t offset;
    size_t length;
};

class PeAuthenticode {
public:
    // The ranges to hash, in file order. False when the file is no PE image, has no certificate
    // table, or the table lies outside the file, inside the headers or before the end of a
    // section's raw data.
    static bool digestRanges(const uint8_t *data, size_t size, std::vector<PeByteRange> &ranges);

    static constexpr size_t ChecksumField = 64;             // in the optional header
    static constexpr size_t Pe32DirectoryCountField = 92;   // NumberOfRvaAndSizes
    static constexpr size_t Pe32PlusDirectoryCountField = 108;
    static constexpr size_t SecurityDirectoryIndex = 4;
    static constexpr size_t DirectoryEntrySize = 8;
    static constexpr size_t SizeOfHeadersField = 60;        // in the optional header
    static constexpr size_t SectionCountField = 2;          // NumberOfSections, in the file header
    static constexpr size_t SectionHeaderSize = 40;
    static constexpr size_t SectionRawSizeField = 16;       // SizeOfRawData
    static constexpr size_t SectionRawPointerField = 20;    // PointerToRawData
};
