// Rectangles with the classic desktop convention: right and bottom are one past the last
// pixel, so a fill of (left, top, right, bottom) covers left … right − 1 and top … bottom − 1.
#pragma once

#include <QPoint>
#include <QRect>

namespace korvane {

struct Rect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;

    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    bool IsEmpty() const { return right <= left || bottom <= top; }
    QPoint TopLeft() const { return QPoint(left, top); }

    Rect Offset(int dx, int dy) const { return {left + dx, top + dy, right + dx, bottom + dy}; }
    // Grows the rectangle by d on every side (shrinks it when d is negative).
    Rect Inflate(int d) const { return {left - d, top - d, right + d, bottom + d}; }
    // A point on the right or bottom edge lies outside, as for the hit test of a window.
    bool Contains(const QPoint& p) const {
        return p.x() >= left && p.x() < right && p.y() >= top && p.y() < bottom;
    }

    QRect ToQRect() const { return QRect(left, top, right - left, bottom - top); }
    static Rect FromQRect(const QRect& r) {
        return {r.x(), r.y(), r.x() + r.width(), r.y() + r.height()};
    }

    bool operator==(const Rect& o) const {
        return left == o.left && top == o.top && right == o.right && bottom == o.bottom;
    }
    bool operator!=(const Rect& o) const { return !(*this == o); }
};

}  // namespace korvane
