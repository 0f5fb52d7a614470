// A folder of this test program's own under the temporary folder, for the files and
// folders its tests make.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace korvane::testing {

class ScratchFolderOfThisProgram {
public:
    // Always a folder that did not exist before: process numbers come round again, and a
    // test program that was killed leaves its files behind (a lock file that names the
    // process number of whoever finds it, a FIFO where a test makes one). Made one try at
    // a time rather than by mkdtemp, which the Windows builds of the tests lack.
    ScratchFolderOfThisProgram() {
        const std::string stem = ::testing::TempDir() + "korvane-" + std::to_string(getpid());
        for (int attempt = 1;; ++attempt) {
            std::error_code error;
            path = stem + "-" + std::to_string(attempt);
            if (std::filesystem::create_directory(path, error) || error) {
                return;  // an unusable temporary folder fails each test that writes there
            }
        }
    }
    ~ScratchFolderOfThisProgram() {
        std::error_code error;
        std::filesystem::remove_all(path, error);
    }
    ScratchFolderOfThisProgram(const ScratchFolderOfThisProgram&) = delete;
    ScratchFolderOfThisProgram& operator=(const ScratchFolderOfThisProgram&) = delete;

    std::string path;
};

// The folder, made on first use and removed when the program ends.
inline const std::string& ScratchFolder() {
    static const ScratchFolderOfThisProgram folder;
    return folder.path;
}

// A path in the scratch folder that no other call returns; nothing is made there.
inline std::string TempFile(const std::string& name) {
    static int counter = 0;
    return ScratchFolder() + "/" + std::to_string(++counter) + "-" + name;
}

}  // namespace korvane::testing
