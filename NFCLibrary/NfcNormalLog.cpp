#include "NfcNormalLog.h"

#include <shlwapi.h>

#include "korvat_nfc.h"

NfcNormalLog::NfcNormalLog() : m_RecordCount(0) {}

uint32_t NfcNormalLog::recordCount() const
{
    AcquireSRWLockShared(&m_Lock);
    uint32_t count = m_RecordCount;
    ReleaseSRWLockShared(&m_Lock);
    return count;
}

bool NfcNormalLog::openLogFile(const char *fileName, uint32_t *error)
{
    if (!checkOpenArguments(fileName, error)) {
        return false;
    }
    bool existed = PathFileExistsA(fileName) != FALSE;
    if (!appendOpenable(fileName)) {
        *error = KORVAT_NFC_E_LOG_FILE_OPEN;
        return false;
    }
    AcquireSRWLockExclusive(&m_Lock);
    m_FileName = fileName;
    if (existed) {
        rotateLogFile();
    }
    m_IsOn.store(true, std::memory_order_release);
    ReleaseSRWLockExclusive(&m_Lock);
    return true;
}

void NfcNormalLog::writeRecord(bool enabled, const char * /*sourceFile*/, int /*line*/, const std::string &message)
{
    if (!enabled || !isOn() || !lockForRecord()) {
        return;
    }
    if (!m_FileName.empty()) {
        if (m_RecordCount >= RecordsPerFile) {
            rotateLogFile();
        }
        // The stamp is taken under the lock so that records stand in the file in time order.
        std::string record;
        record.reserve(32 + message.size() + message.size() / 16);
        NfcLogFormat::appendNormalStamp(record, localTime());
        NfcLogFormat::appendTextMode(record, message.data(), message.size());
        appendToFile(m_FileName, record);
        ++m_RecordCount;  // counts also when the file could not be opened
    }
    ReleaseSRWLockExclusive(&m_Lock);
}

void NfcNormalLog::rotateLogFile()
{
    const std::string oldName = m_FileName + ".old";
    if (PathFileExistsA(oldName.c_str())) {
        DeleteFileA(oldName.c_str());
    }
    if (!MoveFileA(m_FileName.c_str(), oldName.c_str())) {
        // The file is in use or the old name could not be freed: keep appending, try again next record.
        return;
    }
    truncateFile(m_FileName);
    m_RecordCount = 0;
}
