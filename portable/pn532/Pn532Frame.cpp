#include "Pn532Frame.h"

namespace pn532 {

const uint8_t AckFrame[6] = {0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00};
const uint8_t NackFrame[6] = {0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00};
const uint8_t SyntaxErrorFrame[8] = {0x00, 0x00, 0xFF, 0x01, 0xFF, 0x7F, 0x81, 0x00};

uint8_t lengthChecksum(size_t length)
{
    const unsigned sum = static_cast<unsigned>((length >> 8) + (length & 0xFF));
    return static_cast<uint8_t>(0x100 - (sum & 0xFF));
}

uint8_t dataChecksum(uint8_t tfi, const uint8_t *data, size_t length)
{
    unsigned sum = tfi;
    for (size_t i = 0; i < length; ++i) {
        sum += data[i];
    }
    return static_cast<uint8_t>(0x100 - (sum & 0xFF));
}

std::vector<uint8_t> encodeFrame(uint8_t tfi, const uint8_t *data, size_t length)
{
    const size_t frameLength = length + 1;  // TFI counts
    std::vector<uint8_t> frame{0x00, 0x00, 0xFF};
    frame.reserve(frameLength + 11);
    if (frameLength <= MaximumNormalFrameDataSize) {
        frame.push_back(static_cast<uint8_t>(frameLength));
        frame.push_back(lengthChecksum(frameLength));
    } else {
        frame.push_back(0xFF);
        frame.push_back(0xFF);
        frame.push_back(static_cast<uint8_t>(frameLength >> 8));
        frame.push_back(static_cast<uint8_t>(frameLength));
        frame.push_back(lengthChecksum(frameLength));
    }
    frame.push_back(tfi);
    frame.insert(frame.end(), data, data + length);
    frame.push_back(dataChecksum(tfi, data, length));
    frame.push_back(0x00);
    return frame;
}

FrameReader::FrameReader(size_t maximumDataSize) : m_Maximum(maximumDataSize) {}

void FrameReader::reset()
{
    m_State = State::Hunt;
    m_PreviousWasZero = false;
    m_Header.clear();
    m_Data.clear();
}

void FrameReader::feed(const uint8_t *bytes, size_t length, std::vector<Frame> &frames)
{
    for (size_t i = 0; i < length; ++i) {
        feedByte(bytes[i], frames);
    }
}

void FrameReader::resynchronise(std::vector<Frame> &frames)
{
    // The header bytes went to the noise count; feeding them again may find them to be frames.
    std::vector<uint8_t> again;
    again.swap(m_Header);
    m_State = State::Hunt;
    m_PreviousWasZero = false;
    m_Data.clear();
    m_Skipped += 2;  // the start code
    for (uint8_t byte : again) {
        feedByte(byte, frames);
    }
}

void FrameReader::startData(size_t length, bool extended, std::vector<Frame> &frames)
{
    if (length == 0 || length > m_Maximum) {
        resynchronise(frames);
        return;
    }
    m_Length = length;
    m_Extended = extended;
    m_Data.clear();
    m_Data.reserve(length);
    m_State = State::Data;
}

void FrameReader::feedByte(uint8_t byte, std::vector<Frame> &frames)
{
    if (m_State != State::Hunt && m_State != State::Data && m_State != State::DataChecksum) {
        m_Header.push_back(byte);
    }
    switch (m_State) {
    case State::Hunt:
        if (m_PreviousWasZero && byte == 0xFF) {
            m_State = State::Length;
            m_Header.clear();
            --m_Skipped;  // the 00 of the start code was counted as noise
        } else {
            m_PreviousWasZero = byte == 0x00;
            ++m_Skipped;
        }
        return;
    case State::Length:
        m_State = State::LengthChecksum;
        return;
    case State::LengthChecksum: {
        const uint8_t len = m_Header[0];
        if (len == 0x00 && byte == 0xFF) {
            Frame ack;
            ack.kind = Frame::Kind::Ack;
            frames.push_back(ack);
            reset();
        } else if (len == 0xFF && byte == 0x00) {
            Frame nack;
            nack.kind = Frame::Kind::Nack;
            frames.push_back(nack);
            reset();
        } else if (len == 0xFF && byte == 0xFF) {
            m_State = State::ExtendedHigh;
        } else if (static_cast<uint8_t>(len + byte) == 0) {
            startData(len, false, frames);
        } else {
            resynchronise(frames);
        }
        return;
    }
    case State::ExtendedHigh:
        m_LengthHigh = byte;
        m_State = State::ExtendedLow;
        return;
    case State::ExtendedLow:
        m_State = State::ExtendedChecksum;
        return;
    case State::ExtendedChecksum: {
        const uint8_t low = m_Header[m_Header.size() - 2];
        if (static_cast<uint8_t>(m_LengthHigh + low + byte) == 0) {
            startData(static_cast<size_t>(m_LengthHigh) << 8 | low, true, frames);
        } else {
            resynchronise(frames);
        }
        return;
    }
    case State::Data:
        m_Data.push_back(byte);
        if (m_Data.size() == m_Length) {
            m_State = State::DataChecksum;
        }
        return;
    case State::DataChecksum: {
        Frame frame;
        unsigned sum = byte;
        for (uint8_t b : m_Data) {
            sum += b;
        }
        if ((sum & 0xFF) != 0) {
            frame.kind = Frame::Kind::Damaged;
        } else if (m_Length == 1 && m_Data[0] == SyntaxErrorTfi) {
            frame.kind = Frame::Kind::SyntaxError;
        } else {
            frame.kind = Frame::Kind::Information;
        }
        frame.tfi = m_Data[0];
        frame.data.assign(m_Data.begin() + 1, m_Data.end());
        frame.extended = m_Extended;
        frames.push_back(std::move(frame));
        // The postamble, if any, is skipped as noise by the search for the next start code.
        reset();
        return;
    }
    }
}

}  // namespace pn532
