// Multi-byte numbers in the frames and files of the simulated tags: the tag formats store most
// of them most significant byte first, the type 3 command fields least significant byte first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

// Writes the low `width` bytes of `value` at `at`, most significant first.
inline void putBigEndian(uint8_t *at, uint32_t value, size_t width)
{
    for (size_t i = 0; i < width; ++i) {
        at[i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
    }
}

// Appends the low `width` bytes of `value`, most significant first.
inline void appendBigEndian(std::vector<uint8_t> &bytes, uint32_t value, size_t width)
{
    bytes.resize(bytes.size() + width);
    putBigEndian(&bytes[bytes.size() - width], value, width);
}

inline uint16_t bigEndian16(const uint8_t *at)
{
    return static_cast<uint16_t>(at[0] << 8 | at[1]);
}

inline uint16_t littleEndian16(const uint8_t *at)
{
    return static_cast<uint16_t>(at[0] | at[1] << 8);
}

}  // namespace sim
