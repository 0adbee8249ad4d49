// The simulator's tag models answering any command: a Type 4 Tag answers every APDU with a
// status word and at most MLe (0x80) data bytes; a Type 3 Tag answers with a frame whose length
// byte is its length, or not at all; no answer is longer than the plug-in documents. Writable
// Type 4 and Type 3 Tags change only through an accepted UPDATE BINARY or Write Without
// Encryption, exactly the bytes it carries, and never change size; read only ones never change.
// A Type 2 Tag (formatted or blank) reads back what its memory holds, changes nothing when it
// refuses or ignores a frame, never changes its UID, only ever sets lock bits and capability
// container bits, and a read only one never changes at all.
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
                      const Bytes &before, bool readOnly, bool image)
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
    if (!image) {
        FUZZ_CHECK(onlySet(before, after, (pages - 5) * pageSize, pageSize));  // the dynamic lock bytes
    }
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

void checkType3Answer(const sim::SimType3Tag &tag, const Bytes &frame, bool answered, const Bytes &response,
                      const Bytes &before, bool writable)
{
    const Bytes &after = tag.blocks();
    if (answered) {
        FUZZ_CHECK(!response.empty() && response.size() <= SIM_MAXIMUM_RESPONSE_SIZE && response[0] == response.size());
    } else {
        FUZZ_CHECK(response.empty());
    }
    FUZZ_CHECK(after.size() == before.size());
    const bool written = writable && answered && frame[1] == 0x08 && response.size() == 12 && response[10] == 0 &&
                         response[11] == 0;
    if (!written) {
        FUZZ_CHECK(after == before);
        return;
    }
    // The block list ends 16 bytes per block before the frame's end; each block holds its data.
    const size_t blocks = frame[11 + 2 * frame[10]];
    const size_t dataStart = frame.size() - blocks * sim::SimType3Tag::BlockSize;
    size_t position = 12 + 2 * frame[10];
    Bytes expected = before;
    for (size_t i = 0; i < blocks; ++i) {
        const bool shortForm = frame[position] & 0x80;
        const size_t number = shortForm ? frame[position + 1] : frame[position + 1] | frame[position + 2] << 8;
        position += shortForm ? 2 : 3;
        FUZZ_CHECK((number + 1) * sim::SimType3Tag::BlockSize <= expected.size());
        std::copy(frame.begin() + dataStart + i * sim::SimType3Tag::BlockSize,
                  frame.begin() + dataStart + (i + 1) * sim::SimType3Tag::BlockSize,
                  expected.begin() + number * sim::SimType3Tag::BlockSize);
    }
    FUZZ_CHECK(position == dataStart);
    FUZZ_CHECK(after == expected);
}

void checkType4Answer(const sim::SimType4Tag &tag, const Bytes &apdu, const Bytes &response, const Bytes &before,
                      bool writable)
{
    const Bytes &after = tag.ndefFile();
    FUZZ_CHECK(response.size() >= 2 && response.size() <= SIM_MAXIMUM_RESPONSE_SIZE);
    FUZZ_CHECK(after.size() == before.size());
    const bool ok = response[response.size() - 2] == 0x90 && response[response.size() - 1] == 0x00;
    if (!(writable && ok && apdu.size() > 5 && apdu[1] == 0xD6)) {
        FUZZ_CHECK(after == before);
        return;
    }
    const size_t offset = static_cast<size_t>(apdu[2] << 8 | apdu[3]);
    FUZZ_CHECK(apdu[4] <= sim::SimType4Tag::MaximumUpdateLength && apdu.size() == 5u + apdu[4]);
    FUZZ_CHECK(offset + apdu[4] <= after.size());
    Bytes expected = before;
    std::copy(apdu.begin() + 5, apdu.end(), expected.begin() + offset);
    FUZZ_CHECK(after == expected);
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
        const bool writable = kind & 0x40;
        const size_t capacity = std::max<size_t>(ndef.size(), sim::SimType3Tag::SmallestWritableCapacity + input.byte() * 4u);
        sim::SimType3Tag tag = writable ? sim::SimType3Tag(idm, Bytes(8, 0x11), {0x12, 0xFC}, ndef, capacity)
                                        : sim::SimType3Tag(idm, Bytes(8, 0x11), {0x12, 0xFC}, ndef);
        while (!input.empty()) {
            const std::vector<uint8_t> frame = input.chunk();
            const Bytes before = tag.blocks();
            std::vector<uint8_t> response;
            const bool answered = tag.answer(frame.empty() ? nullptr : frame.data(), frame.size(), response);
            checkType3Answer(tag, frame, answered, response, before, writable);
        }
    } else if (kind & 2) {
        static const size_t Sizes[] = {144, 504, 888};
        const size_t dataAreaSize = Sizes[(kind >> 2) % 3];
        const bool readOnly = kind & 0x80;
        const bool blank = !readOnly && (kind & 0x40);
        const std::vector<uint8_t> uid = input.bytes(sim::SimType2Tag::UidLength);
        if (uid.size() != sim::SimType2Tag::UidLength) {
            return 0;
        }
        if (ndef.size() > sim::SimType2Tag::ndefCapacity(dataAreaSize)) {
            ndef.resize(sim::SimType2Tag::ndefCapacity(dataAreaSize));
        }
        // An image tag: the message bytes as its capability container and data area.
        const bool image = !readOnly && !blank && (kind & 0x10) && ndef.size() >= 2 * sim::SimType2Tag::PageSize;
        sim::SimType2Tag tag = image   ? sim::SimType2Tag::imageTag(uid, ndef, {})
                               : blank ? sim::SimType2Tag::blankTag(uid, dataAreaSize, {})
                                       : sim::SimType2Tag(uid, dataAreaSize, ndef, readOnly, {});
        // A strict tag answers nothing more once it went IDLE (no reset comes here).
        const bool strict = (kind & 0x20) != 0;
        tag.setStrict(strict);
        bool idle = false;
        while (!input.empty()) {
            const std::vector<uint8_t> frame = input.chunk();
            const std::vector<uint8_t> before = tag.memory();
            std::vector<uint8_t> response;
            const bool answered = tag.answer(frame.empty() ? nullptr : frame.data(), frame.size(), response);
            checkType2Answer(tag, frame, answered, response, before, readOnly, image);
            if (idle) {
                FUZZ_CHECK(!answered && tag.memory() == before);
            }
            idle = idle || (strict && !answered);
            FUZZ_CHECK(!strict || !answered || response.size() != 1 || response[0] == sim::SimType2Tag::Ack);
        }
    } else {
        const bool writable = kind & 0x40;
        const size_t fileSize = std::max<size_t>(ndef.size() + 2, sim::SimType4Tag::SmallestWritableFileSize + input.byte() * 4u);
        sim::SimType4Tag tag = writable ? sim::SimType4Tag(ndef, fileSize) : sim::SimType4Tag(ndef);
        while (!input.empty()) {
            const std::vector<uint8_t> apdu = input.chunk();
            const Bytes before = tag.ndefFile();
            const std::vector<uint8_t> response = tag.answer(apdu.empty() ? nullptr : apdu.data(), apdu.size());
            checkType4Answer(tag, apdu, response, before, writable);
        }
    }
    return 0;
}
