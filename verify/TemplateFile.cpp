// The template file: its writer, and its reader for the current version and the older one it
// migrates from. docs/verification.md ("Template file") describes the format.

#include <algorithm>
#include <charconv>
#include <cmath>

#include "penwell/verify/Template.h"

namespace penwell::verify {

namespace {

constexpr std::string_view kMagic = "penwell-verify-template";

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

    /// The next word without taking it.
    std::string_view peek() const {
        Reader copy = *this;
        return copy.word();
    }

    bool atLineEnd() const { return line_.find_first_not_of(' ') == std::string_view::npos; }

    Failure fault(const std::string& what) const {
        return fail(FailureCode::malformedTemplate, name_,
                    "line " + std::to_string(lineNumber_) + ": " + what);
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

MaybeFailure readSignature(Reader& r, Signature& s) {
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
        if (!r.nextLine() || r.word() != "stroke" || !r.number(samples) || samples > kMaxSamples ||
            (total += samples) > kMaxSamples) {
            return r.fault("expected \"stroke\" and a sample count; a signature has at most " +
                           std::to_string(kMaxSamples) + " samples");
        }
        std::uint64_t start = 0;
        if (r.peek() == "-") {
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
    return checkSignature(s);
}

/// `count` lines of `count` finite non-negative distances, symmetric with a zero diagonal.
MaybeFailure readDistances(Reader& r, std::size_t count, std::vector<double>& out) {
    out.assign(count * count, 0.0);
    for (std::size_t i = 0; i < count; ++i) {
        if (!r.nextLine()) {
            return r.fault("expected a row of distances");
        }
        for (std::size_t j = 0; j < count; ++j) {
            double& d = out[i * count + j];
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
            if (out[i * count + j] != out[j * count + i] || (i == j && out[i * count + j] != 0.0)) {
                return r.fault("the distances are not symmetric with a zero diagonal");
            }
        }
    }
    return std::nullopt;
}

}  // namespace

/// The file format, with access to the template's parts.
class TemplateFile {
public:
    static std::string write(const Template& t);
    static Result<Template> read(std::string_view text, const std::string& name);
};

std::string TemplateFile::write(const Template& t) {
    std::string out;
    out += kMagic;
    out += ' ' + std::to_string(kTemplateVersion) + '\n';
    out += "kind ";
    out += kindName(t.kind_);
    out += "\npressure-scale ";
    appendNumber(out, t.scales_.pressureScale);
    out += "\nreferences " + std::to_string(t.references_.size()) + '\n';
    for (const Signature& s : t.references_) {
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
    const std::size_t k = t.references_.size();
    for (std::size_t w = 0; w < kWarpMeasures; ++w) {
        const std::vector<double>& d = t.distances_[w];
        if (d.empty()) {
            continue;
        }
        out += "distances ";
        out += componentName(w);
        out += '\n';
        for (std::size_t i = 0; i < k; ++i) {
            for (std::size_t j = 0; j < k; ++j) {
                if (j > 0) {
                    out += ' ';
                }
                appendNumber(out, d[i * k + j]);
            }
            out += '\n';
        }
    }
    out += "end\n";
    return out;
}

Result<Template> TemplateFile::read(std::string_view text, const std::string& name) {
    if (text.size() > kMaxTemplateBytes) {
        return fail(FailureCode::malformedTemplate, name,
                    "larger than the " + std::to_string(kMaxTemplateBytes >> 20) +
                        " MiB a template may have");
    }
    Reader r(text, name);
    int version = 0;
    if (!r.nextLine() || r.word() != kMagic || !r.number(version) || !r.atLineEnd()) {
        return fail(FailureCode::malformedTemplate, name, "not a Penwell verification template");
    }
    if (version < kOldestTemplateVersion || version > kTemplateVersion) {
        return fail(FailureCode::wrongVersion, name,
                    "template version " + std::to_string(version) + "; this build reads versions " +
                        std::to_string(kOldestTemplateVersion) + " to " +
                        std::to_string(kTemplateVersion));
    }
    Template t;
    std::string_view kindWord;
    if (!r.nextLine() || r.word() != "kind" ||
        ((kindWord = r.word()) != "pen" && kindWord != "finger") || !r.atLineEnd()) {
        return r.fault("expected \"kind pen\" or \"kind finger\"");
    }
    t.kind_ = kindWord == "pen" ? PointerKind::stylus : PointerKind::finger;
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
        if (auto failure = readSignature(r, s)) {
            return *failure;
        }
        t.references_.push_back(std::move(s));
    }
    const bool allPen = std::all_of(t.references_.begin(), t.references_.end(),
                                    [](auto& s) { return kindOf(s) == PointerKind::stylus; });
    if (t.kind_ == PointerKind::stylus && !allPen) {
        return r.fault("a pen template with a finger reference");
    }
    t.scales_.pressure = t.kind_ == PointerKind::stylus;
    t.scales_.pressureScale = pressureScale;
    if (version == 1) {
        // One table, of a distance this build no longer uses: checked, then left.
        std::vector<double> unused;
        if (!r.nextLine() || r.word() != "distances" || !r.atLineEnd()) {
            return r.fault("expected \"distances\"");
        }
        if (auto failure = readDistances(r, count, unused)) {
            return *failure;
        }
    } else {
        for (std::size_t w = 0; w < kWarpMeasures; ++w) {
            if (!componentUsed(w, t.scales_.pressure)) {
                continue;
            }
            const std::string_view measure = componentName(w);
            if (!r.nextLine() || r.word() != "distances" || r.word() != measure || !r.atLineEnd()) {
                return r.fault("expected \"distances " + std::string(measure) + "\"");
            }
            if (auto failure = readDistances(r, count, t.distances_[w])) {
                return *failure;
            }
        }
    }
    if (!r.nextLine() || r.word() != "end" || !r.atLineEnd() || r.nextLine()) {
        return r.fault("expected \"end\" as the last line");
    }
    for (const Signature& s : t.references_) {
        t.features_.push_back(sampleFeatures(s, t.scales_));
    }
    if (version < kTemplateVersion) {
        // The references are all a template needs: measure them as enrolment would now.
        t.migratedFrom_ = version;
        t.measure();
    }
    t.prepare();
    return t;
}

std::string Template::serialise() const {
    return TemplateFile::write(*this);
}

Result<Template> Template::parse(std::string_view text, const std::string& name) {
    return TemplateFile::read(text, name);
}

}  // namespace penwell::verify
