#pragma once
// Enrolment and verification. A template holds a signer's reference signatures and, for each
// feature group, their mutual warping distances; a query is scored against them component by
// component (verify/Scoring.h). docs/verification.md describes the method and the template
// file format.

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "penwell/verify/Features.h"
#include "penwell/verify/Scoring.h"
#include "penwell/verify/Signature.h"
#include "penwell/verify/VerifyFailure.h"

namespace penwell::verify {

inline constexpr std::size_t kMinReferences = 3;
inline constexpr std::size_t kRecommendedReferences = 5;
inline constexpr std::size_t kMaxReferences = 20;
/// Scores at or below the threshold are accepted; chosen on the synthetic set
/// (docs/verification.md), with and without pressure.
inline constexpr double kDefaultThreshold = 1.3;
inline constexpr double kDefaultThresholdWithoutPressure = 1.2;
/// The template file format this build writes, and the oldest it reads (by enrolling the
/// references it holds again).
inline constexpr int kTemplateVersion = 2;
inline constexpr int kOldestTemplateVersion = 1;
/// A template file is refused beyond this size (20 references of kMaxSamples samples fit).
inline constexpr std::size_t kMaxTemplateBytes = 32u << 20;

struct EnrolOptions {
    /// Accept pen and finger references together; the template then compares without pressure.
    bool allowMixedKinds = false;
};

/// The verdict on one query, and why.
struct Verdict {
    double score = 0.0;  ///< lower is more alike; 0.5 to 1 for a typical genuine signature
    double threshold = 0.0;
    bool accepted = false;  ///< score <= threshold
    bool pressureUsed = false;
    /// Every component in a fixed order (feature groups, then global features); the score is
    /// their weighted mean z-score.
    std::vector<Component> components;
};

class Template {
public:
    /// Enrols kMinReferences to kMaxReferences signatures. Refuses, with one line naming the
    /// signature at fault, too few or too many, an empty or unusable signature, and pen and
    /// finger references together unless options.allowMixedKinds.
    static Result<Template> enrol(std::vector<Signature> references,
                                  const EnrolOptions& options = {});

    /// Reads a template file's text; `name` names it in messages. A file of an older version
    /// that this build still reads is read by enrolling its references again (migratedFrom()
    /// then says from which version). Refuses other versions and anything malformed, naming
    /// the line.
    static Result<Template> parse(std::string_view text, const std::string& name);

    /// The file's text in the current version (docs/verification.md, "Template file").
    std::string serialise() const;

    /// Compares a query. Pressure takes part when the template and the query are both pen
    /// signatures; otherwise both sides are compared without it. Without a threshold the
    /// default for the mode is used. Refuses an empty or unusable query and a threshold that
    /// is not finite; the template is left as it was.
    Result<Verdict> check(const Signature& query, std::optional<double> threshold = {}) const;

    /// Pen only when every reference is a pen signature.
    PointerKind kind() const { return kind_; }
    bool usesPressure() const { return scales_.pressure; }
    const std::vector<Signature>& references() const { return references_; }
    /// Warping measure w's values between the references (verify/Scoring.h), count x count,
    /// row-major (empty for the measures of pressure in a finger template).
    const std::vector<double>& distances(std::size_t w) const { return distances_[w]; }
    /// The version of the file this template was read from when it was older than
    /// kTemplateVersion; 0 otherwise.
    int migratedFrom() const { return migratedFrom_; }

private:
    Template() = default;
    /// Global values and the reference models from references_, scales_ and distances_.
    void prepare();
    /// Fills distances_ by warping every pair of features_.
    void measure();

    friend class TemplateFile;

    PointerKind kind_ = PointerKind::finger;
    FeatureScales scales_;
    std::vector<Signature> references_;
    std::array<std::vector<double>, kWarpMeasures> distances_;
    std::vector<SampleFeatures> features_;
    std::vector<GlobalValues> globals_;
    std::optional<ReferenceModel> model_;            ///< as enrolled
    std::optional<ReferenceModel> withoutPressure_;  ///< for finger queries
    int migratedFrom_ = 0;
};

}  // namespace penwell::verify
