// The fourteen entry points of the simulated reader plug-in. Each one checks its arguments,
// then hands the work to the one SimReader; configuration comes from the library's registry key.
//
// The loader lock (korvat_nfc_plugin.h): gp_close_port and gp_stop_poll_mode may run in the
// library's DllMain. The simulator keeps the rule by having no thread of its own: the field is
// computed from the clock when gp_get_driver_status asks, every entry point does its work on the
// caller's thread and returns, and its only lock is never held by anyone else while a call
// waits. A reader that polls on a thread of its own uses korvat_plugin::PollThread
// (plugins/common), as the PN532 and PC/SC plug-ins do: its thread holds a module reference, ends
// through FreeLibraryAndExitThread, and the closer waits for its "finished" event with a bound.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "NfcRegistryList.h"
#include "PluginArguments.h"
#include "PluginRegistry.h"
#include "SimReader.h"
#include "SimScenario.h"
#include "korvat_nfc_plugin.h"
#include "sim_reader.h"

#define SIM_EXPORT extern "C" __declspec(dllexport)

namespace {

// The scenario used when no file is configured: default.scenario, compiled in.
#include "sim_default_scenario.inc"

// The library reads category_name_list with these limits; the plug-in must see the same positions.
const size_t CategoryListCharacters = 4096;
const size_t CategoryListItems = 256;

// The library never calls a plug-in from two threads at once, but a program that loads the
// plug-in directly (the tests) might.
struct ReaderSection {
    CRITICAL_SECTION section;
    ReaderSection() { InitializeCriticalSection(&section); }
    ~ReaderSection() { DeleteCriticalSection(&section); }
};

class ReaderLock {
public:
    ReaderLock() { EnterCriticalSection(&instance().section); }
    ~ReaderLock() { LeaveCriticalSection(&instance().section); }

private:
    static ReaderSection &instance()
    {
        static ReaderSection s;
        return s;
    }
};

sim::SimReader &reader()
{
    static sim::SimReader r;
    return r;
}

GP_BOOL fail(ErrorInfo *error, uint32_t code, uint32_t detail)
{
    error->error_code = code;
    error->detail_code = detail;
    return 0;
}

// Position of SIM_CATEGORY_NAME among the items of category_name_list, split as the library
// splits it. False: `detail` says why (the detail word of SIM_E_CATEGORY_NOT_LISTED).
bool findCategory(uint8_t &category, uint32_t &detail)
{
    std::string list;
    if (!korvat_plugin::readLibraryString("category_name_list", list) || list.empty()) {
        detail = 0;
        return false;
    }
    std::vector<std::string> items;
    const size_t count = std::min(NfcRegistryList::parse(list, CategoryListCharacters, items), CategoryListItems);
    for (size_t position = 0; position < count; ++position) {
        if (items[position] == SIM_CATEGORY_NAME) {
            category = static_cast<uint8_t>(position);
            return true;
        }
    }
    detail = 1;
    return false;
}

std::string pluginDirectory()
{
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&pluginDirectory), &module);
    char path[MAX_PATH] = {0};
    GetModuleFileNameA(module, path, MAX_PATH);
    std::string directory(path);
    return directory.substr(0, directory.find_last_of("\\/") + 1);
}

bool readTextFile(const std::string &path, std::string &text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream contents;
    contents << in.rdbuf();
    text = contents.str();
    return true;
}

// The registry's scenario file, else the one beside the plug-in, else the built-in one.
GP_BOOL loadScenario(sim::Scenario &scenario, ErrorInfo *error)
{
    std::string path;
    std::string text;
    if (korvat_plugin::readLibraryString(SIM_SCENARIO_VALUE_NAME, path) && !path.empty()) {
        if (!readTextFile(path, text)) {
            return fail(error, SIM_E_SCENARIO, 0);
        }
    } else if (!readTextFile(pluginDirectory() + SIM_SCENARIO_FILE_NAME, text)) {
        text = BuiltInScenario;
    }
    uint32_t line = 0;
    if (!sim::parseScenario(text, scenario, line)) {
        return fail(error, SIM_E_SCENARIO, line);
    }
    return 1;
}

}  // namespace

SIM_EXPORT GP_BOOL __cdecl gp_open_port_and_transition_nfc_mode(const char *port_name, ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    if (port_name == nullptr) {
        return fail(error, SIM_E_INVALID_ARGUMENT, 1);
    }
    if (std::strncmp(port_name, SIM_CATEGORY_NAME, std::strlen(SIM_CATEGORY_NAME)) != 0) {
        return fail(error, SIM_E_UNKNOWN_PORT, 0);
    }
    ReaderLock lock;
    sim::Scenario scenario;
    return loadScenario(scenario, error) && reader().open(scenario, *error);
}

SIM_EXPORT GP_BOOL __cdecl gp_close_port(ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    ReaderLock lock;
    return reader().close(*error);
}

SIM_EXPORT GP_BOOL __cdecl gp_start_poll_mode(uint32_t target_device, ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    ReaderLock lock;
    return reader().startPollMode(target_device, GetTickCount(), *error);
}

SIM_EXPORT GP_BOOL __cdecl gp_stop_poll_mode(ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    ReaderLock lock;
    return reader().stopPollMode(*error);
}

SIM_EXPORT GP_BOOL __cdecl gp_start_device_access(uint32_t target_number, ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    ReaderLock lock;
    return reader().startDeviceAccess(target_number, GetTickCount(), *error);
}

SIM_EXPORT GP_BOOL __cdecl gp_stop_device_access(uint32_t stop_mode, ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    ReaderLock lock;
    return reader().stopDeviceAccess(stop_mode, GetTickCount(), *error);
}

SIM_EXPORT GP_BOOL __cdecl gp_select_device(ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    ReaderLock lock;
    return reader().selectDevice(GetTickCount(), *error);
}

SIM_EXPORT GP_BOOL __cdecl gp_deselect_device(ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    ReaderLock lock;
    return reader().deselectDevice(GetTickCount(), *error);
}

SIM_EXPORT GP_BOOL __cdecl gp_read(const uint8_t *command_packet_data, uint32_t command_packet_data_length,
                                   uint8_t *response_packet_data, uint16_t *response_packet_data_length,
                                   ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    // Only the low 16 bits carry the length; the caller may leave anything in the others.
    const uint16_t length = static_cast<uint16_t>(command_packet_data_length);
    const uint32_t fault = korvat_plugin::readArgumentFault(command_packet_data, length, response_packet_data,
                                                            response_packet_data_length);
    if (fault != 0) {
        return fail(error, SIM_E_INVALID_ARGUMENT, fault);
    }
    ReaderLock lock;
    std::vector<uint8_t> response;
    if (!reader().exchange(command_packet_data, length, GetTickCount(), response, *error)) {
        return 0;
    }
    korvat_plugin::handOutAnswer(response, response_packet_data, response_packet_data_length);
    return 1;
}

SIM_EXPORT GP_BOOL __cdecl gp_set_timeout(int32_t timeout, ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    ReaderLock lock;
    return reader().setTimeout(timeout, *error);
}

SIM_EXPORT GP_BOOL __cdecl gp_get_timeout(int32_t *timeout, ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    if (timeout == nullptr) {
        return fail(error, SIM_E_INVALID_ARGUMENT, 1);
    }
    ReaderLock lock;
    return reader().getTimeout(*timeout, *error);
}

SIM_EXPORT GP_BOOL __cdecl gp_get_version_number(int32_t *version_number)
{
    if (version_number == nullptr) {
        return 0;
    }
    *version_number = SIM_VERSION_NUMBER;
    return 1;
}

SIM_EXPORT GP_BOOL __cdecl gp_get_driver_status(uint32_t *DriverStatus, uint32_t *PollModeCardType,
                                                uint32_t *ListenModeCardType, uint32_t *AdditionalDataSize,
                                                uint8_t **AdditionalData, ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    const uint32_t fault = korvat_plugin::driverStatusArgumentFault(DriverStatus, PollModeCardType, ListenModeCardType,
                                                                    AdditionalDataSize, AdditionalData);
    if (fault != 0) {
        return fail(error, SIM_E_INVALID_ARGUMENT, fault);
    }
    ReaderLock lock;
    sim::DriverStatusReport report;
    if (!reader().readDriverStatus(GetTickCount(), report, *error)) {
        return 0;
    }
    *DriverStatus = report.driverStatus;
    *PollModeCardType = report.pollModeCardType;
    *ListenModeCardType = report.listenModeCardType;
    // The block stays valid until the next call into the plug-in, as the library requires.
    *AdditionalDataSize = report.additionalData ? static_cast<uint32_t>(report.additionalData->size()) : 0;
    *AdditionalData = report.additionalData ? const_cast<uint8_t *>(report.additionalData->data()) : nullptr;
    return 1;
}

SIM_EXPORT GP_BOOL __cdecl gp_get_plugin_information(uint8_t *PortCategory, ErrorInfo *error)
{
    if (error == nullptr) {
        return 0;
    }
    if (PortCategory == nullptr) {
        return fail(error, SIM_E_INVALID_ARGUMENT, 1);
    }
    uint8_t category = 0;
    uint32_t detail = 0;
    if (!findCategory(category, detail)) {
        return fail(error, SIM_E_CATEGORY_NOT_LISTED, detail);
    }
    *PortCategory = category;
    return 1;
}
