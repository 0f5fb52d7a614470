// One station flashing many ports at once with the tool: numbers drawn from the one
// counter never collide, each device has its record, and a failing port holds up no other.
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <regex>
#include <set>

#include "devsim/device_faults.h"
#include "support/timing.h"
#include "support/tool_fixture.h"

namespace korvane {
namespace {

using testing::Pattern;

const std::vector<PackageImage> kPackage = {
    {"DIAG.BIN", Pattern(300, 1)}, {"MCU.BIN", Pattern(700, 2)}, {"CFG.BIN", Pattern(600, 3)}};

class ManyPorts : public testing::ToolTest {
protected:
    // Eight devices; faults[i] for the i-th.
    void Attach(const std::vector<devsim::DeviceFaults>& faults) {
        for (const devsim::DeviceFaults& f : faults) {
            devices.push_back(std::make_unique<devsim::PtySimulator>(f));
            ASSERT_TRUE(devices.back()->Start());
            portArgs.push_back("--port");
            portArgs.push_back(devices.back()->PortPath());
        }
    }
    int RunAll(std::vector<std::string> extra) {
        std::vector<std::string> args = portArgs;
        args.insert(args.end(), extra.begin(), extra.end());
        return Run(args);
    }
    std::vector<std::unique_ptr<devsim::PtySimulator>> devices;
    std::vector<std::string> portArgs;
};

TEST_F(ManyPorts, EightDevicesAtOnceGetEightNumbersAndEightRecords) {
    WriteProfile("[Setting]\nSN=300\n");
    Attach(std::vector<devsim::DeviceFaults>(8));
    ASSERT_EQ(RunAll({"--json", testing::WritePackage(kPackage)}), 0) << output;

    // Standard output holds nothing but one object a device.
    std::set<std::string> fromJson;
    std::istringstream lines(output);
    int objects = 0;
    for (std::string line; std::getline(lines, line); ++objects) {
        ASSERT_EQ(line.front(), '{') << line;
        std::smatch number;
        ASSERT_TRUE(std::regex_search(line, number, std::regex("\"sn\":([0-9]+)"))) << line;
        fromJson.insert(number[1]);
        EXPECT_NE(line.find("\"result\":\"succeeded\""), std::string::npos) << line;
    }
    EXPECT_EQ(objects, 8);
    std::multiset<std::string> held;
    for (const auto& device : devices) {
        held.insert(RecordOf(*device).substr(8));
    }
    EXPECT_EQ(held, std::multiset<std::string>(
                        {"00300", "00301", "00302", "00303", "00304", "00305", "00306", "00307"}));
    EXPECT_EQ(fromJson,
              std::set<std::string>({"300", "301", "302", "303", "304", "305", "306", "307"}));
    EXPECT_NE(ProfileText().find("SN=308\n"), std::string::npos) << ProfileText();
    ASSERT_EQ(Run({"journal", "--csv"}), 0);
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1 + 8) << output;
}

TEST_F(ManyPorts, AFailingPortHoldsUpNoOtherAndTheSummarySaysWhy) {
    WriteProfile("[Setting]\nSN=300\n");
    std::vector<devsim::DeviceFaults> faults(8);
    faults[2].silent = true;                                  // dead
    faults[5].loader.refuse.push_back({0, 3, std::nullopt});  // refuses the closing request
    Attach(faults);
    EXPECT_EQ(RunAll({testing::WritePackage(kPackage)}), 1) << output;

    std::set<std::string> numbers;
    for (size_t i = 0; i < devices.size(); ++i) {
        const std::string port = devices[i]->PortPath();
        // The summary's line for this port: "PORT  SN  SERIAL  RESULT  SECONDS  UID  [WHY]".
        std::smatch row;
        ASSERT_TRUE(std::regex_search(
            output, row,
            std::regex("\n" + port +
                       " +([-0-9]+) +([-A-Z0-9]+) +([a-z]+) +([0-9.]+) +[-0-9a-f]+ *(.*)")))
            << output;
        const std::string record = RecordOf(*devices[i]);
        if (i == 2) {
            EXPECT_EQ(row[1], "-") << "the dead port consumed no number";
            EXPECT_EQ(row[3], "failed");
            // Why, with what to check and how to find the fixture's wiring.
            EXPECT_EQ(row[5], "no bootloader answered on " + port +
                                  ": check the device's power, its BOOT0 pin and the fixture's "
                                  "wiring; korvane-flash identify --try-wirings --port " +
                                  port + " tries the usual fixture wirings");
            continue;
        }
        numbers.insert(record.substr(8));
        EXPECT_EQ("00" + std::string(row[1]), record.substr(8));
        if (i == 5) {
            EXPECT_EQ(row[3], "failed");
            EXPECT_EQ(row[5], "the loader refused the closing request after CFG.BIN");
            continue;
        }
        EXPECT_EQ(row[3], "succeeded");
        // Done long before the dead port's read window ran out.
        EXPECT_LT(std::stod(row[4]), 3.0) << port;
    }
    EXPECT_EQ(numbers.size(), 7u);
    EXPECT_NE(ProfileText().find("SN=307\n"), std::string::npos) << ProfileText();
}

// The tool on two fresh devices paced like real ones, far enough into their runs that both
// serial records went out, numbered from first.
class TwoPacedPorts : public ManyPorts {
protected:
    std::unique_ptr<testing::ChildProcess> StartTool(const std::vector<std::string>& extra,
                                                     int first = 300) {
        WriteProfile("[Setting]\nSN=" + std::to_string(first) + "\n");
        paced.clear();
        std::vector<std::string> args = extra;
        for (int i = 0; i < 2; ++i) {
            paced.push_back(std::make_unique<devsim::PtySimulator>(devsim::DeviceFaults{}, 115200));
            EXPECT_TRUE(paced.back()->Start());
            args.insert(args.end(), {"--port", paced.back()->PortPath()});
        }
        args.push_back(testing::WritePackage({{"DIAG.BIN", Pattern(300, 1)},
                                              {"MCU.BIN", Pattern(1000, 2)},
                                              {"x_DATA.BIN", Pattern(20000, 3)}}));
        auto tool = std::make_unique<testing::ChildProcess>(KORVANE_FLASH_EXE, args);
        EXPECT_TRUE(WaitForRecord(*paced[0]) && WaitForRecord(*paced[1]));
        return tool;
    }
    int ClosingRequests(size_t device) const {
        return paced[device]->Inspect(
            [](const devsim::SimulatedDevice& d) { return d.Loader().ClosingRequests(); });
    }
    std::vector<std::unique_ptr<devsim::PtySimulator>> paced;
};

TEST_F(TwoPacedPorts, CtrlCAndAClosedTerminalEndEveryPortCleanly) {
    for (const auto& [signal, first] : {std::pair{SIGINT, 300}, std::pair{SIGHUP, 400}}) {
        const auto tool = StartTool({}, first);
        tool->Signal(signal);
        const std::string text = tool->ReadAll();
        EXPECT_EQ(tool->WaitStatus(), 128 + signal) << text;
        for (size_t i = 0; i < paced.size(); ++i) {
            // Both stopped short, and both numbers stay spent.
            EXPECT_EQ(ClosingRequests(i), 0);
            EXPECT_NE(text.find(paced[i]->PortPath() + ": The run was interrupted."),
                      std::string::npos)
                << text;
        }
        EXPECT_NE(ProfileText().find("SN=" + std::to_string(first + 2) + "\n"), std::string::npos)
            << ProfileText();
    }
}

TEST_F(TwoPacedPorts, AReaderThatGoesAwayStopsNoDevice) {
    // As "korvane-flash --json … | head -c 1" does once head has its byte.
    const auto tool = StartTool({"--json"});
    tool->CloseOutput();
    EXPECT_EQ(tool->WaitStatus(), 0);
    for (size_t i = 0; i < paced.size(); ++i) {
        EXPECT_EQ(ClosingRequests(i), 1);
    }
    ASSERT_EQ(Run({"journal", "--csv"}), 0);
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 3) << output;
    EXPECT_EQ(output.find("unfinished"), std::string::npos) << output;
}

TEST_F(ManyPorts, OnATerminalEachPortKeepsOneLineRedrawnInPlace) {
    WriteProfile("[Setting]\nSN=300\n");
    std::vector<devsim::DeviceFaults> faults(2);
    faults[1].eraseDelayMs = 600;  // long enough for the lines to be redrawn
    Attach(faults);
    const std::string package = testing::WritePackage(kPackage);
    int terminal = -1;
    const pid_t tool = forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(tool, 0);
    if (tool == 0) {
        execl(KORVANE_FLASH_EXE, KORVANE_FLASH_EXE, "--port", portArgs[1].c_str(), "--port",
              portArgs[3].c_str(), package.c_str(), nullptr);
        _exit(127);
    }
    std::string screen;
    char buffer[4096];
    for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0;) {
        screen.append(buffer, static_cast<size_t>(n));
    }
    int status = 0;
    waitpid(tool, &status, 0);
    close(terminal);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen;
    // Every frame after the first goes back over the two lines and rewrites both.
    EXPECT_NE(screen.find("\033[2A\r\033[K" + devices[0]->PortPath()), std::string::npos);
    EXPECT_NE(screen.find("\r\033[K" + devices[1]->PortPath() +
                          "  [########################################] 100%"),
              std::string::npos)
        << screen;
    EXPECT_NE(screen.find("succeeded, number 30"), std::string::npos);
    // No status line of its own: the ports' lines are all there is before the summary.
    EXPECT_EQ(screen.find("Writing the file"), screen.find("Writing the file: [")) << screen;
    EXPECT_EQ(screen.find("\n" + devices[0]->PortPath() + ": "), std::string::npos) << screen;
}

TEST_F(ManyPorts, DevicesThatTalkWithoutStoppingHoldUpNoPortAndEndSoon) {
    WriteProfile("[Setting]\nSN=500\n");
    std::vector<std::unique_ptr<devsim::PtySimulator>> paced;
    std::vector<std::string> args;
    // A flood from the first byte, one after the 13th request to the loader, random bytes,
    // and a good device beside them, all on lines as fast as real ones.
    for (const char* fault : {"flood=zeros", "flood-after=13", "flood=random", ""}) {
        devsim::DeviceFaults faults;
        ASSERT_TRUE(devsim::ApplyFaultList(fault, &faults)) << fault;
        paced.push_back(std::make_unique<devsim::PtySimulator>(faults, 115200));
        ASSERT_TRUE(paced.back()->Start());
        args.insert(args.end(), {"--port", paced.back()->PortPath()});
    }
    args.push_back(testing::WritePackage({{"DIAG.BIN", Pattern(300, 1)},
                                          {"MCU.BIN", Pattern(4000, 2)},
                                          {"CFG.BIN", Pattern(600, 3)}}));
    rusage before{};
    getrusage(RUSAGE_CHILDREN, &before);
    const uint32_t start = TickCount();
    testing::ChildProcess tool(KORVANE_FLASH_EXE, args, true);
    const std::string text = tool.ReadAll();
    EXPECT_EQ(tool.Wait(), 1) << text;
    const uint32_t took = TicksSince(start, TickCount());
    rusage after{};
    getrusage(RUSAGE_CHILDREN, &after);
    const auto ms = [](const rusage& usage) {
        return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
               (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
    };
    EXPECT_LT(took, 10000u + testing::kSchedulingSlackMs) << text;
    EXPECT_LT(ms(after) - ms(before), 0.2 * took) << text;
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_NE(text.find(paced[i]->PortPath() + " talked without stopping"), std::string::npos)
            << text;
        EXPECT_EQ(RecordOf(*paced[i]), "") << i;
    }
    EXPECT_EQ(RecordOf(*paced[3]).substr(8), "00500") << text;
}

}  // namespace
}  // namespace korvane
