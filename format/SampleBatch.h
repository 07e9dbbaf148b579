#pragma once
// The samples a pointer gives, with the bounds every sample is held to wherever it comes in
// (the signing page's messages, a trace's touches, a host's pointer events, the verifier's
// signatures), stated once here beside the check that holds a batch to them; and the one
// mapping between the pointer kinds and the component's touch types.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "penwell/format/PointerKind.h"

namespace penwell {

/// The component's touch type stands at the toolkit's edge and keeps its own integers; these
/// two are the one mapping between it and the kinds. A finger is the direct touch, a mouse the
/// indirect one; an unknown kind becomes kUnknownTouchType, which the component draws as a
/// finger's and the evidence records as unknown again.
inline constexpr std::int64_t kUnknownTouchType = -1;
std::int64_t touchTypeOf(PointerKind kind);
/// Any type a toolkit reports that is none of the three is unknown.
PointerKind pointerKindOf(std::int64_t touchType);

/// One sample as a device reports it: seconds on the event clock, position in pad points,
/// pressure from 0 to 1 as the device senses it (see SampleBatch). Tilt is kept for the
/// record's future; nothing records it yet.
struct PointerSample {
    double t = 0.0;
    double x = 0.0;
    double y = 0.0;
    double pressure = 0.0;
    double tiltX = 0.0;  ///< degrees, positive towards the right; 0 where unknown
    double tiltY = 0.0;  ///< degrees, positive towards the signer; 0 where unknown
    friend bool operator==(const PointerSample&, const PointerSample&) = default;
};

/// The samples of one pointer event, oldest first, and the bounds that every sample is held
/// to wherever it comes in: the page's messages, a trace's touches, a host's pointer events
/// and the verifier's signatures.
struct SampleBatch {
    /// Seconds on an event clock: from 0 to about 31 years of uptime.
    static constexpr double kMaxTime = 1.0e9;
    /// Points either side of the pad's origin: far beyond any pad (whose sides are at most
    /// 8192 points) and far inside the record's 32-bit fields, so nothing is written wrapped.
    static constexpr double kMaxCoordinate = 1.0e6;
    /// A device's pressure, as browsers and toolkits report it, from 0 to 1.
    static constexpr double kMaxPressure = 1.0;
    /// A force as the record keeps it (thousandths in 32 bits), from 0 to a million: beyond
    /// any pen, and far from where the record's field or a sum of squares would overflow.
    static constexpr double kMaxForce = 1.0e6;

    PointerKind pointer = PointerKind::unknown;
    std::vector<PointerSample> samples;

    /// Whether `v` is a finite number from -kMaxCoordinate to kMaxCoordinate (NaN is not).
    static bool coordinateFits(double v);
    /// Whether `t` is a finite number from 0 to kMaxTime.
    static bool timeFits(double t);
    /// Whether `f` is a force from 0 to kMaxForce.
    static bool forceFits(double f);

    /// Why the batch cannot be taken, naming the first sample at fault ("samples[2]: time
    /// not from 0 to 1000000000 s"), or nothing: a time or position out of bounds or not
    /// finite. A pressure is not checked: drivers report what no pen presses (below 0, above
    /// 1, NaN), which a host holds to the range rather than refuse the stroke.
    std::optional<std::string> fault() const { return faultIn(samples); }
    /// The same check of samples not (yet) held in a batch.
    static std::optional<std::string> faultIn(std::span<const PointerSample> samples);
};

}  // namespace penwell
