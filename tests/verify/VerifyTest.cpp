#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "verify/Dtw.h"
#include "verify/Evaluation.h"
#include "verify/Synthetic.h"
#include "verify/Template.h"

namespace penwell::verify {
namespace {

FeatureSequence sequence(std::vector<double> values, std::size_t dimension = 1) {
    return FeatureSequence{dimension, std::move(values)};
}

constexpr double kInf = std::numeric_limits<double>::infinity();

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
    };
    for (const Case& c : cases) {
        const ErrorRate r = equalErrorRate(c.genuine, c.impostor);
        EXPECT_DOUBLE_EQ(r.eer, c.eer) << c.what;
        EXPECT_DOUBLE_EQ(r.threshold, c.threshold) << c.what;
    }
}

const std::vector<SignerSet>& signers() {
    static const std::vector<SignerSet> set = [] {
        SyntheticOptions options;
        options.signers = 10;
        options.genuine = 12;
        options.forgeries = 6;
        options.seed = 7;
        return makeSyntheticSigners(options);
    }();
    return set;
}

std::vector<Signature> firstGenuine(std::size_t signer, std::size_t count) {
    const auto& g = signers()[signer].genuine;
    return {g.begin(), g.begin() + static_cast<std::ptrdiff_t>(count)};
}

TEST(Verify, ScoreIgnoresTranslationScaleAndTimeOffset) {
    const Template t = Template::enrol(firstGenuine(0, 5)).value();
    const Signature query = signers()[0].genuine[8];
    const double score = t.check(query)->score;
    struct Change {
        const char* what;
        double dx, dy, scale;
        std::uint64_t dt;
    };
    for (const Change c :
         {Change{"translation", 250.0, -80.0, 1.0, 0}, Change{"uniform scale", 0.0, 0.0, 2.5, 0},
          Change{"time offset", 0.0, 0.0, 1.0, 1000}}) {
        Signature moved = query;
        for (Stroke& stroke : moved.strokes) {
            for (Sample& s : stroke.samples) {
                s.x = s.x * c.scale + c.dx;
                s.y = s.y * c.scale + c.dy;
                s.ms += c.dt;
            }
        }
        EXPECT_NEAR(t.check(moved)->score, score, 1e-9 * score) << c.what;
    }
}

TEST(Verify, SyntheticGenuineScoresBelowForgeries) {
    // Fixed seed, one draw of 5 references per signer. The synthetic forgeries now match a real
    // tablet set's figures (close shape, same path length, differing mostly in speed, rhythm
    // and pressure), and this verifier separates them only to 7 % with pressure and 9 %
    // without: these bounds keep it from getting worse, not what it should reach.
    EvaluationOptions options;
    options.draws = 1;
    const EvaluationReport pen = evaluate(signers(), options).value();
    options.withoutPressure = true;
    const EvaluationReport finger = evaluate(signers(), options).value();
    EXPECT_EQ(pen.signers, 10u);
    EXPECT_LE(pen.skilledGlobal.eer, 0.10);
    EXPECT_LE(pen.skilledPerSigner, 0.05);
    EXPECT_LE(finger.skilledGlobal.eer, 0.15);
    EXPECT_LT(pen.skilledGlobal.eer, finger.skilledGlobal.eer);
    EXPECT_LE(pen.randomGlobal.eer, 0.02);
    EXPECT_LE(finger.randomGlobal.eer, 0.01);
}

TEST(Verify, TemplateFileRoundTripsExactly) {
    const Template t = Template::enrol(firstGenuine(1, 4)).value();
    const Template back = Template::parse(t.serialise(), "t.tpl").value();
    EXPECT_EQ(back.serialise(), t.serialise());
    const Signature& forgery = signers()[1].forgeries[0];
    EXPECT_EQ(back.check(forgery)->score, t.check(forgery)->score);
    // A finger query against a pen template: compared without pressure, and said so.
    const Verdict v = t.check(withoutPressure(signers()[1].genuine[9])).value();
    EXPECT_FALSE(v.pressureUsed);
    EXPECT_EQ(v.threshold, kDefaultThresholdWithoutPressure);
}

TEST(Verify, RefusalsNameTheFault) {
    const Template t = Template::enrol(firstGenuine(2, 3)).value();
    auto mixed = firstGenuine(2, 3);
    mixed[1] = withoutPressure(mixed[1]);
    Signature empty{"empty.json", {Stroke{}}};
    Signature broken = signers()[2].genuine[5];
    broken.strokes[0].samples[3].x = std::nan("");
    std::string otherVersion = t.serialise();
    otherVersion.replace(otherVersion.find(" 1\n"), 3, " 2\n");

    struct Case {
        const char* what;
        std::optional<Failure> failure;
        FailureCode code;
        const char* message;
    };
    auto failureOf = [](const auto& outcome) -> std::optional<Failure> {
        if (outcome) {
            return std::nullopt;
        }
        return outcome.failure();
    };
    const Case cases[] = {
        {"two references", failureOf(Template::enrol(firstGenuine(2, 2))),
         FailureCode::tooFewReferences, "at least 3 references"},
        {"empty query", failureOf(t.check(empty)), FailureCode::emptySignature,
         "empty.json: empty signature"},
        {"mixed kinds", failureOf(Template::enrol(mixed)), FailureCode::mixedKinds,
         "mix pen and finger"},
        {"other version", failureOf(Template::parse(otherVersion, "old.tpl")),
         FailureCode::wrongVersion, "old.tpl: template version 2"},
        {"not finite", failureOf(t.check(broken)), FailureCode::invalidSample,
         "stroke 1, sample 4"},
        {"truncated template", failureOf(Template::parse(t.serialise().substr(0, 300), "cut.tpl")),
         FailureCode::malformedTemplate, "cut.tpl: line"},
        {"threshold not finite", failureOf(t.check(signers()[2].genuine[5], kInf)),
         FailureCode::invalidArgument, "threshold"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(c.failure) << c.what;
        EXPECT_EQ(c.failure->code, c.code) << c.what;
        EXPECT_NE(c.failure->message.find(c.message), std::string::npos)
            << c.what << ": " << c.failure->message;
        EXPECT_EQ(c.failure->message.find('\n'), std::string::npos) << c.what;
    }
    // With the override, mixed references make a template that compares without pressure.
    EnrolOptions allow;
    allow.allowMixedKinds = true;
    EXPECT_FALSE(Template::enrol(mixed, allow)->usesPressure());
}

}  // namespace
}  // namespace penwell::verify
