#include "link/service_frame.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;
using namespace service;

TEST(ServiceRequest, FixedRequestsAreByteExact) {
    EXPECT_EQ(BuildRequest(kDataImage, kFinish, 0, nullptr, 0),
              Bytes({0x55, 0xAA, 0x00, 0x06, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x08}));
    EXPECT_EQ(BuildRequest(kFirmwareImage, kStart, 0, nullptr, 0),
              Bytes({0x55, 0xAA, 0x00, 0x06, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06}));
}

TEST(ServiceRequest, DataBlockCarriesBlockNumberDataAndSumOfAllBytes) {
    Bytes block(kDataBlockBytes);
    std::iota(block.begin(), block.end(), uint8_t{0});
    const Bytes frame = BuildRequest(kDataImage, kWrite, 128, block.data(), 512);
    ASSERT_EQ(frame.size(), 523u);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 10),
              Bytes({0x55, 0xAA, 0x02, 0x06, 0x00, 0x02, 0x00, 0x00, 0x00, 0x80}));
    EXPECT_EQ(Bytes(frame.begin() + 10, frame.end() - 1), block);
    EXPECT_EQ(frame.back(), FrameChecksum(frame.data(), frame.size() - 1));

    // Block numbers past 16 bits fill the whole address field, most significant first.
    const Bytes high = BuildRequest(kDataImage, kWrite, 0x00010000, block.data(), 512);
    EXPECT_EQ(Bytes(high.begin() + 6, high.begin() + 10), Bytes({0x00, 0x01, 0x00, 0x00}));
}

TEST(ServiceRequest, RefusesWhatTheLengthFieldCannotDescribe) {
    const Bytes data(0x10000);
    const Bytes largest = BuildRequest(0, kWrite, 0, data.data(), kMaxRequestData);
    ASSERT_EQ(largest.size(), kMaxRequestData + kRequestOverheadBytes);
    EXPECT_EQ(largest[2], 0xFF);
    EXPECT_EQ(largest[3], 0xFF);
    // One more byte would wrap the length field to 0 and desynchronise the device.
    EXPECT_TRUE(BuildRequest(0, kWrite, 0, data.data(), kMaxRequestData + 1).empty());
    EXPECT_TRUE(BuildRequest(0, kWrite, 0, nullptr, 4).empty());
}

// Feeds the stream to a scanner over a buffer of `capacity` bytes followed by guard bytes.
struct ScanResult {
    bool found = false;
    size_t consumed = 0;  // bytes fed up to and including the completing one
    uint16_t length = 0;
    size_t kept = 0;
    Bytes buffer;
    bool guardIntact = true;
};

ScanResult Scan(const Bytes& stream, size_t capacity = kWorkingBufferBytes) {
    constexpr size_t kGuard = 16;
    ScanResult result;
    result.buffer.assign(capacity + kGuard, 0xCC);
    ReplyScanner scanner(result.buffer.data(), capacity);
    for (const uint8_t byte : stream) {
        ++result.consumed;
        if (scanner.Feed(byte)) {
            result.found = true;
            result.length = scanner.PayloadLength();
            result.kept = scanner.KeptBytes();
            break;
        }
    }
    for (size_t i = capacity; i < result.buffer.size(); ++i) {
        result.guardIntact = result.guardIntact && result.buffer[i] == 0xCC;
    }
    return result;
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

const Bytes kAccept = {0xAA, 0x55, 0x00, 0x01, 0x00, 0x00};

TEST(ReplyScanner, AcceptingReplyAfterNoise) {
    ScanResult plain = Scan(kAccept);
    EXPECT_TRUE(plain.found);
    EXPECT_EQ(plain.length, 1);
    EXPECT_EQ(plain.buffer[0], kAccepted);

    ScanResult noisy = Scan(Join({{0x00, 0xFF, 0x55}, kAccept}));
    EXPECT_TRUE(noisy.found);
    EXPECT_EQ(noisy.consumed, 9u);
    EXPECT_EQ(noisy.length, 1);
}

TEST(ReplyScanner, StrayMarkerBeforeReplyHidesIt) {
    // The second 0xAA is dropped as a wrong second marker, not taken as a new first one.
    EXPECT_FALSE(Scan(Join({{0xAA}, kAccept})).found);
    // A following frame is still found, and a refusal comes through as its status.
    ScanResult later = Scan(Join({{0xAA}, kAccept, {0xAA, 0x55, 0x00, 0x01, 0x01, 0x01}}));
    EXPECT_TRUE(later.found);
    EXPECT_EQ(later.buffer[0], 1);
}

TEST(ReplyScanner, BadChecksumDropsFrameAndNextOneCounts) {
    const Bytes bad = {0xAA, 0x55, 0x00, 0x02, 0x07, 0x07, 0x00};
    const Bytes good = BuildReply(Bytes({0x00, 0x42, 0x43}).data(), 3);
    ScanResult result = Scan(Join({bad, good}));
    EXPECT_TRUE(result.found);
    EXPECT_EQ(result.consumed, bad.size() + good.size());
    EXPECT_EQ(result.length, 3);
    EXPECT_EQ(Bytes(result.buffer.begin(), result.buffer.begin() + 3), Bytes({0x00, 0x42, 0x43}));
}

TEST(ReplyScanner, EmptyFrameCompletesWithLengthZero) {
    ScanResult result = Scan({0xAA, 0x55, 0x00, 0x00, 0xFF, 0xAA});
    EXPECT_TRUE(result.found);
    EXPECT_EQ(result.consumed, 5u);
    EXPECT_EQ(result.length, 0);
    EXPECT_EQ(result.kept, 0u);
}

TEST(ReplyScanner, LongReplyIsCheckedWholeButKeptOnlyAsFarAsItFits) {
    Bytes payload(0xFFFF);
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<uint8_t>(i * 7);
    }
    const Bytes frame = BuildReply(payload.data(), 0xFFFF);
    ScanResult result = Scan(frame, 512);
    EXPECT_TRUE(result.found);
    EXPECT_EQ(result.consumed, frame.size());
    EXPECT_EQ(result.length, 0xFFFF);
    EXPECT_EQ(result.kept, 512u);
    EXPECT_TRUE(result.guardIntact);
    EXPECT_EQ(Bytes(result.buffer.begin(), result.buffer.begin() + 512),
              Bytes(payload.begin(), payload.begin() + 512));

    // The bytes beyond the buffer still count towards the checksum.
    Bytes corrupted = frame;
    corrupted[4 + 60000] ^= 0x01;
    EXPECT_FALSE(Scan(corrupted, 512).found);

    // No buffer at all: the frame is still recognised.
    EXPECT_TRUE(Scan(kAccept, 0).found);
    EXPECT_TRUE(Scan(kAccept, 0).guardIntact);
}

}  // namespace
}  // namespace korvane
