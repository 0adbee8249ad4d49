// The fourteen plug-in entry points, in binding order. Adding an entry point means adding one
// line to NFC_PLUGIN_ENTRY_POINTS.
#pragma once

#include "korvat_nfc_plugin.h"

#define NFC_PLUGIN_ENTRY_POINTS(X)          \
    X(gp_open_port_and_transition_nfc_mode) \
    X(gp_close_port)                        \
    X(gp_start_poll_mode)                   \
    X(gp_stop_poll_mode)                    \
    X(gp_start_device_access)               \
    X(gp_stop_device_access)                \
    X(gp_select_device)                     \
    X(gp_deselect_device)                   \
    X(gp_read)                              \
    X(gp_set_timeout)                       \
    X(gp_get_timeout)                       \
    X(gp_get_version_number)                \
    X(gp_get_driver_status)                 \
    X(gp_get_plugin_information)

struct PluginFunctionTable {
#define NFC_DECLARE_ENTRY(name) name##_t name;
    NFC_PLUGIN_ENTRY_POINTS(NFC_DECLARE_ENTRY)
#undef NFC_DECLARE_ENTRY
};

static_assert(sizeof(PluginFunctionTable) == 14 * sizeof(void *), "fourteen entry points");
