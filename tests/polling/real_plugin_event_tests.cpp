// The event modes through the DLL with the shipped readers rather than the test plug-in: the
// simulator (cards on its scenario's schedule) and the PN532 plug-in against the PN532 emulator on
// a COM port of the prefix (run through tests/pn532/pn532_with_emulators.sh). A card arrives,
// stays, leaves, and a card with the same identifier arrives again; what the window gets, and the
// queue when it is on, is checked in the default mode and with event_notification = 1.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "HexText.h"
#include "EventText.h"
#include "TestSupport.h"
#include "korvat_nfc_plugin.h"
#include "sim_reader.h"

using namespace korvat_test;

namespace {

using Bytes = std::vector<uint8_t>;

const char FindName[] = "korvat.realevents.find";
const char EnableName[] = "korvat.realevents.enable";

// Both readers play the same visits: in the field from 300 to 2100 ms after the start of poll mode
// (the PN532 emulator: of the session), then, 700 ms later, the same card again for good.
const char CardLine[] = "nfcid1=04A1A2A3A4A5A6 sel_res=20 ats=0578807002";
const Bytes Nfcid1 = {0x04, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6};

uint32_t word(const Bytes &bytes, size_t offset)
{
    uint32_t value = 0;
    if (bytes.size() >= offset + 4) {
        std::memcpy(&value, &bytes[offset], 4);
    }
    return value;
}

// A target record: "found <number> <kind> <identifier>", the identifier as long as the record says.
std::string describeTarget(const Bytes &record)
{
    if (record.size() < 12 || record.size() < 12u + record[11]) {
        return "found (short record)";
    }
    return "found " + hex32(word(record, 4)) + " kind " + std::to_string(record[0]) + " " +
           hex(Bytes(record.begin() + 12, record.begin() + 12 + record[11]));
}

std::string describe(const MessageWindow &window, const ReceivedMessage &m)
{
    return describeMessage(window, m, describeTarget);
}

std::string describe(const KORVAT_NFC_EVENT &e)
{
    return describeEvent(e, describeTarget);
}

// The emulated ports of the wrapper script, in its order; empty when run without it.
std::string emulatedPort(size_t index)
{
    const char *list = std::getenv("KORVAT_PN532_EMULATED_PORTS");
    std::string rest = list ? list : "";
    for (size_t i = 0; !rest.empty(); ++i) {
        const size_t comma = rest.find(',');
        if (i == index) {
            return rest.substr(0, comma);
        }
        rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
    }
    return "";
}

struct Reader {
    const char *what;
    const char *pluginDirectory;  // under the test binaries
    const char *category;
    bool emulated;                // the PN532 emulator's port (index 16 of the wrapper), else SIM0
    // How the default mode reports the departure ("" when not at all): the simulator's card is
    // simply gone without a status event, the PN532's departure is its card error.
    std::string defaultDeparture;
};

struct Mode {
    const char *what;
    bool notification;  // event_notification = 1
    bool queue;         // the event queue on
};

class RealPluginEvents : public ::testing::Test {
protected:
    // Loads the DLL for `reader` in `mode`, opens its port and starts poll mode for type A.
    void start(const Reader &reader, const Mode &mode)
    {
        registry.reset();
        registry.reset(new RegistryConfiguration);
        registry->setString("plugins_home_directory", binDirectory() + reader.pluginDirectory);
        registry->setString("category_name_list", reader.category);
        std::string port = "SIM0";
        if (reader.emulated) {
            port = emulatedPort(16);
            ASSERT_FALSE(port.empty()) << "no PN532 emulator: run through tests/pn532/pn532_with_emulators.sh";
        } else {
            writeFile(scratch.file("visits.scenario"), std::string("card A 300 2100 ") + CardLine + "\ncard A 2800 600000 " +
                                                           CardLine + "\n");
            registry->setString(SIM_SCENARIO_VALUE_NAME, scratch.file("visits.scenario"));
        }
        registry->setString("port_name_list", port);
        if (mode.notification) {
            const uint32_t one = 1;
            registry->setBinary("event_notification", &one, sizeof(one), REG_DWORD);
        }
        dll.reset(new KorvatDll);
        ASSERT_TRUE(dll->loaded());
        ASSERT_TRUE(dll->initialize()) << std::hex << dll->lastError().first;
        if (mode.queue) {
            ASSERT_TRUE(dll->set_event_queue(1));
        }
        ASSERT_TRUE(dll->set_poll_callback_parameters(window.handle(), FindName, EnableName));
        std::vector<char> name(port.begin(), port.end());
        name.push_back('\0');
        ASSERT_TRUE(dll->open(name.data())) << std::hex << dll->lastError().first;
        ASSERT_TRUE(dll->start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K)) << std::hex << dll->lastError().first;
    }

    void TearDown() override
    {
        if (dll && dll->loaded()) {
            dll->stop_poll_mode();
            dll->close();
            dll->uninitialize();
        }
        dll.reset();
        registry.reset();
    }

    // Pumps until a find message names a target other than `other` (0: any target); its index.
    bool pumpForTarget(uint32_t other, DWORD limitMs, size_t &index)
    {
        size_t from = 0;
        const DWORD begun = GetTickCount();
        while (window.pumpForFind(KORVAT_NFC_FIND_TARGET, from, limitMs, index)) {
            if (word(window.messages[index].bytes, 4) != other) {
                return true;
            }
            from = index + 1;
            if (GetTickCount() - begun >= limitMs) {
                break;
            }
        }
        return false;
    }

    std::vector<std::string> windowEvents() const
    {
        std::vector<std::string> list;
        for (const ReceivedMessage &m : window.messages) {
            list.push_back(describe(window, m));
        }
        return list;
    }

    std::vector<std::string> queueEvents()
    {
        std::vector<std::string> list;
        KORVAT_NFC_EVENT e;
        while (dll->get_next_event(&e, 0)) {
            list.push_back(describe(e));
        }
        EXPECT_EQ(dll->lastError(), std::make_pair(KORVAT_NFC_E_NO_EVENT, 0u));
        return list;
    }

    std::unique_ptr<RegistryConfiguration> registry;
    ScratchDirectory scratch{"real_plugin_events"};
    MessageWindow window{FindName, EnableName};
    std::unique_ptr<KorvatDll> dll;
};

const Reader Readers[] = {
    {"the simulator", "plugins", "SIM", false, ""},
    // The chip's status byte 01 (time-out) as the detail of its card error.
    {"the PN532 plug-in", "pn532_plugins", "COM", true, "error " + hex32(KORVAT_NFC_E_CARD_ERROR_1) + " 00000001"},
};

const Mode Modes[] = {
    {"default", false, false},
    {"event_notification", true, false},
    {"event_notification and the queue", true, true},
};

// Arrival, stay, departure and arrival again, for each reader in each mode. Both readers report a
// target found once and then waiting for access, so in every mode the stay brings the find and
// one waiting message (the find repeats only while a reader keeps reporting the target found:
// the test plug-in's table in event_tests shows that). The departure is a lost message with the
// target's number with event_notification, what it always was without; the card that comes
// again is a new target with the same identifier. The queue holds what the window got.
TEST_F(RealPluginEvents, ArrivalStayDepartureAndArrivalAgain)
{
    for (const Reader &reader : Readers) {
        for (const Mode &mode : Modes) {
            SCOPED_TRACE(std::string(reader.what) + ", " + mode.what);
            ASSERT_NO_FATAL_FAILURE(start(reader, mode));
            size_t first = 0, again = 0;
            ASSERT_TRUE(pumpForTarget(0, 6000, first)) << "the card was not found";
            const uint32_t target = word(window.messages[first].bytes, 4);
            ASSERT_TRUE(pumpForTarget(target, 8000, again)) << "the card was not found again";
            const uint32_t next = word(window.messages[again].bytes, 4);
            window.pump(100);
            ASSERT_TRUE(dll->stop_poll_mode());
            window.pump(50);
            const std::vector<std::string> seen = windowEvents();
            for (size_t i = 0; i < seen.size(); ++i) {
                std::printf("  %s, %s: %5lu ms %s\n", reader.what, mode.what,
                            static_cast<unsigned long>(window.messages[i].tick - window.messages[0].tick),
                            seen[i].c_str());
            }

            const std::string found = " kind " + std::to_string(DEVICE_TYPE_NFC_14443A_18092_106K) + " " + hex(Nfcid1);
            std::vector<std::string> expected = {"found " + hex32(target) + found, "waiting " + hex32(target)};
            const std::string departure = mode.notification ? "lost " + hex32(target) : reader.defaultDeparture;
            if (!departure.empty()) {
                expected.push_back(departure);
            }
            expected.push_back("found " + hex32(next) + found);
            // What follows the second find within the last 150 ms can only be its waiting message.
            std::vector<std::string> upToAgain(seen.begin(), seen.begin() + static_cast<std::ptrdiff_t>(again) + 1);
            EXPECT_EQ(upToAgain, expected);
            for (size_t i = again + 1; i < seen.size(); ++i) {
                EXPECT_EQ(seen[i], "waiting " + hex32(next));
            }
            if (mode.queue) {
                EXPECT_EQ(queueEvents(), seen) << "the queue holds what the window got, in the same order";
            }
            window.messages.clear();
            TearDown();
        }
    }
}

// A reader record as the plug-and-play messages and events carry it: "port|reader|category".
std::string describeReader(const Bytes &record)
{
    KORVAT_NFC_READER_RECORD r;
    if (record.size() != sizeof(r)) {
        return "no reader record";
    }
    std::memcpy(&r, record.data(), sizeof(r));
    if (r.record_size != sizeof(r) || r.port_name[sizeof(r.port_name) - 1] != 0 ||
        r.reader_name[sizeof(r.reader_name) - 1] != 0) {
        return "malformed reader record";
    }
    return std::string(r.port_name) + "|" + r.reader_name + "|" + std::to_string(r.category);
}

struct ReadersComingAndGoing {
    const char *what;
    const char *pluginDirectory;
    const char *category;
    bool emulated;  // the PN532 emulators: index 15 unplugged while polling and back 1.5 s later, 0 stays
};

// Readers that come and go with plug_and_play = 1: those plugged in at the start are announced
// once each, then a reader pulled out and plugged in again is lost and found again, in the
// window's messages and in the queue alike. The simulator's come from its scenario's port lines;
// a PN532 emulator's link goes away when its reader is unplugged while polling and comes back.
TEST_F(RealPluginEvents, ReadersComingAndGoing)
{
    const ReadersComingAndGoing cases[] = {
        {"the simulator's port lines", "plugins", "SIM", false},
        {"a PN532 emulator unplugged and plugged in again", "pn532_plugins", "COM", true},
    };
    const char FoundName[] = "korvat.realevents.reader.found";
    const char LostName[] = "korvat.realevents.reader.lost";
    for (const ReadersComingAndGoing &c : cases) {
        SCOPED_TRACE(c.what);
        MessageWindow readers{FoundName, LostName, true};
        registry.reset(new RegistryConfiguration);
        registry->setString("plugins_home_directory", binDirectory() + c.pluginDirectory);
        registry->setString("category_name_list", c.category);
        std::vector<std::string> expected;
        std::string unplugged;
        if (c.emulated) {
            unplugged = emulatedPort(15);
            const std::string staying = emulatedPort(0);
            ASSERT_FALSE(unplugged.empty() || staying.empty()) << "no PN532 emulator";
            registry->setString("port_name_list", unplugged + ", " + staying);
            const std::string goes = unplugged + "|" + unplugged + "|0";
            expected = {"found " + goes, "found " + staying + "|" + staying + "|0", "lost " + goes, "found " + goes};
        } else {
            writeFile(scratch.file("readers.scenario"), "port SIM1 1500 1500 Desk reader\nport SIM2 600000 0\n");
            registry->setString(SIM_SCENARIO_VALUE_NAME, scratch.file("readers.scenario"));
            expected = {"found SIM1|Desk reader|0", "found SIM2|Simulated reader|0", "lost SIM1|Desk reader|0",
                        "found SIM1|Desk reader|0"};
        }
        const uint32_t one = 1;
        registry->setBinary("plug_and_play", &one, sizeof(one), REG_DWORD);
        dll.reset(new KorvatDll);
        ASSERT_TRUE(dll->loaded());
        ASSERT_TRUE(dll->initialize()) << std::hex << dll->lastError().first;
        ASSERT_TRUE(dll->set_event_queue(1));
        ASSERT_TRUE(dll->set_pnp_callback_parameters(readers.handle(), FoundName, LostName));
        ASSERT_TRUE(dll->start_plug_and_play()) << std::hex << dll->lastError().first;
        if (c.emulated) {
            // Polling with the card in the field: the emulator unplugs at its second presence check.
            readers.pump(300);
            std::vector<char> name(unplugged.begin(), unplugged.end());
            name.push_back('\0');
            ASSERT_TRUE(dll->set_poll_callback_parameters(window.handle(), FindName, EnableName));
            ASSERT_TRUE(dll->open(name.data())) << std::hex << dll->lastError().first;
            ASSERT_TRUE(dll->start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K));
        }

        std::vector<std::string> seen;
        const auto describeMessages = [&readers, &seen] {
            seen.clear();
            for (const ReceivedMessage &m : readers.messages) {
                const bool found = m.message == readers.findMessage() && m.wParam == KORVAT_NFC_READER_FOUND;
                const bool lost = m.message == readers.enableMessage() && m.wParam == KORVAT_NFC_READER_LOST;
                seen.push_back(found ? "found " + describeReader(m.bytes)
                                     : lost ? "lost " + describeReader(m.bytes) : "unexpected message");
            }
        };
        const DWORD begun = GetTickCount();
        while (seen.size() < expected.size() && GetTickCount() - begun < 10000) {
            readers.pump(50);
            window.pump(0);
            describeMessages();
        }
        ASSERT_TRUE(dll->stop_plug_and_play());
        readers.pump(50);
        describeMessages();
        EXPECT_EQ(seen, expected);
        // The targets' events of the polling port are the other test's; the readers' in order.
        std::vector<std::string> queued;
        KORVAT_NFC_EVENT e;
        while (dll->get_next_event(&e, 0)) {
            const Bytes record(e.data, e.data + e.data_size);
            if (e.kind == KORVAT_NFC_EVENT_READER_FOUND || e.kind == KORVAT_NFC_EVENT_READER_LOST) {
                queued.push_back((e.kind == KORVAT_NFC_EVENT_READER_FOUND ? "found " : "lost ") + describeReader(record));
            }
        }
        EXPECT_EQ(dll->lastError(), std::make_pair(KORVAT_NFC_E_NO_EVENT, 0u));
        EXPECT_EQ(queued, seen) << "the queue holds what the window got, in the same order";
        window.messages.clear();
        TearDown();
    }
}

}  // namespace
