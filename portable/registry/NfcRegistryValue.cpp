#include "NfcRegistryValue.h"

#include <cstdio>

std::string NfcRegistryValue::text(const std::string &bytes)
{
    return bytes.substr(0, bytes.find('\0'));
}

std::string NfcRegistryValue::textInBuffer(const std::string &bytes, size_t bufferSize)
{
    if (bytes.size() > bufferSize) {
        return std::string();
    }
    std::string result = text(bytes);
    if (result.size() >= bufferSize) {
        result.clear();
    }
    return result;
}

std::string NfcRegistryValue::printable(const std::string &text, size_t mostCharacters)
{
    std::string result;
    const size_t shown = text.size() > mostCharacters ? mostCharacters : text.size();
    for (size_t i = 0; i < shown; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c > 0x7E) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\x%02X", c);
            result += escaped;
        } else {
            result += static_cast<char>(c);
        }
    }
    if (shown < text.size()) {
        result += "...(" + std::to_string(text.size()) + " bytes)";
    }
    return result;
}

NfcRegistryValue::Switch NfcRegistryValue::switchValue(bool present, uint32_t type, const std::string &bytes)
{
    if (!present) {
        return Switch{false, false, 0};
    }
    if (type != TypeDword || bytes.size() != 4) {
        return Switch{false, true, 0};
    }
    uint32_t number = 0;
    for (size_t i = 0; i < 4; ++i) {
        number |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << (8 * i);
    }
    return Switch{number == 1, number > 1, number};
}
