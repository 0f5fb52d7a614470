// The framed request/reply protocol that the loader firmware speaks once it runs on the
// device. Pure code over bytes: the request builder and the reply scanner know nothing of
// the port, so DeviceLink drives them with its reads and writes, and tests and fuzzers
// drive them directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvane {

namespace service {
// Requests open with 55 AA, replies with AA 55.
constexpr uint8_t kRequestFirstMarker = 0x55;
constexpr uint8_t kRequestSecondMarker = 0xAA;
constexpr uint8_t kReplyFirstMarker = 0xAA;
constexpr uint8_t kReplySecondMarker = 0x55;

// Markers, length, command, sub-command and address come before the data; the checksum
// follows it.
constexpr size_t kRequestHeaderBytes = 10;
constexpr size_t kRequestOverheadBytes = kRequestHeaderBytes + 1;
// The length field counts command, sub-command and address too, and is 16 bits wide.
constexpr uint16_t kRequestFixedLength = 6;
constexpr uint16_t kMaxRequestData = 0xFFFF - kRequestFixedLength;

// Commands and sub-commands.
constexpr uint8_t kDataImage = 0;
constexpr uint8_t kFirmwareImage = 1;
constexpr uint8_t kStart = 0;
constexpr uint8_t kWrite = 2;
constexpr uint8_t kFinish = 3;

// First payload byte of a reply that accepts the request.
constexpr uint8_t kAccepted = 0;

// Where the device keeps its serial-number record.
constexpr uint32_t kSerialRecordAddress = 0x0800FF00;
// Markers and length before the payload, the checksum after it.
constexpr size_t kReplyOverheadBytes = 5;
// The callers' working buffer: one data block, one firmware chunk or one reply.
constexpr size_t kWorkingBufferBytes = 512;
constexpr size_t kDataBlockBytes = 512;
constexpr size_t kFirmwareChunkBytes = 256;
}  // namespace service

// 8-bit sum of the bytes, as both frame directions use it.
uint8_t FrameChecksum(const uint8_t* bytes, size_t count);

// The bytes of one request frame. Empty when length exceeds service::kMaxRequestData (the
// length field could not describe it) or data is null while length is not 0.
std::vector<uint8_t> BuildRequest(uint8_t command, uint8_t subCommand, uint32_t address,
                                  const uint8_t* data, uint16_t length);

// The bytes of one reply frame carrying the payload (what the device side sends). Empty
// when payload is null while length is not 0.
std::vector<uint8_t> BuildReply(const uint8_t* payload, uint16_t length);

// Finds one valid reply frame in a byte stream fed one byte at a time. A 0xAA that is not
// followed by 0x55 is dropped together with the byte after it, and a frame whose checksum
// is wrong is dropped whole; either way the scan starts over. The payload goes to the
// start of the caller's buffer; a payload longer than the buffer is still read to its end
// and checked, but only what fits is kept.
class ReplyScanner {
public:
    ReplyScanner(uint8_t* buffer, size_t capacity);

    // Takes the next received byte. True when it completed a frame with a good checksum;
    // the scanner then starts looking for the next frame.
    bool Feed(uint8_t byte);

    // Of the last completed frame: its payload length, and how much of it the buffer holds.
    uint16_t PayloadLength() const { return completedLength; }
    size_t KeptBytes() const { return completedLength < capacity ? completedLength : capacity; }
    // The whole length (markers to checksum) of the frame being received, once its length
    // field is in; 0 while the scanner looks for the start of a frame.
    // Whether a whole frame came whose checksum failed.
    bool SawBadChecksum() const { return badChecksum; }
    size_t FrameBytes() const {
        return state == State::kPayload || state == State::kChecksum
                   ? service::kReplyOverheadBytes + expected
                   : 0;
    }

private:
    enum class State { kFirstMarker, kSecondMarker, kLengthHigh, kLengthLow, kPayload, kChecksum };

    uint8_t* buffer;
    size_t capacity;
    State state = State::kFirstMarker;
    uint16_t expected = 0;
    uint16_t received = 0;
    uint16_t completedLength = 0;
    uint8_t lengthHigh = 0;
    uint8_t checksum = 0;
    bool badChecksum = false;
};

}  // namespace korvane
