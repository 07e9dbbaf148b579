// Writing one synthetic signature: the plan's strokes integrated into paths, lifts added or
// missed, each path traversed at the execution's tempo with a smoothly varying speed, and the
// result sampled as a pad samples a pen.

#include <algorithm>
#include <cmath>
#include <numbers>

#include "penwell/verify/SyntheticModel.h"

namespace penwell::verify::synthetic {

namespace {

/// Where the plans are centred (SyntheticWriter.cpp fits them to a 600 x 250 pad).
constexpr double kCentreX = 300.0;
constexpr double kCentreY = 125.0;
/// The pen lands and lifts over this many seconds of rising and falling pressure.
constexpr double kRamp = 0.06;
/// Whole-millisecond stamps of a pad are taken with this much jitter (seconds).
constexpr double kClockJitter = 0.0004;

/// Adds one impulse's velocity at plan time t; far in its tails (beyond 5 sigma) it adds
/// nothing, which keeps the cost down without a visible change.
void addVelocity(const Impulse& p, double t, double& vx, double& vy) {
    const double dt = t - p.onset;
    if (dt <= 0.0) {
        return;
    }
    const double z = (std::log(dt) - p.mu) / p.sigma;
    if (std::abs(z) > 5.0) {
        return;
    }
    const double speed =
        p.distance / (p.sigma * std::sqrt(2.0 * std::numbers::pi) * dt) * std::exp(-0.5 * z * z);
    const double angle = p.startAngle + (p.endAngle - p.startAngle) * 0.5 *
                                            (1.0 + std::erf(z / std::numbers::sqrt2));
    vx += speed * std::cos(angle);
    vy += speed * std::sin(angle);
}

/// A pen-down piece and the real seconds with the pen up before it.
struct Piece {
    Path path;
    double gap = 0.0;
};

/// The pen kept down from the end of `a` to the start of `b`, over `seconds` of plan time,
/// lighter than the ink around it; then `b`.
void join(Path& a, const Path& b, double seconds) {
    const double x0 = a.x.back(), y0 = a.y.back();
    const double length = std::hypot(b.x.front() - x0, b.y.front() - y0);
    const double e0 = a.envelope.back(), e1 = b.envelope.front();
    const auto steps = std::max<std::size_t>(2, static_cast<std::size_t>(seconds / kStep));
    for (std::size_t i = 1; i < steps; ++i) {
        const double tau = static_cast<double>(i) / static_cast<double>(steps);
        const double s = tau * tau * (3.0 - 2.0 * tau);
        a.x.push_back(x0 + (b.x.front() - x0) * s);
        a.y.push_back(y0 + (b.y.front() - y0) * s);
        a.speed.push_back(length * 6.0 * tau * (1.0 - tau) / seconds);
        a.envelope.push_back(0.7 * (e0 * (1.0 - tau) + e1 * tau));
    }
    a.x.insert(a.x.end(), b.x.begin(), b.x.end());
    a.y.insert(a.y.end(), b.y.begin(), b.y.end());
    a.speed.insert(a.speed.end(), b.speed.begin(), b.speed.end());
    a.envelope.insert(a.envelope.end(), b.envelope.begin(), b.envelope.end());
}

Path slice(const Path& p, std::size_t from, std::size_t to) {
    Path out;
    auto part = [&](const std::vector<double>& v) {
        return std::vector<double>(v.begin() + static_cast<std::ptrdiff_t>(from),
                                   v.begin() + static_cast<std::ptrdiff_t>(to));
    };
    out.x = part(p.x);
    out.y = part(p.y);
    out.speed = part(p.speed);
    out.envelope = part(p.envelope);
    return out;
}

/// A stroke's path as this execution draws it: moved by the shape errors' waves (over the
/// ink's length since the first touch-down, so each stroke meets another part of them) and by
/// its own offset. `since` is advanced by the stroke's length.
Path deformed(const Writer& w, const Execution& e, std::size_t s, double& since) {
    Path path = w.paths[s];
    const auto [dx, dy] = s < e.offsets.size() ? e.offsets[s] : std::pair{0.0, 0.0};
    for (std::size_t k = 0; k < path.x.size(); ++k) {
        if (k > 0) {
            since += std::hypot(w.paths[s].x[k] - w.paths[s].x[k - 1],
                                w.paths[s].y[k] - w.paths[s].y[k - 1]);
        }
        double x = dx, y = dy;
        for (const Wave& wave : e.waves) {
            const double a = 2.0 * std::numbers::pi * wave.frequency * since;
            x += wave.amplitudeX * std::sin(a + wave.phaseX);
            y += wave.amplitudeY * std::sin(a + wave.phaseY);
        }
        path.x[k] += x;
        path.y[k] += y;
    }
    return path;
}

/// The pen-down pieces of a signature: each stroke's path, cut where the execution lifts the
/// pen once more, joined where it keeps the pen down between strokes.
std::vector<Piece> piecesOf(const Writer& w, const Execution& e, Random& r) {
    std::vector<std::vector<Piece>> strokes;
    double since = 0.0;
    for (std::size_t s = 0; s < w.strokes.size(); ++s) {
        std::vector<Piece> pieces{{deformed(w, e, s, since), w.gaps[s] * e.gapFactor}};
        for (const auto& [stroke, at] : e.lifts) {
            if (stroke != s) {
                continue;
            }
            // The pen leaves the paper for 30 to 60 ms of plan time while the hand moves on.
            const auto window = static_cast<std::size_t>(r.uniform(0.03, 0.06) / kStep);
            const auto cut = static_cast<std::size_t>(at / kStep);
            Piece& last = pieces.back();
            if (cut < 10 || cut + window + 10 > last.path.x.size()) {
                continue;  // too near an end to leave two strokes
            }
            Piece after{slice(last.path, cut + window, last.path.x.size()),
                        static_cast<double>(window) * kStep * e.tempo};
            last.path = slice(last.path, 0, cut);
            pieces.push_back(std::move(after));
        }
        strokes.push_back(std::move(pieces));
    }
    std::vector<Piece> out;
    for (std::size_t s = 0; s < strokes.size(); ++s) {
        auto& pieces = strokes[s];
        std::size_t first = 0;
        if (!out.empty() && std::find(e.merges.begin(), e.merges.end(), s) != e.merges.end()) {
            join(out.back().path, pieces.front().path, std::max(w.gaps[s], 0.04));
            first = 1;
        }
        for (std::size_t i = first; i < pieces.size(); ++i) {
            out.push_back(std::move(pieces[i]));
        }
    }
    return out;
}

/// Three slow waves (0.7 to 3 per second) of random phase, summed to unit variance.
class SlowWaves {
public:
    explicit SlowWaves(Random& r) {
        for (int i = 0; i < 3; ++i) {
            frequency_[i] = r.uniform(0.7, 3.0);
            phase_[i] = r.uniform(0.0, 2.0 * std::numbers::pi);
        }
    }
    double operator()(double t) const {
        double sum = 0.0;
        for (int i = 0; i < 3; ++i) {
            sum += std::sin(2.0 * std::numbers::pi * frequency_[i] * t + phase_[i]);
        }
        return sum * std::sqrt(2.0 / 3.0);
    }

private:
    double frequency_[3];
    double phase_[3];
};

double interpolate(const std::vector<double>& v, double at) {
    const double clamped = std::clamp(at, 0.0, static_cast<double>(v.size() - 1));
    const auto i = static_cast<std::size_t>(clamped);
    const std::size_t j = std::min(i + 1, v.size() - 1);
    const double w = clamped - static_cast<double>(i);
    return v[i] * (1.0 - w) + v[j] * w;
}

}  // namespace

double envelopeAt(const StrokePlan& s, double t) {
    if (s.envelope.empty()) {
        return 1.0;
    }
    const double at =
        std::clamp(t / kEnvelopeStep, 0.0, static_cast<double>(s.envelope.size() - 1));
    const auto i = static_cast<std::size_t>(at);
    const std::size_t j = std::min(i + 1, s.envelope.size() - 1);
    const double w = at - static_cast<double>(i);
    return s.envelope[i] * (1.0 - w) + s.envelope[j] * w;
}

Path trajectory(const StrokePlan& s) {
    constexpr double step = kStep;
    Path path;
    const auto count = static_cast<std::size_t>(std::ceil(s.end / step)) + 1;
    double x = s.startX;
    double y = s.startY;
    for (std::size_t k = 0; k < count; ++k) {
        const double t = static_cast<double>(k) * step;
        path.x.push_back(x);
        path.y.push_back(y);
        path.envelope.push_back(envelopeAt(s, t));
        // The midpoint rule: the velocity halfway to the next grid point.
        double vx = 0.0, vy = 0.0;
        for (const Impulse& p : s.impulses) {
            addVelocity(p, t + 0.5 * step, vx, vy);
        }
        path.speed.push_back(std::hypot(vx, vy));
        x += vx * step;
        y += vy * step;
    }
    return path;
}

Signature write(const Writer& w, const Execution& e, Random& r, double rateHz, bool pressure,
                std::string name) {
    Signature sig;
    sig.name = std::move(name);
    const double period = 1.0 / rateHz;
    // The writing speed and the pressure vary smoothly around their means, each by slow
    // waves of the signature's own.
    const SlowWaves speedWaves(r);
    const SlowWaves pressureWaves(r);
    auto rate = [&](double t) {
        // The waves run in real time, so the plan covered in a while is the rate's mean over
        // it: - rhythm^2 / 2 keeps that mean at 1 / tempo.
        return std::exp(e.rhythm * speedWaves(t) - 0.5 * e.rhythm * e.rhythm) / e.tempo;
    };
    const double cosine = std::cos(e.rotation);
    const double sine = std::sin(e.rotation);

    double clock = 0.0;  // real seconds since the first touch-down
    bool first = true;
    for (const Piece& piece : piecesOf(w, e, r)) {
        if (!first) {
            clock += piece.gap;
        }
        first = false;
        const Path& path = piece.path;
        const double end = static_cast<double>(path.x.size() - 1);  // in grid steps
        // Plan time (in grid steps) at each sample.
        std::vector<double> at;
        std::vector<double> times;
        double u = 0.0;
        double t = clock;
        while (true) {
            at.push_back(u);
            times.push_back(t);
            if (u >= end || at.size() >= kMaxSamples) {
                break;
            }
            u = std::min(end, u + rate(t + 0.5 * period) * period / kStep);
            t += period;
        }
        Stroke stroke;
        const long long land = std::llround(clock * 1000.0);
        stroke.startMs = static_cast<std::uint64_t>(land);
        const double top = std::max(1e-9, *std::max_element(path.speed.begin(), path.speed.end()));
        long long previous = 0;
        for (std::size_t k = 0; k < at.size(); ++k) {
            const double px = interpolate(path.x, at[k]) - kCentreX;
            const double py = interpolate(path.y, at[k]) - kCentreY;
            double rx = px * cosine - py * sine;
            double ry = px * sine + py * cosine;
            rx += e.slant * ry;
            ry *= e.aspect;
            Sample sample;
            sample.x = std::round(kCentreX + e.shiftX + e.size * rx);
            sample.y = std::round(kCentreY + e.shiftY + e.size * ry);
            const long long stamp =
                k == 0 ? 0 : std::llround((times[k] + r.normal(kClockJitter)) * 1000.0) - land;
            previous = std::max(previous, stamp);
            sample.ms = static_cast<std::uint64_t>(previous);
            // Drawn with or without pressure, so that a finger set is the pen set less it.
            const double n = static_cast<double>(at.size());
            const double kd = static_cast<double>(k);
            const double ramp =
                std::min({1.0, (kd + 1.0) * period / kRamp, (n - kd) * period / kRamp});
            const double drop = 1.0 - w.speedCoupling * interpolate(path.speed, at[k]) / top;
            const double wobble = std::exp(e.pressureWobble * pressureWaves(times[k]));
            const double p = w.pressure * e.pressure * interpolate(path.envelope, at[k]) * wobble *
                             ramp * drop * r.factor(0.02);
            // Thousandths, as a record keeps them; a stylus never reports 0 while down.
            sample.pressure = pressure ? std::max(0.001, std::round(p * 1000.0) / 1000.0) : 0.0;
            stroke.samples.push_back(sample);
        }
        clock = times.back();
        sig.strokes.push_back(std::move(stroke));
    }
    return sig;
}

}  // namespace penwell::verify::synthetic
