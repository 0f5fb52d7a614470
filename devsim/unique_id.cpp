// The unique IDs that simulated devices make for themselves, never that of another device
// alive on the same machine.
#include "devsim/simulated_device.h"

#include <atomic>
#include <chrono>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace korvane::devsim {

namespace {

uint64_t Mix(uint64_t value) {
    // splitmix64's finaliser: a bijection, so distinct inputs stay distinct.
    value += 0x9E3779B97F4A7C15ull;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
    return value ^ (value >> 31);
}

uint64_t ProcessId() {
#ifdef _WIN32
    return static_cast<uint64_t>(_getpid());
#else
    return static_cast<uint64_t>(getpid());
#endif
}

}  // namespace

UniqueId NewUniqueId() {
    static std::atomic<uint32_t> made{0};
    // Eight bytes from the process id and the count, which no two devices alive on one
    // machine share, and four from the time, for a process id used again later.
    const uint64_t own = Mix(ProcessId() << 32 | made++);
    const uint64_t time = Mix(static_cast<uint64_t>(
        std::chrono::system_clock::now().time_since_epoch() / std::chrono::nanoseconds(1)));
    UniqueId id{};
    for (size_t i = 0; i < 8; ++i) {
        id[i] = static_cast<uint8_t>(own >> (8 * i));
    }
    for (size_t i = 8; i < id.size(); ++i) {
        id[i] = static_cast<uint8_t>(time >> (8 * (i - 8)));
    }
    return id;
}

}  // namespace korvane::devsim
