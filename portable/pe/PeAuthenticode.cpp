#include "PeAuthenticode.h"

#include "PeImageInfo.h"
#include "PeBytes.h"

using pe_bytes::little16;
using pe_bytes::little32;

bool PeAuthenticode::digestRanges(const uint8_t *data, size_t size, std::vector<PeByteRange> &ranges)
{
    ranges.clear();
    const PeImageInfo info = PeImage::read(data, size);
    if (!info.valid() ||
        (info.optionalMagic != PeImageInfo::MagicPe32 && info.optionalMagic != PeImageInfo::MagicPe32Plus)) {
        return false;
    }
    const bool plus = info.optionalMagic == PeImageInfo::MagicPe32Plus;
    const uint64_t optionalHeader =
        uint64_t(little32(data + PeImage::NtHeadersOffsetField)) + PeImage::SignatureSize + PeImage::FileHeaderSize;
    const uint64_t countField = optionalHeader + (plus ? Pe32PlusDirectoryCountField : Pe32DirectoryCountField);
    const uint64_t directories = countField + 4;
    const uint64_t entry = directories + SecurityDirectoryIndex * DirectoryEntrySize;
    if (entry + DirectoryEntrySize > size || little32(data + countField) <= SecurityDirectoryIndex) {
        return false;
    }
    const uint64_t table = little32(data + entry);
    const uint64_t tableSize = little32(data + entry + 4);
    // The table follows the headers (a file offset, not an address) and lies inside the file.
    if (tableSize == 0 || table < entry + DirectoryEntrySize || table + tableSize > size) {
        return false;
    }
    // Nor may it lie inside what the loader maps: the headers (SizeOfHeaders) and each section's
    // raw data. A table placed there is left out of the digest while the loader maps its bytes,
    // so a genuine signature moved into a section would cover other code than the one signed.
    if (table < little32(data + optionalHeader + SizeOfHeadersField)) {
        return false;
    }
    const uint8_t *fileHeader = data + optionalHeader - PeImage::FileHeaderSize;
    const uint64_t sections = optionalHeader + little16(fileHeader + PeImage::OptionalHeaderSizeField);
    const uint64_t sectionCount = little16(fileHeader + SectionCountField);
    if (sections + sectionCount * SectionHeaderSize > size) {
        return false;
    }
    for (uint64_t i = 0; i < sectionCount; ++i) {
        const uint8_t *section = data + sections + i * SectionHeaderSize;
        const uint64_t rawSize = little32(section + SectionRawSizeField);
        if (rawSize != 0 && table < uint64_t(little32(section + SectionRawPointerField)) + rawSize) {
            return false;
        }
    }
    const uint64_t checksum = optionalHeader + ChecksumField;
    ranges.push_back({0, static_cast<size_t>(checksum)});
    ranges.push_back({static_cast<size_t>(checksum + 4), static_cast<size_t>(entry - checksum - 4)});
    const uint64_t afterEntry = entry + DirectoryEntrySize;
    ranges.push_back({static_cast<size_t>(afterEntry), static_cast<size_t>(table - afterEntry)});
    if (table + tableSize < size) {
        ranges.push_back({static_cast<size_t>(table + tableSize), static_cast<size_t>(size - table - tableSize)});
    }
    return true;
}
