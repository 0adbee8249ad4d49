// The ATR a PC/SC reader makes up for a contactless card, and what it tells about the card.
//
// Two forms exist:
//  - storage cards (ISO/IEC 14443-3, FeliCa):
//      3B 8F 80 01 80 4F 0C A0 00 00 03 06 SS NN NN 00 00 00 00 TCK
//    the historical bytes hold the category byte 80 and the application identifier object
//    4F 0C (RID A0 00 00 03 06, standard SS, card name NN NN, four bytes that are zero);
//  - ISO/IEC 14443-4 cards: 3B 8n 80 01 + n historical bytes + TCK.
// Both have TD1 = 80 and TD2 = 01 (T=1 indicated), so TCK is always present: the XOR of every
// byte from T0 to TCK is 0.
//
// Type A or type B for a -4 card. A type A card's historical bytes are those of its ATS (0 to
// 15 bytes, any content); a type B card's are exactly 8: the ATQB's application data (4 bytes),
// its protocol info (3 bytes) and a byte of MBLI (high nibble) and CID. The rule used here:
// 8 historical bytes whose 5th byte (bit rate capability) has bit 4 clear (RFU, always 0) and
// whose 6th byte's protocol type (low nibble) has bit 1 set (ISO/IEC 14443-4 compliant) and
// bit 4 clear (always 0; bits 2-3 are the card's TR2 and may be anything) are type B;
// anything else is type A. An ATS with 8 historical bytes of that shape would be
// taken for type B: the target record (PcscTargetRecord.h) overrules the ATR when the reader
// gives an ATS for the card or an identifier that is no PUPI (not 4 bytes).
//
// FeliCa: SS 11 (any name; 00 3B is FeliCa's) tells no bit rate and is taken as 212 kbit/s,
// which every FeliCa card answers at; SS 03 with name F0 11 / F0 12 is FeliCa at 212 / 424.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pcsc {

enum class CardKind : uint8_t {
    Unknown = 0,
    TypeAPart3 = 1,  // ISO/IEC 14443 A up to part 3 (storage card; name 00 03: NFC Forum Type 2)
    TypeA4 = 2,      // ISO/IEC 14443 A part 4
    TypeB4 = 3,      // ISO/IEC 14443 B part 4
    Felica212 = 4,
    Felica424 = 5,
};

enum class AtrCheck : uint8_t {
    Valid = 0,
    Truncated = 1,            // ends before its interface bytes, historical bytes or TCK
    BadInitialByte = 2,       // TS is not 3B (nor 3F)
    BadTck = 3,               // the XOR from T0 to TCK is not 0
    TrailingBytes = 4,        // bytes after TCK
    UnknownForm = 5,          // interface bytes or historical bytes of neither form
    UnsupportedStandard = 6,  // storage-card form with an SS other than 03 or 11
    UnsupportedCardName = 7,  // SS 03 with name F0 04 (Type 1 Tag: no record of the library)
};

// Standards (SS) and card names (NN NN) of the storage-card form.
const uint8_t StandardIso14443APart3 = 0x03;
const uint8_t StandardFelica = 0x11;
const uint16_t CardNameType2 = 0x0003;
const uint16_t CardNameFelica = 0x003B;
const uint16_t CardNameFelica212 = 0xF011;
const uint16_t CardNameFelica424 = 0xF012;
const uint16_t CardNameType1 = 0xF004;

struct AtrInfo {
    AtrCheck check = AtrCheck::Truncated;
    CardKind kind = CardKind::Unknown;
    bool storageForm = false;  // the storage-card form (standard and name are set)
    uint8_t standard = 0;
    uint16_t cardName = 0;
    std::vector<uint8_t> historical;  // set whenever the structure could be read
};

// Reads an ATR. The result's check says why it is not valid; the kind is Unknown then.
AtrInfo parseAtr(const uint8_t *atr, size_t length);

// The type B rule above, on the historical bytes of a -4 ATR.
bool looksLikeTypeB(const std::vector<uint8_t> &historical);

// The library's card type (DEVICE_TYPE_NFC_*) of a card kind; 0 for Unknown.
uint32_t libraryCardType(CardKind kind);

}  // namespace pcsc
