#include "NfcLogProxy.h"

#include <cstdarg>
#include <new>

#include "NfcRegistry.h"

static const char NFC_SOURCE_FILE[] = "..\\..\\NFCLibrary\\NfcLogProxy.cpp";

std::atomic<NfcLogProxy *> NfcLogProxy::s_Instance{nullptr};

namespace {
// Storage of the one front end; it is built in place and never destroyed (see startUp).
alignas(NfcLogProxy) unsigned char g_ProxyStorage[sizeof(NfcLogProxy)];
NfcLogProxy *g_Proxy = nullptr;
} // namespace

NfcLogProxy::NfcLogProxy()
{
    startDebugLogFromRegistry();
}

NfcLogProxy::~NfcLogProxy()
{
    uint32_t ignored = 0;
    m_DebugLog.closeLogFile(&ignored);
}

void NfcLogProxy::startDebugLogFromRegistry()
{
    char name[NfcRegistry::PathBufferSize] = {0};
    if (NfcRegistry::openCompanyKey()) {
        if (!NfcRegistry::readRegistryValue(name, sizeof(name), "debug_log_file_name")) {
            name[0] = '\0';
        }
        if (!NfcRegistry::closeCompanyKey()) {
            // No writer is on yet, so this goes nowhere; kept for symmetry with the other readers.
            NFC_LOG(0, "ASSERT! : close_registry_key failed.\n");
        }
    }
    if (name[0] != '\0') {
        uint32_t discarded = 0;
        m_DebugLog.openLogFile(name, &discarded);
    }
}

bool NfcLogProxy::openLogFile(const char *fileName, uint32_t *error)
{
    return m_NormalLog.openLogFile(fileName, error);
}

bool NfcLogProxy::closeLogFile(uint32_t *error)
{
    return m_NormalLog.closeLogFile(error);
}

void NfcLogProxy::writeLog(int level, const char *sourceFile, int line, const char *format, ...)
{
    if (!receives(level)) {
        return;
    }
    va_list args;
    va_start(args, format);
    const std::string message = NfcLogFormat::formatMessage(format, args);
    va_end(args);
    m_DebugLog.writeRecord(true, sourceFile, line, message);
    m_NormalLog.writeRecord(level != 0, sourceFile, line, message);
}

void NfcLogProxy::writeHexDump(const uint8_t *data, uint32_t length, const char *sourceFile, int line)
{
    if (data == nullptr || length == 0) {
        return;
    }
    for (uint32_t offset = 0; offset < length; offset += NfcLogFormat::HexBytesPerLine) {
        uint32_t count = length - offset;
        if (count > NfcLogFormat::HexBytesPerLine) {
            count = NfcLogFormat::HexBytesPerLine;
        }
        // The line is passed as an argument, never as a format.
        writeLog(1, sourceFile, line, "%s", NfcLogFormat::hexDumpLine(data + offset, count).c_str());
    }
}

void NfcLogProxy::startUp()
{
    if (g_Proxy == nullptr) {
        g_Proxy = new (g_ProxyStorage) NfcLogProxy();
    }
    s_Instance.store(g_Proxy, std::memory_order_release);
}

void NfcLogProxy::shutDown(bool closeFiles)
{
    NfcLogProxy *proxy = s_Instance.exchange(nullptr, std::memory_order_acq_rel);
    if (proxy == nullptr || !closeFiles) {
        return;
    }
    // What the destructor would do, without ending the object: a thread that fetched the
    // pointer just before this point may still call it, and must find it alive and silent.
    uint32_t ignored = 0;
    proxy->m_DebugLog.closeLogFile(&ignored);
    proxy->m_NormalLog.closeLogFile(&ignored);
}
