#include "devsim/loader_firmware.h"

#include <algorithm>
#include <cstdlib>

namespace korvane::devsim {

namespace {
constexpr uint8_t kSyncByte = 0x7F;
constexpr uint8_t kAccepted = 0;
constexpr uint8_t kRefused = 1;
constexpr uint8_t kNotAnswered = 0xFF;
constexpr size_t kHeaderBytes = 10;  // markers, length, command, sub-command, address
constexpr uint32_t kScrambleKey = 0x5E27A94B;
// Bytes a noisy line puts before a reply: none of them can start a reply frame.
const std::vector<uint8_t> kNoise = {0x00, 0xFF, 0x55};

uint8_t Sum(const uint8_t* bytes, size_t count) {
    uint8_t sum = 0;
    for (size_t i = 0; i < count; ++i) {
        sum = static_cast<uint8_t>(sum + bytes[i]);
    }
    return sum;
}

bool ParseNumber(const std::string& text, uint32_t* value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    const unsigned long number = std::strtoul(text.c_str(), &end, 0);
    *value = static_cast<uint32_t>(number);
    return *end == '\0' && number <= 0xFFFFFFFFul;
}
}  // namespace

std::optional<RequestMatch> RequestMatch::Parse(const std::string& text) {
    const auto dot = text.find('.');
    const auto at = text.find('@');
    if (dot == std::string::npos || (at != std::string::npos && at < dot)) {
        return std::nullopt;
    }
    uint32_t command = 0;
    uint32_t sub = 0;
    RequestMatch match;
    if (!ParseNumber(text.substr(0, dot), &command) ||
        !ParseNumber(
            text.substr(dot + 1, at == std::string::npos ? std::string::npos : at - dot - 1),
            &sub) ||
        command > 0xFF || sub > 0xFF) {
        return std::nullopt;
    }
    match.command = static_cast<uint8_t>(command);
    match.subCommand = static_cast<uint8_t>(sub);
    if (at != std::string::npos) {
        uint32_t address = 0;
        if (!ParseNumber(text.substr(at + 1), &address)) {
            return std::nullopt;
        }
        match.address = address;
    }
    return match;
}

LoaderFirmware::LoaderFirmware(const LoaderFaults& faultsIn)
    : faults(faultsIn), firmware(kFirmwareSize, 0xFF) {}

bool LoaderFirmware::Receive(uint8_t byte, const Send& send) {
    if (frame.empty()) {
        if (byte == kSyncByte) {
            return false;
        }
        if (byte == 0x55) {
            frame.push_back(byte);
        }
        return true;
    }
    if (frame.size() == 1 && byte != 0xAA) {
        frame.clear();
        return Receive(byte, send);
    }
    frame.push_back(byte);
    if (frame.size() == 4) {
        const size_t length = static_cast<size_t>(frame[2]) << 8 | frame[3];
        if (length < kHeaderBytes - 4) {
            frame.clear();  // too short to hold command, sub-command and address
            return true;
        }
        frameLength = 4 + length + 1;
    }
    if (frame.size() < 5 || frame.size() < frameLength) {
        return true;
    }
    std::vector<uint8_t> request;
    request.swap(frame);
    if (Sum(request.data(), request.size() - 1) != request.back()) {
        return true;  // damaged on the way: the host will time out and report it
    }
    const uint8_t command = request[4];
    const uint8_t sub = request[5];
    const uint32_t address = static_cast<uint32_t>(request[6]) << 24 |
                             static_cast<uint32_t>(request[7]) << 16 |
                             static_cast<uint32_t>(request[8]) << 8 | request[9];
    const uint16_t length = static_cast<uint16_t>(request.size() - kHeaderBytes - 1);
    const auto matches = [&](const std::vector<RequestMatch>& list) {
        return std::any_of(list.begin(), list.end(),
                           [&](const RequestMatch& m) { return m.Matches(command, sub, address); });
    };
    if (matches(faults.ignore)) {
        requests.push_back({command, sub, address, length, kNotAnswered});
        return true;
    }
    const uint8_t status = matches(faults.refuse) ? kRefused
                                                  : Handle(command, sub, address,
                                                           request.data() + kHeaderBytes, length);
    requests.push_back({command, sub, address, length, status});
    Reply(status, send);
    return true;
}

uint8_t LoaderFirmware::Handle(uint8_t command, uint8_t sub, uint32_t address, const uint8_t* data,
                               uint16_t length) {
    if (command == 0 && sub == 0 && length == 0) {
        return kAccepted;  // a data image begins
    }
    if (command == 0 && sub == 2 && length == kDataBlockBytes) {
        std::copy(data, data + length, blocks[address].begin());
        return kAccepted;
    }
    if (command == 0 && sub == 3 && length == 0) {
        ++closings;
        return kAccepted;
    }
    if (command == 1 && sub == 0 && length == 0) {
        return kAccepted;  // the firmware image begins
    }
    if (command == 1 && sub == 2 && address == kSerialRecordAddress) {
        if (length != kSerialRecordBytes) {
            return kRefused;
        }
        record.assign(data, data + length);
        return kAccepted;
    }
    if (command == 1 && sub == 2 && length >= 1 && length <= 256 && address >= kFirmwareBase &&
        address - kFirmwareBase <= kFirmwareSize - length) {
        std::copy(data, data + length, firmware.begin() + (address - kFirmwareBase));
        return kAccepted;
    }
    return kRefused;
}

std::vector<uint8_t> LoaderFirmware::Banner() const {
    static const char kVersionText[] = "KLDR 1.0";
    const size_t length = sizeof kVersionText - 1;
    std::vector<uint8_t> banner(4 + length + 1);
    banner[0] = 0xAA;
    banner[1] = 0x55;
    banner[2] = 0x00;
    banner[3] = static_cast<uint8_t>(length);
    std::copy(kVersionText, kVersionText + length, banner.begin() + 4);
    banner.back() = Sum(banner.data(), banner.size() - 1);
    return banner;
}

void LoaderFirmware::Reply(uint8_t status, const Send& send) {
    ++answered;
    // Markers, length, the status and any extra payload (filler), then the checksum.
    // The length field holds at most 65535: the status byte and 65534 more.
    const size_t payloadLength = 1u + std::min<size_t>(faults.extraPayload, 0xFFFE);
    std::vector<uint8_t> reply(4 + payloadLength + 1, 0x5A);
    reply[0] = 0xAA;
    reply[1] = 0x55;
    reply[2] = static_cast<uint8_t>(payloadLength >> 8);
    reply[3] = static_cast<uint8_t>(payloadLength);
    reply[4] = status;
    reply.back() = Sum(reply.data(), reply.size() - 1);
    if (faults.noiseBeforeReplies) {
        send(kNoise);
    }
    if (faults.badChecksumFirst) {
        std::vector<uint8_t> damaged = reply;
        damaged.back() = static_cast<uint8_t>(damaged.back() + 1);
        send(damaged);
    }
    send(reply);
}

std::string UnscrambleSerialRecord(const std::vector<uint8_t>& scrambled) {
    const uint8_t k3 = kScrambleKey >> 24, k2 = kScrambleKey >> 16 & 0xFF,
                  k1 = kScrambleKey >> 8 & 0xFF, k0 = kScrambleKey & 0xFF;
    const size_t n = scrambled.size();
    // Undo the backward pass: each byte was chained from its (scrambled) successor.
    std::vector<uint8_t> forward(n);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t q = i + 1 < n ? scrambled[i + 1] : k0;
        forward[i] = static_cast<uint8_t>((scrambled[i] ^ k1) - q);
    }
    // Undo the forward pass: each byte was chained from its (forward-pass) predecessor.
    std::string text(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        const uint8_t p = i > 0 ? forward[i - 1] : k3;
        text[i] = static_cast<char>(static_cast<uint8_t>((forward[i] ^ k2) - p));
    }
    return text;
}

}  // namespace korvane::devsim
