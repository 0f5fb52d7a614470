#include "link/service_frame.h"

namespace korvane {

using namespace service;

uint8_t FrameChecksum(const uint8_t* bytes, size_t count) {
    uint8_t sum = 0;
    for (size_t i = 0; i < count; ++i) {
        sum = static_cast<uint8_t>(sum + bytes[i]);
    }
    return sum;
}

std::vector<uint8_t> BuildRequest(uint8_t command, uint8_t subCommand, uint32_t address,
                                  const uint8_t* data, uint16_t length) {
    if (length > kMaxRequestData || (data == nullptr && length != 0)) {
        return {};
    }
    const uint16_t fieldLength = static_cast<uint16_t>(length + kRequestFixedLength);
    std::vector<uint8_t> frame = {kRequestFirstMarker,
                                  kRequestSecondMarker,
                                  static_cast<uint8_t>(fieldLength >> 8),
                                  static_cast<uint8_t>(fieldLength),
                                  command,
                                  subCommand,
                                  static_cast<uint8_t>(address >> 24),
                                  static_cast<uint8_t>(address >> 16),
                                  static_cast<uint8_t>(address >> 8),
                                  static_cast<uint8_t>(address)};
    frame.reserve(length + kRequestOverheadBytes);
    if (length != 0) {
        frame.insert(frame.end(), data, data + length);
    }
    frame.push_back(FrameChecksum(frame.data(), frame.size()));
    return frame;
}

std::vector<uint8_t> BuildReply(const uint8_t* payload, uint16_t length) {
    if (payload == nullptr && length != 0) {
        return {};
    }
    std::vector<uint8_t> frame = {kReplyFirstMarker, kReplySecondMarker,
                                  static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
    if (length != 0) {
        frame.insert(frame.end(), payload, payload + length);
    }
    frame.push_back(FrameChecksum(frame.data(), frame.size()));
    return frame;
}

ReplyScanner::ReplyScanner(uint8_t* buffer, size_t capacity)
    : buffer(buffer), capacity(buffer == nullptr ? 0 : capacity) {}

bool ReplyScanner::Feed(uint8_t byte) {
    switch (state) {
        case State::kFirstMarker:
            if (byte == kReplyFirstMarker) {
                state = State::kSecondMarker;
            }
            return false;
        case State::kSecondMarker:
            // A wrong second marker is dropped even when it is 0xAA itself: the scan goes
            // on with the byte after it.
            state = byte == kReplySecondMarker ? State::kLengthHigh : State::kFirstMarker;
            return false;
        case State::kLengthHigh:
            lengthHigh = byte;
            state = State::kLengthLow;
            return false;
        case State::kLengthLow:
            expected = static_cast<uint16_t>(lengthHigh << 8 | byte);
            received = 0;
            checksum =
                static_cast<uint8_t>(kReplyFirstMarker + kReplySecondMarker + lengthHigh + byte);
            state = expected == 0 ? State::kChecksum : State::kPayload;
            return false;
        case State::kPayload:
            if (received < capacity) {
                buffer[received] = byte;
            }
            checksum = static_cast<uint8_t>(checksum + byte);
            if (++received == expected) {
                state = State::kChecksum;
            }
            return false;
        case State::kChecksum:
            state = State::kFirstMarker;
            if (byte != checksum) {
                badChecksum = true;
                return false;
            }
            completedLength = expected;
            return true;
    }
    return false;
}

}  // namespace korvane
