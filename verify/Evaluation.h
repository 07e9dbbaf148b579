#pragma once
// The standard protocol of online signature verification over a set of signers: references
// drawn at random from each signer's first genuine signatures, the rest of them as genuine
// tests, the signer's skilled forgeries, and other signers' genuine signatures as random
// forgeries. Error rates are fractions (0.05 is 5%).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "penwell/verify/Signature.h"
#include "penwell/verify/VerifyFailure.h"

namespace penwell::verify {

struct SignerSet {
    std::string name;
    std::vector<Signature> genuine;    ///< in the order they were written
    std::vector<Signature> forgeries;  ///< skilled forgeries of this signer; may be empty
};

struct EvaluationOptions {
    std::size_t references = 5;  ///< drawn per signer and draw
    std::size_t draws = 10;
    std::size_t pool = 10;  ///< references come from the first `pool` genuine signatures
    std::uint64_t seed = 1;
    /// Which results: with pressure as the signatures give it ("pen"), and with pressure
    /// removed everywhere ("finger", as a finger would give). Pen results need pen signatures:
    /// a set without pressure has finger results only.
    bool pen = true;
    bool finger = true;
};

/// A point of the detection-error trade-off: at some threshold, the false-acceptance and the
/// false-rejection rate.
struct DetPoint {
    double threshold = 0.0;
    double falseAcceptance = 0.0;
    double falseRejection = 0.0;
};

struct ErrorRate {
    double eer = 0.0;        ///< where false acceptance and false rejection meet
    double threshold = 0.0;  ///< the score at which they meet
};

/// One signer's skilled-forgery result over all their draws, with a threshold of their own.
struct SignerResult {
    std::string name;
    ErrorRate skilled;
};

/// The results of one mode (with or without pressure).
struct ModeReport {
    bool pressure = false;  ///< "pen": pressure used where the signatures give it
    std::size_t genuineTests = 0;
    std::size_t skilledTests = 0;
    std::size_t randomTests = 0;
    bool skilled = false;               ///< whether any skilled forgery was tested
    ErrorRate skilledGlobal;            ///< one threshold for everyone
    double skilledPerSigner = 0.0;      ///< mean of the signers' own equal error rates
    std::vector<SignerResult> signers;  ///< signers with skilled forgeries, in the set's order
    ErrorRate randomGlobal;
    /// At the verifier's default threshold for the mode: what a deployment without its own
    /// threshold would see.
    double defaultThreshold = 0.0;
    DetPoint skilledAtDefault;
    DetPoint randomAtDefault;
    std::vector<DetPoint> skilledDet;  ///< at fixed false-acceptance rates
    std::vector<DetPoint> randomDet;
    std::vector<DetPoint> skilledCurve;  ///< the whole trade-off, for a plot
    std::vector<DetPoint> randomCurve;
};

struct EvaluationReport {
    std::size_t signers = 0;           ///< signers that took part
    std::vector<std::string> skipped;  ///< one line each: a signer with too few genuine signatures
    std::vector<ModeReport> modes;     ///< pen first, when both
};

/// The equal error rate of two score lists (lower scores mean genuine; a score at or below the
/// threshold is accepted), interpolated between the two thresholds where the rates cross.
/// Both lists must be non-empty.
ErrorRate equalErrorRate(std::vector<double> genuine, std::vector<double> impostor);

/// False acceptance and rejection at one threshold. Both lists must be sorted and non-empty.
DetPoint ratesAt(const std::vector<double>& genuine, const std::vector<double>& impostor,
                 double threshold);

/// The false-rejection rate at the least threshold whose false-acceptance rate reaches each of
/// 0.1%, 0.2%, 0.5%, 1%, 2%, 5%, 10%, 20% and 40%; rates finer than one impostor score, and
/// repeats, are left out.
std::vector<DetPoint> detPoints(std::vector<double> genuine, std::vector<double> impostor);

/// The rates at every score of either list, in rising order of threshold, thinned to at most
/// `points` (the first and last kept).
std::vector<DetPoint> detCurve(std::vector<double> genuine, std::vector<double> impostor,
                               std::size_t points = 400);

/// Runs the protocol. Signers with no more genuine signatures than `references` (none would be
/// left to test) are skipped and named in the report. Refuses references below
/// kMinReferences or above `pool`, no draws, no mode, fewer than two usable signers, and any
/// signature the verifier refuses (the failure names it).
Result<EvaluationReport> evaluate(const std::vector<SignerSet>& signers,
                                  const EvaluationOptions& options);

}  // namespace penwell::verify
