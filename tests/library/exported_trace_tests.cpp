// The trace lines of the exported functions, their export table, and the normal log that the
// application starts and stops.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "LibraryTestFixture.h"

using namespace korvat_test;

namespace {

// Buffers whose addresses the trace lines print; they live for one test.
struct TraceContext {
    KorvatDll *dll = nullptr;
    FixturePlugin *plugin = nullptr;
    HWND window = nullptr;
    std::string logFile;
    uint8_t command[9] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};
    uint8_t response[32] = {0};
    uint16_t responseLength = 0;
    int32_t timeout = 0;
    uint32_t errorInfo[2] = {0, 0};
    char port[16] = "";
    char find[8] = "find";
    char enable[8] = "enable";
    KORVAT_NFC_EVENT event;
    KORVAT_NFC_READER_RECORD readers[2];
    uint32_t count = 0;
};

// The ten response bytes that the plug-in hands back from gp_read in the thru rows.
const uint8_t ReadResponse[10] = {0xD5, 0x4B, 0x01, 0x01, 0x00, 0x44, 0x20, 0x07, 0xAB, 0xCD};

struct TraceRow {
    const char *label;
    int state;
    void (*prepare)(TraceContext &);  // may be null
    bool (*call)(TraceContext &);
    bool result;
    const char *function;                                     // name without the prefix
    std::vector<std::string> (*arguments)(const TraceContext &);  // [IN] and [OUT] lines, in order
};

std::vector<std::string> none(const TraceContext &)
{
    return {};
}

// Entry line, argument and output lines, exit line of one call.
std::vector<std::string> shellLines(const std::string &function, bool result, const std::vector<std::string> &body)
{
    std::vector<std::string> lines{"++++ korvatlib_nfc_" + function + "() Start!\n"};
    lines.insert(lines.end(), body.begin(), body.end());
    lines.push_back("---- korvatlib_nfc_" + function + "() End! return value = " + (result ? "true" : "false") + "\n");
    return lines;
}

std::vector<std::string> commandLines(const TraceContext &c)
{
    return {"    [IN] command_packet_data = " + paddedPointer(c.command) + "h\n",
            "0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, \n", "0x09, \n"};
}

std::vector<std::string> responseArgumentLines(const TraceContext &c)
{
    return {"    [IN] response_packet_data = " + paddedPointer(c.response) + "h\n",
            "    [IN] response_packet_data_length = " + paddedPointer(&c.responseLength) + "h\n"};
}

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// An error pair queued: a status call that fails while the queue is on.
void queueError(TraceContext &c)
{
    c.dll->set_event_queue(1);
    c.plugin->pushStatus(GP_STATUS_STATE_IDLE, 0, 0, nullptr, 0, 0, 0xE0000042u, 0x17u);
    c.dll->start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K);
    for (int i = 0; i < 500 && c.plugin->statusCalls() == 0; ++i) {
        Sleep(10);
    }
    c.dll->stop_poll_mode();
}

std::vector<std::string> eventArgumentLines(const TraceContext &c)
{
    return {"    [IN] event = " + paddedPointer(&c.event) + "h\n", "    [IN] timeout_ms = 0\n"};
}

std::vector<std::string> readerArgumentLines(const TraceContext &c)
{
    return {"    [IN] records = " + paddedPointer(c.readers) + "h\n", "    [IN] capacity = 2\n",
            "    [IN] count = " + paddedPointer(&c.count) + "h\n"};
}

void failSelect(TraceContext &c)
{
    c.plugin->setAnswer("gp_select_device", 0, 1, 0xE0001234u, 0x56u);
    c.dll->select_device();
}

const TraceRow TraceRows[] = {
    {"InitializeSucceeds", 0, nullptr, [](TraceContext &c) { return c.dll->initialize() != 0; }, true, "initialize",
     none},
    {"InitializeFails", 1, nullptr, [](TraceContext &c) { return c.dll->initialize() != 0; }, false, "initialize",
     none},
    {"UninitializeSucceeds", 1, nullptr, [](TraceContext &c) { return c.dll->uninitialize() != 0; }, true,
     "uninitialize", none},
    {"UninitializeFails", 0, nullptr, [](TraceContext &c) { return c.dll->uninitialize() != 0; }, false,
     "uninitialize", none},
    {"OpenByName", 1, [](TraceContext &c) { std::strcpy(c.port, "SIM0"); },
     [](TraceContext &c) { return c.dll->open(c.port) != 0; }, true, "open",
     [](const TraceContext &) {
         return std::vector<std::string>{"    [IN] port_name = SIM0\n", "    [OUT] port_name = SIM0\n"};
     }},
    {"OpenFails", 2, [](TraceContext &c) { std::strcpy(c.port, "SIM0"); },
     [](TraceContext &c) { return c.dll->open(c.port) != 0; }, false, "open",
     [](const TraceContext &) { return std::vector<std::string>{"    [IN] port_name = SIM0\n"}; }},
    {"OpenNull", 1, nullptr, [](TraceContext &c) { return c.dll->open(nullptr) != 0; }, true, "open",
     [](const TraceContext &) { return std::vector<std::string>{"    [IN] port_name = NULL\n"}; }},
    {"OpenEmptyShowsTheOpenedPort", 1, nullptr, [](TraceContext &c) { return c.dll->open(c.port) != 0; }, true,
     "open",
     [](const TraceContext &) {
         return std::vector<std::string>{"    [IN] port_name = \n", "    [OUT] port_name = SIM0\n"};
     }},
    {"CloseSucceeds", 2, nullptr, [](TraceContext &c) { return c.dll->close() != 0; }, true, "close", none},
    {"CloseFails", 1, nullptr, [](TraceContext &c) { return c.dll->close() != 0; }, false, "close", none},
    {"StartPollModeSucceeds", 2,
     [](TraceContext &c) { c.dll->set_poll_callback_parameters(c.window, c.find, c.enable); },
     [](TraceContext &c) { return c.dll->start_poll_mode(0x1A2B3C4Du) != 0; }, true, "start_poll_mode",
     [](const TraceContext &) { return std::vector<std::string>{"    [IN] target_device = 1a2b3c4dh\n"}; }},
    {"StartPollModeFails", 2, nullptr, [](TraceContext &c) { return c.dll->start_poll_mode(8) != 0; }, false,
     "start_poll_mode",
     [](const TraceContext &) { return std::vector<std::string>{"    [IN] target_device = 00000008h\n"}; }},
    {"StopPollModeSucceeds", 2, nullptr, [](TraceContext &c) { return c.dll->stop_poll_mode() != 0; }, true,
     "stop_poll_mode", none},
    {"StopPollModeFails", 1, nullptr, [](TraceContext &c) { return c.dll->stop_poll_mode() != 0; }, false,
     "stop_poll_mode", none},
    {"StartDevAccessSucceeds", 2, nullptr, [](TraceContext &c) { return c.dll->start_dev_access(0xABCDEF01u) != 0; },
     true, "start_dev_access",
     [](const TraceContext &) { return std::vector<std::string>{"    [IN] target_number = abcdef01h\n"}; }},
    {"StartDevAccessFails", 1, nullptr, [](TraceContext &c) { return c.dll->start_dev_access(7) != 0; }, false,
     "start_dev_access",
     [](const TraceContext &) { return std::vector<std::string>{"    [IN] target_number = 00000007h\n"}; }},
    {"StopDevAccessSucceeds", 2, nullptr, [](TraceContext &c) { return c.dll->stop_dev_access(1) != 0; }, true,
     "stop_dev_access",
     [](const TraceContext &) { return std::vector<std::string>{"    [IN] stop_mode = 00000001h\n"}; }},
    {"StopDevAccessFails", 2, nullptr, [](TraceContext &c) { return c.dll->stop_dev_access(2) != 0; }, false,
     "stop_dev_access",
     [](const TraceContext &) { return std::vector<std::string>{"    [IN] stop_mode = 00000002h\n"}; }},
    {"SelectDeviceSucceeds", 2, nullptr, [](TraceContext &c) { return c.dll->select_device() != 0; }, true,
     "select_device", none},
    {"SelectDeviceFails", 1, nullptr, [](TraceContext &c) { return c.dll->select_device() != 0; }, false,
     "select_device", none},
    {"DeselectDeviceSucceeds", 2, nullptr, [](TraceContext &c) { return c.dll->deselect_device() != 0; }, true,
     "deselect_device", none},
    {"DeselectDeviceFails", 1, nullptr, [](TraceContext &c) { return c.dll->deselect_device() != 0; }, false,
     "deselect_device", none},
    {"ThruSucceedsWithTheResponseDump", 2,
     [](TraceContext &c) { c.plugin->setReadResponse(ReadResponse, sizeof(ReadResponse)); },
     [](TraceContext &c) { return c.dll->thru(c.command, 9, c.response, &c.responseLength) != 0; }, true, "thru",
     [](const TraceContext &c) {
         return concat(concat(commandLines(c), responseArgumentLines(c)),
                       {"    [OUT] *response_packet_data_length = 0000000ah\n", "    [OUT] response_packet_data =\n",
                        "0xd5, 0x4b, 0x01, 0x01, 0x00, 0x44, 0x20, 0x07, \n", "0xab, 0xcd, \n"});
     }},
    {"ThruEmptyResponse", 2, [](TraceContext &c) { c.plugin->setReadResponse(ReadResponse, 0); },
     [](TraceContext &c) { return c.dll->thru(c.command, 9, c.response, &c.responseLength) != 0; }, true, "thru",
     [](const TraceContext &c) {
         return concat(concat(commandLines(c), responseArgumentLines(c)),
                       {"    [OUT] *response_packet_data_length = 00000000h\n", "    [OUT] response_packet_data =\n"});
     }},
    {"ThruFailsWithoutOutputLines", 2, [](TraceContext &c) { c.plugin->setAnswer("gp_read", 0, 1, 0xE0000001u, 1); },
     [](TraceContext &c) { return c.dll->thru(c.command, 9, c.response, &c.responseLength) != 0; }, false, "thru",
     [](const TraceContext &c) { return concat(commandLines(c), responseArgumentLines(c)); }},
    {"ThruNullCommand", 2, nullptr,
     [](TraceContext &c) { return c.dll->thru(nullptr, 9, c.response, &c.responseLength) != 0; }, false, "thru",
     [](const TraceContext &c) {
         return concat({"    [IN] command_packet_data = NULL\n"}, responseArgumentLines(c));
     }},
    {"ThruNullResponsePointers", 2, nullptr,
     [](TraceContext &c) { return c.dll->thru(c.command, 9, nullptr, nullptr) != 0; }, false, "thru",
     [](const TraceContext &c) {
         return concat(commandLines(c),
                       {"    [IN] response_packet_data = NULL\n", "    [IN] response_packet_data_length = NULL\n"});
     }},
    {"SetTimeoutSucceeds", 2, nullptr, [](TraceContext &c) { return c.dll->set_timeout(-42) != 0; }, true,
     "set_timeout", [](const TraceContext &) { return std::vector<std::string>{"    [IN] timeout = -42\n"}; }},
    {"SetTimeoutFails", 1, nullptr, [](TraceContext &c) { return c.dll->set_timeout(6000) != 0; }, false,
     "set_timeout", [](const TraceContext &) { return std::vector<std::string>{"    [IN] timeout = 6000\n"}; }},
    {"GetTimeoutSucceeds", 2, nullptr, [](TraceContext &c) { return c.dll->get_timeout(&c.timeout) != 0; }, true,
     "get_timeout",
     [](const TraceContext &c) {
         return std::vector<std::string>{"    [IN] timeout = " + paddedPointer(&c.timeout) + "h\n",
                                         "    [OUT] *timeout = 6000\n"};
     }},
    {"GetTimeoutFailsWithoutOutputLine", 1, nullptr,
     [](TraceContext &c) { return c.dll->get_timeout(&c.timeout) != 0; }, false, "get_timeout",
     [](const TraceContext &c) {
         return std::vector<std::string>{"    [IN] timeout = " + paddedPointer(&c.timeout) + "h\n"};
     }},
    {"GetTimeoutNull", 2, nullptr, [](TraceContext &c) { return c.dll->get_timeout(nullptr) != 0; }, false,
     "get_timeout", [](const TraceContext &) { return std::vector<std::string>{"    [IN] timeout = " + paddedPointer(nullptr) + "h\n"}; }},
    {"SetPollCallbackParametersSucceeds", 1, nullptr,
     [](TraceContext &c) { return c.dll->set_poll_callback_parameters(c.window, c.find, c.enable) != 0; }, true,
     "set_poll_callback_parameters",
     [](const TraceContext &c) {
         return std::vector<std::string>{"    [IN] handle = " + paddedPointer(c.window) + "h\n",
                                         "    [IN] msg_str_of_find = find\n", "    [IN] msg_str_of_enable = enable\n"};
     }},
    {"SetPollCallbackParametersNulls", 1, nullptr,
     [](TraceContext &c) { return c.dll->set_poll_callback_parameters(nullptr, nullptr, nullptr) != 0; }, false,
     "set_poll_callback_parameters",
     [](const TraceContext &) {
         return std::vector<std::string>{"    [IN] handle = " + paddedPointer(nullptr) + "h\n", "    [IN] msg_str_of_find = NULL\n",
                                         "    [IN] msg_str_of_enable = NULL\n"};
     }},
    {"SetPnpCallbackParameters", 2, nullptr,
     [](TraceContext &c) { return c.dll->set_pnp_callback_parameters(c.window, c.find, c.enable) != 0; }, false,
     "set_pnp_callback_parameters",
     [](const TraceContext &c) {
         return std::vector<std::string>{"    [IN] handle = " + paddedPointer(c.window) + "h\n",
                                         "    [IN] msg_str_of_find = find\n", "    [IN] msg_str_of_loss = enable\n"};
     }},
    {"SetPnpCallbackParametersNulls", 0, nullptr,
     [](TraceContext &c) { return c.dll->set_pnp_callback_parameters(nullptr, nullptr, nullptr) != 0; }, false,
     "set_pnp_callback_parameters",
     [](const TraceContext &) {
         return std::vector<std::string>{"    [IN] handle = " + paddedPointer(nullptr) + "h\n", "    [IN] msg_str_of_find = NULL\n",
                                         "    [IN] msg_str_of_loss = NULL\n"};
     }},
    {"StartPlugAndPlay", 1, nullptr, [](TraceContext &c) { return c.dll->start_plug_and_play() != 0; }, false,
     "start_plug_and_play", none},
    {"StopPlugAndPlay", 2, nullptr, [](TraceContext &c) { return c.dll->stop_plug_and_play() != 0; }, false,
     "stop_plug_and_play", none},
    {"GetLastErrorShowsThePair", 2, failSelect, [](TraceContext &c) { return c.dll->get_last_error(c.errorInfo) != 0; },
     true, "get_last_error",
     [](const TraceContext &c) {
         return std::vector<std::string>{"    [IN] error_info = " + paddedPointer(c.errorInfo) + "h\n",
                                         "    [OUT] error_info[0] = e0001234h\n",
                                         "    [OUT] error_info[1] = 00000056h\n"};
     }},
    {"GetLastErrorNull", 0, nullptr, [](TraceContext &c) { return c.dll->get_last_error(nullptr) != 0; }, false,
     "get_last_error",
     [](const TraceContext &) { return std::vector<std::string>{"    [IN] error_info = " + paddedPointer(nullptr) + "h\n"}; }},
    {"StartLoggingSucceeds", 0, nullptr, [](TraceContext &c) { return c.dll->start_logging(c.logFile.c_str()) != 0; },
     true, "start_logging",
     [](const TraceContext &c) { return std::vector<std::string>{"    [IN] filename = " + c.logFile + "\n"}; }},
    {"StartLoggingNull", 1, nullptr, [](TraceContext &c) { return c.dll->start_logging(nullptr) != 0; }, false,
     "start_logging", [](const TraceContext &) { return std::vector<std::string>{"    [IN] filename = NULL\n"}; }},
    {"StopLogging", 2, nullptr, [](TraceContext &c) { return c.dll->stop_logging() != 0; }, true, "stop_logging",
     none},
    {"SetEventQueueSucceeds", 1, nullptr, [](TraceContext &c) { return c.dll->set_event_queue(1) != 0; }, true,
     "set_event_queue", [](const TraceContext &) { return std::vector<std::string>{"    [IN] enabled = 00000001h\n"}; }},
    {"SetEventQueueFails", 0, nullptr, [](TraceContext &c) { return c.dll->set_event_queue(1) != 0; }, false,
     "set_event_queue", [](const TraceContext &) { return std::vector<std::string>{"    [IN] enabled = 00000001h\n"}; }},
    {"GetNextEventShowsTheEvent", 2, queueError, [](TraceContext &c) { return c.dll->get_next_event(&c.event, 0) != 0; },
     true, "get_next_event",
     [](const TraceContext &c) {
         return concat(eventArgumentLines(c),
                       {"    [OUT] event->kind = 5\n", "    [OUT] event->lost_before = 0\n",
                        "    [OUT] event->target_number = 00000000h\n", "    [OUT] event->error_code = e0000042h\n",
                        "    [OUT] event->detail_code = 00000017h\n", "    [OUT] event->data_size = 0\n"});
     }},
    {"GetNextEventFailsWithoutOutputLines", 1, nullptr,
     [](TraceContext &c) { return c.dll->get_next_event(&c.event, 0) != 0; }, false, "get_next_event",
     eventArgumentLines},
    {"ListReadersShowsTheCount", 1, nullptr, [](TraceContext &c) { return c.dll->list_readers(c.readers, 2, &c.count) != 0; },
     true, "list_readers",
     [](const TraceContext &c) { return concat(readerArgumentLines(c), {"    [OUT] *count = 0\n"}); }},
    {"ListReadersFailsWithoutOutputLines", 0, nullptr,
     [](TraceContext &c) { return c.dll->list_readers(c.readers, 2, &c.count) != 0; }, false, "list_readers",
     readerArgumentLines},
};

// One entry line, the argument lines, the output lines only on success, one exit line that
// reports the result returned; each case on a freshly loaded DLL.
TEST_F(LibraryTest, ShellTraceOfEveryFunction)
{
    for (const TraceRow &row : TraceRows) {
        SCOPED_TRACE(row.label);
        ASSERT_NO_FATAL_FAILURE(loadInState(row.state));
        TraceContext context;
        context.dll = &dll();
        context.plugin = holdsPlugin() ? &plugin() : nullptr;
        context.window = window();
        context.logFile = scratchFile("normal.log");
        if (row.prepare != nullptr) {
            row.prepare(context);
        }
        mark();
        EXPECT_EQ(row.call(context), row.result);
        EXPECT_EQ(messages(ShellSource), shellLines(row.function, row.result, row.arguments(context)));
    }
}

TEST_F(LibraryTest, GetLastErrorWithNullTracesNothingButItsOwnLinesAndTheArgumentError)
{
    ASSERT_NO_FATAL_FAILURE(loadInState(1));
    EXPECT_FALSE(dll().get_last_error(nullptr));
    const std::vector<TraceRecord> expected{
        {ShellSource, "++++ korvatlib_nfc_get_last_error() Start!\n"},
        {ShellSource, "    [IN] error_info = " + paddedPointer(nullptr) + "h\n"},
        {LibrarySource, "ERROR! : Argument error. error_info = 0h\n"},
        {ShellSource, "---- korvatlib_nfc_get_last_error() End! return value = false\n"},
    };
    EXPECT_EQ(records(), expected);
}

// Pointer arguments are traced whole: on x64 an address above 4 GiB is not cut to its low 32 bits.
TEST_F(LibraryTest, PointerArgumentsAreTracedWhole)
{
    ASSERT_NO_FATAL_FAILURE(loadInState(1));
    uint8_t *high = static_cast<uint8_t *>(
        VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT | MEM_TOP_DOWN, PAGE_READWRITE));
    ASSERT_NE(high, nullptr);
    if (sizeof(void *) == 8) {
        ASSERT_GT(reinterpret_cast<uintptr_t>(high), uintptr_t{0xFFFFFFFFu}) << "no address above 4 GiB to try";
    }
    uint32_t *errorInfo = reinterpret_cast<uint32_t *>(high + 0x10);
    mark();
    EXPECT_TRUE(dll().get_last_error(errorInfo));
    const std::vector<std::string> lines = messages(ShellSource);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], "    [IN] error_info = " + paddedPointer(errorInfo) + "h\n");
    EXPECT_EQ(lines[1].size(), std::strlen("    [IN] error_info = h\n") + 2 * sizeof(void *));
    VirtualFree(high, 0, MEM_RELEASE);
}

// A record that the library traces while a shell runs stands between the shell's lines.
TEST_F(LibraryTest, LibraryLinesStandBetweenTheShellLinesOfTheirCall)
{
    ASSERT_NO_FATAL_FAILURE(loadInState(1));
    EXPECT_FALSE(dll().close());
    const std::vector<TraceRecord> expected{
        {ShellSource, "++++ korvatlib_nfc_close() Start!\n"},
        {LibrarySource, "ERROR! : NFC Library state error. m_NfcLibraryState = 1\n"},
        {ShellSource, "---- korvatlib_nfc_close() End! return value = false\n"},
    };
    EXPECT_EQ(records(), expected);
}

// ---------------------------------------------------------------------------------------------
// The normal log: level-1 records only, each with a time stamp and nothing else
// ---------------------------------------------------------------------------------------------

// Splits one normal-log line "YYYY-MM-DD hh:mm:ss.mmm : <message>"; empty on any other form.
bool parseNormalLine(const std::string &line, std::string &message)
{
    static const char shape[] = "0000-00-00 00:00:00.000 : ";
    const size_t stampLength = sizeof(shape) - 1;
    if (line.size() < stampLength) {
        return false;
    }
    for (size_t i = 0; i < stampLength; ++i) {
        if (shape[i] == '0' ? !isDigits(line, i, 1) : line[i] != shape[i]) {
            return false;
        }
    }
    message = line.substr(stampLength) + "\n";
    return true;
}

TEST_F(LibraryTest, NormalLogReceivesTheShellLinesWithATimeStampOnly)
{
    ASSERT_NO_FATAL_FAILURE(loadInState(2));
    const std::string normalLog = scratchFile("normal.log");
    const uint8_t command[] = {0x11, 0x22, 0x33};
    uint8_t response[8];
    uint16_t length = 0;
    int32_t timeout = 0;

    ASSERT_TRUE(dll().start_logging(normalLog.c_str()));
    EXPECT_FALSE(dll().get_timeout(nullptr));  // its argument error is a level-0 record
    EXPECT_TRUE(dll().thru(command, 3, response, &length));
    EXPECT_TRUE(dll().get_timeout(&timeout));
    ASSERT_TRUE(dll().stop_logging());
    EXPECT_TRUE(dll().select_device());  // after stop_logging: debug log only

    const std::vector<std::string> lines = crlfLines(readFile(normalLog));
    std::vector<std::string> normalMessages;
    for (const std::string &line : lines) {
        std::string message;
        EXPECT_TRUE(parseNormalLine(line, message)) << "not a normal-log record: " << line;
        normalMessages.push_back(message);
    }
    // The normal log starts with start_logging's exit line and ends with stop_logging's entry
    // line; in between it holds exactly what the shells traced.
    std::vector<std::string> shellMessages = messages(ShellSource);
    const auto first = std::find(shellMessages.begin(), shellMessages.end(),
                                 "---- korvatlib_nfc_start_logging() End! return value = true\n");
    const auto last =
        std::find(shellMessages.begin(), shellMessages.end(), "++++ korvatlib_nfc_stop_logging() Start!\n");
    ASSERT_NE(first, shellMessages.end());
    ASSERT_NE(last, shellMessages.end());
    EXPECT_EQ(normalMessages, std::vector<std::string>(first, last + 1));
    EXPECT_EQ(std::find(normalMessages.begin(), normalMessages.end(), "ERROR! : Argument error. timeout = 0h\n"),
              normalMessages.end());
    EXPECT_NE(std::find(normalMessages.begin(), normalMessages.end(), "0x11, 0x22, 0x33, \n"), normalMessages.end());
}

// ---------------------------------------------------------------------------------------------
// The export table of the loaded module
// ---------------------------------------------------------------------------------------------

TEST(ExportTable, TwentyFunctionsWithOrdinalsInAlphabeticalOrderAndTheLaterOnesAfterThem)
{
    KorvatDll dll;
    ASSERT_TRUE(dll.loaded());
    std::vector<std::string> expected = {
        "korvatlib_nfc_initialize", "korvatlib_nfc_uninitialize", "korvatlib_nfc_open",
        "korvatlib_nfc_close", "korvatlib_nfc_start_poll_mode", "korvatlib_nfc_stop_poll_mode",
        "korvatlib_nfc_start_dev_access", "korvatlib_nfc_stop_dev_access", "korvatlib_nfc_select_device",
        "korvatlib_nfc_deselect_device", "korvatlib_nfc_thru", "korvatlib_nfc_set_timeout",
        "korvatlib_nfc_get_timeout", "korvatlib_nfc_set_poll_callback_parameters",
        "korvatlib_nfc_set_pnp_callback_parameters", "korvatlib_nfc_start_plug_and_play",
        "korvatlib_nfc_stop_plug_and_play", "korvatlib_nfc_get_last_error", "korvatlib_nfc_start_logging",
        "korvatlib_nfc_stop_logging"};
    std::sort(expected.begin(), expected.end());
    // Added later, at 21 on in the order they came.
    for (const char *later : {"korvatlib_nfc_set_event_queue", "korvatlib_nfc_get_next_event", "korvatlib_nfc_list_readers"}) {
        expected.push_back(later);
    }

    const uint8_t *base = reinterpret_cast<const uint8_t *>(dll.module());
    const IMAGE_DOS_HEADER *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    ASSERT_EQ(dos->e_magic, IMAGE_DOS_SIGNATURE);
    // PE32 for the x86 DLL, PE32+ for the x64 one: the headers of this process's own format.
    const IMAGE_NT_HEADERS *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    ASSERT_EQ(nt->Signature, IMAGE_NT_SIGNATURE);
    if (sizeof(void *) == 8) {
        EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
        ASSERT_EQ(nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
    } else {
        EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
        ASSERT_EQ(nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR32_MAGIC);
    }
    const IMAGE_DATA_DIRECTORY &directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    ASSERT_NE(directory.VirtualAddress, 0u);
    const IMAGE_EXPORT_DIRECTORY *exports =
        reinterpret_cast<const IMAGE_EXPORT_DIRECTORY *>(base + directory.VirtualAddress);
    EXPECT_EQ(exports->Base, 1u);
    EXPECT_EQ(exports->NumberOfFunctions, expected.size());
    ASSERT_EQ(exports->NumberOfNames, expected.size());

    const DWORD *names = reinterpret_cast<const DWORD *>(base + exports->AddressOfNames);
    const WORD *ordinals = reinterpret_cast<const WORD *>(base + exports->AddressOfNameOrdinals);
    const DWORD *functions = reinterpret_cast<const DWORD *>(base + exports->AddressOfFunctions);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        const std::string name = reinterpret_cast<const char *>(base + names[i]);
        const DWORD ordinal = exports->Base + ordinals[i];
        const auto position = std::find(expected.begin(), expected.end(), name);
        ASSERT_NE(position, expected.end()) << "unexpected export " << name;
        EXPECT_EQ(ordinal, static_cast<DWORD>(position - expected.begin()) + 1) << name;

        const DWORD rva = functions[ordinals[i]];
        EXPECT_FALSE(rva >= directory.VirtualAddress && rva < directory.VirtualAddress + directory.Size)
            << name << " is forwarded";
        const FARPROC byName = GetProcAddress(dll.module(), name.c_str());
        const FARPROC byOrdinal = GetProcAddress(dll.module(), MAKEINTRESOURCEA(ordinal));
        EXPECT_NE(byName, nullptr) << name;
        EXPECT_EQ(byOrdinal, byName) << name;
        EXPECT_EQ(reinterpret_cast<const uint8_t *>(byName), base + rva) << name;
    }
}

}  // namespace
