// korvat_nfc_stdcall.dll as 32-bit VBA and VB6 call it: each export looked up by name and called
// through the stack probe (StdcallProbe), which fails a call that does not remove its own
// arguments. The road of one target on the simulated reader goes through every wrapper; the
// errors come back through the wrappers of the two get_last_error functions.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "StdcallProbe.h"
#include "TestSupport.h"
#include "korvat_nfc.h"
#include "korvat_nfc_tags.h"
#include "sim_reader.h"

using namespace korvat_test;

namespace {

using Bytes = std::vector<uint8_t>;

const char FindName[] = "KorvatStdcallTests.Find";
const char EnableName[] = "KorvatStdcallTests.Enable";
const std::string CompanionName = "korvat_nfc_stdcall.dll";

using Pair = std::pair<uint32_t, uint32_t>;

class Dll {
public:
    explicit Dll(const std::string &path) : m_Module(LoadLibraryA(path.c_str())) {}
    ~Dll()
    {
        if (m_Module != nullptr) {
            FreeLibrary(m_Module);
        }
    }
    bool loaded() const { return m_Module != nullptr; }

    // Calls the export `name`, which must remove its arguments from the stack as __stdcall does.
    template <class... Arguments>
    uint8_t call(const char *name, Arguments... arguments)
    {
        const FARPROC function = GetProcAddress(m_Module, name);
        EXPECT_NE(function, nullptr) << name << " is not exported";
        if (function == nullptr) {
            return 0;
        }
        const ProbedCall probed = probe(function, arguments...);
        EXPECT_EQ(probed.stackChange, 0) << name << " changed the stack pointer by " << probed.stackChange
                                         << " bytes: it is not __stdcall";
        return probed.result;
    }
    Pair nfcError() { return lastError("korvatlib_nfc_get_last_error"); }
    Pair tagsError() { return lastError("korvatlib_tags_get_last_error"); }

    Dll(const Dll &) = delete;
    Dll &operator=(const Dll &) = delete;

private:
    Pair lastError(const char *name)
    {
        uint32_t pair[2] = {0xEEEEEEEE, 0xEEEEEEEE};
        EXPECT_EQ(call(name, pair), 1) << name;
        return {pair[0], pair[1]};
    }
    HMODULE m_Module;
};

std::string text(const char *buffer, uint32_t size) { return std::string(buffer, size); }

class StdcallCompanionTest : public ::testing::Test {
protected:
    void SetUp() override { RegistryConfiguration::clearAll(); }
};

}  // namespace

// The probe itself: it must tell a cdecl export (the main DLL's) from a stdcall one, or the other
// tests would pass whatever the companion's convention.
TEST_F(StdcallCompanionTest, ProbeTellsCdeclExportsFromStdcallOnes)
{
    Dll companion(binDirectory() + CompanionName);
    ASSERT_TRUE(companion.loaded()) << GetLastError();
    const HMODULE main = GetModuleHandleA("korvat_nfc_library_for_vb.dll");
    HMODULE mainHeld = main != nullptr ? main : LoadLibraryA((binDirectory() + "korvat_nfc_library_for_vb.dll").c_str());
    ASSERT_NE(mainHeld, nullptr);
    uint32_t pair[2] = {0, 0};
    uint8_t response[8];
    uint16_t responseLength = sizeof(response);
    const uint8_t command[] = {0x30, 0x00};
    struct Case {
        const char *name;
        std::vector<uint32_t> arguments;
    } cases[] = {
        {"korvatlib_nfc_get_last_error", {argumentWord(pair)}},
        {"korvatlib_nfc_thru",
         {argumentWord(command), 2u, argumentWord(response), argumentWord(&responseLength)}},
        {"korvatlib_nfc_start_poll_mode", {DEVICE_TYPE_NFC_14443A_18092_106K}},
    };
    for (const Case &c : cases) {
        const ProbedCall original = callMeasuringStack(GetProcAddress(mainHeld, c.name), c.arguments);
        EXPECT_EQ(original.stackChange, -4 * static_cast<int32_t>(c.arguments.size())) << c.name << " of the main DLL";
        const FARPROC wrapper = GetProcAddress(GetModuleHandleA(CompanionName.c_str()), c.name);
        ASSERT_NE(wrapper, nullptr) << c.name;
        const ProbedCall wrapped = callMeasuringStack(wrapper, c.arguments);
        EXPECT_EQ(wrapped.stackChange, 0) << c.name << " of the companion";
        EXPECT_EQ(wrapped.result, original.result) << c.name << ": the wrapper answers as the original";
    }
    if (main == nullptr) {
        FreeLibrary(mainHeld);
    }
}

// initialise, open the first port, poll, the find and enable messages, device access, thru,
// select/deselect, the tag library's calls on the tag found, logging, stop, close, uninitialise,
// and the errors on the way: every export of the companion once at least, each one balanced.
TEST_F(StdcallCompanionTest, TheRoadOfOneTagGoesThroughEveryWrapper)
{
    RegistryConfiguration registry;
    registry.configureSimPort(binDirectory() + "plugins");
    ScratchDirectory scratch("stdcall_companion");
    writeFile(scratch.file("companion.scenario"),
              "card T2 0 60000 size=144 uid=04A1B2C3D4E5F6\nuri https://example.org/stdcall\n");
    registry.setString(SIM_SCENARIO_VALUE_NAME, scratch.file("companion.scenario"));
    MessageWindow window(FindName, EnableName);

    Dll nfc(binDirectory() + CompanionName);
    ASSERT_TRUE(nfc.loaded()) << GetLastError();

    // Errors before anything is set up, through the plug-and-play and logging wrappers.
    EXPECT_EQ(nfc.call("korvatlib_nfc_open", nullptr), 0);
    EXPECT_EQ(nfc.nfcError(), Pair(KORVAT_NFC_E_NOT_INITIALIZED, 0));
    const struct {
        const char *name;
        uint32_t error;
    } refusals[] = {{"korvatlib_nfc_start_plug_and_play", KORVAT_NFC_E_NOT_IMPLEMENTED},
                    {"korvatlib_nfc_stop_plug_and_play", KORVAT_NFC_E_NOT_IMPLEMENTED}};
    for (const auto &r : refusals) {
        EXPECT_EQ(nfc.call(r.name), 0) << r.name;
        EXPECT_EQ(nfc.nfcError(), Pair(r.error, 0)) << r.name;
    }
    EXPECT_EQ(nfc.call("korvatlib_nfc_set_pnp_callback_parameters", window.handle(), FindName, EnableName), 0);
    EXPECT_EQ(nfc.nfcError(), Pair(KORVAT_NFC_E_NOT_IMPLEMENTED, 0));
    EXPECT_EQ(nfc.call("korvatlib_nfc_start_logging", "relative.log"), 0);
    EXPECT_EQ(nfc.nfcError(), Pair(KORVAT_NFC_E_LOG_RELATIVE_PATH, 0));
    const std::string logFile = scratch.file("normal.log");
    ASSERT_EQ(nfc.call("korvatlib_nfc_start_logging", logFile.c_str()), 1) << std::hex << nfc.nfcError().first;

    ASSERT_EQ(nfc.call("korvatlib_nfc_initialize"), 1) << std::hex << nfc.nfcError().first;
    // The exports after the twenty: the queue on, and the readers listed (whatever the plug-in
    // lists, eight records hold it).
    EXPECT_EQ(nfc.call("korvatlib_nfc_set_event_queue", 2u), 0);
    EXPECT_EQ(nfc.nfcError(), Pair(KORVAT_NFC_E_INVALID_ARGUMENT, 0));
    ASSERT_EQ(nfc.call("korvatlib_nfc_set_event_queue", 1u), 1);
    KORVAT_NFC_READER_RECORD readers[8];
    uint32_t readerCount = 99;
    EXPECT_EQ(nfc.call("korvatlib_nfc_list_readers", readers, 8u, &readerCount), 1) << std::hex << nfc.nfcError().first;
    EXPECT_LE(readerCount, 8u);
    char port[16] = {0};
    ASSERT_EQ(nfc.call("korvatlib_nfc_open", port), 1) << std::hex << nfc.nfcError().first;
    EXPECT_STREQ(port, "SIM0") << "the first configured port's name is written back";
    int32_t timeout = 0;
    EXPECT_EQ(nfc.call("korvatlib_nfc_set_timeout", 2500), 1);
    EXPECT_EQ(nfc.call("korvatlib_nfc_get_timeout", &timeout), 1);
    EXPECT_EQ(timeout, 2500);
    ASSERT_EQ(nfc.call("korvatlib_nfc_set_poll_callback_parameters", window.handle(), FindName, EnableName), 1);
    ASSERT_EQ(nfc.call("korvatlib_nfc_start_poll_mode", DEVICE_TYPE_NFC_14443A_18092_106K), 1);

    Bytes record;
    bool enabled = false;
    const DWORD start = GetTickCount();
    for (size_t seen = 0; !enabled && GetTickCount() - start < 10000;) {
        window.pump(50);
        for (; seen < window.messages.size(); ++seen) {
            const ReceivedMessage &m = window.messages[seen];
            if (m.message == window.findMessage() && m.wParam == KORVAT_NFC_FIND_TARGET && record.empty()) {
                record = m.bytes;
            } else if (m.message == window.enableMessage() && m.wParam == WAITING_ACCESS_TO_TARGET) {
                EXPECT_EQ(nfc.call("korvatlib_nfc_start_dev_access", static_cast<uint32_t>(m.lParam)), 1);
            } else if (m.message == window.enableMessage() && m.wParam == ENABLE_ACCESS_TO_TARGET) {
                enabled = !record.empty();
            }
        }
    }
    ASSERT_TRUE(enabled) << "no access to the tag within 10 s";
    // The queue holds what the messages carried, the first find among them.
    KORVAT_NFC_EVENT event;
    event.kind = 0;
    while (event.kind != KORVAT_NFC_EVENT_TARGET_FOUND) {
        ASSERT_EQ(nfc.call("korvatlib_nfc_get_next_event", &event, 0u), 1) << std::hex << nfc.nfcError().first;
    }
    EXPECT_EQ(Bytes(event.data, event.data + event.data_size), record);
    ASSERT_GE(record.size(), 23u);
    EXPECT_EQ(record[0], DEVICE_TYPE_NFC_14443A_18092_106K);
    EXPECT_EQ(record[11], 7) << "NFCID1_size";
    EXPECT_EQ(Bytes(record.begin() + 12, record.begin() + 19), Bytes({0x04, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6}));

    // thru: READ of page 0 gives the UID's first three bytes; a halted card answers nothing.
    const uint8_t read0[] = {0x30, 0x00};
    uint8_t response[64];
    uint16_t responseLength = sizeof(response);
    ASSERT_EQ(nfc.call("korvatlib_nfc_thru", read0, 2, response, &responseLength), 1)
        << std::hex << nfc.nfcError().first;
    ASSERT_EQ(responseLength, 16);
    EXPECT_EQ(Bytes(response, response + 3), Bytes({0x04, 0xA1, 0xB2}));
    EXPECT_EQ(nfc.call("korvatlib_nfc_thru", read0, 0, response, &responseLength), 0);
    EXPECT_EQ(nfc.nfcError(), Pair(KORVAT_NFC_E_INVALID_ARGUMENT, 0)) << "a zero command length";
    EXPECT_EQ(nfc.call("korvatlib_nfc_deselect_device"), 1);
    responseLength = sizeof(response);
    EXPECT_EQ(nfc.call("korvatlib_nfc_thru", read0, 2, response, &responseLength), 0);
    EXPECT_EQ(nfc.nfcError().first, SIM_E_NO_RESPONSE) << "the halted card answered";
    EXPECT_EQ(nfc.call("korvatlib_nfc_select_device"), 1);

    // The tag library through the same companion.
    const uint32_t recordSize = static_cast<uint32_t>(record.size());
    KORVAT_TAG_INFO info;
    std::memset(&info, 0xEE, sizeof(info));
    ASSERT_EQ(nfc.call("korvatlib_tags_identify", record.data(), recordSize, &info), 1)
        << std::hex << nfc.tagsError().first;
    EXPECT_EQ(info.tag_type, KORVAT_TAG_TYPE_2);
    EXPECT_EQ(info.ndef_present, 1);
    EXPECT_EQ(info.writable, 1);
    EXPECT_EQ(nfc.call("korvatlib_tags_format", record.data(), recordSize), 1) << "an NDEF-ready tag keeps its message";
    Bytes message(1024);
    uint32_t messageSize = 0;
    ASSERT_EQ(nfc.call("korvatlib_tags_read_ndef", record.data(), recordSize, message.data(), 1024u, &messageSize), 1)
        << std::hex << nfc.tagsError().first;
    char uri[128];
    uint32_t uriSize = 0;
    ASSERT_EQ(nfc.call("korvatlib_tags_ndef_get_uri", message.data(), messageSize, 0u, uri, 128u, &uriSize), 1);
    EXPECT_EQ(text(uri, uriSize), "https://example.org/stdcall");
    EXPECT_EQ(nfc.call("korvatlib_tags_ndef_get_uri", message.data(), messageSize, 3u, uri, 128u, &uriSize), 0);
    EXPECT_EQ(nfc.tagsError(), Pair(KORVAT_TAGS_E_NO_SUCH_RECORD, 0));

    // A new message of three records, written and read back.
    Bytes written(256);
    uint32_t writtenSize = 0;
    const uint8_t payload[] = {1, 2, 3};
    ASSERT_EQ(nfc.call("korvatlib_tags_ndef_add_uri", written.data(), 256u, &writtenSize, "tel:+358401234567"), 1);
    ASSERT_EQ(nfc.call("korvatlib_tags_ndef_add_text", written.data(), 256u, &writtenSize, "fi", "Hei VB"), 1);
    ASSERT_EQ(nfc.call("korvatlib_tags_ndef_add_mime", written.data(), 256u, &writtenSize, "application/x-vb", payload,
                       3u), 1);
    uint32_t tooSmall = 0;
    EXPECT_EQ(nfc.call("korvatlib_tags_ndef_add_uri", written.data(), 4u, &tooSmall, "https://example.org/"), 0);
    EXPECT_EQ(nfc.tagsError().first, KORVAT_TAGS_E_BUFFER_TOO_SMALL);
    ASSERT_EQ(nfc.call("korvatlib_tags_write_ndef", record.data(), recordSize, written.data(), writtenSize), 1)
        << std::hex << nfc.tagsError().first;
    ASSERT_EQ(nfc.call("korvatlib_tags_read_ndef", record.data(), recordSize, message.data(), 1024u, &messageSize), 1);
    EXPECT_EQ(Bytes(message.begin(), message.begin() + messageSize), Bytes(written.begin(), written.begin() + writtenSize));
    uint32_t count = 0;
    ASSERT_EQ(nfc.call("korvatlib_tags_ndef_record_count", message.data(), messageSize, &count), 1);
    EXPECT_EQ(count, 3u);
    char language[64], textBuffer[64];
    uint32_t textSize = 0;
    ASSERT_EQ(nfc.call("korvatlib_tags_ndef_get_text", message.data(), messageSize, 1u, language, 64u, textBuffer, 64u,
                       &textSize), 1);
    EXPECT_STREQ(language, "fi");
    EXPECT_EQ(text(textBuffer, textSize), "Hei VB");
    KORVAT_NDEF_RECORD ndefRecord;
    uint8_t mimePayload[8];
    ASSERT_EQ(nfc.call("korvatlib_tags_ndef_get_record", message.data(), messageSize, 2u, &ndefRecord, mimePayload, 8u),
              1);
    EXPECT_EQ(ndefRecord.tnf, KORVAT_NDEF_TNF_MEDIA);
    EXPECT_EQ(text(reinterpret_cast<const char *>(ndefRecord.type), ndefRecord.type_size), "application/x-vb");
    EXPECT_EQ(Bytes(mimePayload, mimePayload + ndefRecord.payload_size), Bytes(payload, payload + 3));

    EXPECT_EQ(nfc.call("korvatlib_nfc_stop_dev_access", 7u), 0);
    EXPECT_EQ(nfc.nfcError(), Pair(KORVAT_NFC_E_INVALID_ARGUMENT, 0)) << "stop_mode 7";
    EXPECT_EQ(nfc.call("korvatlib_nfc_stop_dev_access", 0u), 1);
    EXPECT_EQ(nfc.call("korvatlib_nfc_stop_poll_mode"), 1);
    EXPECT_EQ(nfc.call("korvatlib_nfc_close"), 1);
    EXPECT_EQ(nfc.call("korvatlib_nfc_uninitialize"), 1);
    EXPECT_EQ(nfc.call("korvatlib_nfc_stop_logging"), 1);
    EXPECT_NE(readFile(logFile).find("korvatlib_nfc_thru"), std::string::npos)
        << "the normal log traces the calls the wrappers forwarded";
}

// A companion without its two DLLs beside it, in a process that has not loaded them: every call
// fails, balanced, and both get_last_error wrappers say which DLL is missing (the child checks).
TEST_F(StdcallCompanionTest, ACompanionWithoutItsDllsSaysSo)
{
    ScratchDirectory alone("stdcall_alone");
    ASSERT_TRUE(CopyFileA((binDirectory() + CompanionName).c_str(), alone.file(CompanionName).c_str(), FALSE));
    const ChildRun run = runChildProcess(
        "\"" + binDirectory() + "stdcall_companion_alone.exe\" \"" + alone.file(CompanionName) + "\"", 30000);
    ASSERT_TRUE(run.started && run.ended);
    EXPECT_EQ(run.exitCode, 0u) << "the child prints what differed";
}

