// The tool knows each device by its chip: the unique ID in every record, read protection
// told plainly and lifted on request, a chip back for rework, a package too big for the
// chip, a loader that does not read back as written.
#include <unistd.h>

#include <regex>

#include "devsim/device_faults.h"
#include "support/pty_pair.h"
#include "support/tool_fixture.h"

namespace korvane {
namespace {

using testing::Pattern;

constexpr char kUid[] = "0123456789abcdef01234567";

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

const std::vector<PackageImage> kPackage = {
    {"DIAG.BIN", Pattern(600, 1)}, {"MCU.BIN", Pattern(700, 2)}, {"CFG.BIN", Pattern(600, 3)}};

class ChipIdentity : public testing::ToolTest {
protected:
    void Attach(devsim::DeviceFaults faults = {}) {
        faults.uid = ParseUniqueId(kUid);
        device = std::make_unique<devsim::PtySimulator>(faults);
        ASSERT_TRUE(device->Start());
        package = testing::WritePackage(kPackage);
    }
    int Flash(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--port", device->PortPath()};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(package);
        return Run(args, true);
    }
    int Erases() const { return device->EraseCount(); }
    std::unique_ptr<devsim::PtySimulator> device;
    std::string package;
};

TEST_F(ChipIdentity, TheUniqueIdReachesJsonTheJournalAndItsCsv) {
    WriteProfile("[Setting]\nSN=40\n");
    Attach();
    ASSERT_EQ(Flash({"--json"}), 0) << output;
    EXPECT_NE(output.find(std::string("\"uid\":\"") + kUid + "\""), std::string::npos) << output;
    EXPECT_NE(output.find("\"flash_kib\":128"), std::string::npos) << output;
    ASSERT_EQ(Run({"journal", "--csv", "--uid", "0123456789ABCDEF01234567"}), 0) << output;
    std::istringstream lines(output);
    std::string header, record, more;
    std::getline(lines, header);
    std::getline(lines, record);
    header.erase(header.find_last_not_of('\r') + 1);  // CSV lines end in CR LF
    record.erase(record.find_last_not_of('\r') + 1);
    EXPECT_FALSE(std::getline(lines, more)) << output;  // this chip's one record
    EXPECT_TRUE(EndsWith(header, ",uid,signer,signed_comment,code,reason")) << header;
    // Not signed, and passed: its code says so, with no reason.
    EXPECT_TRUE(EndsWith(record, std::string(",") + kUid + ",,,ok,")) << record;
    EXPECT_NE(record.find(",40,K352"), std::string::npos) << record;
    ASSERT_EQ(Run({"journal", "--csv", "--uid", "ffffffffffffffffffffffff"}), 0);
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
}

TEST_F(ChipIdentity, AReadProtectedChipGetsNothingUntilUnprotectedWithConsent) {
    WriteProfile("[Setting]\nSN=7\n");
    devsim::DeviceFaults faults;
    faults.readProtected = true;
    Attach(faults);
    EXPECT_EQ(Flash(), 1) << output;
    EXPECT_NE(output.find("read-protected"), std::string::npos) << output;
    EXPECT_NE(output.find("korvane-flash unprotect"), std::string::npos) << output;
    EXPECT_EQ(Erases(), 0);
    EXPECT_TRUE(RecordOf(*device).empty());
    EXPECT_NE(ProfileText().find("SN=7\n"), std::string::npos) << ProfileText();

    // No terminal to ask and no --yes: nothing is sent.
    EXPECT_EQ(Run({"unprotect", "--port", device->PortPath()}, true), 2) << output;
    EXPECT_NE(output.find("--yes"), std::string::npos) << output;
    ASSERT_EQ(Run({"unprotect", "--port", device->PortPath(), "--yes"}, true), 0) << output;
    EXPECT_NE(output.find("read protection is off"), std::string::npos) << output;
    EXPECT_EQ(Flash(), 0) << output;
    EXPECT_EQ(RecordOf(*device).substr(8), "00007");
}

// The flash goes only with the operator's word, and only where read protection hides it.
TEST_F(ChipIdentity, UnprotectErasesNothingWhenRefusedOrWhenThereIsNoProtection) {
    devsim::DeviceFaults faults;
    faults.readProtected = true;
    Attach(faults);
    testing::PtyPair terminal;
    terminal.Send({'n', 'o', '\n'});
    testing::ChildProcess asked(KORVANE_FLASH_EXE, {"unprotect", "--port", device->PortPath()},
                                true, terminal.Path());
    output = asked.ReadAll();
    EXPECT_EQ(asked.Wait(), 1) << output;
    EXPECT_NE(output.find("Type yes to go on: "), std::string::npos) << output;
    EXPECT_NE(output.find("readout unprotect was not confirmed; nothing was sent to any device"),
              std::string::npos)
        << output;
    EXPECT_EQ(output.find("without a terminal"), std::string::npos) << output;
    EXPECT_EQ(Erases(), 0);

    Attach();  // a chip whose flash can be read
    ASSERT_EQ(Flash(), 0) << output;
    const std::string record = RecordOf(*device);
    const int erases = Erases();
    EXPECT_EQ(Run({"unprotect", "--port", device->PortPath(), "--yes"}, true), 0) << output;
    EXPECT_NE(output.find(std::string("read protection was already off; nothing was erased "
                                      "(chip ") +
                          kUid + ")"),
              std::string::npos)
        << output;
    EXPECT_EQ(Erases(), erases);
    EXPECT_EQ(RecordOf(*device), record);
}

TEST_F(ChipIdentity, AChipFlashedBeforeIsNumberedKeptOrRefusedAsAsked) {
    WriteProfile("[Setting]\nSN=41\n");
    Attach();
    ASSERT_EQ(Flash(), 0) << output;
    ASSERT_EQ(RecordOf(*device).substr(8), "00041");

    ASSERT_EQ(Flash({"--rework", "keep"}), 0) << output;
    EXPECT_EQ(RecordOf(*device).substr(8), "00041");
    EXPECT_NE(ProfileText().find("SN=42\n"), std::string::npos) << ProfileText();

    const int erases = Erases();
    EXPECT_EQ(Flash({"--rework", "refuse"}), 1) << output;
    EXPECT_NE(output.find("K35226490004"), std::string::npos) << output;  // the earlier one
    EXPECT_EQ(Erases(), erases);

    ASSERT_EQ(Flash(), 0) << output;  // new, the tool's default
    EXPECT_EQ(RecordOf(*device).substr(8), "00042");
    EXPECT_NE(output.find("was flashed before"), std::string::npos) << output;
}

TEST_F(ChipIdentity, APackageTooBigForTheChipIsRefusedBeforeTheErase) {
    devsim::DeviceFaults faults;
    faults.flashKib = 64;
    Attach(faults);
    package =
        testing::WritePackage({{"DIAG.BIN", Pattern(600, 1)}, {"MCU.BIN", Pattern(96 * 1024, 2)}});
    EXPECT_EQ(Flash(), 1) << output;
    EXPECT_NE(output.find("64 KiB"), std::string::npos) << output;
    EXPECT_EQ(Erases(), 0);
}

TEST_F(ChipIdentity, VerifyFindsALoaderByteThatDidNotGoInAsWritten) {
    devsim::DeviceFaults faults;
    faults.flipByteAt = 0x08000100;
    Attach(faults);
    EXPECT_EQ(Flash({"--verify"}), 1) << output;
    EXPECT_NE(output.find("reads back differently at 0x08000100"), std::string::npos) << output;
    EXPECT_FALSE(device->Started());  // the loader was not started
}

// The probe itself meets chips wired otherwise in fixture_wiring_test; here, the tool
// takes the wiring from the profile, --fixture over it, and prints the line that answered.
TEST_F(ChipIdentity, TryWiringsPrintsTheFixtureLineThatAnswered) {
    WriteProfile("[Fixture]\nWiring=reset=dtr,boot0=rts\n");
    Attach();
    ASSERT_EQ(Run({"identify", "--try-wirings", "--port", device->PortPath()}), 0) << output;
    EXPECT_NE(output.find("  [Fixture] line:   Wiring=reset=dtr,boot0=rts,pulse=100ms,settle="
                          "100ms,exit=none\n"),
              std::string::npos)
        << output;
    ASSERT_EQ(Run({"identify", "--try-wirings", "--json", "--fixture", "pulse=300ms", "--port",
                   device->PortPath()}),
              0)
        << output;
    EXPECT_NE(output.find("\"wiring\":\"reset=rts,boot0=dtr,pulse=300ms,settle=100ms,exit=none\""),
              std::string::npos)
        << output;
    EXPECT_EQ(Run({"identify", "--fixture", "reset=dsr", "--port", device->PortPath()}, true), 2);
    EXPECT_NE(output.find("--fixture reset=dsr: "), std::string::npos) << output;
}

}  // namespace
}  // namespace korvane
