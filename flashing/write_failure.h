// What failed when a package did not go in: the request, the entry it belonged to, its
// address or block, and how the device answered (or did not). The writer that met the
// failure knows all of it; the run's reason and code are made from it, so that no front
// end has to read a status line for the facts.
#pragma once

#include <cstdint>
#include <string>

namespace korvane {

enum class FailedRequest {
    kNone,           // no request failed (the number for the serial record was not to be had)
    kEntryNotWhole,  // the package does not hold the whole entry: nothing more of it was sent
    kErase,          // the bootloader's erase before the loader image
    kLoaderWrite,    // a bootloader write of the loader image, at an address
    kFirmwareStart,
    kFirmwareWrite,  // a write of the firmware image, at an address
    kSerialRecord,   // the serial record, at its address
    kDataStart,
    kDataBlock,  // a block of a data image, by its number
    kClosing,    // the closing request after the last entry
};

enum class FailureCause {
    kRefused,      // the loader's reply refused the request
    kNack,         // the bootloader answered NACK
    kSilence,      // nothing came within the read window
    kBadChecksum,  // a reply came whose checksum failed
    kFlood,        // the device talked without stopping
    kNoStatus,     // a reply came without the status byte
};

struct WriteFailure {
    FailedRequest request = FailedRequest::kNone;
    std::string entry;   // the entry's name; for the closing request, the last entry's
    uint32_t where = 0;  // the address written, or the block's number
    FailureCause cause = FailureCause::kSilence;
    uint32_t waitedMs = 0;  // the read window that passed in silence

    bool Failed() const { return request != FailedRequest::kNone; }
    // In words for every front end: "NACK to a write at 0x08000400 of LOADER.BIN", "the
    // loader refused block 131 of CFG.BIN".
    std::string Text() const;
    // The outcome's code for it: "write-refused", "no-reply", "closing-refused", ...
    const char* Code() const;
};

}  // namespace korvane
