// The status byte of PN532 answers (InDataExchange, InSelect, ...) and the plug-in's error
// pair for each error code it can carry.
#pragma once

#include <cstdint>

#include "Pn532Commands.h"
#include "ReaderError.h"

namespace pn532 {

// (error code, detail code) as the plug-in reports it: the readers' pair.
using Error = reader::Error;

// The pair for a status byte whose error code (bits 5..0) is not 0; the whole byte is kept
// in the detail word.
Error statusError(uint8_t status);

}  // namespace pn532
