// InListPassiveTarget target data of each kind, the additional data block built from it, and
// the error pairs of the chip's status byte.
#include <gtest/gtest.h>

#include <vector>

#include "Pn532PortName.h"
#include "ReaderPortName.h"
#include "Pn532Status.h"
#include "ReaderTarget.h"
#include "korvat_nfc_plugin.h"
#include "Pn532ErrorCodes.h"
#include "Pn532Limits.h"

namespace {

using Bytes = std::vector<uint8_t>;
using reader::Modulation;

// Answers of a PN532 (after D5 4B) as seen on the wire, one target each.
const Bytes TypeAAnswer{0x01, 0x01, 0x03, 0x44, 0x20, 0x07, 0x04, 0x11, 0x22, 0x33,
                        0x44, 0x55, 0x66, 0x06, 0x75, 0x77, 0x81, 0x02, 0x80};
const Bytes TypeBAnswer{0x01, 0x01, 0x50, 0x12, 0x34, 0x56, 0x78, 0x00, 0x00, 0x00, 0x00, 0x00, 0x81, 0x71, 0x01, 0x01};
const Bytes FelicaAnswer{0x01, 0x01, 0x14, 0x01, 0x01, 0x2E, 0x4C, 0x12, 0x34, 0x56, 0x78, 0x9A,
                         0x03, 0x01, 0x4B, 0x02, 0x4F, 0x49, 0x93, 0xFF, 0x12, 0xFC};

uint32_t u32(const Bytes &b, size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

TEST(ReaderTarget, TypeATargetBecomesItsAdditionalDataFieldByField)
{
    std::vector<reader::ListedTarget> targets;
    ASSERT_TRUE(reader::parseListedTargets(Modulation::TypeA106, TypeAAnswer.data(), TypeAAnswer.size(), targets));
    ASSERT_EQ(targets.size(), 1u);
    const reader::ListedTarget &t = targets[0];
    EXPECT_EQ(t.sensRes, 0x0344);  // the chip sends it high byte first
    EXPECT_EQ(t.ats, (Bytes{0x06, 0x75, 0x77, 0x81, 0x02, 0x80}));

    const Bytes block = reader::additionalData(t, 5);
    ASSERT_EQ(block.size(), 25u + 6);
    EXPECT_EQ(u32(block, 0), 1u);
    EXPECT_EQ(u32(block, GP_AD_TARGET_NUMBER), 5u);
    EXPECT_EQ(block[GP_AD_A_SENS_RES], 0x44);  // little-endian 0x0344
    EXPECT_EQ(block[GP_AD_A_SENS_RES + 1], 0x03);
    EXPECT_EQ(block[GP_AD_A_SEL_RES], 0x20);
    EXPECT_EQ(block[GP_AD_A_NFCID1_SIZE], 7);
    EXPECT_EQ(Bytes(block.begin() + GP_AD_A_NFCID1, block.begin() + GP_AD_A_NFCID1 + 10),
              (Bytes{0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0, 0, 0}));
    EXPECT_EQ(block[GP_AD_A_ATS_SIZE], 6);
    EXPECT_EQ(Bytes(block.begin() + GP_AD_A_ATS, block.end()), t.ats);
}

TEST(ReaderTarget, TypeBAndFelicaTargetsBecomeTheirAdditionalData)
{
    std::vector<reader::ListedTarget> targets;
    ASSERT_TRUE(reader::parseListedTargets(Modulation::TypeB106, TypeBAnswer.data(), TypeBAnswer.size(), targets));
    Bytes block = reader::additionalData(targets.at(0), 2);
    ASSERT_EQ(block.size(), 23u + 1);
    EXPECT_EQ(u32(block, 0), 8u);
    EXPECT_EQ(Bytes(block.begin() + GP_AD_B_ATQB, block.begin() + GP_AD_B_ATQB + 12),
              Bytes(TypeBAnswer.begin() + 2, TypeBAnswer.begin() + 14));
    EXPECT_EQ(block[GP_AD_B_ATTRIB_SIZE], 1);
    EXPECT_EQ(block[GP_AD_B_ATTRIB], 0x01);
    EXPECT_EQ(targets[0].identifier(), (Bytes{0x12, 0x34, 0x56, 0x78}));  // PUPI

    for (Modulation m : {Modulation::Felica212, Modulation::Felica424}) {
        ASSERT_TRUE(reader::parseListedTargets(m, FelicaAnswer.data(), FelicaAnswer.size(), targets));
        block = reader::additionalData(targets.at(0), 3);
        const uint32_t type = m == Modulation::Felica212 ? 2u : 4u;
        ASSERT_EQ(block.size(), 27u + 2);
        EXPECT_EQ(u32(block, 0), type);
        EXPECT_EQ(block[GP_AD_ID_BYTE], type);  // 4 gives the record's id 0
        EXPECT_EQ(Bytes(block.begin() + GP_AD_F_NFCID2, block.begin() + GP_AD_F_NFCID2 + 8),
                  Bytes(FelicaAnswer.begin() + 4, FelicaAnswer.begin() + 12));
        EXPECT_EQ(Bytes(block.begin() + GP_AD_F_PAD, block.begin() + GP_AD_F_PAD + 8),
                  Bytes(FelicaAnswer.begin() + 12, FelicaAnswer.begin() + 20));
        EXPECT_EQ(block[GP_AD_F_RD_SIZE], 2);
        EXPECT_EQ(Bytes(block.begin() + GP_AD_F_RD, block.end()), (Bytes{0x12, 0xFC}));
    }
}

TEST(ReaderTarget, NoTargetAndTwoTargetsAreRead)
{
    std::vector<reader::ListedTarget> targets;
    const Bytes none{0x00};
    EXPECT_TRUE(reader::parseListedTargets(Modulation::TypeA106, none.data(), none.size(), targets));
    EXPECT_TRUE(targets.empty());
    // Two MIFARE-like cards (no ATS: SEL_RES bit 6 clear), 4-byte UIDs.
    const Bytes two{0x02, 0x01, 0x00, 0x04, 0x08, 0x04, 0xA1, 0xA2, 0xA3, 0xA4,
                    0x02, 0x00, 0x04, 0x08, 0x04, 0xB1, 0xB2, 0xB3, 0xB4};
    ASSERT_TRUE(reader::parseListedTargets(Modulation::TypeA106, two.data(), two.size(), targets));
    ASSERT_EQ(targets.size(), 2u);
    EXPECT_EQ(targets[1].tg, 2);
    EXPECT_EQ(targets[1].nfcid1, (Bytes{0xB1, 0xB2, 0xB3, 0xB4}));
    EXPECT_TRUE(targets[0].ats.empty());
    EXPECT_EQ(reader::additionalData(targets[0], 1).size(), 25u);
}

struct MalformedCase {
    const char *name;
    Modulation modulation;
    Bytes data;
};

class Pn532MalformedTargets : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(Pn532MalformedTargets, AreRefusedWithoutReadingPastTheData)
{
    const MalformedCase &c = GetParam();
    // An exact-size heap copy, so that a read past the end is caught by the address sanitizer.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[c.data.size() + 1]);
    std::copy(c.data.begin(), c.data.end(), copy.get());
    std::vector<reader::ListedTarget> targets;
    EXPECT_FALSE(reader::parseListedTargets(c.modulation, copy.get(), c.data.size(), targets)) << c.name;
    EXPECT_TRUE(targets.empty()) << c.name;
}

Bytes cut(const Bytes &b, size_t drop)
{
    return Bytes(b.begin(), b.end() - static_cast<long>(drop));
}

Bytes with(Bytes b, size_t at, uint8_t value)
{
    b[at] = value;
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Pn532MalformedTargets,
    ::testing::Values(MalformedCase{"empty", Modulation::TypeA106, {}},
                      MalformedCase{"three targets", Modulation::TypeA106, with(TypeAAnswer, 0, 3)},
                      MalformedCase{"A cut in the ATS", Modulation::TypeA106, cut(TypeAAnswer, 1)},
                      // Found by the fuzz target: the first target must not survive a failure.
                      MalformedCase{"A second target missing", Modulation::TypeA106, with(TypeAAnswer, 0, 2)},
                      MalformedCase{"A cut in the UID", Modulation::TypeA106, cut(TypeAAnswer, 10)},
                      MalformedCase{"A UID longer than 10", Modulation::TypeA106, with(TypeAAnswer, 5, 11)},
                      MalformedCase{"A ATS length 0", Modulation::TypeA106, with(TypeAAnswer, 13, 0)},
                      MalformedCase{"A trailing bytes", Modulation::TypeA106, with(TypeAAnswer, 4, 0x00)},
                      MalformedCase{"B cut in the ATQB", Modulation::TypeB106, cut(TypeBAnswer, 6)},
                      MalformedCase{"B ATQB without 50", Modulation::TypeB106, with(TypeBAnswer, 2, 0x51)},
                      MalformedCase{"B ATTRIB longer than the data", Modulation::TypeB106, with(TypeBAnswer, 14, 9)},
                      MalformedCase{"F length under 18", Modulation::Felica212, with(FelicaAnswer, 2, 0x11)},
                      MalformedCase{"F length over the data", Modulation::Felica424, with(FelicaAnswer, 2, 0x20)},
                      MalformedCase{"F wrong response code", Modulation::Felica212, with(FelicaAnswer, 3, 0x02)}),
    [](const ::testing::TestParamInfo<MalformedCase> &info) {
        std::string name = info.param.name;
        for (char &c : name) {
            if (!isalnum(static_cast<unsigned char>(c))) {
                c = '_';
            }
        }
        return name;
    });

TEST(ReaderTarget, EncodedTargetDataParsesBackToTheSameTarget)
{
    for (const auto &c : {std::make_pair(Modulation::TypeA106, TypeAAnswer), std::make_pair(Modulation::TypeB106, TypeBAnswer),
                          std::make_pair(Modulation::Felica212, FelicaAnswer)}) {
        std::vector<reader::ListedTarget> targets;
        ASSERT_TRUE(reader::parseListedTargets(c.first, c.second.data(), c.second.size(), targets));
        Bytes encoded{0x01};
        const Bytes one = reader::encodeTargetData(c.first, targets[0]);
        encoded.insert(encoded.end(), one.begin(), one.end());
        EXPECT_EQ(encoded, c.second);
    }
}

TEST(Pn532Status, EachErrorCodeMapsToItsPairWithTheStatusByteAsDetail)
{
    const struct {
        uint8_t status;
        uint32_t code;
    } cases[] = {
        {0x01, PN532_E_CARD_NO_ANSWER},    {0x41, PN532_E_CARD_NO_ANSWER},  // MI kept in the detail
        {0x02, PN532_E_CARD_TRANSMISSION}, {0x13, PN532_E_CARD_TRANSMISSION}, {0x2E, PN532_E_CARD_TRANSMISSION},
        {0x07, PN532_E_CHIP_ERROR},        {0x2D, PN532_E_CHIP_ERROR},        {0x3F, PN532_E_CHIP_ERROR},
        {0x10, PN532_E_CHIP_REFUSED},      {0x27, PN532_E_CHIP_REFUSED},      {0x29, PN532_E_TARGET_RELEASED},
        {0x2B, PN532_E_TARGET_RELEASED},   {0x14, PN532_E_AUTHENTICATION},
    };
    for (const auto &c : cases) {
        const pn532::Error e = pn532::statusError(c.status);
        EXPECT_EQ(e.code, c.code) << "status " << std::hex << int(c.status);
        EXPECT_EQ(e.detail, c.status);
    }
}

}  // namespace

namespace {

TEST(Pn532PortNames, ComPortsMapToTheirWindowsDevice)
{
    const struct {
        const char *port;
        const char *device;  // null: refused
    } cases[] = {
        {"COM1", "\\\\.\\COM1"}, {"COM3", "\\\\.\\COM3"}, {"COM10", "\\\\.\\COM10"}, {"COM255", "\\\\.\\COM255"},
        {"COM", nullptr},        {"COM0", nullptr},       {"COM03", nullptr},       {"COM256", nullptr},
        {"COM1A", nullptr},      {"com3", nullptr},       {"SIM0", nullptr},        {"COM1000", nullptr},
    };
    for (const auto &c : cases) {
        std::string device;
        EXPECT_EQ(pn532::serialDeviceName(c.port, device), c.device != nullptr) << c.port;
        if (c.device != nullptr) {
            EXPECT_EQ(device, c.device);
        }
    }
}

TEST(Pn532PortNames, CategoryIsFoundAtItsPositionAsTheLibrarySplitsTheList)
{
    EXPECT_EQ(reader::categoryPosition("COM", "COM"), 0);
    EXPECT_EQ(reader::categoryPosition("USB, F2PORT ,COM", "COM"), 2);
    EXPECT_EQ(reader::categoryPosition("SIM,,  COM  ", "COM"), 2);  // empty items keep their place
    EXPECT_EQ(reader::categoryPosition("SIM, COMX", "COM"), -1);
    EXPECT_EQ(reader::categoryPosition("", "COM"), -1);
    EXPECT_EQ(reader::categoryPosition(std::string(4094, 'A') + ",COM", "COM"), -1);  // past 4096 characters
}

}  // namespace
