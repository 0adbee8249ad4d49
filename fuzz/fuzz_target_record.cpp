// A found target's additional data: any card type, any bytes, any size. A block accepted by the
// check decodes into a record of exactly the announced size whose fields are the block's.
#include <cstring>
#include <vector>

#include "FuzzCheck.h"
#include "NfcTargetDecoder.h"
#include "korvat_nfc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const uint32_t cardType = input.byte() & 0x0F;
    const std::vector<uint8_t> block = input.rest();  // its own allocation: ASan sees its end
    const uint8_t *bytes = block.empty() ? nullptr : block.data();
    const NfcTargetCheck check = NfcTargetDecoder::check(cardType, bytes, static_cast<uint32_t>(block.size()));
    if (!NfcTargetDecoder::hasRecord(cardType)) {
        FUZZ_CHECK(check == NfcTargetCheck::UnsupportedType);
        return 0;
    }
    if (check != NfcTargetCheck::Valid) {
        return 0;
    }
    const size_t recordSize = NfcTargetDecoder::recordSize(cardType, bytes);
    const size_t blockSize = NfcTargetDecoder::blockSize(cardType, bytes);
    FUZZ_CHECK(recordSize <= blockSize);
    // Record = fixed part + the same variable part as the block: the sizes add up.
    const size_t fixedPart = cardType == 1 ? 25 : cardType == 8 ? 23 : 27;
    FUZZ_CHECK(block.size() >= fixedPart);
    const size_t variable = block.size() - fixedPart;
    FUZZ_CHECK(recordSize == (cardType == 1 ? 23 : cardType == 8 ? 21 : 29) + variable);
    std::vector<uint8_t> record(blockSize);
    NfcTargetDecoder::fill(cardType, bytes, record.data());
    uint32_t device, number;
    std::memcpy(&device, record.data(), 4);
    FUZZ_CHECK(device == cardType);
    std::memcpy(&number, record.data() + (cardType == 2 || cardType == 4 ? 8 : 4), 4);
    FUZZ_CHECK(number == NfcTargetDecoder::targetNumber(bytes));
    // The variable part is the block's tail, unchanged.
    FUZZ_CHECK(std::memcmp(record.data() + recordSize - variable, block.data() + block.size() - variable, variable) == 0);
    return 0;
}
