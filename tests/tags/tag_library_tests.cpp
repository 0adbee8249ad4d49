// korvat_nfc_tags.dll as an application uses it: linked with its import library beside the main
// DLL, driving the simulated reader's tags of every kind (identify, read, write, read back, format,
// the refusals), and building and walking NDEF messages without a tag.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "HexText.h"
#include "SimType2Tag.h"
#include "TestSupport.h"
#include "korvat_nfc.h"
#include "korvat_nfc_tags.h"
#include "sim_reader.h"

using namespace korvat_test;

namespace {

using Bytes = std::vector<uint8_t>;

const char FindName[] = "KorvatTagTests.Find";
const char EnableName[] = "KorvatTagTests.Enable";

std::pair<uint32_t, uint32_t> tagsError()
{
    uint32_t pair[2] = {0, 0};
    korvatlib_tags_get_last_error(pair);
    return {pair[0], pair[1]};
}

std::pair<uint32_t, uint32_t> nfcError()
{
    uint32_t pair[2] = {0, 0};
    korvatlib_nfc_get_last_error(pair);
    return {pair[0], pair[1]};
}

// A message made with the build calls; the records are URIs ("U:...") or texts ("T:lang:text").
Bytes buildMessage(const std::vector<std::string> &records)
{
    Bytes message(4096);
    uint32_t size = 0;
    for (const std::string &r : records) {
        const bool uri = r.compare(0, 2, "U:") == 0;
        const size_t colon = r.find(':', 2);
        const bool ok = uri ? korvatlib_tags_ndef_add_uri(message.data(), 4096, &size, r.c_str() + 2) != 0
                            : korvatlib_tags_ndef_add_text(message.data(), 4096, &size, r.substr(2, colon - 2).c_str(),
                                                           r.c_str() + colon + 1) != 0;
        EXPECT_TRUE(ok) << r << ": " << std::hex << tagsError().first;
    }
    message.resize(size);
    return message;
}

// The library opened on the simulator with one scenario, polling until the first target's access
// is enabled; everything is stopped and closed again at the end.
class SimulatedTag {
public:
    SimulatedTag(const std::string &scenario, uint32_t targetDevice) : m_Window(FindName, EnableName)
    {
        m_Registry.configureSimPort(binDirectory() + "plugins");
        writeFile(m_Scratch.file("tags.scenario"), scenario);
        m_Registry.setString(SIM_SCENARIO_VALUE_NAME, m_Scratch.file("tags.scenario"));
        if (!korvatlib_nfc_initialize()) {
            return;
        }
        m_Initialized = true;
        char port[16] = "SIM0";
        if (!korvatlib_nfc_open(port)) {
            return;
        }
        m_Open = true;
        if (!korvatlib_nfc_set_poll_callback_parameters(m_Window.handle(), FindName, EnableName) ||
            !korvatlib_nfc_start_poll_mode(targetDevice)) {
            return;
        }
        m_Polling = true;
        const DWORD start = GetTickCount();
        size_t seen = 0;
        while (!m_Ready && GetTickCount() - start < 10000) {
            m_Window.pump(50);
            for (; seen < m_Window.messages.size(); ++seen) {
                const ReceivedMessage &m = m_Window.messages[seen];
                if (m.message == m_Window.findMessage() && m.wParam == KORVAT_NFC_FIND_TARGET && record.empty()) {
                    record = m.bytes;
                } else if (m.message == m_Window.enableMessage() && m.wParam == WAITING_ACCESS_TO_TARGET) {
                    korvatlib_nfc_start_dev_access(static_cast<uint32_t>(m.lParam));
                } else if (m.message == m_Window.enableMessage() && m.wParam == ENABLE_ACCESS_TO_TARGET) {
                    m_Ready = !record.empty();
                }
            }
        }
    }
    ~SimulatedTag()
    {
        if (m_Ready) {
            korvatlib_nfc_stop_dev_access(0);
        }
        if (m_Polling) {
            korvatlib_nfc_stop_poll_mode();
        }
        if (m_Open) {
            korvatlib_nfc_close();
        }
        if (m_Initialized) {
            korvatlib_nfc_uninitialize();
        }
    }
    bool ready() const { return m_Ready; }
    uint32_t size() const { return static_cast<uint32_t>(record.size()); }

    Bytes record;

private:
    RegistryConfiguration m_Registry;
    ScratchDirectory m_Scratch{"tags"};
    MessageWindow m_Window;
    bool m_Initialized = false, m_Open = false, m_Polling = false, m_Ready = false;
};

// What korvatlib_tags_format does to a tag that holds a message.
enum class Format {
    Keeps,        // NDEF-ready already: nothing is written
    Clears,       // the message becomes an empty one
    ReadOnly,     // refused with KORVAT_TAGS_E_READ_ONLY
    Unsupported,  // refused with KORVAT_TAGS_E_UNSUPPORTED_TARGET
};

struct Kind {
    const char *what;
    uint32_t targetDevice;
    std::string card;  // the scenario's card line
    uint32_t tagType;
    size_t capacity;   // 0: not checked (the model's own figure)
    bool writable;
    Format format;
};

std::vector<Kind> kinds()
{
    return {
        {"Type 2, 144 bytes", DEVICE_TYPE_NFC_14443A_18092_106K, "card T2 0 60000 size=144 uid=04A1B2C3D4E5F6", 2,
         sim::SimType2Tag::ndefCapacity(144), true, Format::Keeps},
        {"Type 2, 504 bytes", DEVICE_TYPE_NFC_14443A_18092_106K, "card T2 0 60000 size=504 uid=04A1B2C3D4E5F7", 2,
         sim::SimType2Tag::ndefCapacity(504), true, Format::Keeps},
        {"Type 2, 888 bytes", DEVICE_TYPE_NFC_14443A_18092_106K, "card T2 0 60000 size=888 uid=04A1B2C3D4E5F8", 2,
         sim::SimType2Tag::ndefCapacity(888), true, Format::Keeps},
        // A tag without GET_VERSION that falls silent when asked it (or anything it does not know).
        {"Type 2, 144 bytes, strict", DEVICE_TYPE_NFC_14443A_18092_106K,
         "card T2 0 60000 size=144 uid=04A1B2C3D4E5F9 strict", 2, sim::SimType2Tag::ndefCapacity(144), true,
         Format::Keeps},
        {"Type 4 over ISO/IEC 14443 A", DEVICE_TYPE_NFC_14443A_18092_106K,
         "card A 0 60000 nfcid1=045A3C912B6E80 sens_res=0044 sel_res=20 ats=0578807002", 4, 0, false, Format::ReadOnly},
        {"Type 4 over ISO/IEC 14443 B", DEVICE_TYPE_NFC_14443B_106K, "card B 0 60000 atqb=501A2B3C4D0000000000718F", 4,
         0, false, Format::ReadOnly},
        {"Type 3 at 212 kbit/s", DEVICE_TYPE_NFC_18092_212K, "card F 0 60000 nfcid2=012E4C5D6E7F8091 rd=12FC", 3, 0,
         false, Format::Unsupported},
        {"Type 3 at 424 kbit/s", DEVICE_TYPE_NFC_18092_424K, "card F424 0 60000 nfcid2=012E4C5D6E7F8092", 3, 0, false,
         Format::Unsupported},
        // Writable: a Type 4 NDEF file holds NLEN (2 bytes) before the message; a Type 3 Tag has
        // whole blocks of 16 bytes.
        {"Type 4 over ISO/IEC 14443 A, writable", DEVICE_TYPE_NFC_14443A_18092_106K,
         "card A 0 60000 nfcid1=045A3C912B6E81 sens_res=0044 sel_res=20 ats=0578807002 writable ndef_size=256", 4,
         256 - 2, true, Format::Clears},
        {"Type 4 over ISO/IEC 14443 B, writable", DEVICE_TYPE_NFC_14443B_106K,
         "card B 0 60000 atqb=501A2B3C4E0000000000718F writable ndef_size=1024", 4, 1024 - 2, true, Format::Clears},
        {"Type 3 at 212 kbit/s, writable", DEVICE_TYPE_NFC_18092_212K,
         "card F 0 60000 nfcid2=012E4C5D6E7F8093 rd=12FC writable ndef_size=300", 3, 19 * 16, true,
         Format::Unsupported},
        {"Type 3 at 424 kbit/s, writable", DEVICE_TYPE_NFC_18092_424K,
         "card F424 0 60000 nfcid2=012E4C5D6E7F8094 writable ndef_size=512", 3, 512, true, Format::Unsupported},
    };
}

// A URI record's payload: the identifier code, then the rest of the URI.
Bytes withPrefix(uint8_t code, const std::string &rest)
{
    Bytes payload(1 + rest.size(), code);
    std::copy(rest.begin(), rest.end(), payload.begin() + 1);
    return payload;
}

class TagLibraryTest : public ::testing::Test {
protected:
    void SetUp() override { RegistryConfiguration::clearAll(); }
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Tags on the simulator
// ---------------------------------------------------------------------------------------------

TEST_F(TagLibraryTest, EachKindOfTagIsIdentifiedReadWrittenAndReadBack)
{
    const std::string uri = "https://example.org/tags/first";
    const Bytes written = buildMessage({"U:https://www.example.com/written", "T:fi:Kirjoitettu"});
    for (const Kind &k : kinds()) {
        SimulatedTag tag(k.card + "\nuri " + uri + "\n", k.targetDevice);
        ASSERT_TRUE(tag.ready()) << k.what << ": no access, " << std::hex << nfcError().first;

        KORVAT_TAG_INFO info;
        std::memset(&info, 0xEE, sizeof(info));
        ASSERT_TRUE(korvatlib_tags_identify(tag.record.data(), tag.size(), &info)) << k.what << std::hex << tagsError().first;
        EXPECT_EQ(info.tag_type, k.tagType) << k.what;
        EXPECT_EQ(info.ndef_present, 1) << k.what;
        EXPECT_EQ(info.writable, k.writable ? 1 : 0) << k.what;
        EXPECT_EQ(info.reserved[0] | info.reserved[1], 0) << k.what;
        if (k.capacity != 0) {
            EXPECT_EQ(info.capacity, k.capacity) << k.what;
        }

        Bytes message(1024);
        uint32_t size = 0;
        ASSERT_TRUE(korvatlib_tags_read_ndef(tag.record.data(), tag.size(), message.data(), 1024, &size))
            << k.what << std::hex << tagsError().first;
        EXPECT_EQ(size, info.message_size) << k.what;
        EXPECT_LE(size, info.capacity) << k.what;
        char text[256];
        uint32_t textSize = 0;
        ASSERT_TRUE(korvatlib_tags_ndef_get_uri(message.data(), size, 0, text, sizeof(text), &textSize)) << k.what;
        EXPECT_EQ(std::string(text, textSize), uri) << k.what;

        // The buffer too small: the size needed, in the detail and in the size out-parameter.
        uint32_t needed = 0;
        EXPECT_FALSE(korvatlib_tags_read_ndef(tag.record.data(), tag.size(), message.data(), size - 1, &needed)) << k.what;
        EXPECT_EQ(tagsError(), std::make_pair(KORVAT_TAGS_E_BUFFER_TOO_SMALL, size)) << k.what;
        EXPECT_EQ(needed, size) << k.what;

        // The tag's message as it reads now; every refusal below leaves it as it is.
        auto readBack = [&] {
            uint32_t readSize = 0;
            EXPECT_TRUE(korvatlib_tags_read_ndef(tag.record.data(), tag.size(), message.data(), 1024, &readSize))
                << k.what << std::hex << tagsError().first;
            return hex(Bytes(message.begin(), message.begin() + readSize));
        };
        auto write = [&](const Bytes &m) {
            return korvatlib_tags_write_ndef(tag.record.data(), tag.size(), m.data(), static_cast<uint32_t>(m.size())) != 0;
        };
        Bytes held(message.begin(), message.begin() + size);
        if (!k.writable) {
            EXPECT_FALSE(write(written)) << k.what;
            EXPECT_EQ(tagsError(), std::make_pair(KORVAT_TAGS_E_READ_ONLY, 0u)) << k.what;
        } else {
            ASSERT_TRUE(write(written)) << k.what << std::hex << tagsError().first;
            held = written;
            EXPECT_EQ(readBack(), hex(written)) << k.what;
            ASSERT_TRUE(korvatlib_tags_identify(tag.record.data(), tag.size(), &info)) << k.what;
            EXPECT_EQ(info.message_size, written.size()) << k.what;
            EXPECT_EQ(info.writable, 1) << k.what;

            // A message past the capacity: refused with the capacity, and the tag keeps its message.
            Bytes tooLarge(4096);
            uint32_t tooLargeSize = 0;
            const std::string filler(info.capacity, 'x');
            ASSERT_TRUE(korvatlib_tags_ndef_add_text(tooLarge.data(), 4096, &tooLargeSize, "en", filler.c_str()));
            tooLarge.resize(tooLargeSize);
            EXPECT_FALSE(write(tooLarge)) << k.what;
            EXPECT_EQ(tagsError(), std::make_pair(KORVAT_TAGS_E_TOO_LARGE, info.capacity)) << k.what;
        }
        EXPECT_EQ(readBack(), hex(held)) << k.what;

        // Format: refused, or the tag keeps its message, or it is left NDEF-ready and empty and
        // takes a message again.
        const bool formats = k.format == Format::Keeps || k.format == Format::Clears;
        EXPECT_EQ(korvatlib_tags_format(tag.record.data(), tag.size()) != 0, formats) << k.what;
        if (!formats) {
            const uint32_t refusal =
                k.format == Format::ReadOnly ? KORVAT_TAGS_E_READ_ONLY : KORVAT_TAGS_E_UNSUPPORTED_TARGET;
            EXPECT_EQ(tagsError(), std::make_pair(refusal, 0u)) << k.what;
        }
        const Bytes formatted = k.format == Format::Clears ? Bytes() : held;
        EXPECT_EQ(readBack(), hex(formatted)) << k.what;
        ASSERT_TRUE(korvatlib_tags_identify(tag.record.data(), tag.size(), &info)) << k.what;
        EXPECT_EQ(info.ndef_present, 1) << k.what;
        EXPECT_EQ(info.message_size, formatted.size()) << k.what;
        if (k.format == Format::Clears) {
            ASSERT_TRUE(write(written)) << k.what << std::hex << tagsError().first;
            EXPECT_EQ(readBack(), hex(written)) << k.what;
        }
    }
}

TEST_F(TagLibraryTest, AReadOnlyType2TagIsRefusedAndKeepsItsMessage)
{
    SimulatedTag tag("card T2 0 60000 size=144 uid=04A1B2C3D4E5F6 readonly\ntext en Locked\n",
                     DEVICE_TYPE_NFC_14443A_18092_106K);
    ASSERT_TRUE(tag.ready());
    KORVAT_TAG_INFO info;
    ASSERT_TRUE(korvatlib_tags_identify(tag.record.data(), tag.size(), &info));
    EXPECT_EQ(info.writable, 0);
    const Bytes message = buildMessage({"U:tel:1"});
    EXPECT_FALSE(korvatlib_tags_write_ndef(tag.record.data(), tag.size(), message.data(),
                                           static_cast<uint32_t>(message.size())));
    EXPECT_EQ(tagsError().first, KORVAT_TAGS_E_READ_ONLY);
    EXPECT_FALSE(korvatlib_tags_format(tag.record.data(), tag.size()));
    EXPECT_EQ(tagsError().first, KORVAT_TAGS_E_READ_ONLY);
    Bytes read(256);
    uint32_t size = 0;
    ASSERT_TRUE(korvatlib_tags_read_ndef(tag.record.data(), tag.size(), read.data(), 256, &size));
    char language[64], text[64];
    uint32_t textSize = 0;
    ASSERT_TRUE(korvatlib_tags_ndef_get_text(read.data(), size, 0, language, 64, text, 64, &textSize));
    EXPECT_STREQ(language, "en");
    EXPECT_EQ(std::string(text, textSize), "Locked");
}

// A Type 2 Tag whose NDEF TLV must go behind a reserved area: data area bytes 16 to 47, a lock
// control TLV naming bytes 24 to 39, an empty proprietary TLV, a terminator. Room for 6 bytes.
TEST_F(TagLibraryTest, AType2TagWithAReservedAreaBeforeItsFreeBytesIsFormattedAndWritten)
{
    const std::string card = "card T2 0 60000 uid=04A1B2C3D4E5FA image=E1100400" "0103608002FD00FE" +
                             std::string(48, '0') + "\n";
    const Bytes six = buildMessage({"U:tel:1"});
    ASSERT_EQ(six.size(), 6u);
    const Bytes seven = buildMessage({"U:tel:12"});
    for (const bool formatFirst : {true, false}) {
        const std::string what = formatFirst ? "formatted, then written" : "written";
        SimulatedTag tag(card, DEVICE_TYPE_NFC_14443A_18092_106K);
        ASSERT_TRUE(tag.ready()) << what << ": no access, " << std::hex << nfcError().first;
        KORVAT_TAG_INFO info;
        // No NDEF TLV yet: initialised (a capability container) and empty, with room for 6 bytes.
        ASSERT_TRUE(korvatlib_tags_identify(tag.record.data(), tag.size(), &info)) << what << std::hex << tagsError().first;
        EXPECT_EQ(info.ndef_present, 1) << what;
        EXPECT_EQ(info.capacity, 6u) << what;
        EXPECT_EQ(info.message_size, 0u) << what;
        if (formatFirst) {
            ASSERT_TRUE(korvatlib_tags_format(tag.record.data(), tag.size())) << what << std::hex << tagsError().first;
            uint32_t size = 99;
            ASSERT_TRUE(korvatlib_tags_read_ndef(tag.record.data(), tag.size(), nullptr, 0, &size)) << what;
            EXPECT_EQ(size, 0u) << what;
        }
        EXPECT_FALSE(korvatlib_tags_write_ndef(tag.record.data(), tag.size(), seven.data(),
                                               static_cast<uint32_t>(seven.size())))
            << what;
        EXPECT_EQ(tagsError(), std::make_pair(KORVAT_TAGS_E_TOO_LARGE, 6u)) << what;
        ASSERT_TRUE(korvatlib_tags_write_ndef(tag.record.data(), tag.size(), six.data(), static_cast<uint32_t>(six.size())))
            << what << std::hex << tagsError().first;
        Bytes read(64);
        uint32_t size = 0;
        ASSERT_TRUE(korvatlib_tags_read_ndef(tag.record.data(), tag.size(), read.data(), 64, &size)) << what;
        EXPECT_EQ(hex(Bytes(read.begin(), read.begin() + size)), hex(six)) << what;
        ASSERT_TRUE(korvatlib_tags_identify(tag.record.data(), tag.size(), &info)) << what;
        EXPECT_EQ(info.capacity, 6u) << what;
        EXPECT_EQ(info.message_size, 6u) << what;
    }
}

TEST_F(TagLibraryTest, AFailedExchangeGivesTheMainLibrarysErrorPairUnchanged)
{
    SimulatedTag tag("card A 0 60000 nfcid1=045A3C912B6E80 ats=0578807002\nuri tel:1\n", DEVICE_TYPE_NFC_14443A_18092_106K);
    ASSERT_TRUE(tag.ready());
    ASSERT_TRUE(korvatlib_nfc_stop_dev_access(1));  // access ends: thru fails
    KORVAT_TAG_INFO info;
    EXPECT_FALSE(korvatlib_tags_identify(tag.record.data(), tag.size(), &info));
    const auto pair = tagsError();
    EXPECT_EQ(pair, nfcError());
    EXPECT_NE(pair.first, 0u);
    EXPECT_NE(pair.first & 0xFFFFFF00u, 0x80C00200u) << std::hex << pair.first;
}

TEST_F(TagLibraryTest, RecordsThatAreMalformedOrOfNoTagKindAreRefusedBeforeAnyCommand)
{
    Bytes typeA(23, 0);
    typeA[0] = DEVICE_TYPE_NFC_14443A_18092_106K;
    typeA[11] = 7;
    struct Case {
        const char *what;
        Bytes record;
        uint32_t code;
    } cases[] = {
        {"type A cut in its fixed part", Bytes(typeA.begin(), typeA.end() - 1), KORVAT_TAGS_E_INVALID_ARGUMENT},
        {"type A announcing an ATS it does not have", [&] { Bytes r = typeA; r[22] = 5; return r; }(),
         KORVAT_TAGS_E_INVALID_ARGUMENT},
        {"target_device 16", [&] { Bytes r = typeA; r[0] = 16; return r; }(), KORVAT_TAGS_E_UNSUPPORTED_TARGET},
        {"empty", {}, KORVAT_TAGS_E_INVALID_ARGUMENT},
    };
    for (const Case &c : cases) {
        KORVAT_TAG_INFO info;
        uint32_t size = 0;
        EXPECT_FALSE(korvatlib_tags_identify(c.record.data(), static_cast<uint32_t>(c.record.size()), &info)) << c.what;
        EXPECT_EQ(tagsError(), std::make_pair(c.code, 0u)) << c.what;
        EXPECT_FALSE(korvatlib_tags_read_ndef(c.record.data(), static_cast<uint32_t>(c.record.size()), nullptr, 0, &size))
            << c.what;
        EXPECT_EQ(tagsError(), std::make_pair(c.code, 0u)) << c.what;
    }
    EXPECT_FALSE(korvatlib_tags_identify(typeA.data(), 23, nullptr));
    EXPECT_EQ(tagsError(), std::make_pair(KORVAT_TAGS_E_INVALID_ARGUMENT, 0u));
}

TEST_F(TagLibraryTest, TheMainDllIsTakenFromTheTagLibrarysOwnDirectoryOrReportedMissing)
{
    for (const char *mode : {"absent", "beside"}) {
        ScratchDirectory directory(std::string("tags_alone_") + mode);
        const std::string dll = directory.file("korvat_nfc_tags.dll");
        ASSERT_TRUE(CopyFileA((binDirectory() + "korvat_nfc_tags.dll").c_str(), dll.c_str(), FALSE));
        if (std::string(mode) == "beside") {
            ASSERT_TRUE(CopyFileA((binDirectory() + "korvat_nfc_library_for_vb.dll").c_str(),
                                  directory.file("korvat_nfc_library_for_vb.dll").c_str(), FALSE));
        }
        const ChildRun run = runChildProcess(
            "\"" + binDirectory() + "tags_without_main_library.exe\" \"" + dll + "\" " + mode, 30000);
        ASSERT_TRUE(run.started && run.ended) << mode;
        EXPECT_EQ(run.exitCode, 0u) << mode << ": the child prints what differed";
    }
}

// A tag call holds the main DLL for the call only: an application that initialised the library,
// opened a port, made a tag call and freed both DLLs has them unloaded (the port closed by the
// main DLL's unload), and the main DLL it loads next is a fresh one (the child checks).
TEST_F(TagLibraryTest, AfterATagCallFreeingBothDllsUnloadsTheMainDllAndTheNextLoadIsFresh)
{
    RegistryConfiguration registry;
    registry.configureSimPort(binDirectory() + "plugins");
    const ChildRun run =
        runChildProcess("\"" + binDirectory() + "tag_call_then_reload.exe\" \"" + binDirectory() + ".\" direct", 60000);
    ASSERT_TRUE(run.started && run.ended);
    EXPECT_EQ(run.exitCode, 0u) << "the child prints what differed";
}

// ---------------------------------------------------------------------------------------------
// Building and walking messages
// ---------------------------------------------------------------------------------------------

TEST_F(TagLibraryTest, MessagesAreBuiltRecordByRecordAndWalkedBack)
{
    uint8_t message[1024];
    uint32_t size = 0;
    const std::string longText(300, 'L');  // a record without the short record flag
    const uint8_t png[] = {0x89, 'P', 'N', 'G'};
    ASSERT_TRUE(korvatlib_tags_ndef_add_uri(message, sizeof(message), &size, "https://www.example.com/x"));
    ASSERT_TRUE(korvatlib_tags_ndef_add_text(message, sizeof(message), &size, "pt-BR", longText.c_str()));
    ASSERT_TRUE(korvatlib_tags_ndef_add_mime(message, sizeof(message), &size, "image/png", png, sizeof(png)));
    // The flags: message begin on the first record only, message end on the last only.
    EXPECT_EQ(message[0] & 0xC0, 0x80);
    uint32_t count = 0;
    ASSERT_TRUE(korvatlib_tags_ndef_record_count(message, size, &count));
    ASSERT_EQ(count, 3u);

    struct Expected {
        uint8_t tnf;
        std::string type;
        std::string uri;       // empty: not a URI record
        std::string language;  // empty: not a Text record
        std::string text;
        Bytes payload;         // checked when not empty
    } expected[] = {
        {KORVAT_NDEF_TNF_WELL_KNOWN, "U", "https://www.example.com/x", "", "", withPrefix(0x02, "example.com/x")},
        {KORVAT_NDEF_TNF_WELL_KNOWN, "T", "", "pt-BR", longText, {}},
        {KORVAT_NDEF_TNF_MEDIA, "image/png", "", "", "", Bytes(png, png + 4)},
    };
    for (uint32_t i = 0; i < count; ++i) {
        const Expected &e = expected[i];
        KORVAT_NDEF_RECORD record;
        uint8_t payload[512];
        ASSERT_TRUE(korvatlib_tags_ndef_get_record(message, size, i, &record, payload, sizeof(payload))) << i;
        EXPECT_EQ(record.tnf, e.tnf) << i;
        EXPECT_EQ(std::string(reinterpret_cast<char *>(record.type), record.type_size), e.type) << i;
        EXPECT_EQ(record.id_size, 0) << i;
        EXPECT_EQ(record.chunk_count, 1u) << i;
        if (!e.payload.empty()) {
            EXPECT_EQ(hex(Bytes(payload, payload + record.payload_size)), hex(e.payload)) << i;
        }
        char uri[64];
        uint32_t uriSize = 0;
        EXPECT_EQ(korvatlib_tags_ndef_get_uri(message, size, i, uri, sizeof(uri), &uriSize) != 0, !e.uri.empty()) << i;
        if (e.uri.empty()) {
            EXPECT_EQ(tagsError(), std::make_pair(KORVAT_TAGS_E_WRONG_RECORD_TYPE, 0u)) << i;
        } else {
            EXPECT_EQ(std::string(uri, uriSize), e.uri) << i;
        }
        char language[64], text[512];
        uint32_t textSize = 0;
        EXPECT_EQ(korvatlib_tags_ndef_get_text(message, size, i, language, 64, text, sizeof(text), &textSize) != 0,
                  !e.language.empty())
            << i;
        if (!e.language.empty()) {
            EXPECT_STREQ(language, e.language.c_str()) << i;
            EXPECT_EQ(std::string(text, textSize), e.text) << i;
        }
    }
}

TEST_F(TagLibraryTest, WalkingRefusesWhatIsNotThereAndTellsTheSizesThatAreNeeded)
{
    uint8_t message[64];
    uint32_t size = 0;
    ASSERT_TRUE(korvatlib_tags_ndef_add_uri(message, sizeof(message), &size, "tel:+358401234567"));
    // A chunked record of two chunks reads as one record with the payloads joined.
    const Bytes chunked = unhex("B500024142" "56000143");  // MB CF SR TNF 5 "AB", then ME SR TNF 6 "C"
    const Bytes invalid = unhex("D101FF55");                 // a payload past the end
    KORVAT_NDEF_RECORD record;
    uint8_t payload[8];
    ASSERT_TRUE(korvatlib_tags_ndef_get_record(chunked.data(), static_cast<uint32_t>(chunked.size()), 0, &record, payload,
                                               sizeof(payload)));
    EXPECT_EQ(record.chunk_count, 2u);
    EXPECT_EQ(hex(Bytes(payload, payload + record.payload_size)), "414243");

    struct Case {
        const char *what;
        std::function<KORVAT_NFC_BOOL()> call;
        std::pair<uint32_t, uint32_t> error;
    } cases[] = {
        {"a payload buffer one byte short",
         [&] { return korvatlib_tags_ndef_get_record(chunked.data(), 9, 0, &record, payload, 2); },
         {KORVAT_TAGS_E_BUFFER_TOO_SMALL, 3}},
        {"a URI buffer without room for the NUL",
         [&] {
             char uri[17];
             uint32_t uriSize = 0;
             return korvatlib_tags_ndef_get_uri(message, size, 0, uri, sizeof(uri), &uriSize);
         },
         {KORVAT_TAGS_E_BUFFER_TOO_SMALL, 18}},
        {"no record 1", [&] { uint32_t n; return korvatlib_tags_ndef_get_uri(message, size, 1, nullptr, 0, &n); },
         {KORVAT_TAGS_E_NO_SUCH_RECORD, 0}},
        {"an invalid message: the offset of the fault",
         [&] { uint32_t n; return korvatlib_tags_ndef_record_count(invalid.data(), 4, &n); }, {KORVAT_TAGS_E_INVALID_NDEF, 0}},
        {"bytes after the message end", [&] { uint32_t n; return korvatlib_tags_ndef_record_count(message, size + 1, &n); },
         {KORVAT_TAGS_E_INVALID_NDEF, size}},
        {"an empty message", [&] { uint32_t n; return korvatlib_tags_ndef_record_count(message, 0, &n); },
         {KORVAT_TAGS_E_INVALID_NDEF, 0}},
        {"appending to an invalid message",
         [&] {
             uint8_t copy[64];
             std::memcpy(copy, invalid.data(), 4);
             uint32_t n = 4;
             return korvatlib_tags_ndef_add_uri(copy, sizeof(copy), &n, "tel:1");
         },
         {KORVAT_TAGS_E_INVALID_NDEF, 0}},
        {"appending past the capacity",
         [&] {
             uint32_t n = size;
             const KORVAT_NFC_BOOL ok = korvatlib_tags_ndef_add_uri(message, size + 3, &n, "tel:1");
             return static_cast<KORVAT_NFC_BOOL>(ok || n != size);  // the size stays as it was
         },
         {KORVAT_TAGS_E_BUFFER_TOO_SMALL, size + 5 + 1}},
        {"a language the builder refuses",
         [&] {
             uint32_t n = 0;
             uint8_t m[64];
             return korvatlib_tags_ndef_add_text(m, sizeof(m), &n, "e n", "x");
         },
         {KORVAT_TAGS_E_INVALID_ARGUMENT, 0}},
        {"a URI that is not UTF-8 (a code page's bytes)",
         [&] {
             uint32_t n = 0;
             uint8_t m[64];
             return korvatlib_tags_ndef_add_uri(m, sizeof(m), &n, "https://example.com/caf\xE9");
         },
         {KORVAT_TAGS_E_INVALID_ARGUMENT, 0}},
        {"a chunked empty record",
         [&] {
             const uint8_t chunked[] = {0xB0, 0x00, 0x00, 0x56, 0x00, 0x01, 0x41};
             uint32_t n;
             return korvatlib_tags_ndef_record_count(chunked, sizeof(chunked), &n);
         },
         {KORVAT_TAGS_E_INVALID_NDEF, 0}},
    };
    for (const Case &c : cases) {
        EXPECT_FALSE(c.call()) << c.what;
        EXPECT_EQ(tagsError(), c.error) << c.what;
    }
}
