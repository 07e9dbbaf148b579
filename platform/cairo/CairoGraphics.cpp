#include "penwell/platform/cairo/CairoGraphics.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <vector>

#include <cairo-pdf.h>
#include <cairo-svg.h>

#include "penwell/platform/Color.h"
#include "penwell/platform/cairo/CairoHandles.h"

namespace penwell::cairo {

namespace {

std::size_t strideInPixels(cairo_surface_t* surface) {
    return static_cast<std::size_t>(cairo_image_surface_get_stride(surface)) /
           sizeof(std::uint32_t);
}

std::uint32_t* pixelsOf(cairo_surface_t* surface) {
    return reinterpret_cast<std::uint32_t*>(cairo_image_surface_get_data(surface));
}

PixelRect wholeOf(const Image& image) {
    return {0, 0, image.width(), image.height()};
}

/// A Cairo surface holding a copy of the part of `image` inside `area` (within the image), for
/// painting or encoding it; null when Cairo cannot hold an image of that size.
Surface surfaceFrom(const Image& image, PixelRect area) {
    Surface surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, area.width, area.height));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) {
        return nullptr;
    }
    cairo_surface_flush(surface.get());
    image.copyPixels(area, pixelsOf(surface.get()), strideInPixels(surface.get()));
    cairo_surface_mark_dirty(surface.get());
    return surface;
}

cairo_status_t appendBytes(void* closure, const unsigned char* data, unsigned int length) {
    static_cast<Bytes*>(closure)->insert(static_cast<Bytes*>(closure)->end(), data, data + length);
    return CAIRO_STATUS_SUCCESS;
}

/// The backend's one PNG encoder: the part of `image` inside `area`, limited to the image.
/// Empty when nothing is inside (PNG has no zero-sized images) or Cairo cannot encode it.
std::optional<Bytes> encode(const Image& image, PixelRect area) {
    area = area.intersected(wholeOf(image));
    if (area.empty()) {
        return std::nullopt;
    }
    Surface surface = surfaceFrom(image, area);
    Bytes bytes;
    if (!surface || cairo_surface_write_to_png_stream(surface.get(), appendBytes, &bytes) !=
                        CAIRO_STATUS_SUCCESS) {
        return std::nullopt;
    }
    return bytes;
}

/// Every context: bitmaps at one pixel per point, scaled bitmaps and vector documents. One
/// class, so all of them share the path handling, the cutting of far geometry and the width
/// limiting below; only where the pixels go differs. Coordinates reach Cairo in points, its
/// transformation scales them and moves the surface's corner to the device's origin.
class CairoContext final : public DocumentContext {
public:
    /// The part `window` (all of it when empty) of a bitmap of `size` points at `scale`. Null
    /// when Cairo cannot make the bitmap (beyond its 32767-pixel side, or out of memory): its
    /// error surfaces have no pixels, and painting into one would write through null.
    static std::unique_ptr<CairoContext> makeBitmap(Size size, double scale,
                                                    const std::optional<PixelRect>& window) {
        if (!(scale > 0.0) || !std::isfinite(scale)) {
            return nullptr;
        }
        PixelRect pixels{0, 0, pixelExtent(size.width * scale), pixelExtent(size.height * scale)};
        if (window) {
            pixels = window->intersected(pixels);
        }
        // The whole bitmap's pixel grid, moved by whole pixels: the same pixels there.
        return makeBitmapAt({pixels.x * 1.0, pixels.y * 1.0}, scale, pixels.width, pixels.height);
    }

    /// A one-page document showing `area`.
    static std::unique_ptr<CairoContext> makeDocument(DocumentFormat format, Rect area) {
        const bool finite = std::isfinite(area.origin.x) && std::isfinite(area.origin.y) &&
                            std::isfinite(area.size.width) && std::isfinite(area.size.height);
        // Beyond this Cairo's fixed-point coordinates (and PDF viewers) give up.
        constexpr double kMaxSide = 1 << 20;
        if (!finite || !(area.size.width > 0.0) || !(area.size.height > 0.0) ||
            area.size.width > kMaxSide || area.size.height > kMaxSide) {
            return nullptr;
        }
        // The stream writes into bytes owned by the context; the pointer stays put when the
        // context moves.
        auto bytes = std::make_unique<Bytes>();
        Surface surface(format == DocumentFormat::SVG
                            ? cairo_svg_surface_create_for_stream(appendBytes, bytes.get(),
                                                                  area.size.width, area.size.height)
                            : cairo_pdf_surface_create_for_stream(
                                  appendBytes, bytes.get(), area.size.width, area.size.height));
        if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) {
            return nullptr;
        }
        if (format == DocumentFormat::SVG) {
            // A unitless width and height equal to the viewBox: CSS pixels, so a web page shows
            // the signature at the size of the PNG at scale 1, one pixel per pad point.
            cairo_svg_surface_set_document_unit(surface.get(), CAIRO_SVG_UNIT_USER);
        } else {
            // No creation time: the same signature gives the same bytes.
            cairo_pdf_surface_set_metadata(surface.get(), CAIRO_PDF_METADATA_CREATE_DATE, "");
        }
        return finishMaking(std::move(surface), area.origin, 1.0, area.size, 0, 0,
                            std::move(bytes));
    }

    Rect area() const override { return area_; }

    bool isVector() const override { return document_ != nullptr; }

    std::unique_ptr<GraphicsContext> beginLayer(const Rect& rect) override {
        if (!std::isfinite(rect.origin.x) || !std::isfinite(rect.origin.y)) {
            return nullptr;
        }
        // From this context's own corner, so that a layer at its edge shares its offset exactly.
        return makeBitmapAt({offset_.x + (rect.origin.x - area_.origin.x) * scale_,
                             offset_.y + (rect.origin.y - area_.origin.y) * scale_},
                            scale_, pixelExtent(rect.size.width * scale_),
                            pixelExtent(rect.size.height * scale_));
    }

    void drawImage(const Image& image, const Rect& rect) override {
        const bool finite = std::isfinite(rect.origin.x) && std::isfinite(rect.origin.y) &&
                            std::isfinite(rect.size.width) && std::isfinite(rect.size.height);
        if (image.width() == 0 || image.height() == 0 || !finite || !(rect.size.width > 0.0) ||
            !(rect.size.height > 0.0)) {
            // Nothing to see; Cairo would also leak the pattern of a degenerate scale.
            return;
        }
        cairo_t* cr = cr_.get();
        if (document_ && image.width() == 1 && image.height() == 1) {
            // A colour stretched over a rectangle: filled as such, the document keeps a vector.
            const std::uint32_t pixel = image.premultipliedPixel(0, 0);
            const double a = (pixel >> 24) / 255.0;
            auto channel = [&](int shift) {
                return a > 0.0 ? ((pixel >> shift) & 0xffu) / 255.0 / a : 0.0;
            };
            cairo_save(cr);
            cairo_set_source_rgba(cr, unitComponent(channel(16)), unitComponent(channel(8)),
                                  unitComponent(channel(0)), a);
            cairo_rectangle(cr, rect.origin.x, rect.origin.y, rect.size.width, rect.size.height);
            cairo_fill(cr);
            cairo_restore(cr);
            return;
        }
        if (pristine_ && !document_ && rect == area() && image.width() == width_ &&
            image.height() == height_) {
            // Painting an image of the context's pixel size over a transparent bitmap yields
            // exactly its pixels, so copy them and adopt the image as the base that later
            // images share tiles with: the live ink then starts from the pad without copying
            // it twice.
            cairo_surface_flush(surface_.get());
            image.copyPixels({0, 0, width_, height_}, pixelsOf(surface_.get()),
                             strideInPixels(surface_.get()));
            cairo_surface_mark_dirty(surface_.get());
            base_ = image;
            changed_ = {};
            pristine_ = false;
            return;
        }
        Surface source = surfaceFrom(image, wholeOf(image));
        if (!source) {
            return;
        }
        cairo_save(cr);
        cairo_new_path(cr);
        cairo_rectangle(cr, rect.origin.x, rect.origin.y, rect.size.width, rect.size.height);
        cairo_clip(cr);
        cairo_translate(cr, rect.origin.x, rect.origin.y);
        cairo_scale(cr, rect.size.width / image.width(), rect.size.height / image.height());
        cairo_set_source_surface(cr, source.get(), 0, 0);
        cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_PAD);
        cairo_paint(cr);
        cairo_restore(cr);
        markChanged(rect.origin.x, rect.origin.y, rect.origin.x + rect.size.width,
                    rect.origin.y + rect.size.height);
    }

    void setLineCap(LineCap cap) override {
        cairo_set_line_cap(cr_.get(), cap == LineCap::Round    ? CAIRO_LINE_CAP_ROUND
                                      : cap == LineCap::Square ? CAIRO_LINE_CAP_SQUARE
                                                               : CAIRO_LINE_CAP_BUTT);
    }

    void setLineJoin(LineJoin join) override {
        cairo_set_line_join(
            cr_.get(), join == LineJoin::Round ? CAIRO_LINE_JOIN_ROUND : CAIRO_LINE_JOIN_BEVEL);
    }

    void setLineWidth(double width) override {
        lineWidth_ = width > 0.0 ? width : 0.0;  // NaN gives 0
    }

    void setAllowsAntialiasing(bool allows) override {
        cairo_set_antialias(cr_.get(), allows ? CAIRO_ANTIALIAS_DEFAULT : CAIRO_ANTIALIAS_NONE);
    }

    void setRGBStrokeColor(double red, double green, double blue, double alpha) override {
        cairo_set_source_rgba(cr_.get(), unitComponent(red), unitComponent(green),
                              unitComponent(blue), unitComponent(alpha));
    }

    // The path is kept here and handed to Cairo only when it is stroked, once the width is
    // known: what reaches Cairo is then cut to what can change a pixel of this bitmap.
    void beginPath() override { path_.clear(); }

    void moveToPoint(Point p) override { path_.push_back({p, true}); }

    void addLineToPoint(Point p) override {
        path_.push_back({p, path_.empty()});  // without a current point a line starts one
    }

    void strokePath() override {
        if (lineWidth_ > 0.0) {
            strokeSegments(lineWidth_ / 2.0);
        }
        path_.clear();  // a zero-width stroke paints nothing but still uses up the path
    }

    Image makeImage() override {
        if (document_) {
            return Image();
        }
        cairo_surface_flush(surface_.get());
        Image image = Image::snapshot(pixelsOf(surface_.get()), strideInPixels(surface_.get()),
                                      width_, height_, base_ ? &*base_ : nullptr, changed_);
        base_ = image;
        changed_ = {};
        pristine_ = false;
        return image;
    }

    std::optional<Bytes> finish() override {
        if (!document_) {
            return std::nullopt;
        }
        cairo_surface_finish(surface_.get());
        if (cairo_surface_status(surface_.get()) != CAIRO_STATUS_SUCCESS) {
            return std::nullopt;
        }
        return std::move(*document_);
    }

private:
    struct PathPoint {
        Point p;
        bool startsSubpath;
    };

    CairoContext(Surface surface, Context cr, Point offset, double scale, Size size, int width,
                 int height, std::unique_ptr<Bytes> document)
        : document_(std::move(document)),
          surface_(std::move(surface)),
          cr_(std::move(cr)),
          offset_(offset),
          scale_(scale),
          area_{{offset.x / scale, offset.y / scale}, size},
          width_(width),
          height_(height) {
        // Device = scale x point - offset: a part of a bitmap at a whole-pixel offset gets the
        // very coordinates, moved by whole pixels, that the whole bitmap gets.
        cairo_translate(cr_.get(), -offset_.x, -offset_.y);
        cairo_scale(cr_.get(), scale_, scale_);
        // Round joins keep every painted pixel within half the line width of the path, which
        // is what the changed-region bookkeeping below assumes.
        cairo_set_line_join(cr_.get(), CAIRO_LINE_JOIN_ROUND);
        cairo_set_source_rgba(cr_.get(), 0, 0, 0, 1);
    }

    /// A bitmap of `width` x `height` pixels at `scale` whose corner is at `offset` in the
    /// device pixels of the points.
    static std::unique_ptr<CairoContext> makeBitmapAt(Point offset, double scale, int width,
                                                      int height) {
        Surface surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height));
        if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) {
            return nullptr;
        }
        return finishMaking(std::move(surface), offset, scale, {width / scale, height / scale},
                            width, height, nullptr);
    }

    static std::unique_ptr<CairoContext> finishMaking(Surface surface, Point offset, double scale,
                                                      Size size, int width, int height,
                                                      std::unique_ptr<Bytes> document) {
        Context cr(cairo_create(surface.get()));
        if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) {
            return nullptr;
        }
        return std::unique_ptr<CairoContext>(new CairoContext(std::move(surface), std::move(cr),
                                                              offset, scale, size, width, height,
                                                              std::move(document)));
    }

    /// Beyond this half width (in device units) the line is drawn this wide. Cairo keeps
    /// device coordinates in 24.8 fixed point (about ±8.4 million), and a line only gets here
    /// when no point of its path lies within this distance of the bitmap, which no real host
    /// ever draws.
    static constexpr double kMaxHalfWidth = 1e6;

    /// The squared distance from `p` to the area's farthest corner: a round pen at least as
    /// wide (as a radius) as its root at `p` covers every pixel. Squared, because it is asked
    /// for every point of every path stroked.
    double farthestCornerSquared(Point p) const {
        const double left = area_.origin.x, top = area_.origin.y;
        const double dx = std::max(std::abs(p.x - left), std::abs(p.x - left - area_.size.width));
        const double dy = std::max(std::abs(p.y - top), std::abs(p.y - top - area_.size.height));
        return dx * dx + dy * dy;
    }

    // Cairo's stroker takes minutes on a width of 1e10, and a coordinate of 1e12 wraps around
    // in its fixed point onto the bitmap; NaN has no place at all. So:
    // - a segment with a NaN or infinite end is not painted;
    // - a line so wide that it covers the whole area around one of its points is a paint of
    //   the whole area, which is exactly what stroking it would give;
    // - otherwise segments are cut to the part that lies within reach of the area (half the
    //   width, times 1.5 for square caps, plus 8 points), and the cut ends' caps fall outside
    //   it too. Pixels stay those of the whole path; time and coordinates are bounded. (With
    //   fewer spare pixels, cuts 2 to 4 pixels off a thin line's bitmap changed an edge pixel
    //   there by 2 of 255: Cairo's stroker approximates differently near what it is given.)
    // All of it is in points: at a scale, the same geometry lands on more pixels.
    void strokeSegments(double half) {
        cairo_t* cr = cr_.get();
        bool anySegment = false;
        double coverSquared = std::numeric_limits<double>::infinity();
        for (std::size_t i = 1; i < path_.size(); ++i) {
            const Point a = path_[i - 1].p, b = path_[i].p;
            if (!path_[i].startsSubpath && std::isfinite(a.x) && std::isfinite(a.y) &&
                std::isfinite(b.x) && std::isfinite(b.y)) {
                anySegment = true;
                coverSquared =
                    std::min({coverSquared, farthestCornerSquared(a), farthestCornerSquared(b)});
            }
        }
        if (!anySegment) {
            return;
        }
        if (half >= std::sqrt(coverSquared) + 1.0) {
            cairo_paint(cr);
            changed_ = {0, 0, width_, height_};
            pristine_ = false;
            return;
        }
        half = std::min(half, kMaxHalfWidth / scale_);
        const double margin = 1.5 * half + 8.0;
        const Rect reach{{area_.origin.x - margin, area_.origin.y - margin},
                         {area_.size.width + 2.0 * margin, area_.size.height + 2.0 * margin}};
        cairo_new_path(cr);
        bool joined = false;  // Cairo's current point is the previous path point
        for (std::size_t i = 1; i < path_.size(); ++i) {
            if (path_[i].startsSubpath) {
                joined = false;
                continue;
            }
            Point a = path_[i - 1].p, b = path_[i].p;
            if (!clipSegment(a, b, reach)) {
                joined = false;
                continue;
            }
            if (!joined || a != path_[i - 1].p) {
                cairo_move_to(cr, a.x, a.y);
            }
            cairo_line_to(cr, b.x, b.y);
            joined = b == path_[i].p;  // a cut end starts the next segment afresh
        }
        cairo_set_line_width(cr, 2.0 * half);
        double x1, y1, x2, y2;
        cairo_path_extents(cr, &x1, &y1, &x2, &y2);
        const double ink = 1.5 * half + 1.0;  // caps and joins, and a pixel of antialiasing
        markChanged(x1 - ink, y1 - ink, x2 + ink, y2 + ink);
        cairo_stroke(cr);
    }

    /// Notes a rectangle in points as painted: in pixels, limited to the bitmap.
    void markChanged(double x1, double y1, double x2, double y2) {
        if (document_) {
            return;
        }
        const PixelRect r = pixelRectOutward(x1 * scale_ - offset_.x, y1 * scale_ - offset_.y,
                                             x2 * scale_ - offset_.x, y2 * scale_ - offset_.y);
        changed_ = changed_.united(r.intersected({0, 0, width_, height_}));
        pristine_ = false;
    }

    std::unique_ptr<Bytes> document_;  // a document's bytes so far; null for a bitmap
    Surface surface_;                  // destroyed before the bytes it writes into
    Context cr_;
    Point offset_;  // where the surface's corner lies, in device pixels (points x scale)
    double scale_;  // pixels per point
    Rect area_;     // what the surface shows, in points
    int width_;     // the bitmap's pixels; 0 for a document
    int height_;
    double lineWidth_ = 2.0;       // Cairo's default
    std::vector<PathPoint> path_;  // the current path, as given
    bool pristine_ = true;         // nothing painted yet: the bitmap is all transparent
    // The latest image taken (or adopted), and what was painted since: the next image shares
    // every tile outside that region with it.
    std::optional<Image> base_ = Image::transparent(width_, height_);
    PixelRect changed_;
};

class CairoGraphics final : public Graphics {
public:
    std::unique_ptr<GraphicsContext> beginImageContext(
        Size size, double scale, const std::optional<PixelRect>& pixels) override {
        return CairoContext::makeBitmap(size, scale, pixels);
    }

    std::unique_ptr<DocumentContext> beginDocumentContext(DocumentFormat format,
                                                          Rect area) override {
        return CairoContext::makeDocument(format, area);
    }

    std::optional<Bytes> encodePng(const Image& image) override {
        return encode(image, wholeOf(image));
    }
};

}  // namespace

std::shared_ptr<Graphics> makeGraphics() {
    return std::make_shared<CairoGraphics>();
}

std::optional<Image> readPng(const std::filesystem::path& path) {
    Surface png(cairo_image_surface_create_from_png(path.c_str()));
    if (cairo_surface_status(png.get()) != CAIRO_STATUS_SUCCESS) {
        return std::nullopt;
    }
    const int w = cairo_image_surface_get_width(png.get());
    const int h = cairo_image_surface_get_height(png.get());
    // PNGs may load as RGB24 (no alpha); paint onto ARGB32 to get one pixel format.
    Surface argb(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h));
    if (cairo_surface_status(argb.get()) != CAIRO_STATUS_SUCCESS) {
        return std::nullopt;
    }
    Context cr(cairo_create(argb.get()));
    cairo_set_source_surface(cr.get(), png.get(), 0, 0);
    cairo_paint(cr.get());
    cairo_surface_flush(argb.get());
    return Image::fromPixels(w, h, pixelsOf(argb.get()), strideInPixels(argb.get()));
}

bool writePng(const Image& image, const std::filesystem::path& path) {
    const std::optional<Bytes> png = encode(image, wholeOf(image));
    if (!png) {
        return false;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(png->data()),
              static_cast<std::streamsize>(png->size()));
    out.close();
    return !out.fail();
}

}  // namespace penwell::cairo
