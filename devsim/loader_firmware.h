// The loader firmware's side of the service frames, as the simulated device runs it once
// the host has written a loader image and started it. It stores firmware chunks by
// address, data blocks by number and the serial-number record as received, and keeps a
// log of the requests it saw.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvane::devsim {

// Picks requests out by command, sub-command and (optionally) address.
struct RequestMatch {
    uint8_t command = 0;
    uint8_t subCommand = 0;
    std::optional<uint32_t> address;

    bool Matches(uint8_t cmd, uint8_t sub, uint32_t addr) const {
        return cmd == command && sub == subCommand && (!address || *address == addr);
    }
    // Reads "CMD.SUB" or "CMD.SUB@ADDRESS" (numbers in C notation).
    static std::optional<RequestMatch> Parse(const std::string& text);
};

struct LoaderFaults {
    std::vector<RequestMatch> refuse;  // answered with status 1
    std::vector<RequestMatch> ignore;  // not answered at all
    bool noiseBeforeReplies = false;   // a few stray bytes before every reply
    bool badChecksumFirst = false;     // every reply goes first with a wrong checksum
    uint16_t extraPayload = 0;         // bytes after the status byte in every reply
};

// One request as the loader saw it.
struct SeenRequest {
    uint8_t command;
    uint8_t subCommand;
    uint32_t address;
    uint16_t dataLength;
    uint8_t status;  // as answered; 0xFF when not answered
};

constexpr uint32_t kSerialRecordAddress = 0x0800FF00;
constexpr size_t kSerialRecordBytes = 13;
constexpr size_t kDataBlockBytes = 512;

// The firmware image's place: the same address range as the flash, kept apart from the
// loader that occupies the flash itself.
constexpr uint32_t kFirmwareBase = 0x08000000;
constexpr uint32_t kFirmwareSize = 128 * 1024;

class LoaderFirmware {
public:
    using Send = std::function<void(const std::vector<uint8_t>&)>;

    explicit LoaderFirmware(const LoaderFaults& faults = {});

    // One byte from the host. False when the byte is a synchronisation byte at a frame
    // boundary: the host has reset the device into its ROM bootloader.
    bool Receive(uint8_t byte, const Send& send);
    // The loader starts afresh (after Go): a frame it was receiving is forgotten. What it
    // stored stays, as the device's memory does.
    void Restart() { frame.clear(); }
    // What the loader sends once it has booted: a frame shaped like a reply whose payload
    // is its version text, so a host that takes it for the answer to its first request
    // sees that request refused.
    std::vector<uint8_t> Banner() const;

    const std::vector<uint8_t>& Firmware() const { return firmware; }
    const std::map<uint32_t, std::array<uint8_t, kDataBlockBytes>>& DataBlocks() const {
        return blocks;
    }
    const std::vector<uint8_t>& SerialRecord() const { return record; }
    const std::vector<SeenRequest>& Requests() const { return requests; }
    int ClosingRequests() const { return closings; }
    // Requests answered since the loader first started.
    int Answered() const { return answered; }

private:
    // The status the loader gives a well-formed request, after storing what it carries.
    uint8_t Handle(uint8_t command, uint8_t subCommand, uint32_t address, const uint8_t* data,
                   uint16_t length);
    void Reply(uint8_t status, const Send& send);

    LoaderFaults faults;
    std::vector<uint8_t> frame;  // the request being received, markers included
    size_t frameLength = 0;      // its full length once the length field is in
    std::vector<uint8_t> firmware;
    std::map<uint32_t, std::array<uint8_t, kDataBlockBytes>> blocks;
    std::vector<uint8_t> record;
    std::vector<SeenRequest> requests;
    int closings = 0;
    int answered = 0;
};

// The serial-number text that a scrambled record stands for (the device's inverse of the
// host's scrambling).
std::string UnscrambleSerialRecord(const std::vector<uint8_t>& record);

}  // namespace korvane::devsim
