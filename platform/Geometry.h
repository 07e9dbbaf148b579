#pragma once
// Geometry in points, in a view's coordinate space: origin top-left, y downwards.
// Every bitmap Penwell paints has one pixel per point, so pixel coordinates equal points.

#include <algorithm>
#include <cmath>

namespace penwell {

struct Point {
    double x = 0.0;
    double y = 0.0;
    friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
    double width = 0.0;
    double height = 0.0;
    friend bool operator==(const Size&, const Size&) = default;
};

struct Rect {
    Point origin;
    Size size;
    friend bool operator==(const Rect&, const Rect&) = default;
};

/// A rectangle of whole pixels. Empty when either side is not positive.
struct PixelRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    bool empty() const { return width <= 0 || height <= 0; }
    int right() const { return x + width; }
    int bottom() const { return y + height; }

    /// The smallest rectangle holding both; an empty side is ignored.
    PixelRect united(const PixelRect& o) const {
        if (empty())
            return o;
        if (o.empty())
            return *this;
        const int l = std::min(x, o.x), t = std::min(y, o.y);
        return {l, t, std::max(right(), o.right()) - l, std::max(bottom(), o.bottom()) - t};
    }

    PixelRect intersected(const PixelRect& o) const {
        const int l = std::max(x, o.x), t = std::max(y, o.y);
        const int r = std::min(right(), o.right()), b = std::min(bottom(), o.bottom());
        if (r <= l || b <= t)
            return {};
        return {l, t, r - l, b - t};
    }

    friend bool operator==(const PixelRect&, const PixelRect&) = default;
};

/// The pixel count of a length in points: partial pixels count whole, and a negative or NaN
/// length gives none. A bitmap of a fractional size still covers all of it.
inline int pixelExtent(double points) {
    if (!(points > 0.0))
        return 0;
    if (points >= 1 << 30)
        return 1 << 30;
    return static_cast<int>(std::ceil(points));
}

/// The whole pixels that a rectangle in points touches, turned outward.
inline PixelRect pixelRectOutward(double minX, double minY, double maxX, double maxY) {
    auto clampInt = [](double v) {
        if (std::isnan(v))
            return 0.0;
        return std::clamp(v, -1.0e9, 1.0e9);
    };
    const double l = std::floor(clampInt(minX)), t = std::floor(clampInt(minY));
    const double r = std::ceil(clampInt(maxX)), b = std::ceil(clampInt(maxY));
    if (r <= l || b <= t)
        return {};
    return {static_cast<int>(l), static_cast<int>(t), static_cast<int>(r - l),
            static_cast<int>(b - t)};
}

/// Cuts the segment from `a` to `b` down to its part inside `box` (edges included), moving the
/// ends that lie outside onto the box. False when no part of it is inside, or when the segment
/// is not finite (a NaN or infinite end, or ends so far apart that their distance overflows).
inline bool clipSegment(Point& a, Point& b, const Rect& box) {
    const double dx = b.x - a.x, dy = b.y - a.y;
    if (!std::isfinite(dx) || !std::isfinite(dy)) {
        return false;  // also catches a NaN or infinite end
    }
    // Liang-Barsky: the segment is a + t (dx, dy) for t in [enter, leave].
    double enter = 0.0, leave = 1.0;
    auto within = [&](double p, double q) {  // keeps the part where p t <= q
        if (p == 0.0) {
            return q >= 0.0;
        }
        const double t = q / p;
        if (p < 0.0) {
            enter = std::max(enter, t);
        } else {
            leave = std::min(leave, t);
        }
        return enter <= leave;
    };
    const double minX = box.origin.x, maxX = box.origin.x + box.size.width;
    const double minY = box.origin.y, maxY = box.origin.y + box.size.height;
    if (!within(-dx, a.x - minX) || !within(dx, maxX - a.x) || !within(-dy, a.y - minY) ||
        !within(dy, maxY - a.y)) {
        return false;
    }
    const Point start = a;
    if (leave < 1.0) {
        b = {start.x + leave * dx, start.y + leave * dy};
    }
    if (enter > 0.0) {
        a = {start.x + enter * dx, start.y + enter * dy};
    }
    return true;
}

}  // namespace penwell
