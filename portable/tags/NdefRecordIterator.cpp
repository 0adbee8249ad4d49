#include "NdefRecordIterator.h"

bool NdefRecordIterator::next(NdefRawRecord &record)
{
    if (m_Stopped) {
        return false;
    }
    m_Stopped = true;
    if (m_Ended) {
        if (m_Offset != m_Size) {
            m_Error = std::to_string(m_Size - m_Offset) + " bytes after the message end (byte " +
                      std::to_string(m_Offset) + ")";
        }
        return false;
    }
    if (m_Size == 0) {
        m_Error = "empty NDEF message (no record)";
        return false;
    }
    if (m_Offset == m_Size) {
        m_Error = "message ends without a record marked as its end";
        return false;
    }
    if (!NdefMessage::readRawRecord(m_Data, m_Size, m_Offset, record, m_Error)) {
        return false;
    }
    const bool first = m_Offset == 0;
    if (first != ((record.header & NdefMessage::MessageBegin) != 0)) {
        m_Error = std::string(first ? "first record without message begin" : "message begin inside the message") +
                  " (record at byte " + std::to_string(m_Offset) + ")";
        return false;
    }
    m_Ended = (record.header & NdefMessage::MessageEnd) != 0;
    m_Offset = record.end;
    m_Stopped = false;
    return true;
}
