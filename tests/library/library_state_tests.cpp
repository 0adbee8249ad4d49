// The library's state machine, last-error record, argument checks and reader operations, seen
// through the exported functions of a freshly loaded DLL and the scriptable test plug-in.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "LibraryTestFixture.h"

using namespace korvat_test;

namespace {

const uint32_t InvalidArgument = KORVAT_NFC_E_INVALID_ARGUMENT;
const uint32_t NotImplemented = KORVAT_NFC_E_NOT_IMPLEMENTED;
const uint32_t NotInitialized = KORVAT_NFC_E_NOT_INITIALIZED;
const uint32_t PortNotOpen = KORVAT_NFC_E_PORT_NOT_OPEN;
const uint32_t AlreadyInitialized = KORVAT_NFC_E_ALREADY_INITIALIZED;
const uint32_t PortOpen = KORVAT_NFC_E_PORT_OPEN;

// A pair that only a plug-in writes, so that its survival shows that nothing else wrote.
const ErrorPair PluginPair(0xE000BEEFu, 7u);

std::vector<std::string> errorLines(const std::vector<std::string> &lines)
{
    std::vector<std::string> errors;
    for (const std::string &line : lines) {
        if (line.compare(0, 6, "ERROR!") == 0) {
            errors.push_back(line);
        }
    }
    return errors;
}

struct CallContext {
    KorvatDll &dll;
    HWND window;
    std::string logFile;
};

// ---------------------------------------------------------------------------------------------
// Every exported function in each of the three states.
// ---------------------------------------------------------------------------------------------

struct StateRow {
    const char *name;
    bool (*call)(CallContext &);
    uint32_t errorInState[3];  // 0: the call succeeds in that state
    int stateAfterSuccess;     // -1: unchanged
    const char *pluginCalls;   // what the plug-in is asked when the call succeeds
    bool needsCallbackParameters;
};

const StateRow StateRows[] = {
    {"initialize", [](CallContext &c) { return c.dll.initialize() != 0; },
     {0, AlreadyInitialized, AlreadyInitialized}, 1, "", false},
    {"uninitialize", [](CallContext &c) { return c.dll.uninitialize() != 0; },
     {NotInitialized, 0, PortOpen}, 0, "", false},
    {"open", [](CallContext &c) { char port[] = "SIM0"; return c.dll.open(port) != 0; },
     {NotInitialized, 0, PortOpen}, 2, "gp_open_port_and_transition_nfc_mode SIM0\ngp_set_timeout 6000\n", false},
    {"close", [](CallContext &c) { return c.dll.close() != 0; },
     {PortNotOpen, PortNotOpen, 0}, 1, "gp_close_port\n", false},
    {"start_poll_mode", [](CallContext &c) { return c.dll.start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K) != 0; },
     {PortNotOpen, PortNotOpen, 0}, -1, "gp_start_poll_mode 00000001\n", true},
    // The plug-in is asked to stop polling even though poll mode was never started.
    {"stop_poll_mode", [](CallContext &c) { return c.dll.stop_poll_mode() != 0; },
     {PortNotOpen, PortNotOpen, 0}, -1, "gp_stop_poll_mode\n", false},
    {"start_dev_access", [](CallContext &c) { return c.dll.start_dev_access(0x2A) != 0; },
     {PortNotOpen, PortNotOpen, 0}, -1, "gp_start_device_access 0000002a\n", false},
    {"stop_dev_access", [](CallContext &c) { return c.dll.stop_dev_access(1) != 0; },
     {PortNotOpen, PortNotOpen, 0}, -1, "gp_stop_device_access 00000001\n", false},
    {"select_device", [](CallContext &c) { return c.dll.select_device() != 0; },
     {PortNotOpen, PortNotOpen, 0}, -1, "gp_select_device\n", false},
    {"deselect_device", [](CallContext &c) { return c.dll.deselect_device() != 0; },
     {PortNotOpen, PortNotOpen, 0}, -1, "gp_deselect_device\n", false},
    {"thru",
     [](CallContext &c) {
         const uint8_t command[] = {0x10, 0x20, 0x30};
         uint8_t response[16];
         uint16_t length = 0;
         return c.dll.thru(command, 3, response, &length) != 0;
     },
     {PortNotOpen, PortNotOpen, 0}, -1, "gp_read 00000003 10 20 30\n", false},
    {"set_timeout", [](CallContext &c) { return c.dll.set_timeout(250) != 0; },
     {PortNotOpen, PortNotOpen, 0}, -1, "gp_set_timeout 250\n", false},
    {"get_timeout", [](CallContext &c) { int32_t timeout = 0; return c.dll.get_timeout(&timeout) != 0; },
     {PortNotOpen, PortNotOpen, 0}, -1, "gp_get_timeout\n", false},
    {"set_poll_callback_parameters",
     [](CallContext &c) { return c.dll.set_poll_callback_parameters(c.window, "find", "enable") != 0; },
     {NotInitialized, 0, 0}, -1, "", false},
    {"set_pnp_callback_parameters",
     [](CallContext &c) { return c.dll.set_pnp_callback_parameters(c.window, "find", "loss") != 0; },
     {NotImplemented, NotImplemented, NotImplemented}, -1, "", false},
    {"start_plug_and_play", [](CallContext &c) { return c.dll.start_plug_and_play() != 0; },
     {NotImplemented, NotImplemented, NotImplemented}, -1, "", false},
    {"stop_plug_and_play", [](CallContext &c) { return c.dll.stop_plug_and_play() != 0; },
     {NotImplemented, NotImplemented, NotImplemented}, -1, "", false},
    {"get_last_error", [](CallContext &c) { uint32_t pair[2]; return c.dll.get_last_error(pair) != 0; },
     {0, 0, 0}, -1, "", false},
    {"start_logging", [](CallContext &c) { return c.dll.start_logging(c.logFile.c_str()) != 0; },
     {0, 0, 0}, -1, "", false},
    {"stop_logging", [](CallContext &c) { return c.dll.stop_logging() != 0; },
     {0, 0, 0}, -1, "", false},
};

// What the library traces when it refuses a call with `code` in `state`.
std::vector<std::string> refusalLines(uint32_t code, int state)
{
    if (code == AlreadyInitialized) {
        return {"ERROR! : initializeNfcLibrary() again.\n"};
    }
    if (code == NotImplemented) {
        return {};
    }
    return {stateErrorLine(state)};
}

class StateTable : public LibraryTest {
protected:
    // Leaves a known pair in the last-error record: a plug-in pair (with its detail word) where a
    // plug-in can be made to fail, the library's own argument error in state 0.
    ErrorPair seedLastError(int state)
    {
        if (state == 0) {
            EXPECT_FALSE(dll().get_last_error(nullptr));
            return ErrorPair(InvalidArgument, 0);
        }
        const char *entry = state == 1 ? "gp_open_port_and_transition_nfc_mode" : "gp_select_device";
        plugin().setAnswer(entry, 0, 1, PluginPair.first, PluginPair.second);
        char port[] = "SIM0";
        EXPECT_FALSE(state == 1 ? dll().open(port) : dll().select_device());
        plugin().setAnswer(entry, 1, 0, 0, 0);
        EXPECT_EQ(dll().lastError(), PluginPair);
        return PluginPair;
    }
};

// Each function, in each state, on a freshly loaded DLL: its result, the last error, the
// library's refusal line, what the plug-in saw, and the state afterwards.
TEST_F(StateTable, EveryFunctionInEveryState)
{
    for (const StateRow &row : StateRows) {
        for (int state = 0; state <= 2; ++state) {
            SCOPED_TRACE(std::string(row.name) + " in state " + std::to_string(state));
            ASSERT_NO_FATAL_FAILURE(loadInState(state));
            if (row.needsCallbackParameters && state >= 1) {
                ASSERT_TRUE(dll().set_poll_callback_parameters(window(), "find", "enable"));
            }
            const ErrorPair seeded = seedLastError(state);
            mark();

            CallContext context{dll(), window(), scratchFile("normal.log")};
            const bool result = row.call(context);
            const std::vector<std::string> libraryLines = messages(LibrarySource);
            const std::string pluginCalls = holdsPlugin() ? calls() : "";
            const ErrorPair error = dll().lastError();

            const uint32_t code = row.errorInState[state];
            if (code == 0) {
                EXPECT_TRUE(result);
                EXPECT_EQ(error, seeded) << "a successful call must leave the last error as it was";
                EXPECT_EQ(errorLines(libraryLines), std::vector<std::string>());
                if (holdsPlugin()) {
                    EXPECT_EQ(pluginCalls, row.pluginCalls);
                }
                EXPECT_EQ(probeState(), row.stateAfterSuccess < 0 ? state : row.stateAfterSuccess);
            } else {
                EXPECT_FALSE(result);
                EXPECT_EQ(error, ErrorPair(code, 0));
                EXPECT_EQ(libraryLines, refusalLines(code, state));
                EXPECT_EQ(pluginCalls, "") << "a refused call must not reach the plug-in";
                EXPECT_EQ(probeState(), state);
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Moving between the states
// ---------------------------------------------------------------------------------------------

TEST_F(LibraryTest, InitializeAgainIsRefusedAndKeepsThePluginsLoaded)
{
    ASSERT_NO_FATAL_FAILURE(loadInState(1, false));
    EXPECT_FALSE(dll().initialize());
    EXPECT_EQ(messages(LibrarySource), std::vector<std::string>{"ERROR! : initializeNfcLibrary() again.\n"});
    EXPECT_EQ(dll().lastError(), ErrorPair(AlreadyInitialized, 0));
    EXPECT_NE(GetModuleHandleA(pluginPath().c_str()), nullptr) << "the plug-in was unloaded";
    char port[] = "SIM0";
    EXPECT_TRUE(dll().open(port));
}

TEST_F(LibraryTest, UninitializeWithAPortOpenLeavesThePortUsable)
{
    ASSERT_NO_FATAL_FAILURE(loadInState(2));
    EXPECT_FALSE(dll().uninitialize());
    EXPECT_EQ(dll().lastError(), ErrorPair(PortOpen, 0));
    const uint8_t command[] = {0x42};
    uint8_t response[4] = {0};
    uint16_t length = 0;
    EXPECT_TRUE(dll().thru(command, 1, response, &length));
    EXPECT_TRUE(dll().close());
    EXPECT_EQ(calls(), "gp_read 00000001 42\ngp_close_port\n");
}

TEST_F(LibraryTest, InitializeAfterUninitializeReadsTheRegistryAgain)
{
    ASSERT_NO_FATAL_FAILURE(loadInState(1, false));
    ASSERT_TRUE(dll().uninitialize());
    EXPECT_EQ(GetModuleHandleA(pluginPath().c_str()), nullptr) << "uninitialize left the plug-in loaded";
    registry().setString("port_name_list", "SIM7");
    ASSERT_TRUE(dll().initialize());
    char port[16] = "";
    ASSERT_TRUE(dll().open(port));
    EXPECT_STREQ(port, "SIM7");
}

TEST_F(LibraryTest, OpenSetsTheTimeoutTo6000)
{
    ASSERT_NO_FATAL_FAILURE(loadInState(1));
    char port[] = "SIM0";
    ASSERT_TRUE(dll().open(port));
    EXPECT_EQ(calls(), "gp_open_port_and_transition_nfc_mode SIM0\ngp_set_timeout 6000\n");
    int32_t timeout = 0;
    ASSERT_TRUE(dll().get_timeout(&timeout));
    EXPECT_EQ(timeout, 6000);
}

// When the reader refuses the first timeout, the port is closed again with a scratch record:
// the application sees the timeout's error whether or not the closing worked.
TEST_F(LibraryTest, OpenUndoesThePortWhenTheTimeoutIsRefused)
{
    const ErrorPair timeoutPair(0xE0000601u, 0x61u);
    const ErrorPair closePair(0xE0000602u, 0x62u);
    for (const bool closeFails : {false, true}) {
        SCOPED_TRACE(closeFails ? "gp_close_port fails too" : "gp_close_port succeeds");
        ASSERT_NO_FATAL_FAILURE(loadInState(1));
        plugin().setAnswer("gp_set_timeout", 0, 1, timeoutPair.first, timeoutPair.second);
        if (closeFails) {
            plugin().setAnswer("gp_close_port", 0, 1, closePair.first, closePair.second);
        }
        char port[] = "SIM0";
        EXPECT_FALSE(dll().open(port));
        EXPECT_EQ(calls(), "gp_open_port_and_transition_nfc_mode SIM0\ngp_set_timeout 6000\ngp_close_port\n");
        const std::vector<std::string> asserts =
            closeFails ? std::vector<std::string>{"ASSERT! : closePort() failed.\n"} : std::vector<std::string>{};
        std::vector<std::string> found;
        for (const std::string &line : messages(LibrarySource)) {
            if (line.compare(0, 7, "ASSERT!") == 0) {
                found.push_back(line);
            }
        }
        EXPECT_EQ(found, asserts);
        EXPECT_EQ(dll().lastError(), timeoutPair);
        EXPECT_EQ(probeState(), 1);
    }
}

// ---------------------------------------------------------------------------------------------
// The last-error record
// ---------------------------------------------------------------------------------------------

TEST_F(LibraryTest, LastErrorIsZeroRightAfterLoad)
{
    ASSERT_NO_FATAL_FAILURE(loadInState(0));
    uint32_t pair[2] = {0xFFFFFFFFu, 0xFFFFFFFFu};
    EXPECT_TRUE(dll().get_last_error(pair));
    EXPECT_EQ(pair[0], 0u);
    EXPECT_EQ(pair[1], 0u);
}

TEST_F(LibraryTest, ReadingTheLastErrorDoesNotClearIt)
{
    ASSERT_NO_FATAL_FAILURE(loadInState(1));
    EXPECT_FALSE(dll().close());
    for (int read = 1; read <= 2; ++read) {
        uint32_t pair[2] = {0, 0};
        EXPECT_TRUE(dll().get_last_error(pair)) << "read " << read;
        EXPECT_EQ(ErrorPair(pair[0], pair[1]), ErrorPair(PortNotOpen, 0)) << "read " << read;
    }
}

TEST_F(LibraryTest, NullLastErrorBufferIsRefusedAndBecomesTheLastError)
{
    ASSERT_NO_FATAL_FAILURE(loadInState(2));
    plugin().setAnswer("gp_select_device", 0, 1, PluginPair.first, PluginPair.second);
    EXPECT_FALSE(dll().select_device());
    mark();
    EXPECT_FALSE(dll().get_last_error(nullptr));
    EXPECT_EQ(messages(LibrarySource), std::vector<std::string>{"ERROR! : Argument error. error_info = 0h\n"});
    EXPECT_EQ(dll().lastError(), ErrorPair(InvalidArgument, 0));
    EXPECT_EQ(dll().lastError(), ErrorPair(InvalidArgument, 0));
}

// ---------------------------------------------------------------------------------------------
// Argument checks, and the state check that comes before them
// ---------------------------------------------------------------------------------------------

struct ArgumentBuffers {
    uint8_t command[4] = {1, 2, 3, 4};
    uint8_t response[16] = {0};
    uint16_t length = 0;
    char find[8] = "find";
    char enable[8] = "enable";
};

struct ArgumentRow {
    const char *name;
    int state;
    bool (*call)(KorvatDll &, HWND, ArgumentBuffers &);
    uint32_t code;
    std::vector<std::string> (*lines)(HWND, const ArgumentBuffers &);
};

std::vector<std::string> thruLines(const void *command, unsigned length, const void *response,
                                   const void *responseLength)
{
    return {"ERROR! : Argument error. command_packet_data = " + barePointer(command) + "h\n",
            formatText("ERROR! : Argument error. command_packet_data_length = %08Xh\n", length),
            "ERROR! : Argument error. response_packet_data = " + barePointer(response) + "h\n",
            "ERROR! : Argument error. response_packet_data_length = " + barePointer(responseLength) + "h\n"};
}

std::vector<std::string> callbackLines(HWND handle, const char *find, const char *enable)
{
    return {"ERROR! : Argument error. handle = " + barePointer(handle) + "h\n",
            "ERROR! : Argument error. msg_str_of_find = " + barePointer(find) + "h\n",
            "ERROR! : Argument error. msg_str_of_enable = " + barePointer(enable) + "h\n"};
}

const ArgumentRow ArgumentRows[] = {
    {"StopModeTwo", 2, [](KorvatDll &d, HWND, ArgumentBuffers &) { return d.stop_dev_access(2) != 0; },
     InvalidArgument,
     [](HWND, const ArgumentBuffers &) {
         return std::vector<std::string>{"ERROR! : Argument error. stop_mode = 00000002h\n"};
     }},
    {"StopModeAllBits", 2, [](KorvatDll &d, HWND, ArgumentBuffers &) { return d.stop_dev_access(0xFFFFFFFFu) != 0; },
     InvalidArgument,
     [](HWND, const ArgumentBuffers &) {
         return std::vector<std::string>{"ERROR! : Argument error. stop_mode = FFFFFFFFh\n"};
     }},
    {"ThruZeroLength", 2,
     [](KorvatDll &d, HWND, ArgumentBuffers &b) { return d.thru(b.command, 0, b.response, &b.length) != 0; },
     InvalidArgument,
     [](HWND, const ArgumentBuffers &b) { return thruLines(b.command, 0, b.response, &b.length); }},
    {"ThruNullCommand", 2,
     [](KorvatDll &d, HWND, ArgumentBuffers &b) { return d.thru(nullptr, 4, b.response, &b.length) != 0; },
     InvalidArgument,
     [](HWND, const ArgumentBuffers &b) { return thruLines(nullptr, 4, b.response, &b.length); }},
    {"ThruNullResponse", 2,
     [](KorvatDll &d, HWND, ArgumentBuffers &b) { return d.thru(b.command, 4, nullptr, &b.length) != 0; },
     InvalidArgument,
     [](HWND, const ArgumentBuffers &b) { return thruLines(b.command, 4, nullptr, &b.length); }},
    {"ThruNullResponseLength", 2,
     [](KorvatDll &d, HWND, ArgumentBuffers &b) { return d.thru(b.command, 0xFFFF, b.response, nullptr) != 0; },
     InvalidArgument,
     [](HWND, const ArgumentBuffers &b) { return thruLines(b.command, 0xFFFF, b.response, nullptr); }},
    {"GetTimeoutNull", 2, [](KorvatDll &d, HWND, ArgumentBuffers &) { return d.get_timeout(nullptr) != 0; },
     InvalidArgument,
     [](HWND, const ArgumentBuffers &) {
         return std::vector<std::string>{"ERROR! : Argument error. timeout = 0h\n"};
     }},
    {"CallbackNullHandle", 1,
     [](KorvatDll &d, HWND, ArgumentBuffers &b) {
         return d.set_poll_callback_parameters(nullptr, b.find, b.enable) != 0;
     },
     InvalidArgument, [](HWND, const ArgumentBuffers &b) { return callbackLines(nullptr, b.find, b.enable); }},
    {"CallbackNullFindName", 2,
     [](KorvatDll &d, HWND w, ArgumentBuffers &b) { return d.set_poll_callback_parameters(w, nullptr, b.enable) != 0; },
     InvalidArgument, [](HWND w, const ArgumentBuffers &b) { return callbackLines(w, nullptr, b.enable); }},
    {"CallbackNullEnableName", 1,
     [](KorvatDll &d, HWND w, ArgumentBuffers &b) { return d.set_poll_callback_parameters(w, b.find, nullptr) != 0; },
     InvalidArgument, [](HWND w, const ArgumentBuffers &b) { return callbackLines(w, b.find, nullptr); }},
    {"LastErrorNull", 0, [](KorvatDll &d, HWND, ArgumentBuffers &) { return d.get_last_error(nullptr) != 0; },
     InvalidArgument,
     [](HWND, const ArgumentBuffers &) {
         return std::vector<std::string>{"ERROR! : Argument error. error_info = 0h\n"};
     }},
    // The state is tested first: a call that is wrong in both ways reports the state.
    {"GetTimeoutNullInState1", 1, [](KorvatDll &d, HWND, ArgumentBuffers &) { return d.get_timeout(nullptr) != 0; },
     PortNotOpen, [](HWND, const ArgumentBuffers &) { return std::vector<std::string>{stateErrorLine(1)}; }},
    {"ThruZeroLengthInState1", 1,
     [](KorvatDll &d, HWND, ArgumentBuffers &) { return d.thru(nullptr, 0, nullptr, nullptr) != 0; }, PortNotOpen,
     [](HWND, const ArgumentBuffers &) { return std::vector<std::string>{stateErrorLine(1)}; }},
    {"StopModeTwoInState0", 0, [](KorvatDll &d, HWND, ArgumentBuffers &) { return d.stop_dev_access(2) != 0; },
     PortNotOpen, [](HWND, const ArgumentBuffers &) { return std::vector<std::string>{stateErrorLine(0)}; }},
    {"CallbackNullsInState0", 0,
     [](KorvatDll &d, HWND, ArgumentBuffers &) {
         return d.set_poll_callback_parameters(nullptr, nullptr, nullptr) != 0;
     },
     NotInitialized, [](HWND, const ArgumentBuffers &) { return std::vector<std::string>{stateErrorLine(0)}; }},
};

TEST_F(LibraryTest, ArgumentErrorsAreRefusedWithTheirTraceLinesWithoutReachingThePlugin)
{
    for (const ArgumentRow &row : ArgumentRows) {
        SCOPED_TRACE(row.name);
        ASSERT_NO_FATAL_FAILURE(loadInState(row.state));
        ArgumentBuffers buffers;
        const HWND handle = window();
        EXPECT_FALSE(row.call(dll(), handle, buffers));
        EXPECT_EQ(messages(LibrarySource), row.lines(handle, buffers));
        if (holdsPlugin()) {
            EXPECT_EQ(calls(), "");
        }
        EXPECT_EQ(dll().lastError(), ErrorPair(row.code, 0));
    }
}

// ---------------------------------------------------------------------------------------------
// Plug-in results and arguments
// ---------------------------------------------------------------------------------------------

struct PluginRow {
    const char *entry;
    int state;
    bool (*call)(KorvatDll &);
};

const PluginRow PluginRows[] = {
    {"gp_open_port_and_transition_nfc_mode", 1, [](KorvatDll &d) { char p[] = "SIM0"; return d.open(p) != 0; }},
    {"gp_set_timeout", 1, [](KorvatDll &d) { char p[] = "SIM0"; return d.open(p) != 0; }},
    {"gp_close_port", 2, [](KorvatDll &d) { return d.close() != 0; }},
    {"gp_start_poll_mode", 2, [](KorvatDll &d) { return d.start_poll_mode(1) != 0; }},
    {"gp_stop_poll_mode", 2, [](KorvatDll &d) { return d.stop_poll_mode() != 0; }},
    {"gp_start_device_access", 2, [](KorvatDll &d) { return d.start_dev_access(3) != 0; }},
    {"gp_stop_device_access", 2, [](KorvatDll &d) { return d.stop_dev_access(0) != 0; }},
    {"gp_select_device", 2, [](KorvatDll &d) { return d.select_device() != 0; }},
    {"gp_deselect_device", 2, [](KorvatDll &d) { return d.deselect_device() != 0; }},
    {"gp_read", 2,
     [](KorvatDll &d) {
         const uint8_t command[] = {0x00, 0x01};
         uint8_t response[8];
         uint16_t length = 0;
         return d.thru(command, 2, response, &length) != 0;
     }},
    {"gp_set_timeout", 2, [](KorvatDll &d) { return d.set_timeout(100) != 0; }},
    {"gp_get_timeout", 2, [](KorvatDll &d) { int32_t t; return d.get_timeout(&t) != 0; }},
};

// The plug-in's own pair becomes the last error as it is; a plug-in that fails without writing
// leaves the pair that was there. The library adds no error line of its own.
TEST_F(LibraryTest, PluginFailuresPassTheirErrorPairThroughUnchanged)
{
    uint32_t rowNumber = 0;
    for (const PluginRow &row : PluginRows) {
        SCOPED_TRACE(std::string(row.entry) + " in state " + std::to_string(row.state));
        ASSERT_NO_FATAL_FAILURE(loadInState(row.state));
        const ErrorPair pair(0xE0010000u + rowNumber, 0x00A00000u + rowNumber);
        ++rowNumber;
        plugin().setAnswer(row.entry, 0, 1, pair.first, pair.second);
        EXPECT_FALSE(row.call(dll()));
        EXPECT_EQ(dll().lastError(), pair);
        EXPECT_EQ(errorLines(messages(LibrarySource)), std::vector<std::string>());
        EXPECT_NE(calls().find(row.entry), std::string::npos) << calls();

        plugin().setAnswer(row.entry, 0, 0, 0, 0);
        EXPECT_FALSE(row.call(dll()));
        EXPECT_EQ(dll().lastError(), pair);
    }
}

TEST_F(LibraryTest, NumbersReachThePluginUnchanged)
{
    ASSERT_NO_FATAL_FAILURE(loadInState(2));
    ASSERT_TRUE(dll().set_poll_callback_parameters(window(), "find", "enable"));
    const uint32_t words[] = {0u, 1u, 8u, 0x80000000u, 0xFFFFFFFFu};
    for (const uint32_t word : words) {
        SCOPED_TRACE(formatText("word %08x", word));
        mark();
        EXPECT_TRUE(dll().start_poll_mode(word));
        EXPECT_TRUE(dll().stop_poll_mode());
        EXPECT_TRUE(dll().start_dev_access(word));
        EXPECT_EQ(calls(), formatText("gp_start_poll_mode %08x\ngp_stop_poll_mode\ngp_start_device_access %08x\n",
                                      word, word));
    }
    for (const uint32_t stopMode : {0u, 1u}) {
        mark();
        EXPECT_TRUE(dll().stop_dev_access(stopMode));
        EXPECT_EQ(calls(), formatText("gp_stop_device_access %08x\n", stopMode));
    }
    for (const int32_t timeout : {0, 1, -1, -6000, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(timeout);
        mark();
        EXPECT_TRUE(dll().set_timeout(timeout));
        int32_t read = 12345;
        EXPECT_TRUE(dll().get_timeout(&read));
        EXPECT_EQ(read, timeout);
        EXPECT_EQ(calls(), formatText("gp_set_timeout %d\ngp_get_timeout\n", timeout));
    }
}

TEST_F(LibraryTest, ThruPassesPacketsThroughWithoutLimits)
{
    ASSERT_NO_FATAL_FAILURE(loadInState(2));
    const uint8_t command[] = {0x00, 0xFF, 0x7F, 0x80, 0x01};
    uint8_t response[8] = {0};
    uint16_t length = 0;
    EXPECT_TRUE(dll().thru(command, sizeof(command), response, &length));
    EXPECT_EQ(calls(), "gp_read 00000005 00 ff 7f 80 01\n");
    ASSERT_EQ(length, sizeof(command));
    EXPECT_EQ(std::vector<uint8_t>(response, response + length), std::vector<uint8_t>(command, command + 5));

    // Neither length is limited by the library.
    std::vector<uint8_t> longResponse(1000);
    for (size_t i = 0; i < longResponse.size(); ++i) {
        longResponse[i] = static_cast<uint8_t>(i * 7);
    }
    plugin().setReadResponse(longResponse.data(), static_cast<uint16_t>(longResponse.size()));
    std::vector<uint8_t> longCommand(0xFFFF, 0x5A);
    std::vector<uint8_t> buffer(0xFFFF, 0);
    mark();
    EXPECT_TRUE(dll().thru(longCommand.data(), 0xFFFF, buffer.data(), &length));
    EXPECT_EQ(calls().compare(0, 20, "gp_read 0000ffff 5a "), 0);
    ASSERT_EQ(length, longResponse.size());
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + length), longResponse);
}

// Without poll callback parameters no thread can start: the reader's poll mode is stopped again
// with a scratch record, so the thread's error stays the last error even when that stop fails.
TEST_F(LibraryTest, StartPollModeWithoutCallbackParametersStopsTheReaderAgain)
{
    for (const bool stopFails : {false, true}) {
        SCOPED_TRACE(stopFails ? "gp_stop_poll_mode fails" : "gp_stop_poll_mode succeeds");
        ASSERT_NO_FATAL_FAILURE(loadInState(2));
        plugin().setAnswer("gp_select_device", 0, 1, PluginPair.first, PluginPair.second);
        EXPECT_FALSE(dll().select_device());
        if (stopFails) {
            plugin().setAnswer("gp_stop_poll_mode", 0, 1, 0xE0000999u, 0x99u);
        }
        mark();
        EXPECT_FALSE(dll().start_poll_mode(DEVICE_TYPE_NFC_14443B_106K));
        EXPECT_EQ(calls(), "gp_start_poll_mode 00000008\ngp_stop_poll_mode\n");
        const std::vector<std::string> lines = messages(LibrarySource);
        const bool asserted =
            std::find(lines.begin(), lines.end(), "ASSERT! : stopPollMode() failed.\n") != lines.end();
        EXPECT_EQ(asserted, stopFails);
        // The thread object writes the code word only.
        EXPECT_EQ(dll().lastError(), ErrorPair(KORVAT_NFC_E_NO_CALLBACK_PARAM, PluginPair.second));
    }
}

// ---------------------------------------------------------------------------------------------
// A plug-in without gp_read and gp_close_port
// ---------------------------------------------------------------------------------------------

class MissingEntriesTest : public LibraryTest {
protected:
    std::string pluginVariant() const override { return "missing_entries"; }
};

// A file that lacks entry points is never registered, so no open port is ever served by a
// table with a null entry: the library refuses the file when it initialises.
TEST_F(MissingEntriesTest, PluginLackingEntryPointsNeverServesAPort)
{
    ASSERT_NO_FATAL_FAILURE(loadInState(0));
    EXPECT_FALSE(dll().initialize());
    EXPECT_EQ(dll().lastError(), ErrorPair(KORVAT_NFC_E_NO_PLUGIN, 0));
    const std::vector<std::string> loaderLines = messages("..\\..\\NFCLibrary\\NfcPluginLoader.cpp");
    for (const char *line :
         {"ERROR! : Failed to get gp_close_port function.\n", "ERROR! : Failed to get gp_read function.\n"}) {
        EXPECT_NE(std::find(loaderLines.begin(), loaderLines.end(), line), loaderLines.end()) << line;
    }
    EXPECT_EQ(messages(WrapperSource), std::vector<std::string>()) << "a null entry was called";
    EXPECT_EQ(probeState(), 0);
    EXPECT_EQ(GetModuleHandleA(pluginPath().c_str()), nullptr);
}

// ---------------------------------------------------------------------------------------------
// Unloading the DLL, and logging before initialisation
// ---------------------------------------------------------------------------------------------

TEST_F(LibraryTest, UnloadWithAPortOpenClosesItThenUnloadsThePlugins)
{
    ASSERT_NO_FATAL_FAILURE(loadInState(2));
    dll().unload();
    EXPECT_EQ(calls(), "gp_close_port\n");
    releasePlugin();
    EXPECT_EQ(GetModuleHandleA(pluginPath().c_str()), nullptr) << "the library kept the plug-in loaded";
}

TEST_F(LibraryTest, UnloadWhenInitializedOnlyUnloadsThePlugins)
{
    ASSERT_NO_FATAL_FAILURE(loadInState(1));
    dll().unload();
    EXPECT_EQ(calls(), "");
    releasePlugin();
    EXPECT_EQ(GetModuleHandleA(pluginPath().c_str()), nullptr) << "the library kept the plug-in loaded";
}

TEST_F(LibraryTest, LoggingStartsAndStopsBeforeInitialisation)
{
    ASSERT_NO_FATAL_FAILURE(loadInState(0));
    const std::string normalLog = scratchFile("normal.log");
    ASSERT_TRUE(dll().start_logging(normalLog.c_str()));
    EXPECT_FALSE(dll().close());
    ASSERT_TRUE(dll().stop_logging());
    EXPECT_FALSE(dll().close());
    const std::string contents = readFile(normalLog);
    EXPECT_NE(contents.find("++++ korvatlib_nfc_close() Start!\r\n"), std::string::npos) << contents;
    EXPECT_EQ(contents.find("++++ korvatlib_nfc_close() Start!\r\n"),
              contents.rfind("++++ korvatlib_nfc_close() Start!\r\n"))
        << "the call after stop_logging reached the normal log";
}

}  // namespace
