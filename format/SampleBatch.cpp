#include "penwell/format/SampleBatch.h"

#include <cmath>

#include "penwell/platform/Touch.h"

namespace penwell {

std::int64_t touchTypeOf(PointerKind kind) {
    switch (kind) {
        case PointerKind::finger:
            return touch_type::kDirect;
        case PointerKind::stylus:
            return touch_type::kStylus;
        case PointerKind::mouse:
            return touch_type::kIndirect;
        case PointerKind::unknown:
            break;
    }
    return kUnknownTouchType;
}

PointerKind pointerKindOf(std::int64_t touchType) {
    switch (touchType) {
        case touch_type::kDirect:
            return PointerKind::finger;
        case touch_type::kStylus:
            return PointerKind::stylus;
        case touch_type::kIndirect:
            return PointerKind::mouse;
        default:
            return PointerKind::unknown;
    }
}

bool SampleBatch::coordinateFits(double v) {
    return std::abs(v) <= kMaxCoordinate;  // false for NaN
}

bool SampleBatch::timeFits(double t) {
    return t >= 0.0 && t <= kMaxTime;
}

bool SampleBatch::forceFits(double f) {
    return f >= 0.0 && f <= kMaxForce;
}

std::optional<std::string> SampleBatch::faultIn(std::span<const PointerSample> samples) {
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const PointerSample& s = samples[i];
        const std::string at = "samples[" + std::to_string(i) + "]: ";
        if (!timeFits(s.t)) {
            return at + "time not from 0 to 1000000000 s";
        }
        if (!coordinateFits(s.x) || !coordinateFits(s.y)) {
            return at + "position beyond 1000000 points of the pad";
        }
    }
    return std::nullopt;
}

}  // namespace penwell
