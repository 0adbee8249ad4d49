// What a reader plug-in supplies to the one skeleton of plugins/common: its names and error
// pairs (ReaderDescription) and its reader (Reader): open, close, poll mode, device access, the
// exchange, the time-out and the status. Everything else of a plug-in is written once, in
// PluginEntryPoints: the fourteen exports, the argument checks, the locks, the poll thread that
// keeps the loader-lock rules of korvat_nfc_plugin.h, and the status outputs. A plug-in defines
// korvat_plugin::pluginReader() and links korvat_plugin_common; that is all (ReaderCore.h helps a
// reader whose core is a class of the portable code).
//
// The skeleton calls the reader under its I/O lock, never from two threads at once, and only
// with the port open, except open(), knowsPort() and the description. The status comes one of
// two ways (ReaderDescription::pollThread):
//   - a poll thread: the skeleton runs a thread of the plug-in that calls pollStep() and hands
//     what takeReports() gives to gp_get_driver_status through a status mailbox, under a lock
//     of its own, so the status call never waits for the reader's I/O;
//   - on demand: gp_get_driver_status calls readStatus() (the simulator computes its field from
//     the clock), and the plug-in has no thread at all.
//
// Optional entry points (a status event, reader lists) get their place here: a virtual member
// with a default that reports the entry as not offered, and its export in PluginEntryPoints.cpp
// beside the fourteen:
//   - gp_set_status_event: a reader with a poll thread has it from the skeleton (the status
//     mailbox says when the answer changed). A reader without one offers it by telling, under
//     the I/O lock and without making the status call, whether the call would now answer
//     something else (statusChangePending); the skeleton asks that every few milliseconds on a
//     watch thread of its own while an event is set.
//   - gp_list_ports: listPorts, called under the skeleton's list lock only, so at the same time
//     as the poll thread's step or another entry point: it reads nothing of the open port but
//     what it guards itself, and every call it makes is bounded (it is waited for under the
//     loader lock: no loader work).
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "ReaderError.h"
#include "ReaderPortList.h"
#include "ReaderReports.h"

namespace korvat_plugin {

using reader::Error;
using reader::StatusReport;

struct ReaderDescription {
    const char *categoryName;  // looked up in category_name_list, split as the library splits it
    int32_t versionNumber;     // gp_get_version_number
    int32_t defaultTimeout;    // before the first gp_set_timeout
    int32_t minimumTimeout;    // gp_set_timeout's range; out of it: invalidArgument, detail 1
    int32_t maximumTimeout;
    bool pollThread;           // status from a poll thread (else on demand)
    // The plug-in's error codes for what the skeleton refuses.
    uint32_t invalidArgument;    // a null pointer or a value out of range; detail: its position
    uint32_t categoryNotListed;  // detail: 0 list absent or empty, 1 not listed
    uint32_t unknownPort;        // detail 0
    uint32_t portAlreadyOpen;    // detail 0
    uint32_t portNotOpen;        // detail 0
    uint32_t pollThreadBusy;     // a closer's bounded wait for the poll thread ran out; detail: ms
    uint32_t pollThreadFailed;   // the poll thread cannot start; detail: the Windows error
};

class Reader {
public:
    virtual ~Reader() = default;

    virtual const ReaderDescription &description() const = 0;
    // Whether `portName` names a port of this reader (checked before anything else of an open).
    virtual bool knowsPort(const std::string &portName) const = 0;

    // Opens a port that knowsPort() accepted, with the time-out in force.
    virtual bool open(const std::string &portName, int32_t timeout, Error &error) = 0;
    virtual bool isOpen() const = 0;
    // Ends poll mode and access and closes the port; it cannot fail (what fails on the way is
    // given up with the port). The poll thread has ended.
    virtual void close() = 0;
    virtual bool startPollMode(uint32_t targetDevice, Error &error) = 0;
    virtual bool stopPollMode(Error &error) = 0;
    virtual bool startDeviceAccess(uint32_t targetNumber, Error &error) = 0;
    virtual bool stopDeviceAccess(uint32_t stopMode, Error &error) = 0;
    virtual bool selectDevice(Error &error) = 0;
    virtual bool deselectDevice(Error &error) = 0;
    // At most the plug-in's documented largest answer.
    virtual bool exchange(const uint8_t *command, uint16_t length, std::vector<uint8_t> &response, Error &error) = 0;
    virtual bool setTimeout(int32_t timeout, Error &error) = 0;
    virtual int32_t timeout() const = 0;

    // A reader with a poll thread: one step (returns the pause before the next, in ms), and the
    // reports made since the last call (ReaderReports.h).
    virtual uint32_t pollStep() { return 50; }
    virtual void takeReports(std::deque<StatusReport> &events, StatusReport &steady)
    {
        events.clear();
        steady = StatusReport();
    }
    // Cuts the poll thread's I/O short while a closer waits for it (true), and lets it run again
    // (false). Called without the I/O lock, possibly under the loader lock: no wait, no lock.
    virtual void cancelIo(bool) {}

    // A reader without a poll thread: the status now (its additional data are copied out).
    virtual bool readStatus(StatusReport &report, Error &error)
    {
        (void)error;
        report = StatusReport();
        return true;
    }

    // A reader without a poll thread that can tell a change of its status (below).
    virtual bool offersStatusEvent() const { return description().pollThread; }
    // Whether readStatus would now answer something other than the state it last answered (a
    // one-time report is a change; the same state again is not). Under the I/O lock, port open.
    virtual bool statusChangePending() { return false; }
    // A status event was handed over (true) or withdrawn (false): the library that hands one
    // over knows GP_TARGET_DEPARTED. Under the I/O lock.
    virtual void statusWatched(bool watched) { (void)watched; }

    // The ports this reader can open now, with their readers' names (ReaderPortList.h); a port
    // that is open counts as present. The default lists none.
    virtual bool listPorts(std::vector<reader::PortEntry> &ports, Error &error)
    {
        (void)error;
        ports.clear();
        return true;
    }

    // Every failure of an entry point but the status call's "port not open", for a reader that
    // traces its failures.
    virtual void traceFailure(const char *entry, const Error &error) { (void)entry, (void)error; }
};

// The plug-in's one reader: an object of the plug-in's own, alive while the module is loaded.
Reader &pluginReader();

}  // namespace korvat_plugin
