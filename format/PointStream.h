#pragma once
// The point stream: every finished stroke and sample as little-endian integers, with no
// header, version or padding. The sender encrypts it as the record and seals it inside the
// evidence; the receiver decodes it. Its encoder and decoder live here, side by side.
//
//   int32 lines
//   per stroke:  int32 count
//     per sample: uint32 X, uint32 Y   coordinate truncated toward zero, low 32 bits
//                 uint32 P             pressure x 1000 truncated toward zero, low 32 bits
//                 uint32 T             milliseconds since the stroke's touch-down, low 32 bits
//
// Negative coordinates therefore arrive in two's complement (-3.7 -> 4294967293).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "penwell/platform/Bytes.h"
#include "penwell/platform/Result.h"

namespace penwell {

/// One sample as the stream stores it.
struct RecordSample {
    std::uint32_t x = 0;  ///< position truncated toward zero, low 32 bits (two's complement)
    std::uint32_t y = 0;
    std::uint32_t p = 0;  ///< pressure in thousandths, truncated
    std::uint32_t t = 0;  ///< milliseconds since the stroke's touch-down

    friend bool operator==(const RecordSample&, const RecordSample&) = default;
};

using RecordStroke = std::vector<RecordSample>;
using PointRecord = std::vector<RecordStroke>;

/// Size of the stroke count and of each sample count.
inline constexpr std::size_t kCountSize = 4;
/// Size of one sample: X, Y, P, T.
inline constexpr std::size_t kSampleSize = 16;

/// The low 32 bits of `value` truncated toward zero: how a position or a pressure in
/// thousandths becomes a field. NaN gives 0 and values beyond the signed 64-bit range
/// saturate to its limits first: converting those directly would be undefined.
std::uint32_t recordInteger(double value);

/// A pressure whose P field is `field` read as a signed value: the inverse of the pressure
/// conversion, so that restoring a received record and writing it again gives the same bytes.
/// `field / 1000.0` alone is not: 1001 / 1000.0 * 1000.0 is 1000.9999999999999, which
/// truncates to 1000.
double recordPressure(std::uint32_t field);

/// A coordinate field read back as the signed value it was written from (positions left of
/// or above the pad are negative).
inline std::int32_t signedField(std::uint32_t field) {
    return static_cast<std::int32_t>(field);
}

/// The bytes of `record`; the inverse of decodePointStream.
Bytes encodePointStream(const PointRecord& record);

/// Parses a whole stream. Fails with one line prefixed with `name` (kFormatErrorDomain,
/// FormatError::pointStream) when a count is negative, runs past the end, or bytes are left
/// over after the last stroke. A hostile count never allocates more than the input's size.
Result<PointRecord> decodePointStream(ByteView bytes, const std::string& name);

/// The stroke count a stream starts with, without reading further: nullopt when there are
/// fewer than 4 bytes or the count is negative.
std::optional<std::size_t> pointStreamStrokes(ByteView bytes);

/// Total number of samples in all strokes.
std::size_t sampleCount(const PointRecord& record);

}  // namespace penwell
