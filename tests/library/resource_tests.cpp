// What the library takes from the process it gives back, on the normal road and on the roads
// that fail half way: every path is run once to warm up (Wine and the C runtime create some of
// their own things on first use), then again and again, and the process's open handles, its
// committed private memory and the bytes in use on its heaps are compared with what they were
// after the warm-up. A leak of one handle or one record per round shows as growth with the
// number of rounds; what Wine settles once does not. Each road runs inside one load of the DLL
// (the library's own code) and with the DLL loaded and freed every round (also the image and
// its runtime).
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "TestSupport.h"
#include "korvat_nfc_plugin.h"

using namespace korvat_test;

namespace {

using Bytes = std::vector<uint8_t>;

const char FindName[] = "korvat.resource.find";
const char EnableName[] = "korvat.resource.enable";

const uint32_t Found = GP_STATUS_STATE_IDLE | GP_CONNECT_REPORT_POLL_MODE;
const uint32_t AccessEnabled = GP_STATUS_STATE_IDLE | GP_ACCESS_ENABLED;
const uint32_t TargetNumber = 0x5EED0A01;

const int Rounds = 8;
// Loading and unloading the DLL is measured over more rounds: what stays behind per unload (the
// runtime's record of the unloading thread, say) is small, and must be nothing at all.
const int LoadRounds = 64;
// Wine creates a few objects of its own lazily (a queue, a key it caches); a leak of the
// library's grows by one per round at least and so exceeds this after eight rounds.
const long long HandleJitter = 2;
// Committed private memory moves in pages and heap segments; a per-round leak of any size that
// matters crosses this within the rounds.
const long long CommittedTolerance = 256 * 1024;
// Bytes in use on the heaps are exact to the block; this leaves room for what Wine's own caches
// keep, and a leak of 512 bytes a round exceeds it.
const long long HeapTolerance = 4 * 1024;

// ---- Process resources ----------------------------------------------------------------------

// Wine answers 0 to GetProcessHandleCount, so the handle table is probed value by value. Its
// handles are multiples of four handed out from the lowest free slot, so the table is dense:
// the probe goes on well past the highest handle found.
const uintptr_t HandleProbeMinimum = 0x800;
const uintptr_t HandleProbeMargin = 0x800;
const uintptr_t HandleProbeLimit = 0x10000;

// Fills `handles`, whose capacity is reserved by the caller beforehand, so that the probe
// allocates nothing that a later measurement would count.
void probeHandles(std::vector<uintptr_t> &handles)
{
    handles.clear();
    uintptr_t end = HandleProbeMinimum;
    for (uintptr_t value = 4; value < end && value < HandleProbeLimit; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            handles.push_back(value);
            end = std::max(end, value + HandleProbeMargin);
        }
    }
}

// The object type of a handle ("Event", "File", "Key", ...), for the failure message.
std::string handleType(uintptr_t value)
{
    typedef LONG(WINAPI * NtQueryObjectFunction)(HANDLE, int, void *, ULONG, ULONG *);
    static const NtQueryObjectFunction query = reinterpret_cast<NtQueryObjectFunction>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryObject")));
    struct TypeName {
        USHORT length;
        USHORT maximumLength;
        const wchar_t *buffer;
    };
    alignas(8) unsigned char information[1024] = {};
    const int ObjectTypeInformation = 2;
    ULONG returned = 0;
    if (query == nullptr ||
        query(reinterpret_cast<HANDLE>(value), ObjectTypeInformation, information, sizeof(information), &returned) != 0) {
        return "?";
    }
    const TypeName *name = reinterpret_cast<const TypeName *>(information);
    std::string text;
    for (USHORT i = 0; name->buffer != nullptr && i < name->length / 2; ++i) {
        text += static_cast<char>(name->buffer[i]);
    }
    return text;
}

// PrivateUsage of the memory counters stays 0 under Wine: the committed private regions are
// summed instead.
long long committedPrivateBytes()
{
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    long long total = 0;
    const char *address = static_cast<const char *>(system.lpMinimumApplicationAddress);
    const char *end = static_cast<const char *>(system.lpMaximumApplicationAddress);
    MEMORY_BASIC_INFORMATION region;
    while (address < end && VirtualQuery(address, &region, sizeof(region)) == sizeof(region)) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) {
            total += static_cast<long long>(region.RegionSize);
        }
        const char *next = static_cast<const char *>(region.BaseAddress) + region.RegionSize;
        if (next <= address) {
            break;
        }
        address = next;
    }
    return total;
}

// The bytes of every busy block of every heap of the process (the C runtime's included).
long long heapBusyBytes()
{
    std::vector<HANDLE> heaps(64);
    DWORD count = GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data());
    if (count > heaps.size()) {
        heaps.resize(count);
        count = GetProcessHeaps(count, heaps.data());
    }
    long long total = 0;
    for (DWORD i = 0; i < count && i < heaps.size(); ++i) {
        if (!HeapLock(heaps[i])) {
            continue;
        }
        PROCESS_HEAP_ENTRY entry;
        entry.lpData = nullptr;
        while (HeapWalk(heaps[i], &entry)) {
            if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) {
                total += entry.cbData;
            }
        }
        HeapUnlock(heaps[i]);
    }
    return total;
}

struct Usage {
    long long handles = 0;
    long long committed = 0;
    long long heap = 0;
};

Usage measure(std::vector<uintptr_t> &handles)
{
    Usage usage;
    usage.heap = heapBusyBytes();
    usage.committed = committedPrivateBytes();
    probeHandles(handles);
    usage.handles = static_cast<long long>(handles.size());
    return usage;
}

std::string describeHandles(const std::vector<uintptr_t> &handles)
{
    std::string text;
    char value[16];
    for (uintptr_t handle : handles) {
        std::snprintf(value, sizeof(value), "%#x", static_cast<unsigned>(handle));
        text += (text.empty() ? "" : ", ") + std::string(value) + " (" + handleType(handle) + ")";
    }
    return text.empty() ? "none" : text;
}

std::vector<uintptr_t> difference(const std::vector<uintptr_t> &from, const std::vector<uintptr_t> &without)
{
    std::vector<uintptr_t> rest;
    std::set_difference(from.begin(), from.end(), without.begin(), without.end(), std::back_inserter(rest));
    return rest;
}

// Growth per round of a series of samples taken after the warm-up (index 0) and after each
// round: the least-squares slope, so that one step that Wine takes once weighs little and a
// steady leak shows in full.
double slope(const std::vector<long long> &samples)
{
    const double n = static_cast<double>(samples.size());
    double sumX = 0, sumY = 0, sumXY = 0, sumXX = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        const double x = static_cast<double>(i);
        const double y = static_cast<double>(samples[i] - samples[0]);
        sumX += x;
        sumY += y;
        sumXY += x * y;
        sumXX += x * x;
    }
    const double denominator = n * sumXX - sumX * sumX;
    return denominator == 0 ? 0 : (n * sumXY - sumX * sumY) / denominator;
}

// Rounds after which a sample stood above the one before.
int risingRounds(const std::vector<long long> &samples)
{
    int rising = 0;
    for (size_t i = 1; i < samples.size(); ++i) {
        rising += samples[i] > samples[i - 1] ? 1 : 0;
    }
    return rising;
}

std::string series(const std::vector<long long> &samples)
{
    std::string text;
    for (size_t i = 1; i < samples.size(); ++i) {
        text += (i == 1 ? "" : " ") + std::to_string(samples[i] - samples[i - 1]);
    }
    return text;
}

// ---- Fixture ----------------------------------------------------------------------------------

class Resources : public ::testing::Test {
protected:
    // The system DLLs the library links are kept loaded, as in any application that uses
    // them: what a round leaves behind is then the library's, not the platform's own modules
    // loading and unloading.
    static void SetUpTestSuite()
    {
        for (const char *name : {"crypt32.dll", "wintrust.dll", "shlwapi.dll"}) {
            LoadLibraryA(name);
        }
    }

    void SetUp() override
    {
        m_Registry.setEmptyDebugLog(debugLogPath());
        DeleteFileA(normalLogPath().c_str());
        DeleteFileA((normalLogPath() + ".old").c_str());
    }

    void TearDown() override
    {
        for (auto &pin : m_Pins) {
            pin.second->reset();
        }
        m_Pins.clear();
    }

    // Copies the variants into the plug-in directory and holds a reference on each module for
    // the whole test. A plug-in's own runtime start-up is then paid once, before the warm-up,
    // and what the rounds leave behind is the library's; expectPluginsReleased shows afterwards
    // that the library gave back every reference it took.
    void usePlugins(const std::vector<std::string> &variants)
    {
        for (const std::string &variant : variants) {
            const std::string path = m_Plugins.addPlugin(variant, variant + ".gp");
            m_Pins.emplace_back(path, std::unique_ptr<FixturePlugin>(new FixturePlugin(path)));
            ASSERT_TRUE(m_Pins.back().second->loaded()) << path;
        }
        m_Registry.configureSimPort(m_Plugins.path());
    }

    FixturePlugin *pin(const std::string &variant)
    {
        for (auto &pin : m_Pins) {
            if (pin.first == m_Plugins.file(variant + ".gp")) {
                return pin.second.get();
            }
        }
        return nullptr;
    }

    // Once the DLL is gone and the test lets go of its references, no plug-in module may stay.
    void expectPluginsReleased()
    {
        for (auto &pin : m_Pins) {
            pin.second->reset();
            pin.second.reset();
            EXPECT_EQ(GetModuleHandleA(pin.first.c_str()), nullptr)
                << pin.first << " stayed loaded: the library kept a reference on it";
        }
        m_Pins.clear();
    }

    RegistryConfiguration &registryConfiguration() { return m_Registry; }
    std::string debugLogPath() const { return m_Logs.file("debug.log"); }
    std::string normalLogPath() const { return m_Logs.file("normal.log"); }

    // Runs `round` once to warm up and then `rounds` times, and fails when the handles, the
    // committed private memory or the heap grew with the rounds.
    void expectNothingKept(const std::string &path, const std::function<void()> &round, int rounds = Rounds)
    {
        round();
        window.messages.clear();
        if (HasFatalFailure()) {
            return;
        }
        // All that the measurements keep is allocated here, before the first of them: only the
        // first and the latest handle lists, each in a buffer of its full size.
        std::vector<uintptr_t> firstHandles, lastHandles;
        firstHandles.reserve(HandleProbeLimit / 4);
        lastHandles.reserve(HandleProbeLimit / 4);
        std::vector<long long> handleCounts, committed, heap;
        for (std::vector<long long> *series : {&handleCounts, &committed, &heap}) {
            series->reserve(rounds + 1);
        }
        const auto sample = [&](std::vector<uintptr_t> &handles) {
            const Usage usage = measure(handles);
            handleCounts.push_back(usage.handles);
            committed.push_back(usage.committed);
            heap.push_back(usage.heap);
        };
        sample(firstHandles);
        for (int i = 0; i < rounds; ++i) {
            round();
            window.messages.clear();  // the record copies are the test's, not the library's
            if (HasFatalFailure()) {
                return;
            }
            sample(lastHandles);
        }

        std::printf("[ FIGURES  ] %s, %d rounds: handles %lld -> %lld, committed private %+lld B "
                    "(%+.0f B/round), heap in use %+lld B (%+.0f B/round; per round %s)\n",
                    path.c_str(), rounds, handleCounts.front(), handleCounts.back(), committed.back() - committed.front(),
                    slope(committed), heap.back() - heap.front(), slope(heap), series(heap).c_str());

        const long long newHandles = handleCounts.back() - handleCounts.front();
        EXPECT_LE(newHandles, HandleJitter)
            << path << ": " << newHandles << " more handles open after " << rounds << " rounds ("
            << handleCounts.front() << " -> " << handleCounts.back() << ", per round " << series(handleCounts)
            << "); opened and not closed: " << describeHandles(difference(lastHandles, firstHandles));

        const double committedPerRound = slope(committed);
        EXPECT_FALSE(committedPerRound * rounds > CommittedTolerance && risingRounds(committed) > rounds / 2)
            << path << ": committed private memory grows by " << committedPerRound << " bytes per round ("
            << (committed.back() - committed.front()) << " bytes after " << rounds << " rounds; per round "
            << series(committed) << ")";

        const double heapPerRound = slope(heap);
        EXPECT_FALSE(heapPerRound * rounds > HeapTolerance && risingRounds(heap) > rounds / 2)
            << path << ": heap memory in use grows by " << heapPerRound << " bytes per round ("
            << (heap.back() - heap.front()) << " bytes after " << rounds << " rounds; per round " << series(heap)
            << ")";
    }

    MessageWindow window{FindName, EnableName};

private:
    RegistryConfiguration m_Registry;
    ScratchDirectory m_Plugins{"resource_plugins"};
    ScratchDirectory m_Logs{"resource_logs"};
    std::vector<std::pair<std::string, std::unique_ptr<FixturePlugin>>> m_Pins;
};

void pushFind(FixturePlugin &fixture, uint32_t targetNumber)
{
    const Bytes block = additionalData14443A(targetNumber, 0x0044, 0x20, {0x04, 0x51, 0x2C, 0x7A, 0x19, 0x80, 0x3B},
                                             {0x75, 0x77, 0x81, 0x02, 0x80});
    fixture.pushStatus(Found, DEVICE_TYPE_NFC_14443A_18092_106K, 0, block.data(),
                       static_cast<uint32_t>(block.size()), 1, 0, 0);
}

std::string errorText(KorvatDll &dll)
{
    const std::pair<uint32_t, uint32_t> error = dll.lastError();
    char text[32];
    std::snprintf(text, sizeof(text), "(%08X, %08X)", error.first, error.second);
    return text;
}

// ---- The roads ----------------------------------------------------------------------------------

// What a road works with. The normal log is on when a road starts (the debug log always is);
// a road ends with the library uninitialised, or with the DLL unloaded.
struct RoadContext {
    KorvatDll &dll;
    MessageWindow &window;
    FixturePlugin *reader;         // the good plug-in (category "SIM"), reset; null without one
    FixturePlugin *version999;     // refused candidates that the library loads and frees again
    FixturePlugin *infoFails;
    std::string normalLogPath;
    std::string debugLogPath;
};

void wholeRoad(RoadContext &road)
{
    KorvatDll &dll = road.dll;
    MessageWindow &window = road.window;
    ASSERT_TRUE(dll.initialize()) << errorText(dll);
    pushFind(*road.reader, TargetNumber);
    road.reader->pushStatus(AccessEnabled, 0, 0, nullptr, 0, 1, 0, 0);

    ASSERT_TRUE(dll.set_poll_callback_parameters(window.handle(), FindName, EnableName));
    char port[16] = "";
    ASSERT_TRUE(dll.open(port)) << errorText(dll);
    ASSERT_TRUE(dll.start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K)) << errorText(dll);
    ASSERT_TRUE(pumpUntilStatusCalls(window, *road.reader, 2, 5000)) << "the notification thread stopped asking";
    ASSERT_TRUE(dll.start_dev_access(TargetNumber)) << errorText(dll);
    uint8_t command[16] = {0x00, 0xA4, 0x04, 0x00, 0x07, 0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x01, 0x00};
    uint8_t response[64] = {};
    uint16_t length = 0;
    ASSERT_TRUE(dll.thru(command, sizeof(command), response, &length)) << errorText(dll);
    EXPECT_EQ(length, sizeof(command));
    ASSERT_TRUE(dll.stop_dev_access(0)) << errorText(dll);
    ASSERT_TRUE(dll.stop_poll_mode()) << errorText(dll);
    window.pump(0);

    // The record was built and handed over, and access was announced for it.
    ASSERT_EQ(window.messages.size(), 2u);
    EXPECT_EQ(window.messages[0].message, window.findMessage());
    EXPECT_EQ(window.messages[0].wParam, static_cast<WPARAM>(KORVAT_NFC_FIND_TARGET));
    ASSERT_EQ(window.messages[0].bytes.size(), KORVAT_NFC_14443A_RECORD_SIZE(5));
    uint32_t found = 0;
    std::memcpy(&found, &window.messages[0].bytes[4], 4);
    EXPECT_EQ(found, TargetNumber);
    EXPECT_EQ(window.messages[1].message, window.enableMessage());
    EXPECT_EQ(static_cast<uint32_t>(window.messages[1].lParam), TargetNumber);

    ASSERT_TRUE(dll.close()) << errorText(dll);
    ASSERT_TRUE(dll.uninitialize()) << errorText(dll);
    // Both logs took the road's records.
    EXPECT_NE(readFile(road.normalLogPath).find("INFORMATION! PostMessage(find)"), std::string::npos);
    EXPECT_NE(readFile(road.debugLogPath).find("INFORMATION! PostMessage(find)"), std::string::npos);
}

void initializeRefusingCandidates(RoadContext &road)
{
    const uint32_t versionAsked = road.version999->callCount("gp_get_version_number");
    const uint32_t informationAsked = road.infoFails->callCount("gp_get_plugin_information");
    ASSERT_TRUE(road.dll.initialize()) << errorText(road.dll);
    // Two of the refused candidates were loaded and asked before they were refused.
    EXPECT_GT(road.version999->callCount("gp_get_version_number"), versionAsked);
    EXPECT_GT(road.infoFails->callCount("gp_get_plugin_information"), informationAsked);
    ASSERT_TRUE(road.dll.uninitialize()) << errorText(road.dll);
}

void openWithRefusedTimeout(RoadContext &road)
{
    ASSERT_TRUE(road.dll.initialize()) << errorText(road.dll);
    road.reader->setAnswer("gp_set_timeout", 0, 1, 0xE0000123, 0x45);
    char port[16] = "SIM0";
    EXPECT_FALSE(road.dll.open(port));
    EXPECT_EQ(road.dll.lastError(), std::make_pair(0xE0000123u, 0x45u));
    EXPECT_EQ(road.reader->callCount("gp_close_port"), 1u) << "the opening was not undone";
    ASSERT_TRUE(road.dll.uninitialize()) << errorText(road.dll);
}

void pollWithoutCallbackParameters(RoadContext &road)
{
    ASSERT_TRUE(road.dll.initialize()) << errorText(road.dll);
    char port[16] = "SIM0";
    ASSERT_TRUE(road.dll.open(port)) << errorText(road.dll);
    EXPECT_FALSE(road.dll.start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K));
    EXPECT_EQ(road.dll.lastError().first, KORVAT_NFC_E_NO_CALLBACK_PARAM);
    EXPECT_EQ(road.reader->callCount("gp_stop_poll_mode"), 1u) << "the reader's poll mode was not stopped again";
    ASSERT_TRUE(road.dll.close()) << errorText(road.dll);
    ASSERT_TRUE(road.dll.uninitialize()) << errorText(road.dll);
}

void initializeWithoutPlugins(RoadContext &road)
{
    EXPECT_FALSE(road.dll.initialize());
    EXPECT_EQ(road.dll.lastError().first, KORVAT_NFC_E_NO_PLUGIN);
}

void unloadWhilePolling(RoadContext &road)
{
    ASSERT_TRUE(road.dll.initialize()) << errorText(road.dll);
    pushFind(*road.reader, TargetNumber);
    ASSERT_TRUE(road.dll.set_poll_callback_parameters(road.window.handle(), FindName, EnableName));
    char port[16] = "SIM0";
    ASSERT_TRUE(road.dll.open(port)) << errorText(road.dll);
    ASSERT_TRUE(road.dll.start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K)) << errorText(road.dll);
    ASSERT_TRUE(road.window.pumpUntil(1, 3000)) << "no find message";
    road.window.pump(50);  // the thread sleeps now, and the library holds the record it posted
    road.dll.unload();
    EXPECT_EQ(road.reader->callCount("gp_close_port"), 1u) << "the unload did not close the port";
    // The thread was ended from inside its last wait; give it the moment it needs to go.
    road.window.pump(50);
}

// With event_notification and plug_and_play on: the status event handed over, the queue on,
// the watcher running, and everything stopped again (or, unloadAtEnd, the DLL freed while all of
// it runs).
void eventModes(RoadContext &road, bool unloadAtEnd)
{
    KorvatDll &dll = road.dll;
    ASSERT_TRUE(dll.initialize()) << errorText(dll);
    ASSERT_TRUE(dll.set_event_queue(1)) << errorText(dll);
    const char ports[] = "SIM0\0Reader\0";
    road.reader->setPorts(ports, sizeof(ports));
    ASSERT_TRUE(dll.set_pnp_callback_parameters(road.window.handle(), "korvat.resources.reader.found",
                                                "korvat.resources.reader.lost"));
    ASSERT_TRUE(dll.start_plug_and_play()) << errorText(dll);
    pushFind(*road.reader, TargetNumber);
    ASSERT_TRUE(dll.set_poll_callback_parameters(road.window.handle(), FindName, EnableName));
    char port[16] = "SIM0";
    ASSERT_TRUE(dll.open(port)) << errorText(dll);
    ASSERT_TRUE(dll.start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K)) << errorText(dll);
    ASSERT_TRUE(road.window.pumpUntil(1, 3000)) << "no find message";
    KORVAT_NFC_EVENT event;
    ASSERT_TRUE(dll.get_next_event(&event, 3000)) << errorText(dll);
    KORVAT_NFC_READER_RECORD readers[2];
    uint32_t count = 0;
    ASSERT_TRUE(dll.list_readers(readers, 2, &count)) << errorText(dll);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(road.reader->callCount("gp_set_status_event"), 1u) << "the status event was not handed over";
    if (unloadAtEnd) {
        road.window.pump(50);
        dll.unload();
        EXPECT_EQ(road.reader->callCount("gp_set_status_event"), 2u) << "the unload did not withdraw the event";
        road.window.pump(50);
        return;
    }
    ASSERT_TRUE(dll.stop_poll_mode()) << errorText(dll);
    ASSERT_TRUE(dll.close()) << errorText(dll);
    ASSERT_TRUE(dll.stop_plug_and_play()) << errorText(dll);
    ASSERT_TRUE(dll.uninitialize()) << errorText(dll);
    road.window.pump(0);
}

void eventModesStopped(RoadContext &road)
{
    eventModes(road, false);
}

void unloadWhileWatchingAndPolling(RoadContext &road)
{
    eventModes(road, true);
}

void loadOnly(RoadContext &) {}

enum class Lifetime { OneLoad, LoadPerRound };

struct Road {
    const char *name;
    std::vector<std::string> plugins;  // variants in the plug-in directory ("cat0" serves "SIM")
    void (*run)(RoadContext &);
    Lifetime lifetime;
    bool eventModes = false;  // event_notification and plug_and_play on; the reader is "events_cat0"
};

void PrintTo(const Road &road, std::ostream *out)
{
    *out << road.name << (road.lifetime == Lifetime::OneLoad ? ", one load of the DLL" : ", DLL loaded every round");
}

const std::vector<std::string> RefusedAndGood = {"unsigned",   "signer_other", "version999",
                                                 "missing_entries", "info_fails", "cat0"};

// Every road runs inside one load of the DLL: what the library's own code holds between
// initialize and uninitialize and on each failure. The whole road and the unload in the middle
// of poll mode also run with LoadLibrary and FreeLibrary of the DLL in every round (what the
// loaded image and its global objects hold); the roads that fail early add nothing to that.
const Road RoadTable[] = {
    {"whole road", {"cat0"}, wholeRoad, Lifetime::OneLoad},
    {"whole road", {"cat0"}, wholeRoad, Lifetime::LoadPerRound},
    {"initialize refusing five candidates beside a good plug-in", RefusedAndGood, initializeRefusingCandidates,
     Lifetime::OneLoad},
    {"open whose first gp_set_timeout is refused", {"cat0"}, openWithRefusedTimeout, Lifetime::OneLoad},
    {"start_poll_mode without callback parameters", {"cat0"}, pollWithoutCallbackParameters, Lifetime::OneLoad},
    {"initialize without any plug-in", {}, initializeWithoutPlugins, Lifetime::OneLoad},
    {"FreeLibrary of the DLL while poll mode runs", {"cat0"}, unloadWhilePolling, Lifetime::LoadPerRound},
    {"event modes started and stopped", {"events_cat0"}, eventModesStopped, Lifetime::OneLoad, true},
    {"event modes started and stopped", {"events_cat0"}, eventModesStopped, Lifetime::LoadPerRound, true},
    {"FreeLibrary of the DLL while watching and polling with the status event", {"events_cat0"},
     unloadWhileWatchingAndPolling, Lifetime::LoadPerRound, true},
    // Nothing but LoadLibrary and FreeLibrary: what any road that unloads the DLL pays for that.
    {"LoadLibrary and FreeLibrary only", {}, loadOnly, Lifetime::LoadPerRound},
};

class Roads : public Resources, public ::testing::WithParamInterface<Road> {};

TEST_P(Roads, KeepNothing)
{
    const Road &road = GetParam();
    ASSERT_NO_FATAL_FAILURE(usePlugins(road.plugins));
    if (road.eventModes) {
        const DWORD on = 1;
        registryConfiguration().setBinary("event_notification", &on, sizeof(on), REG_DWORD);
        registryConfiguration().setBinary("plug_and_play", &on, sizeof(on), REG_DWORD);
    }
    const bool perRound = road.lifetime == Lifetime::LoadPerRound;
    std::unique_ptr<KorvatDll> dll;
    if (!perRound) {
        dll.reset(new KorvatDll);
        ASSERT_TRUE(dll->loaded());
    }
    const std::string path =
        std::string(road.name) + (perRound ? " (DLL loaded every round)" : " (one load of the DLL)");
    expectNothingKept(path, [&] {
        if (perRound) {
            dll.reset(new KorvatDll);
            ASSERT_TRUE(dll->loaded());
        }
        FixturePlugin *reader = pin(road.eventModes ? "events_cat0" : "cat0");
        if (reader != nullptr) {
            reader->reset();
        }
        ASSERT_TRUE(dll->start_logging(normalLogPath().c_str())) << errorText(*dll);
        RoadContext context{*dll, window, reader, pin("version999"), pin("info_fails"), normalLogPath(),
                            debugLogPath()};
        road.run(context);
        if (HasFatalFailure()) {
            return;
        }
        if (dll->loaded()) {
            ASSERT_TRUE(dll->stop_logging()) << errorText(*dll);
        }
        if (perRound) {
            dll.reset();
        }
    }, perRound ? LoadRounds : Rounds);
    dll.reset();
    expectPluginsReleased();
}

// A road's name as a test name: its words capitalised and joined.
std::string camelName(const char *text)
{
    std::string name;
    bool upper = true;
    for (const char *c = text; *c != '\0'; ++c) {
        const bool letterOrDigit = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9');
        if (!letterOrDigit) {
            upper = true;
            continue;
        }
        name += upper && *c >= 'a' && *c <= 'z' ? static_cast<char>(*c - 'a' + 'A') : *c;
        upper = false;
    }
    return name;
}

std::string roadTestName(const ::testing::TestParamInfo<Road> &info)
{
    return camelName(info.param.name) + (info.param.lifetime == Lifetime::OneLoad ? "_OneLoad" : "_LoadPerRound");
}

INSTANTIATE_TEST_SUITE_P(Resources, Roads, ::testing::ValuesIn(RoadTable), roadTestName);

// ---- The shipped reader plug-ins ----------------------------------------------------------------

// The plug-ins the SDK ships, as copies in a directory of their own, each loaded and freed by the
// library at every initialise and uninitialise: what a plug-in's image and its statically linked
// runtime keep per load (a record of the calling thread, say) shows here, as the library's own
// does in the roads above. None is pinned by the test.
struct ShippedRoad {
    const char *name;
    const char *categories;  // category_name_list
    const char *ports;       // port_name_list
    void (*run)(KorvatDll &dll, MessageWindow &window);
};

// The simulator's port opened, polled until its first card is found, and closed again.
void simulatorReaderLifetime(KorvatDll &dll, MessageWindow &window)
{
    ASSERT_TRUE(dll.initialize()) << errorText(dll);
    ASSERT_TRUE(dll.set_poll_callback_parameters(window.handle(), FindName, EnableName));
    char port[16] = "SIM0";
    ASSERT_TRUE(dll.open(port)) << errorText(dll);
    ASSERT_TRUE(dll.start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K)) << errorText(dll);
    ASSERT_TRUE(window.pumpUntil(1, 5000)) << "no find message from the simulator";
    ASSERT_TRUE(dll.stop_poll_mode()) << errorText(dll);
    ASSERT_TRUE(dll.close()) << errorText(dll);
    ASSERT_TRUE(dll.uninitialize()) << errorText(dll);
}

// The three plug-ins loaded; the PN532 and PC/SC ones refused by the category list.
void initializeOnly(KorvatDll &dll, MessageWindow &)
{
    ASSERT_TRUE(dll.initialize()) << errorText(dll);
    ASSERT_TRUE(dll.uninitialize()) << errorText(dll);
}

// Opens that fail: a serial port that does not exist (PN532) and a PC/SC port without a
// resource manager to serve it (Wine's winscard has none); a port that opens is closed again.
void openFailingPorts(KorvatDll &dll, MessageWindow &)
{
    ASSERT_TRUE(dll.initialize()) << errorText(dll);
    char serial[16] = "COM250";
    EXPECT_FALSE(dll.open(serial));
    char pcsc[16] = "PCSC0";
    if (dll.open(pcsc)) {
        EXPECT_TRUE(dll.close()) << errorText(dll);
    }
    ASSERT_TRUE(dll.uninitialize()) << errorText(dll);
}

const ShippedRoad ShippedRoadTable[] = {
    {"simulator opened, polled and closed, the three plug-ins accepted", "SIM, COM, PCSC", "SIM0, COM250, PCSC0",
     simulatorReaderLifetime},
    {"initialise with the PN532 and PC/SC plug-ins refused", "SIM", "SIM0", initializeOnly},
    {"PN532 and PC/SC ports that do not open", "SIM, COM, PCSC", "SIM0, COM250, PCSC0", openFailingPorts},
};

class ShippedPlugins : public Resources, public ::testing::WithParamInterface<ShippedRoad> {};

void PrintTo(const ShippedRoad &road, std::ostream *out)
{
    *out << road.name;
}

TEST_P(ShippedPlugins, KeepNothingPerReaderLifetime)
{
    const ShippedRoad &road = GetParam();
    ScratchDirectory plugins("resource_shipped_plugins");
    const std::vector<std::pair<std::string, std::string>> shipped = {
        {"plugins\\sim_reader.gp", "sim_reader.gp"},
        {"pn532_plugins\\pn532_reader.gp", "pn532_reader.gp"},
        {"pcsc_plugins\\pcsc_reader.gp", "pcsc_reader.gp"},
    };
    for (const auto &plugin : shipped) {
        ASSERT_TRUE(CopyFileA((binDirectory() + plugin.first).c_str(), plugins.file(plugin.second).c_str(), FALSE))
            << plugin.first;
    }
    RegistryConfiguration &registry = registryConfiguration();
    registry.setString("plugins_home_directory", plugins.path());
    registry.setString("category_name_list", road.categories);
    registry.setString("port_name_list", road.ports);

    KorvatDll dll;
    ASSERT_TRUE(dll.loaded());
    expectNothingKept(std::string("shipped plug-ins: ") + road.name, [&] { road.run(dll, window); });
    dll.unload();
    for (const auto &plugin : shipped) {
        EXPECT_EQ(GetModuleHandleA(plugins.file(plugin.second).c_str()), nullptr)
            << plugin.second << " stayed loaded after the library was freed";
    }
}

std::string shippedRoadTestName(const ::testing::TestParamInfo<ShippedRoad> &info)
{
    return camelName(info.param.name);
}

INSTANTIATE_TEST_SUITE_P(Resources, ShippedPlugins, ::testing::ValuesIn(ShippedRoadTable), shippedRoadTestName);

// ---- Many records -------------------------------------------------------------------------------

// Each record opens its file, appends and closes it again; thousands of them, into both logs,
// leave no handle open and no memory in use. One exchange of a 64-byte packet writes 23 records
// to the normal log and more to the debug log (two hex dumps of eight lines each).
TEST_F(Resources, ThousandsOfRecordsIntoBothLogsKeepNothing)
{
    ASSERT_NO_FATAL_FAILURE(usePlugins({"cat0"}));
    KorvatDll dll;
    ASSERT_TRUE(dll.loaded());
    ASSERT_TRUE(dll.initialize()) << errorText(dll);
    char port[16] = "SIM0";
    ASSERT_TRUE(dll.open(port)) << errorText(dll);
    ASSERT_TRUE(dll.start_logging(normalLogPath().c_str())) << errorText(dll);

    const int ExchangesPerRound = 15;
    uint8_t command[64];
    for (size_t i = 0; i < sizeof(command); ++i) {
        command[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    expectNothingKept("trace records into both logs", [&] {
        pin("cat0")->reset();  // the plug-in's call log is the test's, not the library's
        for (int i = 0; i < ExchangesPerRound; ++i) {
            uint8_t response[256];
            uint16_t length = 0;
            ASSERT_TRUE(dll.thru(command, sizeof(command), response, &length)) << errorText(dll);
        }
    });

    EXPECT_TRUE(dll.stop_logging());
    EXPECT_TRUE(dll.close());
    EXPECT_TRUE(dll.uninitialize());
    dll.unload();
    const size_t debugRecords = debugLogRecords(debugLogPath()).size();
    const size_t normalRecords = crlfLines(readFile(normalLogPath())).size();
    std::printf("[ FIGURES  ] records written: debug log %zu, normal log %zu\n", debugRecords, normalRecords);
    // Both logs were on through every round.
    EXPECT_GE(normalRecords, static_cast<size_t>(23 * ExchangesPerRound * (Rounds + 1)));
    EXPECT_GT(debugRecords, normalRecords);
    expectPluginsReleased();
}

}  // namespace
