#include "NfcDriverStatus.h"

#include "korvat_nfc.h"

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

    const uint32_t state = driverStatus & StateMask;
    if (state == StateCardError) {
        note(result, "ERROR! STATUS_CARD_ERROR\n");
        result.status = DRIVER_STATUS_ERROR;
        switch ((driverStatus >> CardErrorShift) & 0x0F) {
        case 1: result.errorCode = KORVAT_NFC_E_CARD_ERROR_1; break;
        case 2: result.errorCode = KORVAT_NFC_E_CARD_ERROR_2; break;
        default: result.errorCode = KORVAT_NFC_E_CARD_ERROR_OTHER; break;
        }
        return result;
    }
    if (state == StateDeviceError) {
        note(result, "ERROR! STATUS_DEVICE_ERROR\n");
        result.status = DRIVER_STATUS_ERROR;
        const uint32_t kind = (driverStatus >> DeviceErrorShift) & 0x0F;
        result.errorCode = (kind >= 1 && kind <= 5) ? KORVAT_NFC_E_DEVICE_ERROR_1 + (kind - 1)
                                                    : KORVAT_NFC_E_DEVICE_ERROR_OTHER;
        return result;
    }
    if (state != 1 && state != 2) {
        note(result, DriverStatusError);
        result.status = DRIVER_STATUS_ERROR;
        result.errorCode = KORVAT_NFC_E_DRIVER_STATUS;
        return result;
    }

    // Later steps overwrite the status of earlier ones; an error code once written stays.
    const bool enabled = (driverStatus & AccessEnabled) != 0;
    const bool waiting = (driverStatus & AccessWaiting) != 0;
    if (enabled && waiting) {
        note(result, DriverStatusError);
        result.status = DRIVER_STATUS_ERROR;
        result.errorCode = KORVAT_NFC_E_DRIVER_STATUS;
    } else if (enabled) {
        result.status = DRIVER_STATUS_ENABLE_ACCESS;
    } else if (waiting) {
        result.status = DRIVER_STATUS_WAITING_ACCESS;
    }

    const bool pollReport = (driverStatus & ConnectReportPollMode) != 0;
    const bool listenReport = (driverStatus & ConnectReportListenMode) != 0;
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
