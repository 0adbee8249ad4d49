// Trace record text: stamps, text-mode line ends, hex dump lines and message formatting. The
// fuzzer's bytes are data and arguments only, never a format: a format comes from the library's
// own source.
#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "NfcLogFormat.h"

namespace {

std::string format(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    std::string message = NfcLogFormat::formatMessage(fmt, args);
    va_end(args);
    return message;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    NfcLogTime time;
    time.year = static_cast<int>(input.word());
    time.month = static_cast<int>(input.byte());
    time.day = static_cast<int>(input.byte());
    time.hour = static_cast<int>(input.byte());
    time.minute = static_cast<int>(input.byte());
    time.second = static_cast<int>(input.byte());
    time.milliseconds = static_cast<int>(input.word());
    const int line = static_cast<int>(input.word());
    const std::vector<uint8_t> sourceBytes = input.chunk();
    const std::string source(sourceBytes.begin(), sourceBytes.end());
    const std::vector<uint8_t> text = input.rest();

    // Stamps: any numbers, any source text; in-range numbers give fixed-width fields.
    std::string stamp;
    NfcLogFormat::appendNormalStamp(stamp, time);
    const bool inRange = time.year >= 0 && time.year <= 9999 && time.month <= 99 && time.day <= 99 &&
                         time.hour <= 99 && time.minute <= 99 && time.second <= 99 && time.milliseconds >= 0 &&
                         time.milliseconds <= 999;
    if (inRange) {
        FUZZ_CHECK(stamp.size() == std::strlen("YYYY-MM-DD hh:mm:ss.mmm : "));
    }
    std::string debug;
    NfcLogFormat::appendDebugStamp(debug, time, source.c_str(), line);
    FUZZ_CHECK(debug.compare(0, stamp.size() - 2, stamp, 0, stamp.size() - 2) == 0);
    FUZZ_CHECK(debug.size() >= 3 && debug.compare(debug.size() - 3, 3, " : ") == 0);

    // Text mode: every "\n" becomes "\r\n", nothing else changes, the text already there stays.
    std::string stored = "prefix";
    NfcLogFormat::appendTextMode(stored, reinterpret_cast<const char *>(text.data()), text.size());
    std::string expected = "prefix";
    for (uint8_t c : text) {
        expected += c == '\n' ? std::string("\r\n") : std::string(1, static_cast<char>(c));
    }
    FUZZ_CHECK(stored == expected);

    // Hex dump: eight bytes per line, "0x%02x, " each, and the bytes read back.
    for (size_t offset = 0; offset < text.size(); offset += NfcLogFormat::HexBytesPerLine) {
        const size_t count = std::min(NfcLogFormat::HexBytesPerLine, text.size() - offset);
        const std::string dumped = NfcLogFormat::hexDumpLine(text.data() + offset, count);
        FUZZ_CHECK(dumped.size() == 6 * count + 1 && dumped.back() == '\n');
        for (size_t i = 0; i < count; ++i) {
            FUZZ_CHECK(dumped.compare(6 * i, 2, "0x") == 0 && dumped.compare(6 * i + 4, 2, ", ") == 0);
            FUZZ_CHECK(std::stoul(dumped.substr(6 * i + 2, 2), nullptr, 16) == text[offset + i]);
        }
    }

    // Formatting: an argument's text arrives unchanged, "%" included, at any length.
    const std::string argument(text.begin(), std::find(text.begin(), text.end(), 0));
    FUZZ_CHECK(format("%s", argument.c_str()) == argument);
    FUZZ_CHECK(format("    [IN] port_name = %s\n", argument.c_str()) == "    [IN] port_name = " + argument + "\n");
    const std::string number = format("%08xh %d", static_cast<unsigned>(line), line);
    FUZZ_CHECK(number.size() >= 10 && number[8] == 'h');
    return 0;
}
