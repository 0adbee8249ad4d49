// The PN532's command language as every reader built on the chip speaks it: on a serial line
// (the PN532 reader's frames) and inside a PC/SC reader that passes the chip's commands through
// a pseudo-APDU. Frame identifiers, command codes and the bits of an answer's status byte.
#pragma once

#include <cstdint>

namespace pn532 {

// Frame identifiers (TFI).
const uint8_t HostToChip = 0xD4;
const uint8_t ChipToHost = 0xD5;

// Command codes.
enum Command : uint8_t {
    Diagnose = 0x00,
    GetFirmwareVersion = 0x02,
    SetParameters = 0x12,
    SamConfiguration = 0x14,
    PowerDown = 0x16,
    RfConfiguration = 0x32,
    InDataExchange = 0x40,
    InDeselect = 0x44,
    InListPassiveTarget = 0x4A,
    InRelease = 0x52,
    InSelect = 0x54,
};

// The status byte of answers (InDataExchange, InSelect, ...): error code in bits 5..0.
const uint8_t StatusErrorMask = 0x3F;
const uint8_t StatusMoreInformation = 0x40;
const uint8_t StatusNadPresent = 0x80;

}  // namespace pn532
