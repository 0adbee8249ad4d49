// An NFC Forum Type 4 Tag: the NDEF application with its capability container and NDEF file,
// answering ISO 7816-4 short APDUs. Read only (the file is NLEN and the message, write access
// FF), or writable: a file of a fixed size (NLEN, the message, zeros) with write access 00 that
// UPDATE BINARY changes in pieces of at most MLc bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

class SimType4Tag {
public:
    // The most data bytes one UPDATE BINARY may carry, as the capability container says (MLc).
    static const uint16_t MaximumUpdateLength = 0x34;
    // NDEF file sizes (NLEN included) a writable tag may have.
    static const size_t SmallestWritableFileSize = 16;
    static const size_t LargestWritableFileSize = 8192;

    // A read only tag holding `ndefMessage`.
    explicit SimType4Tag(const std::vector<uint8_t> &ndefMessage);
    // A writable tag whose NDEF file has `fileSize` bytes (within the limits above) and holds
    // `ndefMessage`, which fits fileSize - 2.
    SimType4Tag(const std::vector<uint8_t> &ndefMessage, size_t fileSize);

    // The card was (re)activated: no application and no file is selected.
    void reset();
    // Every APDU is answered: response data, if any, followed by the status word.
    std::vector<uint8_t> answer(const uint8_t *apdu, size_t length);

    // The NDEF file: NLEN and the message (then zeros on a writable tag).
    const std::vector<uint8_t> &ndefFile() const { return m_NdefFile; }

private:
    enum class SelectedFile { None, CapabilityContainer, Ndef };

    std::vector<uint8_t> select(const uint8_t *apdu, size_t length);
    std::vector<uint8_t> readBinary(const uint8_t *apdu, size_t length) const;
    std::vector<uint8_t> updateBinary(const uint8_t *apdu, size_t length);
    // The NDEF file (NLEN, the message, zeros up to `fileSize`) and the capability container
    // announcing `announcedSize` and `writeAccess`.
    void layOut(const std::vector<uint8_t> &ndefMessage, size_t fileSize, size_t announcedSize, uint8_t writeAccess);
    const std::vector<uint8_t> *selectedFile() const;

    std::vector<uint8_t> m_CapabilityContainer;
    std::vector<uint8_t> m_NdefFile;  // NLEN (2 bytes) and the message (then zeros if writable)
    bool m_Writable = false;
    bool m_ApplicationSelected = false;
    SelectedFile m_File = SelectedFile::None;
};

}  // namespace sim
