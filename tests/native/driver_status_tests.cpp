// Classification of the reader's DriverStatus word: every branch by a table of words, then the
// whole input space swept for the rules that hold for every word.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "NfcDriverStatus.h"
#include "korvat_nfc.h"
#include "korvat_nfc_plugin.h"

namespace {

const char DriverStatusLine[] = "ERROR! KORVAT_NFC_E_DRIVER_STATUS\n";
const char CardErrorLine[] = "ERROR! STATUS_CARD_ERROR\n";
const char DeviceErrorLine[] = "ERROR! STATUS_DEVICE_ERROR\n";
const char ListenModeLine[] = "ERROR! Connect report. CONNECT_REPORT_LISTEN_MODE\n";

// Bits 4-5, 10-19 and 28-31: never examined.
const uint32_t IgnoredBits = 0xF00FFC30u;
// Bits 20-27: the error details, examined only with state codes 14 and 15.
const uint32_t DetailBits = 0x0FF00000u;

struct Expected {
    uint32_t word;
    int status;
    uint32_t errorCode;
    std::vector<std::string> messages;
};

std::vector<std::string> messagesOf(const NfcStatusClassification &result)
{
    std::vector<std::string> messages;
    for (int i = 0; i < result.messageCount; ++i) {
        messages.push_back(result.messages[i] != nullptr ? result.messages[i] : "(null)");
    }
    return messages;
}

std::string hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%08Xh", value);
    return text;
}

void expectClassified(uint32_t word, const Expected &expected)
{
    const NfcStatusClassification result = NfcDriverStatus::classify(word);
    EXPECT_EQ(result.status, expected.status) << "status word " << hex(word);
    EXPECT_EQ(result.errorCode, expected.errorCode) << "status word " << hex(word);
    EXPECT_EQ(messagesOf(result), expected.messages) << "status word " << hex(word);
}

std::vector<Expected> branchTable()
{
    std::vector<Expected> table;
    // State codes 0 and 3..13 are illegal whatever else is set.
    for (uint32_t state : {0u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, 12u, 13u}) {
        table.push_back({state, DRIVER_STATUS_ERROR, KORVAT_NFC_E_DRIVER_STATUS, {DriverStatusLine}});
        table.push_back({state | 0x140u, DRIVER_STATUS_ERROR, KORVAT_NFC_E_DRIVER_STATUS, {DriverStatusLine}});
    }
    // 1 and 2 are fine states: nothing to report without further bits.
    table.push_back({0x1, DRIVER_STATUS_NONE, 0, {}});
    table.push_back({0x2, DRIVER_STATUS_NONE, 0, {}});
    // Card error detail in bits 20-23; the connect and access bits do not count then.
    table.push_back({0x0010000E, DRIVER_STATUS_ERROR, KORVAT_NFC_E_CARD_ERROR_1, {CardErrorLine}});
    table.push_back({0x0020000E, DRIVER_STATUS_ERROR, KORVAT_NFC_E_CARD_ERROR_2, {CardErrorLine}});
    table.push_back({0x0030000E, DRIVER_STATUS_ERROR, KORVAT_NFC_E_CARD_ERROR_OTHER, {CardErrorLine}});
    table.push_back({0x0000000E, DRIVER_STATUS_ERROR, KORVAT_NFC_E_CARD_ERROR_OTHER, {CardErrorLine}});
    table.push_back({0x00F0000E, DRIVER_STATUS_ERROR, KORVAT_NFC_E_CARD_ERROR_OTHER, {CardErrorLine}});
    table.push_back({0x001003CE, DRIVER_STATUS_ERROR, KORVAT_NFC_E_CARD_ERROR_1, {CardErrorLine}});
    // The device error detail does not select the card error kind.
    table.push_back({0x0100000E, DRIVER_STATUS_ERROR, KORVAT_NFC_E_CARD_ERROR_OTHER, {CardErrorLine}});
    // Device error detail in bits 24-27: 1..5 have their own codes, 0 and 6..15 share one.
    for (uint32_t kind = 0; kind < 16; ++kind) {
        const uint32_t code =
            (kind >= 1 && kind <= 5) ? KORVAT_NFC_E_DEVICE_ERROR_1 + (kind - 1) : KORVAT_NFC_E_DEVICE_ERROR_OTHER;
        table.push_back({(kind << 24) | 0xF, DRIVER_STATUS_ERROR, code, {DeviceErrorLine}});
    }
    table.push_back({0x0010000F, DRIVER_STATUS_ERROR, KORVAT_NFC_E_DEVICE_ERROR_OTHER, {DeviceErrorLine}});
    table.push_back({0x030003CF, DRIVER_STATUS_ERROR, KORVAT_NFC_E_DEVICE_ERROR_3, {DeviceErrorLine}});
    // Access bits.
    table.push_back({0x101, DRIVER_STATUS_ENABLE_ACCESS, 0, {}});
    table.push_back({0x102, DRIVER_STATUS_ENABLE_ACCESS, 0, {}});
    table.push_back({0x201, DRIVER_STATUS_WAITING_ACCESS, 0, {}});
    table.push_back({0x301, DRIVER_STATUS_ERROR, KORVAT_NFC_E_DRIVER_STATUS, {DriverStatusLine}});
    // Connect report bits.
    table.push_back({0x041, DRIVER_STATUS_FIND, 0, {}});
    table.push_back({0x042, DRIVER_STATUS_FIND, 0, {}});
    table.push_back({0x081, DRIVER_STATUS_ERROR, 0, {ListenModeLine}});
    table.push_back({0x0C1, DRIVER_STATUS_ERROR, KORVAT_NFC_E_DRIVER_STATUS, {DriverStatusLine}});
    // Later steps overwrite the status of earlier ones; an error code once written stays.
    table.push_back({0x141, DRIVER_STATUS_FIND, 0, {}});
    table.push_back({0x241, DRIVER_STATUS_FIND, 0, {}});
    table.push_back({0x341, DRIVER_STATUS_FIND, KORVAT_NFC_E_DRIVER_STATUS, {DriverStatusLine}});
    table.push_back({0x181, DRIVER_STATUS_ERROR, 0, {ListenModeLine}});
    table.push_back({0x281, DRIVER_STATUS_ERROR, 0, {ListenModeLine}});
    table.push_back({0x381, DRIVER_STATUS_ERROR, KORVAT_NFC_E_DRIVER_STATUS, {DriverStatusLine, ListenModeLine}});
    table.push_back({0x1C1, DRIVER_STATUS_ERROR, KORVAT_NFC_E_DRIVER_STATUS, {DriverStatusLine}});
    table.push_back({0x3C1, DRIVER_STATUS_ERROR, KORVAT_NFC_E_DRIVER_STATUS, {DriverStatusLine, DriverStatusLine}});
    return table;
}

TEST(DriverStatusClassification, EveryBranchGivesItsStatusCodeAndMessages)
{
    for (const Expected &expected : branchTable()) {
        expectClassified(expected.word, expected);
    }
}

TEST(DriverStatusClassification, UnlistedBitsChangeNothing)
{
    const uint32_t patterns[] = {IgnoredBits, 0x00000010u, 0x00000020u, 0x00000400u, 0x00080000u, 0x10000000u,
                                 0x80000000u, 0xA005A410u};
    for (const Expected &expected : branchTable()) {
        for (uint32_t pattern : patterns) {
            expectClassified(expected.word | pattern, expected);
        }
    }
    // With the fine states 1 and 2 the error detail bits are not read either.
    for (uint32_t word : {0x001u, 0x002u, 0x041u, 0x101u, 0x201u, 0x081u, 0x341u, 0x3C1u}) {
        const NfcStatusClassification plain = NfcDriverStatus::classify(word);
        const std::vector<std::string> plainMessages = messagesOf(plain);
        expectClassified(word | DetailBits, {word, plain.status, plain.errorCode, plainMessages});
        expectClassified(word | 0x05200000u, {word, plain.status, plain.errorCode, plainMessages});
    }
}

// Rules every word obeys, checked on every combination of the examined bits (each with a random
// pattern of the unexamined ones) and on a million random words.
void checkInvariants(uint32_t word)
{
    const NfcStatusClassification result = NfcDriverStatus::classify(word);
    const int status = result.status;
    ASSERT_TRUE(status == DRIVER_STATUS_NONE || status == DRIVER_STATUS_FIND || status == DRIVER_STATUS_ENABLE_ACCESS ||
                status == DRIVER_STATUS_WAITING_ACCESS || status == DRIVER_STATUS_ERROR)
        << "status " << status << " for " << hex(word);
    ASSERT_GE(result.messageCount, 0) << hex(word);
    ASSERT_LE(result.messageCount, 2) << hex(word);
    for (int i = 0; i < result.messageCount; ++i) {
        ASSERT_NE(result.messages[i], nullptr) << hex(word);
    }

    const NfcStatusClassification bare = NfcDriverStatus::classify(word & ~IgnoredBits);
    ASSERT_EQ(result.status, bare.status) << hex(word);
    ASSERT_EQ(result.errorCode, bare.errorCode) << hex(word);
    ASSERT_EQ(messagesOf(result), messagesOf(bare)) << hex(word);

    const uint32_t state = word & 0xF;
    if (result.errorCode != 0) {
        // A code is only ever one of the classifier's own, and it comes with an error status,
        // except when the found-target report overrides an access error.
        const uint32_t code = result.errorCode;
        ASSERT_TRUE(code == KORVAT_NFC_E_DRIVER_STATUS || (code >= KORVAT_NFC_E_CARD_ERROR_1 &&
                                                             code <= KORVAT_NFC_E_CARD_ERROR_OTHER) ||
                    (code >= KORVAT_NFC_E_DEVICE_ERROR_1 && code <= KORVAT_NFC_E_DEVICE_ERROR_OTHER))
            << hex(word);
        ASSERT_TRUE(status == DRIVER_STATUS_ERROR ||
                    (status == DRIVER_STATUS_FIND && (word & 0x3C0) == 0x340 && code == KORVAT_NFC_E_DRIVER_STATUS))
            << hex(word);
        ASSERT_GE(result.messageCount, 1) << hex(word);
    } else if (status == DRIVER_STATUS_ERROR) {
        // An error without a code is the listen-mode report alone.
        ASSERT_TRUE(state == 1 || state == 2) << hex(word);
        ASSERT_EQ(word & 0xC0, 0x80u) << hex(word);
        ASSERT_EQ(messagesOf(result), std::vector<std::string>{ListenModeLine}) << hex(word);
    }
    if (state != 1 && state != 2) {
        ASSERT_EQ(status, DRIVER_STATUS_ERROR) << hex(word);
        ASSERT_NE(result.errorCode, 0u) << hex(word);
        ASSERT_EQ(result.messageCount, 1) << hex(word);
    } else {
        ASSERT_EQ(result.errorCode == 0 ? 0 : 1,
                  ((word & 0x300) == 0x300 || (word & 0xC0) == 0xC0) ? 1 : 0)
            << hex(word);
    }
}

TEST(DriverStatusClassification, EveryWordClassifiesToAKnownStatus)
{
    std::mt19937 random(20240611u);
    // Bits 0-3, 6-9 and 20-27 are examined: 16 bits, every combination.
    for (uint32_t combination = 0; combination < (1u << 16); ++combination) {
        const uint32_t examined = (combination & 0xF) | (((combination >> 4) & 0xF) << 6) |
                                  (((combination >> 8) & 0xFF) << 20);
        checkInvariants(examined | (random() & IgnoredBits));
        if (HasFatalFailure()) {
            return;
        }
    }
    for (int i = 0; i < (1 << 20); ++i) {
        checkInvariants(static_cast<uint32_t>(random()));
        if (HasFatalFailure()) {
            return;
        }
    }
}

TEST(DriverStatusDeparture, OnlyACardErrorWithTheDepartureBitIsADeparture)
{
    const struct {
        uint32_t word;
        bool departed;
    } cases[] = {
        {GP_STATUS_CARD_ERROR | GP_TARGET_DEPARTED, true},
        {GP_STATUS_CARD_ERROR | GP_TARGET_DEPARTED | (2u << GP_CARD_ERROR_DETAIL_SHIFT), true},
        {GP_STATUS_CARD_ERROR, false},
        {GP_STATUS_DEVICE_ERROR | GP_TARGET_DEPARTED, false},
        {GP_STATUS_STATE_IDLE | GP_TARGET_DEPARTED, false},
        {GP_STATUS_STATE_ACTIVE | GP_CONNECT_REPORT_POLL_MODE | GP_TARGET_DEPARTED, false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(NfcDriverStatus::departed(c.word), c.departed) << std::hex << c.word;
    }
}

TEST(DriverStatusDeparture, TheDepartedTargetIsTheOneTheDataNamesElseTheLastFound)
{
    const uint8_t nine[9] = {0, 0, 0, 0, 0, 0x78, 0x56, 0x34, 0x12};
    const struct {
        const char *what;
        const uint8_t *data;
        uint32_t size;
        bool hasLastFound;
        bool known;
        uint32_t number;
    } cases[] = {
        {"data with the number", nine, 9, true, true, 0x12345678u},
        {"data with the number, nothing found before", nine, 9, false, true, 0x12345678u},
        {"data one byte short", nine, 8, true, true, 0xABCDu},
        {"no data", nullptr, 0, true, true, 0xABCDu},
        {"no data and nothing found", nullptr, 0, false, false, 0},
        {"short data and nothing found", nine, 8, false, false, 0},
    };
    for (const auto &c : cases) {
        uint32_t number = 0;
        EXPECT_EQ(NfcDriverStatus::departedTarget(c.data, c.size, c.hasLastFound, 0xABCDu, number), c.known) << c.what;
        if (c.known) {
            EXPECT_EQ(number, c.number) << c.what;
        }
    }
}

}  // namespace
