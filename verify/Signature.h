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

#include "penwell/format/SampleBatch.h"
#include "penwell/verify/VerifyFailure.h"

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

struct Signature {
    std::string name;  ///< where it came from, for messages
    std::vector<Stroke> strokes;
};

/// Bounds that keep time and memory in check on any input: a signature is written in seconds,
/// so 10,000 samples (100 s at 100 Hz, 40 s at 240 Hz) is far beyond a real one.
inline constexpr std::size_t kMaxSamples = 10000;
inline constexpr std::size_t kMaxStrokes = 1000;
/// Positions and pressures (a record's force) are held to the bounds of every sample
/// (SampleBatch::kMaxCoordinate, SampleBatch::kMaxForce), which also keep sums of squares far
/// from overflow.
inline constexpr double kMaxCoordinate = SampleBatch::kMaxCoordinate;
inline constexpr double kMaxPressure = SampleBatch::kMaxForce;

/// The verifier compares two kinds of signature: a stylus's, whose pressure it uses, and every
/// other. kindOf() answers PointerKind::stylus when every stroke is a stylus stroke (its first
/// sample has a pressure above 0), as the component itself tells the kinds apart, and
/// PointerKind::finger otherwise: a mouse and a pointer of unknown kind give no pressure the
/// verifier could trust, so their signatures are compared as a finger's, never apart.
PointerKind kindOf(const Signature& signature);

/// The kind's word in a template file and in the reports: "pen" for a stylus, "finger" for
/// every other kind. Template files written with these words stay readable.
std::string_view kindName(PointerKind kind);

std::size_t sampleCount(const Signature& signature);

/// Checks that the signature can be compared: at least one sample, at most kMaxSamples and
/// kMaxStrokes, finite positions within kMaxCoordinate, pressures from 0 to kMaxPressure. The
/// failure names the signature and, for a bad sample, the stroke and sample (both counted from 1).
MaybeFailure checkSignature(const Signature& signature);

/// The same signature with every pressure set to 0: what a finger would have given.
Signature withoutPressure(Signature signature);

}  // namespace penwell::verify
