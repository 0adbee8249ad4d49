// A Type 3 Tag answering anything: the input is the IDm and then the sequence of answers (each a
// length byte and its bytes). Whatever it says, every frame has a true length byte, asks for 1
// to 15 blocks below 0x10000, and a message returned has exactly the length Ln gave.
#include <vector>

#include "FuzzCheck.h"
#include "Type3TagReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    Type3TagReader reader(input.bytes(8));
    std::vector<uint8_t> frame;
    unsigned commands = 0;
    while (reader.nextCommand(frame)) {
        // Attribute block, then at most Nmaxb (16 bits) blocks at no fewer than one per frame.
        FUZZ_CHECK(++commands <= 1 + 0xFFFF);
        FUZZ_CHECK(frame.size() >= 16 && frame[0] == frame.size() && frame[1] == 0x06);
        const size_t count = frame[13];
        FUZZ_CHECK(count >= 1 && count <= Type3TagReader::MostBlocksPerRead);
        std::vector<uint8_t> answer = input.chunk();
        reader.takeResponse(answer.empty() ? nullptr : answer.data(), answer.size());
    }
    switch (reader.outcome()) {
    case TagReadOutcome::Message: {
        const Type3AttributeInformation &info = reader.attributes();
        FUZZ_CHECK(reader.message().size() == info.messageLength);
        FUZZ_CHECK(info.messageLength <= static_cast<uint32_t>(info.maximumBlocks) * Type3TagReader::BlockSize);
        FUZZ_CHECK(commands == 1 + (info.messageLength + 16 * info.blocksPerRead - 1) / (16 * info.blocksPerRead));
        break;
    }
    case TagReadOutcome::Refused:
    case TagReadOutcome::InvalidTag:
        FUZZ_CHECK(!reader.report().empty());
        break;
    case TagReadOutcome::NoMessage:
        break;
    default:
        FUZZ_CHECK(false);
    }
    return 0;
}
