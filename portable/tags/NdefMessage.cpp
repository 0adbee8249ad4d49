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

bool NdefMessage::parse(const uint8_t *data, size_t size, std::vector<NdefRecord> &records, std::string &error)
{
    records.clear();
    NdefRecordIterator walk(data, size);
    NdefRawRecord raw;
    bool inChunk = false;  // the previous record was a chunk with more to follow
    while (walk.next(raw)) {
        const uint8_t header = raw.header;
        const uint8_t tnf = header & TnfMask;
        const size_t offset = raw.offset;
        if ((header & ChunkFlag) && (header & MessageEnd)) {
            error = at("chunk with more to follow marks the message end", offset);
            return false;
        }
        if (inChunk) {
            // A following chunk: type name format "unchanged", no type, no ID.
            if (tnf != TnfUnchanged || (header & IdLengthPresent)) {
                error = at("chunk continuation without type name format 6, or with an ID", offset);
                return false;
            }
            NdefRecord &record = records.back();
            record.payload.insert(record.payload.end(), data + raw.payloadOffset, data + raw.end);
            ++record.chunks;
        } else {
            if (tnf == TnfUnchanged) {
                error = at("type name format 6 outside a chunked record", offset);
                return false;
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
