#include "NfcErrorCodes.h"

namespace {

#define KORVAT_NFC_ERROR_ENTRY(name) {name, #name},
const NfcErrorCode ErrorCodes[] = {KORVAT_NFC_ERROR_CODE_LIST(KORVAT_NFC_ERROR_ENTRY)};
#undef KORVAT_NFC_ERROR_ENTRY

const size_t ErrorCodeCount = sizeof(ErrorCodes) / sizeof(ErrorCodes[0]);

}  // namespace

const NfcErrorCode *NfcErrorCodes::find(uint32_t code)
{
    for (const NfcErrorCode &entry : ErrorCodes) {
        if (entry.code == code) {
            return &entry;
        }
    }
    return nullptr;
}

const NfcErrorCode *NfcErrorCodes::all(size_t &count)
{
    count = ErrorCodeCount;
    return ErrorCodes;
}
