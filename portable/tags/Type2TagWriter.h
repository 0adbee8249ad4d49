// Writing the NDEF message of an NFC Forum Type 2 Tag so that a write cut at any point leaves the
// old message, an empty one or the new one: the page holding the NDEF TLV's first length byte is
// written first with that byte 0, then every other page of the TLV, then that page again with
// the real length. The tag is read first (Type2TagReader) for its layout and the bytes the pages
// share with other TLVs and reserved areas. Also makes a tag NDEF-ready: an empty NDEF TLV, and
// on a blank tag (capability container all zero) the capability container after it. Pure code:
// the caller sends each command and hands the answer back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "TagWriteOutcome.h"
#include "Type2TagReader.h"

class Type2TagWriter {
public:
    static constexpr uint8_t CommandWrite = 0xA2;

    // Writes `message` (empty: an empty NDEF TLV).
    Type2TagWriter(const std::vector<uint8_t> &message, const Type2ReadOptions &options = Type2ReadOptions());
    // Makes the tag NDEF-ready. `blankDataSize`: the data area of a blank tag in bytes (a multiple
    // of 8 from 8 to 2040), written to its capability container; 0 refuses blank tags.
    static Type2TagWriter formatter(size_t blankDataSize, const Type2ReadOptions &options = Type2ReadOptions());

    bool nextCommand(std::vector<uint8_t> &command);
    void takeResponse(const uint8_t *response, size_t length);
    // Once GET_VERSION has named the tag: the read options of the commands from now on, and the
    // data area of a blank tag (formatter only; used when the reading is over).
    void setOptions(const Type2ReadOptions &options);
    void setBlankDataSize(size_t blankDataSize) { m_BlankDataSize = blankDataSize; }

    TagWriteOutcome outcome() const { return m_Outcome; }
    const std::string &report() const { return m_Report; }
    // What the reading before the write found (capacity, writable, NDEF present).
    const Type2TagReader &reader() const { return m_Reader; }

private:
    enum class Step { ReadTag, ReadPages, Write, Done };

    void fail(TagWriteOutcome outcome, const std::string &report);
    void planAfterRead();
    void planMessage();
    // The TLV bytes to write from the layout's free address and the address of each, and the index
    // of the NDEF TLV's first length byte among them; false when they do not fit below page 256.
    bool layOutStream(std::vector<uint8_t> &stream, std::vector<size_t> &addresses, size_t &firstLength) const;
    void planBlankFormat();
    void addWrite(size_t page, const std::vector<uint8_t> &image);

    std::vector<uint8_t> m_Message;
    bool m_Format = false;
    size_t m_BlankDataSize = 0;
    Type2ReadOptions m_Options;
    Type2TagReader m_Reader;
    Step m_Step = Step::ReadTag;
    TagWriteOutcome m_Outcome = TagWriteOutcome::Writing;
    std::string m_Report;
    std::vector<uint8_t> m_Memory;  // the tag as read, then as written so far
    size_t m_NeededEnd = 0;         // ReadPages: bytes to read before planning
    size_t m_Asked = 0;
    std::vector<std::vector<uint8_t>> m_Writes;  // WRITE commands still to send
    size_t m_NextWrite = 0;
};
