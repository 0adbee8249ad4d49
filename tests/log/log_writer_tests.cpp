// The two log writers and the front end against real files: switching on and its errors,
// record layout in the file, level routing, hex dumps, rotation and concurrent writers.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "NfcDebugLog.h"
#include "NfcLogProxy.h"
#include "NfcNormalLog.h"
#include "TestSupport.h"
#include "korvat_nfc.h"

using namespace korvat_test;

namespace {

const char Source[] = "..\\..\\NFCLibrary\\NfcLibrary.cpp";
const std::string DateTime = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3})";
const uint32_t Untouched = 0xDEADBEEFu;

std::string escapeRegex(const std::string &text)
{
    static const std::string special = "\\^$.|?*+()[]{}/-";
    std::string out;
    for (char c : text) {
        if (special.find(c) != std::string::npos) {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    return out;
}

// One line of the debug log: stamp with source and line (4 columns), then the message text.
std::regex debugLine(const std::string &source, const char *paddedLine, const std::string &messageRegex)
{
    return std::regex("^" + DateTime + " " + escapeRegex(source) + " " + escapeRegex(paddedLine) + " : " +
                      messageRegex + "$");
}

std::regex normalLine(const std::string &messageRegex)
{
    return std::regex("^" + DateTime + " : " + messageRegex + "$");
}

std::string nowStamp()
{
    SYSTEMTIME t;
    GetLocalTime(&t);
    char text[32];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond, t.wMilliseconds);
    return text;
}

std::vector<std::string> fileLines(const std::string &path)
{
    return crlfLines(readFile(path));
}

bool matches(const std::string &line, const std::regex &pattern)
{
    return std::regex_match(line, pattern);
}

// Switches `writer` on for `name`, made an empty file first.
void switchOnForEmptyFile(NfcDebugLog &writer, const std::string &name)
{
    writeFile(name, "");
    uint32_t error = 0;
    ASSERT_TRUE(writer.openLogFile(name.c_str(), &error));
}

struct WriterKind {
    const char *name;
    std::function<std::unique_ptr<NfcDebugLog>()> make;
};

const WriterKind Writers[] = {
    {"debug writer", [] { return std::unique_ptr<NfcDebugLog>(new NfcDebugLog()); }},
    {"normal writer", [] { return std::unique_ptr<NfcDebugLog>(new NfcNormalLog()); }},
};

class LogWriterTest : public ::testing::Test {
protected:
    ScratchDirectory dir{"log_writer"};
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Switching a writer on and off
// ---------------------------------------------------------------------------------------------

TEST_F(LogWriterTest, OpenRefusesBadNamesWithTheirCodeAndTouchesNothing)
{
    CreateDirectoryA(dir.file("adir").c_str(), nullptr);
    writeFile(dir.file("trace.log"), "keep");
    CurrentDirectory here(dir.path());  // relative names below name files that exist

    struct Case {
        const char *what;
        std::string name;  // "<null>" stands for a null pointer
        uint32_t debugCode;
        uint32_t normalCode;  // 0: not an error for the normal writer (tested elsewhere)
    } const cases[] = {
        {"null name", "<null>", KORVAT_NFC_E_INVALID_ARGUMENT, KORVAT_NFC_E_INVALID_ARGUMENT},
        {"empty name", "", KORVAT_NFC_E_LOG_RELATIVE_PATH, KORVAT_NFC_E_LOG_RELATIVE_PATH},
        {"bare file name", "trace.log", KORVAT_NFC_E_LOG_RELATIVE_PATH, KORVAT_NFC_E_LOG_RELATIVE_PATH},
        {"dot relative", ".\\trace.log", KORVAT_NFC_E_LOG_RELATIVE_PATH, KORVAT_NFC_E_LOG_RELATIVE_PATH},
        {"relative with directory", "adir\\trace.log", KORVAT_NFC_E_LOG_RELATIVE_PATH,
         KORVAT_NFC_E_LOG_RELATIVE_PATH},
        {"missing file", dir.file("missing.log"), KORVAT_NFC_E_LOG_FILE_MISSING, 0},
        {"directory of that name", dir.file("adir"), KORVAT_NFC_E_LOG_FILE_OPEN, KORVAT_NFC_E_LOG_FILE_OPEN},
        {"missing directory", dir.file("nodir\\trace.log"), KORVAT_NFC_E_LOG_FILE_MISSING,
         KORVAT_NFC_E_LOG_FILE_OPEN},
    };
    for (const WriterKind &kind : Writers) {
        for (const Case &c : cases) {
            const uint32_t expected = (&kind == &Writers[0]) ? c.debugCode : c.normalCode;
            if (expected == 0) {
                continue;
            }
            SCOPED_TRACE(std::string(kind.name) + ", " + c.what);
            std::unique_ptr<NfcDebugLog> writer = kind.make();
            const char *name = (c.name == "<null>") ? nullptr : c.name.c_str();
            uint32_t error = Untouched;
            EXPECT_FALSE(writer->openLogFile(name, &error));
            EXPECT_EQ(error, expected);
            EXPECT_FALSE(writer->isOn());
            writer->writeRecord(true, Source, 1, "must not appear\n");

            EXPECT_EQ(readFile(dir.file("trace.log")), "keep");
            EXPECT_FALSE(fileExists(dir.file("trace.log.old")));
            EXPECT_FALSE(fileExists(dir.file("missing.log")));
            EXPECT_FALSE(fileExists(dir.file("nodir")));
            EXPECT_FALSE(fileExists(dir.file("adir\\trace.log")));
        }
    }
}

TEST_F(LogWriterTest, OpenWithoutErrorWordDoesNothing)
{
    const std::string name = dir.file("trace.log");
    for (const WriterKind &kind : Writers) {
        SCOPED_TRACE(kind.name);
        writeFile(name, "keep");
        std::unique_ptr<NfcDebugLog> writer = kind.make();
        EXPECT_FALSE(writer->openLogFile(name.c_str(), nullptr));
        EXPECT_FALSE(writer->isOn());
        EXPECT_EQ(readFile(name), "keep");
        EXPECT_FALSE(fileExists(name + ".old"));
        EXPECT_FALSE(writer->openLogFile(nullptr, nullptr));
    }
}

TEST_F(LogWriterTest, OpenWhileOnFailsAndTheRunningLogGoesOn)
{
    const std::string first = dir.file("first.log");
    const std::string second = dir.file("second.log");
    for (const WriterKind &kind : Writers) {
        SCOPED_TRACE(kind.name);
        writeFile(first, "");
        writeFile(second, "keep");
        std::unique_ptr<NfcDebugLog> writer = kind.make();
        uint32_t error = Untouched;
        ASSERT_TRUE(writer->openLogFile(first.c_str(), &error));
        EXPECT_EQ(error, Untouched) << "success writes no error word";

        EXPECT_FALSE(writer->openLogFile(second.c_str(), &error));
        EXPECT_EQ(error, KORVAT_NFC_E_LOG_FILE_OPEN);
        writer->writeRecord(true, Source, 1, "still here\n");
        ASSERT_EQ(fileLines(first).size(), 1u);
        EXPECT_NE(fileLines(first)[0].find("still here"), std::string::npos);
        EXPECT_EQ(readFile(second), "keep");
        EXPECT_FALSE(fileExists(second + ".old"));
        writer->closeLogFile(&error);
    }
}

TEST_F(LogWriterTest, CloseSwitchesOffAlwaysSucceedsAndLeavesErrorWord)
{
    const std::string name = dir.file("trace.log");
    for (const WriterKind &kind : Writers) {
        SCOPED_TRACE(kind.name);
        writeFile(name, "");
        std::unique_ptr<NfcDebugLog> writer = kind.make();
        uint32_t error = Untouched;
        EXPECT_TRUE(writer->closeLogFile(&error)) << "closing a writer that is off";
        EXPECT_TRUE(writer->closeLogFile(nullptr));
        ASSERT_TRUE(writer->openLogFile(name.c_str(), &error));
        writer->writeRecord(true, Source, 1, "before\n");
        EXPECT_TRUE(writer->closeLogFile(&error));
        EXPECT_EQ(error, Untouched);
        EXPECT_FALSE(writer->isOn());
        writer->writeRecord(true, Source, 2, "after\n");
        const std::vector<std::string> lines = fileLines(name);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find("before"), std::string::npos);
        DeleteFileA(name.c_str());
        DeleteFileA((name + ".old").c_str());
    }
}

TEST_F(LogWriterTest, DebugOpenEmptiesTheExistingFile)
{
    const std::string name = dir.file("debug.log");
    writeFile(name, "older contents\r\nsecond line\r\n");
    NfcDebugLog writer;
    uint32_t error = Untouched;
    ASSERT_TRUE(writer.openLogFile(name.c_str(), &error));
    EXPECT_TRUE(writer.isOn());
    EXPECT_EQ(readFile(name), "");
    EXPECT_FALSE(fileExists(name + ".old"));

    // Switched on again later, the same file is emptied again.
    writer.writeRecord(true, Source, 1, "one\n");
    writer.closeLogFile(&error);
    ASSERT_TRUE(writer.openLogFile(name.c_str(), &error));
    EXPECT_EQ(readFile(name), "");
}

TEST_F(LogWriterTest, NormalOpenMovesExistingContentsToOldAndStartsEmpty)
{
    const std::string name = dir.file("normal.log");
    writeFile(name, "previous run\r\n");
    writeFile(name + ".old", "run before that\r\n");
    NfcNormalLog writer;
    uint32_t error = Untouched;
    ASSERT_TRUE(writer.openLogFile(name.c_str(), &error));
    EXPECT_TRUE(writer.isOn());
    EXPECT_EQ(readFile(name), "");
    EXPECT_EQ(readFile(name + ".old"), "previous run\r\n") << "the older .old is replaced";
    EXPECT_EQ(error, Untouched);
}

TEST_F(LogWriterTest, NormalOpenCreatesAMissingFileWithoutOld)
{
    const std::string name = dir.file("fresh.log");
    NfcNormalLog writer;
    uint32_t error = Untouched;
    ASSERT_TRUE(writer.openLogFile(name.c_str(), &error));
    EXPECT_TRUE(fileExists(name));
    EXPECT_EQ(readFile(name), "");
    EXPECT_FALSE(fileExists(name + ".old"));
}

TEST_F(LogWriterTest, NormalCounterSurvivesCloseAndReopenOnANewFile)
{
    NfcNormalLog writer;
    uint32_t error = 0;
    ASSERT_TRUE(writer.openLogFile(dir.file("a.log").c_str(), &error));
    for (int i = 0; i < 3; ++i) {
        writer.writeRecord(true, Source, 1, "record\n");
    }
    EXPECT_EQ(writer.recordCount(), 3u);
    writer.closeLogFile(&error);
    EXPECT_EQ(writer.recordCount(), 3u);
    ASSERT_TRUE(writer.openLogFile(dir.file("b.log").c_str(), &error));
    EXPECT_EQ(writer.recordCount(), 3u) << "opening a new file does not reset the counter";
    writer.writeRecord(true, Source, 1, "record\n");
    EXPECT_EQ(writer.recordCount(), 4u);
    writer.writeRecord(false, Source, 1, "not written, not counted\n");
    EXPECT_EQ(writer.recordCount(), 4u);
    EXPECT_EQ(fileLines(dir.file("b.log")).size(), 1u);
}

// ---------------------------------------------------------------------------------------------
// Records in the file
// ---------------------------------------------------------------------------------------------

TEST_F(LogWriterTest, DebugRecordIsStampSourceLineAndMessageWithCrLf)
{
    const std::string name = dir.file("debug.log");
    NfcDebugLog writer;
    ASSERT_NO_FATAL_FAILURE(switchOnForEmptyFile(writer, name));
    const std::string before = nowStamp();
    writer.writeRecord(true, Source, 7, "hello world\n");
    writer.writeRecord(true, Source, 12345, "wide line\n");
    const std::string after = nowStamp();

    const std::string contents = readFile(name);
    const std::vector<std::string> lines = crlfLines(contents);
    ASSERT_EQ(lines.size(), 2u) << contents;
    EXPECT_TRUE(matches(lines[0], debugLine(Source, "   7", "hello world"))) << lines[0];
    EXPECT_TRUE(matches(lines[1], debugLine(Source, "12345", "wide line"))) << lines[1];
    EXPECT_EQ(contents.size(), lines[0].size() + lines[1].size() + 4) << "each line ends in CR LF";
    const std::string stamp = lines[0].substr(0, 23);
    EXPECT_LE(before, stamp) << "the stamp is the local time of the write";
    EXPECT_LE(stamp, after);
}

TEST_F(LogWriterTest, NormalRecordIsStampAndMessageWithCrLf)
{
    const std::string name = dir.file("normal.log");
    NfcNormalLog writer;
    uint32_t error = 0;
    ASSERT_TRUE(writer.openLogFile(name.c_str(), &error));
    const std::string before = nowStamp();
    writer.writeRecord(true, Source, 7, "---- korvatlib_nfc_open() End! return value = true\n");
    const std::string after = nowStamp();

    const std::string contents = readFile(name);
    const std::vector<std::string> lines = crlfLines(contents);
    ASSERT_EQ(lines.size(), 1u) << contents;
    EXPECT_TRUE(matches(lines[0], normalLine(escapeRegex("---- korvatlib_nfc_open() End! return value = true"))))
        << lines[0];
    EXPECT_EQ(contents, lines[0] + "\r\n");
    const std::string stamp = lines[0].substr(0, 23);
    EXPECT_LE(before, stamp);
    EXPECT_LE(stamp, after);
}

TEST_F(LogWriterTest, MultiLineMessageIsOneRecordWithOneStamp)
{
    for (const WriterKind &kind : Writers) {
        SCOPED_TRACE(kind.name);
        const std::string name = dir.file(std::string(kind.name) + ".log");
        std::unique_ptr<NfcDebugLog> writer = kind.make();
        ASSERT_NO_FATAL_FAILURE(switchOnForEmptyFile(*writer, name));
        writer->writeRecord(true, Source, 30, "first\nsecond\n\nfourth\n");
        const std::string contents = readFile(name);
        const std::vector<std::string> lines = crlfLines(contents);
        ASSERT_EQ(lines.size(), 4u) << contents;
        EXPECT_TRUE(matches(lines[0], &kind == &Writers[0] ? debugLine(Source, "  30", "first")
                                                           : normalLine("first")))
            << lines[0];
        EXPECT_EQ(lines[1], "second");
        EXPECT_EQ(lines[2], "");
        EXPECT_EQ(lines[3], "fourth");
        EXPECT_EQ(contents.substr(contents.size() - 10), "\r\nfourth\r\n");
    }
}

TEST_F(LogWriterTest, MessageWithoutLineEndRunsIntoTheNextRecord)
{
    const std::string name = dir.file("debug.log");
    NfcDebugLog writer;
    ASSERT_NO_FATAL_FAILURE(switchOnForEmptyFile(writer, name));
    writer.writeRecord(true, Source, 1, "part one");
    writer.writeRecord(true, Source, 2, "part two\n");
    const std::vector<std::string> lines = fileLines(name);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(matches(lines[0], std::regex("^" + DateTime + " " + escapeRegex(Source) + "    1 : part one" +
                                             DateTime + " " + escapeRegex(Source) + "    2 : part two$")))
        << lines[0];
}

TEST_F(LogWriterTest, DisabledRecordsAndWritersThatAreOffWriteNothing)
{
    for (const WriterKind &kind : Writers) {
        SCOPED_TRACE(kind.name);
        const std::string name = dir.file(std::string(kind.name) + ".log");
        writeFile(name, "");
        std::unique_ptr<NfcDebugLog> writer = kind.make();
        writer->writeRecord(true, Source, 1, "writer never switched on\n");
        EXPECT_EQ(readFile(name), "");
        uint32_t error = 0;
        ASSERT_TRUE(writer->openLogFile(name.c_str(), &error));
        writer->writeRecord(false, Source, 1, "not enabled\n");
        EXPECT_EQ(readFile(name), "");
    }
}

TEST_F(LogWriterTest, FileDeletedBetweenRecordsIsCreatedAgain)
{
    for (const WriterKind &kind : Writers) {
        SCOPED_TRACE(kind.name);
        const std::string name = dir.file(std::string(kind.name) + ".log");
        std::unique_ptr<NfcDebugLog> writer = kind.make();
        ASSERT_NO_FATAL_FAILURE(switchOnForEmptyFile(*writer, name));
        writer->writeRecord(true, Source, 1, "one\n");
        // No handle is held between records, so the file can be deleted at any time.
        ASSERT_TRUE(DeleteFileA(name.c_str())) << GetLastError();
        writer->writeRecord(true, Source, 2, "two\n");
        const std::vector<std::string> lines = fileLines(name);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find(" : two"), std::string::npos) << lines[0];
    }
}

// ---------------------------------------------------------------------------------------------
// Front end
// ---------------------------------------------------------------------------------------------

class LogProxyTest : public LogWriterTest {
protected:
    RegistryConfiguration registry;
    const std::string debugName = dir.file("debug.log");
    const std::string normalName = dir.file("normal.log");

    // A front end built with the debug log named in the registry (existing file) or not at all.
    std::unique_ptr<NfcLogProxy> makeProxy(bool debugOn, bool normalOn)
    {
        writeFile(debugName, "");
        if (debugOn) {
            registry.setString("debug_log_file_name", debugName);
        } else {
            registry.remove("debug_log_file_name");
        }
        std::unique_ptr<NfcLogProxy> proxy(new NfcLogProxy());
        if (normalOn) {
            uint32_t error = Untouched;
            EXPECT_TRUE(proxy->openLogFile(normalName.c_str(), &error));
            EXPECT_EQ(error, Untouched);
        }
        return proxy;
    }
};

TEST_F(LogProxyTest, ConstructionSwitchesDebugLogOnOnlyForAnExistingAbsoluteFile)
{
    writeFile(dir.file("relative.log"), "keep");
    CurrentDirectory here(dir.path());
    struct Case {
        const char *what;
        std::string value;  // empty: value not set
        bool on;
    } const cases[] = {
        {"existing absolute file", debugName, true},
        {"value missing", "", false},
        {"relative name of an existing file", "relative.log", false},
        {"absolute name of a missing file", dir.file("missing.log"), false},
        {"directory", dir.path(), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(debugName, "old contents\r\n");
        if (c.value.empty()) {
            registry.remove("debug_log_file_name");
        } else {
            registry.setString("debug_log_file_name", c.value);
        }
        NfcLogProxy proxy;
        EXPECT_EQ(proxy.debugLog().isOn(), c.on);
        EXPECT_FALSE(proxy.normalLog().isOn());
        EXPECT_EQ(readFile(debugName), c.on ? "" : "old contents\r\n");
        EXPECT_EQ(readFile(dir.file("relative.log")), "keep");
        EXPECT_FALSE(fileExists(dir.file("missing.log")));
    }
}

TEST_F(LogProxyTest, LevelZeroGoesToDebugLogOnlyLevelOneToBoth)
{
    const struct {
        bool debugOn;
        bool normalOn;
    } cases[] = {{true, true}, {true, false}, {false, true}, {false, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "debug " << c.debugOn << ", normal " << c.normalOn);
        DeleteFileA(normalName.c_str());
        std::unique_ptr<NfcLogProxy> proxy = makeProxy(c.debugOn, c.normalOn);
        proxy->writeLog(0, Source, 11, "ERROR! : level zero\n");
        proxy->writeLog(1, Source, 12, "++++ level one\n");
        // The front end's own record slot writes nowhere: only its two writers have files.
        proxy->writeRecord(true, Source, 13, "direct\n");

        const std::vector<std::string> debug = fileLines(debugName);
        if (c.debugOn) {
            ASSERT_EQ(debug.size(), 2u) << readFile(debugName);
            EXPECT_TRUE(matches(debug[0], debugLine(Source, "  11", "ERROR! : level zero"))) << debug[0];
            EXPECT_TRUE(matches(debug[1], debugLine(Source, "  12", escapeRegex("++++ level one")))) << debug[1];
        } else {
            EXPECT_TRUE(debug.empty()) << readFile(debugName);
        }
        if (c.normalOn) {
            const std::vector<std::string> normal = fileLines(normalName);
            ASSERT_EQ(normal.size(), 1u) << readFile(normalName);
            EXPECT_TRUE(matches(normal[0], normalLine(escapeRegex("++++ level one")))) << normal[0];
            EXPECT_EQ(proxy->normalLog().recordCount(), 1u);
        } else {
            EXPECT_FALSE(fileExists(normalName));
        }
    }
}

TEST_F(LogProxyTest, OpenAndCloseDriveTheNormalLogOnly)
{
    std::unique_ptr<NfcLogProxy> proxy = makeProxy(true, false);
    uint32_t error = Untouched;
    ASSERT_TRUE(proxy->openLogFile(normalName.c_str(), &error));
    EXPECT_TRUE(proxy->normalLog().isOn());
    EXPECT_FALSE(proxy->openLogFile(dir.file("other.log").c_str(), &error));
    EXPECT_EQ(error, KORVAT_NFC_E_LOG_FILE_OPEN);
    error = Untouched;
    EXPECT_TRUE(proxy->closeLogFile(&error));
    EXPECT_EQ(error, Untouched);
    EXPECT_FALSE(proxy->normalLog().isOn());
    EXPECT_TRUE(proxy->debugLog().isOn()) << "the application cannot switch the debug log off";

    proxy->writeLog(1, Source, 1, "after stop\n");
    EXPECT_EQ(readFile(normalName), "");
    EXPECT_EQ(fileLines(debugName).size(), 1u);

    // Started again on the same file: its contents move to .old.
    ASSERT_TRUE(proxy->openLogFile(normalName.c_str(), &error));
    proxy->writeLog(1, Source, 1, "second run\n");
    EXPECT_EQ(fileLines(normalName).size(), 1u);
    EXPECT_TRUE(fileExists(normalName + ".old"));
}

TEST_F(LogProxyTest, HexDumpWritesEightBytesPerRecordAtLevelOne)
{
    std::unique_ptr<NfcLogProxy> proxy = makeProxy(true, true);
    const uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a};
    proxy->writeHexDump(bytes, sizeof(bytes), Source, 321);

    const std::vector<std::string> debug = fileLines(debugName);
    ASSERT_EQ(debug.size(), 2u) << readFile(debugName);
    EXPECT_TRUE(matches(debug[0], debugLine(Source, " 321",
                                            "0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, ")))
        << debug[0];
    EXPECT_TRUE(matches(debug[1], debugLine(Source, " 321", "0x09, 0x0a, "))) << debug[1];
    const std::vector<std::string> normal = fileLines(normalName);
    ASSERT_EQ(normal.size(), 2u) << readFile(normalName);
    EXPECT_TRUE(matches(normal[0], normalLine("0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, "))) << normal[0];
    EXPECT_TRUE(matches(normal[1], normalLine("0x09, 0x0a, "))) << normal[1];
}

TEST_F(LogProxyTest, HexDumpSplitsAtEveryEighthByte)
{
    for (uint32_t length : {1u, 7u, 8u, 9u, 16u, 17u, 40u}) {
        SCOPED_TRACE(testing::Message() << length << " bytes");
        std::unique_ptr<NfcLogProxy> proxy = makeProxy(true, false);
        std::vector<uint8_t> bytes(length);
        for (uint32_t i = 0; i < length; ++i) {
            bytes[i] = static_cast<uint8_t>(0xf7 - 37 * i);
        }
        proxy->writeHexDump(bytes.data(), length, Source, 5);

        const std::vector<std::string> lines = fileLines(debugName);
        ASSERT_EQ(lines.size(), (length + 7) / 8);
        for (size_t record = 0; record < lines.size(); ++record) {
            std::string groups;
            for (uint32_t i = 8 * record; i < length && i < 8 * (record + 1); ++i) {
                char group[8];
                std::snprintf(group, sizeof(group), "0x%02x, ", bytes[i]);
                groups += group;
            }
            EXPECT_TRUE(matches(lines[record], debugLine(Source, "   5", groups))) << lines[record];
        }
    }
}

TEST_F(LogProxyTest, HexDumpOfNothingLogsNothing)
{
    std::unique_ptr<NfcLogProxy> proxy = makeProxy(true, true);
    const uint8_t bytes[] = {1, 2, 3};
    proxy->writeHexDump(nullptr, 3, Source, 1);
    proxy->writeHexDump(bytes, 0, Source, 1);
    EXPECT_EQ(readFile(debugName), "");
    EXPECT_EQ(readFile(normalName), "");
}

TEST_F(LogProxyTest, PercentInAnArgumentIsWrittenUnchanged)
{
    std::unique_ptr<NfcLogProxy> proxy = makeProxy(true, true);
    proxy->writeLog(1, Source, 1, "    [IN] filename = %s\n", "C:\\logs\\run%d%s%n%%.log");
    const std::string expected = "    [IN] filename = C:\\logs\\run%d%s%n%%.log";
    const std::vector<std::string> debug = fileLines(debugName);
    const std::vector<std::string> normal = fileLines(normalName);
    ASSERT_EQ(debug.size(), 1u);
    ASSERT_EQ(normal.size(), 1u);
    EXPECT_TRUE(matches(debug[0], debugLine(Source, "   1", escapeRegex(expected)))) << debug[0];
    EXPECT_TRUE(matches(normal[0], normalLine(escapeRegex(expected)))) << normal[0];
}

TEST_F(LogProxyTest, LongMessagesAreWrittenWhole)
{
    std::unique_ptr<NfcLogProxy> proxy = makeProxy(true, true);
    std::string text(100000, '.');
    for (size_t i = 0; i < text.size(); i += 1000) {
        text[i] = static_cast<char>('A' + (i / 1000) % 26);
    }
    proxy->writeLog(1, Source, 2, "<%s>\n", text.c_str());
    const std::vector<std::string> debug = fileLines(debugName);
    const std::vector<std::string> normal = fileLines(normalName);
    ASSERT_EQ(debug.size(), 1u);
    ASSERT_EQ(normal.size(), 1u);
    const std::string suffix = "<" + text + ">";
    ASSERT_GE(debug[0].size(), suffix.size());
    EXPECT_EQ(debug[0].substr(debug[0].size() - suffix.size()), suffix);
    EXPECT_EQ(normal[0].size(), 26 + suffix.size());
    EXPECT_EQ(normal[0].substr(26), suffix);
}

TEST_F(LogProxyTest, NullFormatStillWritesTheStamp)
{
    std::unique_ptr<NfcLogProxy> proxy = makeProxy(true, false);
    const char *none = nullptr;
    proxy->writeLog(0, Source, 5, none);
    proxy->writeLog(0, Source, 6, "next\n");
    const std::vector<std::string> lines = fileLines(debugName);
    ASSERT_EQ(lines.size(), 1u) << readFile(debugName);
    EXPECT_TRUE(matches(lines[0], std::regex("^" + DateTime + " " + escapeRegex(Source) + "    5 : " + DateTime +
                                             " " + escapeRegex(Source) + "    6 : next$")))
        << lines[0];
}

TEST_F(LogProxyTest, ProcessWideFrontEndIsSilentAfterShutDown)
{
    writeFile(debugName, "old");
    registry.setString("debug_log_file_name", debugName);
    NfcLogProxy::startUp();
    NfcLogProxy *proxy = NfcLogProxy::instance();
    ASSERT_NE(proxy, nullptr);
    EXPECT_EQ(readFile(debugName), "");
    uint32_t error = 0;
    ASSERT_TRUE(proxy->openLogFile(normalName.c_str(), &error));
    proxy->writeLog(1, Source, 1, "before shutdown\n");
    ASSERT_EQ(fileLines(debugName).size(), 1u);
    ASSERT_EQ(fileLines(normalName).size(), 1u);

    NfcLogProxy::shutDown(true);
    EXPECT_EQ(NfcLogProxy::instance(), nullptr);
    EXPECT_EQ(NfcLogProxy::receiving(1), nullptr);
    // A caller that fetched the front end before the shutdown may still call it.
    proxy->writeLog(0, Source, 2, "after shutdown\n");
    proxy->writeLog(1, Source, 3, "after shutdown\n");
    const uint8_t bytes[] = {1, 2};
    proxy->writeHexDump(bytes, 2, Source, 4);
    EXPECT_EQ(fileLines(debugName).size(), 1u);
    EXPECT_EQ(fileLines(normalName).size(), 1u);
    NfcLogProxy::shutDown(true);  // a second shutdown is harmless
}

// ---------------------------------------------------------------------------------------------
// Concurrency and rotation
// ---------------------------------------------------------------------------------------------

TEST_F(LogProxyTest, ConcurrentWritersLeaveOnlyWholeRecordsAndAnExactCount)
{
    std::unique_ptr<NfcLogProxy> proxy = makeProxy(true, true);
    const int threads = 4;
    const int records = 400;
    const std::string payload(120, '=');
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            // Odd threads write level 0, which the normal log must not receive.
            const int level = t % 2 == 0 ? 1 : 0;
            for (int i = 0; i < records; ++i) {
                proxy->writeLog(level, Source, 100 + t, "thread %d record %04d %s\n", t, i, payload.c_str());
            }
        });
    }
    for (std::thread &worker : workers) {
        worker.join();
    }

    const std::regex debugPattern("^" + DateTime + " " + escapeRegex(Source) +
                                  "  10([0-3]) : thread ([0-3]) record (\\d{4}) " + payload + "$");
    std::set<std::pair<int, int>> seen;
    const std::vector<std::string> debug = fileLines(debugName);
    EXPECT_EQ(debug.size(), static_cast<size_t>(threads * records));
    for (const std::string &line : debug) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, debugPattern)) << "torn or interleaved record: " << line;
        EXPECT_EQ(m[1], m[2]);
        seen.insert({std::stoi(m[2]), std::stoi(m[3])});
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(threads * records)) << "every record exactly once";

    const std::regex normalPattern("^" + DateTime + " : thread ([02]) record (\\d{4}) " + payload + "$");
    std::vector<std::string> normal = fileLines(normalName);
    const std::vector<std::string> old = fileLines(normalName + ".old");
    normal.insert(normal.end(), old.begin(), old.end());
    const size_t levelOne = static_cast<size_t>(threads / 2 * records);
    EXPECT_EQ(normal.size(), levelOne);
    std::set<std::pair<int, int>> seenNormal;
    for (const std::string &line : normal) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, normalPattern)) << "torn, interleaved or level-0 record: " << line;
        seenNormal.insert({std::stoi(m[1]), std::stoi(m[2])});
    }
    EXPECT_EQ(seenNormal.size(), levelOne);
    EXPECT_EQ(proxy->normalLog().recordCount(), levelOne);
}

// The one long test: 65538 records, ~10 s under Wine since every record opens and closes the file.
TEST_F(LogWriterTest, NormalLogRotatesAfter65535RecordsAndRetriesWhileTheFileIsInUse)
{
    const std::string name = dir.file("rotate.log");
    const std::string oldName = name + ".old";
    NfcNormalLog writer;
    uint32_t error = 0;
    ASSERT_TRUE(writer.openLogFile(name.c_str(), &error));
    // Stands for the .old of an earlier rotation; the first rotation attempt frees the name.
    writeFile(oldName, "marker");

    auto write = [&](uint32_t number) { writer.writeRecord(true, Source, 1, "r" + std::to_string(number) + "\n"); };
    for (uint32_t number = 1; number <= 65535; ++number) {
        write(number);
    }
    EXPECT_EQ(writer.recordCount(), 65535u);
    EXPECT_EQ(readFile(oldName), "marker") << "no rotation within the first 65535 records";
    {
        const std::vector<std::string> lines = fileLines(name);
        ASSERT_EQ(lines.size(), 65535u);
        EXPECT_TRUE(matches(lines.front(), normalLine("r1")));
        EXPECT_TRUE(matches(lines.back(), normalLine("r65535")));
    }

    // Another program holds the file without delete sharing: the move to .old fails, the record
    // is appended, and every following record tries again.
    HANDLE holder = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    write(65536);
    EXPECT_FALSE(fileExists(oldName)) << "record 65536 starts a rotation (its first step frees the .old name)";
    write(65537);
    EXPECT_EQ(writer.recordCount(), 65537u) << "a failed rotation keeps the count";
    {
        const std::vector<std::string> lines = fileLines(name);
        ASSERT_EQ(lines.size(), 65537u);
        EXPECT_TRUE(matches(lines.back(), normalLine("r65537")));
    }
    CloseHandle(holder);

    write(65538);
    EXPECT_EQ(writer.recordCount(), 1u);
    const std::vector<std::string> old = fileLines(oldName);
    ASSERT_EQ(old.size(), 65537u);
    EXPECT_TRUE(matches(old.front(), normalLine("r1")));
    EXPECT_TRUE(matches(old.back(), normalLine("r65537")));
    const std::vector<std::string> fresh = fileLines(name);
    ASSERT_EQ(fresh.size(), 1u);
    EXPECT_TRUE(matches(fresh[0], normalLine("r65538"))) << fresh[0];
}
