// The device serial number: "K352", the year, the week of the year and the operator's
// sequence number, 13 characters scrambled with a fixed key before they are sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvane {

constexpr size_t kSerialRecordBytes = 13;
constexpr uint32_t kSerialRecordKey = 0x5E27A94B;
// Sequence numbers that keep the record at 13 characters.
constexpr int kMinSequenceNumber = 1;
constexpr int kMaxSequenceNumber = 99999;

struct CalendarDate {
    int year = 2000;  // full year, e.g. 2027
    int month = 1;    // 1 = January … 12 = December
    int day = 1;      // day of the month, 1 … 31
};

// Today's date in local time.
CalendarDate LocalDate();

// Week of the year, 0 … 52: the day of the year (from 1) divided by 7, truncated. Leap
// years are those divisible by 4 but not by 100 (2000 is counted as a common year too).
int WeekNumber(const CalendarDate& date);
int WeekNumber();

// True for the sequence numbers whose record text is exactly 13 characters.
bool IsValidSequenceNumber(int sequenceNumber);

// The serial number as text before scrambling, "K352" yy ww nnnnn. A sequence number
// outside 0 … 99999 formats longer; the text then holds only the first 13 characters.
std::string SerialNumberText(int sequenceNumber, const CalendarDate& date);

// Scrambles 13 bytes in place: a forward pass seeded with the key's top byte, masking
// with its second byte, then a backward pass seeded with its low byte, masking with its
// third byte. Each pass chains through the bytes it has already changed.
void Scramble(uint32_t key, uint8_t* record);

// Writes the scrambled serial-number record into the first 13 bytes of buffer, which
// must hold at least that many; nothing else is written.
void BuildSerialRecord(int sequenceNumber, uint8_t* buffer, const CalendarDate& date);
// The same for a serial text given whole (the first 13 characters; fewer are padded with
// zero bytes): a device back for rework is sent its earlier record byte for byte.
void BuildSerialRecord(const std::string& text, uint8_t* buffer);
void BuildSerialRecord(int sequenceNumber, uint8_t* buffer);

}  // namespace korvane
