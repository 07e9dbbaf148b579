#include "penwell/render/StrokePainter.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "penwell/render/Smoothing.h"

namespace penwell::render {

namespace {

/// The kind is decided by the stored first sample only, before any smoothing.
bool isStylus(const Stroke& stroke) {
    return stroke.front().Pressure() > 0.0;
}

void widen(PointBox* box, Point p) {
    if (box == nullptr) {
        return;
    }
    if (p.x < box->min.x) {
        box->min.x = p.x;
    }
    if (p.y < box->min.y) {
        box->min.y = p.y;
    }
    if (p.x > box->max.x) {
        box->max.x = p.x;
    }
    if (p.y > box->max.y) {
        box->max.y = p.y;
    }
}

/// Adds one plain stroke to the current path as polyline subpaths. With round joins and caps
/// a polyline covers the union of its round-capped segments, but Cairo strokes it in time
/// linear in the points instead of tessellating two overlapping caps per segment.
///
/// For a band, only segments whose rows, widened by `reach`, meet it are added; where some are
/// left out the polyline is cut into several. Every vertex of that union carries a whole disc,
/// so a cut changes nothing but what lies beyond the reach of the band. A lone point adds
/// nothing (a subpath needs a segment).
class PlainPolyline final : public PointSink {
public:
    /// Every segment, as it is.
    explicit PlainPolyline(GraphicsContext& context) : context_(context) {}
    /// The segments that reach rows [top, bottom).
    PlainPolyline(GraphicsContext& context, double top, double bottom, double reach)
        : context_(context), banded_(true), top_(top), bottom_(bottom), reach_(reach) {}

    void append(std::span<const Point> points) override {
        for (const Point p : points) {
            if (previous_) {
                const double low = std::min(previous_->y, p.y) - reach_;
                const double high = std::max(previous_->y, p.y) + reach_;
                if (!banded_ || (high > top_ && low < bottom_)) {
                    if (!inPiece_) {
                        context_.moveToPoint(*previous_);
                        inPiece_ = true;
                    }
                    context_.addLineToPoint(p);
                    added_ = true;
                } else {
                    inPiece_ = false;
                }
            }
            previous_ = p;
        }
    }
    void gap() override {
        previous_.reset();
        inPiece_ = false;
    }
    /// Whether any segment was added.
    bool added() const { return added_; }

private:
    GraphicsContext& context_;
    bool banded_ = false;
    double top_ = 0.0, bottom_ = 0.0, reach_ = 0.0;
    std::optional<Point> previous_;
    bool inPiece_ = false;
    bool added_ = false;
};

/// The first pass over plain strokes: their points widen the box, and each stroke's rows and
/// the number of points on each row of the context (from `firstRow` on) are noted, to cut the
/// painting into bands.
class PlainSurvey final : public PointSink {
public:
    PlainSurvey(PointBox* box, std::vector<std::uint32_t>& pointsPerRow, double firstRow)
        : box_(box), pointsPerRow_(pointsPerRow), firstRow_(firstRow) {}

    void append(std::span<const Point> points) override {
        for (const Point p : points) {
            widen(box_, p);
            low = std::min(low, p.y);
            high = std::max(high, p.y);
            ++count;
            // Points above or below the bitmap (or nowhere) count on its first or last row.
            const std::size_t last = pointsPerRow_.size() - 1;
            const double y = p.y - firstRow_;
            const std::size_t row = !(y >= 0.0)                      ? 0
                                    : y >= static_cast<double>(last) ? last
                                                                     : static_cast<std::size_t>(y);
            ++pointsPerRow_[row];
        }
    }

    double low = std::numeric_limits<double>::infinity();
    double high = -std::numeric_limits<double>::infinity();
    std::size_t count = 0;

private:
    PointBox* box_;
    std::vector<std::uint32_t>& pointsPerRow_;
    double firstRow_;
};

void prepare(GraphicsContext& context, const Ink& ink) {
    context.setLineCap(LineCap::Round);
    // Round joins make a polyline cover what its segments would cover each with round caps.
    context.setLineJoin(LineJoin::Round);
    context.setAllowsAntialiasing(true);
    context.setRGBStrokeColor(ink.red, ink.green, ink.blue, ink.alpha);
}

int smoothingSteps(bool smoothing) {
    return smoothing ? 4 : 1;  // one step per span streams the samples themselves
}

/// Paints a run of plain strokes (no stylus stroke among them) in one stroke operation per
/// band of rows, so translucent ink is not darker where strokes overlap.
///
/// Cairo holds about a kilobyte per point of a path while it strokes it. A run of more than
/// `pointsPerBand` points is therefore painted in bands of rows holding about that many
/// points each: each band into a bitmap of its own with only the segments that reach it, then
/// laid over the context. A band alone gets the coverage the whole bitmap would get on its
/// rows and each pixel belongs to one band, so opaque ink gives the same pixels; translucent
/// ink is rounded to 8 bits once more on the way (one step of 255 at most).
void paintPlainRun(GraphicsContext& context, std::span<const Stroke> run, const Ink& ink,
                   bool smoothing, PointBox* box, std::size_t pointsPerBand) {
    const Rect area = context.area();
    // Every row the bitmap touches, a last partial one included.
    const auto rows = static_cast<std::size_t>(std::ceil(area.size.height));
    std::vector<std::uint32_t> pointsPerRow(std::max<std::size_t>(rows, 1), 0);
    // Each stroke's rows: the bands a stroke cannot reach skip it without smoothing it again.
    std::vector<std::pair<double, double>> strokeRows;
    strokeRows.reserve(run.size());
    std::size_t total = 0;
    for (const Stroke& stroke : run) {
        PlainSurvey survey(box, pointsPerRow, area.origin.y);
        streamCatmullRom(stroke, smoothingSteps(smoothing), survey);
        strokeRows.emplace_back(survey.low, survey.high);
        total += survey.count;
    }
    // No ink lands beyond half the width from its path, give or take Cairo's flattening of
    // round caps and joins (0.1 pixel); a segment that ends further from a band leaves it
    // alone. Kept small: every segment within reach of a band is stroked for it again.
    const double reach = ink.lineWidth / 2.0 + 1.0;

    auto strokePath = [&](GraphicsContext& target, std::optional<Rect> band) {
        target.beginPath();
        bool added = false;
        for (std::size_t i = 0; i < run.size(); ++i) {
            if (run[i].empty()) {
                continue;
            }
            if (band && (strokeRows[i].second + reach <= band->origin.y ||
                         strokeRows[i].first - reach >= band->origin.y + band->size.height)) {
                continue;  // no ink of this stroke reaches the band
            }
            if (band) {
                const double top = band->origin.y, bottom = top + band->size.height;
                PlainPolyline polyline(target, top, bottom, reach);
                streamCatmullRom(run[i], smoothingSteps(smoothing), polyline,
                                 RowWindow{top - reach, bottom + reach});
                added = polyline.added() || added;
                continue;
            }
            PlainPolyline polyline(target);
            streamCatmullRom(run[i], smoothingSteps(smoothing), polyline);
            added = polyline.added() || added;
        }
        if (added) {
            target.setLineWidth(ink.lineWidth);
            target.strokePath();
        }
        return added;
    };

    if (total <= pointsPerBand || context.isVector()) {
        strokePath(context, std::nullopt);
        return;
    }
    double low = std::numeric_limits<double>::infinity(), high = -low;
    for (const auto& [first, last] : strokeRows) {
        low = std::min(low, first);
        high = std::max(high, last);
    }
    const auto lastRow = static_cast<double>(rows);
    const double firstRow = area.origin.y;
    std::size_t top =
        static_cast<std::size_t>(std::clamp(std::floor(low - reach - firstRow), 0.0, lastRow));
    const auto end =
        static_cast<std::size_t>(std::clamp(std::ceil(high + reach - firstRow), 0.0, lastRow));
    while (top < end) {
        std::size_t bottom = top;
        std::size_t points = 0;
        while (bottom < end && (bottom == top || points + pointsPerRow[bottom] <= pointsPerBand)) {
            points += pointsPerRow[bottom++];
        }
        const Rect rect{{area.origin.x, firstRow + static_cast<double>(top)},
                        {area.size.width, static_cast<double>(bottom - top)}};
        auto band = context.beginLayer(rect);
        if (!band) {
            return;  // out of memory for even a band: the ink cannot be painted
        }
        prepare(*band, ink);
        if (strokePath(*band, rect)) {
            context.drawImage(band->makeImage(), rect);
        }
        top = bottom;
    }
}

void paintStylusStroke(GraphicsContext& context, const Stroke& stroke, PointBox* box) {
    std::optional<Point> cursor;
    for (const _point& sample : stroke) {
        const Point p = sample.CGPointValue();
        widen(box, p);
        if (cursor) {
            // The width comes from the segment's end sample, as it comes: no lower limit.
            context.setLineWidth(2.0 * sample.Pressure());
            context.moveToPoint(*cursor);
            context.addLineToPoint(p);
            context.strokePath();
        }
        cursor = p;
    }
}

}  // namespace

void paintStrokes(GraphicsContext& context, std::span<const Stroke> strokes, const Ink& ink,
                  bool smoothing, PointBox* box, std::size_t pointsPerBand) {
    prepare(context, ink);
    context.beginPath();
    // Plain strokes are painted in runs that end before each stylus stroke, at lineWidth: a
    // stylus segment must neither paint them nor lend them its width. Without stylus strokes
    // all plain ink is one run.
    std::size_t runStart = 0;
    for (std::size_t i = 0; i <= strokes.size(); ++i) {
        if (i < strokes.size() && (strokes[i].empty() || !isStylus(strokes[i]))) {
            continue;
        }
        paintPlainRun(context, strokes.subspan(runStart, i - runStart), ink, smoothing, box,
                      pointsPerBand);
        if (i < strokes.size()) {
            paintStylusStroke(context, strokes[i], box);
        }
        runStart = i + 1;
    }
}

PointBox pointBox(std::span<const Stroke> strokes, bool smoothing, PointBox box) {
    // The points paintStrokes widens its box by: stored samples of stylus strokes, streamed
    // (smoothed) points of plain ones.
    class Widen final : public PointSink {
    public:
        explicit Widen(PointBox& box) : box_(box) {}
        void append(std::span<const Point> points) override {
            for (const Point p : points) {
                widen(&box_, p);
            }
        }
        void gap() override {}

    private:
        PointBox& box_;
    };
    Widen sink(box);
    for (const Stroke& stroke : strokes) {
        if (stroke.empty()) {
            continue;
        }
        if (isStylus(stroke)) {
            for (const _point& sample : stroke) {
                widen(&box, sample.CGPointValue());
            }
        } else {
            streamCatmullRom(stroke, smoothingSteps(smoothing), sink);
        }
    }
    return box;
}

}  // namespace penwell::render
