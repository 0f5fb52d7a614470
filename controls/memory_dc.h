// The off-screen surface a control paints through: it composes one paint in a bitmap
// covering the target's clip box and copies it to the target in one block when it ends,
// so the control never appears half drawn. Its window origin is the clip box's corner, so
// drawing uses the target's own coordinates. On a printer it draws straight to the target.
#pragma once

#include <QImage>

#include "controls/draw_surface.h"

namespace korvane {

class MemoryDC : public DrawSurface {
public:
    explicit MemoryDC(DrawSurface& target);
    ~MemoryDC() override;

private:
    QImage bitmap;
    DrawSurface* target;
    Rect rect;
    bool offscreen;
};

}  // namespace korvane
