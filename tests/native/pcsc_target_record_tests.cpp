// The target records a PC/SC reader reports: from the ATR and GET DATA per card kind (with the
// documented values of the fields the reader cannot tell), and from a PN532 listing. Every
// block built is also checked by the library's own decoder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HexText.h"
#include "NfcTargetDecoder.h"
#include "PcscErrorCodes.h"
#include "PcscTargetRecord.h"
#include "korvat_nfc_plugin.h"

namespace {

using korvat_test::hex;
using korvat_test::unhex;
using pcsc::CardKind;
using pcsc::GetDataResult;

uint32_t u32(const std::vector<uint8_t> &b, size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

std::string field(const std::vector<uint8_t> &b, size_t at, size_t size)
{
    return hex(std::vector<uint8_t>(b.begin() + at, b.begin() + at + size));
}

pcsc::GetDataAnswer getData(const std::string &text)
{
    const std::vector<uint8_t> bytes = unhex(text);
    return pcsc::parseGetDataAnswer(bytes.data(), bytes.size());
}

const char *const Type2Atr = "3B8F8001804F0CA0000003060300030000000068";
const char *const Classic1kAtr = "3B8F8001804F0CA00000030603000100000000" "6A";
const char *const TypeA4Atr = "3B858001807380211046";
const char *const TypeB4Atr = "3B8880010000000000718F10E7";
const char *const FelicaAtr = "3B8F8001804F0CA00000030611003B0000000042";
const char *const Felica424Atr = "3B8F8001804F0CA00000030603F0120000000089";

TEST(PcscTargetRecord, GetDataAnswersAreReadByTheirStatusWord)
{
    const struct {
        const char *answer;
        GetDataResult result;
        const char *data;
    } cases[] = {
        {"04A1B2C39000", GetDataResult::Ok, "04A1B2C3"},   {"04A1B2C36282", GetDataResult::Ok, "04A1B2C3"},
        {"6A81", GetDataResult::NotOffered, ""},           {"6A82", GetDataResult::NotOffered, ""},
        {"6D00", GetDataResult::NotOffered, ""},           {"6E00", GetDataResult::NotOffered, ""},
        {"6800", GetDataResult::NotOffered, ""},           {"6C07", GetDataResult::WrongLe, ""},
        {"6F00", GetDataResult::Failed, ""},               {"04A16300", GetDataResult::Failed, ""},
        {"90", GetDataResult::Malformed, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.answer);
        const pcsc::GetDataAnswer answer = getData(c.answer);
        EXPECT_EQ(answer.result, c.result);
        EXPECT_EQ(hex(answer.data), c.data);
    }
    EXPECT_EQ(hex(pcsc::getDataCommand(pcsc::GetDataIdentifier)), "FFCA000000");
    EXPECT_EQ(hex(pcsc::getDataCommand(pcsc::GetDataAts, 0x0A)), "FFCA01000A");
}

struct RecordCase {
    const char *name;
    const char *atr;
    const char *uid;
    const char *ats;  // null: not asked
    CardKind kind;
    uint32_t notes;
    // type A: SENS_RES (as in the block), SEL_RES, NFCID1, ATS; type B: ATQB, ATTRIB; FeliCa:
    // NFCID2, PAD, RD.
    const char *fields[4];
};

void checkBlock(const RecordCase &c, const pcsc::CardRecord &record)
{
    const std::vector<uint8_t> block = pcsc::additionalData(record, 9);
    const uint32_t cardType = pcsc::libraryCardType(record.kind);
    ASSERT_EQ(NfcTargetDecoder::check(cardType, block.data(), static_cast<uint32_t>(block.size())),
              NfcTargetCheck::Valid);
    EXPECT_EQ(u32(block, 0), cardType);
    EXPECT_EQ(u32(block, GP_AD_TARGET_NUMBER), 9u);
    switch (record.kind) {
    case CardKind::TypeAPart3:
    case CardKind::TypeA4:
        EXPECT_EQ(field(block, GP_AD_A_SENS_RES, 2), c.fields[0]);
        EXPECT_EQ(field(block, GP_AD_A_SEL_RES, 1), c.fields[1]);
        EXPECT_EQ(field(block, GP_AD_A_NFCID1, block[GP_AD_A_NFCID1_SIZE]), c.fields[2]);
        EXPECT_EQ(field(block, GP_AD_A_ATS, block[GP_AD_A_ATS_SIZE]), c.fields[3]);
        break;
    case CardKind::TypeB4:
        EXPECT_EQ(field(block, GP_AD_B_ATQB, 12), c.fields[0]);
        EXPECT_EQ(field(block, GP_AD_B_ATTRIB, block[GP_AD_B_ATTRIB_SIZE]), c.fields[1]);
        break;
    default:
        EXPECT_EQ(field(block, GP_AD_F_NFCID2, 8), c.fields[0]);
        EXPECT_EQ(field(block, GP_AD_F_PAD, 8), c.fields[1]);
        EXPECT_EQ(field(block, GP_AD_F_RD, block[GP_AD_F_RD_SIZE]), c.fields[2]);
        break;
    }
}

TEST(PcscTargetRecord, EachCardKindBecomesItsRecordWithTheDocumentedValues)
{
    using namespace pcsc;
    const uint32_t aNotes = NoteSensResDerived | NoteSelResFromAtr;
    const RecordCase cases[] = {
        {"Type 2, 7-byte UID", Type2Atr, "04A1B2C3D4E5F69000", nullptr, CardKind::TypeAPart3, aNotes,
         {"4000", "00", "04A1B2C3D4E5F6", ""}},
        {"Classic-class name, 4-byte UID", Classic1kAtr, "A1B2C3D49000", nullptr, CardKind::TypeAPart3, aNotes,
         {"0000", "08", "A1B2C3D4", ""}},
        {"A -4 with the reader's ATS", TypeA4Atr, "04112233445566778899" "9000", "0A788082028073802110" "9000",
         CardKind::TypeA4, aNotes, {"8000", "20", "04112233445566778899", "0A788082028073802110"}},
        {"A -4, ATS not offered", TypeA4Atr, "04A1B2C3D4E5F69000", "6A81", CardKind::TypeA4,
         aNotes | NoteAtsNotGiven, {"4000", "20", "04A1B2C3D4E5F6", ""}},
        {"A -4, ATS not asked", TypeA4Atr, "04A1B2C3D4E5F69000", nullptr, CardKind::TypeA4,
         aNotes | NoteAtsNotGiven, {"4000", "20", "04A1B2C3D4E5F6", ""}},
        {"A -4, ATS with a wrong TL", TypeA4Atr, "04A1B2C3D4E5F69000", "0B78808202807380211090" "00",
         CardKind::TypeA4, aNotes | NoteAtsMalformed, {"4000", "20", "04A1B2C3D4E5F6", ""}},
        {"B -4", TypeB4Atr, "1A2B3C4D9000", nullptr, CardKind::TypeB4, NoteAttribFromAtr,
         {"501A2B3C4D0000000000718F", "10"}},
        {"B-shaped ATR, but the reader has an ATS", TypeB4Atr, "1A2B3C4D9000", "0A080000000000718F10" "9000",
         CardKind::TypeA4, aNotes | NoteTypeFromReader, {"0000", "20", "1A2B3C4D", "0A080000000000718F10"}},
        {"B-shaped ATR, 7-byte UID", TypeB4Atr, "04A1B2C3D4E5F69000", nullptr, CardKind::TypeA4,
         aNotes | NoteTypeFromReader | NoteAtsNotGiven, {"4000", "20", "04A1B2C3D4E5F6", ""}},
        {"FeliCa SS 11", FelicaAtr, "012E4C123456789A9000", nullptr, CardKind::Felica212,
         NotePadUnknown | NoteRdUnknown | NoteFelicaRateAssumed, {"012E4C123456789A", "FFFFFFFFFFFFFFFF", ""}},
        {"FeliCa 424 (F0 12)", Felica424Atr, "012E4C123456789A9000", nullptr, CardKind::Felica424,
         NotePadUnknown | NoteRdUnknown, {"012E4C123456789A", "FFFFFFFFFFFFFFFF", ""}},
    };
    for (const RecordCase &c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> atrBytes = unhex(c.atr);
        const pcsc::AtrInfo atr = pcsc::parseAtr(atrBytes.data(), atrBytes.size());
        const pcsc::GetDataAnswer uid = getData(c.uid);
        pcsc::GetDataAnswer ats;
        if (c.ats != nullptr) {
            ats = getData(c.ats);
        }
        pcsc::CardRecord record;
        pcsc::Error error;
        ASSERT_TRUE(pcsc::buildCardRecord(atr, uid, c.ats != nullptr ? &ats : nullptr, record, error));
        EXPECT_EQ(record.kind, c.kind);
        EXPECT_EQ(record.notes, c.notes);
        checkBlock(c, record);
    }
}

TEST(PcscTargetRecord, CardsThatCannotBeRecordedGiveTheirPair)
{
    const struct {
        const char *name;
        const char *atr;
        const char *uid;
        uint32_t code;
        uint32_t detail;
    } cases[] = {
        {"bad TCK", "3B8F8001804F0CA0000003060300030000000069", "04A1B2C39000", PCSC_E_UNSUPPORTED_CARD, 3},
        {"ISO 14443 B part 3", "3B8F8001804F0CA000000306070000000000006F", "04A1B2C39000", PCSC_E_UNSUPPORTED_CARD,
         0x0706},
        {"UID refused", Type2Atr, "6A81", PCSC_E_NO_IDENTIFIER, 0x6A81},
        {"UID answer of one byte", Type2Atr, "90", PCSC_E_MALFORMED_ANSWER, PCSC_MALFORMED_NO_STATUS_WORD},
        {"UID of 5 bytes", TypeA4Atr, "04A1B2C3D49000", PCSC_E_MALFORMED_ANSWER, PCSC_MALFORMED_GET_DATA},
        {"empty UID", Type2Atr, "9000", PCSC_E_MALFORMED_ANSWER, PCSC_MALFORMED_GET_DATA},
        {"IDm of 4 bytes", FelicaAtr, "012E4C129000", PCSC_E_MALFORMED_ANSWER, PCSC_MALFORMED_GET_DATA},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> atrBytes = unhex(c.atr);
        pcsc::CardRecord record;
        pcsc::Error error;
        EXPECT_FALSE(pcsc::buildCardRecord(pcsc::parseAtr(atrBytes.data(), atrBytes.size()), getData(c.uid), nullptr,
                                           record, error));
        EXPECT_EQ(error.code, c.code);
        EXPECT_EQ(error.detail, c.detail);
    }
}

TEST(PcscTargetRecord, TypeBKindWithoutItsEightHistoricalBytesIsRefused)
{
    // Only a hand-made ATR reading can say type B without the bytes the ATQB is built from.
    for (const char *historical : {"", "0000000000718F"}) {
        SCOPED_TRACE(historical);
        pcsc::AtrInfo atr;
        atr.check = pcsc::AtrCheck::Valid;
        atr.kind = CardKind::TypeB4;
        atr.historical = unhex(historical);
        pcsc::CardRecord record;
        pcsc::Error error;
        EXPECT_FALSE(pcsc::buildCardRecord(atr, getData("1A2B3C4D9000"), nullptr, record, error));
        EXPECT_EQ(error.code, PCSC_E_UNSUPPORTED_CARD);
        EXPECT_TRUE(record.target.atqb.empty());
    }
}

TEST(PcscTargetRecord, Pn532ListingGivesTheCardsOwnFields)
{
    EXPECT_EQ(hex(pcsc::listTargetCommand(CardKind::TypeAPart3)), "FF00000004D44A0100");
    EXPECT_EQ(hex(pcsc::listTargetCommand(CardKind::TypeA4)), "FF00000004D44A0100");
    EXPECT_EQ(hex(pcsc::listTargetCommand(CardKind::TypeB4)), "FF00000005D44A010300");
    EXPECT_EQ(hex(pcsc::listTargetCommand(CardKind::Felica212)), "FF00000009D44A010100FFFF0100");
    EXPECT_EQ(hex(pcsc::listTargetCommand(CardKind::Felica424)), "FF00000009D44A010200FFFF0100");

    const RecordCase cases[] = {
        {"A -4", "D54B" "01010344200704112233445566067577810280" "9000", nullptr, nullptr, CardKind::TypeA4, 0,
         {"4403", "20", "04112233445566", "067577810280"}},
        {"Type 2 (SEL_RES 00) though the ATR said -4", "D54B" "01010044000704A1B2C3D4E5F6" "9000", nullptr, nullptr,
         CardKind::TypeAPart3, 0, {"4400", "00", "04A1B2C3D4E5F6", ""}},
        {"B", "D54B" "0101501234567800000000008171" "0101" "9000", nullptr, nullptr, CardKind::TypeB4, 0,
         {"501234567800000000008171", "01"}},
        {"FeliCa with RD", "D54B" "010114" "01012E4C123456789A03014B024F4993FF12FC" "9000", nullptr, nullptr,
         CardKind::Felica212, 0, {"012E4C123456789A", "03014B024F4993FF", "12FC"}},
    };
    const CardKind asked[] = {CardKind::TypeA4, CardKind::TypeA4, CardKind::TypeB4, CardKind::Felica212};
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const RecordCase &c = cases[i];
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> answer = unhex(c.atr);
        pcsc::CardRecord record;
        pcsc::Error error;
        ASSERT_TRUE(pcsc::cardRecordFromListing(asked[i], answer.data(), answer.size(), record, error));
        EXPECT_EQ(record.kind, c.kind);
        EXPECT_EQ(record.notes, 0u);
        checkBlock(c, record);
    }
}

TEST(PcscTargetRecord, FailedListingsGiveTheirPair)
{
    const struct {
        const char *name;
        const char *answer;
        uint32_t code;
        uint32_t detail;
    } cases[] = {
        {"no target", "D54B009000", PCSC_E_NOT_LISTED, 0x01},
        {"target data cut", "D54B01019000", PCSC_E_MALFORMED_ANSWER, PCSC_MALFORMED_TARGET_DATA},
        {"answer to another command", "D5030000009000", PCSC_E_MALFORMED_ANSWER, PCSC_MALFORMED_PN532_HEADER},
        {"chip failed", "6300", PCSC_E_READER_REFUSED, 0x6300},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> answer = unhex(c.answer);
        pcsc::CardRecord record;
        pcsc::Error error;
        EXPECT_FALSE(pcsc::cardRecordFromListing(CardKind::Felica212, answer.data(), answer.size(), record, error));
        EXPECT_EQ(error.code, c.code);
        EXPECT_EQ(error.detail, c.detail);
    }
}

}  // namespace
