// The tool's list of serial ports and its assignment of COM numbers, against the simulated
// device on a pseudo-terminal: a terminal no port enumeration shows, found through the
// mapping the operator made.
#include <unistd.h>

#include <fstream>

#include "support/held_port.h"
#include "support/tool_fixture.h"

namespace korvane {
namespace {

using testing::Pattern;

class PortListing : public testing::ToolTest {
protected:
    void TearDown() override {
        unsetenv("KORVANE_COM2");
        unsetenv("KORVANE_USB_SERIAL_SYSFS");
        ToolTest::TearDown();
    }
    // The lines that describe device in the listing, from its name to the blank line.
    std::string EntryOf(const std::string& device) const {
        const std::string text = output + "\n";
        const size_t start = text.find(device + "\n");
        if (start == std::string::npos) {
            return {};
        }
        return text.substr(start, text.find("\n\n", start) - start);
    }
};

TEST_F(PortListing, ListsMappedDevicesAsTheirComNumberWithTheirHolder) {
    setenv("KORVANE_COM2", device.PortPath().c_str(), 1);
    const std::string gone = configHome + "/unplugged";
    WriteProfile("[Ports]\nCOM4=" + gone + "\n");
    ASSERT_EQ(Run({"ports"}), 0) << output;
    EXPECT_EQ(EntryOf(device.PortPath()), device.PortPath() +
                                              "\n"
                                              "  in use:       no\n"
                                              "  COM number:   COM2 (environment: KORVANE_COM2=" +
                                              device.PortPath() + ")")
        << output;
    // A mapping whose device has gone is listed too, so the operator sees it went stale.
    EXPECT_EQ(EntryOf(gone), gone +
                                 "\n"
                                 "  not there now\n"
                                 "  COM number:   COM4 (profile: COM4=" +
                                 gone + ")")
        << output;

    testing::LockFolderOfOurOwn locks(testing::TempFile("locks"));
    testing::PortHolder other(device.PortPath());
    ASSERT_EQ(Run({"ports"}), 0) << output;
    EXPECT_NE(EntryOf(device.PortPath()).find("  in use:       by " + other.Description() + "\n"),
              std::string::npos)
        << output;
}

// A pseudo-terminal has no latency timer: a folder laid out as the kernel's usb-serial
// one gives it the file an adapter's driver shows.
TEST_F(PortListing, ASlowLatencyTimerIsNamedWithTheCommandThatLowersIt) {
    setenv("KORVANE_COM2", device.PortPath().c_str(), 1);
    const std::string sysfs = testing::TempFile("usb-serial");
    const std::string adapter = sysfs + device.PortPath().substr(device.PortPath().rfind('/'));
    ASSERT_EQ(std::system(("mkdir -p " + adapter).c_str()), 0);
    setenv("KORVANE_USB_SERIAL_SYSFS", sysfs.c_str(), 1);
    const std::string timer = adapter + "/latency_timer";
    const std::string lower = "echo 1 | sudo tee " + timer;
    std::ofstream(timer) << "16\n";
    ASSERT_EQ(Run({"ports"}), 0) << output;
    EXPECT_NE(EntryOf(device.PortPath())
                  .find("  latency:      16 ms (korvane-flash asks for 1 ms while it has the port; "
                        "identify says whether the driver follows)\n"
                        "               to lower it for every program: " +
                        lower + "\n"),
              std::string::npos)
        << output;
    // Open, the port kept its timer (a pseudo-terminal takes no low-latency request).
    ASSERT_EQ(Run({"identify", "--port", "COM2"}), 0) << output;
    EXPECT_NE(output.find("  latency:          16 ms: the adapter holds each answer back that "
                          "long, and its driver would not lower it; lower it with: " +
                          lower + "\n"),
              std::string::npos)
        << output;
    ASSERT_EQ(Run({"identify", "--json", "--port", "COM2"}), 0) << output;
    EXPECT_NE(output.find("\"latency_timer_ms\":16"), std::string::npos) << output;

    std::ofstream(timer) << "1\n";
    ASSERT_EQ(Run({"ports"}), 0) << output;
    EXPECT_NE(EntryOf(device.PortPath()).find("  latency:      1 ms\n"), std::string::npos)
        << output;
    ASSERT_EQ(Run({"identify", "--port", "COM2"}), 0) << output;
    EXPECT_EQ(output.find("latency:"), std::string::npos) << output;
}

TEST_F(PortListing, AssignmentGoesIntoTheProfileAndALaterRunReachesTheDevice) {
    // A link stands in for the adapter's /dev/serial/by-id/… name; it is kept as given.
    const std::string stable = testing::TempFile("usb-Maker_Adapter_A1-if00-port0");
    ASSERT_EQ(symlink(device.PortPath().c_str(), stable.c_str()), 0);
    const std::string setting = "[Setting]\nFile=/x/y.bin\nPort=0\nSN=41\n\n[Ports]\n";
    WriteProfile(setting + "COM1=/dev/a\n");
    ASSERT_EQ(Run({"ports", "--assign", "COM3", stable}), 0) << output;
    const std::string after = setting + "COM3=" + stable + "\nCOM1=/dev/a\n";
    EXPECT_EQ(ProfileText(), after);
    // Again, to another device: the entry is replaced, not repeated.
    ASSERT_EQ(Run({"ports", "--assign", "com3", device.PortPath()}), 0) << output;
    ASSERT_EQ(Run({"ports", "--assign", "COM3", stable}), 0) << output;
    EXPECT_EQ(ProfileText(), after);
    EXPECT_NE(output.find("  COM number:   COM3 (profile: COM3=" + stable + ")"), std::string::npos)
        << output;

    const std::string package =
        testing::WritePackage({{"DIAG.BIN", Pattern(30, 1)}, {"MCU.BIN", Pattern(70, 2)}});
    ASSERT_EQ(Run({"--port", "COM3", "--sn", "5", package}), 0) << output;
    EXPECT_EQ(RecordOf(device).substr(8), "00005");
}

TEST_F(PortListing, AssignmentRefusesBadNumbersAndMissingDevicesAndWritesNothing) {
    WriteProfile("[Setting]\nSN=9\n");
    const std::string path = device.PortPath();
    EXPECT_EQ(Run({"ports", "--assign", "COM0", path}, true), 2);
    EXPECT_EQ(output, "korvane-flash: 'COM0' is no port: give COM1 … COM255\n");
    EXPECT_EQ(Run({"ports", "--assign", "COM256", path}), 2);
    EXPECT_EQ(Run({"ports", "--assign", "ttyUSB0", path}), 2);
    EXPECT_EQ(Run({"ports", "--assign", "COM3"}), 2);
    EXPECT_EQ(Run({"ports", "COM3", path}), 2);
    const std::string missing = configHome + "/ttyUSB7";
    EXPECT_EQ(Run({"ports", "--assign", "COM3", missing}, true), 1);
    EXPECT_EQ(output,
              "korvane-flash: there is no device " + missing + "; COM3 was left as it was\n");
    EXPECT_EQ(ProfileText(), "[Setting]\nSN=9\n");
    // A name with the INI file's own syntax in it (a comma, a quote) comes back as it was.
    const std::string odd = configHome + "/usb-Maker,\"A1\"";
    ASSERT_EQ(symlink(path.c_str(), odd.c_str()), 0);
    EXPECT_EQ(Run({"ports", "--assign", "COM3", odd}), 0) << output;
    EXPECT_EQ(
        Run({"--port", "COM3", "--sn", "5",
             testing::WritePackage({{"DIAG.BIN", Pattern(30, 1)}, {"MCU.BIN", Pattern(70, 2)}})}),
        0)
        << output;
    EXPECT_EQ(RecordOf(device).substr(8), "00005");
}

}  // namespace
}  // namespace korvane
