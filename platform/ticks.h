// Millisecond tick counter and sleeping.
#pragma once

#include <cstdint>

namespace korvane {

// Milliseconds since an arbitrary point, wrapping at 2^32 like the classic tick counter.
uint32_t TickCount();

// Milliseconds from start to now. Unsigned arithmetic keeps this right across a wrap
// of the counter, as long as the span itself is shorter than about 49 days.
inline uint32_t TicksSince(uint32_t start, uint32_t now) {
    return now - start;
}

void SleepMs(uint32_t milliseconds);

}  // namespace korvane
