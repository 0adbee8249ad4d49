#include "SimNdef.h"

#include <cstring>

#include "SimBytes.h"

namespace sim {

namespace {

const uint8_t NdefMessageBegin = 0x80;
const uint8_t NdefMessageEnd = 0x40;
const uint8_t NdefShortRecord = 0x10;
const uint8_t NdefEmptyType = 0x00;
const uint8_t NdefWellKnownType = 0x01;

// URI identifier codes: the longest matching prefix is abbreviated, as a tag writer would.
struct UriPrefix {
    uint8_t code;
    const char *prefix;
};
const UriPrefix UriPrefixes[] = {
    {0x01, "http://www."}, {0x02, "https://www."}, {0x03, "http://"}, {0x04, "https://"},
    {0x05, "tel:"},        {0x06, "mailto:"},
};

std::vector<uint8_t> uriPayload(const std::string &uri)
{
    uint8_t code = 0;
    size_t prefixLength = 0;
    for (const UriPrefix &p : UriPrefixes) {
        const size_t length = std::strlen(p.prefix);
        if (length > prefixLength && uri.compare(0, length, p.prefix) == 0) {
            code = p.code;
            prefixLength = length;
        }
    }
    std::vector<uint8_t> payload{code};
    payload.insert(payload.end(), uri.begin() + prefixLength, uri.end());
    return payload;
}

std::vector<uint8_t> textPayload(const std::string &language, const std::string &text)
{
    // Status byte: UTF-8 (bit 7 clear) and the length of the language code.
    std::vector<uint8_t> payload{static_cast<uint8_t>(language.size() & 0x3F)};
    payload.insert(payload.end(), language.begin(), language.end());
    payload.insert(payload.end(), text.begin(), text.end());
    return payload;
}

}  // namespace

std::vector<uint8_t> encodeNdefMessage(const std::vector<NdefRecordDescription> &records)
{
    std::vector<uint8_t> message;
    for (size_t i = 0; i < records.size(); ++i) {
        const NdefRecordDescription &record = records[i];
        const bool uri = record.kind == NdefRecordDescription::Kind::Uri;
        const bool empty = record.kind == NdefRecordDescription::Kind::Empty;
        std::vector<uint8_t> payload;
        if (!empty) {
            payload = uri ? uriPayload(record.value) : textPayload(record.language, record.value);
        }
        uint8_t header = empty ? NdefEmptyType : NdefWellKnownType;
        if (i == 0) {
            header |= NdefMessageBegin;
        }
        if (i + 1 == records.size()) {
            header |= NdefMessageEnd;
        }
        const bool shortRecord = payload.size() <= 0xFF;
        if (shortRecord) {
            header |= NdefShortRecord;
        }
        message.push_back(header);
        message.push_back(empty ? 0 : 1);  // type length
        if (shortRecord) {
            message.push_back(static_cast<uint8_t>(payload.size()));
        } else {
            appendBigEndian(message, static_cast<uint32_t>(payload.size()), 4);
        }
        if (!empty) {
            message.push_back(uri ? 'U' : 'T');
        }
        message.insert(message.end(), payload.begin(), payload.end());
    }
    return message;
}

}  // namespace sim
