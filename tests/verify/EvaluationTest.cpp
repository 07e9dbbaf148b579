// The error rates and their plot: hand-worked equal error rates, DET points and curves, the
// normal deviate the plot's axes are drawn in, and the protocol's refusals and modes.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "penwell/verify/DetPlot.h"
#include "penwell/verify/Evaluation.h"
#include "penwell/verify/Synthetic.h"
#include "penwell/verify/Template.h"

namespace penwell::verify {
namespace {

TEST(Evaluation, EqualErrorRateWhereTheRatesCross) {
    struct Case {
        const char* what;
        std::vector<double> genuine, impostor;
        double eer, threshold;
    };
    const Case cases[] = {
        // At 2.5 one impostor of three is accepted and one genuine of three rejected.
        {"crossing at a score", {1, 2, 3}, {2.5, 4, 5}, 1.0 / 3.0, 2.5},
        {"apart: nothing wrong at the top genuine score", {1, 2}, {3, 4}, 0.0, 2.0},
        // Below 1 nothing is accepted (0, 1), at 1 everything (1, 0): they meet halfway.
        {"no difference at all", {1, 1}, {1, 1}, 0.5, 1.0},
        // At 1 nothing is accepted and half rejected; at 2 half of each.
        {"met at an impostor's score", {1, 3}, {2, 4}, 0.5, 2.0},
    };
    for (const Case& c : cases) {
        const ErrorRate r = equalErrorRate(c.genuine, c.impostor);
        EXPECT_DOUBLE_EQ(r.eer, c.eer) << c.what;
        EXPECT_DOUBLE_EQ(r.threshold, c.threshold) << c.what;
    }
}

TEST(Evaluation, DetPointsAndCurve) {
    // Ten impostor scores 1..10, genuine scores 0.5, 2.5, 4.5, 6.5.
    std::vector<double> impostor;
    for (int i = 10; i >= 1; --i) {
        impostor.push_back(i);
    }
    const std::vector<double> genuine = {6.5, 0.5, 4.5, 2.5};
    // 10 % is the lowest impostor score, 1, where three genuine scores of four lie above it;
    // rates finer than one impostor in ten (0.1 % to 5 %) are left out.
    const std::vector<DetPoint> points = detPoints(genuine, impostor);
    ASSERT_EQ(points.size(), 3u);
    EXPECT_EQ(points[0].threshold, 1.0);
    EXPECT_DOUBLE_EQ(points[0].falseAcceptance, 0.1);
    EXPECT_DOUBLE_EQ(points[0].falseRejection, 0.75);
    EXPECT_EQ(points[1].threshold, 2.0);
    EXPECT_DOUBLE_EQ(points[2].falseAcceptance, 0.4);
    EXPECT_DOUBLE_EQ(points[2].falseRejection, 0.5);

    std::vector<double> sorted = genuine;
    std::sort(sorted.begin(), sorted.end());
    std::sort(impostor.begin(), impostor.end());
    const DetPoint at = ratesAt(sorted, impostor, 4.5);
    EXPECT_DOUBLE_EQ(at.falseAcceptance, 0.4);
    EXPECT_DOUBLE_EQ(at.falseRejection, 0.25);

    // Fourteen thresholds thinned to five: the first and the last kept, rising.
    const std::vector<DetPoint> curve = detCurve(genuine, impostor, 5);
    ASSERT_EQ(curve.size(), 5u);
    EXPECT_EQ(curve.front().threshold, 0.5);
    EXPECT_DOUBLE_EQ(curve.front().falseRejection, 0.75);
    EXPECT_EQ(curve.back().threshold, 10.0);
    EXPECT_DOUBLE_EQ(curve.back().falseAcceptance, 1.0);
    for (std::size_t i = 1; i < curve.size(); ++i) {
        EXPECT_LT(curve[i - 1].threshold, curve[i].threshold);
    }
    EXPECT_EQ(detCurve(genuine, impostor).size(), 14u);
}

TEST(DetPlot, NormalDeviate) {
    struct Case {
        double p, z;
    };
    // Reference values of the standard normal quantile function.
    const Case cases[] = {{0.5, 0.0},
                          {0.975, 1.959963984540054},
                          {0.001, -3.090232306167813},
                          {0.02, -2.053748910631823},  // the approximation's tail
                          {0.9, 1.2815515655446004},
                          {1e-10, -6.361340902404056}};
    for (const Case& c : cases) {
        EXPECT_NEAR(normalDeviate(c.p), c.z, 1e-12) << c.p;
        // 1 - p holds p's tail only to about 1e-16 absolute: 2e-7 in z at 1e-10.
        EXPECT_NEAR(normalDeviate(1.0 - c.p), -c.z, 1e-6) << c.p;
    }
    EXPECT_EQ(normalDeviate(0.0), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(normalDeviate(1.0), std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(normalDeviate(1.5)));
    EXPECT_TRUE(std::isnan(normalDeviate(std::nan(""))));
}

TEST(DetPlot, SeriesDrawnOnTheNormalDeviateSquare) {
    // The plot area runs from (70, 480) at the lowest rates to (510, 40) at the highest;
    // rates beyond are drawn at its edge. 0.5 % lies where its deviate puts it.
    const double lo = normalDeviate(kDetLowest), hi = normalDeviate(kDetHighest);
    char middle[32];
    std::snprintf(middle, sizeof middle, "%.2f,%.2f",
                  70.0 + 440.0 * (normalDeviate(0.005) - lo) / (hi - lo),
                  40.0 + 440.0 * (1.0 - (normalDeviate(0.005) - lo) / (hi - lo)));
    const std::string svg =
        detPlotSvg("Alice & <Bob>",
                   {{"skilled \"pen\"", {{0, 0.0, 1.0}, {1, 0.005, 0.005}, {2, 1.0, 0.0}}, 0.005},
                    {"random", {{0, 0.1, 0.2}}, -1.0}});
    EXPECT_EQ(svg.rfind("<svg xmlns=\"http://www.w3.org/2000/svg\"", 0), 0u);
    EXPECT_NE(svg.find("points=\"70.00,40.00 " + std::string(middle) + " 510.00,480.00\""),
              std::string::npos)
        << svg;
    EXPECT_NE(svg.find("Alice &amp; &lt;Bob&gt;"), std::string::npos);
    EXPECT_NE(svg.find("skilled &quot;pen&quot;"), std::string::npos);
    // One marker: the first series' equal error rate, on the diagonal.
    EXPECT_EQ(svg.find("<circle"), svg.rfind("<circle"));
    EXPECT_NE(
        svg.find("<circle cx=\"" + std::string(middle).substr(0, std::string(middle).find(','))),
        std::string::npos);
    EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
}

std::vector<SignerSet> smallSet(bool pressure) {
    SyntheticOptions options;
    options.signers = 3;
    options.genuine = 7;
    options.forgeries = 2;
    options.pressure = pressure;
    return makeSyntheticSigners(options);
}

TEST(Evaluation, ModesAndRefusals) {
    EvaluationOptions options;
    options.draws = 1;
    const EvaluationReport both = evaluate(smallSet(true), options).value();
    ASSERT_EQ(both.modes.size(), 2u);
    EXPECT_TRUE(both.modes[0].pressure);
    EXPECT_FALSE(both.modes[1].pressure);
    // 3 signers x (2 genuine tests, 2 forgeries, 2 other signers' genuine).
    EXPECT_EQ(both.modes[1].genuineTests, 6u);
    EXPECT_EQ(both.modes[1].skilledTests, 6u);
    EXPECT_EQ(both.modes[1].randomTests, 6u);
    ASSERT_EQ(both.modes[0].signers.size(), 3u);
    EXPECT_EQ(both.modes[0].signers[2].name, "s03");
    EXPECT_EQ(both.modes[0].defaultThreshold, kDefaultThreshold);
    EXPECT_EQ(both.modes[1].defaultThreshold, kDefaultThresholdWithoutPressure);
    // A set without pressure has finger results only, even when pen results were asked for.
    options.finger = false;
    const EvaluationReport finger = evaluate(smallSet(false), options).value();
    ASSERT_EQ(finger.modes.size(), 1u);
    EXPECT_FALSE(finger.modes[0].pressure);

    auto refusal = [](const std::vector<SignerSet>& set, EvaluationOptions o) {
        auto r = evaluate(set, o);
        return r ? std::string() : r.error().message;
    };
    EvaluationOptions o;
    o.references = 2;
    EXPECT_NE(refusal(smallSet(true), o).find("from 3 to 10"), std::string::npos);
    o = {};
    o.draws = 0;
    EXPECT_NE(refusal(smallSet(true), o).find("one draw"), std::string::npos);
    o = {};
    o.pen = o.finger = false;
    EXPECT_NE(refusal(smallSet(true), o).find("neither"), std::string::npos);
    o = {};
    o.references = 7;  // nothing left to test: every signer skipped
    o.pool = 7;
    EXPECT_NE(refusal(smallSet(true), o).find("at least two signers"), std::string::npos);
}

}  // namespace
}  // namespace penwell::verify
