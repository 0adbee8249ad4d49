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
