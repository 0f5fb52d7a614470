// Colours as 32-bit 0x00BBGGRR values and the system colours the controls default to.
#pragma once

#include <QColor>
#include <cstdint>

namespace korvane {

// Red in the low byte, then green, then blue; the top byte is zero.
using COLORREF = std::uint32_t;

constexpr COLORREF MakeColor(int red, int green, int blue) {
    return static_cast<COLORREF>((red & 0xFF) | ((green & 0xFF) << 8) | ((blue & 0xFF) << 16));
}
constexpr int RedOf(COLORREF c) {
    return static_cast<int>(c & 0xFF);
}
constexpr int GreenOf(COLORREF c) {
    return static_cast<int>((c >> 8) & 0xFF);
}
constexpr int BlueOf(COLORREF c) {
    return static_cast<int>((c >> 16) & 0xFF);
}

inline QColor ToQColor(COLORREF c) {
    return QColor(RedOf(c), GreenOf(c), BlueOf(c));
}
inline COLORREF FromQColor(const QColor& c) {
    return MakeColor(c.red(), c.green(), c.blue());
}

// The system colour indexes the controls use, with their classic numbers.
enum SysColorIndex {
    COLOR_ACTIVECAPTION = 2,
    COLOR_CAPTIONTEXT = 9,
    COLOR_BTNFACE = 15,
    COLOR_BTNSHADOW = 16,
    COLOR_BTNTEXT = 18,
    COLOR_BTNHIGHLIGHT = 20,
    COLOR_3DDKSHADOW = 21,
    COLOR_3DLIGHT = 22,
};

// The colour of a system colour index, read from the application palette at the time of
// the call, so a palette change reaches every colour taken afterwards.
COLORREF GetSysColor(SysColorIndex index);

}  // namespace korvane
