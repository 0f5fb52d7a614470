#include <gtest/gtest.h>

#include "platform/ticks.h"

namespace korvane {
namespace {

TEST(Ticks, SpanIsRightAcrossTheCounterWrap) {
    EXPECT_EQ(TicksSince(0xFFFFFF00u, 0x00000010u), 0x110u);
    EXPECT_EQ(TicksSince(100u, 3100u), 3000u);
    EXPECT_EQ(TicksSince(0xFFFFFFFFu, 0xFFFFFFFFu), 0u);
}

TEST(Ticks, CounterAdvancesWithSleep) {
    const uint32_t start = TickCount();
    SleepMs(20);
    const uint32_t span = TicksSince(start, TickCount());
    EXPECT_GE(span + kTickStepMs, 20u);
    EXPECT_LT(span, 1000u);
}

}  // namespace
}  // namespace korvane
