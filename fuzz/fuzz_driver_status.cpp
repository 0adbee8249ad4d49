// Driver status words: every word is classified, with at most two trace lines and an error code
// only where the rules give one.
#include "FuzzCheck.h"
#include "NfcDriverStatus.h"
#include "korvat_nfc.h"
#include "korvat_nfc_plugin.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const uint32_t word = input.word();
    const NfcStatusClassification result = NfcDriverStatus::classify(word);
    FUZZ_CHECK(result.messageCount >= 0 && result.messageCount <= 2);
    for (int i = 0; i < result.messageCount; ++i) {
        FUZZ_CHECK(result.messages[i] != nullptr);
    }
    FUZZ_CHECK(result.status == DRIVER_STATUS_NONE || result.status == DRIVER_STATUS_FIND ||
               result.status == DRIVER_STATUS_ENABLE_ACCESS || result.status == DRIVER_STATUS_WAITING_ACCESS ||
               result.status == DRIVER_STATUS_ERROR);
    // A trace line for every error; the ignored bits change nothing.
    FUZZ_CHECK(result.errorCode == 0 || result.messageCount > 0);
    const NfcStatusClassification plain = NfcDriverStatus::classify(word & ~0xF00FFC30u);
    FUZZ_CHECK(plain.status == result.status && plain.errorCode == result.errorCode);
    const uint32_t state = word & GP_STATUS_STATE_MASK;
    if (state == GP_STATUS_CARD_ERROR) {
        FUZZ_CHECK(result.errorCode >= KORVAT_NFC_E_CARD_ERROR_1 && result.errorCode <= KORVAT_NFC_E_CARD_ERROR_OTHER);
    } else if (state == GP_STATUS_DEVICE_ERROR) {
        FUZZ_CHECK(result.errorCode >= KORVAT_NFC_E_DEVICE_ERROR_1 &&
                   result.errorCode <= KORVAT_NFC_E_DEVICE_ERROR_OTHER);
    } else {
        FUZZ_CHECK(result.errorCode == 0 || result.errorCode == KORVAT_NFC_E_DRIVER_STATUS);
    }
    return 0;
}
