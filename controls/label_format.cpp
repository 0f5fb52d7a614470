#include "controls/label_format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace korvane {

namespace {

constexpr int kMaxField = 64;

bool IsOneOf(QChar c, const char* set) {
    return c.unicode() < 128 && c.unicode() != 0 && std::strchr(set, c.toLatin1()) != nullptr;
}

// Reads decimal digits at i, capped so a huge field cannot overflow.
int ReadNumber(const QString& s, int& i) {
    int number = 0;
    while (i < s.size() && s[i] >= QLatin1Char('0') && s[i] <= QLatin1Char('9')) {
        number = std::min(number * 10 + (s[i].unicode() - '0'), kMaxField);
        ++i;
    }
    return number;
}

}  // namespace

QString FormatLabel(const QString& format, int value) {
    QString out;
    bool used = false;
    int i = 0;
    while (i < format.size()) {
        if (format[i] != QLatin1Char('%')) {
            out += format[i++];
            continue;
        }
        const int start = i++;
        if (i < format.size() && format[i] == QLatin1Char('%')) {
            out += QLatin1Char('%');
            ++i;
            continue;
        }
        // Rebuild the conversion from the parts checked here, so printf only ever sees a
        // format that takes exactly one int.
        std::string conversionText = "%";
        while (i < format.size() && IsOneOf(format[i], "-+ #0")) {
            conversionText += format[i++].toLatin1();
        }
        const int width = ReadNumber(format, i);
        if (width > 0) {
            conversionText += std::to_string(width);
        }
        if (i < format.size() && format[i] == QLatin1Char('.')) {
            ++i;
            conversionText += '.' + std::to_string(ReadNumber(format, i));
        }
        while (i < format.size() && IsOneOf(format[i], "hlLqjzt")) {
            ++i;
        }
        if (!used && i < format.size() && IsOneOf(format[i], "diouxX")) {
            const char conversion = format[i++].toLatin1();
            conversionText += conversion;
            char text[2 * kMaxField + 16];
            if (conversion == 'd' || conversion == 'i') {
                std::snprintf(text, sizeof text, conversionText.c_str(), value);
            } else {
                std::snprintf(text, sizeof text, conversionText.c_str(), static_cast<unsigned>(value));
            }
            out += QString::fromLatin1(text);
            used = true;
            continue;
        }
        if (i < format.size()) {
            ++i;
        }
        out += format.mid(start, i - start);
    }
    return out;
}

}  // namespace korvane
