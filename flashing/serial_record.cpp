#include "flashing/serial_record.h"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace korvane {

namespace {

// February always counts 28 days here; the leap day is added separately.
constexpr int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

struct KeyBytes {
    uint8_t k3, k2, k1, k0;
};

KeyBytes SplitKey(uint32_t key) {
    return {static_cast<uint8_t>(key >> 24), static_cast<uint8_t>(key >> 16),
            static_cast<uint8_t>(key >> 8), static_cast<uint8_t>(key)};
}

}  // namespace

CalendarDate LocalDate() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
}

int WeekNumber(const CalendarDate& date) {
    // A month out of range would index past the table; clamp it instead.
    const int month = date.month < 1 ? 1 : (date.month > 12 ? 12 : date.month);
    int day = date.day;
    for (int m = 0; m < month - 1; ++m) {
        day += kMonthDays[m];
    }
    if (date.year % 4 == 0 && date.year % 100 != 0 && month >= 3) {
        ++day;
    }
    return day / 7;
}

int WeekNumber() {
    return WeekNumber(LocalDate());
}

bool IsValidSequenceNumber(int sequenceNumber) {
    return sequenceNumber >= kMinSequenceNumber && sequenceNumber <= kMaxSequenceNumber;
}

std::string SerialNumberText(int sequenceNumber, const CalendarDate& date) {
    // Large enough for any int in the sequence field, so the formatting is never cut.
    char text[40];
    const int year = (date.year % 100 + 100) % 100;
    std::snprintf(text, sizeof text, "K352%.2d%.2d%.5d", year, WeekNumber(date), sequenceNumber);
    return std::string(text).substr(0, kSerialRecordBytes);
}

void Scramble(uint32_t key, uint8_t* record) {
    const KeyBytes k = SplitKey(key);
    uint8_t previous = k.k3;
    for (size_t i = 0; i < kSerialRecordBytes; ++i) {
        record[i] = static_cast<uint8_t>(previous + record[i]) ^ k.k2;
        previous = record[i];
    }
    uint8_t next = k.k0;
    for (size_t i = kSerialRecordBytes; i-- > 0;) {
        record[i] = static_cast<uint8_t>(next + record[i]) ^ k.k1;
        next = record[i];
    }
}

void BuildSerialRecord(int sequenceNumber, uint8_t* buffer, const CalendarDate& date) {
    BuildSerialRecord(SerialNumberText(sequenceNumber, date), buffer);
}

void BuildSerialRecord(const std::string& text, uint8_t* buffer) {
    std::memset(buffer, 0, kSerialRecordBytes);
    std::memcpy(buffer, text.data(), std::min(text.size(), kSerialRecordBytes));
    Scramble(kSerialRecordKey, buffer);
}

void BuildSerialRecord(int sequenceNumber, uint8_t* buffer) {
    BuildSerialRecord(sequenceNumber, buffer, LocalDate());
}

}  // namespace korvane
