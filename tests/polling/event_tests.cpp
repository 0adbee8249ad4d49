// The opt-in event modes through the DLL: event_notification (a target announced as soon as the
// plug-in reports it, its departure reported once), the event queue for callers without a window,
// and plug_and_play (readers that come and go, the reader list). The test plug-in plays a status
// script (one step per gp_get_driver_status call, the last step repeating); its events_cat0
// variant also exports gp_set_status_event and gp_list_ports, cat0 exports neither.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "EventText.h"
#include "TestSupport.h"
#include "korvat_nfc_plugin.h"

using namespace korvat_test;

namespace {

using Bytes = std::vector<uint8_t>;

const char FindName[] = "korvat.events.find";
const char EnableName[] = "korvat.events.enable";
const char ReaderFoundName[] = "korvat.events.reader.found";
const char ReaderLostName[] = "korvat.events.reader.lost";

const uint32_t Idle = GP_STATUS_STATE_IDLE;
const uint32_t Found = GP_STATUS_STATE_IDLE | GP_CONNECT_REPORT_POLL_MODE;
const uint32_t Departed = GP_STATUS_CARD_ERROR | GP_TARGET_DEPARTED | (2u << GP_CARD_ERROR_DETAIL_SHIFT);
const uint32_t CardError2 = GP_STATUS_CARD_ERROR | (2u << GP_CARD_ERROR_DETAIL_SHIFT);
const uint32_t AccessEnabled = GP_STATUS_STATE_IDLE | GP_ACCESS_ENABLED;

// A 14443 A target with a 4-byte identifier made of its number.
Bytes targetData(uint32_t number)
{
    return additionalData14443A(number, 0x0044, 0x00, {0x04, static_cast<uint8_t>(number), 0x5A, 0x6B}, {});
}

// The record the application gets for targetData(number).
Bytes targetRecord(uint32_t number)
{
    const Bytes data = targetData(number);
    Bytes record(23, 0);
    record[0] = DEVICE_TYPE_NFC_14443A_18092_106K;
    std::memcpy(&record[4], &number, 4);
    record[8] = 0x44;
    record[11] = 4;
    std::memcpy(&record[12], &data[GP_AD_A_NFCID1], 4);
    return record;
}

// The common head of a departure's data: the departed target's number at GP_AD_TARGET_NUMBER.
Bytes departureData(uint32_t number)
{
    Bytes data(9, 0);
    std::memcpy(&data[GP_AD_TARGET_NUMBER], &number, 4);
    return data;
}

std::string describeTarget(const Bytes &record)
{
    uint32_t number = 0;
    if (record.size() >= 8) {
        std::memcpy(&number, &record[4], 4);
    }
    return (record == targetRecord(number) ? "found " : "found (bad record) ") + hex32(number);
}

std::string describe(const MessageWindow &window, const ReceivedMessage &m)
{
    return describeMessage(window, m, describeTarget);
}

std::string describe(const KORVAT_NFC_EVENT &e)
{
    return describeEvent(e, describeTarget);
}

// A reader record as the plug-and-play messages and events carry it: "port|reader|category".
std::string describeReader(const Bytes &record)
{
    if (record.size() != sizeof(KORVAT_NFC_READER_RECORD)) {
        return "no reader record";
    }
    KORVAT_NFC_READER_RECORD r;
    std::memcpy(&r, record.data(), sizeof(r));
    if (r.record_size != sizeof(r) || r.port_name[sizeof(r.port_name) - 1] != 0 ||
        r.reader_name[sizeof(r.reader_name) - 1] != 0) {
        return "malformed reader record";
    }
    return std::string(r.port_name) + "|" + r.reader_name + "|" + std::to_string(r.category);
}

// "port" NUL "reader" NUL ... NUL, as gp_list_ports hands it over.
std::string portList(const std::vector<std::pair<std::string, std::string>> &ports)
{
    std::string list;
    for (const auto &p : ports) {
        list += p.first + '\0' + p.second + '\0';
    }
    return list + '\0';
}

void setDword(RegistryConfiguration &registry, const char *name, uint32_t value)
{
    registry.setBinary(name, &value, sizeof(value), REG_DWORD);
}

class EventModes : public ::testing::Test {
protected:
    // The registry of a single SIM port served by `variant`, the debug log on; the switches are
    // set by each test before load().
    void configure(const std::string &variant)
    {
        m_Plugins.reset();  // its directory goes before one of the same name is made
        m_Plugins.reset(new ScratchDirectory("event_plugins_" + variant));
        m_PluginPath = m_Plugins->addPlugin(variant, "reader.gp");
        registry.configureSimPort(m_Plugins->path());
        registry.setEmptyDebugLog(m_Logs.file("debug.log"));
    }

    // Loads and initialises the DLL and takes the plug-in's controls.
    void load()
    {
        dll.reset(new KorvatDll);
        ASSERT_TRUE(dll->loaded());
        ASSERT_TRUE(dll->initialize()) << std::hex << dll->lastError().first;
        fixture.reset(new FixturePlugin(m_PluginPath));
        ASSERT_TRUE(fixture->loaded());
        fixture->reset();
    }

    void TearDown() override
    {
        if (dll && dll->loaded()) {
            if (fixture) {
                fixture->reset();
            }
            dll->stop_plug_and_play();
            dll->close();
            dll->uninitialize();
        }
        dll.reset();
        fixture.reset();
    }

    void openPort()
    {
        char port[] = "SIM0";
        ASSERT_TRUE(dll->open(port)) << std::hex << dll->lastError().first;
    }

    // Replaces the status script; signal: then tells the library through the status event.
    void change(const std::vector<std::pair<uint32_t, Bytes>> &steps, bool signal)
    {
        fixture->clearStatus();
        for (const auto &step : steps) {
            fixture->pushStatus(step.first, step.second.empty() ? 0 : DEVICE_TYPE_NFC_14443A_18092_106K, 0,
                                step.second.empty() ? nullptr : step.second.data(),
                                static_cast<uint32_t>(step.second.size()), 1, 0, 0);
        }
        if (signal) {
            EXPECT_EQ(fixture->signalStatus(), 1) << "the plug-in holds no status event";
        }
    }

    std::vector<std::string> windowEvents(const MessageWindow &w, size_t from = 0) const
    {
        std::vector<std::string> list;
        for (size_t i = from; i < w.messages.size(); ++i) {
            list.push_back(describe(w, w.messages[i]));
        }
        return list;
    }

    // Everything queued now, oldest first.
    std::vector<KORVAT_NFC_EVENT> drainQueue()
    {
        std::vector<KORVAT_NFC_EVENT> events;
        KORVAT_NFC_EVENT e;
        while (dll->get_next_event(&e, 0)) {
            events.push_back(e);
        }
        EXPECT_EQ(dll->lastError(), std::make_pair(KORVAT_NFC_E_NO_EVENT, 0u));
        return events;
    }

    std::vector<std::string> queueEvents()
    {
        std::vector<std::string> list;
        for (const KORVAT_NFC_EVENT &e : drainQueue()) {
            list.push_back(describe(e));
        }
        return list;
    }

    // Thread: 300 ms later a target arrives, signalled.
    static DWORD WINAPI changeLater(void *self)
    {
        Sleep(300);
        static_cast<EventModes *>(self)->change({{Found, targetData(0x41)}}, true);
        return 0;
    }

    std::string debugLog() const { return readFile(m_Logs.file("debug.log")); }
    const std::string &pluginPath() const { return m_PluginPath; }

    RegistryConfiguration registry;
    MessageWindow window{FindName, EnableName};
    std::unique_ptr<KorvatDll> dll;
    std::unique_ptr<FixturePlugin> fixture;

private:
    ScratchDirectory m_Logs{"event_logs"};
    std::unique_ptr<ScratchDirectory> m_Plugins;
    std::string m_PluginPath;
};

// ---------------------------------------------------------------------------------------------
// event_notification
// ---------------------------------------------------------------------------------------------

struct PlugInKind {
    const char *what;
    const char *variant;
    bool refusesEvent;  // gp_set_status_event answers false
    bool signals;       // the test signals the event after each change
};

const PlugInKind PlugInKinds[] = {
    {"a plug-in that signals its status", "events_cat0", false, true},
    {"a plug-in that refuses the status event (read every 50 ms)", "events_cat0", true, false},
    {"a plug-in without the optional entry points (read every 50 ms)", "cat0", false, false},
};

// Arrival, stay (the find repeats every 600 ms), departure (once, as a lost target, not as a card
// error), arrival again (at once): the same sequence in the window's messages and in the queue.
TEST_F(EventModes, ArrivalStayDepartureAndArrivalAgainReachWindowAndQueueAlike)
{
    for (const PlugInKind &kind : PlugInKinds) {
        SCOPED_TRACE(kind.what);
        configure(kind.variant);
        setDword(registry, "event_notification", 1);
        load();
        if (kind.refusesEvent) {
            fixture->setAnswer("gp_set_status_event", 0, 1, 0xE0000021u, 7);
        }
        ASSERT_TRUE(dll->set_event_queue(1));
        ASSERT_TRUE(dll->set_poll_callback_parameters(window.handle(), FindName, EnableName));
        openPort();
        change({{Idle, {}}}, false);
        ASSERT_TRUE(dll->start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K));
        window.pump(100);
        const size_t start = window.messages.size();

        change({{Found, targetData(0x11)}}, kind.signals);
        size_t arrived = 0;
        ASSERT_TRUE(window.pumpForFind(KORVAT_NFC_FIND_TARGET, start, 5000, arrived));
        window.pump(1500);  // the target stays
        change({{Departed, departureData(0x11)}, {Idle, {}}}, kind.signals);
        size_t lost = 0;
        ASSERT_TRUE(window.pumpForFind(KORVAT_NFC_LOST_TARGET, arrived, 5000, lost));
        window.pump(200);
        const DWORD changed = GetTickCount();
        change({{Found, targetData(0x11)}}, kind.signals);
        size_t again = 0;
        ASSERT_TRUE(window.pumpForFind(KORVAT_NFC_FIND_TARGET, lost, 5000, again));
        ASSERT_TRUE(dll->stop_poll_mode());
        window.pump(50);

        const std::vector<std::string> seen = windowEvents(window, start);
        // found 11 repeated while it stays (not at every 50 ms read), lost 11 once, found 11.
        std::vector<std::string> expected(lost - start, "found 00000011");
        expected.push_back("lost 00000011");
        expected.resize(expected.size() + (window.messages.size() - lost - 1), "found 00000011");
        EXPECT_EQ(seen, expected);
        EXPECT_GE(lost - start, 2u) << "the find message repeats while the target stays";
        for (size_t i = start + 1; i < lost; ++i) {
            const DWORD apart = window.messages[i].tick - window.messages[i - 1].tick;
            std::printf("  %s: repeat after %lu ms\n", kind.what, static_cast<unsigned long>(apart));
            EXPECT_GE(apart, 500u) << "a find of the same target before its 600 ms repeat was due";
        }
        EXPECT_EQ(queueEvents(), seen) << "the queue holds what the window got, in the same order";
        std::printf("  %s: find received %lu ms after the target arrived\n", kind.what,
                    static_cast<unsigned long>(window.messages[again].tick - changed));

        TearDown();
    }
}

// With a status event the plug-in is asked for its status only when it signals or a repeat is
// due; the event is handed over after gp_start_poll_mode and withdrawn before gp_stop_poll_mode
// or gp_close_port; it is closed only when the plug-in confirmed the withdrawal.
TEST_F(EventModes, TheStatusEventIsHandedOverWaitedOnAndWithdrawnBeforeTheStop)
{
    configure("events_cat0");
    setDword(registry, "event_notification", 1);
    const struct {
        const char *what;
        bool byClose;
        bool withdrawalRefused;
    } cases[] = {
        {"stop_poll_mode", false, false},
        {"close while polling", true, false},
        {"stop_poll_mode, withdrawal refused", false, true},
        {"close, withdrawal refused", true, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        load();
        ASSERT_TRUE(dll->set_poll_callback_parameters(window.handle(), FindName, EnableName));
        openPort();
        change({{Idle, {}}}, false);
        ASSERT_TRUE(dll->start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K));
        window.pump(700);
        EXPECT_EQ(fixture->statusCalls(), 1u) << "nothing due and no signal: no status read after the first";
        const size_t before = window.messages.size();
        change({{AccessEnabled, {}}}, true);
        ASSERT_TRUE(window.pumpUntil(before + 1, 5000));
        EXPECT_EQ(windowEvents(window, before), std::vector<std::string>({"enabled 00000000"}));
        EXPECT_EQ(fixture->statusCalls(), 2u) << "one read for one signal";

        if (c.withdrawalRefused) {
            fixture->setAnswer("gp_set_status_event", 0, 1, 0xE0000022u, 1);
        }
        ASSERT_TRUE(c.byClose ? dll->close() : dll->stop_poll_mode());
        std::string expected = "gp_open_port_and_transition_nfc_mode SIM0\ngp_set_timeout 6000\n"
                               "gp_start_poll_mode 00000001\ngp_set_status_event event\n";
        for (uint32_t i = 0; i < 2; ++i) {
            expected += "gp_get_driver_status\n";
        }
        expected += "gp_set_status_event null\n";
        expected += c.byClose ? "gp_close_port\n" : "gp_stop_poll_mode\n";
        EXPECT_EQ(fixture->calls(), expected);
        // A refused withdrawal leaves the handle open: the plug-in may still set it.
        EXPECT_EQ(fixture->signalStatus(), c.withdrawalRefused ? 1 : 0);
        TearDown();
    }
}

// A second start while polling fails as it always did, and leaves the running thread its event.
TEST_F(EventModes, ASecondStartLeavesTheRunningThreadItsStatusEvent)
{
    configure("events_cat0");
    setDword(registry, "event_notification", 1);
    load();
    ASSERT_TRUE(dll->set_poll_callback_parameters(window.handle(), FindName, EnableName));
    openPort();
    change({{Idle, {}}}, false);
    ASSERT_TRUE(dll->start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K));
    EXPECT_FALSE(dll->start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K));
    change({{Found, targetData(0x51)}}, true);
    size_t found = 0;
    EXPECT_TRUE(window.pumpForFind(KORVAT_NFC_FIND_TARGET, 0, 3000, found)) << "the thread no longer hears the plug-in";
    EXPECT_EQ(fixture->callCount("gp_set_status_event"), 1u) << "handed over once, not withdrawn";
}

// A departure is reported once, with the number the plug-in's data gives or else the last target
// found; a card error without the departure bit is posted as the error it is; a departure with
// no target ever announced posts nothing.
TEST_F(EventModes, ADepartureIsPostedOnceWithItsTargetAndOtherCardErrorsStayErrors)
{
    configure("cat0");
    setDword(registry, "event_notification", 1);
    load();
    ASSERT_TRUE(dll->set_poll_callback_parameters(window.handle(), FindName, EnableName));
    openPort();
    // Read every 50 ms: each script's last step is read several times over.
    const auto play = [this](const std::vector<std::pair<uint32_t, Bytes>> &steps) {
        const uint32_t before = fixture->statusCalls();
        change(steps, false);
        ASSERT_TRUE(pumpUntilStatusCalls(window, *fixture, before + static_cast<uint32_t>(steps.size()) + 4, 5000));
    };
    ASSERT_TRUE(dll->start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K));
    play({{Departed, {}}, {Departed, {}}, {Idle, {}}});
    play({{Found, targetData(0x21)}, {Departed, {}}});
    play({{Found, targetData(0x22)}, {Departed, departureData(0x23)}});
    play({{CardError2, {}}, {Idle, {}}});
    ASSERT_TRUE(dll->stop_poll_mode());
    window.pump(50);
    EXPECT_EQ(windowEvents(window), std::vector<std::string>({"found 00000021", "lost 00000021", "found 00000022",
                                                              "lost 00000023",
                                                              "error " + hex32(KORVAT_NFC_E_CARD_ERROR_2) + " 00000000"}));
    EXPECT_NE(debugLog().find("Target 00000021h departed"), std::string::npos) << "the departure is traced";
}

// Without event_notification = 1 (absent, or any odd value) nothing changes: no status event,
// the 600 ms cycle, a departure is the card error it always was, and plug-and-play is not there.
// An odd value is traced as a warning.
TEST_F(EventModes, WithoutTheSwitchesOrWithOddValuesEverythingStaysAsItWas)
{
    const uint32_t two = 2;
    const uint64_t qwordOne = 1;
    const uint8_t binaryOne[4] = {1, 0, 0, 0};
    const struct {
        const char *what;
        DWORD type;  // 0: absent
        const void *data;
        DWORD size;
    } cases[] = {
        {"absent", 0, nullptr, 0},
        {"DWORD 0", REG_DWORD, "\0\0\0\0", 4},
        {"DWORD 2", REG_DWORD, &two, 4},
        {"string 1", REG_SZ, "1", 2},
        {"binary 01 00 00 00", REG_BINARY, binaryOne, 4},
        {"QWORD 1", REG_QWORD, &qwordOne, 8},
        {"big-endian DWORD 1", REG_DWORD_BIG_ENDIAN, "\0\0\0\1", 4},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        configure("events_cat0");
        if (c.type != 0) {
            registry.setBinary("event_notification", c.data, c.size, c.type);
            registry.setBinary("plug_and_play", c.data, c.size, c.type);
        }
        load();
        const std::string log = debugLog();
        const bool odd = c.type != 0 && !(c.type == REG_DWORD && std::memcmp(c.data, "\0\0\0\0", 4) == 0);
        for (const char *name : {"event_notification", "plug_and_play"}) {
            EXPECT_EQ(log.find(std::string("WARNING! : ") + name) != std::string::npos, odd) << name;
        }
        ASSERT_TRUE(dll->set_poll_callback_parameters(window.handle(), FindName, EnableName));
        openPort();
        change({{Found, targetData(0x31)}, {Departed, departureData(0x31)}, {Idle, {}}}, false);
        ASSERT_TRUE(dll->start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K));
        ASSERT_TRUE(pumpUntilStatusCalls(window, *fixture, 3, 5000));
        ASSERT_TRUE(dll->stop_poll_mode());
        window.pump(50);
        EXPECT_EQ(windowEvents(window),
                  std::vector<std::string>({"found 00000031", "error " + hex32(KORVAT_NFC_E_CARD_ERROR_2) + " 00000000"}));
        EXPECT_EQ(fixture->callCount("gp_set_status_event"), 0u);
        EXPECT_FALSE(dll->start_plug_and_play());
        EXPECT_EQ(dll->lastError(), std::make_pair(KORVAT_NFC_E_NOT_IMPLEMENTED, 0u));
        EXPECT_FALSE(dll->set_pnp_callback_parameters(window.handle(), ReaderFoundName, ReaderLostName));
        EXPECT_EQ(dll->lastError(), std::make_pair(KORVAT_NFC_E_NOT_IMPLEMENTED, 0u));
        window.messages.clear();
        TearDown();
        registry.remove("event_notification");
        registry.remove("plug_and_play");
    }
}

// ---------------------------------------------------------------------------------------------
// The event queue
// ---------------------------------------------------------------------------------------------

// Its argument and state errors, time-out 0, a bounded wait that runs out, a wait that an event
// ends, and poll mode without a window only with the queue on.
TEST_F(EventModes, QueueErrorsTimeOutsAndPollModeWithoutAWindow)
{
    configure("events_cat0");
    setDword(registry, "event_notification", 1);
    dll.reset(new KorvatDll);
    ASSERT_TRUE(dll->loaded());
    KORVAT_NFC_EVENT event;
    const struct {
        const char *what;
        KORVAT_NFC_EVENT *event;
        uint32_t timeout;
        uint32_t error;
    } beforeInitialize[] = {
        {"not initialised", &event, 0, KORVAT_NFC_E_NOT_INITIALIZED},
        {"not initialised, null event", nullptr, 0, KORVAT_NFC_E_NOT_INITIALIZED},
    };
    for (const auto &c : beforeInitialize) {
        EXPECT_FALSE(dll->get_next_event(c.event, c.timeout)) << c.what;
        EXPECT_EQ(dll->lastError(), std::make_pair(c.error, 0u)) << c.what;
    }
    EXPECT_FALSE(dll->set_event_queue(1));
    EXPECT_EQ(dll->lastError(), std::make_pair(KORVAT_NFC_E_NOT_INITIALIZED, 0u));
    ASSERT_TRUE(dll->initialize());
    fixture.reset(new FixturePlugin(pluginPath()));
    fixture->reset();
    openPort();
    EXPECT_FALSE(dll->start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K)) << "no window and no queue";
    EXPECT_EQ(dll->lastError(), std::make_pair(KORVAT_NFC_E_NO_CALLBACK_PARAM, 0u));

    const struct {
        const char *what;
        KORVAT_NFC_EVENT *event;
        uint32_t timeout;
        uint32_t error;
    } refused[] = {
        {"queue off", &event, 0, KORVAT_NFC_E_NO_EVENT},
        {"null event", nullptr, 0, KORVAT_NFC_E_INVALID_ARGUMENT},
        {"time-out above the limit", &event, KORVAT_NFC_EVENT_WAIT_LIMIT_MS + 1, KORVAT_NFC_E_INVALID_ARGUMENT},
    };
    for (const auto &c : refused) {
        EXPECT_FALSE(dll->get_next_event(c.event, c.timeout)) << c.what;
        EXPECT_EQ(dll->lastError(), std::make_pair(c.error, 0u)) << c.what;
    }
    EXPECT_FALSE(dll->set_event_queue(2));
    EXPECT_EQ(dll->lastError(), std::make_pair(KORVAT_NFC_E_INVALID_ARGUMENT, 0u));
    ASSERT_TRUE(dll->set_event_queue(1));
    for (const uint32_t timeout : {0u, 300u}) {
        const DWORD begun = GetTickCount();
        EXPECT_FALSE(dll->get_next_event(&event, timeout));
        const DWORD took = GetTickCount() - begun;
        std::printf("  empty queue, time-out %u: back after %lu ms\n", timeout, static_cast<unsigned long>(took));
        EXPECT_EQ(dll->lastError(), std::make_pair(KORVAT_NFC_E_NO_EVENT, 0u));
        if (timeout > 0) {
            EXPECT_GE(took + 20, timeout) << "it waited";
        }
    }

    // With the queue on, poll mode needs no window; a wait is ended by the event that comes.
    change({{Idle, {}}}, false);
    ASSERT_TRUE(dll->start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K)) << std::hex << dll->lastError().first;
    HANDLE changer = CreateThread(nullptr, 0, &EventModes::changeLater, this, 0, nullptr);
    ASSERT_NE(changer, nullptr);
    ASSERT_TRUE(dll->get_next_event(&event, 10000)) << std::hex << dll->lastError().first;
    EXPECT_EQ(describe(event), "found 00000041");
    EXPECT_EQ(event.lost_before, 0u);
    WaitForSingleObject(changer, INFINITE);
    CloseHandle(changer);
    ASSERT_TRUE(dll->stop_poll_mode());
    EXPECT_EQ(debugLog().find("ASSERT! poll callback parameters"), std::string::npos) << "no window is no fault";
}

// A caller waiting for an event while the queue is switched off, or the library uninitialised,
// is let go at once: no event can come any more, and a wait left running would still be inside
// the DLL when the application frees it.
struct QueueWaiter {
    KorvatDll *dll;
    KORVAT_NFC_BOOL result = 1;
    std::pair<uint32_t, uint32_t> error{0, 0};

    static DWORD WINAPI wait(void *self)
    {
        QueueWaiter &w = *static_cast<QueueWaiter *>(self);
        KORVAT_NFC_EVENT event;
        w.result = w.dll->get_next_event(&event, KORVAT_NFC_EVENT_WAIT_LIMIT_MS);
        w.error = w.dll->lastError();
        return 0;
    }
};

TEST_F(EventModes, AWaitForAnEventEndsWhenTheQueueIsSwitchedOffOrTheLibraryUninitialised)
{
    configure("events_cat0");
    load();
    const struct {
        const char *what;
        bool uninitialise;
    } ends[] = {{"set_event_queue(0)", false}, {"uninitialize", true}};
    for (const auto &c : ends) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(dll->set_event_queue(1));
        QueueWaiter waiter{dll.get()};
        HANDLE thread = CreateThread(nullptr, 0, &QueueWaiter::wait, &waiter, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        EXPECT_EQ(WaitForSingleObject(thread, 300), static_cast<DWORD>(WAIT_TIMEOUT)) << "it waits for an event";
        if (c.uninitialise) {
            ASSERT_TRUE(dll->uninitialize());
        } else {
            ASSERT_TRUE(dll->set_event_queue(0));
        }
        EXPECT_EQ(WaitForSingleObject(thread, 10000), static_cast<DWORD>(WAIT_OBJECT_0)) << "the wait went on";
        WaitForSingleObject(thread, INFINITE);  // at most the wait's own limit
        CloseHandle(thread);
        EXPECT_FALSE(waiter.result);
        EXPECT_EQ(waiter.error, std::make_pair(KORVAT_NFC_E_NO_EVENT, 0u));
    }
    // Switched on again after either, the queue waits and delivers as before.
    ASSERT_TRUE(dll->initialize());
    ASSERT_TRUE(dll->set_event_queue(1));
    KORVAT_NFC_EVENT event;
    EXPECT_FALSE(dll->get_next_event(&event, 200));
    EXPECT_EQ(dll->lastError(), std::make_pair(KORVAT_NFC_E_NO_EVENT, 0u));
}

// More events than the queue holds: the oldest are dropped, the next one says how many, the rest
// come in order; the events taken out are plain copies, still whole after FreeLibrary.
TEST_F(EventModes, OverflowDropsTheOldestAndEventsOutliveTheDll)
{
    configure("cat0");
    setDword(registry, "event_notification", 1);
    load();
    ASSERT_TRUE(dll->set_event_queue(1));
    ASSERT_TRUE(dll->set_poll_callback_parameters(window.handle(), FindName, EnableName));
    openPort();
    // A new target at every 50 ms read: a find each time.
    const uint32_t targets = KORVAT_NFC_EVENT_QUEUE_LENGTH + 6;
    fixture->clearStatus();
    fixture->pushStatus(Idle, 0, 0, nullptr, 0, 1, 0, 0);
    for (uint32_t i = 1; i <= targets; ++i) {
        const Bytes data = targetData(0x100 + i);
        fixture->pushStatus(Found, DEVICE_TYPE_NFC_14443A_18092_106K, 0, data.data(), static_cast<uint32_t>(data.size()),
                            1, 0, 0);
    }
    fixture->pushStatus(Idle, 0, 0, nullptr, 0, 1, 0, 0);
    ASSERT_TRUE(dll->start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K));
    ASSERT_TRUE(pumpUntilStatusCalls(window, *fixture, targets + 2, 20000));
    ASSERT_TRUE(dll->stop_poll_mode());
    window.pump(50);
    const std::vector<std::string> posted = windowEvents(window);
    ASSERT_EQ(posted.size(), targets) << "one find per new target";
    const std::vector<KORVAT_NFC_EVENT> queued = drainQueue();
    ASSERT_EQ(queued.size(), static_cast<size_t>(KORVAT_NFC_EVENT_QUEUE_LENGTH));
    const size_t dropped = targets - KORVAT_NFC_EVENT_QUEUE_LENGTH;
    for (size_t i = 0; i < queued.size(); ++i) {
        EXPECT_EQ(describe(queued[i]), posted[dropped + i]) << i;
        EXPECT_EQ(queued[i].lost_before, i == 0 ? dropped : 0u) << i;
    }
    dll->close();
    dll->uninitialize();
    fixture.reset();
    dll.reset();
    for (size_t i = 0; i < queued.size(); ++i) {
        EXPECT_EQ(Bytes(queued[i].data, queued[i].data + queued[i].data_size),
                  targetRecord(static_cast<uint32_t>(0x100 + dropped + 1 + i)))
            << i;
    }
}

// ---------------------------------------------------------------------------------------------
// plug_and_play
// ---------------------------------------------------------------------------------------------

class PlugAndPlay : public EventModes {
protected:
    void SetUp() override
    {
        configure("events_cat0");
        setDword(registry, "plug_and_play", 1);
        load();
    }

    void setPorts(const std::vector<std::pair<std::string, std::string>> &ports)
    {
        const std::string list = portList(ports);
        fixture->setPorts(list.data(), static_cast<uint32_t>(list.size()));
    }

    // Pumps until the plug-in has been asked for its ports `more` more times.
    void watchFor(uint32_t more)
    {
        const uint32_t target = fixture->callCount("gp_list_ports") + more;
        const DWORD begun = GetTickCount();
        while (fixture->callCount("gp_list_ports") < target && GetTickCount() - begun < 10000) {
            readers.pump(20);
        }
        ASSERT_GE(fixture->callCount("gp_list_ports"), target) << "the watcher stopped asking";
        readers.pump(20);
    }

    std::vector<std::string> readerMessages(size_t from = 0) const
    {
        std::vector<std::string> list;
        for (size_t i = from; i < readers.messages.size(); ++i) {
            const ReceivedMessage &m = readers.messages[i];
            const bool found = m.message == readers.findMessage() && m.wParam == KORVAT_NFC_READER_FOUND;
            const bool lost = m.message == readers.enableMessage() && m.wParam == KORVAT_NFC_READER_LOST;
            list.push_back(found ? "found " + describeReader(m.bytes)
                                 : lost ? "lost " + describeReader(m.bytes) : "unexpected message");
        }
        return list;
    }

    std::vector<std::string> readerEvents()
    {
        std::vector<std::string> list;
        for (const KORVAT_NFC_EVENT &e : drainQueue()) {
            const Bytes record(e.data, e.data + e.data_size);
            list.push_back(e.kind == KORVAT_NFC_EVENT_READER_FOUND  ? "found " + describeReader(record)
                           : e.kind == KORVAT_NFC_EVENT_READER_LOST ? "lost " + describeReader(record)
                                                                    : "unexpected event");
        }
        return list;
    }

    static DWORD WINAPI stopFromThread(void *library)
    {
        return static_cast<KorvatDll *>(library)->stop_plug_and_play() != 0 ? 1 : 0;
    }

    MessageWindow readers{ReaderFoundName, ReaderLostName, true};
};

// Readers present at the start are each announced once, then every change once, in the window's
// messages and in the queue alike; it works with a port open and polling as without.
TEST_F(PlugAndPlay, ReadersPresentAtStartThenEveryChangeOnce)
{
    for (const bool portOpen : {false, true}) {
        SCOPED_TRACE(portOpen ? "port open and polling" : "no port open");
        ASSERT_TRUE(dll->set_event_queue(1));
        ASSERT_TRUE(dll->set_pnp_callback_parameters(readers.handle(), ReaderFoundName, ReaderLostName));
        if (portOpen) {
            ASSERT_TRUE(dll->set_poll_callback_parameters(window.handle(), FindName, EnableName));
            openPort();
            ASSERT_TRUE(dll->start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K));
        }
        setPorts({{"SIM0", "Reader A"}, {"SIM1", ""}});
        ASSERT_TRUE(dll->start_plug_and_play());
        watchFor(2);
        setPorts({{"SIM1", ""}, {"SIM2", "Reader \xC3\x84"}});
        watchFor(2);
        setPorts({});
        watchFor(2);
        ASSERT_TRUE(dll->stop_plug_and_play());
        readers.pump(50);
        const std::vector<std::string> expected = {"found SIM0|Reader A|0", "found SIM1||0", "lost SIM0|Reader A|0",
                                                   "found SIM2|Reader \xC3\x84|0", "lost SIM1||0",
                                                   "lost SIM2|Reader \xC3\x84|0"};
        EXPECT_EQ(readerMessages(), expected);
        std::vector<std::string> queued;
        for (const std::string &e : readerEvents()) {
            if (e.compare(0, 6, "found ") == 0 || e.compare(0, 5, "lost ") == 0) {
                queued.push_back(e);
            }
        }
        EXPECT_EQ(queued, expected);
        EXPECT_EQ(fixture->overlapCount(), 0u) << "the watcher called the plug-in while another call was inside";
        readers.messages.clear();
        if (portOpen) {
            ASSERT_TRUE(dll->close());
        }
        ASSERT_TRUE(dll->set_event_queue(0));
    }
}

// Start twice: true, one watcher, no second "found"; stop twice and stop without start: true;
// a start after a stop announces the present readers again; a stop from another thread; and
// uninitialise ends the watcher.
TEST_F(PlugAndPlay, StartAndStopTwiceStopWithoutStartAndUninitialise)
{
    EXPECT_TRUE(dll->stop_plug_and_play()) << "stop without start";
    ASSERT_TRUE(dll->set_pnp_callback_parameters(readers.handle(), ReaderFoundName, ReaderLostName));
    setPorts({{"SIM0", "Reader A"}});
    ASSERT_TRUE(dll->start_plug_and_play());
    EXPECT_TRUE(dll->start_plug_and_play()) << "a second start while watching";
    watchFor(3);
    EXPECT_EQ(readerMessages(), std::vector<std::string>({"found SIM0|Reader A|0"}));
    EXPECT_TRUE(dll->stop_plug_and_play());
    EXPECT_TRUE(dll->stop_plug_and_play());
    const uint32_t asked = fixture->callCount("gp_list_ports");
    readers.pump(600);
    EXPECT_EQ(fixture->callCount("gp_list_ports"), asked) << "a stopped watcher asks no more";
    ASSERT_TRUE(dll->start_plug_and_play());
    watchFor(1);
    EXPECT_EQ(readerMessages(1), std::vector<std::string>({"found SIM0|Reader A|0"}));
    // Stopped from a thread other than the one that started it.
    HANDLE stopper = CreateThread(nullptr, 0, &PlugAndPlay::stopFromThread, dll.get(), 0, nullptr);
    ASSERT_NE(stopper, nullptr);
    ASSERT_EQ(WaitForSingleObject(stopper, 10000), WAIT_OBJECT_0);
    DWORD stopped = 0;
    GetExitCodeThread(stopper, &stopped);
    CloseHandle(stopper);
    EXPECT_EQ(stopped, 1u);
    const uint32_t afterStop = fixture->callCount("gp_list_ports");
    readers.pump(600);
    EXPECT_EQ(fixture->callCount("gp_list_ports"), afterStop);
    ASSERT_TRUE(dll->start_plug_and_play());
    watchFor(1);
    ASSERT_TRUE(dll->uninitialize()) << "while watching";
    const uint32_t afterUninitialize = fixture->callCount("gp_list_ports");
    readers.pump(600);
    EXPECT_EQ(fixture->callCount("gp_list_ports"), afterUninitialize);
}

// A watcher that cannot run for a while, outside the library lock (suspended here, as a stalled
// debug-log write would stall it): the stop cannot confirm its end and fails; a start then
// completes that stop first, failing as it did while the watcher still cannot run, and once it
// has left, starts a new watcher that announces the present readers again.
TEST_F(PlugAndPlay, AStartAfterAFailedStopCompletesTheStopFirst)
{
    ASSERT_TRUE(dll->set_pnp_callback_parameters(readers.handle(), ReaderFoundName, ReaderLostName));
    setPorts({{"SIM0", "Reader A"}});
    ASSERT_TRUE(dll->start_plug_and_play());
    watchFor(1);
    readers.pump(80);  // the look is over: the watcher sleeps, outside the library lock
    struct Suspended {
        HANDLE thread;
        ~Suspended()
        {
            if (thread != nullptr) {
                ResumeThread(thread);
                CloseHandle(thread);
            }
        }
    } watcher{OpenThread(THREAD_SUSPEND_RESUME | SYNCHRONIZE, FALSE, fixture->listThread())};
    ASSERT_NE(watcher.thread, nullptr);
    ASSERT_NE(SuspendThread(watcher.thread), static_cast<DWORD>(-1));
    const std::pair<uint32_t, uint32_t> unconfirmed(KORVAT_NFC_E_THREAD_CREATE, 0u);
    EXPECT_FALSE(dll->stop_plug_and_play()) << "a stop of a watcher that cannot run";
    EXPECT_EQ(dll->lastError(), unconfirmed);
    EXPECT_FALSE(dll->start_plug_and_play()) << "a start while the watcher may still run";
    EXPECT_EQ(dll->lastError(), unconfirmed);
    ASSERT_NE(ResumeThread(watcher.thread), static_cast<DWORD>(-1));
    EXPECT_EQ(WaitForSingleObject(watcher.thread, 3000), static_cast<DWORD>(WAIT_OBJECT_0))
        << "the watcher did not leave once it could run";
    CloseHandle(watcher.thread);
    watcher.thread = nullptr;
    ASSERT_TRUE(dll->start_plug_and_play()) << std::hex << dll->lastError().first;
    watchFor(1);
    EXPECT_EQ(readerMessages(), std::vector<std::string>({"found SIM0|Reader A|0", "found SIM0|Reader A|0"}));
    EXPECT_TRUE(dll->stop_plug_and_play());
}

// The argument rules of the poll callback parameters; a start with neither window nor queue; a
// list that cannot be had (refused, or growing at every call), or is malformed, keeps the last
// one (no reader is reported lost).
TEST_F(PlugAndPlay, ArgumentErrorsAndBadListsKeepTheLastList)
{
    const struct {
        void *handle;
        const char *find;
        const char *loss;
    } nulls[] = {{nullptr, ReaderFoundName, ReaderLostName},
                 {readers.handle(), nullptr, ReaderLostName},
                 {readers.handle(), ReaderFoundName, nullptr}};
    for (const auto &n : nulls) {
        EXPECT_FALSE(dll->set_pnp_callback_parameters(n.handle, n.find, n.loss));
        EXPECT_EQ(dll->lastError(), std::make_pair(KORVAT_NFC_E_INVALID_ARGUMENT, 0u));
    }
    EXPECT_FALSE(dll->start_plug_and_play());
    EXPECT_EQ(dll->lastError(), std::make_pair(KORVAT_NFC_E_NO_CALLBACK_PARAM, 0u));

    ASSERT_TRUE(dll->set_pnp_callback_parameters(readers.handle(), ReaderFoundName, ReaderLostName));
    setPorts({{"SIM0", "Reader A"}});
    ASSERT_TRUE(dll->start_plug_and_play());
    watchFor(1);
    fixture->setAnswer("gp_list_ports", 0, 1, 0xE0000031u, 4);
    watchFor(2);
    fixture->setAnswer("gp_list_ports", 1, 0, 0, 0);
    // A list that outgrows the room it is given at every call (three calls a look) is not had
    // either: the room it was never written into is no list.
    fixture->setPortsGrowth(16);
    watchFor(6);
    fixture->setPortsGrowth(0);
    watchFor(2);
    const std::string malformed[] = {std::string("SIM0\0Reader A", 13),
                                     std::string(64, 'P') + std::string("\0a\0\0", 4),
                                     std::string("SIM0\0a\0SIM0\0b\0\0", 15)};
    for (const std::string &bad : malformed) {
        fixture->setPorts(bad.data(), static_cast<uint32_t>(bad.size()));
        watchFor(2);
    }
    setPorts({{"SIM1", "Reader B"}});
    watchFor(2);
    EXPECT_EQ(readerMessages(),
              std::vector<std::string>({"found SIM0|Reader A|0", "lost SIM0|Reader A|0", "found SIM1|Reader B|0"}));
    const std::string log = debugLog();
    EXPECT_NE(log.find("gp_list_ports of category 0 failed (e0000031h, 00000004h)"), std::string::npos);
    EXPECT_NE(log.find("The port list of category 0 is malformed"), std::string::npos);
    EXPECT_NE(log.find("The port list of category 0 kept growing"), std::string::npos);
}

// The reader list, once, without plug_and_play's watcher: records, the count also when they do
// not fit, and the argument errors.
TEST_F(PlugAndPlay, ListReadersFillsRecordsAndCountsThoseThatDoNotFit)
{
    setPorts({{"SIM0", "Reader A"}, {"SIM1", "Reader B"}, {"SIM2", ""}});
    KORVAT_NFC_READER_RECORD records[4];
    const struct {
        const char *what;
        KORVAT_NFC_READER_RECORD *records;
        uint32_t capacity;
        bool result;
        std::pair<uint32_t, uint32_t> error;
        uint32_t filled;
    } cases[] = {
        {"room for all", records, 4, true, {0, 0}, 3},
        {"room for exactly all", records, 3, true, {0, 0}, 3},
        {"room for one", records, 1, false, {KORVAT_NFC_E_BUFFER_TOO_SMALL, 3}, 1},
        {"no records asked for", nullptr, 0, false, {KORVAT_NFC_E_BUFFER_TOO_SMALL, 3}, 0},
    };
    const std::string names[] = {"SIM0|Reader A|0", "SIM1|Reader B|0", "SIM2||0"};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::memset(records, 0xEE, sizeof(records));
        uint32_t count = 99;
        EXPECT_EQ(dll->list_readers(c.records, c.capacity, &count) != 0, c.result);
        EXPECT_EQ(count, 3u);
        if (!c.result) {
            EXPECT_EQ(dll->lastError(), c.error);
        }
        for (uint32_t i = 0; i < c.filled; ++i) {
            const Bytes bytes(reinterpret_cast<const uint8_t *>(&records[i]),
                              reinterpret_cast<const uint8_t *>(&records[i + 1]));
            EXPECT_EQ(describeReader(bytes), names[i]);
            EXPECT_EQ(Bytes(records[i].reserved, records[i].reserved + 3), Bytes(3, 0));
        }
        if (c.filled < 4 && c.records != nullptr) {
            EXPECT_EQ(records[c.filled].record_size, 0xEEEEEEEEu) << "nothing written past the room given";
        }
    }
    uint32_t count = 0;
    EXPECT_FALSE(dll->list_readers(records, 4, nullptr));
    EXPECT_EQ(dll->lastError(), std::make_pair(KORVAT_NFC_E_INVALID_ARGUMENT, 0u));
    EXPECT_FALSE(dll->list_readers(nullptr, 2, &count));
    EXPECT_EQ(dll->lastError(), std::make_pair(KORVAT_NFC_E_INVALID_ARGUMENT, 0u));
    ASSERT_TRUE(dll->uninitialize());
    EXPECT_FALSE(dll->list_readers(records, 4, &count));
    EXPECT_EQ(dll->lastError(), std::make_pair(KORVAT_NFC_E_NOT_INITIALIZED, 0u));
}

// FreeLibrary while the watcher runs (bounded, the plug-in unloaded after it, the library usable
// again), and the end of the process while it runs: in child processes.
TEST_F(PlugAndPlay, FreeLibraryAndProcessExitWhileWatching)
{
    TearDown();
    setDword(registry, "event_notification", 1);
    for (const char *mode : {"watch", "watch_polling", "exit"}) {
        const ChildRun run = runChildProcess(
            "\"" + binDirectory() + "free_library_while_watching.exe\" " + mode + " reader.gp", 30000);
        ASSERT_TRUE(run.started) << mode;
        EXPECT_TRUE(run.ended) << mode;
        EXPECT_EQ(run.exitCode, 0u) << mode;
    }
}

}  // namespace
