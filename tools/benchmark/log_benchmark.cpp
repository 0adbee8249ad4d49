// Cost of one trace record through the exported functions, beside the platform work that a
// record cannot avoid: open the file for appending, write the line, close it.
//
// The DLL is loaded with debug_log_file_name pointing at a scratch file (the registry value is
// put back as it was afterwards). korvatlib_nfc_get_last_error writes a fixed number of level-1
// records per call; that number and the mean record size are read back from the file, and the
// bare loop appends lines of that size to the same file.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchmarkPrint.h"
#include "korvat_nfc.h"

namespace {

const char CompanyKeyPath[] = "SOFTWARE\\Ravo Corporation";
const char LibraryKeyPath[] = "SOFTWARE\\Ravo Corporation\\Korvat NFC Library";
const char DebugLogValue[] = "debug_log_file_name";
const int CallsPerRun = 2000;
const int Runs = 5;

typedef KORVAT_NFC_BOOL(__cdecl *GetLastErrorFunction)(uint32_t *);
typedef KORVAT_NFC_BOOL(__cdecl *StartLoggingFunction)(const char *);
typedef KORVAT_NFC_BOOL(__cdecl *StopLoggingFunction)(void);

// Sets debug_log_file_name for the run and restores the value (or its absence, and the keys
// if this run created them) afterwards.
class DebugLogRegistryValue {
public:
    explicit DebugLogRegistryValue(const std::string &fileName)
    {
        HKEY company = nullptr;
        DWORD disposition = 0;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, CompanyKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &company,
                            &disposition) == ERROR_SUCCESS) {
            m_CreatedCompanyKey = disposition == REG_CREATED_NEW_KEY;
            RegCloseKey(company);
        }
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, LibraryKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_Key,
                            &disposition) != ERROR_SUCCESS) {
            m_Key = nullptr;
            return;
        }
        m_CreatedLibraryKey = disposition == REG_CREATED_NEW_KEY;
        DWORD size = 0;
        if (RegQueryValueExA(m_Key, DebugLogValue, nullptr, &m_Type, nullptr, &size) == ERROR_SUCCESS) {
            m_Previous.resize(size);
            if (RegQueryValueExA(m_Key, DebugLogValue, nullptr, &m_Type, m_Previous.data(), &size) == ERROR_SUCCESS) {
                m_Previous.resize(size);
                m_HadValue = true;
            }
        }
        RegSetValueExA(m_Key, DebugLogValue, 0, REG_SZ, reinterpret_cast<const BYTE *>(fileName.c_str()),
                       static_cast<DWORD>(fileName.size() + 1));
    }

    ~DebugLogRegistryValue()
    {
        if (m_Key == nullptr) {
            return;
        }
        if (m_HadValue) {
            RegSetValueExA(m_Key, DebugLogValue, 0, m_Type, m_Previous.data(), static_cast<DWORD>(m_Previous.size()));
        } else {
            RegDeleteValueA(m_Key, DebugLogValue);
        }
        RegCloseKey(m_Key);
        if (m_CreatedLibraryKey) {
            RegDeleteKeyA(HKEY_LOCAL_MACHINE, LibraryKeyPath);
        }
        if (m_CreatedCompanyKey) {
            RegDeleteKeyA(HKEY_LOCAL_MACHINE, CompanyKeyPath);
        }
    }

    bool ok() const { return m_Key != nullptr; }

private:
    HKEY m_Key = nullptr;
    bool m_CreatedCompanyKey = false;
    bool m_CreatedLibraryKey = false;
    bool m_HadValue = false;
    DWORD m_Type = REG_SZ;
    std::vector<BYTE> m_Previous;
};

double seconds(const LARGE_INTEGER &from, const LARGE_INTEGER &to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct FileFigures {
    uint64_t bytes = 0;
    uint64_t lines = 0;
};

FileFigures measureFile(const std::string &path)
{
    FileFigures figures;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return figures;
    }
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        figures.bytes += read;
        figures.lines += static_cast<uint64_t>(std::count(buffer, buffer + read, '\n'));
    }
    CloseHandle(file);
    return figures;
}

void emptyFile(const std::string &path)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
}

struct AppendTarget {
    std::string path;
    std::string line;
};

// The least a per-record log can do: for each record and each file that receives it, one
// append-open, one write, one close.
double bareAppendSeconds(const std::vector<AppendTarget> &targets, int records)
{
    LARGE_INTEGER from, to;
    QueryPerformanceCounter(&from);
    for (int i = 0; i < records; ++i) {
        for (const AppendTarget &target : targets) {
            HANDLE file = CreateFileA(target.path.c_str(), FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
            DWORD written = 0;
            WriteFile(file, target.line.data(), static_cast<DWORD>(target.line.size()), &written, nullptr);
            CloseHandle(file);
        }
    }
    QueryPerformanceCounter(&to);
    return seconds(from, to);
}

std::string lineOfSize(size_t size)
{
    return std::string(size > 2 ? size - 2 : 0, 'x') + "\r\n";
}

double exportCallsSeconds(GetLastErrorFunction getLastError, int count)
{
    uint32_t pair[2];
    LARGE_INTEGER from, to;
    QueryPerformanceCounter(&from);
    for (int i = 0; i < count; ++i) {
        getLastError(pair);
    }
    QueryPerformanceCounter(&to);
    return seconds(from, to);
}

void *exportOf(HMODULE module, const char *name)
{
    return reinterpret_cast<void *>(GetProcAddress(module, name));
}

std::string directoryOfProgram()
{
    char path[MAX_PATH] = {0};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string directory(path);
    return directory.substr(0, directory.rfind('\\') + 1);
}

}  // namespace

void runLogBenchmark()
{
    char temp[MAX_PATH] = {0};
    GetTempPathA(MAX_PATH, temp);
    const std::string debugLog = std::string(temp) + "korvat_log_benchmark_debug.log";
    const std::string normalLog = std::string(temp) + "korvat_log_benchmark_normal.log";
    const std::string bareLog = std::string(temp) + "korvat_log_benchmark_bare.log";
    const std::string bareLog2 = std::string(temp) + "korvat_log_benchmark_bare2.log";
    emptyFile(debugLog);

    DebugLogRegistryValue registry(debugLog);
    if (!registry.ok()) {
        benchmarkPrint("log benchmark: cannot write the registry configuration\n");
        return;
    }
    HMODULE dll = LoadLibraryA((directoryOfProgram() + "korvat_nfc_library_for_vb.dll").c_str());
    if (dll == nullptr) {
        benchmarkPrint("log benchmark: cannot load korvat_nfc_library_for_vb.dll\n");
        return;
    }
    const auto getLastError = reinterpret_cast<GetLastErrorFunction>(exportOf(dll, "korvatlib_nfc_get_last_error"));
    const auto startLogging = reinterpret_cast<StartLoggingFunction>(exportOf(dll, "korvatlib_nfc_start_logging"));
    const auto stopLogging = reinterpret_cast<StopLoggingFunction>(exportOf(dll, "korvatlib_nfc_stop_logging"));
    if (getLastError == nullptr || startLogging == nullptr || stopLogging == nullptr) {
        benchmarkPrint("log benchmark: exports missing\n");
        FreeLibrary(dll);
        return;
    }

    // Records per call and mean record size, read back from the debug log.
    const FileFigures before = measureFile(debugLog);
    exportCallsSeconds(getLastError, 100);
    const FileFigures after = measureFile(debugLog);
    const uint64_t sampleLines = after.lines - before.lines;
    if (sampleLines == 0) {
        benchmarkPrint("log benchmark: the debug log did not switch on (%s)\n", debugLog.c_str());
        FreeLibrary(dll);
        return;
    }
    const double recordsPerCall = static_cast<double>(sampleLines) / 100.0;
    const size_t debugRecordSize = static_cast<size_t>((after.bytes - before.bytes) / sampleLines);
    // The normal log's records are shorter (no source file and line): learn their size too.
    DeleteFileA(normalLog.c_str());
    startLogging(normalLog.c_str());
    const FileFigures normalBefore = measureFile(normalLog);
    exportCallsSeconds(getLastError, 100);
    const FileFigures normalAfter = measureFile(normalLog);
    stopLogging();
    const uint64_t normalLines = normalAfter.lines - normalBefore.lines;
    const size_t normalRecordSize =
        normalLines != 0 ? static_cast<size_t>((normalAfter.bytes - normalBefore.bytes) / normalLines) : 0;
    const int records = static_cast<int>(CallsPerRun * recordsPerCall + 0.5);
    const std::vector<AppendTarget> bareDebug = {{bareLog, lineOfSize(debugRecordSize)}};
    const std::vector<AppendTarget> bareBoth = {{bareLog, lineOfSize(debugRecordSize)},
                                                {bareLog2, lineOfSize(normalRecordSize)}};

    std::vector<double> debugOnly, bothLogs, bare, bareTwice;
    for (int run = 0; run < Runs; ++run) {
        emptyFile(debugLog);
        debugOnly.push_back(exportCallsSeconds(getLastError, CallsPerRun) / records);

        emptyFile(bareLog);
        bare.push_back(bareAppendSeconds(bareDebug, records) / records);

        // With the normal log on as well, each level-1 record is written to two files.
        emptyFile(debugLog);
        DeleteFileA(normalLog.c_str());
        startLogging(normalLog.c_str());
        bothLogs.push_back(exportCallsSeconds(getLastError, CallsPerRun) / records);
        stopLogging();

        emptyFile(bareLog);
        emptyFile(bareLog2);
        bareTwice.push_back(bareAppendSeconds(bareBoth, records) / records);
    }
    FreeLibrary(dll);

    // With no log on, a call formats nothing and touches no file.
    DeleteFileA(debugLog.c_str());
    dll = LoadLibraryA((directoryOfProgram() + "korvat_nfc_library_for_vb.dll").c_str());
    std::vector<double> silent;
    if (dll != nullptr) {
        const auto quiet = reinterpret_cast<GetLastErrorFunction>(exportOf(dll, "korvatlib_nfc_get_last_error"));
        for (int run = 0; run < Runs; ++run) {
            silent.push_back(exportCallsSeconds(quiet, CallsPerRun * 10) / (CallsPerRun * 10));
        }
        FreeLibrary(dll);
    }
    DeleteFileA(normalLog.c_str());
    DeleteFileA((normalLog + ".old").c_str());
    DeleteFileA(bareLog.c_str());
    DeleteFileA(bareLog2.c_str());

    const double us = 1e6;
    benchmarkPrint("log benchmark: korvatlib_nfc_get_last_error writes %.1f records per call (%u bytes each in the "
                "debug log, %u in the normal log); %d calls per run, median of %d runs\n",
                recordsPerCall, static_cast<unsigned>(debugRecordSize), static_cast<unsigned>(normalRecordSize),
                CallsPerRun, Runs);
    benchmarkPrint("  debug log on:           %8.1f us per record   bare append/write/close %8.1f us   ratio %.2f\n",
                median(debugOnly) * us, median(bare) * us, median(debugOnly) / median(bare));
    benchmarkPrint("  debug and normal log on: %7.1f us per record   bare, both files        %8.1f us   ratio %.2f\n",
                median(bothLogs) * us, median(bareTwice) * us, median(bothLogs) / median(bareTwice));
    if (!silent.empty()) {
        benchmarkPrint("  both logs off:          %8.3f us per call\n", median(silent) * us);
    }
}
