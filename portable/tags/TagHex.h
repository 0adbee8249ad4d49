// Bytes and status words as they are printed in a tag reader's or writer's report.
#pragma once

#include <cstdio>
#include <string>

// `value` in upper-case hex with `digits` digits (2 for a byte, 4 for a status word).
inline std::string tagHex(unsigned value, int digits = 2)
{
    char text[12];
    std::snprintf(text, sizeof(text), "%0*X", digits, value & (digits >= 8 ? 0xFFFFFFFFu : (1u << (4 * digits)) - 1));
    return text;
}
