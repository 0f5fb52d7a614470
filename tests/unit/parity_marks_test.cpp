#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "link/parity_marks.h"

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;

// Decodes chunk, completing cut-off marks from more; returns the plain bytes.
Bytes Decode(Bytes chunk, std::deque<uint8_t> more = {}) {
    const int32_t n =
        DecodeParityMarks(chunk.data(), static_cast<int32_t>(chunk.size()), [&](uint8_t* byte) {
            if (more.empty())
                return false;
            *byte = more.front();
            more.pop_front();
            return true;
        });
    chunk.resize(static_cast<size_t>(n));
    return chunk;
}

TEST(ParityMarks, DamagedBytesBecomeQuestionMarksAndDoubledFFsOneFF) {
    EXPECT_EQ(Decode({0x10, 0xFF, 0x00, 0x41, 0x20}), Bytes({0x10, 0x3F, 0x20}));
    EXPECT_EQ(Decode({0xFF, 0xFF, 0xFF, 0xFF}), Bytes({0xFF, 0xFF}));
    EXPECT_EQ(Decode({0xFF, 0x00, 0x00}), Bytes({0x3F}));
    EXPECT_EQ(Decode({1, 2, 3}), Bytes({1, 2, 3}));
}

TEST(ParityMarks, MarksCutByTheChunkEndAreCompleted) {
    EXPECT_EQ(Decode({0x05, 0xFF}, {0xFF}), Bytes({0x05, 0xFF}));
    EXPECT_EQ(Decode({0x05, 0xFF}, {0x00, 0x99}), Bytes({0x05, 0x3F}));
    EXPECT_EQ(Decode({0xFF, 0x00}, {0x99}), Bytes({0x3F}));
    // Nothing more comes: the unfinished mark is dropped, nothing is invented.
    EXPECT_EQ(Decode({0x05, 0xFF}), Bytes({0x05}));
}

}  // namespace
}  // namespace korvane
