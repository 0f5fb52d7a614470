// The package the benchmarks flash: a diagnostic image, a firmware image and a
// configuration, 28 KiB in all, as a line's package might be.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "flashing/package.h"

namespace korvane::bench {

// Writes a package of images to path; false when it could not be written. size says how
// many bytes it holds.
inline bool WritePackage(const std::string& path, const std::vector<PackageImage>& images,
                         size_t& size) {
    std::vector<uint8_t> bytes;
    std::string error;
    if (!BuildPackage(images, bytes, error)) {
        return false;
    }
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    size = bytes.size();
    return std::fclose(file) == 0 && written;
}

// The images of the sample package.
inline std::vector<PackageImage> SampleImages() {
    return {{"DIAG.BIN", std::vector<uint8_t>(4096, 0x11)},
            {"MCU.BIN", std::vector<uint8_t>(16384, 0x22)},
            {"CFG.BIN", std::vector<uint8_t>(8192, 0x33)}};
}

// Processor seconds of the waited-for child processes so far (the tool a benchmark runs).
inline double ChildrenCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A folder of the benchmark's own for the tool's profile and journal (set as the
// configuration and data folders while it lives) with the sample package in it; removed
// at the end. ok() is false when either could not be made.
class ScratchStation {
public:
    ScratchStation() {
        if (mkdtemp(folder) == nullptr) {
            return;
        }
        setenv("XDG_CONFIG_HOME", folder, 1);
        setenv("XDG_DATA_HOME", folder, 1);
        package = std::string(folder) + "/package.bin";
        made = WritePackage(package, SampleImages(), size);
        if (!made) {
            std::fprintf(stderr, "the package could not be written to %s\n", package.c_str());
        }
    }
    ~ScratchStation() { std::system(("rm -rf '" + std::string(folder) + "'").c_str()); }
    ScratchStation(const ScratchStation&) = delete;
    ScratchStation& operator=(const ScratchStation&) = delete;

    bool ok() const { return made; }
    std::string package;
    size_t size = 0;

private:
    char folder[32] = "/tmp/korvane-bench-XXXXXX";
    bool made = false;
};

}  // namespace korvane::bench
