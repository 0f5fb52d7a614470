#include "link/device_link.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "link/service_frame.h"
#include "platform/ticks.h"

namespace korvane {

using namespace bootloader;

void DeviceLink::ResetToBootloader() {
    EscapeFunction(kClrDtr);
    SleepMs(kResetPauseMs);
    EscapeFunction(kSetRts);
    SleepMs(kResetPauseMs);
    EscapeFunction(kClrRts);
    SleepMs(kResetPauseMs);
}

bool DeviceLink::Sync() {
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
    for (;;) {
        uint8_t byte = 0;
        if (Read(&byte, 1) == 0) {
            return false;
        }
        if (byte == kAck) {
            return true;
        }
    }
}

bool DeviceLink::SendCommand(uint8_t code) {
    const uint8_t complement = static_cast<uint8_t>(~code);
    Write(&code, 1);
    Write(&complement, 1);
    TraceLineEnd();
    return WaitAck();
}

bool DeviceLink::SendBlock(const uint8_t* data, int32_t length) {
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
    if (!SendCommand(command)) {
        return 0;
    }
    uint8_t result = 3;
    if (command == kGetVersion) {
        // Version and two option bytes; a short reply is taken as it is.
        uint8_t reply[3] = {};
        const int32_t got = Read(reply, 3);
        if (got == 0) {
            return 0;
        }
        std::memcpy(buffer, reply, static_cast<size_t>(std::min(got, capacity)));
    } else {
        uint8_t count = 0;
        if (Read(&count, 1) == 0) {
            return 0;
        }
        // The reply is read whole whatever the caller has room for; the excess is dropped.
        uint8_t reply[256];
        const int32_t expected = count + 1;
        if (Read(reply, expected) < expected) {
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
    for (;;) {
        uint8_t byte = 0;
        if (Read(&byte, 1) == 0) {
            return 0;
        }
        if (scanner.Feed(byte)) {
            // The received bytes are not traced: an empty line stands for the reply.
            TraceLineEnd();
            return static_cast<uint16_t>(scanner.KeptBytes());
        }
    }
}

}  // namespace korvane
