// Walks the records of an NDEF message where they lie, without copying: each step gives the
// places of one record's fields (chunks one by one: NdefMessage::parse joins them). It checks
// what frames the message: message begin on the first record only, a record marked as the end,
// and nothing after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "NdefMessage.h"

class NdefRecordIterator {
public:
    NdefRecordIterator(const uint8_t *data, size_t size) : m_Data(data), m_Size(size) {}

    // The next record; false at the end of the message, or at a fault (error() then says what).
    bool next(NdefRawRecord &record);
    // Empty unless the walk stopped at a fault.
    const std::string &error() const { return m_Error; }
    // Where the walk stands: the byte after the last record given, or where the fault is.
    size_t offset() const { return m_Offset; }

    const uint8_t *type(const NdefRawRecord &record) const { return m_Data + record.typeOffset; }
    const uint8_t *id(const NdefRawRecord &record) const { return m_Data + record.idOffset; }
    const uint8_t *payload(const NdefRawRecord &record) const { return m_Data + record.payloadOffset; }

private:
    const uint8_t *m_Data;
    size_t m_Size;
    size_t m_Offset = 0;
    bool m_Ended = false;  // the record marked as the message end was given
    bool m_Stopped = false;
    std::string m_Error;
};
