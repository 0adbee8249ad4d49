// The library's configuration as initialise reads it from the registry, each step traced: the
// plug-in directory, the category and port name lists, and the signature policy of the signer
// check. The raw reads are NfcRegistry's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "NfcRegistry.h"
#include "gverify_signature.h"

class NfcConfiguration {
public:
    static const size_t MaximumCategories = 256;
    static const size_t MaximumCategoryCharacters = 4096;
    static const size_t MaximumPorts = 32;
    static const size_t MaximumPortCharacters = 512;
    // A longer unknown plugin_signature_policy is traced with its first characters and its length.
    static const size_t MaximumPolicyCharactersTraced = 64;

    // plugins_home_directory (an absent or unreadable value leaves the directory empty); false
    // only when the company key cannot be opened.
    bool readPluginHomeDirectory();
    // category_name_list and port_name_list, each replacing what was read before.
    void readNameLists();
    // The opt-in switches event_notification and plug_and_play (NfcRegistryValue::switchValue),
    // each traced with its value when it is set; an odd value is traced as a warning and is off.
    void readSwitches();
    bool eventNotification() const { return m_EventNotification; }
    bool plugAndPlay() const { return m_PlugAndPlay; }

    const std::string &pluginsHomeDirectory() const { return m_PluginsHomeDirectory; }
    // Listed category names by their position (the category number); empty names are left out.
    const std::map<uint32_t, std::string> &categoryNames() const { return m_CategoryNameList; }
    // The port name listed at position; false when there is none.
    bool getPortName(uint32_t position, std::string &name) const;

    // plugin_signature_policy as initialise reads it (also used by the plug-in checker): absent
    // or empty is the default, the name check alone; a value that cannot be read, is no string
    // or names no known setting is the strictest, chain, with a warning that says so.
    static gverify_signature::SignaturePolicy signaturePolicyFromRegistry();
    // A "," separated list value, using its first mostCharacters characters; the number of items.
    static size_t readList(const char *valueName, size_t mostCharacters, std::vector<std::string> &list);

private:
    static void readNameList(const char *valueName, size_t mostCharacters, size_t mostItems,
                             std::map<uint32_t, std::string> &names);
    static NfcRegistry::ValueState readValue(const char *valueName, std::string &bytes, DWORD *type, LONG *error);
    static void trace(const NfcRegistry::Trouble &trouble);
    static bool readSwitch(const char *valueName);

    std::map<uint32_t, std::string> m_CategoryNameList;
    std::map<uint32_t, std::string> m_PortNameList;
    std::string m_PluginsHomeDirectory;
    bool m_EventNotification = false;
    bool m_PlugAndPlay = false;
};
