#pragma once
// How a query is scored against a signer's references. Each component (the warping distance
// of one feature group, or one global feature) becomes a z-score against the signer's own
// references: for the warpings, the query's mean distance to the references against each
// reference's leave-one-out mean distance to the others; for the global features, the query's
// value against the references' values. Each spread pools the signer's own with a prior one.
// The score is the weighted mean of the z-scores.
// docs/verification.md states the method and every constant.

#include <array>
#include <cstddef>
#include <string_view>
#include <vector>

#include "penwell/verify/Features.h"

namespace penwell::verify {

/// What warping two signatures measures: each feature group's cost (divided by the sum of
/// their lengths, so that long and short signatures score alike), then along the position's
/// path the rhythm and the pressure shape (verify/Dtw.h, Warping).
inline constexpr std::size_t kWarpMeasures = kFeatureGroups + 2;
using WarpMeasures = std::array<double, kWarpMeasures>;
inline constexpr std::size_t kRhythm = kFeatureGroups;
inline constexpr std::size_t kPressureShape = kFeatureGroups + 1;

/// The components: the warping's measures, then the global features.
inline constexpr std::size_t kComponents = kWarpMeasures + kGlobalFeatures;

/// The Sakoe–Chiba band as a fraction of the longer signature's length, and its least width.
inline constexpr double kBandFraction = 0.1;
inline constexpr std::size_t kMinBand = 5;

/// The band for two signatures of n and m samples.
std::size_t bandFor(std::size_t n, std::size_t m);

/// The warping measures of two signatures, within bandFor() their lengths.
WarpMeasures signatureDistances(const SampleFeatures& a, const SampleFeatures& b);

/// One component of a verdict: how far the query lies from the references in one respect.
struct Component {
    std::string_view name;  ///< "velocity", "pen-down time", ...
    double value = 0.0;     ///< the query's (for a warping, the log of its mean distance)
    double centre = 0.0;    ///< the references' typical value
    double spread = 0.0;    ///< the references' spread, with the prior (never 0)
    double z = 0.0;         ///< (value - centre) / spread; its magnitude for a global feature
    double weight = 0.0;    ///< the component's weight in the score
};

/// What a set of references says about itself, for one choice of features (with or without
/// pressure).
class ReferenceModel {
public:
    /// `distances[w]` is warping measure w's count x count matrix (row-major, symmetric, 0 on
    /// the diagonal), for the measures in use; `globals` one entry per reference. `pressure`
    /// says whether the measures and features of pressure take part. count >= 2.
    ReferenceModel(const std::array<std::vector<double>, kWarpMeasures>& distances,
                   const std::vector<GlobalValues>& globals, bool pressure);

    /// The components of a query: its warping measures against every reference (in the
    /// references' order) and its global features. Components that do not take part
    /// (pressure, without it) are left out.
    std::vector<Component> components(const std::vector<WarpMeasures>& toReferences,
                                      const GlobalValues& globals) const;

    /// The weighted mean of the components' z-scores.
    static double score(const std::vector<Component>& components);

    bool pressure() const { return pressure_; }

private:
    struct Part {
        double centre = 0.0;
        double spread = 1.0;
        double weight = 0.0;
    };
    bool pressure_ = false;
    std::array<Part, kComponents> parts_;
};

/// Whether component c (warping measures first, then global features) takes part with or
/// without pressure, and its name.
bool componentUsed(std::size_t c, bool pressure);
std::string_view componentName(std::size_t c);

}  // namespace penwell::verify
