// The reply scanner against many random streams: it never writes past the caller's
// buffer, and a good reply after noise that cannot start a frame is always found.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "link/service_frame.h"

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(ReplyScannerRandom, NoiseNeverOverrunsAndNeverHidesAReply) {
    std::mt19937 random(20261207);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 3000; ++round) {
        Bytes noise(static_cast<size_t>(random() % 64));
        for (auto& b : noise) {
            do {
                b = static_cast<uint8_t>(byte(random));
            } while (b == service::kReplyFirstMarker);
        }
        Bytes payload(1 + random() % 700);
        for (auto& b : payload)
            b = static_cast<uint8_t>(byte(random));
        const Bytes reply = BuildReply(payload.data(), static_cast<uint16_t>(payload.size()));

        const size_t capacity = random() % 600;
        constexpr size_t kGuard = 16;
        Bytes buffer(capacity + kGuard, 0xC5);
        ReplyScanner scanner(buffer.data(), capacity);
        int completed = 0;
        for (uint8_t b : noise)
            completed += scanner.Feed(b);
        for (uint8_t b : reply)
            completed += scanner.Feed(b);

        ASSERT_EQ(completed, 1) << "round " << round;
        EXPECT_EQ(scanner.PayloadLength(), payload.size());
        const size_t kept = std::min(capacity, payload.size());
        EXPECT_EQ(scanner.KeptBytes(), kept);
        EXPECT_TRUE(
            std::equal(payload.begin(), payload.begin() + static_cast<long>(kept), buffer.begin()));
        for (size_t i = capacity; i < buffer.size(); ++i) {
            ASSERT_EQ(buffer[i], 0xC5) << "written past the buffer in round " << round;
        }
    }
}

TEST(ReplyScannerRandom, ArbitraryStreamsStayWithinTheBuffer) {
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        const size_t capacity = random() % 32;
        Bytes buffer(capacity + 8, 0xC5);
        ReplyScanner scanner(buffer.data(), capacity);
        for (int i = 0; i < 20000; ++i) {
            // Bias towards markers so that frames begin often.
            const uint32_t r = random();
            const uint8_t b = r % 4 == 0 ? 0xAA : r % 4 == 1 ? 0x55 : static_cast<uint8_t>(r >> 8);
            if (scanner.Feed(b)) {
                EXPECT_LE(scanner.KeptBytes(), capacity);
            }
        }
        for (size_t i = capacity; i < buffer.size(); ++i) {
            ASSERT_EQ(buffer[i], 0xC5);
        }
    }
}

}  // namespace
}  // namespace korvane
