// How late a timed wait may end on a loaded machine (sanitizers, the other core busy)
// before a test calls it wrong. Waits are checked for "not before" exactly; "not much
// after" only catches a wait that runs a whole window too long.
#pragma once

#include <chrono>
#include <cstdint>

namespace korvane::testing {

constexpr uint32_t kSchedulingSlackMs = 1500;

// A point on the steady clock, which reads real time to the microsecond on both
// platforms (the performance counter on Windows). Sleeps are measured on it: the tick
// counter may lag real time by more than its step under Wine (platform/ticks.h).
using SteadyTime = std::chrono::steady_clock::time_point;

inline SteadyTime SteadyNow() {
    return std::chrono::steady_clock::now();
}

// Milliseconds from one reading of the steady clock to a later one.
inline double MsBetween(SteadyTime from, SteadyTime to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

}  // namespace korvane::testing
