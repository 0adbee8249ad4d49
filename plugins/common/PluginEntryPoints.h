// The fourteen entry points of a reader plug-in, written once for every reader (ReaderPlugin.h):
// the argument checks, the locks, the poll thread and the status outputs. The exports
// (PluginEntryPoints.cpp) call the one object of this class, whose members carry the entry
// points' own names.
//
// Two locks. The I/O lock is held for every call into the reader (the entry points and the poll
// thread's steps); the status lock only to hand the poll thread's reports to
// gp_get_driver_status (reader::StatusMailbox: the state now, not a queue), so the status call,
// made under the library's lock every cycle, never waits for the reader's I/O. A reader without
// a poll thread is asked for its status under the I/O lock.
//
// The status event (gp_set_status_event) is kept under the status lock and set only there, so
// once its withdrawal has taken the lock no thread of the plug-in touches it again. A reader with
// a poll thread has it set when the mailbox says the next answer changed; a reader without one
// gets a watch thread (the same PollThread, so the same loader-lock rules) while an event is
// handed over and poll mode runs, which asks the reader every WatchIntervalMs whether its answer
// would change and sets the event once per change.
//
// The loader lock. gp_stop_poll_mode, gp_close_port and gp_stop_device_access may run in the
// library's DllMain (FreeLibrary of the library while polling or with access open), and
// gp_start_poll_mode / gp_stop_poll_mode in an application's DllMain (the library's start-up
// time-out path). There the skeleton never waits for a thread's end, never loads or frees a DLL,
// never takes a lock its poll thread may hold, and never blocks without a bound:
//   - the poll thread is korvat_plugin::PollThread: its own reference on the plug-in module,
//     FreeLibraryAndExitThread, a "finished" event that it sets as its last act on the
//     plug-in's state; a thread that has not started yet is abandoned;
//   - a closer signals stop, lets the reader cut its I/O short (Reader::cancelIo), then waits at
//     most PollThreadStopBoundMs for "finished", never for the thread's handle, and only then
//     takes the I/O lock; gp_stop_device_access, which leaves the thread running, takes the I/O
//     lock within IoLockBoundMs;
//   - a bound that runs out fails the call with the reader's pollThreadBusy pair and touches
//     nothing the thread may still use; the thread ends on its own.
// At process exit (DllMain with a non-null reserved pointer) the thread is already gone: the
// plug-in's DllMain (PluginRuntime) only notes how the module ends, and the skeleton's objects'
// ends only close handles.
//
// The skeleton's objects live at namespace scope, made when the module is loaded: no entry point
// runs a one-time initialisation of its own on the caller's thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "PluginPollThread.h"
#include "PluginSection.h"
#include "ReaderPlugin.h"
#include "ReaderStatusMailbox.h"
#include "korvat_nfc_plugin.h"

namespace korvat_plugin {

class EntryPoints {
public:
    explicit EntryPoints(Reader &reader) : m_Reader(reader) {}
    EntryPoints(const EntryPoints &) = delete;
    EntryPoints &operator=(const EntryPoints &) = delete;

#define KORVAT_PLUGIN_DECLARE_ENTRY(name, parameters, arguments) GP_BOOL name parameters;
    GP_ENTRY_POINTS(KORVAT_PLUGIN_DECLARE_ENTRY)
    GP_OPTIONAL_ENTRY_POINTS(KORVAT_PLUGIN_DECLARE_ENTRY)
#undef KORVAT_PLUGIN_DECLARE_ENTRY

private:
    const ReaderDescription &description() const { return m_Reader.description(); }
    GP_BOOL fail(const char *entry, const Error &failure, ErrorInfo *error);
    GP_BOOL refuse(const char *entry, uint32_t code, uint32_t detail, ErrorInfo *error);
    GP_BOOL finish(const char *entry, bool ok, const Error &failure, ErrorInfo *error);
    // With the I/O lock held: `operation` on the open port (else the portNotOpen pair), then the
    // reports handed on when `publish`.
    template <class Operation>
    GP_BOOL onOpenPort(const char *entry, bool publish, ErrorInfo *error, Operation operation);
    bool pollThread() const { return description().pollThread; }
    // Hands the reader's new reports to the status side. Called with the I/O lock held.
    void publishReports();
    bool stopPollThread(const char *entry, ErrorInfo *error);
    static void pollUntilStopped(void *context, HANDLE stop);
    // A reader without a poll thread, with the I/O lock held: the watch thread runs while an
    // event is handed over and poll mode runs.
    bool startWatch(DWORD &windowsError);
    static void watchUntilStopped(void *context, HANDLE stop);
    // With the status lock held: sets the event handed over, if any.
    void signalStatusChange();
    // Forgets the event: from then on no thread of the plug-in touches it.
    void forgetStatusEvent();
    GP_BOOL withdrawStatusEvent();
    bool statusEventHandedOver();
    void handOutStatus(StatusReport &report, uint32_t *driverStatus, uint32_t *pollModeCardType,
                       uint32_t *listenModeCardType, uint32_t *additionalDataSize, uint8_t **additionalData,
                       ErrorInfo *error);

    Reader &m_Reader;
    Section m_Io;      // the reader
    Section m_Status;  // the mailbox (a reader with a poll thread)
    reader::StatusMailbox m_Mailbox;
    StatusReport m_OnDemand;  // the last status handed out of a reader without a poll thread
    PollThread m_Thread;      // started under the I/O lock, stopped by a closer (the watch thread of a
                              // reader without a poll thread)
    HANDLE m_StatusEvent = nullptr;  // the library's, under the status lock
    bool m_ChangeSignalled = false;  // no poll thread: set for a change not asked for yet (status lock)
    Section m_List;                  // gp_list_ports
    bool m_TimeoutSet = false;
    int32_t m_Timeout = 0;    // the time-out in force while no port is open
};

}  // namespace korvat_plugin
