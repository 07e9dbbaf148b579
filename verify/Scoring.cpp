#include "penwell/verify/Scoring.h"

#include <algorithm>
#include <cmath>

#include "penwell/verify/Dtw.h"

namespace penwell::verify {

namespace {

/// What a typical signer's references spread by in each component (the prior spread), and
/// the component's weight in the score. For the warping's measures the spread is of the
/// logarithm of the leave-one-out mean distance; for the global features, of the feature (a
/// logarithm but for strokes). Tuned on the synthetic set, seed 1 (docs/verification.md).
struct Prior {
    double spread;
    double weight;
};
constexpr std::array<Prior, kComponents> kPriors{{
    {0.30, 3.0},   // position
    {0.15, 0.5},   // velocity
    {0.15, 0.5},   // direction
    {0.15, 0.5},   // pressure
    {0.20, 1.0},   // rhythm
    {0.15, 1.0},   // pressure shape
    {0.07, 0.5},   // pen-down time
    {0.50, 0.25},  // strokes
    {0.10, 0.5},   // path length
    {0.08, 0.5},   // mean speed
    {0.05, 0.5},   // speed spread
    {0.09, 1.0},   // mean pressure
    {0.10, 0.25},  // pressure spread
}};
/// How many references' worth the prior spread counts for beside the signer's own: five
/// references estimate a spread only roughly, so the prior weighs two and a half times as much
/// as their four degrees of freedom.
constexpr double kPriorWeight = 10.0;

bool isWarping(std::size_t c) {
    return c < kWarpMeasures;
}

}  // namespace

std::size_t bandFor(std::size_t n, std::size_t m) {
    const auto longer = static_cast<double>(std::max(n, m));
    return std::max(kMinBand, static_cast<std::size_t>(std::ceil(kBandFraction * longer)));
}

WarpMeasures signatureDistances(const SampleFeatures& a, const SampleFeatures& b) {
    const Warping w = warp(a, b, bandFor(a.length, b.length));
    WarpMeasures out{};
    for (std::size_t g = 0; g < kFeatureGroups; ++g) {
        out[g] = w.groups[g] / static_cast<double>(a.length + b.length);
    }
    out[kRhythm] = w.rhythm;
    out[kPressureShape] = w.pressureShape;
    return out;
}

bool componentUsed(std::size_t c, bool pressure) {
    if (c == static_cast<std::size_t>(FeatureGroup::pressure) || c == kPressureShape ||
        c == kWarpMeasures + static_cast<std::size_t>(GlobalFeature::meanPressure) ||
        c == kWarpMeasures + static_cast<std::size_t>(GlobalFeature::pressureSpread)) {
        return pressure;
    }
    return c < kComponents;
}

std::string_view componentName(std::size_t c) {
    if (c == kRhythm) {
        return "rhythm";
    }
    if (c == kPressureShape) {
        return "pressure-shape";
    }
    return c < kFeatureGroups ? groupName(static_cast<FeatureGroup>(c))
                              : globalName(static_cast<GlobalFeature>(c - kWarpMeasures));
}

ReferenceModel::ReferenceModel(const std::array<std::vector<double>, kWarpMeasures>& distances,
                               const std::vector<GlobalValues>& globals, bool pressure)
    : pressure_(pressure) {
    const std::size_t k = globals.size();
    for (std::size_t c = 0; c < kComponents; ++c) {
        if (!componentUsed(c, pressure)) {
            continue;
        }
        std::vector<double> values;
        for (std::size_t i = 0; i < k; ++i) {
            if (isWarping(c)) {
                // Reference i against the others, as a query is against all of them.
                double sum = 0.0;
                for (std::size_t j = 0; j < k; ++j) {
                    sum += j == i ? 0.0 : distances[c][i * k + j];
                }
                values.push_back(std::log(std::max(sum / static_cast<double>(k - 1), 1e-9)));
            } else {
                values.push_back(globals[i][c - kWarpMeasures]);
            }
        }
        double mean = 0.0;
        for (const double v : values) {
            mean += v;
        }
        mean /= static_cast<double>(k);
        double squares = 0.0;
        for (const double v : values) {
            squares += (v - mean) * (v - mean);
        }
        // The signer's own spread and the prior's, pooled as if the prior came from
        // kPriorWeight more references.
        const double p = kPriors[c].spread;
        Part& part = parts_[c];
        part.centre = mean;
        part.spread = std::sqrt((squares + kPriorWeight * p * p) /
                                (static_cast<double>(k - 1) + kPriorWeight));
        part.weight = kPriors[c].weight;
    }
}

std::vector<Component> ReferenceModel::components(const std::vector<WarpMeasures>& toReferences,
                                                  const GlobalValues& globals) const {
    std::vector<Component> out;
    for (std::size_t c = 0; c < kComponents; ++c) {
        if (!componentUsed(c, pressure_)) {
            continue;
        }
        const Part& part = parts_[c];
        Component component;
        component.name = componentName(c);
        component.centre = part.centre;
        component.spread = part.spread;
        component.weight = part.weight;
        if (isWarping(c)) {
            double sum = 0.0;
            for (const auto& d : toReferences) {
                sum += d[c];
            }
            component.value =
                std::log(std::max(sum / static_cast<double>(toReferences.size()), 1e-9));
            component.z = (component.value - part.centre) / part.spread;
        } else {
            component.value = globals[c - kWarpMeasures];
            component.z = std::abs(component.value - part.centre) / part.spread;
        }
        out.push_back(component);
    }
    return out;
}

double ReferenceModel::score(const std::vector<Component>& components) {
    double sum = 0.0;
    double weights = 0.0;
    for (const Component& c : components) {
        sum += c.weight * c.z;
        weights += c.weight;
    }
    return weights > 0.0 ? sum / weights : 0.0;
}

}  // namespace penwell::verify
