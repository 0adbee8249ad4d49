// Readers that come and go (plug_and_play = 1): the watcher thread asks every loaded plug-in that
// exports gp_list_ports for the ports it can open now, every WatchPeriodMilliseconds under the
// library lock, and posts one "found" message for every port present at its start and then one
// message per change (the find message with KORVAT_NFC_READER_FOUND, the loss message with
// KORVAT_NFC_READER_LOST), each pointing to a reader record in NfcMessageRecords; with the event
// queue on, each is queued too. Its lifetime follows NfcLifetime like the notification thread's.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "NfcLifetime.h"
#include "NfcPluginLoader.h"
#include "korvat_nfc.h"

class NfcEventQueue;

class NfcPlugAndPlay {
public:
    NfcPlugAndPlay();
    virtual ~NfcPlugAndPlay();

    void setEventQueue(NfcEventQueue *queue) { m_EventQueue = queue; }
    // Registers the two messages (arguments already checked); false with
    // KORVAT_NFC_E_REGISTER_MESSAGE when a name cannot be registered.
    bool setCallbackParameters(HWND handle, const char *msg_str_of_find, const char *msg_str_of_loss,
                               ErrorInfo *error);
    // Starts watching the plug-ins of listers (library lock held). A watcher already running
    // goes on as it is (true); one whose stop failed is stopped first. False with
    // KORVAT_NFC_E_NO_CALLBACK_PARAM without a window and without the event queue,
    // KORVAT_NFC_E_OUT_OF_MEMORY without the record ring, or KORVAT_NFC_E_THREAD_CREATE (also
    // when that stop still cannot be confirmed).
    bool start(const std::vector<PluginPortLister> &listers, ErrorInfo *error);
    // Stops the watcher (bounded, as NfcLifetime::stopThread); true when it was not running.
    // False when its end could not be confirmed: it may still run, and a later stop waits again.
    bool stop();
    bool isRunning() const { return m_ThreadHandle != nullptr; }

    // The readers the plug-ins of listers can open now (library lock held); a plug-in whose
    // list cannot be had is left out (traced).
    static void listReaders(const std::vector<PluginPortLister> &listers, std::vector<KORVAT_NFC_READER_RECORD> &readers);

    static const DWORD WatchPeriodMilliseconds = 250;
    // The longest list a plug-in may hand over.
    static const uint32_t MaximumListBytes = 64 * 1024;

private:
    static void threadBody(void *watcher);
    void threadLoop();
    // One look at every plug-in, posting the changes.
    void watch();
    void post(const KORVAT_NFC_READER_RECORD &reader, bool found);
    // The list of one plug-in; false (traced) when it cannot be had.
    static bool readPorts(const PluginPortLister &lister, std::vector<KORVAT_NFC_READER_RECORD> &readers);

    NfcEventQueue *m_EventQueue;
    HWND m_WindowHandle;
    UINT m_FindMessage;
    UINT m_LossMessage;
    HANDLE m_ThreadHandle;
    NfcLifetime::ThreadEvents m_ThreadEvents;
    std::vector<PluginPortLister> m_Listers;
    // The ports posted as present, by plug-in category and port name.
    std::map<PortCategory, std::map<std::string, KORVAT_NFC_READER_RECORD>> m_Present;
};
