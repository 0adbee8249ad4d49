#include "PcscWinscard.h"

#include "PcscLimits.h"

namespace {

// The largest answer a transmit takes: the largest gp_read answer and its status word, and a
// chained PN532 piece or session answer around it.
const DWORD ReceiveBufferSize = PCSC_MAXIMUM_RESPONSE_SIZE + 258;

}  // namespace

// Runs when the plug-in is unloaded or the process ends, with the loader lock held and winscard
// possibly detached already: no call into it. gp_close_port has released the context (the
// library closes an open port before it lets the plug-in go); at process exit the system does.
PcscWinscard::~PcscWinscard() = default;

uint32_t PcscWinscard::establishContext()
{
    releaseContext();
    const LONG result = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &m_Context);
    m_HasContext = result == SCARD_S_SUCCESS;
    return static_cast<uint32_t>(result);
}

void PcscWinscard::releaseContext()
{
    disconnect();
    if (m_HasContext) {
        SCardReleaseContext(m_Context);
        m_HasContext = false;
    }
}

uint32_t PcscWinscard::listReaders(std::vector<std::string> &readers)
{
    readers.clear();
    DWORD size = 0;
    LONG result = SCardListReadersA(m_Context, nullptr, nullptr, &size);
    if (result != SCARD_S_SUCCESS) {
        return static_cast<uint32_t>(result);
    }
    std::vector<char> names(size + 2, '\0');
    result = SCardListReadersA(m_Context, nullptr, names.data(), &size);
    if (result != SCARD_S_SUCCESS) {
        return static_cast<uint32_t>(result);
    }
    // A multi-string: names ending in NUL, the list in a second NUL.
    for (const char *name = names.data(); *name != '\0' && name < names.data() + size; name += strlen(name) + 1) {
        readers.push_back(name);
    }
    return 0;
}

uint32_t PcscWinscard::readerState(const std::string &reader, uint32_t currentState, uint32_t &eventState,
                                   std::vector<uint8_t> &atr)
{
    SCARD_READERSTATEA state = {};
    state.szReader = reader.c_str();
    state.dwCurrentState = currentState;
    const LONG result = SCardGetStatusChangeA(m_Context, 0, &state, 1);
    if (result == SCARD_E_TIMEOUT) {
        eventState = currentState;
    } else {
        eventState = state.dwEventState;
    }
    const DWORD atrSize = state.cbAtr <= sizeof state.rgbAtr ? state.cbAtr : 0;
    atr.assign(state.rgbAtr, state.rgbAtr + atrSize);
    return static_cast<uint32_t>(result);
}

uint32_t PcscWinscard::connect(const std::string &reader)
{
    disconnect();
    const LONG result = SCardConnectA(m_Context, reader.c_str(), SCARD_SHARE_SHARED,
                                      SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &m_Card, &m_Protocol);
    m_HasCard = result == SCARD_S_SUCCESS;
    return static_cast<uint32_t>(result);
}

void PcscWinscard::disconnect()
{
    if (m_HasCard) {
        SCardDisconnect(m_Card, SCARD_LEAVE_CARD);
        m_HasCard = false;
    }
}

uint32_t PcscWinscard::transmit(const uint8_t *command, size_t length, std::vector<uint8_t> &answer)
{
    if (!m_HasCard) {
        return static_cast<uint32_t>(SCARD_E_INVALID_HANDLE);
    }
    const SCARD_IO_REQUEST send = {m_Protocol, sizeof(SCARD_IO_REQUEST)};
    m_Answer.resize(ReceiveBufferSize);
    DWORD received = ReceiveBufferSize;
    const LONG result = SCardTransmit(m_Card, &send, command, static_cast<DWORD>(length), nullptr, m_Answer.data(),
                                      &received);
    if (result != SCARD_S_SUCCESS) {
        answer.clear();
        return static_cast<uint32_t>(result);
    }
    answer.assign(m_Answer.data(), m_Answer.data() + (received <= ReceiveBufferSize ? received : 0));
    return 0;
}

uint32_t PcscWinscard::milliseconds()
{
    return GetTickCount();
}

void PcscWinscard::trace(const std::string &line)
{
    OutputDebugStringA(("pcsc_reader: " + m_PortName + ": " + line + "\n").c_str());
}
