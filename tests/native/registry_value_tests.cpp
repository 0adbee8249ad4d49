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

} // namespace
