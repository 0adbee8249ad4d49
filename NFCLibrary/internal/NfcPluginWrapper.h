// Entry table of the plug-in that serves the open port, and the forwarding calls through it.
// Every call: a null error record fails quietly; a null entry is traced, writes
// KORVAT_NFC_E_PLUGIN_FUNCTION_MISSING into the code word and fails; otherwise the plug-in's
// answer is returned unchanged. The parameters of each call are the entry point's own
// (GP_ENTRY_POINTS in the plug-in header); the error record is always the last.
#pragma once

#include <cstdint>
#include <tuple>

#include "NfcPluginFunctionTable.h"

// The library's name of each forwarded entry point. gp_get_version_number and
// gp_get_plugin_information are called only while loading, from the loader's own table.
#define NFC_WRAPPER_FORWARDERS(X)                                   \
    X(openPortAndTransitionNfcMode, gp_open_port_and_transition_nfc_mode) \
    X(closePort, gp_close_port)                                     \
    X(startPollMode, gp_start_poll_mode)                            \
    X(stopPollMode, gp_stop_poll_mode)                              \
    X(startDeviceAccess, gp_start_device_access)                    \
    X(stopDeviceAccess, gp_stop_device_access)                      \
    X(selectDevice, gp_select_device)                               \
    X(deselectDevice, gp_deselect_device)                           \
    X(read, gp_read)                                                \
    X(setTimeout, gp_set_timeout)                                   \
    X(getTimeout, gp_get_timeout)                                   \
    X(getDriverStatus, gp_get_driver_status)

class NfcPluginWrapper {
public:
    NfcPluginWrapper();
    virtual ~NfcPluginWrapper();

#define NFC_DECLARE_FORWARDER(method, entry)                 \
    template <typename... Args>                              \
    bool method(Args... arguments)                           \
    {                                                        \
        return forward(m_Functions.entry, arguments...);     \
    }
    NFC_WRAPPER_FORWARDERS(NFC_DECLARE_FORWARDER)
#undef NFC_DECLARE_FORWARDER

    // The status entry itself, for the notification thread's call (NfcStatusCall); null when
    // no port is open.
    gp_get_driver_status_t driverStatusEntry() const { return m_Functions.gp_get_driver_status; }

    // The optional entry points of the open port's plug-in (null where it lacks one, and when
    // no port is open).
    gp_set_status_event_t statusEventEntry() const { return m_Optional.gp_set_status_event; }

    void setFunctionTable(const PluginFunctionTable &table);
    void setOptionalTable(const PluginOptionalTable &table);
    // Clears both tables.
    void clearFunctionTable();

private:
    // The one rule of every forwarded call.
    template <typename Entry, typename... Args>
    static bool forward(Entry entry, Args... arguments)
    {
        ErrorInfo *error = std::get<sizeof...(Args) - 1>(std::make_tuple(arguments...));
        if (error == nullptr) {
            return false;
        }
        if (entry == nullptr) {
            reportMissingEntry(error);
            return false;
        }
        return entry(arguments...) != 0;
    }
    static void reportMissingEntry(ErrorInfo *error);

    PluginFunctionTable m_Functions;
    PluginOptionalTable m_Optional;
};
