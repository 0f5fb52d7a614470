#include "flashing/serial_record.h"
#include "devsim/loader_firmware.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(WeekNumber, CountsWholeWeeksFromTheFirstDayOfTheYear) {
    struct Case {
        CalendarDate date;
        int week;
    };
    const Case cases[] = {
        {{2026, 1, 1}, 0},
        {{2026, 1, 6}, 0},
        {{2026, 1, 7}, 1},
        {{2027, 12, 31}, 52},
        {{2028, 12, 31}, 52},
        {{2028, 3, 3}, 9},
        {{2027, 3, 3}, 8},
        // Late February and early March of a leap year: the leap day is counted from
        // March on, never in February itself.
        {{2028, 2, 24}, 7},
        {{2028, 2, 25}, 8},
        {{2028, 2, 28}, 8},
        {{2028, 2, 29}, 8},
        {{2028, 3, 1}, 8},
        // Centuries are common years, 2000 included.
        {{2100, 3, 3}, 8},
        {{2000, 3, 3}, 8},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WeekNumber(c.date), c.week)
            << c.date.year << "-" << c.date.month << "-" << c.date.day;
    }
}

TEST(SerialRecord, TextIsPrefixYearWeekAndSequenceCutToThirteen) {
    const CalendarDate date{2028, 3, 3};
    EXPECT_EQ(SerialNumberText(42, date), "K352280900042");
    EXPECT_EQ(SerialNumberText(99999, date), "K352280999999");
    EXPECT_EQ(SerialNumberText(100000, date), "K352280910000");
    EXPECT_EQ(SerialNumberText(-1, date), "K3522809-0000");
    EXPECT_EQ(SerialNumberText(7, {2100, 1, 7}), "K352000100007");
}

TEST(SerialRecord, OnlyFiveDigitSequenceNumbersAreValid) {
    EXPECT_FALSE(IsValidSequenceNumber(0));
    EXPECT_TRUE(IsValidSequenceNumber(1));
    EXPECT_TRUE(IsValidSequenceNumber(99999));
    EXPECT_FALSE(IsValidSequenceNumber(100000));
    EXPECT_FALSE(IsValidSequenceNumber(-1));
}

TEST(Scramble, ChainsThroughTheBytesAlreadyChanged) {
    // Worked out by hand from the two passes; reading unchanged neighbours gives other bytes.
    const std::string text = "K352280900042";
    Bytes record(text.begin(), text.end());
    Scramble(kSerialRecordKey, record.data());
    EXPECT_EQ(record, Bytes({0x33, 0x0C, 0xBF, 0xDA, 0x2A, 0x27, 0xDB, 0xAE, 0x2D, 0x57, 0x84, 0xA0,
                             0x23}));
    // The device's own unscrambling gets the text back.
    EXPECT_EQ(devsim::UnscrambleSerialRecord(record), text);
}

TEST(SerialRecord, WritesThirteenScrambledBytesAndNothingMore) {
    const CalendarDate date{2027, 1, 7};
    for (const int sequence : {1, 42, 99999, 100000, -1, INT_MAX, INT_MIN}) {
        Bytes buffer(20, 0xEE);
        BuildSerialRecord(sequence, buffer.data(), date);
        EXPECT_EQ(Bytes(buffer.begin() + 13, buffer.end()), Bytes(7, 0xEE)) << sequence;
        EXPECT_EQ(devsim::UnscrambleSerialRecord(Bytes(buffer.begin(), buffer.begin() + 13)),
                  SerialNumberText(sequence, date));
    }
    Bytes today(13);
    BuildSerialRecord(5, today.data());
    const std::string text = devsim::UnscrambleSerialRecord(today);
    EXPECT_EQ(text.substr(0, 4), "K352");
    EXPECT_EQ(text.substr(8), "00005");
}

}  // namespace
}  // namespace korvane
