// The unique ID's text: what the journal records and what an operator looks a device up by.
#include "platform/unique_id.h"

#include <gtest/gtest.h>

namespace korvane {
namespace {

TEST(UniqueId, TextIsLowerCaseHexLowestAddressFirstAndParsesBack) {
    const UniqueId id = {0x00, 0x01, 0x7F, 0x80, 0xAB, 0xCD, 0xEF, 0x10, 0x32, 0x54, 0x76, 0xFF};
    EXPECT_EQ(UniqueIdText(id), "00017f80abcdef10325476ff");
    EXPECT_EQ(ParseUniqueId("00017f80abcdef10325476ff"), id);
    EXPECT_EQ(ParseUniqueId("00017F80ABCDEF10325476FF"), id);

    for (const char* text :
         {"", "00017f80abcdef10325476f", "00017f80abcdef10325476ff0", "00017f80abcdef10325476fg",
          "0x017f80abcdef10325476ff", " 0017f80abcdef10325476ff", "00017f80abcd-f10325476ff"}) {
        EXPECT_FALSE(ParseUniqueId(text)) << '"' << text << '"';
    }
}

}  // namespace
}  // namespace korvane
