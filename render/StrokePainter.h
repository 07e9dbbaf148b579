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

/// Paints the strokes into `context`, which the caller has prepared (round line cap, colour,
/// antialiasing) and whose current path it leaves empty. It sets round joins itself.
///
/// - An empty stroke is skipped. A stroke whose first sample has a pressure above 0 is a stylus
///   stroke, every other one is plain.
/// - A plain stroke is one polyline subpath through its points, drawn through a 4-step
///   Catmull-Rom spline while `smoothing` is on; a lone point adds none. With round caps and
///   joins it covers what each of its segments stroked with round caps would cover. All plain
///   subpaths are collected in one path and stroked once, `lineWidth` wide, so translucent ink
///   is not darker where they overlap.
/// - Stylus strokes are never smoothed; each segment is a subpath of its own, stroked at once,
///   2 x the pressure of its end sample wide (0 and below paint nothing), so segments meet
///   through their round caps.
///
/// Order: oldest stroke first. Plain strokes collected so far are stroked, at `lineWidth`,
/// just before each stylus stroke and once at the end, so a stylus segment never paints
/// pending plain ink nor lends it its width, and every plain stroke keeps `lineWidth` in any
/// mix of kinds.
///
/// No buffer grows with the number of smoothed points: they stream from the spline into the
/// path. The cursor is local to this call: the live ink's cursor and context are never touched.
/// With `box`, every handled point widens it: stored samples, or the smoothed points of plain
/// strokes while smoothing is on, first points included.
void paintStrokes(GraphicsContext& context, std::span<const Stroke> strokes, double lineWidth,
                  bool smoothing, PointBox* box = nullptr);

}  // namespace penwell::render
