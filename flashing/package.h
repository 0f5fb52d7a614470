// The package file: a 16-byte header that is never checked, a directory of eight entries
// from byte 16 to byte 208, and the images anywhere after it. Integers are little-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "flashing/entry_kind.h"

namespace korvane {

constexpr size_t kPackageHeaderBytes = 16;
constexpr size_t kPackageEntryCount = 8;
constexpr size_t kDirectoryEntryBytes = 24;
constexpr size_t kEntryNameBytes = 16;
// A name with its terminator fits the name field.
constexpr size_t kMaxEntryNameChars = kEntryNameBytes - 1;
constexpr size_t kDirectoryEndBytes =
    kPackageHeaderBytes + kPackageEntryCount * kDirectoryEntryBytes;  // 208

// The header that BuildPackage writes: this text padded with zeros.
constexpr char kPackageMagic[] = "KORVANE PACKAGE";

struct PackageEntry {
    uint32_t offset = 0;  // of the image, from the start of the file
    uint32_t size = 0;    // of the image, in bytes
    // Up to the field's first zero byte. A field without one gives all 16 bytes.
    std::string name;

    // Only an entry with both a non-zero offset and a non-zero size is written.
    bool InUse() const { return offset != 0 && size != 0; }
    // True when the name field had no terminator (the name then fills all 16 bytes).
    bool NameUnterminated() const { return name.size() >= kEntryNameBytes; }
};

using PackageDirectory = std::array<PackageEntry, kPackageEntryCount>;

// The directory from the first bytes of a package; bytes beyond length count as zero, so
// a short file puts the entries it does not reach out of use.
PackageDirectory ParseDirectory(const uint8_t* bytes, size_t length);

// A package (or any file) opened for reading in binary mode, read by seeking from the
// start. Failures are reported, never thrown.
class PackageFile {
public:
    PackageFile() = default;
    ~PackageFile();
    PackageFile(const PackageFile&) = delete;
    PackageFile& operator=(const PackageFile&) = delete;

    // Opens the file for reading, closing any file opened before. Only a regular file
    // opens: a FIFO, a folder or a device is refused without waiting on it. On Windows
    // nobody may open it for writing meanwhile, so the package cannot change under a run;
    // other runs may read it at the same time.
    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const { return file != nullptr; }
    const std::string& Path() const { return path; }

    // Moves to offset bytes from the start. False when the file is not open or the seek
    // fails; a position past the end is allowed (reads there give 0 bytes).
    bool Seek(uint64_t offset);
    // Reads up to length bytes at the current position. The number read, fewer than
    // length only at the end of the file; -1 when the file is not open or the read fails.
    int32_t Read(uint8_t* buffer, int32_t length);
    // The file's length in bytes, or -1. The position is kept.
    int64_t Size();

private:
    std::FILE* file = nullptr;
    std::string path;
};

// Reads the directory from the start of the open file. False when the seek or the read
// fails; a file shorter than the directory is no failure (see ParseDirectory).
bool ReadDirectory(PackageFile& package, PackageDirectory& directory);

// One directory slot as a listing shows it, with what would become of it in a run.
struct EntryListing {
    size_t slot = 0;
    PackageEntry entry;
    bool inUse = false;
    EntryKind kind = kKindOther;
    EntryWriter writer = EntryWriter::kData;
    // The data writer's first block number: the kind as an unsigned 16-bit number.
    bool hasFirstBlock = false;
    uint16_t firstBlock = 0;
    // What looks wrong with the slot, one short English phrase each.
    std::vector<std::string> warnings;
};

// Describes every slot of the directory of a file of fileSize bytes.
std::vector<EntryListing> ListDirectory(const PackageDirectory& directory, uint64_t fileSize);

// One image to put into a package.
struct PackageImage {
    std::string name;
    std::vector<uint8_t> bytes;
};

// Builds a package from up to eight images, laid out one after another behind the
// directory in the order given. False with a one-line reason in error when an image
// cannot be carried: too many images, a name that is empty, longer than 15 characters or
// not printable ASCII, an empty image (it would be out of use), or a package past 4 GiB.
bool BuildPackage(const std::vector<PackageImage>& images, std::vector<uint8_t>& package,
                  std::string& error);

}  // namespace korvane
