// The Type 2 writer on a tag holding anything (Lock and Memory Control TLVs whose areas lie before,
// inside or after the NDEF TLV included): the input is the writer's options, the command after
// which the write is cut, the message (or a format with a blank tag's size), then the tag's memory
// from page 0. Whatever the tag holds, the writer ends; it refuses a message as too large exactly
// when the capacity the reader gives is below it (or there is no room even for an empty NDEF
// TLV); a whole write reads
// back as the message and leaves every reserved byte as it was; a write refused before its first
// WRITE changes nothing;
// and a write cut after any command reads as the old message, an empty one or the new one.
#include <algorithm>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "MemoryTags.h"
#include "Type2TagWriter.h"

namespace {

using korvat_test::Bytes;
using korvat_test::MemoryType2Tag;

// What the reader makes of a tag: its message in hex with a mark, "empty", or "invalid".
std::string readBack(const MemoryType2Tag &tag, const Type2ReadOptions &options)
{
    Type2TagReader reader(options);
    MemoryType2Tag card = tag;
    const std::vector<Bytes> sent = korvat_test::drive(reader, card, 300);
    FUZZ_CHECK(sent.size() < 300);
    switch (reader.outcome()) {
    case TagReadOutcome::Message: return "message " + korvat_test::hex(reader.message());
    case TagReadOutcome::NoMessage: return "empty";
    default: return "invalid";
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const uint8_t settings = input.byte();
    Type2ReadOptions options;
    options.fastRead = (settings & 1) != 0;
    options.largestAnswer = 4 * (settings >> 2);
    const bool format = (settings & 2) != 0;
    const size_t cut = input.byte();
    const size_t quarters = input.byte();
    const Bytes message = input.bytes(quarters * 4 + input.byte());
    const size_t blankDataSize = input.byte() * 8u;
    MemoryType2Tag tag;
    tag.memory = input.rest();
    tag.memory.resize(tag.memory.size() / 4 * 4);
    if (tag.memory.size() < Type2TagReader::SmallestMemory) {
        return 0;
    }
    // The tag has the memory its capability container names (a FAST_READ past its end is refused).
    tag.memory.resize(std::max<size_t>(tag.memory.size(), Type2TagReader::HeaderSize + tag.memory[14] * 8u));

    const auto makeWriter = [&] {
        return format ? Type2TagWriter::formatter(blankDataSize, options) : Type2TagWriter(message, options);
    };
    Type2TagWriter writer = makeWriter();
    MemoryType2Tag written = tag;
    const std::vector<Bytes> sent = korvat_test::drive(writer, written, 2000);
    FUZZ_CHECK(sent.size() < 2000);
    const TagWriteOutcome outcome = writer.outcome();
    FUZZ_CHECK(outcome != TagWriteOutcome::Writing);
    FUZZ_CHECK(outcome == TagWriteOutcome::Written || !writer.report().empty());

    const Type2TagReader &reader = writer.reader();
    const TagReadOutcome before = reader.outcome();
    const bool readable = before == TagReadOutcome::Message || before == TagReadOutcome::NoMessage;
    if (!format && readable && reader.writable()) {
        // Capacity 0: room for an empty NDEF TLV, or for none at all.
        if (message.size() > reader.capacity()) {
            FUZZ_CHECK(outcome == TagWriteOutcome::TooLarge);
        } else if (reader.capacity() > 0) {
            FUZZ_CHECK(outcome != TagWriteOutcome::TooLarge);
        }
    }
    bool wrote = false;
    for (const Bytes &command : sent) {
        wrote = wrote || command[0] == Type2TagWriter::CommandWrite;
    }
    if (outcome == TagWriteOutcome::TooLarge || outcome == TagWriteOutcome::ReadOnly) {
        FUZZ_CHECK(!wrote);
        FUZZ_CHECK(written.memory == tag.memory);
    }
    if (outcome != TagWriteOutcome::Written || !readable || format) {
        return 0;
    }

    // The whole write: the message reads back, and no reserved byte changed.
    const std::string wanted = message.empty() ? "empty" : "message " + korvat_test::hex(message);
    FUZZ_CHECK(readBack(written, options) == wanted);
    for (const Type2ReservedArea &area : reader.layout().reserved) {
        for (size_t address = area.address; address < area.address + area.size && address < tag.memory.size();
             ++address) {
            FUZZ_CHECK(written.memory[address] == tag.memory[address]);
        }
    }
    // The write cut after `cut` commands: the old message, an empty one or the new one.
    if (cut < sent.size()) {
        Type2TagWriter cutWriter = makeWriter();
        MemoryType2Tag cutTag = tag;
        korvat_test::drive(cutWriter, cutTag, cut);
        const std::string after = readBack(cutTag, options);
        FUZZ_CHECK(after == readBack(tag, options) || after == "empty" || after == wanted);
    }
    return 0;
}
