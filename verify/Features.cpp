#include "penwell/verify/Features.h"

#include <algorithm>
#include <cmath>

namespace penwell::verify {

namespace {

/// A stroke's timestamps in seconds. Whole-millisecond stamps may repeat (a tap's dot,
/// coalesced touches) or, from a broken clock, go back: each step counts at least 1 ms.
std::vector<double> secondsOf(const Stroke& stroke) {
    std::vector<double> t;
    t.reserve(stroke.samples.size());
    for (const Sample& s : stroke.samples) {
        const double ms = static_cast<double>(s.ms);
        t.push_back(t.empty() ? ms / 1000.0 : std::max(ms / 1000.0, t.back() + 0.001));
    }
    return t;
}

/// The least-squares slope of value(i) over time at sample i, from the kDerivativeReach
/// samples on each side (fewer at the stroke's ends, where the nearest one stands in): for
/// evenly spaced samples the classic sum k (f[i+k] - f[i-k]) / sum k (t[i+k] - t[i-k]).
template <class Value>
double slopeAt(std::size_t i, const std::vector<double>& t, Value value) {
    const std::size_t last = t.size() - 1;
    double num = 0.0;
    double den = 0.0;
    for (std::size_t k = 1; k <= kDerivativeReach; ++k) {
        const std::size_t after = std::min(i + k, last);
        const std::size_t before = i >= k ? i - k : 0;
        num += static_cast<double>(k) * (value(after) - value(before));
        den += static_cast<double>(k) * (t[after] - t[before]);
    }
    return den > 0.0 ? num / den : 0.0;  // a one-sample stroke stands still
}

/// The centroid of every sample and their root-mean-square distance from it: a signature's
/// place and size.
struct Placement {
    double x = 0.0;
    double y = 0.0;
    double size = 0.0;
};

Placement placementOf(const Signature& signature) {
    Placement c;
    const auto n = static_cast<double>(sampleCount(signature));
    for (const Stroke& stroke : signature.strokes) {
        for (const Sample& s : stroke.samples) {
            c.x += s.x;
            c.y += s.y;
        }
    }
    c.x /= n;
    c.y /= n;
    for (const Stroke& stroke : signature.strokes) {
        for (const Sample& s : stroke.samples) {
            c.size += (s.x - c.x) * (s.x - c.x) + (s.y - c.y) * (s.y - c.y);
        }
    }
    c.size = std::sqrt(c.size / n);
    return c;
}

}  // namespace

std::string_view groupName(FeatureGroup group) {
    switch (group) {
        case FeatureGroup::position:
            return "position";
        case FeatureGroup::velocity:
            return "velocity";
        case FeatureGroup::direction:
            return "direction";
        case FeatureGroup::pressure:
            return "pressure";
    }
    return "?";
}

std::string_view globalName(GlobalFeature feature) {
    switch (feature) {
        case GlobalFeature::penDown:
            return "pen-down time";
        case GlobalFeature::strokes:
            return "strokes";
        case GlobalFeature::pathLength:
            return "path length";
        case GlobalFeature::meanSpeed:
            return "mean speed";
        case GlobalFeature::speedSpread:
            return "speed spread";
        case GlobalFeature::meanPressure:
            return "mean pressure";
        case GlobalFeature::pressureSpread:
            return "pressure spread";
    }
    return "?";
}

SampleFeatures sampleFeatures(const Signature& signature, const FeatureScales& scales) {
    const std::size_t n = sampleCount(signature);
    const Placement placement = placementOf(signature);
    const double cx = placement.x;
    const double cy = placement.y;
    double pressureSum = 0.0;
    double penDown = 0.0;
    for (const Stroke& stroke : signature.strokes) {
        for (const Sample& s : stroke.samples) {
            pressureSum += s.pressure;
        }
        if (!stroke.samples.empty()) {
            const std::vector<double> t = secondsOf(stroke);
            penDown += t.back() - t.front();
        }
    }
    // A dot (every sample in one place) has no size to divide by; its positions are all 0.
    const double scale = placement.size > 1e-9 ? 1.0 / placement.size : 1.0;
    const double meanPressure = pressureSum / static_cast<double>(n);

    const std::size_t block = (n + kMaxWarpSamples - 1) / kMaxWarpSamples;
    std::size_t length = 0;
    for (const Stroke& stroke : signature.strokes) {
        length += (stroke.samples.size() + block - 1) / block;
    }
    SampleFeatures out;
    out.length = length;
    out.groups = scales.pressure ? 4 : 3;
    const std::size_t features = scales.pressure ? kSampleFeatures : kSampleFeatures - 2;
    out.columns.assign(features * length, 0.0f);
    out.time.assign(length, 0.0f);
    if (scales.pressure) {
        out.relativePressure.assign(length, 0.0f);
    }
    auto at = [&](std::size_t f, std::size_t i) -> float& { return out.columns[f * length + i]; };
    std::size_t row = 0;
    double before = 0.0;  // pen-down seconds before this stroke
    for (const Stroke& stroke : signature.strokes) {
        const auto& p = stroke.samples;
        if (p.empty()) {
            continue;
        }
        const std::vector<double> t = secondsOf(stroke);
        for (std::size_t first = 0; first < p.size(); first += block, ++row) {
            // The mean of each feature over the block (one sample unless the signature is long).
            const std::size_t last = std::min(first + block, p.size());
            double sum[8] = {};
            double time = 0.0;
            for (std::size_t i = first; i < last; ++i) {
                sum[0] += (p[i].x - cx) * scale;
                sum[1] += (p[i].y - cy) * scale;
                sum[2] +=
                    slopeAt(i, t, [&](std::size_t j) { return p[j].x; }) * scale * kVelocityTime;
                sum[3] +=
                    slopeAt(i, t, [&](std::size_t j) { return p[j].y; }) * scale * kVelocityTime;
                sum[6] += p[i].pressure;
                sum[7] +=
                    slopeAt(i, t, [&](std::size_t j) { return p[j].pressure; }) * kVelocityTime;
                time += before + t[i] - t.front();
            }
            const double count = static_cast<double>(last - first);
            const double vx = sum[2] / count;
            const double vy = sum[3] / count;
            const double speed = std::hypot(vx, vy);
            at(0, row) = static_cast<float>(sum[0] / count);
            at(1, row) = static_cast<float>(sum[1] / count);
            at(2, row) = static_cast<float>(vx);
            at(3, row) = static_cast<float>(vy);
            at(4, row) = static_cast<float>(speed > 0.0 ? vx / speed : 0.0);
            at(5, row) = static_cast<float>(speed > 0.0 ? vy / speed : 0.0);
            if (scales.pressure) {
                at(6, row) = static_cast<float>(sum[6] / count / scales.pressureScale);
                at(7, row) = static_cast<float>(sum[7] / count / scales.pressureScale);
                out.relativePressure[row] =
                    static_cast<float>(meanPressure > 0.0 ? sum[6] / count / meanPressure : 0.0);
            }
            // A signature written in no time at all (every stamp equal) has its samples evenly
            // spread instead.
            out.time[row] = static_cast<float>(penDown > 0.0 ? time / count / penDown
                                                             : static_cast<double>(row) /
                                                                   static_cast<double>(length));
        }
        before += t.back() - t.front();
    }
    return out;
}

GlobalValues globalFeatures(const Signature& signature, const FeatureScales& scales) {
    double penDown = 0.0;
    double path = 0.0;
    double strokes = 0.0;
    double speedSum = 0.0, speedSquares = 0.0;
    double pressureSum = 0.0, pressureSquares = 0.0;
    std::size_t n = 0;
    for (const Stroke& stroke : signature.strokes) {
        const auto& p = stroke.samples;
        if (p.empty()) {
            continue;
        }
        strokes += 1.0;
        const std::vector<double> t = secondsOf(stroke);
        penDown += t.back() - t.front();
        for (std::size_t i = 0; i < p.size(); ++i) {
            if (i > 0) {
                path += std::hypot(p[i].x - p[i - 1].x, p[i].y - p[i - 1].y);
            }
            const double speed = std::hypot(slopeAt(i, t, [&](std::size_t j) { return p[j].x; }),
                                            slopeAt(i, t, [&](std::size_t j) { return p[j].y; }));
            speedSum += speed;
            speedSquares += speed * speed;
            pressureSum += p[i].pressure;
            pressureSquares += p[i].pressure * p[i].pressure;
            ++n;
        }
    }
    // A dot has no size: its path (0) is measured in points.
    const double size = placementOf(signature).size;
    path /= size > 1e-9 ? size : 1.0;
    // Floors keep the logarithms finite on a dot, a tap or a signature without pressure.
    auto spreadOf = [n](double sum, double squares) {
        const double mean = sum / static_cast<double>(n);
        const double variance = std::max(0.0, squares / static_cast<double>(n) - mean * mean);
        return std::log(std::max(0.01, mean > 0.0 ? std::sqrt(variance) / mean : 0.0));
    };
    penDown = std::max(penDown, 0.01);
    path = std::max(path, 0.01);
    GlobalValues v{};
    v[static_cast<std::size_t>(GlobalFeature::penDown)] = std::log(penDown);
    v[static_cast<std::size_t>(GlobalFeature::strokes)] = strokes;
    v[static_cast<std::size_t>(GlobalFeature::pathLength)] = std::log(path);
    v[static_cast<std::size_t>(GlobalFeature::meanSpeed)] = std::log(path / penDown);
    v[static_cast<std::size_t>(GlobalFeature::speedSpread)] = spreadOf(speedSum, speedSquares);
    if (scales.pressure) {
        const double mean = pressureSum / static_cast<double>(n) / scales.pressureScale;
        v[static_cast<std::size_t>(GlobalFeature::meanPressure)] = std::log(std::max(mean, 0.001));
        v[static_cast<std::size_t>(GlobalFeature::pressureSpread)] =
            spreadOf(pressureSum, pressureSquares);
    }
    return v;
}

}  // namespace penwell::verify
