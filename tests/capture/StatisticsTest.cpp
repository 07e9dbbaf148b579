#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <vector>

#include "support/ControllerTestAccess.h"
#include "support/TestPad.h"

namespace penwell {
namespace {

using testing::TestPad;

Stroke timed(std::initializer_list<std::uint64_t> timestamps) {
    Stroke s;
    double x = 0;
    for (std::uint64_t t : timestamps) {
        s.push_back(_point::initwith({x, 10}, t));
        x += 5;
    }
    return s;
}

/// The value to six significant digits, as the figures are quoted.
double sixDigits(double v) {
    if (v == 0.0 || !std::isfinite(v)) {
        return v;
    }
    const double scale = std::pow(10.0, 5 - static_cast<int>(std::floor(std::log10(std::abs(v)))));
    return std::round(v * scale) / scale;
}

struct StatsPad : TestPad {
    void set(std::vector<Stroke> strokes) {
        ControllerTestAccess::lines(*controller) = std::move(strokes);
    }
    double sigma() const { return controller->calculateSigma(); }
    double sigma2() const { return controller->calculateSigma2(); }
};

TEST(TimingStatistics, OneStroke) {
    StatsPad t;
    t.set({timed({0, 10, 20, 40})});
    EXPECT_EQ(sixDigits(t.sigma2()), 0.353553);  // intervals 10, 10, 20
    EXPECT_EQ(sixDigits(t.sigma()), 0.333333);   // 10, 20: the touch-down starts none
}

TEST(TimingStatistics, PenUpTimeNeverCounts) {
    StatsPad t;
    t.set({timed({0, 16, 32}), timed({0, 20, 40, 60})});
    EXPECT_EQ(sixDigits(t.sigma2()), 0.106500);  // 16, 16, 20, 20, 20
    EXPECT_EQ(sixDigits(t.sigma()), 0.101015);   // 16, 20, 20
}

TEST(TimingStatistics, OneIntervalAfterTheTouchDown) {
    StatsPad t;
    t.set({timed({0, 16})});
    EXPECT_EQ(t.sigma2(), 0.0);
    EXPECT_TRUE(std::isnan(t.sigma()));
}

TEST(TimingStatistics, EvenlySpacedIsZero) {
    StatsPad t;
    t.set({timed({0, 8, 16, 24, 32})});
    EXPECT_EQ(t.sigma2(), 0.0);
    EXPECT_EQ(t.sigma(), 0.0);
}

TEST(TimingStatistics, OnlySingleSampleStrokesIsNaN) {
    StatsPad t;
    t.set({timed({0}), timed({0}), Stroke{}});
    EXPECT_TRUE(std::isnan(t.sigma2()));
    EXPECT_TRUE(std::isnan(t.sigma()));
}

TEST(TimingStatistics, NoStrokes) {
    StatsPad t;
    EXPECT_EQ(t.sigma2(), 0.0);
    EXPECT_TRUE(std::isnan(t.sigma()));
}

TEST(TimingStatistics, AllIntervalsZeroIsNaN) {
    StatsPad t;
    t.set({timed({0, 5, 5, 5})});
    EXPECT_TRUE(std::isnan(t.sigma()));  // intervals 0, 0 after the reference at 5
}

TEST(TimingStatistics, LaterZeroStampsArePassedOverUntilAReference) {
    StatsPad t;
    // Reference at 10: intervals 10 and 30, mean 20, deviation 10.
    t.set({timed({0, 0, 10, 20, 50})});
    EXPECT_EQ(t.sigma(), 0.5);
    // Every interval counts here: 0, 10, 10, 30.
    EXPECT_EQ(sixDigits(t.sigma2()), 0.871780);
}

TEST(TimingStatistics, StrokeInProgressIsIgnored) {
    StatsPad t;
    t.set({timed({0, 10, 20, 40})});
    ControllerTestAccess::points(*t.controller) = timed({0, 1, 500, 501});
    EXPECT_EQ(sixDigits(t.sigma2()), 0.353553);
    EXPECT_EQ(sixDigits(t.sigma()), 0.333333);
    EXPECT_EQ(t.controller->lines().size(), 1u);
}

}  // namespace
}  // namespace penwell
