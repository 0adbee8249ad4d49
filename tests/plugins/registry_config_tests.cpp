// Port names and the registry configuration: how category_name_list and port_name_list are read
// and cut, how a port name finds its category, and how open chooses, opens and reports a port.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"

using namespace korvat_test;

namespace {

const char OpenEntry[] = "gp_open_port_and_transition_nfc_mode";

// Messages of the library object and the loader since `offset` of the debug log, leaving out the
// exported functions' trace.
std::vector<std::string> libraryMessagesSince(const std::string &logPath, size_t offset)
{
    std::vector<std::string> messages;
    for (const DebugLogRecord &record : debugLogRecords(logPath, offset)) {
        if (record.source.find("korvat_nfc_library.cpp") == std::string::npos) {
            messages.push_back(record.message);
        }
    }
    return messages;
}

// The open calls that reached the plug-in, in order, taken from its call log.
std::vector<std::string> openedNames(const std::string &calls)
{
    std::vector<std::string> names;
    const std::string prefix = std::string(OpenEntry) + " ";
    size_t start = 0;
    size_t end;
    while ((end = calls.find('\n', start)) != std::string::npos) {
        const std::string line = calls.substr(start, end - start);
        if (line.compare(0, prefix.size(), prefix) == 0) {
            names.push_back(line.substr(prefix.size()));
        }
        start = end + 1;
    }
    return names;
}

// One plug-in, copied from `variant`, in a plug-in directory; the DLL loaded fresh with its
// debug log on.
class PortConfiguration : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_Registry.setEmptyDebugLog(m_LogPath);
        m_Registry.setString("plugins_home_directory", m_Plugins.path());
    }
    void TearDown() override
    {
        m_Fixture.reset();
        m_Dll.reset();
    }

    // Loads the DLL (first time) and initialises it with these lists; binds the plug-in.
    void initialise(const std::string &categories, const std::string &ports, const char *variant = "cat1")
    {
        if (m_PluginPath.empty()) {
            m_PluginPath = m_Plugins.addPlugin(variant, "reader.gp");
        }
        m_Registry.setString("category_name_list", categories);
        m_Registry.setString("port_name_list", ports);
        if (!m_Dll) {
            m_Dll.reset(new KorvatDll());
            ASSERT_TRUE(m_Dll->loaded());
        }
        ASSERT_TRUE(m_Dll->initialize());
        m_Fixture.reset(new FixturePlugin(m_PluginPath));
        ASSERT_TRUE(m_Fixture->loaded());
        m_Fixture->reset();
    }
    void uninitialise()
    {
        m_Fixture.reset();
        ASSERT_TRUE(m_Dll->uninitialize());
    }
    KorvatDll &dll() { return *m_Dll; }
    FixturePlugin &fixture() { return *m_Fixture; }
    size_t logMark() const { return readFile(m_LogPath).size(); }
    std::vector<std::string> messagesSince(size_t mark) const { return libraryMessagesSince(m_LogPath, mark); }
    bool open(const char *name) { return dll().open(const_cast<char *>(name)) != 0; }
    bool portIsOpen()
    {
        uint8_t command = 0, response[4];
        uint16_t length = 0;
        const bool open = dll().thru(&command, 1, response, &length) != 0;
        if (!open) {
            EXPECT_EQ(dll().lastError(), std::make_pair(KORVAT_NFC_E_PORT_NOT_OPEN, 0u));
        }
        return open;
    }

    RegistryConfiguration m_Registry;
    ScratchDirectory m_Plugins{"config_plugins"};
    ScratchDirectory m_Logs{"config_logs"};
    const std::string m_LogPath = m_Logs.file("debug.log");
    std::string m_PluginPath;
    std::unique_ptr<KorvatDll> m_Dll;
    std::unique_ptr<FixturePlugin> m_Fixture;
};

// ---------------------------------------------------------------------------------------------
// From a port name to its category
// ---------------------------------------------------------------------------------------------

const int NotImplemented = -2;  // refused for "F2PORT" before any category is looked for
const int NoCategory = -1;
const int PluginCategory = 2;   // the only plug-in loaded in the category tests

std::string numberedItems(const char *prefix, int count)
{
    std::string list;
    for (int i = 0; i < count; ++i) {
        char item[16];
        std::snprintf(item, sizeof(item), "%s%03d", prefix, i);
        list += (i == 0 ? "" : ",") + std::string(item);
    }
    return list;
}

struct CategoryCase {
    const char *what;
    std::string categories;
    std::string port;
    int category;  // the category the port belongs to, or NoCategory / NotImplemented
};

void PrintTo(const CategoryCase &c, std::ostream *os)
{
    *os << c.what;
}

class CategoryOfPort : public PortConfiguration, public ::testing::WithParamInterface<CategoryCase> {
protected:
    // Opens the port and tells, from the outcome, the error pair and the message, which category
    // the library found for it.
    int resolve(const std::string &port)
    {
        const size_t mark = logMark();
        fixture().reset();
        const bool opened = open(port.c_str());
        const std::vector<std::string> messages = messagesSince(mark);
        const std::vector<std::string> calls = openedNames(fixture().calls());
        if (opened) {
            EXPECT_EQ(calls, std::vector<std::string>{port});
            EXPECT_TRUE(dll().close());
            return PluginCategory;
        }
        EXPECT_TRUE(calls.empty()) << "the plug-in was asked to open " << port;
        EXPECT_TRUE(contains(messages, "INFORMATION! : PortName = " + port));
        const auto error = dll().lastError();
        if (error.first == KORVAT_NFC_E_NOT_IMPLEMENTED) {
            EXPECT_EQ(error.second, 0u);
            EXPECT_TRUE(contains(messages, "ERROR! : Not implement F2PORTN. port_name = (" + port + ") "));
            return NotImplemented;
        }
        if (error.first == KORVAT_NFC_E_UNSUPPORTED_CATEGORY) {
            EXPECT_EQ(error.second, 0u);
            EXPECT_TRUE(contains(messages, "ERROR! : Not support category(-1)."));
            return NoCategory;
        }
        EXPECT_EQ(error.first, KORVAT_NFC_E_NO_PLUGIN);
        const std::string prefix = "ERROR! PortCategory = ";
        for (const std::string &m : messages) {
            if (m.compare(0, prefix.size(), prefix) == 0) {
                EXPECT_EQ(m.substr(m.find(' ', prefix.size())), " is not supported.");
                return std::stoi(m.substr(prefix.size()));
            }
        }
        ADD_FAILURE() << "no outcome recognised for " << port;
        return -100;
    }
};

TEST_P(CategoryOfPort, IsTheLowestPositionWhoseNameBeginsThePortName)
{
    const CategoryCase &c = GetParam();
    ASSERT_NO_FATAL_FAILURE(initialise(c.categories, "", "cat2"));
    EXPECT_EQ(resolve(c.port), c.category) << "categories: " << c.categories.substr(0, 80);
}

// A category list whose second item runs across character 4096 and a third item after it.
const std::string LongCategoryList = std::string(4090, 'F') + ",ZZZZZZZZZZ,AFTER";

INSTANTIATE_TEST_SUITE_P(
    Names, CategoryOfPort,
    ::testing::Values(
        CategoryCase{"blanks around items are removed", "USB, F2PORT ,COM", "COM1", 2},
        CategoryCase{"first item", "USB, F2PORT ,COM", "USB0", 0},
        CategoryCase{"F2PORT refused though it is a category", "USB, F2PORT ,COM", "F2PORT1", NotImplemented},
        CategoryCase{"F2PORT refused anywhere in the name", "COM", "COMF2PORT", NotImplemented},
        CategoryCase{"F2PORT test is case-sensitive", "f2port", "f2port1", 0},
        CategoryCase{"prefix, not substring", "USB, F2PORT ,COM", "XCOM1", NoCategory},
        CategoryCase{"prefix test is case-sensitive", "usb,COM", "USB0", NoCategory},
        CategoryCase{"shorter name at a lower position wins", "X,CO,Y,COM", "COM1", 1},
        CategoryCase{"longer name at a lower position wins", "X,COM,Y,CO", "COM1", 1},
        CategoryCase{"a name that is not a prefix is passed over", "X,COM,CO", "CO1", 2},
        CategoryCase{"blank item keeps its position", "A, ,C", "C9", 2},
        CategoryCase{"empty item keeps its position", "A,,C", "C9", 2},
        CategoryCase{"empty item is no category", "A, ,C", "Q", NoCategory},
        CategoryCase{"tab is not a blank", "\tTAB,B", "TAB1", NoCategory},
        CategoryCase{"tab stays part of the name", "\tTAB,B", "\tTAB1", 0},
        CategoryCase{"inner blank stays", "S P ,B", "S P1", 0},
        CategoryCase{"spaces only around", "   SP   ,B", "SP1", 0},
        CategoryCase{"trailing separator", "A,B,", "B1", 1},
        CategoryCase{"empty list", "", "COM1", NoCategory},
        CategoryCase{"item 255 is used", numberedItems("K", 300), "K255x", 255},
        CategoryCase{"item 256 is not", numberedItems("K", 300), "K256x", NoCategory},
        CategoryCase{"name cut at character 4096", LongCategoryList, "ZZZZZ1", 1},
        CategoryCase{"items after character 4096 are dropped", LongCategoryList, "AFTER1", NoCategory}),
    [](const ::testing::TestParamInfo<CategoryCase> &info) {
        std::string name;
        for (const char *p = info.param.what; *p != '\0'; ++p) {
            name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        }
        return name;
    });

TEST_F(PortConfiguration, RefusalsWriteTheirCodeWithDetailZeroButMissingPluginKeepsTheDetail)
{
    ASSERT_NO_FATAL_FAILURE(initialise("USB,F2PORT,COM,NOPLUG", "", "cat2"));
    struct Case {
        const char *port;
        std::pair<uint32_t, uint32_t> error;
    };
    const Case cases[] = {
        {"F2PORT1", {KORVAT_NFC_E_NOT_IMPLEMENTED, 0}},
        {"XYZ", {KORVAT_NFC_E_UNSUPPORTED_CATEGORY, 0}},
        {"NOPLUG1", {KORVAT_NFC_E_NO_PLUGIN, 0x99}},  // the loader writes the code word only
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.port);
        fixture().setAnswer(OpenEntry, 0, 1, 0xE0000099u, 0x99u);
        EXPECT_FALSE(open("COM1"));
        ASSERT_EQ(dll().lastError(), std::make_pair(0xE0000099u, 0x99u));
        EXPECT_FALSE(open(c.port));
        EXPECT_EQ(dll().lastError(), c.error);
    }
}

// ---------------------------------------------------------------------------------------------
// The port name list
// ---------------------------------------------------------------------------------------------

TEST_F(PortConfiguration, OnlyTheFirst32PositionsAreTriedInOrderSkippingEmptyOnes)
{
    std::string ports;
    std::vector<std::string> expected;
    for (int i = 0; i < 40; ++i) {
        char name[8];
        std::snprintf(name, sizeof(name), "P%02d", i);
        ports += (i == 0 ? "" : ",");
        if (i == 5) {
            ports += "  ";  // an empty item: position 5 has no name
            continue;
        }
        ports += " " + std::string(name) + " ";
        if (i < 32) {
            expected.push_back(name);
        }
    }
    ASSERT_NO_FATAL_FAILURE(initialise("P", ports, "cat0"));
    fixture().setAnswer(OpenEntry, 0, 1, 0xE0000001u, 7);
    const size_t mark = logMark();
    EXPECT_FALSE(dll().open(nullptr));
    EXPECT_EQ(openedNames(fixture().calls()), expected);
    EXPECT_EQ(dll().lastError(), std::make_pair(KORVAT_NFC_E_INVALID_PORT_LIST, 0u));
    EXPECT_EQ(messagesSince(mark).back(), "ERROR! : KORVAT_NFC_E_INVALID_PORT_LIST.");
}

TEST_F(PortConfiguration, PortListIsCutAtCharacter512BeforeItIsSplit)
{
    struct Case {
        const char *what;
        std::string ports;
        const char *opened;
    };
    const Case cases[] = {
        // The filler is no port of any category; the second item begins at character 506.
        {"name across the cut is shortened", std::string(505, 'X') + ",PLONGNAME,P2", "PLONGN"},
        {"name ending at character 512 is whole", std::string(503, 'X') + ",PABCDEFG,P2", "PABCDEFG"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(initialise("P", c.ports, "cat0"));
        char buffer[16] = "";
        EXPECT_TRUE(dll().open(buffer));
        EXPECT_EQ(openedNames(fixture().calls()), std::vector<std::string>{c.opened});
        EXPECT_STREQ(buffer, c.opened);
        EXPECT_TRUE(dll().close());
        ASSERT_NO_FATAL_FAILURE(uninitialise());
    }
}

// ---------------------------------------------------------------------------------------------
// Choosing the port: by name, first available, written back
// ---------------------------------------------------------------------------------------------

TEST_F(PortConfiguration, OpenWithoutNameTakesTheFirstPortThatOpens)
{
    // A1 has no plug-in (category 0); B1 is the first that opens.
    ASSERT_NO_FATAL_FAILURE(initialise("A,B", "A1,B1,B2"));
    EXPECT_TRUE(dll().open(nullptr));
    EXPECT_EQ(fixture().calls(), std::string(OpenEntry) + " B1\ngp_set_timeout 6000\n");
    EXPECT_TRUE(portIsOpen());
    EXPECT_TRUE(dll().close());

    fixture().reset();
    EXPECT_TRUE(open("B7"));  // by name: the list is not consulted
    EXPECT_EQ(fixture().calls(), std::string(OpenEntry) + " B7\ngp_set_timeout 6000\n");
    EXPECT_TRUE(dll().close());
}

TEST_F(PortConfiguration, OpenWithEmptyNameWritesTheChosenNameIntoSixteenBytes)
{
    struct Case {
        std::string name;
        bool fits;
    };
    const Case cases[] = {{"B1", true}, {"B23456789012345", true}, {"B234567890123456", false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(initialise("A,B", "A1," + c.name));
        char buffer[32];
        std::memset(buffer, 0x5A, sizeof(buffer));
        buffer[0] = '\0';
        const size_t mark = logMark();
        EXPECT_TRUE(dll().open(buffer));
        EXPECT_EQ(openedNames(fixture().calls()), std::vector<std::string>{c.name});
        EXPECT_EQ(std::string(buffer), c.fits ? c.name : "");
        EXPECT_EQ(contains(messagesSince(mark), "ASSERT! strcpy_s() failed."), !c.fits);
        for (size_t i = 16; i < sizeof(buffer); ++i) {
            EXPECT_EQ(buffer[i], 0x5A) << "byte " << i << " beyond the 16-byte buffer was written";
        }
        EXPECT_TRUE(portIsOpen());
        EXPECT_TRUE(dll().close());
        ASSERT_NO_FATAL_FAILURE(uninitialise());
    }
}

TEST_F(PortConfiguration, NoWorkingPortReportsTheInvalidPortListWhateverEachAttemptWrote)
{
    struct Case {
        const char *what;
        bool present;
        std::string ports;
        std::vector<std::string> messages;  // of the open, in order
    };
    const Case cases[] = {
        {"each port fails differently",
         true,
         "A1, ZZ ,F2PORT1,B1",
         {"INFORMATION! : PortName = A1", "ERROR! PortCategory = 0 is not supported.",
          "INFORMATION! : PortName = ZZ", "ERROR! : Not support category(-1).", "INFORMATION! : PortName = F2PORT1",
          "ERROR! : Not implement F2PORTN. port_name = (F2PORT1) ", "INFORMATION! : PortName = B1",
          "ERROR! : KORVAT_NFC_E_INVALID_PORT_LIST."}},
        {"empty list", true, " , ", {"ERROR! : KORVAT_NFC_E_INVALID_PORT_LIST."}},
        {"no list", false, "", {"ERROR! : KORVAT_NFC_E_INVALID_PORT_LIST."}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(initialise("A,B,F2PORT", c.ports));
        if (!c.present) {
            ASSERT_NO_FATAL_FAILURE(uninitialise());
            m_Registry.remove("port_name_list");
            ASSERT_TRUE(dll().initialize());
            m_Fixture.reset(new FixturePlugin(m_PluginPath));
            m_Fixture->reset();
        }
        fixture().setAnswer(OpenEntry, 0, 1, 0xE0000005u, 5);
        char buffer[16] = "";
        const size_t mark = logMark();
        EXPECT_FALSE(dll().open(buffer));
        EXPECT_EQ(dll().lastError(), std::make_pair(KORVAT_NFC_E_INVALID_PORT_LIST, 0u));
        EXPECT_EQ(messagesSince(mark), c.messages);
        EXPECT_STREQ(buffer, "");
        EXPECT_FALSE(portIsOpen());
        ASSERT_NO_FATAL_FAILURE(uninitialise());
    }
}

// ---------------------------------------------------------------------------------------------
// The plug-in's open and the first time-out
// ---------------------------------------------------------------------------------------------

TEST_F(PortConfiguration, PluginOpenFailureLeavesItsPairAndNoOpenPort)
{
    ASSERT_NO_FATAL_FAILURE(initialise("A,B", "B1"));
    fixture().setAnswer(OpenEntry, 0, 1, 0xE0000003u, 0x33u);
    EXPECT_FALSE(open("B1"));
    EXPECT_EQ(dll().lastError(), std::make_pair(0xE0000003u, 0x33u));
    EXPECT_EQ(fixture().callCount("gp_set_timeout"), 0u);
    EXPECT_FALSE(portIsOpen());

    // Failing without writing leaves what the record held before.
    fixture().setAnswer(OpenEntry, 0, 0, 0, 0);
    EXPECT_FALSE(dll().open(nullptr));
    EXPECT_EQ(dll().lastError(), std::make_pair(KORVAT_NFC_E_INVALID_PORT_LIST, 0u));
    EXPECT_FALSE(open("B1"));
    EXPECT_EQ(dll().lastError(), std::make_pair(KORVAT_NFC_E_INVALID_PORT_LIST, 0u));

    fixture().reset();
    EXPECT_TRUE(open("B1"));  // still initialised, ready to open
    EXPECT_TRUE(dll().close());
}

TEST_F(PortConfiguration, RejectedFirstTimeoutClosesThePortAndKeepsTheTimeoutError)
{
    ASSERT_NO_FATAL_FAILURE(initialise("A,B", "B1"));
    for (bool closeSucceeds : {true, false}) {
        SCOPED_TRACE(closeSucceeds ? "close succeeds" : "close fails");
        fixture().reset();
        fixture().setAnswer("gp_set_timeout", 0, 1, 0xE0000007u, 7);
        fixture().setAnswer("gp_close_port", closeSucceeds ? 1 : 0, 1, 0xE0000008u, 8);
        const size_t mark = logMark();
        EXPECT_FALSE(open("B1"));
        EXPECT_EQ(fixture().calls(), std::string(OpenEntry) + " B1\ngp_set_timeout 6000\ngp_close_port\n");
        EXPECT_EQ(dll().lastError(), std::make_pair(0xE0000007u, 7u));
        EXPECT_EQ(contains(messagesSince(mark), "ASSERT! : closePort() failed."), !closeSucceeds);
        EXPECT_FALSE(portIsOpen());
        // State 1: the port can be opened again.
        fixture().reset();
        EXPECT_TRUE(open("B1"));
        EXPECT_TRUE(dll().close());
    }
}

// ---------------------------------------------------------------------------------------------
// Reading the configuration again
// ---------------------------------------------------------------------------------------------

TEST_F(PortConfiguration, PluginDirectoryOutlivesAMissingKeyButNotAMissingValue)
{
    ASSERT_NO_FATAL_FAILURE(initialise("A,B", "B1"));
    ASSERT_NO_FATAL_FAILURE(uninitialise());

    // The library's key is gone, the company key is still there: the directory read last time
    // stays, the name lists are read as empty.
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Ravo Corporation\\Korvat NFC Library");
    ASSERT_TRUE(dll().initialize());
    EXPECT_FALSE(dll().open(nullptr));
    EXPECT_EQ(dll().lastError(), std::make_pair(KORVAT_NFC_E_INVALID_PORT_LIST, 0u));
    EXPECT_FALSE(open("B1"));
    EXPECT_EQ(dll().lastError(), std::make_pair(KORVAT_NFC_E_UNSUPPORTED_CATEGORY, 0u));
    ASSERT_TRUE(dll().uninitialize());

    // No company key either: the directory cannot be read at all.
    RegistryConfiguration::clearAll();
    size_t mark = logMark();
    EXPECT_FALSE(dll().initialize());
    EXPECT_EQ(dll().lastError(), std::make_pair(KORVAT_NFC_E_PLUGIN_HOME_DIRECTORY, 0u));
    EXPECT_TRUE(contains(messagesSince(mark), "ERROR! : getPluginHomeDirectoryFromRegistry() failed."));

    // The key is back without the value: an empty directory replaces the old one.
    m_Registry.setString("category_name_list", "A,B");
    mark = logMark();
    EXPECT_FALSE(dll().initialize());
    EXPECT_EQ(dll().lastError(), std::make_pair(KORVAT_NFC_E_PLUGIN_HOME_DIRECTORY, 0u));
    EXPECT_TRUE(contains(messagesSince(mark), "ERROR! : Invalid plugins_home_directory."));
}

// ---------------------------------------------------------------------------------------------
// Registry values of unexpected form
// ---------------------------------------------------------------------------------------------

struct StoredValue {
    const char *what;
    DWORD type;
    std::string bytes;  // stored exactly, no terminator added
};

TEST_F(PortConfiguration, PluginDirectoryIsReadAsTextWhateverItsTypeAndTerminator)
{
    const std::string plugin = m_Plugins.addPlugin("cat1", "reader.gp");
    const std::string home = m_Plugins.path();
    struct Case {
        StoredValue value;
        uint32_t error;  // 0: initialise succeeds
    };
    const Case cases[] = {
        {{"string without terminator", REG_SZ, home}, 0},
        {{"binary without terminator", REG_BINARY, home}, 0},
        {{"binary with terminator and more bytes after it", REG_BINARY, home + std::string(1, '\0') + "junk"}, 0},
        {{"number", REG_DWORD, std::string("\x41\x42\x43\x44", 4)}, KORVAT_NFC_E_PLUGIN_HOME_DIRECTORY},
        {{"260 bytes without terminator", REG_BINARY, home + std::string(260 - home.size(), 'A')},
         KORVAT_NFC_E_PLUGIN_HOME_DIRECTORY},
        {{"2000 bytes without terminator", REG_BINARY, std::string(2000, 'A')}, KORVAT_NFC_E_PLUGIN_HOME_DIRECTORY},
    };
    m_Registry.setString("category_name_list", "A,B");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value.what);
        m_Registry.setBinary("plugins_home_directory", c.value.bytes.data(), static_cast<DWORD>(c.value.bytes.size()),
                             c.value.type);
        KorvatDll dll;
        ASSERT_TRUE(dll.loaded());
        EXPECT_EQ(dll.initialize() != 0, c.error == 0);
        if (c.error == 0) {
            EXPECT_TRUE(dll.open(const_cast<char *>("B1")));
            EXPECT_TRUE(dll.close());
            EXPECT_TRUE(dll.uninitialize());
        } else {
            EXPECT_EQ(dll.lastError(), std::make_pair(c.error, 0u));
        }
    }
}

// A path of exactly `length` characters to `tail` below `directory` (which ends in "\"), made
// long with "." components; the one real subdirectory it passes through is created.
std::string pathOfLength(const std::string &directory, size_t length, const std::string &tail)
{
    const size_t padding = length - directory.size() - tail.size();
    const std::string subdirectory = padding % 2 == 0 ? "d\\" : "dd\\";
    CreateDirectoryA((directory + subdirectory).c_str(), nullptr);
    std::string path = directory + subdirectory;
    while (path.size() + tail.size() < length) {
        path += ".\\";
    }
    return path + tail;
}

TEST_F(PortConfiguration, PluginDirectoryHoldsAt259Characters)
{
    const std::string home259 = pathOfLength(m_Plugins.path(), 259, "");
    const std::string home260 = pathOfLength(m_Plugins.path(), 260, "");
    ASSERT_EQ(home259.size(), 259u);
    ASSERT_EQ(home260.size(), 260u);
    struct Case {
        StoredValue value;
        uint32_t error;
    };
    const Case cases[] = {
        // Taken whole and found to be a directory; the search pattern built on it no longer
        // fits a path, so nothing is found there.
        {{"259 characters", REG_SZ, home259 + std::string(1, '\0')}, KORVAT_NFC_E_NO_PLUGIN},
        {{"260 characters", REG_SZ, home260 + std::string(1, '\0')}, KORVAT_NFC_E_PLUGIN_HOME_DIRECTORY},
        // Fills the buffer with no room for a terminator: too long, not cut to its first 259.
        {{"259 characters and one more byte, no terminator", REG_BINARY, home259 + "x"},
         KORVAT_NFC_E_PLUGIN_HOME_DIRECTORY},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value.what);
        m_Registry.setBinary("plugins_home_directory", c.value.bytes.data(), static_cast<DWORD>(c.value.bytes.size()),
                             c.value.type);
        KorvatDll dll;
        ASSERT_TRUE(dll.loaded());
        const size_t mark = logMark();
        EXPECT_FALSE(dll.initialize());
        EXPECT_EQ(dll.lastError(), std::make_pair(c.error, 0u));
        EXPECT_EQ(contains(messagesSince(mark), "ERROR! : Invalid plugins_home_directory."),
                  c.error == KORVAT_NFC_E_PLUGIN_HOME_DIRECTORY);
    }
}

TEST_F(PortConfiguration, DebugLogNameIsReadAsTextWhateverItsTypeAndTerminator)
{
    m_Plugins.addPlugin("cat1", "reader.gp");
    const std::string log259 = pathOfLength(m_Logs.path(), 259, "long.log");
    ASSERT_EQ(log259.size(), 259u);
    writeFile(log259, "");
    struct Case {
        const char *what;
        DWORD type;
        std::string bytes;
        std::string logFile;  // the file that receives the trace, or none
    };
    const Case cases[] = {
        {"string without terminator", REG_SZ, m_LogPath, m_LogPath},
        {"binary without terminator", REG_BINARY, m_LogPath, m_LogPath},
        {"number", REG_DWORD, std::string("\x41\x42\x43\x44", 4), ""},
        {"2000 bytes without terminator", REG_BINARY, std::string(2000, 'A'), ""},
        {"259 characters", REG_SZ, log259 + std::string(1, '\0'), log259},
        {"259 characters and one more byte, no terminator", REG_BINARY, log259 + "x", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(m_LogPath, "");
        writeFile(log259, "");
        m_Registry.setBinary("debug_log_file_name", c.bytes.data(), static_cast<DWORD>(c.bytes.size()), c.type);
        KorvatDll dll;
        ASSERT_TRUE(dll.loaded());
        EXPECT_TRUE(dll.initialize());
        EXPECT_TRUE(dll.uninitialize());
        for (const std::string &file : {m_LogPath, log259}) {
            EXPECT_EQ(readFile(file).find("++++ korvatlib_nfc_initialize() Start!\r\n") != std::string::npos,
                      file == c.logFile)
                << file;
        }
    }
}

// plugin_signature_policy of any length and form: only an absent or empty value gives the
// default; a value that names no setting, whatever its length, or that is no string at all, gives
// the strictest setting and says so.
TEST_F(PortConfiguration, SignaturePolicyOfAnyLengthOrFormNeverWeakensTheCheck)
{
    TrustedTestRoot trusted;
    ASSERT_TRUE(trusted.added()) << "cannot add the test root to the trusted store";
    // Category 0 loads under name and digest, 1 under every setting, 2 under name only.
    m_Plugins.addPlugin("cat0", "self_signed.gp");
    m_Plugins.addPlugin("issued_cat1", "issued.gp");
    addChangedAfterSigning(m_Plugins, "cat2", "changed.gp");
    m_Registry.setString("category_name_list", "C0,C1,C2");
    const std::vector<int> name{0, 1, 2}, digest{0, 1}, chain{1};
    const std::string digestTraced = "INFORMATION! : plugin_signature_policy = digest.";
    const std::string chainTraced = "INFORMATION! : plugin_signature_policy = chain.";
    // " digest" and blanks up to `bytes` with the terminator.
    auto padded = [](size_t bytes) {
        std::string value = " digest";
        value.resize(bytes - 1, ' ');
        return value + std::string(1, '\0');
    };
    const std::string nul(1, '\0');
    struct Case {
        const char *what;
        DWORD type;  // REG_NONE: the value is absent
        std::string bytes;
        std::vector<int> loaded;
        std::string traced;  // the one policy line of initialise, or none
    };
    const Case cases[] = {
        {"absent", REG_NONE, "", name, ""},
        {"empty", REG_SZ, nul, name, ""},
        {"upper case", REG_SZ, "DIGEST" + nul, digest, digestTraced},
        {"trailing space", REG_SZ, "chain " + nul, chain, chainTraced},
        {"63 bytes", REG_SZ, padded(63), digest, digestTraced},
        {"64 bytes", REG_SZ, padded(64), digest, digestTraced},
        {"65 bytes", REG_SZ, padded(65), digest, digestTraced},
        {"300 bytes", REG_SZ, padded(300), digest, digestTraced},
        {"string without terminator", REG_SZ, "digest", digest, digestTraced},
        {"unknown word", REG_SZ, "strict" + nul, chain, "WARNING! : Unknown plugin_signature_policy(strict), chain is used."},
        {"unknown word of 300 bytes", REG_SZ, std::string(299, 'x') + nul, chain,
         "WARNING! : Unknown plugin_signature_policy(" + std::string(64, 'x') + "...(299 bytes)), chain is used."},
        {"number", REG_DWORD, std::string("\x01\0\0\0", 4), chain,
         "WARNING! : plugin_signature_policy is not a string (type 4), chain is used."},
        {"binary that reads as a setting", REG_BINARY, "name", chain,
         "WARNING! : plugin_signature_policy is not a string (type 3), chain is used."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.type == REG_NONE) {
            m_Registry.remove("plugin_signature_policy");
        } else {
            m_Registry.setBinary("plugin_signature_policy", c.bytes.data(), static_cast<DWORD>(c.bytes.size()), c.type);
        }
        KorvatDll dll;
        ASSERT_TRUE(dll.loaded());
        const size_t mark = logMark();
        ASSERT_TRUE(dll.initialize());
        std::vector<int> loaded;
        for (int category = 0; category < 3; ++category) {
            const std::string port = "C" + std::to_string(category) + "x";
            if (dll.open(const_cast<char *>(port.c_str()))) {
                loaded.push_back(category);
                EXPECT_TRUE(dll.close());
            }
        }
        EXPECT_EQ(loaded, c.loaded);
        std::vector<std::string> traced;
        for (const std::string &m : messagesSince(mark)) {
            if (m.find("plugin_signature_policy") != std::string::npos) {
                traced.push_back(m);
            }
        }
        EXPECT_EQ(traced, c.traced.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.traced});
        EXPECT_TRUE(dll.uninitialize());
    }
}

TEST_F(PortConfiguration, ListValuesWithoutTerminatorEndWithTheirLastByte)
{
    m_Plugins.addPlugin("cat1", "reader.gp");
    struct Case {
        StoredValue categories;
        StoredValue ports;
    };
    const Case cases[] = {
        {{"string without terminator", REG_SZ, "A,B"}, {"string without terminator", REG_SZ, "A1,B1"}},
        {{"binary without terminator", REG_BINARY, "A,B"}, {"binary without terminator", REG_BINARY, "A1,B1"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.categories.what);
        m_Registry.setBinary("category_name_list", c.categories.bytes.data(),
                             static_cast<DWORD>(c.categories.bytes.size()), c.categories.type);
        m_Registry.setBinary("port_name_list", c.ports.bytes.data(), static_cast<DWORD>(c.ports.bytes.size()),
                             c.ports.type);
        KorvatDll dll;
        ASSERT_TRUE(dll.loaded());
        ASSERT_TRUE(dll.initialize());
        FixturePlugin fixture(m_Plugins.file("reader.gp"));
        fixture.reset();
        char buffer[16] = "";
        EXPECT_TRUE(dll.open(buffer));
        EXPECT_STREQ(buffer, "B1");
        EXPECT_EQ(openedNames(fixture.calls()), std::vector<std::string>{"B1"});
        EXPECT_TRUE(dll.close());
        EXPECT_TRUE(dll.uninitialize());
    }
}

}  // namespace
