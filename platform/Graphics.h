#pragma once
// 2-D drawing into transparent bitmaps, at one pixel per point or at a given scale, and into
// vector documents (SVG, PDF). A GraphicsContext is the RAII form of "begin an image context
// ... end it": it exists from beginImageContext() or beginDocumentContext() until it is
// destroyed. Coordinates: origin top-left, y downwards, in points.

#include <memory>
#include <optional>

#include "penwell/platform/Bytes.h"
#include "penwell/platform/Geometry.h"
#include "penwell/platform/Image.h"

namespace penwell {

enum class LineCap { Butt, Round, Square };
/// How the segments of one subpath meet. Miter joins are not offered: their spikes reach far
/// beyond half the line width, which the contexts' changed-region bookkeeping relies on.
enum class LineJoin { Round, Bevel };

class GraphicsContext {
public:
    virtual ~GraphicsContext() = default;

    /// What the context shows, in points: the bitmap's pixels over the scale at their place (the
    /// origin, unless it is part of a larger bitmap), or the page's area.
    virtual Rect area() const = 0;
    Size size() const { return area().size; }

    /// Whether the context records paths as vectors (a document) rather than painting pixels.
    virtual bool isVector() const = 0;

    /// A transparent bitmap context showing `rect` of this context, in its coordinates and at
    /// its scale: for painting part of a picture apart. drawImage(its image, rect) lays it over
    /// this context pixel for pixel when rect's corners fall on pixels. Null when no bitmap of
    /// that size can be made.
    virtual std::unique_ptr<GraphicsContext> beginLayer(const Rect& rect) = 0;

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
    /// An image of no pixels for a document.
    virtual Image makeImage() = 0;
};

enum class DocumentFormat { SVG, PDF };

/// A one-page vector document. A one-pixel image drawn with drawImage becomes a filled
/// rectangle of its colour, so a background stays a vector too.
class DocumentContext : public GraphicsContext {
public:
    /// Ends the document and hands out its bytes; nil when the backend failed to write it.
    /// Painting after this is a programming error.
    virtual std::optional<Bytes> finish() = 0;
};

class Graphics {
public:
    virtual ~Graphics() = default;

    /// A new transparent bitmap context of `size` points at `scale` pixels per point (what is
    /// painted is scaled, so ink stays sharp); fractional pixel sizes round up, negative ones
    /// count as 0. Null when the backend cannot make a bitmap of that size (beyond its limits,
    /// infinite, or out of memory), or for a scale that is not positive and finite: callers
    /// then paint nothing, as for a bitmap of no pixels. With `pixels`, only that part of the
    /// bitmap (limited to it) is made and painted: its pixels are the whole bitmap's there.
    virtual std::unique_ptr<GraphicsContext> beginImageContext(
        Size size, double scale = 1.0, const std::optional<PixelRect>& pixels = std::nullopt) = 0;

    /// A new one-page document whose page shows `area` (in points) at its size in points:
    /// what is painted at area.origin lands at the page's top-left corner. Null when the
    /// backend cannot make it (an area of no size, or beyond the format's limits).
    virtual std::unique_ptr<DocumentContext> beginDocumentContext(DocumentFormat format,
                                                                  Rect area) = 0;

    /// The image as PNG file contents; nil for an image of no pixels or when encoding fails.
    virtual std::optional<Bytes> encodePng(const Image& image) = 0;
};

}  // namespace penwell
