#include "flashing/package.h"

#include <algorithm>
#include <cstring>
#include <limits>

#ifdef _WIN32
#include <share.h>
#include <sys/stat.h>
#include <sys/types.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

bool SeekTo(std::FILE* file, uint64_t offset) {
#ifdef _WIN32
    return offset <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) &&
           _fseeki64(file, static_cast<int64_t>(offset), SEEK_SET) == 0;
#else
    return offset <= static_cast<uint64_t>(std::numeric_limits<off_t>::max()) &&
           fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

int64_t Tell(std::FILE* file) {
#ifdef _WIN32
    return _ftelli64(file);
#else
    return ftello(file);
#endif
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

PackageFile::~PackageFile() {
    Close();
}

bool PackageFile::Open(const std::string& newPath) {
    Close();
#ifdef _WIN32
    // Nobody may write the package while a run reads it; other runs may read it too, the
    // other ports of this tool among them.
    file = _fsopen(newPath.c_str(), "rb", _SH_DENYWR);
    struct _stat64 status {};
    if (file != nullptr &&
        (_fstat64(_fileno(file), &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG)) {
        std::fclose(file);
        file = nullptr;
    }
#else
    // Non-blocking for the open itself: a FIFO would otherwise wait for a writer, and a
    // terminal for its carrier. Only a regular file is let through.
    const int fd = open(newPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat status {};
    if (fd < 0) {
        return false;
    }
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        return false;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    file = fdopen(fd, "rb");
    if (file == nullptr) {
        close(fd);
    }
#endif
    if (file == nullptr) {
        return false;
    }
    path = newPath;
    return true;
}

void PackageFile::Close() {
    if (file != nullptr) {
        std::fclose(file);
        file = nullptr;
    }
    path.clear();
}

bool PackageFile::Seek(uint64_t offset) {
    return file != nullptr && SeekTo(file, offset);
}

int32_t PackageFile::Read(uint8_t* buffer, int32_t length) {
    if (file == nullptr || length < 0) {
        return -1;
    }
    size_t done = 0;
    const size_t wanted = static_cast<size_t>(length);
    while (done < wanted) {
        const size_t got = std::fread(buffer + done, 1, wanted - done, file);
        done += got;
        if (got == 0) {
            if (std::ferror(file) != 0) {
                std::clearerr(file);
                return -1;
            }
            break;
        }
    }
    // The end of the file is no state to keep: a later seek and read must work.
    std::clearerr(file);
    return static_cast<int32_t>(done);
}

int64_t PackageFile::Size() {
    if (file == nullptr) {
        return -1;
    }
    const int64_t position = Tell(file);
    if (position < 0 || !SeekTo(file, 0) || std::fseek(file, 0, SEEK_END) != 0) {
        return -1;
    }
    const int64_t size = Tell(file);
    if (!SeekTo(file, static_cast<uint64_t>(position))) {
        return -1;
    }
    return size;
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
