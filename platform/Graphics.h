#pragma once
// 2-D drawing into transparent bitmaps at one pixel per point. A GraphicsContext is the RAII
// form of "begin an image context ... end it": it exists from beginImageContext() until it is
// destroyed. Coordinates: origin top-left, y downwards, in points (= pixels).

#include <memory>

#include "platform/Geometry.h"
#include "platform/Image.h"

namespace penwell {

enum class LineCap { Butt, Round, Square };
/// How the segments of one subpath meet. Miter joins are not offered: their spikes reach far
/// beyond half the line width, which the contexts' changed-region bookkeeping relies on.
enum class LineJoin { Round, Bevel };

class GraphicsContext {
public:
    virtual ~GraphicsContext() = default;

    /// The bitmap's size in points, which is its size in pixels.
    virtual Size size() const = 0;

    /// Paints the whole image scaled to fill `rect`; nothing lands outside the bitmap. A rect
    /// of no area or with a non-finite coordinate paints nothing.
    virtual void drawImage(const Image& image, const Rect& rect) = 0;

    virtual void setLineCap(LineCap cap) = 0;
    /// Joins start round.
    virtual void setLineJoin(LineJoin join) = 0;
    /// The width used by the next stroke; 0, negative or NaN paints nothing. Backends may
    /// limit it to a width beyond which a line covers no more of the bitmap.
    virtual void setLineWidth(double width) = 0;
    /// Antialiasing starts on.
    virtual void setAllowsAntialiasing(bool allows) = 0;
    virtual void setRGBStrokeColor(double red, double green, double blue, double alpha) = 0;

    /// Empties the current path.
    virtual void beginPath() = 0;
    /// Starts a new subpath at `p`.
    virtual void moveToPoint(Point p) = 0;
    virtual void addLineToPoint(Point p) = 0;
    /// Paints the whole current path with the current width, colour, cap and join, then empties
    /// it. Ink where subpaths overlap is painted once, so translucent ink does not darken there.
    virtual void strokePath() = 0;

    /// The bitmap as it stands, as a new image. Its changedRegion() is what was painted since
    /// the previous image of this context, so taking an image after a small change is cheap.
    virtual Image makeImage() = 0;
};

class Graphics {
public:
    virtual ~Graphics() = default;

    /// A new transparent bitmap context; fractional sizes round up, negative ones count as 0.
    /// Null when the backend cannot make a bitmap of that size (beyond its limits, infinite,
    /// or out of memory): callers then paint nothing, as for a bitmap of no pixels.
    virtual std::unique_ptr<GraphicsContext> beginImageContext(Size size) = 0;
};

}  // namespace penwell
