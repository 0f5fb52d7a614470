// The simulator's side of the line: writes that wait for a host that is not reading,
// answers paced as a real line carries them, and floods.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "devsim/pty_simulator.h"

namespace korvane::devsim {

namespace {
// A flood is written a block at a time, as fast as the terminal takes it.
constexpr size_t kFloodBlockBytes = 4096;
// A paced line's bytes go out a slice of its time at a time.
constexpr std::chrono::milliseconds kLineSlice{10};
}  // namespace

ssize_t PtySimulator::LineWrite(const uint8_t* data, size_t length) {
    if (listening >= 0) {
        return send(master, data, length, MSG_NOSIGNAL);
    }
    return write(master, data, length);
}

bool PtySimulator::WriteAll(const uint8_t* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        // Nothing connected to the socket, or the connection broke: the bytes are lost.
        if (master < 0) {
            return true;
        }
        const ssize_t n = LineWrite(data + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) {
            return true;
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
    // An adapter's latency timer holds what came off the line back before the host sees
    // it; the line itself is free again meanwhile.
    const Clock::duration held = std::chrono::milliseconds(device.AnswerDelayMs());
    if (byteTime == Clock::duration::zero()) {
        std::this_thread::sleep_for(held);
        return WriteAll(bytes.data(), bytes.size());
    }
    // An answer cannot leave before the request has fully arrived, nor before the line is
    // free. Each slice of it reaches the host when its last byte would have, so that a long
    // answer trickles in as it does on a real line rather than after seconds of silence.
    sentUntil = std::max({Clock::now(), receivedUntil, sentUntil});
    const size_t slice = SliceBytes();
    for (size_t done = 0; done < bytes.size();) {
        const size_t count = std::min(slice, bytes.size() - done);
        sentUntil += byteTime * static_cast<int64_t>(count);
        std::this_thread::sleep_until(sentUntil + held);
        if (!WriteAll(bytes.data() + done, count)) {
            return false;
        }
        done += count;
    }
    return true;
}

size_t PtySimulator::SliceBytes() const {
    return static_cast<size_t>(std::max<int64_t>(1, kLineSlice / byteTime));
}

void PtySimulator::Flood() {
    uint8_t bytes[kFloodBlockBytes];
    size_t count = sizeof bytes;
    if (byteTime != Clock::duration::zero()) {
        // A slice of the line's time at once, when its last byte would have arrived, and
        // no catching up after a stall: a real line carries no more than its rate.
        count = std::min(SliceBytes(), sizeof bytes);
        const Clock::duration sliceTime = byteTime * static_cast<int64_t>(count);
        const Clock::time_point now = Clock::now();
        if (now < floodUntil + sliceTime) {
            return;
        }
        floodUntil = std::max(floodUntil + sliceTime, now - sliceTime);
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        device.FloodOut(bytes, count);
    }
    // Whatever the terminal cannot take now is lost, as a real line loses what a host
    // does not read: the flood never waits for the host.
    while (master >= 0 && LineWrite(bytes, count) < 0 && errno == EINTR) {
    }
}

}  // namespace korvane::devsim
