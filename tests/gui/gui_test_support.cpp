#include "gui/gui_test_support.h"

#include <QApplication>
#include <QFont>
#include <QPalette>

namespace korvane::test {

void UseTestLook() {
    QPalette palette;
    palette.setColor(QPalette::Button, ToQColor(kFace));
    palette.setColor(QPalette::ButtonText, ToQColor(kText));
    palette.setColor(QPalette::Light, ToQColor(kHighlight));
    palette.setColor(QPalette::Dark, ToQColor(kShadow));
    palette.setColor(QPalette::Midlight, ToQColor(kLight));
    palette.setColor(QPalette::Shadow, ToQColor(kDarkShadow));
    palette.setColor(QPalette::Highlight, ToQColor(kCaption));
    palette.setColor(QPalette::HighlightedText, ToQColor(kCaptionText));
    QApplication::setPalette(palette);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(12);
    font.setStyleStrategy(QFont::NoAntialias);
    QApplication::setFont(font);
}

QImage Render(QWidget& widget) {
    QImage image(widget.size(), QImage::Format_RGB32);
    image.fill(Qt::magenta);
    widget.render(&image);
    return image;
}

COLORREF ColorAt(const QImage& image, int x, int y) {
    return FromQColor(image.pixelColor(x, y));
}

QRect BoxOf(const QImage& image, COLORREF color, QRect area) {
    if (area.isEmpty()) {
        area = image.rect();
    }
    QRect box;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            if (ColorAt(image, x, y) == color) {
                box |= QRect(x, y, 1, 1);
            }
        }
    }
    return box;
}

}  // namespace korvane::test
