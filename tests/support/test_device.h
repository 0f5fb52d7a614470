// The simulated device that a test talks to, wherever it runs.
//
// By default it is a simulator on a pseudo-terminal inside the test process. When the
// environment names a port, it is a korvane-devsim that a runner started beside the test
// program instead (the only way on Windows, where the program runs under Wine and the
// simulator natively):
//   KORVANE_TEST_PORT      the port to open: "COMn" (opened by number) or a device path
//   KORVANE_TEST_FAULTS    the faults the simulator was started with, as its fault names
//   KORVANE_TEST_DUMP_DIR  the simulator's --state-dir folder
//   KORVANE_TEST_BAUD      the rate its line is paced at (--baud), when it is paced
// Such a simulator has the faults and the pace it was started with, so a test that needs
// others is skipped, and says which options the simulator would need; the runner collects
// those and runs the program again for each set.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "devsim/device_snapshot.h"
#include "devsim/simulated_device.h"
#include "link/serial_port.h"

namespace korvane::testing {

// The start of the message of a test skipped for its faults; the options follow.
constexpr const char* kNeedsSimulatorText = "needs the simulator started with:";

class TestDevice {
public:
    class Backend;

    // baudRate paces the line like a real one at that rate; 0 leaves it unpaced.
    explicit TestDevice(const devsim::DeviceFaults& faults = {}, uint32_t baudRate = 0);
    ~TestDevice();
    TestDevice(const TestDevice&) = delete;
    TestDevice& operator=(const TestDevice&) = delete;

    // Empty when this device can serve the test; otherwise why not (the test skips).
    const std::string& Unsuited() const { return unsuited; }
    // Makes the device fresh (nothing written, nothing received) and ready to answer.
    // False, with ErrorText set, when there is no device.
    bool Start();
    const std::string& ErrorText() const { return errorText; }

    // The port: a device path, or "COMn".
    std::string PortPath() const;
    // 1 for "COM1" and so on; 0 for a port named by a device path.
    uint8_t PortNumber() const;
    // Opens the port at 115200 baud, by number where it has one.
    bool OpenOn(SerialPort& port) const;

    devsim::DeviceSnapshot Snapshot() const;
    std::vector<uint8_t> FlashImage() const { return Snapshot().flash; }
    // Every byte the host has sent since Start (or the last ClearReceived).
    std::vector<uint8_t> Received() const { return Snapshot().received; }
    void ClearReceived();
    // As a fixture of a line: a new device put in (a new unique ID, nothing written), or
    // the one there taken out (nothing answers).
    void PutIn();
    void TakeOut();
    bool Started() const { return Snapshot().started; }
    // Runs inspect(const devsim::DeviceSnapshot&) on what the device holds now.
    template <typename Inspector>
    auto Inspect(Inspector inspect) const {
        const devsim::DeviceSnapshot snapshot = Snapshot();
        return inspect(snapshot);
    }

private:
    std::unique_ptr<Backend> backend;
    std::string unsuited;
    std::string errorText;
};

}  // namespace korvane::testing

// Skips the test when its device cannot be had with the faults it asks for.
#define KORVANE_SKIP_IF_UNSUITED(holder)     \
    if (!(holder).Unsuited().empty()) {      \
        GTEST_SKIP() << (holder).Unsuited(); \
    }
