// Service requests and replies over a real pseudo-terminal, with the test playing the
// loader firmware's side.
#include <gtest/gtest.h>

#include <vector>

#include "link/device_link.h"
#include "link/service_frame.h"
#include "platform/debug_output.h"
#include "platform/ticks.h"
#include "support/pty_pair.h"
#include "support/timing.h"
#include "support/write_calls.h"

namespace korvane {
namespace {

using testing::PtyPair;
using Bytes = std::vector<uint8_t>;
using namespace service;

class ServiceFrameLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(line.Path().empty());
        ASSERT_TRUE(link.OpenDevice(line.Path(), 115200));
    }
    PtyPair line;
    DeviceLink link;
};

TEST_F(ServiceFrameLinkTest, ClosingRequestAndAnswerAreTracedAsTwoLines) {
    DebugCapture trace;
    const long writesBefore = testing::WriteCalls("/proc/thread-self/io");
    ASSERT_TRUE(link.SendRequest(kDataImage, kFinish, 0, nullptr, 0));
    // The frame goes out in one system call (a USB adapter makes a transfer of each), not
    // one a byte; a sanitized build's runtime may write a few of its own meanwhile.
    if (writesBefore >= 0) {
        EXPECT_LT(testing::WriteCalls("/proc/thread-self/io") - writesBefore, 6);
    }
    EXPECT_EQ(line.Drain(11),
              Bytes({0x55, 0xAA, 0x00, 0x06, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x08}));
    EXPECT_EQ(trace.Text(), "55 AA 00 06 00 03 00 00 00 00 08 \n");

    line.Send({0xAA, 0x55, 0x00, 0x01, 0x00, 0x00});
    uint8_t reply[kWorkingBufferBytes] = {0xEE};
    EXPECT_EQ(link.ReceiveReply(reply, sizeof reply), 1);
    EXPECT_EQ(reply[0], kAccepted);
    EXPECT_EQ(trace.Text(), "55 AA 00 06 00 03 00 00 00 00 08 \n\n");
}

TEST_F(ServiceFrameLinkTest, NoiseBadFrameAndOverlongReplyLeadToTheGoodPayload) {
    Bytes payload(2000);
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<uint8_t>(i * 3);
    }
    Bytes stream = {0x00, 0xFF, 0x55, 0xAA, 0x55, 0x00, 0x01, 0x00, 0x01};  // bad checksum
    const Bytes good = BuildReply(payload.data(), static_cast<uint16_t>(payload.size()));
    stream.insert(stream.end(), good.begin(), good.end());
    line.Send(stream);

    DebugCapture trace;
    Bytes buffer(kWorkingBufferBytes + 64, 0xCC);
    EXPECT_EQ(link.ReceiveReply(buffer.data(), kWorkingBufferBytes), kWorkingBufferBytes);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + kWorkingBufferBytes),
              Bytes(payload.begin(), payload.begin() + kWorkingBufferBytes));
    EXPECT_EQ(Bytes(buffer.begin() + kWorkingBufferBytes, buffer.end()), Bytes(64, 0xCC));
    EXPECT_EQ(trace.Text(), "\n");
}

TEST_F(ServiceFrameLinkTest, HiddenReplyEndsWithZeroAfterOneReadWindow) {
    // The stray 0xAA takes the reply's first marker as its wrong second one.
    line.Send({0xAA, 0xAA, 0x55, 0x00, 0x01, 0x00, 0x00});
    DebugCapture trace;
    uint8_t reply[kWorkingBufferBytes] = {};
    const uint32_t start = TickCount();
    EXPECT_EQ(link.ReceiveReply(reply, sizeof reply), 0);
    const uint32_t waited = TicksSince(start, TickCount());
    EXPECT_EQ(link.LastFailure(), LinkFailure::kSilence);
    EXPECT_GE(waited, SerialPort::kReadWindowMs);
    EXPECT_LT(waited, SerialPort::kReadWindowMs + testing::kSchedulingSlackMs);
    EXPECT_EQ(trace.Text(), "");
}

TEST_F(ServiceFrameLinkTest, AReplyWithABadChecksumAndNothingAfterItIsToldFromSilence) {
    line.Send({0xAA, 0x55, 0x00, 0x01, 0x00, 0x05});  // the checksum would be 0x00
    uint8_t reply[4] = {};
    EXPECT_EQ(link.ReceiveReply(reply, sizeof reply), 0);
    EXPECT_EQ(link.LastFailure(), LinkFailure::kBadChecksum);
}

TEST_F(ServiceFrameLinkTest, EmptyReplyCountsAsNoReply) {
    line.Send({0xAA, 0x55, 0x00, 0x00, 0xFF});
    DebugCapture trace;
    uint8_t reply[4] = {};
    EXPECT_EQ(link.ReceiveReply(reply, sizeof reply), 0);
    EXPECT_EQ(trace.Text(), "\n");
}

TEST_F(ServiceFrameLinkTest, ClosedPortSendsNothingAndGetsNoReply) {
    link.Close();
    DebugCapture trace;
    EXPECT_TRUE(link.SendRequest(kFirmwareImage, kStart, 0, nullptr, 0));
    uint8_t reply[4] = {};
    EXPECT_EQ(link.ReceiveReply(reply, sizeof reply), 0);
    EXPECT_EQ(trace.Text(), "\n");
    EXPECT_EQ(line.Drain(), Bytes());
}

TEST_F(ServiceFrameLinkTest, UnframeableRequestSendsAndTracesNothing) {
    DebugCapture trace;
    EXPECT_FALSE(link.SendRequest(kDataImage, kWrite, 0, nullptr, 16));
    EXPECT_EQ(trace.Text(), "");
    EXPECT_EQ(line.Drain(), Bytes());
}

}  // namespace
}  // namespace korvane
