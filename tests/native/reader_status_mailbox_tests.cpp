// What gp_get_driver_status hands out of the poll thread's reports: the state now, with at most
// one report waiting, whatever the thread reported between two calls.
#include <gtest/gtest.h>

#include <deque>
#include <sstream>
#include <string>

#include "Pn532ErrorCodes.h"
#include "ReaderReports.h"
#include "ReaderStatusMailbox.h"
#include "korvat_nfc_plugin.h"

namespace {

const uint32_t Found = GP_STATUS_STATE_ACTIVE | GP_CONNECT_REPORT_POLL_MODE;
const uint32_t Waiting = GP_STATUS_STATE_ACTIVE | GP_ACCESS_WAITING;
const uint32_t Enabled = GP_STATUS_STATE_ACTIVE | GP_ACCESS_ENABLED;
const uint32_t Departed = GP_STATUS_CARD_ERROR | PN532_CARD_ERROR_LEFT_FIELD << GP_CARD_ERROR_DETAIL_SHIFT;
const uint32_t PortLost = GP_STATUS_DEVICE_ERROR | PN532_DEVICE_ERROR_PORT_LOST << GP_DEVICE_ERROR_DETAIL_SHIFT;

// F<n>: target n found (its number where the additional data keep it), L: it left, D: the reader
// failed; states I idle, W waiting, A enabled, E failing.
reader::StatusReport report(const std::string &token)
{
    reader::StatusReport r;
    switch (token[0]) {
    case 'F':
        r.driverStatus = Found;
        r.pollModeCardType = 1;
        r.additionalData.assign(GP_AD_A_ATS + 1, 0);
        r.additionalData[GP_AD_TARGET_NUMBER] = static_cast<uint8_t>(std::stoi(token.substr(1)));
        break;
    case 'L':
        r.driverStatus = Departed;
        r.error = {PN532_E_CARD_NO_ANSWER, 1};
        break;
    case 'D':
    case 'E':
        r.driverStatus = PortLost;
        r.error = {PN532_E_LINK, PN532_LINK_READ_FAILED};
        break;
    case 'I':
        r.driverStatus = GP_STATUS_STATE_IDLE;
        break;
    case 'W':
        r.driverStatus = Waiting;
        break;
    case 'A':
        r.driverStatus = Enabled;
        break;
    }
    return r;
}

uint32_t targetNumber(const reader::StatusReport &r)
{
    if (r.additionalData.size() < GP_AD_TARGET_NUMBER + 4) {
        return 0;
    }
    const uint8_t *at = &r.additionalData[GP_AD_TARGET_NUMBER];
    return at[0] | at[1] << 8 | at[2] << 16 | static_cast<uint32_t>(at[3]) << 24;
}

// The token a handed-out report reads as (D and E read alike: the same word and pair); a
// departure flagged as such reads L<n>, with the number of the target that left, n its card type
// kept.
std::string token(const reader::StatusReport &r)
{
    if (r.driverStatus == Found) {
        return "F" + std::to_string(targetNumber(r));
    }
    if (r.driverStatus == Departed && r.error.code == PN532_E_CARD_NO_ANSWER && r.additionalData.empty()) {
        return "L";
    }
    if (r.driverStatus == (Departed | GP_TARGET_DEPARTED) && r.error.code == PN532_E_CARD_NO_ANSWER &&
        r.pollModeCardType == 1) {
        return "L" + std::to_string(targetNumber(r));
    }
    if (r.driverStatus == PortLost && r.error.code == PN532_E_LINK) {
        return "D";
    }
    if (r.driverStatus == GP_STATUS_STATE_IDLE) {
        return "I";
    }
    if (r.driverStatus == Waiting) {
        return "W";
    }
    if (r.driverStatus == Enabled) {
        return "A";
    }
    std::ostringstream unknown;
    unknown << "?" << std::hex << r.driverStatus;
    return unknown.str();
}

struct Case {
    const char *name;
    // "+X" the poll thread reports X; "=S" it posts with the state S; "?X" a status call gets X.
    const char *script;
};

class ReaderStatusMailboxTest : public ::testing::TestWithParam<Case> {};

TEST_P(ReaderStatusMailboxTest, StatusCallsGetTheStateNowNotTheHistory)
{
    reader::StatusMailbox mailbox;
    std::deque<reader::StatusReport> events;
    std::istringstream script(GetParam().script);
    std::string step;
    std::string got, expected;
    while (script >> step) {
        const std::string what = step.substr(1);
        if (step[0] == '+') {
            events.push_back(report(what));
        } else if (step[0] == '=') {
            mailbox.post(events, report(what));
            EXPECT_TRUE(events.empty());
        } else {
            got += token(mailbox.next()) + " ";
            expected += (what == "E" ? "D" : what) + " ";
        }
    }
    EXPECT_EQ(got, expected) << GetParam().script;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReaderStatusMailboxTest,
    ::testing::Values(
        Case{"found_once_then_waiting", "+F1 =W ?F1 ?W ?W"},
        Case{"came_and_went_between_two_calls", "+F1 +L =I ?I ?I"},
        Case{"field_edge_only_the_present_target", "+F1 +L +F2 +L +F3 =W ?F3 ?W"},
        Case{"departure_of_a_seen_target_once_flagged_with_its_number", "+F1 =W ?F1 +L =I ?L1 ?I"},
        Case{"departure_after_access_names_the_target", "+F4 =W ?F4 =A ?A +L =I ?L4 ?I +F5 =W ?F5 +L =I ?L5"},
        Case{"card_error_before_any_target_is_not_a_departure", "+L =I ?L ?I"},
        Case{"card_error_after_a_device_error_is_not_a_departure", "+F1 =W ?F1 +D =E ?D +L =I ?L ?I"},
        Case{"newer_arrival_replaces_a_departure", "+F1 =W ?F1 +L +F2 =W ?F2 ?W"},
        Case{"field_edge_for_many_cycles_no_backlog", "+F1 =W ?F1 +L +F2 =W +L +F3 =W +L =I ?I ?I"},
        Case{"device_error_kept_when_already_over", "+D =I ?D ?I"},
        Case{"failing_reader_stays_failing", "+D =E ?D ?E ?E"},
        Case{"device_error_gives_the_target_up", "+F1 +D =E ?D ?E"},
        Case{"found_after_recovery_follows_the_error", "+D +F2 =W ?D ?F2 ?W"}),
    [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

// post() says when the next status call answers something else: that is when the plug-in sets
// the library's status event, so a repeat of the same state must not say so.
TEST(ReaderStatusMailbox, PostSaysWhenTheAnswerChanged)
{
    const struct {
        const char *name;
        const char *script;  // "+X" report X; "=S" post with state S, expecting no change; "!S" expecting one
    } cases[] = {
        {"same state again", "=I =I =I"},
        {"another state", "!W =W"},
        {"arrival", "+F1 !W =W"},
        {"departure", "+F1 !W =W +L !I =I"},
        {"access enabled by the application", "!W !A =A"},
        {"device error once, then the same failure", "+D !E =E"},
        {"recovery", "+D !E !I =I"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        reader::StatusMailbox mailbox;
        std::deque<reader::StatusReport> events;
        mailbox.post(events, report("I"));  // the port was opened
        std::istringstream script(c.script);
        std::string step;
        while (script >> step) {
            if (step[0] == '+') {
                events.push_back(report(step.substr(1)));
                continue;
            }
            EXPECT_EQ(mailbox.post(events, report(step.substr(1))), step[0] == '!') << "at " << step;
        }
    }
}

TEST(ReaderStatusMailbox, ClosedPortDropsWhatWaits)
{
    reader::StatusMailbox mailbox;
    EXPECT_FALSE(mailbox.portOpen());
    std::deque<reader::StatusReport> events{report("F1")};
    mailbox.post(events, report("W"));
    EXPECT_TRUE(mailbox.portOpen());
    mailbox.clear();
    EXPECT_FALSE(mailbox.portOpen());
    mailbox.post(events, report("I"));
    EXPECT_EQ(token(mailbox.next()), "I") << "the target found before the close was handed out after it";
}

// What a reader of either kind hands to the mailbox: its events as they were made, then the
// steady state of its target, or its device error while it fails in poll mode.
TEST(ReaderReports, EventsMoveInOrderAndTheSteadyStateFollowsPollingPhaseAndFailure)
{
    using reader::TargetPhase;
    const reader::StatusReport failure = report("E");
    const struct {
        const char *name;
        bool polling;
        TargetPhase phase;
        bool failing;
        const char *steady;
    } cases[] = {
        {"not polling", false, TargetPhase::Accessing, false, "I"},
        {"not polling, a failure left over", false, TargetPhase::None, true, "I"},
        {"no target", true, TargetPhase::None, false, "I"},
        {"target found", true, TargetPhase::Found, false, "W"},
        {"target accessed", true, TargetPhase::Accessing, false, "A"},
        {"reader failing", true, TargetPhase::Found, true, "D"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::deque<reader::StatusReport> pending{reader::foundReport(1, report("F2").additionalData), report("L"),
                                                 report("D")};
        std::deque<reader::StatusReport> events{report("F1")};
        reader::StatusReport steady = report("F9");
        reader::takeReports(pending, c.polling, c.phase, c.failing ? &failure : nullptr, events, steady);
        EXPECT_TRUE(pending.empty());
        std::string taken;
        for (const reader::StatusReport &r : events) {
            taken += token(r) + " ";
        }
        EXPECT_EQ(taken, "F1 F2 L D ");
        EXPECT_EQ(events.at(1).pollModeCardType, 1u);
        EXPECT_EQ(token(steady), c.steady);
        EXPECT_EQ(steady.error.code, c.polling && c.failing ? failure.error.code : 0u);
        EXPECT_TRUE(steady.additionalData.empty());
    }
}

}  // namespace
