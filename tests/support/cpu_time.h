#pragma once

#include <sys/resource.h>
#include <time.h>

namespace korvane::testing {

// Processor time (user and system) that the whole process has used, in milliseconds.
inline double ProcessCpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

// Processor time that the calling thread has used, in milliseconds: what the host side
// spends, without a simulator's thread in the same process.
inline double ThreadCpuMs() {
    timespec used{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    return used.tv_sec * 1000.0 + used.tv_nsec / 1e6;
}

}  // namespace korvane::testing
