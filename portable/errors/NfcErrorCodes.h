// The library's error codes by name. The values and their one-line meanings are those of the
// public header (korvat_nfc.h), which an application reads; this list adds the names, for
// programs that print a code (the demo), and the native tests check that the header, this list
// and the README's table agree code for code.
#pragma once

#include <cstddef>
#include <cstdint>

#include "korvat_nfc.h"

// X(name): every KORVAT_NFC_E_ code of korvat_nfc.h, in ascending order.
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
    X(KORVAT_NFC_E_LOG_FILE_OPEN)

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
