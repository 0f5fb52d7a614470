// A bare pseudo-terminal for tests that play the device side byte by byte themselves.
#pragma once

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

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

    // What the host has sent so far (without waiting).
    std::vector<uint8_t> Drain() const {
        std::vector<uint8_t> out;
        const int flags = fcntl(master, F_GETFL);
        fcntl(master, F_SETFL, flags | O_NONBLOCK);
        uint8_t buffer[1024];
        ssize_t n;
        while ((n = read(master, buffer, sizeof buffer)) > 0) {
            out.insert(out.end(), buffer, buffer + n);
        }
        fcntl(master, F_SETFL, flags);
        return out;
    }

private:
    int master = -1;
    int slave = -1;  // held open so that the terminal survives the host's closes
    std::string path;
};

}  // namespace korvane::testing
