#include <gtest/gtest.h>

#include <vector>

#include "link/serial_port.h"
#include "platform/debug_output.h"

namespace korvane {
namespace {

TEST(TraceHex, EachByteIsTwoUpperCaseDigitsAndABlank) {
    DebugCapture trace;
    const uint8_t bytes[] = {0x7F, 0x00, 0xAB, 0x0c};
    TraceHex(bytes, 4);
    TraceLineEnd();
    EXPECT_EQ(trace.Text(), "7F 00 AB 0C \n");
}

TEST(TraceHex, WritesLongerThanTheBufferAreTracedWhole) {
    // 2048 characters hold 682 bytes; longer writes go out in pieces, every byte shown.
    for (const size_t length : {size_t{682}, size_t{683}, size_t{1365}, size_t{5000}}) {
        std::vector<uint8_t> bytes(length);
        std::string expected;
        for (size_t i = 0; i < length; ++i) {
            bytes[i] = static_cast<uint8_t>(i * 13);
            static const char digits[] = "0123456789ABCDEF";
            expected += digits[bytes[i] >> 4];
            expected += digits[bytes[i] & 15];
            expected += ' ';
        }
        DebugCapture trace;
        TraceHex(bytes.data(), static_cast<int32_t>(length));
        EXPECT_EQ(trace.Text(), expected) << length;
    }
}

TEST(DebugCapture, InnermostCaptureCollectsAndOuterResumes) {
    DebugCapture outer;
    DebugOutput("a");
    {
        DebugCapture inner;
        DebugOutput("b");
        EXPECT_EQ(inner.Text(), "b");
    }
    DebugOutput("c");
    EXPECT_EQ(outer.Text(), "ac");
}

}  // namespace
}  // namespace korvane
