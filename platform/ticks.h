// Millisecond tick counter and sleeping.
#pragma once

#include <cstdint>

namespace korvane {

// Milliseconds since an arbitrary point, wrapping at 2^32 like the classic tick counter.
uint32_t TickCount();

// How far behind real time the counter may read. Windows' counter advances in steps of
// the system timer (15.6 ms by default), so a span it measures can come out up to one
// step short; the POSIX counter is read from a monotonic clock at its own resolution.
// Under Wine the counter is brought up to date by the wine server, every 16 ms when it
// gets the processor, so on a busy machine it can lag further (40 ms and more): a span
// that must not come out short against real time, a sleep's, is measured on a steady
// clock. A wait this counter times (the read window) comes out whole on the same counter.
#ifdef _WIN32
constexpr uint32_t kTickStepMs = 16;
#else
constexpr uint32_t kTickStepMs = 0;
#endif

// Milliseconds from start to now. Unsigned arithmetic keeps this right across a wrap
// of the counter, as long as the span itself is shorter than about 49 days.
inline uint32_t TicksSince(uint32_t start, uint32_t now) {
    return now - start;
}

// Sleeps for at least this many milliseconds of real time, however coarse the timer.
void SleepMs(uint32_t milliseconds);

}  // namespace korvane
