#include "verify/Features.h"

#include <algorithm>
#include <cmath>

namespace penwell::verify {

FeatureSequence extractFeatures(const Signature& signature, const FeatureScales& scales) {
    double cx = 0.0;
    double cy = 0.0;
    const std::size_t n = sampleCount(signature);
    for (const Stroke& stroke : signature.strokes) {
        for (const Sample& s : stroke.samples) {
            cx += s.x;
            cy += s.y;
        }
    }
    cx /= static_cast<double>(n);
    cy /= static_cast<double>(n);
    double spread = 0.0;
    for (const Stroke& stroke : signature.strokes) {
        for (const Sample& s : stroke.samples) {
            spread += (s.x - cx) * (s.x - cx) + (s.y - cy) * (s.y - cy);
        }
    }
    spread = std::sqrt(spread / static_cast<double>(n));
    // A dot (every sample in one place) has no size to divide by; its positions are all 0.
    const double scale = spread > 1e-9 ? 1.0 / spread : 1.0;

    FeatureSequence out;
    out.dimension = scales.pressure ? 7 : 6;
    out.values.reserve(n * out.dimension);
    for (const Stroke& stroke : signature.strokes) {
        const auto& samples = stroke.samples;
        const std::size_t count = samples.size();
        for (std::size_t i = 0; i < count; ++i) {
            const Sample& s = samples[i];
            const std::size_t before = i > 0 ? i - 1 : i;
            const std::size_t after = i + 1 < count ? i + 1 : i;
            double vx = 0.0;
            double vy = 0.0;
            if (after > before) {
                // Whole-millisecond stamps may repeat (a tap's dot, coalesced touches) or,
                // from a broken clock, go back: count at least 1 ms per step.
                const double dt = std::max(static_cast<double>(samples[after].ms) -
                                               static_cast<double>(samples[before].ms),
                                           static_cast<double>(after - before)) /
                                  1000.0;
                vx = (samples[after].x - samples[before].x) * scale / dt * kVelocityTime;
                vy = (samples[after].y - samples[before].y) * scale / dt * kVelocityTime;
            }
            const double speed = std::hypot(vx, vy);
            const double cosine = speed > 0.0 ? vx / speed : 0.0;
            const double sine = speed > 0.0 ? vy / speed : 0.0;
            out.values.push_back((s.x - cx) * scale * kPositionWeight);
            out.values.push_back((s.y - cy) * scale * kPositionWeight);
            out.values.push_back(vx * kVelocityWeight);
            out.values.push_back(vy * kVelocityWeight);
            out.values.push_back(cosine * kAngleWeight);
            out.values.push_back(sine * kAngleWeight);
            if (scales.pressure) {
                out.values.push_back(s.pressure / scales.pressureScale * kPressureWeight);
            }
        }
    }
    return out;
}

}  // namespace penwell::verify
