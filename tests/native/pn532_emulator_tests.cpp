// The PN532 emulator's chip model, driven with the bytes hosts send: wake-up, the answers'
// exact frames, busy listings, NACK and abort, and unknown commands.
#include <gtest/gtest.h>

#include <vector>

#include "Pn532Emulator.h"
#include "Pn532Frame.h"

namespace {

using Bytes = std::vector<uint8_t>;

sim::Scenario scenario(const char *text)
{
    sim::Scenario s;
    uint32_t line = 0;
    EXPECT_TRUE(sim::parseScenario(text, s, line)) << "line " << line;
    return s;
}

const char Cards[] =
    "card A 0 1000 nfcid1=04112233445566 sens_res=0344 sel_res=20 ats=067577810280\n"
    "card F 0 1000 nfcid2=012E4C123456789A pad=03014B024F4993FF rd=12FC\n";

Bytes frame(const Bytes &pd)
{
    return pn532::encodeFrame(pn532::HostToChip, pd);
}

// What the chip writes for these host bytes at `now` (all outputs, delays ignored).
Bytes send(pn532emu::Emulator &chip, const Bytes &bytes, uint32_t now = 10)
{
    std::vector<pn532emu::Output> outputs;
    bool cancel = false;
    chip.receive(bytes.data(), bytes.size(), now, outputs, cancel);
    Bytes written;
    for (const pn532emu::Output &o : outputs) {
        written.insert(written.end(), o.bytes.begin(), o.bytes.end());
    }
    return written;
}

Bytes ackAnd(const Bytes &answerPd)
{
    Bytes out(pn532::AckFrame, pn532::AckFrame + 6);
    const Bytes f = pn532::encodeFrame(pn532::ChipToHost, answerPd);
    out.insert(out.end(), f.begin(), f.end());
    return out;
}

TEST(Pn532Emulator, AnswersTheWakeUpBurstAndListsCardsAsAPn532Does)
{
    pn532emu::Emulator chip(scenario(Cards), pn532emu::Fault());
    // libnfc's wake-up: 55 55 and fourteen 00, then SAMConfiguration at once, in one write.
    Bytes wake{0x55, 0x55, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const Bytes sam = frame({0x14, 0x01});
    wake.insert(wake.end(), sam.begin(), sam.end());
    EXPECT_EQ(send(chip, wake, 0), (Bytes{0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0x00, 0x00, 0xFF, 0x02, 0xFE, 0xD5, 0x15, 0x16, 0x00}));
    EXPECT_EQ(send(chip, frame({0x02})), ackAnd({0x03, 0x32, 0x01, 0x06, 0x07}));
    send(chip, frame({0x12, 0x14}));          // automatic RATS
    send(chip, frame({0x32, 0x01, 0x01}));    // RF on
    send(chip, frame({0x32, 0x05, 0x00, 0x01, 0x02}));
    EXPECT_EQ(send(chip, frame({0x4A, 0x01, 0x00})),
              ackAnd({0x4B, 0x01, 0x01, 0x03, 0x44, 0x20, 0x07, 0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x06, 0x75,
                      0x77, 0x81, 0x02, 0x80}));
    // FeliCa: any system code, and its own; another system code finds nothing.
    const Bytes felica{0x4B, 0x01, 0x01, 0x14, 0x01, 0x01, 0x2E, 0x4C, 0x12, 0x34, 0x56, 0x78, 0x9A,
                       0x03, 0x01, 0x4B, 0x02, 0x4F, 0x49, 0x93, 0xFF, 0x12, 0xFC};
    EXPECT_EQ(send(chip, frame({0x4A, 0x01, 0x01, 0x00, 0xFF, 0xFF, 0x01, 0x00})), ackAnd(felica));
    EXPECT_EQ(send(chip, frame({0x4A, 0x01, 0x01, 0x00, 0x12, 0xFC, 0x01, 0x00})), ackAnd(felica));
    EXPECT_EQ(send(chip, frame({0x4A, 0x01, 0x01, 0x00, 0x88, 0xB4, 0x01, 0x00})), ackAnd({0x4B, 0x00}));
    // After the cards have left the field.
    EXPECT_EQ(send(chip, frame({0x4A, 0x01, 0x00}), 1500), ackAnd({0x4B, 0x00}));
}

TEST(Pn532Emulator, EndlessRetriesKeepTheChipBusyUntilTheHostAborts)
{
    pn532emu::Emulator chip(scenario("card A 500 1000\n"), pn532emu::Fault());
    send(chip, frame({0x14, 0x01}), 0);
    send(chip, frame({0x32, 0x01, 0x01}), 0);
    // Default MxRtyPassiveActivation FF: only the ACK, no answer.
    EXPECT_EQ(send(chip, frame({0x4A, 0x01, 0x00}), 10), Bytes(pn532::AckFrame, pn532::AckFrame + 6));
    std::vector<pn532emu::Output> outputs;
    bool cancel = false;
    chip.receive(pn532::AckFrame, 6, 20, outputs, cancel);
    EXPECT_TRUE(cancel);
    EXPECT_TRUE(outputs.empty());
    EXPECT_EQ(chip.counters().abortsReceived, 1u);
}

TEST(Pn532Emulator, NackResendsTheLastAnswerAndUnknownCommandsGetTheSyntaxErrorFrame)
{
    pn532emu::Emulator chip(scenario(Cards), pn532emu::Fault());
    send(chip, frame({0x14, 0x01}), 0);
    const Bytes answer = send(chip, frame({0x00, 0x00, 0x6C, 0x69, 0x62, 0x6E, 0x66, 0x63}));
    EXPECT_EQ(answer, ackAnd({0x01, 0x00, 0x6C, 0x69, 0x62, 0x6E, 0x66, 0x63}));
    EXPECT_EQ(send(chip, Bytes(pn532::NackFrame, pn532::NackFrame + 6)), Bytes(answer.begin() + 6, answer.end()));
    Bytes syntax(pn532::AckFrame, pn532::AckFrame + 6);
    syntax.insert(syntax.end(), pn532::SyntaxErrorFrame, pn532::SyntaxErrorFrame + 8);
    EXPECT_EQ(send(chip, frame({0x7E})), syntax);
    // A frame with a bad checksum is not acknowledged.
    Bytes bad = frame({0x02});
    bad[bad.size() - 2] ^= 1;
    EXPECT_TRUE(send(chip, bad).empty());
}

}  // namespace
