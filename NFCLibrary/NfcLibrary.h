// The one library object: lock, state machine, last-error record, registry configuration, and
// the operations behind the exported functions.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>

#include "NfcCallback.h"
#include "NfcPluginLoader.h"
#include "NfcPluginWrapper.h"

enum NfcLibraryState {
    NFC_LIBRARY_STATE_UNINITIALIZED = 0,
    NFC_LIBRARY_STATE_INITIALIZED = 1,
    NFC_LIBRARY_STATE_PORT_OPEN = 2,
};

class NfcLibrary {
public:
    NfcLibrary();
    virtual ~NfcLibrary();

    // State machine (exported functions initialize, uninitialize, open, close).
    bool initializeNfcLibrary();
    bool uninitializeNfcLibrary();
    bool open(char *port_name);
    bool close();

    // Reader operations.
    bool startPollMode(uint32_t target_device);
    bool stopPollMode();
    bool startDevAccess(uint32_t target_number);
    bool stopDevAccess(uint32_t stop_mode);
    bool selectDevice();
    bool deselectDevice();
    bool thru(const uint8_t *command_packet_data, uint16_t command_packet_data_length, uint8_t *response_packet_data,
              uint16_t *response_packet_data_length);
    bool setTimeout(int32_t timeout);
    bool getTimeout(int32_t *timeout);
    bool setPollCallbackParameters(HWND handle, const char *msg_str_of_find, const char *msg_str_of_enable);
    bool plugAndPlay();
    bool getLastError(uint32_t *error_info);
    // What an exported function does once the process is exiting: traces, records
    // KORVAT_NFC_E_PROCESS_EXITING and fails, taking no lock (a killed thread may hold it).
    bool refuseAtProcessExit(const char *function);
    bool startLogging(const char *filename);
    bool stopLogging();

    static const int32_t OpenTimeout = 6000;
    // How long the unloading thread waits for the library lock before it abandons a status call
    // in progress (the destructor says why).
    static const DWORD DetachLockBoundMilliseconds = 2000;
    static const size_t OpenPortNameBufferSize = 16;
    static const size_t MaximumCategories = 256;
    static const size_t MaximumCategoryCharacters = 4096;
    static const size_t MaximumPorts = 32;
    static const size_t MaximumPortCharacters = 512;

    // plugin_signature_policy as initialise reads it (also used by the plug-in checker): absent
    // or empty is the default, the name check alone; a value that cannot be read, is no string
    // or names no known setting is the strictest, chain, with a warning that says so.
    static gverify_signature::SignaturePolicy getSignaturePolicyFromRegistry();
    // A longer unknown setting is traced with its first characters and its length.
    static const size_t MaximumPolicyCharactersTraced = 64;

private:
    bool checkState(int required, uint32_t code);
    // Stops the notification thread if it runs; false, with KORVAT_NFC_E_THREAD_CREATE, when its
    // end cannot be confirmed.
    bool stopNotificationThread();
    void setError(uint32_t code);

    // Configuration from the registry.
    bool getPluginHomeDirectoryFromRegistry();
    void getCategoryNameListFromRegistry();
    void getPortNameListFromRegistry();
    bool getPortName(uint32_t position, std::string &name) const;
    bool getPortCategory(const char *port_name, PortCategory &category) const;
    bool openPortByName(const char *port_name);
    bool openFirstAvailablePort(char *buffer);

    NfcCallback m_NfcCallback;
    NfcPluginLoader m_NfcPluginLoader;
    NfcPluginWrapper m_NfcPluginWrapper;
    ErrorInfo m_ErrorInfo;
    int32_t m_NfcLibraryState;
    std::map<uint32_t, std::string> m_CategoryNameList;
    std::map<uint32_t, std::string> m_PortNameList;
    std::string m_PluginsHomeDirectory;
};
