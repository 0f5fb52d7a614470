// The write system calls a process or thread has made, as Linux counts them in /proc.
#pragma once

#include <fstream>
#include <string>

namespace korvane::testing {

// From an io file of /proc: "/proc/thread-self/io" for the calling thread, "/proc/PID/io"
// for a process (one that has ended but not been waited for still shows its own). -1
// where it cannot be read.
inline long WriteCalls(const std::string& ioFile) {
    std::ifstream io(ioFile);
    for (std::string key; io >> key;) {
        long value = 0;
        io >> value;
        if (key == "syscw:") {
            return value;
        }
    }
    return -1;
}

}  // namespace korvane::testing
