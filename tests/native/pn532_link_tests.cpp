// The reader's host-link code (portable, as the plug-in runs it) against the PN532 emulator on
// a pseudo-terminal: opening the chip, poll mode for each kind, device access, and a table of
// link faults with the outcome each must have, within its time-out.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "Pn532Frame.h"
#include "Pn532Reader.h"
#include "Pn532TestSupport.h"
#include "korvat_nfc_plugin.h"
#include "Pn532ErrorCodes.h"
#include "Pn532Limits.h"

namespace {

using Bytes = std::vector<uint8_t>;
using pn532test::EmulatorProcess;
using pn532test::TtyLink;

// One card of each kind in the field from the start; A's ATS carries its length byte.
const std::string AllKinds =
    "card A 0 600000 nfcid1=04A1A2A3A4A5A6 sens_res=0344 sel_res=20 ats=067577810280\n"
    "uri https://example.org/a\n"
    "card B 0 600000 atqb=5012345678000000000081F1 attrib=01\n"
    "text en Card B\n"
    "card F 0 600000 nfcid2=012E4C123456789A pad=03014B024F4993FF rd=12FC\n"
    "text en Card F\n";

// Runs the poll thread's steps until an event comes or `limitMs` pass.
bool pollUntilEvent(pn532::Reader &reader, reader::StatusReport &event, uint32_t limitMs)
{
    const uint32_t start = pn532test::monotonicMilliseconds();
    std::deque<reader::StatusReport> events;
    reader::StatusReport steady;
    while (pn532test::monotonicMilliseconds() - start < limitMs) {
        reader.pollStep();
        reader.takeReports(events, steady);
        if (!events.empty()) {
            event = events.front();
            return true;
        }
    }
    return false;
}

uint32_t steadyStatus(pn532::Reader &reader)
{
    std::deque<reader::StatusReport> events;
    reader::StatusReport steady;
    reader.takeReports(events, steady);
    return steady.driverStatus;
}

class Pn532LinkTest : public ::testing::Test {
protected:
    // With `linkPath`, the emulator makes it a symbolic link to its pseudo-terminal and the
    // host opens the port by that name (so that it finds a replugged reader again).
    void start(const std::string &scenario, const std::vector<std::string> &extra = {},
               const std::string &linkPath = "")
    {
        std::vector<std::string> arguments{"--scenario", pn532test::writeScenario("link.scenario", scenario)};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        if (!linkPath.empty()) {
            arguments.insert(arguments.end(), {"--link", linkPath});
        }
        emulator.reset(new EmulatorProcess(arguments));
        ASSERT_TRUE(emulator->started()) << "the emulator did not start: " << emulator->stop();
        link.reset(new TtyLink(linkPath.empty() ? emulator->path() : linkPath));
        ASSERT_TRUE(link->opened());
        reader.reset(new pn532::Reader(*link));
    }

    void openReader()
    {
        pn532::Error error;
        ASSERT_TRUE(reader->open(error)) << std::hex << error.code << " " << error.detail;
    }

    Bytes apdu(const Bytes &command)
    {
        Bytes response;
        pn532::Error error;
        EXPECT_TRUE(reader->exchange(command.data(), command.size(), response, error))
            << std::hex << error.code << " " << error.detail;
        return response;
    }

    std::unique_ptr<EmulatorProcess> emulator;
    std::unique_ptr<TtyLink> link;
    std::unique_ptr<pn532::Reader> reader;
};

TEST_F(Pn532LinkTest, OpenFindsAPn532AndEachKindIsFoundWithItsTargetData)
{
    start(AllKinds);
    openReader();
    EXPECT_EQ(reader->device().firmware(), 0x32010607u);
    const struct {
        uint32_t targetDevice;
        Bytes identifierField;
        size_t offset;
    } kinds[] = {
        {1, {0x04, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6}, GP_AD_A_NFCID1},
        {8, {0x50, 0x12, 0x34, 0x56, 0x78}, GP_AD_B_ATQB},
        {2, {0x01, 0x2E, 0x4C, 0x12, 0x34, 0x56, 0x78, 0x9A}, GP_AD_F_NFCID2},
        {4, {0x01, 0x2E, 0x4C, 0x12, 0x34, 0x56, 0x78, 0x9A}, GP_AD_F_NFCID2},
    };
    uint32_t number = 0;
    for (const auto &kind : kinds) {
        pn532::Error error;
        ASSERT_TRUE(reader->startPollMode(kind.targetDevice, error));
        reader::StatusReport found;
        ASSERT_TRUE(pollUntilEvent(*reader, found, 3000)) << "kind " << kind.targetDevice;
        EXPECT_EQ(found.driverStatus, GP_STATUS_STATE_ACTIVE | GP_CONNECT_REPORT_POLL_MODE);
        EXPECT_EQ(found.pollModeCardType, kind.targetDevice);
        ASSERT_GE(found.additionalData.size(), kind.offset + kind.identifierField.size());
        EXPECT_EQ(Bytes(found.additionalData.begin() + kind.offset,
                        found.additionalData.begin() + kind.offset + kind.identifierField.size()),
                  kind.identifierField);
        EXPECT_EQ(found.additionalData[GP_AD_TARGET_NUMBER], ++number);
        EXPECT_EQ(steadyStatus(*reader), GP_STATUS_STATE_ACTIVE | GP_ACCESS_WAITING);
        ASSERT_TRUE(reader->stopPollMode(error));
    }
    pn532::Error error;
    EXPECT_TRUE(reader->close(error));
}

TEST_F(Pn532LinkTest, DeviceAccessReadsTheNdefFileOfATypeATag)
{
    start(AllKinds);
    openReader();
    pn532::Error error;
    ASSERT_TRUE(reader->startPollMode(1, error));
    reader::StatusReport found;
    ASSERT_TRUE(pollUntilEvent(*reader, found, 3000));
    Bytes unused;
    EXPECT_FALSE(reader->exchange(Bytes{0x00}.data(), 1, unused, error));
    EXPECT_EQ(error.code, PN532_E_NOT_ACCESSING);
    ASSERT_TRUE(reader->startDeviceAccess(found.additionalData[GP_AD_TARGET_NUMBER], error));
    EXPECT_EQ(steadyStatus(*reader), GP_STATUS_STATE_ACTIVE | GP_ACCESS_ENABLED);
    EXPECT_EQ(apdu({0x00, 0xA4, 0x04, 0x00, 0x07, 0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x01, 0x00}), (Bytes{0x90, 0x00}));
    EXPECT_EQ(apdu({0x00, 0xA4, 0x00, 0x0C, 0x02, 0xE1, 0x04}), (Bytes{0x90, 0x00}));
    const Bytes nlen = apdu({0x00, 0xB0, 0x00, 0x00, 0x02});
    ASSERT_EQ(nlen.size(), 4u);
    const Bytes message = apdu({0x00, 0xB0, 0x00, 0x02, nlen[1]});
    const std::string text(message.begin(), message.end());
    EXPECT_NE(text.find("example.org/a"), std::string::npos);
    // A command longer than one frame goes in pieces with MI and is answered once, whole.
    Bytes longSelect{0x00, 0xA4, 0x04, 0x00, 0xFF};
    longSelect.resize(5 + 255, 0xAB);
    longSelect.insert(longSelect.end(), 300, 0xCD);
    EXPECT_EQ(apdu(longSelect), (Bytes{0x67, 0x00}));
    ASSERT_TRUE(reader->stopDeviceAccess(0, error));
    EXPECT_EQ(steadyStatus(*reader), GP_STATUS_STATE_IDLE);
}

TEST_F(Pn532LinkTest, StopModeZeroHidesTheCardUntilItLeavesAndModeOneFindsItAgain)
{
    start("card F 0 1500 nfcid2=01F1F2F3F4F5F6F7\n"
          "card F 2000 600000 nfcid2=01F1F2F3F4F5F6F7\n");
    openReader();
    pn532::Error error;
    ASSERT_TRUE(reader->startPollMode(2, error));
    reader::StatusReport found;
    ASSERT_TRUE(pollUntilEvent(*reader, found, 1000));
    ASSERT_TRUE(reader->startDeviceAccess(1, error));
    ASSERT_TRUE(reader->stopDeviceAccess(1, error));
    ASSERT_TRUE(pollUntilEvent(*reader, found, 500)) << "mode 1: found again at once";
    EXPECT_EQ(found.additionalData[GP_AD_TARGET_NUMBER], 2);
    ASSERT_TRUE(reader->startDeviceAccess(2, error));
    ASSERT_TRUE(reader->stopDeviceAccess(0, error));
    EXPECT_FALSE(pollUntilEvent(*reader, found, 800)) << "mode 0: not found while it stays";
    // It leaves at 1.5 s and comes back at 2 s.
    ASSERT_TRUE(pollUntilEvent(*reader, found, 2500));
    EXPECT_EQ(found.additionalData[GP_AD_TARGET_NUMBER], 3);
}

TEST_F(Pn532LinkTest, ACardThatLeavesBeforeAccessIsReportedAsACardError)
{
    // An ISO/IEC 14443-4 card (asked with Diagnose) and a Type 2 Tag (asked with READ of page 0).
    const char *const scenarios[] = {
        "card A 0 700 nfcid1=04C1C2C3C4C5C6 sel_res=20 ats=0578807002\n",
        "card T2 0 700 uid=04C1C2C3C4C5C6\n",
    };
    for (const char *scenario : scenarios) {
        start(scenario);
        openReader();
        pn532::Error error;
        ASSERT_TRUE(reader->startPollMode(1, error));
        reader::StatusReport event;
        ASSERT_TRUE(pollUntilEvent(*reader, event, 1000)) << scenario;
        ASSERT_EQ(event.driverStatus & GP_CONNECT_REPORT_POLL_MODE, GP_CONNECT_REPORT_POLL_MODE);
        EXPECT_EQ(steadyStatus(*reader), GP_STATUS_STATE_ACTIVE | GP_ACCESS_WAITING) << "present at first";
        ASSERT_TRUE(pollUntilEvent(*reader, event, 2000)) << scenario;
        EXPECT_EQ(event.driverStatus, GP_STATUS_CARD_ERROR | 1u << GP_CARD_ERROR_DETAIL_SHIFT) << scenario;
        EXPECT_EQ(event.error.code, PN532_E_CARD_NO_ANSWER) << scenario;
        EXPECT_EQ(steadyStatus(*reader), GP_STATUS_STATE_IDLE) << scenario;
    }
}

// A Type 2 Tag: found with its SENS_RES, SEL_RES 00, its 7-byte NFCID1 and no ATS; its commands go
// to it raw in one InDataExchange each and its answers come back as it gave them, a refusal (NAK)
// and silence as error pairs.
TEST_F(Pn532LinkTest, DeviceAccessToAType2TagHandsItsFramesRawAndItsRefusalsAsErrorPairs)
{
    const std::string scenario = "card T2 0 600000 size=504 uid=04A1B2C3D4E5F6\nuri https://example.org/t2\n";
    start(scenario);
    openReader();
    pn532::Error error;
    ASSERT_TRUE(reader->startPollMode(1, error));
    reader::StatusReport found;
    ASSERT_TRUE(pollUntilEvent(*reader, found, 3000));
    const Bytes uid{0x04, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6};
    ASSERT_EQ(found.additionalData.size(), size_t(GP_AD_A_ATS));
    EXPECT_EQ(found.additionalData[GP_AD_A_SENS_RES], 0x44);
    EXPECT_EQ(found.additionalData[GP_AD_A_SENS_RES + 1], 0x00);
    EXPECT_EQ(found.additionalData[GP_AD_A_SEL_RES], 0x00);
    EXPECT_EQ(found.additionalData[GP_AD_A_NFCID1_SIZE], 7);
    EXPECT_EQ(Bytes(found.additionalData.begin() + GP_AD_A_NFCID1, found.additionalData.begin() + GP_AD_A_NFCID1 + 7),
              uid);
    EXPECT_EQ(found.additionalData[GP_AD_A_ATS_SIZE], 0);
    ASSERT_TRUE(reader->startDeviceAccess(found.additionalData[GP_AD_TARGET_NUMBER], error));

    // Pages 0-3 as the tag lays them out: UID with its check bytes, static lock bytes 00 00, the
    // capability container of a 504-byte data area.
    const Bytes header{0x04, 0xA1, 0xB2, 0x9F, 0xC3, 0xD4, 0xE5, 0xF6, 0x04, 0x00, 0x00, 0x00, 0xE1, 0x10, 0x3F, 0x00};
    const Bytes largest = apdu({0x3A, 0x00, 0x40});  // FAST_READ of 65 pages: 260 bytes
    ASSERT_EQ(largest.size(), 260u);
    EXPECT_EQ(Bytes(largest.begin(), largest.begin() + 16), header);
    const std::string text(largest.begin(), largest.end());
    EXPECT_NE(text.find("example.org/t2"), std::string::npos);
    EXPECT_EQ(apdu({0x30, 0x00}), header);
    EXPECT_EQ(apdu({0x30, 0x08}), Bytes(largest.begin() + 32, largest.begin() + 48));
    EXPECT_EQ(apdu({0xA2, 0x40, 0x11, 0x22, 0x33, 0x44}), (Bytes{0x0A}));
    EXPECT_EQ(apdu({0x3A, 0x40, 0x40}), (Bytes{0x11, 0x22, 0x33, 0x44}));
    EXPECT_EQ(apdu({0x60}), (Bytes{0x00, 0x04, 0x04, 0x02, 0x01, 0x00, 0x11, 0x03}));

    const struct {
        const char *what;
        Bytes command;
        uint32_t code;
        uint32_t detail;
    } refused[] = {
        {"WRITE of a UID page: NAK", {0xA2, 0x00, 1, 2, 3, 4}, PN532_E_CARD_TRANSMISSION, 0x13},
        {"READ past the end: NAK", {0x30, 0x87}, PN532_E_CARD_TRANSMISSION, 0x13},
        {"FAST_READ of 66 pages: more than the chip's buffer", {0x3A, 0x00, 0x41}, PN532_E_CHIP_ERROR, 0x0E},
        {"HALT: the tag stays silent", {0x50, 0x00}, PN532_E_CARD_NO_ANSWER, 0x01},
        {"263 bytes: more than one frame, which cannot be chained", Bytes(263, 0x30), PN532_E_TOO_LONG, 263},
    };
    for (const auto &r : refused) {
        Bytes response;
        EXPECT_FALSE(reader->exchange(r.command.data(), r.command.size(), response, error)) << r.what;
        EXPECT_EQ(error.code, r.code) << r.what;
        EXPECT_EQ(error.detail, r.detail) << r.what;
    }
    // The tag still answers after each.
    EXPECT_EQ(apdu({0x30, 0x00}), header);
    ASSERT_TRUE(reader->stopDeviceAccess(1, error));
}

TEST_F(Pn532LinkTest, OpenRefusesAnotherChipAndOneThatDoesNotAnswer)
{
    // A PN533 answers GetFirmwareVersion with IC 33.
    start(AllKinds, {"--firmware", "33020108"});
    pn532::Error error;
    EXPECT_FALSE(reader->open(error));
    EXPECT_EQ(error.code, PN532_E_NOT_PN532);
    EXPECT_EQ(error.detail, 0x33020108u);

    start(AllKinds, {"--fault", "no-answer", "--fault-command", "02", "--fault-count", "0"});
    ASSERT_TRUE(reader->setTimeout(800, error));
    EXPECT_FALSE(reader->open(error));
    EXPECT_EQ(error.code, PN532_E_TIMEOUT);
    EXPECT_EQ(error.detail, 0x02u);
    EXPECT_FALSE(reader->isOpen());
}

// A reader unplugged while its target is checked for presence: one device error event, then
// the device error state for as long as it is away (not idle), and once it is plugged in again
// (a new pseudo-terminal behind the same name, a chip just powered on) the port is reopened, the
// chip woken and set up, and the card found again with the next number.
TEST_F(Pn532LinkTest, AnUnpluggedReaderStaysFailingUntilItIsBackAndThenFindsTheCardAgain)
{
    const std::string linkPath = pn532test::writeScenario("replug.link", "");
    start("card A 0 600000 nfcid1=04B1B2B3B4B5B6 sel_res=20 ats=0578807002\n",
          {"--fault", "disconnect", "--fault-command", "00", "--fault-skip", "1", "--replug", "1500"}, linkPath);
    openReader();
    pn532::Error error;
    ASSERT_TRUE(reader->startPollMode(1, error));
    reader::StatusReport event;
    ASSERT_TRUE(pollUntilEvent(*reader, event, 1500));
    ASSERT_EQ(event.driverStatus, GP_STATUS_STATE_ACTIVE | GP_CONNECT_REPORT_POLL_MODE);
    ASSERT_TRUE(pollUntilEvent(*reader, event, 2000));
    const uint32_t portLost = GP_STATUS_DEVICE_ERROR | PN532_DEVICE_ERROR_PORT_LOST << GP_DEVICE_ERROR_DETAIL_SHIFT;
    EXPECT_EQ(event.driverStatus, portLost);
    EXPECT_EQ(event.error.code, PN532_E_LINK);
    EXPECT_EQ(event.error.detail, PN532_LINK_READ_FAILED);

    // Away for 1.5 s: the state stays the device error, with its pair, and nothing else comes.
    std::deque<reader::StatusReport> events;
    reader::StatusReport steady;
    const uint32_t away = pn532test::monotonicMilliseconds();
    while (pn532test::monotonicMilliseconds() - away < 700) {
        reader->pollStep();
        reader->takeReports(events, steady);
        ASSERT_TRUE(events.empty()) << "an event while the reader is away: " << std::hex << events.front().driverStatus;
        ASSERT_EQ(steady.driverStatus, portLost);
        ASSERT_EQ(steady.error.code, PN532_E_LINK);
    }

    ASSERT_TRUE(pollUntilEvent(*reader, event, 4000)) << "the card was not found after the reader came back";
    EXPECT_EQ(event.driverStatus, GP_STATUS_STATE_ACTIVE | GP_CONNECT_REPORT_POLL_MODE);
    EXPECT_EQ(event.additionalData[GP_AD_TARGET_NUMBER], 2);
    EXPECT_EQ(steadyStatus(*reader), GP_STATUS_STATE_ACTIVE | GP_ACCESS_WAITING);
    EXPECT_NE(emulator->stop().find("plugged in again"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// Link faults during device access: each case names the fault, what the exchange must end
// with, and (for a failure) the pair. Every exchange must return within the time-out (+ margin).
// ---------------------------------------------------------------------------------------------

struct FaultCase {
    const char *name;
    std::vector<std::string> emulatorOptions;
    bool recovers;
    uint32_t code;    // when it does not
    uint32_t detail;
};

class Pn532LinkFaults : public Pn532LinkTest, public ::testing::WithParamInterface<FaultCase> {};

const uint32_t FaultTimeoutMs = 1000;

TEST_P(Pn532LinkFaults, ExchangeRecoversOrFailsWithItsPairWithinTheTimeout)
{
    const FaultCase &c = GetParam();
    std::vector<std::string> options{"--fault-command", "40"};
    options.insert(options.end(), c.emulatorOptions.begin(), c.emulatorOptions.end());
    start(AllKinds, options);
    openReader();
    pn532::Error error;
    ASSERT_TRUE(reader->setTimeout(FaultTimeoutMs, error));
    ASSERT_TRUE(reader->startPollMode(1, error));
    reader::StatusReport found;
    ASSERT_TRUE(pollUntilEvent(*reader, found, 2000));
    ASSERT_TRUE(reader->startDeviceAccess(found.additionalData[GP_AD_TARGET_NUMBER], error));

    const Bytes select{0x00, 0xA4, 0x04, 0x00, 0x07, 0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x01, 0x00};
    Bytes response;
    const uint32_t begun = pn532test::monotonicMilliseconds();
    const bool ok = reader->exchange(select.data(), select.size(), response, error);
    const uint32_t took = pn532test::monotonicMilliseconds() - begun;
    EXPECT_LE(took, FaultTimeoutMs + 500) << c.name << ": the exchange outlived its time-out";
    if (c.recovers) {
        EXPECT_TRUE(ok) << c.name << std::hex << ": " << error.code << " " << error.detail;
        EXPECT_EQ(response, (Bytes{0x90, 0x00})) << c.name;
    } else {
        EXPECT_FALSE(ok) << c.name;
        EXPECT_EQ(error.code, c.code) << c.name;
        EXPECT_EQ(error.detail, c.detail) << c.name;
    }
    if (c.code == PN532_E_LINK && c.detail == PN532_LINK_READ_FAILED) {
        return;  // the reader is gone
    }
    // Whatever happened, the link is in step again: the next exchange (no fault) works.
    bool everyCommand = false;
    for (size_t i = 0; i + 1 < c.emulatorOptions.size(); ++i) {
        everyCommand = everyCommand || (c.emulatorOptions[i] == "--fault-count" && c.emulatorOptions[i + 1] == "0");
    }
    if (!everyCommand) {
        EXPECT_TRUE(reader->exchange(select.data(), select.size(), response, error))
            << c.name << std::hex << ": " << error.code << " " << error.detail;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Pn532LinkFaults,
    ::testing::Values(
        FaultCase{"no_fault", {}, true, 0, 0},
        FaultCase{"ack_delayed_100ms", {"--fault", "delayed-ack", "--fault-count", "1", "--fault-delay", "100"}, true, 0, 0},
        FaultCase{"ack_delayed_past_the_timeout",
                  {"--fault", "delayed-ack", "--fault-count", "0", "--fault-delay", "3000"}, false, PN532_E_TIMEOUT, 0x40},
        FaultCase{"bad_checksum_once", {"--fault", "bad-checksum", "--fault-count", "1"}, true, 0, 0},
        FaultCase{"bad_checksum_always", {"--fault", "bad-checksum", "--fault-count", "0"}, false, PN532_E_LINK,
                  PN532_LINK_DAMAGED_FRAMES},
        FaultCase{"nack_once", {"--fault", "nack", "--fault-count", "1"}, true, 0, 0},
        FaultCase{"nack_always", {"--fault", "nack", "--fault-count", "0"}, false, PN532_E_TIMEOUT, 0x40},
        FaultCase{"dropped_byte_once", {"--fault", "dropped-byte", "--fault-count", "1"}, true, 0, 0},
        FaultCase{"dropped_byte_always", {"--fault", "dropped-byte", "--fault-count", "0"}, false, PN532_E_LINK,
                  PN532_LINK_DAMAGED_FRAMES},
        FaultCase{"no_answer_once", {"--fault", "no-answer", "--fault-count", "1"}, true, 0, 0},
        FaultCase{"no_answer_always", {"--fault", "no-answer", "--fault-count", "0"}, false, PN532_E_TIMEOUT, 0x40},
        FaultCase{"reader_unplugged", {"--fault", "disconnect"}, false, PN532_E_LINK, PN532_LINK_READ_FAILED}),
    [](const ::testing::TestParamInfo<FaultCase> &info) { return std::string(info.param.name); });

TEST_F(Pn532LinkTest, AChipThatStopsAnsweringWhilePollingIsReportedOnceAsADeviceError)
{
    start(AllKinds, {"--fault", "no-answer", "--fault-command", "4A", "--fault-count", "0"});
    openReader();
    pn532::Error error;
    ASSERT_TRUE(reader->setTimeout(600, error));
    ASSERT_TRUE(reader->startPollMode(1, error));
    reader::StatusReport event;
    ASSERT_TRUE(pollUntilEvent(*reader, event, 3000));
    EXPECT_EQ(event.driverStatus, GP_STATUS_DEVICE_ERROR | PN532_DEVICE_ERROR_TIMEOUT << GP_DEVICE_ERROR_DETAIL_SHIFT);
    EXPECT_EQ(event.error.code, PN532_E_TIMEOUT);
    EXPECT_EQ(event.error.detail, 0x4Au);
    EXPECT_FALSE(pollUntilEvent(*reader, event, 1500)) << "reported again while nothing changed";
    const std::string log = emulator->stop();
    EXPECT_NE(log.find(" aborts"), std::string::npos) << log;
}

// A device that keeps sending (a stray byte every 5 ms, for 4 s) must not keep an operation
// running past its time-out: opening, a listing of the poll thread and an exchange each end with
// PN532_E_TIMEOUT for the command the chip never answered.
TEST_F(Pn532LinkTest, ADeviceThatKeepsSendingEndsEachOperationWithinItsTimeout)
{
    enum class Operation { Open, Listing, Exchange };
    const struct {
        const char *name;
        Operation operation;
        const char *command;
        uint32_t code;
    } cases[] = {
        {"open", Operation::Open, "14", 0x14},
        {"listing", Operation::Listing, "4A", 0x4A},
        {"exchange", Operation::Exchange, "40", 0x40},
    };
    const uint32_t timeoutMs = 500;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        start(AllKinds, {"--fault", "babble", "--fault-command", c.command, "--fault-count", "0", "--fault-delay", "4000"});
        pn532::Error error;
        ASSERT_TRUE(reader->setTimeout(timeoutMs, error));
        if (c.operation != Operation::Open) {
            openReader();
            ASSERT_TRUE(reader->startPollMode(1, error));
        }
        if (c.operation == Operation::Exchange) {
            reader::StatusReport found;
            ASSERT_TRUE(pollUntilEvent(*reader, found, 2000));
            ASSERT_TRUE(reader->startDeviceAccess(found.additionalData[GP_AD_TARGET_NUMBER], error));
        }
        const uint32_t begun = pn532test::monotonicMilliseconds();
        bool ok = false;
        std::deque<reader::StatusReport> events;
        reader::StatusReport steady;
        switch (c.operation) {
        case Operation::Open:
            ok = reader->open(error);
            break;
        case Operation::Listing:
            reader->pollStep();
            reader->takeReports(events, steady);
            ok = events.empty();
            if (!ok) {
                error = events.front().error;
            }
            break;
        case Operation::Exchange: {
            const Bytes select{0x00, 0xA4, 0x04, 0x00, 0x02, 0xE1, 0x03};
            Bytes response;
            ok = reader->exchange(select.data(), select.size(), response, error);
            break;
        }
        }
        const uint32_t took = pn532test::monotonicMilliseconds() - begun;
        EXPECT_FALSE(ok);
        EXPECT_LE(took, timeoutMs + 300) << "the operation outlived its time-out";
        EXPECT_EQ(error.code, PN532_E_TIMEOUT);
        EXPECT_EQ(error.detail, c.code);
    }
}

// ---------------------------------------------------------------------------------------------
// Chaining, against a scripted chip in the test's own process: what the host sends, piece by
// piece, and how it gathers an answer that comes with MI.
// ---------------------------------------------------------------------------------------------

class ScriptedChip : public pn532::Link {
public:
    std::vector<Bytes> answers;   // data of each answer after its command code + 1
    std::vector<Bytes> commands;  // what the host sent (code and parameters)

    bool write(const uint8_t *data, size_t length) override
    {
        std::vector<pn532::Frame> frames;
        m_Reader.feed(data, length, frames);
        for (const pn532::Frame &f : frames) {
            if (f.kind != pn532::Frame::Kind::Information) {
                continue;
            }
            commands.push_back(f.data);
            Bytes answer{static_cast<uint8_t>(f.data[0] + 1)};
            if (!answers.empty()) {
                answer.insert(answer.end(), answers.front().begin(), answers.front().end());
                answers.erase(answers.begin());
            }
            m_Out.insert(m_Out.end(), pn532::AckFrame, pn532::AckFrame + 6);
            const Bytes frame = pn532::encodeFrame(pn532::ChipToHost, answer);
            m_Out.insert(m_Out.end(), frame.begin(), frame.end());
        }
        return true;
    }
    long read(uint8_t *buffer, size_t capacity, uint32_t) override
    {
        const size_t n = std::min(capacity, m_Out.size());
        std::copy(m_Out.begin(), m_Out.begin() + static_cast<long>(n), buffer);
        m_Out.erase(m_Out.begin(), m_Out.begin() + static_cast<long>(n));
        return static_cast<long>(n);
    }
    void discardInput() override {}
    uint32_t milliseconds() override { return pn532test::monotonicMilliseconds(); }
    bool reopen() override { return true; }

private:
    pn532::FrameReader m_Reader;
    Bytes m_Out;
};

TEST(Pn532Chaining, ALongCommandGoesInPiecesWithMiAndAnAnswerWithMiIsGathered)
{
    ScriptedChip chip;
    pn532::Device device(chip);
    const Bytes command(600, 0x3C);
    Bytes first{0x40}, second{0x40}, last{0x00};
    first.resize(1 + 262, 0x01);
    second.resize(1 + 262, 0x02);
    last.resize(1 + 10, 0x03);
    chip.answers = {{0x00}, {0x00}, first, second, last};  // two pieces taken, then the answer in three
    Bytes answer;
    pn532::Error error;
    ASSERT_TRUE(device.exchange(1, command.data(), command.size(), answer, 1024, 1000, error))
        << std::hex << error.code << " " << error.detail;
    ASSERT_EQ(chip.commands.size(), 5u);
    EXPECT_EQ(chip.commands[0][1], 0x41);  // Tg with MI
    EXPECT_EQ(chip.commands[0].size(), 2u + 262);
    EXPECT_EQ(chip.commands[1][1], 0x41);
    EXPECT_EQ(chip.commands[2][1], 0x01);  // the last piece
    EXPECT_EQ(chip.commands[2].size(), 2u + 600 - 2 * 262);
    EXPECT_EQ(chip.commands[3], (Bytes{0x40, 0x01}));  // "the rest, please"
    EXPECT_EQ(chip.commands[4], (Bytes{0x40, 0x01}));
    ASSERT_EQ(answer.size(), 262u + 262 + 10);
    EXPECT_EQ(answer[0], 0x01);
    EXPECT_EQ(answer[262], 0x02);
    EXPECT_EQ(answer.back(), 0x03);

    // The same answer over a smaller limit is refused with its length, not cut.
    chip.answers = {first, second, last};
    EXPECT_FALSE(device.exchange(1, command.data(), 10, answer, 400, 1000, error));
    EXPECT_EQ(error.code, PN532_E_TOO_LONG);
    EXPECT_EQ(error.detail, 262u + 262);

    // A chip that keeps setting MI without data is not asked for ever.
    chip.answers.assign(50, Bytes{0x40});
    chip.commands.clear();
    EXPECT_FALSE(device.exchange(1, command.data(), 10, answer, 1024, 1000, error));
    EXPECT_EQ(error.code, PN532_E_LINK);
    EXPECT_EQ(error.detail, PN532_LINK_UNEXPECTED_ANSWER);
    EXPECT_EQ(chip.commands.size(), 2u);
}

TEST(Pn532Chaining, AnErrorStatusInAnyPieceEndsTheExchangeWithItsPair)
{
    ScriptedChip chip;
    pn532::Device device(chip);
    const Bytes command(300, 0x3C);
    chip.answers = {{0x00}, {0x01}};  // the card went quiet after the first piece
    Bytes answer;
    pn532::Error error;
    EXPECT_FALSE(device.exchange(1, command.data(), command.size(), answer, 1024, 1000, error));
    EXPECT_EQ(error.code, PN532_E_CARD_NO_ANSWER);
    EXPECT_EQ(error.detail, 0x01u);
    chip.answers = {{0x40, 0xAA}, {0x13}};  // an RF protocol error in the gathered part
    EXPECT_FALSE(device.exchange(1, command.data(), 5, answer, 1024, 1000, error));
    EXPECT_EQ(error.code, PN532_E_CARD_TRANSMISSION);
    EXPECT_EQ(error.detail, 0x13u);
}

}  // namespace
