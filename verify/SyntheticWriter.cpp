// A synthetic writer: the plan of their signature (strokes of lognormal impulses), their own
// variation, and what their forgers will differ by, each drawn to match a set's figures.

#include <algorithm>
#include <cmath>
#include <numbers>

#include "penwell/verify/SyntheticModel.h"

namespace penwell::verify::synthetic {

namespace {

constexpr double kPi = std::numbers::pi;

/// Sampling noise of a coefficient of variation measured over 20 signatures of two sessions,
/// as the standard deviation of its logarithm (1 / sqrt(2 * 19) = 0.16 within one session);
/// taken off the figures' spreads when drawing. Measured on 1,000 signers: the duration's
/// varies more, its waves of speed adding their own noise.
constexpr double kCvNoise = 0.12;
constexpr double kDurationCvNoise = 0.2;
/// Sampling noise of a ratio of two means of 20 values each, as a logarithm.
constexpr double kRatioNoise = 0.03;
/// Each pen lift, as a share of the writer's duration: five strokes give the figure's 3 %.
constexpr double kGapShare = 0.0056;
constexpr double kEnvelopeSpread = 0.25;
/// A forger's pen-down time over the writer's: median and 10th and 90th percentiles.
constexpr Spread kForgerTempo{1.21, 0.987, 1.687};
/// The pen-up time a forger adds (pausing to look at the model), as a share of the writer's
/// duration: about 6 %.
constexpr double kForgerPause = 0.06;
/// The pad the plans are fitted into, and how much of it a signature may take.
constexpr double kPadWidth = 600.0;
constexpr double kPadHeight = 250.0;
constexpr double kMaxHeight = 150.0;

/// A stroke lasting `duration` seconds, landing at (x, y), of one impulse per `spacing`
/// seconds. Handwriting alternates up and down strokes with a drift to the right, within a band
/// around its baseline; some turn into loops.
StrokePlan makeStroke(Random& r, double x, double y, double duration, double spacing,
                      double slant) {
    StrokePlan plan;
    plan.startX = x;
    plan.startY = y;
    const int count = std::max(1, static_cast<int>(std::lround(duration / spacing)));
    constexpr double kSize = 30.0;  // an impulse's distance, before the plan is fitted
    double onset = -0.03;
    double level = 0.0;  // how far below the landing point the pen is, roughly
    bool up = r.chance(0.5);
    double nominalEnd = 0.0;
    for (int i = 0; i < count; ++i) {
        if (level < -1.5 * kSize) {
            up = false;
        } else if (level > 0.5 * kSize) {
            up = true;
        }
        Impulse p;
        p.distance = kSize * r.factor(0.35);
        p.onset = onset;
        p.mu = std::log(r.uniform(0.10, 0.18));
        p.sigma = r.uniform(0.22, 0.38);
        // Up and to the right, or down and a little to the right (y grows downwards).
        p.startAngle = (up ? -kPi / 2.0 + 0.55 : kPi / 2.0 - 0.05) + slant + r.normal(0.25);
        const double turn = r.chance(0.1) ? r.uniform(1.8, 3.2) : r.uniform(0.2, 1.2);
        p.endAngle = p.startAngle + (r.chance(0.5) ? turn : -turn);
        level += p.distance * std::sin(0.5 * (p.startAngle + p.endAngle));
        plan.impulses.push_back(p);
        nominalEnd = std::max(nominalEnd, p.onset + std::exp(p.mu + 2.2 * p.sigma));
        onset += spacing * r.factor(0.2);
        if (r.chance(0.85)) {
            up = !up;
        }
    }
    // Stretch the timing so that the stroke lasts `duration`.
    const double stretch = duration / nominalEnd;
    for (Impulse& p : plan.impulses) {
        p.onset *= stretch;
        p.mu += std::log(stretch);
    }
    plan.end = duration;
    return plan;
}

/// Relative pressure along a stroke: a slow random walk around 1, its logarithm's steps of
/// kEnvelopeSpread (0.31 at any one point).
std::vector<double> makeEnvelope(Random& r, double end) {
    const auto count = static_cast<std::size_t>(std::ceil(end / kEnvelopeStep)) + 1;
    std::vector<double> envelope;
    double level = r.normal(kEnvelopeSpread);
    for (std::size_t i = 0; i < count; ++i) {
        envelope.push_back(std::exp(level));
        level = 0.6 * level + r.normal(kEnvelopeSpread);
    }
    return envelope;
}

/// Moves and scales every stroke about (cx, cy).
void scalePlan(Writer& w, double cx, double cy, double k, double dx, double dy) {
    for (StrokePlan& s : w.strokes) {
        s.startX = cx + (s.startX - cx) * k + dx;
        s.startY = cy + (s.startY - cy) * k + dy;
        for (Impulse& p : s.impulses) {
            p.distance *= k;
        }
    }
}

}  // namespace

double Writer::penDown() const {
    double sum = 0.0;
    for (const StrokePlan& s : strokes) {
        sum += s.end;
    }
    return sum;
}

double Writer::penUp() const {
    double sum = 0.0;
    for (const double g : gaps) {
        sum += g;
    }
    return sum;
}

Writer makeWriter(Random& r, const SetFigures& f) {
    Writer w;
    // One inconsistency shared in part by the three figures: a writer who varies in time
    // tends to vary in size and pressure too.
    const double common = r.normal();
    auto drawCv = [&](const Spread& s, double noise) {
        return valueAt(s, 0.6 * common + 0.8 * r.normal(), noise);
    };
    w.durationCv = drawCv(f.durationCv, kDurationCvNoise);
    w.pathCv = drawCv(f.pathCv, kCvNoise);
    w.pressureCv = drawCv(f.pressureCv, kCvNoise);
    w.shape = std::sqrt(w.pathCv / f.pathCv.median);
    // Three tenths of each variance lie between the two sessions: the shift between their
    // means is drawn with that variance (its square over 4 adds to the within-session part).
    w.sessionTempo = r.normal(std::sqrt(1.2) * w.durationCv);
    w.sessionSize = r.normal(std::sqrt(1.2) * w.pathCv);
    w.sessionPressure = r.normal(std::sqrt(1.2) * w.pressureCv);
    w.liftSlip = r.uniform(0.0, 0.04);

    const auto strokes = std::clamp<long>(std::lround(valueAt(f.strokes, r.normal())), 1, 20);
    // Strokes of at least 80 ms and the last sample of each lengthen a plan by about 3 %.
    const double duration = 0.97 * valueAt(f.duration, r.normal());
    w.gaps.push_back(0.0);
    for (long s = 1; s < strokes; ++s) {
        w.gaps.push_back(kGapShare * duration * r.factor(0.4));
    }
    const double penDown = std::max(0.2 * duration, duration - w.penUp());
    // Share the pen-down time among the strokes; a stroke lasts at least 80 ms (a dot).
    std::vector<double> weights;
    double total = 0.0;
    for (long s = 0; s < strokes; ++s) {
        weights.push_back(r.factor(0.5));
        total += weights.back();
    }
    const double spacing = r.uniform(0.09, 0.13);
    const double slant = r.normal(0.15);
    double x = 0.0;
    double y = 0.0;
    for (long s = 0; s < strokes; ++s) {
        const double d = std::max(0.08, penDown * weights[static_cast<std::size_t>(s)] / total);
        StrokePlan plan = makeStroke(r, x, y, d, spacing, slant);
        const Path path = trajectory(plan);
        // The next stroke lands a little to the right of where this one ended, near the
        // baseline, or, one time in five, back over the ink (a dot, a bar across).
        if (r.chance(0.2)) {
            const auto at = std::min(
                path.x.size() - 1,
                static_cast<std::size_t>(r.uniform() * static_cast<double>(path.x.size())));
            x = path.x[at] + r.normal(10.0);
            y = path.y[at] - r.uniform(5.0, 30.0);
        } else {
            x = path.x.back() + r.uniform(5.0, 30.0);
            y = plan.startY + r.normal(8.0);
        }
        w.strokes.push_back(std::move(plan));
    }
    // Fit the signature to a width of its own on the pad, centred.
    double left = 1e300, right = -1e300, top = 1e300, bottom = -1e300;
    for (const StrokePlan& s : w.strokes) {
        const Path path = trajectory(s);
        for (std::size_t i = 0; i < path.x.size(); ++i) {
            left = std::min(left, path.x[i]);
            right = std::max(right, path.x[i]);
            top = std::min(top, path.y[i]);
            bottom = std::max(bottom, path.y[i]);
        }
    }
    const double width = std::max(right - left, 1.0);
    const double height = std::max(bottom - top, 1.0);
    const double k = std::min(r.uniform(200.0, 440.0) / width, kMaxHeight / height);
    const double cx = (left + right) / 2.0;
    const double cy = (top + bottom) / 2.0;
    scalePlan(w, cx, cy, k, kPadWidth / 2.0 - cx, kPadHeight / 2.0 - cy);
    w.width = width * k;

    w.pressure = r.uniform(0.3, 0.75);
    w.speedCoupling = r.uniform(0.05, 0.3);
    for (StrokePlan& s : w.strokes) {
        s.envelope = makeEnvelope(r, s.end);
        w.paths.push_back(trajectory(s));
    }

    // What this writer's forgers will differ by. The set gives the ratios of duration, speed
    // and path length, which are tied together: duration = pen-down time + pen-up time, speed =
    // path / pen-down time. A forger's pen-down time (kForgerTempo), the share of it that goes
    // with a longer path (0.4) and the pauses they add between strokes (kForgerPause) were
    // fitted so that the three ratios come out as the set's.
    const double slow = r.normal();
    w.tempoRatio = valueAt(kForgerTempo, slow, kRatioNoise);
    w.pathRatio = valueAt(f.pathRatio, 0.4 * slow + 0.92 * r.normal(), kRatioNoise);
    w.pause = kForgerPause * r.factor(0.3);
    w.pressureRatio = valueAt(f.pressureRatio, r.normal(), kRatioNoise);
    w.strokeRatio = valueAt(f.strokeRatio, r.normal(), kRatioNoise);
    return w;
}

void addShapeErrors(const Writer& w, Execution& e, Random& r, double amount) {
    // Four waves of 0.3 to 1.5 widths along the ink: a loop drawn a little larger, a stroke a
    // little further on. Each adds a quarter of the variance; a typical genuine repetition
    // moves the path by 1.2 % of the signature's width (root mean square, per axis).
    const double amplitude = 0.012 * w.width * amount * std::numbers::sqrt2 / 2.0;
    for (int i = 0; i < 4; ++i) {
        e.waves.push_back({r.normal(amplitude), r.normal(amplitude),
                           1.0 / (r.uniform(0.3, 1.5) * w.width), r.uniform(0.0, 2.0 * kPi),
                           r.uniform(0.0, 2.0 * kPi)});
    }
    e.offsets.resize(w.strokes.size(), {0.0, 0.0});
    for (auto& [dx, dy] : e.offsets) {
        dx += r.normal(0.006 * w.width * amount);
        dy += r.normal(0.006 * w.width * amount);
    }
}

void ownPressure(Writer& w, Random& r, double mix) {
    for (std::size_t s = 0; s < w.strokes.size(); ++s) {
        StrokePlan& plan = w.strokes[s];
        const std::vector<double> own = makeEnvelope(r, plan.end);
        for (std::size_t i = 0; i < plan.envelope.size(); ++i) {
            plan.envelope[i] = mix * plan.envelope[i] + (1.0 - mix) * own[i];
        }
        auto& envelope = w.paths[s].envelope;
        for (std::size_t k = 0; k < envelope.size(); ++k) {
            envelope[k] = envelopeAt(plan, static_cast<double>(k) * kStep);
        }
    }
    w.speedCoupling = mix * w.speedCoupling + (1.0 - mix) * r.uniform(0.0, 0.35);
}

}  // namespace penwell::verify::synthetic
