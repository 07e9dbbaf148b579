#pragma once
// The decrypted point stream as the receiver reads it, and the conversions the component
// applies when it writes one. Little-endian, no header: int32 stroke count; per stroke an
// int32 sample count; per sample four uint32 fields X, Y, P, T.

#include <cstdint>
#include <string>
#include <vector>

#include "capture/Sample.h"
#include "platform/Bytes.h"
#include "platform/Result.h"

namespace penwell::receiver {

/// One sample as the record stores it.
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

/// Parses a whole record. Fails with a one-line description (prefixed with `name`, domain
/// kSignatureErrorDomain, code SignatureError::corrupt) when a count is negative, runs past the
/// end, or bytes are left over after the last stroke.
Result<PointRecord> decodeRecord(ByteView bytes, const std::string& name);

/// The bytes of a record; the inverse of decodeRecord.
Bytes encodeRecord(const PointRecord& record);

/// The record the component writes for these finished strokes, through the component's own
/// conversion (penwell::recordInteger).
PointRecord recordOf(const std::vector<Stroke>& lines);

/// The strokes a receiver restores from a record: signed positions, pressure from thousandths
/// (signed too, through penwell::recordPressure), times as recorded. recordOf gives the
/// record back exactly, for every value of every field.
std::vector<Stroke> strokesOf(const PointRecord& record);

/// A coordinate field read back as the signed value it was written from (positions left of
/// or above the pad are negative).
inline std::int32_t signedField(std::uint32_t field) {
    return static_cast<std::int32_t>(field);
}

/// Total number of samples in all strokes.
std::size_t sampleCount(const PointRecord& record);

/// The time spent writing: the sum over strokes of each one's last sample time, in ms (pauses
/// between strokes are not in the record).
std::uint64_t writingMilliseconds(const PointRecord& record);

}  // namespace penwell::receiver
