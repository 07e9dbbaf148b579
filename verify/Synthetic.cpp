#include "penwell/verify/Synthetic.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "penwell/verify/SyntheticModel.h"

namespace penwell::verify {

namespace {

using namespace synthetic;

/// The share of a writer's variance within one session; the rest lies between the sessions
/// (Writer::sessionTempo and its kin).
constexpr double kWithinSession = 0.7;
/// What the rendering adds on its own, measured on 1,000 signers and taken off here: a
/// forger's slower strokes have proportionally shorter landing and lifting ramps (a higher mean
/// pressure), and their larger shape errors and closer samples a longer path; the shape errors
/// make a signer's path length vary a little more than its size factor, and the pressure's
/// waves its mean pressure a little more than its level factor.
constexpr double kForgerPressureBias = 0.967;
constexpr double kForgerPathBias = 0.903;
constexpr double kPathSpread = 0.92;
constexpr double kPressureSpread = 0.98;

/// A genuine signature's speed and pressure vary along it by smooth waves of these amplitudes
/// (logarithmic, at a typical writer's variation).
constexpr double kGenuineRhythm = 0.05;
constexpr double kPressureWobble = 0.15;
/// A forger's shape errors against a genuine repetition's, and how much forgers differ in skill
/// (the logarithm's standard deviation): some forgers copy the shape almost exactly.
constexpr double kForgerShape = 2.5;
constexpr double kForgerSkill = 0.4;

/// What one forger brings to all their forgeries of a writer.
struct Forger {
    Writer plan;       ///< the writer's, with the forger's own pressure
    Execution errors;  ///< the shape as this forger reads it
    double size = 1.0;
    double tempo = 1.0;  ///< pen-down time over the writer's
    double pause = 0.0;  ///< pen-up time added, as a share of the writer's duration
    double pressure = 1.0;
    double rhythm = 0.0;
    double strokeChange = 0.0;  ///< strokes added (or, below 0, joined) on average
};

std::string numbered(const std::string& prefix, std::size_t n) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "%02zu", n);
    return prefix + buffer;
}

/// A small change of placement, angle and proportions, as between two signatures on a pad.
void place(Execution& e, Random& r, double amount) {
    e.rotation = r.normal(0.03 * amount);
    e.slant = r.normal(0.04 * amount);
    e.aspect = r.factor(0.03 * amount);
    e.shiftX = r.normal(12.0);
    e.shiftY = r.normal(6.0);
}

/// `session` is -0.5 for the first session, +0.5 for the second.
Signature genuine(const Writer& w, Random& r, double session, const SyntheticOptions& o,
                  std::string name) {
    const Writer& plan = w;
    Execution e;
    addShapeErrors(w, e, r, w.shape);
    const double within = std::sqrt(kWithinSession);
    e.tempo = std::exp(session * w.sessionTempo + r.normal(within * w.durationCv));
    e.size =
        std::exp(session * w.sessionSize * kPathSpread + r.normal(within * w.pathCv * kPathSpread));
    e.pressure = std::exp(session * w.sessionPressure * kPressureSpread +
                          r.normal(within * w.pressureCv * kPressureSpread));
    e.gapFactor = r.factor(0.25);
    e.rhythm = kGenuineRhythm * w.shape;
    e.pressureWobble = kPressureWobble * w.shape;
    place(e, r, 1.0);
    // Now and then a writer joins two strokes or lifts the pen once more.
    for (std::size_t s = 0; s < plan.strokes.size(); ++s) {
        if (s > 0 && r.chance(w.liftSlip)) {
            e.merges.push_back(s);
        }
        if (r.chance(0.5 * w.liftSlip)) {
            e.lifts.emplace_back(s, r.uniform(0.3, 0.7) * plan.strokes[s].end);
        }
    }
    return write(plan, e, r, o.sampleRateHz, o.pressure, std::move(name));
}

Forger makeForger(const Writer& w, Random& r) {
    Forger f;
    // Shape errors of their own, about twice a genuine repetition's; pressure is not seen in
    // the ink, so mostly their own too.
    f.plan = w;
    addShapeErrors(w, f.errors, r, kForgerShape * r.factor(kForgerSkill));
    ownPressure(f.plan, r, r.uniform(0.2, 0.6));
    f.size = w.pathRatio * kForgerPathBias * r.factor(0.04);
    f.tempo = w.tempoRatio * r.factor(0.06);
    f.pause = w.pause * r.factor(0.2);
    f.pressure = w.pressureRatio * kForgerPressureBias * r.factor(0.08);
    f.rhythm = r.uniform(0.10, 0.25);
    f.strokeChange = (w.strokeRatio - 1.0) * static_cast<double>(w.strokes.size()) + r.normal(0.3);
    return f;
}

Signature forgery(const Writer& w, const Forger& f, Random& r, const SyntheticOptions& o,
                  std::string name) {
    const Writer& plan = f.plan;
    Execution e = f.errors;
    addShapeErrors(w, e, r, 1.2 * w.shape);
    e.tempo = f.tempo * r.factor(w.durationCv);
    e.size = f.size * r.factor(w.pathCv);
    e.pressure = f.pressure * r.factor(w.pressureCv);
    // Forgers pause between strokes to look at the model.
    const double up = w.penUp();
    if (up > 0.0) {
        e.gapFactor = (up + f.pause * r.factor(0.2) * (w.penDown() + up)) / up;
    }
    e.rhythm = f.rhythm;
    e.pressureWobble = kPressureWobble * w.shape;
    place(e, r, 1.3);
    const long changes = std::lround(f.strokeChange + r.normal(0.4));
    const std::size_t strokes = plan.strokes.size();
    for (long i = 0; i < changes; ++i) {
        const auto s = std::min(strokes - 1, static_cast<std::size_t>(r.uniform() * strokes));
        e.lifts.emplace_back(s, r.uniform(0.25, 0.75) * plan.strokes[s].end);
    }
    for (long i = 0; i < -changes && strokes > 1; ++i) {
        const auto s =
            1 + std::min(strokes - 2, static_cast<std::size_t>(r.uniform() * (strokes - 1)));
        if (std::find(e.merges.begin(), e.merges.end(), s) == e.merges.end()) {
            e.merges.push_back(s);
        }
    }
    return write(plan, e, r, o.sampleRateHz, o.pressure, std::move(name));
}

}  // namespace

std::vector<SignerSet> makeSyntheticSigners(const SyntheticOptions& options) {
    Random r(options.seed);
    std::vector<SignerSet> out;
    for (std::size_t s = 1; s <= options.signers; ++s) {
        SignerSet set;
        set.name = numbered("s", s);
        const Writer writer = makeWriter(r, kTabletSetFigures);
        for (std::size_t g = 0; g < options.genuine; ++g) {
            const double session = options.genuine < 2 ? 0.0 : g < options.genuine / 2 ? -0.5 : 0.5;
            set.genuine.push_back(
                genuine(writer, r, session, options, numbered(set.name + "/genuine/", g + 1)));
        }
        Forger forger;
        for (std::size_t f = 0; f < options.forgeries; ++f) {
            if (f % kForgeriesPerForger == 0) {
                forger = makeForger(writer, r);
            }
            set.forgeries.push_back(
                forgery(writer, forger, r, options, numbered(set.name + "/forgery/", f + 1)));
        }
        out.push_back(std::move(set));
    }
    return out;
}

}  // namespace penwell::verify
