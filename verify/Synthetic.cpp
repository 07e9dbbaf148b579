#include "verify/Synthetic.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <random>

namespace penwell::verify {

namespace {

/// Uniform and normal numbers from mt19937_64's specified output.
class Random {
public:
    explicit Random(std::uint64_t seed) : engine_(seed) {}
    double uniform() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }
    double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }
    double normal(double sigma) {
        // Box–Muller; 1 - u keeps the logarithm's argument above 0.
        const double u = 1.0 - uniform();
        const double v = uniform();
        return sigma * std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * std::numbers::pi * v);
    }

private:
    std::mt19937_64 engine_;
};

/// One lognormal impulse of the sigma-lognormal model.
struct Impulse {
    double distance;    ///< D, points
    double onset;       ///< t0, seconds from the stroke's start
    double mu;          ///< log-time delay
    double sigma;       ///< log-response time
    double startAngle;  ///< θs, radians
    double endAngle;    ///< θe
};

struct StrokePlan {
    double startX, startY;  ///< where the pen lands, points
    double gap;             ///< seconds with the pen up before this stroke
    std::vector<Impulse> impulses;
};

/// How a writer presses: a base force, a slow swell along the stroke, lighter when fast.
struct PressureStyle {
    double base;
    double swell;   ///< relative amplitude of the swell
    double period;  ///< seconds
    double phase;
    double speedDrop;  ///< relative drop at the stroke's top speed
};

struct Writer {
    std::vector<StrokePlan> strokes;
    PressureStyle pressure;
    double variation;  ///< this writer's own inconsistency, about 1
};

Writer makeWriter(Random& r) {
    Writer w;
    w.variation = r.uniform(0.6, 1.4);
    w.pressure = {r.uniform(0.8, 2.0), r.uniform(0.1, 0.3), r.uniform(0.3, 0.9),
                  r.uniform(0.0, 6.28), r.uniform(0.1, 0.4)};
    const int strokes = 1 + static_cast<int>(r.uniform() * 3.0);
    double x = r.uniform(120.0, 200.0);
    for (int s = 0; s < strokes; ++s) {
        StrokePlan plan;
        plan.startX = x;
        plan.startY = r.uniform(100.0, 150.0);
        plan.gap = s == 0 ? 0.0 : r.uniform(0.15, 0.4);
        const int impulses = 4 + static_cast<int>(r.uniform() * 6.0);
        double onset = -0.05;
        double angle = r.uniform(0.0, 2.0 * std::numbers::pi);
        for (int i = 0; i < impulses; ++i) {
            Impulse p;
            p.distance = r.uniform(25.0, 70.0);
            p.onset = onset;
            p.mu = std::log(r.uniform(0.12, 0.25));
            p.sigma = r.uniform(0.2, 0.4);
            p.startAngle = angle;
            const double turn = r.uniform(0.6, 2.4) * (r.uniform() < 0.5 ? -1.0 : 1.0);
            p.endAngle = angle + turn;
            // Handwriting moves on to the right: pull the next direction back towards it.
            angle = p.endAngle + r.uniform(1.5, 3.0) * (r.uniform() < 0.5 ? -1.0 : 1.0);
            onset += r.uniform(0.07, 0.14);
            plan.impulses.push_back(p);
        }
        w.strokes.push_back(std::move(plan));
        x += r.uniform(60.0, 120.0);
    }
    return w;
}

/// A copy of the plan with every parameter varied by `amount` (1 is a typical writer).
Writer vary(const Writer& w, Random& r, double amount) {
    Writer out = w;
    for (StrokePlan& s : out.strokes) {
        s.startX += r.normal(2.0 * amount);
        s.startY += r.normal(2.0 * amount);
        s.gap = std::max(0.05, s.gap * (1.0 + r.normal(0.1 * amount)));
        for (Impulse& p : s.impulses) {
            p.distance *= 1.0 + r.normal(0.05 * amount);
            p.onset += r.normal(0.008 * amount);
            p.mu += r.normal(0.04 * amount);
            p.sigma = std::max(0.08, p.sigma + r.normal(0.02 * amount));
            p.startAngle += r.normal(0.05 * amount);
            p.endAngle += r.normal(0.05 * amount);
        }
    }
    out.pressure.base *= 1.0 + r.normal(0.04 * amount);
    out.pressure.phase += r.normal(0.2 * amount);
    return out;
}

/// A forger's plan: the shape of `w` written `slowness` times as long, with their own pressure.
Writer forge(const Writer& w, Random& r) {
    Writer out = vary(w, r, 1.6 * w.variation);
    const double slowness = r.uniform() < 0.25 ? r.uniform(0.75, 0.9) : r.uniform(1.15, 1.8);
    for (StrokePlan& s : out.strokes) {
        s.gap *= slowness;
        for (Impulse& p : s.impulses) {
            p.onset *= slowness;
            p.mu += std::log(slowness);
        }
    }
    out.pressure = {w.pressure.base * r.uniform(0.6, 1.5), r.uniform(0.05, 0.3),
                    r.uniform(0.3, 0.9), r.uniform(0.0, 6.28), r.uniform(0.0, 0.4)};
    return out;
}

double lognormal(const Impulse& p, double t) {
    const double dt = t - p.onset;
    if (dt <= 0.0) {
        return 0.0;
    }
    const double z = (std::log(dt) - p.mu) / p.sigma;
    return p.distance / (p.sigma * std::sqrt(2.0 * std::numbers::pi) * dt) * std::exp(-0.5 * z * z);
}

double direction(const Impulse& p, double t) {
    const double dt = t - p.onset;
    if (dt <= 0.0) {
        return p.startAngle;
    }
    const double z = (std::log(dt) - p.mu) / (p.sigma * std::numbers::sqrt2);
    return p.startAngle + (p.endAngle - p.startAngle) * 0.5 * (1.0 + std::erf(z));
}

Signature render(const Writer& w, Random& r, double rateHz, bool pressure, std::string name) {
    Signature sig;
    sig.name = std::move(name);
    const double period = 1.0 / rateHz;
    const double shiftX = r.normal(15.0);
    const double shiftY = r.normal(8.0);
    const double scale = 1.0 + r.normal(0.04);
    double clock = 0.0;  // seconds since the first stroke's start
    for (const StrokePlan& plan : w.strokes) {
        double end = 0.0;
        for (const Impulse& p : plan.impulses) {
            end = std::max(end, p.onset + std::exp(p.mu + 2.5 * p.sigma));
        }
        clock += plan.gap;
        Stroke stroke;
        stroke.startMs = static_cast<std::uint64_t>(std::llround(clock * 1000.0));
        double x = plan.startX;
        double y = plan.startY;
        double topSpeed = 1e-9;
        std::vector<double> speeds;
        const int steps = 8;  // integration steps per sample
        const auto count = static_cast<std::size_t>(end / period) + 1;
        for (std::size_t k = 0; k < count; ++k) {
            const double t = static_cast<double>(k) * period;
            double vx = 0.0, vy = 0.0;
            for (const Impulse& p : plan.impulses) {
                const double v = lognormal(p, t);
                vx += v * std::cos(direction(p, t));
                vy += v * std::sin(direction(p, t));
            }
            const double speed = std::hypot(vx, vy);
            topSpeed = std::max(topSpeed, speed);
            speeds.push_back(speed);
            stroke.samples.push_back({shiftX + 300.0 + (x - 300.0) * scale,
                                      shiftY + 125.0 + (y - 125.0) * scale, 0.0,
                                      static_cast<std::uint64_t>(std::llround(t * 1000.0))});
            // Move on to the next sample by the midpoint rule.
            for (int i = 0; i < steps; ++i) {
                const double tm = t + (i + 0.5) * period / steps;
                for (const Impulse& p : plan.impulses) {
                    const double v = lognormal(p, tm) * period / steps;
                    x += v * std::cos(direction(p, tm));
                    y += v * std::sin(direction(p, tm));
                }
            }
        }
        if (pressure) {
            const PressureStyle& ps = w.pressure;
            const std::size_t n = stroke.samples.size();
            for (std::size_t k = 0; k < n; ++k) {
                const double t = static_cast<double>(k) * period;
                // The pen lands and lifts over about 40 ms.
                const double ramp = std::min({1.0, (static_cast<double>(k) + 1.0) * period / 0.04,
                                              (static_cast<double>(n - k)) * period / 0.04});
                const double swell =
                    1.0 + ps.swell * std::sin(2.0 * std::numbers::pi * t / ps.period + ps.phase);
                const double drop = 1.0 - ps.speedDrop * speeds[k] / topSpeed;
                const double p = ps.base * ramp * swell * drop * (1.0 + r.normal(0.01));
                // Thousandths, as a record keeps them; a stylus never reports 0 while down.
                stroke.samples[k].pressure = std::max(0.001, std::round(p * 1000.0) / 1000.0);
            }
        }
        clock += static_cast<double>(count) * period;
        sig.strokes.push_back(std::move(stroke));
    }
    return sig;
}

std::string numbered(const std::string& prefix, std::size_t n) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%02zu", n);
    return prefix + buffer;
}

}  // namespace

std::vector<SignerSet> makeSyntheticSigners(const SyntheticOptions& options) {
    Random r(options.seed);
    std::vector<SignerSet> out;
    for (std::size_t s = 1; s <= options.signers; ++s) {
        SignerSet set;
        set.name = numbered("s", s);
        const Writer writer = makeWriter(r);
        for (std::size_t g = 1; g <= options.genuine; ++g) {
            set.genuine.push_back(render(vary(writer, r, writer.variation), r, options.sampleRateHz,
                                         options.pressure, numbered(set.name + "/genuine/", g)));
        }
        for (std::size_t f = 1; f <= options.forgeries; ++f) {
            set.forgeries.push_back(render(forge(writer, r), r, options.sampleRateHz,
                                           options.pressure, numbered(set.name + "/forgery/", f)));
        }
        out.push_back(std::move(set));
    }
    return out;
}

}  // namespace penwell::verify
