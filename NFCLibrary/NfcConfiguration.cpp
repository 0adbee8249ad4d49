#include "NfcConfiguration.h"

#include "NfcLogProxy.h"
#include "NfcRegistryList.h"
#include "NfcRegistryValue.h"

// The configuration is read by the library object at initialise, and its trace lines keep the
// library object's source name that the debug log has always shown for them.
static const char NFC_SOURCE_FILE[] = "..\\..\\NFCLibrary\\NfcLibrary.cpp";

void NfcConfiguration::trace(const NfcRegistry::Trouble &trouble)
{
    if (trouble.noValueName) {
        NFC_LOG(0, "ASSERT! : Argument error.\n");
    }
    if (trouble.subkeyNotClosed) {
        NFC_LOG(0, "ASSERT! : RegCloseKey failed.\n");
    }
}

NfcRegistry::ValueState NfcConfiguration::readValue(const char *valueName, std::string &bytes, DWORD *type,
                                                    LONG *error)
{
    NfcRegistry::Trouble trouble;
    const NfcRegistry::ValueState state = NfcRegistry::readValue(valueName, bytes, type, error, &trouble);
    trace(trouble);
    return state;
}

bool NfcConfiguration::readPluginHomeDirectory()
{
    if (!NfcRegistry::openCompanyKey()) {
        return false;
    }
    char directory[NfcRegistry::PathBufferSize] = {0};
    NfcRegistry::Trouble trouble;
    const bool read = NfcRegistry::readRegistryValue(directory, sizeof(directory), "plugins_home_directory", &trouble);
    trace(trouble);
    if (read) {
        m_PluginsHomeDirectory = directory;
    }
    if (!NfcRegistry::closeCompanyKey()) {
        NFC_LOG(0, "ASSERT! : close_registry_key failed.\n");
    }
    return true;
}

// Optional: an administrator may ask for more than the signer's name (see gverify_signature).
// Whatever goes wrong in reading it must never weaken the check: only an absent or empty value
// gives the default.
gverify_signature::SignaturePolicy NfcConfiguration::signaturePolicyFromRegistry()
{
    const gverify_signature::SignaturePolicy strictest = gverify_signature::PolicyChain;
    const char *strictestName = gverify_signature::policyName(strictest);
    std::string bytes;
    DWORD type = 0;
    LONG error = ERROR_SUCCESS;
    NfcRegistry::ValueState state = NfcRegistry::KeyMissing;
    if (NfcRegistry::openCompanyKey()) {
        state = readValue("plugin_signature_policy", bytes, &type, &error);
        if (!NfcRegistry::closeCompanyKey()) {
            NFC_LOG(0, "ASSERT! : close_registry_key failed.\n");
        }
    }
    if (state == NfcRegistry::KeyMissing || state == NfcRegistry::ValueMissing) {
        return gverify_signature::PolicyName;
    }
    if (state == NfcRegistry::ValueUnreadable) {
        NFC_LOG(0, "WARNING! : plugin_signature_policy cannot be read (error %ld), %s is used.\n",
                static_cast<long>(error), strictestName);
        return strictest;
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        NFC_LOG(0, "WARNING! : plugin_signature_policy is not a string (type %lu), %s is used.\n",
                static_cast<unsigned long>(type), strictestName);
        return strictest;
    }
    const std::string text = NfcRegistryValue::text(bytes);
    bool known = true;
    const gverify_signature::SignaturePolicy policy = gverify_signature::parsePolicy(text.c_str(), &known);
    if (!known) {
        NFC_LOG(0, "WARNING! : Unknown plugin_signature_policy(%s), %s is used.\n",
                NfcRegistryValue::printable(text, MaximumPolicyCharactersTraced).c_str(), strictestName);
        return strictest;
    }
    if (!text.empty()) {
        NFC_LOG(0, "INFORMATION! : plugin_signature_policy = %s.\n", gverify_signature::policyName(policy));
    }
    return policy;
}

size_t NfcConfiguration::readList(const char *valueName, size_t mostCharacters, std::vector<std::string> &list)
{
    list.clear();
    if (!NfcRegistry::openCompanyKey()) {
        NFC_LOG(0, "ASSERT! : RegOpenKeyEx failed.\n");
        return 0;
    }
    std::string bytes;
    DWORD type = 0;
    size_t count = 0;
    switch (readValue(valueName, bytes, &type, nullptr)) {
    case NfcRegistry::ValueRead:
        count = NfcRegistryList::parse(NfcRegistryValue::text(bytes), mostCharacters, list);
        break;
    case NfcRegistry::KeyMissing:
        NFC_LOG(0, "ASSERT! : RegOpenKeyEx failed.\n");
        break;
    case NfcRegistry::ValueMissing:
    case NfcRegistry::ValueUnreadable:
        NFC_LOG(0, "ASSERT! : RegQueryValueEx failed.\n");
        break;
    }
    if (!NfcRegistry::closeCompanyKey()) {
        NFC_LOG(0, "ASSERT! : close_registry_key failed.\n");
    }
    return count;
}

void NfcConfiguration::readNameList(const char *valueName, size_t mostCharacters, size_t mostItems,
                                    std::map<uint32_t, std::string> &names)
{
    names.clear();
    std::vector<std::string> items;
    const size_t count = readList(valueName, mostCharacters, items);
    for (size_t i = 0; i < count && i < mostItems; ++i) {
        if (!items[i].empty()) {
            names[static_cast<uint32_t>(i)] = items[i];
        }
    }
}

void NfcConfiguration::readNameLists()
{
    readNameList("category_name_list", MaximumCategoryCharacters, MaximumCategories, m_CategoryNameList);
    readNameList("port_name_list", MaximumPortCharacters, MaximumPorts, m_PortNameList);
}

bool NfcConfiguration::getPortName(uint32_t position, std::string &name) const
{
    if (position >= MaximumPorts) {
        return false;
    }
    auto found = m_PortNameList.find(position);
    if (found == m_PortNameList.end()) {
        return false;
    }
    name = found->second;
    return true;
}

bool NfcConfiguration::readSwitch(const char *valueName)
{
    std::string bytes;
    DWORD type = 0;
    LONG error = ERROR_SUCCESS;
    NfcRegistry::ValueState state = NfcRegistry::KeyMissing;
    if (NfcRegistry::openCompanyKey()) {
        state = readValue(valueName, bytes, &type, &error);
        if (!NfcRegistry::closeCompanyKey()) {
            NFC_LOG(0, "ASSERT! : close_registry_key failed.\n");
        }
    }
    if (state == NfcRegistry::ValueUnreadable) {
        NFC_LOG(0, "WARNING! : %s cannot be read (error %ld); it counts as 0.\n", valueName, static_cast<long>(error));
        return false;
    }
    const NfcRegistryValue::Switch value =
        NfcRegistryValue::switchValue(state == NfcRegistry::ValueRead, static_cast<uint32_t>(type), bytes);
    if (value.odd) {
        if (type == REG_DWORD && bytes.size() == 4) {
            NFC_LOG(0, "WARNING! : %s = %lu is neither 0 nor 1; it counts as 0.\n", valueName,
                    static_cast<unsigned long>(value.number));
        } else {
            NFC_LOG(0, "WARNING! : %s is not a REG_DWORD (type %lu, %lu bytes); it counts as 0.\n", valueName,
                    static_cast<unsigned long>(type), static_cast<unsigned long>(bytes.size()));
        }
        return false;
    }
    if (state == NfcRegistry::ValueRead) {
        NFC_LOG(0, "INFORMATION! : %s = %d.\n", valueName, value.on ? 1 : 0);
    }
    return value.on;
}

void NfcConfiguration::readSwitches()
{
    m_EventNotification = readSwitch("event_notification");
    m_PlugAndPlay = readSwitch("plug_and_play");
}
