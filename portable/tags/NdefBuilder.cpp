#include "NdefBuilder.h"

#include <cstring>

#include "NdefRecordIterator.h"

namespace {

const uint8_t TnfMedia = 0x02;
const uint8_t LastPrefixCode = 0x23;
const size_t LongestLanguage = 63;

bool isUtf8(const std::string &text)
{
    size_t i = 0;
    while (i < text.size()) {
        const uint8_t lead = static_cast<uint8_t>(text[i]);
        size_t more;
        uint32_t value;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            more = 1;
            value = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            more = 2;
            value = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            more = 3;
            value = lead & 0x07;
        } else {
            return false;
        }
        if (more > text.size() - i - 1) {
            return false;
        }
        for (size_t k = 1; k <= more; ++k) {
            const uint8_t next = static_cast<uint8_t>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            value = value << 6 | (next & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        const uint32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (value < least[more] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
            return false;
        }
        i += 1 + more;
    }
    return true;
}

std::vector<uint8_t> bytesOf(const std::string &text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}

}  // namespace

uint8_t NdefBuilder::uriPrefixCode(const std::string &uri, size_t &prefixLength)
{
    uint8_t best = 0;
    prefixLength = 0;
    for (uint8_t code = 1; code <= LastPrefixCode; ++code) {
        const char *prefix = NdefMessage::uriPrefix(code);
        const size_t length = std::strlen(prefix);
        if (length > prefixLength && uri.compare(0, length, prefix) == 0) {
            best = code;
            prefixLength = length;
        }
    }
    return best;
}

bool NdefBuilder::addUri(const std::string &uri, std::string &error)
{
    if (uri.empty()) {
        error = "empty URI";
        return false;
    }
    if (!isUtf8(uri)) {
        error = "URI is not UTF-8";
        return false;
    }
    size_t prefixLength = 0;
    std::vector<uint8_t> payload = {uriPrefixCode(uri, prefixLength)};
    payload.insert(payload.end(), uri.begin() + prefixLength, uri.end());
    return addRecord(NdefMessage::TnfWellKnown, {'U'}, {}, payload, error);
}

bool NdefBuilder::addText(const std::string &language, const std::string &text, std::string &error)
{
    if (language.empty() || language.size() > LongestLanguage) {
        error = "language code of " + std::to_string(language.size()) + " characters (1 to 63)";
        return false;
    }
    for (char c : language) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-')) {
            error = "language code \"" + language + "\" holds a character other than letters, digits and hyphens";
            return false;
        }
    }
    if (!isUtf8(text)) {
        error = "text is not UTF-8";
        return false;
    }
    // Status byte: bit 7 clear for UTF-8, the language code's length below.
    std::vector<uint8_t> payload = {static_cast<uint8_t>(language.size())};
    payload.insert(payload.end(), language.begin(), language.end());
    payload.insert(payload.end(), text.begin(), text.end());
    return addRecord(NdefMessage::TnfWellKnown, {'T'}, {}, payload, error);
}

bool NdefBuilder::addMime(const std::string &type, const std::vector<uint8_t> &payload, std::string &error)
{
    bool printable = !type.empty();
    for (char c : type) {
        printable = printable && c > 0x20 && c < 0x7F;
    }
    if (!printable || type.find('/') == std::string::npos) {
        error = "\"" + type + "\" is not a media type";
        return false;
    }
    return addRecord(TnfMedia, bytesOf(type), {}, payload, error);
}

bool NdefBuilder::addRecord(uint8_t tnf, const std::vector<uint8_t> &type, const std::vector<uint8_t> &id,
                            const std::vector<uint8_t> &payload, std::string &error)
{
    if (tnf >= NdefMessage::TnfUnchanged) {
        error = "type name format " + std::to_string(tnf) + " cannot start a record";
        return false;
    }
    if (tnf == NdefMessage::TnfEmpty && (!type.empty() || !id.empty() || !payload.empty())) {
        error = "an empty record has no type, ID or payload";
        return false;
    }
    if (tnf == NdefMessage::TnfUnknown && !type.empty()) {
        error = "a record of unknown type has no type";
        return false;
    }
    if (tnf != NdefMessage::TnfEmpty && tnf != NdefMessage::TnfUnknown && type.empty()) {
        error = "type name format " + std::to_string(tnf) + " needs a type";
        return false;
    }
    if (type.size() > 0xFF || id.size() > 0xFF) {
        error = "a type or an ID of more than 255 bytes";
        return false;
    }
    const uint64_t payloadSize = payload.size();  // a 64-bit size_t could exceed the 32-bit field
    if (payloadSize > 0xFFFFFFFFull) {
        error = "a payload of more than 4294967295 bytes";
        return false;
    }
    NdefRecord record;
    record.tnf = tnf;
    record.type = type;
    record.id = id;
    record.payload = payload;
    m_Records.push_back(record);
    return true;
}

std::vector<uint8_t> NdefBuilder::message() const
{
    if (m_Records.empty()) {
        return {NdefMessage::MessageBegin | NdefMessage::MessageEnd | NdefMessage::ShortRecord, 0x00, 0x00};
    }
    std::vector<uint8_t> out;
    for (size_t i = 0; i < m_Records.size(); ++i) {
        const NdefRecord &record = m_Records[i];
        const bool shortRecord = record.payload.size() <= 0xFF;
        uint8_t header = record.tnf;
        header |= i == 0 ? NdefMessage::MessageBegin : 0;
        header |= i + 1 == m_Records.size() ? NdefMessage::MessageEnd : 0;
        header |= shortRecord ? NdefMessage::ShortRecord : 0;
        header |= record.id.empty() ? 0 : NdefMessage::IdLengthPresent;
        out.push_back(header);
        out.push_back(static_cast<uint8_t>(record.type.size()));
        const uint32_t length = static_cast<uint32_t>(record.payload.size());
        for (int shift = shortRecord ? 0 : 24; shift >= 0; shift -= 8) {
            out.push_back(static_cast<uint8_t>(length >> shift));
        }
        if (!record.id.empty()) {
            out.push_back(static_cast<uint8_t>(record.id.size()));
        }
        out.insert(out.end(), record.type.begin(), record.type.end());
        out.insert(out.end(), record.id.begin(), record.id.end());
        out.insert(out.end(), record.payload.begin(), record.payload.end());
    }
    return out;
}

bool NdefBuilder::appendRecord(std::vector<uint8_t> &message, const std::vector<uint8_t> &single, std::string &error,
                               size_t &errorOffset)
{
    if (message.empty()) {
        message = single;
        return true;
    }
    std::vector<NdefRecord> records;
    if (!NdefMessage::parse(message.data(), message.size(), records, error, &errorOffset)) {
        return false;
    }
    NdefRecordIterator walk(message.data(), message.size());
    NdefRawRecord raw, last;
    while (walk.next(raw)) {
        last = raw;
    }
    message[last.offset] &= static_cast<uint8_t>(~NdefMessage::MessageEnd);
    const size_t start = message.size();
    message.insert(message.end(), single.begin(), single.end());
    message[start] &= static_cast<uint8_t>(~NdefMessage::MessageBegin);
    return true;
}
