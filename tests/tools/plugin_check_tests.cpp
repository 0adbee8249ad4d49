// korvat_nfc_plugin_check run as a plug-in author runs it: the simulated reader keeps the
// contract; each fault of the checker fixture, each kind of bad file and the other architecture
// are reported with their own FAIL line, and nothing else fails. The lifetime steps (FreeLibrary
// and process exit with the plug-in in use) run against a plug-in directory of its own.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"

using namespace korvat_test;

namespace {

struct CheckerRun {
    DWORD exitCode = 0xFFFFFFFF;
    std::string output;
    std::vector<std::string> lines;

    // Check names of the lines with this verdict ("PASS", "WARN", "FAIL").
    std::multiset<std::string> checks(const std::string &verdict) const
    {
        std::multiset<std::string> names;
        for (const std::string &line : lines) {
            if (line.compare(0, verdict.size() + 2, verdict + "  ") == 0) {
                std::istringstream fields(line.substr(verdict.size()));
                std::string name;
                fields >> name;
                names.insert(name);
            }
        }
        return names;
    }
    // The first line with this verdict and check name, or "".
    std::string line(const std::string &verdict, const std::string &check) const
    {
        for (const std::string &l : lines) {
            std::istringstream fields(l);
            std::string v, name;
            fields >> v >> name;
            if (v == verdict && name == check) {
                return l;
            }
        }
        return "";
    }
};

// Runs the checker of this build, its output going to a file that is read once it has ended.
CheckerRun runChecker(const std::string &arguments)
{
    CheckerRun run;
    // One directory for the whole program, one file per run (a directory removed and made again
    // at once is not always there yet under Wine).
    static ScratchDirectory scratch("plugin_check_output");
    static int runs = 0;
    const std::string outputPath = scratch.file("output" + std::to_string(++runs) + ".txt");
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE output = CreateFileA(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (output == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "cannot create " << outputPath;
        return run;
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = output;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    std::string command = "\"" + binDirectory() + "korvat_nfc_plugin_check.exe\" " + arguments;
    PROCESS_INFORMATION process = {};
    if (!startChildProcess(command, true, binDirectory().c_str(), startup, process)) {
        const DWORD error = GetLastError();
        CloseHandle(output);
        ADD_FAILURE() << "cannot start (error " << error << "): " << command;
        return run;
    }
    WaitForSingleObject(process.hProcess, 120000);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(output);
    run.output = readFile(outputPath);
    DeleteFileA(outputPath.c_str());
    std::istringstream in(run.output);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        run.lines.push_back(line);
    }
    return run;
}

std::string quoted(const std::string &path)
{
    return "\"" + path + "\"";
}

std::string joined(const std::multiset<std::string> &names)
{
    std::string text;
    for (const std::string &name : names) {
        text += name + " ";
    }
    return text;
}

TEST(PluginCheck, SimulatedReaderKeepsTheContract)
{
    RegistryConfiguration registry;
    registry.configureSimPort(binDirectory() + "plugins");
    const CheckerRun run = runChecker(quoted(binDirectory() + "plugins\\sim_reader.gp") + " SIM0");
    EXPECT_EQ(0u, run.exitCode) << run.output;
    EXPECT_TRUE(run.checks("FAIL").empty()) << run.output;
    EXPECT_TRUE(run.checks("WARN").empty()) << run.output;
    // The session reached every stage: a found target was decoded and accessed, a command answered.
    for (const char *check : {"file.architecture", "signature.signer", "signature.digest", "library.accepts",
                              "entry.points", "plugin.version", "plugin.category", "port.category", "session.open",
                              "session.timeout", "status.data", "session.start_access", "session.thru",
                              "read.length", "status.word", "status.time", "session.close", "error.record",
                              "lifetime.status_under_loader_lock", "lifetime.free_port_open",
                              "lifetime.free_while_polling", "lifetime.free_device_access", "lifetime.detach_free",
                              "lifetime.detach_exit", "lifetime.exit_port_open", "lifetime.exit_while_polling",
                              "entry.optional", "list.size", "list.format", "list.time", "event.set",
                              "event.callback", "event.withdraw", "event.time"}) {
        EXPECT_NE("", run.line("PASS", check)) << check << "\n" << run.output;
    }
    EXPECT_NE(std::string::npos, run.line("PASS", "plugin.category").find("\"SIM\"")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("SUMMARY")) << run.output;
}

struct FaultCase {
    const char *variant;
    std::vector<std::string> failures;  // the check names of every FAIL line, sorted
    const char *check;                  // the line that names the fault
    const char *reason;                 // text it must contain
};

void PrintTo(const FaultCase &c, std::ostream *out)
{
    *out << c.variant;
}

class PluginCheckFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(PluginCheckFaults, EachFaultIsReportedWithItsLineAndNothingElseFails)
{
    const FaultCase &c = GetParam();
    RegistryConfiguration registry;
    registry.setString("category_name_list", "CHK");
    const CheckerRun run =
        runChecker("--no-lifetime " + quoted(testPluginPath(std::string("checker_") + c.variant)) + " CHK0");
    const std::multiset<std::string> expected(c.failures.begin(), c.failures.end());
    EXPECT_EQ(joined(expected), joined(run.checks("FAIL"))) << run.output;
    EXPECT_EQ(expected.empty() ? 0u : 1u, run.exitCode) << run.output;
    if (c.check != nullptr) {
        const std::string line = run.line("FAIL", c.check);
        EXPECT_NE(std::string::npos, line.find(c.reason)) << "line: " << line << "\n" << run.output;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Variants, PluginCheckFaults,
    ::testing::Values(
        FaultCase{"good", {}, nullptr, ""},
        // No fault: a reader plugged in between the sizing call and the next is no broken contract.
        FaultCase{"list_changes", {}, nullptr, ""},
        FaultCase{"status_word", {"status.word"}, "status.word", "DriverStatus 00000005h: its state code"},
        FaultCase{"data_size", {"status.data"}, "status.data", "AdditionalDataSize 28, its kind needs 25 + ATS_size 2 = 27"},
        FaultCase{"read_length", {"read.length", "read.length"}, "read.length", "writes past the end at offset 4096"},
        FaultCase{"slow_status", {"status.time"}, "status.time", "too slow"},
        FaultCase{"silent_false", {"error.record"}, "error.record", "gp_stop_device_access answered false without"},
        FaultCase{"missing_select", {"entry.gp_select_device", "library.accepts"}, "library.accepts",
                  "refused: an entry point is missing"},
        // The first calls are the checker's guarded ones; the loader's unguarded check is not made.
        FaultCase{"version_write_past", {"library.accepts", "plugin.version"}, "plugin.version",
                  "gp_get_version_number writes past the end at offset 4 of its 32-bit version"},
        FaultCase{"info_read_past", {"library.accepts", "plugin.category"}, "plugin.category",
                  "gp_get_plugin_information reads past the end at offset 1 of its one PortCategory byte"},
        // The optional entry points: a call back into the library, a wait under the library lock,
        // an event set after its withdrawal, a list written into a buffer too small for it.
        FaultCase{"event_callback", {"event.callback"}, "event.callback", "called the library's exports"},
        FaultCase{"event_callback_queue", {"event.callback"}, "event.callback", "called the library's exports"},
        FaultCase{"event_blocks", {"event.time"}, "event.time", "gp_set_status_event too slow"},
        FaultCase{"keeps_event", {"event.withdraw"}, "event.withdraw",
                  "set after gp_set_status_event(NULL) returned true"},
        FaultCase{"list_size", {"list.size"}, "list.size", "writes past the end at offset 44"}),
    [](const ::testing::TestParamInfo<FaultCase> &info) { return std::string(info.param.variant); });

struct LifetimeCase {
    const char *variant;
    std::vector<std::string> failures;  // the check names of every FAIL line, sorted
    const char *check;                  // the line that names the fault
    const char *reason;                 // text it must contain
};

// Each plug-in alone in its plug-in directory, so that the library in the children loads it.
// A short bound keeps a hanging step from holding the test up.
TEST(PluginCheck, LifetimeStepsEndInTimeOrAreReportedWithTheTimeWaited)
{
    const std::vector<LifetimeCase> cases = {
        {"good", {}, nullptr, ""},
        // Its poll thread cannot end while the loader lock is held: FreeLibrary would never return.
        {"joins_thread", {"lifetime.detach_free", "lifetime.free_device_access", "lifetime.free_while_polling"},
         "lifetime.free_while_polling",
         "FreeLibrary while polling did not return within 3000 ms; the checker ended the process"},
        // Its status call loads a DLL: it waits for whoever holds the loader lock, as the unloading
        // thread does at FreeLibrary while it waits for the cycle.
        {"loads_dll", {"lifetime.status_under_loader_lock"}, "lifetime.status_under_loader_lock",
         "had not returned when the lock was given back after"},
        // Its withdrawal of the status event waits, also where the library's stop makes it under the
        // loader lock.
        {"event_blocks", {"event.time", "lifetime.status_under_loader_lock"}, "lifetime.status_under_loader_lock",
         "ms, in gp_set_status_event(NULL)"},
        // Its port list loads a DLL: the library's stop waits for the plug-and-play thread's list
        // under the loader lock.
        {"list_loads_dll", {"lifetime.status_under_loader_lock"}, "lifetime.status_under_loader_lock",
         "ms, in gp_list_ports"},
    };
    for (const LifetimeCase &c : cases) {
        ScratchDirectory home(std::string("plugin_check_lifetime_") + c.variant);
        const std::string plugin = home.addPlugin(std::string("checker_") + c.variant, "checker.gp");
        RegistryConfiguration registry;
        registry.setString("plugins_home_directory", home.path());
        registry.setString("category_name_list", "CHK");
        const CheckerRun run = runChecker("--lifetime-bound-ms 3000 " + quoted(plugin) + " CHK0");
        const std::multiset<std::string> expected(c.failures.begin(), c.failures.end());
        EXPECT_EQ(joined(expected), joined(run.checks("FAIL"))) << c.variant << "\n" << run.output;
        EXPECT_EQ(expected.empty() ? 0u : 1u, run.exitCode) << c.variant;
        EXPECT_TRUE(run.checks("WARN").empty()) << c.variant << "\n" << run.output;
        for (const char *step : {"lifetime.status_under_loader_lock", "lifetime.free_port_open",
                                 "lifetime.free_while_polling", "lifetime.free_device_access", "lifetime.detach_free",
                                 "lifetime.detach_exit", "lifetime.exit_port_open", "lifetime.exit_while_polling"}) {
            if (expected.count(step) == 0) {
                EXPECT_NE("", run.line("PASS", step)) << c.variant << ": " << step << "\n" << run.output;
            }
        }
        if (c.check != nullptr) {
            const std::string line = run.line("FAIL", c.check);
            EXPECT_NE(std::string::npos, line.find(c.reason)) << c.variant << ": " << line;
        }
    }
}

TEST(PluginCheck, LifetimeStepsNotRunAreNoPassAndTheSummarySaysHowToRunThem)
{
    // The registry names another plug-in directory: the children cannot bring the plug-in about.
    RegistryConfiguration registry;
    registry.configureSimPort(binDirectory() + "plugins");
    registry.setString("category_name_list", "CHK");
    const CheckerRun run = runChecker(quoted(testPluginPath("checker_good")) + " CHK0");
    EXPECT_NE(std::string::npos, run.line("WARN", "lifetime.free_while_polling").find("not run: "))
        << run.output;
    EXPECT_TRUE(run.checks("FAIL").empty()) << run.output;
    // Nothing failed, but that is no pass: its own exit code, and a summary that says why and
    // what to configure.
    EXPECT_EQ(3u, run.exitCode) << run.output;
    EXPECT_EQ(std::string::npos, run.output.find("the plug-in keeps the contract")) << run.output;
    const size_t summary = run.output.find("SUMMARY");
    ASSERT_NE(std::string::npos, summary) << run.output;
    for (const char *text : {"not confirmed: the lifetime steps were not run", "plugins_home_directory",
                             "category_name_list"}) {
        EXPECT_NE(std::string::npos, run.output.find(text, summary)) << text << "\n" << run.output;
    }
    const CheckerRun json = runChecker("--json " + quoted(testPluginPath("checker_good")) + " CHK0");
    EXPECT_EQ(3u, json.exitCode);
    EXPECT_NE(std::string::npos, json.output.find("\"keeps_contract\": false, \"lifetime_not_run\": \"")) << json.output;
}

TEST(PluginCheck, ResponseLengthBeyondTheBufferIsNamed)
{
    // 8192 bytes against the default 4096-byte buffer: both the writes past its end and the length.
    RegistryConfiguration registry;
    registry.setString("category_name_list", "CHK");
    const CheckerRun run = runChecker("--no-lifetime --response-buffer 65535 " + quoted(testPluginPath("checker_read_length")) +
                                      " CHK0");
    // With a buffer large enough the same plug-in keeps the rule.
    EXPECT_EQ(0u, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.line("PASS", "read.length").find("largest response 8192 bytes")) << run.output;
}

struct FileCase {
    const char *name;
    std::string path;
    std::string options;
    std::vector<std::string> failures;
    const char *check;
    const char *reason;
};

TEST(PluginCheck, BadFilesAreReportedWithoutAPort)
{
    RegistryConfiguration registry;
    registry.setString("category_name_list", "CHK");
    ScratchDirectory scratch("plugin_check_files");
    const std::string changed = addChangedAfterSigning(scratch, "checker_good", "changed.gp");
    const std::string renamed = scratch.addPlugin("checker_good", "checker_good.dll");
    const char *otherArch = sizeof(void *) == 8 ? "x86" : "x64";
    const std::vector<FileCase> cases = {
        {"good", testPluginPath("checker_good"), "", {}, nullptr, ""},
        {"unsigned", testPluginPath("unsigned"), "", {"library.accepts", "signature.signer"}, "signature.signer",
         "no embedded Authenticode signature"},
        {"other signer", testPluginPath("signer_other"), "", {"library.accepts", "signature.signer"},
         "library.accepts", "refused at the signer check"},
        // Accepted under the default name policy, refused when the digest is asked for.
        {"changed after signing", changed, "", {"signature.digest"}, "signature.digest", "changed after signing"},
        {"changed after signing, digest policy", changed, "--policy digest ", {"library.accepts", "signature.digest"},
         "library.accepts", "refused at the signer check (plugin_signature_policy digest, from --policy)"},
        {"other architecture", testPluginPath("other_arch_cat0"), "", {"file.architecture", "library.accepts"},
         "file.architecture", otherArch},
        {"not named .gp", renamed, "", {"file.name"}, "file.name", "\"gp\""},
        {"version 999", testPluginPath("version999"), "", {"library.accepts", "plugin.version"}, "plugin.version",
         "version 999, below 1000"},
        {"category refused", testPluginPath("info_fails"), "", {"library.accepts", "plugin.category"},
         "plugin.category", "answered false (E0000001h, 00000042h)"},
        {"not a file", scratch.file("absent.gp"), "", {"file.read", "library.accepts", "signature.signer"},
         "file.read", "cannot be opened"},
    };
    for (const FileCase &c : cases) {
        const CheckerRun run = runChecker(c.options + quoted(c.path));
        const std::multiset<std::string> expected(c.failures.begin(), c.failures.end());
        EXPECT_EQ(joined(expected), joined(run.checks("FAIL"))) << c.name << "\n" << run.output;
        EXPECT_EQ(expected.empty() ? 0u : 1u, run.exitCode) << c.name;
        if (c.check != nullptr) {
            const std::string line = run.line("FAIL", c.check);
            EXPECT_NE(std::string::npos, line.find(c.reason)) << c.name << ": " << line;
        }
    }
}

TEST(PluginCheck, OtherArchitectureIsNamedByTheLoadersRefusal)
{
    const CheckerRun run = runChecker(quoted(testPluginPath("other_arch_cat0")));
    EXPECT_NE(std::string::npos, run.line("FAIL", "library.accepts").find("not a module of this architecture"))
        << run.output;
}

TEST(PluginCheck, JsonCarriesTheSameFindings)
{
    RegistryConfiguration registry;
    registry.setString("category_name_list", "CHK");
    const std::string plugin = quoted(testPluginPath("checker_status_word")) + " CHK0";
    const CheckerRun text = runChecker(plugin);
    const CheckerRun json = runChecker("--json " + plugin);
    EXPECT_EQ(text.exitCode, json.exitCode);
    EXPECT_EQ('{', json.output.front()) << json.output;
    EXPECT_NE(std::string::npos,
              json.output.find("{\"verdict\": \"FAIL\", \"check\": \"status.word\", \"reason\": \"DriverStatus 00000005h"))
        << json.output;
    // One JSON entry per text line, with the same counts in the summary.
    size_t entries = 0;
    for (size_t at = json.output.find("{\"verdict\""); at != std::string::npos;
         at = json.output.find("{\"verdict\"", at + 1)) {
        ++entries;
    }
    EXPECT_EQ(text.checks("PASS").size() + text.checks("WARN").size() + text.checks("FAIL").size(), entries);
    EXPECT_NE(std::string::npos, json.output.find("\"failed\": 1, \"keeps_contract\": false")) << json.output;
    EXPECT_NE(std::string::npos, json.output.find("\"status_max_ms\": ")) << json.output;
    EXPECT_NE(std::string::npos, json.output.find("\"port\": \"CHK0\"")) << json.output;
}

TEST(PluginCheck, UsageErrorsExitWithTwo)
{
    for (const char *arguments : {"", "--policy strict x.gp", "--response-buffer 0 x.gp", "--thru 0 x.gp", "a b c",
                                  "--lifetime-bound-ms 0 x.gp CHK0", "--lifetime-step no_such_step x.gp CHK0",
                                  "--lifetime-step exit_port_open x.gp"}) {
        const CheckerRun run = runChecker(arguments);
        EXPECT_EQ(2u, run.exitCode) << arguments;
        EXPECT_NE(std::string::npos, run.output.find("usage:")) << arguments;
    }
}

} // namespace
