#pragma once
// Synthetic signers for development, tuning and tests, built to be as hard as real data: their
// genuine signatures vary, and their skilled forgeries differ from them, by the figures of a
// real tablet set (kTabletSetFigures, verify/SetFigures.h), which a test measures on the
// generated set. docs/verification.md describes the model and its parameters.
//
// Movements come from the sigma-lognormal model of handwriting (Plamondon's kinematic theory):
// a stroke's velocity is a sum of lognormal impulses, each moving the pen along a circular arc.
// A writer is a plan of such strokes. A genuine signature varies the plan by the writer's own
// amount, in two sessions that differ a little. A forger copies the shape closely (the same
// strokes, the same path length, a little more shape error) but writes it at their own tempo,
// rhythm and pressure; some forgers come very close.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "penwell/verify/Evaluation.h"
#include "penwell/verify/SetFigures.h"

namespace penwell::verify {

struct SyntheticOptions {
    std::size_t signers = 40;
    std::size_t genuine = 20;    ///< per signer: the first half in one session, the rest later
    std::size_t forgeries = 20;  ///< per signer, five by each forger
    std::uint64_t seed = 1;
    double sampleRateHz = 100.0;  ///< like the tablets of the public data sets
    bool pressure = true;         ///< a pen; false gives finger signatures (pressure 0)
};

/// How many skilled forgeries each forger writes.
inline constexpr std::size_t kForgeriesPerForger = 5;

/// Signers named "s01", "s02", ...; signatures named "<signer>/genuine/NN" and
/// "<signer>/forgery/NN". Positions are whole points on a 600 x 250 point pad, times whole
/// milliseconds, pressure in thousandths; strokes carry their start. The same options give the
/// same signers on every platform (the generator draws from its own arithmetic, not from the
/// standard library's distributions).
std::vector<SignerSet> makeSyntheticSigners(const SyntheticOptions& options);

}  // namespace penwell::verify
