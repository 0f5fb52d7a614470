// A push button that paints an icon and its caption itself, in a flat style: a plain face
// at rest, a thin raised border while the mouse is over it, a thin sunken border with icon
// and caption shifted one pixel right and down while pressed, and the embossed look when
// disabled. A classic 3-D style is available too.
//
// The button finds out that the mouse is over it by taking the mouse grab at the first
// move over it and giving it back at a move outside; see mouseMoveEvent.
#pragma once

#include <QCursor>
#include <QPushButton>
#include <cstdint>
#include <optional>

#include "controls/colors.h"
#include "controls/draw_surface.h"
#include "controls/icon_registry.h"

namespace korvane {

class IconButton : public QPushButton {
    Q_OBJECT

public:
    // Icon placement.
    enum Align { IconLeft = 0, IconAbove = 1 };

    // Item state bits handed to DrawItem.
    static constexpr unsigned ODS_SELECTED = 0x0001;
    static constexpr unsigned ODS_DISABLED = 0x0004;
    static constexpr unsigned ODS_FOCUS = 0x0010;

    explicit IconButton(QWidget* parent = nullptr);
    IconButton(const QString& caption, QWidget* parent);

    // Loads the icon drawn while hovering or pressed (iconInId) and the one drawn at rest
    // (iconOutId; 0 = the same image), stores the layout size of the icon, and repaints at
    // once. The icons of an earlier call are released. Ids are resource ids: low 16 bits.
    bool SetIcon(int iconInId, int iconOutId, std::uint8_t iconWidth, std::uint8_t iconHeight);

    // Each sets its colour to the current system colour; repaint 1 repaints the control.
    void SetDefaultInactiveBackColor(int repaint);
    void SetDefaultInactiveTextColor(int repaint);
    void SetDefaultActiveBackColor(int repaint);
    void SetDefaultActiveTextColor(int repaint);
    COLORREF GetInactiveBackColor() const { return inactiveBackColor; }
    COLORREF GetInactiveTextColor() const { return inactiveTextColor; }
    COLORREF GetActiveBackColor() const { return activeBackColor; }
    COLORREF GetActiveTextColor() const { return activeTextColor; }

    // The look options; each repaints the control.
    void SetAlign(int value);
    void SetShowText(bool value);
    void SetDrawBorder(bool value);
    void SetFlat(bool value);
    void SetFlatFocus(bool value);
    // The cursor shown while the mouse is over the control.
    void SetHoverCursor(const QCursor& shape);

    bool Hover() const { return hover; }
    IconHandle IconIn() const { return iconIn; }
    IconHandle IconOut() const { return iconOut; }

    // Paints the control for the given item state onto surface.
    virtual void DrawItem(DrawSurface& surface, const Rect& item, unsigned state);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void changeEvent(QEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void SetOption(bool& field, bool value);
    void DrawBorder(DrawSurface& surface, const Rect& r, bool pressed);
    void PaintIcon(DrawSurface& surface, const QString& caption, const Rect& item, Rect& c,
                   bool pressed, bool disabled);
    void DrawCaption(DrawSurface& surface, const QString& caption, Rect c, bool pressed,
                     bool disabled);
    void OnCaptureChanged();
    // A control that can no longer be pressed gives up the grab and the hovering look.
    void LeaveHover();

    int align = IconLeft;
    bool showText = true;
    bool drawBorder = true;
    bool flat = true;
    bool hover = false;
    bool flatFocus = false;
    // Named apart from QWidget::cursor(), which a member called cursor would hide.
    std::optional<QCursor> hoverCursor;
    IconHandle iconIn;
    IconHandle iconOut;
    std::uint8_t iconHeight = 0;
    std::uint8_t iconWidth = 0;
    COLORREF inactiveBackColor = 0;
    COLORREF inactiveTextColor = 0;
    COLORREF activeBackColor = 0;
    COLORREF activeTextColor = 0;
};

}  // namespace korvane
