#pragma once
// The point-stream record: every finished stroke and sample as little-endian integers, with no
// header, version or padding.
//
//   int32 lines
//   per stroke:  int32 count
//     per sample: uint32 X, uint32 Y   coordinate truncated toward zero, low 32 bits
//                 uint32 P             pressure x 1000 truncated toward zero, low 32 bits
//                 uint32 T             milliseconds since the stroke's touch-down, low 32 bits
//
// Negative coordinates therefore arrive in two's complement (-3.7 -> 4294967293).

#include <cstdint>
#include <vector>

#include "capture/Sample.h"
#include "platform/Bytes.h"

namespace penwell {

/// The low 32 bits of `value` truncated toward zero. NaN gives 0 and values beyond the signed
/// 64-bit range saturate to its limits first: converting those directly would be undefined.
std::uint32_t recordInteger(double value);

/// A pressure whose P field is `field` read as a signed value: the inverse of the record's
/// pressure conversion, so that restoring a received record and writing it again gives the
/// same bytes. `field / 1000.0` alone is not: 1001 / 1000.0 * 1000.0 is 1000.9999999999999,
/// which truncates to 1000.
double recordPressure(std::uint32_t field);

/// The record of `strokes`, in order.
Bytes encodePointStream(const std::vector<Stroke>& strokes);

}  // namespace penwell
