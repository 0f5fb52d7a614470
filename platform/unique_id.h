// The 96-bit unique ID that every STM32F10x carries, as bytes and as the text it is shown,
// recorded and looked up by: 24 lower-case hexadecimal digits, the byte at the lowest
// address first. Both the host and the simulated device speak it, so it lives here.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace korvane {

constexpr size_t kUniqueIdBytes = 12;
using UniqueId = std::array<uint8_t, kUniqueIdBytes>;

// 24 lower-case hexadecimal digits, two per byte, in the order the bytes were read.
std::string UniqueIdText(const UniqueId& id);

// The bytes that text stands for: exactly 24 hexadecimal digits, either case, nothing
// else (no blanks, no 0x). Empty for any other text.
std::optional<UniqueId> ParseUniqueId(const std::string& text);

// False for an ID of all zeros or all ones, as erased, damaged or counterfeit parts report:
// many chips share it, so it tells no chip from another and is never matched against
// earlier records.
bool IsChipIdentity(const UniqueId& id);
// The same for the text of one; an empty or malformed text is no identity either.
bool IsChipIdentity(const std::string& text);

}  // namespace korvane
