// Enrolment, the template file (its round trip, the migration of version 1, its refusals) and
// what a verdict says.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "penwell/verify/Synthetic.h"
#include "penwell/verify/Template.h"

namespace penwell::verify {
namespace {

const std::vector<SignerSet>& signers() {
    static const std::vector<SignerSet> set = [] {
        SyntheticOptions options;
        options.signers = 3;
        options.genuine = 10;
        options.forgeries = 5;
        options.seed = 7;
        return makeSyntheticSigners(options);
    }();
    return set;
}

std::vector<Signature> firstGenuine(std::size_t signer, std::size_t count) {
    const auto& g = signers()[signer].genuine;
    return {g.begin(), g.begin() + static_cast<std::ptrdiff_t>(count)};
}

MaybeFailure failureOf(const auto& outcome) {
    if (outcome) {
        return std::nullopt;
    }
    return outcome.error();
}

/// The text a version 1 build wrote for these references: the same reference lines, one table
/// of (here made up) distances.
std::string versionOne(const Template& t) {
    std::string text = t.serialise();
    text.replace(0, text.find('\n'), "penwell-verify-template 1");
    text.erase(text.find("distances "));
    text += "distances\n";
    const std::size_t k = t.references().size();
    for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = 0; j < k; ++j) {
            text += (j > 0 ? " " : "") + std::string(i == j ? "0" : "0.5");
        }
        text += '\n';
    }
    return text + "end\n";
}

TEST(Template, FileRoundTripsExactly) {
    const Template t = Template::enrol(firstGenuine(1, 4)).value();
    const std::string text = t.serialise();
    EXPECT_EQ(text.rfind("penwell-verify-template 2\nkind pen\n", 0), 0u);
    for (const char* table :
         {"\ndistances position\n", "\ndistances velocity\n", "\ndistances direction\n",
          "\ndistances pressure\n", "\ndistances rhythm\n", "\ndistances pressure-shape\n"}) {
        EXPECT_NE(text.find(table), std::string::npos) << table;
    }
    const Template back = Template::parse(text, "t.tpl").value();
    EXPECT_EQ(back.serialise(), text);
    EXPECT_EQ(back.migratedFrom(), 0);
    const Signature& forgery = signers()[1].forgeries[0];
    EXPECT_EQ(back.check(forgery)->score, t.check(forgery)->score);
    // A finger template has no tables of pressure.
    std::vector<Signature> finger;
    for (const Signature& s : firstGenuine(1, 3)) {
        finger.push_back(withoutPressure(s));
    }
    const std::string fingerText = Template::enrol(finger)->serialise();
    EXPECT_NE(fingerText.find("kind finger\npressure-scale 1\n"), std::string::npos);
    EXPECT_EQ(fingerText.find("distances pressure"), std::string::npos);
    EXPECT_EQ(Template::parse(fingerText, "f.tpl")->serialise(), fingerText);
}

TEST(Template, VersionOneIsMeasuredAgain) {
    const Template t = Template::enrol(firstGenuine(0, 5)).value();
    const Template old = Template::parse(versionOne(t), "old.tpl").value();
    EXPECT_EQ(old.migratedFrom(), 1);
    // Its references measured as enrolment measures them: the same template, written anew.
    EXPECT_EQ(old.serialise(), t.serialise());
    const Signature& query = signers()[0].genuine[7];
    EXPECT_EQ(old.check(query)->score, t.check(query)->score);
    // A version 1 file is still checked for its form.
    std::string broken = versionOne(t);
    broken.replace(broken.rfind("0.5"), 3, "-1");
    EXPECT_EQ(codeOf(*failureOf(Template::parse(broken, "old.tpl"))),
              FailureCode::malformedTemplate);
}

TEST(Template, RefusalsNameTheFault) {
    const Template t = Template::enrol(firstGenuine(2, 3)).value();
    auto mixed = firstGenuine(2, 3);
    mixed[1] = withoutPressure(mixed[1]);
    Signature empty{"empty.json", {Stroke{}}};
    Signature broken = signers()[2].genuine[5];
    broken.strokes[0].samples[3].x = std::nan("");
    std::string otherVersion = t.serialise();
    otherVersion.replace(otherVersion.find(" 2\n"), 3, " 3\n");
    std::string noRhythm = t.serialise();
    noRhythm.replace(noRhythm.find("distances rhythm"), 16, "distances tempo");
    std::string asymmetric = t.serialise();
    const std::size_t row = asymmetric.find('\n', asymmetric.find("distances velocity")) + 1;
    asymmetric.replace(row, 1, "7");  // a non-zero diagonal

    struct Case {
        const char* what;
        MaybeFailure failure;
        FailureCode code;
        const char* message;
    };
    const Case cases[] = {
        {"two references", failureOf(Template::enrol(firstGenuine(2, 2))),
         FailureCode::tooFewReferences, "at least 3 references"},
        {"empty query", failureOf(t.check(empty)), FailureCode::emptySignature,
         "empty.json: empty signature"},
        {"mixed kinds", failureOf(Template::enrol(mixed)), FailureCode::mixedKinds,
         "mix pen and finger"},
        {"a later version", failureOf(Template::parse(otherVersion, "new.tpl")),
         FailureCode::wrongVersion,
         "new.tpl: template version 3; this build reads versions 1 to 2"},
        {"not finite", failureOf(t.check(broken)), FailureCode::invalidSample,
         "stroke 1, sample 4"},
        {"truncated template", failureOf(Template::parse(t.serialise().substr(0, 300), "cut.tpl")),
         FailureCode::malformedTemplate, "cut.tpl: line"},
        {"a table missing", failureOf(Template::parse(noRhythm, "t.tpl")),
         FailureCode::malformedTemplate, "expected \"distances rhythm\""},
        {"a table not symmetric", failureOf(Template::parse(asymmetric, "t.tpl")),
         FailureCode::malformedTemplate, "not symmetric"},
        {"threshold not finite",
         failureOf(t.check(signers()[2].genuine[5], std::numeric_limits<double>::infinity())),
         FailureCode::invalidArgument, "threshold"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(c.failure) << c.what;
        EXPECT_EQ(c.failure->domain, kVerifyErrorDomain) << c.what;
        EXPECT_EQ(codeOf(*c.failure), c.code) << c.what;
        EXPECT_NE(c.failure->message.find(c.message), std::string::npos)
            << c.what << ": " << c.failure->message;
        EXPECT_EQ(c.failure->message.find('\n'), std::string::npos) << c.what;
    }
    // With the override, mixed references make a template that compares without pressure.
    EnrolOptions allow;
    allow.allowMixedKinds = true;
    EXPECT_FALSE(Template::enrol(mixed, allow)->usesPressure());
}

TEST(Verdict, ScoreIgnoresTranslationScaleAndTimeOffset) {
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
        EXPECT_NEAR(t.check(moved)->score, score, 1e-6) << c.what;
    }
}

TEST(Verdict, SaysWhichComponentsAndHowFar) {
    const Template t = Template::enrol(firstGenuine(0, 5)).value();
    const Verdict genuine = t.check(signers()[0].genuine[8]).value();
    ASSERT_EQ(genuine.components.size(), kComponents);
    const char* names[] = {"position",       "velocity",       "direction",     "pressure",
                           "rhythm",         "pressure-shape", "pen-down time", "strokes",
                           "path length",    "mean speed",     "speed spread",  "mean pressure",
                           "pressure spread"};
    double sum = 0.0, weights = 0.0;
    for (std::size_t c = 0; c < kComponents; ++c) {
        EXPECT_EQ(genuine.components[c].name, names[c]);
        EXPECT_GT(genuine.components[c].spread, 0.0) << names[c];
        sum += genuine.components[c].weight * genuine.components[c].z;
        weights += genuine.components[c].weight;
    }
    EXPECT_NEAR(genuine.score, sum / weights, 1e-12);
    EXPECT_TRUE(genuine.pressureUsed);
    EXPECT_EQ(genuine.threshold, kDefaultThreshold);
    // The same signature written at half the speed: its pen-down time grows by log 2 = 0.69,
    // and the mean speed falls by as much, many of this signer's spreads: the two come first.
    Signature slow = signers()[0].genuine[8];
    for (Stroke& stroke : slow.strokes) {
        for (Sample& s : stroke.samples) {
            s.ms *= 2;
        }
    }
    const Verdict v = t.check(slow).value();
    EXPECT_NEAR(v.components[6].value - genuine.components[6].value, std::log(2.0), 0.01);
    EXPECT_GT(v.components[6].z, 5.0);
    EXPECT_GT(v.components[9].z, 5.0);
    std::vector<Component> ranked = v.components;
    std::sort(ranked.begin(), ranked.end(),
              [](const auto& a, const auto& b) { return a.weight * a.z > b.weight * b.z; });
    EXPECT_TRUE((ranked[0].name == "pen-down time" && ranked[1].name == "mean speed") ||
                (ranked[0].name == "mean speed" && ranked[1].name == "pen-down time"))
        << ranked[0].name << ", " << ranked[1].name;
    EXPECT_GT(v.score, genuine.score + 0.4);
    // A finger query against a pen template: compared without pressure, and said so.
    const Verdict finger = t.check(withoutPressure(signers()[0].genuine[8])).value();
    EXPECT_FALSE(finger.pressureUsed);
    EXPECT_EQ(finger.threshold, kDefaultThresholdWithoutPressure);
    EXPECT_EQ(finger.components.size(), kComponents - 4);
    for (const Component& c : finger.components) {
        EXPECT_EQ(std::string(c.name).find("pressure"), std::string::npos) << c.name;
    }
}

}  // namespace
}  // namespace penwell::verify
