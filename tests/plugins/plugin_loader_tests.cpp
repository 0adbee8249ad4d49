// Finding, checking, loading and unloading reader plug-ins, seen through the DLL's exports,
// the debug log and the modules left in the process.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "TestSupport.h"

using namespace korvat_test;

namespace {

bool endsWith(const std::string &text, const std::string &end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// What the loader decided about one candidate file.
struct Verdict {
    std::string kind;  // message up to the "(" before the path
    std::string path;
    int category;      // -1 where the message carries none
};

const char *const VerdictKinds[] = {
    "WARNING! : Bad signature",        "WARNING! : Failed to allocate memory",
    "WARNING! : Failed to load Plugin", "WARNING! : Fail to get function",
    "WARNING! : Illegal Plugin",        "WARNING! : Fail to get Port category",
    "WARNING! : Tihs category is already registerd", "INFORMATION! : Load plugin",
};
const char RegisteredKind[] = "INFORMATION! : Load plugin";
const char TakenKind[] = "WARNING! : Tihs category is already registerd";

// Every candidate gets exactly one verdict, so the verdicts show the candidate list in order.
std::vector<Verdict> readVerdicts(const std::string &logPath)
{
    std::vector<Verdict> verdicts;
    for (const DebugLogRecord &record : debugLogRecords(logPath)) {
        if (!endsWith(record.source, "NfcPluginLoader.cpp")) {
            continue;
        }
        const std::string &m = record.message;
        for (const char *kind : VerdictKinds) {
            const std::string prefix = std::string(kind) + "(";
            if (m.compare(0, prefix.size(), prefix) != 0) {
                continue;
            }
            std::string inner = m.substr(prefix.size(), m.rfind(')') - prefix.size());
            int category = -1;
            if (kind == std::string(RegisteredKind) || kind == std::string(TakenKind)) {
                const size_t colon = inner.rfind(':');
                category = std::stoi(inner.substr(colon + 1));
                inner.resize(colon);
            }
            verdicts.push_back({kind, inner, category});
        }
    }
    return verdicts;
}

std::vector<std::string> verdictPaths(const std::vector<Verdict> &verdicts)
{
    std::vector<std::string> paths;
    for (const Verdict &v : verdicts) {
        paths.push_back(v.path);
    }
    return paths;
}

// Every file below directory (which ends in "\"), depth first, in the order the file system
// enumerates each directory: the order a loader that adds no sorting meets them.
void enumerateFiles(const std::string &directory, std::vector<std::string> &files)
{
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((directory + "*.*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::string name = entry.cFileName;
        if (name == "." || name == "..") {
            continue;
        }
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            enumerateFiles(directory + name + "\\", files);
        } else {
            files.push_back(directory + name);
        }
    } while (FindNextFileA(search, &entry));
    FindClose(search);
}

std::string fullPath(const std::string &path)
{
    char full[MAX_PATH] = {0};
    GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
    return full;
}

// Whether the process still has the module loaded from this file.
bool moduleLoaded(const std::string &path)
{
    return GetModuleHandleA(fullPath(path).c_str()) != nullptr;
}

struct InitializeCall {
    KorvatDll *dll;
    KORVAT_NFC_BOOL result;
};

DWORD WINAPI initializeOnThread(void *parameter)
{
    InitializeCall *call = static_cast<InitializeCall *>(parameter);
    call->result = call->dll->initialize();
    return 0;
}

class PluginLoading : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_Registry.setEmptyDebugLog(m_LogPath);
        m_Registry.setString("plugins_home_directory", m_Plugins.path());
        m_Registry.setString("category_name_list", "C0,C1,C2,C3");
        m_Registry.setString("port_name_list", "C00");
    }

    std::vector<DebugLogRecord> records() const { return debugLogRecords(m_LogPath); }
    std::vector<Verdict> verdicts() const { return readVerdicts(m_LogPath); }
    bool logged(const std::string &message) const
    {
        for (const DebugLogRecord &r : records()) {
            if (r.message == message) {
                return true;
            }
        }
        return false;
    }
    // Messages of the plug-in layer (loader, signer check), leaving out the exported functions'
    // trace and the registry readers.
    std::vector<std::string> pluginLayerMessages() const
    {
        std::vector<std::string> messages;
        for (const DebugLogRecord &r : records()) {
            if (!endsWith(r.source, "korvat_nfc_library.cpp") && !endsWith(r.source, "NfcLibrary.cpp")) {
                messages.push_back(r.message);
            }
        }
        return messages;
    }

    RegistryConfiguration m_Registry;
    ScratchDirectory m_Plugins{"loader_plugins"};
    ScratchDirectory m_Logs{"loader_logs"};
    const std::string m_LogPath = m_Logs.file("debug.log");
};

// ---------------------------------------------------------------------------------------------
// Which files are candidates, and in which order they are met
// ---------------------------------------------------------------------------------------------

// Plug-ins of distinct categories, so that any of them taken as a candidate would register.
void addNameRuleLayout(ScratchDirectory &plugins)
{
    plugins.addPlugin("cat0", "READER.GP");
    plugins.addPlugin("cat1", "other.Gp");
    plugins.addPlugin("cat2", "reader.gpx");
    plugins.addPlugin("cat3", "reader.dll");
    plugins.addPlugin("cat2", "gp");
    plugins.addPlugin("cat3", "x.gp\\inner.gp");  // x.gp is a directory
}

TEST_F(PluginLoading, CandidatesAreFilesWhoseExtensionIsGpInAnyLetterCase)
{
    addNameRuleLayout(m_Plugins);
    KorvatDll dll;
    ASSERT_TRUE(dll.loaded());
    ASSERT_TRUE(dll.initialize());

    std::vector<std::string> candidates = verdictPaths(verdicts());
    std::sort(candidates.begin(), candidates.end());
    std::vector<std::string> expected = {m_Plugins.file("READER.GP"), m_Plugins.file("other.Gp"),
                                         m_Plugins.file("x.gp\\inner.gp")};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(candidates, expected);
    EXPECT_TRUE(logged("INFORMATION! : Load plugin(" + m_Plugins.file("READER.GP") + ":0)."));
    EXPECT_TRUE(logged("INFORMATION! : Load plugin(" + m_Plugins.file("other.Gp") + ":1)."));
    EXPECT_TRUE(logged("INFORMATION! : Load plugin(" + m_Plugins.file("x.gp\\inner.gp") + ":3)."));
    EXPECT_FALSE(moduleLoaded(m_Plugins.file("reader.gpx")));
    EXPECT_FALSE(moduleLoaded(m_Plugins.file("reader.dll")));
    EXPECT_FALSE(moduleLoaded(m_Plugins.file("gp")));
    EXPECT_TRUE(dll.uninitialize());
}

TEST_F(PluginLoading, TrailingBackslashOnTheDirectoryMakesNoDifference)
{
    addNameRuleLayout(m_Plugins);
    std::string withoutBackslash = m_Plugins.path();
    withoutBackslash.pop_back();

    std::vector<std::vector<Verdict>> runs;
    for (const std::string &home : {m_Plugins.path(), withoutBackslash}) {
        m_Registry.setString("plugins_home_directory", home);
        KorvatDll dll;  // a fresh load empties the debug log
        ASSERT_TRUE(dll.loaded());
        EXPECT_TRUE(dll.initialize()) << home;
        runs.push_back(verdicts());
        EXPECT_TRUE(dll.uninitialize());
    }
    ASSERT_EQ(runs[0].size(), 3u);
    ASSERT_EQ(runs[1].size(), runs[0].size());
    for (size_t i = 0; i < runs[0].size(); ++i) {
        EXPECT_EQ(runs[1][i].kind, runs[0][i].kind);
        EXPECT_EQ(runs[1][i].path, runs[0][i].path);
        EXPECT_EQ(runs[1][i].category, runs[0][i].category);
    }
}

TEST_F(PluginLoading, SubdirectoriesAreSearchedWhereTheyAreMetAndTheFirstOfACategoryWins)
{
    const std::map<std::string, int> layout = {
        {"a.gp", 0},          {"m.gp", 1},          {"z.gp", 0},
        {"sub\\b.gp", 0},     {"sub\\n.gp", 3},     {"sub\\deeper\\c.gp", 2},
        {"y\\d.gp", 1},       {"y\\e.gp", 2},       {"k\\f.gp", 3},
    };
    std::map<std::string, int> categoryOf;
    for (const auto &file : layout) {
        categoryOf[m_Plugins.addPlugin("cat" + std::to_string(file.second), file.first)] = file.second;
    }
    std::vector<std::string> expectedOrder;
    enumerateFiles(m_Plugins.path(), expectedOrder);
    ASSERT_EQ(expectedOrder.size(), layout.size());

    KorvatDll dll;
    ASSERT_TRUE(dll.loaded());
    ASSERT_TRUE(dll.initialize());

    const std::vector<Verdict> found = verdicts();
    ASSERT_EQ(verdictPaths(found), expectedOrder);
    std::map<int, std::string> winner;
    for (const Verdict &v : found) {
        const int category = categoryOf[v.path];
        EXPECT_EQ(v.category, category) << v.path;
        if (winner.count(category) == 0) {
            winner[category] = v.path;
            EXPECT_EQ(v.kind, RegisteredKind) << v.path;
        } else {
            EXPECT_EQ(v.kind, TakenKind) << v.path;
            EXPECT_FALSE(moduleLoaded(v.path)) << v.path;
        }
    }
    // The winner of each category is the one that serves its ports.
    for (const auto &w : winner) {
        ASSERT_TRUE(moduleLoaded(w.second)) << w.second;
        FixturePlugin fixture(w.second);
        fixture.reset();
        char port[16];
        snprintf(port, sizeof(port), "C%dx", w.first);
        EXPECT_TRUE(dll.open(port)) << port;
        EXPECT_EQ(fixture.calls(), "gp_open_port_and_transition_nfc_mode " + std::string(port) +
                                       "\ngp_set_timeout 6000\n");
        EXPECT_TRUE(dll.close());
    }
    EXPECT_TRUE(dll.uninitialize());
}

// A symbolic link under the plug-in directory that points back to it (made from the Linux side
// when the build is configured, since Wine cannot make one). Followed blindly, it would lead the
// search into plugins\sub\back\sub\back\... .
std::wstring wide(const std::string &utf8)
{
    std::wstring text(utf8.size(), L'\0');
    text.resize(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &text[0],
                                    static_cast<int>(text.size())));
    return text;
}

std::string utf8(const std::wstring &text)
{
    std::string bytes(text.size() * 4, '\0');
    bytes.resize(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0],
                                     static_cast<int>(bytes.size()), nullptr, nullptr));
    return bytes;
}

// Whether the system's 8-bit code page lacks a character of the text.
bool outsideAnsiCodePage(const std::wstring &text)
{
    BOOL defaultUsed = FALSE;
    char bytes[256];
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), -1, bytes, sizeof(bytes), nullptr, &defaultUsed);
    return defaultUsed != FALSE;
}

// The plug-in directory read from the registry is 8-bit text; below it, directory and file names
// are whatever the file system holds. Devanagari has no ANSI code page, so these names cannot
// pass through one, and the traces name them in UTF-8.
TEST_F(PluginLoading, PluginsWhoseNamesNoAnsiCodePageCanSpellAreCheckedLoadedAndTracedInUtf8)
{
    const std::wstring home = wide(m_Plugins.path());
    const std::wstring subdirectory = home + L"\u0915\u0916\u0917";
    const std::wstring inSubdirectory = subdirectory + L"\\\u0436\u8aad\u0915.gp";
    const std::wstring atTop = home + L"\u0915\u00e9.Gp";
    ASSERT_TRUE(outsideAnsiCodePage(inSubdirectory) && outsideAnsiCodePage(atTop));
    // The scratch directory is emptied through the 8-bit file functions, which cannot name these.
    struct RemoveWide {
        std::vector<std::wstring> files, directories;
        ~RemoveWide()
        {
            for (const std::wstring &f : files) {
                DeleteFileW(f.c_str());
            }
            for (const std::wstring &d : directories) {
                RemoveDirectoryW(d.c_str());
            }
        }
    } removeWide{{inSubdirectory, atTop}, {subdirectory}};
    ASSERT_TRUE(CreateDirectoryW(subdirectory.c_str(), nullptr));
    ASSERT_TRUE(CopyFileW(wide(testPluginPath("cat0")).c_str(), inSubdirectory.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(wide(testPluginPath("cat1")).c_str(), atTop.c_str(), FALSE));

    KorvatDll dll;
    ASSERT_TRUE(dll.loaded());
    EXPECT_TRUE(dll.initialize());
    std::vector<Verdict> found = verdicts();
    std::sort(found.begin(), found.end(), [](const Verdict &a, const Verdict &b) { return a.category < b.category; });
    ASSERT_EQ(found.size(), 2u) << ::testing::PrintToString(pluginLayerMessages());
    EXPECT_EQ(found[0].kind, RegisteredKind);
    EXPECT_EQ(found[0].path, utf8(inSubdirectory));
    EXPECT_EQ(found[0].category, 0);
    EXPECT_EQ(found[1].kind, RegisteredKind);
    EXPECT_EQ(found[1].path, utf8(atTop));
    EXPECT_EQ(found[1].category, 1);
    EXPECT_TRUE(dll.open(const_cast<char *>("C0x")));
    EXPECT_TRUE(dll.close());
    EXPECT_TRUE(dll.uninitialize());
}

TEST_F(PluginLoading, DirectoryLinkToAnAncestorDoesNotMakeTheSearchRunAway)
{
    const std::string plugins = fullPath(binDirectory() + "..\\test_links\\loop\\plugins") + "\\";
    const DWORD linkAttributes = GetFileAttributesA((plugins + "sub\\back").c_str());
    ASSERT_NE(linkAttributes, INVALID_FILE_ATTRIBUTES) << "the link " << plugins << "sub\\back is made by cmake";
    ASSERT_NE(linkAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    const std::string reader = plugins + "reader.gp";
    ASSERT_TRUE(CopyFileA(testPluginPath("cat0").c_str(), reader.c_str(), FALSE));
    m_Registry.setString("plugins_home_directory", plugins);

    {
        KorvatDll dll;
        ASSERT_TRUE(dll.loaded());
        InitializeCall call{&dll, 0};
        HANDLE thread = CreateThread(nullptr, 0, initializeOnThread, &call, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        const DWORD waited = WaitForSingleObject(thread, 60000);
        CloseHandle(thread);
        if (waited != WAIT_OBJECT_0) {
            // The search is still running inside the DLL: nothing can be cleaned up safely.
            std::fprintf(stderr, "korvatlib_nfc_initialize did not return within 60 s\n");
            std::fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 3);
        }
        EXPECT_TRUE(call.result);
        const std::vector<Verdict> found = verdicts();
        ASSERT_FALSE(found.empty());
        EXPECT_EQ(found[0].kind, RegisteredKind);
        EXPECT_EQ(found[0].path, reader);
        EXPECT_EQ(found[0].category, 0);
        EXPECT_TRUE(dll.open(const_cast<char *>("C0x")));
        EXPECT_TRUE(dll.close());
        EXPECT_TRUE(dll.uninitialize());
    }
    DeleteFileA(reader.c_str());
}

// ---------------------------------------------------------------------------------------------
// Refusing candidates
// ---------------------------------------------------------------------------------------------

struct CandidateCase {
    const char *variant;
    bool accepted;
    // Messages of the plug-in layer while loading this one file; "%s" stands for its path.
    std::vector<std::string> messages;
    uint32_t detailAfterLoad;  // the loader writes the code word only
};

void PrintTo(const CandidateCase &c, std::ostream *os)
{
    *os << c.variant;
}

class CandidateChecks : public PluginLoading, public ::testing::WithParamInterface<CandidateCase> {};

TEST_P(CandidateChecks, EachCheckRefusesWithItsOwnMessage)
{
    const CandidateCase &c = GetParam();
    const std::string path = m_Plugins.addPlugin(c.variant, "candidate.gp");
    KorvatDll dll;
    ASSERT_TRUE(dll.loaded());
    EXPECT_EQ(dll.initialize() != 0, c.accepted);

    std::vector<std::string> expected;
    for (std::string message : c.messages) {
        const size_t at = message.find("%s");
        if (at != std::string::npos) {
            message.replace(at, 2, path);
        }
        expected.push_back(message);
    }
    if (!c.accepted) {
        expected.push_back("ERROR! : Any Plugin cannot be loaded.");
    }
    EXPECT_EQ(pluginLayerMessages(), expected);
    if (c.accepted) {
        EXPECT_TRUE(moduleLoaded(path));
        EXPECT_TRUE(dll.uninitialize());
    } else {
        EXPECT_EQ(dll.lastError(), std::make_pair(KORVAT_NFC_E_NO_PLUGIN, c.detailAfterLoad));
        EXPECT_FALSE(moduleLoaded(path)) << "a refused plug-in is unloaded at once";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Variants, CandidateChecks,
    ::testing::Values(
        CandidateCase{"unsigned", false,
                      {"ASSERT! : CryptSIPGetSignedDataMsg() failed.", "WARNING! : Bad signature(%s). "}, 0},
        CandidateCase{"signer_other",
                      false,
                      {"WARNING! : Signer is not Ravo Corporation(%s). common name = \"Ravo Corporation Ltd\"",
                       "WARNING! : Bad signature(%s). "},
                      0},
        CandidateCase{"missing_entries",
                      false,
                      {"ERROR! : Failed to get gp_close_port function.", "ERROR! : Failed to get gp_read function.",
                       "WARNING! : Fail to get function(%s)."},
                      0},
        CandidateCase{"version999", false, {"WARNING! : Illegal Plugin(%s) version."}, 0},
        // The plug-in wrote (0xE0000001, 0x42) itself; the loader replaces the code word only.
        CandidateCase{"info_fails", false, {"WARNING! : Fail to get Port category(%s)."}, 0x42},
        // Built for the other architecture: refused by the loader of the system like any file
        // that does not load, with the reason traced.
        CandidateCase{"other_arch_cat0",
                      false,
                      {"WARNING! : Failed to load Plugin(%s). ",
                       std::string("WARNING! : Plugin(%s) is not a module of this architecture (") +
                           (sizeof(void *) == 8 ? "x64" : "x86") + ")."},
                      0},
        CandidateCase{"version1000", true, {"INFORMATION! : Load plugin(%s:1)."}, 0},
        CandidateCase{"signer_upper", true, {"INFORMATION! : Load plugin(%s:0)."}, 0}),
    [](const ::testing::TestParamInfo<CandidateCase> &info) { return std::string(info.param.variant); });

TEST_F(PluginLoading, LoadSucceedsWhenOnePluginRegistersAndTheOthersAreRefused)
{
    // Names first, contents after: the file met first gets the good plug-in, so that every
    // candidate after it, the last one included, is refused.
    const std::vector<std::string> refused = {"unsigned", "signer_other", "missing_entries", "version999",
                                              "info_fails"};
    for (size_t i = 0; i <= refused.size(); ++i) {
        writeFile(m_Plugins.file("p" + std::to_string(i) + ".gp"), "");
    }
    std::vector<std::string> order;
    enumerateFiles(m_Plugins.path(), order);
    ASSERT_EQ(order.size(), refused.size() + 1);
    ASSERT_TRUE(CopyFileA(testPluginPath("cat0").c_str(), order[0].c_str(), FALSE));
    for (size_t i = 0; i < refused.size(); ++i) {
        ASSERT_TRUE(CopyFileA(testPluginPath(refused[i]).c_str(), order[i + 1].c_str(), FALSE));
    }

    KorvatDll dll;
    ASSERT_TRUE(dll.loaded());
    EXPECT_TRUE(dll.initialize());
    const std::vector<Verdict> found = verdicts();
    ASSERT_EQ(verdictPaths(found), order);
    EXPECT_EQ(found[0].kind, RegisteredKind);
    EXPECT_FALSE(logged("ERROR! : Any Plugin cannot be loaded."));
    // The refused info_fails plug-in wrote its pair; a successful load does not clear it.
    EXPECT_EQ(dll.lastError(), std::make_pair(0xE0000001u, 0x42u));
    EXPECT_TRUE(dll.open(const_cast<char *>("C0x")));
    EXPECT_TRUE(dll.close());
    EXPECT_TRUE(dll.uninitialize());
}

TEST_F(PluginLoading, PluginOfTheOtherArchitectureIsSkippedAndTheOthersStillLoad)
{
    // Both orders of meeting them: before and after the good plug-in.
    for (const bool otherFirst : {true, false}) {
        SCOPED_TRACE(otherFirst ? "other architecture met first" : "other architecture met last");
        writeFile(m_Plugins.file("p0.gp"), "");
        writeFile(m_Plugins.file("p1.gp"), "");
        std::vector<std::string> order;
        enumerateFiles(m_Plugins.path(), order);
        ASSERT_EQ(order.size(), 2u);
        const std::string other = order[otherFirst ? 0 : 1];
        const std::string good = order[otherFirst ? 1 : 0];
        ASSERT_TRUE(CopyFileA(testPluginPath("other_arch_cat0").c_str(), other.c_str(), FALSE));
        ASSERT_TRUE(CopyFileA(testPluginPath("cat1").c_str(), good.c_str(), FALSE));

        KorvatDll dll;
        ASSERT_TRUE(dll.loaded());
        EXPECT_TRUE(dll.initialize());
        std::vector<Verdict> found = verdicts();
        ASSERT_EQ(verdictPaths(found), order);
        const Verdict &otherVerdict = found[otherFirst ? 0 : 1];
        const Verdict &goodVerdict = found[otherFirst ? 1 : 0];
        EXPECT_EQ(otherVerdict.kind, "WARNING! : Failed to load Plugin");
        EXPECT_EQ(goodVerdict.kind, RegisteredKind);
        EXPECT_EQ(goodVerdict.category, 1);
        EXPECT_FALSE(moduleLoaded(other));
        // Category 0 has no plug-in; category 1 serves its ports.
        EXPECT_FALSE(dll.open(const_cast<char *>("C0x")));
        EXPECT_EQ(dll.lastError(), std::make_pair(KORVAT_NFC_E_NO_PLUGIN, 0u));
        EXPECT_TRUE(dll.open(const_cast<char *>("C1x")));
        EXPECT_TRUE(dll.close());
        EXPECT_TRUE(dll.uninitialize());
        DeleteFileA(other.c_str());
        DeleteFileA(good.c_str());
    }
}

// plugin_signature_policy is read at initialise: absent or "name" keeps the signer-name check
// alone; "digest" also refuses a file changed after signing; "chain" also refuses a certificate
// that no trusted root issued; an unknown setting is traced and taken as the strictest.
TEST_F(PluginLoading, SignaturePolicySettingDecidesWhichSignedPluginsLoad)
{
    TrustedTestRoot trusted;
    ASSERT_TRUE(trusted.added()) << "cannot add the test root to the trusted store";
    const std::string changed = addChangedAfterSigning(m_Plugins, "cat0", "changed.gp");
    const std::string issued = m_Plugins.addPlugin("issued_cat1", "issued.gp");
    const std::string selfSigned = m_Plugins.addPlugin("cat2", "self_signed.gp");

    const struct {
        const char *setting;  // null: value absent
        std::vector<int> categories;
        const char *traced;   // the policy line of initialise, null when none
    } cases[] = {
        {nullptr, {0, 1, 2}, nullptr},
        {"name", {0, 1, 2}, "INFORMATION! : plugin_signature_policy = name."},
        {"Digest", {1, 2}, "INFORMATION! : plugin_signature_policy = digest."},
        {"chain", {1}, "INFORMATION! : plugin_signature_policy = chain."},
        {"strict", {1}, "WARNING! : Unknown plugin_signature_policy(strict), chain is used."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.setting != nullptr ? c.setting : "absent");
        if (c.setting != nullptr) {
            m_Registry.setString("plugin_signature_policy", c.setting);
        } else {
            m_Registry.remove("plugin_signature_policy");
        }
        m_Registry.setEmptyDebugLog(m_LogPath);
        KorvatDll dll;
        ASSERT_TRUE(dll.loaded());
        EXPECT_TRUE(dll.initialize());
        std::vector<int> registered;
        for (const Verdict &v : verdicts()) {
            if (v.kind == RegisteredKind) {
                registered.push_back(v.category);
            }
        }
        std::sort(registered.begin(), registered.end());
        EXPECT_EQ(registered, c.categories);
        std::vector<std::string> policyLines;
        for (const DebugLogRecord &r : records()) {
            if (r.message.find("plugin_signature_policy") != std::string::npos) {
                policyLines.push_back(r.message);
            }
        }
        EXPECT_EQ(policyLines, c.traced != nullptr ? std::vector<std::string>{c.traced} : std::vector<std::string>{});
        EXPECT_TRUE(dll.uninitialize());
    }
}

TEST_F(PluginLoading, NoRegisteredPluginFailsWithNoPlugin)
{
    struct Case {
        const char *what;
        std::vector<std::pair<const char *, const char *>> files;  // variant, name
    };
    const Case cases[] = {
        {"empty directory", {}},
        {"no file with the extension gp", {{"cat0", "reader.dll"}, {"cat1", "sub\\reader.gpx"}}},
        {"only refused candidates", {{"unsigned", "a.gp"}, {"version999", "sub\\b.gp"}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDirectory plugins("loader_nothing");
        for (const auto &file : c.files) {
            plugins.addPlugin(file.first, file.second);
        }
        m_Registry.setString("plugins_home_directory", plugins.path());
        KorvatDll dll;
        ASSERT_TRUE(dll.loaded());
        EXPECT_FALSE(dll.initialize());
        EXPECT_EQ(dll.lastError(), std::make_pair(KORVAT_NFC_E_NO_PLUGIN, 0u));
        EXPECT_TRUE(logged("ERROR! : Any Plugin cannot be loaded."));
        for (const Verdict &v : verdicts()) {
            EXPECT_NE(v.kind, RegisteredKind) << v.path;
        }
        // Still uninitialised.
        EXPECT_FALSE(dll.uninitialize());
        EXPECT_EQ(dll.lastError(), std::make_pair(KORVAT_NFC_E_NOT_INITIALIZED, 0u));
    }
}

TEST_F(PluginLoading, UnusableHomeDirectoryFailsBeforeAnySearch)
{
    const std::string plugin = m_Plugins.addPlugin("cat0", "reader.gp");
    struct Case {
        const char *what;
        bool present;
        std::string value;
    };
    const Case cases[] = {
        {"value missing", false, ""},
        {"empty value", true, ""},
        {"no such directory", true, m_Plugins.file("absent\\")},
        {"a plug-in file, not a directory", true, plugin},
        {"a plug-in file with a trailing backslash", true, plugin + "\\"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.present) {
            m_Registry.setString("plugins_home_directory", c.value);
        } else {
            m_Registry.remove("plugins_home_directory");
        }
        KorvatDll dll;
        ASSERT_TRUE(dll.loaded());
        EXPECT_FALSE(dll.initialize());
        EXPECT_EQ(dll.lastError(), std::make_pair(KORVAT_NFC_E_PLUGIN_HOME_DIRECTORY, 0u));
        EXPECT_EQ(pluginLayerMessages(), std::vector<std::string>{"ERROR! : Invalid plugins_home_directory."});
        EXPECT_FALSE(moduleLoaded(plugin));
    }
}

TEST_F(PluginLoading, OpeningAPortWhoseCategoryHasNoPluginFailsWithNoPlugin)
{
    m_Plugins.addPlugin("cat0", "reader.gp");
    KorvatDll dll;
    ASSERT_TRUE(dll.loaded());
    ASSERT_TRUE(dll.initialize());
    for (int category : {1, 3}) {
        const std::string port = "C" + std::to_string(category) + "x";
        EXPECT_FALSE(dll.open(const_cast<char *>(port.c_str())));
        EXPECT_EQ(dll.lastError(), std::make_pair(KORVAT_NFC_E_NO_PLUGIN, 0u));
        EXPECT_TRUE(logged("ERROR! PortCategory = " + std::to_string(category) + " is not supported."));
    }
    // Still initialised with no port open.
    EXPECT_TRUE(dll.uninitialize());
}

// ---------------------------------------------------------------------------------------------
// Lifetime of the loaded modules
// ---------------------------------------------------------------------------------------------

TEST_F(PluginLoading, InitialiseAfterUninitialiseReadsTheRegistryAgain)
{
    const std::string first = m_Plugins.addPlugin("cat0", "first.gp");
    ScratchDirectory other("loader_other_plugins");
    const std::string second = other.addPlugin("cat1", "second.gp");

    KorvatDll dll;
    ASSERT_TRUE(dll.loaded());
    ASSERT_TRUE(dll.initialize());
    EXPECT_TRUE(moduleLoaded(first));
    EXPECT_TRUE(dll.open(const_cast<char *>("C0x")));
    EXPECT_TRUE(dll.close());
    EXPECT_TRUE(dll.uninitialize());
    EXPECT_FALSE(moduleLoaded(first));

    m_Registry.setString("plugins_home_directory", other.path());
    m_Registry.setString("category_name_list", "Q0,Q1");
    ASSERT_TRUE(dll.initialize());
    EXPECT_FALSE(moduleLoaded(first));
    ASSERT_TRUE(moduleLoaded(second));
    {
        FixturePlugin fixture(second);
        fixture.reset();
        EXPECT_TRUE(dll.open(const_cast<char *>("Q1x")));
        EXPECT_EQ(fixture.calls(), "gp_open_port_and_transition_nfc_mode Q1x\ngp_set_timeout 6000\n");
        EXPECT_TRUE(dll.close());
    }
    // The old category names and the old plug-in are gone.
    EXPECT_FALSE(dll.open(const_cast<char *>("C0x")));
    EXPECT_EQ(dll.lastError(), std::make_pair(KORVAT_NFC_E_UNSUPPORTED_CATEGORY, 0u));
    EXPECT_FALSE(dll.open(const_cast<char *>("Q0x")));
    EXPECT_EQ(dll.lastError(), std::make_pair(KORVAT_NFC_E_NO_PLUGIN, 0u));
    EXPECT_TRUE(logged("ERROR! PortCategory = 0 is not supported."));
    EXPECT_TRUE(dll.uninitialize());
    EXPECT_FALSE(moduleLoaded(second));
}

TEST_F(PluginLoading, UninitialiseUnloadsThePluginsAndTheDllCanBeUnloadedAndLoadedAgain)
{
    const std::string plugin = m_Plugins.addPlugin("cat0", "reader.gp");
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        KorvatDll dll;
        ASSERT_TRUE(dll.loaded());
        for (int cycle = 0; cycle < 2; ++cycle) {
            ASSERT_TRUE(dll.initialize());
            EXPECT_TRUE(moduleLoaded(plugin));
            EXPECT_TRUE(dll.open(const_cast<char *>("C0x")));
            EXPECT_TRUE(dll.close());
            ASSERT_TRUE(dll.uninitialize());
            EXPECT_FALSE(moduleLoaded(plugin));
        }
        dll.unload();  // after uninitialise: nothing may be freed a second time
        EXPECT_FALSE(moduleLoaded(binDirectory() + "korvat_nfc_library_for_vb.dll"));
    }
    // Unloading the DLL while initialised unloads the plug-ins too.
    KorvatDll dll;
    ASSERT_TRUE(dll.loaded());
    ASSERT_TRUE(dll.initialize());
    EXPECT_TRUE(moduleLoaded(plugin));
    dll.unload();
    EXPECT_FALSE(moduleLoaded(plugin));
}

}  // namespace
