// Bytes as the tests write them: "04A1A2" <-> {0x04, 0xA1, 0xA2}. Portable (no Windows header),
// for the tests under Wine and the native ones alike.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace korvat_test {

inline std::string hex(const std::vector<uint8_t> &bytes)
{
    std::string text;
    char pair[3];
    for (uint8_t b : bytes) {
        std::snprintf(pair, sizeof(pair), "%02X", b);
        text += pair;
    }
    return text;
}

inline std::vector<uint8_t> unhex(const std::string &text)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

}  // namespace korvat_test
