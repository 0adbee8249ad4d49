// A PC/SC contactless reader as the library sees it: port open and closed, poll mode with its
// found, waiting and enabled targets, device access to one card, and the reader's or the
// resource manager's loss and return. It drives the resource manager through the Scard
// interface below (the plug-in binds it to winscard, the native tests to a model) and is not
// thread-safe: the plug-in calls it under its I/O lock, from the entry points and from its poll
// thread, and hands its reports to gp_get_driver_status through reader::StatusMailbox.
//
// Polling follows the resource manager's rules: the event state of the last call is passed back
// as the current state, and a change is judged by the state bits and the event counter (upper
// 16 bits) against the last state seen, never by CHANGED alone (some stacks set it on every
// call and do not block). Each step asks once with a zero time-out; the caller paces the steps.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "PcscError.h"
#include "PcscProfile.h"
#include "PcscTargetRecord.h"
#include "ReaderPortList.h"
#include "ReaderReports.h"

namespace pcsc {

using reader::StatusReport;

// dwEventState bits.
const uint32_t StateChanged = 0x0002;
const uint32_t StateUnknown = 0x0004;
const uint32_t StateUnavailable = 0x0008;
const uint32_t StateEmpty = 0x0010;
const uint32_t StatePresent = 0x0020;
const uint32_t StateMute = 0x0200;
const uint32_t StateCounterMask = 0xFFFF0000u;

// The resource manager. Every call returns its SCARD_ code, 0 for success.
class Scard {
public:
    virtual ~Scard() = default;
    virtual uint32_t establishContext() = 0;
    virtual void releaseContext() = 0;
    virtual uint32_t listReaders(std::vector<std::string> &readers) = 0;
    // SCardGetStatusChange of one reader with a zero time-out; `eventState` and `atr` are the
    // reader's state after the call (a time-out with no change returns the current state as it
    // was passed, and 0).
    virtual uint32_t readerState(const std::string &reader, uint32_t currentState, uint32_t &eventState,
                                 std::vector<uint8_t> &atr) = 0;
    // Shared connection with T=0 or T=1; one card at a time.
    virtual uint32_t connect(const std::string &reader) = 0;
    virtual void disconnect() = 0;
    virtual uint32_t transmit(const uint8_t *command, size_t length, std::vector<uint8_t> &answer) = 0;
    virtual uint32_t milliseconds() = 0;
    // One line for the plug-in's trace.
    virtual void trace(const std::string &line) = 0;
};

// "PCSC" and one digit gives the port's number among the readers; false for any other name.
bool portNumber(const std::string &portName, unsigned &number);
// The `number`th reader (from 0, in the list's order) whose name contains `filter`.
bool chooseReader(const std::vector<std::string> &readers, const std::string &filter, unsigned number,
                  std::string &reader);
// The ports of the readers the resource manager has now (gp_list_ports), numbered as chooseReader
// numbers them (PCSC0 to PCSC9), each with its reader's name, asked with a context of `scard`'s
// own that lives for the one call. True with the list, empty while the resource manager is gone
// or has no reader; false with the pair (PCSC_E_SERVICE, PCSC_E_READER_GONE, the SCARD_ code as
// detail) for another failure.
bool listPorts(Scard &scard, const std::string &filter, std::vector<reader::PortEntry> &ports, Error &error);

class Reader {
public:
    Reader(Scard &scard, const std::string &filter);

    // Establishes a context and finds the port's reader; a card present then is identified at
    // once, which probes the reader's profile.
    bool open(unsigned number, Error &error);
    bool close(Error &error);
    bool startPollMode(uint32_t targetDevice, Error &error);
    bool stopPollMode(Error &error);
    bool startDeviceAccess(uint32_t targetNumber, Error &error);
    // Also ends an access whose card or reader has left (the exchanges fail with the pair of
    // the loss, PCSC_E_CARD_REMOVED, PCSC_E_READER_GONE or PCSC_E_SERVICE, until then).
    bool stopDeviceAccess(uint32_t stopMode, Error &error);
    // The reader keeps the card selected: both only check that access is open.
    bool selectDevice(Error &error);
    bool deselectDevice(Error &error);
    bool exchange(const uint8_t *command, size_t length, std::vector<uint8_t> &response, Error &error);
    bool setTimeout(int32_t timeout, Error &error);
    int32_t timeout() const { return m_Timeout; }

    // One step of the poll thread: the reader's state once (a card found, identified or gone),
    // or, while the reader fails, an attempt to find it again. Returns how long the thread may
    // sleep before the next step.
    uint32_t pollStep();
    void takeReports(std::deque<StatusReport> &events, StatusReport &steady);

    bool isOpen() const { return m_Open; }
    const std::string &readerName() const { return m_ReaderName; }
    bool profileKnown() const { return m_ProfileKnown; }
    Profile profile() const { return m_Profile; }

private:
    using Phase = reader::TargetPhase;

    bool requireOpen(Error &error) const;
    bool findReader(Error &error);
    void forgetCard();
    // The target is given up for `why`; reported as a card error when `reportRemoval`.
    void dropTarget(const Error &why, bool reportRemoval);
    void deviceFailed(const Error &error);
    bool recover();
    void readerChanged(uint32_t eventState, const std::vector<uint8_t> &atr);
    bool identify(const std::vector<uint8_t> &atr, CardRecord &record, Error &error);
    void probe(CardKind kind);
    bool transmit(const std::vector<uint8_t> &command, std::vector<uint8_t> &answer, Error &error);
    bool sendAll(const std::vector<std::vector<uint8_t>> &commands, Error &error);
    void endAccess();

    Scard &m_Scard;
    std::string m_Filter;
    unsigned m_Number = 0;
    std::string m_ReaderName;
    bool m_Open = false;
    bool m_HasContext = false;
    bool m_Connected = false;
    bool m_Polling = false;
    uint32_t m_TargetDevice = 0;
    int32_t m_Timeout;

    bool m_ProfileKnown = false;
    Profile m_Profile = Profile::PlainApdu;

    uint32_t m_LastState = 0;      // the event state of the last call, passed back as current
    bool m_CardSeen = false;       // the card of m_SeenCounter was looked at (found, skipped or released)
    uint32_t m_SeenCounter = 0;    // its arrival's event counter
    Phase m_Phase = Phase::None;
    Error m_AccessLost;            // why the accessed card went (removal, reader or service gone):
                                   // gp_read says so until the access stops
    CardRecord m_Card;
    uint32_t m_TargetNumber = 0;
    uint32_t m_NextTargetNumber = 1;

    bool m_DeviceFailing = false;
    StatusReport m_Failure;
    std::deque<StatusReport> m_Events;
};

}  // namespace pcsc
