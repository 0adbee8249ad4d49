// What a PC/SC reader can carry to a card besides plain APDUs, found by probing it once, and
// how a raw gp_read frame travels through it.
//
// Profiles (numbers appear in PCSC_E_NOT_CARRIED details):
//   PlainApdu     APDUs to ISO/IEC 14443-4 cards only;
//   StoragePages  as PlainApdu, and Type 2 Tag READ (30 pp) / WRITE (A2 pp d0..d3) as the
//                 storage-card pseudo-APDUs FF B0 00 pp 10 / FF D6 00 pp 04 d0..d3;
//   Pn532         a reader built on a PN532 that passes FF 00 00 00 Lc D4 ... to the chip: every
//                 frame as InDataExchange (D4 40 Tg frame), the chip's status byte judged,
//                 answers chained by the chip (status bit 6) gathered;
//   TransparentSession
//                 the transparent session FF C2: Type 2 and FeliCa frames through transceive
//                 (95), the card's answer in object 97; -4 cards get plain APDUs.
//
// The probe plan, sent once with a card connected (the pseudo-APDUs need a connection), in
// this order, each answer deciding:
//   1. FF 00 00 00 02 D4 02 (GetFirmwareVersion): D5 03 IC Ver Rev Support 90 00 -> Pn532, done;
//   2. FF C2 00 00 02 81 00 (start session): C0 03 00 90 00 ... 90 00 -> TransparentSession;
//      the plan then ends the session (FF C2 00 00 02 82 00, its answer not judged), done;
//   3. only for a storage card of type A: FF B0 00 00 10: 16 bytes 90 00 -> StoragePages, done;
//   4. PlainApdu.
// "Not offered" is any other well-formed answer (6A 81, 6D 00, 6E 00, 68 00, 63 xx, a session
// error object) and a transmit the reader fails without losing card or reader (some readers
// fail a transmit they do not know); an answer of the right kind but the wrong form is
// "unexpected" (traced, then taken as not offered). Card removal or reader loss ends the plan
// with its error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "PcscAtr.h"
#include "PcscError.h"

namespace pcsc {

enum class Profile : uint8_t { PlainApdu = 0, StoragePages = 1, Pn532 = 2, TransparentSession = 3 };

const char *profileName(Profile profile);

// The largest command and answer of gp_read.
const size_t MaximumCommandSize = 4096;
const size_t MaximumResponseSize = 4096;

// Outcome of one probe step, for the trace.
enum class ProbeOutcome : uint8_t { Offered, NotOffered, Unexpected, Failed };

class ProbePlan {
public:
    explicit ProbePlan(CardKind kind);

    bool finished() const { return m_Step == Step::Done; }
    // The next command to transmit while not finished.
    const std::vector<uint8_t> &command() const { return m_Command; }
    // The reader's answer to command() (data and SW).
    ProbeOutcome answer(const uint8_t *data, size_t length);
    // The transmit of command() failed with this SCARD_ code. Failed (and `error` set) when
    // the card or the reader is gone: the plan is over without a profile.
    ProbeOutcome transmitFailed(uint32_t scardCode, Error &error);

    Profile profile() const { return m_Profile; }
    // The PN532's GetFirmwareVersion answer (IC, Ver, Rev, Support; IC highest) for Pn532.
    uint32_t firmware() const { return m_Firmware; }

private:
    enum class Step { Pn532, StartSession, EndSession, Pages, Done };
    void enter(Step step);
    void next();

    CardKind m_Kind;
    Step m_Step = Step::Pn532;
    std::vector<uint8_t> m_Command;
    Profile m_Profile = Profile::PlainApdu;
    uint32_t m_Firmware = 0;
};

// Session set-up at device access and its end: what a profile sends before the first and
// after the last exchange with a card (empty for all but TransparentSession with a storage card:
// start session, and for FeliCa switch protocol to FeliCa; end session).
std::vector<std::vector<uint8_t>> accessStartCommands(Profile profile, CardKind kind);
std::vector<std::vector<uint8_t>> accessEndCommands(Profile profile, CardKind kind);
// Judges the answer to one of those commands.
bool accessAnswerOk(const uint8_t *answer, size_t length, Error &error);

// The PN532's InDataExchange target number the Pn532 profile addresses (the reader lists one).
const uint8_t Pn532Target = 0x01;

// One gp_read through the reader: the APDUs to transmit, in turn, and the card's answer.
class Exchange {
public:
    enum class Step { Done, Again, Failed };

    // Wraps `frame` for this profile and card kind; false with the pair when the profile cannot
    // carry it (PCSC_E_NOT_CARRIED, PCSC_E_READER_CLASS, PCSC_E_TOO_LONG). `timeoutMs` is
    // passed to the session's timer object (0: none).
    bool begin(Profile profile, CardKind kind, const uint8_t *frame, size_t length, uint32_t timeoutMs, Error &error);
    const std::vector<uint8_t> &command() const { return m_Command; }
    // The reader's answer to command(): Done (response() holds the card's answer), Again
    // (transmit command() again: the PN532's chained answer goes on; each piece brings data, so
    // MaximumResponseSize ends any chain) or Failed (`error`).
    Step answer(const uint8_t *data, size_t length, Error &error);
    // The transmit of command() failed: the pair of that SCARD_ code.
    Step transmitFailed(uint32_t scardCode, Error &error);
    const std::vector<uint8_t> &response() const { return m_Response; }

private:
    enum class Form { Plain, PageRead, PageWrite, Pn532, Session };
    Step unwrapPn532(const uint8_t *data, size_t length, Error &error);

    Form m_Form = Form::Plain;
    std::vector<uint8_t> m_Command;
    std::vector<uint8_t> m_Response;
};

// PN532 pseudo-APDU FF 00 00 00 Lc D4 <payload>.
std::vector<uint8_t> pn532Command(const std::vector<uint8_t> &payload);
// The answer D5 <code+1> <data> 90 00 to a PN532 pseudo-APDU of command `code`: its data.
// False: PCSC_E_READER_REFUSED with the SW (63 00, 63 01, 63 27, 63 7F, ...), or
// PCSC_E_MALFORMED_ANSWER.
bool pn532AnswerData(uint8_t code, const uint8_t *answer, size_t length, std::vector<uint8_t> &data, Error &error);

}  // namespace pcsc
