// A PN532 on its HSU link, for tests: the chip's framing and command set as hosts use them
// (this library's reader plug-in, libnfc's pn532_uart driver), with the cards of a scenario
// entering and leaving its field, and faults on request. Pure: bytes in, timed bytes out.
//
// Cards: a type A card is an ISO/IEC 14443-4 Type 4 Tag, a `T2` card an NFC Forum Type 2 Tag
// (ISO/IEC 14443-3 A, SEL_RES 00, no ATS), a type B card a Type 4 Tag, a FeliCa card a Type 3 Tag.
// A Type 2 Tag takes its raw commands (READ 30, FAST_READ 3A, WRITE A2, COMPATIBILITY_WRITE A0,
// GET_VERSION 60, READ_SIG 3C) through InDataExchange and InCommunicateThru, never wrapped in
// ISO/IEC 14443-4 blocks; the chip adds and checks the CRC. Its answers, as this chip hands them on:
//   data (READ, FAST_READ, GET_VERSION, READ_SIG)  status 00, the tag's bytes
//   4-bit ACK                                       status 00, one byte 0A
//   4-bit NAK, InDataExchange                       status 13 (invalid frame received, as for a
//                                                   refused MIFARE command), no data
//   4-bit NAK, InCommunicateThru                    status 00, one byte: the NAK value (00)
//   no answer (unknown command, wrong length)       status 01 (time-out)
//   more than 262 bytes (FAST_READ of > 65 pages)   status 0E (internal buffer overflow)
// InDataExchange of COMPATIBILITY_WRITE with its 16 data bytes in one frame (A0 pp d0..d15, as
// libnfc sends it) runs both phases of the command; the ACK of the second phase is answered.
// InCommunicateThru follows the CRC bits of the TxMode and RxMode registers (6302, 6303; set at
// power-on): with them cleared the host appends the tag's CRC_A itself and gets it back after
// the tag's data, as libnfc does for raw frames. Writes persist in the tag for the emulator's run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Pn532Frame.h"
#include "SimScenario.h"
#include "SimType2Tag.h"
#include "SimType3Tag.h"
#include "SimType4Tag.h"

namespace pn532emu {

// A fault applied to the answers of matching commands.
struct Fault {
    enum class Kind {
        None,
        DelayedAck,    // the ACK and the answer come `delayMs` late
        BadChecksum,   // the answer's data checksum is wrong (a NACK gets it right)
        NackRequest,   // the chip answers the command frame with a NACK and ignores it
        DroppedByte,   // one byte of the answer is lost (a NACK gets it whole)
        NoAnswer,      // the command is ignored: no ACK, no answer
        Disconnect,    // the reader goes away before answering
        Babble,        // no answer; the chip sends a stray byte every 5 ms for `delayMs` (0: for ever)
    };
    Kind kind = Kind::None;
    int command = -1;     // command code it applies to, -1: every command
    uint32_t skip = 0;    // matching commands let through first
    uint32_t count = 1;   // matching commands it applies to then, 0: all
    uint32_t delayMs = 0; // DelayedAck, Babble
};

// A babbling chip's pace: one stray byte this often, whatever the host sends meanwhile.
const uint32_t BabbleIntervalMs = 5;
const uint8_t BabbleByte = 0xAA;

bool parseFaultKind(const std::string &name, Fault::Kind &kind);

// What the chip writes: `bytes` after `delayMs` (counted from the command's arrival).
struct Output {
    uint32_t delayMs = 0;
    std::vector<uint8_t> bytes;
    bool disconnect = false;  // the link goes away instead
    bool babble = false;      // the chip starts babbling (Fault::Kind::Babble) instead
};

struct EmulatorCounters {
    uint32_t commands = 0;
    uint32_t nacksReceived = 0;
    uint32_t abortsReceived = 0;
    uint32_t faultsApplied = 0;
};

class Emulator {
public:
    Emulator(const sim::Scenario &scenario, const Fault &fault);
    ~Emulator();

    // Bytes from the host at `nowMs`. Answers are appended to `outputs`. `cancelPending` is set
    // when the host aborted (ACK) or sent a new command: answers still waiting to be written
    // must be dropped.
    void receive(const uint8_t *bytes, size_t length, uint32_t nowMs, std::vector<Output> &outputs,
                 bool &cancelPending);

    // The GetFirmwareVersion answer (IC, Ver, Rev, Support); a PN532 v1.6 by default.
    void setFirmware(const std::vector<uint8_t> &firmware) { m_Firmware = firmware; }
    const EmulatorCounters &counters() const { return m_Counters; }

private:
    struct Card;
    struct Target {
        int card;        // index in m_Cards
        uint8_t brty;
        bool deselected;
    };

    void handleFrame(const pn532::Frame &frame, uint32_t nowMs, std::vector<Output> &outputs, bool &cancelPending);
    // Runs a command; false: no answer yet (the chip is busy until the host aborts).
    bool execute(const std::vector<uint8_t> &command, uint32_t nowMs, std::vector<uint8_t> &answer, bool &syntaxError);
    bool inField(const Card &card, uint32_t nowMs) const;
    bool listTargets(const std::vector<uint8_t> &command, uint32_t nowMs, std::vector<uint8_t> &answer);
    bool autoPoll(const std::vector<uint8_t> &command, uint32_t nowMs, std::vector<uint8_t> &answer);
    void dataExchange(const std::vector<uint8_t> &command, uint32_t nowMs, std::vector<uint8_t> &answer);
    void communicateThru(const std::vector<uint8_t> &command, uint32_t nowMs, std::vector<uint8_t> &answer);
    // The card's answer to InDataExchange: false when it stays silent; a Type 2 Tag's NAK is
    // reported in `status`.
    bool cardAnswer(Card &card, const std::vector<uint8_t> &data, std::vector<uint8_t> &response, uint8_t &status);
    // `thru`: InCommunicateThru, which hands a NAK on as a byte and does not run the second phase
    // of a COMPATIBILITY_WRITE.
    bool type2Answer(sim::SimType2Tag &tag, const std::vector<uint8_t> &data, bool thru,
                     std::vector<uint8_t> &response, uint8_t &status);
    bool matchesModulation(const Card &card, uint8_t brty, const std::vector<uint8_t> &initiator) const;
    std::vector<uint8_t> targetData(const Card &card, uint8_t tg, uint8_t brty) const;
    Target *target(uint8_t tg);
    void resetSession(uint32_t nowMs);
    bool faultApplies(uint8_t code);

    std::vector<std::unique_ptr<Card>> m_Cards;
    uint32_t m_RepeatMs = 0;
    Fault m_Fault;
    uint32_t m_FaultMatches = 0;

    pn532::FrameReader m_Reader;
    bool m_Asleep = true;
    uint32_t m_SessionStart = 0;
    bool m_RfOn = false;
    uint8_t m_Parameters = 0;
    uint8_t m_PassiveRetries = 0xFF;
    uint8_t m_LastError = 0;
    std::map<uint16_t, uint8_t> m_Registers;
    std::vector<Target> m_Targets;
    std::vector<uint8_t> m_ChainedCommand;  // host-chained InDataExchange pieces
    std::vector<uint8_t> m_PendingAnswer;   // rest of an answer sent with MI
    std::vector<uint8_t> m_LastResponse;    // resent on a NACK
    std::vector<uint8_t> m_Firmware{0x32, 0x01, 0x06, 0x07};
    EmulatorCounters m_Counters;
};

}  // namespace pn532emu
