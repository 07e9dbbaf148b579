#include "penwell/verify/Template.h"

#include <algorithm>
#include <cmath>

#include "penwell/verify/Dtw.h"

namespace penwell::verify {

namespace {

FeatureScales scalesFor(const std::vector<Signature>& references, PointerKind kind) {
    FeatureScales scales;
    if (kind != PointerKind::stylus) {
        return scales;
    }
    double sum = 0.0;
    std::size_t n = 0;
    for (const Signature& s : references) {
        for (const Stroke& stroke : s.strokes) {
            for (const Sample& p : stroke.samples) {
                sum += p.pressure;
                ++n;
            }
        }
    }
    scales.pressure = true;
    scales.pressureScale = std::max(kMinPressureScale, sum / static_cast<double>(n));
    return scales;
}

}  // namespace

void Template::prepare() {
    globals_.clear();
    for (const Signature& s : references_) {
        globals_.push_back(globalFeatures(s, scales_));
    }
    model_.emplace(distances_, globals_, scales_.pressure);
    withoutPressure_.emplace(distances_, globals_, false);
}

void Template::measure() {
    const std::size_t k = references_.size();
    for (std::size_t w = 0; w < kWarpMeasures; ++w) {
        distances_[w].assign(componentUsed(w, scales_.pressure) ? k * k : 0, 0.0);
    }
    for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = i + 1; j < k; ++j) {
            const WarpMeasures d = signatureDistances(features_[i], features_[j]);
            for (std::size_t w = 0; w < kWarpMeasures; ++w) {
                if (!distances_[w].empty()) {
                    distances_[w][i * k + j] = distances_[w][j * k + i] = d[w];
                }
            }
        }
    }
}

Result<Template> Template::enrol(std::vector<Signature> references, const EnrolOptions& options) {
    if (references.size() < kMinReferences) {
        return fail(FailureCode::tooFewReferences,
                    "enrolment needs at least " + std::to_string(kMinReferences) + " references (" +
                        std::to_string(kRecommendedReferences) + " recommended), got " +
                        std::to_string(references.size()));
    }
    if (references.size() > kMaxReferences) {
        return fail(FailureCode::tooManyReferences,
                    "enrolment takes at most " + std::to_string(kMaxReferences) +
                        " references, got " + std::to_string(references.size()));
    }
    for (const Signature& s : references) {
        if (auto failure = checkSignature(s)) {
            return *failure;
        }
    }
    PointerKind kind = kindOf(references.front());
    for (const Signature& s : references) {
        if (kindOf(s) != kind) {
            if (!options.allowMixedKinds) {
                const Signature& pen = kindOf(s) == PointerKind::stylus ? s : references.front();
                const Signature& finger = kindOf(s) == PointerKind::stylus ? references.front() : s;
                return fail(FailureCode::mixedKinds,
                            "references mix pen and finger signatures (" + pen.name + " is pen, " +
                                finger.name +
                                " is finger); allow mixed kinds to compare them without "
                                "pressure");
            }
            kind = PointerKind::finger;
        }
    }
    Template t;
    t.kind_ = kind;
    t.scales_ = scalesFor(references, kind);
    t.references_ = std::move(references);
    for (const Signature& s : t.references_) {
        t.features_.push_back(sampleFeatures(s, t.scales_));
    }
    t.measure();
    t.prepare();
    return t;
}

Result<Verdict> Template::check(const Signature& query, std::optional<double> threshold) const {
    if (auto failure = checkSignature(query)) {
        return *failure;
    }
    if (threshold && !std::isfinite(*threshold)) {
        return fail(FailureCode::invalidArgument, "the threshold must be a finite number");
    }
    Verdict v;
    v.pressureUsed = scales_.pressure && kindOf(query) == PointerKind::stylus;
    // A finger query against a pen template: both sides without pressure. The other groups'
    // distances and global features do not depend on it, so nothing is measured again.
    const FeatureScales scales = v.pressureUsed ? scales_ : FeatureScales{};
    const SampleFeatures q = sampleFeatures(query, scales);
    std::vector<WarpMeasures> toReferences;
    toReferences.reserve(features_.size());
    for (const SampleFeatures& r : features_) {
        toReferences.push_back(signatureDistances(q, r));
    }
    const ReferenceModel& model = v.pressureUsed ? *model_ : *withoutPressure_;
    v.components = model.components(toReferences, globalFeatures(query, scales));
    v.score = ReferenceModel::score(v.components);
    v.threshold =
        threshold.value_or(v.pressureUsed ? kDefaultThreshold : kDefaultThresholdWithoutPressure);
    v.accepted = v.score <= v.threshold;
    return v;
}

}  // namespace penwell::verify
