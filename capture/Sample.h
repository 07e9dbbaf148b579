#pragma once
// Samples and strokes: what a signature is made of. They know nothing of drawing.

#include <cstdint>
#include <vector>

#include "penwell/platform/Geometry.h"

namespace penwell {

/// One touch sample, immutable once made.
class _point {
public:
    /// A sample with pressure 0 (a touch without force information).
    static _point initwith(Point point, std::uint64_t time) { return _point(point, time, 0.0); }
    static _point initwith(Point point, std::uint64_t time, double pressure) {
        return _point(point, time, pressure);
    }

    _point(Point point, std::uint64_t time, double pressure) : pt(point), tm(time), ps(pressure) {}

    /// Position in the pad view's space, in points; not rounded, not clamped to the pad.
    Point CGPointValue() const { return pt; }
    /// Whole milliseconds since the touch-down of the sample's stroke.
    std::uint64_t Timestamp() const { return tm; }
    /// The touch force exactly as reported.
    double Pressure() const { return ps; }

    friend bool operator==(const _point&, const _point&) = default;

private:
    Point pt;
    std::uint64_t tm;
    double ps;
};

/// A stroke: its samples in the order they were captured.
using Stroke = std::vector<_point>;

/// Milliseconds from a stroke's touch-down at `tZero` to a touch at `timestamp` (both in
/// seconds), truncated toward zero once floating-point error is allowed for (a value within
/// 1e-6 ms below a whole millisecond counts as that millisecond). A negative or NaN difference (a
/// clock that went backwards) gives 0 rather than wrapping around; values of 2^63 and more keep
/// their top bit, and values beyond the unsigned 64-bit range saturate.
std::uint64_t elapsedMilliseconds(double timestamp, double tZero);

}  // namespace penwell
