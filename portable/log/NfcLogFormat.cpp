#include <cstdarg>
#include <cstdio>
#include <vector>

#include "NfcLogFormat.h"

namespace {

void appendDecimal(std::string &out, unsigned value, int width)
{
    char digits[16];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 && count < 16);
    for (int pad = count; pad < width; ++pad) {
        out.push_back('0');
    }
    while (count > 0) {
        out.push_back(digits[--count]);
    }
}

void appendDateTime(std::string &out, const NfcLogTime &t)
{
    appendDecimal(out, static_cast<unsigned>(t.year), 4);
    out.push_back('-');
    appendDecimal(out, static_cast<unsigned>(t.month), 2);
    out.push_back('-');
    appendDecimal(out, static_cast<unsigned>(t.day), 2);
    out.push_back(' ');
    appendDecimal(out, static_cast<unsigned>(t.hour), 2);
    out.push_back(':');
    appendDecimal(out, static_cast<unsigned>(t.minute), 2);
    out.push_back(':');
    appendDecimal(out, static_cast<unsigned>(t.second), 2);
    out.push_back('.');
    appendDecimal(out, static_cast<unsigned>(t.milliseconds), 3);
}

} // namespace

void NfcLogFormat::appendDebugStamp(std::string &out, const NfcLogTime &time, const char *sourceFile, int line)
{
    appendDateTime(out, time);
    out.push_back(' ');
    out.append(sourceFile != nullptr ? sourceFile : "(null)");
    out.push_back(' ');
    char number[16];
    int length = std::snprintf(number, sizeof(number), "%4d", line);
    if (length > 0) {
        out.append(number, static_cast<size_t>(length));
    }
    out.append(" : ");
}

void NfcLogFormat::appendNormalStamp(std::string &out, const NfcLogTime &time)
{
    appendDateTime(out, time);
    out.append(" : ");
}

void NfcLogFormat::appendTextMode(std::string &out, const char *text, size_t length)
{
    size_t start = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == '\n') {
            out.append(text + start, i - start);
            out.append("\r\n");
            start = i + 1;
        }
    }
    out.append(text + start, length - start);
}

std::string NfcLogFormat::hexDumpLine(const uint8_t *data, size_t count)
{
    static const char digits[] = "0123456789abcdef";
    std::string line;
    line.reserve(count * 6 + 1);
    for (size_t i = 0; i < count; ++i) {
        line.append("0x");
        line.push_back(digits[data[i] >> 4]);
        line.push_back(digits[data[i] & 0x0f]);
        line.append(", ");
    }
    line.push_back('\n');
    return line;
}

std::string NfcLogFormat::formatMessage(const char *format, va_list args)
{
    if (format == nullptr) {
        return std::string();
    }
    va_list measure;
    va_copy(measure, args);
    int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length <= 0) {
        return std::string();
    }
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    va_list fill;
    va_copy(fill, args);
    int written = std::vsnprintf(buffer.data(), buffer.size(), format, fill);
    va_end(fill);
    if (written != length) {
        return std::string();
    }
    return std::string(buffer.data(), static_cast<size_t>(length));
}
