// The reader profiles: which profile the probe plan finds from a reader's answers, and how a
// raw frame is wrapped into APDUs and the card's answer unwrapped, failures included.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "HexText.h"
#include "PcscErrorCodes.h"
#include "PcscProfile.h"

namespace {

using korvat_test::hex;
using korvat_test::unhex;
using pcsc::CardKind;
using pcsc::Exchange;
using pcsc::ProbeOutcome;
using pcsc::Profile;

const char *const FirmwareCommand = "FF00000002D402";
const char *const StartSession = "FFC20000028100";
const char *const EndSession = "FFC20000028200";
const char *const PageProbe = "FFB0000010";
const char *const SixteenBytes = "0102030405060708090A0B0C0D0E0F10";

// A reader as a table of answers by command; a command it does not know gets 6D 00. An answer
// "!xxxxxxxx" is a failed transmit with that SCARD_ code.
struct ScriptedReader {
    std::map<std::string, std::string> answers;
    std::string answerTo(const std::string &command) const
    {
        const auto found = answers.find(command);
        return found == answers.end() ? "6D00" : found->second;
    }
};

struct ProbeRun {
    std::vector<std::string> commands;
    std::vector<ProbeOutcome> outcomes;
    Profile profile = Profile::PlainApdu;
    uint32_t firmware = 0;
    pcsc::Error error;
};

ProbeRun probe(const ScriptedReader &reader, CardKind kind)
{
    ProbeRun run;
    pcsc::ProbePlan plan(kind);
    for (int steps = 0; !plan.finished() && steps < 10; ++steps) {
        const std::string command = hex(plan.command());
        run.commands.push_back(command);
        const std::string answer = reader.answerTo(command);
        if (answer[0] == '!') {
            run.outcomes.push_back(plan.transmitFailed(std::stoul(answer.substr(1), nullptr, 16), run.error));
        } else {
            const std::vector<uint8_t> bytes = unhex(answer);
            run.outcomes.push_back(plan.answer(bytes.data(), bytes.size()));
        }
    }
    EXPECT_TRUE(plan.finished());
    run.profile = plan.profile();
    run.firmware = plan.firmware();
    return run;
}

TEST(PcscProfile, ProbePlanFindsTheProfileFromTheReadersAnswers)
{
    using O = ProbeOutcome;
    const std::string sessionOk = "C0030090009000";
    struct Case {
        const char *name;
        CardKind kind;
        ScriptedReader reader;
        Profile profile;
        std::vector<std::string> commands;
        std::vector<ProbeOutcome> outcomes;
    };
    const Case cases[] = {
        {"PN532 inside", CardKind::TypeA4, {{{FirmwareCommand, "D503320106079000"}}}, Profile::Pn532,
         {FirmwareCommand}, {O::Offered}},
        {"transparent session, storage card", CardKind::TypeAPart3,
         {{{FirmwareCommand, "6A81"}, {StartSession, sessionOk}, {EndSession, sessionOk}}}, Profile::TransparentSession,
         {FirmwareCommand, StartSession, EndSession}, {O::NotOffered, O::Offered, O::Offered}},
        {"transparent session, FeliCa", CardKind::Felica424,
         {{{FirmwareCommand, "6E00"}, {StartSession, "C003009000" "9000"}, {EndSession, "6A81"}}},
         Profile::TransparentSession, {FirmwareCommand, StartSession, EndSession},
         {O::NotOffered, O::Offered, O::Unexpected}},
        {"session end not transmitted: still a session reader", CardKind::TypeAPart3,
         {{{StartSession, sessionOk}, {EndSession, "!80100016"}}}, Profile::TransparentSession,
         {FirmwareCommand, StartSession, EndSession}, {O::NotOffered, O::Offered, O::NotOffered}},
        {"pages for a Type 2 card", CardKind::TypeAPart3,
         {{{FirmwareCommand, "6D00"}, {StartSession, "6A81"}, {PageProbe, std::string(SixteenBytes) + "9000"}}},
         Profile::StoragePages, {FirmwareCommand, StartSession, PageProbe},
         {O::NotOffered, O::NotOffered, O::Offered}},
        {"pages refused", CardKind::TypeAPart3, {{{PageProbe, "6981"}}}, Profile::PlainApdu,
         {FirmwareCommand, StartSession, PageProbe}, {O::NotOffered, O::NotOffered, O::NotOffered}},
        {"page read of 4 bytes", CardKind::TypeAPart3, {{{PageProbe, "010203049000"}}}, Profile::PlainApdu,
         {FirmwareCommand, StartSession, PageProbe}, {O::NotOffered, O::NotOffered, O::Unexpected}},
        {"no page probe for a -4 card", CardKind::TypeB4, {{}}, Profile::PlainApdu, {FirmwareCommand, StartSession},
         {O::NotOffered, O::NotOffered}},
        {"transmits failed, card still there", CardKind::TypeA4,
         {{{FirmwareCommand, "!80100016"}, {StartSession, "!8010001F"}}}, Profile::PlainApdu,
         {FirmwareCommand, StartSession}, {O::NotOffered, O::NotOffered}},
        {"PN532 answer too short", CardKind::TypeA4, {{{FirmwareCommand, "D50332019000"}}}, Profile::PlainApdu,
         {FirmwareCommand, StartSession}, {O::Unexpected, O::NotOffered}},
        {"PN532 chip error 63 7F", CardKind::TypeA4, {{{FirmwareCommand, "637F"}}}, Profile::PlainApdu,
         {FirmwareCommand, StartSession}, {O::NotOffered, O::NotOffered}},
        {"session answer 90 00 alone", CardKind::Felica212, {{{StartSession, "9000"}}}, Profile::PlainApdu,
         {FirmwareCommand, StartSession}, {O::NotOffered, O::Unexpected}},
        {"session error object", CardKind::Felica212, {{{StartSession, "C003016A819000"}}}, Profile::PlainApdu,
         {FirmwareCommand, StartSession}, {O::NotOffered, O::NotOffered}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const ProbeRun run = probe(c.reader, c.kind);
        EXPECT_EQ(run.profile, c.profile);
        EXPECT_EQ(run.commands, c.commands);
        EXPECT_EQ(run.outcomes, c.outcomes);
        EXPECT_EQ(run.error.code, 0u);
    }
}

TEST(PcscProfile, ProbeKeepsThePn532FirmwareAndEndsWhenTheCardLeaves)
{
    const ProbeRun pn532 = probe({{{FirmwareCommand, "D503320106079000"}}}, CardKind::Felica212);
    EXPECT_EQ(pn532.firmware, 0x32010607u);

    for (const char *gone : {"!80100069", "!80100017", "!8010001D"}) {
        SCOPED_TRACE(gone);
        const ProbeRun run = probe({{{FirmwareCommand, "6D00"}, {StartSession, gone}}}, CardKind::TypeAPart3);
        EXPECT_EQ(run.commands, (std::vector<std::string>{FirmwareCommand, StartSession}));
        EXPECT_EQ(run.outcomes.back(), ProbeOutcome::Failed);
        EXPECT_EQ(run.error.detail, std::stoul(gone + 1, nullptr, 16));
    }
}

TEST(PcscProfile, TransmitFailuresMapToTheirPairs)
{
    const struct {
        uint32_t scard;
        uint32_t code;
    } cases[] = {
        {0x80100069, PCSC_E_CARD_REMOVED},  {0x8010000C, PCSC_E_CARD_REMOVED},  {0x80100068, PCSC_E_CARD_REMOVED},
        {0x80100017, PCSC_E_READER_GONE},   {0x80100003, PCSC_E_READER_GONE},   {0x8010002E, PCSC_E_READER_GONE},
        {0x8010001D, PCSC_E_SERVICE},       {0x8010001E, PCSC_E_SERVICE},       {0x80100016, PCSC_E_TRANSMIT},
        {0x8010000A, PCSC_E_TRANSMIT},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.scard);
        Exchange exchange;
        pcsc::Error error;
        const std::vector<uint8_t> select = unhex("00A4040007D276000085010100");
        ASSERT_TRUE(exchange.begin(Profile::PlainApdu, CardKind::TypeA4, select.data(), select.size(), 0, error));
        EXPECT_EQ(exchange.transmitFailed(c.scard, error), Exchange::Step::Failed);
        EXPECT_EQ(error.code, c.code);
        EXPECT_EQ(error.detail, c.scard);
    }
}

// One gp_read: the frame, then each APDU expected and the reader's answer to it.
struct ExchangeCase {
    const char *name;
    Profile profile;
    CardKind kind;
    std::string frame;
    uint32_t timeoutMs;
    std::vector<std::pair<std::string, std::string>> steps;
    std::string response;  // when no error
    uint32_t errorCode;
    uint32_t errorDetail;
};

void runExchange(const ExchangeCase &c)
{
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> frame = unhex(c.frame);
    Exchange exchange;
    pcsc::Error error;
    const bool begun = exchange.begin(c.profile, c.kind, frame.data(), frame.size(), c.timeoutMs, error);
    Exchange::Step step = begun ? Exchange::Step::Again : Exchange::Step::Failed;
    for (size_t i = 0; i < c.steps.size(); ++i) {
        ASSERT_EQ(step, Exchange::Step::Again) << "step " << i;
        EXPECT_EQ(hex(exchange.command()), c.steps[i].first) << "step " << i;
        const std::vector<uint8_t> answer = unhex(c.steps[i].second);
        step = exchange.answer(answer.data(), answer.size(), error);
    }
    if (c.errorCode == 0) {
        ASSERT_EQ(step, Exchange::Step::Done);
        EXPECT_EQ(hex(exchange.response()), c.response);
    } else {
        EXPECT_EQ(step, Exchange::Step::Failed);
    }
    EXPECT_EQ(error.code, c.errorCode);
    EXPECT_EQ(error.detail, c.errorDetail);
}

const std::string Select = "00A4040007D276000085010100";
const std::string Polling = "0600FFFF0100";
const std::string Pn532Polling = "FF00000009D440010600FFFF0100";

TEST(PcscProfile, FramesToIso14443_4CardsArePlainApdusExceptThroughAPn532)
{
    const ExchangeCase cases[] = {
        {"A -4, plain", Profile::PlainApdu, CardKind::TypeA4, Select, 0, {{Select, "9000"}}, "9000", 0, 0},
        {"B -4 through a session reader", Profile::TransparentSession, CardKind::TypeB4, "00B000000F",
         6000, {{"00B000000F", "000FD1010B5504657861D0009000"}}, "000FD1010B5504657861D0009000", 0, 0},
        {"card's error status word passed on", Profile::StoragePages, CardKind::TypeA4, Select, 0,
         {{Select, "6A82"}}, "6A82", 0, 0},
        {"class FF refused", Profile::PlainApdu, CardKind::TypeA4, "FFCA000000", 0, {}, "", PCSC_E_READER_CLASS,
         0xCA},
        {"answer without status word", Profile::PlainApdu, CardKind::TypeB4, Select, 0, {{Select, "90"}}, "",
         PCSC_E_MALFORMED_ANSWER, PCSC_MALFORMED_NO_STATUS_WORD},
        {"A -4 through a PN532", Profile::Pn532, CardKind::TypeA4, Select, 0,
         {{"FF00000010D44001" + Select, "D541009000" "9000"}}, "9000", 0, 0},
    };
    for (const ExchangeCase &c : cases) {
        runExchange(c);
    }
}

TEST(PcscProfile, Type2FramesTravelAsPagesOrThroughTheSessionOrAPn532)
{
    const std::string page = std::string(SixteenBytes);
    const ExchangeCase cases[] = {
        {"READ as FF B0", Profile::StoragePages, CardKind::TypeAPart3, "3004", 0, {{"FFB0000410", page + "9000"}},
         page, 0, 0},
        {"WRITE as FF D6, ACK", Profile::StoragePages, CardKind::TypeAPart3, "A20501020304", 0,
         {{"FFD600050401020304", "9000"}}, "0A", 0, 0},
        {"READ refused by the reader", Profile::StoragePages, CardKind::TypeAPart3, "30FF", 0,
         {{"FFB000FF10", "6A82"}}, "", PCSC_E_READER_REFUSED, 0x6A82},
        {"WRITE refused", Profile::StoragePages, CardKind::TypeAPart3, "A20201020304", 0,
         {{"FFD600020401020304", "6581"}}, "", PCSC_E_READER_REFUSED, 0x6581},
        {"READ of 4 bytes", Profile::StoragePages, CardKind::TypeAPart3, "3004", 0, {{"FFB0000410", "010203049000"}},
         "", PCSC_E_MALFORMED_ANSWER, PCSC_MALFORMED_PAGE_LENGTH},
        {"FAST_READ not carried by pages", Profile::StoragePages, CardKind::TypeAPart3, "3A0010", 0, {}, "",
         PCSC_E_NOT_CARRIED, 0x3A0101},
        {"READ with a stray byte not carried", Profile::StoragePages, CardKind::TypeAPart3, "300400", 0, {}, "",
         PCSC_E_NOT_CARRIED, 0x300101},
        {"no raw frames through plain APDUs", Profile::PlainApdu, CardKind::TypeAPart3, "3004", 0, {}, "",
         PCSC_E_NOT_CARRIED, 0x300001},
        {"READ through the session", Profile::TransparentSession, CardKind::TypeAPart3, "3004", 0,
         {{"FFC200010495023004", "C003009000" "9710" + page + "9000"}}, page, 0, 0},
        {"FAST_READ through the session, with timer", Profile::TransparentSession, CardKind::TypeAPart3, "3A0003", 100,
         {{"FFC200010C5F4604A086010095033A0003", "C003009000" "9710" + page + "9000"}}, page, 0, 0},
        {"READ through a PN532", Profile::Pn532, CardKind::TypeAPart3, "3004", 0,
         {{"FF00000005D440013004", "D54100" + page + "9000"}}, page, 0, 0},
    };
    for (const ExchangeCase &c : cases) {
        runExchange(c);
    }
}

TEST(PcscProfile, FelicaFramesTravelThroughTheSessionOrAPn532Only)
{
    const std::string pollingAnswer = "1201012E4C123456789A03014B024F4993FF";
    const ExchangeCase cases[] = {
        {"session", Profile::TransparentSession, CardKind::Felica212, Polling, 0,
         {{"FFC200010895060600FFFF0100", "C003009000" "9712" + pollingAnswer + "9000"}}, pollingAnswer, 0, 0},
        {"session: no card answer", Profile::TransparentSession, CardKind::Felica424, Polling, 0,
         {{"FFC200010895060600FFFF0100", "C0030090009000"}}, "", PCSC_E_CARD_NO_ANSWER, 0},
        {"session: error object", Profile::TransparentSession, CardKind::Felica212, Polling, 0,
         {{"FFC200010895060600FFFF0100", "C003016401" "9000"}}, "", PCSC_E_SESSION_STATUS, 0x016401},
        {"session: refused", Profile::TransparentSession, CardKind::Felica212, Polling, 0,
         {{"FFC200010895060600FFFF0100", "6A81"}}, "", PCSC_E_READER_REFUSED, 0x6A81},
        {"session: broken objects", Profile::TransparentSession, CardKind::Felica212, Polling, 0,
         {{"FFC200010895060600FFFF0100", "C0030090009714AA9000"}}, "", PCSC_E_MALFORMED_ANSWER,
         PCSC_MALFORMED_DATA_OBJECTS},
        {"PN532", Profile::Pn532, CardKind::Felica212, Polling, 0,
         {{Pn532Polling, "D54100" + pollingAnswer + "9000"}}, pollingAnswer, 0, 0},
        {"PN532: card silent (status 01)", Profile::Pn532, CardKind::Felica212, Polling, 0,
         {{Pn532Polling, "D541019000"}}, "", PCSC_E_CHIP_STATUS, 0x01},
        {"PN532: chip failed 63 00", Profile::Pn532, CardKind::Felica424, Polling, 0, {{Pn532Polling, "6300"}}, "",
         PCSC_E_READER_REFUSED, 0x6300},
        {"PN532: chip time-out 63 01", Profile::Pn532, CardKind::Felica212, Polling, 0, {{Pn532Polling, "6301"}},
         "", PCSC_E_READER_REFUSED, 0x6301},
        {"PN532: checksum 63 27", Profile::Pn532, CardKind::Felica212, Polling, 0, {{Pn532Polling, "6327"}}, "",
         PCSC_E_READER_REFUSED, 0x6327},
        {"PN532: bad command 63 7F", Profile::Pn532, CardKind::Felica212, Polling, 0, {{Pn532Polling, "637F"}}, "",
         PCSC_E_READER_REFUSED, 0x637F},
        {"PN532: answer to another command", Profile::Pn532, CardKind::Felica212, Polling, 0,
         {{Pn532Polling, "D543009000"}}, "", PCSC_E_MALFORMED_ANSWER, PCSC_MALFORMED_PN532_HEADER},
        {"PN532: no status byte", Profile::Pn532, CardKind::Felica212, Polling, 0, {{Pn532Polling, "D5419000"}}, "",
         PCSC_E_MALFORMED_ANSWER, PCSC_MALFORMED_PN532_HEADER},
        {"PN532: chained answer gathered", Profile::Pn532, CardKind::Felica212, Polling, 0,
         {{Pn532Polling, "D54140AABB9000"}, {"FF00000003D44001", "D54140CC9000"}, {"FF00000003D44001", "D54100DD9000"}},
         "AABBCCDD", 0, 0},
        {"PN532: chained piece without data ends the chain", Profile::Pn532, CardKind::Felica212, Polling, 0,
         {{Pn532Polling, "D54140AA9000"}, {"FF00000003D44001", "D541409000"}}, "", PCSC_E_MALFORMED_ANSWER,
         PCSC_MALFORMED_EMPTY_CHAIN},
        {"plain reader", Profile::PlainApdu, CardKind::Felica212, Polling, 0, {}, "", PCSC_E_NOT_CARRIED, 0x060004},
        {"pages reader", Profile::StoragePages, CardKind::Felica424, Polling, 0, {}, "", PCSC_E_NOT_CARRIED,
         0x060105},
        {"unknown card", Profile::Pn532, CardKind::Unknown, Polling, 0, {}, "", PCSC_E_NOT_CARRIED, 0x060200},
    };
    for (const ExchangeCase &c : cases) {
        runExchange(c);
    }
}

TEST(PcscProfile, LengthsBeyondTheCarrierAreRefused)
{
    const std::string longest(252 * 2, 'A'), tooLong(253 * 2, 'A');
    runExchange({"PN532 frame of 252 bytes", Profile::Pn532, CardKind::Felica212, longest, 0,
                 {{"FF000000FFD44001" + longest, "D541009000"}}, "", 0, 0});
    runExchange({"PN532 frame of 253 bytes", Profile::Pn532, CardKind::Felica212, tooLong, 0, {}, "",
                 PCSC_E_TOO_LONG, 253});
    runExchange({"session frame of 256 bytes", Profile::TransparentSession, CardKind::Felica212,
                 std::string(512, '1'), 0, {}, "", PCSC_E_TOO_LONG, 256});
    runExchange({"APDU over the maximum", Profile::PlainApdu, CardKind::TypeA4, "00" + std::string(4096 * 2, '1'), 0,
                 {}, "", PCSC_E_TOO_LONG, 4097});
    runExchange({"answer over the maximum", Profile::PlainApdu, CardKind::TypeA4, Select, 0,
                 {{Select, std::string(4095 * 2, '1') + "9000"}}, "", PCSC_E_TOO_LONG, 4097});

    Exchange exchange;
    pcsc::Error error;
    EXPECT_FALSE(exchange.begin(Profile::PlainApdu, CardKind::TypeA4, nullptr, 4, 0, error));
    EXPECT_EQ(error.code, PCSC_E_INVALID_ARGUMENT);
}

TEST(PcscProfile, SessionIsOpenedAndClosedAroundAccessToStorageCards)
{
    struct Case {
        Profile profile;
        CardKind kind;
        std::vector<std::string> start, end;
    };
    const Case cases[] = {
        {Profile::TransparentSession, CardKind::TypeAPart3, {StartSession}, {EndSession}},
        {Profile::TransparentSession, CardKind::Felica212, {StartSession, "FFC20002048F020300"}, {EndSession}},
        {Profile::TransparentSession, CardKind::Felica424, {StartSession, "FFC20002048F020300"}, {EndSession}},
        {Profile::TransparentSession, CardKind::TypeA4, {}, {}},
        {Profile::Pn532, CardKind::Felica212, {}, {}},
        {Profile::StoragePages, CardKind::TypeAPart3, {}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(pcsc::profileName(c.profile));
        std::vector<std::string> start, end;
        for (const auto &command : pcsc::accessStartCommands(c.profile, c.kind)) {
            start.push_back(hex(command));
        }
        for (const auto &command : pcsc::accessEndCommands(c.profile, c.kind)) {
            end.push_back(hex(command));
        }
        EXPECT_EQ(start, c.start);
        EXPECT_EQ(end, c.end);
    }
    pcsc::Error error;
    const std::vector<uint8_t> ok = unhex("C0030090009000"), refused = unhex("C003016A819000");
    EXPECT_TRUE(pcsc::accessAnswerOk(ok.data(), ok.size(), error));
    EXPECT_FALSE(pcsc::accessAnswerOk(refused.data(), refused.size(), error));
    EXPECT_EQ(error.code, PCSC_E_SESSION_STATUS);
    EXPECT_EQ(error.detail, 0x016A81u);
}

}  // namespace
