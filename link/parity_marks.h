// Decoding of the marked byte stream that a POSIX terminal delivers when it is asked to
// mark bytes received with a parity (or framing) error: such a byte arrives as
// 0xFF 0x00 byte, and a real 0xFF as 0xFF 0xFF.
#pragma once

#include <cstdint>

namespace korvane {

// What a byte received with a parity error is delivered as.
constexpr uint8_t kParityErrorChar = 0x3F;

// Decodes count marked bytes in place and returns the number of plain bytes. A mark cut
// off by the end of the chunk is completed with fetchNext(uint8_t*), which returns false
// when no further byte comes; the incomplete mark is then dropped.
template <typename FetchNext>
int32_t DecodeParityMarks(uint8_t* bytes, int32_t count, FetchNext fetchNext) {
    int32_t out = 0;
    auto next = [&](int32_t* in, uint8_t* byte) {
        if (*in + 1 < count) {
            *byte = bytes[++*in];
            return true;
        }
        return fetchNext(byte);
    };
    for (int32_t in = 0; in < count; ++in) {
        if (bytes[in] != 0xFF) {
            bytes[out++] = bytes[in];
            continue;
        }
        uint8_t second = 0;
        if (!next(&in, &second)) {
            break;
        }
        if (second == 0xFF) {
            bytes[out++] = 0xFF;
            continue;
        }
        uint8_t damaged = 0;
        if (!next(&in, &damaged)) {
            break;
        }
        bytes[out++] = kParityErrorChar;
    }
    return out;
}

}  // namespace korvane
