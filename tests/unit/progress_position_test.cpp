#include <gtest/gtest.h>

#include "flashing/entry_writers.h"

namespace korvane {
namespace {

TEST(ProgressPosition, RoundsToTheNearestPercentWithHalvesUp) {
    EXPECT_EQ(ProgressPosition(1, 8), 13);       // 12.5
    EXPECT_EQ(ProgressPosition(3, 8), 38);       // 37.5
    EXPECT_EQ(ProgressPosition(1, 200), 1);      // 0.5
    EXPECT_EQ(ProgressPosition(1, 201), 0);      // just under a half
    EXPECT_EQ(ProgressPosition(256, 1000), 26);  // 25.6
    EXPECT_EQ(ProgressPosition(0, 1000), 0);
    EXPECT_EQ(ProgressPosition(1000, 1000), 100);
    // Sizes near the top of the 32-bit range do not overflow the arithmetic.
    EXPECT_EQ(ProgressPosition(0xFFFFFFFFull, 0xFFFFFFFFull), 100);
}

}  // namespace
}  // namespace korvane
