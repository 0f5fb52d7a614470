#include "link/device_link.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "link/service_frame.h"
#include "platform/interrupt.h"
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
    // extraMs: how much longer than one read window the answer may take in all.
    AnswerLimit(const SerialPort& port, uint64_t strayBytes, uint32_t extraMs = 0)
        : port(port), strayBytes(strayBytes), extraMs(extraMs), start(TickCount()) {}

    // Counts one more byte that did not complete the answer. answerBytes: how many of the
    // bytes taken and still to come belong to the answer itself (a reply frame once its
    // length is known). False once more has come than that and the strays, or for longer
    // than they take: the line is flooded.
    bool Take(uint64_t answerBytes = 0) {
        const uint64_t allowed = strayBytes + answerBytes;
        if (++taken > allowed) {
            return false;
        }
        const uint64_t limitMs = uint64_t{kReadWindowMs} + extraMs + kAnswerLatenessMs +
                                 2 * uint64_t{port.LineTimeMs(allowed)};
        return TicksSince(start, TickCount()) <= limitMs;
    }
    // Milliseconds since the wait began.
    uint32_t Elapsed() const { return TicksSince(start, TickCount()); }

private:
    const SerialPort& port;
    const uint64_t strayBytes;
    const uint32_t extraMs;
    const uint32_t start;
    uint64_t taken = 0;
};

bool DeviceLink::AnswerEnded(LinkFailure failure) {
    lastFailure = failure;
    floodedBefore = failure == LinkFailure::kFlood;
    return failure == LinkFailure::kNone;
}

void DeviceLink::DriveLine(ModemLine line, bool set) {
    if (line == ModemLine::kDtr) {
        EscapeFunction(set ? kSetDtr : kClrDtr);
    } else {
        EscapeFunction(set ? kSetRts : kClrRts);
    }
}

void DeviceLink::Restart(const FixtureWiring& wiring, bool intoBootloader) {
    // A directly wired BOOT0 is high while its line is cleared, an inverted one while set.
    DriveLine(wiring.boot0, intoBootloader == wiring.boot0Inverted);
    // The chip samples BOOT0 as RESET is released: it must have settled before the pulse.
    // Into the firmware the pulse follows at once, as the reset button has always done.
    if (intoBootloader) {
        SleepMs(wiring.settleMs);
    }
    DriveLine(wiring.reset, !wiring.resetInverted);
    SleepMs(wiring.pulseMs);
    DriveLine(wiring.reset, wiring.resetInverted);
    SleepMs(wiring.settleMs);
}

void DeviceLink::ResetToBootloader(const FixtureWiring& wiring) {
    Restart(wiring, true);
}

void DeviceLink::ResetToFirmware(const FixtureWiring& wiring) {
    Restart(wiring, false);
}

bool DeviceLink::Sync() {
    lastFailure = LinkFailure::kNone;
    identity = {};
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

std::optional<FixtureWiring> DeviceLink::FindWiring(const FixtureWiring& configured) {
    // A present bootloader answers within milliseconds: a wiring that brings none costs
    // a probe's short wait, not a whole read window.
    const uint32_t window = ReadWindowMs();
    SetReadWindowMs(kProbeWindowMs);
    std::optional<FixtureWiring> found;
    for (const FixtureWiring& wiring : CommonWirings(configured)) {
        ResetToBootloader(wiring);
        if (Sync()) {
            found = wiring;
            break;
        }
        // A line that floods answers no wiring; nor does a port that is gone.
        if (lastFailure == LinkFailure::kFlood || !IsOpen() || LineGone() || InterruptRequested()) {
            break;
        }
    }
    SetReadWindowMs(window);
    return found;
}

DeviceLink::Answer DeviceLink::AwaitAnswer(OnNack onNack, uint32_t patienceMs) {
    AnswerLimit limit(*this, kAckStrayBytes, patienceMs);
    bool refused = false;
    bool nacked = false;  // a NACK dropped as noise: the answer, should no ACK follow
    for (;;) {
        uint8_t byte = 0;
        if (Read(&byte, 1) == 0) {
            // Patience reads on, window after window, each waited out by the port itself;
            // a read that could not wait (a closed port, a run being abandoned) returns at
            // once, and reading on after it would spin.
            if (!refused && limit.Elapsed() < patienceMs && IsOpen() && !InterruptRequested()) {
                continue;
            }
            // A NACK that silence follows is the bootloader's refusal.
            AnswerEnded(refused  ? LinkFailure::kNone
                        : nacked ? LinkFailure::kNack
                                 : LinkFailure::kSilence);
            return refused ? Answer::kNack : Answer::kSilence;
        }
        if (byte == kAck) {
            AnswerEnded(LinkFailure::kNone);
            return Answer::kAck;
        }
        // A NACK that an ACK follows within a read window is taken as the protocol takes
        // it everywhere, as a byte to drop: a device may answer NACK, then ACK.
        if (byte == kNack && onNack == OnNack::kRefuse) {
            refused = true;
            continue;
        }
        nacked = nacked || byte == kNack;
        if (!limit.Take()) {
            AnswerEnded(LinkFailure::kFlood);
            return Answer::kFlood;
        }
    }
}

DeviceLink::Answer DeviceLink::Command(uint8_t code, OnNack onNack) {
    lastFailure = LinkFailure::kNone;
    // Both bytes in one write: one system call, and one transfer on a USB adapter.
    const uint8_t bytes[2] = {code, static_cast<uint8_t>(~code)};
    Write(bytes, 2);
    TraceLineEnd();
    return AwaitAnswer(onNack);
}

DeviceLink::Answer DeviceLink::Block(const uint8_t* data, int32_t length, OnNack onNack) {
    lastFailure = LinkFailure::kNone;
    std::vector<uint8_t> bytes(data, data + length);
    uint8_t checksum = 0;
    for (const uint8_t byte : bytes) {
        checksum ^= byte;
    }
    bytes.push_back(checksum);
    Write(bytes.data(), static_cast<int32_t>(bytes.size()));
    TraceLineEnd();
    return AwaitAnswer(onNack);
}

bool DeviceLink::SendCommand(uint8_t code) {
    return Command(code, OnNack::kDrop) == Answer::kAck;
}

bool DeviceLink::SendBlock(const uint8_t* data, int32_t length) {
    return Block(data, length, OnNack::kDrop) == Answer::kAck;
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
    identity = {};
    BootloaderIdentity seen;
    for (const uint8_t command : {kGet, kGetVersion, kGetId}) {
        const uint8_t count = ReadInfo(command, buffer, kIdentityBytes);
        if (count == 0) {
            return false;
        }
        // The area holds the reply's first kIdentityBytes bytes: for Get the version and
        // as many of the command codes as fit.
        const int kept = std::min<int>(count + 1, kIdentityBytes);
        if (command == kGet) {
            seen.version = buffer[0];
            seen.commands.assign(buffer + 1, buffer + kept);
        } else if (command == kGetId) {
            seen.productId = static_cast<uint16_t>(buffer[0] << 8 | buffer[1]);
        }
    }
    identity = std::move(seen);
    return true;
}

bool BootloaderIdentity::Lists(uint8_t command) const {
    return std::find(commands.begin(), commands.end(), command) != commands.end();
}

DeviceLink::Answer DeviceLink::Address(uint32_t address, OnNack onNack) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(address >> 24),
                              static_cast<uint8_t>(address >> 16),
                              static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
    return Block(bytes, 4, onNack);
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

MemoryRead DeviceLink::ReadOutcome(Answer answer) {
    switch (answer) {
        case Answer::kAck:
            return MemoryRead::kRead;
        case Answer::kNack:
            return MemoryRead::kRefused;
        case Answer::kSilence:
            return MemoryRead::kSilence;
        case Answer::kFlood:
            break;
    }
    return MemoryRead::kFlood;
}

UnprotectResult DeviceLink::UnprotectOutcome(Answer answer) {
    switch (answer) {
        case Answer::kAck:
            return UnprotectResult::kUnprotected;
        case Answer::kNack:
            return UnprotectResult::kRefused;
        case Answer::kSilence:
            return UnprotectResult::kSilence;
        case Answer::kFlood:
            break;
    }
    return UnprotectResult::kFlood;
}

MemoryRead DeviceLink::ReadMemory(uint32_t address, uint8_t* buffer, int32_t length) {
    lastFailure = LinkFailure::kNone;
    if (length < 1 || length > kMaxReadBytes) {
        return MemoryRead::kNotSent;
    }
    // The count goes out shaped like a command: the byte length - 1 and its complement.
    Answer answer = Command(kReadMemory, OnNack::kRefuse);
    if (answer == Answer::kAck) {
        answer = Address(address, OnNack::kRefuse);
    }
    if (answer == Answer::kAck) {
        answer = Command(static_cast<uint8_t>(length - 1), OnNack::kRefuse);
    }
    if (answer != Answer::kAck) {
        return ReadOutcome(answer);
    }
    // The data follow the last ACK at once, with no ACK of their own.
    if (Read(buffer, length) < length) {
        AnswerEnded(LinkFailure::kSilence);
        return MemoryRead::kSilence;
    }
    return MemoryRead::kRead;
}

MemoryRead DeviceLink::ReadElectronicSignature(DeviceSignature* signature) {
    uint8_t size[2] = {};
    MemoryRead outcome = ReadMemory(kFlashSizeAddress, size, 2);
    if (outcome != MemoryRead::kRead) {
        return outcome;
    }
    DeviceSignature read;
    read.flashKib = static_cast<uint16_t>(size[0] | size[1] << 8);
    outcome = ReadMemory(kUniqueIdAddress, read.uid.data(), kUniqueIdBytes);
    if (outcome == MemoryRead::kRead) {
        *signature = read;
    }
    return outcome;
}

UnprotectResult DeviceLink::ReadoutUnprotect() {
    Answer answer = Command(kReadoutUnprotect, OnNack::kRefuse);
    if (answer == Answer::kAck) {
        // The second ACK comes once the flash is erased (see kUnprotectWaitMs).
        answer = AwaitAnswer(OnNack::kRefuse, kUnprotectWaitMs);
    }
    return UnprotectOutcome(answer);
}

bool DeviceLink::SendRequest(uint8_t command, uint8_t subCommand, uint32_t address,
                             const uint8_t* data, uint16_t length) {
    lastFailure = LinkFailure::kNone;
    const std::vector<uint8_t> frame = BuildRequest(command, subCommand, address, data, length);
    if (frame.empty()) {
        return false;
    }
    // The whole frame in one write: the bytes on the line and the trace are those of a
    // write per byte, at a system call (and a USB transfer) per frame instead of per byte.
    Write(frame.data(), static_cast<int32_t>(frame.size()));
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
            AnswerEnded(scanner.SawBadChecksum() ? LinkFailure::kBadChecksum
                                                 : LinkFailure::kSilence);
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
