// The text of a registry value: one terminator rule for every value, the fixed-buffer rule of the
// path values, and the form in which a value is traced.
#include <gtest/gtest.h>

#include <string>

#include "NfcRegistryValue.h"

namespace {

const std::string Nul(1, '\0');

TEST(RegistryValue, TextEndsAtTheFirstNulOrWithTheLastByte)
{
    const struct {
        const char *what;
        std::string bytes;
        std::string text;
    } cases[] = {
        {"string with terminator", "chain" + Nul, "chain"},
        {"string without terminator", "chain", "chain"},
        {"bytes after the terminator", "chain" + Nul + "junk", "chain"},
        {"terminator only", Nul, ""},
        {"no bytes", "", ""},
        {"number", std::string("\x41\x42\x00\x00", 4), "AB"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(NfcRegistryValue::text(c.bytes), c.text) << c.what;
    }
}

TEST(RegistryValue, AValueThatDoesNotFitTheBufferWithItsTerminatorIsEmpty)
{
    const size_t buffer = 8;
    const struct {
        const char *what;
        std::string bytes;
        std::string text;
    } cases[] = {
        {"7 characters and terminator", "1234567" + Nul, "1234567"},
        {"7 characters, no terminator", "1234567", "1234567"},
        {"8 characters, no terminator: no room for one", "12345678", ""},
        {"8 bytes: text, terminator, padding", "123" + Nul + "pppp", "123"},
        {"9 bytes, the text short: larger than the buffer", "123" + Nul + "ppppp", ""},
        {"2000 bytes", std::string(2000, 'A'), ""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(NfcRegistryValue::textInBuffer(c.bytes, buffer), c.text) << c.what;
    }
}

TEST(RegistryValue, TracedTextShowsUnprintableBytesAndIsCutWithItsLength)
{
    const struct {
        std::string text;
        std::string printed;
    } cases[] = {
        {"strict", "strict"},
        {"a\tb\x7F\xC3\xA4", "a\\x09b\\x7F\\xC3\\xA4"},
        {std::string(8, 'x'), "xxxxxxxx"},
        {std::string(9, 'x'), "xxxxxxxx...(9 bytes)"},
        {"", ""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(NfcRegistryValue::printable(c.text, 8), c.printed);
    }
}

TEST(RegistryValue, AnOptInSwitchIsOnOnlyForADwordOfOne)
{
    const std::string one("\x01\x00\x00\x00", 4);
    const std::string zero(4, '\0');
    const uint32_t Sz = 1, Binary = 3, BigEndian = 5, Qword = 11;
    const struct {
        const char *what;
        bool present;
        uint32_t type;
        std::string bytes;
        bool on;
        bool odd;
    } cases[] = {
        {"absent", false, 0, "", false, false},
        {"DWORD 0", true, NfcRegistryValue::TypeDword, zero, false, false},
        {"DWORD 1", true, NfcRegistryValue::TypeDword, one, true, false},
        {"DWORD 2", true, NfcRegistryValue::TypeDword, std::string("\x02\x00\x00\x00", 4), false, true},
        {"DWORD 0x100 (1 in the second byte)", true, NfcRegistryValue::TypeDword, std::string("\x00\x01\x00\x00", 4),
         false, true},
        {"DWORD of three bytes", true, NfcRegistryValue::TypeDword, std::string("\x01\x00\x00", 3), false, true},
        {"DWORD of five bytes", true, NfcRegistryValue::TypeDword, one + Nul, false, true},
        {"string \"1\"", true, Sz, "1" + Nul, false, true},
        {"binary 01 00 00 00", true, Binary, one, false, true},
        {"big-endian DWORD 1", true, BigEndian, std::string("\x00\x00\x00\x01", 4), false, true},
        {"QWORD 1", true, Qword, one + zero, false, true},
    };
    for (const auto &c : cases) {
        const NfcRegistryValue::Switch value = NfcRegistryValue::switchValue(c.present, c.type, c.bytes);
        EXPECT_EQ(value.on, c.on) << c.what;
        EXPECT_EQ(value.odd, c.odd) << c.what;
    }
}

} // namespace
