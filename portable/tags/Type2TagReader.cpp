#include "Type2TagReader.h"

#include <algorithm>

#include "TagHex.h"

namespace {

const uint8_t TlvNull = 0x00;
const uint8_t TlvLockControl = 0x01;
const uint8_t TlvMemoryControl = 0x02;
const uint8_t LongLength = 0xFF;
const size_t StaticLock0 = 10;  // bits 4 to 7 lock pages 4 to 7 (bits 0 to 3: CC and lock bits)
const size_t StaticLock1 = 11;  // pages 8 to 15
const size_t CcAddress = 12;

// The first address at or after `address` that no reserved area covers.
size_t skipReserved(const Type2Layout &layout, size_t address)
{
    for (bool moved = true; moved;) {
        moved = false;
        for (const Type2ReservedArea &area : layout.reserved) {
            if (address >= area.address && address - area.address < area.size) {
                address = area.address + area.size;
                moved = true;
            }
        }
    }
    return address;
}

// Where a new NDEF TLV goes when the tag has none: at the first byte of the stream after the last
// TLV, but never in the last byte of a page, so that its T and first L byte are written by one
// WRITE where no reserved area parts them (see Type2TagWriter).
void placeNdefTlv(Type2Layout &layout, size_t free)
{
    layout.freeAddress = skipReserved(layout, free);
    layout.ndefTlvAddress =
        layout.freeAddress % 4 == 3 ? skipReserved(layout, layout.freeAddress + 1) : layout.freeAddress;
}

}  // namespace

bool Type2TagReader::streamAddresses(const Type2Layout &layout, size_t address, size_t count, std::vector<size_t> &out)
{
    out.clear();
    const size_t end = HeaderSize + layout.dataSize;
    address = skipReserved(layout, address);
    for (size_t i = 0; i < count; ++i) {
        if (address >= end) {
            return false;
        }
        out.push_back(address);
        address = skipReserved(layout, address + 1);
    }
    return true;
}

size_t Type2TagReader::streamLength(const Type2Layout &layout, size_t from, size_t to)
{
    size_t count = 0;
    for (size_t address = skipReserved(layout, from); address < to; address = skipReserved(layout, address + 1)) {
        ++count;
    }
    return count;
}

Type2Scan Type2TagReader::scan(const uint8_t *memory, size_t known, Type2Layout &layout, size_t &needed,
                               std::vector<uint8_t> &message, std::string &error)
{
    layout = Type2Layout();
    message.clear();
    if (known < HeaderSize) {
        needed = HeaderSize;
        return Type2Scan::NeedMore;
    }
    const uint8_t *cc = memory + CcAddress;
    if (cc[0] != CapabilityMagic) {
        error = "no NDEF capability container (byte 0 is " + tagHex(cc[0]) + ", E1 expected)";
        return Type2Scan::Invalid;
    }
    layout.version = cc[1];
    layout.dataSize = static_cast<size_t>(cc[2]) * 8;
    layout.access = cc[3];
    layout.staticallyLocked = (memory[StaticLock0] & 0xF0) != 0 || memory[StaticLock1] != 0;
    if ((layout.version >> 4) != 1) {
        error = "mapping version " + std::to_string(layout.version >> 4) + "." + std::to_string(layout.version & 0x0F) +
                " is not supported (1.x is)";
        return Type2Scan::Invalid;
    }
    if (layout.dataSize == 0) {
        error = "the capability container gives a data area of 0 bytes";
        return Type2Scan::Invalid;
    }
    if ((layout.access >> 4) != 0) {
        error = "read access is not granted (CC byte 3 is " + tagHex(layout.access) + ")";
        return Type2Scan::Invalid;
    }
    const size_t end = HeaderSize + layout.dataSize;
    size_t position = HeaderSize;
    size_t slot = HeaderSize;  // where an NDEF TLV would go: after the last TLV that is not NULL
    std::vector<size_t> addresses;
    for (;;) {
        position = skipReserved(layout, position);
        if (position >= end) {
            placeNdefTlv(layout, slot);
            return Type2Scan::Done;
        }
        if (position >= known) {
            needed = end;
            return Type2Scan::NeedMore;
        }
        const uint8_t type = memory[position];
        if (type == TlvNull) {
            ++position;
            continue;
        }
        if (type == TlvTerminator) {
            layout.terminated = true;
            placeNdefTlv(layout, slot);
            return Type2Scan::Done;
        }
        const std::string name = "TLV " + tagHex(type) + " at byte " + std::to_string(position);
        // The length: one byte, or FF and two more.
        if (!streamAddresses(layout, position + 1, 1, addresses)) {
            error = name + " runs past the end of the data area";
            return Type2Scan::Invalid;
        }
        if (addresses[0] >= known) {
            needed = end;
            return Type2Scan::NeedMore;
        }
        size_t length = memory[addresses[0]];
        size_t lengthBytes = 1;
        if (length == LongLength) {
            if (!streamAddresses(layout, position + 1, 3, addresses)) {
                error = name + " runs past the end of the data area";
                return Type2Scan::Invalid;
            }
            if (addresses[2] >= known) {
                needed = end;
                return Type2Scan::NeedMore;
            }
            length = static_cast<size_t>(memory[addresses[1]]) << 8 | memory[addresses[2]];
            lengthBytes = 3;
        }
        const size_t valueStart = addresses[lengthBytes - 1] + 1;
        if (!streamAddresses(layout, valueStart, length, addresses)) {
            error = name + " of " + std::to_string(length) + " bytes runs past the end of the data area";
            return Type2Scan::Invalid;
        }
        const size_t valueEnd = addresses.empty() ? valueStart : addresses.back() + 1;
        if (type == TlvNdef) {
            layout.ndefPresent = true;
            layout.ndefTlvAddress = position;
            layout.freeAddress = position;
            layout.lengthBytes = lengthBytes;
            layout.messageLength = length;
            if (valueEnd > known) {
                needed = valueEnd;
                return Type2Scan::NeedMore;
            }
            for (size_t address : addresses) {
                message.push_back(memory[address]);
            }
            return Type2Scan::Done;
        }
        if (type == TlvLockControl || type == TlvMemoryControl) {
            if (length != 3) {
                error = name + " has a length of " + std::to_string(length) + ", 3 expected";
                return Type2Scan::Invalid;
            }
            if (valueEnd > known) {
                needed = end;
                return Type2Scan::NeedMore;
            }
            const uint8_t *v[3] = {&memory[addresses[0]], &memory[addresses[1]], &memory[addresses[2]]};
            const size_t bytesPerPage = size_t(1) << (*v[2] & 0x0F);
            Type2ReservedArea area;
            area.address = (*v[0] >> 4) * bytesPerPage + (*v[0] & 0x0F);
            const size_t size = *v[1] == 0 ? 256 : *v[1];
            area.size = type == TlvLockControl ? (size + 7) / 8 : size;
            // An area over the header or the TLVs already walked would change what they meant.
            if (area.address < valueEnd) {
                error = name + " names bytes " + std::to_string(area.address) + " to " +
                        std::to_string(area.address + area.size - 1) + ", which are not after it";
                return Type2Scan::Invalid;
            }
            layout.reserved.push_back(area);
        }
        position = valueEnd;
        slot = valueEnd;
    }
}

void Type2TagReader::readCommand(const Type2ReadOptions &options, size_t known, size_t needed, size_t memoryEnd,
                                 std::vector<uint8_t> &command, size_t &answerSize)
{
    const size_t first = known / PageSize;
    const size_t mostPages = std::max<size_t>(options.largestAnswer, 16) / PageSize;
    const size_t lastNeeded = (std::min(std::max(needed, known + 1), memoryEnd) + PageSize - 1) / PageSize;
    const size_t pages = std::min(std::max<size_t>(lastNeeded, first + 1) - first, mostPages);
    if (options.fastRead && pages > 4 && first + pages - 1 <= 0xFF) {
        command = {CommandFastRead, static_cast<uint8_t>(first), static_cast<uint8_t>(first + pages - 1)};
        answerSize = pages * PageSize;
        return;
    }
    command = {CommandRead, static_cast<uint8_t>(first)};
    answerSize = 16;
}

Type2TagReader::Type2TagReader(const Type2ReadOptions &options) : m_Options(options) {}

size_t Type2TagReader::memoryEnd() const
{
    // READ carries one byte of page number: an answer that goes on past page 255 gives pages 0
    // and on again, never the bytes of the data area behind page 255.
    return m_Memory.size() < HeaderSize ? SmallestMemory
                                        : std::min(HeaderSize + m_Layout.dataSize, AddressablePages * PageSize);
}

void Type2TagReader::fail(TagReadOutcome outcome, const std::string &report)
{
    m_Outcome = outcome;
    m_Report = report;
    m_Done = true;
}

bool Type2TagReader::nextCommand(std::vector<uint8_t> &command)
{
    if (m_Done) {
        return false;
    }
    if (m_Memory.size() / PageSize > 0xFF) {
        fail(TagReadOutcome::InvalidTag, "page " + std::to_string(m_Memory.size() / PageSize) + " cannot be addressed");
        return false;
    }
    readCommand(m_Options, m_Memory.size(), m_Needed, memoryEnd(), command, m_Asked);
    return true;
}

void Type2TagReader::takeResponse(const uint8_t *response, size_t length)
{
    if (m_Done) {
        return;
    }
    const std::string what = "READ from page " + std::to_string(m_Memory.size() / PageSize);
    if (length == 1 && (response[0] & 0x0F) != 0x0A) {
        fail(TagReadOutcome::Refused, "the tag refused the " + what + " (NAK " + tagHex(response[0]) + ")");
        return;
    }
    if (length != m_Asked) {
        fail(TagReadOutcome::InvalidTag, "the tag sent " + std::to_string(length) + " bytes instead of " +
                                             std::to_string(m_Asked) + " to the " + what);
        return;
    }
    // A READ near the end wraps to page 0: bytes past the data area or page 255 are not kept.
    m_Memory.insert(m_Memory.end(), response, response + std::min(length, memoryEnd() - m_Memory.size()));
    std::string error;
    const Type2Scan scanned = scan(m_Memory.data(), m_Memory.size(), m_Layout, m_Needed, m_Message, error);
    if (m_Layout.dataSize != 0 && m_Memory.size() > HeaderSize + m_Layout.dataSize) {
        m_Memory.resize(HeaderSize + m_Layout.dataSize);  // the first read may reach past a small data area
    }
    switch (scanned) {
    case Type2Scan::Invalid:
        fail(TagReadOutcome::InvalidTag, error);
        return;
    case Type2Scan::NeedMore:
        return;
    case Type2Scan::Done:
        m_Outcome = m_Layout.ndefPresent && m_Layout.messageLength > 0 ? TagReadOutcome::Message
                                                                        : TagReadOutcome::NoMessage;
        m_Done = true;
        return;
    }
}

size_t Type2TagReader::capacity() const
{
    if (m_Layout.dataSize == 0) {
        return 0;
    }
    // Bytes of the stream from the NDEF TLV to the end of the data area, or to the end of page 255
    // (READ and WRITE carry one byte of page number).
    const size_t end = std::min(HeaderSize + m_Layout.dataSize, AddressablePages * PageSize);
    const size_t room = streamLength(m_Layout, m_Layout.ndefTlvAddress, end);
    if (room >= 4 + 255) {
        return std::min<size_t>(room - 4, 0xFFFE);
    }
    return room >= 2 ? std::min<size_t>(room - 2, 254) : 0;
}

bool Type2TagReader::writable() const
{
    return m_Layout.dataSize != 0 && m_Layout.access == 0x00 && !m_Layout.staticallyLocked;
}
