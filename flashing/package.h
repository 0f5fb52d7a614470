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

// The largest package a run takes. Packages are small: the loader and the firmware must
// fit a device's flash, and data images go in 512-byte blocks; a file far larger is a
// mistake (a disk image, a sparse file) that would take hours on the line.
constexpr uint64_t kMaxPackageBytes = uint64_t{64} << 20;
// The largest flash of the STM32F10x family: a loader or firmware image longer than this
// fits no device.
constexpr uint32_t kMaxFlashBytes = uint32_t{1} << 20;

// A package (or any file) read whole into memory when it is opened, and read from that copy
// by seeking from the start: a run writes, hashes and checks the very same bytes, however
// the file changes on the disk meanwhile. Failures are reported, never thrown.
class PackageFile {
public:
    PackageFile() = default;
    PackageFile(const PackageFile&) = delete;
    PackageFile& operator=(const PackageFile&) = delete;

    // Reads the file, dropping any file read before. Only a regular file of at most
    // kMaxPackageBytes is read: a FIFO, a folder or a device is refused without waiting on
    // it, a larger file before any of it is read. On Windows nobody may write the file
    // while it is being read. False (Problem() says why) also when an interrupt is
    // requested meanwhile.
    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const { return open; }
    const std::string& Path() const { return path; }
    // Why the last Open failed.
    enum class Failure {
        kNone,
        kUnreadable,   // missing, not a regular file, or a read error
        kTooLarge,     // more than kMaxPackageBytes: refused before it was read
        kInterrupted,  // an interrupt came while it was being read
    };
    Failure LastFailure() const { return failure; }
    // The same as a phrase that follows the file's name ("is larger than 64 MiB …");
    // empty after an Open that succeeded.
    const std::string& Problem() const { return problem; }
    // The file's bytes as they were read.
    const std::vector<uint8_t>& Bytes() const { return bytes; }

    // Moves to offset bytes from the start. False when nothing is open; a position past
    // the end is allowed (reads there give 0 bytes).
    bool Seek(uint64_t offset);
    // Reads up to length bytes at the current position. The number read, fewer than
    // length only at the end of the file; -1 when nothing is open.
    int32_t Read(uint8_t* buffer, int32_t length);
    // The file's length in bytes, or -1.
    int64_t Size() const;

private:
    std::vector<uint8_t> bytes;
    uint64_t position = 0;
    bool open = false;
    std::string path;
    Failure failure = Failure::kNone;
    std::string problem;
};

// What Open would refuse the file for, found without reading it (a path that is no regular
// file, or one too large); empty when it looks readable.
std::string PackageFileProblem(const std::string& path);

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

// What keeps a package with this directory from being flashed as it is, as a phrase that
// follows "cannot be flashed: "; empty when nothing does. A device takes one firmware
// image and one serial number, so a second firmware entry (even one sharing the first
// one's bytes) would number one device twice; a loader or firmware image larger than
// kMaxFlashBytes fits no device.
std::string PackageRefusal(const PackageDirectory& directory);

// What keeps a package from going into a device with a flash of flashKib KiB, as a phrase
// that follows "cannot be flashed: "; empty when it fits: the loader and the firmware each
// start at the start of the flash, and the serial record lies at 0x0800FF00.
std::string PackageFitRefusal(const PackageDirectory& directory, int flashKib);

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
