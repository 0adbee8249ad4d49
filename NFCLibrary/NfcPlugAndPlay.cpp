#include "NfcPlugAndPlay.h"

#include <cstring>
#include <new>

#include "NfcCriticalSection.h"
#include "NfcEventQueue.h"
#include "NfcLogProxy.h"
#include "NfcMessageRecords.h"
#include "ReaderPortList.h"

static const char NFC_SOURCE_FILE[] = "..\\..\\NFCLibrary\\NfcPlugAndPlay.cpp";

NfcPlugAndPlay::NfcPlugAndPlay()
    : m_EventQueue(nullptr), m_WindowHandle(nullptr), m_FindMessage(0), m_LossMessage(0), m_ThreadHandle(nullptr)
{
}

NfcPlugAndPlay::~NfcPlugAndPlay()
{
    NfcLifetime::releaseThreadEvents(m_ThreadEvents);
}

bool NfcPlugAndPlay::setCallbackParameters(HWND handle, const char *msg_str_of_find, const char *msg_str_of_loss,
                                           ErrorInfo *error)
{
    const UINT find = RegisterWindowMessageA(msg_str_of_find);
    const UINT loss = RegisterWindowMessageA(msg_str_of_loss);
    if (find == 0 || loss == 0) {
        NFC_LOG(0, "ERROR! : RegisterWindowMessage(%s)\n", find == 0 ? msg_str_of_find : msg_str_of_loss);
        error->error_code = KORVAT_NFC_E_REGISTER_MESSAGE;
        return false;
    }
    // The watcher reads these under the library lock, which the caller holds.
    m_FindMessage = find;
    m_LossMessage = loss;
    m_WindowHandle = handle;
    return true;
}

bool NfcPlugAndPlay::start(const std::vector<PluginPortLister> &listers, ErrorInfo *error)
{
    // A stop that failed left its watcher with the stop pending: that stop is completed first,
    // and while the watcher may still run the start fails as the stop did.
    if (m_ThreadHandle != nullptr && WaitForSingleObject(m_ThreadEvents.stop, 0) == WAIT_OBJECT_0 && !stop()) {
        NFC_LOG(0, "ERROR! : The watcher of the last stop may still run: no new one is started.\n");
        error->error_code = KORVAT_NFC_E_THREAD_CREATE;
        return false;
    }
    if (m_ThreadHandle != nullptr) {
        NFC_LOG(0, "WARNING! : Plug-and-play is already watching.\n");
        return true;
    }
    if (m_WindowHandle == nullptr && !(m_EventQueue != nullptr && m_EventQueue->enabled())) {
        NFC_LOG(0, "ERROR! : KORVAT_NFC_E_NO_CALLBACK_PARAM\n");
        error->error_code = KORVAT_NFC_E_NO_CALLBACK_PARAM;
        return false;
    }
    if (!NfcMessageRecords::prepare()) {
        error->error_code = KORVAT_NFC_E_OUT_OF_MEMORY;
        return false;
    }
    if (listers.empty()) {
        NFC_LOG(0, "WARNING! : No plug-in lists its ports: plug-and-play reports no reader.\n");
    }
    m_Listers = listers;
    m_Present.clear();
    if (!NfcLifetime::startThread(m_ThreadEvents, &NfcPlugAndPlay::threadBody, this, m_ThreadHandle, error)) {
        m_Listers.clear();
        return false;
    }
    return true;
}

bool NfcPlugAndPlay::stop()
{
    if (m_ThreadHandle == nullptr) {
        return true;
    }
    if (!NfcLifetime::stopThread(m_ThreadEvents, m_ThreadHandle)) {
        return false;
    }
    // Written here, not by the thread: it must not wait for the log before "finished".
    NFC_LOG(0, "++++ End plug-and-play thread.\n");
    m_Listers.clear();
    m_Present.clear();
    return true;
}

void NfcPlugAndPlay::threadBody(void *watcher)
{
    static_cast<NfcPlugAndPlay *>(watcher)->threadLoop();
}

void NfcPlugAndPlay::threadLoop()
{
    const HANDLE stopEvent = m_ThreadEvents.stop;
    while (WaitForSingleObject(stopEvent, 0) != WAIT_OBJECT_0) {
        {
            // A stopper holds the lock while it waits for this thread: the look is given up then.
            NfcCriticalSection guard(stopEvent, false);
            if (!guard.owns() || WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0) {
                break;
            }
            watch();
        }
        if (WaitForSingleObject(stopEvent, WatchPeriodMilliseconds) != WAIT_TIMEOUT) {
            break;
        }
    }
}

bool NfcPlugAndPlay::readPorts(const PluginPortLister &lister, std::vector<KORVAT_NFC_READER_RECORD> &readers)
{
    // Asked for the size first, then again with room; a list that grows in between is asked for
    // once more.
    std::vector<char> buffer;
    uint32_t needed = 0;
    bool written = false;  // the last answer fitted the room given, so the list is in buffer
    for (int attempt = 0; attempt < 3 && !written; ++attempt) {
        ErrorInfo error = {0, 0};
        needed = 0;
        const uint32_t size = static_cast<uint32_t>(buffer.size());
        if (lister.listPorts(size > 0 ? buffer.data() : nullptr, size, &needed, &error) == 0) {
            NFC_LOG(0, "ERROR! : gp_list_ports of category %u failed (%08xh, %08xh).\n", lister.category,
                    error.error_code, error.detail_code);
            return false;
        }
        if (needed > MaximumListBytes) {
            NFC_LOG(0, "ERROR! : gp_list_ports of category %u needs %lu bytes; at most %lu are taken.\n",
                    lister.category, static_cast<unsigned long>(needed), static_cast<unsigned long>(MaximumListBytes));
            return false;
        }
        written = needed <= size;
        if (!written) {
            buffer.assign(needed, '\0');
        }
    }
    if (!written) {
        NFC_LOG(0, "ERROR! : The port list of category %u kept growing.\n", lister.category);
        return false;
    }
    std::vector<reader::PortEntry> entries;
    std::string reason;
    if (!reader::parsePortList(buffer.data(), needed, entries, reason)) {
        NFC_LOG(0, "ERROR! : The port list of category %u is malformed: %s.\n", lister.category, reason.c_str());
        return false;
    }
    for (const reader::PortEntry &entry : entries) {
        KORVAT_NFC_READER_RECORD record;
        std::memset(&record, 0, sizeof(record));
        record.record_size = sizeof(record);
        record.category = lister.category;
        std::memcpy(record.port_name, entry.portName.data(), entry.portName.size());
        std::memcpy(record.reader_name, entry.readerName.data(), entry.readerName.size());
        readers.push_back(record);
    }
    return true;
}

void NfcPlugAndPlay::listReaders(const std::vector<PluginPortLister> &listers,
                                 std::vector<KORVAT_NFC_READER_RECORD> &readers)
{
    for (const PluginPortLister &lister : listers) {
        readPorts(lister, readers);
    }
}

void NfcPlugAndPlay::watch()
{
    for (const PluginPortLister &lister : m_Listers) {
        std::vector<KORVAT_NFC_READER_RECORD> readers;
        if (!readPorts(lister, readers)) {
            continue;  // the last list stays
        }
        std::map<std::string, KORVAT_NFC_READER_RECORD> now;
        for (const KORVAT_NFC_READER_RECORD &reader : readers) {
            now[reader.port_name] = reader;
        }
        std::map<std::string, KORVAT_NFC_READER_RECORD> &present = m_Present[lister.category];
        for (const auto &gone : present) {
            if (now.find(gone.first) == now.end()) {
                post(gone.second, false);
            }
        }
        // In the plug-in's own order.
        for (const KORVAT_NFC_READER_RECORD &reader : readers) {
            if (present.find(reader.port_name) == present.end()) {
                post(reader, true);
            }
        }
        present.swap(now);
    }
}

void NfcPlugAndPlay::post(const KORVAT_NFC_READER_RECORD &reader, bool found)
{
    NFC_LOG(0, "INFORMATION! : Reader %s: %s (%s).\n", found ? "found" : "lost", reader.port_name, reader.reader_name);
    if (m_EventQueue != nullptr && m_EventQueue->enabled()) {
        KORVAT_NFC_EVENT event;
        std::memset(&event, 0, sizeof(event));
        event.kind = found ? KORVAT_NFC_EVENT_READER_FOUND : KORVAT_NFC_EVENT_READER_LOST;
        event.data_size = sizeof(reader);
        std::memcpy(event.data, &reader, sizeof(reader));
        m_EventQueue->push(event);
    }
    if (m_WindowHandle == nullptr) {
        return;
    }
    uint8_t *slot = NfcMessageRecords::claim(sizeof(reader));
    if (slot == nullptr) {
        return;
    }
    std::memcpy(slot, &reader, sizeof(reader));
    const UINT message = found ? m_FindMessage : m_LossMessage;
    const WPARAM kind = found ? KORVAT_NFC_READER_FOUND : KORVAT_NFC_READER_LOST;
    if (!PostMessageA(m_WindowHandle, message, kind, reinterpret_cast<LPARAM>(slot))) {
        NFC_LOG(0, "ASSERT! PostMessage() failed.\n");
    }
}
