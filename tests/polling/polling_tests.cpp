// Poll mode through the DLL: the test plug-in plays a status script (one step per
// gp_get_driver_status call, the last step repeating) and a message-only window collects what
// the notification thread posts. Each test drives only the cycles it needs (600 ms apart).
#include <gtest/gtest.h>

#include <atomic>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "korvat_nfc_plugin.h"

using namespace korvat_test;

namespace {

using Bytes = std::vector<uint8_t>;

const char FindName[] = "korvat.polling.find";
const char EnableName[] = "korvat.polling.enable";

const uint32_t StateIdle = GP_STATUS_STATE_IDLE;
const uint32_t Found = GP_STATUS_STATE_IDLE | GP_CONNECT_REPORT_POLL_MODE;
const uint32_t FoundActive = GP_STATUS_STATE_ACTIVE | GP_CONNECT_REPORT_POLL_MODE;
const uint32_t AccessEnabled = GP_STATUS_STATE_IDLE | GP_ACCESS_ENABLED;
const uint32_t AccessWaiting = GP_STATUS_STATE_IDLE | GP_ACCESS_WAITING;
const uint32_t ListenReport = GP_STATUS_STATE_IDLE | GP_CONNECT_REPORT_LISTEN_MODE;

std::string hex(const Bytes &bytes, size_t from = 0)
{
    std::string text;
    char byte[4];
    for (size_t i = from; i < bytes.size(); ++i) {
        std::snprintf(byte, sizeof(byte), "%02X", bytes[i]);
        text += (i == from ? "" : " ") + std::string(byte);
    }
    return text;
}

std::string hex32(uint32_t value)
{
    char text[12];
    std::snprintf(text, sizeof(text), "%08X", value);
    return text;
}

void putU32(Bytes &bytes, size_t offset, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// What the application expects to receive, written out field by field at the record offsets.
// The NFCID1 field is 10 bytes long; the identifier fills its start.
Bytes record14443A(uint32_t targetNumber, uint16_t sensRes, uint8_t selRes, const Bytes &nfcid1, const Bytes &ats)
{
    Bytes r(23 + ats.size(), 0);
    putU32(r, 0, DEVICE_TYPE_NFC_14443A_18092_106K);
    putU32(r, 4, targetNumber);
    r[8] = static_cast<uint8_t>(sensRes);
    r[9] = static_cast<uint8_t>(sensRes >> 8);
    r[10] = selRes;
    r[11] = static_cast<uint8_t>(nfcid1.size());
    std::copy(nfcid1.begin(), nfcid1.end(), r.begin() + 12);
    r[22] = static_cast<uint8_t>(ats.size());
    std::copy(ats.begin(), ats.end(), r.begin() + 23);
    return r;
}

Bytes record14443B(uint32_t targetNumber, const Bytes &atqb, const Bytes &attrib)
{
    Bytes r(21 + attrib.size(), 0);
    putU32(r, 0, DEVICE_TYPE_NFC_14443B_106K);
    putU32(r, 4, targetNumber);
    std::copy(atqb.begin(), atqb.end(), r.begin() + 8);
    r[20] = static_cast<uint8_t>(attrib.size());
    std::copy(attrib.begin(), attrib.end(), r.begin() + 21);
    return r;
}

Bytes record18092(uint32_t cardType, uint8_t id, uint32_t targetNumber, const Bytes &nfcid2, const Bytes &pad,
                  const Bytes &rd)
{
    Bytes r(29 + rd.size(), 0);
    putU32(r, 0, cardType);
    r[4] = id;
    putU32(r, 8, targetNumber);
    std::copy(nfcid2.begin(), nfcid2.end(), r.begin() + 12);
    std::copy(pad.begin(), pad.end(), r.begin() + 20);
    r[28] = static_cast<uint8_t>(rd.size());
    std::copy(rd.begin(), rd.end(), r.begin() + 29);
    return r;
}

// Posted messages as text, so that a failure shows the whole sequence. Bytes 5-7 of a 212/424
// record are padding that the library does not write.
std::string findTarget(const Bytes &record)
{
    Bytes shown = record;
    uint32_t type = record.size() >= 4 ? record[0] : 0;
    if ((type == DEVICE_TYPE_NFC_18092_212K || type == DEVICE_TYPE_NFC_18092_424K) && shown.size() > 8) {
        shown[5] = shown[6] = shown[7] = 0;
    }
    return "find target [" + hex(shown) + "]";
}

std::string findError(uint32_t code, uint32_t detail)
{
    return "find error (" + hex32(code) + ", " + hex32(detail) + ")";
}

std::string enable(WPARAM kind, uint32_t targetNumber)
{
    return "enable " + std::to_string(kind) + " " + hex32(targetNumber);
}

std::string describe(const MessageWindow &window, const ReceivedMessage &m)
{
    if (m.message == window.findMessage() && m.wParam == KORVAT_NFC_FIND_TARGET) {
        return findTarget(m.bytes);
    }
    if (m.message == window.findMessage() && m.wParam == KORVAT_NFC_FIND_ERROR && m.bytes.size() == 8) {
        uint32_t pair[2];
        std::memcpy(pair, m.bytes.data(), 8);
        return findError(pair[0], pair[1]);
    }
    if (m.message == window.enableMessage()) {
        return enable(m.wParam, static_cast<uint32_t>(m.lParam));
    }
    return "unexpected message " + std::to_string(m.message) + " wParam " + std::to_string(m.wParam);
}

std::vector<std::string> described(const MessageWindow &window, size_t from = 0)
{
    std::vector<std::string> list;
    for (size_t i = from; i < window.messages.size(); ++i) {
        list.push_back(describe(window, window.messages[i]));
    }
    return list;
}

class Polling : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_PluginPath = m_Plugins.addPlugin("cat0", "reader.gp");
        m_Registry.configureSimPort(m_Plugins.path());
        dll.reset(new KorvatDll);
        ASSERT_TRUE(dll->loaded());
        ASSERT_TRUE(dll->initialize());
        fixture.reset(new FixturePlugin(m_PluginPath));
        ASSERT_TRUE(fixture->loaded());
        fixture->reset();
    }

    void TearDown() override
    {
        if (dll && dll->loaded()) {
            dll->close();
            dll->uninitialize();
        }
        dll.reset();
        fixture.reset();
    }

    void openPort(bool withCallbackParameters = true)
    {
        if (withCallbackParameters) {
            ASSERT_TRUE(dll->set_poll_callback_parameters(window.handle(), FindName, EnableName));
        }
        char port[16] = "";
        ASSERT_TRUE(dll->open(port));
        ASSERT_STREQ(port, "SIM0");
    }

    void pushStatus(uint32_t status, uint32_t cardType = 0, const Bytes &data = Bytes())
    {
        fixture->pushStatus(status, cardType, 0, data.empty() ? nullptr : data.data(),
                            static_cast<uint32_t>(data.size()), 1, 0, 0);
    }

    // Poll mode until `cycles` cycles have run: stop waits for the cycle in progress, so every
    // message of those cycles is in the queue once it returns. A test thread held up for a whole
    // period lets one more cycle run: the scripts end with a step that then posts nothing new.
    void runCycles(uint32_t cycles)
    {
        const uint32_t before = fixture->statusCalls();
        ASSERT_TRUE(dll->start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K));
        ASSERT_TRUE(pumpUntilStatusCalls(window, *fixture, before + cycles, 600 * cycles + 5000))
            << "the thread stopped asking";
        ASSERT_TRUE(dll->stop_poll_mode());
        window.pump(0);
    }

    MessageWindow window{FindName, EnableName};
    std::unique_ptr<KorvatDll> dll;
    std::unique_ptr<FixturePlugin> fixture;

private:
    RegistryConfiguration m_Registry;
    ScratchDirectory m_Plugins{"polling_plugins"};
    std::string m_PluginPath;
};

TEST_F(Polling, FindMessageCarriesTheRecordOfEachCardType)
{
    ASSERT_NO_FATAL_FAILURE(openPort());
    const Bytes nfcid1 = {0x04, 0xA2, 0x5C, 0x11, 0x9E, 0x80, 0x3B};
    const Bytes ats = {0x05, 0x78, 0x80, 0x70, 0x02};
    const Bytes atqb = {0x50, 0x11, 0x22, 0x33, 0x44, 0x00, 0x00, 0x00, 0x00, 0x71, 0x81, 0x85};
    const Bytes attrib = {0x00, 0x01};
    const Bytes nfcid2 = {0x01, 0x2E, 0x3D, 0x4C, 0x5B, 0x6A, 0x79, 0x88};
    const Bytes pad = {0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7};
    const Bytes rd = {0x12, 0xFC};

    pushStatus(Found, DEVICE_TYPE_NFC_14443A_18092_106K,
               additionalData14443A(0x0A0B0C0D, 0x0344, 0x20, nfcid1, ats));
    pushStatus(FoundActive, DEVICE_TYPE_NFC_14443B_106K, additionalData14443B(0x100, atqb, attrib));
    pushStatus(Found, DEVICE_TYPE_NFC_18092_212K, additionalData18092(0x7F000001, 0x01, nfcid2, pad, rd));
    pushStatus(Found, DEVICE_TYPE_NFC_18092_424K, additionalData18092(0xFFFFFFFF, 0x04, nfcid2, pad, {}));
    pushStatus(StateIdle);
    ASSERT_NO_FATAL_FAILURE(runCycles(4));

    const std::vector<std::string> expected = {
        findTarget(record14443A(0x0A0B0C0D, 0x0344, 0x20, nfcid1, ats)),
        findTarget(record14443B(0x100, atqb, attrib)),
        findTarget(record18092(DEVICE_TYPE_NFC_18092_212K, 1, 0x7F000001, nfcid2, pad, rd)),
        findTarget(record18092(DEVICE_TYPE_NFC_18092_424K, 0, 0xFFFFFFFF, nfcid2, pad, {})),
    };
    EXPECT_EQ(described(window), expected);
}

// Ten cycles: finds every cycle, enable once per change, the same error pair once until another
// pair came in between.
TEST_F(Polling, RunOfCyclesPostsFindsEveryCycleAndOtherEventsOncePerChange)
{
    ASSERT_NO_FATAL_FAILURE(openPort());
    const Bytes first = additionalData14443A(0x11, 0x0004, 0x08, {1, 2, 3, 4}, {});
    const Bytes second = additionalData14443A(0x22, 0x0004, 0x08, {5, 6, 7, 8}, {0x75});
    const uint32_t cardError1 = 0x0010000E;
    const auto pushCardError = [&] {
        // The plug-in's own detail code travels with the library's error code.
        fixture->pushStatus(cardError1, 0, 0, nullptr, 0, 1, 0xDEAD, 0x1234);
    };
    pushStatus(StateIdle);                                          // 1
    pushStatus(Found, DEVICE_TYPE_NFC_14443A_18092_106K, first);    // 2
    pushStatus(Found, DEVICE_TYPE_NFC_14443A_18092_106K, second);   // 3
    pushStatus(AccessEnabled);                                      // 4
    pushStatus(AccessEnabled);                                      // 5
    pushCardError();                                                // 6
    pushCardError();                                                // 7
    pushStatus(StateIdle);                                          // 8
    pushCardError();                                                // 9
    pushStatus(AccessEnabled);                                      // 10
    ASSERT_NO_FATAL_FAILURE(runCycles(10));

    const std::vector<std::string> expected = {
        findTarget(record14443A(0x11, 0x0004, 0x08, {1, 2, 3, 4}, {})),
        findTarget(record14443A(0x22, 0x0004, 0x08, {5, 6, 7, 8}, {0x75})),
        enable(ENABLE_ACCESS_TO_TARGET, 0x22),
        findError(KORVAT_NFC_E_CARD_ERROR_1, 0x1234),
        findError(KORVAT_NFC_E_CARD_ERROR_1, 0x1234),
        enable(ENABLE_ACCESS_TO_TARGET, 0x22),
    };
    EXPECT_EQ(described(window), expected);
}

// One error of each kind, each different from the one before so that each is posted; the
// thread's errors reach the window only and leave the library's last error alone.
TEST_F(Polling, ReaderAndDataErrorsArePostedAndLeaveTheLastErrorAlone)
{
    ASSERT_NO_FATAL_FAILURE(openPort());
    int32_t *nullTimeout = nullptr;
    ASSERT_FALSE(dll->get_timeout(nullTimeout));
    const std::pair<uint32_t, uint32_t> lastError(KORVAT_NFC_E_INVALID_ARGUMENT, 0);
    ASSERT_EQ(dll->lastError(), lastError);

    const Bytes atqb(12, 0x50);
    const Bytes validA = additionalData14443A(0x99, 0x0004, 0x08, {1, 2, 3, 4}, {});
    Bytes trailingByte = additionalData14443A(0x98, 0x0004, 0x08, {1, 2, 3, 4}, {});
    trailingByte.push_back(0);
    Bytes longNfcid1 = additionalData14443A(0x97, 0x0004, 0x08, {}, {0x75, 0x77});
    longNfcid1[13] = 11;

    pushStatus(Found, DEVICE_TYPE_NFC_14443B_106K, additionalData14443B(0x0BADCAFE, atqb, {}));  // 1
    pushStatus(0x0020000E);                                                   // 2 card error 2
    pushStatus(0x0500000F);                                                   // 3 device error 5
    pushStatus(Found, 3, validA);                                             // 4 no record for type 3
    pushStatus(Found, DEVICE_TYPE_NFC_14443A_18092_106K, trailingByte);       // 5 size not 25 + ATS_size
    pushStatus(AccessWaiting);                                                // 6
    pushStatus(Found, DEVICE_TYPE_NFC_14443A_18092_106K, longNfcid1);         // 7 NFCID1_size 11
    fixture->pushStatus(Found, DEVICE_TYPE_NFC_14443A_18092_106K, 0, validA.data(),
                        static_cast<uint32_t>(validA.size()), 0, 0xE0001234, 0x56);  // 8 the call fails
    // The plug-in hands its block over right before an inaccessible page: reading the ATS_size
    // byte of a 24-byte block would end the program.
    pushStatus(Found, DEVICE_TYPE_NFC_14443A_18092_106K, Bytes(validA.begin(), validA.begin() + 24));  // 9
    fixture->pushStatus(Found, DEVICE_TYPE_NFC_14443A_18092_106K, 0, nullptr, 0, 1, 0, 0);  // 10 no data
    pushStatus(ListenReport);                                                 // 11 error without a code
    ASSERT_NO_FATAL_FAILURE(runCycles(11));

    const std::vector<std::string> expected = {
        findTarget(record14443B(0x0BADCAFE, atqb, {})),
        findError(KORVAT_NFC_E_CARD_ERROR_2, 0),
        findError(KORVAT_NFC_E_DEVICE_ERROR_5, 0),
        findError(KORVAT_NFC_E_UNSUPPORTED_TARGET, 0),
        findError(KORVAT_NFC_E_DRIVER_STATUS, 0),
        // Failed records leave the target number of the last record built.
        enable(WAITING_ACCESS_TO_TARGET, 0x0BADCAFE),
        findError(KORVAT_NFC_E_DRIVER_STATUS, 0),
        findError(0xE0001234, 0x56),
        findError(KORVAT_NFC_E_DRIVER_STATUS, 0),
        // Cycle 10 posts nothing; cycle 11's pair (0, 0) equals cycle 10's.
    };
    EXPECT_EQ(described(window), expected);
    EXPECT_EQ(dll->lastError(), lastError);
}

TEST_F(Polling, StartWithoutCallbackParametersFailsAndStopsTheReaderAgain)
{
    ASSERT_NO_FATAL_FAILURE(openPort(false));
    pushStatus(Found, DEVICE_TYPE_NFC_14443A_18092_106K, additionalData14443A(5, 0x0004, 0x08, {1, 2, 3, 4}, {}));

    EXPECT_FALSE(dll->start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K));
    EXPECT_EQ(dll->lastError().first, KORVAT_NFC_E_NO_CALLBACK_PARAM);
    EXPECT_EQ(fixture->calls(), "gp_open_port_and_transition_nfc_mode SIM0\n"
                                "gp_set_timeout 6000\n"
                                "gp_start_poll_mode 00000001\n"
                                "gp_stop_poll_mode\n");
    // A thread would have asked for the status at once.
    window.pump(300);
    EXPECT_EQ(fixture->statusCalls(), 0u);
    EXPECT_TRUE(window.messages.empty());

    // Parameters set while the port is open are used by the next start.
    ASSERT_TRUE(dll->set_poll_callback_parameters(window.handle(), FindName, EnableName));
    ASSERT_NO_FATAL_FAILURE(runCycles(1));
    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_EQ(window.messages[0].wParam, static_cast<WPARAM>(KORVAT_NFC_FIND_TARGET));
}

TEST_F(Polling, SecondStartFailsWithoutErrorCodeAndLeavesTheThreadRunning)
{
    ASSERT_NO_FATAL_FAILURE(openPort());
    ASSERT_TRUE(dll->start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K));
    ASSERT_TRUE(pumpUntilStatusCalls(window, *fixture, 1, 3000));
    uint32_t *nullInfo = nullptr;
    ASSERT_FALSE(dll->get_last_error(nullInfo));
    const std::pair<uint32_t, uint32_t> lastError(KORVAT_NFC_E_INVALID_ARGUMENT, 0);

    EXPECT_FALSE(dll->start_poll_mode(DEVICE_TYPE_NFC_14443B_106K));
    EXPECT_EQ(dll->lastError(), lastError);
    EXPECT_EQ(fixture->callCount("gp_start_poll_mode"), 2u);
    EXPECT_EQ(fixture->callCount("gp_stop_poll_mode"), 1u);
    EXPECT_TRUE(pumpUntilStatusCalls(window, *fixture, 2, 3000)) << "the first thread stopped";

    EXPECT_TRUE(dll->stop_poll_mode());
    EXPECT_EQ(fixture->callCount("gp_stop_poll_mode"), 2u);
    const std::string calls = fixture->calls();
    const std::string sinceSecondStart = calls.substr(calls.rfind("gp_start_poll_mode"));
    EXPECT_EQ(sinceSecondStart.find("gp_start_poll_mode 00000008\ngp_stop_poll_mode\ngp_get_driver_status\n"), 0u)
        << calls;
    EXPECT_EQ(calls.substr(calls.rfind("gp_get_driver_status")), "gp_get_driver_status\ngp_stop_poll_mode\n");
}

TEST_F(Polling, CloseWhilePollingEndsTheThreadBeforeItReturns)
{
    ASSERT_NO_FATAL_FAILURE(openPort());
    pushStatus(Found, DEVICE_TYPE_NFC_14443A_18092_106K, additionalData14443A(5, 0x0004, 0x08, {1, 2, 3, 4}, {}));
    ASSERT_TRUE(dll->start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K));
    ASSERT_TRUE(window.pumpUntil(1, 3000));

    ASSERT_TRUE(dll->close());
    window.pump(0);  // whatever was posted before close returned
    const size_t received = window.messages.size();
    const uint32_t calls = fixture->statusCalls();
    const std::string log = fixture->calls();
    EXPECT_EQ(log.substr(log.rfind("gp_get_driver_status")), "gp_get_driver_status\ngp_close_port\n");

    window.pump(1500);  // more than two cycles
    EXPECT_EQ(window.messages.size(), received) << "a message was posted after close returned";
    EXPECT_EQ(fixture->statusCalls(), calls);
    EXPECT_EQ(fixture->callCount("gp_close_port"), 1u);
}

// The previous status and error pair survive a stop: the first cycle of a new run compares with
// the last cycle of the run before.
TEST_F(Polling, RestartComparesWithTheLastCycleOfThePreviousRun)
{
    ASSERT_NO_FATAL_FAILURE(openPort());
    const uint32_t cardError1 = 0x0010000E;

    pushStatus(AccessEnabled);
    pushStatus(StateIdle);
    pushStatus(AccessEnabled);
    ASSERT_NO_FATAL_FAILURE(runCycles(3));
    EXPECT_EQ(described(window),
              std::vector<std::string>({enable(ENABLE_ACCESS_TO_TARGET, 0), enable(ENABLE_ACCESS_TO_TARGET, 0)}));

    fixture->clearStatus();
    pushStatus(AccessEnabled);
    pushStatus(cardError1);
    size_t seen = window.messages.size();
    ASSERT_NO_FATAL_FAILURE(runCycles(2));
    EXPECT_EQ(described(window, seen), std::vector<std::string>({findError(KORVAT_NFC_E_CARD_ERROR_1, 0)}));

    fixture->clearStatus();
    pushStatus(cardError1);
    seen = window.messages.size();
    ASSERT_NO_FATAL_FAILURE(runCycles(1));
    EXPECT_EQ(described(window, seen), std::vector<std::string>());
}

TEST_F(Polling, NewCallbackParametersRedirectTheNextMessages)
{
    ASSERT_NO_FATAL_FAILURE(openPort());
    pushStatus(Found, DEVICE_TYPE_NFC_14443A_18092_106K, additionalData14443A(0x31, 0x0004, 0x08, {1, 2, 3, 4}, {}));
    pushStatus(Found, DEVICE_TYPE_NFC_14443A_18092_106K, additionalData14443A(0x32, 0x0004, 0x08, {9, 8, 7, 6}, {}));
    pushStatus(AccessEnabled);
    ASSERT_TRUE(dll->start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K));
    ASSERT_TRUE(window.pumpUntil(1, 3000));

    MessageWindow other("korvat.polling.find.other", "korvat.polling.enable.other");
    ASSERT_NE(other.findMessage(), window.findMessage());
    ASSERT_TRUE(dll->set_poll_callback_parameters(other.handle(), "korvat.polling.find.other",
                                                  "korvat.polling.enable.other"));
    EXPECT_TRUE(other.pumpUntil(2, 3000));
    EXPECT_TRUE(dll->stop_poll_mode());

    EXPECT_EQ(described(other), std::vector<std::string>({findTarget(record14443A(0x32, 0x0004, 0x08, {9, 8, 7, 6}, {})),
                                                          enable(ENABLE_ACCESS_TO_TARGET, 0x32)}));
    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_EQ(window.messages[0].bytes[4], 0x31);
}

// Application threads call exported functions at random while poll mode finds targets.
struct StressRun {
    KorvatDll *dll;
    HWND window;
    DWORD deadline;
    std::atomic<unsigned> failures{0};
    std::atomic<unsigned> calls{0};
    CRITICAL_SECTION lock;
    std::string firstFailure;

    void fail(const std::string &what)
    {
        if (failures++ == 0) {
            EnterCriticalSection(&lock);
            firstFailure = what;
            LeaveCriticalSection(&lock);
        }
    }
};

struct StressWorker {
    StressRun *run;
    unsigned seed;

    static DWORD WINAPI entry(void *p)
    {
        static_cast<StressWorker *>(p)->work();
        return 0;
    }

    void work()
    {
        std::mt19937 random(seed);
        KorvatDll &dll = *run->dll;
        while (GetTickCount() < run->deadline) {
            run->calls++;
            switch (random() % 11) {
            case 0: {
                Bytes command(1 + random() % 32);
                for (uint8_t &b : command) {
                    b = static_cast<uint8_t>(random());
                }
                uint8_t response[64];
                uint16_t length = 0;
                if (!dll.thru(command.data(), static_cast<uint16_t>(command.size()), response, &length) ||
                    Bytes(response, response + length) != command) {
                    run->fail("thru did not echo its own command");
                }
                break;
            }
            case 1: {
                int32_t timeout = -1;
                if (!dll.get_timeout(&timeout) || (timeout != 6000 && (timeout < 1000 || timeout > 1999))) {
                    run->fail("get_timeout gave " + std::to_string(timeout));
                }
                break;
            }
            case 2:
                if (!dll.set_timeout(1000 + static_cast<int32_t>(random() % 1000))) {
                    run->fail("set_timeout failed");
                }
                break;
            case 3:
                if (!dll.select_device() || !dll.deselect_device()) {
                    run->fail("select/deselect failed");
                }
                break;
            case 4:
                // False while another thread's poll mode runs; either answer is right.
                dll.start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K);
                break;
            case 5:
                if (random() % 3 == 0 && !dll.stop_poll_mode()) {
                    run->fail("stop_poll_mode failed");
                }
                break;
            case 6: {
                uint32_t pair[2];
                if (!dll.get_last_error(pair)) {
                    run->fail("get_last_error failed");
                }
                break;
            }
            case 7:
                if (!dll.set_poll_callback_parameters(run->window, FindName, EnableName)) {
                    run->fail("set_poll_callback_parameters failed");
                }
                break;
            case 8:
                if (!dll.start_dev_access(random() % 4) || !dll.stop_dev_access(random() % 2)) {
                    run->fail("device access failed");
                }
                break;
            default:
                Sleep(random() % 3);
                break;
            }
        }
    }
};

TEST_F(Polling, ConcurrentCallsWhilePollingNeverOverlapInThePlugin)
{
    ASSERT_NO_FATAL_FAILURE(openPort());
    const Bytes nfcid2(8, 0x2E);
    const Bytes pad(8, 0xC0);
    pushStatus(Found, DEVICE_TYPE_NFC_14443A_18092_106K, additionalData14443A(1, 0x0004, 0x08, {1, 2, 3, 4}, {0x75}));
    pushStatus(AccessEnabled);
    pushStatus(Found, DEVICE_TYPE_NFC_14443B_106K, additionalData14443B(2, Bytes(12, 0x50), {1, 2, 3}));
    pushStatus(AccessWaiting);
    pushStatus(0x0020000E);
    pushStatus(Found, DEVICE_TYPE_NFC_18092_212K, additionalData18092(3, 4, nfcid2, pad, {9}));
    ASSERT_TRUE(dll->start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K));

    StressRun run;
    InitializeCriticalSection(&run.lock);
    run.dll = dll.get();
    run.window = window.handle();
    run.deadline = GetTickCount() + 3000;
    const int threadCount = 4;
    StressWorker workers[threadCount];
    HANDLE threads[threadCount];
    for (int i = 0; i < threadCount; ++i) {
        workers[i] = {&run, 1000u + static_cast<unsigned>(i)};
        threads[i] = CreateThread(nullptr, 0, &StressWorker::entry, &workers[i], 0, nullptr);
        ASSERT_NE(threads[i], nullptr);
    }
    // The window's thread keeps its queue moving; the records are not read here, since a
    // restart may delete a record sooner than one cycle after it was posted.
    const DWORD limit = GetTickCount() + 30000;
    DWORD waited;
    while ((waited = WaitForMultipleObjects(threadCount, threads, TRUE, 10)) == WAIT_TIMEOUT) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
        if (GetTickCount() > limit) {
            ADD_FAILURE() << "application threads still inside the library after 30 s";
            std::fflush(stdout);
            TerminateProcess(GetCurrentProcess(), 3);
        }
    }
    EXPECT_EQ(waited, WAIT_OBJECT_0);
    for (HANDLE thread : threads) {
        CloseHandle(thread);
    }
    DeleteCriticalSection(&run.lock);

    EXPECT_EQ(run.failures.load(), 0u) << run.firstFailure;
    EXPECT_EQ(fixture->overlapCount(), 0u) << "the plug-in was called by two threads at once";
    EXPECT_GT(fixture->statusCalls(), 0u);
    EXPECT_TRUE(dll->stop_poll_mode());
    EXPECT_TRUE(dll->close());
    EXPECT_TRUE(dll->uninitialize());
    std::printf("[ INFO     ] %u calls from %d threads, %u status reads\n", run.calls.load(), threadCount,
                fixture->statusCalls());
}

}  // namespace
