#include "TestSupport.h"

#include "ReaderPortList.h"

#include <gtest/gtest.h>

#include <wincrypt.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

namespace korvat_test {

namespace {
const char LibraryKey[] = "SOFTWARE\\Ravo Corporation\\Korvat NFC Library";
const char CompanyKey[] = "SOFTWARE\\Ravo Corporation";

void putU32(std::vector<uint8_t> &block, size_t offset, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        block[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}
}  // namespace

std::string binDirectory()
{
    char path[MAX_PATH] = {0};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string directory(path);
    return directory.substr(0, directory.rfind('\\') + 1);
}

std::string testPluginPath(const std::string &name)
{
    return binDirectory() + "test_plugins\\" + name + ".gp";
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

void writeFile(const std::string &path, const std::string &contents)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

bool fileExists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::string> crlfLines(const std::string &contents)
{
    std::vector<std::string> lines;
    size_t start = 0;
    size_t end;
    while ((end = contents.find("\r\n", start)) != std::string::npos) {
        lines.push_back(contents.substr(start, end - start));
        start = end + 2;
    }
    if (start < contents.size()) {
        lines.push_back(contents.substr(start));
    }
    return lines;
}

bool contains(const std::vector<std::string> &list, const std::string &item)
{
    return std::find(list.begin(), list.end(), item) != list.end();
}

std::vector<DebugLogRecord> debugLogRecords(const std::string &path, size_t offset)
{
    static const size_t SourceStart = 24;  // after "YYYY-MM-DD hh:mm:ss.mmm "
    std::vector<DebugLogRecord> records;
    for (const std::string &line : crlfLines(readFile(path).substr(offset))) {
        const size_t separator = line.find(" : ");
        if (separator == std::string::npos || line.size() < SourceStart) {
            continue;
        }
        const size_t sourceEnd = line.find(' ', SourceStart);
        records.push_back({line.substr(SourceStart, sourceEnd - SourceStart), line.substr(separator + 3)});
    }
    return records;
}

CurrentDirectory::CurrentDirectory(const std::string &path)
{
    char previous[MAX_PATH] = {0};
    GetCurrentDirectoryA(MAX_PATH, previous);
    m_Previous = previous;
    SetCurrentDirectoryA(path.c_str());
}

CurrentDirectory::~CurrentDirectory()
{
    SetCurrentDirectoryA(m_Previous.c_str());
}

void removeTree(const std::string &path)
{
    std::string directory = path;
    if (!directory.empty() && directory.back() == '\\') {
        directory.pop_back();
    }
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((directory + "\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = entry.cFileName;
            if (name == "." || name == "..") {
                continue;
            }
            const std::string child = directory + "\\" + name;
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
                RemoveDirectoryA(child.c_str());
                DeleteFileA(child.c_str());
            } else if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                removeTree(child);
            } else {
                SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(child.c_str());
            }
        } while (FindNextFileA(search, &entry));
        FindClose(search);
    }
    RemoveDirectoryA(directory.c_str());
}

ScratchDirectory::ScratchDirectory(const std::string &name)
{
    std::string root = binDirectory() + "..\\test_scratch\\";
    CreateDirectoryA(root.c_str(), nullptr);
    m_Path = root + name + "\\";
    removeTree(m_Path);
    CreateDirectoryA(m_Path.c_str(), nullptr);
}

ScratchDirectory::~ScratchDirectory()
{
    removeTree(m_Path);
}

std::string ScratchDirectory::addPlugin(const std::string &variant, const std::string &targetName)
{
    const std::string target = m_Path + targetName;
    // Create intermediate directories of targetName.
    for (size_t p = targetName.find('\\'); p != std::string::npos; p = targetName.find('\\', p + 1)) {
        CreateDirectoryA((m_Path + targetName.substr(0, p)).c_str(), nullptr);
    }
    CopyFileA(testPluginPath(variant).c_str(), target.c_str(), FALSE);
    return target;
}

RegistryConfiguration::RegistryConfiguration()
{
    clearAll();
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, LibraryKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
        ERROR_SUCCESS) {
        RegCloseKey(key);
    }
}

RegistryConfiguration::~RegistryConfiguration()
{
    clearAll();
}

void RegistryConfiguration::clearAll()
{
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, LibraryKey);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, CompanyKey);
}

void RegistryConfiguration::setString(const char *name, const std::string &value)
{
    setBinary(name, value.c_str(), static_cast<DWORD>(value.size() + 1), REG_SZ);
}

void RegistryConfiguration::setBinary(const char *name, const void *data, DWORD size, DWORD type)
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, LibraryKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
        ERROR_SUCCESS) {
        RegSetValueExA(key, name, 0, type, static_cast<const BYTE *>(data), size);
        RegCloseKey(key);
    }
}

void RegistryConfiguration::configureSimPort(const std::string &pluginsHomeDirectory)
{
    setString("plugins_home_directory", pluginsHomeDirectory);
    setString("category_name_list", "SIM");
    setString("port_name_list", "SIM0");
}

void RegistryConfiguration::setEmptyDebugLog(const std::string &path)
{
    writeFile(path, "");
    setString("debug_log_file_name", path);
}

void RegistryConfiguration::remove(const char *name)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, LibraryKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, name);
        RegCloseKey(key);
    }
}

template <typename F>
static void bind(HMODULE module, F &function, const char *name)
{
    function = reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

KorvatDll::KorvatDll()
{
    m_Module = LoadLibraryA((binDirectory() + "korvat_nfc_library_for_vb.dll").c_str());
    if (m_Module == nullptr) {
        return;
    }
    bind(m_Module, initialize, "korvatlib_nfc_initialize");
    bind(m_Module, uninitialize, "korvatlib_nfc_uninitialize");
    bind(m_Module, open, "korvatlib_nfc_open");
    bind(m_Module, close, "korvatlib_nfc_close");
    bind(m_Module, start_poll_mode, "korvatlib_nfc_start_poll_mode");
    bind(m_Module, stop_poll_mode, "korvatlib_nfc_stop_poll_mode");
    bind(m_Module, start_dev_access, "korvatlib_nfc_start_dev_access");
    bind(m_Module, stop_dev_access, "korvatlib_nfc_stop_dev_access");
    bind(m_Module, select_device, "korvatlib_nfc_select_device");
    bind(m_Module, deselect_device, "korvatlib_nfc_deselect_device");
    bind(m_Module, thru, "korvatlib_nfc_thru");
    bind(m_Module, set_timeout, "korvatlib_nfc_set_timeout");
    bind(m_Module, get_timeout, "korvatlib_nfc_get_timeout");
    bind(m_Module, set_poll_callback_parameters, "korvatlib_nfc_set_poll_callback_parameters");
    bind(m_Module, set_pnp_callback_parameters, "korvatlib_nfc_set_pnp_callback_parameters");
    bind(m_Module, start_plug_and_play, "korvatlib_nfc_start_plug_and_play");
    bind(m_Module, stop_plug_and_play, "korvatlib_nfc_stop_plug_and_play");
    bind(m_Module, get_last_error, "korvatlib_nfc_get_last_error");
    bind(m_Module, start_logging, "korvatlib_nfc_start_logging");
    bind(m_Module, stop_logging, "korvatlib_nfc_stop_logging");
    bind(m_Module, set_event_queue, "korvatlib_nfc_set_event_queue");
    bind(m_Module, get_next_event, "korvatlib_nfc_get_next_event");
    bind(m_Module, list_readers, "korvatlib_nfc_list_readers");
}

KorvatDll::~KorvatDll()
{
    unload();
}

void KorvatDll::unload()
{
    if (m_Module != nullptr) {
        FreeLibrary(m_Module);
        m_Module = nullptr;
    }
}

std::pair<uint32_t, uint32_t> KorvatDll::lastError()
{
    uint32_t pair[2] = {0xFFFFFFFFu, 0xFFFFFFFFu};
    get_last_error(pair);
    return {pair[0], pair[1]};
}

FixturePlugin::FixturePlugin(const std::string &path)
{
    m_Module = LoadLibraryA(path.c_str());
    if (m_Module == nullptr) {
        return;
    }
    bind(m_Module, reset, "fixture_reset");
    bind(m_Module, setAnswer, "fixture_set_answer");
    bind(m_Module, setReadResponse, "fixture_set_read_response");
    bind(m_Module, pushStatus, "fixture_push_status");
    bind(m_Module, clearStatus, "fixture_clear_status");
    bind(m_Module, callCount, "fixture_call_count");
    bind(m_Module, callsRaw, "fixture_calls");
    bind(m_Module, overlapCount, "fixture_overlap_count");
    bind(m_Module, setStatusDelay, "fixture_set_status_delay");
    bind(m_Module, setStatusApc, "fixture_set_status_apc");
    bind(m_Module, statusTimes, "fixture_status_times");
    bind(m_Module, setCallLog, "fixture_set_call_log");
    bind(m_Module, statusThread, "fixture_status_thread");
    bind(m_Module, setStatusLoad, "fixture_set_status_load");
    bind(m_Module, signalStatus, "fixture_signal_status");
    bind(m_Module, setPorts, "fixture_set_ports");
    bind(m_Module, setPortsGrowth, "fixture_set_ports_growth");
    bind(m_Module, listThread, "fixture_list_thread");
}

FixturePlugin::~FixturePlugin()
{
    if (m_Module != nullptr) {
        FreeLibrary(m_Module);
    }
}

std::string FixturePlugin::calls()
{
    const uint32_t length = callsRaw(nullptr, 0);
    std::string text(length + 1, '\0');
    callsRaw(&text[0], length + 1);
    text.resize(length);
    return text;
}

MessageWindow::MessageWindow(const char *findName, const char *enableName, bool readers) : m_Readers(readers)
{
    m_Window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    m_Find = RegisterWindowMessageA(findName);
    m_Enable = RegisterWindowMessageA(enableName);
}

MessageWindow::~MessageWindow()
{
    if (m_Window != nullptr) {
        DestroyWindow(m_Window);
    }
}

void MessageWindow::record(const MSG &msg)
{
    ReceivedMessage received{msg.message, msg.wParam, msg.lParam, {}, GetTickCount()};
    if (m_Readers && (msg.message == m_Find || msg.message == m_Enable) && msg.lParam != 0) {
        const uint8_t *p = reinterpret_cast<const uint8_t *>(msg.lParam);
        received.bytes.assign(p, p + sizeof(KORVAT_NFC_READER_RECORD));
    } else if (msg.message == m_Find && msg.lParam != 0 && msg.wParam != KORVAT_NFC_LOST_TARGET) {
        const uint8_t *p = reinterpret_cast<const uint8_t *>(msg.lParam);
        size_t size = 8;  // error pair
        if (msg.wParam == KORVAT_NFC_FIND_TARGET) {
            uint32_t type;
            std::memcpy(&type, p, 4);
            if (type == DEVICE_TYPE_NFC_14443A_18092_106K) {
                size = KORVAT_NFC_14443A_RECORD_SIZE(p[22]);
            } else if (type == DEVICE_TYPE_NFC_14443B_106K) {
                size = KORVAT_NFC_14443B_RECORD_SIZE(p[20]);
            } else {
                size = KORVAT_NFC_18092_RECORD_SIZE(p[28]);
            }
        }
        received.bytes.assign(p, p + size);
    }
    messages.push_back(received);
}

void MessageWindow::pump(DWORD milliseconds)
{
    pumpUntil(static_cast<size_t>(-1), milliseconds);
}

bool MessageWindow::pumpUntil(size_t count, DWORD milliseconds)
{
    const DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.hwnd == m_Window && (msg.message == m_Find || msg.message == m_Enable)) {
                record(msg);
            } else {
                DispatchMessageA(&msg);
            }
            if (messages.size() >= count) {
                return true;
            }
        }
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= milliseconds) {
            return messages.size() >= count;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, milliseconds - elapsed, QS_ALLINPUT);
    }
}

bool MessageWindow::pumpForFind(WPARAM kind, size_t from, DWORD limitMs, size_t &index)
{
    const DWORD begun = GetTickCount();
    for (;;) {
        for (index = from; index < messages.size(); ++index) {
            if (messages[index].message == m_Find && messages[index].wParam == kind) {
                return true;
            }
        }
        if (GetTickCount() - begun >= limitMs) {
            return false;
        }
        pump(50);
    }
}

bool pumpUntilStatusCalls(MessageWindow &window, FixturePlugin &plugin, uint32_t count, DWORD limit)
{
    const DWORD start = GetTickCount();
    while (plugin.statusCalls() < count) {
        if (GetTickCount() - start > limit) {
            return false;
        }
        window.pump(2);
    }
    return true;
}

std::vector<uint8_t> additionalData14443A(uint32_t targetNumber, uint16_t sensRes, uint8_t selRes,
                                          const std::vector<uint8_t> &nfcid1, const std::vector<uint8_t> &ats)
{
    std::vector<uint8_t> block(25 + ats.size(), 0);
    putU32(block, 5, targetNumber);
    block[10] = static_cast<uint8_t>(sensRes);
    block[11] = static_cast<uint8_t>(sensRes >> 8);
    block[12] = selRes;
    block[13] = static_cast<uint8_t>(nfcid1.size());
    std::memcpy(&block[14], nfcid1.data(), nfcid1.size() < 10 ? nfcid1.size() : 10);
    block[24] = static_cast<uint8_t>(ats.size());
    if (!ats.empty()) {
        std::memcpy(&block[25], ats.data(), ats.size());
    }
    return block;
}

std::vector<uint8_t> additionalData14443B(uint32_t targetNumber, const std::vector<uint8_t> &atqb,
                                          const std::vector<uint8_t> &attrib)
{
    std::vector<uint8_t> block(23 + attrib.size(), 0);
    putU32(block, 5, targetNumber);
    std::memcpy(&block[10], atqb.data(), atqb.size() < 12 ? atqb.size() : 12);
    block[22] = static_cast<uint8_t>(attrib.size());
    if (!attrib.empty()) {
        std::memcpy(&block[23], attrib.data(), attrib.size());
    }
    return block;
}

std::vector<uint8_t> additionalData18092(uint32_t targetNumber, uint8_t idByte, const std::vector<uint8_t> &nfcid2,
                                         const std::vector<uint8_t> &pad, const std::vector<uint8_t> &rd)
{
    std::vector<uint8_t> block(27 + rd.size(), 0);
    block[4] = idByte;
    putU32(block, 5, targetNumber);
    std::memcpy(&block[10], nfcid2.data(), nfcid2.size() < 8 ? nfcid2.size() : 8);
    std::memcpy(&block[18], pad.data(), pad.size() < 8 ? pad.size() : 8);
    block[26] = static_cast<uint8_t>(rd.size());
    if (!rd.empty()) {
        std::memcpy(&block[27], rd.data(), rd.size());
    }
    return block;
}

namespace {

std::vector<BYTE> testRootCertificate()
{
    const std::string der = readFile(binDirectory() + "..\\certs\\test_root.der");
    return std::vector<BYTE>(der.begin(), der.end());
}

bool changeTestRootTrust(bool add)
{
    const std::vector<BYTE> der = testRootCertificate();
    if (der.empty()) {
        return false;
    }
    HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "Root");
    if (root == nullptr) {
        return false;
    }
    bool done = false;
    if (add) {
        done = CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                                CERT_STORE_ADD_REPLACE_EXISTING, nullptr) != FALSE;
    } else {
        PCCERT_CONTEXT wanted =
            CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
        if (wanted != nullptr) {
            PCCERT_CONTEXT found =
                CertFindCertificateInStore(root, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted, nullptr);
            done = found != nullptr && CertDeleteCertificateFromStore(found) != FALSE;  // frees found
            CertFreeCertificateContext(wanted);
        }
    }
    CertCloseStore(root, 0);
    return done;
}

}  // namespace

TrustedTestRoot::TrustedTestRoot() : m_Added(changeTestRootTrust(true)) {}

TrustedTestRoot::~TrustedTestRoot()
{
    if (m_Added) {
        changeTestRootTrust(false);
    }
}

std::string addChangedAfterSigning(ScratchDirectory &directory, const std::string &variant, const std::string &name)
{
    const std::string path = directory.addPlugin(variant, name);
    std::string bytes = readFile(path);
    // "This program cannot be run in DOS mode": the stub is covered by the signed digest but
    // never runs on Windows.
    const size_t stub = bytes.find("This program");
    if (stub != std::string::npos) {
        bytes[stub] = 't';
        writeFile(path, bytes);
    }
    return path;
}

bool startChildProcess(std::string &commandLine, bool inheritHandles, const char *directory,
                       STARTUPINFOA &startup, PROCESS_INFORMATION &process)
{
    for (int attempt = 0;; ++attempt) {
        if (CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, inheritHandles ? TRUE : FALSE, 0, nullptr,
                           directory, &startup, &process)) {
            return true;
        }
        const DWORD error = GetLastError();
        if (attempt == 4) {
            SetLastError(error);
            return false;
        }
        Sleep(200);
    }
}

ChildRun runChildProcess(std::string commandLine, DWORD limit)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!startChildProcess(commandLine, false, nullptr, startup, process)) {
        return {false, false, 0xFFFFFFFFu};
    }
    const DWORD waited = WaitForSingleObject(process.hProcess, limit);
    DWORD exitCode = 0xFFFFFFFFu;
    GetExitCodeProcess(process.hProcess, &exitCode);
    if (waited != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 9);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return {true, waited == WAIT_OBJECT_0, exitCode};
}

void expectFreeLibraryWhilePollingLeavesNothingBehind(const std::string &pluginFile)
{
    for (const char *mode : {"poll", "access", "dllmain"}) {
        const std::string commandLine =
            "\"" + binDirectory() + "free_library_while_polling.exe\" " + mode + " " + pluginFile;
        const ChildRun run = runChildProcess(commandLine, 30000);
        ASSERT_TRUE(run.started) << commandLine;
        EXPECT_TRUE(run.ended) << "the process hung: " << commandLine;
        EXPECT_EQ(run.exitCode, 0u) << commandLine;
    }
}

ReaderPlugin::ReaderPlugin(const std::string &path) : module(LoadLibraryA(path.c_str())) {}

ReaderPlugin::~ReaderPlugin()
{
    if (module != nullptr) {
        FreeLibrary(module);
    }
}

PluginStatus driverStatus(ReaderPlugin &plugin)
{
    PluginStatus s;
    s.ok = plugin.driverStatus(&s.word, &s.cardType, &s.listen, &s.size, &s.data, &s.error) != 0;
    return s;
}

bool waitForStatus(ReaderPlugin &plugin, uint32_t mask, PluginStatus &status, DWORD limitMs)
{
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < limitMs) {
        status = driverStatus(plugin);
        if (status.ok && (status.word & mask) == mask) {
            return true;
        }
        Sleep(20);
    }
    return false;
}

std::string statusToken(const PluginStatus &status)
{
    if (!status.ok) {
        return "fail";
    }
    uint32_t number = 0;
    if (status.data != nullptr && status.size >= GP_AD_TARGET_NUMBER + 4) {
        std::memcpy(&number, status.data + GP_AD_TARGET_NUMBER, 4);
    }
    const uint32_t state = status.word & GP_STATUS_STATE_MASK;
    if (status.word == (GP_STATUS_STATE_ACTIVE | GP_CONNECT_REPORT_POLL_MODE)) {
        return "F" + std::to_string(number);
    }
    if (state == GP_STATUS_CARD_ERROR && (status.word & GP_TARGET_DEPARTED) != 0 && status.cardType != 0) {
        return "L" + std::to_string(number);
    }
    switch (status.word) {
    case GP_STATUS_STATE_IDLE: return "I";
    case GP_STATUS_STATE_ACTIVE | GP_ACCESS_WAITING: return "W";
    case GP_STATUS_STATE_ACTIVE | GP_ACCESS_ENABLED: return "A";
    default: {
        char token[16];
        wsprintfA(token, "X%08X", status.word);
        return token;
    }
    }
}

std::string statusesOnEvent(gp_get_driver_status_t entry, HANDLE event, size_t count, DWORD limitMs)
{
    std::string tokens;
    const DWORD begun = GetTickCount();
    for (size_t i = 0; i < count; ++i) {
        const DWORD spent = GetTickCount() - begun;
        if (spent >= limitMs || WaitForSingleObject(event, limitMs - spent) != WAIT_OBJECT_0) {
            break;
        }
        PluginStatus s;
        s.ok = entry(&s.word, &s.cardType, &s.listen, &s.size, &s.data, &s.error) != 0;
        tokens += statusToken(s) + " ";
    }
    return tokens;
}

std::string listedPorts(gp_list_ports_t entry)
{
    char buffer[4096];
    uint32_t needed = 0;
    ErrorInfo error{0, 0};
    if (!entry(buffer, sizeof buffer, &needed, &error)) {
        char failure[32];
        wsprintfA(failure, "fail %08X", error.error_code);
        return failure;
    }
    std::vector<reader::PortEntry> entries;
    std::string why;
    if (needed > sizeof buffer || !reader::parsePortList(buffer, needed, entries, why)) {
        return "bad list: " + why;
    }
    std::string ports;
    for (const reader::PortEntry &port : entries) {
        ports += port.portName + "(" + port.readerName + ") ";
    }
    return ports;
}

}  // namespace korvat_test
