#include "verify/Template.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace penwell::verify {

namespace {

constexpr std::string_view kMagic = "penwell-verify-template";

std::size_t bandFor(std::size_t n, std::size_t m) {
    const auto longer = static_cast<double>(std::max(n, m));
    return std::max(kMinBand, static_cast<std::size_t>(std::ceil(kBandFraction * longer)));
}

std::vector<FeatureSequence> featuresOf(const std::vector<Signature>& signatures,
                                        const FeatureScales& scales) {
    std::vector<FeatureSequence> out;
    out.reserve(signatures.size());
    for (const Signature& s : signatures) {
        out.push_back(extractFeatures(s, scales));
    }
    return out;
}

ReferenceStatistics statisticsOf(const std::vector<FeatureSequence>& features) {
    const std::size_t k = features.size();
    std::vector<double> d(k * k, 0.0);
    for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = i + 1; j < k; ++j) {
            d[i * k + j] = d[j * k + i] = signatureDistance(features[i], features[j]);
        }
    }
    return summarise(std::move(d), k);
}

FeatureScales scalesFor(const std::vector<Signature>& references, SignatureKind kind) {
    FeatureScales scales;
    if (kind != SignatureKind::pen) {
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

void appendNumber(std::string& out, double value) {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void appendNumber(std::string& out, std::uint64_t value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

/// Reads a template file line by line, word by word; every fault names the line.
class Reader {
public:
    Reader(std::string_view text, const std::string& name) : text_(text), name_(name) {}

    bool nextLine() {
        if (position_ >= text_.size()) {
            return false;
        }
        const std::size_t end = std::min(text_.find('\n', position_), text_.size());
        line_ = text_.substr(position_, end - position_);
        position_ = end + 1;
        ++lineNumber_;
        return true;
    }

    /// The next word of the current line, empty at its end.
    std::string_view word() {
        const std::size_t start = line_.find_first_not_of(' ');
        if (start == std::string_view::npos) {
            line_ = {};
            return {};
        }
        line_.remove_prefix(start);
        const std::size_t end = std::min(line_.find(' '), line_.size());
        const std::string_view w = line_.substr(0, end);
        line_.remove_prefix(end);
        return w;
    }

    bool atLineEnd() const { return line_.find_first_not_of(' ') == std::string_view::npos; }

    Failure fault(const std::string& what) const {
        return Failure{FailureCode::malformedTemplate,
                       name_ + ": line " + std::to_string(lineNumber_) + ": " + what};
    }

    template <class T>
    bool number(T& value) {
        const std::string_view w = word();
        const auto result = std::from_chars(w.data(), w.data() + w.size(), value);
        return !w.empty() && result.ec == std::errc() && result.ptr == w.data() + w.size();
    }

private:
    std::string_view text_;
    std::string_view line_;
    std::size_t position_ = 0;
    std::size_t lineNumber_ = 0;
    const std::string& name_;
};

}  // namespace

double signatureDistance(const FeatureSequence& a, const FeatureSequence& b) {
    const std::size_t n = a.size();
    const std::size_t m = b.size();
    return dtwDistance(a, b, bandFor(n, m)) / static_cast<double>(n + m);
}

ReferenceStatistics summarise(std::vector<double> distances, std::size_t count) {
    ReferenceStatistics s;
    s.count = count;
    s.distances = std::move(distances);
    const auto others = static_cast<double>(count - 1);
    double bestMean = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < count; ++i) {
        double minimum = std::numeric_limits<double>::infinity();
        double sum = 0.0;
        for (std::size_t j = 0; j < count; ++j) {
            if (j != i) {
                minimum = std::min(minimum, s.at(i, j));
                sum += s.at(i, j);
            }
        }
        s.meanMinimum += minimum / static_cast<double>(count);
        s.meanMean += sum / others / static_cast<double>(count);
        if (sum / others < bestMean) {
            bestMean = sum / others;
            s.central = i;
        }
    }
    s.meanToCentral = bestMean;
    return s;
}

Outcome<Template> Template::enrol(std::vector<Signature> references, const EnrolOptions& options) {
    if (references.size() < kMinReferences) {
        return Failure{FailureCode::tooFewReferences,
                       "enrolment needs at least " + std::to_string(kMinReferences) +
                           " references (" + std::to_string(kRecommendedReferences) +
                           " recommended), got " + std::to_string(references.size())};
    }
    if (references.size() > kMaxReferences) {
        return Failure{FailureCode::tooManyReferences,
                       "enrolment takes at most " + std::to_string(kMaxReferences) +
                           " references, got " + std::to_string(references.size())};
    }
    for (const Signature& s : references) {
        if (auto failure = checkSignature(s)) {
            return *failure;
        }
    }
    SignatureKind kind = kindOf(references.front());
    for (const Signature& s : references) {
        if (kindOf(s) != kind) {
            if (!options.allowMixedKinds) {
                const Signature& pen = kindOf(s) == SignatureKind::pen ? s : references.front();
                const Signature& finger = kindOf(s) == SignatureKind::pen ? references.front() : s;
                return Failure{FailureCode::mixedKinds,
                               "references mix pen and finger signatures (" + pen.name +
                                   " is pen, " + finger.name +
                                   " is finger); allow mixed kinds to compare them without "
                                   "pressure"};
            }
            kind = SignatureKind::finger;
        }
    }
    Template t;
    t.kind_ = kind;
    t.scales_ = scalesFor(references, kind);
    t.references_ = std::move(references);
    t.features_ = featuresOf(t.references_, t.scales_);
    t.statistics_ = statisticsOf(t.features_);
    return t;
}

std::string Template::serialise() const {
    std::string out;
    out += kMagic;
    out += ' ' + std::to_string(kTemplateVersion) + '\n';
    out += "kind ";
    out += kindName(kind_);
    out += "\npressure-scale ";
    appendNumber(out, scales_.pressureScale);
    out += "\nreferences " + std::to_string(references_.size()) + '\n';
    for (const Signature& s : references_) {
        out += "signature " + std::to_string(s.strokes.size()) + '\n';
        for (const Stroke& stroke : s.strokes) {
            out += "stroke " + std::to_string(stroke.samples.size()) + ' ';
            if (stroke.startMs) {
                appendNumber(out, *stroke.startMs);
            } else {
                out += '-';
            }
            out += '\n';
            for (const Sample& p : stroke.samples) {
                appendNumber(out, p.x);
                out += ' ';
                appendNumber(out, p.y);
                out += ' ';
                appendNumber(out, p.pressure);
                out += ' ';
                appendNumber(out, p.ms);
                out += '\n';
            }
        }
    }
    out += "distances\n";
    for (std::size_t i = 0; i < statistics_.count; ++i) {
        for (std::size_t j = 0; j < statistics_.count; ++j) {
            if (j > 0) {
                out += ' ';
            }
            appendNumber(out, statistics_.at(i, j));
        }
        out += '\n';
    }
    out += "end\n";
    return out;
}

Outcome<Template> Template::parse(std::string_view text, const std::string& name) {
    if (text.size() > kMaxTemplateBytes) {
        return Failure{FailureCode::malformedTemplate, name + ": larger than the " +
                                                           std::to_string(kMaxTemplateBytes >> 20) +
                                                           " MiB a template may have"};
    }
    Reader r(text, name);
    int version = 0;
    if (!r.nextLine() || r.word() != kMagic || !r.number(version) || !r.atLineEnd()) {
        return Failure{FailureCode::malformedTemplate,
                       name + ": not a Penwell verification template"};
    }
    if (version != kTemplateVersion) {
        return Failure{FailureCode::wrongVersion,
                       name + ": template version " + std::to_string(version) +
                           "; this build reads version " + std::to_string(kTemplateVersion)};
    }
    Template t;
    std::string_view kindWord;
    if (!r.nextLine() || r.word() != "kind" ||
        ((kindWord = r.word()) != "pen" && kindWord != "finger") || !r.atLineEnd()) {
        return r.fault("expected \"kind pen\" or \"kind finger\"");
    }
    t.kind_ = kindWord == "pen" ? SignatureKind::pen : SignatureKind::finger;
    double pressureScale = 0.0;
    if (!r.nextLine() || r.word() != "pressure-scale" || !r.number(pressureScale) ||
        !r.atLineEnd() || !(pressureScale >= kMinPressureScale && pressureScale <= kMaxPressure)) {
        return r.fault("expected \"pressure-scale\" and a number from 0.001 to 1e6");
    }
    std::size_t count = 0;
    if (!r.nextLine() || r.word() != "references" || !r.number(count) || !r.atLineEnd() ||
        count < kMinReferences || count > kMaxReferences) {
        return r.fault("expected \"references\" and a count from " +
                       std::to_string(kMinReferences) + " to " + std::to_string(kMaxReferences));
    }
    for (std::size_t k = 0; k < count; ++k) {
        Signature s;
        s.name = name + ": reference " + std::to_string(k + 1);
        std::size_t strokes = 0;
        if (!r.nextLine() || r.word() != "signature" || !r.number(strokes) || !r.atLineEnd() ||
            strokes > kMaxStrokes) {
            return r.fault("expected \"signature\" and a stroke count of at most " +
                           std::to_string(kMaxStrokes));
        }
        std::size_t total = 0;
        for (std::size_t i = 0; i < strokes; ++i) {
            Stroke stroke;
            std::size_t samples = 0;
            if (!r.nextLine() || r.word() != "stroke" || !r.number(samples) ||
                samples > kMaxSamples || (total += samples) > kMaxSamples) {
                return r.fault("expected \"stroke\" and a sample count; a signature has at most " +
                               std::to_string(kMaxSamples) + " samples");
            }
            std::uint64_t start = 0;
            const std::string_view rest = [&] {
                Reader copy = r;
                return copy.word();
            }();
            if (rest == "-") {
                r.word();
            } else if (r.number(start)) {
                stroke.startMs = start;
            } else {
                return r.fault("expected the stroke's start in ms, or -");
            }
            if (!r.atLineEnd()) {
                return r.fault("unexpected text after the stroke's start");
            }
            stroke.samples.resize(samples);
            for (Sample& p : stroke.samples) {
                if (!r.nextLine() || !r.number(p.x) || !r.number(p.y) || !r.number(p.pressure) ||
                    !r.number(p.ms) || !r.atLineEnd()) {
                    return r.fault("expected a sample: x y pressure ms");
                }
            }
            s.strokes.push_back(std::move(stroke));
        }
        if (auto failure = checkSignature(s)) {
            return *failure;
        }
        t.references_.push_back(std::move(s));
    }
    const bool allPen = std::all_of(t.references_.begin(), t.references_.end(),
                                    [](auto& s) { return kindOf(s) == SignatureKind::pen; });
    if (t.kind_ == SignatureKind::pen && !allPen) {
        return r.fault("a pen template with a finger reference");
    }
    if (!r.nextLine() || r.word() != "distances" || !r.atLineEnd()) {
        return r.fault("expected \"distances\"");
    }
    std::vector<double> distances(count * count);
    for (std::size_t i = 0; i < count; ++i) {
        if (!r.nextLine()) {
            return r.fault("expected a row of distances");
        }
        for (std::size_t j = 0; j < count; ++j) {
            double& d = distances[i * count + j];
            if (!r.number(d) || !std::isfinite(d) || d < 0.0) {
                return r.fault("expected " + std::to_string(count) +
                               " finite non-negative distances");
            }
        }
        if (!r.atLineEnd()) {
            return r.fault("more than " + std::to_string(count) + " distances");
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t j = 0; j < count; ++j) {
            if (distances[i * count + j] != distances[j * count + i] ||
                (i == j && distances[i * count + j] != 0.0)) {
                return r.fault("the distances are not symmetric with a zero diagonal");
            }
        }
    }
    if (!r.nextLine() || r.word() != "end" || !r.atLineEnd() || r.nextLine()) {
        return r.fault("expected \"end\" as the last line");
    }
    t.scales_.pressure = t.kind_ == SignatureKind::pen;
    t.scales_.pressureScale = pressureScale;
    t.features_ = featuresOf(t.references_, t.scales_);
    t.statistics_ = summarise(std::move(distances), count);
    return t;
}

Outcome<Verdict> Template::check(const Signature& query, std::optional<double> threshold) const {
    if (auto failure = checkSignature(query)) {
        return *failure;
    }
    if (threshold && !std::isfinite(*threshold)) {
        return Failure{FailureCode::invalidArgument, "the threshold must be a finite number"};
    }
    Verdict v;
    v.pressureUsed = scales_.pressure && kindOf(query) == SignatureKind::pen;
    const FeatureScales scales = v.pressureUsed ? scales_ : FeatureScales{};
    // A pen template checking a finger query compares both without pressure: the references'
    // own figures must then come from the same features.
    std::vector<FeatureSequence> recomputed;
    std::optional<ReferenceStatistics> restated;
    if (v.pressureUsed != scales_.pressure) {
        recomputed = featuresOf(references_, scales);
        restated = statisticsOf(recomputed);
    }
    const auto& references = restated ? recomputed : features_;
    const ReferenceStatistics& stats = restated ? *restated : statistics_;

    const FeatureSequence q = extractFeatures(query, scales);
    double minimum = std::numeric_limits<double>::infinity();
    double sum = 0.0;
    double toCentral = 0.0;
    for (std::size_t i = 0; i < references.size(); ++i) {
        const double d = signatureDistance(q, references[i]);
        minimum = std::min(minimum, d);
        sum += d;
        if (i == stats.central) {
            toCentral = d;
        }
    }
    v.toMinimum = minimum / std::max(stats.meanMinimum, kMinSpread);
    v.toMean = sum / static_cast<double>(references.size()) / std::max(stats.meanMean, kMinSpread);
    v.toCentral = toCentral / std::max(stats.meanToCentral, kMinSpread);
    v.score = (v.toMinimum + v.toMean + v.toCentral) / 3.0;
    v.threshold =
        threshold.value_or(v.pressureUsed ? kDefaultThreshold : kDefaultThresholdWithoutPressure);
    v.accepted = v.score <= v.threshold;
    return v;
}

}  // namespace penwell::verify
