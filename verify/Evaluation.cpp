#include "penwell/verify/Evaluation.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <optional>
#include <random>

#include "penwell/verify/Template.h"

namespace penwell::verify {

namespace {

/// Sorts both score lists and answers every distinct score of either, in order: the
/// thresholds where an error rate can change.
std::vector<double> thresholdsOf(std::vector<double>& genuine, std::vector<double>& impostor) {
    std::sort(genuine.begin(), genuine.end());
    std::sort(impostor.begin(), impostor.end());
    std::vector<double> thresholds = genuine;
    thresholds.insert(thresholds.end(), impostor.begin(), impostor.end());
    std::sort(thresholds.begin(), thresholds.end());
    thresholds.erase(std::unique(thresholds.begin(), thresholds.end()), thresholds.end());
    return thresholds;
}

}  // namespace

DetPoint ratesAt(const std::vector<double>& genuine, const std::vector<double>& impostor,
                 double t) {
    // Impostors at or below t are accepted, genuine signatures above it rejected.
    const auto genuineAbove = genuine.end() - std::upper_bound(genuine.begin(), genuine.end(), t);
    const auto impostorBelow =
        std::upper_bound(impostor.begin(), impostor.end(), t) - impostor.begin();
    return {t, static_cast<double>(impostorBelow) / static_cast<double>(impostor.size()),
            static_cast<double>(genuineAbove) / static_cast<double>(genuine.size())};
}

ErrorRate equalErrorRate(std::vector<double> genuine, std::vector<double> impostor) {
    const std::vector<double> thresholds = thresholdsOf(genuine, impostor);
    // Below every score nothing is accepted: FAR 0, FRR 1. Walk up until FAR >= FRR.
    DetPoint last{thresholds.front(), 0.0, 1.0};
    for (const double t : thresholds) {
        const DetPoint now = ratesAt(genuine, impostor, t);
        if (now.falseAcceptance >= now.falseRejection) {
            // The two rates are straight lines between the thresholds; they meet where
            // far - frr changes sign.
            const double before = last.falseAcceptance - last.falseRejection;  // < 0
            const double after = now.falseAcceptance - now.falseRejection;     // >= 0
            const double w = after - before > 0.0 ? -before / (after - before) : 1.0;
            return {last.falseAcceptance + w * (now.falseAcceptance - last.falseAcceptance),
                    last.threshold + w * (t - last.threshold)};
        }
        last = now;
    }
    return {last.falseAcceptance, last.threshold};  // not reached: at the top score FAR is 1
}

std::vector<DetPoint> detPoints(std::vector<double> genuine, std::vector<double> impostor) {
    std::sort(genuine.begin(), genuine.end());
    std::sort(impostor.begin(), impostor.end());
    std::vector<DetPoint> points;
    for (const double target : {0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.4}) {
        // A rate finer than one impostor in all cannot be told apart from the next one.
        const double wanted = target * static_cast<double>(impostor.size());
        if (wanted < 1.0 - 1e-9) {
            continue;
        }
        // The threshold at the k-th lowest impostor score accepts k impostors (ties aside).
        const auto k =
            std::min(impostor.size(), static_cast<std::size_t>(std::ceil(wanted - 1e-9)));
        const double t = impostor[k - 1];
        if (points.empty() || points.back().threshold != t) {
            points.push_back(ratesAt(genuine, impostor, t));
        }
    }
    return points;
}

std::vector<DetPoint> detCurve(std::vector<double> genuine, std::vector<double> impostor,
                               std::size_t points) {
    const std::vector<double> thresholds = thresholdsOf(genuine, impostor);
    std::vector<DetPoint> curve;
    const std::size_t count = thresholds.size();
    const std::size_t kept = std::max<std::size_t>(2, std::min(points, count));
    for (std::size_t k = 0; k < kept; ++k) {
        // Evenly through the thresholds, the first and the last included.
        const std::size_t i = count == 1 ? 0 : k * (count - 1) / (kept - 1);
        if (curve.empty() || curve.back().threshold != thresholds[i]) {
            curve.push_back(ratesAt(genuine, impostor, thresholds[i]));
        }
    }
    return curve;
}

namespace {

struct Scores {
    std::vector<double> genuine, skilled, random;
    std::vector<SignerResult> signers;
    double perSignerSum = 0.0;
};

/// One mode's scores over every usable signer and draw.
Result<Scores> scoreAll(const std::vector<const SignerSet*>& usable,
                        const EvaluationOptions& options, bool withoutPressure) {
    auto prepare = [&](const Signature& s) {
        return withoutPressure ? verify::withoutPressure(s) : s;
    };
    // The same draws in every mode, so that pen and finger results compare like with like.
    std::mt19937_64 random(options.seed);
    Scores out;
    for (std::size_t si = 0; si < usable.size(); ++si) {
        const SignerSet& signer = *usable[si];
        const std::size_t pool = std::min(options.pool, signer.genuine.size());
        std::vector<double> genuine, skilled;
        for (std::size_t draw = 0; draw < options.draws; ++draw) {
            std::vector<std::size_t> order(pool);
            std::iota(order.begin(), order.end(), 0);
            // A partial Fisher–Yates shuffle from the engine's own output, so a seed gives
            // the same draws with every standard library.
            for (std::size_t i = 0; i < options.references && i + 1 < pool; ++i) {
                const std::size_t j = i + static_cast<std::size_t>(random() % (pool - i));
                std::swap(order[i], order[j]);
            }
            std::vector<bool> chosen(signer.genuine.size(), false);
            std::vector<Signature> references;
            for (std::size_t i = 0; i < options.references; ++i) {
                chosen[order[i]] = true;
                references.push_back(prepare(signer.genuine[order[i]]));
            }
            EnrolOptions enrolOptions;
            enrolOptions.allowMixedKinds = true;  // a data set may mix devices; compare alike
            auto enrolled = Template::enrol(std::move(references), enrolOptions);
            if (!enrolled) {
                return enrolled.error();
            }
            const Template& t = enrolled.value();
            MaybeFailure failure;
            auto score = [&](const Signature& s, std::vector<double>& into) {
                if (failure) {
                    return;
                }
                auto verdict = t.check(prepare(s));
                if (!verdict) {
                    failure = verdict.error();
                    return;
                }
                into.push_back(verdict->score);
            };
            for (std::size_t i = 0; i < signer.genuine.size(); ++i) {
                if (!chosen[i]) {
                    score(signer.genuine[i], genuine);
                }
            }
            for (const Signature& f : signer.forgeries) {
                score(f, skilled);
            }
            // One genuine signature of every other signer, a different one each draw.
            for (std::size_t oi = 0; oi < usable.size(); ++oi) {
                if (oi != si) {
                    const auto& other = usable[oi]->genuine;
                    score(other[draw % other.size()], out.random);
                }
            }
            if (failure) {
                return *failure;
            }
        }
        if (!skilled.empty()) {
            out.signers.push_back({signer.name, equalErrorRate(genuine, skilled)});
            out.perSignerSum += out.signers.back().skilled.eer;
        }
        out.genuine.insert(out.genuine.end(), genuine.begin(), genuine.end());
        out.skilled.insert(out.skilled.end(), skilled.begin(), skilled.end());
    }
    return out;
}

ModeReport reportOf(Scores s, bool pressure) {
    ModeReport m;
    m.pressure = pressure;
    m.genuineTests = s.genuine.size();
    m.skilledTests = s.skilled.size();
    m.randomTests = s.random.size();
    m.skilled = !s.skilled.empty();
    std::sort(s.genuine.begin(), s.genuine.end());
    std::sort(s.skilled.begin(), s.skilled.end());
    std::sort(s.random.begin(), s.random.end());
    m.defaultThreshold = pressure ? kDefaultThreshold : kDefaultThresholdWithoutPressure;
    if (m.skilled) {
        m.skilledGlobal = equalErrorRate(s.genuine, s.skilled);
        m.skilledPerSigner = s.perSignerSum / static_cast<double>(s.signers.size());
        m.signers = std::move(s.signers);
        m.skilledAtDefault = ratesAt(s.genuine, s.skilled, m.defaultThreshold);
        m.skilledDet = detPoints(s.genuine, s.skilled);
        m.skilledCurve = detCurve(s.genuine, s.skilled);
    }
    m.randomGlobal = equalErrorRate(s.genuine, s.random);
    m.randomAtDefault = ratesAt(s.genuine, s.random, m.defaultThreshold);
    m.randomDet = detPoints(s.genuine, s.random);
    m.randomCurve = detCurve(s.genuine, s.random);
    return m;
}

}  // namespace

Result<EvaluationReport> evaluate(const std::vector<SignerSet>& signers,
                                  const EvaluationOptions& options) {
    if (options.references < kMinReferences || options.references > options.pool ||
        options.references > kMaxReferences) {
        return fail(FailureCode::invalidArgument,
                    "references per signer must be from " + std::to_string(kMinReferences) +
                        " to " + std::to_string(std::min(options.pool, kMaxReferences)));
    }
    if (options.draws == 0) {
        return fail(FailureCode::invalidArgument, "at least one draw is needed");
    }
    if (!options.pen && !options.finger) {
        return fail(FailureCode::invalidArgument, "neither pen nor finger results asked for");
    }
    EvaluationReport report;
    std::vector<const SignerSet*> usable;
    bool pressure = false;
    for (const SignerSet& s : signers) {
        if (s.genuine.size() <= options.references) {
            report.skipped.push_back(s.name + ": " + std::to_string(s.genuine.size()) +
                                     " genuine signatures, none left to test after " +
                                     std::to_string(options.references) + " references");
        } else {
            usable.push_back(&s);
            for (const Signature& g : s.genuine) {
                pressure = pressure || kindOf(g) == PointerKind::stylus;
            }
        }
    }
    if (usable.size() < 2) {
        return fail(FailureCode::invalidArgument,
                    "evaluation needs at least two signers with more than " +
                        std::to_string(options.references) + " genuine signatures");
    }
    report.signers = usable.size();
    // A set without pressure has finger results only, whichever were asked for.
    const bool penMode = options.pen && pressure;
    const bool fingerMode = options.finger || !pressure;
    for (const bool withoutPressure : {false, true}) {
        if (withoutPressure ? !fingerMode : !penMode) {
            continue;
        }
        auto scores = scoreAll(usable, options, withoutPressure);
        if (!scores) {
            return scores.error();
        }
        report.modes.push_back(reportOf(std::move(scores).value(), !withoutPressure));
    }
    return report;
}

}  // namespace penwell::verify
