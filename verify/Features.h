#pragma once
// What the verifier measures on a signature: per-sample features in groups, each group warped
// on its own (verify/Dtw.h), and global features, each compared with the references' as a
// z-score. docs/verification.md explains each choice and constant.

#include <array>
#include <cstddef>
#include <string_view>
#include <vector>

#include "penwell/verify/Signature.h"

namespace penwell::verify {

/// The groups of per-sample features; pressure is last, so that a signature without it simply
/// has one group fewer.
enum class FeatureGroup { position, velocity, direction, pressure };
inline constexpr std::size_t kFeatureGroups = 4;
/// Features per group, and in all.
inline constexpr std::array<std::size_t, kFeatureGroups> kGroupSize{2, 2, 2, 2};
inline constexpr std::size_t kSampleFeatures = 8;

std::string_view groupName(FeatureGroup group);

/// Seconds that turn a speed (normalised units per second) into a number of the order of the
/// normalised positions, and the square of it for the rate of change of pressure.
inline constexpr double kVelocityTime = 0.15;
/// Samples on each side that a derivative is fitted over (a least-squares slope over five
/// samples, as in the field's feature sets): enough to quieten whole-point positions.
inline constexpr std::size_t kDerivativeReach = 2;
/// The least pressure scale: a record keeps pressure in thousandths, and a smaller divisor
/// would blow faint pressures up beyond any other feature.
inline constexpr double kMinPressureScale = 0.001;

/// How a signature's features are scaled; the same for a template's references and every
/// query checked against it.
struct FeatureScales {
    bool pressure = false;       ///< whether pressure is a feature
    double pressureScale = 1.0;  ///< the references' mean pressure: pressure is divided by it
};

/// Signatures longer than this are warped at a lower rate: blocks of consecutive samples of a
/// stroke are averaged, as few per block as bring the length within it. Handwriting holds
/// nothing much above 10 Hz, so a 500-sample signature of 2 s still has 250 samples per
/// second, and the warping's cost stays bounded on a 240 Hz pen.
inline constexpr std::size_t kMaxWarpSamples = 500;

/// Per-sample features of one signature, the strokes one after the other, stored feature by
/// feature (`columns[f * length + i]` is feature f of sample i) so that the warping's cost loop
/// vectorises. Features, in order:
///   position:  x, y less the centroid, divided by the root-mean-square distance from it;
///   velocity:  the derivative of those positions per second, times kVelocityTime;
///   direction: cos, sin of the direction of writing (0, 0 where the pen stands still);
///   pressure:  pressure over scales.pressureScale, and its derivative times kVelocityTime
///              (only when scales.pressure).
/// Beside them, for the warping's path: each sample's time, as the share of the pen-down time
/// before it (the strokes joined, pen-up time left out), and with pressure its pressure over
/// the signature's own mean pressure. Translation, uniform scale and a constant shift of the
/// timestamps change nothing.
struct SampleFeatures {
    std::size_t length = 0;
    std::size_t groups = 0;  ///< 3 without pressure, 4 with
    std::vector<float> columns;
    std::vector<float> time;
    std::vector<float> relativePressure;  ///< empty without pressure

    const float* feature(std::size_t f) const { return columns.data() + f * length; }
};

/// The signature must have passed checkSignature().
SampleFeatures sampleFeatures(const Signature& signature, const FeatureScales& scales);

/// Global features. Most are logarithms, so that a z-score weighs a ratio the same whichever
/// way it goes. Lengths are in units of the signature's size (the root-mean-square distance of
/// its samples from their centroid), so that like the per-sample features they do not change
/// with the pad's scale. The last two need pressure.
enum class GlobalFeature {
    penDown,         ///< log of the time with the pen down, seconds
    strokes,         ///< the number of strokes
    pathLength,      ///< log of the ink's length over the signature's size
    meanSpeed,       ///< log of that length over the pen-down time
    speedSpread,     ///< log of the samples' speeds' coefficient of variation
    meanPressure,    ///< log of the mean pressure over the pressure scale
    pressureSpread,  ///< log of the pressures' coefficient of variation
};
inline constexpr std::size_t kGlobalFeatures = 7;
inline constexpr std::size_t kGlobalFeaturesWithoutPressure = 5;

std::string_view globalName(GlobalFeature feature);

using GlobalValues = std::array<double, kGlobalFeatures>;

/// The signature must have passed checkSignature(). Without scales.pressure the pressure
/// features are 0.
GlobalValues globalFeatures(const Signature& signature, const FeatureScales& scales);

}  // namespace penwell::verify
