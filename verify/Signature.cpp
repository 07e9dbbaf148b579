#include "penwell/verify/Signature.h"

#include <cmath>

namespace penwell::verify {

PointerKind kindOf(const Signature& signature) {
    bool any = false;
    for (const Stroke& stroke : signature.strokes) {
        if (stroke.samples.empty()) {
            continue;
        }
        if (!(stroke.samples.front().pressure > 0.0)) {
            return PointerKind::finger;
        }
        any = true;
    }
    return any ? PointerKind::stylus : PointerKind::finger;
}

std::string_view kindName(PointerKind kind) {
    return kind == PointerKind::stylus ? "pen" : "finger";
}

std::size_t sampleCount(const Signature& signature) {
    std::size_t count = 0;
    for (const Stroke& stroke : signature.strokes) {
        count += stroke.samples.size();
    }
    return count;
}

MaybeFailure checkSignature(const Signature& signature) {
    const std::string& name = signature.name;
    if (signature.strokes.size() > kMaxStrokes) {
        return fail(FailureCode::tooLong, name,
                    std::to_string(signature.strokes.size()) + " strokes, more than the " +
                        std::to_string(kMaxStrokes) + " a signature may have");
    }
    const std::size_t count = sampleCount(signature);
    if (count == 0) {
        return fail(FailureCode::emptySignature, name, "empty signature (no samples)");
    }
    if (count > kMaxSamples) {
        return fail(FailureCode::tooLong, name,
                    std::to_string(count) + " samples, more than the " +
                        std::to_string(kMaxSamples) + " a signature may have");
    }
    for (std::size_t s = 0; s < signature.strokes.size(); ++s) {
        const auto& samples = signature.strokes[s].samples;
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const Sample& p = samples[i];
            // Written so that NaN fails every test.
            if (!(std::abs(p.x) <= kMaxCoordinate) || !(std::abs(p.y) <= kMaxCoordinate) ||
                !(p.pressure >= 0.0 && p.pressure <= kMaxPressure)) {
                return fail(FailureCode::invalidSample, name,
                            "stroke " + std::to_string(s + 1) + ", sample " +
                                std::to_string(i + 1) +
                                ": position beyond 1e6 points, or pressure not from 0 to 1e6");
            }
        }
    }
    return std::nullopt;
}

Signature withoutPressure(Signature signature) {
    for (Stroke& stroke : signature.strokes) {
        for (Sample& sample : stroke.samples) {
            sample.pressure = 0.0;
        }
    }
    return signature;
}

}  // namespace penwell::verify
