#include "devsim/pty_simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "devsim/state_request.h"
#include "platform/ticks.h"

namespace korvane::devsim {

namespace {
constexpr size_t kReceivedLogLimit = 16 * 1024 * 1024;

// The faults with the device's unique ID settled, so that a device made afresh (a test
// runner's reset) is the same part as before.
DeviceFaults WithUniqueId(DeviceFaults faults) {
    if (!faults.uid) {
        faults.uid = NewUniqueId();
    }
    return faults;
}
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

PtySimulator::PtySimulator(const DeviceFaults& faults, uint32_t baudRate)
    : faults(WithUniqueId(faults)), device(this->faults) {
    if (baudRate > 0) {
        byteTime = std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(
            static_cast<int64_t>(11) * 1000000000 / static_cast<int64_t>(baudRate)));
    }
}

void PtySimulator::NewDeviceIn(const UniqueId& uid) {
    DeviceFaults fresh = faults;
    fresh.uid = uid;
    device = SimulatedDevice(fresh);
    device.ModemLinesAre(dtrSet, rtsSet, Clock::now());
    present = true;
}

void PtySimulator::PutIn() {
    PutIn(NewUniqueId());
}

void PtySimulator::PutIn(const UniqueId& uid) {
    std::lock_guard<std::mutex> lock(mutex);
    NewDeviceIn(uid);
}

void PtySimulator::PutIn(const DeviceFaults& newFaults) {
    std::lock_guard<std::mutex> lock(mutex);
    faults = WithUniqueId(newFaults);
    NewDeviceIn(*faults.uid);
}

void PtySimulator::TakeOut() {
    std::lock_guard<std::mutex> lock(mutex);
    present = false;
}

bool PtySimulator::DevicePresent() const {
    std::lock_guard<std::mutex> lock(mutex);
    return present;
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
    return StartRunning();
}

bool PtySimulator::StartOnSocket(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        errorText = "the socket path " + path + " is too long";
        return false;
    }
    path.copy(address.sun_path, path.size());
    unlink(path.c_str());
    listening = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listening < 0 ||
        bind(listening, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listening, 1) != 0) {
        errorText = "cannot listen at " + path + ": " + std::strerror(errno);
        Stop();
        return false;
    }
    socketPath = path;
    portPath = path;
    return StartRunning();
}

bool PtySimulator::StartRunning() {
    if (pipe(wakePipe) != 0) {
        errorText = std::string("cannot create a pipe: ") + std::strerror(errno);
        Stop();
        return false;
    }
    if (!stateFolder.empty()) {
        folderWatch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (folderWatch < 0 ||
            inotify_add_watch(folderWatch, stateFolder.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0 ||
            !WriteStateFiles()) {
            errorText =
                "cannot keep the device's state in " + stateFolder + ": " + std::strerror(errno);
            Stop();
            return false;
        }
        // A request left from an earlier run would otherwise wait for the next event.
        std::remove((stateFolder + "/" + kRequestName).c_str());
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
    for (int* fd : {&master, &listening, &keepAlive, &wakePipe[0], &wakePipe[1], &folderWatch}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
    if (!socketPath.empty()) {
        unlink(socketPath.c_str());
        socketPath.clear();
    }
}

void PtySimulator::WireResetLines(const ResetWiring& wiring) {
    std::lock_guard<std::mutex> lock(mutex);
    device.WireResetLines(wiring);
}

void PtySimulator::ModemLineChanged(uint8_t code) {
    const Clock::time_point at = Clock::now();
    std::lock_guard<std::mutex> lock(mutex);
    device.ModemLineChanged(code, at);
}

void PtySimulator::ModemLinesAre(bool dtr, bool rts, Clock::time_point at) {
    std::lock_guard<std::mutex> lock(mutex);
    dtrSet = dtr;
    rtsSet = rts;
    device.ModemLinesAre(dtr, rts, at);
}

void PtySimulator::Accept() {
    if (master >= 0 || listening < 0) {
        return;
    }
    master = accept4(listening, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
}

void PtySimulator::Run() {
    bool flooding = false;
    for (;;) {
        // This thread is the only one that changes the device, so it may look unlocked.
        if (device.Flooding() && !flooding) {
            floodUntil = std::max(Clock::now(), sentUntil);
        }
        flooding = device.Flooding();
        // A flood goes out as the terminal takes it, or paced, as the line would carry
        // it; either way between the waits for the host's bytes, requests and the stop.
        short lineEvents = POLLIN;
        int timeoutMs = -1;
        if (flooding && byteTime == Clock::duration::zero()) {
            lineEvents |= POLLOUT;
        } else if (flooding) {
            const auto due = std::chrono::ceil<std::chrono::milliseconds>(
                floodUntil + byteTime * static_cast<int64_t>(SliceBytes()) - Clock::now());
            timeoutMs = static_cast<int>(std::max<int64_t>(0, due.count()));
        }
        // A socket with nobody connected waits for a connection instead.
        const bool awaitingConnection = master < 0 && listening >= 0;
        pollfd waiters[3] = {{awaitingConnection ? listening : master,
                              awaitingConnection ? short{POLLIN} : lineEvents, 0},
                             {wakePipe[0], POLLIN, 0},
                             {folderWatch, POLLIN, 0}};
        if (poll(waiters, folderWatch >= 0 ? 3 : 2, timeoutMs) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (waiters[1].revents != 0) {
            return;
        }
        if (awaitingConnection) {
            Accept();
        } else if ((waiters[0].revents & ~POLLOUT) != 0 && !TakeInPending()) {
            return;
        }
        if (folderWatch >= 0 && waiters[2].revents != 0 && !ServeRequest()) {
            return;
        }
        // A request may have reset the device meanwhile.
        if (flooding && device.Flooding()) {
            Flood();
        }
    }
}

bool PtySimulator::TakeInPending() {
    uint8_t buffer[4096];
    while (master >= 0) {
        const ssize_t got = read(master, buffer, sizeof buffer);
        if (got > 0) {
            if (lineObserver) {
                lineObserver(buffer, static_cast<size_t>(got));
            }
            if (!Consume(buffer, static_cast<size_t>(got))) {
                return false;
            }
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (listening >= 0 && (got == 0 || errno != EAGAIN)) {
            // The far end closed its connection: listen for the next.
            close(master);
            master = -1;
        } else if (got < 0 && errno != EAGAIN) {
            // No host has the terminal open; our own open keeps this short-lived.
            SleepMs(10);
        }
        return true;
    }
    return true;
}

bool PtySimulator::Consume(const uint8_t* bytes, size_t count) {
    receivedUntil = std::max(receivedUntil, Clock::now());
    for (size_t i = 0; i < count; ++i) {
        receivedUntil += byteTime;
        Output output;
        int closings = 0;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (received.size() >= kReceivedLogLimit) {
                // A long-running simulator keeps only the recent history.
                received.erase(received.begin(), received.begin() + kReceivedLogLimit / 2);
            }
            if (!present) {
                continue;  // an empty fixture: the bytes go nowhere
            }
            received.push_back(bytes[i]);
            closings = device.Loader().ClosingRequests();
            device.Receive(bytes[i], output);
            closings = device.Loader().ClosingRequests() - closings;
        }
        for (const auto& action : output.actions) {
            if (action.pauseMs > 0) {
                SleepMs(action.pauseMs);
            }
            if (!action.bytes.empty() && !SendPaced(action.bytes)) {
                return false;
            }
        }
        if (closings > 0) {
            WriteReport();
        }
    }
    return true;
}

}  // namespace korvane::devsim
