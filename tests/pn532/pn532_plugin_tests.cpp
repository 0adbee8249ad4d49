// The PN532 reader plug-in called directly through its entry points: argument checks, the
// category look-up, the serial port names, and, against PN532 emulators on COM ports of the
// prefix (tests/pn532/pn532_with_emulators.sh), the whole road, a chip that is not a PN532, a
// reader unplugged in the middle of an exchange and a chip that stops answering. Through the
// library: FreeLibrary while polling, a reader unplugged and plugged in again, and a card at the
// edge of the field.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "korvat_nfc_plugin.h"
#include "pn532_reader.h"

using namespace korvat_test;

namespace {

using Bytes = std::vector<uint8_t>;

// A freshly loaded pn532_reader.gp and its entry points.
struct Pn532Plugin : ReaderPlugin {
    Pn532Plugin() : ReaderPlugin(binDirectory() + "pn532_plugins\\pn532_reader.gp") {}
};

using Status = PluginStatus;

// The emulated ports, in the order the wrapper script starts them; empty when run without it.
std::vector<std::string> emulatedPorts()
{
    std::vector<std::string> ports;
    const char *list = std::getenv("KORVAT_PN532_EMULATED_PORTS");
    std::string rest = list ? list : "";
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        ports.push_back(rest.substr(0, comma));
        rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
    }
    return ports;
}

class Pn532PluginTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(plugin.module, nullptr) << "pn532_reader.gp not found beside the tests";
        registry.setString("category_name_list", "SIM, COM");
    }

    // An emulated port: index 0 card, 1 unplugged at the first exchange, 2 silent, 3 not a PN532,
    // 6 unplugged at the second presence check and back 1.5 s later, 7 a card at the field's edge,
    // 8 a Type 2 Tag, 14 a card that leaves after a second and another that comes, 15 as 6.
    std::string port(size_t index)
    {
        const std::vector<std::string> ports = emulatedPorts();
        if (ports.size() <= index) {
            ADD_FAILURE() << "no PN532 emulator: run through tests/pn532/pn532_with_emulators.sh";
            return "COM99";
        }
        return ports[index];
    }

    // Polls the driver status (as the library would, faster) until `mask` bits appear.
    bool waitForStatus(uint32_t mask, Status &status, DWORD limitMs)
    {
        return korvat_test::waitForStatus(plugin, mask, status, limitMs);
    }

    RegistryConfiguration registry;
    Pn532Plugin plugin;
};

TEST_F(Pn532PluginTest, ReportsItsVersionAndTheCategoryPositionOfCom)
{
    int32_t version = 0;
    EXPECT_TRUE(plugin.version(&version));
    EXPECT_EQ(version, PN532_VERSION_NUMBER);
    uint8_t category = 0xFF;
    ErrorInfo error{0, 0};
    ASSERT_TRUE(plugin.information(&category, &error));
    EXPECT_EQ(category, 1);
    registry.setString("category_name_list", "SIM, USB");
    EXPECT_FALSE(plugin.information(&category, &error));
    EXPECT_EQ(error.error_code, PN532_E_CATEGORY_NOT_LISTED);
    EXPECT_EQ(error.detail_code, 1u);
}

TEST_F(Pn532PluginTest, RefusesBadArgumentsPortNamesAndCallsWithoutAnOpenPort)
{
    ErrorInfo error{0, 0};
    const struct {
        const char *port;
        uint32_t code;
        uint32_t detail;
    } opens[] = {
        {nullptr, PN532_E_INVALID_ARGUMENT, 1},
        {"SIM0", PN532_E_UNKNOWN_PORT, 0},
        {"COM0", PN532_E_UNKNOWN_PORT, 0},
        {"COM256", PN532_E_UNKNOWN_PORT, 0},
        {"COM99", PN532_E_PORT, ERROR_FILE_NOT_FOUND},  // no such serial device
    };
    for (const auto &o : opens) {
        error = ErrorInfo{0, 0};
        EXPECT_FALSE(plugin.open(o.port, &error)) << (o.port ? o.port : "null");
        EXPECT_EQ(error.error_code, o.code) << (o.port ? o.port : "null");
        EXPECT_EQ(error.detail_code, o.detail) << (o.port ? o.port : "null");
    }
    EXPECT_FALSE(plugin.startPoll(1, &error));
    EXPECT_EQ(error.error_code, PN532_E_PORT_NOT_OPEN);
    EXPECT_FALSE(driverStatus(plugin).ok);
    uint8_t buffer[8];
    uint16_t length = 0;
    EXPECT_FALSE(plugin.read(buffer, 0x10000, buffer, &length, &error));  // length 0 in the low 16 bits
    EXPECT_EQ(error.error_code, PN532_E_INVALID_ARGUMENT);
    EXPECT_EQ(error.detail_code, 2u);
    EXPECT_FALSE(plugin.setTimeout(0, &error));
    EXPECT_EQ(error.error_code, PN532_E_INVALID_ARGUMENT);
    EXPECT_TRUE(plugin.setTimeout(1500, &error));
    int32_t timeout = 0;
    EXPECT_TRUE(plugin.getTimeout(&timeout, &error));
    EXPECT_EQ(timeout, 1500);
    EXPECT_FALSE(plugin.open(nullptr, nullptr));  // no error record: nothing to report into
}

TEST_F(Pn532PluginTest, FindsWaitsEnablesAndExchangesWithTheEmulatedCard)
{
    ErrorInfo error{0, 0};
    ASSERT_TRUE(plugin.open(port(0).c_str(), &error)) << std::hex << error.error_code << " " << error.detail_code;
    EXPECT_FALSE(plugin.open(port(0).c_str(), &error));
    EXPECT_EQ(error.error_code, PN532_E_PORT_ALREADY_OPEN);
    ASSERT_TRUE(plugin.startPoll(1, &error));
    Status found;
    ASSERT_TRUE(waitForStatus(GP_CONNECT_REPORT_POLL_MODE, found, 3000));
    EXPECT_EQ(found.word, GP_STATUS_STATE_ACTIVE | GP_CONNECT_REPORT_POLL_MODE);
    EXPECT_EQ(found.cardType, 1u);
    ASSERT_EQ(found.size, 25u + 5);
    EXPECT_EQ(Bytes(found.data + GP_AD_A_NFCID1, found.data + GP_AD_A_NFCID1 + 7),
              (Bytes{0x04, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6}));
    EXPECT_EQ(found.data[GP_AD_A_SENS_RES] | found.data[GP_AD_A_SENS_RES + 1] << 8, 0x0344);
    EXPECT_EQ(driverStatus(plugin).word, GP_STATUS_STATE_ACTIVE | GP_ACCESS_WAITING);
    ASSERT_TRUE(plugin.startAccess(1, &error));
    EXPECT_EQ(driverStatus(plugin).word, GP_STATUS_STATE_ACTIVE | GP_ACCESS_ENABLED);

    const Bytes select{0x00, 0xA4, 0x04, 0x00, 0x07, 0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x01, 0x00};
    uint8_t response[PN532_MAXIMUM_RESPONSE_SIZE];
    uint16_t length = 0;
    ASSERT_TRUE(plugin.read(select.data(), 0xABCD0000u | static_cast<uint32_t>(select.size()), response, &length, &error))
        << std::hex << error.error_code << " " << error.detail_code;
    EXPECT_EQ(Bytes(response, response + length), (Bytes{0x90, 0x00}));
    EXPECT_TRUE(plugin.deselect(&error));
    EXPECT_TRUE(plugin.select(&error));
    ASSERT_TRUE(plugin.stopAccess(1, &error));
    // Mode 1: the card is found again, with the next number.
    ASSERT_TRUE(waitForStatus(GP_CONNECT_REPORT_POLL_MODE, found, 3000));
    EXPECT_EQ(found.data[GP_AD_TARGET_NUMBER], 2);
    EXPECT_TRUE(plugin.stopPoll(&error));
    EXPECT_TRUE(plugin.close(&error));
    EXPECT_FALSE(driverStatus(plugin).ok);
}

// A Type 2 Tag (144-byte data area, a URI record): found without ATS, its capability container and
// NDEF TLV read with READ, the whole data area with one FAST_READ, a page written and read back.
TEST_F(Pn532PluginTest, FindsAType2TagAndReadsAndWritesItsPagesRaw)
{
    ErrorInfo error{0, 0};
    ASSERT_TRUE(plugin.open(port(8).c_str(), &error)) << std::hex << error.error_code << " " << error.detail_code;
    ASSERT_TRUE(plugin.startPoll(1, &error));
    Status found;
    ASSERT_TRUE(waitForStatus(GP_CONNECT_REPORT_POLL_MODE, found, 3000));
    EXPECT_EQ(found.cardType, 1u);
    ASSERT_EQ(found.size, uint32_t(GP_AD_A_ATS));
    EXPECT_EQ(found.data[GP_AD_A_SENS_RES] | found.data[GP_AD_A_SENS_RES + 1] << 8, 0x0044);
    EXPECT_EQ(found.data[GP_AD_A_SEL_RES], 0x00);
    EXPECT_EQ(found.data[GP_AD_A_NFCID1_SIZE], 7);
    EXPECT_EQ(Bytes(found.data + GP_AD_A_NFCID1, found.data + GP_AD_A_NFCID1 + 7),
              (Bytes{0x04, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6}));
    EXPECT_EQ(found.data[GP_AD_A_ATS_SIZE], 0);
    ASSERT_TRUE(plugin.startAccess(found.data[GP_AD_TARGET_NUMBER], &error));

    uint8_t response[PN532_MAXIMUM_RESPONSE_SIZE];
    uint16_t length = 0;
    const auto exchange = [&](const Bytes &command) {
        length = 0;
        EXPECT_TRUE(plugin.read(command.data(), static_cast<uint32_t>(command.size()), response, &length, &error))
            << std::hex << error.error_code << " " << error.detail_code;
        return Bytes(response, response + length);
    };
    // READ of pages 3-6: the capability container (version 1.0, 144 / 8 bytes, read and write
    // access) and the start of the TLVs: lock control and memory control (5 bytes each), then the
    // NDEF TLV with its 1-byte length.
    const Bytes header = exchange({0x30, 0x03});
    ASSERT_EQ(header.size(), 16u);
    EXPECT_EQ(Bytes(header.begin(), header.begin() + 4), (Bytes{0xE1, 0x10, 0x12, 0x00}));
    EXPECT_EQ(header[4], 0x01);
    EXPECT_EQ(header[9], 0x02);
    EXPECT_EQ(header[14], 0x03);
    const size_t ndefLength = header[15];
    // FAST_READ of the whole data area, pages 4 to 39: the NDEF message, then the terminator TLV.
    const Bytes area = exchange({0x3A, 0x04, 0x27});
    ASSERT_EQ(area.size(), 144u);
    EXPECT_EQ(Bytes(area.begin(), area.begin() + 12), Bytes(header.begin() + 4, header.end()));
    ASSERT_LT(12 + ndefLength, area.size());
    const Bytes message(area.begin() + 12, area.begin() + 12 + static_cast<long>(ndefLength));
    // A short well-known record "U", prefix 04 (https://), then the rest of the URI.
    const std::string uri = "example.org/type2";
    Bytes expected{0xD1, 0x01, static_cast<uint8_t>(1 + uri.size()), 0x55, 0x04};
    expected.insert(expected.end(), uri.begin(), uri.end());
    EXPECT_EQ(message, expected);
    EXPECT_EQ(area[12 + ndefLength], 0xFE);

    // WRITE answers the tag's ACK; the page reads back; a refused WRITE is the chip's error pair.
    EXPECT_EQ(exchange({0xA2, 0x20, 0x5A, 0x6B, 0x7C, 0x8D}), (Bytes{0x0A}));
    const Bytes page = exchange({0x30, 0x20});
    ASSERT_EQ(page.size(), 16u);
    EXPECT_EQ(Bytes(page.begin(), page.begin() + 4), (Bytes{0x5A, 0x6B, 0x7C, 0x8D}));
    const Bytes uidWrite{0xA2, 0x00, 1, 2, 3, 4};
    EXPECT_FALSE(plugin.read(uidWrite.data(), static_cast<uint32_t>(uidWrite.size()), response, &length, &error));
    EXPECT_EQ(error.error_code, PN532_E_CARD_TRANSMISSION);
    EXPECT_EQ(error.detail_code, 0x13u);
    ASSERT_TRUE(plugin.stopAccess(1, &error));
    EXPECT_TRUE(plugin.stopPoll(&error));
    EXPECT_TRUE(plugin.close(&error));
}

TEST_F(Pn532PluginTest, TheStatusCallReturnsPromptlyWhileThePollThreadUsesTheLine)
{
    ErrorInfo error{0, 0};
    ASSERT_TRUE(plugin.open(port(0).c_str(), &error));
    ASSERT_TRUE(plugin.startPoll(1, &error));
    Status found;
    ASSERT_TRUE(waitForStatus(GP_CONNECT_REPORT_POLL_MODE, found, 3000));
    ASSERT_TRUE(plugin.startAccess(1, &error));
    ASSERT_TRUE(plugin.stopAccess(1, &error));  // the thread lists again, the line is busy
    LARGE_INTEGER frequency, before, after;
    QueryPerformanceFrequency(&frequency);
    double worst = 0, sum = 0;
    const int calls = 200;
    for (int i = 0; i < calls; ++i) {
        QueryPerformanceCounter(&before);
        driverStatus(plugin);
        QueryPerformanceCounter(&after);
        const double us = (after.QuadPart - before.QuadPart) * 1e6 / frequency.QuadPart;
        sum += us;
        worst = us > worst ? us : worst;
        Sleep(2);
    }
    std::printf("gp_get_driver_status while polling: mean %.1f us, worst %.1f us over %d calls\n", sum / calls, worst,
                calls);
    EXPECT_TRUE(plugin.stopPoll(&error));
    EXPECT_TRUE(plugin.close(&error));
}

TEST_F(Pn532PluginTest, AChipThatIsNotAPn532IsRefusedAndThePortReleased)
{
    ErrorInfo error{0, 0};
    EXPECT_FALSE(plugin.open(port(3).c_str(), &error));
    EXPECT_EQ(error.error_code, PN532_E_NOT_PN532);
    EXPECT_EQ(error.detail_code, 0x33020108u);
    // The port was closed again: a second attempt reaches the chip once more.
    error = ErrorInfo{0, 0};
    EXPECT_FALSE(plugin.open(port(3).c_str(), &error));
    EXPECT_EQ(error.error_code, PN532_E_NOT_PN532);
}

struct LinkFailureCase {
    size_t port;
    uint32_t code;
    uint32_t deviceErrorDetail;  // what the poll thread then reports
};

TEST_F(Pn532PluginTest, AnUnpluggedReaderAndASilentChipFailTheExchangeWithinTheTimeout)
{
    const LinkFailureCase cases[] = {
        {1, PN532_E_LINK, PN532_DEVICE_ERROR_PORT_LOST},
        {2, PN532_E_TIMEOUT, PN532_DEVICE_ERROR_TIMEOUT},
    };
    for (const LinkFailureCase &c : cases) {
        SCOPED_TRACE("port " + port(c.port));
        ErrorInfo error{0, 0};
        ASSERT_TRUE(plugin.setTimeout(1000, &error));
        ASSERT_TRUE(plugin.open(port(c.port).c_str(), &error)) << std::hex << error.error_code;
        ASSERT_TRUE(plugin.startPoll(1, &error));
        Status found;
        ASSERT_TRUE(waitForStatus(GP_CONNECT_REPORT_POLL_MODE, found, 3000));
        ASSERT_TRUE(plugin.startAccess(found.data[GP_AD_TARGET_NUMBER], &error));
        const Bytes select{0x00, 0xA4, 0x04, 0x00, 0x02, 0xE1, 0x03};
        uint8_t response[PN532_MAXIMUM_RESPONSE_SIZE];
        uint16_t length = 0;
        const DWORD start = GetTickCount();
        EXPECT_FALSE(plugin.read(select.data(), static_cast<uint32_t>(select.size()), response, &length, &error));
        EXPECT_LE(GetTickCount() - start, 1500u) << "the exchange outlived its time-out";
        EXPECT_EQ(error.error_code, c.code);
        if (c.code == PN532_E_TIMEOUT) {
            EXPECT_EQ(error.detail_code, 0x40u);
        }
        ASSERT_TRUE(plugin.stopAccess(1, &error) || error.error_code != 0);
        if (c.deviceErrorDetail == PN532_DEVICE_ERROR_PORT_LOST) {
            // The poll thread then finds the line gone and reports a device error.
            Status failed;
            EXPECT_TRUE(waitForStatus(GP_STATUS_DEVICE_ERROR, failed, 3000));
            EXPECT_EQ(failed.word, GP_STATUS_DEVICE_ERROR | c.deviceErrorDetail << GP_DEVICE_ERROR_DETAIL_SHIFT);
            EXPECT_EQ(failed.error.error_code, PN532_E_LINK);
        }
        EXPECT_TRUE(plugin.stopPoll(&error));
        EXPECT_TRUE(plugin.close(&error));
    }
}

// At the end of the process the poll thread is gone before the plug-in is detached: an
// application that returns from main with the port open, or with poll mode running, must end
// normally and at once.
TEST_F(Pn532PluginTest, AProcessThatEndsWithThePortOpenOrPollingExitsNormally)
{
    registry.setString("plugins_home_directory", binDirectory() + "pn532_plugins");
    registry.setString("category_name_list", "COM");
    registry.setString("port_name_list", port(0));
    for (const char *arguments : {"", "poll"}) {
        std::string commandLine = "\"" + binDirectory() + "exit_with_port_open.exe\" " + arguments;
        const ChildRun run = runChildProcess(commandLine, 20000);
        ASSERT_TRUE(run.started) << commandLine;
        EXPECT_TRUE(run.ended) << "the process did not end: " << commandLine;
        EXPECT_EQ(run.exitCode, 0u) << commandLine;
    }
    // The chip is in step for the next session.
    ErrorInfo error{0, 0};
    EXPECT_TRUE(plugin.open(port(0).c_str(), &error)) << std::hex << error.error_code << " " << error.detail_code;
    EXPECT_TRUE(plugin.close(&error));
}

// FreeLibrary of the library without stopping anything, in a child process (a hang would end
// it): while polling, with a device access open, and after a start of poll mode that failed
// because it was made under the loader lock. FreeLibrary returns at once, the plug-in's module
// is gone a second later (its thread left it), and the port opens again.
// With an event handed over, the poll thread sets it once per change: the card found, the card
// gone (its card error flagged as a departure with the target's number), the next card. Once
// withdrawn, the event is never set again, while the status goes on as before.
TEST_F(Pn532PluginTest, StatusEventIsSetOncePerChangeAndNeverAfterItsWithdrawal)
{
    ASSERT_NE(plugin.setStatusEvent, nullptr);
    const struct {
        const char *name;
        bool withdrawAfterFind;
        const char *onEvent;
    } cases[] = {
        {"handed over", false, "F1 L1 F2 "},
        {"withdrawn after the find", true, "F1 "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        ErrorInfo error{0, 0};
        ASSERT_TRUE(plugin.open(port(14).c_str(), &error)) << std::hex << error.error_code;
        ASSERT_TRUE(plugin.startPoll(DEVICE_TYPE_NFC_14443A_18092_106K, &error));
        ASSERT_TRUE(plugin.setStatusEvent(event, &error));
        std::string tokens = statusesOnEvent(plugin.driverStatus, event, 1, 3000);
        if (c.withdrawAfterFind) {
            ASSERT_TRUE(plugin.setStatusEvent(nullptr, &error));
        }
        tokens += statusesOnEvent(plugin.driverStatus, event, 2, 3500);
        EXPECT_EQ(tokens, c.onEvent);
        EXPECT_EQ(WaitForSingleObject(event, 300), static_cast<DWORD>(WAIT_TIMEOUT)) << "set with nothing new";
        if (c.withdrawAfterFind) {
            Status departed;
            EXPECT_TRUE(waitForStatus(GP_CONNECT_REPORT_POLL_MODE, departed, 100)) << "the next card, asked for";
        }
        EXPECT_TRUE(plugin.setStatusEvent(nullptr, &error));
        EXPECT_TRUE(plugin.stopPoll(&error));
        EXPECT_TRUE(plugin.close(&error));
        CloseHandle(event);
    }
}

// The departure's own word: the card error the plug-in always reported, with the bit beside it.
TEST_F(Pn532PluginTest, DepartureKeepsItsCardErrorAndCarriesTheTargetsData)
{
    ErrorInfo error{0, 0};
    ASSERT_TRUE(plugin.open(port(14).c_str(), &error)) << std::hex << error.error_code;
    ASSERT_TRUE(plugin.startPoll(DEVICE_TYPE_NFC_14443A_18092_106K, &error));
    Status found, departed;
    ASSERT_TRUE(waitForStatus(GP_CONNECT_REPORT_POLL_MODE, found, 3000));
    const Bytes foundData(found.data, found.data + found.size);
    ASSERT_TRUE(waitForStatus(GP_STATUS_CARD_ERROR, departed, 3000));
    EXPECT_EQ(departed.word, GP_STATUS_CARD_ERROR | PN532_CARD_ERROR_LEFT_FIELD << GP_CARD_ERROR_DETAIL_SHIFT |
                                 GP_TARGET_DEPARTED);
    EXPECT_EQ(departed.cardType, DEVICE_TYPE_NFC_14443A_18092_106K);
    EXPECT_EQ(Bytes(departed.data, departed.data + departed.size), foundData);
    EXPECT_EQ(departed.error.error_code, PN532_E_CARD_NO_ANSWER);
    EXPECT_TRUE(plugin.stopPoll(&error));
    EXPECT_TRUE(plugin.close(&error));
}

// port_name_list's COM ports that exist now, each named after itself: a port whose emulator's
// link went away (the reader unplugged while open) is left out until it is back.
TEST_F(Pn532PluginTest, ListsTheConfiguredComPortsThatExistNow)
{
    ASSERT_NE(plugin.listPorts, nullptr);
    registry.setString("port_name_list", port(15) + ", SIM0, COM250,, " + port(0));
    const std::string both = port(15) + "(" + port(15) + ") " + port(0) + "(" + port(0) + ") ";
    const std::string one = port(0) + "(" + port(0) + ") ";
    EXPECT_EQ(listedPorts(plugin.listPorts), both);
    ErrorInfo error{0, 0};
    ASSERT_TRUE(plugin.open(port(15).c_str(), &error));
    EXPECT_EQ(listedPorts(plugin.listPorts), both) << "an open port is present";
    ASSERT_TRUE(plugin.startPoll(DEVICE_TYPE_NFC_14443A_18092_106K, &error));
    const auto waitForList = [&](const std::string &expected, DWORD limitMs) {
        for (const DWORD begun = GetTickCount(); GetTickCount() - begun < limitMs; Sleep(20)) {
            if (listedPorts(plugin.listPorts) == expected) {
                return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(waitForList(one, 6000)) << "the unplugged reader is still listed";
    EXPECT_TRUE(waitForList(both, 4000)) << "the reader plugged in again is not listed";
    EXPECT_TRUE(plugin.stopPoll(&error));
    EXPECT_TRUE(plugin.close(&error));
}

TEST_F(Pn532PluginTest, FreeLibraryOfTheLibraryReturnsPromptlyAndLeavesNoThreadBehind)
{
    registry.setString("plugins_home_directory", binDirectory() + "pn532_plugins");
    registry.setString("category_name_list", "COM");
    registry.setString("port_name_list", port(0));
    expectFreeLibraryWhilePollingLeavesNothingBehind("pn532_reader.gp");
}

// The library over the PN532 plug-in with a message window, as an application has it.
class Pn532ThroughLibrary : public Pn532PluginTest {
protected:
    void openPort(size_t index)
    {
        registry.setString("plugins_home_directory", binDirectory() + "pn532_plugins");
        registry.setString("category_name_list", "COM");
        ASSERT_TRUE(dll.loaded());
        ASSERT_TRUE(dll.initialize());
        std::string name = port(index);
        std::vector<char> buffer(name.begin(), name.end());
        buffer.push_back('\0');
        ASSERT_TRUE(dll.open(buffer.data())) << std::hex << dll.lastError().first;
        ASSERT_TRUE(dll.set_poll_callback_parameters(window.handle(), "korvat.pn532.find", "korvat.pn532.enable"));
        opened = GetTickCount();
        ASSERT_TRUE(dll.start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K));
    }

    void TearDown() override
    {
        dll.stop_poll_mode();
        dll.close();
        dll.uninitialize();
    }

    KorvatDll dll;
    MessageWindow window{"korvat.pn532.find", "korvat.pn532.enable"};
    DWORD opened = 0;
};

uint32_t word(const std::vector<uint8_t> &bytes, size_t offset)
{
    return bytes.size() < offset + 4 ? 0 : bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
                                               static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

// Unplugged while polling: the application gets the error message (device error kind 3, the
// plug-in's PN532_DEVICE_ERROR_PORT_LOST); once
// the reader is plugged in again (the same COM name, a chip just powered on) the card is found
// again, with a new target number, without the application reopening anything.
TEST_F(Pn532ThroughLibrary, AnUnpluggedReaderIsReportedAndItsCardFoundAgainOnceItIsBack)
{
    ASSERT_NO_FATAL_FAILURE(openPort(6));
    size_t first = 0, failure = 0, again = 0;
    ASSERT_TRUE(window.pumpForFind(KORVAT_NFC_FIND_TARGET, 0, 3000, first));
    EXPECT_EQ(word(window.messages[first].bytes, 4), 1u);
    ASSERT_TRUE(window.pumpForFind(KORVAT_NFC_FIND_ERROR, first + 1, 4000, failure)) << "no error message";
    static_assert(PN532_DEVICE_ERROR_PORT_LOST == 3, "the port-lost kind of device error");
    EXPECT_EQ(word(window.messages[failure].bytes, 0), KORVAT_NFC_E_DEVICE_ERROR_3);
    ASSERT_TRUE(window.pumpForFind(KORVAT_NFC_FIND_TARGET, failure + 1, 6000, again)) << "the card was not found again";
    EXPECT_EQ(word(window.messages[again].bytes, 4), 2u);
    EXPECT_EQ(Bytes(window.messages[again].bytes.begin() + 12, window.messages[again].bytes.begin() + 19),
              (Bytes{0x04, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6}));
}

// A card in and out of the field every 300 ms for 20.4 s, then gone: the application may see
// some of its visits, but no find message comes more than one status cycle (600 ms, and a
// margin for the pump) after it left for good.
TEST_F(Pn532ThroughLibrary, ACardAtTheFieldsEdgeIsNotReportedAfterItLeft)
{
    ASSERT_NO_FATAL_FAILURE(openPort(7));
    const DWORD lastDeparture = opened + 34 * 600 - 300;
    window.pump(34 * 600 + 3000);
    DWORD lastFind = 0;
    for (const ReceivedMessage &m : window.messages) {
        if (m.message == window.findMessage() && m.wParam == KORVAT_NFC_FIND_TARGET) {
            lastFind = m.tick;
        }
    }
    ASSERT_NE(lastFind, 0u) << "the card was never found";
    EXPECT_LE(static_cast<int32_t>(lastFind - lastDeparture), 600 + 300)
        << "a find message " << static_cast<int32_t>(lastFind - lastDeparture) << " ms after the card left";
}

}  // namespace
