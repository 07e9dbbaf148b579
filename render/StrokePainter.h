#pragma once
// The stroke painter that the full redraw and the image export share, so that the pad and the
// exported image always show the same ink. Internal to the component: hosts never call it.

#include <cstddef>
#include <span>

#include "penwell/capture/Sample.h"
#include "penwell/platform/Geometry.h"
#include "penwell/platform/Graphics.h"

namespace penwell::render {

/// The box of every point the painter handles (not of the painted ink: half the line width
/// beyond it is not counted).
struct PointBox {
    Point min;
    Point max;
};

/// What plain ink looks like. Stylus strokes take the colour, not the width.
struct Ink {
    double red = 0.0, green = 0.0, blue = 0.0, alpha = 0.0;
    double lineWidth = 0.0;
};

/// Points of plain strokes per band (see paintStrokes). Cairo holds about a kilobyte per point
/// of the path it strokes; with this many a smoothing redraw of 7,000 samples peaks at about
/// 1.1 MB beyond the pad's bitmap, and bands of 2,048 points would pass 2 MB.
inline constexpr std::size_t kPointsPerBand = 1536;

/// Paints the strokes into `context`, whose current path it leaves empty; it sets the context's
/// round line cap and join, antialiasing, colour and width itself. Bands are layers of the
/// context (beginLayer), so a scaled bitmap gets scaled bands.
///
/// - An empty stroke is skipped. A stroke whose first sample has a pressure above 0 is a stylus
///   stroke, every other one is plain.
/// - A plain stroke is one polyline subpath through its points, drawn through a 4-step
///   Catmull-Rom spline while `smoothing` is on; a lone point adds none. With round caps and
///   joins it covers what each of its segments stroked with round caps would cover.
/// - Consecutive plain strokes form a run, stroked once, `ink.lineWidth` wide, so translucent
///   ink is not darker where they overlap. A run of more than `pointsPerBand` points is
///   painted in bands of rows of about that many points, each into a bitmap of its own with
///   the segments that reach it, then laid over the context: the same pixels (translucent
///   ink within one 8-bit rounding step), with memory bounded by the band instead of growing
///   with the signature. A vector context takes every run whole: bands would turn its ink
///   into bitmaps, and a document holds a long path without a bitmap to bound.
/// - Stylus strokes are never smoothed; each segment is a subpath of its own, stroked at once,
///   2 x the pressure of its end sample wide (0 and below paint nothing), so segments meet
///   through their round caps.
///
/// Order: oldest stroke first; a run is painted whole before the stylus stroke after it, so a
/// stylus segment never paints plain ink nor lends it its width.
///
/// No buffer grows with the number of smoothed points: they stream from the spline into the
/// path, once to survey each run and once per band. The cursor is local to this call: the live
/// ink's cursor and context are never touched. With `box`, every handled point widens it:
/// stored samples, or the smoothed points of plain strokes while smoothing is on, first points
/// included.
void paintStrokes(GraphicsContext& context, std::span<const Stroke> strokes, const Ink& ink,
                  bool smoothing, PointBox* box = nullptr,
                  std::size_t pointsPerBand = kPointsPerBand);

/// The box paintStrokes widens `box` by for the same strokes and smoothing, without painting:
/// for sizing an output before painting into it. Starts from `box`.
PointBox pointBox(std::span<const Stroke> strokes, bool smoothing, PointBox box);

}  // namespace penwell::render
