// A left click delivered to a widget as if the operator made it: used by the screenshot
// tool and the window's tests to press buttons the way a mouse does.
#pragma once

#include <QCoreApplication>
#include <QMouseEvent>
#include <QWidget>

namespace korvane {

inline void Click(QWidget* widget) {
    const QPointF at = QRectF(widget->rect()).center();
    const QPointF global = widget->mapToGlobal(at);
    QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &release);
}

}  // namespace korvane
