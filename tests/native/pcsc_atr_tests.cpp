// The ATRs PC/SC readers make up for contactless cards: both forms, every card kind, and each
// reason an ATR is refused. The TCKs are written out, not computed, so a wrong XOR rule fails.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HexText.h"
#include "PcscAtr.h"
#include "korvat_nfc.h"

namespace {

using korvat_test::hex;
using korvat_test::unhex;
using pcsc::AtrCheck;
using pcsc::CardKind;

pcsc::AtrInfo parse(const std::string &text)
{
    const std::vector<uint8_t> atr = unhex(text);
    return pcsc::parseAtr(atr.data(), atr.size());
}

struct ValidCase {
    const char *name;
    const char *atr;
    CardKind kind;
    bool storageForm;
    uint8_t standard;
    uint16_t cardName;
    const char *historical;
};

const ValidCase ValidCases[] = {
    {"Type 2 (name 00 03)", "3B8F8001804F0CA0000003060300030000000068", CardKind::TypeAPart3, true, 0x03, 0x0003,
     "804F0CA00000030603000300000000"},
    {"A part 3, another name", "3B8F8001804F0CA00000030603000100000000" "6A", CardKind::TypeAPart3, true, 0x03,
     0x0001, "804F0CA00000030603000100000000"},
    {"FeliCa SS 11 name 00 3B", "3B8F8001804F0CA00000030611003B0000000042", CardKind::Felica212, true, 0x11, 0x003B,
     "804F0CA00000030611003B00000000"},
    {"FeliCa 212 as SS 03 F0 11", "3B8F8001804F0CA00000030603F011000000008A", CardKind::Felica212, true, 0x03, 0xF011,
     "804F0CA00000030603F01100000000"},
    {"FeliCa 424 as SS 03 F0 12", "3B8F8001804F0CA00000030603F0120000000089", CardKind::Felica424, true, 0x03, 0xF012,
     "804F0CA00000030603F01200000000"},
    {"A -4, ATS historical bytes", "3B858001807380211046", CardKind::TypeA4, false, 0, 0, "8073802110"},
    {"A -4, no historical bytes", "3B80800101", CardKind::TypeA4, false, 0, 0, ""},
    {"B -4: app data, protocol info, MBLI", "3B8880010000000000718F10E7", CardKind::TypeB4, false, 0, 0,
     "0000000000718F10"},
    {"8 bytes, bit rate byte bit 4 set: A", "3B8880010000000008718F10EF", CardKind::TypeA4, false, 0, 0,
     "0000000008718F10"},
    {"8 bytes, protocol type not -4: A", "3B8880010000000000708F10E6", CardKind::TypeA4, false, 0, 0,
     "0000000000708F10"},
    {"B -4 with TR2 bits in the protocol type", "3B8880010000000000778F10E1", CardKind::TypeB4, false, 0, 0,
     "0000000000778F10"},
    {"8 bytes, protocol type bit 4 set: A", "3B8880010000000000798F10EF", CardKind::TypeA4, false, 0, 0,
     "0000000000798F10"},
    {"7 bytes of B shape: A", "3B8780010000000000718FF8", CardKind::TypeA4, false, 0, 0, "0000000000718F"},
};

TEST(PcscAtr, EachFormGivesItsCardKindAndHistoricalBytes)
{
    for (const ValidCase &c : ValidCases) {
        SCOPED_TRACE(c.name);
        const pcsc::AtrInfo info = parse(c.atr);
        EXPECT_EQ(info.check, AtrCheck::Valid);
        EXPECT_EQ(info.kind, c.kind);
        EXPECT_EQ(info.storageForm, c.storageForm);
        EXPECT_EQ(info.standard, c.standard);
        EXPECT_EQ(info.cardName, c.cardName);
        EXPECT_EQ(hex(info.historical), c.historical);
    }
}

struct RefusedCase {
    const char *name;
    const char *atr;
    AtrCheck check;
};

const RefusedCase RefusedCases[] = {
    {"empty", "", AtrCheck::Truncated},
    {"TS only", "3B", AtrCheck::Truncated},
    {"cut in the interface bytes", "3B8F80", AtrCheck::Truncated},
    {"cut in the historical bytes", "3B8F8001804F0CA000000306030003", AtrCheck::Truncated},
    {"TCK missing", "3B8F8001804F0CA00000030603000300000000", AtrCheck::Truncated},
    {"bad TCK", "3B8F8001804F0CA0000003060300030000000069", AtrCheck::BadTck},
    {"bad TCK of a -4 card", "3B858001807380211047", AtrCheck::BadTck},
    {"one historical byte changed", "3B858001807380211146", AtrCheck::BadTck},
    {"byte after TCK", "3B8F8001804F0CA000000306030003000000006800", AtrCheck::TrailingBytes},
    {"TS neither 3B nor 3F", "3C8F8001804F0CA0000003060300030000000068", AtrCheck::BadInitialByte},
    {"contact card, T=0 only", "3B021450", AtrCheck::UnknownForm},
    {"TA1 present", "3B9511" "8001807380211047", AtrCheck::UnknownForm},
    {"unknown SS 07", "3B8F8001804F0CA000000306070000000000006F", AtrCheck::UnsupportedStandard},
    {"unknown SS 0B", "3B8F8001804F0CA0000003060B00000000000063", AtrCheck::UnsupportedStandard},
    {"Type 1 name F0 04", "3B8F8001804F0CA00000030603F004000000009F", AtrCheck::UnsupportedCardName},
};

TEST(PcscAtr, RefusedAtrsSayWhyAndGiveNoKind)
{
    for (const RefusedCase &c : RefusedCases) {
        SCOPED_TRACE(c.name);
        const pcsc::AtrInfo info = parse(c.atr);
        EXPECT_EQ(info.check, c.check);
        EXPECT_EQ(info.kind, CardKind::Unknown);
    }
}

TEST(PcscAtr, NullPointerIsTruncated)
{
    EXPECT_EQ(pcsc::parseAtr(nullptr, 20).check, AtrCheck::Truncated);
}

TEST(PcscAtr, CardKindsMapToTheLibrarysCardTypes)
{
    EXPECT_EQ(pcsc::libraryCardType(CardKind::TypeAPart3), DEVICE_TYPE_NFC_14443A_18092_106K);
    EXPECT_EQ(pcsc::libraryCardType(CardKind::TypeA4), DEVICE_TYPE_NFC_14443A_18092_106K);
    EXPECT_EQ(pcsc::libraryCardType(CardKind::TypeB4), DEVICE_TYPE_NFC_14443B_106K);
    EXPECT_EQ(pcsc::libraryCardType(CardKind::Felica212), DEVICE_TYPE_NFC_18092_212K);
    EXPECT_EQ(pcsc::libraryCardType(CardKind::Felica424), DEVICE_TYPE_NFC_18092_424K);
    EXPECT_EQ(pcsc::libraryCardType(CardKind::Unknown), 0u);
}

}  // namespace
