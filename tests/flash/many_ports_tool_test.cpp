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

// All the tool writes to a terminal of columns columns (0: one that does not say), run
// with these arguments until it ends; its exit status in status.
std::string OnATerminal(const std::vector<std::string>& args, unsigned short columns, int& status) {
    winsize size{};
    size.ws_row = 24;
    size.ws_col = columns;
    int terminal = -1;
    const pid_t tool = forkpty(&terminal, nullptr, nullptr, &size);
    if (tool == 0) {
        std::vector<char*> argv = {const_cast<char*>(KORVANE_FLASH_EXE)};
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(KORVANE_FLASH_EXE, argv.data());
        _exit(127);
    }
    std::string screen;
    char buffer[4096];
    for (ssize_t n; tool > 0 && (n = read(terminal, buffer, sizeof buffer)) > 0;) {
        screen.append(buffer, static_cast<size_t>(n));
    }
    status = -1;
    if (tool > 0) {
        waitpid(tool, &status, 0);
        close(terminal);
    }
    return screen;
}

// The lines of the board's last frame: those after its last move back up.
std::vector<std::string> LastFrame(const std::string& screen, size_t ports) {
    const size_t start = screen.rfind("\033[" + std::to_string(ports) + "A");
    std::vector<std::string> lines;
    std::istringstream frame(start == std::string::npos ? std::string() : screen.substr(start));
    for (std::string line; lines.size() < ports && std::getline(frame, line);) {
        const size_t text = line.find("\r\033[K");
        line = text == std::string::npos ? line : line.substr(text + 4);
        lines.push_back(line.substr(0, line.find('\r')));  // the terminal's own line end
    }
    return lines;
}

TEST_F(ManyPorts, OnATerminalEachPortKeepsOneLineRedrawnInPlace) {
    WriteProfile("[Setting]\nSN=300\n");
    std::vector<devsim::DeviceFaults> faults(2);
    faults[1].eraseDelayMs = 600;  // long enough for the lines to be redrawn
    Attach(faults);
    int status = 0;
    const std::string screen = OnATerminal(
        {"--port", portArgs[1], "--port", portArgs[3], testing::WritePackage(kPackage)}, 0, status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen;
    // Every frame after the first goes back over the two lines and rewrites both.
    EXPECT_NE(screen.find("\033[2A\r\033[K"), std::string::npos);
    EXPECT_TRUE(std::regex_search(
        screen, std::regex("\r\033\\[KFLASHING +" + devices[1]->PortPath() +
                           "  [0-9]{2}:[0-9]{2}  \\[#+\\] 100%  Finished to write the file \\[")))
        << screen;
    EXPECT_EQ(LastFrame(screen, 2).front().rfind("PASS " + RecordOf(*devices[0]), 0), 0u) << screen;
    // No status line of its own: the ports' lines are all there is before the summary.
    EXPECT_EQ(screen.find("\nWriting the file"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("\n" + devices[0]->PortPath() + ": "), std::string::npos) << screen;
}

// Ports named as the guide advises, by their /dev/serial/by-id/ names, which alone fill
// most of an 80-column line.
TEST_F(ManyPorts, AtEightyColumnsEveryPortsLineStillShowsItsResultAndSerial) {
    WriteProfile("[Setting]\nSN=300\n");
    std::vector<devsim::DeviceFaults> faults(3);
    faults[1].refuseWriteAt = 0x08000100;                     // the loader's second chunk
    faults[2].loader.refuse.push_back({0, 3, std::nullopt});  // after its serial record
    Attach(faults);
    const std::string byId = testing::TempFile("serial") + "/by-id/";
    ASSERT_EQ(std::system(("mkdir -p " + byId).c_str()), 0);
    std::vector<std::string> args;
    for (size_t i = 0; i < devices.size(); ++i) {
        const std::string name =
            byId + "usb-FTDI_FT232R_USB_UART_A10K3J8" + std::to_string(i) + "-if00-port0";
        ASSERT_EQ(symlink(devices[i]->PortPath().c_str(), name.c_str()), 0);
        args.insert(args.end(), {"--port", name});
    }
    args.push_back(testing::WritePackage(kPackage));
    int status = 0;
    const std::string screen = OnATerminal(args, 80, status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << screen;
    const std::vector<std::string> lines = LastFrame(screen, 3);
    ASSERT_EQ(lines.size(), 3u) << screen;
    // The refused write fails its entry; the others, the serial record among them, go in.
    const std::string serials[] = {RecordOf(*devices[0]), RecordOf(*devices[1]),
                                   RecordOf(*devices[2])};
    const char* results[] = {"PASS ", "FAIL ", "FAIL "};
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].rfind(results[i] + serials[i], 0), 0u) << lines[i];
        // Characters, not bytes: a shortened name holds a three-byte "…".
        EXPECT_LT(
            std::count_if(lines[i].begin(), lines[i].end(),
                          [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }),
            80)
            << lines[i];
        EXPECT_NE(lines[i].find("K3J8" + std::to_string(i) + "-if00-port0"), std::string::npos)
            << lines[i];
    }
    // Narrower than a line can be, the board gives way to one line an event.
    const std::string narrow = OnATerminal(args, 50, status);
    EXPECT_EQ(narrow.find("\033[3A"), std::string::npos) << narrow;
    EXPECT_NE(narrow.find("J80-if00-port0: PASS K352"), std::string::npos) << narrow;
}

TEST_F(ManyPorts, ASingleRunsBarShowsItsClockAndTheTimeLeft) {
    WriteProfile("[Setting]\nSN=300\n");
    devsim::PtySimulator paced(devsim::DeviceFaults{}, 115200);
    ASSERT_TRUE(paced.Start());
    int status = 0;
    const std::string screen = OnATerminal(
        {"--port", paced.PortPath(),
         testing::WritePackage({{"DIAG.BIN", Pattern(300, 1)}, {"MCU.BIN", Pattern(8000, 2)}})},
        80, status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen;
    EXPECT_TRUE(std::regex_search(
        screen, std::regex("\\] +[0-9]+%  [0-9]{2}:[0-9]{2}, [0-9]{2}:[0-9]{2} left")))
        << screen;
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
