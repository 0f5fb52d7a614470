// Who the device is: the bootloader's identity kept from Sync, the electronic signature
// read with Read Memory, and read protection told apart and lifted.
#include <gtest/gtest.h>

#include "link/device_link.h"
#include "platform/debug_output.h"
#include "support/simulated_line.h"
#include "support/timing.h"

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::SimulatedLine;

constexpr UniqueId kUid = {0x30, 0xFF, 0xD5, 0x05, 0x4E, 0x57, 0x36, 0x37, 0x17, 0x43, 0x21, 0x87};

// The one byte a command gets in answer, sent as raw bytes past the client.
uint8_t AnswerTo(DeviceLink& link, uint8_t command) {
    const uint8_t bytes[2] = {command, static_cast<uint8_t>(~command)};
    link.Write(bytes, 2);
    uint8_t answer = 0;
    return link.Read(&answer, 1) == 1 ? answer : 0;
}

TEST(DeviceIdentity, SyncKeepsTheIdentityAndTheSignatureIsReadFromSystemMemory) {
    devsim::DeviceFaults faults;
    faults.uid = kUid;
    faults.flashKib = 64;
    faults.flipByteAt = 0x08000102;
    SimulatedLine line(faults);
    KORVANE_LINE_READY_OR_SKIP(line);
    DebugCapture trace;
    ASSERT_TRUE(line.link.Sync());
    EXPECT_EQ(trace.Text(), "7F 00 FF \n01 FE \n02 FD \n");
    const BootloaderIdentity& identity = line.link.Identity();
    EXPECT_EQ(identity.version, 0x22);
    EXPECT_EQ(identity.commands,
              Bytes({0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x43, 0x63, 0x73, 0x82, 0x92}));
    EXPECT_TRUE(identity.Lists(0x11));
    EXPECT_FALSE(identity.Lists(0x44));
    EXPECT_EQ(identity.productId, 0x0410);

    trace.Clear();
    line.device.ClearReceived();
    DeviceSignature signature;
    ASSERT_EQ(line.link.ReadElectronicSignature(&signature), MemoryRead::kRead);
    EXPECT_EQ(signature.flashKib, 64);
    EXPECT_EQ(signature.uid, kUid);
    EXPECT_EQ(UniqueIdText(signature.uid), "30ffd5054e57363717432187");
    EXPECT_EQ(trace.Text(), "11 EE \n1F FF F7 E0 F7 \n01 FE \n11 EE \n1F FF F7 E8 FF \n0B F4 \n");
    EXPECT_EQ(line.device.Received(),
              Bytes({0x11, 0xEE, 0x1F, 0xFF, 0xF7, 0xE0, 0xF7, 0x01, 0xFE,  //
                     0x11, 0xEE, 0x1F, 0xFF, 0xF7, 0xE8, 0xFF, 0x0B, 0xF4}));

    // The flash is as large as the signature says, and no larger.
    EXPECT_EQ(line.device.FlashImage().size(), 64u * 1024u);
    uint8_t last[4] = {};
    EXPECT_EQ(line.link.ReadMemory(0x0800FFFC, last, 4), MemoryRead::kRead);
    EXPECT_EQ(Bytes(last, last + 4), Bytes(4, 0xFF));
    EXPECT_EQ(line.link.ReadMemory(0x08010000, last, 4), MemoryRead::kRefused);
    EXPECT_EQ(line.link.ReadMemory(0x08000000, last, 0), MemoryRead::kNotSent);

    // Read back after a write shows the byte the device stored with a bit flipped.
    const uint8_t data[4] = {0x10, 0x20, 0x30, 0x40};
    ASSERT_TRUE(line.link.WriteMemory(0x08000100, data, 4));
    uint8_t back[4] = {};
    ASSERT_EQ(line.link.ReadMemory(0x08000100, back, 4), MemoryRead::kRead);
    EXPECT_EQ(Bytes(back, back + 4), Bytes({0x10, 0x20, 0x31, 0x40}));
}

TEST(DeviceIdentity, ReadProtectedDeviceIsIdentifiedRefusesReadsAndIsUnprotected) {
    devsim::DeviceFaults faults;
    faults.uid = kUid;
    faults.readProtected = true;
    SimulatedLine line(faults);
    KORVANE_LINE_READY_OR_SKIP(line);
    ASSERT_TRUE(line.link.Sync());
    EXPECT_EQ(line.link.Identity().productId, 0x0410);
    EXPECT_TRUE(line.link.Identity().Lists(bootloader::kReadoutUnprotect));

    DebugCapture trace;
    DeviceSignature signature;
    const testing::SteadyTime start = testing::SteadyNow();
    // A NACK is a refusal once no ACK follows it within a read window.
    EXPECT_EQ(line.link.ReadElectronicSignature(&signature), MemoryRead::kRefused);
    EXPECT_LT(testing::MsBetween(start, testing::SteadyNow()),
              SerialPort::kReadWindowMs + testing::kSchedulingSlackMs);
    EXPECT_EQ(trace.Text(), "11 EE \n");
    EXPECT_EQ(line.link.LastFailure(), LinkFailure::kNone);
    EXPECT_EQ(signature.uid, UniqueId{}) << "a refused read leaves the signature alone";
    for (const uint8_t command : {bootloader::kWriteMemory, bootloader::kErase, bootloader::kGo}) {
        EXPECT_EQ(AnswerTo(line.link, command), bootloader::kNack) << int{command};
    }

    trace.Clear();
    ASSERT_EQ(line.link.ReadoutUnprotect(), UnprotectResult::kUnprotected);
    EXPECT_EQ(trace.Text(), "92 6D \n");
    // The device has reset: it answers nothing until it is synchronised again.
    EXPECT_EQ(AnswerTo(line.link, bootloader::kGet), 0);
    ASSERT_TRUE(line.link.Sync());
    ASSERT_EQ(line.link.ReadElectronicSignature(&signature), MemoryRead::kRead);
    EXPECT_EQ(signature.uid, kUid);
    EXPECT_EQ(signature.flashKib, 128);
    const uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_TRUE(line.link.WriteMemory(0x08000000, data, 4));
}

// The part erases all its flash between the two ACKs, which may take far longer than
// one read window.
TEST(DeviceIdentity, ReadoutUnprotectWaitsOutALongMassEraseThatLeavesTheFlashErased) {
    devsim::DeviceFaults faults;
    faults.eraseDelayMs = 3600;
    SimulatedLine line(faults);
    KORVANE_LINE_READY_OR_SKIP(line);
    ASSERT_TRUE(line.link.Sync());
    const uint8_t data[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    ASSERT_TRUE(line.link.WriteMemory(0x08000000, data, 4));
    const int erases = line.device.Snapshot().EraseCount();
    const testing::SteadyTime start = testing::SteadyNow();
    ASSERT_EQ(line.link.ReadoutUnprotect(), UnprotectResult::kUnprotected);
    EXPECT_GE(testing::MsBetween(start, testing::SteadyNow()), 3600.0);
    const devsim::DeviceSnapshot after = line.device.Snapshot();
    EXPECT_EQ(after.EraseCount(), erases + 1);
    EXPECT_EQ(after.Flash(), Bytes(after.Flash().size(), 0xFF));
    ASSERT_TRUE(line.link.Sync());
}

// How a read or an unprotect ended is told apart: a refusal, silence, a flood. A
// simulator runs with one set of faults at a time, so these are three tests.
TEST(DeviceIdentity, RefusedUnprotectEndsAfterOneWindow) {
    devsim::DeviceFaults faults;
    faults.refuseCommand = bootloader::kReadoutUnprotect;
    SimulatedLine line(faults);
    KORVANE_LINE_READY_OR_SKIP(line);
    ASSERT_TRUE(line.link.Sync());
    const testing::SteadyTime start = testing::SteadyNow();
    EXPECT_EQ(line.link.ReadoutUnprotect(), UnprotectResult::kRefused);
    EXPECT_LT(testing::MsBetween(start, testing::SteadyNow()),
              SerialPort::kReadWindowMs + testing::kSchedulingSlackMs);
}

TEST(DeviceIdentity, ReadFromASilentDeviceEndsInSilence) {
    devsim::DeviceFaults faults;
    faults.silent = true;
    SimulatedLine line(faults);
    KORVANE_LINE_READY_OR_SKIP(line);
    uint8_t byte = 0;
    EXPECT_EQ(line.link.ReadMemory(0x08000000, &byte, 1), MemoryRead::kSilence);
    EXPECT_EQ(line.link.LastFailure(), LinkFailure::kSilence);
}

TEST(DeviceIdentity, ReadAndUnprotectOnAFloodedLineEndAsFloods) {
    devsim::DeviceFaults faults;
    faults.flood = devsim::FloodBytes::kZeros;
    SimulatedLine line(faults);
    KORVANE_LINE_READY_OR_SKIP(line);
    DeviceSignature signature;
    EXPECT_EQ(line.link.ReadElectronicSignature(&signature), MemoryRead::kFlood);
    EXPECT_EQ(line.link.LastFailure(), LinkFailure::kFlood);
    EXPECT_EQ(line.link.ReadoutUnprotect(), UnprotectResult::kFlood);
}

}  // namespace
}  // namespace korvane
