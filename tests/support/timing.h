// How late a timed wait may end on a loaded machine (sanitizers, the other core busy)
// before a test calls it wrong. Waits are checked for "not before" exactly; "not much
// after" only catches a wait that runs a whole window too long.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "platform/ticks.h"

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

// Looks every 5 ms until done() holds; false once timeoutMs have passed without. For what
// another thread or process changes with no event to wait on (the bytes a simulator got).
inline bool PollUntil(const std::function<bool()>& done, uint32_t timeoutMs = 10000) {
    const uint32_t start = TickCount();
    while (!done()) {
        if (TicksSince(start, TickCount()) > timeoutMs) {
            return false;
        }
        SleepMs(5);
    }
    return true;
}

}  // namespace korvane::testing
