// The PC/SC reader's states over a model of the resource manager: port names and the reader
// filter, the road for each reader profile, a card present at open, removal (also during an
// exchange), stop modes, a reader and a resource manager that go away and come back, and a stack
// that sets CHANGED on every call without blocking.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "HexText.h"
#include "PcscErrorCodes.h"
#include "PcscLimits.h"
#include "PcscReader.h"
#include "korvat_nfc_plugin.h"

namespace {

using korvat_test::hex;
using korvat_test::unhex;
using pcsc::StatusReport;

const char *const TypeA4Atr = "3B858001807380211046";
const char *const TypeB4Atr = "3B8880010000000000718F10E7";
const char *const Type2Atr = "3B8F8001804F0CA0000003060300030000000068";
const char *const FelicaAtr = "3B8F8001804F0CA00000030611003B0000000042";

// The resource manager with its readers, one card and the reader firmware's answers, as a table
// of answers by command (hex); anything else gets 6D 00. Like the stack under test it sets
// CHANGED on every call and never blocks. A context made before the service stopped is
// invalid once it runs again.
class ModelScard : public pcsc::Scard {
public:
    std::vector<std::string> readers{"Model Reader 0", "Model Reader 1"};
    std::string cardReader = "Model Reader 0";
    bool serviceUp = true;
    bool cardPresent = false;
    uint32_t counter = 0x0001;  // the event counter, upper 16 bits of the state
    std::string atr;
    std::map<std::string, std::string> answers;
    uint32_t failTransmitWith = 0;  // a transmit fails with this SCARD_ code when not 0
    std::vector<std::string> transmitted;
    std::vector<std::string> traces;

    void insert(const char *cardAtr)
    {
        atr = cardAtr;
        cardPresent = true;
        ++counter;
    }
    void remove()
    {
        cardPresent = false;
        ++counter;
    }
    void stopService()
    {
        serviceUp = false;
        ++m_Generation;
    }

    uint32_t establishContext() override
    {
        if (!serviceUp) {
            return pcsc::ScardENoService;
        }
        m_Context = m_Generation;
        m_HasContext = true;
        return 0;
    }
    void releaseContext() override
    {
        disconnect();
        m_HasContext = false;
    }
    uint32_t listReaders(std::vector<std::string> &list) override
    {
        const uint32_t code = contextCode();
        if (code != 0) {
            return code;
        }
        list = readers;
        return list.empty() ? pcsc::ScardENoReadersAvailable : 0;
    }
    uint32_t readerState(const std::string &reader, uint32_t, uint32_t &eventState, std::vector<uint8_t> &cardAtr) override
    {
        const uint32_t code = contextCode();
        if (code != 0) {
            return code;
        }
        bool known = false;
        for (const std::string &r : readers) {
            known = known || r == reader;
        }
        if (!known) {
            return pcsc::ScardEUnknownReader;
        }
        const bool here = cardPresent && reader == cardReader;
        eventState = pcsc::StateChanged | (here ? pcsc::StatePresent : pcsc::StateEmpty) |
                     (reader == cardReader ? counter << 16 : 0);
        cardAtr = here ? unhex(atr) : std::vector<uint8_t>();
        return 0;
    }
    uint32_t connect(const std::string &reader) override
    {
        const uint32_t code = contextCode();
        if (code != 0) {
            return code;
        }
        if (!cardPresent || reader != cardReader) {
            return pcsc::ScardENoSmartcard;
        }
        m_Connected = true;
        return 0;
    }
    void disconnect() override { m_Connected = false; }
    uint32_t transmit(const uint8_t *command, size_t length, std::vector<uint8_t> &answer) override
    {
        const std::string text = hex(std::vector<uint8_t>(command, command + length));
        transmitted.push_back(text);
        if (!m_Connected) {
            return pcsc::ScardEInvalidHandle;
        }
        if (!cardPresent) {
            return pcsc::ScardWRemovedCard;
        }
        if (failTransmitWith != 0) {
            return failTransmitWith;
        }
        const auto found = answers.find(text);
        answer = unhex(found == answers.end() ? "6D00" : found->second);
        return 0;
    }
    uint32_t milliseconds() override { return 0; }
    void trace(const std::string &line) override { traces.push_back(line); }

private:
    uint32_t contextCode() const
    {
        if (!serviceUp) {
            return pcsc::ScardEServiceStopped;
        }
        return m_HasContext && m_Context == m_Generation ? 0 : pcsc::ScardEInvalidHandle;
    }

    uint32_t m_Generation = 1;
    uint32_t m_Context = 0;
    bool m_HasContext = false;
    bool m_Connected = false;
};

// What the reader reported since the last call, and its state.
struct Reports {
    std::vector<StatusReport> events;
    StatusReport steady;
};

Reports reports(pcsc::Reader &reader)
{
    std::deque<StatusReport> events;
    Reports r;
    reader.takeReports(events, r.steady);
    r.events.assign(events.begin(), events.end());
    return r;
}

// A few poll steps, then what they reported.
Reports poll(pcsc::Reader &reader, int steps = 3)
{
    for (int i = 0; i < steps; ++i) {
        reader.pollStep();
    }
    return reports(reader);
}

uint32_t targetNumberOf(const StatusReport &found)
{
    const std::vector<uint8_t> &d = found.additionalData;
    return d[GP_AD_TARGET_NUMBER] | d[GP_AD_TARGET_NUMBER + 1] << 8 | d[GP_AD_TARGET_NUMBER + 2] << 16 |
           static_cast<uint32_t>(d[GP_AD_TARGET_NUMBER + 3]) << 24;
}

const uint32_t Found = GP_STATUS_STATE_ACTIVE | GP_CONNECT_REPORT_POLL_MODE;
const uint32_t CardRemoved = GP_STATUS_CARD_ERROR | PCSC_CARD_ERROR_REMOVED << GP_CARD_ERROR_DETAIL_SHIFT;

class PcscReaderTest : public ::testing::Test {
protected:
    // A type A -4 card behind a reader that offers plain APDUs only.
    void SetUp() override
    {
        scard.answers = {
            {"FFCA000000", "04A1A2A3A4A5A69000"},
            {"FFCA010000", "0578807002" "9000"},
            {"00A4040007D276000085010100", "9000"},
        };
    }
    void openAndPoll(uint32_t targetDevice = 1 | 2 | 8)
    {
        ASSERT_TRUE(reader.open(0, error)) << std::hex << error.code << " " << error.detail;
        ASSERT_TRUE(reader.startPollMode(targetDevice, error));
    }
    // Polls until the card is found; its target number.
    uint32_t find()
    {
        const Reports r = poll(reader);
        if (r.events.size() != 1 || r.events[0].driverStatus != Found) {
            ADD_FAILURE() << "the card was not found once";
            return 0;
        }
        return targetNumberOf(r.events[0]);
    }

    ModelScard scard;
    pcsc::Reader reader{scard, ""};
    pcsc::Error error;
};

TEST(PcscPortNames, ArePcscAndOneDigitAndNumberTheFilteredReadersInListOrder)
{
    const struct {
        const char *name;
        bool valid;
        unsigned number;
    } names[] = {{"PCSC0", true, 0}, {"PCSC9", true, 9}, {"PCSC10", false, 0}, {"PCSC", false, 0},
                 {"pcsc1", false, 0}, {"COM1", false, 0}, {"PCSCA", false, 0}};
    for (const auto &n : names) {
        unsigned number = 99;
        EXPECT_EQ(pcsc::portNumber(n.name, number), n.valid) << n.name;
        if (n.valid) {
            EXPECT_EQ(number, n.number) << n.name;
        }
    }
    const std::vector<std::string> readers{"ACS ACR122U 00 00", "Virtual PCD 00 00", "Virtual PCD 00 01",
                                           "Contact Reader 0"};
    const struct {
        const char *filter;
        unsigned number;
        const char *reader;  // null: none
    } choices[] = {{"", 0, "ACS ACR122U 00 00"},      {"", 3, "Contact Reader 0"},
                   {"", 4, nullptr},                  {"Virtual", 0, "Virtual PCD 00 00"},
                   {"Virtual", 1, "Virtual PCD 00 01"}, {"Virtual", 2, nullptr},
                   {"virtual", 0, nullptr},           {"00 01", 0, "Virtual PCD 00 01"}};
    for (const auto &c : choices) {
        std::string chosen;
        EXPECT_EQ(pcsc::chooseReader(readers, c.filter, c.number, chosen), c.reader != nullptr)
            << c.filter << " " << c.number;
        if (c.reader != nullptr) {
            EXPECT_EQ(chosen, c.reader);
        }
    }
}

TEST_F(PcscReaderTest, OpenFailsWithoutTheServiceOrTheReaderAndRefusesASecondOpen)
{
    scard.serviceUp = false;
    EXPECT_FALSE(reader.open(0, error));
    EXPECT_EQ(error.code, PCSC_E_SERVICE);
    EXPECT_EQ(error.detail, pcsc::ScardENoService);
    scard.serviceUp = true;
    EXPECT_FALSE(reader.open(2, error));
    EXPECT_EQ(error.code, PCSC_E_READER_GONE);
    EXPECT_EQ(error.detail, 0u);
    pcsc::Reader filtered(scard, "Reader 1");
    ASSERT_TRUE(filtered.open(0, error));
    EXPECT_EQ(filtered.readerName(), "Model Reader 1");
    EXPECT_FALSE(filtered.open(0, error));
    EXPECT_EQ(error.code, PCSC_E_PORT_ALREADY_OPEN);
    EXPECT_TRUE(filtered.close(error));
}

// Each profile from the reader's answers to the probe, and the road of a card through it: found
// with its record, access, one exchange as the reader must carry it, stop.
TEST_F(PcscReaderTest, EachProfileCarriesItsCardsFromFindToStop)
{
    const struct Case {
        const char *name;
        const char *atr;
        std::map<std::string, std::string> answers;
        pcsc::Profile profile;
        uint32_t cardType;
        const char *recordTail;  // the additional data from byte 10 on
        const char *frame;
        const char *wireCommand;  // what the exchange transmits
        const char *response;
    } cases[] = {
        {"type A -4, plain", TypeA4Atr,
         {{"FFCA000000", "04A1A2A3A4A5A69000"}, {"FFCA010000", "05788070029000"}, {"00B0000002", "00209000"}},
         pcsc::Profile::PlainApdu, 1, "400020" "07" "04A1A2A3A4A5A6000000" "05" "0578807002", "00B0000002",
         "00B0000002", "00209000"},
        {"type B -4, plain", TypeB4Atr,
         {{"FFCA000000", "112233449000"}, {"FFCA010000", "6A81"}, {"00B0000002", "00209000"}},
         pcsc::Profile::PlainApdu, 8, "50112233440000000000718F" "01" "10", "00B0000002", "00B0000002", "00209000"},
        {"Type 2, storage pages", Type2Atr,
         {{"FFB0000010", "0102030405060708090A0B0C0D0E0F109000"},
          {"FFCA000000", "04C1C2C3C4C5C69000"},
          {"FFB0000310", "E1103E00" "0300FE00" "00000000" "00000000" "9000"}},
         pcsc::Profile::StoragePages, 1, "400000" "07" "04C1C2C3C4C5C6000000" "00", "3003", "FFB0000310",
         "E1103E000300FE000000000000000000"},
        {"FeliCa, transparent session", FelicaAtr,
         {{"FFC20000028100", "C0030090009000"},
          {"FFC20000028200", "C0030090009000"},
          {"FFCA000000", "012E4C5D6E7F80919000"},
          {"FFC20002048F020300", "C0030090009000"},
          {"FFC20000075F4604C0C62D00", "C0030090009000"},  // the time-out, 3 s, as the session's timer
          {"FFC2000105950306FFFF", "C003009000" "9703070102" "9000"}},
         pcsc::Profile::TransparentSession, 2, "012E4C5D6E7F8091" "FFFFFFFFFFFFFFFF" "00", "06FFFF",
         "FFC2000105950306FFFF", "070102"},
        {"type A -4, PN532", TypeA4Atr,
         {{"FF00000002D402", "D503320106079000"},
          {"FF00000004D44A0100", "D54B01010344200704A1A2A3A4A5A60578807002" "9000"},
          {"FF00000007D44001" "00B00000", "D54100" "00209000" "9000"}},
         pcsc::Profile::Pn532, 1, "440320" "07" "04A1A2A3A4A5A6000000" "05" "0578807002", "00B00000",
         "FF00000007D44001" "00B00000", "00209000"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ModelScard model;
        model.answers = c.answers;
        pcsc::Reader r(model, "");
        ASSERT_TRUE(r.open(0, error));
        ASSERT_TRUE(r.startPollMode(1 | 2 | 8, error));
        model.insert(c.atr);
        const Reports found = poll(r);
        ASSERT_EQ(found.events.size(), 1u);
        EXPECT_EQ(found.events[0].driverStatus, Found);
        EXPECT_EQ(found.events[0].pollModeCardType, c.cardType);
        EXPECT_EQ(r.profile(), c.profile);
        const std::vector<uint8_t> &data = found.events[0].additionalData;
        ASSERT_GT(data.size(), 10u);
        EXPECT_EQ(hex(std::vector<uint8_t>(data.begin() + 10, data.end())), std::string(c.recordTail));
        EXPECT_EQ(found.steady.driverStatus, GP_STATUS_STATE_ACTIVE | GP_ACCESS_WAITING);

        ASSERT_TRUE(r.startDeviceAccess(targetNumberOf(found.events[0]), error))
            << std::hex << error.code << " " << error.detail;
        EXPECT_EQ(reports(r).steady.driverStatus, GP_STATUS_STATE_ACTIVE | GP_ACCESS_ENABLED);
        const std::vector<uint8_t> frame = unhex(c.frame);
        std::vector<uint8_t> response;
        model.transmitted.clear();
        ASSERT_TRUE(r.exchange(frame.data(), frame.size(), response, error)) << std::hex << error.code << " "
                                                                              << error.detail;
        EXPECT_EQ(hex(response), std::string(c.response));
        ASSERT_FALSE(model.transmitted.empty());
        EXPECT_EQ(model.transmitted[0], std::string(c.wireCommand));
        ASSERT_TRUE(r.stopDeviceAccess(1, error));
        EXPECT_TRUE(r.stopPollMode(error));
        EXPECT_TRUE(r.close(error));
    }
}

TEST_F(PcscReaderTest, ACommandTheProfileCannotCarryFailsWithItsPair)
{
    openAndPoll();
    scard.answers["FFCA000000"] = "04C1C2C3C4C5C69000";
    scard.insert(Type2Atr);  // no page commands offered: the plain profile
    ASSERT_TRUE(reader.startDeviceAccess(find(), error));
    EXPECT_EQ(reader.profile(), pcsc::Profile::PlainApdu);
    const std::vector<uint8_t> read{0x30, 0x04};
    std::vector<uint8_t> response;
    EXPECT_FALSE(reader.exchange(read.data(), read.size(), response, error));
    EXPECT_EQ(error.code, PCSC_E_NOT_CARRIED);
    EXPECT_EQ(error.detail, 0x300000u | static_cast<uint32_t>(pcsc::CardKind::TypeAPart3));
}

TEST_F(PcscReaderTest, ACardPresentAtOpenTellsTheProfileAndIsFoundAtTheFirstStep)
{
    scard.answers["FF00000002D402"] = "D503320106079000";
    scard.answers["FF00000004D44A0100"] = "D54B01010344200704A1A2A3A4A5A60578807002" "9000";
    scard.insert(TypeA4Atr);
    ASSERT_TRUE(reader.open(0, error));
    EXPECT_TRUE(reader.profileKnown());
    EXPECT_EQ(reader.profile(), pcsc::Profile::Pn532);
    ASSERT_TRUE(reader.startPollMode(1, error));
    reader.pollStep();
    const Reports r = reports(reader);
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0].driverStatus, Found);
    EXPECT_EQ(targetNumberOf(r.events[0]), 1u);
}

// A stack that reports CHANGED on every call must not make the same card found twice.
TEST_F(PcscReaderTest, FindsACardOnceWhileItStaysAndAgainAfterItCameBack)
{
    openAndPoll();
    scard.insert(TypeA4Atr);
    const uint32_t first = find();
    EXPECT_TRUE(poll(reader, 10).events.empty());
    scard.remove();
    const Reports gone = poll(reader);
    ASSERT_EQ(gone.events.size(), 1u);
    EXPECT_EQ(gone.events[0].driverStatus, CardRemoved);
    EXPECT_EQ(gone.events[0].error.code, PCSC_E_CARD_REMOVED);
    EXPECT_EQ(gone.steady.driverStatus, GP_STATUS_STATE_IDLE);
    scard.insert(TypeA4Atr);
    EXPECT_EQ(find(), first + 1);
}

TEST_F(PcscReaderTest, OnlyTheKindsPolledForAreFound)
{
    openAndPoll(2 | 8);
    scard.insert(TypeA4Atr);
    EXPECT_TRUE(poll(reader).events.empty());
    EXPECT_EQ(reports(reader).steady.driverStatus, GP_STATUS_STATE_IDLE);
}

TEST_F(PcscReaderTest, ACardRemovedDuringAccessFailsTheExchangeAndIsReportedGone)
{
    openAndPoll();
    scard.insert(TypeA4Atr);
    ASSERT_TRUE(reader.startDeviceAccess(find(), error));
    scard.cardPresent = false;  // gone, before the reader's state shows it
    const std::vector<uint8_t> select = unhex("00A4040007D276000085010100");
    std::vector<uint8_t> response;
    EXPECT_FALSE(reader.exchange(select.data(), select.size(), response, error));
    EXPECT_EQ(error.code, PCSC_E_CARD_REMOVED);
    EXPECT_EQ(error.detail, pcsc::ScardWRemovedCard);
    scard.remove();
    const Reports r = poll(reader);
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0].driverStatus, CardRemoved);
    // Whoever notices first, the transmit or the poll step, the application hears of the removal.
    error = pcsc::Error();
    EXPECT_FALSE(reader.exchange(select.data(), select.size(), response, error));
    EXPECT_EQ(error.code, PCSC_E_CARD_REMOVED);
    EXPECT_TRUE(reader.stopDeviceAccess(0, error));
    EXPECT_FALSE(reader.exchange(select.data(), select.size(), response, error));
    EXPECT_EQ(error.code, PCSC_E_NOT_ACCESSING);
}

// A reader that refuses the end of a card's session, whether the access stops alone or with the
// poll mode: the access ends all the same, and the refusal is traced.
TEST_F(PcscReaderTest, ASessionEndTheReaderRefusesIsTracedAndTheAccessEndsAllTheSame)
{
    const std::string endSession = "FFC20000028200";
    const struct {
        const char *name;
        bool stopPolling;
    } stops[] = {{"stop device access", false}, {"stop poll mode", true}};
    for (const auto &stop : stops) {
        SCOPED_TRACE(stop.name);
        ModelScard model;
        model.answers = {{"FFC20000028100", "C0030090009000"},
                         {endSession, "C0030090009000"},
                         {"FFCA000000", "012E4C5D6E7F80919000"},
                         {"FFC20002048F020300", "C0030090009000"},
                         {"FFC20000075F4604C0C62D00", "C0030090009000"}};
        pcsc::Reader r(model, "");
        ASSERT_TRUE(r.open(0, error));
        ASSERT_TRUE(r.startPollMode(2, error));
        model.insert(FelicaAtr);
        const Reports found = poll(r);
        ASSERT_FALSE(found.events.empty());
        ASSERT_TRUE(r.startDeviceAccess(targetNumberOf(found.events[0]), error))
            << std::hex << error.code << " " << error.detail;
        EXPECT_EQ(r.profile(), pcsc::Profile::TransparentSession);
        model.answers[endSession] = "6A81";
        model.transmitted.clear();
        model.traces.clear();
        EXPECT_TRUE(stop.stopPolling ? r.stopPollMode(error) : r.stopDeviceAccess(0, error));
        EXPECT_EQ(model.transmitted, std::vector<std::string>{endSession});
        bool traced = false;
        for (const std::string &line : model.traces) {
            traced = traced || line.find("access end failed") != std::string::npos;
        }
        EXPECT_TRUE(traced) << "the refused end was not traced";
        EXPECT_EQ(reports(r).steady.driverStatus, GP_STATUS_STATE_IDLE);
        const std::vector<uint8_t> frame = unhex("06FFFF");
        std::vector<uint8_t> response;
        EXPECT_FALSE(r.exchange(frame.data(), frame.size(), response, error));
        EXPECT_EQ(error.code, PCSC_E_NOT_ACCESSING);
    }
}

TEST_F(PcscReaderTest, StopModeZeroKeepsTheCardUnfoundUntilItLeavesAndOneFindsItAgain)
{
    openAndPoll();
    scard.insert(TypeA4Atr);
    ASSERT_TRUE(reader.startDeviceAccess(find(), error));
    ASSERT_TRUE(reader.stopDeviceAccess(0, error));
    EXPECT_TRUE(poll(reader).events.empty());
    scard.remove();
    EXPECT_TRUE(poll(reader).events.empty());  // not reported: it was no target any more
    scard.insert(TypeA4Atr);
    const uint32_t second = find();
    EXPECT_EQ(second, 2u);
    ASSERT_TRUE(reader.startDeviceAccess(second, error));
    ASSERT_TRUE(reader.stopDeviceAccess(1, error));
    EXPECT_EQ(find(), 3u);
    EXPECT_FALSE(reader.stopDeviceAccess(2, error));
    EXPECT_EQ(error.code, PCSC_E_INVALID_ARGUMENT);
}

// The reader unplugged, then the resource manager stopped (as on Windows when the last reader
// leaves): a device error, reported while it lasts, and the card found again once both are back,
// through a new context.
TEST_F(PcscReaderTest, AReaderOrServiceThatGoesAwayIsADeviceErrorUntilItComesBack)
{
    const struct {
        const char *name;
        bool stopService;
        uint32_t code;
        uint32_t detail;
    } losses[] = {{"reader unplugged", false, PCSC_E_READER_GONE, PCSC_DEVICE_ERROR_READER_GONE},
                  {"service stopped", true, PCSC_E_SERVICE, PCSC_DEVICE_ERROR_SERVICE}};
    for (const auto &loss : losses) {
        SCOPED_TRACE(loss.name);
        ModelScard model;
        model.answers = scard.answers;
        pcsc::Reader r(model, "");
        ASSERT_TRUE(r.open(0, error));
        ASSERT_TRUE(r.startPollMode(1, error));
        model.insert(TypeA4Atr);
        const Reports found = poll(r);
        ASSERT_EQ(found.events.size(), 1u);
        ASSERT_TRUE(r.startDeviceAccess(targetNumberOf(found.events[0]), error));
        const std::vector<std::string> all = model.readers;
        model.readers.clear();
        if (loss.stopService) {
            model.stopService();
        }
        const Reports failing = poll(r);
        ASSERT_EQ(failing.events.size(), 1u);
        const uint32_t deviceError = GP_STATUS_DEVICE_ERROR | loss.detail << GP_DEVICE_ERROR_DETAIL_SHIFT;
        EXPECT_EQ(failing.events[0].driverStatus, deviceError);
        EXPECT_EQ(failing.events[0].error.code, loss.code);
        EXPECT_EQ(failing.steady.driverStatus, deviceError);
        EXPECT_EQ(poll(r).steady.driverStatus, deviceError);
        // The access open at the loss fails with its pair until the application stops it.
        const std::vector<uint8_t> select = unhex("00A4040007D276000085010100");
        std::vector<uint8_t> response;
        EXPECT_FALSE(r.exchange(select.data(), select.size(), response, error));
        EXPECT_EQ(error.code, loss.code);
        EXPECT_TRUE(r.stopDeviceAccess(1, error));
        model.serviceUp = true;
        model.readers = all;
        const Reports back = poll(r, 4);
        ASSERT_EQ(back.events.size(), 1u);
        EXPECT_EQ(back.events[0].driverStatus, Found);
        EXPECT_EQ(targetNumberOf(back.events[0]), 2u);
        EXPECT_EQ(back.steady.driverStatus, GP_STATUS_STATE_ACTIVE | GP_ACCESS_WAITING);
    }
}

TEST_F(PcscReaderTest, TheStatesAreCheckedBeforeTheReaderIsAsked)
{
    EXPECT_FALSE(reader.startPollMode(1, error));
    EXPECT_EQ(error.code, PCSC_E_PORT_NOT_OPEN);
    ASSERT_TRUE(reader.open(0, error));
    const struct {
        uint32_t targetDevice;
        bool ok;
    } devices[] = {{0, false}, {16, false}, {1 | 16, false}, {15, true}};
    for (const auto &d : devices) {
        EXPECT_EQ(reader.startPollMode(d.targetDevice, error), d.ok) << d.targetDevice;
        if (d.ok) {
            EXPECT_TRUE(reader.stopPollMode(error));
        } else {
            EXPECT_EQ(error.code, PCSC_E_INVALID_ARGUMENT);
        }
    }
    EXPECT_FALSE(reader.startDeviceAccess(1, error));
    EXPECT_EQ(error.code, PCSC_E_NOT_POLLING);
    ASSERT_TRUE(reader.startPollMode(1, error));
    EXPECT_FALSE(reader.startPollMode(1, error));
    EXPECT_EQ(error.code, PCSC_E_ALREADY_POLLING);
    EXPECT_FALSE(reader.startDeviceAccess(1, error));
    EXPECT_EQ(error.code, PCSC_E_NO_TARGET);
    scard.insert(TypeA4Atr);
    const uint32_t number = find();
    EXPECT_FALSE(reader.startDeviceAccess(number + 1, error));
    EXPECT_EQ(error.code, PCSC_E_NO_TARGET);
    EXPECT_EQ(error.detail, number + 1);
    ASSERT_TRUE(reader.startDeviceAccess(number, error));
    EXPECT_FALSE(reader.startDeviceAccess(number, error));
    EXPECT_EQ(error.code, PCSC_E_ALREADY_ACCESSING);
    EXPECT_FALSE(reader.setTimeout(0, error));
    EXPECT_TRUE(reader.setTimeout(PCSC_MAXIMUM_TIMEOUT, error));
}

}  // namespace

namespace {

// The port list a resource manager's readers give, one call after another on one model: the
// readers the filter lets through, numbered as an open numbers them; none while the service is
// stopped, and back once it runs again (with a context of the new service).
TEST(PcscPortList, ReadersNumberedAsAnOpenNumbersThemAndNoneWhileTheServiceIsGone)
{
    std::vector<std::string> eleven;
    std::string firstTen;
    for (int i = 0; i < 11; ++i) {
        eleven.push_back("Model Reader " + std::to_string(i));
        firstTen += i < 10 ? "PCSC" + std::to_string(i) + "(Model Reader " + std::to_string(i) + ") " : "";
    }
    const struct {
        const char *name;
        std::vector<std::string> readers;
        bool serviceUp;
        const char *filter;
        std::string listed;
    } steps[] = {
        {"two readers", {"Model Reader 0", "Model Reader 1"}, true, "", "PCSC0(Model Reader 0) PCSC1(Model Reader 1) "},
        {"filtered", {"Other 0", "Model Reader 1", "Model Reader 2"}, true, "Model",
         "PCSC0(Model Reader 1) PCSC1(Model Reader 2) "},
        {"service stopped", {"Model Reader 0"}, false, "", ""},
        {"service started again", {"Model Reader 0"}, true, "", "PCSC0(Model Reader 0) "},
        {"no reader", {}, true, "", ""},
        {"one digit only", eleven, true, "", firstTen},
    };
    ModelScard scard;
    for (const auto &step : steps) {
        SCOPED_TRACE(step.name);
        scard.readers = step.readers;
        if (step.serviceUp && !scard.serviceUp) {
            scard.serviceUp = true;
        } else if (!step.serviceUp && scard.serviceUp) {
            scard.stopService();
        }
        std::vector<reader::PortEntry> ports{{"stale", "left over"}};
        reader::Error error;
        ASSERT_TRUE(pcsc::listPorts(scard, step.filter, ports, error)) << std::hex << error.code;
        std::string listed;
        for (const reader::PortEntry &port : ports) {
            listed += port.portName + "(" + port.readerName + ") ";
            std::string chosen;
            EXPECT_TRUE(pcsc::chooseReader(step.readers, step.filter, port.portName[4] - '0', chosen) &&
                        chosen == port.readerName)
                << port.portName << " opens another reader";
        }
        EXPECT_EQ(listed, step.listed);
    }
}

}  // namespace
