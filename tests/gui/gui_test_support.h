// Shared helpers of the gui tests: a fixed look (palette and font) and pixel read-back.
#pragma once

#include <QImage>
#include <QWidget>

#include "controls/colors.h"

namespace korvane::test {

// Distinct palette colours, so a pixel tells which system colour painted it.
constexpr COLORREF kFace = MakeColor(212, 208, 200);
constexpr COLORREF kText = MakeColor(10, 20, 30);
constexpr COLORREF kHighlight = MakeColor(250, 250, 250);
constexpr COLORREF kShadow = MakeColor(128, 120, 110);
constexpr COLORREF kLight = MakeColor(230, 225, 220);
constexpr COLORREF kDarkShadow = MakeColor(40, 40, 40);
constexpr COLORREF kCaption = MakeColor(0, 0, 128);
constexpr COLORREF kCaptionText = MakeColor(255, 255, 254);

// Sets the palette above and a fixed font without antialiasing, so glyph pixels carry the
// text colour exactly.
void UseTestLook();

// What the widget paints, as an RGB image of its size.
QImage Render(QWidget& widget);

COLORREF ColorAt(const QImage& image, int x, int y);

// The bounding box of the pixels of image that have the colour color, inside area (the
// whole image when area is empty); an empty rectangle when there are none.
QRect BoxOf(const QImage& image, COLORREF color, QRect area = QRect());

}  // namespace korvane::test
