// The status byte of PN532 answers (InDataExchange, InSelect, ...) and the plug-in's error
// pair for each error code it can carry.
#pragma once

#include <cstdint>

namespace pn532 {

// (error code, detail code) as the plug-in reports it; code 0: no error.
struct Error {
    uint32_t code = 0;
    uint32_t detail = 0;
};

const uint8_t StatusErrorMask = 0x3F;
const uint8_t StatusMoreInformation = 0x40;
const uint8_t StatusNadPresent = 0x80;

// The pair for a status byte whose error code (bits 5..0) is not 0; the whole byte is kept
// in the detail word.
Error statusError(uint8_t status);

}  // namespace pn532
