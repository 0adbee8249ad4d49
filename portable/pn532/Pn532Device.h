// The dialogue with one PN532 over its host link: one command at a time, each acknowledged and
// answered, within a time-out; damaged answers asked for again, expired commands aborted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Pn532Commands.h"
#include "Pn532Frame.h"
#include "Pn532Link.h"
#include "Pn532Status.h"
#include "ReaderTarget.h"

namespace pn532 {

// The listed targets are the readers' own (ReaderTarget.h).
using reader::CardTypeA;
using reader::CardTypeB;
using reader::CardTypeF212;
using reader::CardTypeF424;
using reader::ListedTarget;
using reader::Modulation;

// The largest DataOut / DataIn of one InDataExchange: TFI, command code and Tg fill the rest of
// the chip's 265-byte frame.
const size_t MaximumExchangeChunk = 262;

struct DeviceCounters {
    uint32_t commands = 0;
    uint32_t resends = 0;   // command frames sent again (NACK from the chip, or no ACK)
    uint32_t nacks = 0;     // answers asked for again
    uint32_t aborts = 0;    // commands aborted at their time-out
};

class Device {
public:
    explicit Device(Link &link);

    // Sends one command (code and parameters) and returns the data of its answer after the
    // answer's code. Bounded by `timeoutMs` in all. False: `error` holds the pair.
    bool command(const std::vector<uint8_t> &request, std::vector<uint8_t> &answer, uint32_t timeoutMs, Error &error);

    // Wake-up preamble and SAMConfiguration, GetFirmwareVersion (a PN532 only), SetParameters,
    // finite retries, RF field on.
    bool open(uint32_t timeoutMs, Error &error);
    // Releases the targets, RF field off, PowerDown. Goes on after a failure; returns the first.
    bool close(uint32_t timeoutMs, Error &error);

    bool listTargets(Modulation modulation, std::vector<ListedTarget> &targets, uint32_t timeoutMs, Error &error);
    // InDataExchange of a whole command, chained, and its whole answer, gathered.
    bool exchange(uint8_t tg, const uint8_t *data, size_t length, std::vector<uint8_t> &answer, size_t maximumAnswer,
                  uint32_t timeoutMs, Error &error);
    // InSelect / InDeselect / InRelease of target `tg` (0: all).
    bool targetCommand(Command code, uint8_t tg, uint32_t timeoutMs, Error &error);
    // Whether an activated target still answers: Diagnose card presence for ISO/IEC 14443-4
    // cards, Request Response for FeliCa, READ of page 0 for a Type 2 Tag. False with a card
    // error pair when it does not.
    bool targetPresent(const ListedTarget &target, uint32_t timeoutMs, Error &error);

    const DeviceCounters &counters() const { return m_Counters; }
    uint32_t firmware() const { return m_Firmware; }

private:
    enum class Wait { Frame, Expired, PortFailed };
    // Reads until a frame is complete, the deadline passes, or a begun frame stalls.
    Wait nextFrame(uint32_t deadline, Frame &frame, bool &stalled);
    bool sendFrame(const std::vector<uint8_t> &bytes, Error &error);
    // Aborts the command with an ACK frame and drops what the chip still sends, until `deadline`
    // at the latest (or a short settle time past it).
    bool abortCommand(uint8_t code, uint32_t deadline, Error &error);
    // The answer's status byte: false with its error pair when it reports an error.
    bool statusOnly(const std::vector<uint8_t> &answer, Error &error);

    Link &m_Link;
    FrameReader m_Reader;
    std::vector<Frame> m_Pending;  // frames read but not yet handled
    bool m_Asleep = true;          // the next command needs the wake-up preamble
    uint32_t m_Firmware = 0;
    DeviceCounters m_Counters;
};

}  // namespace pn532
