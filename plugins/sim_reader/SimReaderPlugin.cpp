// The simulated reader plug-in's reader for the skeleton of plugins/common (which writes its
// entry points and locks): the scenario, from the library's registry key, a file beside the
// plug-in or the built-in one, and the one SimReader.
//
// The loader lock (korvat_nfc_plugin.h): the simulator has no poll thread. Its status is computed
// on demand from the clock, every entry point does its work on the caller's thread and returns.
// While a status event is handed over, the skeleton's watch thread asks statusChangePending every
// few milliseconds (a computation from the clock, under the I/O lock, waiting for nothing).
// gp_list_ports reads the registry and the scenario file; the plug-in's directory for the file is
// found once, when the module is loaded, as that call may be waited for under the loader lock.
#include <windows.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "PluginRegistry.h"
#include "PluginSection.h"
#include "ReaderPlugin.h"
#include "SimReader.h"
#include "SimScenario.h"
#include "sim_reader.h"

namespace {

// The scenario used when no file is configured: default.scenario, compiled in.
#include "sim_default_scenario.inc"

const korvat_plugin::ReaderDescription Description = {
    SIM_CATEGORY_NAME,
    SIM_VERSION_NUMBER,
    SIM_DEFAULT_TIMEOUT,
    INT32_MIN,  // any time-out: the simulator has nothing to wait for
    INT32_MAX,
    false,  // the status is computed when asked
    SIM_E_INVALID_ARGUMENT,
    SIM_E_CATEGORY_NOT_LISTED,
    SIM_E_UNKNOWN_PORT,
    SIM_E_PORT_ALREADY_OPEN,
    SIM_E_PORT_NOT_OPEN,
    0,  // no poll thread
    0,
};

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

// Found while the module is loaded (its DllMain runs the constructors): GetModuleFileName is loader
// work, which gp_list_ports may not do.
const std::string PluginDirectory = pluginDirectory();
const DWORD LoadedAt = GetTickCount();

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
bool loadScenario(sim::Scenario &scenario, reader::Error &error)
{
    std::string path;
    std::string text;
    if (korvat_plugin::readLibraryString(SIM_SCENARIO_VALUE_NAME, path) && !path.empty()) {
        if (!readTextFile(path, text)) {
            return reader::fail(error, SIM_E_SCENARIO, 0);
        }
    } else if (!readTextFile(PluginDirectory + SIM_SCENARIO_FILE_NAME, text)) {
        text = BuiltInScenario;
    }
    uint32_t line = 0;
    if (!sim::parseScenario(text, scenario, line)) {
        return reader::fail(error, SIM_E_SCENARIO, line);
    }
    return true;
}

// Times are the clock's at each call.
class SimReaderPlugin : public korvat_plugin::Reader {
public:
    const korvat_plugin::ReaderDescription &description() const override { return Description; }

    // Every port name that begins with "SIM" opens the one simulated reader.
    bool knowsPort(const std::string &portName) const override
    {
        return portName.compare(0, std::strlen(SIM_CATEGORY_NAME), SIM_CATEGORY_NAME) == 0;
    }

    bool open(const std::string &portName, int32_t timeout, reader::Error &error) override
    {
        sim::Scenario scenario;
        if (!loadScenario(scenario, error)) {
            return false;
        }
        if (!scenario.ports.empty() && !pluggedIn(scenario, portName)) {
            return reader::fail(error, SIM_E_NO_READER, 0);
        }
        m_Reader.setTimeout(timeout);
        if (!m_Reader.open(scenario, error)) {
            return false;
        }
        korvat_plugin::Hold hold(m_OpenPortLock);
        m_OpenPort = portName;
        return true;
    }

    bool isOpen() const override { return m_Reader.isOpen(); }

    void close() override
    {
        reader::Error ignored;
        m_Reader.close(ignored);
        korvat_plugin::Hold hold(m_OpenPortLock);
        m_OpenPort.clear();
    }

    bool offersStatusEvent() const override { return true; }
    bool statusChangePending() override { return m_Reader.statusChangePending(GetTickCount()); }
    void statusWatched(bool watched) override { m_Reader.reportDepartures(watched); }

    // The scenario's port lines, else the SIM ports of port_name_list (SIM0 when it names none);
    // the open port in any case.
    bool listPorts(std::vector<reader::PortEntry> &ports, reader::Error &error) override
    {
        ports.clear();
        sim::Scenario scenario;
        if (!loadScenario(scenario, error)) {
            return false;
        }
        const DWORD sinceLoad = GetTickCount() - LoadedAt;
        for (const sim::PortSchedule &port : scenario.ports) {
            if (port.presentAt(sinceLoad)) {
                ports.push_back({port.portName, port.readerName});
            }
        }
        if (scenario.ports.empty()) {
            for (const std::string &name : korvat_plugin::configuredPortNames()) {
                if (knowsPort(name)) {
                    ports.push_back({name, sim::DefaultReaderName});
                }
            }
            if (ports.empty()) {
                ports.push_back({"SIM0", sim::DefaultReaderName});
            }
        }
        korvat_plugin::Hold hold(m_OpenPortLock);
        if (!m_OpenPort.empty()) {
            ports.insert(ports.begin(), {m_OpenPort, readerName(scenario, m_OpenPort)});
        }
        return true;
    }

    bool startPollMode(uint32_t targetDevice, reader::Error &error) override
    {
        return m_Reader.startPollMode(targetDevice, GetTickCount(), error);
    }
    bool stopPollMode(reader::Error &error) override { return m_Reader.stopPollMode(error); }
    bool startDeviceAccess(uint32_t targetNumber, reader::Error &error) override
    {
        return m_Reader.startDeviceAccess(targetNumber, GetTickCount(), error);
    }
    bool stopDeviceAccess(uint32_t stopMode, reader::Error &error) override
    {
        return m_Reader.stopDeviceAccess(stopMode, GetTickCount(), error);
    }
    bool selectDevice(reader::Error &error) override { return m_Reader.selectDevice(GetTickCount(), error); }
    bool deselectDevice(reader::Error &error) override { return m_Reader.deselectDevice(GetTickCount(), error); }
    bool exchange(const uint8_t *command, uint16_t length, std::vector<uint8_t> &response,
                  reader::Error &error) override
    {
        return m_Reader.exchange(command, length, GetTickCount(), response, error);
    }
    bool setTimeout(int32_t timeout, reader::Error &) override
    {
        m_Reader.setTimeout(timeout);
        return true;
    }
    int32_t timeout() const override { return m_Reader.timeout(); }
    bool readStatus(reader::StatusReport &report, reader::Error &error) override
    {
        return m_Reader.readDriverStatus(GetTickCount(), report, error);
    }

private:
    static const sim::PortSchedule *schedule(const sim::Scenario &scenario, const std::string &portName)
    {
        for (const sim::PortSchedule &port : scenario.ports) {
            if (port.portName == portName) {
                return &port;
            }
        }
        return nullptr;
    }
    static bool pluggedIn(const sim::Scenario &scenario, const std::string &portName)
    {
        const sim::PortSchedule *port = schedule(scenario, portName);
        return port != nullptr && port->presentAt(GetTickCount() - LoadedAt);
    }
    static std::string readerName(const sim::Scenario &scenario, const std::string &portName)
    {
        const sim::PortSchedule *port = schedule(scenario, portName);
        return port != nullptr ? port->readerName : sim::DefaultReaderName;
    }

    sim::SimReader m_Reader;
    // The open port's name, for gp_list_ports, which runs beside the other entry points.
    korvat_plugin::Section m_OpenPortLock;
    std::string m_OpenPort;
};

SimReaderPlugin g_Reader;

}  // namespace

korvat_plugin::Reader &korvat_plugin::pluginReader()
{
    return g_Reader;
}
