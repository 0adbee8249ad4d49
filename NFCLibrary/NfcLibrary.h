// The one library object: lock, state machine, last-error record, and the operations behind the
// exported functions. It holds its parts by value: the notification thread, the plug-in loader,
// the entry table of the open port, the registry configuration (NfcConfiguration) and the port
// resolution (NfcPortResolver).
#pragma once

#include <windows.h>

#include <cstdint>

#include "NfcCallback.h"
#include "NfcConfiguration.h"
#include "NfcEventQueue.h"
#include "NfcPluginLoader.h"
#include "NfcPluginWrapper.h"
#include "NfcPlugAndPlay.h"
#include "NfcPortResolver.h"

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
    // Without plug_and_play = 1 (or before initialise) the three plug-and-play functions answer
    // KORVAT_NFC_E_NOT_IMPLEMENTED as they always have.
    bool setPnpCallbackParameters(HWND handle, const char *msg_str_of_find, const char *msg_str_of_loss);
    bool startPlugAndPlay();
    bool stopPlugAndPlay();
    // The exports after the twenty.
    bool setEventQueue(uint32_t enabled);
    // Waits for an event without the library lock (the queue has its own).
    bool getNextEvent(KORVAT_NFC_EVENT *event, uint32_t timeout_ms);
    bool listReaders(KORVAT_NFC_READER_RECORD *records, uint32_t capacity, uint32_t *count);
    bool getLastError(uint32_t *error_info);
    // For the shells' traces: the last error's code is code.
    bool lastErrorIs(uint32_t code) const { return m_ErrorInfo.error_code == code; }
    // What an exported function does once the process is exiting: traces, records
    // KORVAT_NFC_E_PROCESS_EXITING and fails, taking no lock (a killed thread may hold it).
    bool refuseAtProcessExit(const char *function);
    bool startLogging(const char *filename);
    bool stopLogging();

    static const int32_t OpenTimeout = 6000;
    // How long the unloading thread waits for the library lock before it abandons a status call
    // in progress (the destructor says why).
    static const DWORD DetachLockBoundMilliseconds = 2000;

private:
    bool checkState(int required, uint32_t code);
    // Stops the notification thread if it runs; false, with KORVAT_NFC_E_THREAD_CREATE, when its
    // end cannot be confirmed.
    bool stopNotificationThread();
    // Stops the plug-and-play watcher if it runs; false, with KORVAT_NFC_E_THREAD_CREATE, when
    // its end cannot be confirmed.
    bool stopPlugAndPlayThread();
    // plug_and_play is on (read at initialise; off before it).
    bool plugAndPlayOn() const;
    bool refuseNotImplemented();
    bool checkCallbackArguments(HWND handle, const char *msg_str_of_find, const char *second, const char *secondName);
    void setError(uint32_t code);

    // Made before the threads' owners and ended after them: a thread left running never meets
    // an ended queue.
    NfcEventQueue m_EventQueue;
    NfcCallback m_NfcCallback;
    NfcPlugAndPlay m_PlugAndPlay;
    NfcPluginLoader m_NfcPluginLoader;
    NfcPluginWrapper m_NfcPluginWrapper;
    ErrorInfo m_ErrorInfo;
    int32_t m_NfcLibraryState;
    NfcConfiguration m_Configuration;
    NfcPortResolver m_PortResolver;  // works with the members above
};
