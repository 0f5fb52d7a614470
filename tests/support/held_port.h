// Another program that holds a serial port through a lock file of its own, in a lock
// folder of the test's own: a real process that stays alive until the object ends.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
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
    explicit PortHolder(const std::string& device) : process("sleep", {"60"}) {
        WriteLockFile(device, process.Pid());
    }
    std::string Description() const { return "sleep (pid " + std::to_string(process.Pid()) + ")"; }

private:
    ChildProcess process;
};

}  // namespace korvane::testing
