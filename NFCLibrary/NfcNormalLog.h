// Normal log writer: level-1 records with a time stamp only; the file is moved to "<name>.old"
// when the log starts on an existing file and after every 65535 records.
#pragma once

#include "NfcDebugLog.h"

class NfcNormalLog : public NfcDebugLog {
public:
    NfcNormalLog();

    bool openLogFile(const char *fileName, uint32_t *error) override;
    void writeRecord(bool enabled, const char *sourceFile, int line, const std::string &message) override;

    uint32_t recordCount() const;

    static const uint32_t RecordsPerFile = 65535;

private:
    // Moves the file to "<name>.old" and starts it empty; the caller holds m_Lock.
    void rotateLogFile();

    uint32_t m_RecordCount;  // records since construction or the last successful rotation
};
