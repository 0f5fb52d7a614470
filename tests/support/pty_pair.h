// A bare pseudo-terminal for tests that play the device side byte by byte themselves.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

#include <string>
#include <vector>

namespace korvane::testing {

class PtyPair {
public:
    PtyPair() {
        char name[128] = {};
        termios raw{};
        cfmakeraw(&raw);
        if (openpty(&master, &slave, name, &raw, nullptr) == 0) {
            path = name;
        }
    }
    ~PtyPair() {
        if (master >= 0)
            close(master);
        if (slave >= 0)
            close(slave);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& Path() const { return path; }
    int Master() const { return master; }

    // Plays bytes as the device.
    void Send(const std::vector<uint8_t>& bytes) const {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
    }

    // The device end goes away, as an unplugged adapter or an ended simulator does.
    void CloseMaster() {
        if (master >= 0)
            close(master);
        master = -1;
    }

    // What the host has sent: at least expected bytes, unless they have not come within a
    // generous deadline (the terminal hands bytes over asynchronously, so a write that
    // has returned is not yet readable here). With expected 0, what has come so far.
    std::vector<uint8_t> Drain(size_t expected = 0) const {
        std::vector<uint8_t> out;
        const int flags = fcntl(master, F_GETFL);
        fcntl(master, F_SETFL, flags | O_NONBLOCK);
        const auto deadline = std::chrono::steady_clock::now() + kDeadline;
        uint8_t buffer[1024];
        for (;;) {
            ssize_t n;
            while ((n = read(master, buffer, sizeof buffer)) > 0) {
                out.insert(out.end(), buffer, buffer + n);
            }
            if (out.size() >= expected || !WaitReadable(master, deadline)) {
                break;
            }
        }
        fcntl(master, F_SETFL, flags);
        return out;
    }

    // Waits until the host's side holds count unread bytes (what Send played has
    // arrived there), or the deadline passes.
    bool WaitForHostInput(int count) const {
        const auto deadline = std::chrono::steady_clock::now() + kDeadline;
        int queued = 0;
        while (ioctl(slave, FIONREAD, &queued) == 0 && queued < count) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            usleep(1000);
        }
        return queued >= count;
    }

private:
    static constexpr std::chrono::seconds kDeadline{5};

    static bool WaitReadable(int fd, std::chrono::steady_clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, static_cast<int>(left.count())) > 0;
    }

    int master = -1;
    int slave = -1;  // held open so that the terminal survives the host's closes
    std::string path;
};

}  // namespace korvane::testing
