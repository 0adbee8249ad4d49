#include "NfcPluginWrapper.h"

#include <cstring>

#include "NfcLogProxy.h"
#include "korvat_nfc.h"

static const char NFC_SOURCE_FILE[] = "..\\..\\NFCLibrary\\NfcPluginWrapper.cpp";

namespace {

// The one rule of every forwarded call; the error record is always the entry's last argument.
template <typename Entry, typename... Args>
bool forward(Entry entry, ErrorInfo *error, Args... args)
{
    if (error == nullptr) {
        return false;
    }
    if (entry == nullptr) {
        NFC_LOG(0, "ERROR! PluginFuncPtr = NULL\n");
        error->error_code = KORVAT_NFC_E_PLUGIN_FUNCTION_MISSING;
        return false;
    }
    return entry(args..., error) != 0;
}

} // namespace

NfcPluginWrapper::NfcPluginWrapper()
{
    clearFunctionTable();
}

NfcPluginWrapper::~NfcPluginWrapper()
{
    clearFunctionTable();
}

void NfcPluginWrapper::setFunctionTable(const PluginFunctionTable &table)
{
    m_Functions = table;
}

void NfcPluginWrapper::clearFunctionTable()
{
    std::memset(&m_Functions, 0, sizeof(m_Functions));
}

bool NfcPluginWrapper::openPortAndTransitionNfcMode(const char *port_name, ErrorInfo *error)
{
    return forward(m_Functions.gp_open_port_and_transition_nfc_mode, error, port_name);
}

bool NfcPluginWrapper::closePort(ErrorInfo *error)
{
    return forward(m_Functions.gp_close_port, error);
}

bool NfcPluginWrapper::startPollMode(uint32_t target_device, ErrorInfo *error)
{
    return forward(m_Functions.gp_start_poll_mode, error, target_device);
}

bool NfcPluginWrapper::stopPollMode(ErrorInfo *error)
{
    return forward(m_Functions.gp_stop_poll_mode, error);
}

bool NfcPluginWrapper::startDeviceAccess(uint32_t target_number, ErrorInfo *error)
{
    return forward(m_Functions.gp_start_device_access, error, target_number);
}

bool NfcPluginWrapper::stopDeviceAccess(uint32_t stop_mode, ErrorInfo *error)
{
    return forward(m_Functions.gp_stop_device_access, error, stop_mode);
}

bool NfcPluginWrapper::selectDevice(ErrorInfo *error)
{
    return forward(m_Functions.gp_select_device, error);
}

bool NfcPluginWrapper::deselectDevice(ErrorInfo *error)
{
    return forward(m_Functions.gp_deselect_device, error);
}

bool NfcPluginWrapper::read(const uint8_t *command_packet_data, uint32_t command_packet_data_length,
                            uint8_t *response_packet_data, uint16_t *response_packet_data_length, ErrorInfo *error)
{
    return forward(m_Functions.gp_read, error, command_packet_data, command_packet_data_length, response_packet_data,
                   response_packet_data_length);
}

bool NfcPluginWrapper::setTimeout(int32_t timeout, ErrorInfo *error)
{
    return forward(m_Functions.gp_set_timeout, error, timeout);
}

bool NfcPluginWrapper::getTimeout(int32_t *timeout, ErrorInfo *error)
{
    return forward(m_Functions.gp_get_timeout, error, timeout);
}

bool NfcPluginWrapper::getDriverStatus(uint32_t *DriverStatus, uint32_t *PollModeCardType,
                                       uint32_t *ListenModeCardType, uint32_t *AdditionalDataSize,
                                       uint8_t **AdditionalData, ErrorInfo *error)
{
    return forward(m_Functions.gp_get_driver_status, error, DriverStatus, PollModeCardType, ListenModeCardType,
                   AdditionalDataSize, AdditionalData);
}
