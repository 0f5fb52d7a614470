#include "flashing/package.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>

#ifdef _WIN32
#include <share.h>
#include <sys/stat.h>
#include <sys/types.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "platform/interrupt.h"

namespace korvane {

namespace {

uint32_t ReadLe32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void WriteLe32(uint8_t* bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

std::string SlotLabel(size_t slot, const std::string& name) {
    return "slot " + std::to_string(slot) + (name.empty() ? "" : " (" + name + ")");
}

bool IsPrintableAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

}  // namespace

PackageDirectory ParseDirectory(const uint8_t* bytes, size_t length) {
    uint8_t raw[kDirectoryEndBytes] = {};
    if (bytes != nullptr) {
        std::memcpy(raw, bytes, std::min(length, kDirectoryEndBytes));
    }
    PackageDirectory directory;
    for (size_t i = 0; i < kPackageEntryCount; ++i) {
        const uint8_t* field = raw + kPackageHeaderBytes + i * kDirectoryEntryBytes;
        PackageEntry& entry = directory[i];
        entry.offset = ReadLe32(field);
        entry.size = ReadLe32(field + 4);
        const uint8_t* name = field + 8;
        const uint8_t* nameEnd = std::find(name, name + kEntryNameBytes, 0);
        entry.name.assign(name, nameEnd);
    }
    return directory;
}

namespace {

// "64 MiB" for a whole number of MiB, else the bytes.
std::string SizeText(uint64_t bytes) {
    return bytes % (1u << 20) == 0 ? std::to_string(bytes >> 20) + " MiB"
                                   : std::to_string(bytes) + " bytes";
}

std::string TooLarge(uint64_t size) {
    return "is larger than " + SizeText(kMaxPackageBytes) + " (" + std::to_string(size) +
           " bytes), which no package is";
}

// Reads the rest of an open file in pieces, so that an interrupt is heard between them.
bool ReadWhole(std::FILE* file, uint64_t expected, std::vector<uint8_t>& into, std::string& why,
               PackageFile::Failure& failure) {
    constexpr size_t kPiece = size_t{1} << 20;
    into.clear();
    into.reserve(static_cast<size_t>(expected));
    uint8_t piece[4096];
    size_t sincePause = 0;
    for (;;) {
        const size_t got = std::fread(piece, 1, sizeof piece, file);
        into.insert(into.end(), piece, piece + got);
        if (into.size() > kMaxPackageBytes) {
            why = TooLarge(into.size());
            failure = PackageFile::Failure::kTooLarge;
            return false;
        }
        if (got < sizeof piece) {
            if (std::ferror(file) != 0) {
                why = "cannot be read";
                failure = PackageFile::Failure::kUnreadable;
                return false;
            }
            return true;
        }
        sincePause += got;
        if (sincePause >= kPiece) {
            sincePause = 0;
            if (InterruptRequested()) {
                why = "was not read whole: the run was interrupted";
                failure = PackageFile::Failure::kInterrupted;
                return false;
            }
        }
    }
}

// Why a file could not be opened, with the system's own reason ("No such file or
// directory"), read before anything else can change errno.
std::string CannotBeOpened(int error) {
    return std::string("cannot be opened (") + std::strerror(error) + ")";
}

// Opens path for reading if it is a regular file. On Windows nobody may open it for
// writing while it is open here.
std::FILE* OpenRegularFile(const std::string& path, uint64_t& size, std::string& why) {
#ifdef _WIN32
    std::FILE* file = _fsopen(path.c_str(), "rb", _SH_DENYWR);
    struct _stat64 status {};
    if (file == nullptr) {
        why = CannotBeOpened(errno);
        return nullptr;
    }
    if (_fstat64(_fileno(file), &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG) {
        std::fclose(file);
        why = "is not a regular file";
        return nullptr;
    }
    size = static_cast<uint64_t>(status.st_size);
    return file;
#else
    // Non-blocking for the open itself: a FIFO would otherwise wait for a writer, and a
    // terminal for its carrier. Only a regular file is let through.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        why = CannotBeOpened(errno);
        return nullptr;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        why = "is not a regular file";
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* file = fdopen(fd, "rb");
    if (file == nullptr) {
        close(fd);
        why = CannotBeOpened(errno);
        return nullptr;
    }
    size = static_cast<uint64_t>(status.st_size);
    return file;
#endif
}

}  // namespace

std::string PackageFileProblem(const std::string& path) {
    uint64_t size = 0;
    std::string why;
    std::FILE* file = OpenRegularFile(path, size, why);
    if (file == nullptr) {
        return why;
    }
    std::fclose(file);
    return size > kMaxPackageBytes ? TooLarge(size) : std::string();
}

bool PackageFile::Open(const std::string& newPath) {
    Close();
    uint64_t size = 0;
    std::FILE* file = OpenRegularFile(newPath, size, problem);
    if (file == nullptr) {
        failure = Failure::kUnreadable;
        return false;
    }
    // The size is checked before anything is read: a sparse file of gigabytes would
    // otherwise be read, and hashed, for a minute before each port.
    bool read = false;
    if (size > kMaxPackageBytes) {
        problem = TooLarge(size);
        failure = Failure::kTooLarge;
    } else {
        read = ReadWhole(file, size, bytes, problem, failure);
    }
    std::fclose(file);
    if (!read) {
        bytes.clear();
        return false;
    }
    open = true;
    path = newPath;
    return true;
}

void PackageFile::Close() {
    bytes.clear();
    bytes.shrink_to_fit();
    position = 0;
    open = false;
    path.clear();
    failure = Failure::kNone;
    problem.clear();
}

bool PackageFile::Seek(uint64_t offset) {
    if (!open) {
        return false;
    }
    position = offset;
    return true;
}

int32_t PackageFile::Read(uint8_t* buffer, int32_t length) {
    if (!open || length < 0) {
        return -1;
    }
    const uint64_t available = position < bytes.size() ? bytes.size() - position : 0;
    const size_t n =
        static_cast<size_t>(std::min<uint64_t>(available, static_cast<uint64_t>(length)));
    if (n > 0) {
        std::memcpy(buffer, bytes.data() + position, n);
        position += n;
    }
    return static_cast<int32_t>(n);
}

int64_t PackageFile::Size() const {
    return open ? static_cast<int64_t>(bytes.size()) : -1;
}

bool ReadDirectory(PackageFile& package, PackageDirectory& directory) {
    uint8_t raw[kDirectoryEndBytes];
    if (!package.Seek(0)) {
        return false;
    }
    const int32_t got = package.Read(raw, static_cast<int32_t>(kDirectoryEndBytes));
    if (got < 0) {
        return false;
    }
    directory = ParseDirectory(raw, static_cast<size_t>(got));
    return true;
}

namespace {

// Why a run refuses one entry in use, given the slot of the first firmware entry before it
// (if any); empty when it does not.
std::string EntryRefusal(const PackageEntry& entry, std::optional<size_t> firstFirmware) {
    const EntryWriter writer = WriterFor(ClassifyName(entry.name));
    if (writer == EntryWriter::kFirmware && firstFirmware) {
        return "a second firmware image beside slot " + std::to_string(*firstFirmware) +
               ": one device takes one, with one serial number";
    }
    if (writer != EntryWriter::kData && entry.size > kMaxFlashBytes) {
        return std::string(writer == EntryWriter::kLoader ? "a loader" : "a firmware") +
               " image of " + std::to_string(entry.size) + " bytes, more than the " +
               SizeText(kMaxFlashBytes) + " of the largest flash";
    }
    return {};
}

// Calls visit(slot, refusal) for each entry in use that a run refuses.
template <typename Visit>
void ForEachRefusal(const PackageDirectory& directory, Visit visit) {
    std::optional<size_t> firstFirmware;
    for (size_t i = 0; i < directory.size(); ++i) {
        if (!directory[i].InUse()) {
            continue;
        }
        if (const std::string why = EntryRefusal(directory[i], firstFirmware); !why.empty()) {
            visit(i, why);
        }
        if (!firstFirmware &&
            WriterFor(ClassifyName(directory[i].name)) == EntryWriter::kFirmware) {
            firstFirmware = i;
        }
    }
}

}  // namespace

std::string PackageRefusal(const PackageDirectory& directory) {
    std::string refusal;
    ForEachRefusal(directory, [&](size_t slot, const std::string& why) {
        if (refusal.empty()) {
            refusal = SlotLabel(slot, directory[slot].name) + " is " + why;
        }
    });
    return refusal;
}

std::string PackageFitRefusal(const PackageDirectory& directory, int flashKib) {
    constexpr uint64_t kFlashStart = 0x08000000;
    constexpr uint64_t kSerialRecordEnd = 0x0800FF00 + 13;
    const uint64_t flashBytes = static_cast<uint64_t>(flashKib) * 1024;
    const std::string flash = "the device's " + std::to_string(flashKib) + " KiB flash";
    bool numbered = false;
    for (size_t i = 0; i < directory.size(); ++i) {
        const PackageEntry& entry = directory[i];
        const EntryWriter writer = WriterFor(ClassifyName(entry.name));
        if (!entry.InUse() || writer == EntryWriter::kData) {
            continue;
        }
        numbered = numbered || writer == EntryWriter::kFirmware;
        if (entry.size > flashBytes) {
            return SlotLabel(i, entry.name) + " has " + std::to_string(entry.size) +
                   " bytes, more than " + flash + " holds";
        }
    }
    if (numbered && kSerialRecordEnd > kFlashStart + flashBytes) {
        return "the serial record's place, 0x0800FF00, lies beyond " + flash;
    }
    return {};
}

std::vector<EntryListing> ListDirectory(const PackageDirectory& directory, uint64_t fileSize) {
    std::vector<EntryListing> listing(kPackageEntryCount);
    for (size_t i = 0; i < kPackageEntryCount; ++i) {
        EntryListing& slot = listing[i];
        slot.slot = i;
        slot.entry = directory[i];
        slot.inUse = slot.entry.InUse();
        slot.kind = ClassifyName(slot.entry.name);
        slot.writer = WriterFor(slot.kind);
        slot.hasFirstBlock = slot.writer == EntryWriter::kData;
        slot.firstBlock = slot.hasFirstBlock ? slot.kind : 0;
    }
    ForEachRefusal(directory, [&](size_t slot, const std::string& why) {
        listing[slot].warnings.push_back(why + "; a run refuses the package");
    });
    for (EntryListing& slot : listing) {
        const PackageEntry& entry = slot.entry;
        if (entry.NameUnterminated()) {
            slot.warnings.push_back("name without terminator");
        }
        if (!slot.inUse) {
            if (entry.offset != 0 || entry.size != 0 || !entry.name.empty()) {
                slot.warnings.push_back("not in use: offset or size is 0");
            }
            continue;
        }
        const uint64_t begin = entry.offset;
        const uint64_t end = begin + entry.size;
        if (begin < kDirectoryEndBytes) {
            slot.warnings.push_back("overlaps the package directory");
        }
        if (begin >= fileSize) {
            slot.warnings.push_back("beyond the end of the file");
        } else if (end > fileSize) {
            slot.warnings.push_back(
                "cut short by the end of the file: " + std::to_string(fileSize - begin) + " of " +
                std::to_string(entry.size) + " bytes present");
        }
        for (const EntryListing& other : listing) {
            if (&other == &slot || !other.inUse) {
                continue;
            }
            const uint64_t otherBegin = other.entry.offset;
            const uint64_t otherEnd = otherBegin + other.entry.size;
            if (begin < otherEnd && otherBegin < end) {
                slot.warnings.push_back("overlaps slot " + std::to_string(other.slot));
            }
        }
    }
    return listing;
}

bool BuildPackage(const std::vector<PackageImage>& images, std::vector<uint8_t>& package,
                  std::string& error) {
    if (images.size() > kPackageEntryCount) {
        error = "a package holds at most " + std::to_string(kPackageEntryCount) + " entries, " +
                std::to_string(images.size()) + " given";
        return false;
    }
    uint64_t total = kDirectoryEndBytes;
    for (size_t i = 0; i < images.size(); ++i) {
        const PackageImage& image = images[i];
        std::string problem;
        if (image.name.empty()) {
            problem = "the name is empty";
        } else if (image.name.size() > kMaxEntryNameChars) {
            problem = "the name has " + std::to_string(image.name.size()) +
                      " characters, at most " + std::to_string(kMaxEntryNameChars) + " fit";
        } else if (!IsPrintableAscii(image.name)) {
            problem = "the name may hold only printable ASCII characters";
        } else if (image.bytes.empty()) {
            problem = "the image is empty";
        }
        if (!problem.empty()) {
            error = SlotLabel(i, image.name) + ": " + problem;
            return false;
        }
        total += image.bytes.size();
    }
    if (total > std::numeric_limits<uint32_t>::max()) {
        error = "the package would be larger than 4 GiB";
        return false;
    }

    package.assign(kDirectoryEndBytes, 0);
    std::memcpy(package.data(), kPackageMagic, sizeof kPackageMagic);
    package.reserve(static_cast<size_t>(total));
    for (size_t i = 0; i < images.size(); ++i) {
        const PackageImage& image = images[i];
        uint8_t* field = package.data() + kPackageHeaderBytes + i * kDirectoryEntryBytes;
        WriteLe32(field, static_cast<uint32_t>(package.size()));
        WriteLe32(field + 4, static_cast<uint32_t>(image.bytes.size()));
        std::memcpy(field + 8, image.name.data(), image.name.size());
        package.insert(package.end(), image.bytes.begin(), image.bytes.end());
    }
    return true;
}

}  // namespace korvane
