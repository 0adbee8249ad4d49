// The text of a registry value, as the library reads every value of its key: one rule for the
// terminator and for values that do not fit. No platform calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class NfcRegistryValue {
public:
    // The stored bytes up to the first NUL, or all of them when none is stored: a string written
    // without its terminator, and a binary or number value, end with their last byte.
    static std::string text(const std::string &bytes);
    // The text as a value read into a buffer of bufferSize bytes that must also hold the
    // terminator: empty when the stored bytes are more than the buffer, or when the text fills
    // it (bufferSize - 1 characters at most).
    static std::string textInBuffer(const std::string &bytes, size_t bufferSize);
    // The text for a trace line: bytes below 0x20 and above 0x7E written as \xHH, at most
    // mostCharacters characters of the text and then "...(<n> bytes)" when it is longer.
    static std::string printable(const std::string &text, size_t mostCharacters);

    // An opt-in switch of the library's key (event_notification, plug_and_play): on only when
    // the value is a REG_DWORD of four bytes holding 1. Absent: off, as it always was. Anything
    // else (a string, binary data, a big-endian or 64-bit number, another number) is off too,
    // with odd set so that the reader warns about it.
    struct Switch {
        bool on;
        bool odd;
        uint32_t number;  // the DWORD's value when the value is a REG_DWORD, else 0
    };
    static const uint32_t TypeDword = 4;  // REG_DWORD
    static Switch switchValue(bool present, uint32_t type, const std::string &bytes);
};
