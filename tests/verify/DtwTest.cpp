// The warping: hand-worked costs and band edges, every group of a signature warped on its own
// as a plain warping would, and what the position's path says about time and pressure.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "penwell/verify/Dtw.h"

namespace penwell::verify {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

FeatureSequence sequence(std::vector<double> values, std::size_t dimension = 1) {
    return FeatureSequence{dimension, std::move(values)};
}

TEST(Dtw, HandWorkedCasesAndBandEdges) {
    struct Case {
        const char* what;
        FeatureSequence a, b;
        std::size_t band;
        double expected;
    };
    const Case cases[] = {
        {"one row against three: every cell of b is visited", sequence({0}), sequence({1, 2, 3}), 0,
         6.0},
        {"equal sequences on the diagonal", sequence({0, 1, 2}), sequence({0, 1, 2}), 0, 0.0},
        // D(1,2) = |2-2| + min(D(0,2) = 3, D(0,1) = 1, D(1,1) = 1).
        {"a short sequence stretched", sequence({0, 2}), sequence({0, 1, 2}), 1, 1.0},
        {"band 0 and unequal lengths: no path", sequence({0, 2}), sequence({0, 1, 2}), 0, kInf},
        // The peaks lie two rows apart: band 2 lets them meet, band 1 makes each meet a 0.
        {"band wide enough", sequence({0, 5, 0, 0, 0}), sequence({0, 0, 0, 5, 0}), 2, 0.0},
        {"band one short", sequence({0, 5, 0, 0, 0}), sequence({0, 0, 0, 5, 0}), 1, 10.0},
        {"Euclidean in two dimensions", sequence({0, 0}, 2), sequence({3, 4}, 2), 0, 5.0},
        {"empty", sequence({}), sequence({1}), 3, kInf},
        {"dimensions differ", sequence({0, 0}, 2), sequence({0, 0}, 1), 3, kInf},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(dtwDistance(c.a, c.b, c.band), c.expected) << c.what;
        EXPECT_EQ(dtwDistance(c.b, c.a, c.band), c.expected) << c.what << " (swapped)";
    }
}

/// Sample features made by hand: `rows` of up to kSampleFeatures values each.
SampleFeatures features(const std::vector<std::vector<float>>& rows, std::size_t groups,
                        std::vector<float> time, std::vector<float> pressure = {}) {
    SampleFeatures f;
    f.length = rows.size();
    f.groups = groups;
    f.columns.assign(2 * groups * f.length, 0.0f);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        for (std::size_t k = 0; k < rows[i].size() && k < 2 * groups; ++k) {
            f.columns[k * f.length + i] = rows[i][k];
        }
    }
    f.time = std::move(time);
    f.relativePressure = std::move(pressure);
    return f;
}

TEST(Warp, EachGroupAsAPlainWarpingOfItsOwn) {
    // Four groups whose best paths differ: each must find its own.
    const std::vector<std::vector<float>> a = {{0, 0, 1, 0, 0, 1, 5, 0},
                                               {1, 0, 2, 0, 0, 2, 5, 0},
                                               {2, 1, 0, 0, 1, 2, 4, 1},
                                               {3, 1, 0, 3, 1, 0, 3, 1},
                                               {4, 0, 1, 3, 2, 0, 3, 0}};
    const std::vector<std::vector<float>> b = {{0, 0, 2, 0, 0, 1, 5, 0},
                                               {2, 1, 1, 0, 1, 1, 4, 0},
                                               {3, 1, 0, 2, 2, 2, 3, 1},
                                               {4, 0, 1, 3, 2, 1, 3, 0}};
    const std::vector<float> ta = {0, 0.25f, 0.5f, 0.75f, 1}, tb = {0, 0.3f, 0.7f, 1};
    for (const std::size_t band : {std::size_t{1}, std::size_t{5}}) {
        const Warping w = warp(features(a, 4, ta), features(b, 4, tb), band);
        for (std::size_t g = 0; g < 4; ++g) {
            std::vector<double> ga, gb;
            for (const auto& row : a) {
                ga.insert(ga.end(), {row[2 * g], row[2 * g + 1]});
            }
            for (const auto& row : b) {
                gb.insert(gb.end(), {row[2 * g], row[2 * g + 1]});
            }
            EXPECT_NEAR(w.groups[g], dtwDistance(sequence(ga, 2), sequence(gb, 2), band), 1e-5)
                << "group " << g << ", band " << band;
        }
    }
    // Three groups against four: the pressure group is the one left out.
    const Warping three = warp(features(a, 3, ta), features(b, 4, tb), 5);
    EXPECT_EQ(three.groups[3], 0.0);
    EXPECT_GT(three.groups[0], 0.0);
}

TEST(Warp, RhythmAndPressureShapeAlongThePositionsPath) {
    // Positions 0, 1, 2 against 0, 0, 1, 2 along x: the only path of cost 0 pairs
    // (0,0) (0,1) (1,2) (2,3).
    const std::vector<std::vector<float>> a = {{0, 0}, {1, 0}, {2, 0}};
    const std::vector<std::vector<float>> b = {{0, 0}, {0, 0}, {1, 0}, {2, 0}};
    const Warping w = warp(features(a, 4, {0, 0.5f, 1}, {1, 1, 1}),
                           features(b, 4, {0, 0.2f, 0.6f, 1}, {1, 0.5f, 1.5f, 1}), 5);
    EXPECT_EQ(w.pathLength, 4u);
    EXPECT_EQ(w.groups[0], 0.0);
    // Time differences 0, -0.2, -0.1, 0; pressure differences 0, 0.5, 0.5, 0.
    EXPECT_NEAR(w.rhythm, std::sqrt((0.04 + 0.01) / 4.0), 1e-7);
    EXPECT_NEAR(w.pressureShape, 1.0 / 4.0, 1e-7);
    // Without pressure on either side there is no pressure shape.
    const Warping finger = warp(features(a, 3, {0, 0.5f, 1}),
                                features(b, 4, {0, 0.2f, 0.6f, 1}, {1, 0.5f, 1.5f, 1}), 5);
    EXPECT_EQ(finger.pressureShape, 0.0);
    EXPECT_NEAR(finger.rhythm, w.rhythm, 1e-12);
    // An empty signature cannot be warped.
    const Warping none = warp(features({}, 4, {}), features(b, 4, {0, 0.2f, 0.6f, 1}), 5);
    EXPECT_EQ(none.groups[0], kInf);
    EXPECT_EQ(none.rhythm, kInf);
}

TEST(Features, LongSignaturesAveragedInBlocks) {
    // 1,200 samples in one stroke, 1 ms apart along x: blocks of 3 keep 400.
    Signature s{"long", {Stroke{}}};
    for (std::uint64_t i = 0; i < 1200; ++i) {
        s.strokes[0].samples.push_back({static_cast<double>(i), 0.0, 0.5, i});
    }
    const SampleFeatures f = sampleFeatures(s, FeatureScales{true, 0.5});
    ASSERT_EQ(f.length, 400u);
    // Positions: centred at 599.5 and divided by their root-mean-square distance from it.
    const double rms = std::sqrt((1200.0 * 1200.0 - 1.0) / 12.0);
    EXPECT_NEAR(f.feature(0)[0], (1.0 - 599.5) / rms, 1e-5);  // the mean of 0, 1, 2
    EXPECT_NEAR(f.feature(0)[399], (1198.0 - 599.5) / rms, 1e-5);
    // A steady 1,000 points per second along x.
    EXPECT_NEAR(f.feature(2)[200], 1000.0 / rms * kVelocityTime, 1e-4);
    EXPECT_NEAR(f.feature(4)[200], 1.0, 1e-6);
    EXPECT_NEAR(f.feature(6)[200], 1.0, 1e-6);
    EXPECT_NEAR(f.relativePressure[200], 1.0, 1e-6);
    EXPECT_NEAR(f.time[0], 1.0 / 1199.0, 1e-6);
    EXPECT_NEAR(f.time[399], 1198.0 / 1199.0, 1e-6);
}

TEST(Features, TimeJoinsTheStrokesWithoutThePauses) {
    // Two strokes of 0.1 s and 0.3 s of pen-down time, whatever the pause between them.
    Stroke first, second;
    first.startMs = 0;
    second.startMs = 5000;
    for (std::uint64_t i = 0; i <= 10; ++i) {
        first.samples.push_back({static_cast<double>(i), 0.0, 0.0, 10 * i});
    }
    for (std::uint64_t i = 0; i <= 30; ++i) {
        second.samples.push_back({static_cast<double>(i), 5.0, 0.0, 10 * i});
    }
    const SampleFeatures f = sampleFeatures(Signature{"two", {first, second}}, FeatureScales{});
    ASSERT_EQ(f.length, 42u);
    EXPECT_EQ(f.groups, 3u);
    EXPECT_TRUE(f.relativePressure.empty());
    EXPECT_NEAR(f.time[10], 0.25, 1e-6);  // the first stroke's end
    EXPECT_NEAR(f.time[11], 0.25, 1e-6);  // the second's start
    EXPECT_NEAR(f.time[41], 1.0, 1e-6);
}

}  // namespace
}  // namespace penwell::verify
