#include "flashing/package_signature.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/scratch_folder.h"
#ifndef _WIN32
#include "support/child_process.h"
#endif

namespace korvane {
namespace {

using State = SignatureVerdict::State;
using testing::TempFile;

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

// A package signed three ways by two keys, laid out as tests/data/signatures is, with what
// minisign showed of it.
struct SignedPackage {
    std::string folder;
    std::string firstId;  // 16 digits
    std::string secondId;
    std::string prehashedComment;  // of package.bin.minisig, by the first key
    std::string legacyComment;     // package.bin.legacy.minisig, by the first key
    std::string secondComment;     // package.bin.second.minisig, by the second key
    std::string problem;           // why there is none
};

// The fixed set, which the Windows tests (under Wine, without minisign) check too. Its
// second key's ID begins with a zero, which minisign's own comment line leaves out.
const SignedPackage& FixedVectors() {
    static const SignedPackage vectors{KORVANE_TEST_DATA "/signatures",
                                       "CA2325F10DBE664D",
                                       "0C0D14AE1C326AEB",
                                       "release 4.2",
                                       "release 4.2, legacy form",
                                       "release 4.3 from the second key",
                                       ""};
    return vectors;
}

#ifndef _WIN32
// Runs minisign to its end; false with what went wrong in problem.
bool Minisign(const std::vector<std::string>& args, std::string& output, std::string& problem) {
    ::korvane::testing::ChildProcess child("minisign", args, true);
    if (!child.Running()) {
        problem = "minisign cannot be run: install Debian's minisign (scripts/bootstrap.sh tests)";
        return false;
    }
    output = child.ReadAll();
    if (child.Wait() != 0) {
        problem = "minisign failed:\n" + output;
        return false;
    }
    return true;
}

// The same set made afresh by minisign, once per test program: the IDs as its public-key
// files name them, the comments as minisign -V shows them.
const SignedPackage& MadeByMinisign() {
    static const SignedPackage made = [] {
        SignedPackage p;
        p.folder = TempFile("minisign");
        std::filesystem::create_directories(p.folder + "/keys");
        std::string package;
        for (int i = 0; i < 3000; ++i) {
            package += static_cast<char>(i * 131 ^ i >> 3);
        }
        WriteText(p.folder + "/package.bin", package);
        const std::string bin = p.folder + "/package.bin";
        std::string out;
        struct Signing {
            const char* key;
            const char* file;
            bool legacy;
            const char* comment;
        };
        const Signing signings[] = {
            {"first", "package.bin.minisig", false, "release 4.2"},
            {"first", "package.bin.legacy.minisig", true, "release 4.2, legacy form"},
            {"second", "package.bin.second.minisig", false, "release 4.3 from the second key"},
        };
        std::string* const comments[] = {&p.prehashedComment, &p.legacyComment, &p.secondComment};
        for (const char* key : {"first", "second"}) {
            const std::string pub = p.folder + "/keys/" + key + ".pub";
            if (!Minisign({"-G", "-W", "-p", pub, "-s", p.folder + "/" + key + ".key"}, out,
                          p.problem)) {
                return p;
            }
            // "untrusted comment: minisign public key 844BBB7BE51C1D4C", leading zeros left out
            const std::string comment = Lines(ReadText(pub)).at(0);
            const std::string id = comment.substr(comment.rfind(' ') + 1);
            (std::string(key) == "first" ? p.firstId : p.secondId) =
                std::string(16 - std::min<size_t>(id.size(), 16), '0') + id;
        }
        for (size_t i = 0; i < std::size(signings); ++i) {
            const Signing& s = signings[i];
            const std::string sig = p.folder + "/" + s.file;
            std::vector<std::string> args = {
                "-S", "-s", p.folder + "/" + s.key + ".key", "-m", bin, "-x", sig, "-t", s.comment};
            if (s.legacy) {
                args.insert(args.begin() + 1, "-l");
            }
            const std::string pub = p.folder + "/keys/" + s.key + ".pub";
            if (!Minisign(args, out, p.problem) ||
                !Minisign({"-V", "-p", pub, "-m", bin, "-x", sig}, out, p.problem)) {
                return p;
            }
            const std::string shown = "Trusted comment: ";
            for (const std::string& line : Lines(out)) {
                if (line.compare(0, shown.size(), shown) == 0) {
                    *comments[i] = line.substr(shown.size());
                }
            }
        }
        return p;
    }();
    return made;
}
#endif

class SignedPackageTest : public ::testing::TestWithParam<const SignedPackage& (*)()> {
protected:
    void SetUp() override {
        const SignedPackage& made = GetParam()();
        ASSERT_EQ(made.problem, "");
        p = made;
        package = ReadBytes("package.bin");
        ASSERT_FALSE(package.empty());
        std::string error;
        ASSERT_TRUE(LoadTrustedKeys(Path("keys/first.pub"), first, error)) << error;
        ASSERT_TRUE(LoadTrustedKeys(Path("keys/second.pub"), second, error)) << error;
        prehashed = ReadText(Path("package.bin.minisig"));
        legacy = ReadText(Path("package.bin.legacy.minisig"));
        // The forms are what the files claim: base64 "RU" starts "ED", "RW" starts "Ed".
        ASSERT_EQ(Lines(prehashed).at(1).substr(0, 2), "RU");
        ASSERT_EQ(Lines(legacy).at(1).substr(0, 2), "RW");
    }

    std::string Path(const std::string& name) const { return p.folder + "/" + name; }
    std::vector<uint8_t> ReadBytes(const std::string& name) const {
        const std::string text = ReadText(Path(name));
        return std::vector<uint8_t>(text.begin(), text.end());
    }

    SignedPackage p;
    std::vector<uint8_t> package;
    std::vector<TrustedKey> first;
    std::vector<TrustedKey> second;
    std::string prehashed;
    std::string legacy;
};

TEST_P(SignedPackageTest, ValidSignaturesNameTheirKeyAndTrustedComment) {
    const SignatureVerdict verdict = VerifyPackageSignature(package, prehashed, first);
    EXPECT_EQ(verdict.state, State::kValid) << DescribeVerdict(verdict);
    EXPECT_EQ(verdict.keyId, p.firstId);
    EXPECT_EQ(verdict.trustedComment, p.prehashedComment);
    EXPECT_EQ(verdict.keySource, Path("keys/first.pub"));
    EXPECT_NE(DescribeVerdict(verdict).find(p.firstId + ", with the trusted comment \"" +
                                            p.prehashedComment + "\""),
              std::string::npos);

    const SignatureVerdict old = VerifyPackageSignature(package, legacy, first);
    EXPECT_EQ(old.state, State::kValid) << DescribeVerdict(old);
    EXPECT_EQ(old.keyId, p.firstId);
    EXPECT_EQ(old.trustedComment, p.legacyComment);
}

TEST_P(SignedPackageTest, EveryKeyOfAFolderIsTrusted) {
    std::vector<TrustedKey> keys;
    std::string error;
    ASSERT_TRUE(LoadTrustedKeys(Path("keys"), keys, error)) << error;
    ASSERT_EQ(keys.size(), 2u);
    const SignatureVerdict verdict =
        VerifyPackageSignature(package, ReadText(Path("package.bin.second.minisig")), keys);
    EXPECT_EQ(verdict.state, State::kValid) << DescribeVerdict(verdict);
    EXPECT_EQ(verdict.keyId, p.secondId);
    EXPECT_EQ(verdict.trustedComment, p.secondComment);
    EXPECT_EQ(std::filesystem::path(verdict.keySource).filename(), "second.pub");
}

TEST_P(SignedPackageTest, APackageChangedAfterSigningIsCaughtInEitherForm) {
    for (const std::string* signature : {&prehashed, &legacy}) {
        for (size_t at : {size_t{0}, package.size() / 2, package.size() - 1}) {
            std::vector<uint8_t> changed = package;
            changed[at] ^= 0x01;
            const SignatureVerdict verdict = VerifyPackageSignature(changed, *signature, first);
            EXPECT_EQ(verdict.state, State::kChangedAfterSigning)
                << "byte " << at << ": " << DescribeVerdict(verdict);
            EXPECT_EQ(verdict.keyId, p.firstId);
        }
        std::vector<uint8_t> longer = package;
        longer.push_back(0);
        EXPECT_EQ(VerifyPackageSignature(longer, *signature, first).state,
                  State::kChangedAfterSigning);
    }
}

TEST_P(SignedPackageTest, AnEditedTrustedCommentIsCaughtInEitherForm) {
    for (const std::string* signature : {&prehashed, &legacy}) {
        std::vector<std::string> lines = Lines(*signature);
        lines.at(2) += " (approved)";
        const SignatureVerdict verdict = VerifyPackageSignature(package, Joined(lines), first);
        EXPECT_EQ(verdict.state, State::kCommentAltered) << DescribeVerdict(verdict);
        EXPECT_EQ(verdict.keyId, p.firstId);
        EXPECT_EQ(verdict.trustedComment, "");
    }
}

TEST_P(SignedPackageTest, AKeyThatIsNotTrustedIsNamed) {
    for (const std::vector<TrustedKey>& trusted : {second, std::vector<TrustedKey>()}) {
        const SignatureVerdict verdict = VerifyPackageSignature(package, prehashed, trusted);
        EXPECT_EQ(verdict.state, State::kUntrustedKey);
        EXPECT_EQ(verdict.keyId, p.firstId);
        EXPECT_NE(DescribeVerdict(verdict).find(p.firstId), std::string::npos);
    }
    EXPECT_EQ(VerifyPackageSignature(package, std::nullopt, first).state, State::kNoSignature);
}

INSTANTIATE_TEST_SUITE_P(Fixed, SignedPackageTest, ::testing::Values(&FixedVectors));
#ifndef _WIN32
INSTANTIATE_TEST_SUITE_P(Minisign, SignedPackageTest, ::testing::Values(&MadeByMinisign));
#endif

TEST(PackageSignature, MalformedSignatureFilesSayWhatIsWrong) {
    const SignedPackage& p = FixedVectors();
    const std::string bytes = ReadText(p.folder + "/package.bin");
    const std::vector<uint8_t> package(bytes.begin(), bytes.end());
    std::vector<TrustedKey> keys;
    std::string error;
    ASSERT_TRUE(LoadTrustedKeys(p.folder + "/keys", keys, error)) << error;
    const std::vector<std::string> good = Lines(ReadText(p.folder + "/package.bin.minisig"));
    ASSERT_EQ(good.size(), 4u);
    auto with = [&](size_t line, const std::string& text) {
        std::vector<std::string> lines = good;
        lines[line] = text;
        return Joined(lines);
    };
    struct Case {
        std::string text;
        State state;
        std::string detail;
    };
    const std::string unknownAlgorithm = "RV" + good[1].substr(2);  // "ET"
    // The last character before "==" carries 2 bits of the last byte and 4 that must be 0.
    std::string strayBits = good[3];
    ++strayBits[strayBits.size() - 3];
    const Case cases[] = {
        {"", State::kMalformed, "it is empty"},
        {with(0, "comment: none"), State::kMalformed, "its first line"},
        {with(1, good[1].substr(0, 20) + "*" + good[1].substr(21)), State::kMalformed,
         "its second line"},
        {with(1, good[1].substr(0, good[1].size() - 4)), State::kMalformed, "its second line"},
        {with(1, good[1] + " "), State::kMalformed, "its second line"},
        {with(2, "trusted: release 4.2"), State::kMalformed, "its third line"},
        {Joined({good[0], good[1], good[2]}), State::kMalformed, "its fourth line is missing"},
        {with(3, good[3].substr(4)), State::kMalformed, "its fourth line"},
        {with(3, strayBits), State::kMalformed, "its fourth line"},
        {with(1, unknownAlgorithm), State::kUnsupported, "\"ET\""},
        {Joined(good) + "more\n", State::kMalformed, "it has more than four lines"},
        {Joined(good) + "\n", State::kMalformed, "it has more than four lines"},
    };
    for (const Case& c : cases) {
        const SignatureVerdict verdict = VerifyPackageSignature(package, c.text, keys);
        EXPECT_EQ(verdict.state, c.state) << c.text;
        EXPECT_NE(verdict.detail.find(c.detail), std::string::npos) << verdict.detail << "\n for:\n"
                                                                    << c.text;
    }
    // What libgcrypt cannot take whole is refused before it gets there: a trusted comment
    // longer than minisign writes, and a legacy signature of a package above 60 KiB.
    const std::string legacy = ReadText(p.folder + "/package.bin.legacy.minisig");
    EXPECT_EQ(VerifyPackageSignature(package,
                                     with(2, "trusted comment: " + std::string(70000, 'x')), keys)
                  .state,
              State::kMalformed);
    const SignatureVerdict large =
        VerifyPackageSignature(std::vector<uint8_t>(61441, 0x5A), legacy, keys);
    EXPECT_EQ(large.state, State::kUnsupported);
    EXPECT_NE(large.detail.find("legacy form"), std::string::npos) << large.detail;
    EXPECT_EQ(VerifyPackageSignature(std::vector<uint8_t>(61440, 0x5A), legacy, keys).state,
              State::kChangedAfterSigning);

    // Line ends of another system change nothing.
    const std::string crlf = good[0] + "\r\n" + good[1] + "\r\n" + good[2] + "\r\n" + good[3];
    EXPECT_EQ(VerifyPackageSignature(package, crlf, keys).state, State::kValid);
    EXPECT_EQ(VerifyPackageSignature(package, crlf + "\r\n", keys).state, State::kValid);
}

TEST(PackageSignature, KeysThatCannotBeTrustedAreNamed) {
    const std::string pub = ReadText(FixedVectors().folder + "/keys/first.pub");
    const std::string comment = "untrusted comment: made up\n";
    struct Case {
        std::vector<std::pair<std::string, std::string>> files;  // in a folder of its own
        std::string named;                                       // what the error names
    };
    const Case cases[] = {
        {{{"notes.txt", "no key here\n"}}, "holds no .pub file"},
        {{{"a.pub", pub}, {"b.pub", "ssh-ed25519 AAAAC3Nza\n"}}, "b.pub is no usable"},
        {{{"a.pub", pub}, {"b.pub", comment}}, "b.pub is no usable"},
        // the algorithm "ET"
        {{{"a.pub", comment + "RV" + Lines(pub).at(1).substr(2) + "\n"}}, "\"ET\""},
        // the key 0 (libgcrypt would abort on it) and y = p + 1 (no point of the curve)
        {{{"a.pub", comment + "RWQBAgMEBQYHCAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\n"}},
         "a.pub is no usable minisign public key: its public key is no point"},
        {{{"a.pub", comment + "RWQBAgMEBQYHCO7///////////////////////////////////////9/\n"}},
         "a.pub is no usable minisign public key: its public key is no point"},
        {{{"a.pub", pub}, {"b.pub/", ""}}, "b.pub"},  // a folder
    };
    for (const Case& c : cases) {
        const std::string folder = TempFile("keys");
        std::filesystem::create_directory(folder);
        for (const auto& [name, text] : c.files) {
            if (name.back() == '/') {
                std::filesystem::create_directory(folder + "/" + name);
            } else {
                WriteText(folder + "/" + name, text);
            }
        }
        std::vector<TrustedKey> keys(1);
        std::string error;
        EXPECT_FALSE(LoadTrustedKeys(folder, keys, error));
        EXPECT_NE(error.find(c.named), std::string::npos) << error;
        EXPECT_EQ(keys.size(), 1u);
    }
    std::vector<TrustedKey> keys;
    std::string error;
    EXPECT_FALSE(LoadTrustedKeys(TempFile("nothing"), keys, error));
    EXPECT_NE(error.find("do not exist"), std::string::npos) << error;
}

// A forged key that claims the real key's ID, read first, would have every genuine
// signature taken for a package changed after signing.
TEST(PackageSignature, TwoKeysOfOneIdAreRefusedNamingBothFiles) {
    const std::string folder = TempFile("keys");
    std::filesystem::create_directory(folder);
    // The first key's ID with the second key's public key.
    WriteText(folder + "/a.pub",
              "untrusted comment: forged\n"
              "RWRNZr4N8SUjyhhkPCf92GOo8zA/XtQca2ZLgTrBjM7A5I2d625ibUAf\n");
    WriteText(folder + "/first.pub", ReadText(FixedVectors().folder + "/keys/first.pub"));
    std::vector<TrustedKey> keys;
    std::string error;
    EXPECT_FALSE(LoadTrustedKeys(folder, keys, error));
    // A file in the folder is named with the system's own separator.
#ifdef _WIN32
    const std::string in = folder + "\\";
#else
    const std::string in = folder + "/";
#endif
    EXPECT_EQ(error, "the key files " + in + "a.pub and " + in +
                         "first.pub hold keys of one key ID, CA2325F10DBE664D; only one of "
                         "them can be the signer's");
    EXPECT_TRUE(keys.empty());
    // Nor may a key join one already trusted under its ID.
    ASSERT_TRUE(LoadTrustedKeys(folder + "/first.pub", keys, error)) << error;
    EXPECT_FALSE(LoadTrustedKeys(folder + "/a.pub", keys, error));
    EXPECT_NE(error.find("/first.pub and " + folder + "/a.pub"), std::string::npos) << error;
    EXPECT_EQ(keys.size(), 1u);
}

TEST(PackageSignature, AMissingSignatureFileIsNoSignatureAndAnUnreadableOneAnError) {
    const std::string package = FixedVectors().folder + "/package.bin";
    std::optional<std::string> text;
    std::string error;
    ASSERT_TRUE(ReadSignatureFile(SignaturePathFor(package), text, error)) << error;
    EXPECT_EQ(text, ReadText(package + ".minisig"));
    ASSERT_TRUE(ReadSignatureFile(package + ".none", text, error)) << error;
    EXPECT_EQ(text, std::nullopt);
    const std::string folder = TempFile("signature.minisig");
    std::filesystem::create_directory(folder);
    EXPECT_FALSE(ReadSignatureFile(folder, text, error));
    EXPECT_NE(error.find(folder), std::string::npos) << error;
}

}  // namespace
}  // namespace korvane
