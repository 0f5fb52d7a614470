// korvane-flash --watch as a line runs it: fixtures that start empty, devices put in and
// taken out while it watches, one JSON object for each device, and the operator's stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <memory>
#include <regex>
#include <set>

#include "support/tool_fixture.h"

namespace korvane {
namespace {

using testing::Pattern;

class StationWatch : public testing::ToolTest {
protected:
    void SetUp() override {
        ToolTest::SetUp();
        // Probed five times a second, so that the test need not wait long for each step.
        WriteProfile("[Setting]\nSN=20\n[Station]\nProbeMs=200\n");
        package =
            testing::WritePackage({{"DIAG.BIN", Pattern(64, 1)}, {"MCU.BIN", Pattern(300, 2)}});
    }

    // count empty fixtures, each started with these faults.
    void AddFixtures(int count, const devsim::DeviceFaults& faults = {}) {
        for (int i = 0; i < count; ++i) {
            fixtures.push_back(std::make_unique<devsim::PtySimulator>(faults));
            fixtures.back()->TakeOut();
            ASSERT_TRUE(fixtures.back()->Start());
        }
    }

    std::unique_ptr<testing::ChildProcess> Watch(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--watch"};
        for (const auto& fixture : fixtures) {
            args.push_back("--port");
            args.push_back(fixture->PortPath());
        }
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(package);
        return std::make_unique<testing::ChildProcess>(KORVANE_FLASH_EXE, args);
    }

    // How many runs have reached the device's erase command, refused or not.
    static long EraseCommands(const devsim::PtySimulator& fixture) {
        const std::vector<uint8_t> bytes = fixture.Received();
        long count = 0;
        for (size_t i = 0; i + 1 < bytes.size(); ++i) {
            count += bytes[i] == 0x43 && bytes[i + 1] == 0xBC;
        }
        return count;
    }

    // How many synchronisations the fixture's device has received: one for each probe.
    static long Syncs(const devsim::PtySimulator& fixture) {
        const std::vector<uint8_t> bytes = fixture.Received();
        return std::count(bytes.begin(), bytes.end(), uint8_t{0x7F});
    }

    static int Closings(const devsim::PtySimulator& fixture) {
        return fixture.Inspect(
            [](const devsim::SimulatedDevice& d) { return d.Loader().ClosingRequests(); });
    }

    static std::string Field(const std::string& json, const std::string& key) {
        std::smatch found;
        return std::regex_search(json, found, std::regex("\"" + key + "\":\"?([^\",}]*)"))
                   ? found[1].str()
                   : std::string();
    }

    std::string package;
    std::vector<std::unique_ptr<devsim::PtySimulator>> fixtures;
};

TEST_F(StationWatch, EachNewDeviceIsFlashedOnceAndAFailingOneHoldsUpNoOther) {
    AddFixtures(3);
    devsim::DeviceFaults refusing;
    refusing.refuseCommand = 0x43;  // its erase is refused
    AddFixtures(1, refusing);
    auto tool = Watch({"--json"});
    std::set<std::string> uids;
    std::set<int> numbers;
    const auto next = [&] {
        const std::string line = tool->ReadLine();
        uids.insert(Field(line, "uid"));
        if (Field(line, "result") == "succeeded") {
            numbers.insert(std::stoi(Field(line, "sn")));
        }
        return line;
    };
    // Devices come one after another; each is flashed as it comes.
    for (int i = 0; i < 4; ++i) {
        fixtures[i]->PutIn();
        const std::string line = next();
        EXPECT_EQ(Field(line, "device"), fixtures[i]->PortPath()) << line;
        EXPECT_EQ(Field(line, "result"), i < 3 ? "succeeded" : "failed") << line;
    }
    EXPECT_EQ(numbers, std::set<int>({20, 21, 22}));
    // Left in for 10 s, passed or failed, none is flashed again: still one run each.
    SleepMs(10000);
    for (const auto& fixture : fixtures) {
        EXPECT_EQ(EraseCommands(*fixture), 1);
    }
    // A new device in place of the first is flashed; so is the failing one put back.
    fixtures[0]->TakeOut();
    fixtures[0]->PutIn();
    EXPECT_EQ(Field(next(), "sn"), "23");
    fixtures[3]->TakeOut();
    fixtures[3]->PutIn();
    EXPECT_EQ(Field(next(), "result"), "failed");
    EXPECT_EQ(uids.size(), 6u) << "every device is told by its own unique ID";
    tool->Signal(SIGINT);
    EXPECT_EQ(tool->ReadLine(), "");  // nothing more, and the watch ends
    EXPECT_EQ(tool->WaitStatus(), 1) << "a device of this watch failed";
    EXPECT_NE(ProfileText().find("SN=24"), std::string::npos) << ProfileText();
}

// A watch restarted with its boards still in: the one that went through is neither flashed
// nor given a number again, and the one that failed holding a number is retried with it.
TEST_F(StationWatch, ARestartRenumbersNoBoard) {
    AddFixtures(1);
    devsim::DeviceFaults closingRefused;
    closingRefused.loader.refuse.push_back({0, 3, std::nullopt});
    AddFixtures(1, closingRefused);
    std::map<std::string, std::string> numbers;  // by device, from the first watch
    {
        auto tool = Watch({"--json"});
        fixtures[0]->PutIn();
        fixtures[1]->PutIn();
        for (int i = 0; i < 2; ++i) {
            const std::string line = tool->ReadLine();
            numbers[Field(line, "device")] = Field(line, "sn");
        }
        tool->Signal(SIGINT);
        EXPECT_EQ(tool->WaitStatus(), 1);
    }
    ASSERT_EQ(numbers.size(), 2u);
    auto tool = Watch({"--json"});
    const std::string line = tool->ReadLine();
    EXPECT_EQ(Field(line, "device"), fixtures[1]->PortPath()) << line;
    EXPECT_EQ(Field(line, "sn"), numbers[fixtures[1]->PortPath()]) << line;
    // A few probes more: the board that passed is still left as it is.
    const long seen = Syncs(*fixtures[0]);
    testing::PollUntil([&] { return Syncs(*fixtures[0]) >= seen + 3; });
    tool->Signal(SIGINT);
    EXPECT_EQ(tool->ReadLine(), "");
    tool->WaitStatus();
    EXPECT_EQ(Closings(*fixtures[0]), 1);
    EXPECT_EQ(EraseCommands(*fixtures[0]), 1);
}

TEST_F(StationWatch, TheFirstStopLetsTheRunsFinishTheSecondAbandonsThem) {
    devsim::DeviceFaults slow;
    slow.eraseDelayMs = 1500;
    for (const bool abandon : {false, true}) {
        fixtures.clear();
        AddFixtures(2, slow);
        AddFixtures(1);  // empty until the operator has stopped
        auto tool = Watch();
        fixtures[0]->PutIn();
        fixtures[1]->PutIn();
        // Both are in their erase when the operator stops.
        testing::PollUntil(
            [&] { return EraseCommands(*fixtures[0]) + EraseCommands(*fixtures[1]) >= 2; });
        tool->Signal(SIGINT);
        fixtures[2]->PutIn();
        if (abandon) {
            SleepMs(200);
            tool->Signal(SIGINT);
        }
        output = tool->ReadAll();
        const int status = tool->WaitStatus();
        if (!abandon) {
            EXPECT_EQ(status, 0) << output;
            EXPECT_EQ(Closings(*fixtures[0]) + Closings(*fixtures[1]), 2) << "both finished";
            EXPECT_EQ(EraseCommands(*fixtures[2]), 0) << "a device put in after the stop waits";
            EXPECT_TRUE(std::regex_search(output, std::regex("\nall +2 +0 +100\\.0%"))) << output;
        } else {
            EXPECT_EQ(status, 130) << output;
            EXPECT_EQ(Closings(*fixtures[0]) + Closings(*fixtures[1]), 0) << "both abandoned";
        }
    }
}

// A read-protected device is told once and then waits, not told again at every probe; it
// leaves its object, its record and its count like any other device.
TEST_F(StationWatch, AReadProtectedDeviceIsToldOnceAndWaitsToBeTakenOut) {
    devsim::DeviceFaults locked;
    locked.readProtected = true;
    AddFixtures(1, locked);
    auto tool = Watch({"--json"});
    fixtures[0]->PutIn();
    const std::string object = tool->ReadLine();
    EXPECT_EQ(Field(object, "result"), "failed") << object;
    EXPECT_NE(object.find("read-protected"), std::string::npos) << object;
    // The tool words what to do in its own command.
    EXPECT_NE(object.find("korvane-flash unprotect --port " + fixtures[0]->PortPath()),
              std::string::npos)
        << object;
    // Several probes find it.
    const long probed = Syncs(*fixtures[0]);
    testing::PollUntil([&] { return Syncs(*fixtures[0]) >= probed + 3; });
    tool->Signal(SIGINT);
    EXPECT_EQ(tool->ReadLine(), "") << "one object, not one a probe";
    EXPECT_EQ(tool->WaitStatus(), 1) << "the device was not flashed";
    EXPECT_EQ(EraseCommands(*fixtures[0]), 0);
    ASSERT_EQ(Run({"journal", "--csv"}), 0);
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 2) << output;
    EXPECT_NE(output.find(",failed,"), std::string::npos) << output;
}

// An empty fixture is probed once every ProbeMs, its probe's own reset and wait included:
// a device put in waits for at most the interval, not the interval and a probe more.
TEST_F(StationWatch, ProbesStartOncePerInterval) {
    WriteProfile("[Setting]\nSN=20\n[Station]\nProbeMs=700\n");
    devsim::DeviceFaults silent;  // present, so that its probes' bytes are seen; never answers
    silent.silent = true;
    AddFixtures(1, silent);
    fixtures[0]->PutIn();
    auto tool = Watch();
    std::vector<uint32_t> probes;
    testing::PollUntil([&] {
        if (Syncs(*fixtures[0]) > static_cast<long>(probes.size())) {
            probes.push_back(TickCount());
        }
        return probes.size() >= 4;
    });
    tool->Signal(SIGINT);
    tool->ReadAll();
    ASSERT_EQ(probes.size(), 4u);
    // A probe of the default wiring takes over half a second (its reset, and the wait for an
    // answer); added to the interval, no two probes would come closer than 1.2 s. The
    // closest pair is taken, so that one late wake-up of a busy machine does not count.
    uint32_t closest = UINT32_MAX;
    for (size_t i = 1; i < probes.size(); ++i) {
        closest = std::min(closest, TicksSince(probes[i - 1], probes[i]));
    }
    EXPECT_LT(closest, 1000u);
}

}  // namespace
}  // namespace korvane
