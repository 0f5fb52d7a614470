#include <gtest/gtest.h>

#include <QCoreApplication>
#include <utility>
#include <vector>

#include "controls/gradient_progress.h"
#include "controls/label_format.h"
#include "gui/gui_test_support.h"

namespace korvane {
namespace {

using test::BoxOf;
using test::ColorAt;
using test::Render;

constexpr COLORREF kOrange = MakeColor(255, 128, 0);
constexpr COLORREF kCyan = MakeColor(0, 255, 255);
constexpr COLORREF kRed = MakeColor(255, 0, 0);
constexpr COLORREF kBlue = MakeColor(0, 0, 255);

// Records the label parts it is asked to draw, reached only through the virtual call.
class RecordingProgress : public GradientProgress {
public:
    struct Part {
        BarSpan span;
        QString text;
    };
    struct Blend {
        BarSpan band;
        BarSpan clip;
        COLORREF first;
        COLORREF last;
    };
    std::vector<Part> parts;
    std::vector<Blend> blends;

    void DrawLabelPart(PaintContext& context, BarSpan span, const QString& text,
                       const QPoint& windowOrigin) override {
        parts.push_back({span, text});
        GradientProgress::DrawLabelPart(context, span, text, windowOrigin);
    }
    void DrawBlend(PaintContext& context, BarSpan band, BarSpan clip, COLORREF first,
                   COLORREF last) override {
        blends.push_back({band, clip, first, last});
        GradientProgress::DrawBlend(context, band, clip, first, last);
    }
};

// The bar as the main dialog sets it up.
void ConfigureAsDialog(GradientProgress& bar, int width) {
    bar.resize(width, 20);
    bar.SetLabelColorOffBar(kRed);
    bar.SetLabelColorOnBar(kRed);
    bar.SetLabelFormat(QStringLiteral("%d%%"), GradientProgress::GPS_PERCENT);
    bar.SetBarColor(kOrange, kCyan);
    bar.SetRange(0, 100);
    bar.SetPos(0);
}

// The pixels where the label lies: those that differ from the same paint without a label.
QRect LabelBox(RecordingProgress& bar) {
    const QImage withLabel = Render(bar);
    const QString format = bar.WindowText();
    const std::uint32_t style = bar.Style();
    bar.SetLabelFormat(QString(), 0);
    const QImage without = Render(bar);
    bar.SetStyle(style);
    bar.SetWindowText(format);
    QRect box;
    for (int y = 0; y < withLabel.height(); ++y) {
        for (int x = 0; x < withLabel.width(); ++x) {
            if (withLabel.pixel(x, y) != without.pixel(x, y)) {
                box |= QRect(x, y, 1, 1);
            }
        }
    }
    return box;
}

class GradientProgressTest : public testing::Test {
protected:
    void SetUp() override { ConfigureAsDialog(bar, 458); }
    RecordingProgress bar;
};

TEST_F(GradientProgressTest, WorkedExampleAtFortyFivePercent) {
    bar.SetPos(45);
    const QImage image = Render(bar);
    // Row 0 lies above the label.
    EXPECT_EQ(ColorAt(image, 0, 0), kOrange);
    EXPECT_EQ(ColorAt(image, 1, 0), MakeColor(254, 128, 1));
    EXPECT_EQ(ColorAt(image, 2, 0), MakeColor(254, 128, 1));
    EXPECT_EQ(ColorAt(image, 5, 0), MakeColor(252, 129, 3));
    EXPECT_EQ(ColorAt(image, 6, 0), MakeColor(252, 129, 3));
    EXPECT_NE(ColorAt(image, 205, 0), test::kFace);
    for (int x = 206; x < 458; ++x) {
        ASSERT_EQ(ColorAt(image, x, 0), test::kFace) << "pixel " << x;
    }
    // The label: drawn once, in red, centred on the whole control.
    ASSERT_EQ(bar.parts.size(), 1u);
    EXPECT_EQ(bar.parts[0].text, QStringLiteral("45%"));
    EXPECT_EQ(bar.parts[0].span.from, 0);
    EXPECT_EQ(bar.parts[0].span.to, 458);
    const QRect label = LabelBox(bar);
    ASSERT_FALSE(label.isEmpty());
    EXPECT_EQ(BoxOf(image, kRed), label);
    EXPECT_NEAR((label.left() + label.right() + 1) / 2.0, 229, 2);
    EXPECT_NEAR((label.top() + label.bottom() + 1) / 2.0, 10, 2);
}

TEST_F(GradientProgressTest, FullBarEndsInTheLastSubBand) {
    bar.SetPos(100);
    const QImage image = Render(bar);
    EXPECT_EQ(ColorAt(image, 456, 0), MakeColor(1, 254, 254));
    EXPECT_EQ(ColorAt(image, 457, 0), MakeColor(1, 254, 254));
    EXPECT_NE(ColorAt(image, 455, 0), MakeColor(1, 254, 254));
    ASSERT_EQ(bar.parts.size(), 1u);
    EXPECT_EQ(bar.parts[0].text, QStringLiteral("100%"));
}

TEST_F(GradientProgressTest, PositionAtLowerShowsBackgroundAndZeroPercent) {
    const QImage image = Render(bar);
    EXPECT_TRUE(BoxOf(image, test::kFace, QRect(0, 0, 458, 1)) == QRect(0, 0, 458, 1));
    ASSERT_EQ(bar.parts.size(), 1u);
    EXPECT_EQ(bar.parts[0].text, QStringLiteral("0%"));
    EXPECT_FALSE(BoxOf(image, kRed).isEmpty());
}

TEST_F(GradientProgressTest, PositionAboveUpperIsKeptAtUpper) {
    bar.SetPos(30);
    EXPECT_EQ(bar.SetPos(140), 30);
    EXPECT_EQ(bar.GetPos(), 100);
    const QImage image = Render(bar);
    EXPECT_EQ(ColorAt(image, 0, 0), kOrange);
    EXPECT_EQ(ColorAt(image, 457, 0), MakeColor(1, 254, 254));
    ASSERT_EQ(bar.parts.size(), 1u);
    EXPECT_EQ(bar.parts[0].text, QStringLiteral("100%"));
}

TEST_F(GradientProgressTest, UnusableRangeShowsBackgroundOnly) {
    for (const auto& range : {std::pair{60, 40}, std::pair{50, 50}}) {
        bar.SetRange(range.first, range.second);
        bar.SetPos(50);
        bar.parts.clear();
        const QImage image = Render(bar);
        EXPECT_EQ(BoxOf(image, test::kFace), image.rect()) << range.first << ".." << range.second;
        EXPECT_TRUE(bar.parts.empty());
    }
}

TEST_F(GradientProgressTest, EqualStopsGiveOneSolidRectangle) {
    bar.SetLabelFormat(QString(), 0);
    EXPECT_EQ(bar.SetBarColor(kBlue, 0), GradientProgress::CLR_DEFAULT);
    bar.SetPos(50);
    const QImage image = Render(bar);
    EXPECT_EQ(BoxOf(image, kBlue), QRect(0, 0, 229, 20));
    EXPECT_EQ(BoxOf(image, test::kFace), QRect(229, 0, 229, 20));
}

TEST_F(GradientProgressTest, NarrowBarGetsOnePixelSubBands) {
    bar.resize(100, 20);
    bar.SetLabelFormat(QString(), 0);
    bar.SetPos(100);
    const QImage image = Render(bar);
    EXPECT_EQ(ColorAt(image, 0, 0), kOrange);
    for (int x = 1; x < 100; ++x) {
        ASSERT_GT(BlueOf(ColorAt(image, x, 0)), BlueOf(ColorAt(image, x - 1, 0))) << x;
    }
    // The last of 100 steps of (−2.55, 1.27, 2.55) falls one step short of cyan.
    EXPECT_EQ(ColorAt(image, 99, 0), MakeColor(3, 253, 252));
}

TEST_F(GradientProgressTest, LabelColoursSplitAGlyphAtTheBarsEnd) {
    bar.SetLabelColorOffBar(kBlue);
    // One glyph with a crossbar, centred on the control, where the bar ends at 229.
    bar.SetLabelFormat(QStringLiteral("H"), GradientProgress::GPS_PERCENT);
    bar.SetPos(50);
    const QImage image = Render(bar);
    const QRect red = BoxOf(image, kRed);
    const QRect blue = BoxOf(image, kBlue);
    ASSERT_FALSE(red.isEmpty());
    ASSERT_FALSE(blue.isEmpty());
    EXPECT_LE(red.right(), 228);
    EXPECT_GE(blue.left(), 229);
    bool cut = false;
    for (int y = 0; y < 20; ++y) {
        cut = cut || (ColorAt(image, 228, y) == kRed && ColorAt(image, 229, y) == kBlue);
    }
    EXPECT_TRUE(cut) << "no glyph stroke crosses the bar's end";
    ASSERT_EQ(bar.parts.size(), 2u);
    EXPECT_EQ(bar.parts[0].span.to, 229);
    EXPECT_EQ(bar.parts[1].span.from, 229);
}

TEST_F(GradientProgressTest, StopsAreSpreadEvenlyAndBlendsStopAtTheBarsEnd) {
    bar.resize(300, 20);
    bar.SetBarColors({kOrange, kCyan, kBlue});
    bar.SetPos(60);
    Render(bar);
    ASSERT_EQ(bar.blends.size(), 2u);
    EXPECT_EQ(bar.blends[0].band.from, 0);
    EXPECT_EQ(bar.blends[0].band.to, 150);
    EXPECT_EQ(bar.blends[0].clip.to, 150);
    EXPECT_EQ(bar.blends[1].band.from, 150);
    EXPECT_EQ(bar.blends[1].band.to, 300);
    EXPECT_EQ(bar.blends[1].clip.to, 180);
    EXPECT_EQ(bar.blends[1].first, kCyan);
    EXPECT_EQ(bar.blends[1].last, kBlue);

    bar.blends.clear();
    bar.SetStyle(bar.Style() | GradientProgress::GPS_FIT_GRADIENT);
    Render(bar);
    ASSERT_EQ(bar.blends.size(), 2u);
    EXPECT_EQ(bar.blends[1].band.to, 180);
}

TEST_F(GradientProgressTest, SpansArePlacedByDirection) {
    PaintContext context{nullptr, 0, Rect{0, 0, 458, 20}, 0, 0, 100};
    const BarSpan span{10, 30};
    EXPECT_EQ(bar.SpanToRect(context, span), (Rect{10, 0, 30, 20}));
    context.style = GradientProgress::GPS_FLIP;
    EXPECT_EQ(bar.SpanToRect(context, span), (Rect{428, 0, 448, 20}));
    context.inner = Rect{0, 0, 20, 200};
    context.style = GradientProgress::PBS_VERTICAL;
    EXPECT_EQ(bar.SpanToRect(context, span), (Rect{0, 170, 20, 190}));
    context.style |= GradientProgress::GPS_FLIP;
    EXPECT_EQ(bar.SpanToRect(context, span), (Rect{0, 10, 20, 30}));

    // A vertical bar grows upwards from the bottom edge.
    bar.resize(20, 200);
    bar.SetLabelFormat(QString(), 0);
    bar.SetStyle(GradientProgress::PBS_VERTICAL);
    bar.SetPos(10);
    const QImage image = Render(bar);
    EXPECT_EQ(BoxOf(image, kOrange), QRect(0, 199, 20, 1));
    EXPECT_EQ(ColorAt(image, 0, 179), test::kFace);
    EXPECT_NE(ColorAt(image, 0, 180), test::kFace);
}

TEST_F(GradientProgressTest, LabelOnBarShowsOnlyWhenItFits) {
    bar.SetStyle(bar.Style() | GradientProgress::GPS_LABEL_ON_BAR);
    bar.SetPos(2);  // a 9-pixel bar: too short for the label
    Render(bar);
    EXPECT_TRUE(bar.parts.empty());
    bar.SetPos(50);
    const QRect label = LabelBox(bar);
    ASSERT_FALSE(bar.parts.empty());
    EXPECT_EQ(bar.parts.back().span.to, 229);
    EXPECT_NEAR((label.left() + label.right() + 1) / 2.0, 114.5, 2);
}

TEST_F(GradientProgressTest, LabelTextFollowsStyleAndFormat) {
    bar.SetPos(45);
    bar.SetRange(0, 200);  // position 45 of 0 … 200
    const auto labelText = [&]() {
        bar.parts.clear();
        Render(bar);
        return bar.parts.empty() ? QStringLiteral("<none>") : bar.parts[0].text;
    };
    bar.SetStyle(GradientProgress::GPS_PERCENT);
    bar.SetWindowText(QString());
    EXPECT_EQ(labelText(), QStringLiteral("22%"));
    bar.SetStyle(GradientProgress::GPS_VALUE);
    EXPECT_EQ(labelText(), QStringLiteral("45"));
    bar.SetLabelFormat(QStringLiteral("%d of 200"), GradientProgress::GPS_VALUE);
    EXPECT_EQ(labelText(), QStringLiteral("45 of 200"));
    bar.SetStyle(GradientProgress::GPS_VALUE | GradientProgress::GPS_PERCENT);
    EXPECT_EQ(labelText(), QStringLiteral("0 of 200"));
    bar.SetLabelFormat(QStringLiteral("%d"), 0);
    EXPECT_EQ(bar.Style() & 0x0300u, 0u);
    EXPECT_EQ(labelText(), QStringLiteral("<none>"));
}

TEST(LabelFormat, SubstitutesOneIntegerAndShowsAnythingElseAsWritten) {
    EXPECT_EQ(FormatLabel(QStringLiteral("%d%%"), 45), QStringLiteral("45%"));
    EXPECT_EQ(FormatLabel(QStringLiteral("[%5d]"), 45), QStringLiteral("[   45]"));
    EXPECT_EQ(FormatLabel(QStringLiteral("%-3d|%x"), 45), QStringLiteral("45 |%x"));
    EXPECT_EQ(FormatLabel(QStringLiteral("%X"), 255), QStringLiteral("FF"));
    EXPECT_EQ(FormatLabel(QStringLiteral("%s %n %ld"), 7), QStringLiteral("%s %n 7"));
    EXPECT_EQ(FormatLabel(QStringLiteral("100%"), 7), QStringLiteral("100%"));
    EXPECT_EQ(FormatLabel(QStringLiteral("%999999999999d"), 1).size(), 64);
}

TEST(ProgressControl, KeepsThePositionInRangeAndReturnsThePreviousOne) {
    GradientProgress bar;
    EXPECT_EQ(bar.SetPos(30), 0);
    EXPECT_EQ(bar.DeltaPos(-50), 30);
    EXPECT_EQ(bar.GetPos(), 0);
    EXPECT_EQ(bar.SetStep(40), 10);
    bar.StepIt();
    bar.StepIt();
    EXPECT_EQ(bar.StepIt(), 80);
    EXPECT_EQ(bar.GetPos(), 20);  // 120 starts over from the lower end
    bar.SetRange(50, 60);
    EXPECT_EQ(bar.GetPos(), 50);
}

class PaintCounter : public GradientProgress {
public:
    int paints = 0;

protected:
    void paintEvent(QPaintEvent* event) override {
        ++paints;
        GradientProgress::paintEvent(event);
    }
};

TEST(ProgressControl, RepaintsWhenThePositionChanges) {
    PaintCounter bar;
    bar.resize(100, 20);
    bar.show();
    QCoreApplication::processEvents();
    const int shown = bar.paints;
    bar.SetPos(0);
    QCoreApplication::processEvents();
    EXPECT_EQ(bar.paints, shown);
    bar.SetPos(5);
    QCoreApplication::processEvents();
    EXPECT_EQ(bar.paints, shown + 1);
}

TEST(GradientProgressSlide, SegmentSlidesPastTheEndAndComesBackFlipped) {
    RecordingProgress bar;
    bar.resize(100, 20);
    EXPECT_EQ(bar.SetPos(30), 0);
    EXPECT_EQ(bar.TrailPos(), 0);  // outside slide mode the base handles positions
    bar.SetStyle(GradientProgress::GPS_SLIDE);
    EXPECT_EQ(bar.SetPos(60), 30);
    EXPECT_EQ(bar.TrailPos(), 20);
    bar.SetPos(120);  // the head runs past upper; the base stays at upper
    EXPECT_EQ(bar.GetPos(), 100);
    EXPECT_EQ(bar.TrailPos(), 80);
    EXPECT_EQ(bar.DeltaPos(-10), 100);  // the magnitude counts: head 130
    EXPECT_EQ(bar.TrailPos(), 90);
    bar.SetStep(20);
    bar.StepIt();  // head 150 > 140: wraps to 10 and flips
    EXPECT_EQ(bar.GetPos(), 10);
    EXPECT_EQ(bar.TrailPos(), 0);
    EXPECT_NE(bar.Style() & GradientProgress::GPS_FLIP, 0u);

    bar.SetPos(50);
    Render(bar);
    ASSERT_FALSE(bar.blends.empty());
    EXPECT_EQ(bar.blends.front().clip.from, 10);
    EXPECT_EQ(bar.blends.back().clip.to, 50);
}

}  // namespace
}  // namespace korvane
