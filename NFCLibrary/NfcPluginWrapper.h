// Entry table of the plug-in that serves the open port, and the forwarding calls through it.
// Every call: a null error record fails quietly; a null entry is traced, writes
// KORVAT_NFC_E_PLUGIN_FUNCTION_MISSING into the code word and fails; otherwise the plug-in's
// answer is returned unchanged.
#pragma once

#include <cstdint>

#include "NfcPluginFunctionTable.h"

class NfcPluginWrapper {
public:
    NfcPluginWrapper();
    virtual ~NfcPluginWrapper();

    bool openPortAndTransitionNfcMode(const char *port_name, ErrorInfo *error);
    bool closePort(ErrorInfo *error);
    bool startPollMode(uint32_t target_device, ErrorInfo *error);
    bool stopPollMode(ErrorInfo *error);
    bool startDeviceAccess(uint32_t target_number, ErrorInfo *error);
    bool stopDeviceAccess(uint32_t stop_mode, ErrorInfo *error);
    bool selectDevice(ErrorInfo *error);
    bool deselectDevice(ErrorInfo *error);
    bool read(const uint8_t *command_packet_data, uint32_t command_packet_data_length, uint8_t *response_packet_data,
              uint16_t *response_packet_data_length, ErrorInfo *error);
    bool setTimeout(int32_t timeout, ErrorInfo *error);
    bool getTimeout(int32_t *timeout, ErrorInfo *error);
    bool getDriverStatus(uint32_t *DriverStatus, uint32_t *PollModeCardType, uint32_t *ListenModeCardType,
                         uint32_t *AdditionalDataSize, uint8_t **AdditionalData, ErrorInfo *error);

    void setFunctionTable(const PluginFunctionTable &table);
    void clearFunctionTable();

private:
    PluginFunctionTable m_Functions;
};
