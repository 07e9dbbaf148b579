#include "penwell/verify/SetFigures.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace penwell::verify {

namespace {

struct Measures {
    double duration = 0.0;  ///< seconds
    double penDown = 0.0;   ///< seconds
    double path = 0.0;      ///< points
    double pressure = 0.0;  ///< mean over samples
    double strokes = 0.0;
    double speed() const { return penDown > 0.0 ? path / penDown : 0.0; }
};

Measures measure(const Signature& s) {
    Measures m;
    double sumPressure = 0.0;
    std::size_t samples = 0;
    std::optional<double> end;  // ms after the first touch-down, while every stroke has its start
    bool starts = true;
    for (const Stroke& stroke : s.strokes) {
        if (stroke.samples.empty()) {
            continue;
        }
        m.strokes += 1.0;
        const auto& p = stroke.samples;
        const double last = static_cast<double>(p.back().ms) - static_cast<double>(p.front().ms);
        m.penDown += last / 1000.0;
        for (std::size_t i = 0; i < p.size(); ++i) {
            if (i > 0) {
                m.path += std::hypot(p[i].x - p[i - 1].x, p[i].y - p[i - 1].y);
            }
            sumPressure += p[i].pressure;
            ++samples;
        }
        if (!stroke.startMs) {
            starts = false;
        } else {
            end = std::max(end.value_or(0.0),
                           static_cast<double>(*stroke.startMs) + static_cast<double>(p.back().ms));
        }
    }
    m.duration = starts && end ? *end / 1000.0 : m.penDown;
    m.pressure = samples > 0 ? sumPressure / static_cast<double>(samples) : 0.0;
    return m;
}

double mean(const std::vector<double>& v) {
    double sum = 0.0;
    for (const double x : v) {
        sum += x;
    }
    return v.empty() ? 0.0 : sum / static_cast<double>(v.size());
}

/// Standard deviation (n - 1) over mean; 0 where the mean is 0.
double variation(const std::vector<double>& v) {
    const double m = mean(v);
    if (v.size() < 2 || m == 0.0) {
        return 0.0;
    }
    double sum = 0.0;
    for (const double x : v) {
        sum += (x - m) * (x - m);
    }
    return std::sqrt(sum / static_cast<double>(v.size() - 1)) / m;
}

Spread spreadOf(const std::vector<double>& values) {
    return {percentile(values, 0.5), percentile(values, 0.1), percentile(values, 0.9)};
}

}  // namespace

double percentile(std::vector<double> values, double q) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const double at = std::clamp(q, 0.0, 1.0) * static_cast<double>(values.size() - 1);
    const auto below = static_cast<std::size_t>(std::floor(at));
    const std::size_t above = std::min(below + 1, values.size() - 1);
    const double w = at - static_cast<double>(below);
    return values[below] * (1.0 - w) + values[above] * w;
}

namespace {

/// Each measure of a set of signatures, one column per measure.
struct Columns {
    std::vector<double> duration, path, pressure, strokes, speed;
    double upTime = 0.0, allTime = 0.0;

    explicit Columns(const std::vector<Signature>& signatures) {
        for (const Signature& s : signatures) {
            const Measures m = measure(s);
            duration.push_back(m.duration);
            path.push_back(m.path);
            pressure.push_back(m.pressure);
            strokes.push_back(m.strokes);
            speed.push_back(m.speed());
            upTime += m.duration - m.penDown;
            allTime += m.duration;
        }
    }
};

}  // namespace

SetFigures measureFigures(const std::vector<SignerSet>& signers) {
    std::vector<double> durationCv, pathCv, pressureCv, strokes, duration;
    std::vector<double> strokeRatio, pathRatio, durationRatio, speedRatio, pressureRatio;
    double upTime = 0.0;
    double allTime = 0.0;
    for (const SignerSet& signer : signers) {
        if (signer.genuine.size() < 2) {
            continue;
        }
        const Columns g(signer.genuine);
        upTime += g.upTime;
        allTime += g.allTime;
        durationCv.push_back(variation(g.duration));
        pathCv.push_back(variation(g.path));
        pressureCv.push_back(variation(g.pressure));
        strokes.push_back(mean(g.strokes));
        duration.push_back(mean(g.duration));
        if (signer.forgeries.empty()) {
            continue;
        }
        const Columns f(signer.forgeries);
        auto ratio = [](const std::vector<double>& forged, const std::vector<double>& genuine) {
            const double below = mean(genuine);
            return below > 0.0 ? mean(forged) / below : 0.0;
        };
        strokeRatio.push_back(ratio(f.strokes, g.strokes));
        pathRatio.push_back(ratio(f.path, g.path));
        durationRatio.push_back(ratio(f.duration, g.duration));
        speedRatio.push_back(ratio(f.speed, g.speed));
        pressureRatio.push_back(ratio(f.pressure, g.pressure));
    }
    SetFigures f;
    f.durationCv = spreadOf(durationCv);
    f.pathCv = spreadOf(pathCv);
    f.pressureCv = spreadOf(pressureCv);
    f.strokes = spreadOf(strokes);
    f.duration = spreadOf(duration);
    f.penUpShare = allTime > 0.0 ? upTime / allTime : 0.0;
    f.strokeRatio = spreadOf(strokeRatio);
    f.pathRatio = spreadOf(pathRatio);
    f.durationRatio = spreadOf(durationRatio);
    f.speedRatio = spreadOf(speedRatio);
    f.pressureRatio = spreadOf(pressureRatio);
    return f;
}

}  // namespace penwell::verify
