#include "controls/icon_button.h"

#include <QFocusEvent>
#include <QMouseEvent>
#include <QPaintEvent>

#include "controls/memory_dc.h"

namespace korvane {

IconButton::IconButton(QWidget* parent) : IconButton(QString(), parent) {}

IconButton::IconButton(const QString& caption, QWidget* parent) : QPushButton(caption, parent) {
    // Moves without a button held are needed to see the mouse arrive; the whole face is
    // painted every time, so no background erase is wanted.
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    SetDefaultInactiveBackColor(0);
    SetDefaultInactiveTextColor(0);
    SetDefaultActiveBackColor(0);
    SetDefaultActiveTextColor(0);
}

bool IconButton::SetIcon(int iconInId, int iconOutId, std::uint8_t width, std::uint8_t height) {
    // Assigning the handles releases the images of an earlier call.
    iconIn = LoadIcon(iconInId);
    iconOut = iconOutId != 0 ? LoadIcon(iconOutId) : iconIn;
    iconWidth = width;
    iconHeight = height;
    repaint();
    return true;
}

namespace {

void SetDefaultColor(QWidget& widget, COLORREF& field, SysColorIndex index, int repaint) {
    field = GetSysColor(index);
    if (repaint == 1) {
        widget.update();
    }
}

}  // namespace

void IconButton::SetDefaultInactiveBackColor(int repaint) {
    SetDefaultColor(*this, inactiveBackColor, COLOR_BTNFACE, repaint);
}

void IconButton::SetDefaultInactiveTextColor(int repaint) {
    SetDefaultColor(*this, inactiveTextColor, COLOR_BTNTEXT, repaint);
}

void IconButton::SetDefaultActiveBackColor(int repaint) {
    SetDefaultColor(*this, activeBackColor, COLOR_BTNFACE, repaint);
}

void IconButton::SetDefaultActiveTextColor(int repaint) {
    SetDefaultColor(*this, activeTextColor, COLOR_BTNTEXT, repaint);
}

void IconButton::SetAlign(int value) {
    align = value;
    update();
}

void IconButton::SetOption(bool& field, bool value) {
    field = value;
    update();
}

void IconButton::SetShowText(bool value) {
    SetOption(showText, value);
}

void IconButton::SetDrawBorder(bool value) {
    SetOption(drawBorder, value);
}

void IconButton::SetFlat(bool value) {
    SetOption(flat, value);
}

void IconButton::SetFlatFocus(bool value) {
    SetOption(flatFocus, value);
}

void IconButton::SetHoverCursor(const QCursor& shape) {
    // The widget's own cursor is what the window system shows while the mouse is over it,
    // and while the control holds the mouse grab.
    hoverCursor = shape;
    setCursor(shape);
}

void IconButton::paintEvent(QPaintEvent* event) {
    DrawSurface screen(this, Rect::FromQRect(event->rect()));
    MemoryDC surface(screen);
    unsigned state = 0;
    if (isDown()) {
        state |= ODS_SELECTED;
    }
    if (!isEnabled()) {
        state |= ODS_DISABLED;
    }
    if (hasFocus()) {
        state |= ODS_FOCUS;
    }
    DrawItem(surface, Rect::FromQRect(rect()), state);
}

void IconButton::DrawItem(DrawSurface& surface, const Rect& item, unsigned state) {
    const bool pressed = (state & ODS_SELECTED) != 0;
    const bool focused = (state & ODS_FOCUS) != 0;
    const bool disabled = (state & ODS_DISABLED) != 0;
    Rect r = item;
    if (!flat && focused) {
        surface.FrameRect(r, MakeColor(0, 0, 0));
        r = r.Inflate(-1);
    }
    surface.FillRect(r, hover || pressed ? activeBackColor : inactiveBackColor);
    DrawBorder(surface, r, pressed);

    const QString caption = showText ? text() : QString();
    // Icon and caption are laid out on the item rectangle: the focus frame of the 3-D style
    // does not push them inwards.
    Rect c = item;
    if (iconIn) {
        PaintIcon(surface, caption, item, c, pressed, disabled);
    }
    if (!caption.isEmpty()) {
        DrawCaption(surface, caption, c, pressed, disabled);
    }
    if (focused && (!flat || flatFocus)) {
        surface.DrawFocusRect(r.Inflate(-3));
    }
}

void IconButton::DrawBorder(DrawSurface& surface, const Rect& r, bool pressed) {
    const COLORREF highlight = GetSysColor(COLOR_BTNHIGHLIGHT);
    const COLORREF shadow = GetSysColor(COLOR_BTNSHADOW);
    // The thin border: one colour along the left and top edges, the other along the bottom
    // and right edges; the end points are left out by the polyline rule.
    const auto thin = [&](COLORREF topLeft, COLORREF bottomRight) {
        surface.Polyline({{r.left, r.bottom - 1}, {r.left, r.top}, {r.right, r.top}}, topLeft);
        surface.Polyline(
            {{r.left, r.bottom - 1}, {r.right - 1, r.bottom - 1}, {r.right - 1, r.top - 1}},
            bottomRight);
    };
    if (pressed) {
        if (!flat) {
            surface.FrameRect(r, shadow);
        } else if (drawBorder) {
            thin(shadow, highlight);
        }
        return;
    }
    if (flat) {
        if (hover && drawBorder) {
            thin(highlight, shadow);
        }
        return;
    }
    surface.Polyline({{r.left, r.bottom - 1}, {r.left, r.top}, {r.right, r.top}}, highlight);
    surface.Polyline({{r.left + 1, r.bottom - 1}, {r.left + 1, r.top + 1}, {r.right, r.top + 1}},
                     GetSysColor(COLOR_3DLIGHT));
    surface.Polyline(
        {{r.left, r.bottom - 1}, {r.right - 1, r.bottom - 1}, {r.right - 1, r.top - 1}},
        GetSysColor(COLOR_3DDKSHADOW));
    surface.Polyline(
        {{r.left + 1, r.bottom - 2}, {r.right - 2, r.bottom - 2}, {r.right - 2, r.top}}, shadow);
}

void IconButton::PaintIcon(DrawSurface& surface, const QString& caption, const Rect& item, Rect& c,
                           bool pressed, bool disabled) {
    const int width = iconWidth;
    const int height = iconHeight;
    const bool hasCaption = !caption.isEmpty();
    Rect i = item;
    if (align == IconLeft) {
        if (hasCaption) {
            i.left += 3;
            c.left += width + 3;
        } else {
            i.left += ((item.right - width) - item.left) / 2;
        }
        i.top += ((item.bottom - height) - item.top) / 2;
    } else if (align == IconAbove) {
        i.left += ((item.right - width) - item.left) / 2;
        if (hasCaption) {
            c.top += height;
        } else {
            i.top += ((item.bottom - height) - item.top) / 2;
        }
    }
    if (pressed) {
        i = i.Offset(1, 1);
    }
    const IconHandle& image = hover || pressed ? iconIn : iconOut;
    surface.DrawIcon(i.TopLeft(), image.get(), QSize(i.Width(), i.Height()), disabled);
}

void IconButton::DrawCaption(DrawSurface& surface, const QString& caption, Rect c, bool pressed,
                             bool disabled) {
    if (pressed) {
        c = c.Offset(1, 1);
    }
    const bool active = hover || pressed;
    const std::optional<QFont> previousFont = surface.SelectFont(font());
    const COLORREF previousText =
        surface.SetTextColor(active ? activeTextColor : inactiveTextColor);
    const COLORREF previousBack = surface.SetBkColor(active ? activeBackColor : inactiveBackColor);
    // Centre the measured text on the caption rectangle; a caption larger than the
    // rectangle gets a negative offset and is cut off by the control's edges.
    const int w0 = c.Width();
    const int h0 = c.Height();
    const QSize extent = surface.PrefixTextExtent(caption);
    c.right = c.left + extent.width();
    c.bottom = c.top + extent.height();
    c = c.Offset((w0 - c.Width()) / 2, (h0 - c.Height()) / 2);
    surface.DrawPrefixText(c.TopLeft(), caption, disabled);
    surface.SetBkColor(previousBack);
    surface.SetTextColor(previousText);
    surface.SelectFont(previousFont);
}

void IconButton::mouseMoveEvent(QMouseEvent* event) {
    QPushButton::mouseMoveEvent(event);
    event->accept();
    const bool leftDown = (event->buttons() & Qt::LeftButton) != 0;
    // Arriving with the left button held (a drag from elsewhere) is not hovering.
    if (leftDown && !hover) {
        return;
    }
    if (!flat) {
        return;
    }
    if (mouseGrabber() != this && parentWidget() != nullptr) {
        // The first move over the control: hold the grab so the move that leaves it is
        // seen too.
        hover = true;
        grabMouse();
        update();
        return;
    }
    if (!Rect::FromQRect(rect()).Contains(event->position().toPoint())) {
        if (hover) {
            hover = false;
            update();
        }
        // While the left button is held the click is still being tracked; keep the grab.
        if (!leftDown) {
            releaseMouse();
        }
    }
}

void IconButton::mouseReleaseEvent(QMouseEvent* event) {
    QPushButton::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton) {
        // A click ends by giving the mouse grab back, as a push button's click handling
        // does; the control then sees its grab end.
        if (mouseGrabber() == this) {
            releaseMouse();
        }
        OnCaptureChanged();
    }
}

void IconButton::OnCaptureChanged() {
    // The hovering look stays until the next move outside; the grab is taken again at the
    // next move over the control.
    if (hover) {
        if (mouseGrabber() == this) {
            releaseMouse();
        }
        update();
    }
}

void IconButton::focusOutEvent(QFocusEvent* event) {
    QPushButton::focusOutEvent(event);
    if (flat && hover) {
        hover = false;
        update();
    }
}

void IconButton::changeEvent(QEvent* event) {
    QPushButton::changeEvent(event);
    // A disabled widget gets no mouse events: a grab it kept would leave the whole window
    // deaf to the mouse until it is enabled again (a run started with Enter while the
    // pointer rests on a button disables it for the whole run).
    if (event->type() == QEvent::EnabledChange && !isEnabled()) {
        LeaveHover();
    }
}

void IconButton::hideEvent(QHideEvent* event) {
    QPushButton::hideEvent(event);
    LeaveHover();
}

void IconButton::LeaveHover() {
    if (mouseGrabber() == this) {
        releaseMouse();
    }
    if (hover) {
        hover = false;
        update();
    }
}

}  // namespace korvane
