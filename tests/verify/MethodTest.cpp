// The method on synthetic signers as hard as the real tablet set (verify/Synthetic.h): the
// goals it was built for, kept as a guard against changes that lose them. A set of its own
// (seed 5), not the one the constants were tuned on (seed 1).

#include <gtest/gtest.h>

#include "penwell/verify/Evaluation.h"
#include "penwell/verify/Synthetic.h"

namespace penwell::verify {
namespace {

TEST(Method, MeetsItsGoalsOnTheSyntheticSet) {
    SyntheticOptions synthetic;
    synthetic.signers = 40;
    synthetic.seed = 5;
    EvaluationOptions options;
    options.draws = 1;
    const EvaluationReport report = evaluate(makeSyntheticSigners(synthetic), options).value();
    ASSERT_EQ(report.modes.size(), 2u);
    const ModeReport& pen = report.modes[0];
    const ModeReport& finger = report.modes[1];
    EXPECT_EQ(pen.skilledTests, 40u * 20u);
    EXPECT_EQ(pen.randomTests, 40u * 39u);
    // Pen: skilled forgeries at most 5 % with one threshold and 2 % with each signer's own,
    // random forgeries at most 0.5 %.
    EXPECT_LE(pen.skilledGlobal.eer, 0.05);
    EXPECT_LE(pen.skilledPerSigner, 0.02);
    EXPECT_LE(pen.randomGlobal.eer, 0.005);
    // Finger, without pressure: at most 10 % and 5 %.
    EXPECT_LE(finger.skilledGlobal.eer, 0.10);
    EXPECT_LE(finger.skilledPerSigner, 0.05);
    EXPECT_LE(finger.randomGlobal.eer, 0.005);
    // Pressure helps, and the default thresholds lie near where the rates meet.
    EXPECT_LT(pen.skilledGlobal.eer, finger.skilledGlobal.eer);
    EXPECT_NEAR(pen.skilledGlobal.threshold, pen.defaultThreshold, 0.5);
    EXPECT_NEAR(finger.skilledGlobal.threshold, finger.defaultThreshold, 0.5);
}

}  // namespace
}  // namespace penwell::verify
