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
    static NfcStatusClassification classify(uint32_t driverStatus);

    static const uint32_t StateMask = 0x0000000Fu;
    static const uint32_t StateCardError = 14;
    static const uint32_t StateDeviceError = 15;
    static const uint32_t ConnectReportPollMode = 0x00000040u;
    static const uint32_t ConnectReportListenMode = 0x00000080u;
    static const uint32_t AccessEnabled = 0x00000100u;
    static const uint32_t AccessWaiting = 0x00000200u;
    static const unsigned CardErrorShift = 20;
    static const unsigned DeviceErrorShift = 24;
};
