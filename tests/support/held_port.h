// Another program that holds a serial port through a lock file of its own, in a lock
// folder of the test's own: a real process that stays alive until the object ends.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "link/port_lock.h"
#include "support/child_process.h"

namespace korvane::testing {

class LockFolderOfOurOwn {
public:
    explicit LockFolderOfOurOwn(const std::string& folder) : folder(folder) {
        mkdir(folder.c_str(), 0700);
        setenv("KORVANE_LOCK_DIR", folder.c_str(), 1);
    }
    ~LockFolderOfOurOwn() {
        unsetenv("KORVANE_LOCK_DIR");
        std::system(("rm -rf '" + folder + "'").c_str());
    }
    const std::string folder;
};

// Writes a lock file for device naming pid, as the lock convention has it.
inline void WriteLockFile(const std::string& device, long pid) {
    std::FILE* file = std::fopen(LockFilePath(device).c_str(), "w");
    if (file != nullptr) {
        std::fprintf(file, "%10ld\n", pid);
        std::fclose(file);
    }
}

// A process ("sleep") that holds device through its lock file while this object lives.
class PortHolder {
public:
    explicit PortHolder(const std::string& device) : process(kProgram, {"60"}) {
        AwaitItsOwnName();
        WriteLockFile(device, process.Pid());
    }
    std::string Description() const {
        return std::string(kProgram) + " (pid " + std::to_string(process.Pid()) + ")";
    }

private:
    static constexpr const char* kProgram = "sleep";

    // The spawn returns once the child runs in the new program's memory, a moment before
    // the kernel gives it the program's name; a holder looked up in that moment would be
    // named after this test program. Bounded: a name that never comes fails the caller's
    // comparison, not the test run.
    void AwaitItsOwnName() const {
        const std::string path = "/proc/" + std::to_string(process.Pid()) + "/comm";
        for (int attempt = 0; attempt < 2000; ++attempt) {
            std::ifstream comm(path);
            std::string name;
            if (std::getline(comm, name) && name == kProgram)
                return;
            usleep(1000);
        }
    }

    ChildProcess process;
};

}  // namespace korvane::testing
