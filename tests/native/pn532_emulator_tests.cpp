// The PN532 emulator's chip model, driven with the bytes hosts send: wake-up, the answers'
// exact frames, busy listings, NACK and abort, and unknown commands.
#include <gtest/gtest.h>

#include <vector>

#include "Pn532Emulator.h"
#include "Pn532Frame.h"
#include "SimScenario.h"

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

// A Type 2 Tag behind the chip: its raw commands through InDataExchange (Tg 1) and
// InCommunicateThru, as the PN532 hands the tag's answers on.
class Pn532EmulatorType2 : public ::testing::Test {
protected:
    // A session that has listed the scenario's first card.
    void listCard(pn532emu::Emulator &chip)
    {
        send(chip, frame({0x14, 0x01}), 0);
        send(chip, frame({0x32, 0x01, 0x01}));
        send(chip, frame({0x32, 0x05, 0x00, 0x01, 0x02}));
        ASSERT_EQ(send(chip, frame({0x4A, 0x01, 0x00})),
                  ackAnd({0x4B, 0x01, 0x01, 0x00, 0x44, 0x00, 0x07, 0x04, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6}));
    }

    // The tag's memory as the model lays it out for the scenario's card.
    static Bytes memory(bool readOnly)
    {
        sim::CardModels models;
        sim::makeCardModels(scenario(readOnly ? ReadOnlyCard : WritableCard).cards.at(0), models);
        EXPECT_TRUE(models.type2 != nullptr);
        return models.type2 ? models.type2->memory() : Bytes();
    }

    static Bytes range(const Bytes &m, size_t firstPage, size_t pages)
    {
        return Bytes(m.begin() + static_cast<long>(firstPage * 4), m.begin() + static_cast<long>((firstPage + pages) * 4));
    }

    static Bytes join(Bytes a, const Bytes &b)
    {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }

    static const char WritableCard[];
    static const char ReadOnlyCard[];
};

const char Pn532EmulatorType2::WritableCard[] =
    "card T2 0 100000 size=504 uid=04A1B2C3D4E5F6 "
    "sig=000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F\n"
    "uri https://example.com/t2\n";
const char Pn532EmulatorType2::ReadOnlyCard[] = "card T2 0 100000 size=504 uid=04A1B2C3D4E5F6 readonly\n"
                                                "text en locked\n";

TEST_F(Pn532EmulatorType2, EachTagCommandThroughInDataExchangeAnswersAsTheChipHandsItOn)
{
    const Bytes m = memory(false);
    const size_t pages = m.size() / 4;
    const uint8_t last = static_cast<uint8_t>(pages - 1);
    Bytes signature;
    for (uint8_t i = 0; i < 32; ++i) {
        signature.push_back(i);
    }
    const struct {
        const char *what;
        Bytes command;  // after D4 40 01
        Bytes answer;   // after D5 41: status, data
    } cases[] = {
        {"READ of four pages", {0x30, 0x04}, join({0x00}, range(m, 4, 4))},
        {"READ wrapping past the last page", {0x30, last}, join(join({0x00}, range(m, last, 1)), range(m, 0, 3))},
        {"READ past the end: NAK", {0x30, static_cast<uint8_t>(pages)}, {0x13}},
        {"FAST_READ of 65 pages, the largest answer", {0x3A, 0x00, 0x40}, join({0x00}, range(m, 0, 65))},
        {"FAST_READ of 66 pages overflows the chip's buffer", {0x3A, 0x00, 0x41}, {0x0E}},
        {"FAST_READ of a reversed range: NAK", {0x3A, 0x05, 0x04}, {0x13}},
        {"FAST_READ past the end: NAK", {0x3A, last, static_cast<uint8_t>(pages)}, {0x13}},
        {"GET_VERSION", {0x60}, {0x00, 0x00, 0x04, 0x04, 0x02, 0x01, 0x00, 0x11, 0x03}},
        {"READ_SIG", {0x3C, 0x00}, join({0x00}, signature)},
        {"READ_SIG of another address: NAK", {0x3C, 0x01}, {0x13}},
        {"WRITE of a data page: ACK", {0xA2, 0x20, 0x11, 0x22, 0x33, 0x44}, {0x00, 0x0A}},
        {"WRITE of a UID page: NAK", {0xA2, 0x01, 0x11, 0x22, 0x33, 0x44}, {0x13}},
        {"WRITE past the end: NAK", {0xA2, static_cast<uint8_t>(pages), 1, 2, 3, 4}, {0x13}},
        {"COMPATIBILITY_WRITE with its data in one frame: ACK",
         {0xA0, 0x21, 0xA1, 0xA2, 0xA3, 0xA4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, {0x00, 0x0A}},
        {"COMPATIBILITY_WRITE of a UID page in one frame: NAK",
         {0xA0, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, {0x13}},
        {"COMPATIBILITY_WRITE, first phase: ACK", {0xA0, 0x22}, {0x00, 0x0A}},
        {"COMPATIBILITY_WRITE, second phase: ACK",
         {0xB1, 0xB2, 0xB3, 0xB4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, {0x00, 0x0A}},
        {"the written pages read back, only the first 4 bytes of each COMPATIBILITY_WRITE",
         {0x30, 0x20},
         join({0x00, 0x11, 0x22, 0x33, 0x44, 0xA1, 0xA2, 0xA3, 0xA4, 0xB1, 0xB2, 0xB3, 0xB4}, range(m, 0x23, 1))},
        {"HALT gets no answer: time-out", {0x50, 0x00}, {0x01}},
        {"READ of the wrong length gets no answer", {0x30}, {0x01}},
        {"no ISO/IEC 14443-4 block is understood", {0x02, 0x00, 0xA4, 0x04, 0x00}, {0x01}},
    };
    pn532emu::Emulator chip(scenario(WritableCard), pn532emu::Fault());
    listCard(chip);
    for (const auto &c : cases) {
        Bytes command{0x40, 0x01};
        command.insert(command.end(), c.command.begin(), c.command.end());
        EXPECT_EQ(send(chip, frame(command)), ackAnd(join({0x41}, c.answer))) << c.what;
    }
}

TEST_F(Pn532EmulatorType2, WritesPersistAcrossListingsAndSessionsAndLockedPagesAreRefused)
{
    pn532emu::Emulator chip(scenario(WritableCard), pn532emu::Fault());
    listCard(chip);
    EXPECT_EQ(send(chip, frame({0x40, 0x01, 0xA2, 0x04, 0xDE, 0xAD, 0xBE, 0xEF})), ackAnd({0x41, 0x00, 0x0A}));
    send(chip, frame({0x52, 0x00}));
    send(chip, frame({0x16, 0xF0}));
    listCard(chip);  // a new session of the same run
    const Bytes m = memory(false);
    EXPECT_EQ(send(chip, frame({0x40, 0x01, 0x30, 0x04})),
              ackAnd(join({0x41, 0x00, 0xDE, 0xAD, 0xBE, 0xEF}, range(m, 5, 3))));

    pn532emu::Emulator locked(scenario(ReadOnlyCard), pn532emu::Fault());
    listCard(locked);
    const Bytes lockedMemory = memory(true);
    const struct {
        uint8_t page;
    } pages[] = {{0x03}, {0x04}, {0x0F}, {0x10}, {0x81}};
    for (const auto &p : pages) {
        EXPECT_EQ(send(locked, frame({0x40, 0x01, 0xA2, p.page, 1, 2, 3, 4})), ackAnd({0x41, 0x13}))
            << "page " << int(p.page);
        EXPECT_EQ(send(locked, frame({0x40, 0x01, 0x30, p.page})),
                  ackAnd(join({0x41, 0x00}, range(lockedMemory, p.page, 4)))) << "page " << int(p.page);
    }
}

TEST_F(Pn532EmulatorType2, InCommunicateThruHandsTheFourBitAnswersAndFollowsTheCrcRegisters)
{
    pn532emu::Emulator chip(scenario(WritableCard), pn532emu::Fault());
    listCard(chip);
    const Bytes m = memory(false);
    const Bytes version{0x00, 0x04, 0x04, 0x02, 0x01, 0x00, 0x11, 0x03};
    const struct {
        const char *what;
        Bytes registers;  // WriteRegister list before the frame, empty: none
        Bytes frame;      // after D4 42
        Bytes answer;     // after D5 43
    } cases[] = {
        {"READ, the chip's CRC", {}, {0x30, 0x04}, join({0x00}, range(m, 4, 4))},
        {"WRITE: the ACK as a byte", {}, {0xA2, 0x30, 1, 2, 3, 4}, {0x00, 0x0A}},
        {"WRITE of a UID page: the NAK as a byte", {}, {0xA2, 0x00, 1, 2, 3, 4}, {0x00, 0x00}},
        {"an unknown command: time-out", {}, {0x50, 0x00}, {0x01}},
        // libnfc's raw frames: CRC switched off both ways, the host appends it and gets the tag's.
        {"GET_VERSION with the host's CRC", {0x63, 0x02, 0x00, 0x63, 0x03, 0x00}, {0x60, 0xF8, 0x32},
         join(join({0x00}, version), {0x01, 0x9E})},
        {"READ with the host's CRC", {}, {0x30, 0x00, 0x02, 0xA8}, join(join({0x00}, range(m, 0, 4)), {0x3D, 0xB7})},
        {"a frame with a wrong CRC goes unanswered", {}, {0x60, 0xF8, 0x33}, {0x01}},
        {"a frame too short for a CRC goes unanswered", {}, {0x60}, {0x01}},
        {"a WRITE with a wrong CRC is not carried out", {}, {0xA2, 0x31, 5, 6, 7, 8, 0x00, 0x00}, {0x01}},
        {"WRITE with the host's CRC: the ACK has none", {}, {0xA2, 0x30, 1, 2, 3, 4, 0xB9, 0xAE}, {0x00, 0x0A}},
        {"the CRC switched on again: one WRITE was carried out", {0x63, 0x02, 0x80, 0x63, 0x03, 0x80}, {0x30, 0x30},
         join({0x00, 1, 2, 3, 4}, range(m, 0x31, 3))},
    };
    for (const auto &c : cases) {
        if (!c.registers.empty()) {
            EXPECT_EQ(send(chip, frame(join({0x08}, c.registers))), ackAnd({0x09})) << c.what;
        }
        EXPECT_EQ(send(chip, frame(join({0x42}, c.frame))), ackAnd(join({0x43}, c.answer))) << c.what;
    }
}

}  // namespace
