// The serial link to the device: the serial port plus the two conversations held over
// it, the microcontroller's ROM bootloader protocol and (later in a run) the loader
// firmware's service frames.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/serial_port.h"

namespace korvane {

namespace bootloader {
constexpr uint8_t kSync = 0x7F;
constexpr uint8_t kAck = 0x79;
constexpr uint8_t kNack = 0x1F;
constexpr uint8_t kGet = 0x00;
constexpr uint8_t kGetVersion = 0x01;
constexpr uint8_t kGetId = 0x02;
constexpr uint8_t kReadMemory = 0x11;
constexpr uint8_t kGo = 0x21;
constexpr uint8_t kWriteMemory = 0x31;
constexpr uint8_t kErase = 0x43;
constexpr uint8_t kGlobalErase = 0xFF;
constexpr uint32_t kFlashStart = 0x08000000;
constexpr int32_t kMaxWriteBytes = 256;
}  // namespace bootloader

class DeviceLink : public SerialPort {
public:
    // The scratch area that takes the identity replies during Sync.
    static constexpr int kIdentityBytes = 32;
    // Each pause of the reset pulse.
    static constexpr uint32_t kResetPauseMs = 100;

    DeviceLink() = default;
    ~DeviceLink() override = default;

    // Pulses the modem lines so that the device restarts in its ROM bootloader:
    // DTR cleared, RTS set, RTS cleared, 100 ms after each.
    void ResetToBootloader();
    // Synchronises with the bootloader and reads its identity (Get, Get Version, Get ID).
    bool Sync();

    // Command byte and its complement, then an ACK.
    bool SendCommand(uint8_t code);
    // The bytes and their XOR checksum, then an ACK.
    bool SendBlock(const uint8_t* data, int32_t length);
    // Get, Get Version or Get ID. Copies as much of the reply as fits in capacity bytes
    // (the whole reply is read either way) and returns the reply's count (Get, Get ID) or 3
    // (Get Version); 0 means failure.
    uint8_t ReadInfo(uint8_t command, uint8_t* buffer, int capacity = kIdentityBytes);
    // The three identity commands in order, each reply over the same kIdentityBytes area.
    bool ReadIdentity(uint8_t* buffer);
    // Writes 1 to 256 bytes at address.
    bool WriteMemory(uint32_t address, const uint8_t* data, int32_t length);
    // Starts the code in flash (address 0x08000000).
    bool Go();
    // Erases the whole flash.
    bool EraseAll();

    // Writes one service request frame, a byte per write, and ends its trace line. True
    // once written: a write that fails shows up as a missing reply. False, with nothing
    // sent, only for a request that no frame can carry (more than
    // service::kMaxRequestData bytes, or no data where length asks for some).
    bool SendRequest(uint8_t command, uint8_t subCommand, uint32_t address, const uint8_t* data,
                     uint16_t length);
    // Waits for one valid reply frame and puts as much of its payload as fits into the
    // buffer (capacity bytes); the rest of a longer reply is read and checked all the same.
    // Returns the number of payload bytes in the buffer; 0 when a read window passes in
    // silence or the frame carries no payload.
    uint16_t ReceiveReply(uint8_t* buffer, size_t capacity);

private:
    // Reads until an ACK; other bytes are dropped. Fails only when a read window passes
    // in silence.
    bool WaitAck();
    bool SendAddress(uint32_t address);
};

}  // namespace korvane
