#include <algorithm>
#include <cmath>
#include <span>
#include <vector>

#include "penwell/capture/Penwell.h"
#include "penwell/render/StrokePainter.h"

namespace penwell {

namespace {

/// Margin around the drawn points' box, in points, so that the line's width and its round
/// caps fit into the cropped image.
constexpr double kCropMargin = 20.0;

/// The crop of an output `width` x `height` points: the box widened by the margin, grown
/// outward to whole points (sample positions need not be whole, and no ink inside may be cut)
/// and limited to the output. It always meets the output, because the box starts at the
/// output's far corner and at its origin.
PixelRect cropRect(const render::PointBox& box, int width, int height) {
    const double x = box.min.x - kCropMargin;
    const double y = box.min.y - kCropMargin;
    const double w = box.max.x - box.min.x + 2.0 * kCropMargin;
    const double h = box.max.y - box.min.y + 2.0 * kCropMargin;
    return pixelRectOutward(x, y, x + w, y + h).intersected({0, 0, width, height});
}

bool reaches(Point a, Point b, double halfWidth, const Rect& area) {
    const double reach = halfWidth + 1.0;  // and a pixel of antialiasing
    return std::max(a.x, b.x) + reach >= area.origin.x &&
           std::min(a.x, b.x) - reach <= area.origin.x + area.size.width &&
           std::max(a.y, b.y) + reach >= area.origin.y &&
           std::min(a.y, b.y) - reach <= area.origin.y + area.size.height;
}

/// What of `strokes` can paint inside `area`, for a picture of that area alone. A stylus
/// stroke's segments are stroked one by one, so those that stay clear of the area are left
/// out (the stroke is cut to the segments from the first to the last that reach it). A plain
/// stroke is kept or left out whole, and kept whole while smoothing is on: the spline may
/// leave its samples' box.
std::vector<Stroke> reaching(std::span<const Stroke> strokes, const Rect& area, double lineWidth,
                             bool smoothing) {
    std::vector<Stroke> out;
    for (const Stroke& stroke : strokes) {
        if (stroke.empty()) {
            continue;
        }
        const bool stylus = stroke.front().Pressure() > 0.0;
        if (!stylus) {
            bool keep = smoothing;
            for (std::size_t i = 0; i < stroke.size() && !keep; ++i) {
                keep = reaches(stroke[i].CGPointValue(), stroke[i].CGPointValue(), lineWidth / 2.0,
                               area);
            }
            if (keep) {
                out.push_back(stroke);
            }
            continue;
        }
        std::size_t first = stroke.size(), last = 0;
        for (std::size_t i = 1; i < stroke.size(); ++i) {
            if (reaches(stroke[i - 1].CGPointValue(), stroke[i].CGPointValue(),
                        std::max(0.0, stroke[i].Pressure()), area)) {
                first = std::min(first, i);
                last = i;
            }
        }
        if (first > last) {
            // Its first sample alone paints nothing but still parts the plain strokes around
            // it into two runs, as the whole stroke does.
            out.push_back(Stroke{stroke.front()});
            continue;
        }
        // A cut that began at a sample without pressure would be painted as plain ink.
        const std::size_t from = stroke[first - 1].Pressure() > 0.0 ? first - 1 : 0;
        out.emplace_back(stroke.begin() + static_cast<std::ptrdiff_t>(from),
                         stroke.begin() + static_cast<std::ptrdiff_t>(last) + 1);
    }
    return out;
}

render::PointBox emptyBox(Size size) {
    return {{size.width, size.height}, {0.0, 0.0}};
}

/// The part of the pad's picture an output shows: the whole pad, or the crop.
PixelRect outputArea(const std::vector<Stroke>& lines, bool smoothing, Size size, bool crop) {
    const int width = pixelExtent(size.width), height = pixelExtent(size.height);
    return crop ? cropRect(render::pointBox(lines, smoothing, emptyBox(size)), width, height)
                : PixelRect{0, 0, width, height};
}

struct Painted {
    Image image;
    PixelRect pixels;  ///< where the image lies in the picture at its scale
};

/// The pixels of `area` (pad points) of the ink over a pad of `size` painted at `scale`, as if
/// the whole pad were painted and then cut, but painting only those: a cropped picture of a
/// pad too large for one bitmap costs the crop alone, and exists when the crop fits in one.
/// Empty when no bitmap that large can be made.
std::optional<Painted> paintArea(Graphics& graphics, Size size, double scale, PixelRect area,
                                 const std::vector<Stroke>& lines, const render::Ink& ink,
                                 bool smoothing, const std::optional<Image>& background) {
    const PixelRect pixels =
        pixelRectOutward(area.x * scale, area.y * scale, area.right() * scale,
                         area.bottom() * scale)
            .intersected({0, 0, pixelExtent(size.width * scale), pixelExtent(size.height * scale)});
    auto context = graphics.beginImageContext(size, scale, pixels);
    if (!context) {
        return std::nullopt;
    }
    if (background) {
        context->drawImage(*background, {{0.0, 0.0}, size});
    }
    render::paintStrokes(*context, lines, ink, smoothing);
    return Painted{context->makeImage(), pixels};
}

}  // namespace

std::optional<Size> PenwellViewController::exportablePadSize() {
    if (!isSignature()) {
        return std::nullopt;
    }
    _assignLineColorRBG();
    if (!sigImage_) {
        return std::nullopt;
    }
    const Size size = sigImage_->frame().size;
    if (pixelExtent(size.width) == 0 || pixelExtent(size.height) == 0) {
        return std::nullopt;  // an image without pixels is no picture of a signature
    }
    return size;
}

std::optional<Image> PenwellViewController::getSignatureImage(bool crop) {
    const std::optional<Size> exportable = exportablePadSize();
    if (!exportable) {
        return std::nullopt;
    }
    // Own context and cursor: the pad, the live ink and a stroke being captured are untouched.
    // Nothing is painted first, so the image is transparent wherever there is no ink.
    std::optional<Painted> painted = paintArea(
        *services_.graphics, *exportable, 1.0, outputArea(_lines, smoothing_, *exportable, crop),
        _lines, {red, green, blue, alpha, lineWidth_}, smoothing_, std::nullopt);
    if (!painted) {
        return std::nullopt;  // no bitmap that large can be made
    }
    return std::move(painted->image);
}

std::optional<Image> PenwellViewController::getPadImage(double scale, std::optional<Rect> area) {
    if (!(scale >= 1.0 && scale <= 8.0) || !sigImage_) {
        return std::nullopt;
    }
    const Rect part = area.value_or(Rect{{0.0, 0.0}, sigImage_->frame().size});
    if (pixelExtent(part.size.width) == 0 || pixelExtent(part.size.height) == 0) {
        return std::nullopt;
    }
    _assignLineColorRBG();
    auto context = services_.graphics->beginImageContext(part.size, scale);
    if (!context) {
        return std::nullopt;
    }
    const render::Ink ink{red, green, blue, alpha, lineWidth_};
    const Point offset = part.origin;
    // The painter paints from the context's origin: the strokes move to the part's instead.
    // Whole points move every sample by whole pixels, so the part's pixels are the whole
    // picture's.
    const auto moved = [&](std::span<const Stroke> strokes, bool smoothing) {
        std::vector<Stroke> out = area ? reaching(strokes, part, lineWidth_, smoothing)
                                       : std::vector<Stroke>(strokes.begin(), strokes.end());
        if (offset.x != 0.0 || offset.y != 0.0) {
            for (Stroke& stroke : out) {
                for (_point& p : stroke) {
                    const Point at = p.CGPointValue();
                    p = _point({at.x - offset.x, at.y - offset.y}, p.Timestamp(), p.Pressure());
                }
            }
        }
        return out;
    };
    // As the pad's image holds them: the strokes of its last full redraw painted alike, then
    // those finished since and the stroke being drawn, as their live ink (not smoothed yet).
    const std::span<const Stroke> lines(_lines);
    const std::size_t redrawn = std::min(redrawnLines_, lines.size());
    render::paintStrokes(*context, moved(lines.first(redrawn), redrawnSmoothing_), ink,
                         redrawnSmoothing_);
    render::paintStrokes(*context, moved(lines.subspan(redrawn), false), ink, false);
    render::paintStrokes(*context, moved(std::span(&_points, 1), false), ink, false);
    return context->makeImage();
}

std::optional<ExportResult> PenwellViewController::exportSignature(const ExportOptions& options) {
    if (!(options.scale >= 1.0 && options.scale <= 8.0)) {
        return std::nullopt;
    }
    const std::optional<Size> exportable = exportablePadSize();
    if (!exportable) {
        return std::nullopt;
    }
    const Size size = *exportable;
    const render::Ink ink{red, green, blue, alpha, lineWidth_};
    // Painted the way the pad's view paints its background colour.
    const std::optional<Image> background = options.background && ibackcolor_
                                                ? std::optional(Image::filledWith(*ibackcolor_))
                                                : std::nullopt;
    Graphics& graphics = *services_.graphics;
    ExportResult result;

    // The crop (or the pad as getSignatureImage's bitmap measures it) is known before
    // painting, so only what is returned is painted.
    const PixelRect area = outputArea(_lines, smoothing_, size, options.crop);

    if (options.format == ExportFormat::PNG) {
        // getSignatureImage's very pixels at scale 1, crop and all, by the same painting.
        const double s = options.scale;
        std::optional<Painted> painted =
            paintArea(graphics, size, s, area, _lines, ink, smoothing_, background);
        if (!painted) {
            return std::nullopt;
        }
        std::optional<Bytes> png = graphics.encodePng(painted->image);
        if (!png) {
            return std::nullopt;
        }
        const PixelRect& pixels = painted->pixels;
        result.bytes = std::move(*png);
        result.image = std::move(painted->image);
        result.rect = {{pixels.x / s, pixels.y / s}, {pixels.width / s, pixels.height / s}};
        return result;
    }

    result.rect = {{static_cast<double>(area.x), static_cast<double>(area.y)},
                   {static_cast<double>(area.width), static_cast<double>(area.height)}};
    auto document = graphics.beginDocumentContext(
        options.format == ExportFormat::SVG ? DocumentFormat::SVG : DocumentFormat::PDF,
        result.rect);
    if (!document) {
        return std::nullopt;
    }
    if (background) {
        document->drawImage(*background, result.rect);
    }
    render::paintStrokes(*document, _lines, ink, smoothing_);
    std::optional<Bytes> bytes = document->finish();
    if (!bytes) {
        return std::nullopt;
    }
    result.bytes = std::move(*bytes);
    return result;
}

}  // namespace penwell
