// The bootloader client against the simulated device, bytes and trace text checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "link/device_link.h"
#include "platform/debug_output.h"
#include "platform/ticks.h"
#include "support/simulated_line.h"
#include "support/timing.h"

#ifndef _WIN32
#include "support/cpu_time.h"
#include "support/pty_pair.h"
#endif

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::SimulatedLine;

TEST(BootloaderClient, SyncAndGoTraceOneLinePerCommandAndBlock) {
    SimulatedLine line;
    KORVANE_LINE_READY_OR_SKIP(line);
    DebugCapture trace;
    ASSERT_TRUE(line.link.Sync());
    EXPECT_EQ(trace.Text(), "7F 00 FF \n01 FE \n02 FD \n");
    trace.Clear();
    ASSERT_TRUE(line.link.Go());
    EXPECT_EQ(trace.Text(), "21 DE \n08 00 00 00 08 \n");
    EXPECT_TRUE(line.device.Started());
}

TEST(BootloaderClient, WriteMemoryPutsCommandAddressAndCountedDataOnTheLine) {
    SimulatedLine line;
    KORVANE_LINE_READY_OR_SKIP(line);
    ASSERT_TRUE(line.link.Sync());
    line.device.ClearReceived();
    const uint8_t data[] = {1, 2, 3, 4};
    ASSERT_TRUE(line.link.WriteMemory(0x08000100, data, 4));
    EXPECT_EQ(line.device.Received(),
              Bytes({0x31, 0xCE, 0x08, 0x00, 0x01, 0x00, 0x09, 0x03, 1, 2, 3, 4, 0x07}));
    const Bytes flash = line.device.FlashImage();
    EXPECT_EQ(Bytes(flash.begin() + 0x100, flash.begin() + 0x104), Bytes({1, 2, 3, 4}));

    line.device.ClearReceived();
    // The part programs whole words, so its bootloader refuses a single byte; the bytes
    // on the line are the command's all the same.
    const uint8_t one = 0xAA;
    EXPECT_FALSE(line.link.WriteMemory(0x08000000, &one, 1));
    EXPECT_EQ(line.device.Received(),
              Bytes({0x31, 0xCE, 0x08, 0x00, 0x00, 0x00, 0x08, 0x00, 0xAA, 0xAA}));
}

TEST(BootloaderClient, CommandsAreSentWithTheirComplement) {
    SimulatedLine line;
    KORVANE_LINE_READY_OR_SKIP(line);
    ASSERT_TRUE(line.link.Sync());
    line.device.ClearReceived();
    DebugCapture trace;
    EXPECT_TRUE(line.link.SendCommand(0x00));  // Get: its reply is then dropped as non-ACK
    EXPECT_EQ(trace.Text(), "00 FF \n");
    EXPECT_EQ(line.device.Received(), Bytes({0x00, 0xFF}));
}

TEST(BootloaderClient, WholeImageLandsInFlash) {
    SimulatedLine line;
    KORVANE_LINE_READY_OR_SKIP(line);
    ASSERT_TRUE(line.link.Sync());
    Bytes image(5000);
    std::mt19937 random(7);
    for (auto& b : image)
        b = static_cast<uint8_t>(random());
    // Fill the flash with something, so that the erase has to happen for the writes to pass.
    const uint8_t junk[4] = {0, 0, 0, 0};
    ASSERT_TRUE(line.link.WriteMemory(0x08000000, junk, 4));

    ASSERT_TRUE(line.link.EraseAll());
    for (size_t at = 0; at < image.size(); at += 256) {
        const int32_t n = static_cast<int32_t>(std::min<size_t>(256, image.size() - at));
        ASSERT_TRUE(line.link.WriteMemory(0x08000000 + static_cast<uint32_t>(at), &image[at], n))
            << "chunk at " << at;
    }
    ASSERT_TRUE(line.link.Go());
    const Bytes flash = line.device.FlashImage();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    EXPECT_TRUE(std::all_of(flash.begin() + static_cast<long>(image.size()), flash.end(),
                            [](uint8_t b) { return b == 0xFF; }));
}

TEST(BootloaderClient, WritesTheDeviceRefusesFailWithoutHanging) {
    SimulatedLine line;
    KORVANE_LINE_READY_OR_SKIP(line);
    ASSERT_TRUE(line.link.Sync());
    const uint8_t data[4] = {0x12, 0x34, 0x56, 0x78};
    ASSERT_TRUE(line.link.WriteMemory(0x08000000, data, 4));
    // Over bytes already written, and outside the flash: refused with NACK, which the
    // client sits out to the end of the read window.
    const uint32_t start = TickCount();
    EXPECT_FALSE(line.link.WriteMemory(0x08000000, data, 4));
    EXPECT_FALSE(line.link.WriteMemory(0x08020000, data, 4));
    EXPECT_GT(TicksSince(start, TickCount()), 6000u);
    // Lengths the command cannot carry are refused before anything is sent.
    line.device.ClearReceived();
    EXPECT_FALSE(line.link.WriteMemory(0x08000000, data, 0));
    Bytes big(257);
    EXPECT_FALSE(line.link.WriteMemory(0x08000000, big.data(), 257));
    EXPECT_EQ(line.device.Received(), Bytes());
}

TEST(BootloaderClient, NackBeforeEachAckIsSkipped) {
    devsim::DeviceFaults faults;
    faults.nackBeforeAck = true;
    SimulatedLine line(faults);
    KORVANE_LINE_READY_OR_SKIP(line);
    EXPECT_TRUE(line.link.Sync());
    // Not even where a NACK followed by silence means read protection.
    DeviceSignature signature;
    EXPECT_EQ(line.link.ReadElectronicSignature(&signature), MemoryRead::kRead);
    EXPECT_TRUE(line.link.EraseAll());
}

TEST(BootloaderClient, GetCountOfZeroFailsSync) {
    devsim::DeviceFaults faults;
    faults.getCountZero = true;
    SimulatedLine line(faults);
    KORVANE_LINE_READY_OR_SKIP(line);
    DebugCapture trace;
    EXPECT_FALSE(line.link.Sync());
    // Nothing after Get is sent.
    EXPECT_EQ(trace.Text(), "7F 00 FF \n");
}

TEST(BootloaderClient, GetVersionReplyOfOneByteIsAccepted) {
    devsim::DeviceFaults faults;
    faults.shortVersion = 1;
    SimulatedLine line(faults);
    KORVANE_LINE_READY_OR_SKIP(line);
    DebugCapture trace;
    EXPECT_TRUE(line.link.Sync());
    EXPECT_EQ(trace.Text(), "7F 00 FF \n01 FE \n02 FD \n");
}

TEST(BootloaderClient, ShortGetReplyFailsSyncAtTheEndOfTheWindow) {
    devsim::DeviceFaults faults;
    faults.getShort = true;
    SimulatedLine line(faults);
    KORVANE_LINE_READY_OR_SKIP(line);
    const uint32_t start = TickCount();
    EXPECT_FALSE(line.link.Sync());
    EXPECT_GT(TicksSince(start, TickCount()), 3000u);
}

TEST(BootloaderClient, GetReplyLongerThanTheScratchAreaIsReadWholeAndSyncGoesOn) {
    devsim::DeviceFaults faults;
    faults.getLong = true;
    SimulatedLine line(faults);
    KORVANE_LINE_READY_OR_SKIP(line);
    DebugCapture trace;
    EXPECT_TRUE(line.link.Sync());
    EXPECT_EQ(trace.Text(), "7F 00 FF \n01 FE \n02 FD \n");
    uint8_t small[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    uint8_t guard[4] = {0x5A, 0x5A, 0x5A, 0x5A};
    EXPECT_EQ(line.link.ReadInfo(0x00, small, 2), 40);
    EXPECT_EQ(small[0], 0x22);
    EXPECT_EQ(small[2], 0xEE);
    EXPECT_EQ(guard[0], 0x5A);
}

TEST(BootloaderClient, IdentityRepliesAreThoseOfAMediumDensityPart) {
    SimulatedLine line;
    KORVANE_LINE_READY_OR_SKIP(line);
    ASSERT_TRUE(line.link.Sync());
    uint8_t reply[32] = {};
    EXPECT_EQ(line.link.ReadInfo(0x00, reply), 11);
    EXPECT_EQ(Bytes(reply, reply + 12),
              Bytes({0x22, 0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x43, 0x63, 0x73, 0x82, 0x92}));
    EXPECT_EQ(line.link.ReadInfo(0x01, reply), 3);
    EXPECT_EQ(Bytes(reply, reply + 3), Bytes({0x22, 0x00, 0x00}));
    EXPECT_EQ(line.link.ReadInfo(0x02, reply), 1);
    EXPECT_EQ(Bytes(reply, reply + 2), Bytes({0x04, 0x10}));
}

TEST(BootloaderClient, RefusedEraseFailsWithoutSendingTheGlobalRequest) {
    devsim::DeviceFaults faults;
    faults.refuseCommand = 0x43;
    SimulatedLine line(faults);
    KORVANE_LINE_READY_OR_SKIP(line);
    ASSERT_TRUE(line.link.Sync());
    line.device.ClearReceived();
    EXPECT_FALSE(line.link.EraseAll());
    EXPECT_EQ(line.device.Received(), Bytes({0x43, 0xBC}));
}

// A simulator runs with one set of faults at a time, so the two erase times are two tests.
TEST(BootloaderClient, EraseAcknowledgedWithinOneWindowSucceeds) {
    devsim::DeviceFaults faults;
    faults.eraseDelayMs = 1500;
    SimulatedLine line(faults);
    KORVANE_LINE_READY_OR_SKIP(line);
    ASSERT_TRUE(line.link.Sync());
    EXPECT_TRUE(line.link.EraseAll());
}

TEST(BootloaderClient, EraseAcknowledgedAfterOneWindowFails) {
    devsim::DeviceFaults faults;
    faults.eraseDelayMs = 3600;
    SimulatedLine line(faults);
    KORVANE_LINE_READY_OR_SKIP(line);
    ASSERT_TRUE(line.link.Sync());
    EXPECT_FALSE(line.link.EraseAll());
}

TEST(BootloaderClient, SilentDeviceFailsSyncAfterOneWindow) {
    devsim::DeviceFaults faults;
    faults.silent = true;
    SimulatedLine line(faults);
    KORVANE_LINE_READY_OR_SKIP(line);
    DebugCapture trace;
    const uint32_t start = TickCount();
    EXPECT_FALSE(line.link.Sync());
    const uint32_t took = TicksSince(start, TickCount());
    EXPECT_GT(took, 3000u);
    EXPECT_LT(took, SerialPort::kReadWindowMs + testing::kSchedulingSlackMs);
    EXPECT_EQ(trace.Text(), "7F ");
    EXPECT_EQ(line.device.Received(), Bytes({0x7F}));
}

#ifndef _WIN32
// A bare pseudo-terminal, where nobody answers at all.
// A stale 0x79 left on the line by whatever talked there before is not the answer to
// the synchronisation byte: it is discarded before 0x7F goes out.
TEST(BootloaderClient, StaleAckOnTheLineDoesNotPassAsTheSyncAnswer) {
    testing::PtyPair nobody;
    DeviceLink link;
    ASSERT_TRUE(link.OpenDevice(nobody.Path(), 115200));
    nobody.Send({bootloader::kAck});
    ASSERT_TRUE(nobody.WaitForHostInput(1));
    EXPECT_FALSE(link.Sync());
    EXPECT_EQ(nobody.Drain(), Bytes({0x7F})) << "Get followed a stale ACK";
}

TEST(BootloaderClient, NoDeviceFailsSyncAfterOneWindowWithoutSpinning) {
    testing::PtyPair nobody;
    DeviceLink link;
    ASSERT_TRUE(link.OpenDevice(nobody.Path(), 115200));
    DebugCapture trace;
    const double cpuBefore = testing::ProcessCpuMs();
    const uint32_t start = TickCount();
    EXPECT_FALSE(link.Sync());
    const uint32_t took = TicksSince(start, TickCount());
    EXPECT_GT(took, 3000u);
    EXPECT_LT(took, SerialPort::kReadWindowMs + testing::kSchedulingSlackMs);
    EXPECT_LT(testing::ProcessCpuMs() - cpuBefore, 100.0);
    EXPECT_EQ(trace.Text(), "7F ");
    EXPECT_EQ(nobody.Drain(), Bytes({0x7F}));
}
#endif

TEST(BootloaderClient, ResetPulseTakesThreePausesAndLeavesTheLineUsable) {
    SimulatedLine line;
    KORVANE_LINE_READY_OR_SKIP(line);
    // The default wiring, and a profile whose [Fixture] says nothing, give the same pulse:
    // DTR cleared, RTS set, RTS cleared, each held for a whole pause before the next: on
    // the steady clock, since a pause cut short by a tick would upset the device.
    std::string error;
    const std::optional<FixtureWiring> unsaid = ParseFixtureWiring("", &error);
    ASSERT_TRUE(unsaid) << error;
    for (const FixtureWiring& wiring : {FixtureWiring{}, *unsaid}) {
        std::vector<std::pair<uint8_t, testing::SteadyTime>> changes;
        line.link.WatchModemLines([&](uint8_t code) {
            changes.push_back({code, testing::SteadyNow()});
        });
        line.link.ResetToBootloader(wiring);
        const testing::SteadyTime end = testing::SteadyNow();
        line.link.WatchModemLines(nullptr);
        ASSERT_EQ(changes.size(), 3u);
        EXPECT_EQ(changes[0].first, kClrDtr);
        EXPECT_EQ(changes[1].first, kSetRts);
        EXPECT_EQ(changes[2].first, kClrRts);
        EXPECT_GE(testing::MsBetween(changes[0].second, changes[1].second), 100.0);
        EXPECT_GE(testing::MsBetween(changes[1].second, changes[2].second), 100.0);
        EXPECT_GE(testing::MsBetween(changes[2].second, end), 100.0);
    }
    // A pseudo-terminal has no modem lines; nothing goes on the data line either.
    EXPECT_EQ(line.device.Received(), Bytes());
    EXPECT_TRUE(line.link.Sync());
}

TEST(BootloaderClient, ANewRunResynchronisesAfterGo) {
    SimulatedLine line;
    KORVANE_LINE_READY_OR_SKIP(line);
    ASSERT_TRUE(line.link.Sync());
    ASSERT_TRUE(line.link.Go());
    line.link.Close();
    ASSERT_TRUE(line.device.OpenOn(line.link));
    EXPECT_TRUE(line.link.Sync());
}

}  // namespace
}  // namespace korvane
