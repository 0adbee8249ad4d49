// The checker's scripted session with a plug-in, made through NfcPluginWrapper exactly as the
// library calls it: open (and the library's 6000 time-out), a time-out round trip, poll mode,
// a run of driver status calls, device access to the first target reported with a thru of a
// harmless command, stop, close. Every call is checked against the plug-in interface's rules
// and each finding goes into the report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CheckReport.h"
#include "NfcPluginWrapper.h"

struct SessionOptions {
    std::string port;
    uint32_t targetDevice = 0x0F;          // every kind of target
    int statusCalls = 10;
    unsigned intervalMs = 100;             // between status calls
    double statusBoundMs = 100.0;          // longest acceptable gp_get_driver_status
    size_t responseBuffer = 4096;          // what the demo application offers
    std::vector<uint8_t> thruCommand;      // empty: chosen by the target's kind
    int32_t timeoutProbe = 4321;
};

class PluginSession {
public:
    PluginSession(const PluginFunctionTable &functions, const SessionOptions &options, CheckReport &report);
    void run();

    // The error record's contents before each call; a plug-in that answers false must change it.
    static const uint32_t SentinelCode = 0xC4EC4ED0u;
    static const uint32_t SentinelDetail = 0xC4EC4ED1u;

    // Notes on the record after a call: false with the record untouched is a failure of its own.
    // Returns result.
    static bool checkRecord(const char *entry, bool result, const ErrorInfo &record, CheckReport &report,
                            int &falseWithRecord);
    static std::string recordText(const ErrorInfo &record);

private:
    template <typename Call>
    bool call(const char *entry, Call body);
    bool open();
    void timeoutRoundTrip();
    void statusCall();
    void checkFoundTarget(uint32_t cardType, uint32_t size, const uint8_t *data);
    void deviceAccess(uint32_t cardType, uint32_t targetNumber);
    void thru(uint32_t cardType);
    void closeDown(bool polling);
    void reportStatusRun();

    NfcPluginWrapper m_Wrapper;
    const SessionOptions &m_Options;
    CheckReport &m_Report;
    ErrorInfo m_Last = {0, 0};
    int m_FalseWithRecord = 0;
    int m_SilentFalse = 0;

    // What the status calls showed.
    std::vector<double> m_StatusTimes;  // milliseconds
    int m_Outcomes[6] = {0};            // by NfcDriverStatusValue
    int m_StatusFalse = 0;
    std::vector<uint32_t> m_IllegalWords;
    std::vector<uint32_t> m_ErrorWords;  // card or device errors, listen mode
    uint32_t m_UnexaminedBits = 0;
    bool m_Accessed = false;
    bool m_AccessPending = false;
    uint32_t m_PendingType = 0, m_PendingTarget = 0;
    int m_Reads = 0;
    uint16_t m_LargestResponse = 0;
};
