// The PN532 reader plug-in's reader for the skeleton of plugins/common (which writes its entry
// points, locks and poll thread): the serial link and the portable pn532::Reader, which holds the
// chip dialogue and the reader's poll and access states.
//
// How it keeps the loader-lock rules beyond the skeleton's: the link's reads wait in slices of
// 50 ms and give up at once when a closer cancels the line (cancelIo), and the commands of a
// close (release, RF off, PowerDown) wait at most 500 ms each. gp_list_ports asks Windows whether
// each configured COM port exists, without opening it (Pn532SerialLink::present).
#include "Pn532PortName.h"
#include "Pn532Reader.h"
#include "Pn532SerialLink.h"
#include "PluginRegistry.h"
#include "ReaderCore.h"
#include "pn532_reader.h"

namespace {

const korvat_plugin::ReaderDescription Description = {
    PN532_CATEGORY_NAME,
    PN532_VERSION_NUMBER,
    PN532_DEFAULT_TIMEOUT,
    PN532_MINIMUM_TIMEOUT,
    PN532_MAXIMUM_TIMEOUT,
    true,  // a poll thread lists the targets
    PN532_E_INVALID_ARGUMENT,
    PN532_E_CATEGORY_NOT_LISTED,
    PN532_E_UNKNOWN_PORT,
    PN532_E_PORT_ALREADY_OPEN,
    PN532_E_PORT_NOT_OPEN,
    PN532_E_POLL_THREAD_BUSY,
    PN532_E_PORT,
};

class Pn532ReaderPlugin : public korvat_plugin::ReaderCore<pn532::Reader> {
public:
    const korvat_plugin::ReaderDescription &description() const override { return Description; }

    bool knowsPort(const std::string &portName) const override
    {
        std::string device;
        return pn532::serialDeviceName(portName, device);
    }

    bool open(const std::string &portName, int32_t timeout, korvat_plugin::Error &error) override
    {
        std::string device;
        pn532::serialDeviceName(portName, device);
        DWORD windowsError = 0;
        if (!m_Link.open(device, windowsError)) {
            return reader::fail(error, PN532_E_PORT, windowsError);
        }
        std::unique_ptr<pn532::Reader> core(new pn532::Reader(m_Link));
        if (!core->setTimeout(timeout, error) || !core->open(error)) {
            m_Link.close();
            return false;
        }
        m_Core = std::move(core);
        return true;
    }

    void close() override
    {
        closeCore();
        m_Link.close();
    }

    void cancelIo(bool cancelled) override { m_Link.cancel(cancelled); }

    // The COM ports of port_name_list that exist now, each with its own name as the reader's:
    // nothing is opened to find them.
    bool listPorts(std::vector<reader::PortEntry> &ports, korvat_plugin::Error &) override
    {
        ports.clear();
        for (const std::string &name : korvat_plugin::configuredPortNames()) {
            std::string device;
            if (pn532::serialDeviceName(name, device) && Pn532SerialLink::present(device)) {
                ports.push_back({name, name});
            }
        }
        return true;
    }

private:
    Pn532SerialLink m_Link;
};

Pn532ReaderPlugin g_Reader;

}  // namespace

korvat_plugin::Reader &korvat_plugin::pluginReader()
{
    return g_Reader;
}
