#pragma once

#include <sys/resource.h>

namespace korvane::testing {

// Processor time (user and system) that the whole process has used, in milliseconds.
inline double ProcessCpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

}  // namespace korvane::testing
