// The command-line tool as an operator runs it: a separate process, a real profile file,
// the simulated device on a pseudo-terminal.
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "support/held_port.h"
#include "support/program_copy.h"
#include "support/pty_pair.h"
#include "support/tool_fixture.h"

namespace korvane {
namespace {

using testing::Pattern;

using FlashTool = testing::ToolTest;

TEST_F(FlashTool, FlashesWithTheProfilesPortAndCounterAndSavesTheNextNumber) {
    const std::string package = testing::WritePackage({{"DIAG.BIN", Pattern(300, 1)},
                                                       {"MCU.BIN", Pattern(700, 2)},
                                                       {"x_DATA.BIN", Pattern(600, 3)}});
    // COM3 in the profile is index 2; the settings file maps it to the simulator.
    WriteProfile("[Setting]\nPort=2\nSN=41\n\n[Ports]\nCOM3=" + device.PortPath() + "\n");
    ASSERT_EQ(Run({package}), 0) << output;
    // The run's last status is the last line on standard output.
    const std::string finished = "Finished to write the file [" + package + "] to the flash.\n";
    ASSERT_GE(output.size(), finished.size());
    EXPECT_EQ(output.substr(output.size() - finished.size()), finished) << output;
    EXPECT_NE(ProfileText().find("SN=42"), std::string::npos) << ProfileText();
    const std::string record = RecordOf(device);
    ASSERT_EQ(record.size(), 13u);
    EXPECT_EQ(record.substr(0, 4), "K352");
    EXPECT_EQ(record.substr(8), "00041");
    // Piped output carries no progress bar.
    EXPECT_EQ(output.find('\r'), std::string::npos);
}

TEST_F(FlashTool, ExplicitPortAndNumberWin) {
    const std::string package =
        testing::WritePackage({{"DIAG.BIN", Pattern(30, 1)}, {"MCU.BIN", Pattern(70, 2)}});
    WriteProfile("[Setting]\nPort=7\nSN=5\n");
    ASSERT_EQ(Run({"--port", device.PortPath(), "--sn", "77", package}), 0) << output;
    EXPECT_NE(ProfileText().find("SN=78"), std::string::npos) << ProfileText();
}

TEST_F(FlashTool, FailuresSayWhatAndLeaveTheCounter) {
    const std::string package =
        testing::WritePackage({{"DIAG.BIN", Pattern(30, 1)}, {"MCU.BIN", Pattern(70, 2)}});
    WriteProfile("[Setting]\nSN=9\n");
    // No such port, and a name that leads to no serial port, whoever has it open.
    EXPECT_EQ(Run({"--port", "/nonexistent/ttyX", package}), 1);
    EXPECT_EQ(Run({"--port", "/dev/null", package}, true), 1);
    EXPECT_NE(output.find("korvane-flash: /dev/null is not a serial port\n"), std::string::npos)
        << output;
    EXPECT_EQ(output.find("held by"), std::string::npos) << output;
    // A chosen image file is no package, and the port is not touched.
    const std::string image = testing::TempFile("MCU.BIN");
    testing::WriteBytes(image, Pattern(10, 1));
    device.ClearReceived();
    EXPECT_EQ(Run({"--port", device.PortPath(), image}), 1);
    EXPECT_TRUE(device.Received().empty());
    // A missing package.
    const std::string missing = testing::TempFile("none.bin");
    EXPECT_EQ(Run({"--port", device.PortPath(), missing}), 1);
    EXPECT_EQ(output, "Failed to open the file [" + missing + "].\n");
    // A FIFO is no package: refused at once, without waiting for a writer.
    const std::string fifo = testing::TempFile("fifo.bin");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(Run({"--port", device.PortPath(), fifo}), 1);
    EXPECT_EQ(output, "Failed to open the file [" + fifo + "].\n");
    EXPECT_TRUE(device.Received().empty());
    // A number outside the range is refused before the port is touched.
    EXPECT_EQ(Run({"--port", device.PortPath(), "--sn", "100000", package}), 1);
    EXPECT_TRUE(device.Received().empty());
    // A file far too large to be a package (a sparse one here) is refused before a byte of
    // it is read, and a package with two firmware images would give one device two numbers.
    const std::string huge = testing::TempFile("huge.bin");
    testing::WriteBytes(huge, Pattern(300, 1));
    ASSERT_EQ(truncate(huge.c_str(), (off_t{5} << 30)), 0);
    const uint32_t start = TickCount();
    EXPECT_EQ(Run({"--port", device.PortPath(), huge}, true), 1);
    EXPECT_LT(TicksSince(start, TickCount()), 3000u);
    EXPECT_NE(output.find("is larger than 64 MiB"), std::string::npos) << output;
    for (const char* second : {"MCU.BIN", "old_mcu.bin"}) {
        const std::string twice = testing::WritePackage(
            {{"DIAG.BIN", Pattern(30, 1)}, {"MCU.BIN", Pattern(70, 2)}, {second, Pattern(70, 2)}});
        EXPECT_EQ(Run({"--port", device.PortPath(), twice}, true), 1);
        EXPECT_NE(output.find("The package [" + twice + "] cannot be flashed: slot 2 (" + second +
                              ") is a second firmware image beside slot 1"),
                  std::string::npos)
            << output;
        ASSERT_EQ(Run({"--list", twice}), 0);
        EXPECT_NE(output.find("a run refuses the package"), std::string::npos) << output;
    }
    EXPECT_TRUE(device.Received().empty());
    EXPECT_NE(ProfileText().find("SN=9"), std::string::npos);
}

TEST_F(FlashTool, PortHeldByAnotherProgramIsLeftAloneAndItsHolderNamed) {
    const std::string package =
        testing::WritePackage({{"DIAG.BIN", Pattern(8, 1)}, {"MCU.BIN", Pattern(70, 2)}});
    testing::LockFolderOfOurOwn locks(testing::TempFile("locks"));
    testing::PortHolder other(device.PortPath());
    EXPECT_EQ(Run({"--port", device.PortPath(), "--sn", "5", package}, true), 1);
    EXPECT_NE(output.find("Failed to open the serial port.\n"), std::string::npos) << output;
    EXPECT_NE(output.find("korvane-flash: it is held by " + other.Description() + "\n"),
              std::string::npos)
        << output;
    EXPECT_TRUE(device.Received().empty());
}

// Control characters and bytes that are not UTF-8, in entry names and in the package's
// path, reach the terminal escaped.
TEST_F(FlashTool, NamesAndPathsReachTheTerminalEscaped) {
    std::vector<uint8_t> bytes;
    std::string error;
    ASSERT_TRUE(BuildPackage(
        {{"DIAG.BIN", Pattern(8, 1)}, {"xxxxX.BIN", Pattern(10, 2)}, {"xx.BIN", Pattern(10, 3)}},
        bytes, error));
    const uint8_t escape[] = {0x1B, '[', '2', 'J'};
    std::memcpy(&bytes[16 + 24 + 8], escape, 4);  // slot 1: ESC [2J X.BIN
    bytes[16 + 48 + 8] = 0xFF;                    // slot 2: FF FE .BIN
    bytes[16 + 48 + 9] = 0xFE;
    const std::string package = testing::TempFile("title\x1b]0;x\x07.bin");
    testing::WriteBytes(package, bytes);
    const auto expectClean = [this] {
        for (const char c : output) {
            const auto byte = static_cast<uint8_t>(c);
            EXPECT_TRUE(byte == '\n' || (byte >= 0x20 && byte < 0x7F))
                << "raw byte " << static_cast<int>(byte) << " in:\n"
                << output;
        }
    };
    ASSERT_EQ(Run({"--port", device.PortPath(), "--sn", "5", package}, true), 0) << output;
    expectClean();
    EXPECT_NE(output.find("Writing the file: [\\x1B[2JX.BIN] ..."), std::string::npos) << output;
    EXPECT_NE(output.find("Finished to write the file [\\xFF\\xFE.BIN] to the flash."),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("title\\x1B]0;x\\x07.bin"), std::string::npos) << output;
    // A pseudo-terminal carries no parity, and that is no reason to warn.
    EXPECT_EQ(output.find("even parity"), std::string::npos) << output;
    ASSERT_EQ(Run({"--list", package}), 0);
    expectClean();
    EXPECT_NE(output.find("\\x1B[2JX.BIN"), std::string::npos) << output;
}

// A path is bytes, UTF-8 or not: the package is found by the bytes given, and they are
// shown with the odd ones escaped in the run's lines, its JSON, the journal and the list.
TEST_F(FlashTool, APackageUnderAPathThatIsNotUtf8IsFlashedAndShownEscaped) {
    const std::string folder = testing::TempFile("lot-\xFF\xC3(");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    std::vector<uint8_t> bytes;
    std::string error;
    ASSERT_TRUE(
        BuildPackage({{"DIAG.BIN", Pattern(30, 1)}, {"MCU.BIN", Pattern(70, 2)}}, bytes, error))
        << error;
    const std::string package = folder + "/p.bin";
    testing::WriteBytes(package, bytes);
    const std::string stem = folder.substr(0, folder.size() - 3);
    const std::string shown = stem + "\\xFF\\xC3(/p.bin";

    ASSERT_EQ(Run({"--port", device.PortPath(), "--sn", "5", package}, true), 0) << output;
    EXPECT_EQ(RecordOf(device).substr(8), "00005");
    EXPECT_NE(output.find("Finished to write the file [" + shown + "] to the flash."),
              std::string::npos)
        << output;
    ASSERT_EQ(Run({"--port", device.PortPath(), "--sn", "6", "--json", package}), 0) << output;
    EXPECT_NE(output.find("\"package\":\"" + stem + "\\\\xFF\\\\xC3(/p.bin\""), std::string::npos)
        << output;
    ASSERT_EQ(Run({"journal", "--csv"}), 0) << output;
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 3) << output;
    // The package column of both records, before the digest.
    const size_t first = output.find("," + shown + ",");
    ASSERT_NE(first, std::string::npos) << output;
    EXPECT_NE(output.find("," + shown + ",", first + 1), std::string::npos) << output;
    ASSERT_EQ(Run({"--list", package}), 0) << output;
    EXPECT_EQ(output.rfind(shown + ": ", 0), 0u) << output;
}

TEST_F(FlashTool, BadUsageExitsWithTwo) {
    EXPECT_EQ(Run({}), 2);
    EXPECT_EQ(Run({"--sn", "many", "x.bin"}), 2);
    // An unknown option near a known one names it; one near none points to the help.
    EXPECT_EQ(Run({"--sm", "3", "x.bin"}, true), 2);
    EXPECT_EQ(output, "korvane-flash: unknown option --sm; did you mean --sn?\n");
    EXPECT_EQ(Run({"journal", "--dup"}, true), 2);
    EXPECT_EQ(output, "korvane-flash: unknown option --dup; did you mean --duplicates?\n");
    EXPECT_EQ(Run({"--bogus", "x.bin"}, true), 2);
    EXPECT_EQ(output, "korvane-flash: unknown option --bogus (see --help)\n");
    EXPECT_EQ(Run({"--port", "COM0", "x.bin"}), 2);
    // Neither an empty port nor a range that runs backwards stands for any port.
    device.ClearReceived();
    WriteProfile("[Ports]\nCOM1=" + device.PortPath() + "\n");
    EXPECT_EQ(Run({"--port", "", "x.bin"}), 2);
    EXPECT_EQ(Run({"--port", "COM8-COM1", "x.bin"}), 2);
    EXPECT_TRUE(device.Received().empty());
    EXPECT_EQ(Run({"pack", testing::TempFile("out.bin")}), 2);
    // An option the chosen mode would ignore is refused, not dropped.
    EXPECT_EQ(Run({"--csv", "x.bin"}, true), 2);
    EXPECT_NE(output.find("--csv does not apply to a flash"), std::string::npos) << output;
    EXPECT_EQ(Run({"journal", "--port", "COM1"}), 2);
    EXPECT_EQ(Run({"--list", "--sn", "3", "x.bin"}), 2);
}

// The lines of a help page that begin with prefix, without it.
std::vector<std::string> LinesAfter(const std::string& page, const std::string& prefix) {
    std::vector<std::string> found;
    std::istringstream lines(page);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(prefix, 0) == 0) {
            found.push_back(line.substr(prefix.size()));
        }
    }
    return found;
}

// The forms of the tool's synopsis, one a line.
std::vector<std::string> Forms(const std::string& help) {
    std::vector<std::string> forms = LinesAfter(help, "Usage: ");
    for (const std::string& more : LinesAfter(help, "  or:  ")) {
        forms.push_back(more);
    }
    return forms;
}

TEST_F(FlashTool, EachCommandsHelpShowsItsOwnFormsAndOptionsOnly) {
    const std::map<std::string, std::set<std::string>> optionsOf = {
        {"",
         {"--port", "--verify", "--json", "--trace", "--sn", "--counter", "--lease", "--rework",
          "--journal", "--station", "--watch", "--fixture", "--trusted-keys", "--list"}},
        {"--list", {"--trusted-keys"}},
        {"identify", {"--port", "--json", "--try-wirings", "--fixture"}},
        {"unprotect", {"--port", "--yes", "--journal", "--station", "--fixture"}},
        {"pack", {}},
        {"journal",
         {"--journal", "--leases", "--csv", "--since", "--sn", "--serial", "--uid",
          "--duplicates"}},
        {"ports", {"--assign"}}};
    std::set<std::string> pages;
    for (const auto& [command, options] : optionsOf) {
        const std::vector<std::string> args = command.empty()
                                                  ? std::vector<std::string>{"--help"}
                                                  : std::vector<std::string>{command, "--help"};
        ASSERT_EQ(Run(args), 0) << command;
        pages.insert(output);
        std::set<std::string> listed;
        for (const std::string& line : LinesAfter(output, "  --")) {
            listed.insert("--" + line.substr(0, line.find(' ')));
        }
        EXPECT_EQ(listed, options) << output;
        for (const std::string& form : Forms(output)) {
            EXPECT_EQ(form.rfind("korvane-flash " + command, 0), 0u) << output;
        }
    }
    EXPECT_EQ(pages.size(), optionsOf.size());
    // The tool's own page: every form with every option, grouped, the ports as accepted.
    ASSERT_EQ(Run({"--help"}), 0);
    EXPECT_EQ(Forms(output).size(), 10u) << output;
    for (const char* option :
         {"[--watch]", "[--verify]", "[--rework new|keep|refuse]", "[--json]"}) {
        EXPECT_NE(Forms(output).front().find(option), std::string::npos) << option;
    }
    for (const char* group : {"Flashing", "Numbering", "Journal", "Station", "Trust"}) {
        EXPECT_NE(output.find(std::string("\n") + group + " options:\n  --"), std::string::npos)
            << group << " in:\n"
            << output;
    }
    EXPECT_NE(output.find("COM1 … COM255"), std::string::npos) << output;
    EXPECT_EQ(output.find("… COM8"), std::string::npos) << output;
}

// The synopsis the operator's guide shows in the code block after heading: a form may be
// wrapped there, its further lines indented.
std::vector<std::string> GuidesSynopsis(const std::string& heading) {
    std::ifstream file(std::string(KORVANE_TEST_DATA) + "/../../docs/operator-guide.md");
    std::stringstream guide;
    guide << file.rdbuf();
    const std::string text = guide.str();
    const size_t section = text.find(heading + "\n\n```\n");
    if (section == std::string::npos) {
        return {};
    }
    const size_t start = text.find('\n', text.find("```", section)) + 1;
    std::istringstream block(text.substr(start, text.find("```", start) - start));
    std::vector<std::string> shown;
    for (std::string line; std::getline(block, line);) {
        const size_t from = line.find_first_not_of(' ');
        if (from > 0 && !shown.empty()) {
            shown.back() += " " + line.substr(from);
        } else {
            shown.push_back(line);
        }
    }
    return shown;
}

// The operator's guide shows the synopsis each program prints (and its manual page is
// made from).
TEST_F(FlashTool, TheGuidesSynopsisIsTheOneTheProgramsPrint) {
    ASSERT_EQ(Run({"--help"}), 0);
    EXPECT_EQ(GuidesSynopsis("## The command line"), Forms(output));
    testing::ChildProcess simulator(KORVANE_DEVSIM_EXE, {"--help"});
    EXPECT_EQ(GuidesSynopsis("## The device simulator"), Forms(simulator.ReadAll()));
}

TEST_F(FlashTool, PacksAndListsPackages) {
    const std::string diag = testing::TempFile("diag.img");
    const std::string data = testing::TempFile("data.img");
    testing::WriteBytes(diag, Pattern(100, 1));
    testing::WriteBytes(data, Pattern(50, 2));
    const std::string package = testing::TempFile("built.bin");
    ASSERT_EQ(Run({"pack", package, "DIAG.BIN=" + diag, "m_LOGO.BIN=" + data}), 0) << output;
    ASSERT_EQ(Run({"--list", package}), 0);
    EXPECT_NE(output.find("DIAG.BIN          0xFFFE  loader           208         100  -"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("m_LOGO.BIN        0x0080  data             308          50  128"),
              std::string::npos)
        << output;
    // Names that do not fit the directory are refused, as is a package no run would flash.
    EXPECT_EQ(Run({"pack", package, "A_NAME_OF_16_CHR=" + diag}), 2);
    EXPECT_EQ(Run({"pack", package, "MCU.BIN=" + diag, "old_mcu.bin=" + data}, true), 2);
    EXPECT_NE(output.find("is a second firmware image beside slot 0"), std::string::npos) << output;
    EXPECT_EQ(Run({"--list", testing::TempFile("none.bin")}), 1);
}

TEST_F(FlashTool, ListWarnsAboutDamagedDirectories) {
    std::vector<uint8_t> bytes(208 + 10, 0);
    const auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            bytes[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
    };
    put32(16, 208);  // slot 0: 10 bytes present of 20
    put32(20, 20);
    std::memcpy(&bytes[24], "CFG.BIN", 7);
    put32(40, 500);  // slot 1: beyond the end, name without terminator
    put32(44, 4);
    std::memset(&bytes[48], 'N', 16);
    const std::string package = testing::TempFile("damaged.bin");
    testing::WriteBytes(package, bytes);
    ASSERT_EQ(Run({"--list", package}), 0);
    EXPECT_NE(output.find("cut short by the end of the file"), std::string::npos) << output;
    EXPECT_NE(output.find("beyond the end of the file"), std::string::npos) << output;
    EXPECT_NE(output.find("name without terminator"), std::string::npos) << output;
}

TEST_F(FlashTool, AnAdapterPulledOutMidRunIsToldAtOnce) {
    const std::string package =
        testing::WritePackage({{"DIAG.BIN", Pattern(30, 1)}, {"MCU.BIN", Pattern(70, 2)}});
    // Alone, and on the many-port board beside a port whose run goes on.
    for (const bool beside : {false, true}) {
        devsim::DeviceFaults faults;
        faults.eraseDelayMs = 2000;
        devsim::PtySimulator slow(faults);
        devsim::PtySimulator other;
        ASSERT_TRUE(slow.Start());
        ASSERT_TRUE(other.Start());
        std::vector<std::string> args = {"--port", slow.PortPath()};
        if (beside) {
            args.insert(args.end(), {"--port", other.PortPath()});
        }
        args.push_back(package);
        testing::ChildProcess tool(KORVANE_FLASH_EXE, args, true);
        // The erase command is in: the device is mid-run when it goes.
        testing::PollUntil([&] { return slow.Received().size() >= 5; });
        const std::string port = slow.PortPath();
        slow.Stop();
        const uint32_t gone = TickCount();
        output = tool.ReadAll();
        EXPECT_EQ(tool.Wait(), 1);
        EXPECT_LT(TicksSince(gone, TickCount()), 1000u) << beside;
        const std::string reason = "the adapter of " + port + " went away";
        EXPECT_NE(output.find(beside ? port + ": FAIL: " + reason : reason), std::string::npos)
            << output;
        if (beside) {
            EXPECT_NE(output.find(other.PortPath() + ": PASS K352"), std::string::npos) << output;
        }
    }
}

// Why a port does not open reads the same whether the tool flashes one port, several, or
// writes JSON.
class PortReasons : public testing::ToolTest {
protected:
    void ExpectEverywhere(const std::vector<std::string>& bad, const std::string& reason,
                          const std::vector<std::string>& as = {}) {
        const std::string package =
            testing::WritePackage({{"DIAG.BIN", Pattern(30, 1)}, {"MCU.BIN", Pattern(70, 2)}});
        // Another user runs a copy of the tool that user can reach.
        std::optional<testing::ProgramCopy> copy;
        if (!as.empty()) {
            copy.emplace(KORVANE_FLASH_EXE);
        }
        const auto run = [&](std::vector<std::string> args) {
            std::vector<std::string> command = as;
            command.push_back(copy ? copy->Path() : KORVANE_FLASH_EXE);
            command.insert(command.end(), args.begin(), args.end());
            command.push_back(package);
            testing::ChildProcess tool(command.front(), {command.begin() + 1, command.end()}, true);
            output = tool.ReadAll();
            return tool.Wait();
        };
        EXPECT_EQ(run({"--port", bad[0]}), 1);
        EXPECT_NE(output.find("korvane-flash: cannot open the serial port " + bad[0] +
                              "\nkorvane-flash: " + reason + "\n"),
                  std::string::npos)
            << output;
        EXPECT_EQ(run({"--port", bad[0], "--port", bad[1]}), 1);
        EXPECT_NE(output.find(bad[0] + ": FAIL: " + reason), std::string::npos) << output;
        EXPECT_NE(output.find(" failed  "), std::string::npos) << output;  // the summary
        EXPECT_NE(output.find("  " + reason + "\n"), std::string::npos) << output;
        EXPECT_EQ(run({"--json", "--port", bad[0]}), 1);
        EXPECT_NE(output.find("\"status\":\"" + reason + "\""), std::string::npos) << output;
    }
};

TEST_F(PortReasons, NoSuchDevice) {
    const std::string missing = configHome + "/ttyUSB9";
    ExpectEverywhere({missing, configHome + "/ttyUSB8"},
                     "there is no device " + missing +
                         " (korvane-flash ports lists the serial ports there are)");
}

TEST_F(PortReasons, HeldByAnotherProgram) {
    testing::LockFolderOfOurOwn locks(testing::TempFile("locks"));
    testing::PtyPair one, two;
    testing::PortHolder holder(one.Path()), other(two.Path());
    ExpectEverywhere({one.Path(), two.Path()}, "it is held by " + holder.Description());
}

TEST_F(PortReasons, PermissionDenied) {
    testing::PtyPair one, two;
    std::vector<std::string> as;
    std::string home;
    std::string reason = "this user may not open " + one.Path() + " (Permission denied)";
    if (geteuid() == 0) {
        // Root opens any device: the tool runs as nobody, with a profile of that user's,
        // and in none of the groups that the device lets in, so it is told which to join.
        home = testing::TempFile("nobody");
        ASSERT_EQ(mkdir(home.c_str(), 0777), 0);
        ASSERT_EQ(chmod(home.c_str(), 0777), 0);
        as = testing::AsNobody();
        as.insert(as.end(), {"env", "XDG_CONFIG_HOME=" + home, "XDG_DATA_HOME=" + home});
        struct stat status {};
        ASSERT_EQ(stat(one.Path().c_str(), &status), 0);
        const group* owner = getgrgid(status.st_gid);
        ASSERT_NE(owner, nullptr);
        const std::string name = owner->gr_name;
        reason += ": it is for the group " + name + "; join it (sudo usermod -aG " + name +
                  " $USER) and log in again";
    }
    for (const testing::PtyPair* line : {&one, &two}) {
        ASSERT_EQ(chmod(line->Path().c_str(), geteuid() == 0 ? 0660 : 0), 0);
    }
    ExpectEverywhere({one.Path(), two.Path()}, reason, as);
    if (!home.empty()) {
        std::system(("rm -rf '" + home + "'").c_str());
    }
}

}  // namespace
}  // namespace korvane
