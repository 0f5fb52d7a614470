// The simulator's fuzzers take the device's faults from the input's first line, in the
// words korvane-devsim takes on its command line, so that the fault-name parser is fuzzed
// too and a reproducer says in plain text how the device misbehaved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "devsim/device_faults.h"
#include "fuzz/fuzz_check.h"

namespace korvane::fuzz {

// A line longer than this is no fault list worth the time.
constexpr size_t kMaxFaultLine = 256;

// Splits off the first line as a fault list. False when there is no line break within
// kMaxFaultLine bytes or the list is not understood; else faults holds the faults, and
// data and size describe the bytes after the line. The faults' names read back as the
// same faults.
inline bool TakeFaultLine(const uint8_t*& data, size_t& size, devsim::DeviceFaults& faults) {
    size_t end = 0;
    while (end < size && end <= kMaxFaultLine && data[end] != '\n') {
        ++end;
    }
    if (end == size || end > kMaxFaultLine) {
        return false;
    }
    const std::string line(reinterpret_cast<const char*>(data), end);
    data += end + 1;
    size -= end + 1;
    if (!devsim::ApplyFaultList(line, &faults)) {
        return false;
    }
    const std::vector<std::string> names = devsim::FaultNames(faults);
    std::string again;
    for (const std::string& name : names) {
        again += name + " ";
    }
    devsim::DeviceFaults reread;
    FUZZ_CHECK(devsim::ApplyFaultList(again, &reread));
    FUZZ_CHECK(devsim::FaultNames(reread) == names);
    return true;
}

}  // namespace korvane::fuzz
