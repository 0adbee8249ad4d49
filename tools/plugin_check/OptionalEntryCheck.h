// The checker's look at the optional entry points, where a plug-in exports them, on the port of
// the session (after it, the port closed again), called directly as the library calls them:
//   list.size      gp_list_ports keeps its size contract: the whole size in *needed_size, and
//                  nothing written into a buffer too small for the list (guarded buffers); a list
//                  that changed between two calls is sized anew (a few times)
//   list.format    the list reads back with the library's own parser; WARN when the port that
//                  opened is not among its entries
//   list.time      each call returns within the status bound (it is made every 250 ms under the
//                  library lock, and waited for under the loader lock)
//   event.set      gp_set_status_event's event is set for each change of the status answer: the
//                  target found, access enabled; a change the status calls show with the event
//                  unset fails (WARN when no target came to show one)
//   event.callback the plug-in calls no export of the library while an event is handed over (a
//                  stand-in module under the library's name counts such calls)
//   event.withdraw once gp_set_status_event(NULL) returned true the event is never set again,
//                  while the status changes (access ended, poll mode stopped and started)
//   event.time     the hand-over and the withdrawal return within the status bound
// The loader-lock step (LifetimeChild) calls both entry points while another thread holds the
// loader lock.
#pragma once

#include <windows.h>

#include "CheckReport.h"
#include "NfcPluginFunctionTable.h"
#include "PluginSession.h"

class OptionalEntryCheck {
public:
    OptionalEntryCheck(HMODULE module, const PluginFunctionTable &functions, const SessionOptions &options,
                       CheckReport &report);
    void run();

    // Where the checker finds the stand-in of the library, relative to its own directory.
    static const char RecorderPath[];

private:
    void checkList();
    bool checkListOnce(bool lastTry, double &slowest);
    void checkEvent();
    // One status call: its word (0 when it answered false) and the target number of a find.
    uint32_t status(uint32_t &targetNumber);

    const PluginFunctionTable &m_Functions;
    const SessionOptions &m_Options;
    CheckReport &m_Report;
    gp_set_status_event_t m_SetStatusEvent = nullptr;
    gp_list_ports_t m_ListPorts = nullptr;
};
