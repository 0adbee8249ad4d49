// The target a PC/SC reader reports, as the library's additional data (the layout the PN532
// reader gives, korvat_nfc_plugin.h), built from what the reader tells:
//  - with the Pn532 profile, from the chip's InListPassiveTarget answer (every field as the
//    card sent it);
//  - else from the ATR (PcscAtr.h), GET DATA FF CA 00 00 00 (UID / PUPI / IDm) and, for a -4
//    type A card, GET DATA FF CA 01 00 00 (the ATS, first byte TL) where the reader has it.
//
// Fields a reader without the PN532 profile cannot tell, and what the record then holds:
//  - type A SENS_RES: only its UID size bits, from the UID's length (4 bytes: 0000, 7: 0040,
//    10: 0080, first byte highest as the chip gives it); the anticollision bits stay 0, which no
//    card sends, so a derived SENS_RES is told apart from a received one;
//  - type A SEL_RES: from the ATR: 20 for a -4 card; for a storage card by its name: 00 03
//    (Type 2) 00, 00 01 08, 00 02 18, 00 26 09; 00 for any other name;
//  - type A ATS: the reader's GET DATA answer when it gives a well-formed one (TL equal to its
//    length), else none (ATS_size 0) even for a -4 card: its historical bytes stay in the ATR;
//  - type B ATQB: 50, the PUPI (GET DATA), the application data and the protocol info (the
//    ATR's historical bytes 1-7): all twelve bytes are the card's; ATTRIB answer: one byte, the
//    ATR's 8th historical byte (MBLI and CID, which is the first byte of the card's answer);
//  - FeliCa PAD (PMm): eight bytes FF when only the IDm is known (FF is no PMm's IC code, and
//    the time-out bytes FF give the longest response time, so nothing times out too early);
//    RD (system code): none (RD_size 0);
//  - FeliCa bit rate: 212 kbit/s when the ATR tells none (SS 11).
// Each such rule applied is set in the record's notes, for the trace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "PcscAtr.h"
#include "PcscError.h"
#include "ReaderTarget.h"

namespace pcsc {

enum class GetDataResult : uint8_t {
    Ok,          // 90 00, or 62 82 (the data end before Le: they are complete)
    NotOffered,  // 6A 81, 6D 00, 6E 00, 68 00, 6A 82
    WrongLe,     // 6C xx: ask again with Le xx (sw's low byte)
    Failed,      // any other status word
    Malformed,   // fewer than two bytes
};

struct GetDataAnswer {
    GetDataResult result = GetDataResult::Malformed;
    uint16_t statusWord = 0;
    std::vector<uint8_t> data;
};

// FF CA P1 00 Le.
const uint8_t GetDataIdentifier = 0x00;
const uint8_t GetDataAts = 0x01;
std::vector<uint8_t> getDataCommand(uint8_t p1, uint8_t le = 0);
GetDataAnswer parseGetDataAnswer(const uint8_t *answer, size_t length);

// Notes of a record built from ATR and GET DATA: which rule above filled a field.
const uint32_t NoteSensResDerived = 0x01;
const uint32_t NoteSelResFromAtr = 0x02;
const uint32_t NoteAtsNotGiven = 0x04;
const uint32_t NoteAtsMalformed = 0x08;
const uint32_t NoteTypeFromReader = 0x10;  // the ATR looked like type B; the reader's answers say A
const uint32_t NotePadUnknown = 0x20;
const uint32_t NoteRdUnknown = 0x40;
const uint32_t NoteFelicaRateAssumed = 0x80;
const uint32_t NoteAttribFromAtr = 0x100;

struct CardRecord {
    CardKind kind = CardKind::Unknown;  // after the reader's answers overruled the ATR
    reader::ListedTarget target;
    uint32_t notes = 0;
};

// From the ATR and the GET DATA answers (`ats` null when it was not asked: any card but a -4
// type A one). False: PCSC_E_UNSUPPORTED_CARD (ATR), PCSC_E_NO_IDENTIFIER (UID refused),
// PCSC_E_MALFORMED_ANSWER with PCSC_MALFORMED_GET_DATA (an identifier of impossible length).
bool buildCardRecord(const AtrInfo &atr, const GetDataAnswer &uid, const GetDataAnswer *ats, CardRecord &record,
                     Error &error);

// The PN532 profile: InListPassiveTarget of one target of the card's kind, and its answer.
std::vector<uint8_t> listTargetCommand(CardKind kind);
// False: the reader's failure (pn532AnswerData), PCSC_E_MALFORMED_ANSWER with
// PCSC_MALFORMED_TARGET_DATA, PCSC_E_NOT_LISTED when no target answered.
bool cardRecordFromListing(CardKind kind, const uint8_t *answer, size_t length, CardRecord &record, Error &error);

// The additional data block for the library (reader::additionalData's layout).
std::vector<uint8_t> additionalData(const CardRecord &record, uint32_t targetNumber);

}  // namespace pcsc
