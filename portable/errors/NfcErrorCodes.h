// The error codes of the library and of the tag library by name. The values and their one-line
// meanings are those of the public headers (korvat_nfc.h, korvat_nfc_tags.h), which an
// application reads; this list adds the names, for programs that print a code (the demo), and
// the native tests check that the headers, this list and the README's tables agree code for code.
#pragma once

#include <cstddef>
#include <cstdint>

#include "korvat_nfc.h"
#include "korvat_nfc_tags.h"

// X(name): every KORVAT_NFC_E_ code of korvat_nfc.h, then every KORVAT_TAGS_E_ code of
// korvat_nfc_tags.h, in ascending order.
#define KORVAT_NFC_ERROR_CODE_LIST(X)        \
    X(KORVAT_NFC_E_INVALID_ARGUMENT)         \
    X(KORVAT_NFC_E_NOT_IMPLEMENTED)          \
    X(KORVAT_NFC_E_OUT_OF_MEMORY)            \
    X(KORVAT_NFC_E_NOT_INITIALIZED)          \
    X(KORVAT_NFC_E_INVALID_PORT_LIST)        \
    X(KORVAT_NFC_E_UNSUPPORTED_CATEGORY)     \
    X(KORVAT_NFC_E_PLUGIN_HOME_DIRECTORY)    \
    X(KORVAT_NFC_E_PLUGIN_FUNCTION_MISSING)  \
    X(KORVAT_NFC_E_NO_PLUGIN)                \
    X(KORVAT_NFC_E_THREAD_CREATE)            \
    X(KORVAT_NFC_E_PORT_NOT_OPEN)            \
    X(KORVAT_NFC_E_NO_CALLBACK_PARAM)        \
    X(KORVAT_NFC_E_REGISTER_MESSAGE)         \
    X(KORVAT_NFC_E_ALREADY_INITIALIZED)      \
    X(KORVAT_NFC_E_PORT_OPEN)                \
    X(KORVAT_NFC_E_DRIVER_STATUS)            \
    X(KORVAT_NFC_E_UNSUPPORTED_TARGET)       \
    X(KORVAT_NFC_E_PROCESS_EXITING)          \
    X(KORVAT_NFC_E_NO_EVENT)                 \
    X(KORVAT_NFC_E_BUFFER_TOO_SMALL)         \
    X(KORVAT_NFC_E_CARD_ERROR_1)             \
    X(KORVAT_NFC_E_CARD_ERROR_2)             \
    X(KORVAT_NFC_E_CARD_ERROR_OTHER)         \
    X(KORVAT_NFC_E_DEVICE_ERROR_1)           \
    X(KORVAT_NFC_E_DEVICE_ERROR_2)           \
    X(KORVAT_NFC_E_DEVICE_ERROR_3)           \
    X(KORVAT_NFC_E_DEVICE_ERROR_4)           \
    X(KORVAT_NFC_E_DEVICE_ERROR_5)           \
    X(KORVAT_NFC_E_DEVICE_ERROR_OTHER)       \
    X(KORVAT_NFC_E_LOG_RELATIVE_PATH)        \
    X(KORVAT_NFC_E_LOG_FILE_MISSING)         \
    X(KORVAT_NFC_E_LOG_FILE_OPEN)            \
    X(KORVAT_TAGS_E_INVALID_ARGUMENT)        \
    X(KORVAT_TAGS_E_UNSUPPORTED_TARGET)      \
    X(KORVAT_TAGS_E_NOT_NDEF_FORMATTED)      \
    X(KORVAT_TAGS_E_READ_ONLY)               \
    X(KORVAT_TAGS_E_TOO_LARGE)               \
    X(KORVAT_TAGS_E_REFUSED)                 \
    X(KORVAT_TAGS_E_INVALID_TAG)             \
    X(KORVAT_TAGS_E_BUFFER_TOO_SMALL)        \
    X(KORVAT_TAGS_E_INVALID_NDEF)            \
    X(KORVAT_TAGS_E_NO_SUCH_RECORD)          \
    X(KORVAT_TAGS_E_WRONG_RECORD_TYPE)       \
    X(KORVAT_TAGS_E_MAIN_LIBRARY_NOT_FOUND)

struct NfcErrorCode {
    uint32_t code;
    const char *name;
};

class NfcErrorCodes {
public:
    // The entry of a library code; null for any other value (a plug-in's own code, for example).
    static const NfcErrorCode *find(uint32_t code);
    // The whole list, in ascending order of code.
    static const NfcErrorCode *all(size_t &count);
};
