#include "OptionalEntryCheck.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "GuardedBuffer.h"
#include "LifetimeChild.h"
#include "NfcDriverStatus.h"
#include "ReaderPortList.h"
#include "korvat_nfc.h"

const char OptionalEntryCheck::RecorderPath[] = "plugin_check_recorder\\korvat_nfc_library_for_vb.dll";

namespace {

// How long the checker waits for the event after a change it made itself (access enabled).
const DWORD ChangeWaitMs = 1000;
// The least time it gives a target to be found with the event handed over.
const DWORD LeastFindWaitMs = 3000;
// How long it lets the status change after the withdrawal.
const DWORD AfterWithdrawalMs = 600;
// How often it sizes the list anew when a reader came or went between two of its calls.
const int ListAttempts = 3;

double millisecondsSince(const LARGE_INTEGER &start)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// The stand-in of the library and its count of calls.
class Recorder {
public:
    Recorder() : m_Module(LoadLibraryA((LifetimeChild::programDirectory() + OptionalEntryCheck::RecorderPath).c_str()))
    {
        if (m_Module != nullptr) {
            m_Calls = reinterpret_cast<LONG(__cdecl *)()>(
                reinterpret_cast<void (*)(void)>(GetProcAddress(m_Module, "korvat_callback_recorder_calls")));
        }
    }
    ~Recorder()
    {
        if (m_Module != nullptr) {
            FreeLibrary(m_Module);
        }
    }
    bool ready() const { return m_Calls != nullptr; }
    LONG calls() const { return m_Calls != nullptr ? m_Calls() : 0; }

private:
    HMODULE m_Module;
    LONG(__cdecl *m_Calls)() = nullptr;
};

}  // namespace

OptionalEntryCheck::OptionalEntryCheck(HMODULE module, const PluginFunctionTable &functions,
                                       const SessionOptions &options, CheckReport &report)
    : m_Functions(functions), m_Options(options), m_Report(report)
{
    m_SetStatusEvent = reinterpret_cast<gp_set_status_event_t>(
        reinterpret_cast<void (*)(void)>(GetProcAddress(module, "gp_set_status_event")));
    m_ListPorts =
        reinterpret_cast<gp_list_ports_t>(reinterpret_cast<void (*)(void)>(GetProcAddress(module, "gp_list_ports")));
}

void OptionalEntryCheck::run()
{
    if (m_SetStatusEvent == nullptr && m_ListPorts == nullptr) {
        m_Report.pass("entry.optional", "no optional entry point: the library asks for the status every 50 ms and "
                                        "lists no reader of this category");
        return;
    }
    m_Report.pass("entry.optional", format("exported:%s%s", m_SetStatusEvent != nullptr ? " gp_set_status_event" : "",
                                           m_ListPorts != nullptr ? " gp_list_ports" : ""));
    if (m_ListPorts != nullptr) {
        checkList();
    }
    if (m_SetStatusEvent != nullptr) {
        checkEvent();
    }
}

void OptionalEntryCheck::checkList()
{
    double slowest = 0;
    for (int attempt = 1; !checkListOnce(attempt == ListAttempts, slowest); ++attempt) {
    }
}

// False when the list changed between two calls (another size given, nothing written where it
// did not fit) and this is not the last try: the caller sizes it anew.
bool OptionalEntryCheck::checkListOnce(bool lastTry, double &slowest)
{
    // One call, timed; false with the reason in the report.
    const auto list = [&](char *buffer, uint32_t size, uint32_t &needed) {
        ErrorInfo record = {PluginSession::SentinelCode, PluginSession::SentinelDetail};
        LARGE_INTEGER start;
        QueryPerformanceCounter(&start);
        const bool result = m_ListPorts(buffer, size, &needed, &record) != 0;
        slowest = std::max(slowest, millisecondsSince(start));
        if (!result) {
            m_Report.fail("list.format", format("gp_list_ports(buffer of %u bytes) answered false %s", size,
                                                PluginSession::recordText(record).c_str()));
        }
        return result;
    };
    uint32_t needed = 0;
    if (!list(nullptr, 0, needed)) {
        return true;
    }
    if (needed == 0 || needed > 0x10000) {
        m_Report.fail("list.size", format("gp_list_ports(NULL, 0) gave the list's size as %u bytes: a list holds at "
                                          "least its final NUL",
                                          needed));
        return true;
    }
    bool sizeKept = true;
    if (needed > 1) {
        GuardedBuffer small(needed - 1);
        if (small.ready()) {
            std::memset(small.data(), 0xA5, small.size());
            uint32_t again = 0;
            std::string beyond;
            bool result;
            {
                GuardedBuffer::Watch watch(small);
                result = list(reinterpret_cast<char *>(small.data()), needed - 1, again);
                beyond = watch.describe();
            }
            const bool untouched =
                std::all_of(small.data(), small.data() + small.size(), [](uint8_t b) { return b == 0xA5; });
            if (!result) {
                return true;
            }
            if (!lastTry && beyond.empty() && untouched && again != needed) {
                return false;
            }
            if (!beyond.empty() || !untouched || again != needed) {
                sizeKept = false;
                m_Report.fail("list.size", format("gp_list_ports with %u bytes for its %u-byte list: %s%s%s", needed - 1,
                                                  needed, beyond.empty() ? "" : (beyond + "; ").c_str(),
                                                  untouched ? "" : "it wrote into the buffer; ",
                                                  again == needed ? "nothing may be written when the list does not fit"
                                                                  : format("gave %u as its size", again).c_str()));
            }
        }
    }
    GuardedBuffer exact(needed);
    if (!exact.ready()) {
        m_Report.warn("list.format", "no memory for the list");
        return true;
    }
    uint32_t again = 0;
    std::string beyond;
    bool result;
    {
        GuardedBuffer::Watch watch(exact);
        result = list(reinterpret_cast<char *>(exact.data()), needed, again);
        beyond = watch.describe();
    }
    if (!result) {
        return true;
    }
    if (!lastTry && beyond.empty() && again != needed) {
        return false;
    }
    if (!beyond.empty() || again != needed) {
        sizeKept = false;
        m_Report.fail("list.size", format("gp_list_ports with room for its %u-byte list: %s", needed,
                                          !beyond.empty() ? beyond.c_str() : format("gave %u as its size", again).c_str()));
    }
    if (sizeKept) {
        m_Report.pass("list.size", needed == 1 ? std::string("the empty list, 1 byte, its size given each time")
                                               : format("%u bytes; nothing written into %u bytes, the whole size "
                                                        "given each time",
                                                        needed, needed - 1));
    }
    std::vector<reader::PortEntry> entries;
    std::string why;
    if (!reader::parsePortList(reinterpret_cast<const char *>(exact.data()), needed, entries, why)) {
        m_Report.fail("list.format", "the list of gp_list_ports does not read back: " + why);
    } else {
        std::string names;
        bool portListed = false;
        for (const reader::PortEntry &entry : entries) {
            names += format("%s\"%s\" (\"%s\")", names.empty() ? "" : ", ", entry.portName.c_str(),
                            entry.readerName.c_str());
            portListed = portListed || entry.portName == m_Options.port;
        }
        m_Report.pass("list.format", format("%zu port(s): %s", entries.size(), names.empty() ? "none" : names.c_str()));
        if (!portListed) {
            m_Report.warn("list.format", format("port \"%s\", which opens, is not listed", m_Options.port.c_str()));
        }
    }
    m_Report.figure("list_ports_max_ms", slowest);
    const std::string times = format("slowest call %.3f ms (bound %.0f ms: it is made every 250 ms under the library "
                                     "lock and waited for under the loader lock)",
                                     slowest, m_Options.statusBoundMs);
    if (slowest > m_Options.statusBoundMs) {
        m_Report.fail("list.time", "gp_list_ports too slow: " + times);
    } else {
        m_Report.pass("list.time", times);
    }
    return true;
}

uint32_t OptionalEntryCheck::status(uint32_t &targetNumber)
{
    uint32_t word = 0, pollType = 0, listenType = 0, size = 0;
    uint8_t *data = nullptr;
    ErrorInfo record = {0, 0};
    if (!m_Functions.gp_get_driver_status(&word, &pollType, &listenType, &size, &data, &record)) {
        return 0;
    }
    if ((word & GP_CONNECT_REPORT_POLL_MODE) != 0 && data != nullptr && size >= GP_AD_TARGET_NUMBER + 4 &&
        isReadableRange(data, size)) {
        std::memcpy(&targetNumber, data + GP_AD_TARGET_NUMBER, 4);
    }
    return word;
}

void OptionalEntryCheck::checkEvent()
{
    ErrorInfo record = {0, 0};
    const char *port = m_Options.port.c_str();
    if (!m_Functions.gp_open_port_and_transition_nfc_mode(port, &record) ||
        !m_Functions.gp_set_timeout(6000, &record)) {
        m_Report.warn("event.set", "not checked: the port did not open again");
        m_Functions.gp_close_port(&record);
        return;
    }
    if (!m_Functions.gp_start_poll_mode(m_Options.targetDevice, &record)) {
        m_Report.warn("event.set", "not checked: gp_start_poll_mode answered false");
        m_Functions.gp_close_port(&record);
        return;
    }
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    Recorder recorder;
    const LONG callsBefore = recorder.calls();
    double handOverMs = 0, withdrawalMs = 0;
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    record = {PluginSession::SentinelCode, PluginSession::SentinelDetail};
    const bool handedOver = m_SetStatusEvent(event, &record) != 0;
    handOverMs = millisecondsSince(start);
    bool accessing = false;
    if (!handedOver) {
        m_Report.warn("event.set", format("gp_set_status_event answered false %s: the library asks for the status "
                                          "every 50 ms instead",
                                          PluginSession::recordText(record).c_str()));
    } else {
        // The target found: each time the event is set, the status is read, until a find.
        const DWORD limit = std::max<DWORD>(LeastFindWaitMs, m_Options.statusCalls * m_Options.intervalMs);
        const DWORD begun = GetTickCount();
        uint32_t target = 0, word = 0;
        bool found = false;
        while (!found && GetTickCount() - begun < limit &&
               WaitForSingleObject(event, limit - (GetTickCount() - begun)) == WAIT_OBJECT_0) {
            word = status(target);
            found = NfcDriverStatus::classify(word).status == DRIVER_STATUS_FIND;
        }
        if (!found) {
            word = status(target);
            if (NfcDriverStatus::classify(word).status == DRIVER_STATUS_FIND) {
                m_Report.fail("event.set", format("a target was reported found (DriverStatus %08Xh), but the event "
                                                  "was not set for it within %lu ms",
                                                  word, static_cast<unsigned long>(limit)));
            } else {
                m_Report.warn("event.set", format("no target was found within %lu ms: place one in the field to check "
                                                  "that the event is set for it",
                                                  static_cast<unsigned long>(limit)));
            }
        } else if (!m_Functions.gp_start_device_access(target, &record)) {
            m_Report.warn("event.set", format("set for the target found (number %u); gp_start_device_access answered "
                                              "false, so access enabled was not seen",
                                              target));
        } else {
            accessing = true;
            const bool set = WaitForSingleObject(event, ChangeWaitMs) == WAIT_OBJECT_0;
            word = status(target);
            if (!set && NfcDriverStatus::classify(word).status == DRIVER_STATUS_ENABLE_ACCESS) {
                m_Report.fail("event.set", format("access to target %u enabled (DriverStatus %08Xh), but the event "
                                                  "was not set within %lu ms",
                                                  target, word, static_cast<unsigned long>(ChangeWaitMs)));
            } else {
                m_Report.pass("event.set", format("set for the target found (number %u) and for access enabled", target));
            }
        }
        QueryPerformanceCounter(&start);
        record = {PluginSession::SentinelCode, PluginSession::SentinelDetail};
        const bool withdrawn = m_SetStatusEvent(nullptr, &record) != 0;
        withdrawalMs = millisecondsSince(start);
        ResetEvent(event);
        if (!withdrawn) {
            m_Report.fail("event.withdraw", format("gp_set_status_event(NULL) answered false %s: the library then "
                                                   "never closes its event",
                                                   PluginSession::recordText(record).c_str()));
        } else {
            // Changes the plug-in would have signalled: access ended, poll mode stopped and again.
            if (accessing) {
                m_Functions.gp_stop_device_access(1, &record);
            }
            m_Functions.gp_stop_poll_mode(&record);
            m_Functions.gp_start_poll_mode(m_Options.targetDevice, &record);
            for (const DWORD after = GetTickCount(); GetTickCount() - after < AfterWithdrawalMs; Sleep(50)) {
                status(target);
            }
            if (WaitForSingleObject(event, 0) == WAIT_OBJECT_0) {
                m_Report.fail("event.withdraw", "the event was set after gp_set_status_event(NULL) returned true: the "
                                                "library may have closed it by then");
            } else {
                m_Report.pass("event.withdraw", format("not set in the %lu ms after its withdrawal while the status "
                                                       "changed (access ended, poll mode stopped and started)",
                                                       static_cast<unsigned long>(AfterWithdrawalMs)));
            }
        }
    }
    if (!recorder.ready()) {
        m_Report.warn("event.callback", format("not checked: the stand-in %s is missing beside the checker",
                                               RecorderPath));
    } else if (recorder.calls() != callsBefore) {
        m_Report.fail("event.callback", format("the plug-in called the library's exports %ld time(s) while its status "
                                               "event was handed over: it may only set the event, never call back "
                                               "into the library",
                                               static_cast<long>(recorder.calls() - callsBefore)));
    } else {
        m_Report.pass("event.callback", "no call into the library while the status event was handed over");
    }
    m_Report.figure("set_status_event_ms", std::max(handOverMs, withdrawalMs));
    const std::string times = format("hand-over %.3f ms, withdrawal %.3f ms (bound %.0f ms: both run under the library "
                                     "lock, the withdrawal also under the loader lock at FreeLibrary)",
                                     handOverMs, withdrawalMs, m_Options.statusBoundMs);
    if (std::max(handOverMs, withdrawalMs) > m_Options.statusBoundMs) {
        m_Report.fail("event.time", "gp_set_status_event too slow: " + times);
    } else {
        m_Report.pass("event.time", times);
    }
    m_Functions.gp_stop_poll_mode(&record);
    m_Functions.gp_close_port(&record);
    CloseHandle(event);
}
