// The class that polls the reader and posts the messages: while poll mode runs, its notification
// thread reads the reader's driver status every 600 ms under the library lock and posts the find,
// enable and error messages to the application's window. The records the find messages point to
// live in NfcMessageRecords (they outlive the next cycle and the DLL).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "NfcDriverStatus.h"
#include "korvat_nfc_plugin.h"

class NfcPluginWrapper;

class NfcCallback {
public:
    NfcCallback();
    virtual ~NfcCallback();

    void setPluginWrapper(NfcPluginWrapper *wrapper) { m_PluginWrapper = wrapper; }

    bool setPollCallbackParameters(HWND handle, const char *msg_str_of_find, const char *msg_str_of_enable,
                                   ErrorInfo *error);
    bool startThread(ErrorInfo *error);
    // Returns true once the thread has finished (NfcLifetime says how); the caller holds the
    // library lock. False when its end could not be confirmed within the bound: the thread may
    // still run, so the caller must not call the plug-in; the stop stays requested and a later
    // call waits for it again.
    bool stopThread();
    bool isRunning() const { return m_ThreadHandle != nullptr; }
    // A stop failed to confirm the thread's end and has not been completed since.
    bool stopUnconfirmed() const { return m_ThreadHandle != nullptr && m_StopRequested != 0; }

    static const DWORD CyclePeriodMilliseconds = 600;

private:
    // One cycle's work, run with the library lock held.
    void runCycle();
    static void threadBody(void *callback);
    void threadLoop();
    // A stop was asked for (the flag, or the stop event, which stays set until the next start).
    bool stopPending() const;

    void readDriverStatus();
    void postFind();
    void postAccess();
    void postError();
    void makeTarget14443A();
    void makeTarget14443B();
    void makeTarget18092();
    // Checks, allocates and fills the record for the current card type; false on failure
    // (status and error code already set).
    bool makeTarget();
    void failCycle(uint32_t errorCode);

    NfcPluginWrapper *m_PluginWrapper;
    HWND m_WindowHandle;
    UINT m_FindMessage;
    UINT m_EnableMessage;
    HANDLE m_ThreadHandle;
    std::atomic<uint8_t> m_StopRequested;
    uint32_t m_TargetNumber;
    uint8_t *m_TargetInformation;  // the last record made, in a slot of NfcMessageRecords
    int32_t m_CurrentDriverStatus;
    ErrorInfo m_StatusErrorInfo;
    int32_t m_PreviousDriverStatus;
    ErrorInfo m_PreviousStatusErrorInfo;
    uint32_t m_DriverStatus;
    uint32_t m_PollModeCardType;
    uint32_t m_ListenModeCardType;
    uint32_t m_AdditionalDataSize;
    uint8_t *m_AdditionalData;
};
