// Who the device is, as its ROM bootloader tells it: the bootloader's own identity (from
// the replies to Get and Get ID) and the part's electronic signature (its flash size and
// unique ID, read from system memory with Read Memory).
#pragma once

#include <cstdint>
#include <vector>

#include "platform/unique_id.h"

namespace korvane {

struct BootloaderIdentity {
    uint8_t version = 0;            // the bootloader's version, as Get gives it (0x22: 2.2)
    std::vector<uint8_t> commands;  // the command codes Get listed, in its order
    uint16_t productId = 0;         // Get ID's two bytes, most significant first (0x0410)

    // True when Get listed this command code.
    bool Lists(uint8_t command) const;
};

// The part's electronic signature.
struct DeviceSignature {
    uint16_t flashKib = 0;  // flash size in KiB
    UniqueId uid{};         // the 96-bit unique ID, lowest address first
};

// How a Read Memory (or the signature read made of two) ended.
enum class MemoryRead {
    kRead,     // every byte asked for came
    kRefused,  // the bootloader said NACK where an ACK was due: the part is read-protected,
               // or the address is not one it reads
    kSilence,  // a read window passed with nothing, or the data came short
    kFlood,    // bytes kept coming that were not the answer (LinkFailure::kFlood)
    kNotSent,  // a length the command cannot carry (not 1 to 256); nothing was sent
};

// How a Readout Unprotect ended.
enum class UnprotectResult {
    kUnprotected,  // both ACKs came: the flash is erased, protection is off and the device
                   // resets itself; it needs a new synchronisation before anything else
    kRefused,      // NACK where an ACK was due
    kSilence,      // nothing within the wait for an ACK
    kFlood,        // bytes kept coming that were not the answer
};

}  // namespace korvane
