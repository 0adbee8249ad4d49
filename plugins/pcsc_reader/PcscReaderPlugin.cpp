// The PC/SC reader plug-in's reader for the skeleton of plugins/common (which writes its entry
// points, locks and poll thread): winscard (PcscWinscard) and the portable pcsc::Reader, which
// holds the reader's states, its profile and the card records.
//
// How it keeps the loader-lock rules beyond the skeleton's: the poll thread never blocks in the
// resource manager (each step asks for the reader's state with a zero time-out), so a closer
// waits one step at most; a close disconnects the card and releases the context, calls that
// load and free nothing. gp_list_ports makes and releases a context of its own per call. Every
// failed entry point is traced with its error pair.
#include <windows.h>

#include "PcscReader.h"
#include "PcscWinscard.h"
#include "PluginRegistry.h"
#include "ReaderCore.h"
#include "pcsc_reader.h"

namespace {

const korvat_plugin::ReaderDescription Description = {
    PCSC_CATEGORY_NAME,
    PCSC_VERSION_NUMBER,
    PCSC_DEFAULT_TIMEOUT,
    PCSC_MINIMUM_TIMEOUT,
    PCSC_MAXIMUM_TIMEOUT,
    true,  // a poll thread asks for the reader's state
    PCSC_E_INVALID_ARGUMENT,
    PCSC_E_CATEGORY_NOT_LISTED,
    PCSC_E_UNKNOWN_PORT,
    PCSC_E_PORT_ALREADY_OPEN,
    PCSC_E_PORT_NOT_OPEN,
    PCSC_E_POLL_THREAD_BUSY,
    PCSC_E_POLL_THREAD,
};

class PcscReaderPlugin : public korvat_plugin::ReaderCore<pcsc::Reader> {
public:
    const korvat_plugin::ReaderDescription &description() const override { return Description; }

    bool knowsPort(const std::string &portName) const override
    {
        unsigned number = 0;
        return pcsc::portNumber(portName, number);
    }

    // The reader filter is read at each open.
    bool open(const std::string &portName, int32_t timeout, korvat_plugin::Error &error) override
    {
        unsigned number = 0;
        pcsc::portNumber(portName, number);
        std::string filter;
        korvat_plugin::readLibraryString(PCSC_READER_FILTER_VALUE, filter);
        m_Scard.setPortName(portName);
        std::unique_ptr<pcsc::Reader> core(new pcsc::Reader(m_Scard, filter));
        if (!core->setTimeout(timeout, error) || !core->open(number, error)) {
            return false;
        }
        m_Core = std::move(core);
        return true;
    }

    void close() override { closeCore(); }

    // The resource manager's readers now, asked with a context of the list's own for the one call
    // (the open port's belongs to the poll thread): SCardEstablishContext and SCardListReaders
    // answer at once, with the service or without it.
    bool listPorts(std::vector<reader::PortEntry> &ports, korvat_plugin::Error &error) override
    {
        std::string filter;
        korvat_plugin::readLibraryString(PCSC_READER_FILTER_VALUE, filter);
        m_ListScard.setPortName("list");
        return pcsc::listPorts(m_ListScard, filter, ports, error);
    }

    void traceFailure(const char *entry, const korvat_plugin::Error &error) override
    {
        char line[160];
        wsprintfA(line, "%s failed: error %08X, detail %08X", entry, error.code, error.detail);
        m_Scard.trace(line);
    }

private:
    PcscWinscard m_Scard;
    PcscWinscard m_ListScard;  // gp_list_ports's, used beside the poll thread's
};

PcscReaderPlugin g_Reader;

}  // namespace

korvat_plugin::Reader &korvat_plugin::pluginReader()
{
    return g_Reader;
}
