// The parity-mark decoder over a marked stream cut into chunks anywhere, as reads from
// the terminal cut it: decoding chunk by chunk, with marks cut off at a chunk's end
// completed from the bytes after it, gives the same plain bytes as decoding the whole
// stream at once, and stays within each chunk.
//
// Input: a count n (low four bits), n chunk lengths of 1 to 256 bytes used in turn, then
// the marked stream.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "link/parity_marks.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes DecodeWhole(const uint8_t* stream, size_t size) {
    Bytes bytes(stream, stream + size);
    const int32_t got = korvane::DecodeParityMarks(bytes.data(), static_cast<int32_t>(size),
                                                   [](uint8_t*) { return false; });
    FUZZ_CHECK(got >= 0 && static_cast<size_t>(got) <= size);
    bytes.resize(static_cast<size_t>(got));
    return bytes;
}

Bytes DecodeInChunks(const uint8_t* stream, size_t size, const uint8_t* lengths, size_t count) {
    Bytes plain;
    size_t at = 0;
    for (size_t turn = 0; at < size; ++turn) {
        const size_t wanted = count == 0 ? size : lengths[turn % count] + 1u;
        const size_t length = wanted < size - at ? wanted : size - at;
        // Each chunk in a block of its own, so that a write beyond it is seen.
        std::unique_ptr<uint8_t[]> chunk(new uint8_t[length]);
        std::memcpy(chunk.get(), stream + at, length);
        at += length;
        const int32_t got = korvane::DecodeParityMarks(chunk.get(), static_cast<int32_t>(length),
                                                       [&](uint8_t* byte) {
                                                           if (at == size) {
                                                               return false;
                                                           }
                                                           *byte = stream[at++];
                                                           return true;
                                                       });
        FUZZ_CHECK(got >= 0 && static_cast<size_t>(got) <= length);
        plain.insert(plain.end(), chunk.get(), chunk.get() + got);
    }
    return plain;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const size_t count = data[0] & 0x0F;
    if (size < 1 + count) {
        return 0;
    }
    const uint8_t* stream = data + 1 + count;
    const size_t streamSize = size - 1 - count;
    FUZZ_CHECK(DecodeInChunks(stream, streamSize, data + 1, count) ==
               DecodeWhole(stream, streamSize));
    return 0;
}
