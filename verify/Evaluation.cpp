#include "verify/Evaluation.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>

#include "verify/Template.h"

namespace penwell::verify {

namespace {

struct Rates {
    double far;
    double frr;
};

/// False acceptance and rejection at threshold t: impostors at or below t, genuine above.
Rates ratesAt(const std::vector<double>& genuine, const std::vector<double>& impostor, double t) {
    const auto genuineAbove = genuine.end() - std::upper_bound(genuine.begin(), genuine.end(), t);
    const auto impostorBelow =
        std::upper_bound(impostor.begin(), impostor.end(), t) - impostor.begin();
    return {static_cast<double>(impostorBelow) / static_cast<double>(impostor.size()),
            static_cast<double>(genuineAbove) / static_cast<double>(genuine.size())};
}

}  // namespace

ErrorRate equalErrorRate(std::vector<double> genuine, std::vector<double> impostor) {
    std::sort(genuine.begin(), genuine.end());
    std::sort(impostor.begin(), impostor.end());
    std::vector<double> thresholds = genuine;
    thresholds.insert(thresholds.end(), impostor.begin(), impostor.end());
    std::sort(thresholds.begin(), thresholds.end());
    thresholds.erase(std::unique(thresholds.begin(), thresholds.end()), thresholds.end());
    // Below every score nothing is accepted: FAR 0, FRR 1. Walk up until FAR >= FRR.
    double lastThreshold = thresholds.front();
    Rates last{0.0, 1.0};
    for (const double t : thresholds) {
        const Rates now = ratesAt(genuine, impostor, t);
        if (now.far >= now.frr) {
            // The two rates are straight lines between the thresholds; they meet where
            // far - frr changes sign.
            const double before = last.far - last.frr;  // < 0
            const double after = now.far - now.frr;     // >= 0
            const double w = after - before > 0.0 ? -before / (after - before) : 1.0;
            return {last.far + w * (now.far - last.far), lastThreshold + w * (t - lastThreshold)};
        }
        last = now;
        lastThreshold = t;
    }
    return {last.far, lastThreshold};  // not reached: at the top score FAR is 1
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
        const Rates r = ratesAt(genuine, impostor, t);
        if (points.empty() || points.back().threshold != t) {
            points.push_back({t, r.far, r.frr});
        }
    }
    return points;
}

Outcome<EvaluationReport> evaluate(const std::vector<SignerSet>& signers,
                                   const EvaluationOptions& options) {
    if (options.references < kMinReferences || options.references > options.pool ||
        options.references > kMaxReferences) {
        return Failure{FailureCode::invalidArgument,
                       "references per signer must be from " + std::to_string(kMinReferences) +
                           " to " + std::to_string(std::min(options.pool, kMaxReferences))};
    }
    if (options.draws == 0) {
        return Failure{FailureCode::invalidArgument, "at least one draw is needed"};
    }
    EvaluationReport report;
    std::vector<const SignerSet*> usable;
    for (const SignerSet& s : signers) {
        if (s.genuine.size() <= options.references) {
            report.skipped.push_back(s.name + ": " + std::to_string(s.genuine.size()) +
                                     " genuine signatures, none left to test after " +
                                     std::to_string(options.references) + " references");
        } else {
            usable.push_back(&s);
        }
    }
    if (usable.size() < 2) {
        return Failure{FailureCode::invalidArgument,
                       "evaluation needs at least two signers with more than " +
                           std::to_string(options.references) + " genuine signatures"};
    }
    auto prepare = [&](const Signature& s) {
        return options.withoutPressure ? verify::withoutPressure(s) : s;
    };
    std::mt19937_64 random(options.seed);
    std::vector<double> allGenuine, allSkilled, allRandom;
    double perSignerSum = 0.0;
    std::size_t perSignerCount = 0;
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
                return enrolled.failure();
            }
            const Template& t = enrolled.value();
            auto score = [&](const Signature& s) -> Outcome<double> {
                auto verdict = t.check(prepare(s));
                if (!verdict) {
                    return verdict.failure();
                }
                return verdict->score;
            };
            for (std::size_t i = 0; i < signer.genuine.size(); ++i) {
                if (!chosen[i]) {
                    auto s = score(signer.genuine[i]);
                    if (!s) {
                        return s.failure();
                    }
                    genuine.push_back(s.value());
                }
            }
            for (const Signature& f : signer.forgeries) {
                auto s = score(f);
                if (!s) {
                    return s.failure();
                }
                skilled.push_back(s.value());
            }
            // One genuine signature of every other signer, a different one each draw.
            for (std::size_t oi = 0; oi < usable.size(); ++oi) {
                if (oi == si) {
                    continue;
                }
                const auto& other = usable[oi]->genuine;
                auto s = score(other[draw % other.size()]);
                if (!s) {
                    return s.failure();
                }
                allRandom.push_back(s.value());
            }
        }
        if (!skilled.empty()) {
            perSignerSum += equalErrorRate(genuine, skilled).eer;
            ++perSignerCount;
        }
        allGenuine.insert(allGenuine.end(), genuine.begin(), genuine.end());
        allSkilled.insert(allSkilled.end(), skilled.begin(), skilled.end());
    }
    report.signers = usable.size();
    report.genuineTests = allGenuine.size();
    report.skilledTests = allSkilled.size();
    report.randomTests = allRandom.size();
    report.skilled = !allSkilled.empty();
    if (report.skilled) {
        report.skilledGlobal = equalErrorRate(allGenuine, allSkilled);
        report.skilledPerSigner = perSignerSum / static_cast<double>(perSignerCount);
        report.skilledDet = detPoints(allGenuine, allSkilled);
    }
    report.randomGlobal = equalErrorRate(allGenuine, allRandom);
    report.randomDet = detPoints(allGenuine, allRandom);
    return report;
}

}  // namespace penwell::verify
