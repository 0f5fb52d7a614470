#include "controls/draw_surface.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QPaintDevice>
#include <QPainter>
#include <algorithm>
#include <cstdlib>
#include <utility>

namespace korvane {

namespace {

// Prefix text with its "&" marks resolved: "&x" shows x underlined, "&&" shows one "&",
// and a lone "&" at the end shows nothing.
struct PrefixText {
    QString plain;
    std::vector<int> marks;  // indexes into plain of the characters to underline
};

PrefixText ParsePrefix(const QString& text) {
    PrefixText out;
    for (int i = 0; i < text.size(); ++i) {
        if (text[i] != QLatin1Char('&')) {
            out.plain += text[i];
            continue;
        }
        if (++i >= text.size()) {
            break;
        }
        if (text[i] != QLatin1Char('&')) {
            out.marks.push_back(static_cast<int>(out.plain.size()));
        }
        out.plain += text[i];
    }
    return out;
}

// The shape of an image as one flat colour, for the embossed look of a disabled item:
// opaque pixels that are not light keep the colour, the rest become transparent, so the
// light parts of the image drop out and the shape reads as an engraving.
QImage Silhouette(const QPixmap& image, COLORREF color) {
    QImage shape = image.toImage().convertToFormat(QImage::Format_ARGB32);
    const QRgb ink = qRgb(RedOf(color), GreenOf(color), BlueOf(color));
    for (int y = 0; y < shape.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(shape.scanLine(y));
        for (int x = 0; x < shape.width(); ++x) {
            const bool keep = qAlpha(line[x]) >= 128 && qGray(line[x]) < 192;
            line[x] = keep ? ink : qRgba(0, 0, 0, 0);
        }
    }
    return shape;
}

}  // namespace

DrawSurface::DrawSurface(QPaintDevice* device, const Rect& box) {
    Begin(device, box, device->depth());
}

DrawSurface::DrawSurface() = default;

DrawSurface::~DrawSurface() {
    End();
}

void DrawSurface::Begin(QPaintDevice* device, const Rect& box, int bits) {
    ownPainter = std::make_unique<QPainter>(device);
    painter = ownPainter.get();
    shared = false;
    paintBox = box;
    clip.reset();
    bitsPerPixel = bits;
    ApplyTransform();
    ApplyClip();
}

void DrawSurface::Share(DrawSurface& other) {
    painter = other.painter;
    shared = true;
    painter->save();
    paintBox = other.paintBox;
    clip = other.clip;
    windowOrg = other.windowOrg;
    viewportOrg = other.viewportOrg;
    bitsPerPixel = other.bitsPerPixel;
}

void DrawSurface::End() {
    if (painter == nullptr) {
        return;
    }
    if (shared) {
        painter->restore();
    } else {
        painter->end();
    }
    painter = nullptr;
    ownPainter.reset();
}

void DrawSurface::ApplyTransform() {
    painter->setTransform(QTransform::fromTranslate(viewportOrg.x() - windowOrg.x(),
                                                    viewportOrg.y() - windowOrg.y()));
}

void DrawSurface::ApplyClip() {
    // The clip is in device coordinates: set it with no translation in effect.
    painter->resetTransform();
    if (clip) {
        painter->setClipRect(clip->ToQRect());
    } else {
        painter->setClipping(false);
    }
    ApplyTransform();
}

QPoint DrawSurface::SetWindowOrg(const QPoint& origin) {
    const QPoint previous = windowOrg;
    windowOrg = origin;
    ApplyTransform();
    return previous;
}

QPoint DrawSurface::SetViewportOrg(const QPoint& origin) {
    const QPoint previous = viewportOrg;
    viewportOrg = origin;
    ApplyTransform();
    return previous;
}

void DrawSurface::SetClip(const std::optional<Rect>& deviceRect) {
    clip = deviceRect;
    ApplyClip();
}

Rect DrawSurface::ClipBox() const {
    const Rect box = clip.value_or(paintBox);
    return box.Offset(windowOrg.x() - viewportOrg.x(), windowOrg.y() - viewportOrg.y());
}

COLORREF DrawSurface::SetTextColor(COLORREF color) {
    return std::exchange(textColor, color);
}

COLORREF DrawSurface::SetBkColor(COLORREF color) {
    return std::exchange(bkColor, color);
}

BkMode DrawSurface::SetBkMode(BkMode mode) {
    return std::exchange(bkMode, mode);
}

unsigned DrawSurface::SetTextAlign(unsigned align) {
    return std::exchange(textAlign, align);
}

std::optional<QFont> DrawSurface::SelectFont(const std::optional<QFont>& newFont) {
    return std::exchange(font, newFont);
}

QFont DrawSurface::CurrentFont() const {
    return font.value_or(QGuiApplication::font());
}

bool DrawSurface::IsPrinter() const {
    return painter->device()->devType() == QInternal::Printer;
}

qreal DrawSurface::DevicePixelRatio() const {
    return painter->device()->devicePixelRatioF();
}

void DrawSurface::FillRect(const Rect& r, COLORREF color) {
    if (!r.IsEmpty()) {
        painter->fillRect(r.ToQRect(), ToQColor(color));
    }
}

void DrawSurface::FrameRect(const Rect& r, COLORREF color) {
    if (r.IsEmpty()) {
        return;
    }
    FillRect({r.left, r.top, r.right, r.top + 1}, color);
    FillRect({r.left, r.bottom - 1, r.right, r.bottom}, color);
    FillRect({r.left, r.top, r.left + 1, r.bottom}, color);
    FillRect({r.right - 1, r.top, r.right, r.bottom}, color);
}

void DrawSurface::Polyline(const std::vector<QPoint>& points, COLORREF color) {
    const QColor qcolor = ToQColor(color);
    for (size_t i = 1; i < points.size(); ++i) {
        // Bresenham from one point towards the next, stopping before the next: each segment
        // leaves its end to the segment that starts there, and the last one leaves it out.
        int x = points[i - 1].x();
        int y = points[i - 1].y();
        const int x1 = points[i].x();
        const int y1 = points[i].y();
        const int dx = std::abs(x1 - x);
        const int dy = -std::abs(y1 - y);
        const int sx = x < x1 ? 1 : -1;
        const int sy = y < y1 ? 1 : -1;
        int error = dx + dy;
        while (x != x1 || y != y1) {
            painter->fillRect(x, y, 1, 1, qcolor);
            const int e2 = 2 * error;
            if (e2 >= dy) {
                error += dy;
                x += sx;
            }
            if (e2 <= dx) {
                error += dx;
                y += sy;
            }
        }
    }
}

void DrawSurface::DrawFocusRect(const Rect& r) {
    if (r.IsEmpty()) {
        return;
    }
    std::vector<QPoint> ring;
    for (int x = r.left; x < r.right; ++x) {
        ring.emplace_back(x, r.top);
    }
    for (int y = r.top + 1; y < r.bottom; ++y) {
        ring.emplace_back(r.right - 1, y);
    }
    for (int x = r.right - 2; x >= r.left && r.bottom - 1 > r.top; --x) {
        ring.emplace_back(x, r.bottom - 1);
    }
    for (int y = r.bottom - 2; y > r.top && r.right - 1 > r.left; --y) {
        ring.emplace_back(r.left, y);
    }
    painter->save();
    painter->setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    for (size_t i = 0; i < ring.size(); i += 2) {
        painter->fillRect(ring[i].x(), ring[i].y(), 1, 1, QColor(255, 255, 255));
    }
    painter->restore();
}

QSize DrawSurface::TextExtent(const QString& text) const {
    const QFontMetrics metrics(CurrentFont(), painter->device());
    return QSize(metrics.horizontalAdvance(text), metrics.height());
}

void DrawSurface::TextOut(const QPoint& p, const QString& text) {
    const QFontMetrics metrics(CurrentFont(), painter->device());
    const QSize extent = TextExtent(text);
    int left = p.x();
    if ((textAlign & TA_CENTER) == TA_CENTER) {
        left -= extent.width() / 2;
    } else if ((textAlign & TA_CENTER) == TA_RIGHT) {
        left -= extent.width();
    }
    int top = p.y();
    if ((textAlign & TA_BASELINE) == TA_BASELINE) {
        top -= metrics.ascent();
    } else if ((textAlign & TA_BASELINE) == TA_BOTTOM) {
        top -= extent.height();
    }
    if (bkMode == BkMode::Opaque) {
        FillRect({left, top, left + extent.width(), top + extent.height()}, bkColor);
    }
    DrawTextLine(QPoint(left, top), text, {}, textColor);
}

QSize DrawSurface::PrefixTextExtent(const QString& text) const {
    return TextExtent(ParsePrefix(text).plain);
}

void DrawSurface::DrawPrefixText(const QPoint& p, const QString& text, bool disabled) {
    const PrefixText parsed = ParsePrefix(text);
    if (disabled) {
        DrawTextLine(p + QPoint(1, 1), parsed.plain, parsed.marks, GetSysColor(COLOR_BTNHIGHLIGHT));
        DrawTextLine(p, parsed.plain, parsed.marks, GetSysColor(COLOR_BTNSHADOW));
    } else {
        DrawTextLine(p, parsed.plain, parsed.marks, textColor);
    }
}

void DrawSurface::DrawTextLine(const QPoint& topLeft, const QString& plain,
                               const std::vector<int>& marks, COLORREF color) {
    const QFont current = CurrentFont();
    const QFontMetrics metrics(current, painter->device());
    const int baseline = topLeft.y() + metrics.ascent();
    painter->setFont(current);
    painter->setPen(ToQColor(color));
    painter->drawText(QPoint(topLeft.x(), baseline), plain);
    for (const int mark : marks) {
        const int from = metrics.horizontalAdvance(plain.left(mark));
        const int to = metrics.horizontalAdvance(plain.left(mark + 1));
        painter->fillRect(topLeft.x() + from, baseline + metrics.underlinePos(), to - from,
                          std::max(1, metrics.lineWidth()), ToQColor(color));
    }
}

void DrawSurface::DrawIcon(const QPoint& p, const QPixmap* image, const QSize& extent,
                           bool disabled) {
    if (image == nullptr || image->isNull()) {
        return;
    }
    const QSizeF shown = image->deviceIndependentSize().boundedTo(QSizeF(extent));
    if (shown.isEmpty()) {
        return;
    }
    const QRectF source(QPointF(0, 0), shown * image->devicePixelRatio());
    if (disabled) {
        const QImage light = Silhouette(*image, GetSysColor(COLOR_BTNHIGHLIGHT));
        const QImage dark = Silhouette(*image, GetSysColor(COLOR_BTNSHADOW));
        painter->drawImage(QRectF(p + QPoint(1, 1), shown), light, source);
        painter->drawImage(QRectF(p, shown), dark, source);
    } else {
        painter->drawPixmap(QRectF(p, shown), *image, source);
    }
}

void DrawSurface::Blit(const QPoint& p, const QImage& image) {
    painter->drawImage(p, image);
}

}  // namespace korvane
