#pragma once
// The per-sample features the warping compares, and the constants that weigh them
// (docs/verification.md explains each choice).

#include "verify/Dtw.h"
#include "verify/Signature.h"

namespace penwell::verify {

/// Seconds that turn a speed (normalised units per second) into a number of the order of the
/// normalised positions, so that neither outweighs the other.
inline constexpr double kVelocityTime = 0.15;
/// Weights of the feature groups in the Euclidean sample distance.
inline constexpr double kPositionWeight = 1.0;
inline constexpr double kVelocityWeight = 1.0;
inline constexpr double kPressureWeight = 1.0;
inline constexpr double kAngleWeight = 0.5;

/// The least pressure scale: a record keeps pressure in thousandths, and a smaller divisor
/// would blow faint pressures up beyond any other feature.
inline constexpr double kMinPressureScale = 0.001;

/// How a signature's features are scaled; the same for a template's references and every
/// query checked against it.
struct FeatureScales {
    bool pressure = false;       ///< whether pressure is a feature
    double pressureScale = 1.0;  ///< the references' mean pressure: pressure is divided by it
};

/// One row per sample, the strokes one after the other:
///   x, y: position less the centroid, divided by the root-mean-square distance from it;
///   vx, vy: the velocity of those positions per second (central differences over the
///           timestamps within the stroke), times kVelocityTime;
///   cos, sin of the direction of writing (0, 0 where the pen stands still);
///   p: pressure divided by scales.pressureScale (only when scales.pressure).
/// Each group is multiplied by its weight. Translation, uniform scale and a constant shift
/// of the timestamps leave every row as it is. The signature must have passed
/// checkSignature().
FeatureSequence extractFeatures(const Signature& signature, const FeatureScales& scales);

}  // namespace penwell::verify
