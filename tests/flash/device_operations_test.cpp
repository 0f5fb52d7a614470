// Connecting to a device and lifting its read protection, in-process against the simulated
// device: what the flash run, a fixture's probe and the service commands all build on.
#include <gtest/gtest.h>

#include "flashing/device_operations.h"
#include "platform/unique_id.h"
#include "support/test_device.h"
#include "support/timing.h"

namespace korvane {
namespace {

const UniqueId kUid = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC};

struct Device {
    explicit Device(const devsim::DeviceFaults& faults) : device(faults) {
        if (device.Unsuited().empty()) {
            EXPECT_TRUE(device.Start()) << device.ErrorText();
        }
    }
    const std::string& Unsuited() const { return device.Unsuited(); }
    PortChoice Port() const { return {device.PortPath(), device.PortPath()}; }

    testing::TestDevice device;
    DeviceLink link;
};

devsim::DeviceFaults Chip(bool readProtected) {
    devsim::DeviceFaults faults;
    faults.uid = kUid;
    faults.flashKib = 256;
    faults.readProtected = readProtected;
    return faults;
}

// A probe's short window is used for the synchronisation and given back; a port with a
// bootloader stays open for what comes next, one without is closed.
TEST(DeviceOperations, ConnectReadsTheChipAndLeavesThePortAsItsCallerNeeds) {
    Device chip(Chip(false));
    KORVANE_SKIP_IF_UNSUITED(chip);
    ConnectOptions options;
    options.syncWindowMs = DeviceLink::kProbeWindowMs;
    int opened = 0;
    options.opened = [&] { opened += chip.link.IsOpen() ? 1 : 100; };
    const DeviceContact contact = ConnectToDevice(chip.link, chip.device.PortPath(), options);
    ASSERT_EQ(contact.contact, Contact::kConnected);
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(contact.identity.productId, 0x0410);
    EXPECT_EQ(contact.signatureRead, SignatureRead::kRead);
    ASSERT_TRUE(contact.signature);
    EXPECT_EQ(contact.signature->uid, kUid);
    EXPECT_EQ(contact.signature->flashKib, 256);
    EXPECT_TRUE(chip.link.IsOpen());
    EXPECT_EQ(chip.link.ReadWindowMs(), SerialPort::kReadWindowMs);

    // A second simulated device is a pseudo-terminal of this test's own: under Wine there is
    // only the one on COM1.
#ifndef _WIN32
    devsim::DeviceFaults faults;
    faults.silent = true;
    Device silent(faults);
    const testing::SteadyTime start = testing::SteadyNow();
    const DeviceContact none = ConnectToDevice(silent.link, silent.device.PortPath(), options);
    EXPECT_LT(testing::MsBetween(start, testing::SteadyNow()), SerialPort::kReadWindowMs);
    EXPECT_EQ(none.contact, Contact::kNoBootloader);
    EXPECT_FALSE(none.flooded);
    EXPECT_FALSE(silent.link.IsOpen());
    EXPECT_EQ(silent.link.ReadWindowMs(), SerialPort::kReadWindowMs);
#endif
}

// A protected chip tells nothing of itself until unprotected, which erases its flash once;
// a chip that is no longer protected is left alone.
TEST(DeviceOperations, AProtectedChipIsToldAndUnprotectedOnce) {
    Device chip(Chip(true));
    KORVANE_SKIP_IF_UNSUITED(chip);
    const int erases = chip.device.Snapshot().EraseCount();
    const UnprotectOutcome lifted = UnprotectDevice(chip.link, chip.Port(), {});
    EXPECT_TRUE(lifted.before.contact.ReadProtected());
    EXPECT_FALSE(lifted.before.contact.signature);
    EXPECT_TRUE(lifted.sent);
    EXPECT_TRUE(lifted.cleared);
    EXPECT_EQ(lifted.said,
              "read protection is off; the flash is erased (chip " + UniqueIdText(kUid) + ")");
    EXPECT_EQ(chip.device.Snapshot().EraseCount(), erases + 1);
    chip.link.Close();

    const UnprotectOutcome again = UnprotectDevice(chip.link, chip.Port(), {});
    EXPECT_FALSE(again.sent);
    EXPECT_TRUE(again.cleared);
    EXPECT_EQ(again.uid, UniqueIdText(kUid));
    EXPECT_EQ(chip.device.Snapshot().EraseCount(), erases + 1);
}

}  // namespace
}  // namespace korvane
