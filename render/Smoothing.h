#pragma once
// Catmull-Rom smoothing of a stroke, in two forms: an owning polyline for callers that keep it,
// and a stream of points for the painter, which needs no buffer at all.

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "penwell/capture/Sample.h"
#include "penwell/platform/Geometry.h"

namespace penwell {

/// One element of a smoothed stroke, by value. A knot is an input sample itself, so its
/// timestamp and pressure stay known; a point generated between knots has no sample.
struct SplinePoint {
    /// The position: the knot's exact one, or the generated point's single-precision value.
    Point CGPointValue() const { return position; }
    /// The input sample this element is, or empty for a generated point.
    const std::optional<_point>& knot() const { return sample; }

    Point position;
    std::optional<_point> sample;
};

/// The polyline of a stroke, owning everything it answers with: it holds a copy of the stroke's
/// samples beside the positions, so it stays valid whatever later happens to the stroke it was
/// made from (a touch-up that reallocates the stroke list included).
class SmoothedStroke {
public:
    /// `positions` holds every knot at a multiple of `knotStride` (1: every element is a knot).
    SmoothedStroke(std::vector<Point> positions, std::vector<_point> knots, std::size_t knotStride)
        : positions_(std::move(positions)), knots_(std::move(knots)), knotStride_(knotStride) {}

    std::size_t size() const { return positions_.size(); }
    bool empty() const { return positions_.empty(); }
    /// The positions in order, for painting.
    std::span<const Point> positions() const { return positions_; }
    /// Element `i` with its sample when it is a knot.
    SplinePoint operator[](std::size_t i) const {
        if (i % knotStride_ == 0) {
            return {positions_[i], knots_[i / knotStride_]};
        }
        return {positions_[i], std::nullopt};
    }

private:
    std::vector<Point> positions_;
    std::vector<_point> knots_;
    std::size_t knotStride_;
};

namespace render {

/// Receives a streamed polyline a few points at a time, in order. The span is valid during the
/// call only: a sink copies what it keeps.
class PointSink {
public:
    virtual void append(std::span<const Point> points) = 0;
    /// Points were left out here: the next point does not follow the last one.
    virtual void gap() {}

protected:
    ~PointSink() = default;
};

/// The rows a stream is meant for: [top, bottom), already widened by whatever reach the
/// receiver allows around them.
struct RowWindow {
    double top = 0.0;
    double bottom = 0.0;
};

/// The polyline of PenwellViewController::catmullRomSpline, point for point, into `sink`
/// without allocating: the painter strokes it as it comes, so smoothing costs no memory that
/// grows with the stroke. Knots fall at every max(segments, 1)-th point of a stroke of 4
/// samples or more, and every point of a shorter one is a knot.
///
/// With a `window`, spans between two samples that cannot come into it are left out (and
/// reported as gaps), so a band of a long stroke costs little more than the spans that reach
/// it. Samples streamed unsmoothed are never left out.
void streamCatmullRom(std::span<const _point> samples, int segments, PointSink& sink,
                      std::optional<RowWindow> window = std::nullopt);

}  // namespace render

}  // namespace penwell
