#pragma once
// Synthetic signers for development and tests, from the sigma-lognormal model of rapid
// handwriting movements (Plamondon's kinematic theory): a pen-down stroke's velocity is the
// sum of a few lognormal impulses, each moving the pen a distance D along a circular arc from
// angle θs to θe. A writer is a set of such strokes; each genuine signature varies the
// parameters by the writer's own amount; a forger copies the shape but moves at another speed,
// with larger shape errors and a pressure of their own. Real signature databases are licensed
// for research and stay outside the project.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "verify/Evaluation.h"

namespace penwell::verify {

struct SyntheticOptions {
    std::size_t signers = 20;
    std::size_t genuine = 20;    ///< per signer
    std::size_t forgeries = 10;  ///< per signer
    std::uint64_t seed = 1;
    double sampleRateHz = 100.0;  ///< like the tablets of the public data sets
    bool pressure = true;         ///< a pen; false gives finger signatures (pressure 0)
};

/// Signers named "s01", "s02", ...; signatures named "<signer>/genuine/NN" and
/// "<signer>/forgery/NN". Positions are on a 600 x 250 point pad, times whole milliseconds,
/// strokes carry their start. The same options give the same signers on every platform (the
/// generator draws from its own arithmetic, not from the standard library's distributions).
std::vector<SignerSet> makeSyntheticSigners(const SyntheticOptions& options);

}  // namespace penwell::verify
