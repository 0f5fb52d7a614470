// Runs a SimulatedDevice on a pseudo-terminal: the host opens the terminal's device path
// as its serial port, and the simulator answers on the other side from a thread of its own.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devsim/device_snapshot.h"
#include "devsim/simulated_device.h"

namespace korvane::devsim {

class PtySimulator {
public:
    using Clock = std::chrono::steady_clock;

    // baudRate 0 answers as fast as the terminal carries bytes; any other value paces the
    // line both ways as a real one would (11 bits a byte: start, 8 data, parity, stop).
    explicit PtySimulator(const DeviceFaults& faults = {}, uint32_t baudRate = 0);
    ~PtySimulator();
    PtySimulator(const PtySimulator&) = delete;
    PtySimulator& operator=(const PtySimulator&) = delete;

    // Creates the pseudo-terminal and starts answering. False (with errorText set) when
    // no terminal could be had.
    bool Start();
    // Serves the device on a Unix socket instead, for an emulated machine whose serial port
    // is wired to it (an emulator's socket character device connects there): listens at
    // path, takes one connection at a time, and listens again when the far end closes it.
    // What the device sends while nothing is connected is lost, as on an unplugged line.
    bool StartOnSocket(const std::string& path);
    void Stop();

    // A fixture of a line: with no device in it, whatever the host sends is lost and
    // nothing answers. PutIn places a new device (a new unique ID, an erased flash) there;
    // TakeOut removes the one present. A simulator starts with its device in.
    void PutIn();
    // Places a new device whose chip reports uid, as a cloned or counterfeit part does.
    void PutIn(const UniqueId& uid);
    // The same with a part that has these faults (and these alone) from now on; its unique
    // ID is theirs when they name one, a new one otherwise.
    void PutIn(const DeviceFaults& faults);
    void TakeOut();
    bool DevicePresent() const;

    // Makes the device mind its reset lines (SimulatedDevice::WireResetLines). A
    // pseudo-terminal carries no modem lines, so the host's changes reach the device
    // through ModemLineChanged, from the port's modem-line watcher in the same process.
    void WireResetLines(const ResetWiring& wiring);
    void ModemLineChanged(uint8_t code);
    // The modem lines as a real line's far end reports them: both at once, changed at the
    // given time (SimulatedDevice::ModemLinesAre). They stay with the fixture: a device
    // put in finds them as they are.
    void ModemLinesAre(bool dtr, bool rts, Clock::time_point at);
    // Is handed each block of bytes from the host, on the simulator's thread, before the
    // device takes it in. A line whose modem lines are reported from elsewhere catches up
    // with that report here: a change the host made before it sent the bytes then reaches
    // the device before them, however late the report itself came.
    void SetLineObserver(std::function<void(const uint8_t* bytes, size_t count)> observer) {
        lineObserver = std::move(observer);
    }

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
    // Runs inspect(const SimulatedDevice&) with the device held still, and returns its result.
    template <typename Inspector>
    auto Inspect(Inspector inspect) const {
        std::lock_guard<std::mutex> lock(mutex);
        return inspect(device);
    }
    // Everything the device holds and every byte received, detached from the device.
    DeviceSnapshot Snapshot() const;
    // The device's report (see DeviceReport).
    std::string Report() const;
    // Keeps the report in this file, rewritten after every closing request and at Stop.
    void SetReportPath(const std::string& path) { reportPath = path; }
    bool WriteReport() const;

    // Writes the whole flash to a file. False when the file cannot be written.
    bool DumpFlash(const std::string& path) const;
    // Writes everything the device holds into an existing folder: flash.bin,
    // firmware.bin, block-N.bin for each data block, record.bin, received.bin and
    // report.json.
    bool DumpAll(const std::string& folder) const;

    // Serves a test runner in another process through an existing folder (call before
    // Start): the device's files are written there at Start, and again whenever a file
    // named "request" appears in it, which is removed once served. The request's text
    // names what to do first: "dump" (nothing more), "clear-received", or "reset" (a
    // fresh device with the same faults, and nothing received). Bytes that the host sent
    // before the request are taken in before it is served.
    void SetStateFolder(const std::string& folder) { stateFolder = folder; }

private:
    class Output;

    // Starts the thread that answers, once the line is there.
    bool StartRunning();
    void Run();
    // A new device with that unique ID in the fixture; the caller holds the mutex.
    void NewDeviceIn(const UniqueId& uid);
    // Takes in bytes from the host and plays the device's answers. False once stopped.
    bool Consume(const uint8_t* bytes, size_t count);
    // Reads and takes in whatever the host has sent. False once stopped.
    bool TakeInPending();
    // Serves the state folder's request, if one is there.
    bool ServeRequest();
    bool WriteStateFiles() const;
    bool WriteAll(const uint8_t* data, size_t length);
    // One write to the line; a socket's far end gone is no signal, only an error.
    ssize_t LineWrite(const uint8_t* data, size_t length);
    // Takes the connection that waits on the listening socket, if none is held.
    void Accept();
    // Sends bytes no earlier than a paced line would have carried them.
    bool SendPaced(const std::vector<uint8_t>& bytes);
    // Sends the next piece of a flood, if the line is due one.
    void Flood();
    // The bytes a paced line carries in one slice of its time; at least one.
    size_t SliceBytes() const;

    mutable std::mutex mutex;
    DeviceFaults faults;
    SimulatedDevice device;
    bool present = true;  // a device is in the fixture
    std::vector<uint8_t> received;
    std::string portPath;
    std::string errorText;
    int master = -1;     // the line: the terminal's master side, or the socket's connection
    int listening = -1;  // the listening socket, when serving on one
    std::string socketPath;
    bool dtrSet = false;  // the fixture's modem lines, as last reported
    bool rtsSet = false;
    std::function<void(const uint8_t*, size_t)> lineObserver;
    int keepAlive = -1;  // our own open of the terminal, so it lives between host opens
    int wakePipe[2] = {-1, -1};
    std::thread worker;
    std::string reportPath;
    std::string stateFolder;
    int folderWatch = -1;             // inotify descriptor watching stateFolder
    Clock::duration byteTime{0};      // one byte on the paced line
    Clock::time_point receivedUntil;  // when the last received byte had fully arrived
    Clock::time_point sentUntil;      // when the last sent byte had fully left
    Clock::time_point floodUntil;     // when the flood sent so far has left a paced line
};

}  // namespace korvane::devsim
