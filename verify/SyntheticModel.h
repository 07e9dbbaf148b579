#pragma once
// The inside of the synthetic signers (verify/Synthetic.h): a writer's plan of movements, how
// one signature is executed from it, and the random numbers both draw from. Used by
// Synthetic.cpp, SyntheticWriter.cpp and SyntheticRender.cpp only.

#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "penwell/verify/SetFigures.h"
#include "penwell/verify/Signature.h"

namespace penwell::verify::synthetic {

/// Uniform and normal numbers from mt19937_64's specified output, with our own arithmetic, so
/// a seed gives the same signers with every standard library.
class Random {
public:
    explicit Random(std::uint64_t seed) : engine_(seed) {}
    double uniform() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }
    double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }
    bool chance(double p) { return uniform() < p; }
    double normal(double sigma = 1.0) {
        // Box–Muller; 1 - u keeps the logarithm's argument above 0.
        const double u = 1.0 - uniform();
        const double v = uniform();
        return sigma * std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * std::numbers::pi * v);
    }
    /// A factor around 1 whose logarithm has standard deviation `sigma`.
    double factor(double sigma) { return std::exp(normal(sigma)); }

private:
    std::mt19937_64 engine_;
};

/// The 10th and 90th percentiles of a standard normal variable.
inline constexpr double kDecile = 1.2815515655446004;

/// The value of a figure at normal deviate z: a lognormal through the median whose spread
/// below and above it reaches the 10th and 90th percentiles at z = -+1.28. `noise` (a standard
/// deviation of the logarithm) is taken off both spreads first, for figures that were measured
/// with that much sampling noise: the values drawn here are the true ones, and measuring them
/// adds the noise back.
inline double valueAt(const Spread& f, double z, double noise = 0.0) {
    const double below = std::log(f.median / f.low) / kDecile;
    const double above = std::log(f.high / f.median) / kDecile;
    auto less = [noise](double s) {
        return std::sqrt(std::max(s * s - noise * noise, 0.25 * s * s));
    };
    return f.median * std::exp(z * (z < 0.0 ? less(below) : less(above)));
}

/// One lognormal impulse of the sigma-lognormal model: the pen moves `distance` points along a
/// circular arc from direction startAngle to endAngle, with a lognormal speed profile.
struct Impulse {
    double distance;    ///< D, points
    double onset;       ///< t0, seconds of plan time from the stroke's touch-down
    double mu;          ///< log-time delay
    double sigma;       ///< log-response time
    double startAngle;  ///< radians; y grows downwards, as on the pad
    double endAngle;
};

struct StrokePlan {
    double startX = 0.0;  ///< where the pen lands, points
    double startY = 0.0;
    double end = 0.0;  ///< plan seconds until the pen lifts
    std::vector<Impulse> impulses;
    /// Relative pressure every kEnvelopeStep plan seconds along the stroke.
    std::vector<double> envelope;
};

inline constexpr double kEnvelopeStep = 0.2;
/// The grid of plan time that strokes are integrated on: fine beside a 100 Hz pad.
inline constexpr double kStep = 0.004;

/// A stroke's movement on the grid of plan time: where the pen is, how fast it moves (points
/// per plan second) and the relative pressure the plan gives there.
struct Path {
    std::vector<double> x, y, speed, envelope;
};

Path trajectory(const StrokePlan& stroke);

/// The relative pressure the plan gives at plan time t of the stroke.
double envelopeAt(const StrokePlan& stroke, double t);

/// A writer: the plan of their signature and how much they vary it.
struct Writer {
    std::vector<StrokePlan> strokes;
    std::vector<Path> paths;     ///< each stroke's, as planned
    std::vector<double> gaps;    ///< seconds with the pen up before each stroke (gaps[0] is 0)
    double width = 0.0;          ///< of the signature as planned, points
    double pressure = 0.5;       ///< mean pressure of the plan
    double speedCoupling = 0.0;  ///< pressure drops by this share at the stroke's top speed
    // The writer's own variation (coefficients of variation, as drawn).
    double durationCv = 0.0;
    double pathCv = 0.0;
    double pressureCv = 0.0;
    double shape = 1.0;  ///< scale of the shape variation; 1 is a typical writer
    // Between the two sessions: logarithmic shifts of tempo, size and pressure.
    double sessionTempo = 0.0;
    double sessionSize = 0.0;
    double sessionPressure = 0.0;
    double liftSlip = 0.0;  ///< chance, per stroke, of a lift missed or added
    // What their forgers differ by (the writer's mean forgery over mean genuine).
    double strokeRatio = 1.0;
    double pathRatio = 1.0;
    double tempoRatio = 1.0;  ///< pen-down time
    double pause = 0.0;       ///< pen-up time added, as a share of the genuine duration
    double pressureRatio = 1.0;

    double penDown() const;  ///< plan seconds with the pen down
    double penUp() const;    ///< plan seconds with the pen up
};

/// A smooth displacement of the path: a wave along the ink. Over the path's length rather than
/// over time, so that where the pen stops the displacement stops too.
struct Wave {
    double amplitudeX, amplitudeY;  ///< points
    double frequency;               ///< per point of path
    double phaseX, phaseY;
};

/// How one signature is written from a writer's plan.
struct Execution {
    double tempo = 1.0;      ///< pen-down time factor
    double gapFactor = 1.0;  ///< pen-up time factor
    double size = 1.0;
    double rotation = 0.0;  ///< radians
    double slant = 0.0;     ///< horizontal shear
    double aspect = 1.0;    ///< vertical factor
    double shiftX = 0.0;
    double shiftY = 0.0;
    double pressure = 1.0;        ///< level factor
    double rhythm = 0.0;          ///< amplitude of the smooth variation of the writing speed
    double pressureWobble = 0.0;  ///< amplitude of the smooth variation of the pressure
    /// Shape errors: waves that move the path a little, and each stroke's own offset.
    std::vector<Wave> waves;
    std::vector<std::pair<double, double>> offsets;
    std::vector<std::size_t> merges;  ///< stroke s joined to s - 1, the pen kept down between
    std::vector<std::pair<std::size_t, double>> lifts;  ///< stroke, plan time of an extra lift
};

Writer makeWriter(Random& r, const SetFigures& figures);

/// Shape errors of `amount` (1 is a typical genuine repetition of this writer): four waves and
/// an offset per stroke, appended to the execution's.
void addShapeErrors(const Writer& w, Execution& e, Random& r, double amount);

/// The envelope of pressure replaced by mix * the plan's + (1 - mix) * a new one.
void ownPressure(Writer& w, Random& r, double mix);

/// A signature as a pad records it: samples every 1/rateHz seconds from each touch-down,
/// integer points, whole milliseconds, pressure in thousandths (0 without pressure).
Signature write(const Writer& w, const Execution& e, Random& r, double rateHz, bool pressure,
                std::string name);

}  // namespace penwell::verify::synthetic
