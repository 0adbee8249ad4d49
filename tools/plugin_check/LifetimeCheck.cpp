#include "LifetimeCheck.h"

#include <algorithm>
#include <cstdlib>

namespace {

double counterMilliseconds(LONGLONG ticks)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(ticks) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

LONGLONG counterNow()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

// What the child said and how it ended.
struct ChildOutcome {
    bool started = false;
    bool began = false;           // the step's action has begun
    LONGLONG beginCounter = 0;
    bool returned = false;        // the FreeLibrary of the step returned
    double returnedMs = 0;
    bool statusReturned = false;  // the status call under the loader lock returned in time
    bool statusBlocked = false;   // it had not returned when the loader lock was given back
    double statusMs = 0;
    std::string statusEntry;      // the call under way when the lock was given back
    bool kept = false;            // the library kept the plug-in loaded at its FreeLibrary
    bool ended = false;           // ended by itself
    double endMs = 0;             // from the beginning of the action to the end of the process
    DWORD exitCode = 0;
    std::string notRun;
    std::string detach;
    std::string text;             // everything it printed
};

void takeLine(const std::string &line, ChildOutcome &outcome)
{
    const size_t space = line.find(' ');
    const std::string word = line.substr(0, space);
    const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
    if (word == "begin") {
        outcome.began = true;
        outcome.beginCounter = std::strtoll(rest.c_str(), nullptr, 10);
    } else if (word == "returned") {
        outcome.returned = true;
        outcome.returnedMs = std::strtod(rest.c_str(), nullptr);
    } else if (word == "status" || word == "blocked") {
        (word == "status" ? outcome.statusReturned : outcome.statusBlocked) = true;
        outcome.statusMs = std::strtod(rest.c_str(), nullptr);
        const size_t entry = rest.find(' ');
        outcome.statusEntry = entry == std::string::npos ? "" : rest.substr(entry + 1);
    } else if (word == "kept") {
        outcome.kept = true;
    } else if (word == "notrun") {
        outcome.notRun = rest;
    } else if (word == "detach") {
        outcome.detach = rest;
    }
}

// Moves what the child has written so far out of the pipe, line by line.
void drain(HANDLE pipe, std::string &pending, ChildOutcome &outcome)
{
    DWORD available = 0;
    while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available != 0) {
        char buffer[1024];
        DWORD read = 0;
        if (!ReadFile(pipe, buffer, available < sizeof(buffer) ? available : sizeof(buffer), &read, nullptr) ||
            read == 0) {
            return;
        }
        pending.append(buffer, read);
        outcome.text.append(buffer, read);
        for (size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            takeLine(line, outcome);
        }
    }
}

std::string quoted(const std::string &text)
{
    return "\"" + text + "\"";
}

// Runs the checker again for one step and watches it: SetupBoundMilliseconds to reach the step,
// then boundMs from the step's beginning to the end of the process; a child past either is ended.
ChildOutcome runChild(const LifetimeOptions &options, const LifetimeStep &step)
{
    ChildOutcome outcome;
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        outcome.notRun = "no pipe for the child's output";
        return outcome;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    std::string command = quoted(options.checker) + " " + LifetimeChild::ChildOption + " " + step.name +
                          " --target-device " + std::to_string(options.targetDevice) + " " +
                          quoted(options.plugin) + " " + quoted(options.port);
    PROCESS_INFORMATION process = {};
    const LONGLONG started = counterNow();
    outcome.started =
        CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process) != 0;
    CloseHandle(writeEnd);
    if (!outcome.started) {
        outcome.notRun = "the child process cannot be started (error " + std::to_string(GetLastError()) + ")";
        CloseHandle(readEnd);
        return outcome;
    }
    CloseHandle(process.hThread);
    // The loader-lock step holds the lock for a fixed time: a status call that waits for it
    // returns only then, and its report must still reach us whatever bound the user gave.
    const double bound = step.kind == LifetimeStep::StatusUnderLoaderLock
                             ? std::max<double>(options.boundMs, LifetimeChild::LoaderLockHoldMilliseconds + 2000.0)
                             : options.boundMs;
    std::string pending;
    for (;;) {
        const DWORD wait = WaitForSingleObject(process.hProcess, 5);
        const LONGLONG now = counterNow();
        drain(readEnd, pending, outcome);
        if (wait == WAIT_OBJECT_0) {
            outcome.ended = true;
            outcome.endMs = outcome.began ? counterMilliseconds(now - outcome.beginCounter) : 0;
            break;
        }
        const bool overdue = outcome.began ? counterMilliseconds(now - outcome.beginCounter) > bound
                                           : counterMilliseconds(now - started) > LifetimeCheck::SetupBoundMilliseconds;
        if (overdue || wait == WAIT_FAILED) {
            TerminateProcess(process.hProcess, 9);
            WaitForSingleObject(process.hProcess, 5000);
            drain(readEnd, pending, outcome);
            break;
        }
    }
    GetExitCodeProcess(process.hProcess, &outcome.exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(readEnd);
    return outcome;
}

} // namespace

LifetimeCheck::LifetimeCheck(const LifetimeOptions &options, CheckReport &report)
    : m_Options(options), m_Report(report)
{
}

bool LifetimeCheck::run()
{
    m_AllRan = true;
    size_t count = 0;
    const LifetimeStep *steps = LifetimeChild::steps(count);
    for (size_t i = 0; i < count; ++i) {
        runStep(steps[i]);
    }
    return m_AllRan;
}

void LifetimeCheck::runStep(const LifetimeStep &step)
{
    const std::string check = std::string("lifetime.") + step.name;
    const ChildOutcome outcome = runChild(m_Options, step);
    const std::string detach = outcome.detach.empty() ? "" : "; " + outcome.detach;
    if (!outcome.started || (outcome.ended && outcome.exitCode == LifetimeChild::NotRunExitCode)) {
        m_Report.warn(check, "not run: " + outcome.notRun);
        m_AllRan = false;
        return;
    }
    if (!outcome.began) {
        m_AllRan = false;
        m_Report.warn(check, outcome.ended ? format("not run: the child ended with exit code %08lXh before the step",
                                                    static_cast<unsigned long>(outcome.exitCode))
                                           : format("not run: the child did not reach the step within %lu ms",
                                                    static_cast<unsigned long>(SetupBoundMilliseconds)));
        return;
    }
    const unsigned long statusBound = LifetimeChild::StatusUnderLoaderLockBoundMilliseconds;
    if (step.kind == LifetimeStep::StatusUnderLoaderLock &&
        (outcome.statusBlocked || (outcome.statusReturned && outcome.statusMs > statusBound))) {
        m_Report.fail(check, format("%s: it %s %.1f ms%s: it waits for the loader lock (it loads or frees a DLL, "
                                    "calls GetModuleHandle, a delay-loaded import or a forwarded export, or waits "
                                    "for a thread's start or end) or blocks, so FreeLibrary of the library while "
                                    "polling hangs the host",
                                    step.action,
                                    outcome.statusBlocked ? "had not returned when the lock was given back after"
                                                          : "returned only after",
                                    outcome.statusMs,
                                    outcome.statusEntry.empty() ? "" : (", in " + outcome.statusEntry).c_str()));
        return;
    }
    const unsigned long bound = static_cast<unsigned long>(m_Options.boundMs);
    if (!outcome.ended) {
        if (step.freesLibrary() && !outcome.returned) {
            m_Report.fail(check, format("%s did not return within %lu ms; the checker ended the process%s",
                                        step.action, bound, detach.c_str()));
        } else {
            m_Report.fail(check, format("%s: the process did not end within %lu ms; the checker ended it%s",
                                        step.action, bound, detach.c_str()));
        }
        return;
    }
    if (outcome.exitCode != 0) {
        m_Report.fail(check, format("%s: the process ended with %s %08lXh%s", step.action,
                                    outcome.exitCode >= 0xC0000000ul ? "exception" : "exit code",
                                    static_cast<unsigned long>(outcome.exitCode), detach.c_str()));
        return;
    }
    const std::string figure = std::string("lifetime_") + step.name + "_ms";
    if (step.kind == LifetimeStep::StatusUnderLoaderLock) {
        m_Report.figure(figure, outcome.statusMs);
        m_Report.pass(check, format("%s returned in %.1f ms (at most %lu ms allowed)", step.action, outcome.statusMs,
                                    statusBound));
        return;
    }
    if (step.freesLibrary() && outcome.kept) {
        m_Report.fail(check, format("%s returned in %.1f ms only because the library gave up a gp_get_driver_status "
                                    "call that did not return; the plug-in stays loaded with its port open",
                                    step.action, outcome.returnedMs));
        return;
    }
    if (step.freesLibrary()) {
        m_Report.figure(figure, outcome.returnedMs);
        m_Report.pass(check, format("%s returned in %.1f ms; the process ended by itself %.1f ms after it began%s",
                                    step.action, outcome.returnedMs, outcome.endMs, detach.c_str()));
    } else {
        m_Report.figure(figure, outcome.endMs);
        m_Report.pass(check, format("%s: the process ended by itself in %.1f ms%s", step.action, outcome.endMs,
                                    detach.c_str()));
    }
}
