// The bytes a signed PE file's Authenticode digest covers: for any input, the ranges lie inside
// it in file order without overlapping, and leave out exactly the checksum, the certificate
// table's directory entry and the table.
#include <vector>

#include "FuzzCheck.h"
#include "PeAuthenticode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A copy of exactly `size` bytes, so that any read past it is caught.
    std::vector<uint8_t> copy(data, data + size);
    std::vector<PeByteRange> ranges;
    if (!PeAuthenticode::digestRanges(copy.empty() ? nullptr : copy.data(), copy.size(), ranges)) {
        FUZZ_CHECK(ranges.empty());
        return 0;
    }
    FUZZ_CHECK(ranges.size() == 3 || ranges.size() == 4);
    size_t end = 0, covered = 0;
    for (const PeByteRange &range : ranges) {
        FUZZ_CHECK(range.offset >= end && range.offset + range.length <= size);
        end = range.offset + range.length;
        covered += range.length;
    }
    const size_t skipped = size - covered;
    const size_t table = ranges[2].offset + ranges[2].length;
    const size_t tableSize = ranges.size() == 4 ? ranges[3].offset - table : size - table;
    FUZZ_CHECK(skipped == 4 + PeAuthenticode::DirectoryEntrySize + tableSize && tableSize > 0);
    return 0;
}
