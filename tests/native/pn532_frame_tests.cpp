// PN532 frames: encoding with both checksums, and the streaming reader on clean and hostile
// byte streams.
#include <gtest/gtest.h>

#include <vector>

#include "Pn532Frame.h"

namespace {

using pn532::Frame;
using Bytes = std::vector<uint8_t>;

std::vector<Frame> readAll(const Bytes &bytes, size_t piece = 0)
{
    pn532::FrameReader reader;
    std::vector<Frame> frames;
    if (piece == 0) {
        reader.feed(bytes.data(), bytes.size(), frames);
    } else {
        for (size_t i = 0; i < bytes.size(); i += piece) {
            reader.feed(bytes.data() + i, std::min(piece, bytes.size() - i), frames);
        }
    }
    return frames;
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

TEST(Pn532FrameEncoding, NormalFramesMatchTheChipsWireBytes)
{
    // GetFirmwareVersion and a PN532 v1.6's answer, as seen on the wire.
    EXPECT_EQ(pn532::encodeFrame(pn532::HostToChip, Bytes{0x02}), (Bytes{0x00, 0x00, 0xFF, 0x02, 0xFE, 0xD4, 0x02, 0x2A, 0x00}));
    EXPECT_EQ(pn532::encodeFrame(pn532::ChipToHost, Bytes{0x03, 0x32, 0x01, 0x06, 0x07}),
              (Bytes{0x00, 0x00, 0xFF, 0x06, 0xFA, 0xD5, 0x03, 0x32, 0x01, 0x06, 0x07, 0xE8, 0x00}));
    // InListPassiveTarget, one type A target.
    EXPECT_EQ(pn532::encodeFrame(pn532::HostToChip, Bytes{0x4A, 0x01, 0x00}),
              (Bytes{0x00, 0x00, 0xFF, 0x04, 0xFC, 0xD4, 0x4A, 0x01, 0x00, 0xE1, 0x00}));
}

TEST(Pn532FrameEncoding, DataOverTheNormalLimitUsesTheExtendedForm)
{
    const Bytes at255(254, 0x11);  // TFI + 254 = 255: still a normal frame
    const Bytes normal = pn532::encodeFrame(pn532::HostToChip, at255);
    EXPECT_EQ(normal[3], 0xFF);
    EXPECT_EQ(normal[4], 0x01);
    EXPECT_EQ(normal.size(), 3u + 2 + 255 + 2);

    const Bytes over(264, 0x22);  // TFI + 264 = 265, the chip's limit
    const Bytes extended = pn532::encodeFrame(pn532::HostToChip, over);
    ASSERT_EQ(extended.size(), 3u + 5 + 265 + 2);
    EXPECT_EQ((Bytes(extended.begin(), extended.begin() + 8)), (Bytes{0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x01, 0x09, 0xF6}));
    const std::vector<Frame> frames = readAll(extended);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].extended);
    EXPECT_EQ(frames[0].data, over);
}

TEST(Pn532FrameReader, RecognisesAckNackAndSyntaxErrorFrames)
{
    const Bytes stream = concat({Bytes(pn532::AckFrame, pn532::AckFrame + 6), Bytes(pn532::NackFrame, pn532::NackFrame + 6),
                                 Bytes(pn532::SyntaxErrorFrame, pn532::SyntaxErrorFrame + 8)});
    const std::vector<Frame> frames = readAll(stream);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].kind, Frame::Kind::Ack);
    EXPECT_EQ(frames[1].kind, Frame::Kind::Nack);
    EXPECT_EQ(frames[2].kind, Frame::Kind::SyntaxError);
}

struct StreamCase {
    const char *name;
    Bytes stream;
    std::vector<Frame::Kind> kinds;  // the frames the reader must find, in order
};

// Each stream ends with a good answer frame, which must always be found intact.
const Bytes GoodAnswer = pn532::encodeFrame(pn532::ChipToHost, Bytes{0x41, 0x00, 0x90, 0x00});

class Pn532FrameStreams : public ::testing::TestWithParam<StreamCase> {};

TEST_P(Pn532FrameStreams, FindsTheFramesWhateverTheReadSizes)
{
    const StreamCase &c = GetParam();
    for (size_t piece : {0, 1, 2, 3, 7}) {
        const std::vector<Frame> frames = readAll(c.stream, piece);
        ASSERT_EQ(frames.size(), c.kinds.size()) << c.name << ", pieces of " << piece;
        for (size_t i = 0; i < frames.size(); ++i) {
            EXPECT_EQ(frames[i].kind, c.kinds[i]) << c.name << ", frame " << i;
        }
        EXPECT_EQ(frames.back().data, (Bytes{0x41, 0x00, 0x90, 0x00})) << c.name;
        EXPECT_EQ(frames.back().tfi, pn532::ChipToHost) << c.name;
    }
}

Bytes withBadDataChecksum(Bytes frame)
{
    frame[frame.size() - 2] ^= 0x01;
    return frame;
}

INSTANTIATE_TEST_SUITE_P(
    Streams, Pn532FrameStreams,
    ::testing::Values(
        StreamCase{"clean", GoodAnswer, {Frame::Kind::Information}},
        StreamCase{"wake-up burst before the frame",
                   concat({{0x55, 0x55, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, GoodAnswer}),
                   {Frame::Kind::Information}},
        StreamCase{"line noise and long preamble", concat({{0x13, 0xFF, 0x37, 0x00, 0x00, 0x00}, GoodAnswer}),
                   {Frame::Kind::Information}},
        StreamCase{"ACK then answer in one burst",
                   concat({Bytes(pn532::AckFrame, pn532::AckFrame + 6), GoodAnswer}),
                   {Frame::Kind::Ack, Frame::Kind::Information}},
        // A start code followed by a wrong length checksum is noise; the real frame begins
        // inside what looked like its header.
        StreamCase{"bad length checksum", concat({{0x00, 0xFF, 0x07, 0x00}, GoodAnswer}),
                   {Frame::Kind::Information}},
        StreamCase{"noise header hides a start code",
                   concat({{0x00, 0xFF, 0x00}, Bytes(GoodAnswer.begin() + 1, GoodAnswer.end())}),
                   {Frame::Kind::Information}},
        StreamCase{"bad extended length checksum", concat({{0x00, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00}, GoodAnswer}),
                   {Frame::Kind::Information}},
        StreamCase{"zero length", concat({{0x00, 0xFF, 0x00, 0x00}, GoodAnswer}), {Frame::Kind::Information}},
        StreamCase{"extended length over the chip's limit",
                   concat({{0x00, 0xFF, 0xFF, 0xFF, 0x01, 0x0A, 0xF5}, GoodAnswer}),
                   {Frame::Kind::Information}},
        StreamCase{"damaged frame then a good one", concat({withBadDataChecksum(GoodAnswer), GoodAnswer}),
                   {Frame::Kind::Damaged, Frame::Kind::Information}},
        StreamCase{"frame without postamble", concat({Bytes(GoodAnswer.begin(), GoodAnswer.end() - 1), GoodAnswer}),
                   {Frame::Kind::Information, Frame::Kind::Information}}),
    [](const ::testing::TestParamInfo<StreamCase> &info) {
        std::string name = info.param.name;
        for (char &c : name) {
            if (!isalnum(static_cast<unsigned char>(c))) {
                c = '_';
            }
        }
        return name;
    });

TEST(Pn532FrameReader, ReportsAFrameInProgressUntilItIsCompleteOrReset)
{
    pn532::FrameReader reader;
    std::vector<Frame> frames;
    reader.feed(GoodAnswer.data(), 7, frames);
    EXPECT_TRUE(reader.inFrame());
    EXPECT_TRUE(frames.empty());
    reader.reset();
    EXPECT_FALSE(reader.inFrame());
    // After the reset the rest of the cut frame is noise, and the next frame is read whole.
    reader.feed(GoodAnswer.data() + 7, GoodAnswer.size() - 7, frames);
    reader.feed(GoodAnswer.data(), GoodAnswer.size(), frames);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, (Bytes{0x41, 0x00, 0x90, 0x00}));
}

TEST(Pn532FrameReader, ASmallerMaximumTurnsLongerFramesIntoNoise)
{
    pn532::FrameReader reader(10);
    std::vector<Frame> frames;
    const Bytes longFrame = pn532::encodeFrame(pn532::ChipToHost, Bytes(20, 0x01));
    reader.feed(longFrame.data(), longFrame.size(), frames);
    reader.feed(GoodAnswer.data(), GoodAnswer.size(), frames);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, (Bytes{0x41, 0x00, 0x90, 0x00}));
}

}  // namespace
