// What the reader's answers and pseudo-APDUs share: the trailing status word and the short Lc.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pcsc {

const uint16_t StatusWordOk = 0x9000;
// The most bytes a short Lc announces.
const size_t ShortLcMaximum = 255;

// SW1 SW2 at the end of an answer of at least two bytes.
inline uint16_t statusWord(const uint8_t *answer, size_t length)
{
    return static_cast<uint16_t>(answer[length - 2] << 8 | answer[length - 1]);
}

}  // namespace pcsc
