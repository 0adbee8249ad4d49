// NDEF messages from a tag: no field reaches past the span, the records' parts add up to the
// bytes read, and raw records write back the very bytes they were read from.
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "NdefMessage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::vector<uint8_t> message(data, data + size);  // its own allocation: ASan sees its end
    std::vector<NdefRecord> records;
    std::string error;
    const bool valid = NdefMessage::parse(message.data(), message.size(), records, error);
    FUZZ_CHECK(valid == error.empty() || !valid);
    FUZZ_CHECK(valid || !error.empty());

    // Raw layer: records side by side, each within the span, written back byte for byte.
    std::vector<uint8_t> written;
    size_t offset = 0;
    size_t parts = 0;
    unsigned rawCount = 0;
    while (offset < message.size()) {
        NdefRawRecord raw;
        std::string rawError;
        if (!NdefMessage::readRawRecord(message.data(), message.size(), offset, raw, rawError)) {
            break;
        }
        FUZZ_CHECK(raw.typeOffset <= raw.idOffset && raw.idOffset <= raw.payloadOffset &&
                   raw.payloadOffset <= raw.end && raw.end <= message.size() && raw.end > offset);
        FUZZ_CHECK(raw.end - raw.typeOffset == raw.typeLength + raw.idLength + raw.payloadLength);
        NdefMessage::appendRawRecord(message.data(), raw, written);
        FUZZ_CHECK(written.size() == raw.end);
        parts += raw.payloadLength;
        offset = raw.end;
        ++rawCount;
    }
    FUZZ_CHECK(std::equal(written.begin(), written.end(), message.begin()));

    if (valid) {
        // A valid message is read to its last byte, and joined chunks add up to the payloads.
        FUZZ_CHECK(written.size() == message.size());
        size_t payloads = 0;
        unsigned chunks = 0;
        for (const NdefRecord &record : records) {
            payloads += record.payload.size();
            chunks += record.chunks;
        }
        FUZZ_CHECK(payloads == parts);
        FUZZ_CHECK(chunks == rawCount);
    }
    for (const NdefRecord &record : records) {
        const std::string line = NdefMessage::describe(record);
        FUZZ_CHECK(!line.empty() && line.find('\n') == std::string::npos);
    }
    return 0;
}
