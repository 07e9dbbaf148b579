#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <limits>
#include <vector>

#include "support/TestPad.h"

namespace penwell {
namespace {

Stroke timed(std::initializer_list<std::uint64_t> timestamps) {
    Stroke s;
    double x = 0;
    for (std::uint64_t t : timestamps) {
        s.push_back(_point::initwith({x, 10}, t));
        x += 5;
    }
    return s;
}

/// The figures are quoted to six significant digits.
void expectFigure(double actual, double expected, const char* name) {
    if (std::isnan(expected)) {
        EXPECT_TRUE(std::isnan(actual)) << name << ": " << actual;
    } else {
        EXPECT_NEAR(actual, expected, std::abs(expected) * 5e-6) << name;
    }
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(TimingStatistics, Figures) {
    const struct {
        const char* name;
        std::vector<Stroke> strokes;
        double sigma2, sigma;
    } cases[] = {
        // sigma2 over intervals 10, 10, 20; sigma over 10, 20: the touch-down starts none.
        {"one stroke", {timed({0, 10, 20, 40})}, 0.353553, 0.333333},
        // 16, 16, 20, 20, 20 and 16, 20, 20.
        {"pen-up time never counts",
         {timed({0, 16, 32}), timed({0, 20, 40, 60})},
         0.1065,
         0.101015},
        {"one interval", {timed({0, 16})}, 0.0, kNaN},
        {"evenly spaced", {timed({0, 8, 16, 24, 32})}, 0.0, 0.0},
        {"single-sample strokes", {timed({0}), timed({0}), Stroke{}}, kNaN, kNaN},
        {"no strokes", {}, 0.0, kNaN},
        // The reference is the first non-zero stamp, 10: intervals 10 and 30; sigma2 counts
        // every interval, 0, 10, 10, 30.
        {"all intervals zero after the reference at 5", {timed({0, 5, 5, 5})}, 1.41421, kNaN},
        {"later zero stamps", {timed({0, 0, 10, 20, 50})}, 0.87178, 0.5},
        // Real digitizers stamp a sample before its predecessor now and then: -8 is an
        // interval of -8 ms, not 2^64 - 8.
        {"time going backwards", {timed({0, 10, 20, 12, 30})}, 1.27017, 1.63095},
    };
    for (const auto& c : cases) {
        testing::TestPad t;
        ASSERT_TRUE(t.controller->restoreSignature(c.strokes));
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
