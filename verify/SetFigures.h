#pragma once
// The aggregate figures that say how hard a set of signers is: how much each signer's genuine
// signatures vary, and how far their skilled forgeries differ from them. The synthetic signers
// (verify/Synthetic.h) are built to match the figures of a real tablet set, and a test measures
// the generated set with measureFigures() to check that they do.

#include <vector>

#include "penwell/verify/Evaluation.h"

namespace penwell::verify {

/// A figure across signers: each signer has one value, and these are their median and their
/// 10th and 90th percentiles.
struct Spread {
    double median = 0.0;
    double low = 0.0;   ///< 10th percentile
    double high = 0.0;  ///< 90th percentile
};

/// Durations run from the first touch-down to the last lift; the pen-down time is the sum of
/// the strokes' own durations; the path length is the ink's (the sum of the distances between
/// successive samples of a stroke); the speed is path length over pen-down time; the mean
/// pressure is over every sample.
struct SetFigures {
    // Each signer's genuine signatures among themselves.
    Spread durationCv;  ///< coefficient of variation (standard deviation over mean) of duration
    Spread pathCv;      ///< of the path length
    Spread pressureCv;  ///< of the mean pressure; 0 without pressure
    Spread strokes;     ///< the signer's mean number of strokes
    Spread duration;    ///< the signer's mean duration, seconds
    /// Of all genuine signatures' time together, the share with the pen up between strokes
    /// (what a 100 Hz tablet reports as pen-up rows).
    double penUpShare = 0.0;
    // Each signer's skilled forgeries against their genuine signatures: the mean over the
    // forgeries divided by the mean over the genuine signatures.
    Spread strokeRatio;
    Spread pathRatio;
    Spread durationRatio;
    Spread speedRatio;
    Spread pressureRatio;  ///< 0 without pressure
};

/// A public tablet set of 40 writers (100 Hz, 20 genuine signatures from two sessions and 20
/// skilled forgeries each, made by forgers who had seen the signature written), measured
/// outside the project after conversion into traces as a pad records them. The data itself is
/// licensed for research and never enters the project; these figures are all it gives.
inline constexpr SetFigures kTabletSetFigures{
    .durationCv = {0.065, 0.048, 0.12},
    .pathCv = {0.075, 0.050, 0.127},
    .pressureCv = {0.081, 0.038, 0.145},
    .strokes = {5.0, 2.5, 10.0},
    .duration = {2.1, 1.4, 3.8},
    .penUpShare = 0.03,
    .strokeRatio = {1.00, 0.86, 1.16},
    .pathRatio = {0.99, 0.90, 1.25},
    .durationRatio = {1.28, 1.06, 1.72},
    .speedRatio = {0.83, 0.62, 1.04},
    .pressureRatio = {0.79, 0.63, 1.17},
};

/// The figures of a set. Durations and the pen-up share need the strokes' starts
/// (Stroke::startMs); where a signature lacks them its duration is its pen-down time. Signers
/// with fewer than two genuine signatures are left out of every figure, signers without
/// forgeries out of the ratios; a figure no signer gives is 0.
SetFigures measureFigures(const std::vector<SignerSet>& signers);

/// The value at fraction q (0 to 1) of the values, interpolated between the two nearest
/// (0 for no values).
double percentile(std::vector<double> values, double q);

}  // namespace penwell::verify
