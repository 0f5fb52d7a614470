// What a file or package-entry name stands for, and which writer puts such an entry on
// the device.
#pragma once

#include <cstdint>
#include <string>

namespace korvane {

// A 16-bit code for a name. The data-image kinds double as the entry's first block number
// on the device; the others are markers.
using EntryKind = uint16_t;

constexpr EntryKind kKindConfig = 0;         // "CFG.BIN": data blocks from 0
constexpr EntryKind kKindLoader = 0xFFFE;    // "DIAG.BIN": the loader image
constexpr EntryKind kKindData = 384;         // "_DATA.BIN": data blocks from 384
constexpr EntryKind kKindFirmware = 0xFFFD;  // "MCU.BIN": the firmware image
constexpr EntryKind kKindStrings = 256;      // "_SYSTR.BIN": data blocks from 256
constexpr EntryKind kKindLogo = 128;         // "_LOGO.BIN": data blocks from 128
// No known image name: a package when it is the chosen file, else a data image whose
// blocks start at 65535.
constexpr EntryKind kKindOther = 0xFFFF;

// Classifies a name or a whole path (folders included) by the first known image name it
// contains, ignoring case. Never fails.
EntryKind ClassifyName(const std::string& name);

// True when the name contains a known image name, so that the file is an image and not a
// package.
bool IsKnownImageName(const std::string& name);

// The three ways an entry reaches the device.
enum class EntryWriter {
    kLoader,    // through the ROM bootloader
    kFirmware,  // service command 1, then the serial-number record
    kData,      // service command 0, in numbered 512-byte blocks
};

EntryWriter WriterFor(EntryKind kind);

// "loader", "firmware" or "data".
const char* WriterName(EntryWriter writer);

}  // namespace korvane
