// A DeviceLink connected to a simulated device on a pseudo-terminal.
#pragma once

#include <gtest/gtest.h>

#include "devsim/pty_simulator.h"
#include "link/device_link.h"

namespace korvane::testing {

struct SimulatedLine {
    explicit SimulatedLine(const devsim::DeviceFaults& faults = {}) : device(faults) {
        started = device.Start();
        opened = started && link.OpenDevice(device.PortPath(), 115200);
    }
    bool Ready() const { return started && opened; }

    devsim::PtySimulator device;
    DeviceLink link;
    bool started = false;
    bool opened = false;
};

}  // namespace korvane::testing
