#include "controls/colors.h"

#include <QGuiApplication>
#include <QPalette>

namespace korvane {

namespace {

QPalette::ColorRole RoleOf(SysColorIndex index) {
    switch (index) {
        case COLOR_ACTIVECAPTION:
            return QPalette::Highlight;
        case COLOR_CAPTIONTEXT:
            return QPalette::HighlightedText;
        case COLOR_BTNFACE:
            return QPalette::Button;
        case COLOR_BTNSHADOW:
            return QPalette::Dark;
        case COLOR_BTNTEXT:
            return QPalette::ButtonText;
        case COLOR_BTNHIGHLIGHT:
            return QPalette::Light;
        case COLOR_3DDKSHADOW:
            return QPalette::Shadow;
        case COLOR_3DLIGHT:
            return QPalette::Midlight;
    }
    return QPalette::Button;
}

}  // namespace

COLORREF GetSysColor(SysColorIndex index) {
    return FromQColor(QGuiApplication::palette().color(QPalette::Active, RoleOf(index)));
}

}  // namespace korvane
