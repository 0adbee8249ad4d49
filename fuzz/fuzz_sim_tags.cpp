// The simulator's tag models answering any command: a Type 4 Tag answers every APDU with a
// status word and at most MLe (0x80) data bytes; a Type 3 Tag answers with a frame whose length
// byte is its length, or not at all; no answer is longer than the plug-in documents.
#include <vector>

#include "FuzzCheck.h"
#include "SimType3Tag.h"
#include "SimType4Tag.h"
#include "sim_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const bool type3 = input.byte() & 1;
    const std::vector<uint8_t> ndef = input.bytes(input.byte() * 4u);
    if (type3) {
        const std::vector<uint8_t> idm = input.bytes(8);
        if (idm.size() != 8) {
            return 0;
        }
        const sim::SimType3Tag tag(idm, std::vector<uint8_t>(8, 0x11), {0x12, 0xFC}, ndef);
        while (!input.empty()) {
            const std::vector<uint8_t> frame = input.chunk();
            std::vector<uint8_t> response;
            if (tag.answer(frame.empty() ? nullptr : frame.data(), frame.size(), response)) {
                FUZZ_CHECK(!response.empty() && response.size() <= SIM_MAXIMUM_RESPONSE_SIZE && response[0] == response.size());
            } else {
                FUZZ_CHECK(response.empty());
            }
        }
    } else {
        sim::SimType4Tag tag(ndef);
        while (!input.empty()) {
            const std::vector<uint8_t> apdu = input.chunk();
            const std::vector<uint8_t> response = tag.answer(apdu.empty() ? nullptr : apdu.data(), apdu.size());
            FUZZ_CHECK(response.size() >= 2 && response.size() <= SIM_MAXIMUM_RESPONSE_SIZE);
        }
    }
    return 0;
}
