#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <stdexcept>

#include "penwell/capture/Penwell.h"
#include "penwell/render/Smoothing.h"

namespace penwell {

namespace {

using Weights = std::array<float, 4>;

/// The four Catmull-Rom weights at parameter t. Every bracket is worked left to right in single
/// precision and only then halved: the painted curve is defined by exactly these roundings.
Weights weightsAt(float t) {
    const float tt = t * t;
    const float ttt = t * tt;
    return {0.5f * (-ttt + 2.0f * tt - t), 0.5f * (3.0f * ttt - 5.0f * tt + 2.0f),
            0.5f * (-3.0f * ttt + 4.0f * tt + t), 0.5f * (ttt - tt)};
}

/// The weight rows of one span, in step order. t grows by repeated addition of 1/s, never as
/// i * dt, because that accumulated rounding is part of where the new points land.
///
/// Up to kTableRows steps the rows are worked out once per call into a table on the stack;
/// beyond that they are worked out again for every span, with the same additions, so any step
/// count gives the same points without a heap table.
class WeightRows {
public:
    static constexpr int kTableRows = 64;

    explicit WeightRows(int segments)
        : segments_(segments), dt_(1.0f / static_cast<float>(segments)) {
        if (segments_ <= kTableRows) {
            float t = 0.0f;
            for (int i = 0; i < segments_; ++i) {
                table_[static_cast<std::size_t>(i)] = weightsAt(t);
                t += dt_;
            }
        }
    }

    /// Calls f(row) for rows 1 ... segments - 1. Row 0 belongs to the knot, which enters the
    /// result as the sample itself.
    template <typename F>
    void forEachInnerRow(F&& f) const {
        if (segments_ <= kTableRows) {
            for (int i = 1; i < segments_; ++i) {
                f(table_[static_cast<std::size_t>(i)]);
            }
            return;
        }
        float t = dt_;  // row 0 is at t = 0, so the first addition has been made
        for (int i = 1; i < segments_; ++i) {
            f(weightsAt(t));
            t += dt_;
        }
    }

private:
    int segments_;
    float dt_;
    std::array<Weights, kTableRows> table_{};
};

/// Rounds to single precision and widens back.
///
/// The float passes through a volatile: GCC 12 at -O2 vectorizes the x and y of a new point
/// together and then drops the double -> float -> double round trip as if it were a no-op,
/// which would leave the new points unrounded. A volatile access cannot be elided.
double toSingle(double value) {
    volatile float rounded = static_cast<float>(value);
    return rounded;
}

/// A new point's coordinate: each weight widened to double, the products summed left to right
/// in double, the sum rounded to single precision.
double combine(float w0, double c0, float w1, double c1, float w2, double c2) {
    return toSingle(static_cast<double>(w0) * c0 + static_cast<double>(w1) * c1 +
                    static_cast<double>(w2) * c2);
}

double combine(float w0, double c0, float w1, double c1, float w2, double c2, float w3, double c3) {
    return toSingle(static_cast<double>(w0) * c0 + static_cast<double>(w1) * c1 +
                    static_cast<double>(w2) * c2 + static_cast<double>(w3) * c3);
}

/// Collects points into a buffer on the stack and hands them on a buffer at a time, so the
/// sink's indirect call is paid per buffer, not per point.
class Batcher {
public:
    explicit Batcher(render::PointSink& sink) : sink_(sink) {}
    Batcher(const Batcher&) = delete;
    Batcher& operator=(const Batcher&) = delete;
    ~Batcher() { flush(); }

    void push(Point p) {
        if (count_ == buffer_.size()) {
            flush();
        }
        buffer_[count_++] = p;
    }
    /// The next point does not follow the last one.
    void gap() {
        flush();
        sink_.gap();
    }
    void flush() {
        if (count_ > 0) {
            sink_.append(std::span<const Point>(buffer_.data(), count_));
            count_ = 0;
        }
    }

private:
    render::PointSink& sink_;
    std::array<Point, 256> buffer_;
    std::size_t count_ = 0;
};

/// Where the knots fall among the points of a stroke of n samples.
std::size_t knotStride(std::size_t n, int segments) {
    return n < 4 || segments <= 1 ? 1 : static_cast<std::size_t>(segments);
}

}  // namespace

void render::streamCatmullRom(std::span<const _point> points, int segments, PointSink& sink,
                              std::optional<RowWindow> window) {
    const std::size_t n = points.size();
    Batcher out(sink);
    if (knotStride(n, segments) == 1) {
        // Too short to smooth, or no step inside a span: the polyline is the samples themselves.
        for (const _point& p : points) {
            out.push(p.CGPointValue());
        }
        return;
    }

    const WeightRows rows(segments);
    // Pushes the knot of span s (between P[s] and P[s + 1]) and the points inside it.
    auto span = [&](std::size_t s) {
        if (s == 0) {
            // First span: the point before P[0] is P[0] itself, so its weight joins P[0]'s.
            const Point p0 = points[0].CGPointValue(), p1 = points[1].CGPointValue(),
                        p2 = points[2].CGPointValue();
            out.push(p0);
            rows.forEachInnerRow([&](const Weights& b) {
                const float w = b[0] + b[1];
                out.push({combine(w, p0.x, b[2], p1.x, b[3], p2.x),
                          combine(w, p0.y, b[2], p1.y, b[3], p2.y)});
            });
        } else if (s + 2 == n) {
            // Last span: the point after P[n-1] is P[n-1] itself.
            const Point p0 = points[n - 3].CGPointValue(), p1 = points[n - 2].CGPointValue(),
                        p2 = points[n - 1].CGPointValue();
            out.push(p1);
            rows.forEachInnerRow([&](const Weights& b) {
                const float w = b[2] + b[3];
                out.push({combine(b[0], p0.x, b[1], p1.x, w, p2.x),
                          combine(b[0], p0.y, b[1], p1.y, w, p2.y)});
            });
        } else {
            const Point p0 = points[s - 1].CGPointValue(), p1 = points[s].CGPointValue(),
                        p2 = points[s + 1].CGPointValue(), p3 = points[s + 2].CGPointValue();
            out.push(p1);
            rows.forEachInnerRow([&](const Weights& b) {
                out.push({combine(b[0], p0.x, b[1], p1.x, b[2], p2.x, b[3], p3.x),
                          combine(b[0], p0.y, b[1], p1.y, b[2], p2.y, b[3], p3.y)});
            });
        }
    };
    // Whether span s can come into the window. Its points are sums of its (up to four) samples
    // with weights adding up to 1 whose magnitudes add up to at most 1.25, so they stay within
    // an eighth of the samples' spread beyond them; a quarter, and a little for the rounding
    // to single precision, is safe.
    auto reaches = [&](std::size_t s) {
        double low = points[s].CGPointValue().y, high = low;
        for (std::size_t k = s == 0 ? 0 : s - 1; k <= std::min(s + 2, n - 1); ++k) {
            low = std::min(low, points[k].CGPointValue().y);
            high = std::max(high, points[k].CGPointValue().y);
        }
        const double margin =
            0.25 * (high - low) + 0.01 + 1e-6 * std::max(std::abs(low), std::abs(high));
        return high + margin > window->top && low - margin < window->bottom;
    };

    bool open = false;  // whether the previous span was pushed
    for (std::size_t s = 0; s + 1 < n; ++s) {
        if (window && !reaches(s)) {
            if (open) {
                out.push(points[s].CGPointValue());  // where the previous span ends
                out.gap();
                open = false;
            }
            continue;
        }
        span(s);
        open = true;
    }
    if (open) {
        out.push(points[n - 1].CGPointValue());
    }
}

SmoothedStroke PenwellViewController::catmullRomSpline(const Stroke& points, int segments) {
    const std::size_t n = points.size();
    const std::size_t stride = knotStride(n, segments);
    if (n > 1 && n - 1 > (std::numeric_limits<std::size_t>::max() - 1) / stride) {
        throw std::length_error("catmullRomSpline: too many points");
    }
    struct Collect final : render::PointSink {
        void append(std::span<const Point> more) override {
            positions.insert(positions.end(), more.begin(), more.end());
        }
        std::vector<Point> positions;
    } collect;
    collect.positions.reserve(n == 0 ? 0 : (n - 1) * stride + 1);
    render::streamCatmullRom(points, segments, collect);
    return SmoothedStroke(std::move(collect.positions), points, stride);
}

}  // namespace penwell
