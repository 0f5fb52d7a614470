#include "devsim/pty_simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/ticks.h"

namespace korvane::devsim {

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

PtySimulator::PtySimulator(const DeviceFaults& faults) : device(faults) {}

PtySimulator::~PtySimulator() { Stop(); }

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
        for (ssize_t i = 0; i < got; ++i) {
            Output output;
            {
                std::lock_guard<std::mutex> lock(mutex);
                received.push_back(buffer[i]);
                device.Receive(buffer[i], output);
            }
            for (const auto& action : output.actions) {
                if (action.pauseMs > 0) {
                    SleepMs(action.pauseMs);
                }
                if (!action.bytes.empty() && !WriteAll(action.bytes.data(), action.bytes.size())) {
                    return;
                }
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

bool PtySimulator::DumpFlash(const std::string& path) const {
    const std::vector<uint8_t> image = FlashImage();
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(image.data(), 1, image.size(), file) == image.size();
    return std::fclose(file) == 0 && written;
}

}  // namespace korvane::devsim
