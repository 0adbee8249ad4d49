// A target as a reader lists it (the fields of each kind, what every reader core reports), the
// target data of an InListPassiveTarget answer (the form in which the PN532 gives them, on a
// serial line or inside a PC/SC reader) and the reader plug-in's additional data block
// (korvat_nfc_plugin.h) built from a target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace reader {

// BrTy of InListPassiveTarget.
enum class Modulation : uint8_t { TypeA106 = 0x00, Felica212 = 0x01, Felica424 = 0x02, TypeB106 = 0x03 };

// Card types of the library (PollModeCardType; the bits of target_device).
const uint32_t CardTypeA = 1;
const uint32_t CardTypeF212 = 2;
const uint32_t CardTypeF424 = 4;
const uint32_t CardTypeB = 8;

struct ListedTarget {
    uint8_t tg = 0;          // the chip's number for the target
    uint32_t cardType = 0;   // CardType*
    // type A
    uint16_t sensRes = 0;    // as the PN532 gives it: first byte high
    uint8_t selRes = 0;
    std::vector<uint8_t> nfcid1;
    std::vector<uint8_t> ats;  // including TL; empty when the card sent none
    // type B
    std::vector<uint8_t> atqb;      // 12 bytes
    std::vector<uint8_t> attribRes;
    // FeliCa
    std::vector<uint8_t> nfcid2;  // IDm, 8 bytes
    std::vector<uint8_t> pad;     // PMm, 8 bytes
    std::vector<uint8_t> rd;      // system code, when the card returned one

    // What identifies the card: NFCID1, PUPI or IDm.
    std::vector<uint8_t> identifier() const;
    // Whether the chip exchanges ISO/IEC 14443-4 blocks with it: type B, and type A with SEL_RES
    // bit 0x20. FeliCa cards and type A cards without it take their own frames raw.
    bool isoDep() const;
    // A type A target with SEL_RES 00: an NFC Forum Type 2 Tag (ISO/IEC 14443-3 A only).
    bool type2Tag() const { return cardType == CardTypeA && selRes == 0x00; }
};

// Parses the data of an InListPassiveTarget answer after its command code (NbTg, then the
// target data of each target). False when it is malformed: too short, trailing bytes, more
// than two targets, or a field out of range.
bool parseListedTargets(Modulation modulation, const uint8_t *data, size_t length, std::vector<ListedTarget> &targets);

// Target data of one target of this modulation, as the chip would answer it (the inverse of the
// parser; used by the emulator and the tests).
std::vector<uint8_t> encodeTargetData(Modulation modulation, const ListedTarget &target);

// The additional data block handed to the library for a found target.
std::vector<uint8_t> additionalData(const ListedTarget &target, uint32_t targetNumber);

}  // namespace reader
