// The synthetic signers must be as hard as the real set they stand for: their own figures,
// measured as the real set's were, must match kTabletSetFigures. And they must be recorded as
// a pad records signatures.

#include <gtest/gtest.h>

#include <cmath>

#include "penwell/verify/SetFigures.h"
#include "penwell/verify/Synthetic.h"

namespace penwell::verify {
namespace {

Signature signatureOf(std::vector<Stroke> strokes) {
    return Signature{"hand-made", std::move(strokes)};
}

/// One stroke along the x axis: `points` samples `step` points and 10 ms apart.
Stroke line(std::uint64_t start, std::size_t points, double step, double pressure) {
    Stroke s;
    s.startMs = start;
    for (std::size_t i = 0; i < points; ++i) {
        s.samples.push_back({static_cast<double>(i) * step, 0.0, pressure, i * 10});
    }
    return s;
}

TEST(SetFigures, PercentilesInterpolate) {
    struct Case {
        std::vector<double> values;
        double q, expected;
    };
    const Case cases[] = {
        {{}, 0.5, 0.0},
        {{7}, 0.1, 7.0},
        {{4, 1, 3, 2}, 0.5, 2.5},
        {{1, 2, 3}, 0.9, 2.8},
        {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 0.1, 2.0},
        {{5, 1}, 2.0, 5.0},  // beyond the ends: the end
    };
    for (const Case& c : cases) {
        EXPECT_DOUBLE_EQ(percentile(c.values, c.q), c.expected) << c.q;
    }
}

TEST(SetFigures, HandWorkedSet) {
    // Signer A: two genuine signatures of 1 and 2 strokes.
    //   g1: one stroke of 11 samples, 1 point apart: path 10, pen-down 0.1 s, pressure 0.5.
    //   g2: strokes of 11 and 6 samples (0.1 s and 0.05 s), the second starting at 150 ms:
    //       path 10 + 5, pen-down 0.15 s, duration 0.2 s (50 ms with the pen up), pressure 0.7.
    //   one forgery: one stroke of 21 samples 1 point apart (path 20, 0.2 s), pressure 0.3.
    SignerSet a{"a",
                {signatureOf({line(0, 11, 1.0, 0.5)}),
                 signatureOf({line(0, 11, 1.0, 0.7), line(150, 6, 1.0, 0.7)})},
                {signatureOf({line(0, 21, 1.0, 0.3)})}};
    // Signer B: one genuine signature only: left out of every figure.
    SignerSet b{"b", {signatureOf({line(0, 5, 1.0, 0.5)})}, {}};
    const SetFigures f = measureFigures({a, b});
    // Durations 0.1 and 0.2: mean 0.15, standard deviation 0.0707.
    EXPECT_NEAR(f.durationCv.median, std::sqrt(0.005) / 0.15, 1e-12);
    EXPECT_NEAR(f.pathCv.median, std::sqrt(12.5) / 12.5, 1e-12);
    EXPECT_NEAR(f.pressureCv.median, std::sqrt(0.02) / 0.6, 1e-12);
    EXPECT_DOUBLE_EQ(f.strokes.median, 1.5);
    EXPECT_NEAR(f.duration.median, 0.15, 1e-12);
    EXPECT_NEAR(f.penUpShare, 0.05 / 0.3, 1e-12);
    EXPECT_NEAR(f.strokeRatio.median, 1.0 / 1.5, 1e-12);
    EXPECT_NEAR(f.pathRatio.median, 20.0 / 12.5, 1e-12);
    EXPECT_NEAR(f.durationRatio.median, 0.2 / 0.15, 1e-12);
    // Speeds: 100 and 100 points per second genuine, 100 forged.
    EXPECT_NEAR(f.speedRatio.median, 1.0, 1e-12);
    EXPECT_NEAR(f.pressureRatio.median, 0.3 / 0.6, 1e-12);
    // Without the strokes' starts a duration is the pen-down time, and nothing is pen-up.
    for (Signature& s : a.genuine) {
        for (Stroke& stroke : s.strokes) {
            stroke.startMs.reset();
        }
    }
    EXPECT_EQ(measureFigures({a}).penUpShare, 0.0);
    EXPECT_NEAR(measureFigures({a}).duration.median, 0.125, 1e-12);
}

TEST(Synthetic, MatchesTheTabletSetFigures) {
    // 200 signers make the deciles steady to a few per cent (the real set has 40).
    SyntheticOptions options;
    options.signers = 200;
    const SetFigures got = measureFigures(makeSyntheticSigners(options));
    const SetFigures& want = kTabletSetFigures;
    struct Row {
        const char* what;
        Spread got, want;
    };
    const Row rows[] = {
        {"genuine duration CV", got.durationCv, want.durationCv},
        {"genuine path length CV", got.pathCv, want.pathCv},
        {"genuine mean pressure CV", got.pressureCv, want.pressureCv},
        {"strokes", got.strokes, want.strokes},
        {"duration", got.duration, want.duration},
        {"forgery stroke ratio", got.strokeRatio, want.strokeRatio},
        {"forgery path length ratio", got.pathRatio, want.pathRatio},
        {"forgery duration ratio", got.durationRatio, want.durationRatio},
        {"forgery speed ratio", got.speedRatio, want.speedRatio},
        {"forgery mean pressure ratio", got.pressureRatio, want.pressureRatio},
    };
    for (const Row& r : rows) {
        EXPECT_NEAR(r.got.median, r.want.median, 0.06 * r.want.median) << r.what << ", median";
        // Whole strokes: a tenth of the signers write two, a tenth three or fewer.
        const double lowTolerance = r.want.low == 2.5 ? 0.5 : 0.12 * r.want.low;
        EXPECT_NEAR(r.got.low, r.want.low, lowTolerance) << r.what << ", 10th percentile";
        EXPECT_NEAR(r.got.high, r.want.high, 0.12 * r.want.high) << r.what << ", 90th percentile";
    }
    EXPECT_NEAR(got.penUpShare, want.penUpShare, 0.005);
}

TEST(Synthetic, RecordedAsAPadRecordsThem) {
    SyntheticOptions options;
    options.signers = 3;
    options.genuine = 4;
    options.forgeries = 6;
    options.seed = 2;
    const auto signers = makeSyntheticSigners(options);
    ASSERT_EQ(signers.size(), 3u);
    EXPECT_EQ(signers[2].name, "s03");
    EXPECT_EQ(signers[2].forgeries[5].name, "s03/forgery/06");
    for (const SignerSet& signer : signers) {
        ASSERT_EQ(signer.genuine.size(), 4u);
        ASSERT_EQ(signer.forgeries.size(), 6u);
        for (const auto* list : {&signer.genuine, &signer.forgeries}) {
            for (const Signature& s : *list) {
                ASSERT_FALSE(checkSignature(s)) << s.name;
                EXPECT_EQ(kindOf(s), PointerKind::stylus) << s.name;
                std::uint64_t lastEnd = 0;
                for (const Stroke& stroke : s.strokes) {
                    ASSERT_TRUE(stroke.startMs) << s.name;
                    EXPECT_GE(*stroke.startMs, lastEnd) << s.name << ": strokes overlap";
                    EXPECT_EQ(stroke.samples.front().ms, 0u) << s.name;
                    std::uint64_t ms = 0;
                    for (const Sample& p : stroke.samples) {
                        EXPECT_EQ(p.x, std::round(p.x)) << s.name;
                        EXPECT_EQ(p.y, std::round(p.y)) << s.name;
                        EXPECT_EQ(p.pressure, std::round(p.pressure * 1000.0) / 1000.0) << s.name;
                        EXPECT_GT(p.pressure, 0.0) << s.name;
                        EXPECT_GE(p.ms, ms) << s.name;
                        ms = p.ms;
                    }
                    lastEnd = *stroke.startMs + ms;
                }
            }
        }
    }
}

TEST(Synthetic, SeededAndFingerIsPenWithoutPressure) {
    SyntheticOptions options;
    options.signers = 2;
    options.genuine = 3;
    options.forgeries = 2;
    const auto pen = makeSyntheticSigners(options);
    EXPECT_EQ(makeSyntheticSigners(options)[1].forgeries[1].strokes, pen[1].forgeries[1].strokes);
    options.pressure = false;
    const auto finger = makeSyntheticSigners(options);
    for (std::size_t s = 0; s < pen.size(); ++s) {
        for (std::size_t g = 0; g < pen[s].genuine.size(); ++g) {
            EXPECT_EQ(finger[s].genuine[g].strokes, withoutPressure(pen[s].genuine[g]).strokes);
            EXPECT_EQ(kindOf(finger[s].genuine[g]), PointerKind::finger);
        }
    }
    options.seed = 2;
    EXPECT_NE(makeSyntheticSigners(options)[0].genuine[0].strokes, finger[0].genuine[0].strokes);
}

}  // namespace
}  // namespace penwell::verify
