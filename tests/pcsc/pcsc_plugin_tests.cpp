// The PC/SC reader plug-in against a real resource manager: Wine 10's winscard.dll over pcscd with
// its vpcd reader, and our virtual card (tools/pcsc_virtual_card), brought and taken away by
// tests/pcsc/pcsc_card_control.py, which tests/pcsc/pcsc_plugin_tests.sh starts. Through the
// entry points: the road for each card kind on each reader profile that carries it (open, poll,
// find with the record checked, access, a raw exchange, stop, close), a command a profile cannot
// carry, a card present before the port opens, the status calls while pcscd is gone. Through the
// library: removal during an access, the resource manager gone and back, FreeLibrary while polling,
// a card's arrival, departure and arrival again in each event mode.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "EventText.h"
#include "HexText.h"
#include "PcscCardControl.h"
#include "PcscError.h"
#include "TestSupport.h"
#include "pcsc_reader.h"

using namespace korvat_test;

namespace {

using Bytes = std::vector<uint8_t>;

struct PcscPlugin : ReaderPlugin {
    PcscPlugin() : ReaderPlugin(binDirectory() + "pcsc_plugins\\pcsc_reader.gp") {}
};

const uint32_t AllKinds = DEVICE_TYPE_NFC_14443A_18092_106K | DEVICE_TYPE_NFC_18092_212K |
                          DEVICE_TYPE_NFC_18092_424K | DEVICE_TYPE_NFC_14443B_106K;
// The card's arrival (its process starting, vpcd and pcscd seeing it) and the plug-in's find.
const DWORD ArrivalLimitMs = 10000;

std::string pairText(const ErrorInfo &e)
{
    char text[40];
    std::snprintf(text, sizeof text, "%08X/%08X", e.error_code, e.detail_code);
    return text;
}

Bytes field(const PluginStatus &s, size_t offset, size_t size)
{
    return s.size >= offset + size ? Bytes(s.data + offset, s.data + offset + size) : Bytes();
}

class PcscPluginTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(plugin.module, nullptr) << "pcsc_reader.gp not found beside the tests";
        ASSERT_TRUE(control().connected()) << "no card controller: run through tests/pcsc/pcsc_plugin_tests.sh";
        registry.setString("category_name_list", "SIM, PCSC");
        registry.setString(PCSC_READER_FILTER_VALUE, "Virtual PCD");
    }
    // A test that failed half-way leaves nothing open for the next: the poll thread keeps the
    // module, and with it the port, loaded.
    void TearDown() override
    {
        ErrorInfo error{0, 0};
        plugin.stopPoll(&error);
        plugin.close(&error);
    }

    RegistryConfiguration registry;
    PcscPlugin plugin;
};

TEST_F(PcscPluginTest, TellsItsCategoryAndRefusesPortsItDoesNotHave)
{
    uint8_t category = 0xFF;
    ErrorInfo error{0, 0};
    ASSERT_TRUE(plugin.information(&category, &error));
    EXPECT_EQ(category, 1);
    const struct {
        const char *port;
        uint32_t code;
        uint32_t detail;
    } opens[] = {
        {"PCSC", PCSC_E_UNKNOWN_PORT, 0},
        {"PCSC10", PCSC_E_UNKNOWN_PORT, 0},
        {"COM1", PCSC_E_UNKNOWN_PORT, 0},
        {"PCSC2", PCSC_E_READER_GONE, 0},  // vpcd has two readers
    };
    for (const auto &o : opens) {
        EXPECT_FALSE(plugin.open(o.port, &error)) << o.port;
        EXPECT_EQ(pairText(error), pairText(ErrorInfo{o.code, o.detail})) << o.port;
    }
    registry.setString(PCSC_READER_FILTER_VALUE, "00 01");
    ASSERT_TRUE(plugin.open("PCSC0", &error)) << pairText(error);  // the second vpcd reader
    EXPECT_FALSE(plugin.open("PCSC0", &error));
    EXPECT_EQ(error.error_code, PCSC_E_PORT_ALREADY_OPEN);
    EXPECT_TRUE(plugin.close(&error));
}

// One card kind on one reader profile, and what the record holds through it.
struct RoadCase {
    const char *name;
    const char *cardOptions;
    uint32_t cardType;
    const char *identifierHex;  // NFCID1, ATQB or NFCID2 as the record holds it
    const char *detailHex;      // SENS_RES SEL_RES (A), ATTRIB (B), Pad (F)
    const char *tailHex;        // ATS (A) or RD (F) with its size byte
    const char *frameHex;       // a raw exchange
    const char *answerPrefixHex;
};

const char *const T4aUid = "04A1B2C3D4E5F6";
const char *const T4aAts = "0A0A788070024B56544134";
const char *const T4bAtqb = "501A2B3C4D00000000808171";
const char *const T3Idm = "012E4C8E1A2B3C4D";
const char *const SelectNdef = "00A4040007D276000085010100";
const char *const ReadAttributes = "10" "06" "012E4C8E1A2B3C4D" "01" "0B00" "01" "8000";

const RoadCase RoadCases[] = {
    // A derived SENS_RES (UID size bits only) where the reader cannot tell it; the chip's own
    // through the PN532 profile.
    {"t4a_plain", "--card t4a --profile plain", 1, T4aUid, "400020", T4aAts, SelectNdef, "9000"},
    {"t4a_storage", "--card t4a --profile storage", 1, T4aUid, "400020", T4aAts, SelectNdef, "9000"},
    {"t4a_session", "--card t4a --profile part3", 1, T4aUid, "400020", T4aAts, SelectNdef, "9000"},
    {"t4a_pn532", "--card t4a --profile pn532", 1, T4aUid, "440320", T4aAts, SelectNdef, "9000"},
    {"t4b_plain", "--card t4b --profile plain", 8, T4bAtqb, "0100", "", SelectNdef, "9000"},
    {"t4b_storage", "--card t4b --profile storage", 8, T4bAtqb, "0100", "", SelectNdef, "9000"},
    {"t4b_session", "--card t4b --profile part3", 8, T4bAtqb, "0100", "", SelectNdef, "9000"},
    {"t4b_pn532", "--card t4b --profile pn532", 8, T4bAtqb, "0101", "", SelectNdef, "9000"},
    // FeliCa: Pad unknown (eight FF) and no RD without the chip's own listing.
    {"t3_session", "--card t3 --profile part3", 2, T3Idm, "FFFFFFFFFFFFFFFF", "00", ReadAttributes, "1D07" "012E4C8E1A2B3C4D" "0000"},
    {"t3_session_atr424", "--card t3 --profile part3 --felica-atr old424", 4, T3Idm, "FFFFFFFFFFFFFFFF", "00",
     ReadAttributes, "1D07" "012E4C8E1A2B3C4D" "0000"},
    {"t3_pn532", "--card t3 --profile pn532 --felica-atr old212", 2, T3Idm, "00F1000000014300", "0212FC", ReadAttributes,
     "1D07" "012E4C8E1A2B3C4D" "0000"},
    {"t2_storage", "--card t2 --profile storage", 1, T4aUid, "400000", "00", "3003", "E110"},
    {"t2_session", "--card t2 --profile part3", 1, T4aUid, "400000", "00", "3003", "E110"},
    {"t2_pn532", "--card t2 --profile pn532", 1, T4aUid, "440000", "00", "3003", "E110"},
};

class PcscRoad : public PcscPluginTest, public ::testing::WithParamInterface<RoadCase> {};

TEST_P(PcscRoad, OpensFindsAccessesExchangesAndCloses)
{
    const RoadCase &c = GetParam();
    ErrorInfo error{0, 0};
    ASSERT_TRUE(plugin.open("PCSC0", &error)) << pairText(error);
    ASSERT_TRUE(plugin.startPoll(AllKinds, &error)) << pairText(error);
    VirtualCard card(c.cardOptions);
    PluginStatus found;
    ASSERT_TRUE(waitForStatus(plugin, GP_CONNECT_REPORT_POLL_MODE, found, ArrivalLimitMs)) << "not found";
    EXPECT_EQ(found.word, GP_STATUS_STATE_ACTIVE | GP_CONNECT_REPORT_POLL_MODE);
    EXPECT_EQ(found.cardType, c.cardType);
    const uint32_t number = found.data[GP_AD_TARGET_NUMBER] | found.data[GP_AD_TARGET_NUMBER + 1] << 8;
    switch (c.cardType) {
    case 1: {
        const size_t uidSize = found.data[GP_AD_A_NFCID1_SIZE];
        EXPECT_EQ(hex(field(found, GP_AD_A_NFCID1, uidSize)), c.identifierHex);
        EXPECT_EQ(hex(field(found, GP_AD_A_SENS_RES, 3)), c.detailHex);
        EXPECT_EQ(hex(field(found, GP_AD_A_ATS_SIZE, found.size - GP_AD_A_ATS_SIZE)), c.tailHex);
        break;
    }
    case 8:
        EXPECT_EQ(hex(field(found, GP_AD_B_ATQB, 12)), c.identifierHex);
        EXPECT_EQ(hex(field(found, GP_AD_B_ATTRIB_SIZE, found.size - GP_AD_B_ATTRIB_SIZE)), c.detailHex);
        break;
    default:
        EXPECT_EQ(hex(field(found, GP_AD_F_NFCID2, 8)), c.identifierHex);
        EXPECT_EQ(hex(field(found, GP_AD_F_PAD, 8)), c.detailHex);
        EXPECT_EQ(hex(field(found, GP_AD_F_RD_SIZE, found.size - GP_AD_F_RD_SIZE)), c.tailHex);
        break;
    }
    EXPECT_EQ(driverStatus(plugin).word, GP_STATUS_STATE_ACTIVE | GP_ACCESS_WAITING);
    ASSERT_TRUE(plugin.startAccess(number, &error)) << pairText(error);
    EXPECT_EQ(driverStatus(plugin).word, GP_STATUS_STATE_ACTIVE | GP_ACCESS_ENABLED);
    EXPECT_TRUE(plugin.select(&error));
    const Bytes frame = unhex(c.frameHex);
    uint8_t response[PCSC_MAXIMUM_RESPONSE_SIZE];
    uint16_t length = 0;
    ASSERT_TRUE(plugin.read(frame.data(), static_cast<uint32_t>(frame.size()), response, &length, &error))
        << pairText(error);
    const std::string answer = hex(Bytes(response, response + length));
    const std::string prefix = c.answerPrefixHex;
    if (std::string(c.frameHex) == SelectNdef) {
        EXPECT_EQ(answer, prefix);  // the card's status word, passed on
    } else {
        EXPECT_EQ(answer.substr(0, prefix.size()), prefix) << answer;
    }
    EXPECT_TRUE(plugin.stopAccess(0, &error)) << pairText(error);
    EXPECT_TRUE(plugin.stopPoll(&error)) << pairText(error);
    EXPECT_TRUE(plugin.close(&error)) << pairText(error);
    EXPECT_FALSE(driverStatus(plugin).ok);
}

INSTANTIATE_TEST_SUITE_P(CardsAndProfiles, PcscRoad, ::testing::ValuesIn(RoadCases),
                         [](const ::testing::TestParamInfo<RoadCase> &info) { return std::string(info.param.name); });

// Raw frames need a profile that carries them: a FeliCa card behind a reader of plain APDUs is
// found (from its ATR and GET DATA), but its frames fail with the documented pair.
TEST_F(PcscPluginTest, AFrameTheProfileCannotCarryFailsWithItsPair)
{
    ErrorInfo error{0, 0};
    ASSERT_TRUE(plugin.open("PCSC0", &error)) << pairText(error);
    ASSERT_TRUE(plugin.startPoll(AllKinds, &error));
    VirtualCard card("--card t3 --profile plain");
    PluginStatus found;
    ASSERT_TRUE(waitForStatus(plugin, GP_CONNECT_REPORT_POLL_MODE, found, ArrivalLimitMs));
    EXPECT_EQ(found.cardType, 2u);
    ASSERT_TRUE(plugin.startAccess(found.data[GP_AD_TARGET_NUMBER], &error)) << pairText(error);
    const Bytes frame = unhex(ReadAttributes);
    uint8_t response[PCSC_MAXIMUM_RESPONSE_SIZE];
    uint16_t length = 0;
    EXPECT_FALSE(plugin.read(frame.data(), static_cast<uint32_t>(frame.size()), response, &length, &error));
    // The frame's first byte, the plain profile (0) and the FeliCa 212 kind (4).
    EXPECT_EQ(pairText(error), pairText(ErrorInfo{PCSC_E_NOT_CARRIED, 0x100004}));
    EXPECT_TRUE(plugin.close(&error));
}

TEST_F(PcscPluginTest, ACardPresentBeforeTheOpenIsFound)
{
    VirtualCard card("--card t4a --profile pn532");
    Sleep(1500);  // the card is in the reader well before the port opens
    ErrorInfo error{0, 0};
    ASSERT_TRUE(plugin.open("PCSC0", &error)) << pairText(error);
    ASSERT_TRUE(plugin.startPoll(DEVICE_TYPE_NFC_14443A_18092_106K, &error));
    PluginStatus found;
    ASSERT_TRUE(waitForStatus(plugin, GP_CONNECT_REPORT_POLL_MODE, found, 3000));
    EXPECT_EQ(hex(field(found, GP_AD_A_NFCID1, 7)), T4aUid);
    EXPECT_EQ(hex(field(found, GP_AD_A_SENS_RES, 2)), "4403");  // the PN532 profile, probed at open
    EXPECT_TRUE(plugin.close(&error));
}

// pcscd gone: every status call reports the device error (the service kind, SCARD_E_NO_SERVICE)
// for as long as it lasts; once pcscd is back the card is found again.
TEST_F(PcscPluginTest, TheStatusCallsReportTheResourceManagerGoneUntilItIsBack)
{
    ErrorInfo error{0, 0};
    ASSERT_TRUE(plugin.open("PCSC0", &error)) << pairText(error);
    ASSERT_TRUE(plugin.startPoll(AllKinds, &error));
    VirtualCard card("--card t2 --profile storage");
    PluginStatus found;
    ASSERT_TRUE(waitForStatus(plugin, GP_CONNECT_REPORT_POLL_MODE, found, ArrivalLimitMs));
    ASSERT_EQ(control().ask("pcscd-stop"), "ok");
    const uint32_t deviceError = GP_STATUS_DEVICE_ERROR | PCSC_DEVICE_ERROR_SERVICE << GP_DEVICE_ERROR_DETAIL_SHIFT;
    PluginStatus failing;
    const bool failed = waitForStatus(plugin, deviceError, failing, 3000);
    std::vector<uint32_t> meanwhile;
    for (int i = 0; failed && i < 10; ++i) {
        Sleep(100);
        meanwhile.push_back(driverStatus(plugin).word);
    }
    ASSERT_EQ(control().ask("pcscd-start"), "ok");
    ASSERT_TRUE(failed) << "no device error";
    EXPECT_EQ(pairText(failing.error), pairText(ErrorInfo{PCSC_E_SERVICE, 0x8010001D}));
    for (uint32_t word : meanwhile) {
        EXPECT_EQ(word, deviceError);
    }
    PluginStatus again;
    ASSERT_TRUE(waitForStatus(plugin, GP_CONNECT_REPORT_POLL_MODE, again, 15000)) << "not found again";
    EXPECT_EQ(again.data[GP_AD_TARGET_NUMBER], 2);
    EXPECT_EQ(hex(field(again, GP_AD_A_NFCID1, 7)), T4aUid);
}

// With an event handed over, the poll thread sets it once per change: the card found, the card
// removed (its card error flagged as a departure, with the target's number and data).
TEST_F(PcscPluginTest, StatusEventIsSetOnArrivalAndRemovalAndTheRemovalNamesTheTarget)
{
    ASSERT_NE(plugin.setStatusEvent, nullptr);
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ErrorInfo error{0, 0};
    ASSERT_TRUE(plugin.open("PCSC0", &error)) << pairText(error);
    ASSERT_TRUE(plugin.startPoll(AllKinds, &error));
    ASSERT_TRUE(plugin.setStatusEvent(event, &error));
    std::string tokens;
    {
        VirtualCard card("--card t4a --profile pn532");
        tokens = statusesOnEvent(plugin.driverStatus, event, 1, ArrivalLimitMs);
        card.remove();
        tokens += statusesOnEvent(plugin.driverStatus, event, 1, 5000);
    }
    EXPECT_EQ(tokens, "F1 L1 ");
    EXPECT_EQ(WaitForSingleObject(event, 500), static_cast<DWORD>(WAIT_TIMEOUT)) << "set with nothing new";
    EXPECT_TRUE(plugin.setStatusEvent(nullptr, &error));
    EXPECT_TRUE(plugin.stopPoll(&error));
    EXPECT_TRUE(plugin.close(&error));
    CloseHandle(event);
}

// The resource manager's readers, PCSC0 the one an open of PCSC0 takes; none while pcscd is
// stopped (asked within a bound), the same again once it runs.
TEST_F(PcscPluginTest, ListsTheResourceManagersReadersAndNoneWhileItIsGone)
{
    ASSERT_NE(plugin.listPorts, nullptr);
    const std::string before = listedPorts(plugin.listPorts);
    const std::string first = "PCSC0(Virtual PCD 00 00) ";
    EXPECT_EQ(before.compare(0, first.size(), first), 0) << before;
    ErrorInfo error{0, 0};
    ASSERT_TRUE(plugin.open("PCSC0", &error)) << pairText(error);
    EXPECT_EQ(listedPorts(plugin.listPorts), before) << "the open port";
    ASSERT_EQ(control().ask("pcscd-stop"), "ok");
    const DWORD asked = GetTickCount();
    const std::string during = listedPorts(plugin.listPorts);
    const DWORD took = GetTickCount() - asked;
    ASSERT_EQ(control().ask("pcscd-start"), "ok");
    std::printf("gp_list_ports with pcscd stopped: %lu ms\n", static_cast<unsigned long>(took));
    EXPECT_EQ(during, "");
    std::string after;
    for (const DWORD begun = GetTickCount(); after != before && GetTickCount() - begun < 10000; Sleep(100)) {
        after = listedPorts(plugin.listPorts);
    }
    EXPECT_EQ(after, before) << "not listed again";
    EXPECT_TRUE(plugin.close(&error));
}

uint32_t word(const std::vector<uint8_t> &bytes, size_t offset)
{
    return bytes.size() < offset + 4 ? 0 : bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
                                               static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

// The library over the plug-in with a message window, as an application has it.
class PcscThroughLibrary : public PcscPluginTest {
protected:
    void SetUp() override
    {
        PcscPluginTest::SetUp();
        registry.setString("plugins_home_directory", binDirectory() + "pcsc_plugins");
        registry.setString("category_name_list", "PCSC");
        registry.setString("port_name_list", "PCSC0");
    }
    void openAndPoll()
    {
        ASSERT_TRUE(dll.loaded());
        ASSERT_TRUE(dll.initialize());
        char port[16] = "PCSC0";
        ASSERT_TRUE(dll.open(port)) << std::hex << dll.lastError().first;
        ASSERT_TRUE(dll.set_poll_callback_parameters(window.handle(), "korvat.pcsc.find", "korvat.pcsc.enable"));
        ASSERT_TRUE(dll.start_poll_mode(AllKinds));
    }
    void TearDown() override
    {
        PcscPluginTest::TearDown();
        if (dll.loaded()) {
            dll.stop_poll_mode();
            dll.close();
            dll.uninitialize();
        }
    }
    KorvatDll dll;
    MessageWindow window{"korvat.pcsc.find", "korvat.pcsc.enable"};
};

// The card leaves while the application reads it: the exchange fails with the removal pair at
// once, and the application gets the card error message; nothing hangs.
TEST_F(PcscThroughLibrary, ACardRemovedDuringAccessIsAMessageNotAHang)
{
    ASSERT_NO_FATAL_FAILURE(openAndPoll());
    VirtualCard card("--card t4a --profile plain");
    size_t found = 0, removed = 0;
    ASSERT_TRUE(window.pumpForFind(KORVAT_NFC_FIND_TARGET, 0, ArrivalLimitMs, found));
    ASSERT_TRUE(dll.start_dev_access(word(window.messages[found].bytes, 4)));
    const Bytes select = unhex(SelectNdef);
    uint8_t response[PCSC_MAXIMUM_RESPONSE_SIZE];
    uint16_t length = sizeof response;
    ASSERT_TRUE(dll.thru(select.data(), static_cast<uint16_t>(select.size()), response, &length));
    card.remove();
    const DWORD begun = GetTickCount();
    length = sizeof response;
    EXPECT_FALSE(dll.thru(select.data(), static_cast<uint16_t>(select.size()), response, &length));
    EXPECT_LT(GetTickCount() - begun, 5000u);
    EXPECT_EQ(dll.lastError().first, PCSC_E_CARD_REMOVED);
    ASSERT_TRUE(window.pumpForFind(KORVAT_NFC_FIND_ERROR, found + 1, 5000, removed)) << "no message of the removal";
    EXPECT_EQ(word(window.messages[removed].bytes, 0), KORVAT_NFC_E_CARD_ERROR_1);
}

// pcscd stops (its readers leave with it, as the Windows service stops with the last reader) and
// comes back: the application gets the device error message, then finds the card again with a
// new target number, without reopening anything.
TEST_F(PcscThroughLibrary, TheResourceManagerGoneIsADeviceErrorAndItsReturnFindsTheCardAgain)
{
    ASSERT_NO_FATAL_FAILURE(openAndPoll());
    VirtualCard card("--card t4b --profile plain");
    size_t first = 0, failure = 0, again = 0;
    ASSERT_TRUE(window.pumpForFind(KORVAT_NFC_FIND_TARGET, 0, ArrivalLimitMs, first));
    EXPECT_EQ(word(window.messages[first].bytes, 4), 1u);
    ASSERT_EQ(control().ask("pcscd-stop"), "ok");
    const bool failed = window.pumpForFind(KORVAT_NFC_FIND_ERROR, first + 1, 5000, failure);
    EXPECT_EQ(control().ask("pcscd-start"), "ok");
    ASSERT_TRUE(failed) << "no error message";
    // pcscd gone: SCARD_E_NO_SERVICE, the plug-in's service kind of device error.
    static_assert(PCSC_DEVICE_ERROR_SERVICE == 2, "the service kind of device error");
    EXPECT_EQ(word(window.messages[failure].bytes, 0), KORVAT_NFC_E_DEVICE_ERROR_2);
    ASSERT_TRUE(window.pumpForFind(KORVAT_NFC_FIND_TARGET, failure + 1, 15000, again))
        << "the card was not found again";
    EXPECT_EQ(word(window.messages[again].bytes, 4), 2u);
    EXPECT_EQ(hex(Bytes(window.messages[again].bytes.begin() + 8, window.messages[again].bytes.begin() + 20)), T4bAtqb);
}

// The PC/SC row of the event modes through the library: a card put on the reader, taken away and
// put on again, in the default mode, with event_notification = 1, and with the queue as well. The
// arrival is a find and its waiting message; the departure is the card error it always was in the
// default mode, a lost message with the target's number with event_notification; the card put on
// again is a new target with the same identifier. The queue holds what the window got.
TEST_F(PcscPluginTest, ArrivalDepartureAndArrivalAgainInEachEventMode)
{
    const struct {
        const char *what;
        bool notification;
        bool queue;
    } modes[] = {
        {"default", false, false},
        {"event_notification", true, false},
        {"event_notification and the queue", true, true},
    };
    const char Card[] = "--card t4a --profile plain --uid 04A1A2A3A4A5A6";
    const std::string identifier = "04A1A2A3A4A5A6";
    const auto describeTarget = [](const Bytes &record) {
        if (record.size() < 12 || record.size() < 12u + record[11]) {
            return std::string("found (short record)");
        }
        return "found " + hex32(word(record, 4)) + " kind " + std::to_string(record[0]) + " " +
               hex(Bytes(record.begin() + 12, record.begin() + 12 + record[11]));
    };
    registry.setString("plugins_home_directory", binDirectory() + "pcsc_plugins");
    registry.setString("category_name_list", "PCSC");
    registry.setString("port_name_list", "PCSC0");
    for (const auto &mode : modes) {
        SCOPED_TRACE(mode.what);
        const uint32_t notification = mode.notification ? 1 : 0;
        registry.setBinary("event_notification", &notification, sizeof(notification), REG_DWORD);
        MessageWindow window{"korvat.pcsc.events.find", "korvat.pcsc.events.enable"};
        KorvatDll dll;
        ASSERT_TRUE(dll.loaded());
        ASSERT_TRUE(dll.initialize()) << std::hex << dll.lastError().first;
        if (mode.queue) {
            ASSERT_TRUE(dll.set_event_queue(1));
        }
        ASSERT_TRUE(dll.set_poll_callback_parameters(window.handle(), "korvat.pcsc.events.find",
                                                     "korvat.pcsc.events.enable"));
        char port[16] = "PCSC0";
        ASSERT_TRUE(dll.open(port)) << std::hex << dll.lastError().first;
        ASSERT_TRUE(dll.start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K)) << std::hex << dll.lastError().first;
        std::vector<std::string> seen;
        // Pumps until a message from index `from` on reads as `wanted` says; its index.
        const auto pumpFor = [&](size_t from, DWORD limitMs, const std::function<bool(const std::string &)> &wanted,
                                 size_t &index) {
            for (const DWORD begun = GetTickCount();; window.pump(50)) {
                seen.clear();
                for (const ReceivedMessage &m : window.messages) {
                    seen.push_back(describeMessage(window, m, describeTarget));
                }
                for (index = from; index < seen.size(); ++index) {
                    if (wanted(seen[index])) {
                        return true;
                    }
                }
                if (GetTickCount() - begun >= limitMs) {
                    return false;
                }
            }
        };
        const auto isFind = [](const std::string &text) { return text.compare(0, 6, "found ") == 0; };
        size_t first = 0, departure = 0, again = 0;
        {
            VirtualCard card(Card);
            ASSERT_TRUE(pumpFor(0, ArrivalLimitMs, isFind, first)) << "the card was not found";
            // Stays past its waiting message, then leaves.
            window.pump(1000);
        }
        const std::string target = seen[first].substr(6, 8);
        const auto isDeparture = [&mode](const std::string &text) {
            return text.compare(0, mode.notification ? 5 : 6, mode.notification ? "lost " : "error ") == 0;
        };
        ASSERT_TRUE(pumpFor(first + 1, 10000, isDeparture, departure)) << "no message of the departure";
        {
            VirtualCard card(Card);
            ASSERT_TRUE(pumpFor(departure + 1, ArrivalLimitMs, isFind, again)) << "the card was not found again";
            window.pump(300);
            ASSERT_TRUE(dll.stop_poll_mode());
            window.pump(50);
        }
        ASSERT_TRUE(pumpFor(0, 0, isFind, first));
        for (size_t i = 0; i < seen.size(); ++i) {
            std::printf("  %s: %5lu ms %s\n", mode.what,
                        static_cast<unsigned long>(window.messages[i].tick - window.messages[0].tick), seen[i].c_str());
        }
        const std::string next = seen[again].substr(6, 8);
        EXPECT_NE(next, target) << "the card put on again is a new target";
        const std::string found = " kind " + std::to_string(DEVICE_TYPE_NFC_14443A_18092_106K) + " " + identifier;
        // The default mode's card error carries the resource manager's word for the removal.
        const std::string lost = mode.notification ? "lost " + target
                                                   : "error " + hex32(KORVAT_NFC_E_CARD_ERROR_1) + " " +
                                                         hex32(pcsc::ScardWRemovedCard);
        const std::vector<std::string> expected = {"found " + target + found, "waiting " + target, lost,
                                                   "found " + next + found};
        EXPECT_EQ(std::vector<std::string>(seen.begin(), seen.begin() + static_cast<std::ptrdiff_t>(again) + 1),
                  expected);
        // What follows the second find until the stop can only be its waiting message.
        for (size_t i = again + 1; i < seen.size(); ++i) {
            EXPECT_EQ(seen[i], "waiting " + next);
        }
        if (mode.queue) {
            std::vector<std::string> queued;
            KORVAT_NFC_EVENT e;
            while (dll.get_next_event(&e, 0)) {
                queued.push_back(describeEvent(e, describeTarget));
            }
            EXPECT_EQ(dll.lastError(), std::make_pair(KORVAT_NFC_E_NO_EVENT, 0u));
            EXPECT_EQ(queued, seen) << "the queue holds what the window got, in the same order";
        }
        EXPECT_TRUE(dll.close());
        EXPECT_TRUE(dll.uninitialize());
    }
}

// FreeLibrary of the library without stopping anything, in child processes: while polling, with
// a device access open, and after a start of poll mode under the loader lock.
TEST_F(PcscThroughLibrary, FreeLibraryWhilePollingReturnsPromptlyAndLeavesNoThreadBehind)
{
    VirtualCard card("--card t4a --profile plain");
    expectFreeLibraryWhilePollingLeavesNothingBehind("pcsc_reader.gp");
}

}  // namespace
