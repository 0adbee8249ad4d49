#include "NfcDebugLog.h"

#include <shlwapi.h>

#include "NfcProcessState.h"
#include "korvat_nfc.h"

namespace {

class ExclusiveLock {
public:
    explicit ExclusiveLock(SRWLOCK &lock) : m_Lock(lock) { AcquireSRWLockExclusive(&m_Lock); }
    ~ExclusiveLock() { ReleaseSRWLockExclusive(&m_Lock); }
    ExclusiveLock(const ExclusiveLock &) = delete;
    ExclusiveLock &operator=(const ExclusiveLock &) = delete;

private:
    SRWLOCK &m_Lock;
};

const DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

} // namespace

NfcDebugLog::NfcDebugLog() : m_IsOn(false)
{
    InitializeSRWLock(&m_Lock);
}

NfcDebugLog::~NfcDebugLog() = default;

bool NfcDebugLog::checkOpenArguments(const char *fileName, uint32_t *error) const
{
    if (error == nullptr) {
        return false;
    }
    if (fileName == nullptr) {
        *error = KORVAT_NFC_E_INVALID_ARGUMENT;
        return false;
    }
    if (isOn()) {
        *error = KORVAT_NFC_E_LOG_FILE_OPEN;
        return false;
    }
    if (PathIsRelativeA(fileName)) {
        *error = KORVAT_NFC_E_LOG_RELATIVE_PATH;
        return false;
    }
    return true;
}

void NfcDebugLog::switchOn(const char *fileName)
{
    ExclusiveLock guard(m_Lock);
    m_FileName = fileName;
    m_IsOn.store(true, std::memory_order_release);
}

bool NfcDebugLog::lockForRecord() const
{
    if (NfcProcessState::processExiting()) {
        return TryAcquireSRWLockExclusive(&m_Lock) != FALSE;
    }
    AcquireSRWLockExclusive(&m_Lock);
    return true;
}

bool NfcDebugLog::openLogFile(const char *fileName, uint32_t *error)
{
    if (!checkOpenArguments(fileName, error)) {
        return false;
    }
    // The debug log is never created here: it must exist (file or directory of that name).
    if (GetFileAttributesA(fileName) == INVALID_FILE_ATTRIBUTES) {
        *error = KORVAT_NFC_E_LOG_FILE_MISSING;
        return false;
    }
    if (!truncateFile(fileName)) {
        *error = KORVAT_NFC_E_LOG_FILE_OPEN;
        return false;
    }
    switchOn(fileName);
    return true;
}

bool NfcDebugLog::closeLogFile(uint32_t * /*error*/)
{
    ExclusiveLock guard(m_Lock);
    m_IsOn.store(false, std::memory_order_release);
    // Give the name's memory back as well: the front end outlives its shutdown.
    std::string().swap(m_FileName);
    return true;
}

void NfcDebugLog::writeRecord(bool enabled, const char *sourceFile, int line, const std::string &message)
{
    if (!enabled || !isOn()) {
        return;
    }
    std::string record;
    record.reserve(64 + message.size() + message.size() / 16);
    NfcLogFormat::appendDebugStamp(record, localTime(), sourceFile, line);
    NfcLogFormat::appendTextMode(record, message.data(), message.size());

    if (!lockForRecord()) {
        return;
    }
    if (!m_FileName.empty()) {
        appendToFile(m_FileName, record);
    }
    ReleaseSRWLockExclusive(&m_Lock);
}

bool NfcDebugLog::appendToFile(const std::string &fileName, const std::string &bytes)
{
    // FILE_APPEND_DATA alone makes every write land at the current end of the file, also
    // when another process appends to the same file.
    HANDLE file = CreateFileA(fileName.c_str(), FILE_APPEND_DATA, ShareAll, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    BOOL ok = bytes.empty() ? TRUE
                            : WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

bool NfcDebugLog::truncateFile(const std::string &fileName)
{
    HANDLE file = CreateFileA(fileName.c_str(), GENERIC_WRITE, ShareAll, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(file);
    return true;
}

bool NfcDebugLog::appendOpenable(const std::string &fileName)
{
    return appendToFile(fileName, std::string());
}

NfcLogTime NfcDebugLog::localTime()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    return NfcLogTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}
