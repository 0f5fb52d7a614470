#include <gtest/gtest.h>

#include "platform/ticks.h"
#include "support/timing.h"

namespace korvane {
namespace {

TEST(Ticks, SpanIsRightAcrossTheCounterWrap) {
    EXPECT_EQ(TicksSince(0xFFFFFF00u, 0x00000010u), 0x110u);
    EXPECT_EQ(TicksSince(100u, 3100u), 3000u);
    EXPECT_EQ(TicksSince(0xFFFFFFFFu, 0xFFFFFFFFu), 0u);
}

TEST(Ticks, SleepLastsTheTimeAskedAndTheCounterFollowsInMilliseconds) {
    const testing::SteadyTime before = testing::SteadyNow();
    const uint32_t start = TickCount();
    SleepMs(20);
    EXPECT_GE(testing::MsBetween(before, testing::SteadyNow()), 20.0);
    EXPECT_LT(TicksSince(start, TickCount()), 20u + testing::kSchedulingSlackMs);
    // The counter may lag real time by more than a step (under Wine on a busy machine), so
    // it is given until the scheduling slack to show the 20 ms.
    while (TicksSince(start, TickCount()) < 20u &&
           testing::MsBetween(before, testing::SteadyNow()) < 20.0 + testing::kSchedulingSlackMs) {
        SleepMs(1);
    }
    EXPECT_GE(TicksSince(start, TickCount()), 20u);
}

}  // namespace
}  // namespace korvane
