#include "controls/memory_dc.h"

#include <algorithm>
#include <cmath>

namespace korvane {

MemoryDC::MemoryDC(DrawSurface& targetSurface)
    : target(&targetSurface), offscreen(!targetSurface.IsPrinter()) {
    if (!offscreen) {
        Share(targetSurface);
        return;
    }
    rect = targetSurface.ClipBox();
    // One device pixel per target device pixel, so the copy is not scaled; at least one
    // pixel, since a painter cannot open an empty image (the copy is then clipped away).
    const qreal ratio = targetSurface.DevicePixelRatio();
    bitmap = QImage(std::max(1, static_cast<int>(std::ceil(rect.Width() * ratio))),
                    std::max(1, static_cast<int>(std::ceil(rect.Height() * ratio))),
                    QImage::Format_RGB32);
    bitmap.setDevicePixelRatio(ratio);
    // A fresh bitmap's content is not defined by the drawing rules; start from black so a
    // control that leaves a pixel unpainted shows the same thing every time.
    bitmap.fill(Qt::black);
    Begin(&bitmap, Rect{0, 0, rect.Width(), rect.Height()}, targetSurface.BitsPerPixel());
    SetWindowOrg(rect.TopLeft());
}

MemoryDC::~MemoryDC() {
    End();
    if (offscreen && !rect.IsEmpty()) {
        target->Blit(rect.TopLeft(), bitmap);
    }
}

}  // namespace korvane
