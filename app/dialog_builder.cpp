#include "app/dialog_builder.h"

#include <QComboBox>
#include <QDialog>
#include <QFontMetrics>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>

#include "controls/icon_registry.h"
#include "res/resource_ids.h"

namespace korvane {

namespace {

using res::ControlClass;
using res::ControlTemplate;
namespace style = res::style;

// a × b ÷ c rounded half away from zero, for the non-negative values of a layout.
int MulDiv(int a, int b, int c) {
    return (a * b + c / 2) / c;
}

bool Has(uint32_t styleBits, uint32_t flag) {
    return (styleBits & flag) == flag;
}

QLabel* MakeStatic(const ControlTemplate& control, QWidget* parent) {
    auto* label = new QLabel(parent);
    if (Has(control.style, style::kIcon)) {
        // The text names the icon ("#128"); the control takes the icon's own size.
        const IconHandle icon = LoadIcon(QString::fromUtf8(control.text + 1).toInt());
        if (icon) {
            label->setPixmap(*icon);
        }
        return label;
    }
    // Texts are shown as they are: a status line that names a file must never be read as
    // markup.
    label->setTextFormat(Qt::PlainText);
    label->setText(QString::fromUtf8(control.text));
    const Qt::Alignment horizontal =
        Has(control.style, style::kRight) ? Qt::AlignRight : Qt::AlignLeft;
    const Qt::Alignment vertical =
        Has(control.style, style::kCenterImage) ? Qt::AlignVCenter : Qt::AlignTop;
    label->setAlignment(horizontal | vertical);
    return label;
}

QWidget* MakeStandard(const ControlTemplate& control, QWidget* parent) {
    switch (control.kind) {
        case ControlClass::kStatic:
            return MakeStatic(control, parent);
        case ControlClass::kEdit: {
            auto* edit = new QLineEdit(parent);
            edit->setFrame(Has(control.style, style::kBorder));
            edit->setText(QString::fromUtf8(control.text));
            return edit;
        }
        case ControlClass::kButton:
            return new QPushButton(QString::fromUtf8(control.text), parent);
        case ControlClass::kComboBox:
            return new QComboBox(parent);
        case ControlClass::kProgress:
            return new QProgressBar(parent);
    }
    return new QWidget(parent);
}

// The parts of a control's set-up that do not depend on its widget class.
void ApplyCommonSettings(const ControlTemplate& control, QWidget* widget) {
    if (auto* button = qobject_cast<QPushButton*>(widget)) {
        button->setText(QString::fromUtf8(control.text));
        button->setDefault(Has(control.style, style::kDefPushButton));
    }
    if (auto* combo = qobject_cast<QComboBox*>(widget)) {
        for (const char* item : control.items) {
            combo->addItem(QString::fromUtf8(item));
        }
    }
    if (Has(control.style, style::kTabStop)) {
        widget->setFocusPolicy(Qt::StrongFocus);
    } else if (control.kind != ControlClass::kStatic) {
        widget->setFocusPolicy(Qt::ClickFocus);
    }
}

// Places widget at the control's rectangle. A combo box's template height is that of its
// open list; closed it is as high as its font makes it. A bordered control other than an
// edit gets its border from a frame around it, inside the same rectangle.
QWidget* Place(const ControlTemplate& control, QWidget* widget, QWidget* parent,
               const DialogBaseUnits& units) {
    QRect r = DialogUnitsToPixels(units, control.x, control.y, control.width, control.height);
    if (auto* combo = qobject_cast<QComboBox*>(widget)) {
        const int closed = std::min(combo->sizeHint().height(), r.height());
        const int itemHeight = std::max(1, combo->fontMetrics().height() + 2);
        combo->setMaxVisibleItems(std::max(1, (r.height() - closed) / itemHeight));
        r.setHeight(closed);
    }
    if (auto* label = qobject_cast<QLabel*>(widget);
        label != nullptr && Has(control.style, style::kIcon)) {
        // An icon control takes the size of its icon.
        if (!label->pixmap().isNull()) {
            r.setSize(label->pixmap().deviceIndependentSize().toSize());
        }
    }
    if (Has(control.style, style::kBorder) && control.kind != ControlClass::kEdit) {
        auto* frame = new QFrame(parent);
        frame->setFrameStyle(QFrame::Box | QFrame::Plain);
        frame->setLineWidth(1);
        frame->setGeometry(r);
        widget->setParent(frame);
        widget->setGeometry(frame->contentsRect());
        return frame;
    }
    widget->setGeometry(r);
    return widget;
}

}  // namespace

DialogBaseUnits BaseUnitsOf(const QFont& font) {
    const QFontMetrics metrics(font);
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return {(letters / 26 + 1) / 2, metrics.height()};
}

QRect DialogUnitsToPixels(const DialogBaseUnits& units, int x, int y, int width, int height) {
    return QRect(MulDiv(x, units.x, 4), MulDiv(y, units.y, 8), MulDiv(width, units.x, 4),
                 MulDiv(height, units.y, 8));
}

QFont DialogFont(const res::DialogTemplate& dialogTemplate) {
    QFont font(QString::fromUtf8(dialogTemplate.fontFace));
    font.setPointSize(dialogTemplate.pointSize);
    return font;
}

DialogControls BuildDialog(QDialog& dialog, const res::DialogTemplate& dialogTemplate,
                           const ControlFactory& factory) {
    dialog.setWindowTitle(QString::fromUtf8(dialogTemplate.caption));
    dialog.setFont(DialogFont(dialogTemplate));
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint;
    if (Has(dialogTemplate.style, style::kCaption)) {
        flags |= Qt::WindowTitleHint;
    }
    if (Has(dialogTemplate.style, style::kSysMenu)) {
        flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    }
    dialog.setWindowFlags(flags);

    // The template's size is the client area's; a modal frame is not resizable.
    const DialogBaseUnits units = BaseUnitsOf(dialog.font());
    dialog.setFixedSize(
        DialogUnitsToPixels(units, 0, 0, dialogTemplate.width, dialogTemplate.height).size());

    DialogControls controls;
    for (const ControlTemplate& control : dialogTemplate.controls) {
        QWidget* widget = factory ? factory(control, &dialog) : nullptr;
        if (widget == nullptr) {
            widget = MakeStandard(control, &dialog);
        }
        ApplyCommonSettings(control, widget);
        QWidget* placed = Place(control, widget, &dialog, units);
        placed->setVisible(Has(control.style, style::kVisible));
        if (control.id != res::kNoId) {
            controls[control.id] = widget;
        }
    }
    return controls;
}

}  // namespace korvane
