// A freshly loaded DLL brought into a chosen library state (0 loaded, 1 initialised, 2 port
// "SIM0" open) with the test plug-in serving category "SIM" and the debug log switched on, plus
// readers for what the library traced and what the plug-in was asked to do since a mark.
#pragma once

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "TestSupport.h"

namespace korvat_test {

// Source paths that the debug log shows for the units these tests look at.
const char ShellSource[] = "..\\..\\NFCLibrary\\korvat_nfc_library.cpp";
const char LibrarySource[] = "..\\..\\NFCLibrary\\NfcLibrary.cpp";
const char WrapperSource[] = "..\\..\\NFCLibrary\\NfcPluginWrapper.cpp";

inline std::string formatText(const char *format, ...) __attribute__((format(gnu_printf, 1, 2)));
inline std::string formatText(const char *format, ...)
{
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof(text), format, arguments);
    va_end(arguments);
    return text;
}

// Pointers as the traces print them: the whole address, either padded to the width of a pointer
// (8 hex digits on x86, 16 on x64) or bare and in capitals.
inline std::string paddedPointer(const void *pointer)
{
    return formatText("%0*llx", static_cast<int>(2 * sizeof(void *)),
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(pointer)));
}

inline std::string barePointer(const void *pointer)
{
    return formatText("%llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(pointer)));
}

using ErrorPair = std::pair<uint32_t, uint32_t>;

// One debug-log record: the source path of its stamp and its message. The message keeps its
// final "\n" when the record ended with the file's line end, so it compares with the traced text.
struct TraceRecord {
    std::string source;
    std::string message;
    bool operator==(const TraceRecord &other) const { return source == other.source && message == other.message; }
};

inline void PrintTo(const TraceRecord &record, std::ostream *out)
{
    *out << "{" << record.source << " | " << ::testing::PrintToString(record.message) << "}";
}

const char MalformedRecord[] = "<malformed record>";

inline bool isDigits(const std::string &text, size_t position, size_t count)
{
    if (position + count > text.size()) {
        return false;
    }
    for (size_t i = position; i < position + count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
    }
    return true;
}

// Splits one debug-log line "YYYY-MM-DD hh:mm:ss.mmm <source> llll : <message>" into its source
// and message. A line of any other form comes back with the source MalformedRecord and the whole
// line as its message, so that a comparison shows it.
inline TraceRecord parseDebugLine(const std::string &line)
{
    const TraceRecord malformed{MalformedRecord, line};
    // Fixed-width time stamp.
    static const char shape[] = "0000-00-00 00:00:00.000 ";
    for (size_t i = 0; i + 1 < sizeof(shape); ++i) {
        if (i >= line.size()) {
            return malformed;
        }
        if (shape[i] == '0' ? !isDigits(line, i, 1) : line[i] != shape[i]) {
            return malformed;
        }
    }
    const size_t sourceStart = sizeof(shape) - 1;
    const size_t sourceEnd = line.find(' ', sourceStart);
    if (sourceEnd == std::string::npos || sourceEnd == sourceStart) {
        return malformed;
    }
    // The line number is right-aligned in at least four columns.
    const size_t separator = line.find(" : ", sourceEnd + 1);
    if (separator == std::string::npos || separator - (sourceEnd + 1) < 4) {
        return malformed;
    }
    const std::string number = line.substr(sourceEnd + 1, separator - (sourceEnd + 1));
    const size_t firstDigit = number.find_first_not_of(' ');
    if (firstDigit == std::string::npos || !isDigits(number, firstDigit, number.size() - firstDigit) ||
        (firstDigit > 0 && number.size() != 4)) {
        return malformed;
    }
    return TraceRecord{line.substr(sourceStart, sourceEnd - sourceStart), line.substr(separator + 3)};
}

// Every record of a piece of debug log, in file order.
inline std::vector<TraceRecord> parseDebugLog(const std::string &contents)
{
    std::vector<TraceRecord> records;
    for (const std::string &line : crlfLines(contents)) {
        records.push_back(parseDebugLine(line));
        records.back().message += "\n";
    }
    if (!records.empty() && (contents.size() < 2 || contents.compare(contents.size() - 2, 2, "\r\n") != 0)) {
        records.back().message.pop_back();  // the last record had no line end
    }
    return records;
}

inline std::vector<std::string> messagesOf(const std::vector<TraceRecord> &records, const std::string &source)
{
    std::vector<std::string> messages;
    for (const TraceRecord &record : records) {
        if (record.source == source) {
            messages.push_back(record.message);
        }
    }
    return messages;
}

inline std::string stateErrorLine(int state)
{
    return formatText("ERROR! : NFC Library state error. m_NfcLibraryState = %d\n", state);
}

class LibraryTest : public ::testing::Test {
protected:
    LibraryTest() : m_Logs("library_logs") {}

    // Each variant has a directory of its own: a plug-in whose port cannot be closed stays
    // loaded after the DLL is gone (and its file may stay behind), and must not be found by
    // the tests that follow.
    void SetUp() override
    {
        m_Plugins.reset(new ScratchDirectory("library_plugins_" + pluginVariant()));
        m_PluginPath = m_Plugins->addPlugin(pluginVariant(), "reader.gp");
        m_Registry.configureSimPort(m_Plugins->path());
        m_Registry.setEmptyDebugLog(debugLogPath());
    }

    void TearDown() override { unloadDll(); }

    virtual std::string pluginVariant() const { return "cat0"; }

    // Loads the DLL afresh and brings it into `state`. From state 1 on, the test holds the
    // plug-in's control functions (and so a reference on its module) unless holdPlugin is false.
    void loadInState(int state, bool holdPlugin = true)
    {
        unloadDll();
        m_Dll.reset(new KorvatDll());
        ASSERT_TRUE(m_Dll->loaded());
        if (state >= 1) {
            ASSERT_TRUE(m_Dll->initialize()) << ::testing::PrintToString(m_Dll->lastError());
            if (holdPlugin) {
                m_Plugin.reset(new FixturePlugin(m_PluginPath));
                ASSERT_TRUE(m_Plugin->loaded());
            }
        }
        if (state >= 2) {
            char port[] = "SIM0";
            ASSERT_TRUE(m_Dll->open(port)) << ::testing::PrintToString(m_Dll->lastError());
        }
        mark();
    }

    // A port left open is closed while the DLL is still loaded, with the plug-in back at its
    // defaults, so that a running notification thread is joined here rather than inside the
    // loader's unload. A plug-in module that outlived the DLL would carry its script into the
    // next load.
    void unloadDll()
    {
        if (m_Dll && m_Dll->loaded()) {
            if (m_Plugin) {
                m_Plugin->reset();
            }
            m_Dll->close();
        }
        m_Plugin.reset();
        m_Dll.reset();
        EXPECT_EQ(GetModuleHandleA(m_PluginPath.c_str()), nullptr) << "the plug-in stayed loaded after the DLL";
    }

    KorvatDll &dll() { return *m_Dll; }
    FixturePlugin &plugin() { return *m_Plugin; }
    bool holdsPlugin() const { return m_Plugin != nullptr; }
    void releasePlugin() { m_Plugin.reset(); }
    const std::string &pluginPath() const { return m_PluginPath; }
    std::string debugLogPath() const { return m_Logs.file("debug.log"); }
    std::string scratchFile(const std::string &name) const { return m_Logs.file(name); }
    RegistryConfiguration &registry() { return m_Registry; }

    HWND window()
    {
        if (!m_Window) {
            m_Window.reset(new MessageWindow("korvat_state_find", "korvat_state_enable"));
        }
        return m_Window->handle();
    }

    // From here on, records() and calls() report only what comes after this point.
    void mark()
    {
        m_LogMark = readFile(debugLogPath()).size();
        m_CallMark = m_Plugin ? m_Plugin->calls().size() : 0;
    }

    std::vector<TraceRecord> records() const { return parseDebugLog(readFile(debugLogPath()).substr(m_LogMark)); }
    std::vector<std::string> messages(const std::string &source) const { return messagesOf(records(), source); }

    // The plug-in's call log since the mark, without the notification thread's status reads.
    std::string calls()
    {
        const std::string all = m_Plugin->calls().substr(m_CallMark);
        std::string kept;
        size_t start = 0;
        while (start < all.size()) {
            size_t end = all.find('\n', start);
            end = end == std::string::npos ? all.size() : end + 1;
            const std::string line = all.substr(start, end - start);
            if (line.compare(0, 20, "gp_get_driver_status") != 0) {
                kept += line;
            }
            start = end;
        }
        return kept;
    }

    // The library state, told apart by two calls that change nothing but the last error: the
    // callback parameters need state 1 or 2 (and are refused for their null arguments there),
    // and get_timeout needs state 2 (and is refused for its null pointer there).
    int probeState()
    {
        m_Dll->set_poll_callback_parameters(nullptr, nullptr, nullptr);
        if (m_Dll->lastError().first == KORVAT_NFC_E_NOT_INITIALIZED) {
            return 0;
        }
        m_Dll->get_timeout(nullptr);
        return m_Dll->lastError().first == KORVAT_NFC_E_PORT_NOT_OPEN ? 1 : 2;
    }

private:
    RegistryConfiguration m_Registry;
    std::unique_ptr<ScratchDirectory> m_Plugins;
    ScratchDirectory m_Logs;
    std::string m_PluginPath;
    std::unique_ptr<MessageWindow> m_Window;
    std::unique_ptr<KorvatDll> m_Dll;
    std::unique_ptr<FixturePlugin> m_Plugin;
    size_t m_LogMark = 0;
    size_t m_CallMark = 0;
};

}  // namespace korvat_test
