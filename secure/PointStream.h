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

/// The record of `strokes`, in order.
Bytes encodePointStream(const std::vector<Stroke>& strokes);

}  // namespace penwell
