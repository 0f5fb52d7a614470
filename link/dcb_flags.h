// The flag word of the Windows device control block (DCB) as Open leaves it. The
// arithmetic is kept apart from the backend so that it can be checked on every platform.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include <windows.h>

#include <cstddef>
#include <cstring>
#endif

namespace korvane {

// Bits kept from the driver's flag word: fBinary (0), fTXContinueOnXoff (7),
// fAbortOnError (14) and the reserved bits 15-31 (bits 1 and 10 are set anyway).
constexpr uint32_t kDcbKeptFlags = 0xFFFFC483;
// Bits set: fParity (1), so parity is checked, and fErrorChar (10), so a byte received
// with a parity error is delivered as the error character. Everything else is cleared:
// no CTS/DSR/XON/XOFF flow control, DTR and RTS disabled (under program control only),
// no DSR sensitivity, and zero bytes are delivered rather than discarded.
constexpr uint32_t kDcbSetFlags = 0x00000402;

constexpr uint32_t DcbFlagWord(uint32_t driverFlags) {
    return (driverFlags & kDcbKeptFlags) | kDcbSetFlags;
}

#ifdef _WIN32
// The flag word is the DWORD of bit fields that follows BaudRate.
constexpr size_t kDcbFlagsOffset = offsetof(DCB, BaudRate) + sizeof(DWORD);
static_assert(offsetof(DCB, wReserved) == kDcbFlagsOffset + sizeof(DWORD),
              "the DCB bit fields must fill exactly one DWORD");

inline uint32_t DcbFlags(const DCB& dcb) {
    uint32_t flags = 0;
    std::memcpy(&flags, reinterpret_cast<const char*>(&dcb) + kDcbFlagsOffset, sizeof flags);
    return flags;
}

inline void SetDcbFlags(DCB& dcb, uint32_t flags) {
    std::memcpy(reinterpret_cast<char*>(&dcb) + kDcbFlagsOffset, &flags, sizeof flags);
}
#endif

}  // namespace korvane
