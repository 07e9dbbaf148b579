#pragma once
// What Catmull-Rom smoothing hands back: a stroke's polyline, either the stroke itself (too
// short to smooth) or a denser list that passes through every sample.

#include <cstddef>
#include <span>
#include <vector>

#include "capture/Sample.h"
#include "platform/Geometry.h"

namespace penwell {

/// One element of a smoothed stroke. A knot is an input sample itself: knot() points at it, so
/// its timestamp and pressure stay reachable. A point generated between knots has no sample.
class SplinePoint {
public:
    static SplinePoint knotAt(const _point& sample) { return {sample.CGPointValue(), &sample}; }
    static SplinePoint between(Point position) { return {position, nullptr}; }

    /// The position: the knot's exact one, or the generated point's single-precision value.
    Point CGPointValue() const { return pt_; }
    /// The input sample this element is, or nullptr for a generated point.
    const _point* knot() const { return knot_; }

private:
    SplinePoint(Point position, const _point* knot) : pt_(position), knot_(knot) {}

    // The position is kept beside the knot pointer so painters read every element alike,
    // without a branch per point.
    Point pt_;
    const _point* knot_;
};

/// The polyline of a stroke. Either it borrows the caller's samples (a stroke of fewer than 4
/// samples is painted as it is, and copying it would only cost time) or it owns the generated
/// list, whose knots still point into the caller's samples.
///
/// Lifetime: in both forms it refers to the stroke it was made from, so it must not outlive
/// that stroke, and the stroke must not change while it is in use.
class SmoothedStroke {
public:
    explicit SmoothedStroke(std::span<const _point> borrowed) : borrowed_(borrowed) {}
    explicit SmoothedStroke(std::vector<SplinePoint> owned)
        : owned_(std::move(owned)), owns_(true) {}

    /// Whether the caller's stroke is used as it is.
    bool borrowsInput() const { return !owns_; }
    /// The caller's samples when borrowed; empty otherwise.
    std::span<const _point> borrowed() const { return borrowed_; }

    std::size_t size() const { return owns_ ? owned_.size() : borrowed_.size(); }
    bool empty() const { return size() == 0; }
    /// Element `i`; a borrowed sample answers as a knot.
    SplinePoint operator[](std::size_t i) const {
        return owns_ ? owned_[i] : SplinePoint::knotAt(borrowed_[i]);
    }

private:
    std::span<const _point> borrowed_;
    std::vector<SplinePoint> owned_;
    bool owns_ = false;
};

}  // namespace penwell
