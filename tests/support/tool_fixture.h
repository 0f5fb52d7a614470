// The command-line tool as an operator runs it: a separate process, a profile of its own
// under a fresh configuration folder, and a simulated device on a pseudo-terminal.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "devsim/loader_firmware.h"
#include "devsim/pty_simulator.h"
#include "platform/ticks.h"
#include "support/child_process.h"
#include "support/flash_fixture.h"
#include "support/timing.h"

namespace korvane::testing {

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        configHome = TempFile("config");
        ASSERT_EQ(mkdir(configHome.c_str(), 0700), 0);
        // The profile, and the journal through the data folder, are the test's own.
        setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
        setenv("XDG_DATA_HOME", configHome.c_str(), 1);
        ASSERT_TRUE(device.Start());
    }
    void TearDown() override {
        unsetenv("XDG_CONFIG_HOME");
        unsetenv("XDG_DATA_HOME");
        std::system(("rm -rf '" + configHome + "'").c_str());
    }

    // Runs the tool; returns its exit status, with its standard output (and standard
    // error, when asked) in output.
    int Run(const std::vector<std::string>& args, bool withStandardError = false) {
        ChildProcess tool(KORVANE_FLASH_EXE, args, withStandardError);
        output = tool.ReadAll();
        return tool.Wait();
    }

    // The tool as another station runs it: its own profile and data folder under home.
    static int RunAsStation(const std::string& home, const std::vector<std::string>& args,
                            std::string& said) {
        mkdir(home.c_str(), 0700);
        std::vector<std::string> command = {"XDG_CONFIG_HOME=" + home, "XDG_DATA_HOME=" + home,
                                            KORVANE_FLASH_EXE};
        command.insert(command.end(), args.begin(), args.end());
        ChildProcess tool("env", command, true);
        said = tool.ReadAll();
        return tool.Wait();
    }

    std::string ProfilePath() const { return configHome + "/STM32F10X Korvane/korvane.conf"; }

    std::string ProfileText() const {
        std::ifstream in(ProfilePath());
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    void WriteProfile(const std::string& text) const {
        const std::string dir = configHome + "/STM32F10X Korvane";
        mkdir(dir.c_str(), 0700);
        std::ofstream(ProfilePath(), std::ios::binary) << text;
    }

    // The serial number the device holds, as text ("" when it holds none).
    static std::string RecordOf(const devsim::PtySimulator& device) {
        return device.Inspect([](const devsim::SimulatedDevice& d) {
            return devsim::UnscrambleSerialRecord(d.Loader().SerialRecord());
        });
    }

    // Waits until the device holds a serial record.
    static bool WaitForRecord(const devsim::PtySimulator& on) {
        return PollUntil([&] { return !RecordOf(on).empty(); }, 20000);
    }

    std::string configHome;
    std::string output;
    devsim::PtySimulator device;
};

}  // namespace korvane::testing
