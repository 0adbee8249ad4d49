#include "NdefMessage.h"

#include <cstdio>

#include "NdefRecordIterator.h"

namespace {

// URI identifier codes 0x00 to 0x23; any other code is reserved and shown as such.
const char *const UriPrefixes[] = {
    "",           "http://www.", "https://www.", "http://",     "https://",     "tel:",
    "mailto:",    "ftp://anonymous:anonymous@", "ftp://ftp.", "ftps://",   "sftp://",      "smb://",
    "nfs://",     "ftp://",      "dav://",       "news:",       "telnet://",    "imap:",
    "rtsp://",    "urn:",        "pop:",         "sip:",        "sips:",        "tftp:",
    "btspp://",   "btl2cap://",  "btgoep://",    "tcpobex://",  "irdaobex://",  "file://",
    "urn:epc:id:", "urn:epc:tag:", "urn:epc:pat:", "urn:epc:raw:", "urn:epc:", "urn:nfc:",
};

std::string at(const std::string &what, size_t offset)
{
    return what + " (record at byte " + std::to_string(offset) + ")";
}

std::string hex(const std::vector<uint8_t> &bytes)
{
    if (bytes.empty()) {
        return "(none)";
    }
    std::string text;
    char pair[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(pair, sizeof(pair), i == 0 ? "%02X" : " %02X", bytes[i]);
        text += pair;
    }
    return text;
}

// Printable text of bytes from a tag: control characters would garble a terminal.
std::string printable(const uint8_t *begin, const uint8_t *end)
{
    std::string text;
    for (const uint8_t *p = begin; p != end; ++p) {
        text.push_back(*p < 0x20 || *p == 0x7F ? '.' : static_cast<char>(*p));
    }
    return text;
}

}  // namespace

bool NdefMessage::readRawRecord(const uint8_t *data, size_t size, size_t offset, NdefRawRecord &record,
                                std::string &error)
{
    record = NdefRawRecord();
    if (offset >= size) {
        error = at("record header missing", offset);
        return false;
    }
    const uint8_t header = data[offset];
    record.header = header;
    record.offset = offset;
    const size_t payloadLengthBytes = (header & ShortRecord) ? 1 : 4;
    const size_t fixed = 2 + payloadLengthBytes + ((header & IdLengthPresent) ? 1 : 0);
    if (fixed > size - offset) {
        error = at("record header cut short", offset);
        return false;
    }
    size_t position = offset + 1;
    record.typeLength = data[position++];
    // The payload length is read as a 32-bit number whatever the width of size_t, and every
    // length is compared with what is left instead of being added up first: a sum could wrap.
    uint32_t payloadLength = 0;
    for (size_t i = 0; i < payloadLengthBytes; ++i) {
        payloadLength = payloadLength << 8 | data[position++];
    }
    record.idLength = (header & IdLengthPresent) ? data[position++] : 0;
    size_t remaining = size - position;
    if (record.typeLength > remaining) {
        error = at("type runs past the end of the message", offset);
        return false;
    }
    remaining -= record.typeLength;
    if (record.idLength > remaining) {
        error = at("ID runs past the end of the message", offset);
        return false;
    }
    remaining -= record.idLength;
    if (payloadLength > remaining) {
        error = at("payload length " + std::to_string(payloadLength) + " runs past the end of the message", offset);
        return false;
    }
    record.payloadLength = payloadLength;
    record.typeOffset = position;
    record.idOffset = record.typeOffset + record.typeLength;
    record.payloadOffset = record.idOffset + record.idLength;
    record.end = record.payloadOffset + record.payloadLength;

    const uint8_t tnf = header & TnfMask;
    if (tnf == TnfReserved) {
        error = at("reserved type name format 7", offset);
        return false;
    }
    if (tnf == TnfEmpty && (record.typeLength != 0 || record.idLength != 0 || record.payloadLength != 0)) {
        error = at("empty record with a type, ID or payload", offset);
        return false;
    }
    if ((tnf == TnfUnknown || tnf == TnfUnchanged) && record.typeLength != 0) {
        error = at("type name format " + std::to_string(tnf) + " with a type", offset);
        return false;
    }
    return true;
}

void NdefMessage::appendRawRecord(const uint8_t *data, const NdefRawRecord &record, std::vector<uint8_t> &out)
{
    out.push_back(record.header);
    out.push_back(static_cast<uint8_t>(record.typeLength));
    if (record.header & ShortRecord) {
        out.push_back(static_cast<uint8_t>(record.payloadLength));
    } else {
        const uint32_t length = static_cast<uint32_t>(record.payloadLength);
        for (int shift = 24; shift >= 0; shift -= 8) {
            out.push_back(static_cast<uint8_t>(length >> shift));
        }
    }
    if (record.header & IdLengthPresent) {
        out.push_back(static_cast<uint8_t>(record.idLength));
    }
    out.insert(out.end(), data + record.typeOffset, data + record.end);
}

bool NdefMessage::parse(const uint8_t *data, size_t size, std::vector<NdefRecord> &records, std::string &error,
                        size_t *errorOffset)
{
    records.clear();
    const auto failAt = [&](const std::string &what, size_t offset) {
        error = at(what, offset);
        if (errorOffset != nullptr) {
            *errorOffset = offset;
        }
        return false;
    };
    NdefRecordIterator walk(data, size);
    NdefRawRecord raw;
    bool inChunk = false;  // the previous record was a chunk with more to follow
    while (walk.next(raw)) {
        const uint8_t header = raw.header;
        const uint8_t tnf = header & TnfMask;
        const size_t offset = raw.offset;
        if ((header & ChunkFlag) && (header & MessageEnd)) {
            return failAt("chunk with more to follow marks the message end", offset);
        }
        if (inChunk) {
            // A following chunk: type name format "unchanged", no type, no ID.
            if (tnf != TnfUnchanged || (header & IdLengthPresent)) {
                return failAt("chunk continuation without type name format 6, or with an ID", offset);
            }
            NdefRecord &record = records.back();
            record.payload.insert(record.payload.end(), data + raw.payloadOffset, data + raw.end);
            ++record.chunks;
        } else {
            if (tnf == TnfUnchanged) {
                return failAt("type name format 6 outside a chunked record", offset);
            }
            // The first chunk carries the type of the whole record: an empty record has no payload
            // to cut, and the formats that name a type need it here.
            if ((header & ChunkFlag) && tnf == TnfEmpty) {
                return failAt("empty record (type name format 0) marked as chunked", offset);
            }
            if ((header & ChunkFlag) && tnf >= TnfWellKnown && tnf <= TnfExternal && raw.typeLength == 0) {
                return failAt("first chunk of type name format " + std::to_string(tnf) + " without a type", offset);
            }
            NdefRecord record;
            record.tnf = tnf;
            record.type.assign(data + raw.typeOffset, data + raw.idOffset);
            record.id.assign(data + raw.idOffset, data + raw.payloadOffset);
            record.payload.assign(data + raw.payloadOffset, data + raw.end);
            records.push_back(record);
        }
        inChunk = (header & ChunkFlag) != 0;
    }
    error = walk.error();
    if (errorOffset != nullptr && !error.empty()) {
        *errorOffset = walk.offset();
    }
    return error.empty();
}

const char *NdefMessage::uriPrefix(uint8_t code)
{
    return code < sizeof(UriPrefixes) / sizeof(UriPrefixes[0]) ? UriPrefixes[code] : nullptr;
}

std::string NdefMessage::describe(const NdefRecord &record)
{
    const std::vector<uint8_t> &p = record.payload;
    const bool wellKnown = record.tnf == TnfWellKnown && record.type.size() == 1;
    std::string text;
    if (wellKnown && record.type[0] == 'U' && !p.empty()) {
        text = "URI  ";
        if (const char *prefix = uriPrefix(p[0])) {
            text += prefix;
        } else {
            text += "(reserved prefix " + std::to_string(p[0]) + ")";
        }
        text += printable(p.data() + 1, p.data() + p.size());
    } else if (wellKnown && record.type[0] == 'T' && !p.empty() && 1u + (p[0] & 0x3Fu) <= p.size()) {
        const size_t languageLength = p[0] & 0x3F;
        const std::string language = printable(p.data() + 1, p.data() + 1 + languageLength);
        const size_t textLength = p.size() - 1 - languageLength;
        if (p[0] & 0x80) {
            text = "text [" + language + "] (UTF-16, " + std::to_string(textLength) + " bytes)";
        } else {
            text = "text [" + language + "] \"" + printable(p.data() + 1 + languageLength, p.data() + p.size()) + "\"";
        }
    } else if (record.tnf == TnfEmpty) {
        text = "empty record";
    } else {
        text = "TNF " + std::to_string(record.tnf) + ", type \"" +
               printable(record.type.data(), record.type.data() + record.type.size()) + "\", " +
               std::to_string(p.size()) + " payload bytes: " + hex(p);
    }
    if (record.chunks > 1) {
        text += " (" + std::to_string(record.chunks) + " chunks)";
    }
    return text;
}

bool NdefMessage::uriOf(const NdefRecord &record, std::string &uri)
{
    uri.clear();
    if (record.tnf != TnfWellKnown || record.type.size() != 1 || record.type[0] != 'U' || record.payload.empty()) {
        return false;
    }
    const char *prefix = uriPrefix(record.payload[0]);
    if (prefix == nullptr) {
        return false;
    }
    uri = prefix;
    uri.append(record.payload.begin() + 1, record.payload.end());
    return true;
}

namespace {

void appendUtf8(uint32_t codePoint, std::string &out)
{
    if (codePoint < 0x80) {
        out.push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out.push_back(static_cast<char>(0xC0 | codePoint >> 6));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | codePoint >> 12));
        out.push_back(static_cast<char>(0x80 | (codePoint >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | codePoint >> 18));
        out.push_back(static_cast<char>(0x80 | (codePoint >> 12 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

// UTF-16 (big-endian unless a byte order mark says otherwise) to UTF-8.
bool utf16ToUtf8(const uint8_t *data, size_t size, std::string &out)
{
    if (size % 2 != 0) {
        return false;
    }
    bool bigEndian = true;
    size_t i = 0;
    if (size >= 2 && ((data[0] == 0xFE && data[1] == 0xFF) || (data[0] == 0xFF && data[1] == 0xFE))) {
        bigEndian = data[0] == 0xFE;
        i = 2;
    }
    const auto unit = [&](size_t at) {
        return static_cast<uint32_t>(bigEndian ? data[at] << 8 | data[at + 1] : data[at + 1] << 8 | data[at]);
    };
    for (; i < size; i += 2) {
        uint32_t value = unit(i);
        if (value >= 0xDC00 && value <= 0xDFFF) {
            return false;
        }
        if (value >= 0xD800 && value <= 0xDBFF) {
            if (i + 4 > size) {
                return false;
            }
            const uint32_t low = unit(i + 2);
            if (low < 0xDC00 || low > 0xDFFF) {
                return false;
            }
            value = 0x10000 + ((value - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        }
        appendUtf8(value, out);
    }
    return true;
}

}  // namespace

bool NdefMessage::textOf(const NdefRecord &record, std::string &language, std::string &utf8)
{
    language.clear();
    utf8.clear();
    const std::vector<uint8_t> &p = record.payload;
    if (record.tnf != TnfWellKnown || record.type.size() != 1 || record.type[0] != 'T' || p.empty()) {
        return false;
    }
    const size_t languageLength = p[0] & 0x3F;
    if (1 + languageLength > p.size()) {
        return false;
    }
    language.assign(p.begin() + 1, p.begin() + 1 + languageLength);
    const uint8_t *text = p.data() + 1 + languageLength;
    const size_t textLength = p.size() - 1 - languageLength;
    if (p[0] & 0x80) {
        if (!utf16ToUtf8(text, textLength, utf8)) {
            language.clear();
            utf8.clear();
            return false;
        }
        return true;
    }
    utf8.assign(text, text + textLength);
    return true;
}
