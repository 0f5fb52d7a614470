// Tick counter, sleep and debug output on Windows: the platform's own calls.
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "platform/debug_output.h"
#include "platform/interrupt.h"
#include "platform/ticks.h"

namespace korvane {

uint32_t TickCount() {
    return static_cast<uint32_t>(GetTickCount());
}

void SleepMs(uint32_t milliseconds) {
    // Sleep may end up to a tick of the system timer before the time asked, and a pause
    // cut short is a fault on the line (the device's reset pulse needs each of its pauses
    // whole). The performance counter tells how long the sleep really took; whatever is
    // missing is slept off, rounded up to whole milliseconds, so every round blocks.
    static const int64_t frequency = [] {
        LARGE_INTEGER counts{};
        QueryPerformanceFrequency(&counts);
        return static_cast<int64_t>(counts.QuadPart);
    }();
    LARGE_INTEGER start{};
    QueryPerformanceCounter(&start);
    const int64_t needed = static_cast<int64_t>(milliseconds / 1000) * frequency +
                           (static_cast<int64_t>(milliseconds % 1000) * frequency + 999) / 1000;
    Sleep(milliseconds);
    for (;;) {
        LARGE_INTEGER now{};
        QueryPerformanceCounter(&now);
        const int64_t missing = needed - (now.QuadPart - start.QuadPart);
        if (missing <= 0) {
            return;
        }
        Sleep(static_cast<DWORD>((missing * 1000 + frequency - 1) / frequency));
    }
}

namespace {
std::atomic<bool> interruptRequested{false};
}  // namespace

void RequestInterrupt() {
    interruptRequested = true;
}

bool InterruptRequested() {
    return interruptRequested;
}

namespace detail {
void WritePlatformDebugOutput(const char* text) {
    OutputDebugStringA(text);
}
}  // namespace detail

}  // namespace korvane
