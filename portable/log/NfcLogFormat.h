// Pure text formatting of trace records: time stamps, text-mode line ends and hex dump lines.
// No platform calls, so the exact bytes of a record can be tested and fuzzed on their own.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

struct NfcLogTime {
    int year;
    int month;
    int day;
    int hour;
    int minute;
    int second;
    int milliseconds;
};

class NfcLogFormat {
public:
    // "YYYY-MM-DD hh:mm:ss.mmm <source> llll : "
    static void appendDebugStamp(std::string &out, const NfcLogTime &time, const char *sourceFile, int line);
    // "YYYY-MM-DD hh:mm:ss.mmm : "
    static void appendNormalStamp(std::string &out, const NfcLogTime &time);
    // Appends text as a text-mode file stores it: every "\n" becomes "\r\n".
    static void appendTextMode(std::string &out, const char *text, size_t length);
    // One hex dump line: "0x%02x, " per byte, then "\n".
    static std::string hexDumpLine(const uint8_t *data, size_t count);
    // printf into a string of exactly the formatted length; empty on a null format or a formatting failure.
    static std::string formatMessage(const char *format, va_list args);

    static constexpr size_t HexBytesPerLine = 8;
};
