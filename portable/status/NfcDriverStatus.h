// Classification of the reader's DriverStatus word into the notification thread's status.
// Pure code: no platform calls, every 32-bit word is a valid input.
#pragma once

#include <cstdint>

enum NfcDriverStatusValue {
    DRIVER_STATUS_NONE = 0,
    DRIVER_STATUS_FIND = 1,
    DRIVER_STATUS_ENABLE_ACCESS = 3,
    DRIVER_STATUS_WAITING_ACCESS = 4,
    DRIVER_STATUS_ERROR = 5,
};

struct NfcStatusClassification {
    int status;                 // one of NfcDriverStatusValue
    uint32_t errorCode;         // code to write into the cycle's error word; 0 = nothing written
    const char *messages[2];    // level-0 trace lines, in the order they are written
    int messageCount;
};

class NfcDriverStatus {
public:
    // The bits of the word are those of the plug-in interface (GP_* in korvat_nfc_plugin.h).
    static NfcStatusClassification classify(uint32_t driverStatus);
    // A card error that is the departure of the last target found (GP_TARGET_DEPARTED).
    static bool departed(uint32_t driverStatus);
    // The number of the departed target: the one the plug-in's data names (GP_AD_TARGET_NUMBER,
    // when size reaches past it), else lastFound. False when neither is known (no data and
    // hasLastFound false).
    static bool departedTarget(const uint8_t *data, uint32_t size, bool hasLastFound, uint32_t lastFound,
                               uint32_t &number);
};
