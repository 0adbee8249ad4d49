// NDEF messages built from anything: the input is a sequence of records to add (a kind byte and
// its fields). Whatever the builder accepts, its message parses back to the very records it was
// given, and walking it in place gives one raw record per record with the payload where it lies.
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "NdefBuilder.h"
#include "NdefRecordIterator.h"

namespace {

std::string text(const std::vector<uint8_t> &bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    NdefBuilder builder;
    while (!input.empty()) {
        const uint8_t kind = input.byte();
        std::string error;
        size_t before = builder.records().size();
        bool added = false;
        switch (kind % 4) {
        case 0:
            added = builder.addUri(text(input.chunk()), error);
            break;
        case 1: {
            const std::string language = text(input.chunk());
            added = builder.addText(language, text(input.chunk()), error);
            break;
        }
        case 2: {
            const std::string type = text(input.chunk());
            added = builder.addMime(type, input.bytes(input.byte() * 8), error);
            break;
        }
        default: {
            const std::vector<uint8_t> type = input.chunk();
            const std::vector<uint8_t> id = input.chunk();
            added = builder.addRecord(kind >> 5, type, id, input.bytes(input.byte() * 8), error);
            break;
        }
        }
        FUZZ_CHECK(added == error.empty());
        FUZZ_CHECK(builder.records().size() == before + (added ? 1 : 0));
    }

    const std::vector<uint8_t> message = builder.message();
    std::vector<NdefRecord> records;
    std::string error;
    FUZZ_CHECK(NdefMessage::parse(message.data(), message.size(), records, error));
    const std::vector<NdefRecord> &built = builder.records();
    FUZZ_CHECK(records.size() == (built.empty() ? 1 : built.size()));
    for (size_t i = 0; i < built.size(); ++i) {
        FUZZ_CHECK(records[i].tnf == built[i].tnf && records[i].type == built[i].type && records[i].id == built[i].id &&
                   records[i].payload == built[i].payload && records[i].chunks == 1);
    }

    NdefRecordIterator walk(message.data(), message.size());
    NdefRawRecord raw;
    size_t index = 0;
    while (walk.next(raw)) {
        FUZZ_CHECK(index < records.size() && raw.end <= message.size());
        FUZZ_CHECK(std::equal(records[index].payload.begin(), records[index].payload.end(), walk.payload(raw)));
        ++index;
    }
    FUZZ_CHECK(walk.error().empty() && index == records.size());
    return 0;
}
