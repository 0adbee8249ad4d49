// The class that polls the reader and posts the messages: while poll mode runs, its notification
// thread reads the reader's driver status every 600 ms under the library lock and posts the find,
// enable and error messages to the application's window. The records the find messages point to
// live in NfcMessageRecords (they outlive the next cycle and the DLL).
//
// With event_notification = 1 the thread reads the status as soon as the plug-in signals a change
// through the status event handed to it (gp_set_status_event), or every 50 ms when the plug-in
// has no such entry point (or refused the event): a new target is announced at once, the same
// target's find message still repeats every 600 ms, and a departure (GP_TARGET_DEPARTED) is
// posted once as the find message with KORVAT_NFC_LOST_TARGET instead of a card error. With the
// event queue on (NfcEventQueue), every message is also queued, and no window is needed.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "NfcDriverStatus.h"
#include "NfcLifetime.h"
#include "korvat_nfc_plugin.h"

class NfcEventQueue;
class NfcPluginWrapper;

class NfcCallback {
public:
    NfcCallback();
    virtual ~NfcCallback();

    void setPluginWrapper(NfcPluginWrapper *wrapper) { m_PluginWrapper = wrapper; }
    void setEventQueue(NfcEventQueue *queue) { m_EventQueue = queue; }
    // event_notification, as initialise read it; takes effect at the next start.
    void setEventNotification(bool on) { m_EventNotification = on; }

    // event_notification: hands the plug-in a fresh status event through entry (null: the
    // plug-in has none, the thread polls every 50 ms). Called after gp_start_poll_mode, before
    // startThread, with the library lock held. True when this call handed one over (not when
    // the running thread has one already): only then may the caller's failure path withdraw it.
    bool handOverStatusEvent(gp_set_status_event_t entry);
    // Takes the status event back before gp_stop_poll_mode or gp_close_port (the thread has
    // ended); the event is closed only when the plug-in confirmed the withdrawal.
    void withdrawStatusEvent(gp_set_status_event_t entry);

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
    // event_notification with a plug-in that cannot signal its status: how often it is asked.
    static const DWORD StatusPollMilliseconds = 50;

private:
    // One cycle's work, run with the library lock held.
    void runCycle();
    static void threadBody(void *callback);
    void threadLoop();
    // A stop was asked for (the flag, or the stop event, which stays set until the next start).
    bool stopPending() const;

    void readDriverStatus();
    // event_notification: how long the thread may sleep before the next status read.
    DWORD nextWait() const;
    // event_notification: whether a find status is to be posted now (a new target, or the
    // 600 ms repeat of the one posted last is due).
    bool findDue() const;
    // event_notification: a departure status: posts the lost target once.
    void postLost();
    // True when a window takes the messages; traced when neither a window nor the queue does.
    bool hasWindow() const;
    // Appends an event to the queue (when it is on).
    void queue(uint32_t kind, uint32_t targetNumber, const uint8_t *data, size_t size);
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
    NfcEventQueue *m_EventQueue;
    bool m_EventNotification;
    HANDLE m_StatusEvent;  // handed to the plug-in; null: none (polled every 50 ms, or not in event mode)
    // The target announced last and not reported gone since, and when it was announced.
    bool m_TargetPresent;
    uint32_t m_PresentTarget;
    // The departure posted last, not followed by a find since: a repeated report is not posted.
    bool m_LostReported;
    uint32_t m_LostTarget;
    ULONGLONG m_LastFindTick;
    bool m_StatusRead;  // the last status call succeeded
    HWND m_WindowHandle;
    UINT m_FindMessage;
    UINT m_EnableMessage;
    HANDLE m_ThreadHandle;
    NfcLifetime::ThreadEvents m_ThreadEvents;
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
