// A Type 4 Tag answering anything: the input is the sequence of answers (each a length byte and
// its bytes). Whatever it says, the reader asks for no offset of 8000 or above, never more than
// MLe bytes at once, and a message it returns has exactly the length NLEN gave.
#include <vector>

#include "FuzzCheck.h"
#include "Type4TagReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    Type4TagReader reader;
    std::vector<uint8_t> apdu;
    unsigned commands = 0;
    size_t nlen = 0;
    while (reader.nextCommand(apdu)) {
        FUZZ_CHECK(++commands <= 6 + 0x8000);
        FUZZ_CHECK(apdu.size() >= 4 && apdu[0] == 0x00);
        if (apdu[1] == 0xB0) {
            FUZZ_CHECK(apdu.size() == 5 && apdu[2] < 0x80 && apdu[4] != 0);
            if (commands > 5) {
                FUZZ_CHECK(apdu[4] <= reader.capabilityContainer().maximumRead);
            }
        }
        std::vector<uint8_t> answer = input.chunk();
        if (commands == 5 && answer.size() == 4) {
            nlen = static_cast<size_t>(answer[0] << 8 | answer[1]);
        }
        reader.takeResponse(answer.empty() ? nullptr : answer.data(), answer.size());
    }
    switch (reader.outcome()) {
    case TagReadOutcome::Message:
        FUZZ_CHECK(reader.message().size() == nlen && nlen > 0);
        FUZZ_CHECK(nlen + 2 <= reader.capabilityContainer().maximumNdefSize);
        FUZZ_CHECK(reader.capabilityContainer().readAccess == 0x00);
        break;
    case TagReadOutcome::Refused:
    case TagReadOutcome::InvalidTag:
        FUZZ_CHECK(!reader.report().empty());
        break;
    case TagReadOutcome::NoMessage:
        break;
    default:
        FUZZ_CHECK(false);  // the reader never stops half-way
    }
    return 0;
}
