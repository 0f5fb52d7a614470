// Tick counter, sleep and debug-output sink on POSIX systems.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "platform/debug_output.h"
#include "platform/interrupt.h"
#include "platform/ticks.h"

namespace korvane {

uint32_t TickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms =
        static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

void SleepMs(uint32_t milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

namespace {
std::atomic<bool> interruptRequested{false};
// The pipe's write end, written by a signal handler: made before any handler can run.
std::atomic<int> interruptWriteEnd{-1};
}  // namespace

int InterruptWakeDescriptor() {
    static const int readEnd = [] {
        int ends[2] = {-1, -1};
        if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
            return -1;
        }
        interruptWriteEnd = ends[1];
        if (interruptRequested) {
            // Requested before the pipe existed: the pipe must still say so.
            [[maybe_unused]] const ssize_t n = write(ends[1], "!", 1);
        }
        return ends[0];
    }();
    return readEnd;
}

void RequestInterrupt() {
    interruptRequested = true;
    const int writeEnd = interruptWriteEnd;
    if (writeEnd >= 0) {
        // The byte is never read: the pipe stays readable for every later wait.
        [[maybe_unused]] const ssize_t n = write(writeEnd, "!", 1);
    }
}

bool InterruptRequested() {
    return interruptRequested;
}

namespace detail {

namespace {
std::mutex sinkMutex;
std::string sinkPath;
FILE* sinkFile = nullptr;
}  // namespace

void WritePlatformDebugOutput(const char* text) {
    const char* wanted = std::getenv("KORVANE_TRACE");
    std::lock_guard<std::mutex> lock(sinkMutex);
    if (wanted == nullptr || *wanted == '\0') {
        return;
    }
    if (sinkPath != wanted) {
        // The variable changed (or this is the first trace): follow it.
        if (sinkFile != nullptr && sinkFile != stderr) {
            std::fclose(sinkFile);
        }
        sinkPath = wanted;
        sinkFile = sinkPath == "-" ? stderr : std::fopen(sinkPath.c_str(), "a");
    }
    if (sinkFile != nullptr) {
        std::fputs(text, sinkFile);
        std::fflush(sinkFile);
    }
}

}  // namespace detail
}  // namespace korvane
