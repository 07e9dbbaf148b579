#pragma once
// Enrolment and verification. A template holds a signer's reference signatures and their
// mutual distances; a query's distances to the references, each divided by the same distance
// among the references themselves, make its score. docs/verification.md describes the method
// and the template file format.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "verify/Features.h"
#include "verify/Outcome.h"
#include "verify/Signature.h"

namespace penwell::verify {

inline constexpr std::size_t kMinReferences = 3;
inline constexpr std::size_t kRecommendedReferences = 5;
inline constexpr std::size_t kMaxReferences = 20;
/// The Sakoe–Chiba band as a fraction of the longer signature's length, and its least width.
inline constexpr double kBandFraction = 0.1;
inline constexpr std::size_t kMinBand = 5;
/// The least mean distance among references that a score divides by: references that are
/// copies of one another would otherwise turn every other signature into an infinite score.
inline constexpr double kMinSpread = 0.05;
/// Scores at or below the threshold are accepted; chosen on the synthetic set
/// (docs/verification.md), with and without pressure.
inline constexpr double kDefaultThreshold = 1.35;
inline constexpr double kDefaultThresholdWithoutPressure = 1.2;
/// The template file format this build writes and reads.
inline constexpr int kTemplateVersion = 1;
/// A template file is refused beyond this size (20 references of kMaxSamples samples fit).
inline constexpr std::size_t kMaxTemplateBytes = 32u << 20;

/// The distance of two signatures: the banded warping cost divided by the sum of their
/// lengths, so that long and short signatures score alike.
double signatureDistance(const FeatureSequence& a, const FeatureSequence& b);

/// What a set of references says about itself: every mutual distance and their summaries.
struct ReferenceStatistics {
    std::size_t count = 0;
    std::vector<double> distances;  ///< count x count, symmetric, 0 on the diagonal
    std::size_t central = 0;        ///< the reference with the least mean distance to the others
    double meanMinimum = 0.0;       ///< mean over references of the distance to the nearest other
    double meanMean = 0.0;          ///< mean over references of the mean distance to the others
    double meanToCentral = 0.0;     ///< mean distance of the others to the central one

    double at(std::size_t i, std::size_t j) const { return distances[i * count + j]; }
};

/// The summaries of a full distance matrix (count >= 2).
ReferenceStatistics summarise(std::vector<double> distances, std::size_t count);

struct EnrolOptions {
    /// Accept pen and finger references together; the template then compares without pressure.
    bool allowMixedKinds = false;
};

/// The verdict on one query.
struct Verdict {
    double score = 0.0;  ///< lower is more alike; about 1 for a typical genuine signature
    double threshold = 0.0;
    bool accepted = false;  ///< score <= threshold
    bool pressureUsed = false;
    double toMinimum = 0.0;  ///< the score's parts: each distance divided by its reference figure
    double toMean = 0.0;
    double toCentral = 0.0;
};

class Template {
public:
    /// Enrols kMinReferences to kMaxReferences signatures. Refuses, with one line naming the
    /// signature at fault, too few or too many, an empty or unusable signature, and pen and
    /// finger references together unless options.allowMixedKinds.
    static Outcome<Template> enrol(std::vector<Signature> references,
                                   const EnrolOptions& options = {});

    /// Reads a template file's text; `name` names it in messages. Refuses another format
    /// version and anything malformed, naming the line.
    static Outcome<Template> parse(std::string_view text, const std::string& name);

    /// The file's text (docs/verification.md, "Template file").
    std::string serialise() const;

    /// Compares a query. Pressure takes part when the template and the query are both pen
    /// signatures; otherwise both sides are compared without it (the references' statistics are
    /// then worked out again without pressure). Without a threshold the default for the mode
    /// is used. Refuses an empty or unusable query and a threshold that is not finite.
    Outcome<Verdict> check(const Signature& query, std::optional<double> threshold = {}) const;

    /// Pen only when every reference is a pen signature.
    SignatureKind kind() const { return kind_; }
    bool usesPressure() const { return scales_.pressure; }
    const std::vector<Signature>& references() const { return references_; }
    const ReferenceStatistics& statistics() const { return statistics_; }

private:
    Template() = default;

    SignatureKind kind_ = SignatureKind::finger;
    FeatureScales scales_;
    std::vector<Signature> references_;
    std::vector<FeatureSequence> features_;
    ReferenceStatistics statistics_;
};

}  // namespace penwell::verify
