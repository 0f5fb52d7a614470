// What a line's software and an operator read of a run's outcome: why a failed run failed
// (the entry, the address or block, the cause) alike in the tool's last line, its JSON and
// the journal, and the heading every JSON object carries.
#include <regex>

#include "support/tool_fixture.h"

namespace korvane {
namespace {

using testing::Pattern;

const std::vector<PackageImage> kPackage = {{"DIAG.BIN", Pattern(700, 1)},
                                            {"MCU.BIN", Pattern(1500, 2)},
                                            {"xx_LOGO.BIN", Pattern(1100, 4)}};

class OutcomeTool : public testing::ToolTest {
protected:
    bool Has(const std::string& text) const { return output.find(text) != std::string::npos; }

    // The keys every object starts with, and its code.
    void ExpectHeading(const std::string& code) const {
        EXPECT_TRUE(std::regex_search(
            output, std::regex(R"re("time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d")re")))
            << output;
        EXPECT_TRUE(Has("\"station\":\"bench-7\"")) << output;
        EXPECT_TRUE(Has("\"version\":\"")) << output;
        EXPECT_TRUE(Has("\"schema\":1,")) << output;
        EXPECT_TRUE(Has("\"code\":\"" + code + "\"")) << output;
    }
};

TEST_F(OutcomeTool, AFailedRunNamesWhatFailedWhereAndHowInItsLastLineJsonAndRecord) {
    WriteProfile("[Setting]\nSN=41\n");
    const std::string package = testing::WritePackage(kPackage);
    struct Case {
        devsim::DeviceFaults faults;
        std::string code;
        std::string reason;
    };
    std::vector<Case> cases(4);
    cases[0].faults.refuseWriteAt = 0x08000200;
    cases[0].code = "write-refused";
    cases[0].reason = "NACK to a write at 0x08000200 of DIAG.BIN";
    cases[1].faults.loader.ignore.push_back({1, 2, 0x08000100});
    cases[1].code = "no-reply";
    cases[1].reason = "no reply within 3000 ms to a write at 0x08000100 of MCU.BIN";
    cases[2].faults.loader.refuse.push_back({0, 3, std::nullopt});
    cases[2].code = "closing-refused";
    cases[2].reason = "the loader refused the closing request after xx_LOGO.BIN";
    cases[3].faults.loader.refuse.push_back({0, 2, 130});
    cases[3].code = "write-refused";
    cases[3].reason = "the loader refused block 130 of xx_LOGO.BIN";

    for (const Case& failing : cases) {
        devsim::PtySimulator faulty(failing.faults);
        ASSERT_TRUE(faulty.Start());
        EXPECT_EQ(Run({"--port", faulty.PortPath(), package}, true), 1);
        const std::string last = "korvane-flash: the package " + package +
                                 " did not go in whole on " + faulty.PortPath() + ": " +
                                 failing.reason + "\n";
        ASSERT_GE(output.size(), last.size()) << output;
        EXPECT_EQ(output.substr(output.size() - last.size()), last) << output;
        EXPECT_EQ(Run({"--json", "--port", faulty.PortPath(), package}), 1);
        EXPECT_TRUE(Has("\"code\":\"" + failing.code + "\"")) << output;
        EXPECT_TRUE(Has("\"reason\":\"" + failing.reason + "\"")) << output;
    }
    ASSERT_EQ(Run({"journal", "--csv"}), 0);
    std::istringstream lines(output);
    std::string line;
    std::getline(lines, line);  // the header
    for (const Case& failing : cases) {
        for (int run = 0; run < 2; ++run) {
            ASSERT_TRUE(std::getline(lines, line)) << output;
            line.erase(line.find_last_not_of('\r') + 1);
            const std::string end = "," + failing.code + "," + failing.reason;
            EXPECT_EQ(line.substr(line.size() - std::min(line.size(), end.size())), end);
        }
    }
}

TEST_F(OutcomeTool, EveryJsonObjectSaysWhenWhereWhichToolItsSchemaAndCode) {
    WriteProfile("[Setting]\nSN=41\n[Journal]\nStation=bench-7\n");
    const std::string package = testing::WritePackage(kPackage);
    const std::vector<std::string> station = {"--station", "bench-7", "--json", "--port"};
    auto args = [&](const std::string& port, const std::string& file,
                    const std::vector<std::string>& more = {}) {
        std::vector<std::string> all = station;
        all.push_back(port);
        all.insert(all.end(), more.begin(), more.end());
        all.push_back(file);
        return all;
    };
    ASSERT_EQ(Run(args(device.PortPath(), package)), 0) << output;
    ExpectHeading("ok");
    EXPECT_TRUE(Has("\"reason\":null")) << output;

    devsim::DeviceFaults refusing;
    refusing.refuseWriteAt = 0x08000000;
    devsim::PtySimulator refused(refusing);
    ASSERT_TRUE(refused.Start());
    EXPECT_EQ(Run(args(refused.PortPath(), package)), 1);
    ExpectHeading("write-refused");

    // Refused before any port is opened, each still gives its object, with the OS's reason
    // for a package that cannot be opened.
    device.ClearReceived();
    const std::string keys = std::string(KORVANE_TEST_DATA) + "/signatures/keys/first.pub";
    EXPECT_EQ(Run(args(device.PortPath(), package, {"--trusted-keys", keys})), 1);
    ExpectHeading("unsigned");
    const std::string missing = testing::TempFile("none.bin");
    EXPECT_EQ(Run(args(device.PortPath(), missing)), 1);
    ExpectHeading("package-unreadable");
    EXPECT_TRUE(Has("cannot be opened (No such file or directory)")) << output;
    EXPECT_TRUE(Has("\"port\":\"" + device.PortPath() + "\"")) << output;
    EXPECT_TRUE(device.Received().empty());

    // The device commands' objects carry the same heading.
    EXPECT_EQ(Run({"identify", "--json", "--port", device.PortPath()}), 0) << output;
    ExpectHeading("ok");
    EXPECT_EQ(Run({"identify", "--json", "--port", configHome + "/no-such-port"}), 1) << output;
    ExpectHeading("port-missing");
}

TEST_F(OutcomeTool, ASingleRunEndsWithTheSerialGivenAndTheNextNumber) {
    WriteProfile("[Setting]\nSN=41\n");
    ASSERT_EQ(Run({"--port", device.PortPath(), testing::WritePackage(kPackage)}, true), 0)
        << output;
    const std::string last =
        "korvane-flash: " + RecordOf(device) + " given to the device; next sequence number 42\n";
    ASSERT_GE(output.size(), last.size()) << output;
    EXPECT_EQ(output.substr(output.size() - last.size()), last) << output;
}

TEST_F(OutcomeTool, NoBootloaderSaysWhatToCheckAndHowToTryTheWirings) {
    devsim::DeviceFaults silent;
    silent.silent = true;
    devsim::PtySimulator dead(silent);
    ASSERT_TRUE(dead.Start());
    WriteProfile("[Setting]\nSN=41\n");
    EXPECT_EQ(Run({"--port", dead.PortPath(), testing::WritePackage(kPackage)}, true), 1);
    EXPECT_TRUE(Has("korvane-flash: no bootloader answered on " + dead.PortPath() +
                    ": check the device's power, its BOOT0 pin and the fixture's wiring; "
                    "korvane-flash identify --try-wirings --port " +
                    dead.PortPath()))
        << output;
}

}  // namespace
}  // namespace korvane
