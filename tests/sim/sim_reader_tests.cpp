// The simulated reader plug-in, called directly through its entry points (category look-up,
// argument checks, poll and access states, the Type 4 and Type 3 card logic), and the demo
// application run end to end through the DLL and the plug-in.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "HexText.h"
#include "NdefBuilder.h"
#include "TestSupport.h"
#include "Type3TagReader.h"
#include "Type3TagWriter.h"
#include "Type4TagReader.h"
#include "Type4TagWriter.h"
#include "korvat_nfc_plugin.h"
#include "sim_reader.h"

using namespace korvat_test;

namespace {

using Bytes = std::vector<uint8_t>;

std::string simReaderPath()
{
    return binDirectory() + "plugins\\sim_reader.gp";
}

// The fourteen entry points of a freshly loaded sim_reader.gp (its state starts anew).
class SimPlugin {
public:
    SimPlugin() : m_Module(LoadLibraryA(simReaderPath().c_str()))
    {
        if (m_Module == nullptr) {
            return;
        }
#define SIM_BIND(name) \
    name = reinterpret_cast<name##_t>(reinterpret_cast<void (*)(void)>(GetProcAddress(m_Module, #name)))
        SIM_BIND(gp_open_port_and_transition_nfc_mode);
        SIM_BIND(gp_close_port);
        SIM_BIND(gp_start_poll_mode);
        SIM_BIND(gp_stop_poll_mode);
        SIM_BIND(gp_start_device_access);
        SIM_BIND(gp_stop_device_access);
        SIM_BIND(gp_select_device);
        SIM_BIND(gp_deselect_device);
        SIM_BIND(gp_read);
        SIM_BIND(gp_set_timeout);
        SIM_BIND(gp_get_timeout);
        SIM_BIND(gp_get_version_number);
        SIM_BIND(gp_get_driver_status);
        SIM_BIND(gp_get_plugin_information);
        SIM_BIND(gp_set_status_event);
        SIM_BIND(gp_list_ports);
#undef SIM_BIND
    }
    ~SimPlugin()
    {
        if (m_Module != nullptr) {
            FreeLibrary(m_Module);
        }
    }
    bool loaded() const { return m_Module != nullptr && gp_get_plugin_information != nullptr; }

    gp_open_port_and_transition_nfc_mode_t gp_open_port_and_transition_nfc_mode = nullptr;
    gp_close_port_t gp_close_port = nullptr;
    gp_start_poll_mode_t gp_start_poll_mode = nullptr;
    gp_stop_poll_mode_t gp_stop_poll_mode = nullptr;
    gp_start_device_access_t gp_start_device_access = nullptr;
    gp_stop_device_access_t gp_stop_device_access = nullptr;
    gp_select_device_t gp_select_device = nullptr;
    gp_deselect_device_t gp_deselect_device = nullptr;
    gp_read_t gp_read = nullptr;
    gp_set_timeout_t gp_set_timeout = nullptr;
    gp_get_timeout_t gp_get_timeout = nullptr;
    gp_get_version_number_t gp_get_version_number = nullptr;
    gp_get_driver_status_t gp_get_driver_status = nullptr;
    gp_get_plugin_information_t gp_get_plugin_information = nullptr;
    gp_set_status_event_t gp_set_status_event = nullptr;
    gp_list_ports_t gp_list_ports = nullptr;

private:
    HMODULE m_Module;
};

std::pair<uint32_t, uint32_t> pair(const ErrorInfo &error)
{
    return {error.error_code, error.detail_code};
}

struct Status {
    bool ok = false;
    uint32_t status = 0;
    uint32_t cardType = 0;
    Bytes data;
    ErrorInfo error{0, 0};
};

struct Answer {
    bool responded = false;
    Bytes response;
    ErrorInfo error{0, 0};
};

class SimReaderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        registry.setString("category_name_list", "SIM");
        ASSERT_TRUE(plugin.loaded()) << simReaderPath();
    }

    void useScenario(const std::string &text)
    {
        writeFile(scratch.file("test.scenario"), text);
        registry.setString(SIM_SCENARIO_VALUE_NAME, scratch.file("test.scenario"));
    }

    void openAndPoll(uint32_t targetDevice)
    {
        ErrorInfo error{0, 0};
        ASSERT_TRUE(plugin.gp_open_port_and_transition_nfc_mode("SIM0", &error)) << std::hex << error.error_code;
        ASSERT_TRUE(plugin.gp_start_poll_mode(targetDevice, &error)) << std::hex << error.error_code;
    }

    Status readStatus()
    {
        Status s;
        uint32_t listen = 0xFFFFFFFF, size = 0;
        uint8_t *data = nullptr;
        s.ok = plugin.gp_get_driver_status(&s.status, &s.cardType, &listen, &size, &data, &s.error) != 0;
        if (s.ok && data != nullptr) {
            s.data.assign(data, data + size);
        }
        return s;
    }

    // Reads the status until a target is found; returns its target number (0: none found).
    uint32_t findTarget(Status *found = nullptr)
    {
        for (int i = 0; i < 4; ++i) {
            const Status s = readStatus();
            if (s.ok && (s.status & GP_CONNECT_REPORT_POLL_MODE)) {
                if (found != nullptr) {
                    *found = s;
                }
                uint32_t number;
                std::memcpy(&number, s.data.data() + GP_AD_TARGET_NUMBER, 4);
                return number;
            }
        }
        return 0;
    }

    // Opens, polls, finds the first target and starts access to it.
    uint32_t accessFirstTarget(uint32_t targetDevice)
    {
        openAndPoll(targetDevice);
        const uint32_t number = findTarget();
        ErrorInfo error{0, 0};
        EXPECT_NE(number, 0u);
        EXPECT_TRUE(plugin.gp_start_device_access(number, &error)) << std::hex << error.error_code;
        return number;
    }

    Answer exchange(const Bytes &command)
    {
        Answer a;
        uint8_t response[1024];
        uint16_t length = 0xFFFF;
        a.responded = plugin.gp_read(command.data(), static_cast<uint32_t>(command.size()), response, &length,
                                     &a.error) != 0;
        if (a.responded) {
            a.response.assign(response, response + length);
        }
        return a;
    }

    RegistryConfiguration registry;
    ScratchDirectory scratch{"sim_reader"};
    SimPlugin plugin;
};

// ---------------------------------------------------------------------------------------------
// Category look-up
// ---------------------------------------------------------------------------------------------

TEST_F(SimReaderTest, PortCategoryIsThePositionOfSimInTheCategoryList)
{
    std::string longList;
    for (int i = 0; i < 255; ++i) {
        longList += "C" + std::to_string(i) + ",";
    }
    const std::string beyondCut = std::string(4094, 'X') + ",SIM";  // "SIM" is cut after its "S"
    struct Case {
        std::string list;
        bool listed;
        uint32_t expected;  // category, or the detail of SIM_E_CATEGORY_NOT_LISTED
    } cases[] = {
        {"SIM", true, 0},
        {"COM,SIM", true, 1},
        {"USB, , SIM ,COM", true, 2},   // blanks trimmed, the empty item keeps its position
        {",,,SIM", true, 3},
        {"COM, SIMX, SIM", true, 2},    // whole items only
        {longList + "SIM", true, 255},  // the 256th item
        {longList + "X,SIM", false, 1}, // the 257th item is beyond the list
        {beyondCut, false, 1},
        {"sim,COM", false, 1},           // case-sensitive
        {"SIM\t", false, 1},             // only spaces are trimmed
        {"", false, 0},
    };
    for (const Case &c : cases) {
        registry.setString("category_name_list", c.list);
        uint8_t category = 0xEE;
        ErrorInfo error{7, 7};
        const bool ok = plugin.gp_get_plugin_information(&category, &error) != 0;
        EXPECT_EQ(ok, c.listed) << c.list.substr(0, 40);
        if (c.listed) {
            EXPECT_EQ(category, c.expected) << c.list.substr(0, 40);
        } else {
            EXPECT_EQ(pair(error), std::make_pair(SIM_E_CATEGORY_NOT_LISTED, c.expected)) << c.list.substr(0, 40);
            EXPECT_EQ(category, 0xEE);
        }
    }
    registry.remove("category_name_list");
    uint8_t category = 0;
    ErrorInfo error{0, 0};
    EXPECT_FALSE(plugin.gp_get_plugin_information(&category, &error));
    EXPECT_EQ(pair(error), std::make_pair(SIM_E_CATEGORY_NOT_LISTED, 0u));
}

TEST_F(SimReaderTest, LibraryServesSimPortsAtTheConfiguredPosition)
{
    // The unchanged library loads the simulator and routes "SIM..." ports to it.
    registry.setString("plugins_home_directory", binDirectory() + "plugins");
    registry.setString("category_name_list", "USB, COM, SIM");
    registry.setString("port_name_list", "COM1,SIM7");
    KorvatDll dll;
    ASSERT_TRUE(dll.loaded());
    ASSERT_TRUE(dll.initialize());
    char port[16] = "";
    EXPECT_TRUE(dll.open(port));
    EXPECT_STREQ(port, "SIM7");
    int32_t timeout = 0;
    EXPECT_TRUE(dll.get_timeout(&timeout));
    EXPECT_EQ(timeout, 6000);  // set by the library's open
    EXPECT_TRUE(dll.close());
    EXPECT_TRUE(dll.uninitialize());
}

// FreeLibrary of the library without stopping anything, in a child process (a hang would end
// it): while polling, with a device access open, and after a start of poll mode made under the
// loader lock. FreeLibrary returns at once, the simulator's module is gone a second later, and the
// port opens again. The simulator has no thread of its own, so it has nothing to wait for.
TEST_F(SimReaderTest, FreeLibraryOfTheLibraryReturnsPromptlyWhateverIsOpen)
{
    useScenario("card A 0 600000 nfcid1=04A1A2A3A4A5A6 ats=0578807002\n");
    registry.setString("plugins_home_directory", binDirectory() + "plugins");
    registry.setString("port_name_list", "SIM0");
    expectFreeLibraryWhilePollingLeavesNothingBehind("sim_reader.gp");
}

// ---------------------------------------------------------------------------------------------
// Arguments and states
// ---------------------------------------------------------------------------------------------

TEST_F(SimReaderTest, BadArgumentsAreRefusedWithTheirPosition)
{
    ErrorInfo error{0, 0};
    ASSERT_TRUE(plugin.gp_open_port_and_transition_nfc_mode("SIM0", &error));  // so that only arguments fail
    using Call = GP_BOOL (*)(SimPlugin &, ErrorInfo *);
    struct Case {
        const char *entry;
        Call call;
        uint32_t position;
    } cases[] = {
        {"open(null name)", [](SimPlugin &p, ErrorInfo *e) { return p.gp_open_port_and_transition_nfc_mode(nullptr, e); }, 1},
        {"read(null command)",
         [](SimPlugin &p, ErrorInfo *e) {
             uint8_t r[4];
             uint16_t l;
             return p.gp_read(nullptr, 1, r, &l, e);
         },
         1},
        {"read(length 0)",
         [](SimPlugin &p, ErrorInfo *e) {
             uint8_t c = 0, r[4];
             uint16_t l;
             return p.gp_read(&c, 0, r, &l, e);
         },
         2},
        {"read(length 0x10000: only the low 16 bits count)",
         [](SimPlugin &p, ErrorInfo *e) {
             uint8_t c = 0, r[4];
             uint16_t l;
             return p.gp_read(&c, 0x10000, r, &l, e);
         },
         2},
        {"read(null response)",
         [](SimPlugin &p, ErrorInfo *e) {
             uint8_t c = 0;
             uint16_t l;
             return p.gp_read(&c, 1, nullptr, &l, e);
         },
         3},
        {"read(null length)",
         [](SimPlugin &p, ErrorInfo *e) {
             uint8_t c = 0, r[4];
             return p.gp_read(&c, 1, r, nullptr, e);
         },
         4},
        {"driver_status(null DriverStatus)",
         [](SimPlugin &p, ErrorInfo *e) {
             uint32_t w;
             uint8_t *d;
             return p.gp_get_driver_status(nullptr, &w, &w, &w, &d, e);
         },
         1},
        {"driver_status(null AdditionalDataSize)",
         [](SimPlugin &p, ErrorInfo *e) {
             uint32_t w;
             uint8_t *d;
             return p.gp_get_driver_status(&w, &w, &w, nullptr, &d, e);
         },
         4},
        {"driver_status(null AdditionalData)",
         [](SimPlugin &p, ErrorInfo *e) {
             uint32_t w;
             return p.gp_get_driver_status(&w, &w, &w, &w, nullptr, e);
         },
         5},
        {"get_timeout(null)", [](SimPlugin &p, ErrorInfo *e) { return p.gp_get_timeout(nullptr, e); }, 1},
        {"get_plugin_information(null)", [](SimPlugin &p, ErrorInfo *e) { return p.gp_get_plugin_information(nullptr, e); }, 1},
        {"start_poll_mode(0)", [](SimPlugin &p, ErrorInfo *e) { return p.gp_start_poll_mode(0, e); }, 1},
        {"start_poll_mode(0x10)", [](SimPlugin &p, ErrorInfo *e) { return p.gp_start_poll_mode(0x10, e); }, 1},
        {"stop_device_access(2)", [](SimPlugin &p, ErrorInfo *e) { return p.gp_stop_device_access(2, e); }, 1},
    };
    for (const Case &c : cases) {
        ErrorInfo e{0, 0};
        EXPECT_FALSE(c.call(plugin, &e)) << c.entry;
        EXPECT_EQ(pair(e), std::make_pair(SIM_E_INVALID_ARGUMENT, c.position)) << c.entry;
    }
    // Without an error record nothing can be reported, and nothing is done.
    uint8_t category = 0;
    EXPECT_FALSE(plugin.gp_close_port(nullptr));
    EXPECT_FALSE(plugin.gp_start_poll_mode(1, nullptr));
    EXPECT_FALSE(plugin.gp_get_plugin_information(&category, nullptr));
    EXPECT_FALSE(plugin.gp_get_version_number(nullptr));
    EXPECT_TRUE(plugin.gp_close_port(&error));  // still open
    int32_t version = 0;
    EXPECT_TRUE(plugin.gp_get_version_number(&version));
    EXPECT_GE(version, GP_MINIMUM_VERSION);
}

TEST_F(SimReaderTest, OperationsOutOfOrderAreRefusedWithThePluginsPair)
{
    ErrorInfo error{0, 0};
    uint32_t word;
    uint8_t *data;
    EXPECT_FALSE(plugin.gp_start_poll_mode(1, &error));
    EXPECT_EQ(pair(error), std::make_pair(SIM_E_PORT_NOT_OPEN, 0u));
    EXPECT_FALSE(plugin.gp_get_driver_status(&word, &word, &word, &word, &data, &error));
    EXPECT_EQ(pair(error), std::make_pair(SIM_E_PORT_NOT_OPEN, 0u));
    EXPECT_FALSE(plugin.gp_open_port_and_transition_nfc_mode("COM1", &error));
    EXPECT_EQ(pair(error), std::make_pair(SIM_E_UNKNOWN_PORT, 0u));

    ASSERT_TRUE(plugin.gp_open_port_and_transition_nfc_mode("SIM0", &error));
    EXPECT_FALSE(plugin.gp_open_port_and_transition_nfc_mode("SIM1", &error));
    EXPECT_EQ(pair(error), std::make_pair(SIM_E_PORT_ALREADY_OPEN, 0u));
    EXPECT_FALSE(plugin.gp_start_device_access(1, &error));
    EXPECT_EQ(pair(error), std::make_pair(SIM_E_NOT_POLLING, 0u));
    EXPECT_FALSE(plugin.gp_stop_poll_mode(&error));
    EXPECT_EQ(pair(error), std::make_pair(SIM_E_NOT_POLLING, 0u));

    ASSERT_TRUE(plugin.gp_start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K, &error));
    EXPECT_FALSE(plugin.gp_start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K, &error));
    EXPECT_EQ(pair(error), std::make_pair(SIM_E_ALREADY_POLLING, 0u));
    const uint32_t number = findTarget();
    ASSERT_NE(number, 0u);
    EXPECT_FALSE(plugin.gp_start_device_access(number + 1, &error));
    EXPECT_EQ(pair(error), std::make_pair(SIM_E_NO_TARGET, number + 1));
    const Answer before = exchange({0x00, 0xA4, 0x04, 0x00});
    EXPECT_FALSE(before.responded);
    EXPECT_EQ(pair(before.error), std::make_pair(SIM_E_NOT_ACCESSING, 0u));
    EXPECT_FALSE(plugin.gp_stop_device_access(0, &error));
    EXPECT_EQ(pair(error), std::make_pair(SIM_E_NOT_ACCESSING, 0u));
    ASSERT_TRUE(plugin.gp_start_device_access(number, &error));
    EXPECT_FALSE(plugin.gp_start_device_access(number, &error));
    EXPECT_EQ(pair(error), std::make_pair(SIM_E_ALREADY_ACCESSING, number));

    ASSERT_TRUE(plugin.gp_close_port(&error));
    EXPECT_FALSE(plugin.gp_close_port(&error));
    EXPECT_EQ(pair(error), std::make_pair(SIM_E_PORT_NOT_OPEN, 0u));
}

TEST_F(SimReaderTest, TimeoutIsStoredAndReturned)
{
    ErrorInfo error{0, 0};
    int32_t timeout = 0;
    ASSERT_TRUE(plugin.gp_get_timeout(&timeout, &error));
    EXPECT_EQ(timeout, SIM_DEFAULT_TIMEOUT);
    for (int32_t value : {1, 6000, -5, 0x7FFFFFFF}) {
        ASSERT_TRUE(plugin.gp_set_timeout(value, &error));
        ASSERT_TRUE(plugin.gp_get_timeout(&timeout, &error));
        EXPECT_EQ(timeout, value);
    }
}

// The parser's own cases are native (tests/native/sim_tag_tests.cpp); here a bad line and a
// missing file reach the library as the plug-in's error pair.
TEST_F(SimReaderTest, BadScenarioFailsTheOpenWithItsLine)
{
    ErrorInfo error{0, 0};
    useScenario("# comment\n\ncard Q 0 100\n");
    EXPECT_FALSE(plugin.gp_open_port_and_transition_nfc_mode("SIM0", &error));
    EXPECT_EQ(pair(error), std::make_pair(SIM_E_SCENARIO, 3u));
    registry.setString(SIM_SCENARIO_VALUE_NAME, scratch.file("missing.scenario"));
    EXPECT_FALSE(plugin.gp_open_port_and_transition_nfc_mode("SIM0", &error));
    EXPECT_EQ(pair(error), std::make_pair(SIM_E_SCENARIO, 0u));
}

// ---------------------------------------------------------------------------------------------
// Poll mode and the cards passing the field
// ---------------------------------------------------------------------------------------------

TEST_F(SimReaderTest, FoundTargetsAreReportedWithTheirAdditionalData)
{
    useScenario("card A 0 60000 nfcid1=04112233445566 sens_res=0044 sel_res=20 ats=0578807002\n"
                "card B 0 60000 atqb=50AABBCCDD0000000000718F attrib=10\n"
                "card F424 0 60000 nfcid2=0102030405060708 pad=1112131415161718 rd=12FC\n");
    openAndPoll(DEVICE_TYPE_NFC_14443A_18092_106K | DEVICE_TYPE_NFC_14443B_106K | DEVICE_TYPE_NFC_18092_424K);
    struct Expected {
        uint32_t cardType;
        std::string data;  // the whole additional data block, hex
    } expected[] = {
        {1, "01000000" "01" "01000000" "00" "4400" "20" "07" "04112233445566000000" "05" "0578807002"},
        {8, "08000000" "08" "02000000" "00" "50AABBCCDD0000000000718F" "01" "10"},
        {4, "04000000" "04" "03000000" "00" "0102030405060708" "1112131415161718" "02" "12FC"},
    };
    for (const Expected &e : expected) {
        ErrorInfo error{0, 0};
        Status found = readStatus();
        ASSERT_TRUE(found.ok);
        EXPECT_EQ(found.status, GP_STATUS_STATE_ACTIVE | GP_CONNECT_REPORT_POLL_MODE);
        EXPECT_EQ(found.cardType, e.cardType);
        EXPECT_EQ(hex(found.data), e.data);
        const Status waiting = readStatus();
        EXPECT_EQ(waiting.status, GP_STATUS_STATE_ACTIVE | GP_ACCESS_WAITING);
        uint32_t number;
        std::memcpy(&number, found.data.data() + GP_AD_TARGET_NUMBER, 4);
        ASSERT_TRUE(plugin.gp_start_device_access(number, &error));
        EXPECT_EQ(readStatus().status, GP_STATUS_STATE_ACTIVE | GP_ACCESS_ENABLED);
        EXPECT_EQ(readStatus().status, GP_STATUS_STATE_ACTIVE | GP_ACCESS_ENABLED);
        ASSERT_TRUE(plugin.gp_stop_device_access(0, &error));
    }
    // All three released with stop_mode 0: none is found again while they stay in the field.
    const Status idle = readStatus();
    EXPECT_EQ(idle.status, GP_STATUS_STATE_IDLE);
    EXPECT_TRUE(idle.data.empty());
}

TEST_F(SimReaderTest, OnlyTargetsOfTheRequestedKindsAreFound)
{
    useScenario("card A 0 60000\ncard B 0 60000\ncard F 0 60000\n");
    struct Case {
        uint32_t targetDevice;
        std::vector<uint32_t> found;  // card types, in the order they are served
    } cases[] = {
        {DEVICE_TYPE_NFC_14443A_18092_106K, {1}},
        {DEVICE_TYPE_NFC_14443B_106K, {8}},
        {DEVICE_TYPE_NFC_18092_212K, {2}},
        {DEVICE_TYPE_NFC_18092_424K, {}},
        {DEVICE_TYPE_NFC_18092_212K | DEVICE_TYPE_NFC_14443B_106K, {8, 2}},
        {0x0F, {1, 8, 2}},
    };
    for (const Case &c : cases) {
        openAndPoll(c.targetDevice);
        std::vector<uint32_t> found;
        Status s;
        uint32_t number;
        while ((number = findTarget(&s)) != 0) {
            found.push_back(s.cardType);
            ErrorInfo error{0, 0};
            ASSERT_TRUE(plugin.gp_start_device_access(number, &error));
            ASSERT_TRUE(plugin.gp_stop_device_access(0, &error));
        }
        EXPECT_EQ(found, c.found) << "target_device " << c.targetDevice;
        ErrorInfo error{0, 0};
        ASSERT_TRUE(plugin.gp_close_port(&error));
    }
    ErrorInfo error{0, 0};
    ASSERT_TRUE(plugin.gp_open_port_and_transition_nfc_mode("SIM0", &error));
    EXPECT_FALSE(plugin.gp_start_poll_mode(0x10, &error));
    EXPECT_EQ(pair(error), std::make_pair(SIM_E_INVALID_ARGUMENT, 1u));
}

TEST_F(SimReaderTest, StopModeOneLetsTheTargetBeFoundAgain)
{
    useScenario("card A 0 60000\n");
    const uint32_t first = accessFirstTarget(DEVICE_TYPE_NFC_14443A_18092_106K);
    ErrorInfo error{0, 0};
    ASSERT_TRUE(plugin.gp_stop_device_access(1, &error));
    const uint32_t second = findTarget();
    EXPECT_EQ(second, first + 1);
    ASSERT_TRUE(plugin.gp_start_device_access(second, &error));
    ASSERT_TRUE(plugin.gp_stop_device_access(0, &error));
    EXPECT_EQ(findTarget(), 0u);
}

TEST_F(SimReaderTest, CardsEnterAndLeaveTheFieldOnSchedule)
{
    useScenario("card A 0 300\ncard B 250 60000\n");
    const uint32_t number = accessFirstTarget(DEVICE_TYPE_NFC_14443A_18092_106K | DEVICE_TYPE_NFC_14443B_106K);
    EXPECT_TRUE(exchange({0x00, 0xB0, 0x00, 0x00, 0x02}).responded);
    Sleep(400);
    const Answer gone = exchange({0x00, 0xB0, 0x00, 0x00, 0x02});
    EXPECT_FALSE(gone.responded);
    EXPECT_EQ(pair(gone.error), std::make_pair(SIM_E_NO_RESPONSE, SIM_NO_RESPONSE_LEFT_FIELD));
    ErrorInfo error{0, 0};
    EXPECT_FALSE(plugin.gp_start_device_access(number, &error));
    EXPECT_EQ(pair(error), std::make_pair(SIM_E_NO_TARGET, number));
    Status s;
    EXPECT_EQ(findTarget(&s), number + 1);
    EXPECT_EQ(s.cardType, DEVICE_TYPE_NFC_14443B_106K);
}

// ---------------------------------------------------------------------------------------------
// Status event, departures and reader lists
// ---------------------------------------------------------------------------------------------

// The sim's own status as the shared tokens read it; a departure also carries the sim's pair.
std::string statusWord(const Status &s)
{
    PluginStatus status;
    status.ok = s.ok;
    status.word = s.status;
    status.cardType = s.cardType;
    status.size = static_cast<uint32_t>(s.data.size());
    status.data = const_cast<uint8_t *>(s.data.data());
    std::string token = statusToken(status);
    if (token[0] == 'L' && (pair(s.error) != std::make_pair(SIM_E_NO_RESPONSE, SIM_NO_RESPONSE_LEFT_FIELD) ||
                            (s.status & GP_CARD_ERROR_DETAIL_MASK) >> GP_CARD_ERROR_DETAIL_SHIFT !=
                                SIM_CARD_ERROR_LEFT_FIELD)) {
        token += "(pair " + std::to_string(s.error.error_code) + ")";
    }
    return token;
}

class SimStatusEventTest : public SimReaderTest {
protected:
    void SetUp() override
    {
        SimReaderTest::SetUp();
        ASSERT_NE(plugin.gp_set_status_event, nullptr);
        ASSERT_NE(plugin.gp_list_ports, nullptr);
        event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    void TearDown() override
    {
        ErrorInfo error{0, 0};
        plugin.gp_set_status_event(nullptr, &error);
        CloseHandle(event);
    }

    std::string statusesOnEvent(size_t count, DWORD limitMs)
    {
        return korvat_test::statusesOnEvent(plugin.gp_get_driver_status, event, count, limitMs);
    }

    HANDLE event = nullptr;
};

// With an event handed over, each change sets it once: the arrival, access enabled by the
// application, the departure of the accessed card (flagged, with its number), the next card.
TEST_F(SimStatusEventTest, EventIsSetOncePerChangeAndDeparturesNameTheTarget)
{
    useScenario("card A 100 700\ncard B 900 60000\n");
    openAndPoll(DEVICE_TYPE_NFC_14443A_18092_106K | DEVICE_TYPE_NFC_14443B_106K);
    ErrorInfo error{0, 0};
    ASSERT_TRUE(plugin.gp_set_status_event(event, &error)) << std::hex << error.error_code;
    EXPECT_EQ(statusesOnEvent(1, 2000), "F1 ");
    EXPECT_EQ(WaitForSingleObject(event, 150), static_cast<DWORD>(WAIT_TIMEOUT)) << "set with nothing new";
    ASSERT_TRUE(plugin.gp_start_device_access(1, &error));
    EXPECT_EQ(statusesOnEvent(3, 3000), "A L1 F2 ");
    EXPECT_EQ(statusWord(readStatus()), "W");
}

// Departures are reported only while an event is handed over: without one (the libraries that
// came before it), and after its withdrawal, a card that left is only gone.
TEST_F(SimStatusEventTest, DeparturesOnlyWhileAnEventIsHandedOver)
{
    const struct {
        const char *name;
        bool handOver;
        bool withdraw;
        const char *statuses;  // each new status read every 20 ms until the second card
    } cases[] = {
        {"no event", false, false, "F1 W I F2 "},
        {"event", true, false, "F1 W L1 I F2 "},
        {"event withdrawn", true, true, "F1 W I F2 "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        useScenario("card A 0 300\ncard B 600 60000\n");
        openAndPoll(DEVICE_TYPE_NFC_14443A_18092_106K | DEVICE_TYPE_NFC_14443B_106K);
        ErrorInfo error{0, 0};
        if (c.handOver) {
            ASSERT_TRUE(plugin.gp_set_status_event(event, &error));
        }
        if (c.withdraw) {
            ASSERT_TRUE(plugin.gp_set_status_event(nullptr, &error));
        }
        std::string statuses, last;
        for (int i = 0; i < 100 && last.compare(0, 2, "F2") != 0; ++i, Sleep(20)) {
            const std::string word = statusWord(readStatus());
            if (word != last) {
                statuses += word + " ";
            }
            last = word;
        }
        EXPECT_EQ(statuses, c.statuses);
        if (c.withdraw) {
            EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "set after its withdrawal";
        }
        ASSERT_TRUE(plugin.gp_set_status_event(nullptr, &error));
        ASSERT_TRUE(plugin.gp_close_port(&error));
        ResetEvent(event);
    }
}

TEST_F(SimStatusEventTest, HandOverNeedsTheOpenPortAndWithdrawalAlwaysSucceeds)
{
    ErrorInfo error{0, 0};
    EXPECT_FALSE(plugin.gp_set_status_event(event, &error));
    EXPECT_EQ(pair(error), std::make_pair(SIM_E_PORT_NOT_OPEN, 0u));
    EXPECT_TRUE(plugin.gp_set_status_event(nullptr, &error));
    EXPECT_FALSE(plugin.gp_set_status_event(event, nullptr));
}

TEST_F(SimStatusEventTest, ListFollowsPortLinesOrPortNameList)
{
    const struct {
        const char *name;
        const char *scenario;
        const char *portNameList;  // nullptr: absent
        const char *listed;
    } cases[] = {
        {"port lines", "port SIM4 60000 0 Desk reader\nport SIM2 60000 1\n", "SIM0", "SIM4(Desk reader) SIM2(Simulated reader) "},
        {"port name list", "card A 0 100\n", "SIM3, COM4,, SIM7 ", "SIM3(Simulated reader) SIM7(Simulated reader) "},
        {"no port of the simulator", "card A 0 100\n", "COM4", "SIM0(Simulated reader) "},
        {"no list", "card A 0 100\n", nullptr, "SIM0(Simulated reader) "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        useScenario(c.scenario);
        if (c.portNameList != nullptr) {
            registry.setString("port_name_list", c.portNameList);
        } else {
            registry.remove("port_name_list");
        }
        EXPECT_EQ(listedPorts(plugin.gp_list_ports), c.listed);
    }
}

// The size contract: too small a buffer gets nothing and the size; a scenario that cannot be
// read fails with the open's pair.
TEST_F(SimStatusEventTest, ListKeepsItsSizeContract)
{
    useScenario("port SIM1 60000 0 R\n");
    const std::string expected("SIM1\0R\0\0", 8);
    for (uint32_t size : {0u, 1u, 7u, 8u, 9u}) {
        SCOPED_TRACE(size);
        char buffer[16];
        std::memset(buffer, 0x5A, sizeof buffer);
        uint32_t needed = 0;
        ErrorInfo error{0, 0};
        ASSERT_TRUE(plugin.gp_list_ports(size == 0 ? nullptr : buffer, size, &needed, &error));
        EXPECT_EQ(needed, expected.size());
        const std::string written(buffer, sizeof buffer);
        const std::string untouched(sizeof buffer, 0x5A);
        EXPECT_EQ(written, size >= expected.size() ? expected + untouched.substr(expected.size()) : untouched);
    }
    ErrorInfo error{0, 0};
    char buffer[16];
    EXPECT_FALSE(plugin.gp_list_ports(buffer, sizeof buffer, nullptr, &error));
    EXPECT_EQ(pair(error), std::make_pair(SIM_E_INVALID_ARGUMENT, 3u));
    uint32_t needed = 0;
    EXPECT_FALSE(plugin.gp_list_ports(nullptr, 4, &needed, &error));
    EXPECT_EQ(pair(error), std::make_pair(SIM_E_INVALID_ARGUMENT, 1u));
    useScenario("port COM1 100 0\n");
    EXPECT_FALSE(plugin.gp_list_ports(buffer, sizeof buffer, &needed, &error));
    EXPECT_EQ(pair(error), std::make_pair(SIM_E_SCENARIO, 1u));
}

// A reader on a schedule: listed and opened only while plugged in; once open it stays listed.
TEST_F(SimStatusEventTest, ScheduledReaderComesAndGoesAndOpensOnlyWhilePresent)
{
    useScenario("port SIM1 700 700 Coming and going\nport SIM2 60000 0\n");
    const auto waitFor = [&](bool present) {
        for (int i = 0; i < 200; ++i, Sleep(10)) {
            if ((listedPorts(plugin.gp_list_ports).find("SIM1(") != std::string::npos) == present) {
                return true;
            }
        }
        return false;
    };
    ErrorInfo error{0, 0};
    ASSERT_TRUE(waitFor(false)) << "never pulled out";
    EXPECT_EQ(listedPorts(plugin.gp_list_ports), "SIM2(Simulated reader) ");
    EXPECT_FALSE(plugin.gp_open_port_and_transition_nfc_mode("SIM1", &error));
    EXPECT_EQ(pair(error), std::make_pair(SIM_E_NO_READER, 0u));
    EXPECT_FALSE(plugin.gp_open_port_and_transition_nfc_mode("SIM5", &error)) << "a port without a line";
    EXPECT_EQ(pair(error), std::make_pair(SIM_E_NO_READER, 0u));
    ASSERT_TRUE(waitFor(true)) << "never plugged in again";
    ASSERT_TRUE(plugin.gp_open_port_and_transition_nfc_mode("SIM1", &error)) << std::hex << error.error_code;
    for (int i = 0; i < 15; ++i, Sleep(100)) {
        EXPECT_EQ(listedPorts(plugin.gp_list_ports), "SIM1(Coming and going) SIM2(Simulated reader) ") << i * 100 << " ms";
    }
    ASSERT_TRUE(plugin.gp_close_port(&error));
}

TEST_F(SimReaderTest, DeselectedCardAnswersNothingUntilSelectedAgain)
{
    useScenario("card A 0 60000\nuri https://example.org\n");
    accessFirstTarget(DEVICE_TYPE_NFC_14443A_18092_106K);
    const Bytes selectApplication = unhex("00A4040007D276000085010100");
    ASSERT_EQ(hex(exchange(selectApplication).response), "9000");
    ErrorInfo error{0, 0};
    ASSERT_TRUE(plugin.gp_deselect_device(&error));
    const Answer halted = exchange(selectApplication);
    EXPECT_FALSE(halted.responded);
    EXPECT_EQ(pair(halted.error), std::make_pair(SIM_E_NO_RESPONSE, SIM_NO_RESPONSE_HALTED));
    ASSERT_TRUE(plugin.gp_select_device(&error));
    // Woken up with nothing selected.
    EXPECT_EQ(hex(exchange(unhex("00B0000002")).response), "6986");
}

// ---------------------------------------------------------------------------------------------
// Card logic
// ---------------------------------------------------------------------------------------------

// The tag models answer command by command natively (tests/native/sim_tag_tests.cpp); here
// the plug-in hands a card's answer back through gp_read.
TEST_F(SimReaderTest, ReadGoesToTheAccessedCardAndBringsItsAnswerBack)
{
    useScenario("card F 0 60000 nfcid2=0102030405060708 pad=1112131415161718 rd=12FC\ntext en Hi\n");
    accessFirstTarget(DEVICE_TYPE_NFC_18092_212K);
    const Answer a = exchange(unhex("10060102030405060708010B00018000"));
    ASSERT_TRUE(a.responded);
    // Attribute block: version 1.0, Nbr 4, Nbw 1, Nmaxb 1, read only, Ln 9.
    EXPECT_EQ(hex(a.response), "1D070102030405060708000001" "1004010001000000000000000009001F");
    const Answer ignored = exchange(unhex("10060102030405060709010B00018000"));
    EXPECT_FALSE(ignored.responded);
    EXPECT_EQ(pair(ignored.error), std::make_pair(SIM_E_NO_RESPONSE, SIM_NO_RESPONSE_IGNORED));
}

// A Type 2 Tag is found as a type A target without ATS; READ frames bring its capability
// container and its TLVs, which lead to the NDEF message of the scenario.
TEST_F(SimReaderTest, Type2TagIsFoundAsTypeAAndReadsItsCcAndNdefTlvPageByPage)
{
    useScenario("card T2 0 60000 size=144 uid=04112233445566\nuri https://www.example.com/t2\n");
    openAndPoll(DEVICE_TYPE_NFC_14443A_18092_106K);
    Status found;
    const uint32_t number = findTarget(&found);
    ASSERT_NE(number, 0u);
    EXPECT_EQ(found.cardType, 1u);
    EXPECT_EQ(hex(found.data), "01000000" "01" "01000000" "00" "4400" "00" "07" "04112233445566000000" "00");
    ErrorInfo error{0, 0};
    ASSERT_TRUE(plugin.gp_start_device_access(number, &error)) << std::hex << error.error_code;

    Bytes memory;  // pages 0..15, four READs
    for (uint8_t page = 0; page < 16; page += 4) {
        const Answer a = exchange({0x30, page});
        ASSERT_TRUE(a.responded) << int(page);
        ASSERT_EQ(a.response.size(), 16u) << int(page);
        memory.insert(memory.end(), a.response.begin(), a.response.end());
    }
    EXPECT_EQ(hex(Bytes(memory.begin() + 12, memory.begin() + 16)), "E1101200");
    // Lock control TLV, memory control TLV, then the NDEF TLV with its 1-byte length.
    EXPECT_EQ(hex(Bytes(memory.begin() + 16, memory.begin() + 26)), "0103A00C34" "0203A41004");
    ASSERT_EQ(memory[26], 0x03);
    const size_t length = memory[27];
    ASSERT_LE(28 + length + 1, memory.size());
    const std::string record = "D1010F5502" + hex(Bytes{'e', 'x', 'a', 'm', 'p', 'l', 'e', '.', 'c', 'o', 'm', '/', 't', '2'});
    EXPECT_EQ(hex(Bytes(memory.begin() + 28, memory.begin() + 28 + length)), record);
    EXPECT_EQ(memory[28 + length], 0xFE);
}

TEST_F(SimReaderTest, Type2TagAnswersWritesAndKeepsThemUntilThePortCloses)
{
    useScenario("card T2 0 60000\nempty\n");
    accessFirstTarget(DEVICE_TYPE_NFC_14443A_18092_106K);
    struct Step {
        const char *what;
        std::string command;
        std::string response;
        uint32_t detail;  // of SIM_E_NO_RESPONSE when there is no response
    } steps[] = {
        {"write", "A20A01020304", "0A", 0},
        {"fast read it back", "3A0A0A", "01020304", 0},
        {"write a UID page", "A20001020304", "00", 0},
        {"fast read of 33 pages is more than the frame carries", "3A0020", "", SIM_NO_RESPONSE_OVERFLOW},
        {"unknown command", "5000", "", SIM_NO_RESPONSE_IGNORED},
        {"get version", "60", "0004040201000F03", 0},
    };
    for (const Step &s : steps) {
        const Answer a = exchange(unhex(s.command));
        if (s.detail != 0) {
            EXPECT_FALSE(a.responded) << s.what;
            EXPECT_EQ(pair(a.error), std::make_pair(SIM_E_NO_RESPONSE, s.detail)) << s.what;
        } else {
            ASSERT_TRUE(a.responded) << s.what << std::hex << " " << a.error.error_code;
            EXPECT_EQ(hex(a.response), s.response) << s.what;
        }
    }
    // 32 pages (128 bytes) fit the reader's frame.
    const Answer full = exchange(unhex("3A001F"));
    ASSERT_TRUE(full.responded);
    ASSERT_EQ(full.response.size(), 128u);
    EXPECT_EQ(hex(Bytes(full.response.begin() + 40, full.response.begin() + 44)), "01020304");
    // Found again and accessed anew: the page keeps what was written.
    ErrorInfo error{0, 0};
    ASSERT_TRUE(plugin.gp_stop_device_access(1, &error));
    const uint32_t again = findTarget();
    ASSERT_NE(again, 0u);
    ASSERT_TRUE(plugin.gp_start_device_access(again, &error));
    EXPECT_EQ(hex(exchange(unhex("3A0A0A")).response), "01020304");
    // A new open starts from the scenario again.
    ASSERT_TRUE(plugin.gp_close_port(&error));
    accessFirstTarget(DEVICE_TYPE_NFC_14443A_18092_106K);
    EXPECT_EQ(hex(exchange(unhex("3A0A0A")).response), "00000000");
}

// Writable Type 4 and Type 3 cards keep what is written across accesses until the port closes; a
// read only Type 3 card refuses a write with status flags.
TEST_F(SimReaderTest, WritableCardsKeepWritesUntilThePortClosesAndReadOnlyCardsRefuseThem)
{
    const std::string idm = "0102030405060708";
    useScenario("card A 0 60000 writable ndef_size=64\n"
                "card F 0 60000 writable nfcid2=" + idm + "\n"
                "card F424 0 60000 nfcid2=" + idm + "\n");
    const std::string block(32, '5');
    struct Card {
        const char *what;
        uint32_t targetDevice;
        std::vector<std::pair<std::string, std::string>> write;  // command, response
        std::pair<std::string, std::string> readBack;
        std::string afterReopen;  // the answer to the read-back command once the port reopened
    } cards[] = {
        {"Type 4", DEVICE_TYPE_NFC_14443A_18092_106K,
         {{"00A4040007D276000085010100", "9000"}, {"00A4000C02E104", "9000"}, {"00D6000203D00000", "9000"},
          {"00D60000020003", "9000"}},
         {"00B0000005", "0003D000009000"}, "00000000009000"},
        {"Type 3", DEVICE_TYPE_NFC_18092_212K,
         {{"20080102030405060708010900018001" + block, "0C09" + idm + "0000"}},
         {"10060102030405060708010B00018001", "1D07" + idm + "000001" + block},
         "1D07" + idm + "000001" + std::string(32, '0')},
        {"read only Type 3", DEVICE_TYPE_NFC_18092_424K,
         {{"20080102030405060708010900018001" + block, "0C09" + idm + "FFA5"}},
         {"10060102030405060708010B00018001", "0C07" + idm + "FFA8"},  // no data block at all
         "0C07" + idm + "FFA8"},
    };
    for (const Card &card : cards) {
        // After a new activation: the Type 4 Tag's SELECTs again (its first commands, never its last).
        const auto reselect = [&] {
            for (size_t i = 0; i + 1 < card.write.size() && i < 2; ++i) {
                exchange(unhex(card.write[i].first));
            }
        };
        ASSERT_NO_FATAL_FAILURE(accessFirstTarget(card.targetDevice)) << card.what;
        for (const auto &step : card.write) {
            const Answer a = exchange(unhex(step.first));
            ASSERT_TRUE(a.responded) << card.what << ": " << step.first;
            EXPECT_EQ(hex(a.response), step.second) << card.what << ": " << step.first;
        }
        // Released, found again and accessed anew (the Type 4 Tag with nothing selected).
        ErrorInfo error{0, 0};
        ASSERT_TRUE(plugin.gp_stop_device_access(1, &error)) << card.what;
        const uint32_t again = findTarget();
        ASSERT_NE(again, 0u) << card.what;
        ASSERT_TRUE(plugin.gp_start_device_access(again, &error)) << card.what;
        reselect();
        EXPECT_EQ(hex(exchange(unhex(card.readBack.first)).response), card.readBack.second) << card.what;
        // A new open starts from the scenario again.
        ASSERT_TRUE(plugin.gp_close_port(&error)) << card.what;
        ASSERT_NO_FATAL_FAILURE(accessFirstTarget(card.targetDevice)) << card.what;
        reselect();
        EXPECT_EQ(hex(exchange(unhex(card.readBack.first)).response), card.afterReopen) << card.what;
        ASSERT_TRUE(plugin.gp_close_port(&error)) << card.what;
    }
}

// Through the library: korvatlib_nfc_thru carries the tag writers' commands to a writable type A
// card (Type 4) and a writable F card (Type 3), whose messages then read back; a read only type B
// card refuses an UPDATE BINARY with 6982.
class SimThroughLibrary : public ::testing::Test {
protected:
    void SetUp() override
    {
        registry.setString("plugins_home_directory", binDirectory() + "plugins");
        registry.setString("category_name_list", "SIM");
        registry.setString("port_name_list", "SIM0");
        writeFile(scratch.file("write.scenario"), "card A 0 60000 writable ndef_size=256 nfcid1=04A1A2A3A4A5A6\n"
                                                  "uri https://example.org/old\n"
                                                  "card F 0 60000 writable nfcid2=01F1F2F3F4F5F6F7\n"
                                                  "text en old\n"
                                                  "card B 0 60000\n"
                                                  "text en read only\n");
        registry.setString(SIM_SCENARIO_VALUE_NAME, scratch.file("write.scenario"));
        ASSERT_TRUE(dll.loaded());
        ASSERT_TRUE(dll.initialize());
        char port[16] = "";
        ASSERT_TRUE(dll.open(port)) << std::hex << dll.lastError().first;
        ASSERT_TRUE(dll.set_poll_callback_parameters(window.handle(), "korvat.simwrite.find", "korvat.simwrite.enable"));
        ASSERT_TRUE(dll.start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K | DEVICE_TYPE_NFC_18092_212K |
                                        DEVICE_TYPE_NFC_14443B_106K));
    }

    void TearDown() override
    {
        dll.stop_poll_mode();
        dll.close();
        dll.uninitialize();
    }

    // Pumps until a message of `kind` arrives from message `m_Next` on; false after `limitMs`.
    bool pumpFor(UINT kind, WPARAM wParam, ReceivedMessage &found, DWORD limitMs = 6000)
    {
        const DWORD begun = GetTickCount();
        for (;;) {
            for (; m_Next < window.messages.size(); ++m_Next) {
                const ReceivedMessage &m = window.messages[m_Next];
                if (m.message == kind && m.wParam == wParam) {
                    found = window.messages[m_Next++];
                    return true;
                }
            }
            if (GetTickCount() - begun >= limitMs) {
                return false;
            }
            window.pump(50);
        }
    }

    // Waits for the next target, starts access to it and waits until access is enabled; its
    // target record.
    Bytes accessNextTarget()
    {
        ReceivedMessage find{}, waiting{}, enabled{};
        EXPECT_TRUE(pumpFor(window.findMessage(), KORVAT_NFC_FIND_TARGET, find)) << "no target found";
        EXPECT_TRUE(pumpFor(window.enableMessage(), WAITING_ACCESS_TO_TARGET, waiting)) << "no target waiting";
        EXPECT_TRUE(dll.start_dev_access(static_cast<uint32_t>(waiting.lParam))) << std::hex << dll.lastError().first;
        EXPECT_TRUE(pumpFor(window.enableMessage(), ENABLE_ACCESS_TO_TARGET, enabled)) << "access not enabled";
        return find.bytes;
    }

    // Runs a tag reader or writer over korvatlib_nfc_thru.
    template <class Driver>
    void drive(Driver &driver)
    {
        Bytes command;
        for (int i = 0; i < 100 && driver.nextCommand(command); ++i) {
            uint8_t response[1024];
            uint16_t length = 0;
            ASSERT_TRUE(dll.thru(command.data(), static_cast<uint16_t>(command.size()), response, &length))
                << hex(command) << std::hex << " " << dll.lastError().first;
            driver.takeResponse(response, length);
        }
    }

    RegistryConfiguration registry;
    ScratchDirectory scratch{"sim_write"};
    KorvatDll dll;
    MessageWindow window{"korvat.simwrite.find", "korvat.simwrite.enable"};
    size_t m_Next = 0;
};

Bytes textMessage(const std::string &text)
{
    NdefBuilder builder;
    std::string error;
    EXPECT_TRUE(builder.addText("en", text, error)) << error;
    return builder.message();
}

TEST_F(SimThroughLibrary, WritesToWritableCardsReadBackAndAReadOnlyCardRefuses)
{
    // Type A: a Type 4 Tag. A message longer than MLc goes down in several UPDATE BINARYs.
    const Bytes forA = textMessage("written through the library to a Type 4 Tag, " + std::string(60, 'a'));
    const Bytes recordA = accessNextTarget();
    ASSERT_GE(recordA.size(), 8u);
    EXPECT_EQ(recordA[0], DEVICE_TYPE_NFC_14443A_18092_106K);
    Type4TagWriter writer4(forA);
    ASSERT_NO_FATAL_FAILURE(drive(writer4));
    EXPECT_EQ(writer4.outcome(), TagWriteOutcome::Written) << writer4.report();
    Type4TagReader reader4;
    ASSERT_NO_FATAL_FAILURE(drive(reader4));
    ASSERT_EQ(reader4.outcome(), TagReadOutcome::Message) << reader4.report();
    EXPECT_EQ(hex(reader4.message()), hex(forA));
    ASSERT_TRUE(dll.stop_dev_access(0));

    // F: a Type 3 Tag, Nbw blocks per Write Without Encryption.
    const Bytes forF = textMessage("written through the library to a Type 3 Tag, " + std::string(90, 'f'));
    const Bytes recordF = accessNextTarget();
    ASSERT_GE(recordF.size(), 20u);
    EXPECT_EQ(recordF[0], DEVICE_TYPE_NFC_18092_212K);
    const Bytes idm(recordF.begin() + 12, recordF.begin() + 20);
    EXPECT_EQ(hex(idm), "01F1F2F3F4F5F6F7");
    Type3TagWriter writer3(idm, forF);
    ASSERT_NO_FATAL_FAILURE(drive(writer3));
    EXPECT_EQ(writer3.outcome(), TagWriteOutcome::Written) << writer3.report();
    EXPECT_EQ(writer3.attributes().blocksPerWrite, 4);
    Type3TagReader reader3(idm);
    ASSERT_NO_FATAL_FAILURE(drive(reader3));
    ASSERT_EQ(reader3.outcome(), TagReadOutcome::Message) << reader3.report();
    EXPECT_EQ(hex(reader3.message()), hex(forF));
    ASSERT_TRUE(dll.stop_dev_access(0));

    // B: read only. The writer stops at the capability container; the card itself refuses too.
    const Bytes recordB = accessNextTarget();
    ASSERT_GE(recordB.size(), 4u);
    EXPECT_EQ(recordB[0], DEVICE_TYPE_NFC_14443B_106K);
    Type4TagWriter refused(forA);
    ASSERT_NO_FATAL_FAILURE(drive(refused));
    EXPECT_EQ(refused.outcome(), TagWriteOutcome::ReadOnly) << refused.report();
    const Bytes readOnly = textMessage("read only");
    struct Step {
        std::string command;
        std::string response;
    } steps[] = {
        {"00A4000C02E104", "9000"},
        {"00D60000020000", "6982"},
        {"00B0000002", hex({0x00, static_cast<uint8_t>(readOnly.size())}) + "9000"},  // NLEN stays
    };
    for (const Step &step : steps) {
        const Bytes command = unhex(step.command);
        uint8_t response[64];
        uint16_t length = 0;
        ASSERT_TRUE(dll.thru(command.data(), static_cast<uint16_t>(command.size()), response, &length)) << step.command;
        EXPECT_EQ(hex(Bytes(response, response + length)), step.response) << step.command;
    }
    EXPECT_TRUE(dll.stop_dev_access(0));
}

// ---------------------------------------------------------------------------------------------
// The demo, end to end through the DLL
// ---------------------------------------------------------------------------------------------

struct DemoRun {
    DWORD exitCode = 0xFFFFFFFF;
    std::string transcript;
};

// Moves whatever the pipe holds into `text`, without waiting for more.
void drainPipe(HANDLE pipe, std::string &text)
{
    DWORD available = 0;
    while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        char buffer[4096];
        DWORD read = 0;
        if (!ReadFile(pipe, buffer, available < sizeof(buffer) ? available : sizeof(buffer), &read, nullptr) ||
            read == 0) {
            return;
        }
        text.append(buffer, read);
    }
}

// Runs the demo with its output in a pipe. The pipe is read until the demo has ended, not until
// its end closes: the desktop process that Wine starts for the demo's window inherits the
// demo's output and keeps it open for a while.
DemoRun runDemo(const std::string &arguments)
{
    DemoRun run;
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 1 << 16)) {
        run.transcript = "cannot make a pipe";
        return run;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process{};
    std::string commandLine = "\"" + binDirectory() + "korvat_nfc_demo.exe\" " + arguments;
    const bool started = startChildProcess(commandLine, true, binDirectory().c_str(), startup, process);
    const DWORD startError = GetLastError();
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        run.transcript = "cannot start the demo, error " + std::to_string(startError);
        return run;
    }
    // Only a guard against a hang: the run itself takes the polling time it is given.
    const DWORD start = GetTickCount();
    while (WaitForSingleObject(process.hProcess, 50) == WAIT_TIMEOUT) {
        drainPipe(readEnd, run.transcript);
        if (GetTickCount() - start > 60000) {
            TerminateProcess(process.hProcess, 99);
            WaitForSingleObject(process.hProcess, 5000);
        }
    }
    drainPipe(readEnd, run.transcript);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(readEnd);
    return run;
}

class DemoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        registry.setString("plugins_home_directory", binDirectory() + "plugins");
        registry.setString("category_name_list", "COM, SIM");
        registry.setString("port_name_list", "COM1, SIM0");
        writeFile(scratch.file("demo.scenario"),
                  // Each card stays four cycles of the library: found, waiting, enabled, and
                  // one to spare for a machine slowed by other work.
                  "card A 0 2400 nfcid1=04A1A2A3A4A5A6 ats=0578807002\n"
                  "uri https://example.org/demo\n"
                  "card B 2400 4800 atqb=50B1B2B3B40000000000718F\n"
                  "text en Demo B\n"
                  "card F 4800 7200 nfcid2=01F1F2F3F4F5F6F7\n"
                  "text en Demo F\n"
                  "uri mailto:demo@example.org\n");
        registry.setString(SIM_SCENARIO_VALUE_NAME, scratch.file("demo.scenario"));
    }

    RegistryConfiguration registry;
    ScratchDirectory scratch{"sim_demo"};
};

TEST_F(DemoTest, WholeRoadFindsEachKindReadsItsNdefMessageAndCloses)
{
    const DemoRun run = runDemo("--seconds 8 --log " + scratch.file("normal.log"));
    const std::string &t = run.transcript;
    EXPECT_EQ(run.exitCode, 0u) << t;
    const char *const expected[] = {
        "korvatlib_nfc_initialize() ok",
        "korvatlib_nfc_open(\"\") ok",
        "port SIM0 is open",
        "find: target 1, ISO/IEC 14443 A / ISO/IEC 18092 106 kbit/s (target_device 1)",
        "NFCID1   04 A1 A2 A3 A4 A5 A6",
        "enable: target 1 is waiting for access",
        "korvatlib_nfc_start_dev_access(1) ok",
        "enable: access to target 1 enabled",
        "record 1: URI  https://example.org/demo",
        "find: target 2, ISO/IEC 14443 B 106 kbit/s (target_device 8)",
        "ATQB     50 B1 B2 B3 B4 00 00 00 00 00 71 8F",
        "record 1: text [en] \"Demo B\"",
        "find: target 3, ISO/IEC 18092 212 kbit/s (target_device 2, id 1)",
        "NFCID2   01 F1 F2 F3 F4 F5 F6 F7",
        "record 1: text [en] \"Demo F\"",
        "record 2: URI  mailto:demo@example.org",
        "korvatlib_nfc_stop_dev_access(0) ok",
        "korvatlib_nfc_stop_poll_mode() ok",
        "korvatlib_nfc_close() ok",
        "korvatlib_nfc_uninitialize() ok",
        "3 target(s) found, 3 NDEF message(s) read\n",
    };
    size_t position = 0;
    for (const char *line : expected) {
        const size_t at = t.find(line, position);
        EXPECT_NE(at, std::string::npos) << "missing, or out of order: " << line << "\n" << t;
        if (at != std::string::npos) {
            position = at;
        }
    }
    EXPECT_EQ(t.find("failed"), std::string::npos) << t;
    const std::string log = readFile(scratch.file("normal.log"));
    EXPECT_NE(log.find("INFORMATION! PostMessage(find)"), std::string::npos) << log.substr(0, 2000);
}

TEST_F(DemoTest, WriteOptionsWriteTheFirstWritableTagAndReadItBack)
{
    // A read-only tag first: identified and read, not written; then a writable one.
    const std::string tags = "card T2 0 2400 size=144 uid=04C1C2C3C4C5C6 readonly\n"
                             "text en Locked\n"
                             "card T2 2400 4800 size=504 uid=04D1D2D3D4D5D6\n"
                             "uri https://example.org/before\n";
    struct Case {
        const char *arguments;
        const char *scenario;
        DWORD exitCode;
        std::vector<std::string> lines;  // in this order
    } cases[] = {
        {"--seconds 6 --write-uri https://example.org/written", tags.c_str(), 0,
         {"Type 2 Tag, NDEF message of", "read-only", "record 1: text [en] \"Locked\"",
          "Type 2 Tag, NDEF message of", "writable", "korvatlib_tags_write_ndef(", "read back: the message written",
          "record 1: URI  https://example.org/written", "2 target(s) found, 2 NDEF message(s) read\n"}},
        {"--seconds 6 --write-text \"pt-BR:Ol\xC3\xA1 mundo\"", tags.c_str(), 0,
         {"korvatlib_tags_write_ndef(", "read back: the message written", "record 1: text [pt-BR] \"Ol\xC3\xA1 mundo\"",
          "2 target(s) found, 2 NDEF message(s) read\n"}},
        {"--seconds 3 --write-uri tel:1", "card T2 0 2400 size=144 uid=04C1C2C3C4C5C6 readonly\ntext en Locked\n", 1,
         {"read-only", "no writable tag was found for --write-uri tel:1", "1 target(s) found, 1 NDEF message(s) read; the message was not written and read back\n"}},
        {"--write-text no-language-given", tags.c_str(), 2, {"usage: korvat_nfc_demo"}},
        {"--write-uri tel:1 --write-text en:x", tags.c_str(), 2, {"usage: korvat_nfc_demo"}},
    };
    for (const Case &c : cases) {
        writeFile(scratch.file("demo.scenario"), c.scenario);
        const DemoRun run = runDemo(c.arguments);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.arguments << "\n" << run.transcript;
        size_t position = 0;
        for (const std::string &line : c.lines) {
            const size_t at = run.transcript.find(line, position);
            EXPECT_NE(at, std::string::npos) << c.arguments << ": missing, or out of order: " << line << "\n"
                                             << run.transcript;
            position = at == std::string::npos ? position : at + line.size();
        }
    }
}

TEST_F(DemoTest, FailuresArePrintedWithNameCodeAndDetail)
{
    const DemoRun run = runDemo("--port COM1 --seconds 1");
    EXPECT_EQ(run.exitCode, 1u) << run.transcript;
    // COM is a configured category that no plug-in serves.
    EXPECT_NE(run.transcript.find("korvatlib_nfc_open(\"COM1\") failed: KORVAT_NFC_E_NO_PLUGIN (0x80C0000B), detail"),
              std::string::npos)
        << run.transcript;
    EXPECT_NE(run.transcript.find("korvatlib_nfc_uninitialize() ok"), std::string::npos) << run.transcript;
    const DemoRun usage = runDemo("--targets x");
    EXPECT_EQ(usage.exitCode, 2u);
    EXPECT_NE(usage.transcript.find("usage: korvat_nfc_demo"), std::string::npos) << usage.transcript;
}

}  // namespace
