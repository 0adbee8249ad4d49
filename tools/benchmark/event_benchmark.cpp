// Figures of events as they happen (prints them; asserts nothing), the library's default mode and
// the registry value event_notification = 1 side by side in one run, for one reader:
//  - a card placed -> its find message, median and 90th percentile over the arrivals;
//  - the card removed -> its lost message (wParam KORVAT_NFC_LOST_TARGET), and what a departure
//    shows in the default mode (nothing but, for some readers, a card-error message);
//  - with plug_and_play = 1: a reader added or removed -> the plug-and-play message (the
//    simulator's readers on a schedule of its scenario; PC/SC's reader with pcscd stopped and
//    started).
// Usage (each way sets the registry for its run and empties it after):
//   event_benchmark.exe sim                 the simulator, cards on a schedule of its scenario file
//   event_benchmark.exe schedule            prints that schedule as scenario lines (for an emulator)
//   event_benchmark.exe pn532 <COMn>        a PN532 emulator on COMn started with that schedule
//                                           (scripts/benchmark.sh starts it paced at 115200 baud)
//   event_benchmark.exe pcsc                PC/SC under Wine 10 in the PC/SC root, cards brought by
//                                           the card controller, arrival and removal timed by a
//                                           SCardGetStatusChange watcher of this program's own
#include <winsock2.h>
#include <windows.h>
#include <winscard.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "PcscCardControl.h"
#include "TestSupport.h"
#include "korvat_nfc.h"

using namespace korvat_test;

namespace {

const char *const Architecture = sizeof(void *) == 8 ? "x64" : "x86";

double nowMs()
{
    static const LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) * 1e3 / static_cast<double>(frequency.QuadPart);
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5)];
}

// ---------------------------------------------------------------------------------------------
// The library's messages, each stamped with the time this thread took it from its queue.
// ---------------------------------------------------------------------------------------------
struct Stamped {
    double ms;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    uint32_t targetNumber;  // a found target's (read from its record), a lost target's (lParam)
    std::string port;       // a plug-and-play message's reader (read from its record)
};

class EventWindow {
public:
    EventWindow()
    {
        m_Window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        find = RegisterWindowMessageA(FindName);
        enable = RegisterWindowMessageA(EnableName);
        readerFound = RegisterWindowMessageA(ReaderFoundName);
        readerLost = RegisterWindowMessageA(ReaderLostName);
    }
    ~EventWindow()
    {
        if (m_Window != nullptr) {
            DestroyWindow(m_Window);
        }
    }
    HWND handle() const { return m_Window; }

    // Takes the messages posted until `deadline` (nowMs), or until `done` says so.
    void pumpUntil(double deadline, const std::function<bool()> &done = nullptr)
    {
        for (;;) {
            MSG msg;
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                const double at = nowMs();
                if (msg.hwnd == m_Window &&
                    (msg.message == find || msg.message == enable || msg.message == readerFound ||
                     msg.message == readerLost)) {
                    record(msg, at);
                } else {
                    DispatchMessageA(&msg);
                }
            }
            const double left = deadline - nowMs();
            if (left <= 0 || (done && done())) {
                return;
            }
            MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(std::min(left, 50.0)) + 1, QS_ALLINPUT);
        }
    }

    // The first message at or after `from` (ms) that `match` accepts; nullptr if none.
    const Stamped *first(double from, const std::function<bool(const Stamped &)> &match) const
    {
        for (const Stamped &m : messages) {
            if (m.ms >= from && match(m)) {
                return &m;
            }
        }
        return nullptr;
    }

    static constexpr const char *FindName = "korvat.event.bench.find";
    static constexpr const char *EnableName = "korvat.event.bench.enable";
    static constexpr const char *ReaderFoundName = "korvat.event.bench.reader.found";
    static constexpr const char *ReaderLostName = "korvat.event.bench.reader.lost";
    UINT find = 0, enable = 0, readerFound = 0, readerLost = 0;
    std::vector<Stamped> messages;

private:
    void record(const MSG &msg, double at)
    {
        Stamped s{at, msg.message, msg.wParam, msg.lParam, 0, ""};
        if (msg.message == find && msg.wParam == KORVAT_NFC_FIND_TARGET && msg.lParam != 0) {
            // Type A and B records have target_number at offset 4, 18092 records at offset 8.
            const uint8_t *record = reinterpret_cast<const uint8_t *>(msg.lParam);
            uint32_t device = 0;
            std::memcpy(&device, record, 4);
            std::memcpy(&s.targetNumber, record + (device == 2 || device == 4 ? 8 : 4), 4);
        } else if (msg.message == find && msg.wParam == KORVAT_NFC_LOST_TARGET) {
            s.targetNumber = static_cast<uint32_t>(msg.lParam);
        } else if ((msg.message == readerFound || msg.message == readerLost) && msg.lParam != 0) {
            const KORVAT_NFC_READER_RECORD *record = reinterpret_cast<const KORVAT_NFC_READER_RECORD *>(msg.lParam);
            s.port.assign(record->port_name, strnlen(record->port_name, sizeof(record->port_name)));
        }
        messages.push_back(s);
    }

    HWND m_Window = nullptr;
};

// ---------------------------------------------------------------------------------------------
// What one mode showed for a reader.
// ---------------------------------------------------------------------------------------------
struct Figures {
    bool ran = false;
    std::string why;                  // when it did not run
    std::vector<double> arrival;      // card placed -> find message, ms
    std::vector<double> departure;    // card removed -> lost message, ms
    size_t arrivals = 0;              // cards placed
    size_t foundRepeats = 0;          // find messages of targets already announced (the 600 ms repeat)
    size_t cardErrors = 0;            // find messages with an error pair after a removal
    size_t lostMessages = 0;
};

// The cards of one run: when each was placed and removed (ms, the clock of nowMs), and the
// window's messages of that run; fills the figures.
struct Placement {
    double placed;
    double removed;
};

void evaluate(const EventWindow &window, const std::vector<Placement> &cards, Figures &figures)
{
    figures.ran = true;
    figures.arrivals = cards.size();
    std::vector<uint32_t> announced;
    const double slack = 5;  // the clocks of placement and message are this program's; a schedule's start is not exact
    for (size_t i = 0; i < cards.size(); ++i) {
        const double end = i + 1 < cards.size() ? cards[i + 1].placed - slack : 1e300;
        const Stamped *found = window.first(cards[i].placed - slack, [&](const Stamped &m) {
            return m.ms < end && m.message == window.find && m.wParam == KORVAT_NFC_FIND_TARGET &&
                   std::find(announced.begin(), announced.end(), m.targetNumber) == announced.end();
        });
        if (found == nullptr) {
            continue;
        }
        announced.push_back(found->targetNumber);
        figures.arrival.push_back(std::max(0.0, found->ms - cards[i].placed));
        const Stamped *lost = window.first(cards[i].removed - slack, [&](const Stamped &m) {
            return m.ms < end && m.message == window.find && m.wParam == KORVAT_NFC_LOST_TARGET &&
                   m.targetNumber == found->targetNumber;
        });
        if (lost != nullptr) {
            figures.departure.push_back(std::max(0.0, lost->ms - cards[i].removed));
        }
    }
    for (const Stamped &m : window.messages) {
        if (m.message != window.find) {
            continue;
        }
        if (m.wParam == KORVAT_NFC_FIND_TARGET &&
            std::count_if(window.messages.begin(), window.messages.end(), [&](const Stamped &o) {
                return o.message == window.find && o.wParam == KORVAT_NFC_FIND_TARGET &&
                       o.targetNumber == m.targetNumber && o.ms < m.ms;
            }) > 0) {
            ++figures.foundRepeats;
        } else if (m.wParam == KORVAT_NFC_FIND_ERROR) {
            ++figures.cardErrors;
        } else if (m.wParam == KORVAT_NFC_LOST_TARGET) {
            ++figures.lostMessages;
        }
    }
}

std::string medianP90(const std::vector<double> &values, size_t of)
{
    if (values.empty()) {
        return "none";
    }
    char text[64];
    std::snprintf(text, sizeof(text), "%.0f / %.0f ms (%zu of %zu)", percentile(values, 0.5), percentile(values, 0.9),
                  values.size(), of);
    return text;
}

void printSideBySide(const char *reader, const Figures &standard, const Figures &events)
{
    if (!standard.ran && !events.ran) {
        std::printf("[%s] events, %s: not run: %s\n", Architecture, reader, standard.why.c_str());
        return;
    }
    auto cell = [](const Figures &f, const std::string &text) { return f.ran ? text : "not run: " + f.why; };
    std::printf("[%s] events, %s: %-44s %-34s %s\n", Architecture, reader, "", "default mode", "event_notification = 1");
    std::printf("[%s]   %-52s %-34s %s\n", Architecture, "card placed -> find message, median / p90",
                cell(standard, medianP90(standard.arrival, standard.arrivals)).c_str(),
                cell(events, medianP90(events.arrival, events.arrivals)).c_str());
    std::printf("[%s]   %-52s %-34s %s\n", Architecture, "card removed -> lost message, median / p90",
                cell(standard, medianP90(standard.departure, standard.arrivals)).c_str(),
                cell(events, medianP90(events.departure, events.arrivals)).c_str());
    char counts[2][96];
    for (int i = 0; i < 2; ++i) {
        const Figures &f = i == 0 ? standard : events;
        std::snprintf(counts[i], sizeof(counts[i]), "%zu repeats, %zu error pairs, %zu lost", f.foundRepeats,
                      f.cardErrors, f.lostMessages);
    }
    std::printf("[%s]   %-52s %-34s %s\n", Architecture, "find messages besides the arrivals",
                cell(standard, counts[0]).c_str(), cell(events, counts[1]).c_str());
}

// ---------------------------------------------------------------------------------------------
// One mode's session: the registry, a fresh DLL, a port in poll mode.
// ---------------------------------------------------------------------------------------------
struct Configuration {
    std::string pluginsHome;
    std::string categories;
    std::string port;
    std::vector<std::pair<std::string, std::string>> strings;  // further values of the reader
};

void setDword(RegistryConfiguration &registry, const char *name, DWORD value)
{
    registry.setBinary(name, &value, sizeof(value), REG_DWORD);
}

// Runs `body` with the library initialised under `configuration` (event_notification = 1 when
// `eventMode`), the port open and the window set; false with the reason when that failed.
bool session(const Configuration &configuration, bool eventMode, EventWindow &window, std::string &why,
             const std::function<void(KorvatDll &)> &body)
{
    RegistryConfiguration registry;
    registry.setString("plugins_home_directory", configuration.pluginsHome);
    registry.setString("category_name_list", configuration.categories);
    registry.setString("port_name_list", configuration.port);
    for (const auto &value : configuration.strings) {
        registry.setString(value.first.c_str(), value.second);
    }
    if (eventMode) {
        setDword(registry, "event_notification", 1);
    }
    KorvatDll dll;
    char port[16] = {0};
    std::snprintf(port, sizeof(port), "%s", configuration.port.c_str());
    if (!dll.loaded() || !dll.initialize()) {
        why = "initialize failed";
        return false;
    }
    bool ok = dll.set_poll_callback_parameters(window.handle(), EventWindow::FindName, EventWindow::EnableName) &&
              dll.open(port);
    if (!ok) {
        const auto error = dll.lastError();
        char text[96];
        std::snprintf(text, sizeof(text), "open of %s failed (0x%08X, 0x%08X)", configuration.port.c_str(),
                      error.first, error.second);
        why = text;
    } else {
        body(dll);
        dll.stop_poll_mode();
        dll.close();
    }
    dll.uninitialize();
    return ok;
}

// ---------------------------------------------------------------------------------------------
// Cards on a schedule: the simulator's scenario file, or a PN532 emulator's.
// ---------------------------------------------------------------------------------------------
const int ScheduledArrivals = 20;

// Arrivals at irregular places of the library's 600 ms cycle, each card in the field for 600 ms
// and at least 400 ms between a card's leaving and the next one's arrival.
std::vector<std::pair<int, int>> schedule(int firstMs)
{
    std::vector<std::pair<int, int>> cards;
    for (int i = 0; i < ScheduledArrivals; ++i) {
        const int enter = firstMs + 1500 * i + (i * 397) % 500;
        cards.push_back({enter, enter + 600});
    }
    return cards;
}

std::string scenarioText(int firstMs)
{
    std::string text = "# kind enter leave: the event benchmark's arrivals\n";
    for (const auto &card : schedule(firstMs)) {
        text += "card A " + std::to_string(card.first) + " " + std::to_string(card.second) +
                " nfcid1=04A1A2A3A4A5A6 sens_res=0044 sel_res=20 ats=0578807002\n";
    }
    return text;
}

// One mode over the schedule; `origin` is where the reader's clock starts: the simulator's at
// gp_start_poll_mode, the emulator's session at the port's open.
Figures scheduledRun(const Configuration &configuration, bool eventMode, bool clockStartsAtOpen, int firstMs)
{
    Figures figures;
    EventWindow window;
    std::vector<Placement> cards;
    const double openedAt = nowMs();
    session(configuration, eventMode, window, figures.why, [&](KorvatDll &dll) {
        const double origin = clockStartsAtOpen ? openedAt : nowMs();
        if (!dll.start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K)) {
            figures.why = "start_poll_mode failed";
            return;
        }
        for (const auto &card : schedule(firstMs)) {
            cards.push_back({origin + card.first, origin + card.second});
        }
        window.pumpUntil(cards.back().removed + 1500);
    });
    if (!cards.empty()) {
        evaluate(window, cards, figures);
    }
    return figures;
}

// ---------------------------------------------------------------------------------------------
// Readers that come and go: plug_and_play = 1, watching without an open port.
// ---------------------------------------------------------------------------------------------
struct ReaderFigures {
    bool ran = false;
    std::string why;
    std::vector<double> added;    // reader there -> found message, ms
    std::vector<double> removed;  // reader gone -> loss message, ms
    size_t additions = 0;         // times the reader came, and went
    size_t removals = 0;
};

// Runs `body` with the library initialised under `configuration` and plug_and_play = 1 and its
// watching started; `initialized` gets the time just before korvatlib_nfc_initialize (where the
// plug-ins are loaded). The messages are copied while handled: the record names the port.
void watchingSession(const Configuration &configuration, EventWindow &window, ReaderFigures &figures,
                     const std::function<void(double initialized)> &body)
{
    RegistryConfiguration registry;
    registry.setString("plugins_home_directory", configuration.pluginsHome);
    registry.setString("category_name_list", configuration.categories);
    registry.setString("port_name_list", configuration.port);
    for (const auto &value : configuration.strings) {
        registry.setString(value.first.c_str(), value.second);
    }
    setDword(registry, "plug_and_play", 1);
    KorvatDll dll;
    const double initialized = nowMs();
    if (!dll.loaded() || !dll.initialize()) {
        figures.why = "initialize failed";
        return;
    }
    if (!dll.set_pnp_callback_parameters(window.handle(), EventWindow::ReaderFoundName, EventWindow::ReaderLostName) ||
        !dll.start_plug_and_play()) {
        const auto error = dll.lastError();
        char text[96];
        std::snprintf(text, sizeof(text), "plug-and-play refused (0x%08X, 0x%08X)", error.first, error.second);
        figures.why = text;
    } else {
        figures.ran = true;
        body(initialized);
        dll.stop_plug_and_play();
    }
    dll.uninitialize();
}

// The first found (or loss) message of `port` (empty: of any port) at or after each time; the
// delays into the figures.
void matchChanges(const EventWindow &window, const std::string &port, const std::vector<double> &times, bool found,
                  std::vector<double> &delays)
{
    for (double at : times) {
        const Stamped *m = window.first(at - 5, [&](const Stamped &s) {
            return s.message == (found ? window.readerFound : window.readerLost) && s.ms < at + 5000 &&
                   s.wParam == static_cast<WPARAM>(found ? KORVAT_NFC_READER_FOUND : KORVAT_NFC_READER_LOST) &&
                   (port.empty() || s.port == port);
        });
        if (m != nullptr) {
            delays.push_back(std::max(0.0, m->ms - at));
        }
    }
}

// The simulator's reader SIM1 present for 1300 ms, absent for 1170 ms, from the plug-in's load.
const int ReaderPresentMs = 1300, ReaderAbsentMs = 1170, ReaderPeriods = 8;

ReaderFigures simReaderRun(const std::string &scenario)
{
    ReaderFigures figures;
    EventWindow window;
    std::vector<double> came, went;
    const Configuration sim{binDirectory() + "plugins", "SIM", "SIM0", {{"sim_scenario_file", scenario}}};
    watchingSession(sim, window, figures, [&](double origin) {
        for (int k = 0; k < ReaderPeriods; ++k) {
            const double period = origin + k * (ReaderPresentMs + ReaderAbsentMs);
            if (k > 0) {
                came.push_back(period);  // the first presence is there before watching starts
            }
            went.push_back(period + ReaderPresentMs);
        }
        window.pumpUntil(went.back() + 1500);
    });
    figures.additions = came.size();
    figures.removals = went.size();
    matchChanges(window, "SIM1", came, true, figures.added);
    matchChanges(window, "SIM1", went, false, figures.removed);
    return figures;
}

void printReaders(const char *reader, const ReaderFigures &figures)
{
    if (!figures.ran || figures.removals == 0) {
        std::printf("[%s]   %-52s not run: %s\n", Architecture, "reader added / removed -> message", figures.why.c_str());
        return;
    }
    std::printf("[%s]   %-52s added %s, removed %s\n", Architecture,
                (std::string("reader added / removed -> message (") + reader + ")").c_str(),
                medianP90(figures.added, figures.additions).c_str(), medianP90(figures.removed, figures.removals).c_str());
}

// ---------------------------------------------------------------------------------------------
// PC/SC: cards brought by the card controller, timed by a watcher of the resource manager.
// ---------------------------------------------------------------------------------------------
const char PcscReader[] = "Virtual PCD 00 00";
const int PcscArrivals = 20;

// A thread that waits in SCardGetStatusChange (a context of its own) and notes when the reader
// shows a card present and when it shows it empty.
class PresenceWatcher {
public:
    PresenceWatcher()
    {
        if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &m_Context) != SCARD_S_SUCCESS) {
            m_Context = 0;
            return;
        }
        m_Thread = CreateThread(nullptr, 0, &PresenceWatcher::run, this, 0, nullptr);
    }
    ~PresenceWatcher()
    {
        InterlockedExchange(&m_Stop, 1);
        if (m_Context != 0) {
            SCardCancel(m_Context);
        }
        if (m_Thread != nullptr) {
            WaitForSingleObject(m_Thread, 10000);
            CloseHandle(m_Thread);
        }
        if (m_Context != 0) {
            SCardReleaseContext(m_Context);
        }
    }
    bool running() const { return m_Thread != nullptr; }

    // The first time at or after `from` that the reader showed `present`; 0 if not yet.
    double changeAfter(double from, bool present)
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        for (const auto &change : m_Changes) {
            if (change.first >= from && change.second == present) {
                return change.first;
            }
        }
        return 0;
    }

private:
    static DWORD WINAPI run(void *argument)
    {
        PresenceWatcher *self = static_cast<PresenceWatcher *>(argument);
        SCARD_READERSTATEA state = {};
        state.szReader = PcscReader;
        state.dwCurrentState = SCARD_STATE_UNAWARE;
        bool present = false;
        bool known = false;
        while (InterlockedCompareExchange(&self->m_Stop, 0, 0) == 0) {
            const LONG result = SCardGetStatusChangeA(self->m_Context, INFINITE, &state, 1);
            const double at = nowMs();
            if (result == SCARD_E_CANCELLED) {
                break;
            }
            if (result != SCARD_S_SUCCESS) {
                Sleep(5);  // the reader is not there (yet): look again
                state.dwCurrentState = SCARD_STATE_UNAWARE;
                continue;
            }
            state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
            const bool nowPresent = (state.dwEventState & SCARD_STATE_PRESENT) != 0;
            if (!known || nowPresent != present) {
                std::lock_guard<std::mutex> lock(self->m_Lock);
                self->m_Changes.push_back({at, nowPresent});
            }
            known = true;
            present = nowPresent;
        }
        return 0;
    }

    SCARDCONTEXT m_Context = 0;
    HANDLE m_Thread = nullptr;
    volatile LONG m_Stop = 0;
    std::mutex m_Lock;
    std::vector<std::pair<double, bool>> m_Changes;
};

// Takes a card away on a thread of its own. The controller answers only once the card's process
// has ended, which takes up to seconds after the resource manager reports the reader empty; the
// window's thread keeps taking its messages meanwhile, so that each is stamped when it comes and
// not when the answer does.
class CardRemoval {
public:
    explicit CardRemoval(VirtualCard &card) : m_Card(card)
    {
        m_Thread = CreateThread(nullptr, 0, &CardRemoval::run, this, 0, nullptr);
        if (m_Thread == nullptr) {
            card.remove();
        }
    }
    ~CardRemoval()
    {
        if (m_Thread != nullptr) {
            WaitForSingleObject(m_Thread, INFINITE);
            CloseHandle(m_Thread);
        }
    }
    bool finished() const { return m_Thread == nullptr || WaitForSingleObject(m_Thread, 0) == WAIT_OBJECT_0; }

    CardRemoval(const CardRemoval &) = delete;
    CardRemoval &operator=(const CardRemoval &) = delete;

private:
    static DWORD WINAPI run(void *argument)
    {
        static_cast<CardRemoval *>(argument)->m_Card.remove();
        return 0;
    }

    VirtualCard &m_Card;
    HANDLE m_Thread = nullptr;
};

Figures pcscRun(const Configuration &configuration, bool eventMode)
{
    Figures figures;
    CardControl &cards = control();
    if (!cards.connected()) {
        figures.why = "no card controller (run in the PC/SC root: scripts/benchmark.sh pcsc)";
        return figures;
    }
    PresenceWatcher watcher;
    if (!watcher.running()) {
        figures.why = "SCardEstablishContext failed";
        return figures;
    }
    EventWindow window;
    std::vector<Placement> placements;
    session(configuration, eventMode, window, figures.why, [&](KorvatDll &dll) {
        if (!dll.start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K)) {
            figures.why = "start_poll_mode failed";
            return;
        }
        window.pumpUntil(nowMs() + 1000);
        for (int i = 0; i < PcscArrivals; ++i) {
            const double asked = nowMs();
            VirtualCard card("--card t4a --profile plain");
            double present = 0;
            window.pumpUntil(asked + 5000, [&] { return (present = watcher.changeAfter(asked, true)) != 0; });
            // Stay well past the find message, then leave; the next card comes after the lost message.
            window.pumpUntil(nowMs() + 900 + (i * 397) % 500);
            const double leaving = nowMs();
            CardRemoval removal(card);
            double empty = 0;
            window.pumpUntil(leaving + 5000, [&] {
                return removal.finished() && (empty = watcher.changeAfter(leaving, false)) != 0;
            });
            window.pumpUntil(nowMs() + 1200);
            if (present != 0 && empty != 0) {
                placements.push_back({present, empty});
            }
        }
    });
    if (!placements.empty()) {
        evaluate(window, placements, figures);
    }
    return figures;
}

// The PC/SC reader gone and back: pcscd stopped and started by the card controller (from the
// controller's answer: pcscd is gone, or its socket is there again).
const int PcscdRestarts = 5;

ReaderFigures pcscReaderRun(const Configuration &configuration)
{
    ReaderFigures figures;
    CardControl &cards = control();
    if (!cards.connected()) {
        figures.why = "no card controller";
        return figures;
    }
    EventWindow window;
    std::vector<double> came, went;
    watchingSession(configuration, window, figures, [&](double) {
        window.pumpUntil(nowMs() + 1500);
        for (int i = 0; i < PcscdRestarts; ++i) {
            if (cards.ask("pcscd-stop") != "ok") {
                figures.why = "pcscd-stop failed";
                return;
            }
            went.push_back(nowMs());
            window.pumpUntil(nowMs() + 2500 + (i * 397) % 500);
            if (cards.ask("pcscd-start") != "ok") {
                figures.why = "pcscd-start failed";
                return;
            }
            came.push_back(nowMs());
            window.pumpUntil(nowMs() + 3000);
        }
    });
    figures.additions = came.size();
    figures.removals = went.size();
    matchChanges(window, "", came, true, figures.added);
    matchChanges(window, "", went, false, figures.removed);
    return figures;
}

int usage()
{
    std::printf("usage: event_benchmark.exe sim | schedule | pn532 <COMn> | pcsc\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "schedule") {
        std::fputs(scenarioText(2000).c_str(), stdout);
        return 0;
    }
    if (what == "sim") {
        ScratchDirectory scratch("event_benchmark");
        const std::string scenario = scratch.file("events.scenario");
        writeFile(scenario, scenarioText(1000));
        const Configuration sim{binDirectory() + "plugins", "SIM", "SIM0", {{"sim_scenario_file", scenario}}};
        const Figures standard = scheduledRun(sim, false, false, 1000);
        const Figures events = scheduledRun(sim, true, false, 1000);
        printSideBySide("simulator", standard, events);
        const std::string readers = scratch.file("readers.scenario");
        writeFile(readers, "port SIM1 " + std::to_string(ReaderPresentMs) + " " + std::to_string(ReaderAbsentMs) +
                               " Event benchmark reader\n");
        printReaders("simulator schedule", simReaderRun(readers));
        return 0;
    }
    if (what == "pn532" && argc > 2) {
        const Configuration pn532{binDirectory() + "pn532_plugins", "COM", argv[2], {}};
        const Figures standard = scheduledRun(pn532, false, true, 2000);
        const Figures events = scheduledRun(pn532, true, true, 2000);
        printSideBySide("PN532 emulator, 115200 baud", standard, events);
        return 0;
    }
    if (what == "pcsc") {
        const Configuration pcsc{binDirectory() + "pcsc_plugins", "PCSC", "PCSC0", {{"pcsc_reader_filter", "Virtual PCD"}}};
        const Figures standard = pcscRun(pcsc, false);
        const Figures events = pcscRun(pcsc, true);
        printSideBySide("PC/SC (resource manager's arrival)", standard, events);
        const ReaderFigures readers = pcscReaderRun(pcsc);
        std::printf("[%s] events, PC/SC, plug_and_play = 1:\n", Architecture);
        printReaders("pcscd stopped / started", readers);
        return 0;
    }
    return usage();
}
