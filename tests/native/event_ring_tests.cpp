// The event queue's ring: events come back in order and by value; when it is full the oldest are
// dropped and the next event returned tells how many were dropped right before it.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "NfcEventRing.h"

namespace {

KORVAT_NFC_EVENT eventNumbered(uint32_t number)
{
    KORVAT_NFC_EVENT event;
    std::memset(&event, 0, sizeof(event));
    event.kind = KORVAT_NFC_EVENT_TARGET_FOUND;
    event.target_number = number;
    event.lost_before = 0xDEADu;  // the ring's own count replaces whatever the caller left here
    event.data_size = 4;
    std::memcpy(event.data, &number, 4);
    return event;
}

struct Taken {
    uint32_t number;
    uint32_t lostBefore;
    bool operator==(const Taken &other) const { return number == other.number && lostBefore == other.lostBefore; }
};

void PrintTo(const Taken &t, std::ostream *out) { *out << "{" << t.number << ", lost " << t.lostBefore << "}"; }

std::vector<Taken> drain(NfcEventRing &ring)
{
    std::vector<Taken> taken;
    KORVAT_NFC_EVENT event;
    while (ring.pop(event)) {
        uint32_t copied;
        std::memcpy(&copied, event.data, 4);
        EXPECT_EQ(copied, event.target_number) << "the data came back with its event";
        taken.push_back({event.target_number, event.lost_before});
    }
    return taken;
}

TEST(EventRing, EventsComeBackInOrderAndAnEmptyRingLeavesTheEventAlone)
{
    NfcEventRing ring;
    KORVAT_NFC_EVENT untouched = eventNumbered(77);
    EXPECT_FALSE(ring.pop(untouched));
    EXPECT_EQ(untouched.target_number, 77u);
    for (uint32_t i = 1; i <= 3; ++i) {
        EXPECT_FALSE(ring.push(eventNumbered(i)));
    }
    EXPECT_EQ(drain(ring), (std::vector<Taken>{{1, 0}, {2, 0}, {3, 0}}));
    // Used again after being emptied, across the end of its storage.
    for (uint32_t i = 10; i < 10 + NfcEventRing::Capacity; ++i) {
        EXPECT_FALSE(ring.push(eventNumbered(i)));
    }
    const std::vector<Taken> taken = drain(ring);
    ASSERT_EQ(taken.size(), NfcEventRing::Capacity);
    for (size_t i = 0; i < taken.size(); ++i) {
        EXPECT_EQ(taken[i], (Taken{static_cast<uint32_t>(10 + i), 0})) << i;
    }
}

TEST(EventRing, OverflowDropsTheOldestAndTheNextEventCountsThem)
{
    const uint32_t capacity = static_cast<uint32_t>(NfcEventRing::Capacity);
    const struct {
        const char *what;
        uint32_t pushed;        // events 1..pushed into a fresh ring
        uint32_t poppedBefore;  // taken out after the first `capacity` pushes
    } cases[] = {
        {"one too many", capacity + 1, 0},
        {"a ring's worth and five too many", 2 * capacity + 5, 0},
        {"some taken out in between", capacity + 10, 3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        NfcEventRing ring;
        uint32_t next = 1;
        for (; next <= capacity; ++next) {
            ring.push(eventNumbered(next));
        }
        std::vector<Taken> taken;
        KORVAT_NFC_EVENT event;
        for (uint32_t i = 0; i < c.poppedBefore && ring.pop(event); ++i) {
            taken.push_back({event.target_number, event.lost_before});
        }
        for (; next <= c.pushed; ++next) {
            ring.push(eventNumbered(next));
        }
        for (const Taken &t : drain(ring)) {
            taken.push_back(t);
        }
        // What must come back: the first poppedBefore, then the newest `capacity` of the rest,
        // the first of them carrying how many of the rest were dropped.
        std::vector<Taken> expected;
        for (uint32_t i = 1; i <= c.poppedBefore; ++i) {
            expected.push_back({i, 0});
        }
        const uint32_t keptFrom = c.pushed - capacity + 1;
        const uint32_t dropped = keptFrom - 1 - c.poppedBefore;
        for (uint32_t i = keptFrom; i <= c.pushed; ++i) {
            expected.push_back({i, i == keptFrom ? dropped : 0});
        }
        EXPECT_EQ(taken, expected);
    }
}

TEST(EventRing, TheCountOfDroppedEventsStaysWithTheEventAfterTheGapAndClearForgetsIt)
{
    NfcEventRing ring;
    const uint32_t capacity = static_cast<uint32_t>(NfcEventRing::Capacity);
    for (uint32_t i = 1; i <= capacity + 2; ++i) {
        ring.push(eventNumbered(i));
    }
    KORVAT_NFC_EVENT event;
    ASSERT_TRUE(ring.pop(event));
    EXPECT_EQ(event.target_number, 3u);
    EXPECT_EQ(event.lost_before, 2u);
    ASSERT_TRUE(ring.pop(event));
    EXPECT_EQ(event.lost_before, 0u) << "the gap is reported once";
    ring.clear();
    EXPECT_FALSE(ring.pop(event));
    ring.push(eventNumbered(500));
    EXPECT_EQ(drain(ring), (std::vector<Taken>{{500, 0}}));
}

}  // namespace
