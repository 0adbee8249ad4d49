// The simulator's tag models answering any command: a Type 4 Tag answers every APDU with a
// status word and at most MLe (0x80) data bytes; a Type 3 Tag answers with a frame whose length
// byte is its length, or not at all; no answer is longer than the plug-in documents. A Type 2 Tag
// reads back what its memory holds, changes nothing when it refuses or ignores a frame, never
// changes its UID, only ever sets lock bits and capability container bits, and a read only one
// never changes at all.
#include <algorithm>
#include <vector>

#include "FuzzCheck.h"
#include "SimType2Tag.h"
#include "SimType3Tag.h"
#include "SimType4Tag.h"
#include "sim_reader.h"

namespace {

using Bytes = std::vector<uint8_t>;

// No bit of `before` in the bytes [first, first + count) is cleared in `after`.
bool onlySet(const Bytes &before, const Bytes &after, size_t first, size_t count)
{
    for (size_t i = first; i < first + count; ++i) {
        if ((before[i] & ~after[i]) != 0) {
            return false;
        }
    }
    return true;
}

void checkType2Answer(const sim::SimType2Tag &tag, const Bytes &frame, bool answered, const Bytes &response,
                      const Bytes &before, bool readOnly)
{
    const Bytes &after = tag.memory();
    const size_t pageSize = sim::SimType2Tag::PageSize;
    const size_t pages = tag.pageCount();
    FUZZ_CHECK(after.size() == before.size());
    FUZZ_CHECK(answered != response.empty());
    const bool refused = !answered || (response.size() == 1 && response[0] == sim::SimType2Tag::Nak);
    if (refused || readOnly) {
        FUZZ_CHECK(after == before);
    }
    // UID, BCC0 and BCC1 with the byte after it stay; lock bytes and the CC only gain bits.
    FUZZ_CHECK(std::equal(before.begin(), before.begin() + 2 * pageSize + 2, after.begin()));
    FUZZ_CHECK(onlySet(before, after, 2 * pageSize + 2, 2 + pageSize));
    FUZZ_CHECK(onlySet(before, after, (pages - 5) * pageSize, pageSize));
    if (answered && frame.size() == 2 && frame[0] == 0x30 && response.size() != 1) {
        FUZZ_CHECK(frame[1] < pages && response.size() == 4 * pageSize);
        for (size_t i = 0; i < response.size(); ++i) {
            FUZZ_CHECK(response[i] == after[(frame[1] * pageSize + i) % after.size()]);
        }
    }
    if (answered && frame.size() == 3 && frame[0] == 0x3A && response.size() != 1) {
        FUZZ_CHECK(frame[1] <= frame[2] && frame[2] < pages);
        FUZZ_CHECK(Bytes(after.begin() + frame[1] * pageSize, after.begin() + (frame[2] + 1) * pageSize) == response);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const uint8_t kind = input.byte();
    std::vector<uint8_t> ndef = input.bytes(input.byte() * 4u);
    if (kind & 1) {
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
    } else if (kind & 2) {
        static const size_t Sizes[] = {144, 504, 888};
        const size_t dataAreaSize = Sizes[(kind >> 2) % 3];
        const bool readOnly = kind & 0x80;
        const std::vector<uint8_t> uid = input.bytes(sim::SimType2Tag::UidLength);
        if (uid.size() != sim::SimType2Tag::UidLength) {
            return 0;
        }
        if (ndef.size() > sim::SimType2Tag::ndefCapacity(dataAreaSize)) {
            ndef.resize(sim::SimType2Tag::ndefCapacity(dataAreaSize));
        }
        sim::SimType2Tag tag(uid, dataAreaSize, ndef, readOnly, {});
        while (!input.empty()) {
            const std::vector<uint8_t> frame = input.chunk();
            const std::vector<uint8_t> before = tag.memory();
            std::vector<uint8_t> response;
            const bool answered = tag.answer(frame.empty() ? nullptr : frame.data(), frame.size(), response);
            checkType2Answer(tag, frame, answered, response, before, readOnly);
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
