#include "PluginSession.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

#include "GuardedBuffer.h"
#include "NfcDriverStatus.h"
#include "NfcTargetDecoder.h"
#include "korvat_nfc.h"

namespace {

double millisecondsSince(const LARGE_INTEGER &start)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

const char *outcomeName(int status)
{
    switch (status) {
    case DRIVER_STATUS_NONE:
        return "nothing";
    case DRIVER_STATUS_FIND:
        return "target found";
    case DRIVER_STATUS_ENABLE_ACCESS:
        return "access enabled";
    case DRIVER_STATUS_WAITING_ACCESS:
        return "waiting for access";
    default:
        return "error";
    }
}

// Fixed part of each kind's block and where its variable length byte lies.
bool layoutOf(uint32_t cardType, uint32_t &fixed, uint32_t &lengthByte, const char *&lengthName)
{
    switch (cardType) {
    case 1:
        fixed = GP_AD_A_ATS, lengthByte = GP_AD_A_ATS_SIZE, lengthName = "ATS_size";
        return true;
    case 8:
        fixed = GP_AD_B_ATTRIB, lengthByte = GP_AD_B_ATTRIB_SIZE, lengthName = "ATTRIB_size";
        return true;
    case 2:
    case 4:
        fixed = GP_AD_F_RD, lengthByte = GP_AD_F_RD_SIZE, lengthName = "RD_size";
        return true;
    default:
        return false;
    }
}

// Largest block any kind can need: the longest fixed part and a 255-byte variable part.
const uint32_t LargestBlock = GP_AD_F_RD + 255;

// Commands that change nothing on a card: SELECT of the NDEF application (Type 4 Tags, card
// types 1 and 8) and a Polling frame for system code FFFF (Type 3 Tags, card types 2 and 4).
std::vector<uint8_t> harmlessCommand(uint32_t cardType)
{
    if (cardType == 2 || cardType == 4) {
        return {0x06, 0x00, 0xFF, 0xFF, 0x00, 0x00};
    }
    return {0x00, 0xA4, 0x04, 0x00, 0x07, 0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x01, 0x00};
}

} // namespace

PluginSession::PluginSession(const PluginFunctionTable &functions, const SessionOptions &options,
                             CheckReport &report)
    : m_Options(options), m_Report(report)
{
    m_Wrapper.setFunctionTable(functions);
}

std::string PluginSession::recordText(const ErrorInfo &record)
{
    if (record.error_code == SentinelCode && record.detail_code == SentinelDetail) {
        return "(error record not written)";
    }
    return format("(%08Xh, %08Xh)", record.error_code, record.detail_code);
}

bool PluginSession::checkRecord(const char *entry, bool result, const ErrorInfo &record, CheckReport &report,
                                int &falseWithRecord)
{
    if (result) {
        return true;
    }
    if (record.error_code == SentinelCode && record.detail_code == SentinelDetail) {
        report.fail("error.record", format("%s answered false without writing its error record: the "
                                           "application would see the previous error as the reason",
                                           entry));
    } else {
        ++falseWithRecord;
    }
    return false;
}

template <typename Call>
bool PluginSession::call(const char *entry, Call body)
{
    m_Last.error_code = SentinelCode;
    m_Last.detail_code = SentinelDetail;
    const int before = m_FalseWithRecord;
    const bool result = body(&m_Last);
    checkRecord(entry, result, m_Last, m_Report, m_FalseWithRecord);
    if (!result && m_FalseWithRecord == before) {
        ++m_SilentFalse;
    }
    return result;
}

void PluginSession::run()
{
    if (!open()) {
        return;
    }
    timeoutRoundTrip();
    const bool polling = call("gp_start_poll_mode", [&](ErrorInfo *e) {
        return m_Wrapper.startPollMode(m_Options.targetDevice, e);
    });
    if (!polling) {
        m_Report.fail("session.start_poll", format("gp_start_poll_mode(%08Xh) answered false %s", m_Options.targetDevice,
                                                   recordText(m_Last).c_str()));
        closeDown(false);
        return;
    }
    m_Report.pass("session.start_poll", format("gp_start_poll_mode(%08Xh)", m_Options.targetDevice));
    for (int i = 0; i < m_Options.statusCalls; ++i) {
        if (i != 0) {
            Sleep(m_Options.intervalMs);
        }
        statusCall();
        if (m_AccessPending) {
            m_AccessPending = false;
            deviceAccess(m_PendingType, m_PendingTarget);
        }
    }
    reportStatusRun();
    closeDown(true);
}

bool PluginSession::open()
{
    const char *port = m_Options.port.c_str();
    if (!call("gp_open_port_and_transition_nfc_mode",
              [&](ErrorInfo *e) { return m_Wrapper.openPortAndTransitionNfcMode(port, e); })) {
        m_Report.fail("session.open", format("gp_open_port_and_transition_nfc_mode(\"%s\") answered false %s; the "
                                             "session stops",
                                             port, recordText(m_Last).c_str()));
        return false;
    }
    // What the library's open does next; when it fails the library closes the port again.
    if (!call("gp_set_timeout", [&](ErrorInfo *e) { return m_Wrapper.setTimeout(6000, e); })) {
        m_Report.fail("session.open", format("gp_set_timeout(6000) right after the open answered false %s: the "
                                             "library's open would fail",
                                             recordText(m_Last).c_str()));
        closeDown(false);
        return false;
    }
    m_Report.pass("session.open", format("port \"%s\" opened, time-out 6000 set", port));
    return true;
}

void PluginSession::timeoutRoundTrip()
{
    const int32_t probe = m_Options.timeoutProbe;
    int32_t read = 0;
    if (!call("gp_set_timeout", [&](ErrorInfo *e) { return m_Wrapper.setTimeout(probe, e); })) {
        m_Report.warn("session.timeout", format("gp_set_timeout(%d) answered false %s", static_cast<int>(probe),
                                                recordText(m_Last).c_str()));
    } else if (!call("gp_get_timeout", [&](ErrorInfo *e) { return m_Wrapper.getTimeout(&read, e); })) {
        m_Report.warn("session.timeout", format("gp_get_timeout answered false %s", recordText(m_Last).c_str()));
    } else if (read != probe) {
        m_Report.warn("session.timeout", format("gp_set_timeout(%d), then gp_get_timeout gave %d",
                                                static_cast<int>(probe), static_cast<int>(read)));
    } else {
        m_Report.pass("session.timeout", format("gp_set_timeout(%d), gp_get_timeout gave it back",
                                                static_cast<int>(probe)));
    }
    call("gp_set_timeout", [&](ErrorInfo *e) { return m_Wrapper.setTimeout(6000, e); });
}

void PluginSession::statusCall()
{
    uint32_t word = 0, pollType = 0, listenType = 0, size = 0;
    uint8_t *data = nullptr;
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    const bool result = call("gp_get_driver_status", [&](ErrorInfo *e) {
        return m_Wrapper.getDriverStatus(&word, &pollType, &listenType, &size, &data, e);
    });
    m_StatusTimes.push_back(millisecondsSince(start));
    if (!result) {
        ++m_StatusFalse;
        return;
    }
    const NfcStatusClassification outcome = NfcDriverStatus::classify(word);
    ++m_Outcomes[outcome.status];
    m_UnexaminedBits |= word & 0xF00FFC30u;
    if (outcome.errorCode == KORVAT_NFC_E_DRIVER_STATUS) {
        if (std::find(m_IllegalWords.begin(), m_IllegalWords.end(), word) == m_IllegalWords.end()) {
            m_IllegalWords.push_back(word);
        }
    } else if (outcome.status == DRIVER_STATUS_ERROR) {
        if (std::find(m_ErrorWords.begin(), m_ErrorWords.end(), word) == m_ErrorWords.end()) {
            m_ErrorWords.push_back(word);
        }
    }
    if (outcome.status == DRIVER_STATUS_FIND) {
        checkFoundTarget(pollType, size, data);
    }
}

void PluginSession::checkFoundTarget(uint32_t cardType, uint32_t size, const uint8_t *data)
{
    if (!NfcTargetDecoder::hasRecord(cardType)) {
        m_Report.fail("status.data", format("a target of PollModeCardType %u was reported found: no record exists "
                                            "for it, the library posts KORVAT_NFC_E_UNSUPPORTED_TARGET",
                                            cardType));
        return;
    }
    uint32_t fixed = 0, lengthByte = 0;
    const char *lengthName = "";
    layoutOf(cardType, fixed, lengthByte, lengthName);
    if (size > LargestBlock) {
        m_Report.fail("status.data", format("card type %u: AdditionalDataSize %u is larger than any block can be "
                                            "(%u), not read",
                                            cardType, size, LargestBlock));
        return;
    }
    if (!isReadableRange(data, size)) {
        m_Report.fail("status.data", format("card type %u: the %u bytes declared at AdditionalData cannot be read",
                                            cardType, size));
        return;
    }
    // The library reads the block inside its declared size only; the checker's copy ends right
    // before an inaccessible page, so a read past it would fault here and not go unnoticed.
    GuardedBuffer copy(size);
    if (!copy.ready()) {
        m_Report.warn("status.data", "no memory for the copy of the additional data");
        return;
    }
    if (size != 0) {
        std::memcpy(copy.data(), data, size);
    }
    switch (NfcTargetDecoder::check(cardType, copy.data(), size)) {
    case NfcTargetCheck::Valid: {
        GuardedBuffer record(NfcTargetDecoder::blockSize(cardType, copy.data()));
        if (record.ready()) {
            NfcTargetDecoder::fill(cardType, copy.data(), record.data());
        }
        const uint32_t target = NfcTargetDecoder::targetNumber(copy.data());
        m_Report.pass("status.data", format("card type %u, target_number %u: %u bytes as its kind needs (%u + %s %u), "
                                            "record of %u bytes",
                                            cardType, target, size, fixed, lengthName, copy.data()[lengthByte],
                                            static_cast<unsigned>(NfcTargetDecoder::recordSize(cardType, copy.data()))));
        if (!m_Accessed) {
            m_AccessPending = true;
            m_PendingType = cardType;
            m_PendingTarget = target;
        }
        return;
    }
    case NfcTargetCheck::IllegalNfcid1Size:
        m_Report.fail("status.data", format("card type 1: NFCID1_size %u is above 10 (the library posts "
                                            "KORVAT_NFC_E_DRIVER_STATUS)",
                                            copy.data()[GP_AD_A_NFCID1_SIZE]));
        return;
    default:
        if (size < fixed) {
            m_Report.fail("status.data", format("card type %u: AdditionalDataSize %u is shorter than the fixed part "
                                                "(%u bytes) of its kind",
                                                cardType, size, fixed));
        } else {
            m_Report.fail("status.data", format("card type %u: AdditionalDataSize %u, its kind needs %u + %s %u = %u "
                                                "(the library posts KORVAT_NFC_E_DRIVER_STATUS)",
                                                cardType, size, fixed, lengthName, copy.data()[lengthByte],
                                                fixed + copy.data()[lengthByte]));
        }
        return;
    }
}

void PluginSession::deviceAccess(uint32_t cardType, uint32_t targetNumber)
{
    m_Accessed = true;
    if (!call("gp_start_device_access",
              [&](ErrorInfo *e) { return m_Wrapper.startDeviceAccess(targetNumber, e); })) {
        m_Report.warn("session.start_access", format("gp_start_device_access(%u) answered false %s", targetNumber,
                                                     recordText(m_Last).c_str()));
        return;
    }
    m_Report.pass("session.start_access", format("gp_start_device_access(%u)", targetNumber));
    statusCall();
    thru(cardType);
    if (!call("gp_stop_device_access", [&](ErrorInfo *e) { return m_Wrapper.stopDeviceAccess(0, e); })) {
        m_Report.warn("session.stop_access", format("gp_stop_device_access(0) answered false %s",
                                                    recordText(m_Last).c_str()));
    } else {
        m_Report.pass("session.stop_access", "gp_stop_device_access(0)");
    }
}

void PluginSession::thru(uint32_t cardType)
{
    const std::vector<uint8_t> command =
        m_Options.thruCommand.empty() ? harmlessCommand(cardType) : m_Options.thruCommand;
    GuardedBuffer response(m_Options.responseBuffer);
    if (!response.ready()) {
        m_Report.warn("session.thru", "no memory for the response buffer");
        return;
    }
    uint16_t length = 0;
    bool result = false;
    std::string beyond;
    {
        GuardedBuffer::Watch watch(response);
        result = call("gp_read", [&](ErrorInfo *e) {
            return m_Wrapper.read(command.data(), static_cast<uint32_t>(command.size()), response.data(), &length, e);
        });
        beyond = watch.describe();
    }
    const bool overrun = !beyond.empty();
    if (overrun) {
        m_Report.fail("read.length", format("gp_read %s of the %zu-byte response buffer", beyond.c_str(),
                                            response.size()));
    }
    if (!result) {
        m_Report.warn("session.thru", format("gp_read of a %zu-byte command answered false %s", command.size(),
                                             recordText(m_Last).c_str()));
        return;
    }
    ++m_Reads;
    m_LargestResponse = std::max(m_LargestResponse, length);
    m_Report.pass("session.thru", format("gp_read of a %zu-byte command, %u-byte response", command.size(), length));
    if (length > response.size()) {
        m_Report.fail("read.length", format("gp_read set response length %u, larger than the %zu-byte buffer given",
                                            length, response.size()));
    } else if (!overrun) {
        m_Report.pass("read.length", format("largest response %u bytes, within the %zu-byte buffer given", length,
                                            response.size()));
    }
}

void PluginSession::reportStatusRun()
{
    const size_t calls = m_StatusTimes.size();
    std::string tally;
    for (int status : {DRIVER_STATUS_NONE, DRIVER_STATUS_FIND, DRIVER_STATUS_WAITING_ACCESS,
                       DRIVER_STATUS_ENABLE_ACCESS, DRIVER_STATUS_ERROR}) {
        if (m_Outcomes[status] != 0) {
            tally += format("%s%s %d", tally.empty() ? "" : ", ", outcomeName(status), m_Outcomes[status]);
        }
    }
    if (m_StatusFalse != 0) {
        tally += format("%sanswered false %d", tally.empty() ? "" : ", ", m_StatusFalse);
        m_Report.warn("status.calls", format("%zu calls: %s", calls, tally.c_str()));
    } else {
        m_Report.pass("status.calls", format("%zu calls: %s", calls, tally.c_str()));
    }
    for (uint32_t word : m_IllegalWords) {
        const uint32_t state = word & GP_STATUS_STATE_MASK;
        const char *why = (state == 0 || (state >= 3 && state <= 13))       ? "its state code (bits 0-3) is illegal"
                          : (word & 0x300u) == 0x300u                         ? "access enabled and waiting both set"
                                                                               : "both connect report bits set";
        m_Report.fail("status.word", format("DriverStatus %08Xh: %s; the library posts KORVAT_NFC_E_DRIVER_STATUS",
                                            word, why));
    }
    for (uint32_t word : m_ErrorWords) {
        m_Report.warn("status.word", format("DriverStatus %08Xh reports an error (card, device or listen mode); the "
                                            "application receives an error message",
                                            word));
    }
    if (m_UnexaminedBits != 0) {
        m_Report.warn("status.word", format("bits %08Xh are set, which the library does not examine", m_UnexaminedBits));
    }
    if (m_IllegalWords.empty() && m_ErrorWords.empty() && calls > static_cast<size_t>(m_StatusFalse)) {
        m_Report.pass("status.word", "every DriverStatus word classifies to a known outcome");
    }
    if (calls == 0) {
        return;
    }
    std::vector<double> sorted = m_StatusTimes;
    std::sort(sorted.begin(), sorted.end());
    const double median = calls % 2 ? sorted[calls / 2] : (sorted[calls / 2 - 1] + sorted[calls / 2]) / 2;
    const double maximum = sorted.back();
    m_Report.figure("status_calls", static_cast<double>(calls));
    m_Report.figure("status_median_ms", median);
    m_Report.figure("status_max_ms", maximum);
    if (m_Reads != 0) {
        m_Report.figure("response_buffer_bytes", static_cast<double>(m_Options.responseBuffer));
        m_Report.figure("largest_response_bytes", m_LargestResponse);
    }
    const std::string times = format("median %.3f ms, maximum %.3f ms over %zu calls (bound %.0f ms; the library "
                                     "holds its lock during the call)",
                                     median, maximum, calls, m_Options.statusBoundMs);
    if (maximum > m_Options.statusBoundMs) {
        m_Report.fail("status.time", "gp_get_driver_status too slow: " + times);
    } else {
        m_Report.pass("status.time", times);
    }
}

void PluginSession::closeDown(bool polling)
{
    if (polling) {
        if (!call("gp_stop_poll_mode", [&](ErrorInfo *e) { return m_Wrapper.stopPollMode(e); })) {
            m_Report.fail("session.stop_poll", format("gp_stop_poll_mode answered false %s", recordText(m_Last).c_str()));
        } else {
            m_Report.pass("session.stop_poll", "gp_stop_poll_mode");
        }
    }
    if (!call("gp_close_port", [&](ErrorInfo *e) { return m_Wrapper.closePort(e); })) {
        m_Report.fail("session.close", format("gp_close_port answered false %s", recordText(m_Last).c_str()));
        return;
    }
    m_Report.pass("session.close", "gp_close_port");
    // One call that a plug-in should refuse, so that its false path is seen at least once.
    call("gp_close_port", [&](ErrorInfo *e) { return m_Wrapper.closePort(e); });
    if (m_SilentFalse == 0) {
        m_Report.pass("error.record", format("every false answer (%d, a second gp_close_port included) came with the "
                                             "error record written",
                                             m_FalseWithRecord));
    }
}
