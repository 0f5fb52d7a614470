#include "controls/gradient_progress.h"

#include <QPaintEvent>
#include <algorithm>
#include <cstdlib>
#include <limits>

#include "controls/label_format.h"
#include "controls/memory_dc.h"

namespace korvane {

namespace {

int Trunc(double value) {
    return static_cast<int>(value);
}

int ClampToInt(long long value) {
    return static_cast<int>(std::clamp<long long>(value, std::numeric_limits<int>::min(),
                                                  std::numeric_limits<int>::max()));
}

}  // namespace

GradientProgress::GradientProgress(QWidget* parent)
    : ProgressControl(parent),
      barColors(2, GetSysColor(COLOR_ACTIVECAPTION)),
      backColor(GetSysColor(COLOR_BTNFACE)),
      labelColorOnBar(GetSysColor(COLOR_CAPTIONTEXT)),
      labelColorOffBar(GetSysColor(COLOR_BTNTEXT)) {
    // Every paint covers the whole control, so the background is never erased first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void GradientProgress::SetLabelFormat(const QString& format, std::uint32_t flags) {
    if (format.isEmpty() || flags == 0) {
        SetStyle(Style() & ~(GPS_PERCENT | GPS_VALUE));
        SetWindowText(QString());
        return;
    }
    SetStyle((Style() & ~0x0300u) | flags);
    SetWindowText(format);
}

std::uint32_t GradientProgress::SetBarColor(COLORREF first, COLORREF last) {
    barColors = {first, last != 0 ? last : first};
    return CLR_DEFAULT;
}

std::uint32_t GradientProgress::SetBkColor(COLORREF color) {
    backColor = color;
    return CLR_DEFAULT;
}

int GradientProgress::SetPos(int newPosition) {
    int result = 0;
    return MoveSlider(result, newPosition, false) ? result : ProgressControl::SetPos(newPosition);
}

int GradientProgress::DeltaPos(int increment) {
    int result = 0;
    return MoveSlider(result, increment, true) ? result : ProgressControl::DeltaPos(increment);
}

int GradientProgress::StepIt() {
    int result = 0;
    return MoveSlider(result, step, true) ? result : ProgressControl::StepIt();
}

int GradientProgress::SetStep(int newStep) {
    step = newStep;
    return ProgressControl::SetStep(newStep);
}

void GradientProgress::paintEvent(QPaintEvent* event) {
    DrawSurface screen(this, Rect::FromQRect(event->rect()));
    MemoryDC surface(screen);
    Paint(surface);
}

int GradientProgress::Scale(int length, int value, int lower, int upper) {
    // In double precision throughout, so extreme ranges cannot overflow.
    return Trunc(static_cast<double>(length) * (static_cast<double>(value) - lower) /
                 (static_cast<double>(upper) - lower));
}

void GradientProgress::Paint(DrawSurface& surface) {
    const Range range = GetRange();
    PaintContext context{&surface, Style(),     Rect::FromQRect(rect()),
                         GetPos(), range.lower, range.upper};
    surface.FillRect(context.inner, backColor);
    // Outside the range, or in an empty range (which has no bar end and no percentage),
    // only the background shows.
    if (context.position < context.lower || context.position > context.upper ||
        context.lower == context.upper) {
        return;
    }
    const int length =
        (context.style & PBS_VERTICAL) != 0 ? context.inner.Height() : context.inner.Width();
    BarSpan bar{0, Scale(length, context.position, context.lower, context.upper)};
    if ((context.style & GPS_SLIDE) != 0) {
        // The trail is kept within the range while sliding, but a later change of the range
        // can leave it behind; the segment then starts at the bar's origin or is empty.
        bar.from = std::clamp(Scale(length, trailPos, context.lower, context.upper), 0, bar.to);
    }
    const BarSpan whole{0, length};
    DrawColorRun(context, (context.style & GPS_FIT_GRADIENT) != 0 ? bar : whole, bar);
    DrawLabel(context, whole, bar);
}

Rect GradientProgress::SpanToRect(const PaintContext& context, BarSpan span) const {
    const Rect& inner = context.inner;
    const bool flip = (context.style & GPS_FLIP) != 0;
    const int len = span.to - span.from;
    Rect r = inner;
    if ((context.style & PBS_VERTICAL) != 0) {
        r.top = inner.top + (flip ? span.from : inner.Height() - span.to);
        r.bottom = r.top + len;
    } else {
        r.left = inner.left + (flip ? inner.Width() - span.to : span.from);
        r.right = r.left + len;
    }
    return r;
}

void GradientProgress::DrawColorRun(PaintContext& context, BarSpan gradient, BarSpan clip) {
    const int stops = static_cast<int>(barColors.size());
    if (stops < 2) {
        return;
    }
    // Segment edges come from a single-precision width: the rounding decides the pixels.
    const float w = static_cast<float>(gradient.to - gradient.from) / static_cast<float>(stops - 1);
    for (int i = 0; i <= stops - 2; ++i) {
        BarSpan segment{gradient.from + Trunc(static_cast<double>(i) * w),
                        gradient.from + Trunc(static_cast<double>(i + 1) * w)};
        if (i == stops - 2) {
            segment.to = gradient.to;
        }
        if (segment.to < clip.from) {
            continue;
        }
        const BarSpan visible{std::max(segment.from, clip.from), std::min(segment.to, clip.to)};
        DrawBlend(context, segment, visible, barColors[i], barColors[i + 1]);
        if (visible.to == clip.to) {
            break;
        }
    }
}

void GradientProgress::DrawBlend(PaintContext& context, BarSpan band, BarSpan clip, COLORREF first,
                                 COLORREF last) {
    const int dR = RedOf(last) - RedOf(first);
    const int dG = GreenOf(last) - GreenOf(first);
    const int dB = BlueOf(last) - BlueOf(first);
    const int width = band.to - band.from;
    // One sub-band per colour step, but never more sub-bands than pixels.
    int n = std::max({std::abs(dR), std::abs(dG), std::abs(dB)});
    if (n > width) {
        n = width;
    }
    if (n == 0) {
        n = 1;
    }
    const float sR = static_cast<float>(dR) / static_cast<float>(n);
    const float sG = static_cast<float>(dG) / static_cast<float>(n);
    const float sB = static_cast<float>(dB) / static_cast<float>(n);
    // A surface of fewer than 8 bits per pixel without a palette cannot show the steps.
    DrawSurface& surface = *context.surface;
    if (!surface.IsPaletteBased() && n > 1 && surface.BitsPerPixel() < 8) {
        n = 1;
    }
    const float v = static_cast<float>(width) / static_cast<float>(n);
    for (int i = 0; i < n; ++i) {
        BarSpan part{band.from + Trunc(static_cast<double>(i) * v),
                     band.from + Trunc(static_cast<double>(i + 1) * v)};
        if (i == n - 1) {
            part.to = band.to;
        }
        if (part.to < clip.from) {
            continue;
        }
        part.from = std::max(part.from, clip.from);
        part.to = std::min(part.to, clip.to);
        const COLORREF color = MakeColor(RedOf(first) + Trunc(static_cast<double>(i) * sR),
                                         GreenOf(first) + Trunc(static_cast<double>(i) * sG),
                                         BlueOf(first) + Trunc(static_cast<double>(i) * sB));
        surface.FillRect(SpanToRect(context, part), color);
        if (part.to >= clip.to) {
            break;
        }
    }
}

void GradientProgress::DrawLabel(PaintContext& context, BarSpan whole, BarSpan bar) {
    const bool percent = (context.style & GPS_PERCENT) != 0;
    const bool showValue = (context.style & GPS_VALUE) != 0;
    if (!percent && !showValue) {
        return;
    }
    QString format = WindowText();
    int value = 0;
    if (percent && !showValue) {
        if (context.upper == context.lower) {
            return;  // no percentage of an empty range
        }
        if (format.isEmpty()) {
            format = QStringLiteral("%d%%");
        }
        value = Scale(100, context.position, context.lower, context.upper);
    } else if (showValue && !percent) {
        if (format.isEmpty()) {
            format = QStringLiteral("%d");
        }
        value = context.position;
    }
    if (format.isEmpty()) {
        return;
    }

    DrawSurface& surface = *context.surface;
    const std::optional<QFont> previousFont = surface.SelectFont(font());
    const COLORREF previousColor = surface.SetTextColor(labelColorOnBar);
    const BkMode previousMode = surface.SetBkMode(BkMode::Transparent);
    const unsigned previousAlign = surface.SetTextAlign(TA_CENTER | TA_BOTTOM);
    const QPoint windowOrigin = surface.WindowOrg();
    const QPoint previousViewport = surface.ViewportOrg();
    const std::optional<Rect> previousClip = surface.Clip();

    const QString text = FormatLabel(format, value);
    // Fonts here are never rotated, so the label's extent along the axes is the text's own
    // and the anchor is the bottom centre of its box.
    const QSize extent = surface.TextExtent(text);
    const int dx = 0;
    const int dy = extent.height();
    const auto anchorIn = [&](const Rect& r) {
        return QPoint(r.left + (r.Width() + dx) / 2, r.top + (r.Height() + dy) / 2);
    };

    if ((context.style & GPS_LABEL_ON_BAR) != 0) {
        const Rect r = SpanToRect(context, bar);
        const int along = (context.style & PBS_VERTICAL) != 0 ? extent.height() : extent.width();
        if (along <= bar.to - bar.from) {
            surface.SetViewportOrg(anchorIn(r));
            DrawLabelPart(context, bar, text, windowOrigin);
        }
    } else {
        surface.SetViewportOrg(anchorIn(context.inner));
        if (labelColorOnBar == labelColorOffBar) {
            DrawLabelPart(context, whole, text, windowOrigin);
        } else {
            if (!bar.IsEmpty()) {
                DrawLabelPart(context, bar, text, windowOrigin);
            }
            if (bar.to < whole.to) {
                surface.SetTextColor(labelColorOffBar);
                DrawLabelPart(context, BarSpan{bar.to, whole.to}, text, windowOrigin);
            }
            if (whole.from < bar.from) {
                surface.SetTextColor(labelColorOffBar);
                DrawLabelPart(context, BarSpan{whole.from, bar.from}, text, windowOrigin);
            }
        }
    }

    surface.SetClip(previousClip);
    surface.SetViewportOrg(previousViewport);
    surface.SetTextAlign(previousAlign);
    surface.SetBkMode(previousMode);
    surface.SetTextColor(previousColor);
    surface.SelectFont(previousFont);
}

void GradientProgress::DrawLabelPart(PaintContext& context, BarSpan span, const QString& text,
                                     const QPoint& windowOrigin) {
    DrawSurface& surface = *context.surface;
    surface.SetClip(SpanToRect(context, span).Offset(-windowOrigin.x(), -windowOrigin.y()));
    surface.TextOut(QPoint(0, 0), text);
}

bool GradientProgress::MoveSlider(int& result, int value, bool relative) {
    if ((Style() & GPS_SLIDE) == 0) {
        return false;
    }
    const Range range = GetRange();
    // 64-bit arithmetic: a head near the ends of the int range must not overflow.
    const long long lower = range.lower;
    const long long upper = range.upper;
    const long long farEnd = upper + slideLength;
    long long head = value;
    if (relative) {
        long long current = GetPos();
        // The base keeps its position at upper while the head runs on past it.
        if (current == upper && current - trailPos < slideLength) {
            current = static_cast<long long>(trailPos) + slideLength;
        }
        head = current + std::llabs(static_cast<long long>(value));
    }
    if (head > farEnd) {
        // The segment has left the far end: it comes back from the other end.
        head -= farEnd - lower;
        if (head > farEnd) {
            head = farEnd;
        }
        SetStyle(Style() ^ GPS_FLIP);
    } else if (head >= upper) {
        update();
    }
    trailPos = ClampToInt(std::max(head - slideLength, lower));
    result = ProgressControl::SetPos(ClampToInt(head));
    return true;
}

}  // namespace korvane
