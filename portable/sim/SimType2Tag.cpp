#include "SimType2Tag.h"

#include <algorithm>

#include "SimBytes.h"

namespace sim {

const uint8_t SimType2Tag::Ack;
const uint8_t SimType2Tag::Nak;
const size_t SimType2Tag::PageSize;
const size_t SimType2Tag::UidLength;
const size_t SimType2Tag::SignatureLength;

namespace {

const uint8_t CommandGetVersion = 0x60;
const uint8_t CommandRead = 0x30;
const uint8_t CommandFastRead = 0x3A;
const uint8_t CommandWrite = 0xA2;
const uint8_t CommandCompatibilityWrite = 0xA0;
const uint8_t CommandReadSignature = 0x3C;

const size_t PagesPerRead = 4;
const size_t CompatibilityWriteDataLength = 16;
const size_t UidPages = 2;                 // pages 0 and 1: read only
const size_t StaticLockPage = 2;
const size_t CapabilityContainerPage = 3;
const size_t FirstDataPage = 4;
const size_t LastStaticallyLockedPage = 15;  // pages 3..15 have a static lock bit each
const size_t ReservedPages = 4;
const size_t MinimumPages = 16;
const size_t MaximumDynamicLockBits = 24;

const uint8_t TlvLockControl = 0x01;
const uint8_t TlvMemoryControl = 0x02;
const uint8_t TlvNdef = 0x03;
const uint8_t TlvTerminator = 0xFE;
const size_t ControlTlvsLength = 2 * 5;
const size_t LongestShortLength = 0xFE;  // FF announces the 3-byte length form

const uint8_t CcMagic = 0xE1;
const uint8_t CcVersion = 0x10;  // mapping version 1.0
const uint8_t CcReadOnly = 0x0F;

// Static lock bits (LOCK0 | LOCK1 << 8): bit p locks page p (3..15); bits 0-2 freeze lock bits.
const uint16_t BlockLockCc = 0x0001;        // freezes bit 3
const uint16_t BlockLockPages4To9 = 0x0002;  // freezes bits 4..9
const uint16_t BlockLockPages10To15 = 0x0004;
const uint16_t LockBitsPages4To9 = 0x03F0;
const uint16_t LockBitsPages10To15 = 0xFC00;

struct SizeInfo {
    size_t dataAreaSize;
    uint8_t storageSize;  // GET_VERSION byte 6
};
const SizeInfo Sizes[] = {{144, 0x0F}, {504, 0x11}, {888, 0x13}};

size_t ndefTlvHeaderLength(size_t messageLength)
{
    return messageLength <= LongestShortLength ? 2 : 4;
}

// A TLV position: byte address = page address * 2^MOS + byte offset, both 4-bit numbers. Returns
// the position byte and the smallest MOS that reaches the address.
void encodePosition(size_t byteAddress, uint8_t &position, uint8_t &majorOffsetSize)
{
    for (uint8_t mos = 0; mos < 16; ++mos) {
        const size_t pageAddress = byteAddress >> mos;
        const size_t byteOffset = byteAddress & ((size_t(1) << mos) - 1);
        if (pageAddress <= 15 && byteOffset <= 15) {
            position = static_cast<uint8_t>(pageAddress << 4 | byteOffset);
            majorOffsetSize = mos;
            return;
        }
    }
    position = 0;
    majorOffsetSize = 0;
}

uint8_t log2Of(size_t powerOfTwo)
{
    uint8_t n = 0;
    while ((size_t(1) << n) < powerOfTwo) {
        ++n;
    }
    return n;
}

}  // namespace

bool SimType2Tag::isDataAreaSize(size_t dataAreaSize)
{
    return std::any_of(std::begin(Sizes), std::end(Sizes),
                       [&](const SizeInfo &s) { return s.dataAreaSize == dataAreaSize; });
}

size_t SimType2Tag::ndefCapacity(size_t dataAreaSize)
{
    if (!isDataAreaSize(dataAreaSize)) {
        return 0;
    }
    const size_t room = dataAreaSize - ControlTlvsLength;
    return room - 2 <= LongestShortLength ? room - 2 : room - 4;
}

SimType2Tag::SimType2Tag(const std::vector<uint8_t> &uid, size_t dataAreaSize,
                         const std::vector<uint8_t> &ndefMessage, bool readOnly,
                         const std::vector<uint8_t> &signature)
    : m_DataPages(dataAreaSize / PageSize),
      m_Signature(signature.empty() ? std::vector<uint8_t>(SignatureLength, 0) : signature)
{
    // Dynamic lock bits cover the data area after page 15, as few bytes per bit (a power of two,
    // at least two pages) as three lock bytes allow.
    const size_t dynamicBytes = dataAreaSize - (LastStaticallyLockedPage + 1 - FirstDataPage) * PageSize;
    m_BytesPerDynamicLockBit = 2 * PageSize;
    while ((dynamicBytes + m_BytesPerDynamicLockBit - 1) / m_BytesPerDynamicLockBit > MaximumDynamicLockBits) {
        m_BytesPerDynamicLockBit *= 2;
    }
    m_DynamicLockBits = (dynamicBytes + m_BytesPerDynamicLockBit - 1) / m_BytesPerDynamicLockBit;
    const size_t dynamicLockPage = FirstDataPage + m_DataPages;
    m_Memory.assign((dynamicLockPage + 1 + ReservedPages) * PageSize, 0);

    uint8_t *page = m_Memory.data();
    std::copy(uid.begin(), uid.begin() + 3, page);
    page[3] = static_cast<uint8_t>(0x88 ^ uid[0] ^ uid[1] ^ uid[2]);
    std::copy(uid.begin() + 3, uid.begin() + 7, page + 4);
    page[8] = static_cast<uint8_t>(uid[3] ^ uid[4] ^ uid[5] ^ uid[6]);
    page[12] = CcMagic;
    page[13] = CcVersion;
    page[14] = static_cast<uint8_t>(dataAreaSize / 8);
    page[15] = readOnly ? CcReadOnly : 0x00;

    // Lock control TLV (where the dynamic lock bits are, how many, bytes per bit) and memory
    // control TLV (the reserved pages), then the NDEF TLV and the terminator where it fits.
    uint8_t *tlv = page + FirstDataPage * PageSize;
    uint8_t position, mos;
    encodePosition(dynamicLockPage * PageSize, position, mos);
    const uint8_t lockControl[] = {TlvLockControl, 3, position, static_cast<uint8_t>(m_DynamicLockBits),
                                   static_cast<uint8_t>(log2Of(m_BytesPerDynamicLockBit) << 4 | mos)};
    encodePosition((dynamicLockPage + 1) * PageSize, position, mos);
    const uint8_t memoryControl[] = {TlvMemoryControl, 3, position,
                                     static_cast<uint8_t>(ReservedPages * PageSize), mos};
    tlv = std::copy(std::begin(lockControl), std::end(lockControl), tlv);
    tlv = std::copy(std::begin(memoryControl), std::end(memoryControl), tlv);
    *tlv++ = TlvNdef;
    if (ndefTlvHeaderLength(ndefMessage.size()) == 2) {
        *tlv++ = static_cast<uint8_t>(ndefMessage.size());
    } else {
        *tlv++ = 0xFF;
        putBigEndian(tlv, static_cast<uint32_t>(ndefMessage.size()), 2);
        tlv += 2;
    }
    tlv = std::copy(ndefMessage.begin(), ndefMessage.end(), tlv);
    if (tlv < page + dynamicLockPage * PageSize) {
        *tlv = TlvTerminator;
    }

    if (readOnly) {
        page[StaticLockPage * PageSize + 2] = 0xFF;
        page[StaticLockPage * PageSize + 3] = 0xFF;
        for (size_t bit = 0; bit < m_DynamicLockBits; ++bit) {
            page[dynamicLockPage * PageSize + bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
        }
    }

    const uint8_t storageSize =
        std::find_if(std::begin(Sizes), std::end(Sizes),
                     [&](const SizeInfo &s) { return s.dataAreaSize == dataAreaSize; })->storageSize;
    // Fixed header, vendor (the UID's manufacturer byte), type NFC tag, subtype, version 1.0, the
    // storage size, protocol ISO/IEC 14443-3.
    m_Version = {0x00, uid[0], 0x04, 0x02, 0x01, 0x00, storageSize, 0x03};
}

SimType2Tag SimType2Tag::blankTag(const std::vector<uint8_t> &uid, size_t dataAreaSize,
                                  const std::vector<uint8_t> &signature)
{
    SimType2Tag tag(uid, dataAreaSize, {}, false, signature);
    const auto cc = tag.m_Memory.begin() + CapabilityContainerPage * PageSize;
    std::fill(cc, cc + PageSize + dataAreaSize, 0);
    return tag;
}

SimType2Tag SimType2Tag::imageTag(const std::vector<uint8_t> &uid, const std::vector<uint8_t> &image,
                                  const std::vector<uint8_t> &signature)
{
    SimType2Tag tag(uid, Sizes[0].dataAreaSize, {}, false, signature);
    const auto cc = tag.m_Memory.begin() + CapabilityContainerPage * PageSize;
    tag.m_Memory.erase(cc, tag.m_Memory.end());
    tag.m_Memory.insert(tag.m_Memory.end(), image.begin(), image.end());
    tag.m_Memory.resize(std::max(tag.m_Memory.size(), MinimumPages * PageSize), 0);
    tag.m_DataPages = image.size() / PageSize - 1;
    tag.m_DynamicLockPage = false;
    tag.m_DynamicLockBits = 0;
    return tag;
}

void SimType2Tag::reset()
{
    m_PendingCompatibilityWrite = -1;
    m_Idle = false;
}

bool SimType2Tag::answer(const uint8_t *frame, size_t length, std::vector<uint8_t> &response)
{
    response.clear();
    if (m_Idle) {
        return false;
    }
    const bool answered = answerCommand(frame, length, response);
    // A strict tag leaves the exchange for good on what it does not take.
    m_Idle = m_Strict && (!answered || (response.size() == 1 && response[0] != Ack));
    if (m_Idle) {
        response.clear();
        return false;
    }
    return answered;
}

bool SimType2Tag::answerCommand(const uint8_t *frame, size_t length, std::vector<uint8_t> &response)
{
    // The second part of a COMPATIBILITY_WRITE is 16 bytes of data, whatever they begin with.
    if (m_PendingCompatibilityWrite >= 0) {
        const size_t page = static_cast<size_t>(m_PendingCompatibilityWrite);
        m_PendingCompatibilityWrite = -1;
        response.push_back(length == CompatibilityWriteDataLength ? writePage(page, frame) : Nak);
        return true;
    }
    if (length == 0) {
        return false;
    }
    switch (frame[0]) {
    case CommandRead:
        return answerRead(frame, length, response);
    case CommandFastRead:
        return !m_Strict && answerFastRead(frame, length, response);
    case CommandWrite:
        if (length != 2 + PageSize) {
            return false;
        }
        response.push_back(writePage(frame[1], frame + 2));
        return true;
    case CommandCompatibilityWrite:
        if (length != 2) {
            return false;
        }
        if (frame[1] >= pageCount()) {
            response.push_back(Nak);
        } else {
            m_PendingCompatibilityWrite = frame[1];
            response.push_back(Ack);
        }
        return true;
    case CommandGetVersion:
        if (length != 1 || m_Strict) {
            return false;
        }
        response = m_Version;
        return true;
    case CommandReadSignature:
        if (length != 2 || m_Strict) {
            return false;
        }
        if (frame[1] != 0x00) {
            response.push_back(Nak);
        } else {
            response = m_Signature;
        }
        return true;
    default:
        return false;
    }
}

bool SimType2Tag::answerRead(const uint8_t *frame, size_t length, std::vector<uint8_t> &response) const
{
    if (length != 2) {
        return false;
    }
    const size_t first = frame[1];
    if (first >= pageCount()) {
        response.push_back(Nak);
        return true;
    }
    // Four pages; past the last page the read goes on from page 0.
    for (size_t i = 0; i < PagesPerRead; ++i) {
        const auto start = m_Memory.begin() + ((first + i) % pageCount()) * PageSize;
        response.insert(response.end(), start, start + PageSize);
    }
    return true;
}

bool SimType2Tag::answerFastRead(const uint8_t *frame, size_t length, std::vector<uint8_t> &response) const
{
    if (length != 3) {
        return false;
    }
    const size_t first = frame[1];
    const size_t last = frame[2];
    if (first > last || last >= pageCount()) {
        response.push_back(Nak);
        return true;
    }
    response.assign(m_Memory.begin() + first * PageSize, m_Memory.begin() + (last + 1) * PageSize);
    return true;
}

bool SimType2Tag::pageLocked(size_t page) const
{
    if (page < CapabilityContainerPage) {
        return false;
    }
    if (page <= LastStaticallyLockedPage) {
        const uint16_t lockBits = littleEndian16(&m_Memory[StaticLockPage * PageSize + 2]);
        return (lockBits >> page) & 1;
    }
    if (!m_DynamicLockPage) {
        return false;
    }
    const size_t bit = (page - (LastStaticallyLockedPage + 1)) * PageSize / m_BytesPerDynamicLockBit;
    const uint8_t *dynamicLocks = &m_Memory[(FirstDataPage + m_DataPages) * PageSize];
    return (dynamicLocks[bit / 8] >> (bit % 8)) & 1;
}

void SimType2Tag::writeStaticLockBytes(const uint8_t *bytes)
{
    uint8_t *lock = &m_Memory[StaticLockPage * PageSize + 2];
    const uint16_t current = littleEndian16(lock);
    uint16_t frozen = 0;
    if (current & BlockLockCc) {
        frozen |= 1u << CapabilityContainerPage;
    }
    if (current & BlockLockPages4To9) {
        frozen |= LockBitsPages4To9;
    }
    if (current & BlockLockPages10To15) {
        frozen |= LockBitsPages10To15;
    }
    // Lock bits are one-time programmable: a write can only set them.
    const uint16_t updated = static_cast<uint16_t>(current | (littleEndian16(bytes) & ~frozen));
    lock[0] = static_cast<uint8_t>(updated);
    lock[1] = static_cast<uint8_t>(updated >> 8);
}

uint8_t SimType2Tag::writePage(size_t page, const uint8_t *data)
{
    const size_t dynamicLockPage = FirstDataPage + m_DataPages;
    uint8_t *target = &m_Memory[std::min(page, pageCount() - 1) * PageSize];
    if (page < UidPages || page > dynamicLockPage || (page == dynamicLockPage && !m_DynamicLockPage)) {
        return Nak;  // the UID, the reserved pages and pages past the end
    }
    if (page == StaticLockPage) {
        writeStaticLockBytes(data + 2);  // bytes 0-1 (BCC1 and an internal byte) stay
        return Ack;
    }
    if (page == dynamicLockPage) {
        for (size_t bit = 0; bit < m_DynamicLockBits; ++bit) {
            target[bit / 8] |= data[bit / 8] & static_cast<uint8_t>(1u << (bit % 8));
        }
        return Ack;
    }
    if (pageLocked(page)) {
        return Nak;
    }
    if (page == CapabilityContainerPage) {
        // The capability container is one-time programmable as well.
        for (size_t i = 0; i < PageSize; ++i) {
            target[i] |= data[i];
        }
        return Ack;
    }
    std::copy(data, data + PageSize, target);
    return Ack;
}

}  // namespace sim
