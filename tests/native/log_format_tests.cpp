// The exact bytes of a trace record: stamps, text-mode line ends, hex dump lines and message
// formatting, checked without any file.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

#include "NfcLogFormat.h"

namespace {

std::string debugStamp(const NfcLogTime &time, const char *source, int line)
{
    std::string out;
    NfcLogFormat::appendDebugStamp(out, time, source, line);
    return out;
}

std::string normalStamp(const NfcLogTime &time)
{
    std::string out;
    NfcLogFormat::appendNormalStamp(out, time);
    return out;
}

std::string textMode(const std::string &text)
{
    std::string out;
    NfcLogFormat::appendTextMode(out, text.data(), text.size());
    return out;
}

std::string format(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    std::string message = NfcLogFormat::formatMessage(fmt, args);
    va_end(args);
    return message;
}

const char SourceFile[] = "..\\..\\NFCLibrary\\korvat_nfc_library.cpp";

struct DebugStampCase {
    NfcLogTime time;
    int line;
    const char *dateTime;
    const char *lineField;
};

}  // namespace

TEST(DebugStamp, FieldsArePaddedAndLineIsRightAlignedInFourColumns)
{
    EXPECT_EQ(debugStamp({2024, 1, 2, 3, 4, 5, 6}, SourceFile, 7),
              "2024-01-02 03:04:05.006 ..\\..\\NFCLibrary\\korvat_nfc_library.cpp    7 : ");

    const DebugStampCase cases[] = {
        {{2024, 12, 31, 23, 59, 59, 999}, 42, "2024-12-31 23:59:59.999", "  42"},
        {{999, 10, 10, 0, 0, 0, 0}, 123, "0999-10-10 00:00:00.000", " 123"},
        {{2030, 6, 15, 12, 30, 45, 50}, 1234, "2030-06-15 12:30:45.050", "1234"},
        // More digits than four columns: the field grows, nothing is cut.
        {{2030, 6, 15, 12, 30, 45, 50}, 12345, "2030-06-15 12:30:45.050", "12345"},
        {{2030, 6, 15, 12, 30, 45, 50}, 0, "2030-06-15 12:30:45.050", "   0"},
        {{2030, 6, 15, 12, 30, 45, 50}, -5, "2030-06-15 12:30:45.050", "  -5"},
    };
    for (const DebugStampCase &c : cases) {
        EXPECT_EQ(debugStamp(c.time, SourceFile, c.line),
                  std::string(c.dateTime) + " " + SourceFile + " " + c.lineField + " : ")
            << "line " << c.line;
    }
}

TEST(DebugStamp, SourcePathIsShownExactlyAsPassed)
{
    const NfcLogTime time{2024, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(debugStamp(time, "..\\..\\..\\..\\common\\src\\gverify_signature.cpp", 99),
              "2024-03-04 05:06:07.008 ..\\..\\..\\..\\common\\src\\gverify_signature.cpp   99 : ");
    // A "%" in a source path is text, not a conversion.
    EXPECT_EQ(debugStamp(time, "a%d%s.cpp", 1), "2024-03-04 05:06:07.008 a%d%s.cpp    1 : ");
}

TEST(NormalStamp, HasTimeOnly)
{
    EXPECT_EQ(normalStamp({2024, 1, 2, 3, 4, 5, 6}), "2024-01-02 03:04:05.006 : ");
    EXPECT_EQ(normalStamp({2024, 12, 31, 23, 59, 59, 999}), "2024-12-31 23:59:59.999 : ");
    EXPECT_EQ(normalStamp({1, 1, 1, 0, 0, 0, 0}), "0001-01-01 00:00:00.000 : ");
}

TEST(Stamps, AppendToWhatIsAlreadyThere)
{
    std::string out = "head|";
    NfcLogFormat::appendNormalStamp(out, {2024, 1, 2, 3, 4, 5, 6});
    NfcLogFormat::appendDebugStamp(out, {2024, 1, 2, 3, 4, 5, 6}, "x.cpp", 7);
    EXPECT_EQ(out, "head|2024-01-02 03:04:05.006 : 2024-01-02 03:04:05.006 x.cpp    7 : ");
}

TEST(TextMode, EveryLineFeedBecomesCarriageReturnLineFeed)
{
    const struct {
        std::string text;
        std::string stored;
    } cases[] = {
        {"", ""},
        {"no line end", "no line end"},
        {"one\n", "one\r\n"},
        {"a\nb\nc\n", "a\r\nb\r\nc\r\n"},
        {"\n\n", "\r\n\r\n"},
        {"\nlead", "\r\nlead"},
        // A carriage return already in the message stays, and its line feed still gets one.
        {"dos\r\n", "dos\r\r\n"},
        {"lone\rcr", "lone\rcr"},
        {std::string("nul\0inside\n", 11), std::string("nul\0inside\r\n", 12)},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(textMode(c.text), c.stored) << "text \"" << c.text << "\"";
    }
}

TEST(TextMode, UsesOnlyTheGivenLengthAndAppends)
{
    std::string out = "x";
    const char text[] = "ab\ncd\nef";
    NfcLogFormat::appendTextMode(out, text, 5);
    EXPECT_EQ(out, "xab\r\ncd");
}

TEST(HexDumpLine, EachByteIsLowerCaseHexWithCommaAndBlankThenLineEnd)
{
    const struct {
        std::vector<uint8_t> bytes;
        const char *expected;
    } cases[] = {
        {{}, "\n"},
        {{0x00}, "0x00, \n"},
        {{0x0a, 0xab, 0xff}, "0x0a, 0xab, 0xff, \n"},
        {{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08},
         "0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, \n"},
        {{0xde, 0xad, 0xbe, 0xef, 0x10, 0x9f, 0xf0, 0x7c},
         "0xde, 0xad, 0xbe, 0xef, 0x10, 0x9f, 0xf0, 0x7c, \n"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(NfcLogFormat::hexDumpLine(c.bytes.data(), c.bytes.size()), c.expected);
    }
    EXPECT_EQ(NfcLogFormat::HexBytesPerLine, 8u);
}

TEST(FormatMessage, FollowsPrintfRules)
{
    EXPECT_EQ(format("++++ %s() Start!\n", "korvatlib_nfc_open"), "++++ korvatlib_nfc_open() Start!\n");
    EXPECT_EQ(format("    [IN] error_info = %08xh\n", 0x12abu), "    [IN] error_info = 000012abh\n");
    EXPECT_EQ(format("    [OUT] *timeout = %d\n", -6000), "    [OUT] *timeout = -6000\n");
    EXPECT_EQ(format("100%%\n"), "100%\n");
    EXPECT_EQ(format("no conversions"), "no conversions");
}

TEST(FormatMessage, PercentBroughtInByAnArgumentStaysText)
{
    EXPECT_EQ(format("    [IN] filename = %s\n", "C:\\logs\\run%d%s%n.log"),
              "    [IN] filename = C:\\logs\\run%d%s%n.log\n");
}

TEST(FormatMessage, HasNoLengthLimit)
{
    for (size_t length : {255u, 256u, 257u, 1023u, 1024u, 4096u, 100000u}) {
        std::string text(length, 'x');
        for (size_t i = 0; i < length; i += 97) {
            text[i] = static_cast<char>('a' + i % 26);  // not one repeated byte, so a cut or a shift shows
        }
        const std::string message = format("<%s>\n", text.c_str());
        ASSERT_EQ(message.size(), length + 3) << "length " << length;
        EXPECT_EQ(message, "<" + text + ">\n") << "length " << length;
    }
}

TEST(FormatMessage, NullOrEmptyFormatGivesEmptyMessage)
{
    const char *none = nullptr;
    EXPECT_EQ(format(none), "");
    EXPECT_EQ(format(""), "");
    EXPECT_EQ(format("%s", ""), "");
}
