// DER element headers and a time-stamp token's TSTInfo: any bytes give an answer; an element read
// lies inside the input, and a TSTInfo read fills the input exactly and names a valid UTC time.
#include <vector>

#include "FuzzCheck.h"
#include "NfcDerReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A copy of exactly `size` bytes, so that any read past it is caught.
    std::vector<uint8_t> copy(data, data + size);
    const uint8_t *bytes = copy.empty() ? nullptr : copy.data();
    NfcDer::Element element;
    if (NfcDer::readElement(bytes, copy.size(), element)) {
        FUZZ_CHECK(element.content >= bytes && element.size <= copy.size());
        FUZZ_CHECK(element.content + element.length == bytes + element.size);
        NfcDer::objectIdentifier(element.content, element.length);
    }
    NfcDer::TimeStampInfo info;
    if (!NfcDer::parseTimeStampInfo(bytes, copy.size(), info)) {
        return 0;
    }
    FUZZ_CHECK(!info.imprint.empty() && !info.imprintAlgorithm.empty());
    const NfcDer::UtcTime &t = info.time;
    FUZZ_CHECK(t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31 && t.hour <= 23 && t.minute <= 59 &&
               t.second <= 59 && t.milliseconds >= 0 && t.milliseconds <= 999);
    // The token fills its input: one byte more is no token.
    copy.push_back(0);
    NfcDer::TimeStampInfo longer;
    FUZZ_CHECK(!NfcDer::parseTimeStampInfo(copy.data(), copy.size(), longer));
    return 0;
}
