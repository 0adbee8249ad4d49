// Reading the NDEF message of an NFC Forum Type 2 Tag: READ (30, four pages) or, where the tag and
// the link allow it, FAST_READ (3A, a range of pages) of the header pages (static lock bytes and
// capability container), then of the TLV area from page 4 until the NDEF TLV has been read whole.
// Areas that a Lock Control or Memory Control TLV names are not part of the TLV stream. Every
// value the tag gives is checked before it is used. Pure code: the caller sends each command and
// hands the answer back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "TagReadOutcome.h"

// Bytes of the tag's memory that the TLV stream skips (lock bits, reserved memory).
struct Type2ReservedArea {
    size_t address = 0;  // byte address in the tag's memory
    size_t size = 0;
};

// What the header and the TLV area say.
struct Type2Layout {
    uint8_t version = 0;         // CC byte 1: major version in the high nibble
    size_t dataSize = 0;         // CC byte 2 * 8: bytes of the data area, which starts at byte 16
    uint8_t access = 0;          // CC byte 3: read access in the high nibble, write access in the low
    bool staticallyLocked = false;  // a static lock bit of a data page (4 to 15) is set
    std::vector<Type2ReservedArea> reserved;
    bool ndefPresent = false;    // an NDEF TLV was found (its length may be 0)
    size_t ndefTlvAddress = 0;   // address of its T byte, or where a new one goes
    size_t freeAddress = 0;      // first byte after the TLVs before the NDEF TLV (NULL TLVs aside)
    size_t lengthBytes = 0;      // 1, or 3 for the FF hi lo form
    size_t messageLength = 0;
    bool terminated = false;     // the TLV stream ended with a terminator before any NDEF TLV
};

enum class Type2Scan {
    NeedMore,  // bytes up to `needed` must be read first
    Done,      // the layout is complete (ndefPresent says whether a message slot was found)
    Invalid,   // `error` says what is wrong
};

struct Type2ReadOptions {
    bool fastRead = false;      // the tag has FAST_READ and the link passes it
    size_t largestAnswer = 16;  // most data bytes one answer may carry (at least 16)
};

class Type2TagReader {
public:
    static constexpr size_t PageSize = 4;
    static constexpr size_t HeaderSize = 16;  // pages 0 to 3: serial number, static lock bytes, CC
    static constexpr size_t AddressablePages = 256;  // READ and WRITE carry one byte of page number
    // Every Type 2 Tag has at least 16 pages: a first FAST_READ may take them all.
    static constexpr size_t SmallestMemory = 64;
    static constexpr uint8_t CommandRead = 0x30;
    static constexpr uint8_t CommandFastRead = 0x3A;
    // The capability container's first byte, and the TLV types a writer also puts down.
    static constexpr uint8_t CapabilityMagic = 0xE1;
    static constexpr uint8_t TlvNdef = 0x03;
    static constexpr uint8_t TlvTerminator = 0xFE;

    // Parses the memory from address 0, of which `known` bytes have been read. NeedMore sets
    // `needed` to the address up to which the bytes must be read to go on: the exact end of the
    // NDEF value once its length is known, the end of the data area while TLVs are walked. Done
    // with ndefPresent copies the message into `message`.
    static Type2Scan scan(const uint8_t *memory, size_t known, Type2Layout &layout, size_t &needed,
                          std::vector<uint8_t> &message, std::string &error);
    // The byte addresses of `count` bytes of the TLV stream from `address`, reserved areas skipped;
    // false when they run past the end of the data area.
    static bool streamAddresses(const Type2Layout &layout, size_t address, size_t count, std::vector<size_t> &out);
    // How many bytes of the TLV stream lie from `from` up to (not including) `to`.
    static size_t streamLength(const Type2Layout &layout, size_t from, size_t to);
    // The command that reads from `known` towards `needed` (READ of four pages, or FAST_READ of
    // as many pages as one answer carries), and how many answer bytes it brings.
    static void readCommand(const Type2ReadOptions &options, size_t known, size_t needed, size_t memoryEnd,
                            std::vector<uint8_t> &command, size_t &answerSize);

    explicit Type2TagReader(const Type2ReadOptions &options = Type2ReadOptions());

    bool nextCommand(std::vector<uint8_t> &command);
    void takeResponse(const uint8_t *response, size_t length);
    // The read options of the commands from now on (once GET_VERSION has named the tag).
    void setOptions(const Type2ReadOptions &options) { m_Options = options; }

    TagReadOutcome outcome() const { return m_Outcome; }
    const std::string &report() const { return m_Report; }
    const std::vector<uint8_t> &message() const { return m_Message; }
    const Type2Layout &layout() const { return m_Layout; }
    // The tag's memory as read so far, from address 0.
    const std::vector<uint8_t> &memory() const { return m_Memory; }
    // Most bytes of an NDEF message the NDEF TLV's place can hold up to page 255 (0 before the
    // layout is known): exactly what Type2TagWriter can write there.
    size_t capacity() const;
    // The write access byte is 0 and no static lock bit covers the data area.
    bool writable() const;

private:
    void fail(TagReadOutcome outcome, const std::string &report);
    // Where the bytes of the next read stop being of use.
    size_t memoryEnd() const;

    Type2ReadOptions m_Options;
    bool m_Done = false;
    TagReadOutcome m_Outcome = TagReadOutcome::Reading;
    std::string m_Report;
    std::vector<uint8_t> m_Memory;
    size_t m_Needed = SmallestMemory;
    size_t m_Asked = 0;  // answer bytes of the last command
    Type2Layout m_Layout;
    std::vector<uint8_t> m_Message;
};
