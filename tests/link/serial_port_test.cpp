// SerialPort over real pseudo-terminals, with the test playing the device side.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "link/device_link.h"
#include "link/port_lock.h"
#include "link/serial_port.h"
#include "platform/debug_output.h"
#include "platform/ticks.h"
#include "support/cpu_time.h"
#include "support/held_port.h"
#include "support/pty_pair.h"
#include "support/scratch_folder.h"
#include "support/timing.h"

namespace korvane {
namespace {

using testing::PtyPair;
using Bytes = std::vector<uint8_t>;

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(line.Path().empty());
        ASSERT_TRUE(port.OpenDevice(line.Path(), 115200));
    }
    PtyPair line;
    SerialPort port;
};

TEST_F(SerialPortTest, WriteSendsAndTracesEveryByteWithoutLineEnd) {
    DebugCapture trace;
    const uint8_t bytes[] = {0x7F, 0x00, 0xAB};
    EXPECT_EQ(port.Write(bytes, 3), 3);
    EXPECT_EQ(trace.Text(), "7F 00 AB ");
    EXPECT_EQ(line.Drain(3), Bytes({0x7F, 0x00, 0xAB}));
}

TEST_F(SerialPortTest, EmptyWritesAndClosedPortsWriteAndTraceNothing) {
    DebugCapture trace;
    const uint8_t byte = 0x55;
    EXPECT_EQ(port.Write(&byte, 0), 0);
    EXPECT_EQ(port.Write(&byte, -5), 0);
    port.Close();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.Write(&byte, 1), 0);
    uint8_t in = 0;
    EXPECT_EQ(port.Read(&in, 1), 0);
    EXPECT_EQ(trace.Text(), "");
    EXPECT_EQ(line.Drain(), Bytes());
    // Closing again, and purging a closed port, do nothing.
    port.Close();
    port.PurgeReceive();
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(SerialPortTest, ReadReturnsAsSoonAsAllBytesHaveCome) {
    std::thread device([this] {
        SleepMs(50);
        line.Send({1, 2});
        SleepMs(30);
        line.Send({3, 4});
    });
    uint8_t buffer[4] = {};
    const uint32_t start = TickCount();
    EXPECT_EQ(port.Read(buffer, 4), 4);
    EXPECT_LT(TicksSince(start, TickCount()), 1000u);
    EXPECT_EQ(Bytes(buffer, buffer + 4), Bytes({1, 2, 3, 4}));
    device.join();
}

TEST_F(SerialPortTest, ReadReturnsWhatCameWhenTheWindowRunsOut) {
    line.Send({9, 8, 7, 6, 5});
    uint8_t buffer[12] = {};
    const uint32_t start = TickCount();
    EXPECT_EQ(port.Read(buffer, 12), 5);
    const uint32_t took = TicksSince(start, TickCount());
    EXPECT_GT(took, 3000u);
    EXPECT_LT(took, SerialPort::kReadWindowMs + testing::kSchedulingSlackMs);
    EXPECT_EQ(Bytes(buffer, buffer + 5), Bytes({9, 8, 7, 6, 5}));
}

// A one-byte read gets nothing, a little over one read window after the call, and the
// wait costs no processor time.
void ExpectOneSilentWindow(SerialPort& port) {
    uint8_t byte = 0;
    const double cpuBefore = testing::ProcessCpuMs();
    const uint32_t start = TickCount();
    EXPECT_EQ(port.Read(&byte, 1), 0);
    const uint32_t took = TicksSince(start, TickCount());
    EXPECT_GT(took, 3000u);
    EXPECT_LT(took, SerialPort::kReadWindowMs + testing::kSchedulingSlackMs);
    EXPECT_LT(testing::ProcessCpuMs() - cpuBefore, 100.0);
}

TEST_F(SerialPortTest, SilentLineCostsNoProcessorTime) {
    ExpectOneSilentWindow(port);
}

TEST_F(SerialPortTest, VanishedDeviceEndsTheReadAtOnceAndSaysSo) {
    EXPECT_FALSE(port.LineGone());
    line.CloseMaster();
    uint8_t byte = 0;
    const uint32_t start = TickCount();
    EXPECT_EQ(port.Read(&byte, 1), 0);
    EXPECT_LT(TicksSince(start, TickCount()), 1000u);
    EXPECT_TRUE(port.LineGone());
}

TEST_F(SerialPortTest, OpenDiscardsWhatWasWaitingAndReopensCleanly) {
    line.Send({0xAA, 0xBB});
    ASSERT_TRUE(line.WaitForHostInput(2));
    ASSERT_TRUE(port.OpenDevice(line.Path(), 115200));
    line.Send({0xCC});
    uint8_t byte = 0;
    EXPECT_EQ(port.Read(&byte, 1), 1);
    EXPECT_EQ(byte, 0xCC);

    // A failing re-open leaves the port closed, and says why.
    EXPECT_FALSE(port.OpenDevice("/nonexistent/tty", 115200));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.LastOpenFailure(), OpenFailure::kNoSuchDevice);
    EXPECT_EQ(port.OpenError(), std::strerror(ENOENT));
}

TEST_F(SerialPortTest, PurgeReceiveDropsPendingInput) {
    line.Send({1, 2, 3});
    ASSERT_TRUE(line.WaitForHostInput(3));
    port.PurgeReceive();
    line.Send({4});
    uint8_t byte = 0;
    EXPECT_EQ(port.Read(&byte, 1), 1);
    EXPECT_EQ(byte, 4);
}

TEST_F(SerialPortTest, PortHeldByAnotherUserCannotBeOpened) {
    SerialPort second;
    EXPECT_FALSE(second.OpenDevice(line.Path(), 115200));
    port.Close();
    EXPECT_TRUE(second.OpenDevice(line.Path(), 115200));
}

TEST_F(SerialPortTest, RawModeKeepsEveryByteValue) {
    Bytes all(256);
    for (int i = 0; i < 256; ++i)
        all[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    line.Send(all);
    Bytes got(256);
    EXPECT_EQ(port.Read(got.data(), 256), 256);
    EXPECT_EQ(got, all);
    EXPECT_EQ(port.Write(all.data(), 256), 256);
    EXPECT_EQ(line.Drain(all.size()), all);
}

TEST_F(SerialPortTest, MarkedStreamIsDecoded) {
    // A pseudo-terminal cannot produce parity errors, but it can be made to mark its
    // stream; a received 0xFF then comes doubled and must still read as one 0xFF.
    termios settings{};
    ASSERT_EQ(tcgetattr(line.Master(), &settings), 0);
    settings.c_iflag |= PARMRK;
    ASSERT_EQ(tcsetattr(line.Master(), TCSANOW, &settings), 0);
    line.Send({0x01, 0xFF, 0x02, 0xFF});
    uint8_t buffer[4] = {};
    EXPECT_EQ(port.Read(buffer, 4), 4);
    EXPECT_EQ(Bytes(buffer, buffer + 4), Bytes({0x01, 0xFF, 0x02, 0xFF}));
}

TEST(SerialPortNaming, PortNumbersOpenThePlatformsOwnNames) {
    EXPECT_EQ(PlatformPortName(1), "/dev/ttyS0");
    EXPECT_EQ(PlatformPortName(8), "/dev/ttyS7");
}

class SerialPortLocks : public ::testing::Test {
protected:
    testing::LockFolderOfOurOwn locks{testing::TempFile("locks")};
    PtyPair line;
    SerialPort port;
};

TEST_F(SerialPortLocks, PortLockedByALiveProcessIsNotOpenedAndTheHolderIsNamed) {
    testing::PortHolder other(line.Path());
    EXPECT_FALSE(port.OpenDevice(line.Path(), 115200));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.LastOpenFailure(), OpenFailure::kHeld);
    EXPECT_EQ(port.Holder(), other.Description());
    const uint8_t byte = 0x7F;
    EXPECT_EQ(port.Write(&byte, 1), 0);
    EXPECT_EQ(line.Drain(), Bytes());
}

TEST_F(SerialPortLocks, OurLockLivesWhileThePortIsOpenAndAStaleOneIsTakenOver) {
    const std::string lockFile = LockFilePath(line.Path());
    EXPECT_EQ(lockFile,
              locks.folder + "/LCK.." + line.Path().substr(5, 3) + "_" + line.Path().substr(9));
    {
        // A process that has ended leaves its lock behind.
        testing::ChildProcess gone("true", {});
        const long pid = gone.Pid();
        gone.Wait();
        testing::WriteLockFile(line.Path(), pid);
    }
    ASSERT_TRUE(port.OpenDevice(line.Path(), 115200)) << port.Holder();
    std::ifstream held(lockFile);
    long owner = 0;
    held >> owner;
    EXPECT_EQ(owner, static_cast<long>(getpid()));
    // A second open in the same program is refused like anyone else's.
    SerialPort second;
    EXPECT_FALSE(second.OpenDevice(line.Path(), 115200));
    port.Close();
    EXPECT_NE(access(lockFile.c_str(), F_OK), 0) << "the lock outlived the port";
}

TEST(PortHolders, ProcessesHoldingAFileAreFoundByName) {
    const std::string path = testing::TempFile("held");
    std::ofstream(path) << "x";
    EXPECT_TRUE(ProcessesHolding(path).empty());
    testing::ChildProcess holder("sh", {"-c", "exec sleep 60 < '" + path + "'"});
    const std::string expected = "sleep (pid " + std::to_string(holder.Pid()) + ")";
    // The shell opens the file and becomes sleep in its own time.
    for (int i = 0; i < 500 && ProcessesHolding(path) != std::vector<std::string>({expected});
         ++i) {
        SleepMs(10);
    }
    EXPECT_EQ(ProcessesHolding(path), std::vector<std::string>({expected}));
    holder.Terminate();
    std::remove(path.c_str());
}

TEST(PortHolders, PseudoTerminalsAreToldFromOtherDevices) {
    PtyPair line;
    EXPECT_TRUE(IsPseudoTerminal(line.Path()));
    EXPECT_FALSE(IsPseudoTerminal("/dev/null"));
}

// The null device, which nearly every process holds open, is refused for what it is, no
// terminal, rather than for who else has it.
TEST(PortHolders, ADeviceThatIsNoTerminalIsNoSerialPortWhoeverHoldsIt) {
    testing::ChildProcess holder("sh", {"-c", "exec sleep 60 < /dev/null"});
    const std::string sleeper = "sleep (pid " + std::to_string(holder.Pid()) + ")";
    const auto held = [&] {
        const std::vector<std::string> found = ProcessesHolding("/dev/null");
        return std::find(found.begin(), found.end(), sleeper) != found.end();
    };
    for (int i = 0; i < 500 && !held(); ++i) {
        SleepMs(10);
    }
    ASSERT_TRUE(held());
    SerialPort port;
    EXPECT_FALSE(port.OpenDevice("/dev/null", 115200));
    EXPECT_EQ(port.LastOpenFailure(), OpenFailure::kNotASerialPort);
    EXPECT_EQ(port.Holder(), "");
    EXPECT_EQ(port.OpenError(), std::strerror(ENOTTY));
}

TEST(SerialPortLifetime, DestroyingAnOpenLinkClosesThePort) {
    PtyPair line;
    {
        DeviceLink link;
        ASSERT_TRUE(link.OpenDevice(line.Path(), 115200));
    }
    SerialPort again;
    EXPECT_TRUE(again.OpenDevice(line.Path(), 115200));
}

}  // namespace
}  // namespace korvane
