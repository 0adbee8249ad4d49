// Little-endian fields of a PE image, read from bytes the caller has bounds-checked.
#pragma once

#include <cstdint>

namespace pe_bytes {

inline uint16_t little16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

inline uint32_t little32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

} // namespace pe_bytes
