#include "flashing/package.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "flashing/entry_kind.h"
#include "support/scratch_folder.h"

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(EntryKind, FirstMatchingNameTestWinsIgnoringCase) {
    struct Case {
        const char* name;
        EntryKind kind;
    };
    const Case cases[] = {
        {"CFG.BIN", kKindConfig},
        {"xcfg.bin", kKindConfig},
        {"DIAG.BIN", kKindLoader},
        {"k1_data.bin", kKindData},
        {"mcu.bin", kKindFirmware},
        {"MCU.BIN.OLD", kKindFirmware},
        {"xx_SYSTR.BIN", kKindStrings},
        {"xx_Logo.Bin", kKindLogo},
        {"logo.bin", kKindOther},
        {"BOOT.BIN", kKindOther},
        {"", kKindOther},
        {"MCU.BIN DIAG.BIN", kKindLoader},
        {"A_DATA.BIN_LOGO.BIN", kKindData},
        {"/srv/cfg.bin.d/update.bin", kKindConfig},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ClassifyName(c.name), c.kind) << c.name;
        EXPECT_EQ(IsKnownImageName(c.name), c.kind != kKindOther) << c.name;
    }
}

// A directory entry's 24 bytes.
Bytes EntryBytes(uint32_t offset, uint32_t size, const std::string& name) {
    Bytes bytes(kDirectoryEntryBytes, 0);
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<uint8_t>(offset >> (8 * i));
        bytes[4 + i] = static_cast<uint8_t>(size >> (8 * i));
    }
    std::memcpy(bytes.data() + 8, name.data(), std::min(name.size(), kEntryNameBytes));
    return bytes;
}

Bytes Directory(const std::vector<Bytes>& entries) {
    Bytes all(kPackageHeaderBytes, 0x48);
    for (const Bytes& entry : entries) {
        all.insert(all.end(), entry.begin(), entry.end());
    }
    return all;
}

TEST(PackageDirectory, ReadsLittleEndianEntriesAndInUseRule) {
    const Bytes raw = Directory({EntryBytes(0x00030201, 0x0A0B0C0D, "MCU.BIN"),
                                 EntryBytes(0, 100, "CFG.BIN"), EntryBytes(300, 0, "X_DATA.BIN"),
                                 EntryBytes(0xFFFFFFFF, 0xFFFFFFFF, "BOOT.BIN")});
    const PackageDirectory directory = ParseDirectory(raw.data(), raw.size());
    EXPECT_EQ(directory[0].offset, 0x00030201u);
    EXPECT_EQ(directory[0].size, 0x0A0B0C0Du);
    EXPECT_EQ(directory[0].name, "MCU.BIN");
    EXPECT_TRUE(directory[0].InUse());
    EXPECT_FALSE(directory[1].InUse());
    EXPECT_FALSE(directory[2].InUse());
    EXPECT_TRUE(directory[3].InUse());
    for (size_t i = 4; i < kPackageEntryCount; ++i) {
        EXPECT_FALSE(directory[i].InUse());
        EXPECT_EQ(directory[i].name, "");
    }
}

TEST(PackageDirectory, ShortFileReadsAsZerosAndFullNameFieldIsCutAtSixteen) {
    Bytes raw =
        Directory({EntryBytes(208, 10, "ABCDEFGHIJKLMNOPQRS"), EntryBytes(300, 0x100, "B")});
    // Entry 1 keeps its offset but loses the non-zero byte of its size: out of use.
    raw.resize(kPackageHeaderBytes + kDirectoryEntryBytes + 5);
    const PackageDirectory directory = ParseDirectory(raw.data(), raw.size());
    EXPECT_EQ(directory[0].name, "ABCDEFGHIJKLMNOP");
    EXPECT_TRUE(directory[0].NameUnterminated());
    EXPECT_TRUE(directory[0].InUse());
    EXPECT_EQ(directory[1].offset, 300u);
    EXPECT_EQ(directory[1].size, 0u);
    EXPECT_FALSE(directory[1].InUse());

    for (const PackageEntry& entry : ParseDirectory(nullptr, 500)) {
        EXPECT_FALSE(entry.InUse());
    }
}

// A file in the test's temporary folder, removed at the end.
class TempFile {
public:
    explicit TempFile(const Bytes& bytes) : path(testing::TempFile("package.bin")) {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (file != nullptr) {
            std::fwrite(bytes.data(), 1, bytes.size(), file);
            std::fclose(file);
        }
    }
    ~TempFile() { std::remove(path.c_str()); }
    const std::string path;
};

TEST(PackageFile, ReadsDirectoryAndChunksAndReportsWhatFails) {
    PackageFile package;
    PackageDirectory directory;
    uint8_t chunk[8];
    EXPECT_FALSE(package.Open(testing::TempFile("no_such_package.bin")));
    EXPECT_FALSE(ReadDirectory(package, directory));
    EXPECT_FALSE(package.Seek(0));
    EXPECT_EQ(package.Read(chunk, 8), -1);
    EXPECT_EQ(package.Size(), -1);

    Bytes raw = Directory({EntryBytes(210, 4, "A_LOGO.BIN")});
    raw.resize(210);
    raw.insert(raw.end(), {1, 2, 3, 4});
    TempFile file(raw);
    ASSERT_TRUE(package.Open(file.path));
    EXPECT_EQ(package.Path(), file.path);
    EXPECT_EQ(package.Size(), 214);
    ASSERT_TRUE(ReadDirectory(package, directory));
    EXPECT_EQ(directory[0].name, "A_LOGO.BIN");
    EXPECT_FALSE(directory[1].InUse());

    // A chunk at the end comes short, past the end empty; seeking back still works.
    ASSERT_TRUE(package.Seek(210));
    EXPECT_EQ(package.Read(chunk, 8), 4);
    EXPECT_EQ(Bytes(chunk, chunk + 4), Bytes({1, 2, 3, 4}));
    EXPECT_EQ(package.Read(chunk, 8), 0);
    ASSERT_TRUE(package.Seek(5000));
    EXPECT_EQ(package.Read(chunk, 8), 0);
    ASSERT_TRUE(package.Seek(211));
    EXPECT_EQ(package.Read(chunk, 2), 2);
    EXPECT_EQ(package.Size(), 214);
    EXPECT_EQ(package.Read(chunk, 1), 1);
    EXPECT_EQ(chunk[0], 4);

    // Several runs read one package at once (the ports of one tool, two programs), and
    // each writes what it read, whatever becomes of the file afterwards.
    PackageFile another;
    EXPECT_TRUE(another.Open(file.path));
    std::FILE* rewrite = std::fopen(file.path.c_str(), "wb");
    ASSERT_NE(rewrite, nullptr);
    std::fwrite(Bytes(214, 0xEE).data(), 1, 214, rewrite);
    std::fclose(rewrite);
    ASSERT_TRUE(another.Seek(210));
    EXPECT_EQ(another.Read(chunk, 8), 4);
    EXPECT_EQ(Bytes(chunk, chunk + 4), Bytes({1, 2, 3, 4}));

    package.Close();
    EXPECT_FALSE(package.IsOpen());
    EXPECT_EQ(package.Read(chunk, 1), -1);
}

TEST(PackageBuilder, RoundTripsThroughTheDirectory) {
    const std::vector<PackageImage> images = {{"DIAG.BIN", Bytes(300, 0x11)},
                                              {"mcu.bin", Bytes(1000, 0x22)},
                                              {"K1_LOGO.BIN", Bytes(1, 0x33)},
                                              {"ABCDEFGHIJKLMNO", Bytes(512, 0x44)}};
    Bytes package;
    std::string error;
    ASSERT_TRUE(BuildPackage(images, package, error)) << error;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(package.data())), kPackageMagic);
    EXPECT_EQ(package.size(), kDirectoryEndBytes + 300 + 1000 + 1 + 512);

    const PackageDirectory directory = ParseDirectory(package.data(), package.size());
    uint32_t expectedOffset = kDirectoryEndBytes;
    for (size_t i = 0; i < images.size(); ++i) {
        const PackageEntry& entry = directory[i];
        EXPECT_EQ(entry.name, images[i].name);
        EXPECT_FALSE(entry.NameUnterminated());
        EXPECT_EQ(entry.offset, expectedOffset);
        ASSERT_EQ(entry.size, images[i].bytes.size());
        EXPECT_EQ(
            Bytes(package.begin() + entry.offset, package.begin() + entry.offset + entry.size),
            images[i].bytes);
        expectedOffset += entry.size;
    }
    for (size_t i = images.size(); i < kPackageEntryCount; ++i) {
        EXPECT_FALSE(directory[i].InUse());
    }
    for (const EntryListing& slot : ListDirectory(directory, package.size())) {
        EXPECT_TRUE(slot.warnings.empty()) << slot.slot << ": " << slot.warnings.front();
    }

    // No images at all is a valid, empty package.
    ASSERT_TRUE(BuildPackage({}, package, error));
    EXPECT_EQ(package.size(), kDirectoryEndBytes);
}

TEST(PackageBuilder, RejectsWhatTheDirectoryCannotHold) {
    const Bytes one(1, 0);
    struct Case {
        std::vector<PackageImage> images;
        const char* message;
    };
    const Case cases[] = {
        {std::vector<PackageImage>(9, {"A.BIN", one}), "at most 8 entries, 9 given"},
        {{{"A.BIN", one}, {"", one}}, "slot 1: the name is empty"},
        {{{"ABCDEFGHIJKLMNOP", one}}, "slot 0 (ABCDEFGHIJKLMNOP): the name has 16 characters"},
        {{{std::string("A\0B", 3), one}}, "only printable ASCII"},
        {{{"A.BIN", {}}}, "slot 0 (A.BIN): the image is empty"},
    };
    for (const Case& c : cases) {
        Bytes package = {9, 9};
        std::string error;
        EXPECT_FALSE(BuildPackage(c.images, package, error));
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
        EXPECT_EQ(package, Bytes({9, 9}));
    }
}

TEST(PackageListing, ShowsWriterFirstBlockAndWarnings) {
    const Bytes raw = Directory({
        EntryBytes(208, 100, "DIAG.BIN"),          // 0: fine
        EntryBytes(320, 100, "x_data.bin"),        // 1: overlaps 2
        EntryBytes(350, 10, "BOOT.BIN"),           // 2: overlaps 1
        EntryBytes(900, 200, "MCU.BIN"),           // 3: cut short
        EntryBytes(1200, 5, "CFG.BIN"),            // 4: beyond the end
        EntryBytes(0, 5, "XX_LOGO.BIN"),           // 5: not in use
        EntryBytes(100, 20, "ABCDEFGHIJKLMNOPQ"),  // 6: in the directory, no terminator
    });
    const std::vector<EntryListing> listing =
        ListDirectory(ParseDirectory(raw.data(), raw.size()), 1000);
    ASSERT_EQ(listing.size(), kPackageEntryCount);

    EXPECT_EQ(listing[0].writer, EntryWriter::kLoader);
    EXPECT_FALSE(listing[0].hasFirstBlock);
    EXPECT_TRUE(listing[0].warnings.empty());
    EXPECT_EQ(listing[1].firstBlock, 384);
    EXPECT_EQ(listing[1].warnings, std::vector<std::string>({"overlaps slot 2"}));
    EXPECT_EQ(listing[2].firstBlock, 65535);
    EXPECT_EQ(listing[2].warnings, std::vector<std::string>({"overlaps slot 1"}));
    EXPECT_EQ(listing[3].writer, EntryWriter::kFirmware);
    EXPECT_EQ(
        listing[3].warnings,
        std::vector<std::string>({"cut short by the end of the file: 100 of 200 bytes present"}));
    EXPECT_TRUE(listing[4].hasFirstBlock);
    EXPECT_EQ(listing[4].firstBlock, 0);
    EXPECT_EQ(listing[4].warnings, std::vector<std::string>({"beyond the end of the file"}));
    EXPECT_FALSE(listing[5].inUse);
    EXPECT_EQ(listing[5].warnings, std::vector<std::string>({"not in use: offset or size is 0"}));
    EXPECT_EQ(listing[6].entry.name, "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(listing[6].warnings, std::vector<std::string>({"name without terminator",
                                                             "overlaps the package directory"}));
    EXPECT_FALSE(listing[7].inUse);
    EXPECT_TRUE(listing[7].warnings.empty());
    EXPECT_STREQ(WriterName(listing[7].writer), "data");
}

}  // namespace
}  // namespace korvane
