// A simulated STM32F10x device as seen from its serial line: the ROM bootloader, 128 KiB
// of flash at 0x08000000 (or as much as it is given), 20 KiB of RAM, the electronic
// signature in system memory (flash size and unique ID), and the loader firmware
// that answers service frames once the host has written it and started it with Go. It is pure logic
// over bytes: every byte from the host goes in through Receive, and the answers go out through a
// DeviceOutput, so the same device serves a pseudo-terminal and unit tests alike.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "devsim/loader_firmware.h"
#include "platform/unique_id.h"

namespace korvane::devsim {

// What a flooding device sends without end.
enum class FloodBytes { kNone, kZeros, kRandom };

// The flash of a medium-density part, unless a device is given another size.
constexpr uint32_t kDefaultFlashKib = 128;
// The sizes the family comes in.
constexpr uint32_t kMinFlashKib = 16;
constexpr uint32_t kMaxFlashKib = 1024;

// Misbehaviour on request, to exercise the host's failure paths.
struct DeviceFaults {
    bool silent = false;         // answer nothing at all
    bool nackBeforeAck = false;  // send a NACK before every ACK
    bool getCountZero = false;   // Get announces 0 bytes
    bool getShort = false;       // Get delivers one byte fewer than it announces
    bool getLong = false;        // Get announces and delivers more than 32 bytes
    uint32_t eraseDelayMs = 0;   // an erase takes this long before its ACK
    int refuseCommand = -1;      // this bootloader command is answered with NACK
    // Get Version delivers only this many bytes (1 or 2; 0 = all three), and its ACK comes
    // only after the host's read window for the three bytes has run out.
    int shortVersion = 0;
    std::optional<uint32_t> refuseWriteAt;  // a Write Memory to this address gets NACK
    LoaderFaults loader;                    // misbehaviour of the loader firmware
    // The device talks without end (a broken board, a wrong baud rate): from the first
    // byte it receives on, or once its loader has answered this many service requests.
    // From then on it answers nothing and takes no notice of what it is sent.
    FloodBytes flood = FloodBytes::kNone;
    uint32_t floodAfterReplies = 0;
    // Read protection is on: sync, Get, Get Version and Get ID are answered, Read Memory,
    // Write Memory, Erase and Go get NACK, until a Readout Unprotect erases the flash.
    bool readProtected = false;
    // The byte that Write Memory puts at this flash address is stored with a bit flipped.
    std::optional<uint32_t> flipByteAt;

    // Not faults but the part's own make, carried with them so that they reach a
    // simulator the same ways (the program's options, a test runner's list of names).
    std::optional<UniqueId> uid;  // the unique ID; without one, each device makes its own
    uint32_t flashKib = kDefaultFlashKib;
    // Each answer reaches the host this long after the device sent it: a USB adapter's
    // latency timer, which holds a short answer back until it runs out.
    uint32_t answerDelayMs = 0;
};

// How a bench wires the adapter's modem lines to the chip, for a device that minds them.
// A line "set" is asserted by the host (a low pin on a logic-level adapter); wired
// directly, RESET is held while its line is set and BOOT0 is high while its line is
// cleared; through an inverter, the other way round.
struct ResetWiring {
    enum class Line { kDtr, kRts };
    Line reset = Line::kRts;
    bool resetInverted = false;
    Line boot0 = Line::kDtr;
    bool boot0Inverted = false;
    // A shorter reset does not restart the chip (a capacitor on RESET that the pulse must
    // charge).
    uint32_t minPulseMs = 0;
};

// The host's modem-line codes, in the platform's numbering.
enum ModemLineCode : uint8_t { kSetRtsCode = 3, kClrRtsCode = 4, kSetDtrCode = 5, kClrDtrCode = 6 };

class DeviceOutput {
public:
    virtual ~DeviceOutput() = default;
    virtual void Send(const uint8_t* data, size_t length) = 0;
    virtual void Pause(uint32_t milliseconds) = 0;
};

constexpr uint32_t kFlashBase = 0x08000000;
constexpr uint32_t kFlashSize = kDefaultFlashKib * 1024;
constexpr uint32_t kFlashPageSize = 1024;
constexpr uint32_t kRamBase = 0x20000000;
constexpr uint32_t kRamSize = 20 * 1024;
// System memory (the bootloader's own ROM), with the electronic signature at its end:
// the flash size in KiB (16 bits, least significant byte first) and the unique ID.
constexpr uint32_t kSystemMemoryBase = 0x1FFFF000;
constexpr uint32_t kSystemMemorySize = 2 * 1024;
constexpr uint32_t kFlashKibAddress = 0x1FFFF7E0;
constexpr uint32_t kUniqueIdAddress = 0x1FFFF7E8;
// How long a started loader takes to boot before it sends its banner.
constexpr uint32_t kLoaderBootMs = 30;
// When a short Get Version reply is acknowledged: after the host's 3000 ms read window
// for the whole reply, and well inside the window of its wait for the ACK.
constexpr uint32_t kLateVersionAckMs = 4500;

// A unique ID that no other device made on this machine shares: one made in another
// process has another process id in it, one made in the same process another count.
UniqueId NewUniqueId();

class SimulatedDevice {
public:
    explicit SimulatedDevice(const DeviceFaults& faults = {});

    // One byte from the host.
    void Receive(uint8_t byte, DeviceOutput& out);

    // From now on the chip restarts only through its reset lines, wired so: it runs its
    // flash as after a power-up with BOOT0 low, holds still while in reset, and enters its
    // bootloader only when RESET is released with BOOT0 high. Without wiring, the device
    // is in its bootloader from the start and a synchronisation byte brings it back there.
    void WireResetLines(const ResetWiring& wiring);
    // The host changed a modem line (ModemLineCode) at the given time.
    void ModemLineChanged(uint8_t code, std::chrono::steady_clock::time_point at);
    // The host's modem lines are so from the given time on. Both change at once, as a
    // driver that moves them in one request moves them: the chip leaving reset then
    // samples BOOT0 as it is after the change. A device that minds no wiring only keeps
    // them, for when it is wired.
    void ModemLinesAre(bool dtr, bool rts, std::chrono::steady_clock::time_point at);
    // How often the wired chip restarted from its flash (a reset with BOOT0 low).
    int FirmwareStarts() const { return firmwareStarts; }

    const std::vector<uint8_t>& Flash() const { return flash; }
    const UniqueId& Uid() const { return uid; }
    uint32_t FlashKib() const { return faults.flashKib; }
    uint32_t AnswerDelayMs() const { return faults.answerDelayMs; }
    // True until a Readout Unprotect, when the device was made read-protected.
    bool ReadProtected() const { return readProtected; }
    // True once the host has started the code in flash with Go.
    bool Started() const { return state == State::kStarted; }
    // True while the started code is a loader that answers service frames.
    bool LoaderRunning() const { return Started() && loaderRunning; }
    const LoaderFirmware& Loader() const { return loader; }
    // Number of completed erase requests (global or page).
    int EraseCount() const { return eraseCount; }
    // True once the device floods the line; whoever carries its bytes sends FloodOut's
    // from then on, as fast as the line takes them.
    bool Flooding() const { return flooding; }
    // The next count bytes of the flood. The same device floods with the same bytes, so
    // that what a host makes of a random flood does not change from run to run.
    void FloodOut(uint8_t* bytes, size_t count);

private:
    enum class State {
        kAwaitSync,
        kCommand,
        kComplement,
        kAddress,
        kReadCount,
        kReadCountComplement,
        kWriteCount,
        kWriteData,
        kWriteChecksum,
        kEraseFirst,
        kEraseGlobalComplement,
        kErasePages,
        kEraseChecksum,
        kStarted,
    };

    void Ack(DeviceOutput& out);
    void Nack(DeviceOutput& out);
    void SendBytes(DeviceOutput& out, std::vector<uint8_t> bytes);
    // A byte for whatever runs from the flash instead of the bootloader.
    void ReceiveWhileStarted(uint8_t byte, DeviceOutput& out);
    // A byte of a Write Memory's data block or of an Erase's page list, in the states that
    // collect them.
    void ReceiveWrite(uint8_t byte, DeviceOutput& out);
    void ReceiveErase(uint8_t byte, DeviceOutput& out);
    void Dispatch(DeviceOutput& out);
    void AddressComplete(DeviceOutput& out);
    void FinishWrite(DeviceOutput& out);
    void FinishPageErase(DeviceOutput& out);
    // Erases the flash and forgets what the loader stored, as an erase of the whole part.
    void MassErase();
    // Memory the bootloader may read at address, length bytes; null when none.
    const uint8_t* Readable(uint32_t address, uint32_t length) const;

    // Restarts the chip, into its bootloader or its flash.
    void Restart(bool intoBootloader);
    bool LineSet(ResetWiring::Line line) const {
        return line == ResetWiring::Line::kDtr ? dtrSet : rtsSet;
    }

    DeviceFaults faults;
    State state = State::kAwaitSync;
    std::optional<ResetWiring> wiring;
    bool dtrSet = false;
    bool rtsSet = false;
    bool inReset = false;
    std::chrono::steady_clock::time_point resetSince;
    int firmwareStarts = 0;
    uint8_t command = 0;
    std::vector<uint8_t> collected;  // the bytes of the block being received
    uint32_t address = 0;
    uint32_t expected = 0;  // bytes still to come in the current block
    UniqueId uid;
    std::vector<uint8_t> flash;
    std::vector<uint8_t> systemMemory;
    std::vector<uint8_t> ram;
    bool readProtected = false;
    int eraseCount = 0;
    LoaderFirmware loader;
    bool loaderRunning = false;
    bool flooding = false;
    uint32_t floodState = 0x2545F491;  // the random flood's generator (xorshift)
};

}  // namespace korvane::devsim
