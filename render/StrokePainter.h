#pragma once
// The stroke painter that the full redraw and the image export share, so that the pad and the
// exported image always show the same ink. Internal to the component: hosts never call it.

#include <span>

#include "capture/Sample.h"
#include "platform/Geometry.h"
#include "platform/Graphics.h"

namespace penwell::render {

/// The box of every point the painter handles (not of the painted ink: half the line width
/// beyond it is not counted).
struct PointBox {
    Point min;
    Point max;
};

/// Paints the strokes into `context`, which the caller has prepared (line cap, colour,
/// antialiasing) and whose current path it leaves empty.
///
/// - An empty stroke is skipped. A stroke whose first sample has a pressure above 0 is a stylus
///   stroke, every other one is plain.
/// - The first point of a stroke only places the cursor; every later point adds the segment
///   from the cursor to it as a subpath of its own, so segments meet through their round caps.
/// - Stylus strokes are never smoothed; each segment is stroked at once, 2 x the pressure of
///   its end sample wide (0 and below paint nothing).
/// - Plain strokes are drawn through a 4-step Catmull-Rom spline while `smoothing` is on. Their
///   segments are collected in one path and stroked once, `lineWidth` wide.
///
/// Order: oldest stroke first. Plain segments collected so far are stroked, at `lineWidth`,
/// just before each stylus stroke and once at the end, so a stylus segment never paints
/// pending plain segments nor lends them its width, and every plain stroke keeps `lineWidth`
/// in any mix of kinds.
///
/// The cursor is local to this call: the live ink's cursor and context are never touched.
/// With `box`, every handled point widens it: stored samples, or the smoothed points of plain
/// strokes while smoothing is on, first points included.
void paintStrokes(GraphicsContext& context, std::span<const Stroke> strokes, double lineWidth,
                  bool smoothing, PointBox* box = nullptr);

}  // namespace penwell::render
