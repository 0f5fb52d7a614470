// Sequence numbers across processes and faults, with the tool run as an operator runs
// it: two tools at once, a tool killed or interrupted mid-run, a damaged profile, one
// that cannot be written. Whatever happens, no two devices hold the same number and the
// stored counter is ahead of every number a device received.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <set>

#include "platform/ticks.h"
#include "support/tool_fixture.h"

namespace korvane {
namespace {

using testing::ChildProcess;
using testing::Pattern;

// About two seconds on a line paced at 115200 baud, most of it after the serial record.
const std::vector<PackageImage> kLongPackage = {{"DIAG.BIN", Pattern(300, 1)},
                                                {"MCU.BIN", Pattern(1000, 2)},
                                                {"x_DATA.BIN", Pattern(20000, 3)}};
const std::vector<PackageImage> kShortPackage = {{"DIAG.BIN", Pattern(30, 1)},
                                                 {"MCU.BIN", Pattern(70, 2)}};

class Numbering : public testing::ToolTest {
protected:
    static std::unique_ptr<devsim::PtySimulator> PacedDevice(
        const devsim::DeviceFaults& faults = {}) {
        auto paced = std::make_unique<devsim::PtySimulator>(faults, 115200);
        EXPECT_TRUE(paced->Start());
        return paced;
    }

    static ChildProcess StartTool(const devsim::PtySimulator& on, const std::string& package) {
        return ChildProcess(KORVANE_FLASH_EXE, {"--port", on.PortPath(), package});
    }

    bool Stored(int sequenceNumber) const {
        return ProfileText().find("SN=" + std::to_string(sequenceNumber) + "\n") !=
               std::string::npos;
    }
};

std::string LastLine(const std::string& text) {
    const size_t end = text.find_last_not_of('\n');
    const size_t start = text.rfind('\n', end);
    return text.substr(start == std::string::npos ? 0 : start + 1, end - start);
}

TEST_F(Numbering, TwoToolsAtOnceNeverGiveTwoDevicesOneNumber) {
    WriteProfile("[Setting]\nSN=41\n");
    const std::string package = testing::WritePackage(kLongPackage);
    auto one = PacedDevice();
    auto two = PacedDevice();
    ChildProcess first = StartTool(*one, package);
    ChildProcess second = StartTool(*two, package);
    const std::string firstOutput = first.ReadAll();
    const std::string secondOutput = second.ReadAll();
    const int firstStatus = first.Wait();
    const int secondStatus = second.Wait();

    if (firstStatus == 0 && secondStatus == 0) {
        const std::set<std::string> numbers = {RecordOf(*one).substr(8), RecordOf(*two).substr(8)};
        EXPECT_EQ(numbers, std::set<std::string>({"00041", "00042"}));
        EXPECT_TRUE(Stored(43)) << ProfileText();
        return;
    }
    // The one that came second found the counter taken and sent nothing at all.
    ASSERT_NE(firstStatus, secondStatus) << firstOutput << secondOutput;
    const bool firstRefused = firstStatus == 1;
    const devsim::PtySimulator& refused = firstRefused ? *one : *two;
    const std::string& refusal = firstRefused ? firstOutput : secondOutput;
    EXPECT_NE(refusal.find("in use by another program: korvane-flash (process "), std::string::npos)
        << refusal;
    EXPECT_TRUE(refused.Received().empty());
    EXPECT_EQ(RecordOf(firstRefused ? *two : *one).substr(8), "00041");
    EXPECT_TRUE(Stored(42)) << ProfileText();
}

TEST_F(Numbering, ARecordSentIsANumberSpentWhateverFollows) {
    // The closing request is refused after the device received its record.
    devsim::DeviceFaults refusing;
    refusing.loader.refuse.push_back({0, 3, std::nullopt});
    devsim::PtySimulator refusingDevice(refusing);
    ASSERT_TRUE(refusingDevice.Start());
    WriteProfile("[Setting]\nSN=41\n");
    const std::string package = testing::WritePackage(kShortPackage);
    EXPECT_EQ(Run({"--port", refusingDevice.PortPath(), package}), 1);
    EXPECT_EQ(RecordOf(refusingDevice).substr(8), "00041");
    EXPECT_TRUE(Stored(42)) << ProfileText();

    // The tool is killed right after its device received its record: the advance is
    // already stored, and the next run takes over the dead tool's lock.
    auto paced = PacedDevice();
    ChildProcess killed = StartTool(*paced, testing::WritePackage(kLongPackage));
    ASSERT_TRUE(WaitForRecord(*paced));
    killed.Signal(SIGKILL);
    EXPECT_EQ(killed.WaitStatus(), 128 + SIGKILL);
    EXPECT_EQ(RecordOf(*paced).substr(8), "00042");
    EXPECT_TRUE(Stored(43)) << ProfileText();
    ASSERT_EQ(Run({"--port", device.PortPath(), package}), 0) << output;
    EXPECT_EQ(RecordOf(device).substr(8), "00043");
    EXPECT_TRUE(Stored(44)) << ProfileText();
}

TEST_F(Numbering, InterruptedRunsEndCleanlyWithTheirNumberSpent) {
    const std::string package = testing::WritePackage(kLongPackage);
    // Each round numbers from where the journal's records end: it refuses a number
    // another device holds.
    int first = 41;
    for (const auto& [signalNumber, status] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}}) {
        WriteProfile("[Setting]\nSN=" + std::to_string(first) + "\n");
        auto paced = PacedDevice();
        ChildProcess tool = StartTool(*paced, package);
        ASSERT_TRUE(WaitForRecord(*paced));
        tool.Signal(signalNumber);
        const std::string text = tool.ReadAll();
        EXPECT_EQ(tool.WaitStatus(), status);
        EXPECT_EQ(LastLine(text), "The run was interrupted.") << text;
        EXPECT_TRUE(Stored(++first)) << ProfileText();
        // Abandoned at once, not finished: the data image stopped short, no closing
        // request, and the port's exclusive mark is lifted for the next program.
        paced->Inspect([](const devsim::SimulatedDevice& d) {
            EXPECT_LT(d.Loader().DataBlocks().size(), 20000u / 512 / 2);
            EXPECT_EQ(d.Loader().ClosingRequests(), 0);
        });
        const int fd = open(paced->PortPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        int exclusive = -1;
        EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 0);
        close(fd);
    }
}

TEST_F(Numbering, ADamagedNumberStartsNoRunAndIsLeftUntilANumberIsGiven) {
    const std::string package = testing::WritePackage(kShortPackage);
    const auto holds = [](const std::string& value) {
        return "key \"SN\" of section \"Setting\" holds \"" + value + "\"";
    };
    const std::string twice =
        "The sequence number in " + ProfilePath() +
        " is damaged: key \"SN\" of section \"Setting\" is given twice, \"10\" and \"20\".";
    struct Damaged {
        std::string profile;
        std::string said;
        int status = 1;
    };
    const std::vector<Damaged> table = {
        {"[Setting]\nPort=0\nSN=abc\n", holds("abc")},
        {"[Setting]\nSN=5.7\n", holds("5.7")},
        {"[Setting]\nSN=\n", holds("")},
        {"[Setting]\nSN=4294967396\n", holds("4294967396")},
        {"[Setting]\nSN=0\n", holds("0")},
        // Bytes before the header hide the section from the reader, not the number.
        {std::string("\0\0\0\0[Setting]\nSN=41\n", 19), holds("41")},
        // The reader would take one, the counter advance the other: every run one number.
        {"[Setting]\nSN=10\nPort=0\nSN=20\n", twice},
        {"[Setting]\nSN=10\n[Journal]\nStation=a\n[Setting]\nSN=20\n", twice},
        // The reader finds no "SN" at all there, and would start again at 1.
        {"[setting]\nsn=90\n",
         "key \"SN\" of section \"Setting\" is spelled in another case, \"sn\" of section "
         "\"setting\", holding \"90\"."},
        {"[Setting]\nSN=100000\n",
         "The sequence numbers of " + ProfilePath() +
             " are used up: the last number, 99999, has been given; give a new range with --sn."},
        // The station's settings, whichever counter: the tool refuses them as settings.
        {"[Setting]\nSN=41\n[Journal]\nCounter=profile\nCounter=journal\n",
         "The profile " + ProfilePath() +
             " is damaged: key \"Counter\" of section \"Journal\" is given twice, \"profile\" "
             "and \"journal\".",
         2},
        {"[Setting]\nSN=41\n[Ports]\ncom1=/dev/null\n",
         "key \"COM1\" of section \"Ports\" is spelled in another case, \"com1\"", 2},
    };
    for (const Damaged& damaged : table) {
        WriteProfile(damaged.profile);
        device.ClearReceived();
        EXPECT_EQ(Run({"--port", device.PortPath(), package}, true), damaged.status) << output;
        EXPECT_TRUE(device.Received().empty()) << damaged.said;
        EXPECT_NE(output.find(ProfilePath()), std::string::npos) << output;
        EXPECT_NE(output.find(damaged.said), std::string::npos) << output;
        EXPECT_EQ(ProfileText(), damaged.profile);
    }
    // A number the operator gives replaces every entry that stood for the damaged one.
    WriteProfile("[Setting]\nSN=10\nPort=0\nsn=20\n");
    ASSERT_EQ(Run({"--port", device.PortPath(), "--sn", "5", package}), 0) << output;
    EXPECT_EQ(ProfileText(), "[Setting]\nSN=6\nPort=0\n");
    ASSERT_EQ(Run({"--port", device.PortPath(), package}), 0) << output;
    EXPECT_EQ(RecordOf(device).substr(8), "00006");
    // A profile that cannot be read at all.
    device.ClearReceived();
    std::remove(ProfilePath().c_str());
    ASSERT_EQ(mkdir(ProfilePath().c_str(), 0700), 0);
    EXPECT_EQ(Run({"--port", device.PortPath(), package}), 1);
    EXPECT_TRUE(device.Received().empty());
    EXPECT_NE(output.find("The profile " + ProfilePath() + " cannot be read"), std::string::npos)
        << output;
}

TEST_F(Numbering, AnAdvanceThatCannotBeSavedSendsNoRecord) {
    // The profile is too big to be written again by a process that may write no more
    // than 512 KiB to a file; the lock file and the journal still fit.
    const std::string profile =
        "[Setting]\nSN=41\n\n[Notes]\nText=" + std::string(600000, 'x') + "\n";
    WriteProfile(profile);
    const std::string package = testing::WritePackage(kShortPackage);
    ChildProcess tool("/bin/sh", {"-c", "trap '' XFSZ; ulimit -f 1024; exec \"$0\" \"$@\"",
                                  KORVANE_FLASH_EXE, "--port", device.PortPath(), package});
    const std::string text = tool.ReadAll();
    EXPECT_EQ(tool.Wait(), 1) << text;
    EXPECT_NE(text.find("The next sequence number 42 could not be saved to " + ProfilePath()),
              std::string::npos)
        << text;
    EXPECT_EQ(RecordOf(device), "");
    EXPECT_EQ(ProfileText(), profile);
}

}  // namespace
}  // namespace korvane
