// The trace log as an application sees it through the loaded DLL: the debug log switched on at
// load from the registry, the normal log started and stopped through the exports, what each log
// receives, and silence after unload.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "TestSupport.h"

using namespace korvat_test;

namespace {

const std::string DateTime = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3})";
const char ExportsSource[] = "..\\..\\NFCLibrary\\korvat_nfc_library.cpp";
typedef std::pair<uint32_t, uint32_t> ErrorPair;
// A pair that only a plug-in writes: its detail word shows which words a later failure wrote.
const ErrorPair PluginPair(0xE000BEEFu, 7u);

struct DebugRecord {
    std::string source;
    int line;
    std::string message;
};

// Splits the debug log into records; a line that does not carry a debug stamp fails the test.
std::vector<DebugRecord> debugRecords(const std::string &path)
{
    static const std::regex pattern("^" + DateTime + R"( (\S+) +(-?\d+) : (.*)$)");
    std::vector<DebugRecord> records;
    for (const std::string &line : crlfLines(readFile(path))) {
        std::smatch m;
        EXPECT_TRUE(std::regex_match(line, m, pattern)) << "not a debug record: " << line;
        if (!m.empty()) {
            records.push_back({m[1], std::stoi(m[2]), m[3]});
        }
    }
    return records;
}

std::vector<std::string> debugMessages(const std::string &path)
{
    std::vector<std::string> messages;
    for (const DebugRecord &record : debugRecords(path)) {
        messages.push_back(record.message);
    }
    return messages;
}

// The messages of the normal log; a line without the normal stamp fails the test.
std::vector<std::string> normalMessages(const std::string &path)
{
    static const std::regex pattern("^" + DateTime + " : (.*)$");
    std::vector<std::string> messages;
    for (const std::string &line : crlfLines(readFile(path))) {
        std::smatch m;
        EXPECT_TRUE(std::regex_match(line, m, pattern)) << "not a normal record: " << line;
        if (!m.empty()) {
            messages.push_back(m[1]);
        }
    }
    return messages;
}

size_t indexOf(const std::vector<std::string> &messages, const std::string &message)
{
    for (size_t i = 0; i < messages.size(); ++i) {
        if (messages[i] == message) {
            return i;
        }
    }
    return messages.size();
}

class LogDllTest : public ::testing::Test {
protected:
    RegistryConfiguration registry;
    ScratchDirectory dir{"log_dll"};
    ScratchDirectory plugins{"log_dll_plugins"};
    const std::string debugName = dir.file("debug.log");
    const std::string normalName = dir.file("normal.log");

    void configureDebugLog()
    {
        writeFile(debugName, "contents of an earlier run\r\n");
        registry.setString("debug_log_file_name", debugName);
    }

    // Plug-in configuration for the calls that need an initialised library.
    std::string configurePlugin()
    {
        const std::string path = plugins.addPlugin("cat0", "reader.gp");
        registry.configureSimPort(plugins.path());
        return path;
    }

    // A record from the exports that both logs receive when they are on.
    static void traceSomething(KorvatDll &dll)
    {
        uint32_t pair[2];
        EXPECT_TRUE(dll.get_last_error(pair));
    }
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Debug log at load
// ---------------------------------------------------------------------------------------------

TEST_F(LogDllTest, DebugLogNamedInRegistryIsEmptiedAtLoadAndReceivesTheTrace)
{
    configureDebugLog();
    KorvatDll dll;
    ASSERT_TRUE(dll.loaded());
    EXPECT_EQ(readFile(debugName), "") << "emptied when the DLL is loaded";
    traceSomething(dll);

    const std::vector<DebugRecord> records = debugRecords(debugName);
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.front().source, ExportsSource);
    EXPECT_EQ(records.front().message, "++++ korvatlib_nfc_get_last_error() Start!");
    EXPECT_EQ(records.back().source, ExportsSource);
    EXPECT_EQ(records.back().message, "---- korvatlib_nfc_get_last_error() End! return value = true");
    EXPECT_FALSE(fileExists(debugName + ".old"));
}

// Registry values that must leave the debug log off. Each names, or would name if read wrongly,
// a file that exists: it must keep its contents through load and a traced call.
TEST_F(LogDllTest, DebugLogStaysOffForValuesThatNameNoUsableAbsoluteFile)
{
    const std::string watched = dir.file("debug.log");
    // An existing file whose absolute name is exactly 259 characters: with a 260th byte and no
    // terminator, the value does not fit the 260-byte buffer as a string.
    ASSERT_LT(dir.path().size(), 250u);
    const std::string longName = dir.path() + std::string(259 - dir.path().size(), 'n');
    const std::string tooLong = dir.path() + std::string(300, 'x');
    std::string hiddenBehindNul = debugName;
    hiddenBehindNul.push_back('\0');
    hiddenBehindNul.append(300 - hiddenBehindNul.size(), 'p');
    const std::string fullNoNul = longName + "x";
    const DWORD dword = 0x41414141;  // "AAAA", no terminator

    struct Case {
        const char *what;
        std::function<void()> set;
        std::string file;  // existing file that must stay as it is
    } const cases[] = {
        {"value missing", [] {}, watched},
        {"relative name of an existing file", [&] { registry.setString("debug_log_file_name", "debug.log"); },
         watched},
        {"empty value", [&] { registry.setString("debug_log_file_name", ""); }, watched},
        {"name 300 characters long", [&] { registry.setString("debug_log_file_name", tooLong); }, watched},
        {"name followed by a NUL and padding, 300 bytes",
         [&] {
             registry.setBinary("debug_log_file_name", hiddenBehindNul.data(),
                                static_cast<DWORD>(hiddenBehindNul.size()), REG_SZ);
         },
         watched},
        {"260 bytes without a terminator",
         [&] {
             registry.setBinary("debug_log_file_name", fullNoNul.data(), static_cast<DWORD>(fullNoNul.size()),
                                REG_BINARY);
         },
         longName},
        {"number value read as text", [&] { registry.setBinary("debug_log_file_name", &dword, 4, REG_DWORD); },
         dir.file("AAAA")},
    };
    CurrentDirectory here(dir.path());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        registry.remove("debug_log_file_name");
        writeFile(c.file, "keep");
        ASSERT_EQ(readFile(c.file), "keep");
        c.set();
        KorvatDll dll;
        ASSERT_TRUE(dll.loaded());
        traceSomething(dll);
        dll.unload();
        EXPECT_EQ(readFile(c.file), "keep");
        DeleteFileA(c.file.c_str());
    }
}

TEST_F(LogDllTest, DebugLogForAMissingFileIsNotCreatedUntilTheFileExistsAtLoad)
{
    const std::string later = dir.file("later.log");
    registry.setString("debug_log_file_name", later);
    {
        KorvatDll dll;
        ASSERT_TRUE(dll.loaded());
        traceSomething(dll);
    }
    EXPECT_FALSE(fileExists(later)) << "the debug log is never created by the library";

    writeFile(later, "old");
    KorvatDll dll;
    ASSERT_TRUE(dll.loaded());
    EXPECT_EQ(readFile(later), "");
    traceSomething(dll);
    EXPECT_TRUE(contains(debugMessages(later), "---- korvatlib_nfc_get_last_error() End! return value = true"));
}

// The registry type is not checked and a terminator is not required: the bytes are the name.
TEST_F(LogDllTest, DebugLogNameIsReadAsTextWhateverTheValueType)
{
    // An existing file whose absolute name is exactly 259 characters: with its terminator it
    // fills the 260-byte buffer.
    ASSERT_LT(dir.path().size(), 250u);
    const std::string longName = dir.path() + std::string(259 - dir.path().size(), 'n');
    std::string nulThenPadding = debugName;
    nulThenPadding.push_back('\0');
    nulThenPadding.append(260 - nulThenPadding.size(), 'p');

    struct Case {
        const char *what;
        std::string bytes;
        DWORD type;
        std::string file;
    } const cases[] = {
        {"string with terminator", debugName + std::string(1, '\0'), REG_SZ, debugName},
        {"string without terminator", debugName, REG_SZ, debugName},
        {"binary without terminator", debugName, REG_BINARY, debugName},
        {"expandable string", debugName + std::string(1, '\0'), REG_EXPAND_SZ, debugName},
        {"259 characters and terminator", longName + std::string(1, '\0'), REG_SZ, longName},
        {"260 bytes: name, terminator, padding", nulThenPadding, REG_BINARY, debugName},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(c.file, "old");
        registry.setBinary("debug_log_file_name", c.bytes.data(), static_cast<DWORD>(c.bytes.size()), c.type);
        KorvatDll dll;
        ASSERT_TRUE(dll.loaded());
        const bool on = readFile(c.file).empty();
        EXPECT_TRUE(on) << "switched on (and so emptied) at load";
        traceSomething(dll);
        if (on) {
            EXPECT_TRUE(
                contains(debugMessages(c.file), "---- korvatlib_nfc_get_last_error() End! return value = true"));
        }
        dll.unload();
        DeleteFileA(c.file.c_str());
    }
}

// ---------------------------------------------------------------------------------------------
// Normal log through the exports
// ---------------------------------------------------------------------------------------------

TEST_F(LogDllTest, StartLoggingErrorsWriteOnlyTheCodeWord)
{
    const std::string pluginPath = configurePlugin();
    CreateDirectoryA(dir.file("adir").c_str(), nullptr);
    KorvatDll dll;
    ASSERT_TRUE(dll.loaded());
    // Leave a plug-in pair in the record, then go back to state 0.
    ASSERT_TRUE(dll.initialize());
    {
        FixturePlugin fixture(pluginPath);
        ASSERT_TRUE(fixture.loaded());
        fixture.reset();
        fixture.setAnswer("gp_open_port_and_transition_nfc_mode", 0, 1, PluginPair.first, PluginPair.second);
        char port[] = "SIM0";
        EXPECT_FALSE(dll.open(port));
    }
    ASSERT_TRUE(dll.uninitialize());
    ASSERT_EQ(dll.lastError(), PluginPair);

    const struct {
        const char *what;
        std::string name;  // "<null>": null pointer
        uint32_t code;
    } cases[] = {
        {"null name", "<null>", KORVAT_NFC_E_INVALID_ARGUMENT},
        {"empty name", "", KORVAT_NFC_E_LOG_RELATIVE_PATH},
        {"bare file name", "normal.log", KORVAT_NFC_E_LOG_RELATIVE_PATH},
        {"missing directory", dir.file("nodir\\normal.log"), KORVAT_NFC_E_LOG_FILE_OPEN},
        {"directory of that name", dir.file("adir"), KORVAT_NFC_E_LOG_FILE_OPEN},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(dll.start_logging(c.name == "<null>" ? nullptr : c.name.c_str()));
        EXPECT_EQ(dll.lastError(), ErrorPair(c.code, PluginPair.second));
    }
    EXPECT_FALSE(fileExists(dir.file("nodir")));

    ASSERT_TRUE(dll.start_logging(normalName.c_str()));
    EXPECT_EQ(dll.lastError(), ErrorPair(KORVAT_NFC_E_LOG_FILE_OPEN, PluginPair.second))
        << "success does not clear the record";
    const std::string other = dir.file("other.log");
    EXPECT_FALSE(dll.start_logging(other.c_str()));
    EXPECT_EQ(dll.lastError(), ErrorPair(KORVAT_NFC_E_LOG_FILE_OPEN, PluginPair.second));
    EXPECT_FALSE(fileExists(other));
    // The running log goes on and has the refused call's trace.
    EXPECT_TRUE(contains(normalMessages(normalName), "    [IN] filename = " + other));
    EXPECT_TRUE(contains(normalMessages(normalName), "---- korvatlib_nfc_start_logging() End! return value = false"));

    EXPECT_TRUE(dll.stop_logging());
    EXPECT_TRUE(dll.stop_logging()) << "stopping a stopped log";
    EXPECT_EQ(dll.lastError(), ErrorPair(KORVAT_NFC_E_LOG_FILE_OPEN, PluginPair.second));
}

TEST_F(LogDllTest, NormalLogStartsWithTheStartCallsExitAndEndsWithTheStopCallsEntry)
{
    configureDebugLog();
    KorvatDll dll;
    ASSERT_TRUE(dll.loaded());
    ASSERT_TRUE(dll.start_logging(normalName.c_str()));
    traceSomething(dll);
    ASSERT_TRUE(dll.stop_logging());
    traceSomething(dll);

    const std::vector<std::string> normal = normalMessages(normalName);
    ASSERT_GE(normal.size(), 3u) << readFile(normalName);
    EXPECT_EQ(normal.front(), "---- korvatlib_nfc_start_logging() End! return value = true");
    EXPECT_EQ(normal.back(), "++++ korvatlib_nfc_stop_logging() Start!");
    EXPECT_TRUE(contains(normal, "++++ korvatlib_nfc_get_last_error() Start!"));
    EXPECT_EQ(std::count(normal.begin(), normal.end(), "---- korvatlib_nfc_get_last_error() End! return value = true"),
              1)
        << "the call after stop is not in the normal log";
    EXPECT_FALSE(fileExists(normalName + ".old"));

    const std::vector<std::string> debug = debugMessages(debugName);
    const size_t start = indexOf(debug, "++++ korvatlib_nfc_start_logging() Start!");
    ASSERT_LT(start + 2, debug.size()) << readFile(debugName);
    EXPECT_EQ(debug[start + 1], "    [IN] filename = " + normalName);
    EXPECT_EQ(debug[start + 2], "---- korvatlib_nfc_start_logging() End! return value = true");
    const size_t stop = indexOf(debug, "++++ korvatlib_nfc_stop_logging() Start!");
    ASSERT_LT(stop + 1, debug.size());
    EXPECT_EQ(debug[stop + 1], "---- korvatlib_nfc_stop_logging() End! return value = true");
    // Between start and stop, the normal log has exactly what the debug log has at level 1.
    const std::vector<std::string> between(debug.begin() + start + 2, debug.begin() + stop + 1);
    EXPECT_EQ(normal, between);
}

TEST_F(LogDllTest, PercentInTheLogFileNameIsWrittenUnchanged)
{
    configureDebugLog();
    const std::string name = dir.file("run%d%s%n.log");
    KorvatDll dll;
    ASSERT_TRUE(dll.loaded());
    ASSERT_TRUE(dll.start_logging(name.c_str()));
    EXPECT_TRUE(fileExists(name));
    EXPECT_TRUE(contains(debugMessages(debugName), "    [IN] filename = " + name));
    EXPECT_TRUE(dll.stop_logging());
}

TEST_F(LogDllTest, LevelZeroRecordsNeverReachTheNormalLog)
{
    configureDebugLog();
    KorvatDll dll;
    ASSERT_TRUE(dll.loaded());
    ASSERT_TRUE(dll.start_logging(normalName.c_str()));
    EXPECT_FALSE(dll.get_last_error(nullptr));  // traces its argument error at level 0
    EXPECT_FALSE(dll.uninitialize());           // and so does a refusal for the state

    std::vector<std::string> levelZero;
    for (const std::string &message : debugMessages(debugName)) {
        if (message.compare(0, 6, "ERROR!") == 0 || message.compare(0, 7, "ASSERT!") == 0 ||
            message.compare(0, 8, "WARNING!") == 0) {
            levelZero.push_back(message);
        }
    }
    ASSERT_GE(levelZero.size(), 2u) << readFile(debugName);
    const std::vector<std::string> normal = normalMessages(normalName);
    for (const std::string &message : levelZero) {
        EXPECT_FALSE(contains(normal, message)) << message;
    }
    EXPECT_TRUE(contains(normal, "---- korvatlib_nfc_uninitialize() End! return value = false"));
}

// ---------------------------------------------------------------------------------------------
// Unload
// ---------------------------------------------------------------------------------------------

TEST_F(LogDllTest, NothingIsWrittenAtOrAfterUnloadInAnyState)
{
    configurePlugin();
    for (int state = 0; state <= 2; ++state) {
        SCOPED_TRACE(testing::Message() << "unloaded in state " << state);
        configureDebugLog();
        DeleteFileA(normalName.c_str());
        DeleteFileA((normalName + ".old").c_str());
        KorvatDll dll;
        ASSERT_TRUE(dll.loaded());
        ASSERT_TRUE(dll.start_logging(normalName.c_str()));
        if (state >= 1) {
            ASSERT_TRUE(dll.initialize());
        }
        if (state == 2) {
            char port[] = "SIM0";
            ASSERT_TRUE(dll.open(port));
        }
        traceSomething(dll);
        const std::string debugBefore = readFile(debugName);
        const std::string normalBefore = readFile(normalName);
        ASSERT_FALSE(normalBefore.empty());

        // Closing the port and unloading the plug-ins happen at unload, and trace nothing.
        dll.unload();
        EXPECT_EQ(readFile(debugName), debugBefore);
        EXPECT_EQ(readFile(normalName), normalBefore);
        // No handle is left on either file.
        EXPECT_TRUE(DeleteFileA(debugName.c_str())) << GetLastError();
        EXPECT_TRUE(DeleteFileA(normalName.c_str())) << GetLastError();
    }
}
