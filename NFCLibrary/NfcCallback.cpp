#include "NfcCallback.h"

#include <cstring>

#include "NfcCriticalSection.h"
#include "NfcEventQueue.h"
#include "NfcLifetime.h"
#include "NfcLogProxy.h"
#include "NfcMessageRecords.h"
#include "NfcPluginWrapper.h"
#include "NfcStatusCall.h"
#include "NfcTargetDecoder.h"
#include "korvat_nfc.h"

static const char NFC_SOURCE_FILE[] = "..\\..\\NFCLibrary\\NfcCallback.cpp";

NfcCallback::NfcCallback()
    : m_PluginWrapper(nullptr), m_EventQueue(nullptr), m_EventNotification(false), m_StatusEvent(nullptr),
      m_TargetPresent(false), m_PresentTarget(0), m_LostReported(false), m_LostTarget(0), m_LastFindTick(0),
      m_StatusRead(false), m_WindowHandle(nullptr), m_FindMessage(0), m_EnableMessage(0),
      m_ThreadHandle(nullptr), m_StopRequested(0), m_TargetNumber(0), m_TargetInformation(nullptr),
      m_CurrentDriverStatus(DRIVER_STATUS_NONE), m_StatusErrorInfo{0, 0}, m_PreviousDriverStatus(DRIVER_STATUS_NONE),
      m_PreviousStatusErrorInfo{0, 0}, m_DriverStatus(0), m_PollModeCardType(0), m_ListenModeCardType(0),
      m_AdditionalDataSize(0), m_AdditionalData(nullptr)
{
}

NfcCallback::~NfcCallback()
{
    NfcLifetime::releaseThreadEvents(m_ThreadEvents);
    NfcStatusCall::release();
}

bool NfcCallback::setPollCallbackParameters(HWND handle, const char *msg_str_of_find, const char *msg_str_of_enable,
                                            ErrorInfo *error)
{
    if (error == nullptr) {
        return false;
    }
    m_FindMessage = RegisterWindowMessageA(msg_str_of_find);
    m_EnableMessage = RegisterWindowMessageA(msg_str_of_enable);
    if (m_FindMessage == 0 || m_EnableMessage == 0) {
        NFC_LOG(0, "ERROR! : RegisterWindowMessage(%s)\n", msg_str_of_find);
        error->error_code = KORVAT_NFC_E_REGISTER_MESSAGE;
        return false;
    }
    m_WindowHandle = handle;
    return true;
}

bool NfcCallback::startThread(ErrorInfo *error)
{
    if (error == nullptr) {
        return false;
    }
    // With the event queue on, the queue alone may take the events.
    if (m_WindowHandle == nullptr && !(m_EventQueue != nullptr && m_EventQueue->enabled())) {
        NFC_LOG(0, "ERROR! : KORVAT_NFC_E_NO_CALLBACK_PARAM\n");
        error->error_code = KORVAT_NFC_E_NO_CALLBACK_PARAM;
        return false;
    }
    if (m_ThreadHandle != nullptr) {
        NFC_LOG(0, "WARNING! : Thread is already.\n");
        return false;
    }
    if (!NfcMessageRecords::prepare()) {
        error->error_code = KORVAT_NFC_E_OUT_OF_MEMORY;
        return false;
    }
    if (!NfcStatusCall::prepare()) {
        // A process that forbids code made at run time: the status call is then made directly,
        // and an unload can no longer give a hung status call up.
        NFC_LOG(0, "WARNING! : The status call cannot be given up at unload (error %lu).\n", GetLastError());
    }
    m_StopRequested = 0;
    m_TargetPresent = false;
    m_LostReported = false;
    return NfcLifetime::startThread(m_ThreadEvents, &NfcCallback::threadBody, this, m_ThreadHandle, error);
}

bool NfcCallback::stopThread()
{
    if (m_ThreadHandle == nullptr) {
        return true;
    }
    m_StopRequested = 1;
    if (!NfcLifetime::stopThread(m_ThreadEvents, m_ThreadHandle)) {
        // It may still run a cycle's code: the handle is kept, the stop stays requested (the
        // stop event stays set, so the thread leaves its loop as soon as it runs again), and the
        // caller must not touch the plug-in. A later stop waits for it again.
        return false;
    }
    // The thread's last line, written here: it must not wait for the log before "finished".
    NFC_LOG(0, "++++ End Thread.\n");
    m_StopRequested = 0;
    return true;
}

void NfcCallback::threadBody(void *callback)
{
    static_cast<NfcCallback *>(callback)->threadLoop();
}

bool NfcCallback::stopPending() const
{
    return m_StopRequested != 0 || WaitForSingleObject(m_ThreadEvents.stop, 0) == WAIT_OBJECT_0;
}

void NfcCallback::threadLoop()
{
    // Once a stop is pending the thread writes no more lines and leaves at once: a log write
    // that blocks (a file on a share that does not answer) must not delay its "finished".
    NFC_LOG(0, "++++ Start Thread.\n");
    while (!stopPending()) {
        m_CurrentDriverStatus = DRIVER_STATUS_NONE;
        m_StatusErrorInfo.error_code = 0;
        m_StatusErrorInfo.detail_code = 0;
        {
            // A stopper holds the lock while it waits for this thread: give the cycle up then.
            NfcCriticalSection guard(m_ThreadEvents.stop);
            if (!guard.owns() || stopPending()) {
                break;
            }
            runCycle();
        }
        if (stopPending()) {
            break;
        }
        NFC_LOG(0, "---- Sleep Thread.\n");
        if (m_StatusEvent != nullptr) {
            // The plug-in's signal or the stop, whichever comes first; the stop is listed first
            // so that it wins when both are set.
            const HANDLE events[2] = {m_ThreadEvents.stop, m_StatusEvent};
            const DWORD woken = WaitForMultipleObjects(2, events, FALSE, nextWait());
            if (woken != WAIT_OBJECT_0 + 1 && woken != WAIT_TIMEOUT) {
                break;
            }
        } else if (WaitForSingleObject(m_ThreadEvents.stop, nextWait()) != WAIT_TIMEOUT) {
            break;
        }
        NFC_LOG(0, "++++ Wakeup Thread.\n");
    }
}

DWORD NfcCallback::nextWait() const
{
    if (!m_EventNotification) {
        return CyclePeriodMilliseconds;
    }
    if (m_StatusEvent == nullptr) {
        return StatusPollMilliseconds;
    }
    if (m_TargetPresent && m_PreviousDriverStatus == DRIVER_STATUS_FIND) {
        // Until the find message of the target that stays is due again.
        const ULONGLONG elapsed = GetTickCount64() - m_LastFindTick;
        return elapsed >= CyclePeriodMilliseconds ? 0 : static_cast<DWORD>(CyclePeriodMilliseconds - elapsed);
    }
    // Nothing due: only the plug-in's signal (or the stop) wakes the thread.
    return INFINITE;
}

bool NfcCallback::findDue() const
{
    // A target that was not being found in the last cycle is announced at once.
    if (!m_EventNotification || !m_TargetPresent || m_PreviousDriverStatus != DRIVER_STATUS_FIND ||
        m_AdditionalData == nullptr || m_AdditionalDataSize < GP_AD_TARGET_NUMBER + 4) {
        return true;
    }
    if (NfcTargetDecoder::targetNumber(m_AdditionalData) != m_PresentTarget) {
        return true;
    }
    return GetTickCount64() - m_LastFindTick >= CyclePeriodMilliseconds;
}

void NfcCallback::runCycle()
{
    readDriverStatus();
    if (m_EventNotification && m_StatusRead && NfcDriverStatus::departed(m_DriverStatus)) {
        // Not a card error for the application: the departure is posted instead, and the next
        // real error is compared with no error.
        postLost();
        m_PreviousDriverStatus = DRIVER_STATUS_NONE;
        m_PreviousStatusErrorInfo.error_code = 0;
        m_PreviousStatusErrorInfo.detail_code = 0;
        return;
    }
    switch (m_CurrentDriverStatus) {
    case DRIVER_STATUS_FIND:
        if (findDue()) {
            postFind();
        } else {
            // The same target, its repeat not due yet: nothing posted, and the cycle counts as
            // the find it is.
            m_PreviousDriverStatus = m_CurrentDriverStatus;
            m_PreviousStatusErrorInfo = m_StatusErrorInfo;
            return;
        }
        break;
    case DRIVER_STATUS_ENABLE_ACCESS:
    case DRIVER_STATUS_WAITING_ACCESS:
        if (m_CurrentDriverStatus != m_PreviousDriverStatus) {
            postAccess();
        }
        break;
    default:
        break;
    }
    if (m_CurrentDriverStatus == DRIVER_STATUS_ERROR &&
        (m_StatusErrorInfo.error_code != m_PreviousStatusErrorInfo.error_code ||
         m_StatusErrorInfo.detail_code != m_PreviousStatusErrorInfo.detail_code)) {
        postError();
    }
    m_PreviousDriverStatus = m_CurrentDriverStatus;
    m_PreviousStatusErrorInfo = m_StatusErrorInfo;
}

void NfcCallback::readDriverStatus()
{
    // The plug-in is called through NfcStatusCall, so that an unload can give the call up; a
    // missing entry is reported by the wrapper.
    const gp_get_driver_status_t entry = m_PluginWrapper != nullptr ? m_PluginWrapper->driverStatusEntry() : nullptr;
    bool ok = false;
    m_StatusRead = false;
    if (entry != nullptr) {
        ok = NfcStatusCall::call(entry, &m_DriverStatus, &m_PollModeCardType, &m_ListenModeCardType,
                                 &m_AdditionalDataSize, &m_AdditionalData, &m_StatusErrorInfo);
    } else if (m_PluginWrapper != nullptr) {
        ok = m_PluginWrapper->getDriverStatus(&m_DriverStatus, &m_PollModeCardType, &m_ListenModeCardType,
                                              &m_AdditionalDataSize, &m_AdditionalData, &m_StatusErrorInfo);
    }
    if (!ok) {
        NFC_LOG(0, "ERROR! IOCTL_KORVAT_GET_DRIVER_STATUS failed.\n");
        m_CurrentDriverStatus = DRIVER_STATUS_ERROR;
        return;
    }
    m_StatusRead = true;
    NFC_LOG(0, "INFORMATION! IOCTL_KORVAT_GET_DRIVER_STATUS success.\n");
    NFC_LOG(0, "INFORMATION! DriverStatus       = %08Xh\n", m_DriverStatus);
    NFC_LOG(0, "INFORMATION! PollModeCardType   = %08Xh\n", m_PollModeCardType);
    NFC_LOG(0, "INFORMATION! ListenModeCardType = %08Xh\n", m_ListenModeCardType);
    NFC_LOG(0, "INFORMATION! AdditionalDataSize = %08Xh\n", m_AdditionalDataSize);

    const NfcStatusClassification result = NfcDriverStatus::classify(m_DriverStatus);
    for (int i = 0; i < result.messageCount; ++i) {
        NFC_LOG(0, "%s", result.messages[i]);
    }
    m_CurrentDriverStatus = result.status;
    if (result.errorCode != 0) {
        m_StatusErrorInfo.error_code = result.errorCode;
    }
}

void NfcCallback::failCycle(uint32_t errorCode)
{
    m_CurrentDriverStatus = DRIVER_STATUS_ERROR;
    m_StatusErrorInfo.error_code = errorCode;
}

void NfcCallback::postFind()
{
    if (m_AdditionalData == nullptr) {
        return;
    }
    m_TargetInformation = nullptr;
    if (m_CurrentDriverStatus != DRIVER_STATUS_FIND) {
        NFC_LOG(0, "ASSERT! m_CurrentDriverStatus error.\n");
        return;
    }
    switch (m_PollModeCardType) {
    case DEVICE_TYPE_NFC_14443A_18092_106K:
        makeTarget14443A();
        break;
    case DEVICE_TYPE_NFC_18092_212K:
    case DEVICE_TYPE_NFC_18092_424K:
        makeTarget18092();
        break;
    case DEVICE_TYPE_NFC_14443B_106K:
        makeTarget14443B();
        break;
    default:
        failCycle(KORVAT_NFC_E_UNSUPPORTED_TARGET);
        break;
    }
    if (m_CurrentDriverStatus == DRIVER_STATUS_ERROR) {
        return;
    }
    m_TargetPresent = true;
    m_LostReported = false;
    m_PresentTarget = m_TargetNumber;
    m_LastFindTick = GetTickCount64();
    queue(KORVAT_NFC_EVENT_TARGET_FOUND, m_TargetNumber, m_TargetInformation,
          NfcTargetDecoder::recordSize(m_PollModeCardType, m_AdditionalData));
    if (!hasWindow()) {
        return;
    }
    NFC_LOG(1, "INFORMATION! PostMessage(find)\n");
    if (!PostMessageA(m_WindowHandle, m_FindMessage, KORVAT_NFC_FIND_TARGET,
                      reinterpret_cast<LPARAM>(m_TargetInformation))) {
        NFC_LOG(0, "ASSERT! PostMessage() failed.\n");
    }
}

bool NfcCallback::hasWindow() const
{
    if (m_WindowHandle != nullptr) {
        return true;
    }
    if (m_EventQueue == nullptr || !m_EventQueue->enabled()) {
        NFC_LOG(0, "ASSERT! poll callback parameters.\n");
    }
    return false;
}

void NfcCallback::queue(uint32_t kind, uint32_t targetNumber, const uint8_t *data, size_t size)
{
    if (m_EventQueue == nullptr || !m_EventQueue->enabled()) {
        return;
    }
    KORVAT_NFC_EVENT event;
    std::memset(&event, 0, sizeof(event));
    event.kind = kind;
    event.target_number = targetNumber;
    if (kind == KORVAT_NFC_EVENT_ERROR) {
        event.error_code = m_StatusErrorInfo.error_code;
        event.detail_code = m_StatusErrorInfo.detail_code;
    }
    if (data != nullptr && size <= sizeof(event.data)) {
        std::memcpy(event.data, data, size);
        event.data_size = static_cast<uint32_t>(size);
    }
    m_EventQueue->push(event);
}

void NfcCallback::postLost()
{
    uint32_t number = 0;
    if (!NfcDriverStatus::departedTarget(m_AdditionalData, m_AdditionalDataSize, m_TargetPresent, m_PresentTarget,
                                         number)) {
        NFC_LOG(0, "INFORMATION! A departure without a target announced; nothing is posted.\n");
        return;
    }
    if (!m_TargetPresent && m_LostReported && number == m_LostTarget) {
        return;  // the same departure read again
    }
    m_TargetPresent = false;
    m_LostReported = true;
    m_LostTarget = number;
    NFC_LOG(0, "INFORMATION! Target %08xh departed: posted as lost, not as a card error.\n", number);
    queue(KORVAT_NFC_EVENT_TARGET_LOST, number, nullptr, 0);
    if (!hasWindow()) {
        return;
    }
    NFC_LOG(1, "INFORMATION! PostMessage(lost) target_number = %08xh\n", number);
    if (!PostMessageA(m_WindowHandle, m_FindMessage, KORVAT_NFC_LOST_TARGET, static_cast<LPARAM>(number))) {
        NFC_LOG(0, "ASSERT! PostMessage() failed.\n");
    }
}

void NfcCallback::postAccess()
{
    if (m_CurrentDriverStatus == DRIVER_STATUS_ENABLE_ACCESS || m_CurrentDriverStatus == DRIVER_STATUS_WAITING_ACCESS) {
        queue(m_CurrentDriverStatus == DRIVER_STATUS_ENABLE_ACCESS ? KORVAT_NFC_EVENT_ACCESS_ENABLED
                                                                    : KORVAT_NFC_EVENT_ACCESS_WAITING,
              m_TargetNumber, nullptr, 0);
    }
    if (!hasWindow()) {
        return;
    }
    if (m_CurrentDriverStatus == DRIVER_STATUS_ENABLE_ACCESS) {
        NFC_LOG(1, "INFORMATION! PostMessage(ENABLE_ACCESS_TO_TARGET) target_number = %08xh\n", m_TargetNumber);
        if (!PostMessageA(m_WindowHandle, m_EnableMessage, ENABLE_ACCESS_TO_TARGET, m_TargetNumber)) {
            NFC_LOG(0, "ASSERT! PostMessage(ENABLE_ACCESS_TO_TARGET) failed.\n");
        }
    } else if (m_CurrentDriverStatus == DRIVER_STATUS_WAITING_ACCESS) {
        NFC_LOG(1, "INFORMATION! PostMessage(WAITING_ACCESS_TO_TARGET) target_number = %08xh\n", m_TargetNumber);
        if (!PostMessageA(m_WindowHandle, m_EnableMessage, WAITING_ACCESS_TO_TARGET, m_TargetNumber)) {
            NFC_LOG(0, "ASSERT! PostMessage(WAITING_ACCESS_TO_TARGET) failed.\n");
        }
    } else {
        m_CurrentDriverStatus = DRIVER_STATUS_ERROR;
        NFC_LOG(0, "ASSERT! m_CurrentDriverStatus error.\n");
    }
}

void NfcCallback::postError()
{
    queue(KORVAT_NFC_EVENT_ERROR, 0, nullptr, 0);
    if (!hasWindow()) {
        return;
    }
    // The pair the message points to is a copy in a record slot: it outlives the next cycle and
    // the DLL.
    ErrorInfo *pair = reinterpret_cast<ErrorInfo *>(NfcMessageRecords::claim(sizeof(ErrorInfo)));
    if (pair == nullptr) {
        return;
    }
    *pair = m_StatusErrorInfo;
    NFC_LOG(1, "INFORMATION! PostMessage(error) Error code = %08xh,%08xh \n", m_StatusErrorInfo.error_code,
            m_StatusErrorInfo.detail_code);
    if (!PostMessageA(m_WindowHandle, m_FindMessage, KORVAT_NFC_FIND_ERROR, reinterpret_cast<LPARAM>(pair))) {
        NFC_LOG(0, "ASSERT! PostMessage() failed.\n");
    }
}

bool NfcCallback::makeTarget()
{
    switch (NfcTargetDecoder::check(m_PollModeCardType, m_AdditionalData, m_AdditionalDataSize)) {
    case NfcTargetCheck::Valid:
        break;
    case NfcTargetCheck::IllegalNfcid1Size:
        NFC_LOG(0, "ERROR! Illegal driver status. NFCID1_SIZE = %d\n", m_AdditionalData[GP_AD_A_NFCID1_SIZE]);
        failCycle(KORVAT_NFC_E_DRIVER_STATUS);
        return false;
    default:
        NFC_LOG(0, "ERROR! Illegal driver status.\n");
        failCycle(KORVAT_NFC_E_DRIVER_STATUS);
        return false;
    }
    const size_t size = NfcTargetDecoder::recordSize(m_PollModeCardType, m_AdditionalData);
    m_TargetInformation = NfcMessageRecords::claim(size);
    if (m_TargetInformation == nullptr) {
        NFC_LOG(0, "ERROR! Memory allocation failed.\n");
        failCycle(KORVAT_NFC_E_OUT_OF_MEMORY);
        return false;
    }
    NfcTargetDecoder::fill(m_PollModeCardType, m_AdditionalData, m_TargetInformation);
    return true;
}

void NfcCallback::makeTarget14443A()
{
    if (!makeTarget()) {
        return;
    }
    const DEVICE_DATA_NFC_14443A_18092_106K *record =
        reinterpret_cast<const DEVICE_DATA_NFC_14443A_18092_106K *>(m_TargetInformation);
    NFC_LOG(1, "    target_device = %08xh\n", record->target_device);
    NFC_LOG(1, "    DEVICE_TYPE_NFC_14443A_18092_106K\n");
    NFC_LOG(1, "    target_number = %08xh\n", record->target_number);
    NFC_LOG(1, "    sens_res = %04xh\n", record->sens_res);
    NFC_LOG(1, "    sel_res = %02xh\n", record->sel_res);
    NFC_LOG(1, "    NFCID1_size = %02xh\n", record->NFCID1_size);
    NFC_LOG(1, "    NFCID1 = \n");
    NFC_HEX_DUMP(record->NFCID1, sizeof(record->NFCID1));
    NFC_LOG(1, "    ATS_size = %02xh\n", record->ATS_size);
    NFC_LOG(1, "    ATS = \n");
    NFC_HEX_DUMP(record->ATS, record->ATS_size);
    m_TargetNumber = record->target_number;
}

void NfcCallback::makeTarget14443B()
{
    if (!makeTarget()) {
        return;
    }
    const DEVICE_DATA_NFC_14443B_106K *record =
        reinterpret_cast<const DEVICE_DATA_NFC_14443B_106K *>(m_TargetInformation);
    NFC_LOG(1, "    target_device = %08xh\n", record->target_device);
    NFC_LOG(1, "    DEVICE_TYPE_NFC_14443B_106K\n");
    NFC_LOG(1, "    target_number = %08xh\n", record->target_number);
    NFC_LOG(1, "    ATQB = \n");
    NFC_HEX_DUMP(record->ATQB, sizeof(record->ATQB));
    NFC_LOG(1, "    ATTRIB_size = %08xh\n", record->ATTRIB_size);
    NFC_LOG(1, "    ATTRIB = \n");
    NFC_HEX_DUMP(record->ATTRIB, record->ATTRIB_size);
    m_TargetNumber = record->target_number;
}

void NfcCallback::makeTarget18092()
{
    if (!makeTarget()) {
        return;
    }
    const DEVICE_DATA_NFC_18092_212_424K *record =
        reinterpret_cast<const DEVICE_DATA_NFC_18092_212_424K *>(m_TargetInformation);
    NFC_LOG(1, "    target_device = %08xh\n", record->target_device);
    NFC_LOG(1, "    DEVICE_DATA_NFC_18092_212_424K\n");
    NFC_LOG(1, "    id = %02xh\n", record->id);
    NFC_LOG(1, "    target_number = %08xh\n", record->target_number);
    NFC_LOG(1, "    NFCID2 = \n");
    NFC_HEX_DUMP(record->NFCID2, sizeof(record->NFCID2));
    NFC_LOG(1, "    Pad = \n");
    NFC_HEX_DUMP(record->Pad, sizeof(record->Pad));
    NFC_LOG(1, "    RD_size = %02xh\n", record->RD_size);
    NFC_LOG(1, "    RD = \n");
    NFC_HEX_DUMP(record->RD, record->RD_size);
    m_TargetNumber = record->target_number;
}

bool NfcCallback::handOverStatusEvent(gp_set_status_event_t entry)
{
    if (!m_EventNotification || m_StatusEvent != nullptr || m_ThreadHandle != nullptr) {
        return false;
    }
    if (entry == nullptr) {
        NFC_LOG(0, "INFORMATION! : The plug-in has no gp_set_status_event: its status is read every %lu ms.\n",
                static_cast<unsigned long>(StatusPollMilliseconds));
        return false;
    }
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr) {
        NFC_LOG(0, "ERROR! : CreateEvent() failed (%lu): the status is read every %lu ms.\n", GetLastError(),
                static_cast<unsigned long>(StatusPollMilliseconds));
        return false;
    }
    ErrorInfo error = {0, 0};
    if (entry(event, &error) == 0) {
        // The plug-in did not take it: it is closed again, and the status is polled.
        NFC_LOG(0, "ERROR! : gp_set_status_event failed (%08xh, %08xh): the status is read every %lu ms.\n",
                error.error_code, error.detail_code, static_cast<unsigned long>(StatusPollMilliseconds));
        CloseHandle(event);
        return false;
    }
    NFC_LOG(0, "INFORMATION! : The plug-in signals its status changes.\n");
    m_StatusEvent = event;
    return true;
}

void NfcCallback::withdrawStatusEvent(gp_set_status_event_t entry)
{
    if (m_StatusEvent == nullptr) {
        return;
    }
    ErrorInfo error = {0, 0};
    if (entry != nullptr && entry(nullptr, &error) != 0) {
        CloseHandle(m_StatusEvent);
    } else {
        // The plug-in may still set it: the handle stays open for the process's life.
        NFC_LOG(0, "ERROR! : gp_set_status_event(NULL) failed (%08xh, %08xh): the event is left open.\n",
                error.error_code, error.detail_code);
    }
    m_StatusEvent = nullptr;
}
