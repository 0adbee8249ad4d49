// A Type 2 Tag holding anything: the input is the reader's options (one byte) and then the tag's
// memory from page 0. Whatever the TLV area holds, every command reads pages that exist in at
// most one answer's worth, a message read has the length its TLV gave and fits the capacity, and
// it is the message found by scanning the whole memory at once.
#include <vector>

#include "FuzzCheck.h"
#include "Type2TagReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const uint8_t settings = input.byte();
    Type2ReadOptions options;
    options.fastRead = (settings & 1) != 0;
    options.largestAnswer = 4 * (settings >> 1);
    std::vector<uint8_t> memory = input.rest();
    memory.resize(memory.size() / 4 * 4);
    const size_t pages = memory.size() / 4;

    Type2TagReader reader(options);
    std::vector<uint8_t> command;
    unsigned commands = 0;
    while (reader.nextCommand(command)) {
        FUZZ_CHECK(++commands <= 1 + 256);
        std::vector<uint8_t> answer = {0x00};  // NAK
        if (command.size() == 2 && command[0] == Type2TagReader::CommandRead) {
            if (command[1] < pages) {
                answer.clear();
                for (size_t i = 0; i < 16; ++i) {
                    answer.push_back(memory[(command[1] * 4 + i) % memory.size()]);
                }
            }
        } else {
            FUZZ_CHECK(command.size() == 3 && command[0] == Type2TagReader::CommandFastRead && command[1] <= command[2]);
            FUZZ_CHECK(static_cast<size_t>(command[2] - command[1] + 1) * 4 <= std::max<size_t>(options.largestAnswer, 16));
            FUZZ_CHECK(options.fastRead);
            if (command[2] < pages) {
                answer.assign(memory.begin() + command[1] * 4, memory.begin() + (command[2] + 1) * 4);
            }
        }
        reader.takeResponse(answer.data(), answer.size());
    }
    switch (reader.outcome()) {
    case TagReadOutcome::Message: {
        const Type2Layout &layout = reader.layout();
        FUZZ_CHECK(layout.ndefPresent && reader.message().size() == layout.messageLength && layout.messageLength > 0);
        FUZZ_CHECK(reader.message().size() <= reader.capacity());
        FUZZ_CHECK(reader.memory().size() <= Type2TagReader::HeaderSize + layout.dataSize);
        if (memory.size() >= Type2TagReader::HeaderSize + layout.dataSize) {
            Type2Layout whole;
            size_t needed = 0;
            std::vector<uint8_t> message;
            std::string error;
            FUZZ_CHECK(Type2TagReader::scan(memory.data(), memory.size(), whole, needed, message, error) ==
                       Type2Scan::Done);
            FUZZ_CHECK(message == reader.message());
        }
        break;
    }
    case TagReadOutcome::NoMessage:
        FUZZ_CHECK(reader.message().empty());
        break;
    case TagReadOutcome::Refused:
    case TagReadOutcome::InvalidTag:
        FUZZ_CHECK(!reader.report().empty());
        break;
    default:
        FUZZ_CHECK(false);  // the reader never stops half-way
    }
    return 0;
}
