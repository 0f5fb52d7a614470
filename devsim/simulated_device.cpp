#include "devsim/simulated_device.h"

#include <algorithm>

namespace korvane::devsim {

namespace {
constexpr uint8_t kAckByte = 0x79;
constexpr uint8_t kNackByte = 0x1F;
constexpr uint8_t kSyncByte = 0x7F;

constexpr uint8_t kGet = 0x00;
constexpr uint8_t kGetVersion = 0x01;
constexpr uint8_t kGetId = 0x02;
constexpr uint8_t kReadMemory = 0x11;
constexpr uint8_t kGo = 0x21;
constexpr uint8_t kWriteMemory = 0x31;
constexpr uint8_t kErase = 0x43;
constexpr uint8_t kReadoutUnprotect = 0x92;

constexpr uint8_t kBootloaderVersion = 0x22;
// The commands a medium-density part lists in its Get reply.
const std::vector<uint8_t> kSupportedCommands = {0x00, 0x01, 0x02, 0x11, 0x21, 0x31,
                                                 0x43, 0x63, 0x73, 0x82, 0x92};
constexpr uint8_t kProductId[] = {0x04, 0x10};
// Bytes beyond the real reply when a long Get is asked for: 41 bytes in all.
constexpr size_t kLongGetBytes = 41;

uint8_t Xor(const std::vector<uint8_t>& bytes, size_t count) {
    uint8_t sum = 0;
    for (size_t i = 0; i < count; ++i) {
        sum ^= bytes[i];
    }
    return sum;
}

bool Within(uint32_t address, uint32_t length, uint32_t base, uint32_t size) {
    return address >= base && address - base <= size && length <= size - (address - base);
}

}  // namespace

SimulatedDevice::SimulatedDevice(const DeviceFaults& faultsIn)
    : faults(faultsIn),
      uid(faultsIn.uid.value_or(NewUniqueId())),
      flash(size_t{faultsIn.flashKib} * 1024, 0xFF),
      systemMemory(kSystemMemorySize, 0xFF),
      ram(kRamSize, 0x00),
      readProtected(faultsIn.readProtected),
      loader(faultsIn.loader) {
    uint8_t* signature = systemMemory.data() + (kFlashKibAddress - kSystemMemoryBase);
    signature[0] = static_cast<uint8_t>(faults.flashKib);
    signature[1] = static_cast<uint8_t>(faults.flashKib >> 8);
    std::copy(uid.begin(), uid.end(),
              systemMemory.begin() + (kUniqueIdAddress - kSystemMemoryBase));
}

void SimulatedDevice::Ack(DeviceOutput& out) {
    if (faults.nackBeforeAck) {
        out.Send(&kNackByte, 1);
    }
    out.Send(&kAckByte, 1);
}

void SimulatedDevice::Nack(DeviceOutput& out) {
    out.Send(&kNackByte, 1);
}

void SimulatedDevice::SendBytes(DeviceOutput& out, std::vector<uint8_t> bytes) {
    out.Send(bytes.data(), bytes.size());
}

void SimulatedDevice::Receive(uint8_t byte, DeviceOutput& out) {
    if (faults.flood != FloodBytes::kNone && faults.floodAfterReplies == 0) {
        flooding = true;
    }
    // A chip held in reset hears nothing.
    if (faults.silent || flooding || inReset) {
        return;
    }
    switch (state) {
        case State::kAwaitSync:
            if (byte == kSyncByte) {
                Ack(out);
                state = State::kCommand;
            }
            return;
        case State::kStarted:
            ReceiveWhileStarted(byte, out);
            return;
        case State::kCommand:
            if (byte == kSyncByte) {
                // A host that lost track resets and synchronises again.
                Ack(out);
                return;
            }
            command = byte;
            state = State::kComplement;
            return;
        case State::kComplement:
            if (byte != static_cast<uint8_t>(~command)) {
                Nack(out);
                state = State::kCommand;
                return;
            }
            Dispatch(out);
            return;
        case State::kAddress:
            collected.push_back(byte);
            if (--expected == 0) {
                AddressComplete(out);
            }
            return;
        case State::kReadCount:
            collected.assign(1, byte);
            state = State::kReadCountComplement;
            return;
        case State::kReadCountComplement: {
            const uint32_t count = collected[0] + 1u;
            const uint8_t* memory = Readable(address, count);
            state = State::kCommand;
            if (byte != static_cast<uint8_t>(~collected[0]) || memory == nullptr) {
                Nack(out);
                return;
            }
            Ack(out);
            out.Send(memory, count);
            return;
        }
        case State::kWriteCount:
        case State::kWriteData:
        case State::kWriteChecksum:
            ReceiveWrite(byte, out);
            return;
        case State::kEraseFirst:
        case State::kEraseGlobalComplement:
        case State::kErasePages:
        case State::kEraseChecksum:
            ReceiveErase(byte, out);
            return;
    }
}

void SimulatedDevice::ReceiveWhileStarted(uint8_t byte, DeviceOutput& out) {
    // A synchronisation byte between frames means the host reset the device into
    // its ROM bootloader again.
    const auto send = [&out](const std::vector<uint8_t>& bytes) {
        out.Send(bytes.data(), bytes.size());
    };
    bool stay = loaderRunning ? loader.Receive(byte, send) : byte != kSyncByte;
    // A wired chip returns to its bootloader through its reset lines alone.
    stay = stay || wiring.has_value();
    flooding = faults.flood != FloodBytes::kNone &&
               loader.Answered() >= static_cast<int>(faults.floodAfterReplies);
    if (!stay && !flooding) {
        Ack(out);
        state = State::kCommand;
    }
}

void SimulatedDevice::ReceiveWrite(uint8_t byte, DeviceOutput& out) {
    switch (state) {
        case State::kWriteCount:
            collected.assign(1, byte);
            expected = byte + 1u;
            state = State::kWriteData;
            return;
        case State::kWriteData:
            collected.push_back(byte);
            if (--expected == 0) {
                state = State::kWriteChecksum;
            }
            return;
        case State::kWriteChecksum:
            state = State::kCommand;
            if (byte != Xor(collected, collected.size())) {
                Nack(out);
                return;
            }
            FinishWrite(out);
            return;
        default:
            return;
    }
}

void SimulatedDevice::ReceiveErase(uint8_t byte, DeviceOutput& out) {
    switch (state) {
        case State::kEraseFirst:
            if (byte == 0xFF) {
                state = State::kEraseGlobalComplement;
                return;
            }
            collected.assign(1, byte);
            expected = byte + 1u;
            state = State::kErasePages;
            return;
        case State::kEraseGlobalComplement:
            state = State::kCommand;
            if (byte != 0x00) {
                Nack(out);
                return;
            }
            out.Pause(faults.eraseDelayMs);
            std::fill(flash.begin(), flash.end(), 0xFF);
            ++eraseCount;
            Ack(out);
            return;
        case State::kErasePages:
            collected.push_back(byte);
            if (--expected == 0) {
                state = State::kEraseChecksum;
            }
            return;
        case State::kEraseChecksum:
            state = State::kCommand;
            if (byte != Xor(collected, collected.size())) {
                Nack(out);
                return;
            }
            FinishPageErase(out);
            return;
        default:
            return;
    }
}

void SimulatedDevice::Dispatch(DeviceOutput& out) {
    state = State::kCommand;
    if (command == faults.refuseCommand) {
        Nack(out);
        return;
    }
    // Read protection keeps the flash from being read, changed or run from the bootloader.
    if (readProtected && (command == kReadMemory || command == kWriteMemory || command == kErase ||
                          command == kGo)) {
        Nack(out);
        return;
    }
    switch (command) {
        case kGet: {
            std::vector<uint8_t> reply = {kBootloaderVersion};
            reply.insert(reply.end(), kSupportedCommands.begin(), kSupportedCommands.end());
            if (faults.getLong) {
                reply.resize(kLongGetBytes, 0xEE);
            }
            uint8_t count = static_cast<uint8_t>(reply.size() - 1);
            if (faults.getCountZero) {
                count = 0;
                reply.resize(1);
            }
            if (faults.getShort) {
                reply.pop_back();
            }
            reply.insert(reply.begin(), count);
            Ack(out);
            SendBytes(out, reply);
            Ack(out);
            return;
        }
        case kGetVersion: {
            Ack(out);
            std::vector<uint8_t> reply = {kBootloaderVersion, 0x00, 0x00};
            if (faults.shortVersion > 0 && faults.shortVersion < 3) {
                reply.resize(static_cast<size_t>(faults.shortVersion));
                SendBytes(out, reply);
                out.Pause(kLateVersionAckMs);
            } else {
                SendBytes(out, reply);
            }
            Ack(out);
            return;
        }
        case kGetId:
            Ack(out);
            SendBytes(out, {sizeof kProductId - 1, kProductId[0], kProductId[1]});
            Ack(out);
            return;
        case kReadMemory:
        case kGo:
        case kWriteMemory:
            Ack(out);
            collected.clear();
            expected = 5;
            state = State::kAddress;
            return;
        case kErase:
            Ack(out);
            state = State::kEraseFirst;
            return;
        case kReadoutUnprotect:
            // The part erases all its flash, lifts the protection and acknowledges again;
            // then it resets, and its bootloader waits for a new synchronisation.
            Ack(out);
            out.Pause(faults.eraseDelayMs);
            MassErase();
            readProtected = false;
            Ack(out);
            state = State::kAwaitSync;
            return;
        default:
            Nack(out);
            return;
    }
}

void SimulatedDevice::AddressComplete(DeviceOutput& out) {
    state = State::kCommand;
    if (collected[4] != Xor(collected, 4)) {
        Nack(out);
        return;
    }
    address = static_cast<uint32_t>(collected[0]) << 24 |
              static_cast<uint32_t>(collected[1]) << 16 | static_cast<uint32_t>(collected[2]) << 8 |
              collected[3];
    const bool inFlash = Within(address, 1, kFlashBase, static_cast<uint32_t>(flash.size()));
    switch (command) {
        case kReadMemory:
            if (Readable(address, 1) == nullptr) {
                Nack(out);
                return;
            }
            Ack(out);
            state = State::kReadCount;
            return;
        case kWriteMemory:
            if (!inFlash || (faults.refuseWriteAt && *faults.refuseWriteAt == address)) {
                Nack(out);
                return;
            }
            Ack(out);
            state = State::kWriteCount;
            return;
        case kGo:
            if (!inFlash && !Within(address, 1, kRamBase, kRamSize)) {
                Nack(out);
                return;
            }
            Ack(out);
            state = State::kStarted;
            // Only a loader written into the start of the flash answers service frames.
            loaderRunning =
                address == kFlashBase &&
                std::any_of(flash.begin(), flash.begin() + 4, [](uint8_t b) { return b != 0xFF; });
            loader.Restart();
            // A loader announces itself once it has booted, as real firmware does; the
            // host is to discard that before it speaks to the loader.
            if (loaderRunning) {
                out.Pause(kLoaderBootMs);
                SendBytes(out, loader.Banner());
            }
            return;
        default:
            Nack(out);
            return;
    }
}

void SimulatedDevice::FinishWrite(DeviceOutput& out) {
    const uint32_t length = static_cast<uint32_t>(collected.size() - 1);
    // The part programs whole 32-bit words: the bootloader takes only whole words.
    if (length % 4 != 0 ||
        !Within(address, length, kFlashBase, static_cast<uint32_t>(flash.size()))) {
        Nack(out);
        return;
    }
    uint8_t* target = flash.data() + (address - kFlashBase);
    // Flash bits only go from 1 to 0 when programmed: writing over anything but erased
    // bytes is refused, as the part's flash controller does.
    if (!std::all_of(target, target + length, [](uint8_t b) { return b == 0xFF; })) {
        Nack(out);
        return;
    }
    std::copy(collected.begin() + 1, collected.end(), target);
    if (faults.flipByteAt && *faults.flipByteAt - address < length) {
        target[*faults.flipByteAt - address] ^= 0x01;
    }
    Ack(out);
}

void SimulatedDevice::FinishPageErase(DeviceOutput& out) {
    for (size_t i = 1; i < collected.size(); ++i) {
        if (collected[i] >= flash.size() / kFlashPageSize) {
            Nack(out);
            return;
        }
    }
    out.Pause(faults.eraseDelayMs);
    for (size_t i = 1; i < collected.size(); ++i) {
        auto page = flash.begin() + collected[i] * kFlashPageSize;
        std::fill(page, page + kFlashPageSize, 0xFF);
    }
    ++eraseCount;
    Ack(out);
}

void SimulatedDevice::MassErase() {
    std::fill(flash.begin(), flash.end(), 0xFF);
    loader = LoaderFirmware(faults.loader);
    loaderRunning = false;
    ++eraseCount;
}

void SimulatedDevice::WireResetLines(const ResetWiring& wired) {
    wiring = wired;
    inReset = LineSet(wiring->reset) != wiring->resetInverted;
    resetSince = std::chrono::steady_clock::now();
    if (!inReset) {
        Restart(false);
    }
}

void SimulatedDevice::ModemLineChanged(uint8_t code, std::chrono::steady_clock::time_point at) {
    const bool set = code == kSetDtrCode || code == kSetRtsCode;
    const bool dtr = code == kSetDtrCode || code == kClrDtrCode;
    const bool rts = code == kSetRtsCode || code == kClrRtsCode;
    ModemLinesAre(dtr ? set : dtrSet, rts ? set : rtsSet, at);
}

void SimulatedDevice::ModemLinesAre(bool dtr, bool rts, std::chrono::steady_clock::time_point at) {
    dtrSet = dtr;
    rtsSet = rts;
    if (!wiring) {
        return;
    }
    const bool resetHeld = LineSet(wiring->reset) != wiring->resetInverted;
    if (resetHeld && !inReset) {
        inReset = true;
        resetSince = at;
    } else if (!resetHeld && inReset) {
        inReset = false;
        // The chip samples BOOT0 as it leaves reset; a pulse too short for the capacitor
        // on RESET never reset it.
        if (at - resetSince >= std::chrono::milliseconds(wiring->minPulseMs)) {
            Restart(LineSet(wiring->boot0) == wiring->boot0Inverted);
        }
    }
}

void SimulatedDevice::Restart(bool intoBootloader) {
    collected.clear();
    loaderRunning = false;
    if (intoBootloader) {
        state = State::kAwaitSync;
        return;
    }
    // Whatever the flash holds runs and says nothing the host could take for an answer.
    state = State::kStarted;
    ++firmwareStarts;
}

void SimulatedDevice::FloodOut(uint8_t* bytes, size_t count) {
    if (faults.flood != FloodBytes::kRandom) {
        std::fill(bytes, bytes + count, 0x00);
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        floodState ^= floodState << 13;
        floodState ^= floodState >> 17;
        floodState ^= floodState << 5;
        bytes[i] = static_cast<uint8_t>(floodState >> 24);
    }
}

const uint8_t* SimulatedDevice::Readable(uint32_t at, uint32_t length) const {
    if (Within(at, length, kFlashBase, static_cast<uint32_t>(flash.size()))) {
        return flash.data() + (at - kFlashBase);
    }
    if (Within(at, length, kSystemMemoryBase, kSystemMemorySize)) {
        return systemMemory.data() + (at - kSystemMemoryBase);
    }
    if (Within(at, length, kRamBase, kRamSize)) {
        return ram.data() + (at - kRamBase);
    }
    return nullptr;
}

}  // namespace korvane::devsim
