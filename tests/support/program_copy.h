// A program of the build run by another user: a test that runs as root drops to nobody to
// meet a port that user may not open. A build tree inside a folder that only its owner may
// enter (a clone in root's home, or under mktemp -d) is out of nobody's reach, so the
// program is copied into a folder of its own that anyone may enter; the programs link the
// project's own code statically, so the copy needs nothing else from the tree.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace korvane::testing {

// Runs the rest of a command line as nobody, in none of the groups.
inline std::vector<std::string> AsNobody() {
    return {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
}

class ProgramCopy {
public:
    explicit ProgramCopy(const std::string& program) {
        namespace fs = std::filesystem;
        std::string pattern = ::testing::TempDir() + "korvane-programs-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "no folder for a copy of " << program;
            return;
        }
        folder = pattern;
        path = folder + "/" + fs::path(program).filename().string();
        std::error_code error;
        fs::copy_file(program, path, error);
        EXPECT_FALSE(error) << "cannot copy " << program << ": " << error.message();
        EXPECT_EQ(chmod(folder.c_str(), 0755), 0);
        EXPECT_EQ(chmod(path.c_str(), 0755), 0);
    }
    ~ProgramCopy() {
        std::error_code error;
        std::filesystem::remove_all(folder, error);
    }
    ProgramCopy(const ProgramCopy&) = delete;
    ProgramCopy& operator=(const ProgramCopy&) = delete;

    const std::string& Path() const { return path; }

private:
    std::string folder;
    std::string path;
};

}  // namespace korvane::testing
