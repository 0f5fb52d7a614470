#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>

#include "controls/draw_surface.h"
#include "controls/memory_dc.h"
#include "gui/gui_test_support.h"

namespace korvane {
namespace {

using test::BoxOf;
using test::ColorAt;

constexpr COLORREF kWhite = MakeColor(255, 255, 255);
constexpr COLORREF kInk = MakeColor(200, 0, 0);

QImage Blank(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    return image;
}

TEST(DrawSurface, FillFrameAndPolylineKeepTheEdgeRules) {
    QImage image = Blank(20, 20);
    {
        DrawSurface surface(&image, Rect{0, 0, 20, 20});
        surface.FillRect({2, 3, 5, 7}, kInk);
        surface.FrameRect({10, 10, 14, 13}, kInk);
        surface.Polyline({{1, 15}, {6, 15}, {6, 19}}, kInk);
        surface.FillRect({8, 8, 8, 12}, kInk);  // empty: nothing
    }
    // The fill covers its left and top edges and stops short of right and bottom.
    EXPECT_EQ(BoxOf(image, kInk, QRect(0, 0, 9, 9)), QRect(2, 3, 3, 4));
    // A one-pixel frame along the inside, hollow.
    EXPECT_EQ(BoxOf(image, kInk, QRect(9, 9, 11, 5)), QRect(10, 10, 4, 3));
    EXPECT_EQ(ColorAt(image, 11, 11), kWhite);
    // The polyline paints its corner but not its last point.
    EXPECT_EQ(ColorAt(image, 1, 15), kInk);
    EXPECT_EQ(ColorAt(image, 6, 15), kInk);
    EXPECT_EQ(ColorAt(image, 6, 18), kInk);
    EXPECT_EQ(ColorAt(image, 6, 19), kWhite);
    EXPECT_EQ(ColorAt(image, 8, 8), kWhite);
}

TEST(DrawSurface, OriginsMapLogicalToDeviceAndClipIsInDeviceUnits) {
    QImage image = Blank(20, 20);
    {
        DrawSurface surface(&image, Rect{0, 0, 20, 20});
        EXPECT_EQ(surface.SetWindowOrg(QPoint(10, 10)), QPoint(0, 0));
        surface.FillRect({10, 10, 12, 12}, kInk);  // device (0, 0) … (1, 1)
        surface.SetViewportOrg(QPoint(5, 0));
        EXPECT_EQ(surface.ClipBox(), (Rect{5, 10, 25, 30}));
        surface.SetClip(Rect{5, 5, 7, 20});  // device columns 5 and 6
        surface.FillRect({10, 10, 30, 30}, kInk);
    }
    EXPECT_EQ(BoxOf(image, kInk, QRect(0, 0, 4, 4)), QRect(0, 0, 2, 2));
    EXPECT_EQ(BoxOf(image, kInk, QRect(4, 0, 16, 20)), QRect(5, 5, 2, 15));
}

TEST(DrawSurface, TextIsPlacedByItsAlignment) {
    QImage image = Blank(100, 40);
    QSize extent;
    {
        DrawSurface surface(&image, Rect{0, 0, 100, 40});
        surface.SetTextColor(kInk);
        surface.SetBkMode(BkMode::Transparent);
        surface.SetTextAlign(TA_CENTER | TA_BOTTOM);
        extent = surface.TextExtent(QStringLiteral("HH"));
        surface.TextOut(QPoint(50, 30), QStringLiteral("HH"));
    }
    const QRect ink = BoxOf(image, kInk);
    ASSERT_FALSE(ink.isEmpty());
    EXPECT_LE(ink.bottom(), 29);
    EXPECT_GE(ink.top(), 30 - extent.height());
    EXPECT_NEAR(ink.center().x(), 50, 1);
}

TEST(DrawSurface, OpaqueTextFillsItsBoxWithTheBackgroundColour) {
    QImage image = Blank(60, 30);
    QSize extent;
    {
        DrawSurface surface(&image, Rect{0, 0, 60, 30});
        surface.SetBkColor(MakeColor(0, 0, 255));
        extent = surface.TextExtent(QStringLiteral("x"));
        surface.TextOut(QPoint(5, 5), QStringLiteral("x"));
    }
    EXPECT_EQ(BoxOf(image, MakeColor(0, 0, 255)).topLeft(), QPoint(5, 5));
    EXPECT_EQ(ColorAt(image, 5 + extent.width(), 5), kWhite);
}

TEST(DrawSurface, MnemonicIsUnderlinedAndTakesNoSpace) {
    QImage plain = Blank(60, 30);
    QImage marked = Blank(60, 30);
    int ascent = 0;
    for (QImage* image : {&plain, &marked}) {
        DrawSurface surface(image, Rect{0, 0, 60, 30});
        surface.SetTextColor(kInk);
        EXPECT_EQ(surface.PrefixTextExtent(QStringLiteral("&Go")),
                  surface.TextExtent(QStringLiteral("Go")));
        EXPECT_EQ(surface.PrefixTextExtent(QStringLiteral("A&&B")),
                  surface.TextExtent(QStringLiteral("A&B")));
        surface.DrawPrefixText(
            QPoint(2, 2), image == &plain ? QStringLiteral("Go") : QStringLiteral("&Go"), false);
        ascent = QFontMetrics(QApplication::font()).ascent();
    }
    // The marked text is the plain text plus an underline below the baseline, under "G".
    int extra = 0;
    const int gWidth = QFontMetrics(QApplication::font()).horizontalAdvance(QLatin1Char('G'));
    for (int y = 0; y < 30; ++y) {
        for (int x = 0; x < 60; ++x) {
            if (ColorAt(plain, x, y) == kInk) {
                EXPECT_EQ(ColorAt(marked, x, y), kInk);
            } else if (ColorAt(marked, x, y) == kInk) {
                ++extra;
                EXPECT_GE(y, 2 + ascent);
                EXPECT_LT(x, 2 + gWidth);
            }
        }
    }
    EXPECT_GT(extra, 0);
}

TEST(DrawSurface, FocusRectangleIsDottedAndDrawingItTwiceRemovesIt) {
    QImage image = Blank(12, 12);
    {
        DrawSurface surface(&image, Rect{0, 0, 12, 12});
        surface.FillRect({0, 0, 12, 12}, test::kFace);
        surface.DrawFocusRect({2, 2, 10, 10});
    }
    const COLORREF inverted =
        MakeColor(255 - RedOf(test::kFace), 255 - GreenOf(test::kFace), 255 - BlueOf(test::kFace));
    EXPECT_EQ(ColorAt(image, 2, 2), inverted);
    EXPECT_EQ(ColorAt(image, 3, 2), test::kFace);
    EXPECT_EQ(ColorAt(image, 4, 2), inverted);
    EXPECT_EQ(ColorAt(image, 5, 5), test::kFace);
    EXPECT_EQ(BoxOf(image, inverted), QRect(2, 2, 8, 8));
    {
        DrawSurface surface(&image, Rect{0, 0, 12, 12});
        surface.DrawFocusRect({2, 2, 10, 10});
    }
    EXPECT_TRUE(BoxOf(image, inverted).isEmpty());
}

TEST(MemoryDC, ComposesTheClipBoxInTargetCoordinatesAndCopiesItAtTheEnd) {
    QImage image = Blank(50, 50);
    {
        DrawSurface target(&image, Rect{10, 20, 30, 40});
        MemoryDC surface(target);
        EXPECT_EQ(surface.WindowOrg(), QPoint(10, 20));
        EXPECT_EQ(surface.ClipBox(), (Rect{10, 20, 30, 40}));
        surface.FillRect({0, 0, 50, 50}, kInk);
        surface.FillRect({12, 22, 14, 24}, kWhite);
    }
    // Only the clip box is copied; drawing there used the target's own coordinates.
    EXPECT_EQ(BoxOf(image, kInk), QRect(10, 20, 20, 20));
    EXPECT_EQ(BoxOf(image, kWhite, QRect(10, 20, 20, 20)), QRect(12, 22, 2, 2));
}

}  // namespace
}  // namespace korvane
