// Fault names as the simulator program and the test runner pass them around.
#include "devsim/device_faults.h"

#include <gtest/gtest.h>

#include "devsim/device_report.h"

namespace korvane {
namespace {

using devsim::DeviceFaults;

TEST(DeviceFaults, NamesReadBackAsTheSameFaultsInOneOrder) {
    DeviceFaults faults;
    ASSERT_TRUE(devsim::ApplyFaultList(
        "noise, refuse-request=1.2@0x0800ff00 slow-erase refuse=0x43,silent", &faults));
    EXPECT_TRUE(faults.silent);
    EXPECT_EQ(faults.eraseDelayMs, 5000u);
    EXPECT_EQ(faults.refuseCommand, 0x43);
    ASSERT_EQ(faults.loader.refuse.size(), 1u);
    EXPECT_EQ(*faults.loader.refuse[0].address, 0x0800FF00u);
    const std::vector<std::string> names = {"silent", "slow-erase=5000", "refuse=67",
                                            "refuse-request=1.2@0x0800FF00", "noise"};
    EXPECT_EQ(devsim::FaultNames(faults), names);
    EXPECT_EQ(devsim::FaultOptions(faults),
              "--fault silent --fault slow-erase=5000 --fault refuse=67 --fault "
              "refuse-request=1.2@0x0800FF00 --fault noise");

    DeviceFaults again;
    std::string list;
    for (const auto& name : names) {
        list += name + " ";
    }
    ASSERT_TRUE(devsim::ApplyFaultList(list, &again));
    EXPECT_EQ(devsim::FaultNames(again), names);
}

TEST(DeviceFaults, BootloaderWriteAndVersionFaultsReadBack) {
    DeviceFaults faults;
    ASSERT_TRUE(devsim::ApplyFaultList("refuse-write=0x08000100 short-version=2", &faults));
    EXPECT_EQ(faults.shortVersion, 2);
    EXPECT_EQ(*faults.refuseWriteAt, 0x08000100u);
    EXPECT_EQ(devsim::FaultNames(faults),
              std::vector<std::string>({"short-version=2", "refuse-write=0x08000100"}));
    EXPECT_FALSE(devsim::ApplyFault("short-version=3", &faults));
}

TEST(DeviceFaults, TheDevicesMakeAndProtectionReadBack) {
    DeviceFaults faults;
    ASSERT_TRUE(devsim::ApplyFaultList(
        "read-protected flip-byte=0x08000010 flash-kib=256 uid=0123456789ABCDEFfedcba98", &faults));
    EXPECT_TRUE(faults.readProtected);
    EXPECT_EQ(*faults.flipByteAt, 0x08000010u);
    EXPECT_EQ(faults.flashKib, 256u);
    const std::vector<std::string> names = {"uid=0123456789abcdeffedcba98", "flash-kib=256",
                                            "read-protected", "flip-byte=0x08000010"};
    EXPECT_EQ(devsim::FaultNames(faults), names);
    // As a test runner passes them on to korvane-devsim, which takes them so.
    EXPECT_EQ(devsim::FaultOptions(faults),
              "--fault uid=0123456789abcdeffedcba98 --fault flash-kib=256 --fault read-protected "
              "--fault flip-byte=0x08000010");
    DeviceFaults again;
    for (const auto& name : names) {
        ASSERT_TRUE(devsim::ApplyFault(name, &again)) << name;
    }
    EXPECT_EQ(devsim::FaultNames(again), names);
    for (const char* bad : {"flash-kib=8", "flash-kib=2048", "uid=0123", "read-protected=1"}) {
        EXPECT_FALSE(devsim::ApplyFault(bad, &again)) << bad;
    }
}

// Two simulated devices never share a unique ID, and the report says which one it is.
TEST(DeviceFaults, EachDeviceHasItsOwnUniqueIdWhichTheReportCarries) {
    const devsim::SimulatedDevice one;
    const devsim::SimulatedDevice two;
    EXPECT_NE(one.Uid(), two.Uid());
    DeviceFaults faults;
    faults.uid = ParseUniqueId("0123456789abcdeffedcba98");
    faults.flashKib = 512;
    devsim::DeviceSnapshot read;
    ASSERT_TRUE(
        devsim::ParseDeviceReport(devsim::DeviceReport(devsim::SimulatedDevice(faults)), &read));
    EXPECT_EQ(read.Uid(), *faults.uid);
    EXPECT_EQ(read.FlashKib(), 512u);
}

TEST(DeviceFaults, FloodsReadBackWithWhatTheySendAndWhenTheyStart) {
    DeviceFaults later;
    ASSERT_TRUE(devsim::ApplyFaultList("flood-after=13", &later));
    EXPECT_EQ(later.flood, devsim::FloodBytes::kZeros);
    EXPECT_EQ(later.floodAfterReplies, 13u);
    EXPECT_EQ(devsim::FaultNames(later), std::vector<std::string>({"flood-after=13"}));
    for (const char* list : {"flood-after=13 flood=random", "flood=random,flood-after=13"}) {
        DeviceFaults random;
        ASSERT_TRUE(devsim::ApplyFaultList(list, &random));
        EXPECT_EQ(devsim::FaultNames(random),
                  std::vector<std::string>({"flood=random", "flood-after=13"}));
    }
    DeviceFaults zeros;
    ASSERT_TRUE(devsim::ApplyFault("flood=zeros", &zeros));
    EXPECT_EQ(devsim::FaultNames(zeros), std::vector<std::string>({"flood=zeros"}));
    EXPECT_FALSE(devsim::ApplyFault("flood=ones", &zeros));
    EXPECT_FALSE(devsim::ApplyFault("flood-after=0", &zeros));
}

TEST(DeviceFaults, NoFaultsHaveNoNamesAndUnknownNamesAreRefused) {
    DeviceFaults faults;
    EXPECT_TRUE(devsim::ApplyFaultList("", &faults));
    EXPECT_TRUE(devsim::FaultNames(faults).empty());
    EXPECT_EQ(devsim::FaultOptions(faults), "");
    EXPECT_FALSE(devsim::ApplyFaultList("noise bogus", &faults));
    EXPECT_FALSE(devsim::ApplyFault("refuse=256", &faults));
    EXPECT_FALSE(devsim::ApplyFault("reply-extra=-1", &faults));
    EXPECT_FALSE(devsim::ApplyFault("ignore-request=1", &faults));
    EXPECT_EQ(faults.refuseCommand, -1);
}

}  // namespace
}  // namespace korvane
