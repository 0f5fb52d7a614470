// The package the benchmarks flash: a diagnostic image, a firmware image and a
// configuration, 28 KiB in all, as a line's package might be.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "flashing/package.h"

namespace korvane::bench {

// Writes the package to path; false when it could not be written. size says how many
// bytes it holds.
inline bool WriteSamplePackage(const std::string& path, size_t& size) {
    const std::vector<PackageImage> images = {{"DIAG.BIN", std::vector<uint8_t>(4096, 0x11)},
                                              {"MCU.BIN", std::vector<uint8_t>(16384, 0x22)},
                                              {"CFG.BIN", std::vector<uint8_t>(8192, 0x33)}};
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

}  // namespace korvane::bench
