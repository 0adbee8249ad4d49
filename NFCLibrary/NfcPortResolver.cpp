#include "NfcPortResolver.h"

#include <cstring>
#include <string>

#include "NfcLogProxy.h"
#include "korvat_nfc.h"

// The ports are opened by the library object, and these trace lines keep the library object's
// source name that the debug log has always shown for them.
static const char NFC_SOURCE_FILE[] = "..\\..\\NFCLibrary\\NfcLibrary.cpp";

NfcPortResolver::NfcPortResolver(const NfcConfiguration &configuration, NfcPluginLoader &loader,
                                 NfcPluginWrapper &wrapper, ErrorInfo &error)
    : m_Configuration(configuration), m_PluginLoader(loader), m_PluginWrapper(wrapper), m_ErrorInfo(error)
{
}

void NfcPortResolver::setError(uint32_t code)
{
    m_ErrorInfo.error_code = code;
    m_ErrorInfo.detail_code = 0;
}

bool NfcPortResolver::getPortCategory(const char *port_name, PortCategory &category) const
{
    for (const auto &entry : m_Configuration.categoryNames()) {
        if (std::strncmp(port_name, entry.second.c_str(), entry.second.size()) == 0) {
            category = static_cast<PortCategory>(entry.first);
            return true;
        }
    }
    return false;
}

bool NfcPortResolver::openPortByName(const char *port_name)
{
    if (port_name == nullptr) {
        NFC_LOG(0, "ASSERT! : port_name = NULL\n");
        return false;
    }
    NFC_LOG(0, "INFORMATION! : PortName = %s\n", port_name);
    if (std::strstr(port_name, "F2PORT") != nullptr) {
        NFC_LOG(0, "ERROR! : Not implement F2PORTN. port_name = (%s) \n", port_name);
        setError(KORVAT_NFC_E_NOT_IMPLEMENTED);
        return false;
    }
    PortCategory category = 0;
    if (!getPortCategory(port_name, category)) {
        NFC_LOG(0, "ERROR! : Not support category(%d).\n", -1);
        setError(KORVAT_NFC_E_UNSUPPORTED_CATEGORY);
        return false;
    }
    if (!m_PluginLoader.getPlugin(category, &m_PluginWrapper, &m_ErrorInfo)) {
        return false;
    }
    if (!m_PluginWrapper.openPortAndTransitionNfcMode(port_name, &m_ErrorInfo)) {
        m_PluginWrapper.clearFunctionTable();
        return false;
    }
    return true;
}

bool NfcPortResolver::openFirstAvailablePort(char *buffer)
{
    for (uint32_t position = 0; position < NfcConfiguration::MaximumPorts; ++position) {
        std::string name;
        if (!m_Configuration.getPortName(position, name) || !openPortByName(name.c_str())) {
            continue;
        }
        if (buffer != nullptr) {
            if (name.size() >= OpenPortNameBufferSize) {
                buffer[0] = '\0';
                NFC_LOG(0, "ASSERT! strcpy_s() failed.\n");
            } else {
                std::memcpy(buffer, name.c_str(), name.size() + 1);
            }
        }
        return true;
    }
    NFC_LOG(0, "ERROR! : KORVAT_NFC_E_INVALID_PORT_LIST.\n");
    setError(KORVAT_NFC_E_INVALID_PORT_LIST);
    return false;
}
