#include "devsim/pty_simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "devsim/device_report.h"
#include "platform/ticks.h"

namespace korvane::devsim {

namespace {
constexpr size_t kReceivedLogLimit = 16 * 1024 * 1024;
}  // namespace

// Collects the device's answers while the device is locked, and plays them on the line
// once the lock is released, so that snapshots never wait behind a slow erase.
class PtySimulator::Output : public DeviceOutput {
public:
    void Send(const uint8_t* data, size_t length) override {
        actions.push_back({0, std::vector<uint8_t>(data, data + length)});
    }
    void Pause(uint32_t milliseconds) override { actions.push_back({milliseconds, {}}); }

    struct Action {
        uint32_t pauseMs;
        std::vector<uint8_t> bytes;
    };
    std::vector<Action> actions;
};

PtySimulator::PtySimulator(const DeviceFaults& faults, uint32_t baudRate) : device(faults) {
    if (baudRate > 0) {
        byteTime = std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(
            static_cast<int64_t>(11) * 1000000000 / static_cast<int64_t>(baudRate)));
    }
}

PtySimulator::~PtySimulator() {
    Stop();
}

bool PtySimulator::Start() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        errorText = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        Stop();
        return false;
    }
    char name[128] = {};
    if (ptsname_r(master, name, sizeof name) != 0) {
        errorText = std::string("cannot name the pseudo-terminal: ") + std::strerror(errno);
        Stop();
        return false;
    }
    portPath = name;
    // Raw from the start, so that nothing the host sends before it sets its own modes is
    // echoed back or held for a line end.
    termios raw{};
    tcgetattr(master, &raw);
    cfmakeraw(&raw);
    tcsetattr(master, TCSANOW, &raw);
    keepAlive = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    if (pipe(wakePipe) != 0) {
        errorText = std::string("cannot create a pipe: ") + std::strerror(errno);
        Stop();
        return false;
    }
    worker = std::thread([this] { Run(); });
    return true;
}

void PtySimulator::Stop() {
    if (worker.joinable()) {
        const char stop = 's';
        while (write(wakePipe[1], &stop, 1) < 0 && errno == EINTR) {
        }
        worker.join();
        WriteReport();
    }
    for (int* fd : {&master, &keepAlive, &wakePipe[0], &wakePipe[1]}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

bool PtySimulator::WriteAll(const uint8_t* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        const ssize_t n = write(master, data + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        // The host is not reading: wait until it does, or until we are stopped.
        pollfd waiters[2] = {{master, POLLOUT, 0}, {wakePipe[0], POLLIN, 0}};
        poll(waiters, 2, -1);
        if (waiters[1].revents != 0) {
            return false;
        }
    }
    return true;
}

bool PtySimulator::SendPaced(const std::vector<uint8_t>& bytes) {
    if (byteTime == Clock::duration::zero()) {
        return WriteAll(bytes.data(), bytes.size());
    }
    // An answer cannot leave before the request has fully arrived, nor before the line is
    // free; it reaches the host when its last byte would have.
    const Clock::time_point start = std::max({Clock::now(), receivedUntil, sentUntil});
    sentUntil = start + byteTime * static_cast<int64_t>(bytes.size());
    std::this_thread::sleep_until(sentUntil);
    return WriteAll(bytes.data(), bytes.size());
}

void PtySimulator::Run() {
    uint8_t buffer[4096];
    for (;;) {
        pollfd waiters[2] = {{master, POLLIN, 0}, {wakePipe[0], POLLIN, 0}};
        if (poll(waiters, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (waiters[1].revents != 0) {
            return;
        }
        const ssize_t got = read(master, buffer, sizeof buffer);
        if (got <= 0) {
            if (got < 0 && errno != EAGAIN && errno != EINTR) {
                // No host has the terminal open; our own open keeps this short-lived.
                SleepMs(10);
            }
            continue;
        }
        receivedUntil = std::max(receivedUntil, Clock::now());
        for (ssize_t i = 0; i < got; ++i) {
            receivedUntil += byteTime;
            Output output;
            int closings = 0;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (received.size() >= kReceivedLogLimit) {
                    // A long-running simulator keeps only the recent history.
                    received.erase(received.begin(), received.begin() + kReceivedLogLimit / 2);
                }
                received.push_back(buffer[i]);
                closings = device.Loader().ClosingRequests();
                device.Receive(buffer[i], output);
                closings = device.Loader().ClosingRequests() - closings;
            }
            for (const auto& action : output.actions) {
                if (action.pauseMs > 0) {
                    SleepMs(action.pauseMs);
                }
                if (!action.bytes.empty() && !SendPaced(action.bytes)) {
                    return;
                }
            }
            if (closings > 0) {
                WriteReport();
            }
        }
    }
}

std::vector<uint8_t> PtySimulator::FlashImage() const {
    std::lock_guard<std::mutex> lock(mutex);
    return device.Flash();
}

std::vector<uint8_t> PtySimulator::Received() const {
    std::lock_guard<std::mutex> lock(mutex);
    return received;
}

void PtySimulator::ClearReceived() {
    std::lock_guard<std::mutex> lock(mutex);
    received.clear();
}

bool PtySimulator::Started() const {
    std::lock_guard<std::mutex> lock(mutex);
    return device.Started();
}

int PtySimulator::EraseCount() const {
    std::lock_guard<std::mutex> lock(mutex);
    return device.EraseCount();
}

std::string PtySimulator::Report() const {
    std::lock_guard<std::mutex> lock(mutex);
    return DeviceReport(device);
}

bool PtySimulator::WriteReport() const {
    if (reportPath.empty()) {
        return true;
    }
    const std::string report = Report();
    // Written aside and renamed, so a reader never sees half a report.
    const std::string temporary = reportPath + ".part";
    FILE* file = std::fopen(temporary.c_str(), "w");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(report.data(), 1, report.size(), file) == report.size();
    return std::fclose(file) == 0 && written &&
           std::rename(temporary.c_str(), reportPath.c_str()) == 0;
}

namespace {
bool WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && written;
}
}  // namespace

bool PtySimulator::DumpFlash(const std::string& path) const {
    const std::vector<uint8_t> image = FlashImage();
    return WriteFile(path, image.data(), image.size());
}

bool PtySimulator::DumpAll(const std::string& folder) const {
    std::lock_guard<std::mutex> lock(mutex);
    const LoaderFirmware& loader = device.Loader();
    const std::string report = DeviceReport(device);
    bool written =
        WriteFile(folder + "/flash.bin", device.Flash().data(), device.Flash().size()) &&
        WriteFile(folder + "/firmware.bin", loader.Firmware().data(), loader.Firmware().size()) &&
        WriteFile(folder + "/record.bin", loader.SerialRecord().data(),
                  loader.SerialRecord().size()) &&
        WriteFile(folder + "/report.json", reinterpret_cast<const uint8_t*>(report.data()),
                  report.size());
    for (const auto& [number, block] : loader.DataBlocks()) {
        written = written && WriteFile(folder + "/block-" + std::to_string(number) + ".bin",
                                       block.data(), block.size());
    }
    return written;
}

}  // namespace korvane::devsim
