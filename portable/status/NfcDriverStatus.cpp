#include "NfcDriverStatus.h"

#include "korvat_nfc.h"
#include "korvat_nfc_plugin.h"

namespace {

const char DriverStatusError[] = "ERROR! KORVAT_NFC_E_DRIVER_STATUS\n";

void note(NfcStatusClassification &result, const char *message)
{
    if (result.messageCount < 2) {
        result.messages[result.messageCount++] = message;
    }
}

} // namespace

NfcStatusClassification NfcDriverStatus::classify(uint32_t driverStatus)
{
    NfcStatusClassification result = {DRIVER_STATUS_NONE, 0, {nullptr, nullptr}, 0};

    const uint32_t state = driverStatus & GP_STATUS_STATE_MASK;
    if (state == GP_STATUS_CARD_ERROR) {
        note(result, "ERROR! STATUS_CARD_ERROR\n");
        result.status = DRIVER_STATUS_ERROR;
        switch ((driverStatus & GP_CARD_ERROR_DETAIL_MASK) >> GP_CARD_ERROR_DETAIL_SHIFT) {
        case 1: result.errorCode = KORVAT_NFC_E_CARD_ERROR_1; break;
        case 2: result.errorCode = KORVAT_NFC_E_CARD_ERROR_2; break;
        default: result.errorCode = KORVAT_NFC_E_CARD_ERROR_OTHER; break;
        }
        return result;
    }
    if (state == GP_STATUS_DEVICE_ERROR) {
        note(result, "ERROR! STATUS_DEVICE_ERROR\n");
        result.status = DRIVER_STATUS_ERROR;
        const uint32_t kind = (driverStatus & GP_DEVICE_ERROR_DETAIL_MASK) >> GP_DEVICE_ERROR_DETAIL_SHIFT;
        result.errorCode = (kind >= 1 && kind <= 5) ? KORVAT_NFC_E_DEVICE_ERROR_1 + (kind - 1)
                                                    : KORVAT_NFC_E_DEVICE_ERROR_OTHER;
        return result;
    }
    if (state != GP_STATUS_STATE_IDLE && state != GP_STATUS_STATE_ACTIVE) {
        note(result, DriverStatusError);
        result.status = DRIVER_STATUS_ERROR;
        result.errorCode = KORVAT_NFC_E_DRIVER_STATUS;
        return result;
    }

    // Later steps overwrite the status of earlier ones; an error code once written stays.
    const bool enabled = (driverStatus & GP_ACCESS_ENABLED) != 0;
    const bool waiting = (driverStatus & GP_ACCESS_WAITING) != 0;
    if (enabled && waiting) {
        note(result, DriverStatusError);
        result.status = DRIVER_STATUS_ERROR;
        result.errorCode = KORVAT_NFC_E_DRIVER_STATUS;
    } else if (enabled) {
        result.status = DRIVER_STATUS_ENABLE_ACCESS;
    } else if (waiting) {
        result.status = DRIVER_STATUS_WAITING_ACCESS;
    }

    const bool pollReport = (driverStatus & GP_CONNECT_REPORT_POLL_MODE) != 0;
    const bool listenReport = (driverStatus & GP_CONNECT_REPORT_LISTEN_MODE) != 0;
    if (pollReport && listenReport) {
        note(result, DriverStatusError);
        result.errorCode = KORVAT_NFC_E_DRIVER_STATUS;
        result.status = DRIVER_STATUS_ERROR;
    } else if (pollReport) {
        result.status = DRIVER_STATUS_FIND;
    } else if (listenReport) {
        note(result, "ERROR! Connect report. CONNECT_REPORT_LISTEN_MODE\n");
        result.status = DRIVER_STATUS_ERROR;
    }
    return result;
}

bool NfcDriverStatus::departed(uint32_t driverStatus)
{
    return (driverStatus & GP_STATUS_STATE_MASK) == GP_STATUS_CARD_ERROR && (driverStatus & GP_TARGET_DEPARTED) != 0;
}

bool NfcDriverStatus::departedTarget(const uint8_t *data, uint32_t size, bool hasLastFound, uint32_t lastFound,
                                     uint32_t &number)
{
    if (data != nullptr && size >= GP_AD_TARGET_NUMBER + 4) {
        number = 0;
        for (uint32_t i = 0; i < 4; ++i) {
            number |= static_cast<uint32_t>(data[GP_AD_TARGET_NUMBER + i]) << (8 * i);
        }
        return true;
    }
    if (hasLastFound) {
        number = lastFound;
        return true;
    }
    return false;
}
