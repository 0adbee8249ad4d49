// Scriptable reader plug-in for the tests. Compile-time variants:
//   FIXTURE_CATEGORY        port category reported (default 0)
//   FIXTURE_VERSION         version reported (default 1000)
//   FIXTURE_OMIT_READ       no gp_read export
//   FIXTURE_OMIT_CLOSE_PORT no gp_close_port export
//   FIXTURE_INFO_FAILS      gp_get_plugin_information answers false with (0xE0000001, 0x42)
//   FIXTURE_OPTIONAL_ENTRIES also exports the optional gp_set_status_event and gp_list_ports
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fixture_control.h"
#include "korvat_nfc_plugin.h"

#ifndef FIXTURE_CATEGORY
#define FIXTURE_CATEGORY 0
#endif
#ifndef FIXTURE_VERSION
#define FIXTURE_VERSION 1000
#endif

#define FIXTURE_EXPORT extern "C" __declspec(dllexport)

namespace {

struct Answer {
    bool result = true;
    bool write = false;
    uint32_t code = 0;
    uint32_t detail = 0;
};

struct StatusStep {
    uint32_t status;
    uint32_t pollType;
    uint32_t listenType;
    bool hasData;
    std::vector<uint8_t> data;
    Answer answer;
};

// A block of exactly `size` readable bytes followed by an inaccessible page, so that a read
// past the declared size faults at once.
class GuardedBlock {
public:
    ~GuardedBlock() { release(); }
    uint8_t *assign(const std::vector<uint8_t> &bytes)
    {
        release();
        if (bytes.empty()) {
            static uint8_t empty;
            return &empty;
        }
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        const size_t page = info.dwPageSize;
        const size_t dataPages = (bytes.size() + page - 1) / page;
        m_Size = (dataPages + 1) * page;
        m_Base = static_cast<uint8_t *>(VirtualAlloc(nullptr, m_Size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        if (m_Base == nullptr) {
            return nullptr;
        }
        DWORD old;
        VirtualProtect(m_Base + dataPages * page, page, PAGE_NOACCESS, &old);
        uint8_t *start = m_Base + dataPages * page - bytes.size();
        std::memcpy(start, bytes.data(), bytes.size());
        return start;
    }

private:
    void release()
    {
        if (m_Base != nullptr) {
            VirtualFree(m_Base, 0, MEM_RELEASE);
            m_Base = nullptr;
        }
    }
    uint8_t *m_Base = nullptr;
    size_t m_Size = 0;
};

struct FixtureState {
    CRITICAL_SECTION lock;
    std::map<std::string, Answer> answers;
    std::map<std::string, uint32_t> counts;
    std::string calls;
    std::vector<StatusStep> script;
    size_t scriptPosition = 0;
    std::vector<uint8_t> readResponse;
    bool readEchoes = true;
    int32_t timeout = 0;
    volatile LONG inside = 0;
    uint32_t overlaps = 0;
    uint32_t statusDelay = 0;
    uint32_t statusApc = 0;
    uint32_t statusThread = 0;
    char statusLoad[MAX_PATH] = "";
    bool callLog = true;
    std::vector<int64_t> statusTimes;
    volatile LONG bareRead = 0;
    GuardedBlock block;
    HANDLE statusEvent = nullptr;  // the event the library handed over (not owned)
    std::string portList = std::string(1, '\0');  // what gp_list_ports hands over, as is
    uint32_t portListGrowth = 0;
    uint32_t listThread = 0;  // the thread of the last gp_list_ports call  // non-zero: the list outgrows every buffer by that many bytes

    FixtureState() { InitializeCriticalSection(&lock); }
    ~FixtureState() { DeleteCriticalSection(&lock); }
};

FixtureState &state()
{
    static FixtureState s;
    return s;
}

class Locked {
public:
    Locked() { EnterCriticalSection(&state().lock); }
    ~Locked() { LeaveCriticalSection(&state().lock); }
};

// Tracks overlapping calls: the library must never call a plug-in from two threads at once.
class Inside {
public:
    Inside()
    {
        if (InterlockedIncrement(&state().inside) > 1) {
            Locked l;
            ++state().overlaps;
        }
    }
    ~Inside() { InterlockedDecrement(&state().inside); }
};

// Records the call and returns its scripted answer, writing the error record if scripted.
GP_BOOL answer(const char *entry, const std::string &arguments, ErrorInfo *error)
{
    Locked l;
    FixtureState &s = state();
    ++s.counts[entry];
    if (s.callLog) {
        s.calls += entry;
        if (!arguments.empty()) {
            s.calls += ' ';
            s.calls += arguments;
        }
        s.calls += '\n';
    }
    const Answer a = s.answers.count(entry) ? s.answers[entry] : Answer();
    if (a.write && error != nullptr) {
        error->error_code = a.code;
        error->detail_code = a.detail;
    }
    return a.result ? 1 : 0;
}

std::string hex32(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%08x", value);
    return text;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Control interface
// ---------------------------------------------------------------------------------------------

FIXTURE_EXPORT void __cdecl fixture_reset(void)
{
    Locked l;
    FixtureState &s = state();
    s.answers.clear();
    s.counts.clear();
    s.calls.clear();
    s.script.clear();
    s.scriptPosition = 0;
    s.readResponse.clear();
    s.readEchoes = true;
    s.timeout = 0;
    s.overlaps = 0;
    s.statusDelay = 0;
    s.statusApc = 0;
    s.statusThread = 0;
    s.statusLoad[0] = '\0';
    s.callLog = true;
    s.bareRead = 0;
    s.statusTimes.clear();
    s.portList.assign(1, '\0');
    s.portListGrowth = 0;
    s.listThread = 0;
}

FIXTURE_EXPORT void __cdecl fixture_set_answer(const char *entry, int result, int write, uint32_t code, uint32_t detail)
{
    Locked l;
    Answer &a = state().answers[entry];
    a.result = result != 0;
    a.write = write != 0;
    a.code = code;
    a.detail = detail;
}

FIXTURE_EXPORT void __cdecl fixture_set_read_response(const uint8_t *data, uint16_t length)
{
    Locked l;
    state().readResponse.assign(data, data + length);
    state().readEchoes = false;
}

FIXTURE_EXPORT void __cdecl fixture_push_status(uint32_t status, uint32_t poll_type, uint32_t listen_type,
                                                const uint8_t *data, uint32_t size, int result, uint32_t code,
                                                uint32_t detail)
{
    Locked l;
    StatusStep step;
    step.status = status;
    step.pollType = poll_type;
    step.listenType = listen_type;
    step.hasData = data != nullptr;
    if (data != nullptr) {
        step.data.assign(data, data + size);
    }
    step.answer.result = result != 0;
    step.answer.write = code != 0 || detail != 0;
    step.answer.code = code;
    step.answer.detail = detail;
    state().script.push_back(step);
}

FIXTURE_EXPORT void __cdecl fixture_clear_status(void)
{
    Locked l;
    state().script.clear();
    state().scriptPosition = 0;
}

FIXTURE_EXPORT uint32_t __cdecl fixture_call_count(const char *entry)
{
    Locked l;
    return state().counts.count(entry) ? state().counts[entry] : 0;
}

FIXTURE_EXPORT uint32_t __cdecl fixture_calls(char *buffer, uint32_t size)
{
    Locked l;
    const std::string &calls = state().calls;
    if (buffer != nullptr && size > 0) {
        const size_t n = calls.size() < size - 1 ? calls.size() : size - 1;
        std::memcpy(buffer, calls.data(), n);
        buffer[n] = '\0';
    }
    return static_cast<uint32_t>(calls.size());
}

FIXTURE_EXPORT uint32_t __cdecl fixture_overlap_count(void)
{
    Locked l;
    return state().overlaps;
}

FIXTURE_EXPORT void __cdecl fixture_set_status_delay(uint32_t milliseconds)
{
    Locked l;
    state().statusDelay = milliseconds;
}

FIXTURE_EXPORT void __cdecl fixture_set_status_apc(uint32_t milliseconds)
{
    Locked l;
    state().statusApc = milliseconds;
}

FIXTURE_EXPORT uint32_t __cdecl fixture_status_thread(void)
{
    Locked l;
    return state().statusThread;
}

FIXTURE_EXPORT void __cdecl fixture_set_status_load(const char *name)
{
    Locked l;
    lstrcpynA(state().statusLoad, name != nullptr ? name : "", MAX_PATH);
}

FIXTURE_EXPORT void __cdecl fixture_set_call_log(int on)
{
    Locked l;
    state().callLog = on != 0;
}

FIXTURE_EXPORT void __cdecl fixture_set_bare_read(int on)
{
    InterlockedExchange(&state().bareRead, on != 0 ? 1 : 0);
}

FIXTURE_EXPORT uint32_t __cdecl fixture_status_times(int64_t *ticks, uint32_t capacity)
{
    Locked l;
    const std::vector<int64_t> &times = state().statusTimes;
    for (uint32_t i = 0; ticks != nullptr && i < capacity && i < times.size(); ++i) {
        ticks[i] = times[i];
    }
    return static_cast<uint32_t>(times.size());
}

namespace {
void __stdcall statusApc(ULONG_PTR milliseconds)
{
    {
        Locked l;
        ++state().counts["apc"];
        state().calls += "apc\n";
    }
    Sleep(static_cast<DWORD>(milliseconds));
}
} // namespace

FIXTURE_EXPORT int __cdecl fixture_signal_status(void)
{
    Locked l;
    return state().statusEvent != nullptr && SetEvent(state().statusEvent) ? 1 : 0;
}

FIXTURE_EXPORT void __cdecl fixture_set_ports(const char *list, uint32_t size)
{
    Locked l;
    state().portList.assign(list, size);
}

FIXTURE_EXPORT void __cdecl fixture_set_ports_growth(uint32_t bytes)
{
    Locked l;
    state().portListGrowth = bytes;
}

FIXTURE_EXPORT uint32_t __cdecl fixture_list_thread(void)
{
    Locked l;
    return state().listThread;
}

// ---------------------------------------------------------------------------------------------
// Plug-in entry points
// ---------------------------------------------------------------------------------------------

FIXTURE_EXPORT GP_BOOL __cdecl gp_open_port_and_transition_nfc_mode(const char *port_name, ErrorInfo *error)
{
    Inside inside;
    return answer("gp_open_port_and_transition_nfc_mode", port_name != nullptr ? port_name : "(null)", error);
}

#ifndef FIXTURE_OMIT_CLOSE_PORT
FIXTURE_EXPORT GP_BOOL __cdecl gp_close_port(ErrorInfo *error)
{
    Inside inside;
    return answer("gp_close_port", "", error);
}
#endif

FIXTURE_EXPORT GP_BOOL __cdecl gp_start_poll_mode(uint32_t target_device, ErrorInfo *error)
{
    Inside inside;
    return answer("gp_start_poll_mode", hex32(target_device), error);
}

FIXTURE_EXPORT GP_BOOL __cdecl gp_stop_poll_mode(ErrorInfo *error)
{
    Inside inside;
    return answer("gp_stop_poll_mode", "", error);
}

FIXTURE_EXPORT GP_BOOL __cdecl gp_start_device_access(uint32_t target_number, ErrorInfo *error)
{
    Inside inside;
    return answer("gp_start_device_access", hex32(target_number), error);
}

FIXTURE_EXPORT GP_BOOL __cdecl gp_stop_device_access(uint32_t stop_mode, ErrorInfo *error)
{
    Inside inside;
    return answer("gp_stop_device_access", hex32(stop_mode), error);
}

FIXTURE_EXPORT GP_BOOL __cdecl gp_select_device(ErrorInfo *error)
{
    Inside inside;
    return answer("gp_select_device", "", error);
}

FIXTURE_EXPORT GP_BOOL __cdecl gp_deselect_device(ErrorInfo *error)
{
    Inside inside;
    return answer("gp_deselect_device", "", error);
}

#ifndef FIXTURE_OMIT_READ
FIXTURE_EXPORT GP_BOOL __cdecl gp_read(const uint8_t *command_packet_data, uint32_t command_packet_data_length,
                                       uint8_t *response_packet_data, uint16_t *response_packet_data_length,
                                       ErrorInfo *error)
{
    const uint16_t length = static_cast<uint16_t>(command_packet_data_length & 0xFFFF);
    if (state().bareRead != 0) {
        std::memcpy(response_packet_data, command_packet_data, length);
        *response_packet_data_length = length;
        return 1;
    }
    Inside inside;
    std::string arguments = hex32(command_packet_data_length);
    for (uint16_t i = 0; i < length; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof(byte), " %02x", command_packet_data[i]);
        arguments += byte;
    }
    const GP_BOOL result = answer("gp_read", arguments, error);
    if (result) {
        Locked l;
        if (state().readEchoes) {
            std::memcpy(response_packet_data, command_packet_data, length);
            *response_packet_data_length = length;
        } else {
            const std::vector<uint8_t> &r = state().readResponse;
            if (!r.empty()) {
                std::memcpy(response_packet_data, r.data(), r.size());
            }
            *response_packet_data_length = static_cast<uint16_t>(r.size());
        }
    }
    return result;
}
#endif

FIXTURE_EXPORT GP_BOOL __cdecl gp_set_timeout(int32_t timeout, ErrorInfo *error)
{
    Inside inside;
    const GP_BOOL result = answer("gp_set_timeout", std::to_string(timeout), error);
    if (result) {
        Locked l;
        state().timeout = timeout;
    }
    return result;
}

FIXTURE_EXPORT GP_BOOL __cdecl gp_get_timeout(int32_t *timeout, ErrorInfo *error)
{
    Inside inside;
    const GP_BOOL result = answer("gp_get_timeout", "", error);
    if (result && timeout != nullptr) {
        Locked l;
        *timeout = state().timeout;
    }
    return result;
}

FIXTURE_EXPORT GP_BOOL __cdecl gp_get_version_number(int32_t *version_number)
{
    Inside inside;
    const GP_BOOL result = answer("gp_get_version_number", "", nullptr);
    if (version_number != nullptr) {
        *version_number = FIXTURE_VERSION;
    }
    return result;
}

FIXTURE_EXPORT GP_BOOL __cdecl gp_get_driver_status(uint32_t *DriverStatus, uint32_t *PollModeCardType,
                                                    uint32_t *ListenModeCardType, uint32_t *AdditionalDataSize,
                                                    uint8_t **AdditionalData, ErrorInfo *error)
{
    Inside inside;
    uint32_t delay;
    uint32_t apc;
    char load[MAX_PATH];
    {
        Locked l;
        ++state().counts["gp_get_driver_status"];
        if (state().callLog) {
            state().calls += "gp_get_driver_status\n";
        }
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        state().statusTimes.push_back(now.QuadPart);
        delay = state().statusDelay;
        apc = state().statusApc;
        state().statusThread = GetCurrentThreadId();
        lstrcpynA(load, state().statusLoad, MAX_PATH);
    }
    if (apc != 0) {
        QueueUserAPC(&statusApc, GetCurrentThread(), apc);
    }
    if (delay != 0) {
        Sleep(delay);
    }
    if (load[0] != '\0') {
        // Outside the fixture's lock: the load may wait for the loader lock.
        HMODULE loaded = LoadLibraryA(load);
        if (loaded != nullptr) {
            FreeLibrary(loaded);
        }
        Locked l;
        ++state().counts[loaded != nullptr ? "status_load" : "status_load_failed"];
    }
    Locked l;
    FixtureState &s = state();
    if (s.script.empty()) {
        *DriverStatus = GP_STATUS_STATE_IDLE;
        *PollModeCardType = 0;
        *ListenModeCardType = 0;
        *AdditionalDataSize = 0;
        *AdditionalData = nullptr;
        return 1;
    }
    const StatusStep &step = s.script[s.scriptPosition];
    if (s.scriptPosition + 1 < s.script.size()) {
        ++s.scriptPosition;
    }
    if (step.answer.write && error != nullptr) {
        error->error_code = step.answer.code;
        error->detail_code = step.answer.detail;
    }
    *DriverStatus = step.status;
    *PollModeCardType = step.pollType;
    *ListenModeCardType = step.listenType;
    *AdditionalDataSize = static_cast<uint32_t>(step.data.size());
    *AdditionalData = step.hasData ? s.block.assign(step.data) : nullptr;
    return step.answer.result ? 1 : 0;
}

FIXTURE_EXPORT GP_BOOL __cdecl gp_get_plugin_information(uint8_t *PortCategory, ErrorInfo *error)
{
    Inside inside;
#ifdef FIXTURE_INFO_FAILS
    (void)PortCategory;
    {
        Locked l;
        ++state().counts["gp_get_plugin_information"];
        state().calls += "gp_get_plugin_information\n";
    }
    if (error != nullptr) {
        error->error_code = 0xE0000001u;
        error->detail_code = 0x42u;
    }
    return 0;
#else
    const GP_BOOL result = answer("gp_get_plugin_information", "", error);
    if (result && PortCategory != nullptr) {
        *PortCategory = FIXTURE_CATEGORY;
    }
    return result;
#endif
}

#ifdef FIXTURE_OPTIONAL_ENTRIES
FIXTURE_EXPORT GP_BOOL __cdecl gp_set_status_event(void *event, ErrorInfo *error)
{
    Inside inside;
    const GP_BOOL result = answer("gp_set_status_event", event != nullptr ? "event" : "null", error);
    Locked l;
    if (event != nullptr && result) {
        state().statusEvent = event;
    } else if (event == nullptr && result) {
        state().statusEvent = nullptr;  // withdrawn: never touched again
    }
    return result;
}

FIXTURE_EXPORT GP_BOOL __cdecl gp_list_ports(char *buffer, uint32_t buffer_size, uint32_t *needed_size,
                                             ErrorInfo *error)
{
    Inside inside;
    {
        // Counted, not logged: the watcher asks every 250 ms.
        Locked l;
        ++state().counts["gp_list_ports"];
        state().listThread = GetCurrentThreadId();
    }
    const Answer a = [] {
        Locked l;
        return state().answers.count("gp_list_ports") ? state().answers["gp_list_ports"] : Answer();
    }();
    if (a.write && error != nullptr) {
        error->error_code = a.code;
        error->detail_code = a.detail;
    }
    if (!a.result) {
        return 0;
    }
    Locked l;
    const std::string &list = state().portList;
    if (state().portListGrowth != 0) {
        // Grown since the last call: never fits, nothing written.
        const uint32_t had = buffer_size > list.size() ? buffer_size : static_cast<uint32_t>(list.size());
        *needed_size = had + state().portListGrowth;
        return 1;
    }
    *needed_size = static_cast<uint32_t>(list.size());
    if (list.size() <= buffer_size && !list.empty()) {
        std::memcpy(buffer, list.data(), list.size());
    }
    return 1;
}
#endif
