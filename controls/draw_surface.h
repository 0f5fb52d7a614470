// A thin drawing layer over QPainter that keeps the classic desktop drawing rules the
// controls are laid out by:
//  - a rectangle fill covers its left and top edges and stops short of its right and bottom;
//  - a polyline does not paint its last point;
//  - logical coordinates map to device coordinates through a window origin and a viewport
//    origin: device = logical − window origin + viewport origin;
//  - the clip rectangle is given in device coordinates;
//  - text is placed by an alignment (left/centre/right, top/baseline/bottom) around a
//    reference point; "&" marks a mnemonic in prefix text;
//  - disabled items are drawn embossed: a highlight copy one pixel down and right under a
//    shadow-coloured copy.
// A surface keeps its own attributes (colours, modes, alignment, font, origins, clip) and
// applies them to the painter at each operation.
#pragma once

#include <QFont>
#include <QImage>
#include <QPixmap>
#include <QPoint>
#include <QSize>
#include <QString>
#include <memory>
#include <optional>
#include <vector>

#include "controls/colors.h"
#include "controls/geometry.h"

class QPainter;
class QPaintDevice;

namespace korvane {

enum class BkMode { Transparent = 1, Opaque = 2 };

// Text alignment flags; left, top and the reference point's meaning as in the classic layer.
enum TextAlign : unsigned {
    TA_LEFT = 0,
    TA_TOP = 0,
    TA_RIGHT = 2,
    TA_CENTER = 6,
    TA_BOTTOM = 8,
    TA_BASELINE = 24,
};

class DrawSurface {
public:
    // Paints on device; box (device coordinates) is the area this paint covers, what the
    // surface reports as its clip box while no clip rectangle is set.
    DrawSurface(QPaintDevice* device, const Rect& box);
    virtual ~DrawSurface();
    DrawSurface(const DrawSurface&) = delete;
    DrawSurface& operator=(const DrawSurface&) = delete;

    // Origins. Each setter returns the previous value.
    QPoint SetWindowOrg(const QPoint& origin);
    QPoint WindowOrg() const { return windowOrg; }
    QPoint SetViewportOrg(const QPoint& origin);
    QPoint ViewportOrg() const { return viewportOrg; }

    // The clip rectangle in device coordinates; none means the whole paint area.
    void SetClip(const std::optional<Rect>& deviceRect);
    std::optional<Rect> Clip() const { return clip; }
    // The bounds of what can be drawn now, in logical coordinates.
    Rect ClipBox() const;

    // Text attributes. Each setter returns the previous value.
    COLORREF SetTextColor(COLORREF color);
    COLORREF TextColor() const { return textColor; }
    COLORREF SetBkColor(COLORREF color);
    BkMode SetBkMode(BkMode mode);
    unsigned SetTextAlign(unsigned align);
    // Selects a font; std::nullopt restores the surface's default font.
    std::optional<QFont> SelectFont(const std::optional<QFont>& newFont);

    // Capabilities of the surface, for drawing that depends on colour depth.
    int BitsPerPixel() const { return bitsPerPixel; }
    bool IsPaletteBased() const { return false; }
    bool IsPrinter() const;
    // Device pixels per logical pixel of the device painted on.
    qreal DevicePixelRatio() const;

    void FillRect(const Rect& r, COLORREF color);
    // A one-pixel frame along the inside of r.
    void FrameRect(const Rect& r, COLORREF color);
    // One-pixel solid segments joining the points; the last point is not painted.
    void Polyline(const std::vector<QPoint>& points, COLORREF color);
    // The dotted focus rectangle along the inside of r. It inverts the pixels it covers,
    // so drawing it twice removes it.
    void DrawFocusRect(const Rect& r);

    // Width and height of text in the selected font, with no prefix processing.
    QSize TextExtent(const QString& text) const;
    // Draws text at the reference point p according to the alignment, in the text colour,
    // filling the text's box with the background colour when the mode is opaque.
    void TextOut(const QPoint& p, const QString& text);
    // Width and height of one line of prefix text: "&" is hidden and takes no space.
    QSize PrefixTextExtent(const QString& text) const;
    // Draws one line of prefix text with its top-left corner at p, the mnemonic underlined,
    // in the text colour or embossed when disabled.
    void DrawPrefixText(const QPoint& p, const QString& text, bool disabled);
    // Draws an image at its own size with its top-left corner at p, cut to extent, plain or
    // embossed when disabled. A null image draws nothing.
    void DrawIcon(const QPoint& p, const QPixmap* image, const QSize& extent, bool disabled);

    // Copies an image to the surface with its top-left corner at the logical point p.
    void Blit(const QPoint& p, const QImage& image);

protected:
    DrawSurface();
    // Starts painting on device (owned painter) over the paint area box.
    void Begin(QPaintDevice* device, const Rect& box, int bitsPerPixel);
    // Paints through another surface's painter, starting from its attributes.
    void Share(DrawSurface& other);
    // Ends painting (or hands a shared painter back as it was).
    void End();

private:
    void ApplyTransform();
    void ApplyClip();
    void DrawTextLine(const QPoint& topLeft, const QString& plain, const std::vector<int>& marks,
                      COLORREF color);
    QFont CurrentFont() const;

    std::unique_ptr<QPainter> ownPainter;
    QPainter* painter = nullptr;
    bool shared = false;
    Rect paintBox;
    std::optional<Rect> clip;
    QPoint windowOrg;
    QPoint viewportOrg;
    COLORREF textColor = MakeColor(0, 0, 0);
    COLORREF bkColor = MakeColor(255, 255, 255);
    BkMode bkMode = BkMode::Opaque;
    unsigned textAlign = TA_LEFT | TA_TOP;
    std::optional<QFont> font;
    int bitsPerPixel = 32;
};

}  // namespace korvane
