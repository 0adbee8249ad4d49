// Log front end: formats each trace message once and hands it to the debug writer (every level)
// and the normal writer (level 1 only). One instance lives from DLL load to unload; after its
// shutdown every trace call is accepted and writes nothing.
#pragma once

#include <atomic>
#include <cstdint>

#include "NfcDebugLog.h"
#include "NfcNormalLog.h"

class NfcLogProxy : public NfcDebugLog {
public:
    NfcLogProxy();
    ~NfcLogProxy() override;

    // The normal log, driven by the application's start and stop logging.
    bool openLogFile(const char *fileName, uint32_t *error) override;
    bool closeLogFile(uint32_t *error) override;

    void writeLog(int level, const char *sourceFile, int line, const char *format, ...)
        __attribute__((format(gnu_printf, 5, 6)));
    void writeHexDump(const uint8_t *data, uint32_t length, const char *sourceFile, int line);

    // True when a record of this level would reach at least one file.
    bool receives(int level) const { return m_DebugLog.isOn() || (level != 0 && m_NormalLog.isOn()); }

    // The process-wide front end. startUp() builds it at DLL load (reading debug_log_file_name);
    // shutDown() switches both writers off for good. The object itself is never destroyed, so a
    // trace call racing with the unload still finds valid memory. closeFiles false (process
    // exit) only switches off: closing takes the writers' locks, which a killed thread may hold.
    static void startUp();
    static void shutDown(bool closeFiles);
    static NfcLogProxy *instance() { return s_Instance.load(std::memory_order_acquire); }
    // The front end if a record of this level would be written anywhere, else null.
    static NfcLogProxy *receiving(int level)
    {
        NfcLogProxy *proxy = instance();
        return (proxy != nullptr && proxy->receives(level)) ? proxy : nullptr;
    }

    NfcDebugLog &debugLog() { return m_DebugLog; }
    NfcNormalLog &normalLog() { return m_NormalLog; }

private:
    void startDebugLogFromRegistry();

    NfcDebugLog m_DebugLog;
    NfcNormalLog m_NormalLog;

    static std::atomic<NfcLogProxy *> s_Instance;
};

// Trace helpers used by every source unit. Each unit defines NFC_SOURCE_FILE, the path shown
// in the debug log. Nothing is formatted when no log would receive the record.
#define NFC_LOG(level, ...)                                                          \
    do {                                                                             \
        if (NfcLogProxy *nfcLogProxy_ = NfcLogProxy::receiving(level)) {             \
            nfcLogProxy_->writeLog((level), NFC_SOURCE_FILE, __LINE__, __VA_ARGS__); \
        }                                                                            \
    } while (0)

#define NFC_HEX_DUMP(data, length)                                                              \
    do {                                                                                        \
        if (NfcLogProxy *nfcLogProxy_ = NfcLogProxy::receiving(1)) {                            \
            nfcLogProxy_->writeHexDump((data), static_cast<uint32_t>(length), NFC_SOURCE_FILE, __LINE__); \
        }                                                                                       \
    } while (0)
