// A DeviceLink connected to the simulated device (see TestDevice for where it runs).
#pragma once

#include <gtest/gtest.h>

#include "link/device_link.h"
#include "support/test_device.h"

namespace korvane::testing {

struct SimulatedLine {
    explicit SimulatedLine(const devsim::DeviceFaults& faults = {}) : device(faults) {
        if (!device.Unsuited().empty()) {
            return;
        }
        started = device.Start();
        opened = started && device.OpenOn(link);
    }
    bool Ready() const { return started && opened; }
    const std::string& Unsuited() const { return device.Unsuited(); }

    TestDevice device;
    DeviceLink link;
    bool started = false;
    bool opened = false;
};

}  // namespace korvane::testing

// Skips the test when its device cannot be had, and stops it when the line did not come up.
#define KORVANE_LINE_READY_OR_SKIP(line) \
    KORVANE_SKIP_IF_UNSUITED(line);      \
    ASSERT_TRUE((line).Ready())
