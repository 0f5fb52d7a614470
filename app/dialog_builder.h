// Turns a dialog template into Qt widgets: the dialog's caption, font, window flags and
// fixed client size, and one widget per control at its place. Dialog units become pixels
// by the base units of the dialog's font, as the classic desktop does it: x × average
// character width ÷ 4, y × character height ÷ 8, each rounded.
#pragma once

#include <QFont>
#include <QRect>
#include <QWidget>
#include <functional>
#include <map>

#include "res/dialog_templates.h"

class QDialog;

namespace korvane {

struct DialogBaseUnits {
    int x;  // the average character width: pixels per 4 horizontal dialog units
    int y;  // the character height: pixels per 8 vertical dialog units
};

// The base units of font: the width of the 52 letters A … Z, a … z halved and rounded per
// 26, and the font's height.
DialogBaseUnits BaseUnitsOf(const QFont& font);

// A rectangle in dialog units, in pixels.
QRect DialogUnitsToPixels(const DialogBaseUnits& units, int x, int y, int width, int height);

// The template's font, asked for by name and size; the platform substitutes what it has.
QFont DialogFont(const res::DialogTemplate& dialogTemplate);

// Makes the widget of a control that the dialog binds to a class of its own, or returns
// nullptr to get the standard widget for the control's class.
using ControlFactory =
    std::function<QWidget*(const res::ControlTemplate& control, QWidget* parent)>;

// The controls of a built dialog by identifier (controls without one are not listed).
using DialogControls = std::map<int, QWidget*>;

// Sets up dialog from the template and creates its controls, in template order (which is
// also the tab order).
DialogControls BuildDialog(QDialog& dialog, const res::DialogTemplate& dialogTemplate,
                           const ControlFactory& factory = {});

}  // namespace korvane
