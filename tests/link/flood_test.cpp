// DeviceLink against a device that talks without end: each wait for an answer ends as a
// flood, after a bounded number of bytes and soon, however fast the bytes come.
#include <gtest/gtest.h>

#include "link/device_link.h"
#include "link/service_frame.h"
#include "platform/debug_output.h"
#include "platform/ticks.h"
#include "support/simulated_line.h"
#include "support/test_device.h"

#ifndef _WIN32
#include "support/cpu_time.h"
#endif

namespace korvane {
namespace {

using testing::SimulatedLine;
using namespace service;

devsim::DeviceFaults Flooding(devsim::FloodBytes bytes, uint32_t afterReplies = 0) {
    devsim::DeviceFaults faults;
    faults.flood = bytes;
    faults.floodAfterReplies = afterReplies;
    return faults;
}

// Milliseconds the call takes, and (where it can be measured) the processor time the
// calling thread spends in it, without the simulator's own thread.
struct Cost {
    uint32_t ms = 0;
    double cpuMs = 0;
};

template <typename Call>
Cost Measure(Call call) {
#ifndef _WIN32
    const double cpuBefore = testing::ThreadCpuMs();
#endif
    const uint32_t start = TickCount();
    call();
    Cost cost;
    cost.ms = TicksSince(start, TickCount());
#ifndef _WIN32
    cost.cpuMs = testing::ThreadCpuMs() - cpuBefore;
#endif
    return cost;
}

// One service request and its reply; the reply's length.
uint16_t Exchange(DeviceLink& link) {
    uint8_t reply[kWorkingBufferBytes] = {};
    EXPECT_TRUE(link.SendRequest(kFirmwareImage, kStart, 0, nullptr, 0));
    return link.ReceiveReply(reply, sizeof reply);
}

TEST(Flood, SyncAgainstZerosFailsAsAFloodWithoutWaitingOutAWindow) {
    SimulatedLine line(Flooding(devsim::FloodBytes::kZeros));
    KORVANE_LINE_READY_OR_SKIP(line);
    DebugCapture trace;
    const Cost cost = Measure([&] { EXPECT_FALSE(line.link.Sync()); });
    EXPECT_EQ(line.link.LastFailure(), LinkFailure::kFlood);
    EXPECT_LT(cost.ms, SerialPort::kReadWindowMs);
    EXPECT_EQ(trace.Text(), "7F ");
}

// Random bytes hold an ACK now and then: only a few strays are read before one counts.
// The simulator's flood is the same from run to run, so this fails the same way each time.
TEST(Flood, RandomBytesPassNeitherForAnAcknowledgementNorForABootloader) {
    {
        SimulatedLine line(Flooding(devsim::FloodBytes::kRandom));
        KORVANE_LINE_READY_OR_SKIP(line);
        EXPECT_FALSE(line.link.SendCommand(bootloader::kGet));
        EXPECT_EQ(line.link.LastFailure(), LinkFailure::kFlood);
    }
    SimulatedLine line(Flooding(devsim::FloodBytes::kRandom));
    KORVANE_LINE_READY_OR_SKIP(line);
    EXPECT_FALSE(line.link.Sync());
    EXPECT_EQ(line.link.LastFailure(), LinkFailure::kFlood);
}

// Over a pseudo-terminal the flood comes as fast as the kernel carries it: the reply's
// wait ends once it has had what the line would carry in one read window, long before
// that window's time, and costs the host little processor time.
TEST(Flood, ReplyAgainstAnUnpacedFloodEndsAfterItsBytesNotItsTime) {
    SimulatedLine line(Flooding(devsim::FloodBytes::kZeros));
    KORVANE_LINE_READY_OR_SKIP(line);
    const Cost cost = Measure([&] { EXPECT_EQ(Exchange(line.link), 0); });
    EXPECT_EQ(line.link.LastFailure(), LinkFailure::kFlood);
    EXPECT_LT(cost.ms, SerialPort::kReadWindowMs);
#ifndef _WIN32
    EXPECT_LT(cost.cpuMs, 100.0);
#endif
}

// Loader firmware that answers service frames: a word written and started.
void StartLoader(DeviceLink& link) {
    const uint8_t loader[4] = {1, 2, 3, 4};
    ASSERT_TRUE(link.Sync());
    ASSERT_TRUE(link.EraseAll());
    ASSERT_TRUE(link.WriteMemory(bootloader::kFlashStart, loader, 4));
    ASSERT_TRUE(link.Go());
    // Its banner is not the answer to anything.
    SleepMs(200);
    link.PurgeReceive();
}

// A line paced as 115200 baud carries a reply of 60000 bytes in most of six seconds,
// which still comes whole; the flood after it ends its exchange once the line has carried
// a read window's worth, and the next exchange almost at once.
TEST(Flood, OnAPacedLineALongReplyStillComesAndFloodedExchangesEndSoon) {
    devsim::DeviceFaults faults = Flooding(devsim::FloodBytes::kZeros, 1);
    faults.loader.extraPayload = 59999;
    testing::TestDevice device(faults, 115200);
    KORVANE_SKIP_IF_UNSUITED(device);
    ASSERT_TRUE(device.Start()) << device.ErrorText();
    DeviceLink link;
    ASSERT_TRUE(device.OpenOn(link));
    StartLoader(link);

    EXPECT_EQ(Exchange(link), kWorkingBufferBytes);
    EXPECT_EQ(link.LastFailure(), LinkFailure::kNone);

    const Cost first = Measure([&] { EXPECT_EQ(Exchange(link), 0); });
    EXPECT_EQ(link.LastFailure(), LinkFailure::kFlood);
    EXPECT_LT(first.ms, 2 * SerialPort::kReadWindowMs);
#ifndef _WIN32
    EXPECT_LT(first.cpuMs, 0.2 * first.ms);
#endif
    const Cost next = Measure([&] { EXPECT_EQ(Exchange(link), 0); });
    EXPECT_EQ(link.LastFailure(), LinkFailure::kFlood);
    EXPECT_LT(next.ms, SerialPort::kReadWindowMs / 3);
}

}  // namespace
}  // namespace korvane
