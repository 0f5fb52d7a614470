// The service-reply scanner against any byte stream, at any buffer capacity: it keeps
// every payload it reports and never touches a byte outside the caller's buffer, and a
// reply built by the frame builder comes back whole.
//
// Input: two bytes of capacity (little-endian, up to 4095), then the received stream.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "link/service_frame.h"

namespace {

using korvane::ReplyScanner;

// A heap block of exactly capacity bytes, so that AddressSanitizer sees the first byte
// beyond it; even capacity 0 gets a block of its own rather than a null pointer.
std::unique_ptr<uint8_t[]> ExactBuffer(size_t capacity) {
    return std::unique_ptr<uint8_t[]>(new uint8_t[capacity]);
}

void ScanArbitraryStream(const uint8_t* stream, size_t size, size_t capacity) {
    auto buffer = ExactBuffer(capacity);
    ReplyScanner scanner(buffer.get(), capacity);
    for (size_t i = 0; i < size; ++i) {
        if (!scanner.Feed(stream[i])) {
            continue;
        }
        // A completed frame ends at this byte: its payload lies just before the checksum.
        const size_t length = scanner.PayloadLength();
        const size_t kept = scanner.KeptBytes();
        FUZZ_CHECK(kept == (length < capacity ? length : capacity));
        FUZZ_CHECK(length + 4 <= i);
        FUZZ_CHECK(std::memcmp(buffer.get(), stream + i - length, kept) == 0);
    }
}

void ScanBuiltReply(const uint8_t* payload, size_t size, size_t capacity) {
    const uint16_t length = static_cast<uint16_t>(size < 0xFFFF ? size : 0xFFFF);
    const std::vector<uint8_t> reply = korvane::BuildReply(payload, length);
    auto buffer = ExactBuffer(capacity);
    ReplyScanner scanner(buffer.get(), capacity);
    for (size_t i = 0; i < reply.size(); ++i) {
        FUZZ_CHECK(scanner.Feed(reply[i]) == (i + 1 == reply.size()));
    }
    FUZZ_CHECK(scanner.PayloadLength() == length);
    FUZZ_CHECK(std::memcmp(buffer.get(), payload, scanner.KeptBytes()) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const size_t capacity = (data[0] | data[1] << 8) & 0x0FFF;
    ScanArbitraryStream(data + 2, size - 2, capacity);
    ScanBuiltReply(data + 2, size - 2, capacity);
    return 0;
}
