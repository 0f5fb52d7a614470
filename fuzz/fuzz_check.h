// What the fuzzers check beyond the sanitizers: a broken property aborts with its place,
// so that libFuzzer keeps the input as a reproducer. Unlike assert it stays in optimised
// builds.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (false)
