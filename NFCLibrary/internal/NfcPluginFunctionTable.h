// The fourteen plug-in entry points, in binding order, as GP_ENTRY_POINTS of the plug-in header
// lists them: adding an entry point means adding it there.
#pragma once

#include "korvat_nfc_plugin.h"

struct PluginFunctionTable {
#define NFC_DECLARE_ENTRY(name, parameters, arguments) name##_t name;
    GP_ENTRY_POINTS(NFC_DECLARE_ENTRY)
#undef NFC_DECLARE_ENTRY
};

static_assert(sizeof(PluginFunctionTable) == 14 * sizeof(void *), "fourteen entry points");

// The optional entry points (GP_OPTIONAL_ENTRY_POINTS), null where a plug-in lacks one.
struct PluginOptionalTable {
#define NFC_DECLARE_ENTRY(name, parameters, arguments) name##_t name;
    GP_OPTIONAL_ENTRY_POINTS(NFC_DECLARE_ENTRY)
#undef NFC_DECLARE_ENTRY
};
