// The simulator as a program of its own, and an independent bootloader client against it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <random>

#include "devsim/device_faults.h"
#include "link/device_link.h"
#include "support/child_process.h"
#include "support/scratch_folder.h"
#include "support/simulated_line.h"

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
}

TEST(DevsimProgram, PrintsItsTerminalLinksItAndDumpsTheFlashOnExit) {
    const std::string link = testing::TempFile("port");
    const std::string dump = testing::TempFile("flash.bin");
    testing::ChildProcess sim(KORVANE_DEVSIM_EXE, {"--link", link, "--dump", dump});
    ASSERT_TRUE(sim.Running());
    const std::string pty = sim.ReadLine();
    EXPECT_EQ(pty.rfind("/dev/pts/", 0), 0u) << pty;

    DeviceLink device;
    ASSERT_TRUE(device.OpenDevice(link, 115200));
    ASSERT_TRUE(device.Sync());
    ASSERT_TRUE(device.EraseAll());
    const uint8_t data[] = {0xDE, 0xAD, 0xBE, 0xEF};
    ASSERT_TRUE(device.WriteMemory(0x08000010, data, 4));
    device.Close();

    EXPECT_EQ(sim.Terminate(), 0);
    const Bytes flash = ReadFile(dump);
    ASSERT_EQ(flash.size(), 128u * 1024u);
    EXPECT_EQ(Bytes(flash.begin() + 0x10, flash.begin() + 0x14), Bytes(data, data + 4));
    EXPECT_EQ(flash[0], 0xFF);
    struct stat info {};
    EXPECT_NE(lstat(link.c_str(), &info), 0) << "the link outlived the simulator";
}

TEST(DevsimProgram, RejectsUnknownFaults) {
    testing::ChildProcess sim(KORVANE_DEVSIM_EXE, {"--fault", "bogus"});
    EXPECT_EQ(sim.Wait(), 2);
}

// The way the Windows tests reach the simulator, tried natively: the program runs with a
// state folder, and the tests find it through the environment.
class ExternalSimulator : public ::testing::Test {
protected:
    explicit ExternalSimulator(std::string fault = "nack-before-ack") : fault(std::move(fault)) {}

    void SetUp() override {
        folder = testing::TempFile("state");
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        port = testing::TempFile("external-port");
        sim = std::make_unique<testing::ChildProcess>(
            KORVANE_DEVSIM_EXE,
            std::vector<std::string>{"--link", port, "--state-dir", folder, "--fault", fault});
        ASSERT_FALSE(sim->ReadLine().empty());
        setenv("KORVANE_TEST_PORT", port.c_str(), 1);
        setenv("KORVANE_TEST_DUMP_DIR", folder.c_str(), 1);
        setenv("KORVANE_TEST_FAULTS", fault.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("KORVANE_TEST_PORT");
        unsetenv("KORVANE_TEST_DUMP_DIR");
        unsetenv("KORVANE_TEST_FAULTS");
        unsetenv("KORVANE_TEST_BAUD");
        sim.reset();
        std::system(("rm -rf '" + folder + "'").c_str());
    }
    devsim::DeviceFaults Faults() const {
        devsim::DeviceFaults faults;
        EXPECT_TRUE(devsim::ApplyFault(fault, &faults));
        return faults;
    }

    const std::string fault;
    std::string folder;
    std::string port;
    std::unique_ptr<testing::ChildProcess> sim;
};

TEST_F(ExternalSimulator, TestsSeeWhatTheDeviceHoldsAndEachStartsAfresh) {
    const uint8_t data[] = {0xDE, 0xAD, 0xBE, 0xEF};
    UniqueId uid{};
    {
        testing::SimulatedLine line(Faults());
        ASSERT_TRUE(line.Ready()) << line.device.ErrorText();
        ASSERT_TRUE(line.link.Sync());
        line.device.ClearReceived();
        ASSERT_TRUE(line.link.WriteMemory(0x08000010, data, 4));
        // What the host sent last is taken in before the state is written.
        EXPECT_EQ(line.device.Received(),
                  Bytes({0x31, 0xCE, 0x08, 0x00, 0x00, 0x10, 0x18, 0x03, 0xDE, 0xAD, 0xBE, 0xEF,
                         0x03 ^ 0xDE ^ 0xAD ^ 0xBE ^ 0xEF}));
        const Bytes flash = line.device.FlashImage();
        ASSERT_EQ(flash.size(), 128u * 1024u);
        EXPECT_EQ(Bytes(flash.begin() + 0x10, flash.begin() + 0x14), Bytes(data, data + 4));
        ASSERT_TRUE(line.link.Go());
        EXPECT_TRUE(line.device.Started());
        uid = line.device.Snapshot().Uid();
    }
    testing::SimulatedLine fresh(Faults());
    ASSERT_TRUE(fresh.Ready()) << fresh.device.ErrorText();
    const devsim::DeviceSnapshot state = fresh.device.Snapshot();
    EXPECT_FALSE(state.Started());
    EXPECT_EQ(state.Flash()[0x10], 0xFF);
    EXPECT_TRUE(state.received.empty());
    EXPECT_EQ(state.Uid(), uid) << "a fresh start is the same part, with the same unique ID";
    EXPECT_TRUE(fresh.link.Sync()) << "the fresh device is back in its bootloader";
}

TEST_F(ExternalSimulator, TestsThatNeedOtherFaultsNameTheOptionsTheyNeed) {
    devsim::DeviceFaults other;
    other.refuseCommand = 0x43;
    other.loader.ignore.push_back({1, 2, 0x08000100});
    testing::SimulatedLine line(other);
    EXPECT_FALSE(line.Ready());
    EXPECT_EQ(line.Unsuited(), std::string(testing::kNeedsSimulatorText) +
                                   " --fault refuse=67 --fault ignore-request=1.2@0x08000100");
    EXPECT_TRUE(testing::SimulatedLine(Faults()).Unsuited().empty());

    // A line paced like a real one is asked for the same way, and must be the runner's pace.
    EXPECT_EQ(testing::TestDevice(Faults(), 115200).Unsuited(),
              std::string(testing::kNeedsSimulatorText) + " --baud 115200 --fault nack-before-ack");
    setenv("KORVANE_TEST_BAUD", "115200", 1);
    EXPECT_TRUE(testing::TestDevice(Faults(), 115200).Unsuited().empty());
    EXPECT_FALSE(testing::TestDevice(Faults()).Unsuited().empty());
}

class FloodingSimulator : public ExternalSimulator {
protected:
    FloodingSimulator() : ExternalSimulator("flood=zeros") {}
};

// A flood into a terminal that nobody reads (the host closed the port) wedges neither the
// terminal nor the simulator: the next run is flooded as before, a test runner's request
// is served, and the program ends cleanly when terminated.
TEST_F(FloodingSimulator, KeepsServingWhileNobodyReadsItsFlood) {
    for (int run = 0; run < 2; ++run) {
        DeviceLink link;
        ASSERT_TRUE(link.OpenDevice(port, 115200));
        EXPECT_FALSE(link.Sync());
        EXPECT_EQ(link.LastFailure(), LinkFailure::kFlood) << "run " << run;
    }
    testing::SimulatedLine fresh(Faults());
    ASSERT_TRUE(fresh.Ready()) << fresh.device.ErrorText();
    EXPECT_FALSE(fresh.link.Sync());
    EXPECT_EQ(fresh.link.LastFailure(), LinkFailure::kFlood);
    fresh.link.Close();
    EXPECT_EQ(sim->Terminate(), 0);
}

// An independent implementation of the bootloader protocol writes, verifies and reads
// back an image: the simulator speaks the real protocol, not only our reading of it.
TEST(DevsimProgram, IndependentBootloaderClientWritesVerifiesAndReadsBack) {
    const std::string link = testing::TempFile("peer-port");
    const std::string image = testing::TempFile("image.bin");
    const std::string back = testing::TempFile("back.bin");
    Bytes bytes(3000);
    std::mt19937 random(11);
    for (auto& b : bytes)
        b = static_cast<uint8_t>(random());
    WriteFile(image, bytes);

    testing::ChildProcess sim(KORVANE_DEVSIM_EXE, {"--link", link});
    ASSERT_FALSE(sim.ReadLine().empty());
    // Pseudo-terminals refuse parity, so the peer is told to use none.
    ASSERT_EQ(
        testing::RunCommand("stm32flash", {"-m", "8n1", "-b", "115200", "-w", image, "-v", link}),
        0);
    ASSERT_EQ(testing::RunCommand("stm32flash", {"-m", "8n1", "-b", "115200", "-r", back, "-S",
                                                 "0x08000000:3000", link}),
              0);
    EXPECT_EQ(ReadFile(back), bytes);
    std::remove(image.c_str());
    std::remove(back.c_str());
}

// The same peer finds a read-protected part, lifts the protection and reads the
// electronic signature that the simulator was given.
TEST(DevsimProgram, IndependentBootloaderClientUnprotectsAndReadsTheSignature) {
    const std::string link = testing::TempFile("protected-port");
    const std::string signature = testing::TempFile("signature.bin");
    testing::ChildProcess sim(KORVANE_DEVSIM_EXE,
                              {"--link", link, "--uid", "00112233445566778899AABB", "--flash-kib",
                               "64", "--fault", "read-protected"});
    ASSERT_FALSE(sim.ReadLine().empty());
    const std::vector<std::string> read = {"-m", "8n1",           "-b", "115200", "-r", signature,
                                           "-S", "0x1FFFF7E0:20", link};
    EXPECT_NE(testing::RunCommand("stm32flash", read), 0) << "read through read protection";
    ASSERT_EQ(testing::RunCommand("stm32flash", {"-m", "8n1", "-b", "115200", "-k", link}), 0);
    ASSERT_EQ(testing::RunCommand("stm32flash", read), 0);
    EXPECT_EQ(ReadFile(signature),
              Bytes({0x40, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x11,
                     0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB}));
    std::remove(signature.c_str());
}

}  // namespace
}  // namespace korvane
