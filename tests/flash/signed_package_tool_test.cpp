// Only packages that engineering signed reach a device: keys and signatures made by the
// real minisign, a station that trusts a key through its profile or --trusted-keys, and
// what the operator, the JSON and the journal are told.
#include <filesystem>
#include <functional>

#include "devsim/loader_firmware.h"
#include "support/minisign.h"
#include "support/tool_fixture.h"

namespace korvane {
namespace {

using testing::Minisign;
using testing::Pattern;
using testing::ReadFileText;
using testing::WriteFileText;

const std::vector<PackageImage> kPackage = {
    {"DIAG.BIN", Pattern(600, 1)}, {"MCU.BIN", Pattern(900, 2)}, {"CFG.BIN", Pattern(600, 3)}};

class SignedPackageTool : public testing::ToolTest {
protected:
    void SetUp() override {
        ToolTest::SetUp();
        if (const std::string missing = Minisign::Missing(); !missing.empty()) {
            GTEST_SKIP() << missing;
        }
        keys = testing::TempFile("keys");
        std::filesystem::create_directory(keys);
        ASSERT_TRUE(minisign.MakeKey(keys + "/engineering.pub", engineering)) << minisign.problem;
        ASSERT_TRUE(minisign.MakeKey(testing::TempFile("stranger.pub"), stranger))
            << minisign.problem;
        package = testing::WritePackage(kPackage);
    }

    int Flash(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--port", device.PortPath()};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(package);
        return Run(args, true);
    }

    // The journal's records as CSV lines, the header first.
    std::vector<std::string> JournalLines() {
        EXPECT_EQ(Run({"journal", "--csv"}), 0) << output;
        std::vector<std::string> lines;
        std::istringstream in(output);
        for (std::string line; std::getline(in, line);) {
            line.erase(line.find_last_not_of('\r') + 1);
            lines.push_back(line);
        }
        return lines;
    }

    bool Contains(const std::string& text) const { return output.find(text) != std::string::npos; }

    Minisign minisign;
    std::string keys;  // a folder that holds engineering's public key
    Minisign::Key engineering;
    Minisign::Key stranger;
    std::string package;
};

TEST_F(SignedPackageTool, ATrustedSignatureIsFlashedAndNamedInListJsonAndTheJournal) {
    ASSERT_TRUE(minisign.Sign(engineering, package, "release 4.2")) << minisign.problem;
    // Without trusted keys the package goes in as always, and its signature is shown.
    ASSERT_EQ(Flash(), 0) << output;
    EXPECT_TRUE(Contains("signed by key " + engineering.id + "; this station trusts no key"))
        << output;

    WriteProfile("[Setting]\nSN=7\n[Packages]\nTrustedKeys=" + keys + "\n");
    ASSERT_EQ(Run({"--list", package}), 0) << output;
    EXPECT_TRUE(Contains("signature: The package is signed by trusted key " + engineering.id +
                         ", with the trusted comment \"release 4.2\"."))
        << output;
    EXPECT_TRUE(Contains("\ntrusted comment: release 4.2\n")) << output;

    ASSERT_EQ(Flash({"--json"}), 0) << output;
    EXPECT_TRUE(Contains("\"signer\":\"" + engineering.id + "\"")) << output;
    EXPECT_TRUE(Contains("\"signed_comment\":\"release 4.2\"")) << output;
    EXPECT_EQ(RecordOf(device).substr(8), "00007");
    const std::vector<std::string> lines = JournalLines();
    ASSERT_EQ(lines.size(), 3u) << output;
    EXPECT_NE(lines[0].find(",signer,signed_comment"), std::string::npos) << lines[0];
    // Unchecked, the first run names the key but no comment; the second both.
    EXPECT_NE(lines[1].find("," + engineering.id + ","), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("," + engineering.id + ",release 4.2"), std::string::npos) << lines[2];
}

TEST_F(SignedPackageTool, ALegacySignatureIsAccepted) {
    ASSERT_TRUE(minisign.Sign(engineering, package, "legacy form", true)) << minisign.problem;
    ASSERT_EQ(Flash({"--trusted-keys", engineering.pub}), 0) << output;
    EXPECT_TRUE(Contains("with the trusted comment \"legacy form\"")) << output;
}

// Each refusal comes before the port is opened: the device receives nothing, no number is
// taken, and the journal keeps the refusal. The option overrides the profile's keys.
TEST_F(SignedPackageTool, AnUntrustedPackageIsRefusedBeforeThePortWithItsReason) {
    WriteProfile("[Setting]\nSN=7\n[Packages]\nTrustedKeys=" + stranger.pub + "\n");
    const auto signature = [&] { return package + ".minisig"; };
    struct Case {
        const char* what;
        std::function<void()> make;
        std::string said;
    };
    const std::vector<Case> cases = {
        {"no signature", [] {}, "The package is not signed: there is no signature file beside it."},
        {"a byte changed after signing",
         [&] {
             ASSERT_TRUE(minisign.Sign(engineering, package, "release 4.2")) << minisign.problem;
             std::string bytes = ReadFileText(package);
             bytes[300] = static_cast<char>(bytes[300] ^ 1);
             WriteFileText(package, bytes);
         },
         "The package was changed after it was signed: the signature by key " + engineering.id +
             " does not match its bytes."},
        {"the trusted comment edited",
         [&] {
             package = testing::WritePackage(kPackage);
             ASSERT_TRUE(minisign.Sign(engineering, package, "release 4.2")) << minisign.problem;
             std::string text = ReadFileText(signature());
             text.replace(text.find("release 4.2"), 11, "release 9.9");
             WriteFileText(signature(), text);
         },
         "The trusted comment of the package's signature by key " + engineering.id +
             " was changed after signing."},
        {"an untrusted key",
         [&] { ASSERT_TRUE(minisign.Sign(stranger, package, "ours?")) << minisign.problem; },
         "The package is signed by key " + stranger.id + ", which this station does not trust."},
        {"a malformed signature", [&] { WriteFileText(signature(), "untrusted comment: x\n"); },
         "The package's signature cannot be read: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.make();
        EXPECT_EQ(Flash({"--trusted-keys", keys}), 1) << output;
        EXPECT_TRUE(Contains("The package [" + package + "] is not flashed. " + c.said)) << output;
        EXPECT_TRUE(device.Received().empty());
        EXPECT_NE(ProfileText().find("SN=7\n"), std::string::npos) << ProfileText();
    }
    const std::vector<std::string> lines = JournalLines();
    ASSERT_EQ(lines.size(), cases.size() + 1) << output;
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_NE(lines[i + 1].find(",failed,"), std::string::npos) << lines[i + 1];
        EXPECT_NE(lines[i + 1].find("] is not flashed. " + cases[i].said), std::string::npos)
            << lines[i + 1];
    }
    // Keys that cannot be had refuse every package.
    EXPECT_EQ(Flash({"--trusted-keys", keys + "/missing"}), 1) << output;
    EXPECT_TRUE(Contains("No package is flashed here: the trusted keys")) << output;
    EXPECT_TRUE(device.Received().empty());
}

// --list is how a station's set-up is checked: a profile that a run refuses is refused
// there too, with the same words, rather than shown as a station that trusts no key.
TEST_F(SignedPackageTool, ListRefusesADamagedProfileAsARunDoes) {
    ASSERT_TRUE(minisign.Sign(engineering, package, "release 4.2")) << minisign.problem;
    const std::string damaged = "The profile " + ProfilePath() +
                                " is damaged: key \"TrustedKeys\" of section \"Packages\" is ";
    for (const std::string& profile :
         {"[Packages]\nTrustedKeys=" + keys + "\nTrustedKeys=" + keys + "\n",
          "[packages]\ntrustedkeys=" + keys + "\n"}) {
        SCOPED_TRACE(profile);
        WriteProfile(profile);
        EXPECT_EQ(Flash(), 2) << output;
        const size_t said = output.find(damaged);
        ASSERT_NE(said, std::string::npos) << output;
        const std::string sentence = output.substr(said, output.find('\n', said) - said);
        EXPECT_TRUE(device.Received().empty());
        EXPECT_EQ(Run({"--list", package}, true), 2) << output;
        EXPECT_EQ(output, "korvane-flash: " + sentence + "\n");
    }
}

// The run writes the bytes it checked: a package copied over while the slow erase holds the
// run, before its entries are written, reaches the device as it was signed.
TEST_F(SignedPackageTool, APackageReplacedOnDiskAfterTheCheckGoesInAsChecked) {
    devsim::DeviceFaults faults;
    faults.eraseDelayMs = 1500;
    devsim::PtySimulator slow(faults);
    ASSERT_TRUE(slow.Start());
    ASSERT_TRUE(minisign.Sign(engineering, package, "release 4.2")) << minisign.problem;
    testing::ChildProcess tool(KORVANE_FLASH_EXE,
                               {"--port", slow.PortPath(), "--trusted-keys", keys, package}, true);
    std::string seen;
    for (std::string line;
         (line = tool.ReadLine()).find("Writing the file: [DIAG.BIN]") == std::string::npos;) {
        seen += line + "\n";
        ASSERT_LT(seen.size(), 4096u) << seen;
    }
    std::vector<PackageImage> other = kPackage;
    other[1].bytes = Pattern(900, 77);
    const std::string replacement = testing::WritePackage(other);
    std::filesystem::rename(replacement, package);
    seen += tool.ReadAll();
    ASSERT_EQ(tool.Wait(), 0) << seen;
    const std::vector<uint8_t> firmware = kPackage[1].bytes;
    slow.Inspect([&](const devsim::SimulatedDevice& d) {
        EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), d.Loader().Firmware().begin()));
    });
}

}  // namespace
}  // namespace korvane
