// The schedule of virtual cards read from a scenario file (format: sim_reader.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "SimNdef.h"
#include "SimType2Tag.h"
#include "SimType3Tag.h"
#include "SimType4Tag.h"

namespace sim {

// PollModeCardType values, which are also the target_device bits that select them.
enum class CardKind : uint32_t { TypeA = 1, TypeF212 = 2, TypeF424 = 4, TypeB = 8 };

const size_t DefaultWritableNdefSize = 1024;

struct CardDescription {
    CardKind kind = CardKind::TypeA;
    uint32_t enterMs = 0;
    uint32_t leaveMs = 0;
    // ISO/IEC 14443 A
    bool type2 = false;  // an NFC Forum Type 2 Tag (otherwise kind A is a Type 4 Tag)
    uint16_t sensRes = 0;
    uint8_t selRes = 0;
    std::vector<uint8_t> nfcid1;
    std::vector<uint8_t> ats;
    // Type 2 Tag
    size_t dataAreaSize = 0;
    bool readOnly = false;
    bool blank = false;  // capability container and data area 00 (no NDEF TLV)
    std::vector<uint8_t> image;  // capability container and data area as given (empty: the model's own)
    bool strict = false;         // no GET_VERSION, FAST_READ, READ_SIG; IDLE on what it does not take
    std::vector<uint8_t> signature;  // empty: 32 bytes 00
    // ISO/IEC 14443 B
    std::vector<uint8_t> atqb;
    std::vector<uint8_t> attrib;
    // ISO/IEC 18092 212/424 kbit/s
    std::vector<uint8_t> nfcid2;
    std::vector<uint8_t> pad;
    std::vector<uint8_t> rd;
    // Type 4 and Type 3 Tags (kinds A, B, F, F424): writable, and the NDEF file size (Type 4,
    // NLEN included) or data capacity (Type 3) of a writable tag.
    bool writable = false;
    size_t ndefSize = DefaultWritableNdefSize;
    std::vector<NdefRecordDescription> records;
};

// The longest NDEF message a card of this description may hold.
size_t ndefCapacity(const CardDescription &card);

// A reader that the simulator lists (gp_list_ports) and opens only while it is plugged in: present
// for presentMs, then absent for absentMs, over and over, from the plug-in's load (absentMs 0:
// always present).
struct PortSchedule {
    std::string portName;    // "SIM..." as the port is opened
    std::string readerName;  // as listed
    uint32_t presentMs = 0;
    uint32_t absentMs = 0;

    bool presentAt(uint32_t sinceLoadMs) const
    {
        return absentMs == 0 || sinceLoadMs % (presentMs + absentMs) < presentMs;
    }
};

const char DefaultReaderName[] = "Simulated reader";

struct Scenario {
    std::vector<CardDescription> cards;
    uint32_t repeatMs = 0;  // 0: the schedule runs once
    std::vector<PortSchedule> ports;  // empty: every SIM port is always there
};

// Parses scenario text. On failure returns false with the 1-based line in error.
bool parseScenario(const std::string &text, Scenario &scenario, uint32_t &errorLine);

// The tag model of one scenario card, as it is when the card first enters the field: exactly one
// of the three is made (Type 2 for "T2" cards, blank or not; Type 4 for kinds A and B; Type 3
// for FeliCa), writable where the card says so.
struct CardModels {
    std::unique_ptr<SimType2Tag> type2;
    std::unique_ptr<SimType4Tag> type4;
    std::unique_ptr<SimType3Tag> type3;

    // The card was (re)activated (a Type 3 Tag keeps nothing from one frame to the next).
    void reset();
};
void makeCardModels(const CardDescription &description, CardModels &models);

}  // namespace sim
