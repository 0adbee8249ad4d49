#include "NfcSignerName.h"

#include <cstdio>
#include <cstring>

const char NfcSignerName::Expected[] = "Ravo Corporation";

namespace {

char16_t lowerAscii(char16_t c)
{
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

} // namespace

bool NfcSignerName::isExpected(const std::u16string &commonName)
{
    const size_t length = std::strlen(Expected);
    if (commonName.size() != length) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        if (lowerAscii(commonName[i]) != lowerAscii(static_cast<char16_t>(Expected[i]))) {
            return false;
        }
    }
    return true;
}

std::string NfcSignerName::printable(const std::u16string &name)
{
    std::string result;
    for (const char16_t c : name) {
        if (c >= 0x20 && c <= 0x7E && c != u'\\') {
            result += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04X", static_cast<unsigned>(c));
            result += escaped;
        }
    }
    return result;
}
