#include "link/device_link.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "link/service_frame.h"
#include "platform/ticks.h"

namespace korvane {

using namespace bootloader;

// Bounds the wait for one answer beyond its read windows. Bytes that do not complete the
// answer are counted: besides the answer's own bytes, only so many strays (noise, NACKs,
// damaged frames) are taken, and all of it must come within the read window plus twice its
// time on the line plus kAnswerLatenessMs. A device that falls silent still ends the wait
// through a read window alone; one that keeps talking ends it here, after a number of
// bytes rather than only a time, so that a line faster than its baud rate (a
// pseudo-terminal) is not read on for seconds.
class DeviceLink::AnswerLimit {
public:
    AnswerLimit(const SerialPort& port, uint64_t strayBytes)
        : port(port), strayBytes(strayBytes), start(TickCount()) {}

    // Counts one more byte that did not complete the answer. answerBytes: how many of the
    // bytes taken and still to come belong to the answer itself (a reply frame once its
    // length is known). False once more has come than that and the strays, or for longer
    // than they take: the line is flooded.
    bool Take(uint64_t answerBytes = 0) {
        const uint64_t allowed = strayBytes + answerBytes;
        if (++taken > allowed) {
            return false;
        }
        const uint64_t limitMs =
            uint64_t{kReadWindowMs} + kAnswerLatenessMs + 2 * uint64_t{port.LineTimeMs(allowed)};
        return TicksSince(start, TickCount()) <= limitMs;
    }

private:
    const SerialPort& port;
    const uint64_t strayBytes;
    const uint32_t start;
    uint64_t taken = 0;
};

bool DeviceLink::AnswerEnded(LinkFailure failure) {
    lastFailure = failure;
    floodedBefore = failure == LinkFailure::kFlood;
    return failure == LinkFailure::kNone;
}

void DeviceLink::ResetToBootloader() {
    EscapeFunction(kClrDtr);
    SleepMs(kResetPauseMs);
    EscapeFunction(kSetRts);
    SleepMs(kResetPauseMs);
    EscapeFunction(kClrRts);
    SleepMs(kResetPauseMs);
}

bool DeviceLink::Sync() {
    lastFailure = LinkFailure::kNone;
    PurgeReceive();
    const uint8_t sync = kSync;
    if (Write(&sync, 1) == 0) {
        return false;
    }
    // No line end after 0x7F: its trace starts the line of the first command.
    if (!WaitAck()) {
        return false;
    }
    uint8_t scratch[kIdentityBytes];
    return ReadIdentity(scratch);
}

bool DeviceLink::WaitAck() {
    AnswerLimit limit(*this, kAckStrayBytes);
    for (;;) {
        uint8_t byte = 0;
        if (Read(&byte, 1) == 0) {
            return AnswerEnded(LinkFailure::kSilence);
        }
        if (byte == kAck) {
            return AnswerEnded(LinkFailure::kNone);
        }
        if (!limit.Take()) {
            return AnswerEnded(LinkFailure::kFlood);
        }
    }
}

bool DeviceLink::SendCommand(uint8_t code) {
    lastFailure = LinkFailure::kNone;
    const uint8_t complement = static_cast<uint8_t>(~code);
    Write(&code, 1);
    Write(&complement, 1);
    TraceLineEnd();
    return WaitAck();
}

bool DeviceLink::SendBlock(const uint8_t* data, int32_t length) {
    lastFailure = LinkFailure::kNone;
    uint8_t checksum = 0;
    for (int32_t i = 0; i < length; ++i) {
        checksum ^= data[i];
    }
    Write(data, length);
    Write(&checksum, 1);
    TraceLineEnd();
    return WaitAck();
}

uint8_t DeviceLink::ReadInfo(uint8_t command, uint8_t* buffer, int capacity) {
    // The reply's own reads are bounded by their windows: each asks for a known count.
    if (!SendCommand(command)) {
        return 0;
    }
    uint8_t result = 3;
    if (command == kGetVersion) {
        // Version and two option bytes; a short reply is taken as it is.
        uint8_t reply[3] = {};
        const int32_t got = Read(reply, 3);
        if (got == 0) {
            AnswerEnded(LinkFailure::kSilence);
            return 0;
        }
        std::memcpy(buffer, reply, static_cast<size_t>(std::min(got, capacity)));
    } else {
        uint8_t count = 0;
        if (Read(&count, 1) == 0) {
            AnswerEnded(LinkFailure::kSilence);
            return 0;
        }
        // The reply is read whole whatever the caller has room for; the excess is dropped.
        uint8_t reply[256];
        const int32_t expected = count + 1;
        if (Read(reply, expected) < expected) {
            AnswerEnded(LinkFailure::kSilence);
            return 0;
        }
        std::memcpy(buffer, reply, static_cast<size_t>(std::min(expected, capacity)));
        result = count;
    }
    if (!WaitAck()) {
        return 0;
    }
    return result;
}

bool DeviceLink::ReadIdentity(uint8_t* buffer) {
    for (const uint8_t command : {kGet, kGetVersion, kGetId}) {
        if (ReadInfo(command, buffer, kIdentityBytes) == 0) {
            return false;
        }
    }
    return true;
}

bool DeviceLink::SendAddress(uint32_t address) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(address >> 24),
                              static_cast<uint8_t>(address >> 16),
                              static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
    return SendBlock(bytes, 4);
}

bool DeviceLink::WriteMemory(uint32_t address, const uint8_t* data, int32_t length) {
    lastFailure = LinkFailure::kNone;
    if (length < 1 || length > kMaxWriteBytes) {
        return false;
    }
    if (!SendCommand(kWriteMemory) || !SendAddress(address)) {
        return false;
    }
    uint8_t block[kMaxWriteBytes + 1];
    block[0] = static_cast<uint8_t>(length - 1);
    std::memcpy(block + 1, data, static_cast<size_t>(length));
    return SendBlock(block, length + 1);
}

bool DeviceLink::Go() {
    return SendCommand(kGo) && SendAddress(kFlashStart);
}

bool DeviceLink::EraseAll() {
    return SendCommand(kErase) && SendCommand(kGlobalErase);
}

bool DeviceLink::SendRequest(uint8_t command, uint8_t subCommand, uint32_t address,
                             const uint8_t* data, uint16_t length) {
    lastFailure = LinkFailure::kNone;
    const std::vector<uint8_t> frame = BuildRequest(command, subCommand, address, data, length);
    if (frame.empty()) {
        return false;
    }
    // The loader takes the frame byte by byte; each write traces its byte.
    for (const uint8_t byte : frame) {
        Write(&byte, 1);
    }
    TraceLineEnd();
    return true;
}

uint16_t DeviceLink::ReceiveReply(uint8_t* buffer, size_t capacity) {
    ReplyScanner scanner(buffer, capacity);
    // Before its reply a device may send what the line carries in one read window; one
    // that has just flooded the line gets no second window of talk, so that a run against
    // it ends within seconds rather than a window per request.
    AnswerLimit limit(*this, floodedBefore ? kAckStrayBytes : LineBytesIn(kReadWindowMs));
    for (;;) {
        uint8_t byte = 0;
        if (Read(&byte, 1) == 0) {
            AnswerEnded(LinkFailure::kSilence);
            return 0;
        }
        if (scanner.Feed(byte)) {
            AnswerEnded(LinkFailure::kNone);
            // The received bytes are not traced: an empty line stands for the reply.
            TraceLineEnd();
            return static_cast<uint16_t>(scanner.KeptBytes());
        }
        // A frame whose length is in may bring all its bytes; a damaged one counts as
        // strays once it has failed its checksum.
        if (!limit.Take(scanner.FrameBytes())) {
            AnswerEnded(LinkFailure::kFlood);
            return 0;
        }
    }
}

}  // namespace korvane
