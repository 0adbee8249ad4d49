// PE headers of plug-in files: any bytes give an answer, a valid one only when the signature and
// the fields read lie inside the input, and the answer depends on those bytes alone.
#include <cstring>
#include <vector>

#include "FuzzCheck.h"
#include "PeImageInfo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A copy of exactly `size` bytes, so that any read past it is caught.
    std::vector<uint8_t> copy(data, data + size);
    const PeImageInfo info = PeImage::read(copy.empty() ? nullptr : copy.data(), copy.size());
    FUZZ_CHECK(PeImage::describe(info.error) != nullptr);
    if (!info.valid()) {
        return 0;
    }
    FUZZ_CHECK(size >= PeImage::DosHeaderSize && copy[0] == 'M' && copy[1] == 'Z');
    const uint32_t nt = static_cast<uint32_t>(copy[0x3C]) | static_cast<uint32_t>(copy[0x3D]) << 8 |
                        static_cast<uint32_t>(copy[0x3E]) << 16 | static_cast<uint32_t>(copy[0x3F]) << 24;
    FUZZ_CHECK(static_cast<uint64_t>(nt) + 26 <= size);
    FUZZ_CHECK(std::memcmp(&copy[nt], "PE\0\0", 4) == 0);
    FUZZ_CHECK(info.machine == (copy[nt + 4] | copy[nt + 5] << 8));
    FUZZ_CHECK(info.optionalMagic == (copy[nt + 24] | copy[nt + 25] << 8));
    FUZZ_CHECK(!info.formatMatchesMachine() || info.architecture() != nullptr);
    // Bytes after the fields read change nothing.
    copy.push_back(0xFF);
    const PeImageInfo longer = PeImage::read(copy.data(), copy.size());
    FUZZ_CHECK(longer.valid() && longer.machine == info.machine && longer.optionalMagic == info.optionalMagic &&
               longer.characteristics == info.characteristics);
    return 0;
}
