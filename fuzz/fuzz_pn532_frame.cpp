// Fuzz target of the PN532 frame reader and the InListPassiveTarget parsers: the bytes a
// reader sends are hostile input. Checks the parsers' own invariants, not only "no crash":
//  - the frames found do not depend on how the bytes are split into reads;
//  - no frame exceeds the reader's maximum, and each re-encodes to bytes that read back alike;
//  - target data that parses re-encodes to exactly the input, and its additional data block
//    has the size the library's layout demands.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "Pn532Frame.h"
#include "ReaderTarget.h"
#include "korvat_nfc_plugin.h"

namespace {

void check(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

bool sameFrames(const std::vector<pn532::Frame> &a, const std::vector<pn532::Frame> &b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].kind != b[i].kind || a[i].tfi != b[i].tfi || a[i].data != b[i].data ||
            a[i].extended != b[i].extended) {
            return false;
        }
    }
    return true;
}

void checkFrames(const uint8_t *data, size_t size)
{
    std::vector<pn532::Frame> whole;
    pn532::FrameReader one;
    one.feed(data, size, whole);

    // The same bytes in pieces whose sizes come from the input itself.
    std::vector<pn532::Frame> pieces;
    pn532::FrameReader many;
    size_t at = 0;
    size_t step = 0;
    while (at < size) {
        const size_t piece = 1 + (data[step++ % size] % 7);
        const size_t n = piece < size - at ? piece : size - at;
        many.feed(data + at, n, pieces);
        at += n;
    }
    check(sameFrames(whole, pieces));

    for (const pn532::Frame &frame : whole) {
        check(frame.data.size() + 1 <= pn532::MaximumFrameDataSize);
        if (frame.kind != pn532::Frame::Kind::Information) {
            continue;
        }
        const std::vector<uint8_t> bytes = pn532::encodeFrame(frame.tfi, frame.data);
        std::vector<pn532::Frame> again;
        pn532::FrameReader reader;
        reader.feed(bytes.data(), bytes.size(), again);
        check(again.size() == 1 && again[0].kind == pn532::Frame::Kind::Information && again[0].tfi == frame.tfi &&
              again[0].data == frame.data);
    }
}

void checkTargets(const uint8_t *data, size_t size)
{
    if (size < 1) {
        return;
    }
    const reader::Modulation modulation = static_cast<reader::Modulation>(data[0] % 4);
    std::vector<reader::ListedTarget> targets;
    if (!reader::parseListedTargets(modulation, data + 1, size - 1, targets)) {
        check(targets.empty());
        return;
    }
    std::vector<uint8_t> encoded{static_cast<uint8_t>(targets.size())};
    for (const reader::ListedTarget &target : targets) {
        const std::vector<uint8_t> one = reader::encodeTargetData(modulation, target);
        encoded.insert(encoded.end(), one.begin(), one.end());
        const std::vector<uint8_t> block = reader::additionalData(target, 7);
        switch (target.cardType) {
        case reader::CardTypeA:
            check(target.nfcid1.size() <= 10);
            check(block.size() == size_t{GP_AD_A_ATS} + block[GP_AD_A_ATS_SIZE]);
            break;
        case reader::CardTypeB:
            check(block.size() == size_t{GP_AD_B_ATTRIB} + block[GP_AD_B_ATTRIB_SIZE]);
            break;
        default:
            check(block.size() == size_t{GP_AD_F_RD} + block[GP_AD_F_RD_SIZE]);
            break;
        }
    }
    check(encoded == std::vector<uint8_t>(data + 1, data + size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    checkFrames(data, size);
    checkTargets(data, size);
    return 0;
}
