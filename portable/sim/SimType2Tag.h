// An NFC Forum Type 2 Tag: pages of 4 bytes holding the 7-byte UID with its check bytes and the
// static lock bytes (pages 0-2), the capability container (page 3), the data area with a lock
// control TLV, a memory control TLV, the NDEF TLV and a terminator TLV, then one page of dynamic
// lock bytes and four reserved pages. A blank tag (blankTag) has the same pages with the
// capability container and the data area all zero, as it leaves the factory: a formatter writes
// the capability container (its bits can only be set) and the first TLVs. It answers the
// commands a reader chip hands on without their CRC: READ, FAST_READ, WRITE, COMPATIBILITY_WRITE,
// GET_VERSION and READ_SIG, and the 4-bit ACK / NAK as one byte.
//
// A strict tag (setStrict) is one of the family's first tags: it knows READ, WRITE and
// COMPATIBILITY_WRITE only, and a command it does not know, a frame of the wrong length or a NAK
// sends it to IDLE: it answers nothing more until it is activated again (reset).
//
// An image tag (imageTag) has the given capability container and data area instead, whatever
// they say, then zero pages up to the 16 every Type 2 Tag has (never written); no dynamic lock
// page. It is how a scenario gives a tag of any TLV layout.
//
// Page map (D = data area size / 4 pages):
//   0          UID0 UID1 UID2 BCC0          BCC0 = 88 ^ UID0 ^ UID1 ^ UID2
//   1          UID3 UID4 UID5 UID6
//   2          BCC1 00 LOCK0 LOCK1          BCC1 = UID3 ^ UID4 ^ UID5 ^ UID6
//   3          E1 10 D/2 access             access 00 writable, 0F read only (blank: 00 00 00 00)
//   4..3+D     data area (TLVs; blank: 00)
//   4+D        dynamic lock bytes (1 to 3 used, the rest 00)
//   5+D..8+D   reserved (read as 00, never written)
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

class SimType2Tag {
public:
    static const uint8_t Ack = 0x0A;
    static const uint8_t Nak = 0x00;
    static const size_t PageSize = 4;
    static const size_t UidLength = 7;
    static const size_t SignatureLength = 32;

    // The data area sizes this model has: 144, 504 and 888 bytes.
    static bool isDataAreaSize(size_t dataAreaSize);
    // The longest NDEF message that fits the data area beside the control TLVs.
    static size_t ndefCapacity(size_t dataAreaSize);

    // `uid` has UidLength bytes, `dataAreaSize` is one of the three sizes, the message fits
    // ndefCapacity, `signature` is empty (32 bytes 00) or has SignatureLength bytes. A read only
    // tag has every lock bit set and the CC's write access 0F.
    SimType2Tag(const std::vector<uint8_t> &uid, size_t dataAreaSize, const std::vector<uint8_t> &ndefMessage,
                bool readOnly, const std::vector<uint8_t> &signature);

    // A blank tag of this size: capability container and data area 00, no lock bit set.
    static SimType2Tag blankTag(const std::vector<uint8_t> &uid, size_t dataAreaSize,
                                const std::vector<uint8_t> &signature);

    // `image`: the capability container and the data area (a whole number of pages, at least 2).
    static SimType2Tag imageTag(const std::vector<uint8_t> &uid, const std::vector<uint8_t> &image,
                                const std::vector<uint8_t> &signature);

    void setStrict(bool strict) { m_Strict = strict; }
    bool strict() const { return m_Strict; }

    // The card was (re)activated: a COMPATIBILITY_WRITE waiting for its data is forgotten, a
    // strict tag answers again.
    void reset();
    // False: the tag does not respond (an unknown command or a frame of the wrong length; a strict
    // tag also after it went IDLE).
    bool answer(const uint8_t *frame, size_t length, std::vector<uint8_t> &response);

    // The whole memory, page 0 first.
    const std::vector<uint8_t> &memory() const { return m_Memory; }
    size_t pageCount() const { return m_Memory.size() / PageSize; }

private:
    bool answerCommand(const uint8_t *frame, size_t length, std::vector<uint8_t> &response);
    bool answerRead(const uint8_t *frame, size_t length, std::vector<uint8_t> &response) const;
    bool answerFastRead(const uint8_t *frame, size_t length, std::vector<uint8_t> &response) const;
    // Writes one page as WRITE and the second part of COMPATIBILITY_WRITE do: ACK or NAK.
    uint8_t writePage(size_t page, const uint8_t *data);
    bool pageLocked(size_t page) const;
    void writeStaticLockBytes(const uint8_t *bytes);

    size_t m_DataPages;
    bool m_DynamicLockPage = true;  // the page after the data area holds the dynamic lock bits
    bool m_Strict = false;
    bool m_Idle = false;
    size_t m_DynamicLockBits;
    size_t m_BytesPerDynamicLockBit;
    std::vector<uint8_t> m_Memory;
    std::vector<uint8_t> m_Version;
    std::vector<uint8_t> m_Signature;
    int m_PendingCompatibilityWrite = -1;  // page of an acknowledged A0, -1: none
};

}  // namespace sim
