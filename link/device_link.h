// The serial link to the device: the serial port plus the two conversations held over
// it, the microcontroller's ROM bootloader protocol and (later in a run) the loader
// firmware's service frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "link/bootloader_identity.h"
#include "link/fixture_wiring.h"
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
constexpr uint8_t kReadoutUnprotect = 0x92;
constexpr uint8_t kGlobalErase = 0xFF;
constexpr uint32_t kFlashStart = 0x08000000;
constexpr int32_t kMaxWriteBytes = 256;
constexpr int32_t kMaxReadBytes = 256;
// The electronic signature in system memory: the flash size in KiB (16 bits, least
// significant byte first) and the 12 bytes of the unique ID.
constexpr uint32_t kFlashSizeAddress = 0x1FFFF7E0;
constexpr uint32_t kUniqueIdAddress = 0x1FFFF7E8;
}  // namespace bootloader

// How the last exchange that failed ended, as far as the line goes.
enum class LinkFailure {
    kNone,         // it did not fail, or not through the line (a frame without payload, a
                   // request no frame can carry, a write to a closed port)
    kSilence,      // a read window passed with nothing
    kFlood,        // bytes kept coming that were not the answer, past the exchange's limit
    kNack,         // the bootloader answered NACK where an ACK was awaited, and no ACK came after
    kBadChecksum,  // a reply frame came whose checksum failed, and no good one after it
};

class DeviceLink : public SerialPort {
public:
    // The scratch area that takes the identity replies during Sync.
    static constexpr int kIdentityBytes = 32;
    // Each pause of the reset pulse with the default wiring.
    static constexpr uint32_t kResetPauseMs = FixtureWiring::kDefaultPauseMs;
    // The rate every exchange with the device runs at.
    static constexpr uint32_t kBaudRate = 115200;
    // How long a probe waits for a bootloader's answer (a fixture's, a wiring's): a present
    // one answers a synchronisation within a millisecond or so.
    static constexpr uint32_t kProbeWindowMs = 250;
    // Bytes other than ACK that one acknowledgement wait drops before it takes the line
    // for flooded: the bootloader answers nothing there but ACK or NACK, so a few strays
    // are line noise, and random bytes are not read on until one of them happens to be
    // an ACK.
    static constexpr uint32_t kAckStrayBytes = 16;
    // How late, beyond its read window and twice its time on the line, the last byte an
    // exchange may take can come: a device that answers late, a busy machine, an adapter
    // that holds bytes back.
    static constexpr uint32_t kAnswerLatenessMs = 1000;
    // How long Readout Unprotect may take between its two ACKs. The part erases its whole
    // flash and rewrites its option bytes in between, which takes seconds on the largest
    // parts of the family and longer on some bootloaders; the wait is generous, since only
    // a device that has stopped answering ever sits it out.
    static constexpr uint32_t kUnprotectWaitMs = 30000;

    DeviceLink() = default;
    ~DeviceLink() override = default;

    // Pulses the modem lines so that the device restarts in its ROM bootloader: BOOT0
    // raised, RESET held and released, a pause after each. With the default wiring: DTR
    // cleared, RTS set, RTS cleared, 100 ms after each.
    void ResetToBootloader(const FixtureWiring& wiring = {});
    // Restarts the device from its flash: BOOT0 lowered, RESET held for the pulse and
    // released, then the settle time. With the default wiring: DTR set, RTS set, 100 ms,
    // RTS cleared, 100 ms.
    void ResetToFirmware(const FixtureWiring& wiring = {});
    // Synchronises with the bootloader and reads its identity (Get, Get Version, Get ID).
    bool Sync();
    // Resets into the bootloader and synchronises with each of CommonWirings(configured)
    // in turn: the first wiring that a bootloader answered, its Identity() kept; null when
    // none did. Sends nothing but the synchronisations and identity reads.
    std::optional<FixtureWiring> FindWiring(const FixtureWiring& configured);
    // What the identity replies of the last Sync said; empty unless it succeeded.
    const BootloaderIdentity& Identity() const { return identity; }

    // Command byte and its complement, then an ACK.
    bool SendCommand(uint8_t code);
    // The bytes and their XOR checksum, then an ACK.
    bool SendBlock(const uint8_t* data, int32_t length);
    // Get, Get Version or Get ID. Copies as much of the reply as fits in capacity bytes
    // (the whole reply is read either way) and returns the reply's count (Get, Get ID) or 3
    // (Get Version); 0 means failure.
    uint8_t ReadInfo(uint8_t command, uint8_t* buffer, int capacity = kIdentityBytes);
    // The three identity commands in order, each reply over the same kIdentityBytes area.
    // What they said is kept as Identity(), as far as the area holds it.
    bool ReadIdentity(uint8_t* buffer);
    // Writes 1 to 256 bytes at address.
    bool WriteMemory(uint32_t address, const uint8_t* data, int32_t length);
    // Starts the code in flash (address 0x08000000).
    bool Go();
    // Erases the whole flash.
    bool EraseAll();
    // Reads 1 to 256 bytes at address into buffer. A NACK to the command, the address or
    // the count ends the read at once as refused, without waiting out a read window: a
    // read-protected part refuses every read, and is to be told as such quickly.
    MemoryRead ReadMemory(uint32_t address, uint8_t* buffer, int32_t length);
    // The flash size and the unique ID, two reads from system memory; signature is set
    // only when both came (kRead). kRefused means read protection.
    MemoryRead ReadElectronicSignature(DeviceSignature* signature);
    // Lifts read protection: the part erases its whole flash, acknowledges a second time
    // (within kUnprotectWaitMs) and resets itself; the caller resets and synchronises again
    // before anything else.
    UnprotectResult ReadoutUnprotect();

    // Writes one service request frame, in one write, and ends its trace line. True
    // once written: a write that fails shows up as a missing reply. False, with nothing
    // sent, only for a request that no frame can carry (more than
    // service::kMaxRequestData bytes, or no data where length asks for some).
    bool SendRequest(uint8_t command, uint8_t subCommand, uint32_t address, const uint8_t* data,
                     uint16_t length);
    // Waits for one valid reply frame and puts as much of its payload as fits into the
    // buffer (capacity bytes); the rest of a longer reply is read and checked all the same.
    // Returns the number of payload bytes in the buffer; 0 when a read window passes in
    // silence, the line floods, or the frame carries no payload. Bytes before the reply
    // (noise, damaged frames) are dropped up to what the line carries in one read window;
    // right after an exchange that ended in a flood, only up to kAckStrayBytes.
    uint16_t ReceiveReply(uint8_t* buffer, size_t capacity);

    // How the last exchange ended when it failed; every operation above that awaits an
    // answer starts it afresh at kNone.
    LinkFailure LastFailure() const { return lastFailure; }

private:
    class AnswerLimit;

    // Sets or clears a modem line.
    void DriveLine(ModemLine line, bool set);
    // BOOT0 raised or lowered, then a reset pulse.
    void Restart(const FixtureWiring& wiring, bool intoBootloader);

    enum class Answer { kAck, kNack, kSilence, kFlood };
    // What a NACK means where an ACK is awaited: noise to drop, as for the commands every
    // flash run sends, or the bootloader's refusal, for those whose refusal is news.
    enum class OnNack { kDrop, kRefuse };

    // Reads until an ACK (or, with OnNack::kRefuse, a NACK); other bytes are dropped. Ends
    // in silence when a read window passes with nothing, or, given patienceMs, when a
    // read window ends with nothing that long after the call; as a flood when more than
    // kAckStrayBytes other bytes come first or they come for longer than the answer's
    // time limit (which patienceMs lengthens).
    Answer AwaitAnswer(OnNack onNack, uint32_t patienceMs = 0);
    bool WaitAck() { return AwaitAnswer(OnNack::kDrop) == Answer::kAck; }
    // A command (code and complement) or a block (bytes and checksum), then its answer.
    Answer Command(uint8_t code, OnNack onNack);
    Answer Block(const uint8_t* data, int32_t length, OnNack onNack);
    Answer Address(uint32_t address, OnNack onNack);
    bool SendAddress(uint32_t address) { return Address(address, OnNack::kDrop) == Answer::kAck; }
    static MemoryRead ReadOutcome(Answer answer);
    static UnprotectResult UnprotectOutcome(Answer answer);
    // Notes how an awaited answer ended; false, for the caller to return, unless it came.
    bool AnswerEnded(LinkFailure failure);

    LinkFailure lastFailure = LinkFailure::kNone;
    bool floodedBefore = false;  // the last awaited answer was lost in a flood
    BootloaderIdentity identity;
};

}  // namespace korvane
