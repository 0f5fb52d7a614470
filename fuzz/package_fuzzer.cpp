// The package directory from any file: reading it from memory and from the file agree,
// and the listing describes every slot. The same bytes, taken as images to pack, make a
// package that reads back clean.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "flashing/package.h"
#include "fuzz/fuzz_check.h"

namespace {

using namespace korvane;

// One file per fuzzing process, rewritten for every input. It lives in memory: a file
// on disk would make the file system, not the reader, the bottleneck.
int ScratchFile() {
    static const int fd = memfd_create("korvane-package-fuzz", 0);
    FUZZ_CHECK(fd >= 0);
    return fd;
}

std::string WriteScratch(const uint8_t* data, size_t size) {
    const int fd = ScratchFile();
    FUZZ_CHECK(ftruncate(fd, 0) == 0);
    FUZZ_CHECK(pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
    return "/proc/self/fd/" + std::to_string(fd);
}

bool SameEntry(const PackageEntry& a, const PackageEntry& b) {
    return a.offset == b.offset && a.size == b.size && a.name == b.name;
}

void ReadAsPackage(const uint8_t* data, size_t size) {
    const PackageDirectory fromMemory = ParseDirectory(data, size);
    const std::string path = WriteScratch(data, size);
    PackageFile file;
    PackageDirectory fromFile;
    FUZZ_CHECK(file.Open(path));
    FUZZ_CHECK(ReadDirectory(file, fromFile));
    FUZZ_CHECK(file.Size() == static_cast<int64_t>(size));
    for (size_t i = 0; i < kPackageEntryCount; ++i) {
        FUZZ_CHECK(SameEntry(fromMemory[i], fromFile[i]));
        FUZZ_CHECK(fromMemory[i].name.size() <= kEntryNameBytes);
    }
    const std::vector<EntryListing> listing = ListDirectory(fromMemory, size);
    FUZZ_CHECK(listing.size() == kPackageEntryCount);
    for (size_t i = 0; i < listing.size(); ++i) {
        FUZZ_CHECK(listing[i].slot == i && SameEntry(listing[i].entry, fromMemory[i]));
        FUZZ_CHECK(listing[i].inUse == fromMemory[i].InUse());
    }
}

void PackAndReadBack(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    std::vector<PackageImage> images(
        input.ConsumeIntegralInRange<size_t>(0, kPackageEntryCount + 1));
    for (PackageImage& image : images) {
        image.name = input.ConsumeRandomLengthString(kMaxEntryNameChars + 2);
        image.bytes = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 4096));
    }
    std::vector<uint8_t> package;
    std::string error;
    if (!BuildPackage(images, package, error)) {
        FUZZ_CHECK(!error.empty());
        return;
    }
    const PackageDirectory directory = ParseDirectory(package.data(), package.size());
    // A package built whole warns of nothing but what a run refuses (two firmware images).
    const bool refused = !PackageRefusal(directory).empty();
    for (const EntryListing& slot : ListDirectory(directory, package.size())) {
        FUZZ_CHECK(refused || slot.warnings.empty());
        FUZZ_CHECK(slot.inUse == (slot.slot < images.size()));
        if (!slot.inUse) {
            continue;
        }
        const PackageImage& image = images[slot.slot];
        FUZZ_CHECK(slot.entry.name == image.name && slot.entry.size == image.bytes.size());
        FUZZ_CHECK(std::memcmp(package.data() + slot.entry.offset, image.bytes.data(),
                               image.bytes.size()) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ReadAsPackage(data, size);
    PackAndReadBack(data, size);
    return 0;
}
