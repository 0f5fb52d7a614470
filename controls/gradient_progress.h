// A progress bar whose filled part is a colour gradient, with an optional label such as
// "45%" centred on the bar. The base progress control keeps range, position and step;
// this control reads them back at every paint and draws everything itself, off-screen.
//
// Options are window style bits read at every paint: vertical bar, flipped direction,
// gradient fitted into the filled part, label inside the filled part, position label, and a
// sliding-segment mode in which the position messages move a segment along the bar.
#pragma once

#include <QPoint>
#include <QString>
#include <cstdint>
#include <vector>

#include "controls/colors.h"
#include "controls/draw_surface.h"
#include "controls/progress_control.h"

namespace korvane {

// A stretch along the bar's long axis, in pixels from the bar's origin; from … to − 1.
struct BarSpan {
    int from = 0;
    int to = 0;
    bool IsEmpty() const { return from == to; }
};

// What one paint works from, built afresh for each paint.
struct PaintContext {
    DrawSurface* surface;
    std::uint32_t style;
    Rect inner;
    int position;
    int lower;
    int upper;
};

class GradientProgress : public ProgressControl {
    Q_OBJECT

public:
    static constexpr std::uint32_t PBS_VERTICAL = 0x0004;
    static constexpr std::uint32_t GPS_PERCENT = 0x0100;
    static constexpr std::uint32_t GPS_VALUE = 0x0200;
    static constexpr std::uint32_t GPS_LABEL_ON_BAR = 0x1000;
    static constexpr std::uint32_t GPS_FIT_GRADIENT = 0x2000;
    static constexpr std::uint32_t GPS_FLIP = 0x4000;
    static constexpr std::uint32_t GPS_SLIDE = 0x8000;
    // The answer to the two colour messages.
    static constexpr std::uint32_t CLR_DEFAULT = 0xFF000000;

    explicit GradientProgress(QWidget* parent = nullptr);

    // Sets the label's format (the window text) and which value it shows. An empty format
    // or no flags removes the label.
    void SetLabelFormat(const QString& format, std::uint32_t flags);

    // The bar's stops become first then last, or first alone twice (a solid bar) when last
    // is 0. Shows at the next paint. Returns CLR_DEFAULT.
    std::uint32_t SetBarColor(COLORREF first, COLORREF last);
    // Shows at the next paint. Returns CLR_DEFAULT.
    std::uint32_t SetBkColor(COLORREF color);

    void SetBarColors(const std::vector<COLORREF>& stops) { barColors = stops; }
    const std::vector<COLORREF>& BarColors() const { return barColors; }
    COLORREF BackColor() const { return backColor; }
    void SetLabelColorOnBar(COLORREF color) { labelColorOnBar = color; }
    void SetLabelColorOffBar(COLORREF color) { labelColorOffBar = color; }
    COLORREF LabelColorOnBar() const { return labelColorOnBar; }
    COLORREF LabelColorOffBar() const { return labelColorOffBar; }
    int TrailPos() const { return trailPos; }

    // The position messages go to MoveSlider first; when it declines, to the base.
    int SetPos(int newPosition) override;
    int DeltaPos(int increment) override;
    int StepIt() override;
    int SetStep(int newStep) override;

    // Paints the whole control onto surface, in the control's own coordinates.
    void Paint(DrawSurface& surface);

    // The place of a span inside the inner rectangle.
    Rect SpanToRect(const PaintContext& context, BarSpan span) const;

    // Paints the gradient laid over the span gradient where it falls inside clip.
    virtual void DrawColorRun(PaintContext& context, BarSpan gradient, BarSpan clip);
    // Paints one two-colour blend laid over band, inside clip.
    virtual void DrawBlend(PaintContext& context, BarSpan band, BarSpan clip, COLORREF first,
                           COLORREF last);
    // Formats and places the label, each part in the colour of what it lies over.
    virtual void DrawLabel(PaintContext& context, BarSpan whole, BarSpan bar);
    // Draws the prepared label clipped to one span.
    virtual void DrawLabelPart(PaintContext& context, BarSpan span, const QString& text,
                               const QPoint& windowOrigin);
    // Slide mode: moves the segment and stores the previous position in result. Returns
    // false (and does nothing) outside slide mode.
    virtual bool MoveSlider(int& result, int value, bool relative);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // length × (value − lower) ÷ (upper − lower), truncated.
    static int Scale(int length, int value, int lower, int upper);

    std::vector<COLORREF> barColors;
    COLORREF backColor;
    COLORREF labelColorOnBar;
    COLORREF labelColorOffBar;
    int trailPos = 0;
    int slideLength = 40;
    int step = 10;
};

}  // namespace korvane
