// Debug log writer: every record, stamped with time, source file and line, appended to a file
// that must already exist and is emptied when the writer is switched on.
// Also the writer interface that NfcNormalLog and NfcLogProxy derive from.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "NfcLogFormat.h"

class NfcDebugLog {
public:
    NfcDebugLog();
    virtual ~NfcDebugLog();

    // Switches the writer on for fileName; on failure writes one error code into *error.
    virtual bool openLogFile(const char *fileName, uint32_t *error);
    // Switches the writer off. Always true; *error is not touched.
    virtual bool closeLogFile(uint32_t *error);
    // Writes one record when enabled is true and the writer is on. Never reports a failure.
    virtual void writeRecord(bool enabled, const char *sourceFile, int line, const std::string &message);

    // Cheap test, without the writer lock, whether a record would be written at all.
    bool isOn() const { return m_IsOn.load(std::memory_order_acquire); }

    NfcDebugLog(const NfcDebugLog &) = delete;
    NfcDebugLog &operator=(const NfcDebugLog &) = delete;

protected:
    // Common argument checks of both writers: error pointer, file name, already on, relative path.
    bool checkOpenArguments(const char *fileName, uint32_t *error) const;
    void switchOn(const char *fileName);
    // Takes m_Lock (exclusive) for one record. Once the process is exiting it only tries: a
    // killed thread may hold the lock, and a lost record is better than a process that never
    // ends. False when the lock was not taken.
    bool lockForRecord() const;

    // Platform file access, all in text mode semantics and shared deny-none.
    static bool appendToFile(const std::string &fileName, const std::string &bytes);
    static bool truncateFile(const std::string &fileName);
    static bool appendOpenable(const std::string &fileName);
    static NfcLogTime localTime();

    std::string m_FileName;       // empty: the writer is off
    std::atomic<bool> m_IsOn;     // mirrors !m_FileName.empty() for lock-free tests
    mutable SRWLOCK m_Lock;       // keeps concurrent records whole and the file name stable
};
