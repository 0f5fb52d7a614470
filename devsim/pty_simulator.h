// Runs a SimulatedDevice on a pseudo-terminal: the host opens the terminal's device path
// as its serial port, and the simulator answers on the other side from a thread of its own.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devsim/simulated_device.h"

namespace korvane::devsim {

class PtySimulator {
public:
    explicit PtySimulator(const DeviceFaults& faults = {});
    ~PtySimulator();
    PtySimulator(const PtySimulator&) = delete;
    PtySimulator& operator=(const PtySimulator&) = delete;

    // Creates the pseudo-terminal and starts answering. False (with errorText set) when
    // no terminal could be had.
    bool Start();
    void Stop();

    // The device path for the host to open, e.g. /dev/pts/3.
    const std::string& PortPath() const { return portPath; }
    const std::string& ErrorText() const { return errorText; }

    // Snapshots, safe while the simulator runs.
    std::vector<uint8_t> FlashImage() const;
    // Every byte the host has sent since the start (or the last ClearReceived).
    std::vector<uint8_t> Received() const;
    void ClearReceived();
    bool Started() const;
    int EraseCount() const;

    // Writes the whole flash to a file. False when the file cannot be written.
    bool DumpFlash(const std::string& path) const;

private:
    class Output;
    void Run();
    bool WriteAll(const uint8_t* data, size_t length);

    mutable std::mutex mutex;
    SimulatedDevice device;
    std::vector<uint8_t> received;
    std::string portPath;
    std::string errorText;
    int master = -1;
    int keepAlive = -1;   // our own open of the terminal, so it lives between host opens
    int wakePipe[2] = {-1, -1};
    std::thread worker;
};

}  // namespace korvane::devsim
