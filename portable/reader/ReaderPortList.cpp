#include "ReaderPortList.h"

#include <algorithm>
#include <cstring>

namespace reader {

namespace {

// `text` cut to at most `limit` bytes without splitting a UTF-8 sequence.
std::string cutUtf8(const std::string &text, size_t limit)
{
    if (text.size() <= limit) {
        return text;
    }
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return text.substr(0, end);
}

}  // namespace

bool formatPortList(const std::vector<PortEntry> &entries, std::string &out)
{
    out.clear();
    for (const PortEntry &entry : entries) {
        if (entry.portName.empty() || entry.portName.size() > MaximumPortNameLength ||
            entry.portName.find('\0') != std::string::npos || entry.readerName.find('\0') != std::string::npos) {
            out.clear();
            return false;
        }
        out += entry.portName;
        out += '\0';
        out += cutUtf8(entry.readerName, MaximumReaderNameLength);
        out += '\0';
    }
    out += '\0';
    return true;
}

bool parsePortList(const char *data, size_t size, std::vector<PortEntry> &entries, std::string &error)
{
    entries.clear();
    const auto fail = [&](const std::string &reason) {
        entries.clear();
        error = reason;
        return false;
    };
    if (data == nullptr && size > 0) {
        return fail("no list");
    }
    size_t at = 0;
    // One NUL-terminated field from `at`, at most `limit` bytes long.
    const auto field = [&](size_t limit, std::string &value) {
        const char *end = static_cast<const char *>(memchr(data + at, '\0', size - at));
        if (end == nullptr) {
            return false;
        }
        const size_t length = static_cast<size_t>(end - (data + at));
        if (length > limit) {
            return false;
        }
        value.assign(data + at, length);
        at += length + 1;
        return true;
    };
    for (;;) {
        if (at >= size) {
            return fail("the list is not ended within its " + std::to_string(size) + " bytes");
        }
        if (data[at] == '\0') {
            return true;  // the empty entry that ends the list
        }
        PortEntry entry;
        if (!field(MaximumPortNameLength, entry.portName)) {
            return fail("port name " + std::to_string(entries.size() + 1) + " is not ended within " +
                        std::to_string(MaximumPortNameLength) + " bytes or the list");
        }
        if (at >= size || !field(MaximumReaderNameLength, entry.readerName)) {
            return fail("the reader name of port \"" + entry.portName + "\" is not ended within " +
                        std::to_string(MaximumReaderNameLength) + " bytes or the list");
        }
        if (std::find_if(entries.begin(), entries.end(),
                         [&](const PortEntry &known) { return known.portName == entry.portName; }) != entries.end()) {
            return fail("port \"" + entry.portName + "\" is listed twice");
        }
        entries.push_back(entry);
    }
}

}  // namespace reader
