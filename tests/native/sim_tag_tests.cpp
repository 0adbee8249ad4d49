// The simulator's pure parts: the scenario parser, the NDEF messages it stores and the Type 4,
// Type 3 and Type 2 tag models answering command by command. (How the plug-in routes commands to them,
// and the whole road with the demo, are tested under Wine: tests/sim.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HexText.h"
#include "SimNdef.h"
#include "SimScenario.h"
#include "SimType2Tag.h"
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

// One command of a table and the answer it must get; "" for a Type 3 or Type 2 command: no response.
struct Step {
    const char *what;
    std::string command;
    std::string response;
};

void expectAnswers(sim::SimType4Tag &tag, const std::vector<Step> &steps)
{
    for (const Step &s : steps) {
        const Bytes apdu = unhex(s.command);
        EXPECT_EQ(hex(tag.answer(apdu.data(), apdu.size())), s.response) << s.what;
    }
}

// The commands and responses are written without their length byte, which is added and checked.
void expectAnswers(sim::SimType3Tag &tag, const std::vector<Step> &steps)
{
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
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Scenario
// ---------------------------------------------------------------------------------------------

TEST(SimScenario, BadLinesAreRefusedWithTheirLineNumber)
{
    struct Case {
        std::string text;
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
        {"card T2 0 100 size=100\n", 1},               // not one of the three sizes
        {"card T2 0 100 size=0x90\n", 1},
        {"card T2 0 100 uid=04112233\n", 1},           // a Type 2 Tag's UID is 7 bytes
        {"card T2 0 100 ats=0578807002\n", 1},         // a Type 2 Tag has no ATS
        {"card T2 0 100 sig=0102\n", 1},               // the signature is 32 bytes
        {"card A 0 100 readonly\n", 1},                // Type 4 Tags are read only anyway
        {"card T2 0 100\ntext en " + std::string(126, 'x') + "\n", 2},  // 133 bytes > 132
        {"card T2 0 100 size=504\ntext en " + std::string(481, 'x') + "\n", 2},  // 491 > 490
        {"card A 0 100 ndef_size=64\n", 1},                 // a size without "writable"
        {"card F 0 100 writable ndef_size=15\n", 1},         // below one block
        {"card B 0 100 writable ndef_size=8193\n", 1},
        {"card F424 0 100 writable ndef_size=1k\n", 1},
        {"card A 0 100 writable ndef_size=\n", 1},
        {"card T2 0 100 writable\n", 1},                     // Type 2 Tags are writable unless read only
        {"card A 0 100 blank\n", 1},
        {"card T2 0 100 blank readonly\n", 1},
        {"card T2 0 100 blank\nempty\n", 2},                 // a blank tag holds no message
        {"card T2 0 100 image=E1100400000000\n", 1},        // not whole pages
        {"card T2 0 100 image=E1100400\n", 1},              // no data page
        {"card T2 0 100 image=E1100400FE000000 readonly\n", 1},
        {"card T2 0 100 image=E1100400FE000000 blank\n", 1},
        {"card T2 0 100 image=E1100400FE000000\nuri tel:1\n", 2},  // the image holds the message
        {"card A 0 100 strict\n", 1},                       // a Type 2 Tag's key
        {"card A 0 100 writable ndef_size=32\ntext en " + std::string(24, 'x') + "\n", 2},  // 31 > 30
        {"card F 0 100 writable ndef_size=20\ntext en " + std::string(26, 'x') + "\n", 2},  // 33 > 32
        {"port COM3 100 100\n", 1},                         // not a port of the simulator
        {"port SIM1 0 100\n", 1},                           // never present
        {"port SIM1 100\n", 1},
        {"port SIM1 100 -5\n", 1},
        {"port SIM1 100 0\nport SIM1 50 50\n", 2},          // listed twice
        {"port SIM" + std::string(61, '1') + " 100 0\n", 1},  // 64 bytes
        {"port SIM1 100 0 " + std::string(128, 'r') + "\n", 1},
    };
    for (const Case &c : cases) {
        sim::Scenario scenario;
        uint32_t line = 0;
        EXPECT_FALSE(sim::parseScenario(c.text, scenario, line)) << c.text;
        EXPECT_EQ(line, c.line) << c.text;
    }
}

// "port" lines: readers that come and go, each on its own period counted from the plug-in's load.
TEST(SimScenario, PortLinesGiveEachReaderItsPresentAndAbsentPeriods)
{
    const sim::Scenario scenario = parse("port SIM1 300 200 Desk reader 1\nport SIM2 1000 0\ncard A 0 100\n");
    ASSERT_EQ(scenario.ports.size(), 2u);
    const sim::PortSchedule &one = scenario.ports[0];
    const sim::PortSchedule &two = scenario.ports[1];
    EXPECT_EQ(one.portName, "SIM1");
    EXPECT_EQ(one.readerName, "Desk reader 1");
    EXPECT_EQ(two.readerName, sim::DefaultReaderName);
    const struct {
        uint32_t sinceLoadMs;
        bool onePresent;
    } times[] = {{0, true}, {299, true}, {300, false}, {499, false}, {500, true}, {799, true}, {800, false},
                 {1000000299, true}, {1000000300, false}};
    for (const auto &t : times) {
        EXPECT_EQ(one.presentAt(t.sinceLoadMs), t.onePresent) << t.sinceLoadMs << " ms";
        EXPECT_TRUE(two.presentAt(t.sinceLoadMs)) << t.sinceLoadMs << " ms";
    }
    EXPECT_TRUE(parse("card A 0 100\n").ports.empty());
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
    const std::vector<Step> steps = {
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
    expectAnswers(tag, steps);
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
    sim::SimType3Tag tag(unhex("0102030405060708"), unhex("1112131415161718"), unhex("12FC"), message);
    Bytes blocks = message;
    blocks.resize(48, 0);
    const std::string idm = "0102030405060708";
    // Attribute block: version 1.0, Nbr 4, Nbw 1, NmaxB 3, read only, Ln 35, checksum.
    const std::string attributes = "1004010003000000000000000023003B";
    const std::vector<Step> steps = {
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
        {"write to the read only tag", "08" + idm + "010900018001" + std::string(32, 'A'), "09" + idm + "FFA5"},
        {"  leaves the block", "06" + idm + "010B00018001", "07" + idm + "000001" + hex(blocks).substr(0, 32)},
        {"polling for the NDEF system code", "0012FC0100", "01" + idm + "1112131415161718" + "12FC"},
        {"polling for another system code", "0088B40000", ""},
        {"unknown command", "0C" + idm, ""},
    };
    expectAnswers(tag, steps);
    // A length byte that does not match the frame: noise to the card.
    const Bytes noise = unhex("20060102030405060708010B00018000");
    Bytes response;
    EXPECT_FALSE(tag.answer(noise.data(), noise.size(), response));
}

// ---------------------------------------------------------------------------------------------
// Type 2 Tag
// ---------------------------------------------------------------------------------------------

namespace {

const Bytes Type2Uid = unhex("04112233445566");

// Sends one frame; "" stands for no response at all.
std::string send(sim::SimType2Tag &tag, const std::string &command)
{
    const Bytes frame = unhex(command);
    Bytes response;
    if (!tag.answer(frame.data(), frame.size(), response)) {
        EXPECT_TRUE(response.empty()) << command;
        return "";
    }
    EXPECT_FALSE(response.empty()) << command;
    return hex(response);
}

void expectAnswers(sim::SimType2Tag &tag, const std::vector<Step> &steps)
{
    for (const Step &s : steps) {
        EXPECT_EQ(send(tag, s.command), s.response) << s.what;
    }
}

std::string pages(const sim::SimType2Tag &tag, size_t first, size_t count)
{
    const Bytes &memory = tag.memory();
    return hex(Bytes(memory.begin() + first * 4, memory.begin() + (first + count) * 4));
}

}  // namespace

TEST(SimType2Tag, LaysOutUidLocksCapabilityContainerAndControlTlvsForEachSize)
{
    struct Case {
        size_t size;
        size_t pageCount;
        std::string capabilityContainer;
        std::string controlTlvs;  // lock control, memory control
        std::string version;
    } cases[] = {
        {144, 45, "E1101200", "0103A00C34" "0203A41004", "0004040201000F03"},
        {504, 135, "E1103F00", "0103880F56" "02038C1006", "0004040201001103"},
        {888, 231, "E1106F00", "0103E80E66" "0203EC1006", "0004040201001303"},
    };
    const Bytes message = uriRecord(0xD1, 0x04, "example.org");
    for (const Case &c : cases) {
        sim::SimType2Tag tag(Type2Uid, c.size, message, false, {});
        EXPECT_EQ(tag.pageCount(), c.pageCount) << c.size;
        // BCC0 = 88 ^ 04 ^ 11 ^ 22, BCC1 = 33 ^ 44 ^ 55 ^ 66; no lock bit set.
        EXPECT_EQ(pages(tag, 0, 4), "041122BF" "33445566" "44000000" + c.capabilityContainer) << c.size;
        EXPECT_EQ(pages(tag, 4, 5), c.controlTlvs + "03" + "10" + hex(message).substr(0, 2 * 8)) << c.size;
        EXPECT_EQ(tag.memory()[4 * 4 + 12 + message.size()], 0xFE) << "terminator, " << c.size;
        EXPECT_EQ(send(tag, "60"), c.version) << c.size;
    }
}

// 1-byte length up to 254, 3-byte length from 255; the terminator only where a byte is left.
TEST(SimType2Tag, NdefTlvTakesTheLengthFormOfItsMessageAndFillsTheDataArea)
{
    struct Case {
        size_t size;
        size_t messageLength;
        std::string header;
        bool terminator;
    } cases[] = {
        {144, 0, "0300", true},
        {144, 131, "0383", true},
        {144, 132, "0384", false},
        {504, 254, "03FE", true},
        {504, 255, "03FF00FF", true},
        {504, 490, "03FF01EA", false},
        {888, 874, "03FF036A", false},
    };
    for (const Case &c : cases) {
        Bytes message(c.messageLength);
        for (size_t i = 0; i < message.size(); ++i) {
            message[i] = static_cast<uint8_t>(0x30 + i % 0x40);
        }
        sim::SimType2Tag tag(Type2Uid, c.size, message, false, {});
        const Bytes &memory = tag.memory();
        const size_t start = 16 + 10;
        const size_t headerLength = c.header.size() / 2;
        EXPECT_EQ(hex(Bytes(memory.begin() + start, memory.begin() + start + headerLength)), c.header)
            << c.size << "/" << c.messageLength;
        EXPECT_TRUE(std::equal(message.begin(), message.end(), memory.begin() + start + headerLength))
            << c.size << "/" << c.messageLength;
        const size_t after = start + headerLength + message.size();
        const size_t dataEnd = 16 + c.size;
        ASSERT_LE(after, dataEnd);
        EXPECT_EQ(after < dataEnd && memory[after] == 0xFE, c.terminator) << c.size << "/" << c.messageLength;
    }
    EXPECT_EQ(sim::SimType2Tag::ndefCapacity(144), 132u);
    EXPECT_EQ(sim::SimType2Tag::ndefCapacity(504), 490u);
    EXPECT_EQ(sim::SimType2Tag::ndefCapacity(888), 874u);
    EXPECT_EQ(sim::SimType2Tag::ndefCapacity(100), 0u);
}

TEST(SimType2Tag, AnswersEachCommandWithDataAckNakOrSilence)
{
    Bytes signature(32);
    for (size_t i = 0; i < signature.size(); ++i) {
        signature[i] = static_cast<uint8_t>(0xA0 + i);
    }
    sim::SimType2Tag tag(Type2Uid, 144, uriRecord(0xD1, 0x03, "a.b"), false, signature);
    const std::string page0To3 = "041122BF" "33445566" "44000000" "E1101200";
    const std::string page4To7 = "0103A00C34" "0203A41004" "0308" "D1010455";
    const std::vector<Step> steps = {
        {"read page 0", "3000", page0To3},
        {"read page 4", "3004", page4To7},
        {"read the last page wraps to page 0", "302C", "00000000" + page0To3.substr(0, 24)},
        {"read past the end", "302D", "00"},
        {"fast read of four pages", "3A0003", page0To3},
        {"fast read of one page", "3A0303", "E1101200"},
        {"fast read of the last page", "3A2C2C", "00000000"},
        {"fast read backwards", "3A0302", "00"},
        {"fast read past the end", "3A002D", "00"},
        {"write a data page", "A20411223344", "0A"},
        {"  and read it back", "3A0404", "11223344"},
        {"write the last data page", "A227CAFEBABE", "0A"},
        {"  and read it back", "3027", "CAFEBABE" "00000000" "00000000" "00000000"},
        {"write UID page 0", "A200FFFFFFFF", "00"},
        {"write UID page 1", "A201FFFFFFFF", "00"},
        {"write a reserved page", "A22901020304", "00"},
        {"write past the end", "A22D01020304", "00"},
        {"compatibility write, first part", "A00A", "0A"},
        {"  16 bytes, of which 4 are written", "A1A2A3A4B1B2B3B4C1C2C3C4D1D2D3D4", "0A"},
        {"  and read back", "3A0A0B", "A1A2A3A4" "00000000"},
        {"compatibility write past the end", "A02D", "00"},
        {"compatibility write to a reserved page", "A029", "0A"},
        {"  its data is refused", "00000000000000000000000000000000", "00"},
        {"compatibility write with short data", "A006", "0A"},
        {"  is refused", "01020304", "00"},
        {"  and the page stays", "3A0606", "10040308"},
        {"  and the next frame is a command again", "3A0303", "E1101200"},
        {"get version", "60", "0004040201000F03"},
        {"read signature", "3C00", hex(signature)},
        {"read signature at another address", "3C01", "00"},
        {"read without a page", "30", ""},
        {"read with an extra byte", "300000", ""},
        {"fast read without an end", "3A00", ""},
        {"write with 3 bytes", "A204010203", ""},
        {"get version with an argument", "6000", ""},
        {"unknown command", "5000", ""},
        {"empty frame", "", ""},
    };
    expectAnswers(tag, steps);
}

TEST(SimType2Tag, ResetForgetsACompatibilityWriteWaitingForItsData)
{
    sim::SimType2Tag tag(Type2Uid, 144, {}, false, {});
    ASSERT_EQ(send(tag, "A004"), "0A");
    tag.reset();
    // Without the reset these 16 bytes would be data, answered with ACK.
    EXPECT_EQ(send(tag, "30043004300430043004300430043004"), "");
    EXPECT_EQ(send(tag, "3A0404"), "0103A00C");
}

// A strict tag knows READ, WRITE and COMPATIBILITY_WRITE; whatever it does not take sends it to
// IDLE, where it answers nothing until the next activation.
TEST(SimType2Tag, AStrictTagFallsSilentOnWhatItDoesNotTakeUntilItIsActivatedAgain)
{
    const std::string page0To3 = "041122BF" "33445566" "44000000" "E1101200";
    struct Case {
        const char *what;
        std::string refused;  // the command that sends the tag to IDLE
        std::string answer;   // what it answers to it ("": nothing)
    } cases[] = {
        {"GET_VERSION", "60", ""},
        {"FAST_READ", "3A0003", ""},
        {"READ_SIG", "3C00", ""},
        {"an unknown command", "5000", ""},
        {"a READ of a wrong length", "300000", ""},
        {"a READ past the end, NAKed", "302D", "00"},
        {"a WRITE of a UID page, NAKed", "A200FFFFFFFF", "00"},
    };
    for (const Case &c : cases) {
        sim::SimType2Tag tag(Type2Uid, 144, {}, false, {});
        tag.setStrict(true);
        EXPECT_EQ(send(tag, "3000"), page0To3) << c.what;
        EXPECT_EQ(send(tag, "A20411223344"), "0A") << c.what;
        EXPECT_EQ(send(tag, c.refused), "") << c.what << ": the NAK is not seen by the reader either";
        EXPECT_EQ(send(tag, "3000"), "") << c.what << ": asleep";
        EXPECT_EQ(send(tag, "A20455667788"), "") << c.what << ": asleep";
        tag.reset();
        EXPECT_EQ(send(tag, "3004"), "11223344" "340203A4" "10040300" "FE000000") << c.what << ": awake";
    }
}

// An image tag holds the capability container and data area it is given, then zero pages up to
// page 15, which are never written; it has no dynamic lock page.
TEST(SimType2Tag, AnImageTagHoldsItsImageAndWritesOnlyItsDataArea)
{
    const std::string image = "E1100400" "01036080" "02FD00FE" "00000000" "00000000" "00000000" "00000000"
                              "00000000" "00000000";
    sim::SimType2Tag tag = sim::SimType2Tag::imageTag(Type2Uid, unhex(image), {});
    ASSERT_EQ(tag.pageCount(), 16u);
    EXPECT_EQ(send(tag, "3003"), image.substr(0, 32));
    EXPECT_EQ(send(tag, "A20BCAFEBABE"), "0A");  // the last page of the data area
    EXPECT_EQ(send(tag, "300B"), "CAFEBABE" "00000000" "00000000" "00000000");
    EXPECT_EQ(send(tag, "A20C01020304"), "00");  // past the data area
    EXPECT_EQ(send(tag, "300C"), "00000000" "00000000" "00000000" "00000000");
    const sim::Scenario scenario = parse("card T2 0 100 strict image=" + image + "\n");
    ASSERT_EQ(scenario.cards.size(), 1u);
    EXPECT_TRUE(scenario.cards[0].strict);
    EXPECT_EQ(hex(scenario.cards[0].image), image);
    sim::CardModels models;
    sim::makeCardModels(scenario.cards[0], models);
    ASSERT_TRUE(models.type2);
    EXPECT_TRUE(models.type2->strict());
    EXPECT_EQ(hex(Bytes(models.type2->memory().begin() + 12, models.type2->memory().begin() + 48)), image);
}

// Lock bits can only be set; each locks its pages against WRITE; block-lock bits freeze them.
TEST(SimType2Tag, StaticAndDynamicLockBitsRefuseWritesToTheirPages)
{
    struct Case {
        const char *what;
        std::vector<std::string> setup;  // each answered with ACK
        std::string probe;
        std::string response;
    } cases[] = {
        {"nothing locked", {}, "A20401020304", "0A"},
        {"page 4 locked", {"A20200001000"}, "A20401020304", "00"},
        {"page 4 locked, page 5 not", {"A20200001000"}, "A20501020304", "0A"},
        {"page 15 locked", {"A20200000080"}, "A20F01020304", "00"},
        {"page 14 not locked by page 15's bit", {"A20200000080"}, "A20E01020304", "0A"},
        {"capability container locked", {"A20200000800"}, "A2030000000F", "00"},
        {"capability container bits are only set", {"A2030000000F", "A20300000000"}, "3A0303", "E110120F"},
        {"lock bits are only set", {"A20200001000", "A20200000000"}, "3A0202", "44001000"},
        {"BCC1 and the internal byte stay", {"A202FFFF0000"}, "3A0202", "44000000"},
        {"block-lock bit freezes pages 4-9", {"A20200000200", "A20200001000"}, "A20401020304", "0A"},
        {"block-lock bit leaves pages 10-15", {"A20200000200", "A20200000004"}, "A20A01020304", "00"},
        {"block-lock bit freezes pages 10-15", {"A20200000400", "A20200000080"}, "A20F01020304", "0A"},
        {"block-lock bit freezes the CC lock", {"A20200000100", "A20200000800"}, "A2030000000F", "0A"},
        {"dynamic bit 0 locks page 16", {"A22801000000"}, "A21001020304", "00"},
        {"dynamic bit 0 locks page 17", {"A22801000000"}, "A21101020304", "00"},
        {"dynamic bit 0 leaves page 18", {"A22801000000"}, "A21201020304", "0A"},
        {"dynamic bit 11 locks page 39", {"A22800080000"}, "A22701020304", "00"},
        {"dynamic bit 11 leaves page 37", {"A22800080000"}, "A22501020304", "0A"},
        {"dynamic bits beyond the 12th are not kept", {"A228FFFFFFFF"}, "3A2828", "FF0F0000"},
        {"dynamic lock bits are only set", {"A22801000000", "A22800000000"}, "3A2828", "01000000"},
        {"static bits do not reach page 16", {"A20200FFFFFF"}, "A21001020304", "0A"},
    };
    for (const Case &c : cases) {
        sim::SimType2Tag tag(Type2Uid, 144, {}, false, {});
        for (const std::string &command : c.setup) {
            ASSERT_EQ(send(tag, command), "0A") << c.what << ": " << command;
        }
        EXPECT_EQ(send(tag, c.probe), c.response) << c.what;
    }
}

// A read only tag keeps every byte, whatever is written to any page, by either write command.
TEST(SimType2Tag, ReadOnlyTagRefusesEveryWriteAndNeverChanges)
{
    for (size_t size : {144u, 504u, 888u}) {
        sim::SimType2Tag tag(Type2Uid, size, uriRecord(0xD1, 0x03, "a.b"), true, {});
        const Bytes before = tag.memory();
        EXPECT_EQ(pages(tag, 2, 2).substr(4), "FFFF" "E110" + hex({static_cast<uint8_t>(size / 8)}) + "0F");
        for (size_t page = 0; page < tag.pageCount() + 1; ++page) {
            char number[3];
            std::snprintf(number, sizeof(number), "%02X", static_cast<unsigned>(page));
            // Only the lock pages acknowledge (their bits are all set already).
            const size_t dynamicLockPage = 4 + size / 4;
            const std::string expected = page == 2 || page == dynamicLockPage ? "0A" : "00";
            EXPECT_EQ(send(tag, std::string("A2") + number + "00000000"), expected) << size << " page " << page;
            if (send(tag, std::string("A0") + number) == "0A") {
                EXPECT_EQ(send(tag, std::string(32, '5')), expected) << size << " page " << page;
            }
        }
        EXPECT_EQ(hex(tag.memory()), hex(before)) << size;
    }
}

TEST(SimScenario, Type2CardsTakeSizeUidSignatureAndReadOnly)
{
    const sim::Scenario scenario = parse("card T2 0 100\nuri tel:1\n"
                                         "card T2 0 100 size=888 uid=04A1B2C3D4E5F6 readonly sig=" +
                                         std::string(64, 'C') + "\n");
    ASSERT_EQ(scenario.cards.size(), 2u);
    const sim::CardDescription &plain = scenario.cards[0];
    EXPECT_TRUE(plain.type2);
    EXPECT_EQ(plain.kind, sim::CardKind::TypeA);
    EXPECT_EQ(plain.dataAreaSize, 144u);
    EXPECT_FALSE(plain.readOnly);
    EXPECT_EQ(hex(plain.nfcid1), "046B2D1A5C7380");
    EXPECT_EQ(plain.sensRes, 0x0044);
    EXPECT_EQ(plain.selRes, 0x00);
    EXPECT_TRUE(plain.ats.empty());
    EXPECT_TRUE(plain.signature.empty());
    EXPECT_EQ(plain.records.size(), 1u);
    const sim::CardDescription &locked = scenario.cards[1];
    EXPECT_TRUE(locked.type2);
    EXPECT_EQ(locked.dataAreaSize, 888u);
    EXPECT_TRUE(locked.readOnly);
    EXPECT_EQ(hex(locked.nfcid1), "04A1B2C3D4E5F6");
    EXPECT_EQ(hex(locked.signature), std::string(64, 'C'));
    // Kind A without T2 stays a Type 4 Tag.
    EXPECT_FALSE(parse("card A 0 100\n").cards[0].type2);
}

// "writable" makes a Type 4 or Type 3 Tag writable with an NDEF file (Type 4, NLEN included) or a
// data area (Type 3, whole blocks) of ndef_size bytes, 1024 by default; "blank" a blank Type 2 Tag.
TEST(SimScenario, WritableCardsTakeTheirNdefSizeAndBlankType2CardsHoldNothing)
{
    struct Case {
        std::string text;
        bool writable;
        size_t ndefSize;
        size_t capacity;
    } cases[] = {
        {"card A 0 100\n", false, sim::DefaultWritableNdefSize, 1024},
        {"card A 0 100 writable\n", true, 1024, 1022},
        {"card B 0 100 ndef_size=8192 writable\n", true, 8192, 8190},
        {"card F 0 100 writable ndef_size=20\n", true, 20, 32},
        {"card F424 0 100 writable ndef_size=16\n", true, 16, 16},
        {"card A 0 100 writable ndef_size=32\ntext en " + std::string(23, 'x') + "\n", true, 32, 30},
        {"card F 0 100 writable ndef_size=20\ntext en " + std::string(25, 'x') + "\n", true, 20, 32},
        {"card T2 0 100 size=504\n", false, sim::DefaultWritableNdefSize, 490},
        {"card T2 0 100 size=504 blank\n", false, sim::DefaultWritableNdefSize, 0},
    };
    for (const Case &c : cases) {
        const sim::Scenario scenario = parse(c.text);
        ASSERT_EQ(scenario.cards.size(), 1u) << c.text;
        const sim::CardDescription &card = scenario.cards[0];
        EXPECT_EQ(card.writable, c.writable) << c.text;
        EXPECT_EQ(card.ndefSize, c.ndefSize) << c.text;
        EXPECT_EQ(sim::ndefCapacity(card), c.capacity) << c.text;
        EXPECT_EQ(card.blank, c.text.find("blank") != std::string::npos) << c.text;
        EXPECT_FALSE(card.readOnly) << c.text;
    }
}

// ---------------------------------------------------------------------------------------------
// Writable Type 4 and Type 3 Tags, blank Type 2 Tag
// ---------------------------------------------------------------------------------------------

// A writable Type 4 Tag with a 64-byte NDEF file: UPDATE BINARY of at most MLc (0x34) bytes
// within the file; anything refused writes nothing.
TEST(SimType4Tag, WritableTagUpdatesItsNdefFileWithinItsSizeAndMlc)
{
    sim::SimType4Tag tag(unhex("D00000"), 64);
    const std::string mlcBytes(2 * 0x34, 'C');
    const std::vector<Step> steps = {
        {"update before any select", "00D6000001FF", "6986"},
        {"select the NDEF application", "00A4040007D276000085010100", "9000"},
        {"select the CC", "00A4000C02E103", "9000"},
        {"read the CC: MLc 0034, file size 0040, write access 00", "00B000000F", "000F20008000340406E104004000009000"},
        {"update the CC's write access", "00D6000E01FF", "6982"},
        {"  which stays", "00B0000E01", "009000"},
        {"select the NDEF file", "00A4000C02E104", "9000"},
        {"read what the scenario put there", "00B0000006", "0003D00000009000"},
        {"NLEN 0", "00D60000020000", "9000"},
        {"a message piece", "00D6000203112233", "9000"},
        {"NLEN 3", "00D60000020003", "9000"},
        {"  read back", "00B0000005", "00031122339000"},
        {"MLc bytes", "00D6000A34" + mlcBytes, "9000"},
        {"  read back", "00B0000A34", mlcBytes + "9000"},
        {"the last byte of the file", "00D6003F01EE", "9000"},
        {"  read back", "00B0003D03", "CC00EE9000"},
        {"Lc above MLc", "00D6000035" + mlcBytes + "CC", "6700"},
        {"Lc and data disagree", "00D6000002AA", "6700"},
        {"no data", "00D6000000", "6700"},
        {"header only", "00D60000", "6700"},
        {"with Le", "00D6000001AA00", "6700"},
        {"running past the end", "00D6003E03010203", "6700"},
        {"  writes nothing", "00B0003D03", "CC00EE9000"},
        {"starting at the end", "00D6004001AA", "6B00"},
        {"starting far past the end", "00D6100001AA", "6B00"},
        {"short file identifier", "00D6810001AA", "6A86"},
        {"  NLEN and message stay", "00B0000005", "00031122339000"},
    };
    expectAnswers(tag, steps);
    EXPECT_EQ(tag.ndefFile().size(), 64u);
}

// A writable Type 3 Tag of 3 data blocks, Nbw 4: Write Without Encryption of service 0009 with
// 2- and 3-byte block list elements; refused frames write nothing; the attribute block is kept
// as written, checksum and all.
TEST(SimType3Tag, WritableTagTakesWriteWithoutEncryptionOfUpToNbwBlocks)
{
    const std::string idm = "0102030405060708";
    sim::SimType3Tag tag(unhex(idm), unhex("1112131415161718"), unhex("12FC"), unhex("D00000"), 48);
    const std::string a(32, 'A'), b(32, 'B'), c(32, 'C'), d(32, 'D');
    const std::string ok = "09" + idm + "0000";
    // Version 1.0, Nbr 4, Nbw 4, Nmaxb 3, WriteF 00, RWFlag 01, Ln 3, checksum.
    const std::string attributes = "1004040003000000000001000003001F";
    const std::string odd = "10040400030000000000010000070000";  // a wrong checksum
    const std::vector<Step> steps = {
        {"attribute block", "06" + idm + "010B00018000", "07" + idm + "000001" + attributes},
        {"write block 1", "08" + idm + "010900018001" + a, ok},
        {"write block 2, 3-byte element", "08" + idm + "01090001000200" + b, ok},
        {"  read back", "06" + idm + "010B000280018002", "07" + idm + "000002" + a + b},
        {"write blocks 3, 2, 1 in one frame", "08" + idm + "0109000380038002" "8001" + c + d + b, ok},
        {"  read back", "06" + idm + "010B0003800180028003", "07" + idm + "000003" + b + d + c},
        {"write the attribute block as it is given", "08" + idm + "010900018000" + odd, ok},
        {"  read back unchanged", "06" + idm + "010B00018000", "07" + idm + "000001" + odd},
        {"five blocks (Nbw 4)", "08" + idm + "0109000580018002800380018002" + a + a + a + a + a, "09" + idm + "FFA2"},
        {"block beyond Nmaxb", "08" + idm + "010900028001" "8004" + a + a, "09" + idm + "FFA8"},
        {"block beyond Nmaxb, 3-byte element", "08" + idm + "01090001000400" + a, "09" + idm + "FFA8"},
        {"read only service 000B", "08" + idm + "010B00018001" + a, "09" + idm + "FFA6"},
        {"service order beyond the list", "08" + idm + "010900018101" + a, "09" + idm + "FFA3"},
        {"no service", "08" + idm + "00018001" + a, "09" + idm + "FFA1"},
        {"  none of these wrote", "06" + idm + "010B00028001" "8002", "07" + idm + "000002" + b + d},
        {"data one byte short", "08" + idm + "010900018001" + a.substr(2), ""},
        {"data one byte long", "08" + idm + "010900018001" + a + "00", ""},
        {"another card's IDm", "080102030405060709010900018001" + c, ""},
        {"  none of these wrote", "06" + idm + "010B00018001", "07" + idm + "000001" + b},
    };
    expectAnswers(tag, steps);
    EXPECT_EQ(tag.blocks().size(), 4 * 16u);
}

// Blank: capability container and data area 00 with the UID, BCC and lock pages as on any tag; a
// formatter's capability container goes down bit by bit (only set, never cleared).
TEST(SimType2Tag, BlankTagHasNoCapabilityContainerNorTlvsAndItsCcBitsAreOnlySet)
{
    for (size_t size : {144u, 504u, 888u}) {
        sim::SimType2Tag tag = sim::SimType2Tag::blankTag(Type2Uid, size, {});
        sim::SimType2Tag formatted(Type2Uid, size, {}, false, {});
        EXPECT_EQ(tag.pageCount(), formatted.pageCount()) << size;
        EXPECT_EQ(pages(tag, 0, 3), pages(formatted, 0, 3)) << size;
        EXPECT_EQ(pages(tag, 3, 1 + size / 4), std::string(8 + size * 2, '0')) << size;
        EXPECT_EQ(pages(tag, 4 + size / 4, 5), pages(formatted, 4 + size / 4, 5)) << size;
        EXPECT_EQ(send(tag, "60"), send(formatted, "60")) << size;
    }
    sim::SimType2Tag tag = sim::SimType2Tag::blankTag(Type2Uid, 144, {});
    const std::vector<Step> steps = {
        {"write the CC", "A203E1101200", "0A"},
        {"write more CC bits", "A2030000000F", "0A"},
        {"clearing bits is not possible", "A20300000000", "0A"},
        {"  the CC has every bit written", "3A0303", "E110120F"},
        {"write an empty NDEF TLV", "A2040300FE00", "0A"},
        {"  read back", "3A0404", "0300FE00"},
    };
    expectAnswers(tag, steps);
}
