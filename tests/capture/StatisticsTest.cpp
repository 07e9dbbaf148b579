#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "support/TestPad.h"

namespace penwell {
namespace {

using Stamps = std::vector<std::vector<std::uint64_t>>;

/// A stroke per list of timestamps, its samples one point apart.
std::vector<Stroke> linesOf(const Stamps& strokes) {
    std::vector<Stroke> lines;
    for (const auto& stamps : strokes) {
        Stroke s;
        for (std::size_t i = 0; i < stamps.size(); ++i) {
            s.push_back(_point::initwith({static_cast<double>(i), 10}, stamps[i]));
        }
        lines.push_back(std::move(s));
    }
    return lines;
}

/// The figures are quoted to six significant digits.
void expectFigure(double actual, double expected, const char* name) {
    if (std::isnan(expected)) {
        EXPECT_TRUE(std::isnan(actual)) << name << ": " << actual;
    } else {
        EXPECT_NEAR(actual, expected, std::abs(expected) * 5e-6) << name;
    }
}

double figure(const Stamps& strokes, bool second) {
    testing::TestPad t;
    EXPECT_TRUE(t.controller->restoreSignature(linesOf(strokes)));
    return second ? t.controller->calculateSigma2() : t.controller->calculateSigma();
}

/// Random timings a digitizer could give (rising stamps 4 to 40 ms apart; half the strokes
/// touch down with a stamp of 0, which sigma passes over and sigma2 counts): a coefficient of
/// variation does not change when time runs k times slower or the strokes come in another
/// order, nor sigma when every stamp after the touch-down moves by the same amount. The exact
/// figures are the table's below.
TEST(TimingStatistics, PropertiesOnRandomTimings) {
    std::mt19937_64 random(20261208);
    std::uniform_int_distribution<int> strokeCount(1, 5);
    std::uniform_int_distribution<int> sampleCount(3, 40);
    std::uniform_int_distribution<std::uint64_t> gap(4, 40);
    for (int round = 0; round < 40; ++round) {
        Stamps strokes(static_cast<std::size_t>(strokeCount(random)));
        for (auto& stamps : strokes) {
            std::uint64_t t = 1000 + gap(random);
            if (random() % 2 == 0) {
                stamps.push_back(0);
            }
            for (int i = sampleCount(random); i > 0; --i) {
                stamps.push_back(t);
                t += gap(random);
            }
        }
        const double sigma = figure(strokes, false);
        const double sigma2 = figure(strokes, true);
        ASSERT_GT(sigma2, 0.0) << "round " << round;

        auto shifted = strokes;
        auto slower = strokes;
        for (std::size_t s = 0; s < strokes.size(); ++s) {
            for (std::size_t i = 0; i < strokes[s].size(); ++i) {
                shifted[s][i] += strokes[s][i] == 0 ? 0 : 123456;
                slower[s][i] *= 3;
            }
        }
        auto reversed = std::vector(strokes.rbegin(), strokes.rend());
        EXPECT_NEAR(figure(shifted, false), sigma, 1e-9) << "round " << round;
        for (const auto* variant : {&slower, &reversed}) {
            EXPECT_NEAR(figure(*variant, false), sigma, 1e-9) << "round " << round;
            EXPECT_NEAR(figure(*variant, true), sigma2, 1e-9) << "round " << round;
        }
    }
}

TEST(TimingStatistics, Figures) {
    const struct {
        const char* name;
        Stamps strokes;
        double sigma2, sigma;
    } cases[] = {
        // sigma2 over intervals 10, 10, 20; sigma over 10, 20: the touch-down starts none.
        {"one stroke", {{0, 10, 20, 40}}, 0.353553, 0.333333},
        // 16, 16, 20, 20, 20 and 16, 20, 20.
        {"pen-up time never counts", {{0, 16, 32}, {0, 20, 40, 60}}, 0.1065, 0.101015},
        {"one interval", {{0, 16}}, 0.0, kNaN},
        {"evenly spaced", {{0, 8, 16, 24, 32}}, 0.0, 0.0},
        {"single-sample strokes", {{0}, {0}, {}}, kNaN, kNaN},
        {"no strokes", {}, 0.0, kNaN},
        // The reference is the first non-zero stamp, 10: intervals 10 and 30; sigma2 counts
        // every interval, 0, 10, 10, 30.
        {"all intervals zero after the reference at 5", {{0, 5, 5, 5}}, 1.41421, kNaN},
        {"later zero stamps", {{0, 0, 10, 20, 50}}, 0.87178, 0.5},
        // Real digitizers stamp a sample before its predecessor now and then: -8 is an
        // interval of -8 ms, not 2^64 - 8.
        {"time going backwards", {{0, 10, 20, 12, 30}}, 1.27017, 1.63095},
    };
    for (const auto& c : cases) {
        testing::TestPad t;
        ASSERT_TRUE(t.controller->restoreSignature(linesOf(c.strokes)));
        // A stroke in progress never counts.
        t.down({1, 1}, 0.0);
        t.move({2, 2}, 0.001);
        t.move({3, 3}, 0.5);
        expectFigure(t.controller->calculateSigma2(), c.sigma2, c.name);
        expectFigure(t.controller->calculateSigma(), c.sigma, c.name);
    }
}

}  // namespace
}  // namespace penwell
