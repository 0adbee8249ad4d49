// PN532 host-link frames: normal and extended information frames, ACK, NACK and the syntax
// error frame, with their checksums; and a streaming reader that finds frames in a byte stream
// from the chip, skipping garbage and resynchronising after a damaged frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Pn532Commands.h"

namespace pn532 {

// The TFI of the chip's syntax error frame (HostToChip and ChipToHost: Pn532Commands.h).
const uint8_t SyntaxErrorTfi = 0x7F;

// The chip takes at most 265 bytes of TFI and data in one frame.
const size_t MaximumFrameDataSize = 265;
// A normal frame carries at most 255 bytes of TFI and data; more need the extended form.
const size_t MaximumNormalFrameDataSize = 255;

extern const uint8_t AckFrame[6];
extern const uint8_t NackFrame[6];
extern const uint8_t SyntaxErrorFrame[8];

uint8_t lengthChecksum(size_t length);
uint8_t dataChecksum(uint8_t tfi, const uint8_t *data, size_t length);

// 00 00 FF LEN LCS TFI data DCS 00, or the extended form when TFI and data exceed 255 bytes.
// `length` must not exceed 65534.
std::vector<uint8_t> encodeFrame(uint8_t tfi, const uint8_t *data, size_t length);
inline std::vector<uint8_t> encodeFrame(uint8_t tfi, const std::vector<uint8_t> &data)
{
    return encodeFrame(tfi, data.data(), data.size());
}

struct Frame {
    enum class Kind {
        Ack,          // 00 00 FF 00 FF 00
        Nack,         // 00 00 FF FF 00 00
        Information,  // tfi and data (PD0..PDn) are set
        SyntaxError,  // the one-byte frame 7F
        Damaged,      // header checksum was right, data checksum wrong: the frame is lost
    };
    Kind kind = Kind::Information;
    uint8_t tfi = 0;
    std::vector<uint8_t> data;  // PD0..PDn, without the TFI
    bool extended = false;
};

// Feed it bytes as they arrive, in any pieces; it hands out each frame once it is complete.
// Bytes outside frames (preambles, postambles, wake-up bytes, line noise) are skipped. A frame
// header whose length checksum is wrong, or whose length is zero or above the maximum, is
// noise: the search for a start code resumes right after the start code it began with, so a
// real frame hidden behind garbage is still found. A frame whose data checksum is wrong is
// reported as Damaged, so that the host can ask for it again.
class FrameReader {
public:
    explicit FrameReader(size_t maximumDataSize = MaximumFrameDataSize);

    // Appends the frames completed by these bytes to `frames`.
    void feed(const uint8_t *bytes, size_t length, std::vector<Frame> &frames);
    // Forgets a frame in progress (after a time-out, before a retry).
    void reset();
    // True while a frame has begun (start code seen) but is not complete.
    bool inFrame() const { return m_State != State::Hunt; }
    // Bytes skipped as noise since construction.
    size_t skippedBytes() const { return m_Skipped; }

private:
    enum class State { Hunt, Length, LengthChecksum, ExtendedHigh, ExtendedLow, ExtendedChecksum, Data, DataChecksum };

    void feedByte(uint8_t byte, std::vector<Frame> &frames);
    // A header turned out to be noise: re-scan what followed its start code.
    void resynchronise(std::vector<Frame> &frames);
    void startData(size_t length, bool extended, std::vector<Frame> &frames);

    size_t m_Maximum;
    State m_State = State::Hunt;
    bool m_PreviousWasZero = false;
    std::vector<uint8_t> m_Header;  // bytes after the start code, kept for a re-scan
    size_t m_Length = 0;
    uint8_t m_LengthHigh = 0;
    bool m_Extended = false;
    std::vector<uint8_t> m_Data;  // TFI and PD
    size_t m_Skipped = 0;
};

}  // namespace pn532
