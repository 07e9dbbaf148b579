#pragma once
// Draws a decoded point stream, so a receiver can look at what was signed.

#include <string>

#include "platform/Graphics.h"
#include "platform/Image.h"
#include "tools/Record.h"

namespace penwell::tools {

/// Margin around the ink, in points.
inline constexpr double kRecordImageMargin = 20.0;

/// Black ink `lineWidth` points wide on white, one polyline per stroke (a one-sample stroke
/// shows as a dot). The image spans from the origin, or from the ink if it lies left of or
/// above it, to the largest coordinates, plus the margin. Throws ToolError "<name>: ..." when
/// the record has no samples or the image would be larger than 8192 points on a side.
Image renderRecord(const PointRecord& record, Graphics& graphics, double lineWidth,
                   const std::string& name);

}  // namespace penwell::tools
