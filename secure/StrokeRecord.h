#pragma once
// The controller's strokes as the point stream (format/PointStream.h) holds them, and back:
// the one place where a sample's doubles become the stream's integers.

#include <vector>

#include "penwell/capture/Sample.h"
#include "penwell/format/PointStream.h"

namespace penwell {

/// The record of `lines`, in order, through recordInteger: what getSignatureData encrypts and
/// the evidence seals.
PointRecord recordOf(const std::vector<Stroke>& lines);

/// The strokes a receiver restores from a record: signed positions, pressure from thousandths
/// (signed too, through recordPressure), times as recorded. recordOf gives the record back
/// exactly, for every value of every field.
std::vector<Stroke> strokesOf(const PointRecord& record);

}  // namespace penwell
