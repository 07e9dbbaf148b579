#pragma once
// What the verifier compares: a signature as strokes of timed samples, exactly the data a
// Penwell record holds (position in points, pressure as reported, milliseconds since the
// stroke's touch-down), plus where the source knows it the stroke's start since the first
// stroke's, which a record does not keep. Adapters from records, traces and a controller's
// strokes live with the code that reads those (tools/VerifyInput.h).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "verify/VerifyFailure.h"

namespace penwell::verify {

struct Sample {
    double x = 0.0;
    double y = 0.0;
    double pressure = 0.0;  ///< 0 when the device gives none (finger, mouse)
    std::uint64_t ms = 0;   ///< since the stroke's touch-down

    friend bool operator==(const Sample&, const Sample&) = default;
};

struct Stroke {
    std::vector<Sample> samples;
    /// Milliseconds from the first stroke's touch-down to this one's, when the source knows it.
    std::optional<std::uint64_t> startMs;

    friend bool operator==(const Stroke&, const Stroke&) = default;
};

/// Pen signatures carry pressure; finger (and mouse) signatures do not.
enum class SignatureKind { pen, finger };

struct Signature {
    std::string name;  ///< where it came from, for messages
    std::vector<Stroke> strokes;
};

/// Bounds that keep time and memory in check on any input: a signature is written in seconds,
/// so 10,000 samples (100 s at 100 Hz, 40 s at 240 Hz) is far beyond a real one.
inline constexpr std::size_t kMaxSamples = 10000;
inline constexpr std::size_t kMaxStrokes = 1000;
/// Positions beyond ten million points and pressures beyond a million are no pen's: refused,
/// so that sums of squares stay far from overflow.
inline constexpr double kMaxCoordinate = 1e7;
inline constexpr double kMaxPressure = 1e6;

/// Pen when every stroke is a stylus stroke (its first sample has a pressure above 0), as the
/// component itself tells the kinds apart; finger otherwise.
SignatureKind kindOf(const Signature& signature);

std::string_view kindName(SignatureKind kind);

std::size_t sampleCount(const Signature& signature);

/// Checks that the signature can be compared: at least one sample, at most kMaxSamples and
/// kMaxStrokes, finite positions within kMaxCoordinate, pressures from 0 to kMaxPressure. The
/// failure names the signature and, for a bad sample, the stroke and sample (both counted from 1).
MaybeFailure checkSignature(const Signature& signature);

/// The same signature with every pressure set to 0: what a finger would have given.
Signature withoutPressure(Signature signature);

}  // namespace penwell::verify
