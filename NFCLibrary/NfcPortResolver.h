// From a port name to an open port: the category whose listed name begins the port name, the
// plug-in that serves it, and its opening; or the first port of port_name_list that opens. Held
// by the library object, which owns everything it works with.
#pragma once

#include <cstddef>
#include <cstdint>

#include "NfcConfiguration.h"
#include "NfcPluginLoader.h"
#include "NfcPluginWrapper.h"

class NfcPortResolver {
public:
    // Failures are written into error; on success the wrapper holds the serving plug-in's table.
    NfcPortResolver(const NfcConfiguration &configuration, NfcPluginLoader &loader, NfcPluginWrapper &wrapper,
                    ErrorInfo &error);

    bool openPortByName(const char *port_name);
    // Tries the listed ports in order; buffer (may be null) receives the name of the one opened.
    bool openFirstAvailablePort(char *buffer);
    // The category of the first listed name that begins port_name.
    bool getPortCategory(const char *port_name, PortCategory &category) const;

    // The size of the buffer an application passes to receive the name of the port opened.
    static const size_t OpenPortNameBufferSize = 16;

    NfcPortResolver(const NfcPortResolver &) = delete;
    NfcPortResolver &operator=(const NfcPortResolver &) = delete;

private:
    void setError(uint32_t code);

    const NfcConfiguration &m_Configuration;
    NfcPluginLoader &m_PluginLoader;
    NfcPluginWrapper &m_PluginWrapper;
    ErrorInfo &m_ErrorInfo;
};
