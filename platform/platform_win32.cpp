// Tick counter, sleep and debug output on Windows: the platform's own calls.
#include <windows.h>

#include "platform/debug_output.h"
#include "platform/ticks.h"

namespace korvane {

uint32_t TickCount() {
    return static_cast<uint32_t>(GetTickCount());
}

void SleepMs(uint32_t milliseconds) {
    Sleep(milliseconds);
}

namespace detail {
void WritePlatformDebugOutput(const char* text) {
    OutputDebugStringA(text);
}
}  // namespace detail

}  // namespace korvane
