// The device control block's flag word as Open leaves it, from several starting words.
#include <gtest/gtest.h>

#include "link/dcb_flags.h"

namespace korvane {
namespace {

TEST(DcbFlags, FlowControlGoesModemLinesAreDisabledAndParityIsChecked) {
    EXPECT_EQ(DcbFlagWord(0x00000000), 0x00000402u);
    EXPECT_EQ(DcbFlagWord(0xFFFFFFFF), 0xFFFFC483u);
    // A driver's usual defaults: binary mode, DTR and RTS enabled.
    EXPECT_EQ(DcbFlagWord(0x00001011), 0x00000403u);
    // Handshaking of every kind, DSR sensitivity and null stripping all go; continue on
    // XOFF, abort on error and the reserved bits stay as they were.
    EXPECT_EQ(DcbFlagWord(0x80023BFC), 0x80020482u);
    EXPECT_EQ(DcbFlagWord(0x000060A1), 0x00004483u);
}

#ifdef _WIN32
// The same bits seen through the platform's own field names: the word lands where the
// DCB keeps its bit fields.
void ExpectLineFlags(const DCB& before) {
    DCB after = before;
    SetDcbFlags(after, DcbFlagWord(DcbFlags(before)));
    EXPECT_EQ(after.fBinary, before.fBinary);
    EXPECT_EQ(after.fParity, 1u);
    EXPECT_EQ(after.fOutxCtsFlow, 0u);
    EXPECT_EQ(after.fOutxDsrFlow, 0u);
    EXPECT_EQ(after.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    EXPECT_EQ(after.fDsrSensitivity, 0u);
    EXPECT_EQ(after.fTXContinueOnXoff, before.fTXContinueOnXoff);
    EXPECT_EQ(after.fOutX, 0u);
    EXPECT_EQ(after.fInX, 0u);
    EXPECT_EQ(after.fErrorChar, 1u);
    EXPECT_EQ(after.fNull, 0u);
    EXPECT_EQ(after.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    EXPECT_EQ(after.fAbortOnError, before.fAbortOnError);
    EXPECT_EQ(after.fDummy2, before.fDummy2);
    // The fields around the word are untouched.
    EXPECT_EQ(after.BaudRate, before.BaudRate);
    EXPECT_EQ(after.wReserved, before.wReserved);
}

TEST(DcbFlags, NamedFieldsFollowFromAnyStartingBlock) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ExpectLineFlags(dcb);
    SetDcbFlags(dcb, 0xFFFFFFFF);
    ExpectLineFlags(dcb);
    DCB defaults{};
    defaults.DCBlength = sizeof defaults;
    ASSERT_TRUE(BuildCommDCBA("baud=9600 parity=N data=8 stop=1", &defaults));
    defaults.fDtrControl = DTR_CONTROL_ENABLE;
    defaults.fRtsControl = RTS_CONTROL_HANDSHAKE;
    defaults.fOutxCtsFlow = TRUE;
    ExpectLineFlags(defaults);
}
#endif

}  // namespace
}  // namespace korvane
