// Tick counter, sleep and debug output on Windows: the platform's own calls.
#include <windows.h>

#include <atomic>

#include "platform/debug_output.h"
#include "platform/interrupt.h"
#include "platform/ticks.h"

namespace korvane {

uint32_t TickCount() {
    return static_cast<uint32_t>(GetTickCount());
}

void SleepMs(uint32_t milliseconds) {
    Sleep(milliseconds);
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
