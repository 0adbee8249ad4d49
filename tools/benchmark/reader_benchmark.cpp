// Reader hot paths: what korvatlib_nfc_thru adds to the plug-in's own gp_read with both logs
// off, how long korvatlib_nfc_stop_poll_mode takes while the notification thread sleeps, and the
// time between two cycles of the notification thread while an application thread calls
// korvatlib_nfc_thru back to back.
// Uses the signed test plug-in (bin\test_plugins\cat0.gp) as the reader, configured in the
// registry for the run and the registry put back afterwards. korvatlib_nfc_thru is measured a
// second time with the opt-in values event_notification = 1 and plug_and_play = 1 (plug-and-play
// watching), so that the two figures stand side by side.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchmarkPrint.h"
#include "fixture_control.h"
#include "korvat_nfc.h"
#include "korvat_nfc_plugin.h"

namespace {

const char LibraryKey[] = "SOFTWARE\\Ravo Corporation\\Korvat NFC Library";
const char CompanyKey[] = "SOFTWARE\\Ravo Corporation";

std::string binDirectory()
{
    char path[MAX_PATH] = {0};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string directory(path);
    return directory.substr(0, directory.rfind('\\') + 1);
}

bool keyExists(const char *name)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, name, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

// The library's configuration key as this run needs it; the previous values come back when the
// object goes.
class RegistryForRun {
public:
    // newModes: the opt-in values event_notification and plug_and_play set to 1 as well.
    RegistryForRun(const std::string &pluginDirectory, bool newModes)
    {
        m_CompanyExisted = keyExists(CompanyKey);
        HKEY key;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, LibraryKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            &m_Disposition) != ERROR_SUCCESS) {
            return;
        }
        m_Ready = true;
        for (DWORD index = 0;; ++index) {
            char name[16384];
            DWORD nameLength = sizeof(name);
            DWORD type = 0;
            DWORD size = 0;
            if (RegEnumValueA(key, index, name, &nameLength, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
                break;
            }
            Value value{name, type, std::vector<BYTE>(size)};
            nameLength = sizeof(name);
            RegEnumValueA(key, index, name, &nameLength, nullptr, &type, value.data.data(), &size);
            m_Saved.push_back(value);
        }
        for (const Value &value : m_Saved) {
            RegDeleteValueA(key, value.name.c_str());
        }
        // No debug_log_file_name: the debug log stays off.
        setString(key, "plugins_home_directory", pluginDirectory);
        setString(key, "category_name_list", "SIM");
        setString(key, "port_name_list", "SIM0");
        if (newModes) {
            const DWORD on = 1;
            for (const char *name : OptIns) {
                RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&on), sizeof(on));
            }
        }
        RegCloseKey(key);
    }

    ~RegistryForRun()
    {
        if (!m_Ready) {
            return;
        }
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, LibraryKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
            for (const char *name : {"plugins_home_directory", "category_name_list", "port_name_list"}) {
                RegDeleteValueA(key, name);
            }
            for (const char *name : OptIns) {
                RegDeleteValueA(key, name);
            }
            for (const Value &value : m_Saved) {
                RegSetValueExA(key, value.name.c_str(), 0, value.type, value.data.data(),
                               static_cast<DWORD>(value.data.size()));
            }
            RegCloseKey(key);
        }
        if (m_Disposition == REG_CREATED_NEW_KEY) {
            RegDeleteKeyA(HKEY_LOCAL_MACHINE, LibraryKey);
            if (!m_CompanyExisted) {
                RegDeleteKeyA(HKEY_LOCAL_MACHINE, CompanyKey);
            }
        }
    }

    bool ready() const { return m_Ready; }

private:
    static constexpr const char *OptIns[] = {"event_notification", "plug_and_play"};

    struct Value {
        std::string name;
        DWORD type;
        std::vector<BYTE> data;
    };

    static void setString(HKEY key, const char *name, const std::string &value)
    {
        RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
    }

    bool m_Ready = false;
    bool m_CompanyExisted = false;
    DWORD m_Disposition = 0;
    std::vector<Value> m_Saved;
};

template <typename F>
void bind(HMODULE module, F &function, const char *name)
{
    function = reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

struct Library {
    KORVAT_NFC_BOOL(__cdecl *initialize)(void) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *uninitialize)(void) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *open)(char *) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *close)(void) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *start_poll_mode)(uint32_t) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *stop_poll_mode)(void) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *thru)(const uint8_t *, uint16_t, uint8_t *, uint16_t *) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *set_poll_callback_parameters)(void *, const char *, const char *) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *set_pnp_callback_parameters)(void *, const char *, const char *) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *start_plug_and_play)(void) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *stop_plug_and_play)(void) = nullptr;

    explicit Library(HMODULE module)
    {
        bind(module, initialize, "korvatlib_nfc_initialize");
        bind(module, uninitialize, "korvatlib_nfc_uninitialize");
        bind(module, open, "korvatlib_nfc_open");
        bind(module, close, "korvatlib_nfc_close");
        bind(module, start_poll_mode, "korvatlib_nfc_start_poll_mode");
        bind(module, stop_poll_mode, "korvatlib_nfc_stop_poll_mode");
        bind(module, thru, "korvatlib_nfc_thru");
        bind(module, set_poll_callback_parameters, "korvatlib_nfc_set_poll_callback_parameters");
        bind(module, set_pnp_callback_parameters, "korvatlib_nfc_set_pnp_callback_parameters");
        bind(module, start_plug_and_play, "korvatlib_nfc_start_plug_and_play");
        bind(module, stop_plug_and_play, "korvatlib_nfc_stop_plug_and_play");
    }
    bool complete() const
    {
        return initialize && uninitialize && open && close && start_poll_mode && stop_poll_mode && thru &&
               set_poll_callback_parameters;
    }
};

double seconds(const LARGE_INTEGER &from, const LARGE_INTEGER &to)
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Short alternating rounds, paired, so that a slow stretch of the machine falls on both halves.
const int CallsPerRound = 100000;
const int Rounds = 21;
const int Stops = 15;

void measureThru(const Library &library, gp_read_t gpRead, fixture_reset_t resetFixture,
                 fixture_set_bare_read_t setBareRead, const char *mode)
{
    // The test plug-in's gp_read as a bare echo: what remains of a korvatlib_nfc_thru call beyond
    // it is the library's own cost (shell, lock, state check, forwarding).
    resetFixture();
    setBareRead(1);
    uint8_t command[8] = {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00, 0x00};
    uint8_t response[64];
    uint16_t length = 0;
    ErrorInfo error = {0, 0};

    std::vector<double> direct;
    std::vector<double> through;
    std::vector<double> added;
    for (int round = 0; round < Rounds; ++round) {
        double directNs = 0;
        double thruNs = 0;
        for (int half = 0; half < 2; ++half) {
            const bool directHalf = (half == 0) == (round % 2 == 0);
            LARGE_INTEGER a, b;
            QueryPerformanceCounter(&a);
            if (directHalf) {
                for (int i = 0; i < CallsPerRound; ++i) {
                    gpRead(command, sizeof(command), response, &length, &error);
                }
            } else {
                for (int i = 0; i < CallsPerRound; ++i) {
                    library.thru(command, sizeof(command), response, &length);
                }
            }
            QueryPerformanceCounter(&b);
            (directHalf ? directNs : thruNs) = seconds(a, b) * 1e9 / CallsPerRound;
        }
        direct.push_back(directNs);
        through.push_back(thruNs);
        added.push_back(thruNs - directNs);
    }
    setBareRead(0);
    // The floor under the library's cost: every library call holds one Win32 critical section,
    // whose enter and leave alone cost this much on this machine and under this Wine.
    std::vector<double> lockPairs;
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    for (int round = 0; round < Rounds; ++round) {
        LARGE_INTEGER a, b;
        QueryPerformanceCounter(&a);
        for (int i = 0; i < CallsPerRound; ++i) {
            EnterCriticalSection(&section);
            LeaveCriticalSection(&section);
        }
        QueryPerformanceCounter(&b);
        lockPairs.push_back(seconds(a, b) * 1e9 / CallsPerRound);
    }
    DeleteCriticalSection(&section);
    const double directMedian = median(direct);
    const double thruMedian = median(through);
    benchmarkPrint("reader benchmark: korvatlib_nfc_thru with both logs off, %s, %d-byte command, %d calls x %d "
                   "rounds of each, alternating\n",
                   mode, static_cast<int>(sizeof(command)), CallsPerRound, Rounds);
    benchmarkPrint("  direct gp_read of the test plug-in (bare echo): %8.1f ns/call (median round)\n", directMedian);
    benchmarkPrint("  korvatlib_nfc_thru:                 %8.1f ns/call (median round)\n", thruMedian);
    std::vector<double> sortedAdded = added;
    std::sort(sortedAdded.begin(), sortedAdded.end());
    benchmarkPrint("  added by the library:               %8.1f ns/call (median of the paired rounds' differences; "
                "quartiles %.1f .. %.1f), ratio %.3f; goal: 15 ns or less\n",
                median(added), sortedAdded[Rounds / 4], sortedAdded[(3 * Rounds) / 4], thruMedian / directMedian);
    benchmarkPrint("  of which the library lock's Win32 critical section, enter and leave alone: %8.1f ns/call "
                   "(median round)\n",
                   median(lockPairs));
}

#if defined(__i386__)
// What the stdcall companion of 32-bit VBA and VB6 adds to korvatlib_nfc_thru: its wrapper, called
// as those hosts call it, against the library's own export, in paired rounds over the bare echo.
void measureCompanionThru(const Library &library, fixture_reset_t resetFixture, fixture_set_bare_read_t setBareRead)
{
    HMODULE companion = LoadLibraryA((binDirectory() + "korvat_nfc_stdcall.dll").c_str());
    using StdcallThru = KORVAT_NFC_BOOL(__stdcall *)(const uint8_t *, uint16_t, uint8_t *, uint16_t *);
    StdcallThru thru = nullptr;
    if (companion != nullptr) {
        bind(companion, thru, "korvatlib_nfc_thru");
    }
    if (thru == nullptr) {
        benchmarkPrint("reader benchmark: korvat_nfc_stdcall.dll not found beside the benchmark, not measured\n");
        if (companion != nullptr) {
            FreeLibrary(companion);
        }
        return;
    }
    resetFixture();
    setBareRead(1);
    uint8_t command[8] = {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00, 0x00};
    uint8_t response[64];
    uint16_t length = 0;
    std::vector<double> added;
    for (int round = 0; round < Rounds; ++round) {
        double libraryNs = 0;
        double companionNs = 0;
        for (int half = 0; half < 2; ++half) {
            const bool libraryHalf = (half == 0) == (round % 2 == 0);
            LARGE_INTEGER a, b;
            QueryPerformanceCounter(&a);
            for (int i = 0; i < CallsPerRound; ++i) {
                if (libraryHalf) {
                    library.thru(command, sizeof(command), response, &length);
                } else {
                    thru(command, sizeof(command), response, &length);
                }
            }
            QueryPerformanceCounter(&b);
            (libraryHalf ? libraryNs : companionNs) = seconds(a, b) * 1e9 / CallsPerRound;
        }
        added.push_back(companionNs - libraryNs);
    }
    setBareRead(0);
    std::sort(added.begin(), added.end());
    benchmarkPrint("reader benchmark: korvatlib_nfc_thru through korvat_nfc_stdcall.dll (32-bit VBA, VB6)\n");
    benchmarkPrint("  added by the companion:             %8.1f ns/call (median of the paired rounds' differences; "
                   "quartiles %.1f .. %.1f)\n",
                   added[Rounds / 2], added[Rounds / 4], added[(3 * Rounds) / 4]);
    FreeLibrary(companion);
}
#endif

void measureStop(const Library &library, fixture_reset_t resetFixture)
{
    resetFixture();  // no status script: the reader reports idle, nothing is posted
    std::vector<double> stops;
    for (int i = 0; i < Stops; ++i) {
        if (!library.start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K)) {
            benchmarkPrint("reader benchmark: start_poll_mode failed\n");
            return;
        }
        Sleep(200);  // the first cycle ran at once; the thread is in its sleep now
        LARGE_INTEGER a, b;
        QueryPerformanceCounter(&a);
        const bool stopped = library.stop_poll_mode() != 0;
        QueryPerformanceCounter(&b);
        if (!stopped) {
            benchmarkPrint("reader benchmark: stop_poll_mode failed\n");
            return;
        }
        stops.push_back(seconds(a, b) * 1e3);
    }
    benchmarkPrint("reader benchmark: korvatlib_nfc_stop_poll_mode while the thread sleeps, %d stops\n", Stops);
    benchmarkPrint("  median %.3f ms, max %.3f ms; goal: under 20 ms\n", median(stops),
                *std::max_element(stops.begin(), stops.end()));
}

struct ThruLoad {
    const Library *library;
    volatile LONG stop;
    unsigned long calls;

    static DWORD WINAPI run(void *argument)
    {
        ThruLoad *load = static_cast<ThruLoad *>(argument);
        uint8_t command[8] = {0x00, 0xB0, 0x00, 0x00, 0x3B, 0x00, 0x00, 0x00};
        uint8_t response[64];
        uint16_t length = 0;
        while (load->stop == 0) {
            load->library->thru(command, sizeof(command), response, &length);
            ++load->calls;
        }
        return 0;
    }
};

const DWORD LoadMilliseconds = 9000;

void measureCycleGapUnderThru(const Library &library, fixture_reset_t resetFixture,
                              fixture_set_call_log_t setCallLog, fixture_status_times_t statusTimes)
{
    resetFixture();
    setCallLog(0);  // millions of reads: keep counting them, but not in the call log
    if (!library.start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K)) {
        benchmarkPrint("reader benchmark: start_poll_mode failed\n");
        return;
    }
    ThruLoad load{&library, 0, 0};
    HANDLE thread = CreateThread(nullptr, 0, &ThruLoad::run, &load, 0, nullptr);
    if (thread != nullptr) {
        Sleep(LoadMilliseconds);
        InterlockedExchange(&load.stop, 1);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    library.stop_poll_mode();
    std::vector<int64_t> ticks(statusTimes(nullptr, 0) + 16);
    ticks.resize(statusTimes(ticks.data(), static_cast<uint32_t>(ticks.size())));
    resetFixture();
    if (thread == nullptr || ticks.size() < 3) {
        benchmarkPrint("reader benchmark: cycle gap under korvatlib_nfc_thru load not measured\n");
        return;
    }
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    std::vector<double> gaps;
    for (size_t i = 1; i < ticks.size(); ++i) {
        gaps.push_back(static_cast<double>(ticks[i] - ticks[i - 1]) * 1e3 / static_cast<double>(frequency.QuadPart));
    }
    benchmarkPrint("reader benchmark: time between two cycles while one application thread calls korvatlib_nfc_thru "
                "back to back (%lu calls in %.1f s)\n",
                load.calls, LoadMilliseconds / 1000.0);
    benchmarkPrint("  median %.1f ms, max %.1f ms over %u gaps; goal: under 650 ms\n", median(gaps),
                *std::max_element(gaps.begin(), gaps.end()), static_cast<unsigned>(gaps.size()));
}

// One library session on the test plug-in: with the default configuration every figure, with the
// opt-in values (newModes) korvatlib_nfc_thru alone, while plug-and-play watches.
void runWithLibrary(const std::string &bin, const std::string &scratch, const std::string &pluginPath, bool newModes)
{
    RegistryForRun registry(scratch, newModes);
    HMODULE module = registry.ready() ? LoadLibraryA((bin + "korvat_nfc_library_for_vb.dll").c_str()) : nullptr;
    if (module == nullptr) {
        benchmarkPrint("reader benchmark: cannot set up the registry or load the DLL\n");
        return;
    }
    const Library library(module);
    HWND window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    char port[16] = "";
    if (!library.complete() || !library.initialize()) {
        benchmarkPrint("reader benchmark: initialize failed\n");
    } else {
        HMODULE plugin = GetModuleHandleA(pluginPath.c_str());
        gp_read_t gpRead = nullptr;
        fixture_reset_t resetFixture = nullptr;
        fixture_set_call_log_t setCallLog = nullptr;
        fixture_status_times_t statusTimes = nullptr;
        fixture_set_bare_read_t setBareRead = nullptr;
        if (plugin != nullptr) {
            bind(plugin, setBareRead, "fixture_set_bare_read");
            bind(plugin, gpRead, "gp_read");
            bind(plugin, resetFixture, "fixture_reset");
            bind(plugin, setCallLog, "fixture_set_call_log");
            bind(plugin, statusTimes, "fixture_status_times");
        }
        if (gpRead == nullptr || resetFixture == nullptr || setCallLog == nullptr || statusTimes == nullptr ||
            setBareRead == nullptr) {
            benchmarkPrint("reader benchmark: the library did not load the test plug-in\n");
        } else if (!library.set_poll_callback_parameters(window, "korvat.benchmark.find", "korvat.benchmark.enable") ||
                   !library.open(port)) {
            benchmarkPrint("reader benchmark: open failed\n");
        } else if (newModes) {
            // Plug-and-play watching beside the calls, where the library has it (a library that
            // refuses it still has event_notification = 1 for the thru calls).
            const bool watching = library.set_pnp_callback_parameters(window, "korvat.benchmark.reader.found",
                                                                      "korvat.benchmark.reader.lost") &&
                                  library.start_plug_and_play();
            measureThru(library, gpRead, resetFixture, setBareRead,
                        watching ? "event_notification = 1, plug_and_play = 1 and watching"
                                 : "event_notification = 1, plug_and_play = 1 (plug-and-play refused: not watching)");
            if (watching) {
                library.stop_plug_and_play();
            }
            library.close();
        } else {
            measureThru(library, gpRead, resetFixture, setBareRead, "default mode");
#if defined(__i386__)
            measureCompanionThru(library, resetFixture, setBareRead);
#endif
            measureStop(library, resetFixture);
            measureCycleGapUnderThru(library, resetFixture, setCallLog, statusTimes);
            library.close();
        }
        library.uninitialize();
    }
    if (window != nullptr) {
        DestroyWindow(window);
    }
    FreeLibrary(module);
}

}  // namespace

void runReaderBenchmark()
{
    const std::string bin = binDirectory();
    const std::string scratch = bin + "..\\benchmark_scratch\\";
    const std::string pluginPath = scratch + "reader.gp";
    CreateDirectoryA(scratch.c_str(), nullptr);
    if (!CopyFileA((bin + "test_plugins\\cat0.gp").c_str(), pluginPath.c_str(), FALSE)) {
        benchmarkPrint("reader benchmark: cannot copy %stest_plugins\\cat0.gp (build the test plug-ins first)\n",
                    bin.c_str());
        RemoveDirectoryA(scratch.c_str());
        return;
    }
    runWithLibrary(bin, scratch, pluginPath, false);
    runWithLibrary(bin, scratch, pluginPath, true);
    DeleteFileA(pluginPath.c_str());
    RemoveDirectoryA(scratch.c_str());
}
