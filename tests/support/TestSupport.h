// Shared helpers of the tests: the DLL loaded fresh through LoadLibrary, the registry
// configuration, scratch directories, log files, the scriptable plug-in and a message window.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fixture_control.h"
#include "korvat_nfc.h"
#include "korvat_nfc_plugin.h"

namespace korvat_test {

// Directory of the running test program, with a trailing backslash (build\bin\).
std::string binDirectory();
// build\bin\test_plugins\<name>.gp
std::string testPluginPath(const std::string &name);
std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &contents);
bool fileExists(const std::string &path);
// Splits file contents into lines at "\r\n" (the line ends are removed).
std::vector<std::string> crlfLines(const std::string &contents);
bool contains(const std::vector<std::string> &list, const std::string &item);

// One record of a debug log "<date> <time> <source> <line> : <message>\r\n".
struct DebugLogRecord {
    std::string source;   // source unit as shown in the stamp
    std::string message;  // message without its line end
};
// The records of the debug log at `path` from byte `offset` on. A line without a stamp (the rest
// of a message that ran over several lines) is passed over.
std::vector<DebugLogRecord> debugLogRecords(const std::string &path, size_t offset = 0);

// Runs a body with the process's current directory set elsewhere (a scratch directory, so that
// a relative log file name names a file that exists there); the previous one comes back after.
class CurrentDirectory {
public:
    explicit CurrentDirectory(const std::string &path);
    ~CurrentDirectory();

private:
    std::string m_Previous;
};

// A fresh, empty directory under build\test_scratch\<name>, removed again at the end.
class ScratchDirectory {
public:
    explicit ScratchDirectory(const std::string &name);
    ~ScratchDirectory();
    const std::string &path() const { return m_Path; }  // with trailing backslash
    std::string file(const std::string &name) const { return m_Path + name; }
    // Copies a test plug-in into this directory (or a subdirectory, created as needed).
    std::string addPlugin(const std::string &variant, const std::string &targetName);

private:
    std::string m_Path;
};

void removeTree(const std::string &path);

// HKLM\SOFTWARE\Ravo Corporation\Korvat NFC Library, emptied on construction and destruction.
class RegistryConfiguration {
public:
    RegistryConfiguration();
    ~RegistryConfiguration();
    void setString(const char *name, const std::string &value);
    void setBinary(const char *name, const void *data, DWORD size, DWORD type = REG_BINARY);
    void remove(const char *name);
    static void clearAll();

    // The plug-ins of `pluginsHomeDirectory` with the one category "SIM" and its port "SIM0":
    // what a test of the library behind a single reader needs.
    void configureSimPort(const std::string &pluginsHomeDirectory);
    // Makes `path` an empty file and names it as the debug log, which the DLL switches on at load.
    void setEmptyDebugLog(const std::string &path);
};

// The exports of a freshly loaded korvat_nfc_library_for_vb.dll.
class KorvatDll {
public:
    KorvatDll();   // LoadLibrary; ASSERTs in the caller should check loaded()
    ~KorvatDll();  // FreeLibrary unless released
    bool loaded() const { return m_Module != nullptr; }
    void unload();
    HMODULE module() const { return m_Module; }

    std::pair<uint32_t, uint32_t> lastError();

    KORVAT_NFC_BOOL(__cdecl *initialize)(void) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *uninitialize)(void) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *open)(char *) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *close)(void) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *start_poll_mode)(uint32_t) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *stop_poll_mode)(void) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *start_dev_access)(uint32_t) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *stop_dev_access)(uint32_t) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *select_device)(void) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *deselect_device)(void) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *thru)(const uint8_t *, uint16_t, uint8_t *, uint16_t *) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *set_timeout)(int32_t) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *get_timeout)(int32_t *) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *set_poll_callback_parameters)(void *, const char *, const char *) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *set_pnp_callback_parameters)(void *, const char *, const char *) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *start_plug_and_play)(void) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *stop_plug_and_play)(void) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *get_last_error)(uint32_t *) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *start_logging)(const char *) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *stop_logging)(void) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *set_event_queue)(uint32_t) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *get_next_event)(KORVAT_NFC_EVENT *, uint32_t) = nullptr;
    KORVAT_NFC_BOOL(__cdecl *list_readers)(KORVAT_NFC_READER_RECORD *, uint32_t, uint32_t *) = nullptr;

    KorvatDll(const KorvatDll &) = delete;
    KorvatDll &operator=(const KorvatDll &) = delete;

private:
    HMODULE m_Module = nullptr;
};

// The control functions of a test plug-in that the library has loaded from `path`.
// Holds its own reference on the module while it lives.
class FixturePlugin {
public:
    explicit FixturePlugin(const std::string &path);
    ~FixturePlugin();
    bool loaded() const { return m_Module != nullptr; }

    fixture_reset_t reset = nullptr;
    fixture_set_answer_t setAnswer = nullptr;
    fixture_set_read_response_t setReadResponse = nullptr;
    fixture_push_status_t pushStatus = nullptr;
    fixture_clear_status_t clearStatus = nullptr;
    fixture_call_count_t callCount = nullptr;
    fixture_calls_t callsRaw = nullptr;
    fixture_overlap_count_t overlapCount = nullptr;
    fixture_set_status_delay_t setStatusDelay = nullptr;
    fixture_set_status_apc_t setStatusApc = nullptr;
    fixture_status_times_t statusTimes = nullptr;
    fixture_set_call_log_t setCallLog = nullptr;
    fixture_status_thread_t statusThread = nullptr;
    fixture_set_status_load_t setStatusLoad = nullptr;
    fixture_signal_status_t signalStatus = nullptr;  // the variant with the optional entry points only
    fixture_set_ports_t setPorts = nullptr;          // the variant with the optional entry points only
    fixture_set_ports_growth_t setPortsGrowth = nullptr;  // the variant with the optional entry points only
    fixture_list_thread_t listThread = nullptr;

    std::string calls();  // the whole call log
    // How often the notification thread has asked for the driver status since the last reset.
    uint32_t statusCalls() { return callCount("gp_get_driver_status"); }

    FixturePlugin(const FixturePlugin &) = delete;
    FixturePlugin &operator=(const FixturePlugin &) = delete;

private:
    HMODULE m_Module = nullptr;
};

// A message-only window that records every posted message, copying what lParam points to at the
// moment the message is handled (as an application must: the record is freed ~600 ms later).
struct ReceivedMessage {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    std::vector<uint8_t> bytes;  // record bytes (find, wParam 1), the error pair (find, wParam 0), or a reader record
    DWORD tick;
};

class MessageWindow {
public:
    // readers: the two messages are the plug-and-play ones, whose lParam points to a reader record.
    MessageWindow(const char *findName, const char *enableName, bool readers = false);
    ~MessageWindow();
    HWND handle() const { return m_Window; }
    UINT findMessage() const { return m_Find; }
    UINT enableMessage() const { return m_Enable; }
    // Pumps this thread's messages for the given time, recording ours.
    void pump(DWORD milliseconds);
    // Pumps until `count` of our messages have arrived or the time is up; true if they did.
    bool pumpUntil(size_t count, DWORD milliseconds);
    // Pumps until a find message with this wParam is among the messages from index `from` on, or
    // the time is up; true with its index when it is.
    bool pumpForFind(WPARAM kind, size_t from, DWORD limitMs, size_t &index);
    std::vector<ReceivedMessage> messages;

private:
    void record(const MSG &msg);
    HWND m_Window = nullptr;
    UINT m_Find = 0;
    UINT m_Enable = 0;
    bool m_Readers = false;
};

// Pumps the window (copying each record as it arrives) until the plug-in has been asked for the
// driver status `count` times since its last reset; false if that did not happen within `limit` ms.
bool pumpUntilStatusCalls(MessageWindow &window, FixturePlugin &plugin, uint32_t count, DWORD limit);

// The additional data block of a found target, built field by field.
std::vector<uint8_t> additionalData14443A(uint32_t targetNumber, uint16_t sensRes, uint8_t selRes,
                                          const std::vector<uint8_t> &nfcid1, const std::vector<uint8_t> &ats);
std::vector<uint8_t> additionalData14443B(uint32_t targetNumber, const std::vector<uint8_t> &atqb,
                                          const std::vector<uint8_t> &attrib);
std::vector<uint8_t> additionalData18092(uint32_t targetNumber, uint8_t idByte, const std::vector<uint8_t> &nfcid2,
                                         const std::vector<uint8_t> &pad, const std::vector<uint8_t> &rd);

// The build's throwaway certificate authority ("Korvat Test Root", which issued the certificate
// of the issued_cat1 plug-in) in the machine's trusted root store for as long as this lives.
// Wine reads the root store once per process, when a chain is first built: make this before.
class TrustedTestRoot {
public:
    TrustedTestRoot();
    ~TrustedTestRoot();
    bool added() const { return m_Added; }

private:
    bool m_Added = false;
};

// A copy of a signed test plug-in with one byte of its DOS stub changed after signing: it still
// loads and runs, and its signature still names the maker, but its digest no longer matches.
std::string addChangedAfterSigning(ScratchDirectory &directory, const std::string &variant, const std::string &name);

// CreateProcessA, tried again a few times when it fails: under a loaded Wine a start now and then
// fails once and succeeds at once after. Returns false (GetLastError() set) when every try failed.
bool startChildProcess(std::string &commandLine, bool inheritHandles, const char *directory,
                       STARTUPINFOA &startup, PROCESS_INFORMATION &process);

// Runs a program to its end (at most `limit` ms, then it is ended with code 9).
struct ChildRun {
    bool started;
    bool ended;          // ended within the limit
    DWORD exitCode;
};
ChildRun runChildProcess(std::string commandLine, DWORD limit);

// Runs free_library_while_polling.exe (beside the tests) with the plug-in file in each of its
// modes (polling, a device access open, poll mode started under the loader lock) and expects
// every child to end by itself with exit code 0. The registry must name the plug-in's directory,
// category and port already.
void expectFreeLibraryWhilePollingLeavesNothingBehind(const std::string &pluginFile);

// A reader plug-in loaded fresh from its file (FreeLibrary at the end), and its entry points,
// called directly as the library would.
struct ReaderPlugin {
    explicit ReaderPlugin(const std::string &path);
    ~ReaderPlugin();
    template <typename T>
    T entry(const char *name) const
    {
        return reinterpret_cast<T>(reinterpret_cast<void (*)(void)>(GetProcAddress(module, name)));
    }

    HMODULE module;
    gp_open_port_and_transition_nfc_mode_t open = entry<gp_open_port_and_transition_nfc_mode_t>("gp_open_port_and_transition_nfc_mode");
    gp_close_port_t close = entry<gp_close_port_t>("gp_close_port");
    gp_start_poll_mode_t startPoll = entry<gp_start_poll_mode_t>("gp_start_poll_mode");
    gp_stop_poll_mode_t stopPoll = entry<gp_stop_poll_mode_t>("gp_stop_poll_mode");
    gp_start_device_access_t startAccess = entry<gp_start_device_access_t>("gp_start_device_access");
    gp_stop_device_access_t stopAccess = entry<gp_stop_device_access_t>("gp_stop_device_access");
    gp_read_t read = entry<gp_read_t>("gp_read");
    gp_set_timeout_t setTimeout = entry<gp_set_timeout_t>("gp_set_timeout");
    gp_get_timeout_t getTimeout = entry<gp_get_timeout_t>("gp_get_timeout");
    gp_get_driver_status_t driverStatus = entry<gp_get_driver_status_t>("gp_get_driver_status");
    gp_get_plugin_information_t information = entry<gp_get_plugin_information_t>("gp_get_plugin_information");
    gp_get_version_number_t version = entry<gp_get_version_number_t>("gp_get_version_number");
    gp_select_device_t select = entry<gp_select_device_t>("gp_select_device");
    gp_deselect_device_t deselect = entry<gp_deselect_device_t>("gp_deselect_device");
    gp_set_status_event_t setStatusEvent = entry<gp_set_status_event_t>("gp_set_status_event");
    gp_list_ports_t listPorts = entry<gp_list_ports_t>("gp_list_ports");

    ReaderPlugin(const ReaderPlugin &) = delete;
    ReaderPlugin &operator=(const ReaderPlugin &) = delete;
};

// One answer of gp_get_driver_status.
struct PluginStatus {
    uint32_t word = 0, cardType = 0, listen = 0, size = 0;
    uint8_t *data = nullptr;
    ErrorInfo error{0, 0};
    bool ok = false;
};

PluginStatus driverStatus(ReaderPlugin &plugin);
// Asks for the driver status (as the library would, faster) until `mask` bits appear.
bool waitForStatus(ReaderPlugin &plugin, uint32_t mask, PluginStatus &status, DWORD limitMs);

// A status call's answer as a token: F<n> target n found, L<n> target n departed (a card error
// with GP_TARGET_DEPARTED, its card type and number), I idle, W waiting, A enabled, X<word>
// anything else (a plain card error among them), "fail" a failed call.
std::string statusToken(const PluginStatus &status);
// The tokens of the status read each time `event` is set, until `count` were read or `limitMs`
// passed.
std::string statusesOnEvent(gp_get_driver_status_t entry, HANDLE event, size_t count, DWORD limitMs);
// gp_list_ports with room, as "port(reader) " for each entry; "fail <code>" when the call fails,
// "bad list: <why>" when what it wrote does not read back.
std::string listedPorts(gp_list_ports_t entry);

}  // namespace korvat_test
