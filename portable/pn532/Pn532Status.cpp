#include "Pn532Status.h"

#include "Pn532ErrorCodes.h"

namespace pn532 {

Error statusError(uint8_t status)
{
    Error error;
    error.detail = status;
    switch (status & StatusErrorMask) {
    case 0x01:
        error.code = PN532_E_CARD_NO_ANSWER;
        break;
    case 0x02: case 0x03: case 0x04: case 0x05: case 0x06: case 0x0A: case 0x0B:
    case 0x12: case 0x13: case 0x23: case 0x25: case 0x2A: case 0x2C: case 0x2E:
        error.code = PN532_E_CARD_TRANSMISSION;
        break;
    case 0x10: case 0x26: case 0x27:
        error.code = PN532_E_CHIP_REFUSED;
        break;
    case 0x29: case 0x2B:
        error.code = PN532_E_TARGET_RELEASED;
        break;
    case 0x14:
        error.code = PN532_E_AUTHENTICATION;
        break;
    default:  // 07, 09, 0D, 0E, 2D and codes the chip does not define
        error.code = PN532_E_CHIP_ERROR;
        break;
    }
    return error;
}

}  // namespace pn532
