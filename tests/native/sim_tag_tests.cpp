// The simulator's pure parts: the scenario parser, the NDEF messages it stores and the Type 4
// and Type 3 tag models answering command by command. (How the plug-in routes commands to them,
// and the whole road with the demo, are tested under Wine: tests/sim.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HexText.h"
#include "SimNdef.h"
#include "SimScenario.h"
#include "SimType3Tag.h"
#include "SimType4Tag.h"

namespace {

using korvat_test::hex;
using korvat_test::unhex;

using Bytes = std::vector<uint8_t>;

// NDEF records as a tag writer lays them out, built here by hand.
Bytes uriRecord(uint8_t header, uint8_t prefix, const std::string &rest)
{
    Bytes record{header, 0x01, static_cast<uint8_t>(1 + rest.size()), 'U', prefix};
    record.insert(record.end(), rest.begin(), rest.end());
    return record;
}

Bytes textRecord(uint8_t header, const std::string &language, const std::string &text)
{
    Bytes record{header, 0x01, static_cast<uint8_t>(1 + language.size() + text.size()), 'T',
                 static_cast<uint8_t>(language.size())};
    for (char c : language + text) {
        record.push_back(static_cast<uint8_t>(c));
    }
    return record;
}

sim::Scenario parse(const std::string &text)
{
    sim::Scenario scenario;
    uint32_t line = 0;
    EXPECT_TRUE(sim::parseScenario(text, scenario, line)) << text << " (line " << line << ")";
    return scenario;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Scenario
// ---------------------------------------------------------------------------------------------

TEST(SimScenario, BadLinesAreRefusedWithTheirLineNumber)
{
    struct Case {
        const char *text;
        uint32_t line;
    } cases[] = {
        {"# comment\n\ncard Q 0 100\n", 3},
        {"card A 100 100\n", 1},                       // leaves before it enters
        {"card A 0 100 nfcid1=0102030405060708090A0B\n", 1},  // 11 bytes
        {"card B 0 100 atqb=50\n", 1},                 // ATQB is 12 bytes
        {"card F 0 100 nfcid2=0102\n", 1},
        {"card A 0 100 nfcid2=0102030405060708\n", 1},  // a key of another kind
        {"card A 0 100 ats=0G\n", 1},
        {"uri https://example.org\n", 1},                // no card yet
        {"card A 0 100\ntext\n", 2},
        {"card A 0 100\nrepeat 0\n", 2},
        {"card A 0 100\nbeep\n", 2},
        {"card A 0 100\nempty now\n", 2},                // "empty" takes nothing
        {"empty\n", 1},
    };
    for (const Case &c : cases) {
        sim::Scenario scenario;
        uint32_t line = 0;
        EXPECT_FALSE(sim::parseScenario(c.text, scenario, line)) << c.text;
        EXPECT_EQ(line, c.line) << c.text;
    }
}

TEST(SimScenario, DefaultTypeBCardAnnouncesALegalFrameWaitingTime)
{
    const sim::Scenario scenario = parse("card B 0 100\n");
    ASSERT_EQ(scenario.cards.size(), 1u);
    const Bytes &atqb = scenario.cards[0].atqb;
    ASSERT_EQ(atqb.size(), 12u);
    // Protocol info byte 3, high nibble: FWI 0..14 (15 is reserved).
    EXPECT_LT(atqb[11] >> 4, 15) << hex(atqb);
}

// No records: an initialised tag without an NDEF message (length 0). "empty": a message of one
// NDEF empty record.
TEST(SimNdef, EmptyDirectiveStoresTheEmptyRecordAndNoRecordsStoreNothing)
{
    const sim::Scenario scenario = parse("card A 0 100\ncard A 0 100\nempty\ncard F 0 100\nempty\nuri tel:1\n");
    ASSERT_EQ(scenario.cards.size(), 3u);
    EXPECT_EQ(hex(sim::encodeNdefMessage(scenario.cards[0].records)), "");
    EXPECT_EQ(hex(sim::encodeNdefMessage(scenario.cards[1].records)), "D00000");
    EXPECT_EQ(hex(sim::encodeNdefMessage(scenario.cards[2].records)), "900000" "51010255" "0531");
}

// ---------------------------------------------------------------------------------------------
// Type 4 Tag
// ---------------------------------------------------------------------------------------------

TEST(SimType4Tag, AnswersTheNdefReadSequenceAndRefusesOtherApdus)
{
    Bytes message = uriRecord(0x91, 0x04, "example.org/x");
    const Bytes text = textRecord(0x51, "en", "Hi");
    message.insert(message.end(), text.begin(), text.end());
    ASSERT_EQ(message.size(), 27u);
    sim::SimType4Tag tag(message);
    const std::string nlenAndMessage = "001B" + hex(message);
    struct Step {
        const char *what;
        std::string command;
        std::string response;
    } steps[] = {
        {"read before any select", "00B0000002", "6986"},
        {"select CC before the application", "00A4000C02E103", "6A82"},
        {"select an unknown application", "00A4040007D2760000850102", "6A82"},
        {"select the NDEF application", "00A4040007D276000085010100", "9000"},
        {"select the CC", "00A4000C02E103", "9000"},
        {"read the CC", "00B000000F", "000F20008000340406E104001D00FF9000"},
        {"select an unknown file", "00A4000C02E105", "6A82"},
        {"select the NDEF file", "00A4000C02E104", "9000"},
        {"read NLEN", "00B0000002", "001B9000"},
        {"read the message", "00B000021B", hex(message) + "9000"},
        {"read across the end", "00B0001A08", nlenAndMessage.substr(2 * 0x1A) + "6282"},
        {"read past the end", "00B0001E01", "6B00"},
        {"read with SFI", "00B0810001", "6A86"},
        {"read without Le", "00B00000", "6700"},
        {"update (read only)", "00D6000001FF", "6982"},
        {"select with a wrong Lc", "00A4000C03E104", "6700"},
        {"select with an unknown P1", "00A4080C02E104", "6A86"},
        {"unknown instruction", "00CA000000", "6D00"},
        {"proprietary class", "80B0000002", "6E00"},
        {"too short", "00A4", "6700"},
        {"a failed select keeps the file", "00A4040007D2760000850102", "6A82"},
        {"still reads NLEN", "00B0000002", "001B9000"},
    };
    for (const Step &s : steps) {
        const Bytes apdu = unhex(s.command);
        EXPECT_EQ(hex(tag.answer(apdu.data(), apdu.size())), s.response) << s.what;
    }
}

// The capability container announces MLe 0x80: no answer carries more data than that.
TEST(SimType4Tag, ReadBinaryNeverAnswersMoreThanMle)
{
    const sim::Scenario scenario = parse("card A 0 100\ntext en " + std::string(300, 'x') + "\n");
    const Bytes message = sim::encodeNdefMessage(scenario.cards[0].records);
    ASSERT_GT(message.size(), 0x100u);
    sim::SimType4Tag tag(message);
    for (const char *select : {"00A4040007D276000085010100", "00A4000C02E104"}) {
        const Bytes apdu = unhex(select);
        ASSERT_EQ(hex(tag.answer(apdu.data(), apdu.size())), "9000");
    }
    struct Case {
        const char *command;
        std::string response;
    } cases[] = {
        {"00B0000280", hex(Bytes(message.begin(), message.begin() + 0x80)) + "9000"},  // Le = MLe
        {"00B0000281", "6C80"},                                                        // Le above MLe
        {"00B00002FF", "6C80"},
        {"00B0000200", "6C80"},                                                        // Le 256
    };
    for (const Case &c : cases) {
        const Bytes apdu = unhex(c.command);
        EXPECT_EQ(hex(tag.answer(apdu.data(), apdu.size())), c.response) << c.command;
    }
}

// ---------------------------------------------------------------------------------------------
// Type 3 Tag
// ---------------------------------------------------------------------------------------------

TEST(SimType3Tag, AnswersReadWithoutEncryptionOfItsNdefService)
{
    const Bytes message = textRecord(0xD1, "en", "Hello, simulated type 3 tag!");
    ASSERT_EQ(message.size(), 35u);  // three data blocks
    const sim::SimType3Tag tag(unhex("0102030405060708"), unhex("1112131415161718"), unhex("12FC"), message);
    Bytes blocks = message;
    blocks.resize(48, 0);
    const std::string idm = "0102030405060708";
    // Attribute block: version 1.0, Nbr 4, Nbw 1, NmaxB 3, read only, Ln 35, checksum.
    const std::string attributes = "1004010003000000000000000023003B";
    struct Step {
        const char *what;
        std::string command;  // without the length byte, which is added
        std::string response; // without the length byte; empty: no response
    } steps[] = {
        {"attribute block", "06" + idm + "010B00018000", "07" + idm + "000001" + attributes},
        {"data blocks 1-3", "06" + idm + "010B0003800180028003", "07" + idm + "000003" + hex(blocks)},
        {"3-byte block element", "06" + idm + "010B0001000200", "07" + idm + "000001" + hex(blocks).substr(32, 32)},
        {"block beyond the data", "06" + idm + "010B00018004", "07" + idm + "FFA8"},
        {"service code 0x1009", "06" + idm + "010910018001", "07" + idm + "FFA6"},
        {"no service", "06" + idm + "00018001", "07" + idm + "FFA1"},
        {"five blocks", "06" + idm + "010B000580008001800280038000", "07" + idm + "FFA2"},
        {"service order beyond the list", "06" + idm + "010B00018100", "07" + idm + "FFA3"},
        {"another card's IDm", "060102030405060709010B00018000", ""},
        {"cut-off block list", "06" + idm + "010B00028000", ""},
        {"polling for the NDEF system code", "0012FC0100", "01" + idm + "1112131415161718" + "12FC"},
        {"polling for another system code", "0088B40000", ""},
        {"unknown command", "0C" + idm, ""},
    };
    for (const Step &s : steps) {
        Bytes frame = unhex(s.command);
        frame.insert(frame.begin(), static_cast<uint8_t>(frame.size() + 1));
        Bytes response;
        const bool responded = tag.answer(frame.data(), frame.size(), response);
        if (s.response.empty()) {
            EXPECT_FALSE(responded) << s.what << ": " << hex(response);
        } else {
            ASSERT_TRUE(responded) << s.what;
            ASSERT_FALSE(response.empty()) << s.what;
            EXPECT_EQ(response[0], response.size()) << s.what;
            EXPECT_EQ(hex(Bytes(response.begin() + 1, response.end())), s.response) << s.what;
        }
    }
    // A length byte that does not match the frame: noise to the card.
    const Bytes noise = unhex("20060102030405060708010B00018000");
    Bytes response;
    EXPECT_FALSE(tag.answer(noise.data(), noise.size(), response));
}
