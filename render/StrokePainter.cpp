#include "render/StrokePainter.h"

#include <optional>

#include "capture/Penwell.h"
#include "render/Smoothing.h"

namespace penwell::render {

namespace {

/// The kind is decided by the stored first sample only, before any smoothing.
bool isStylus(const Stroke& stroke) {
    return stroke.front().Pressure() > 0.0;
}

void widen(PointBox* box, Point p) {
    if (box == nullptr) {
        return;
    }
    if (p.x < box->min.x) {
        box->min.x = p.x;
    }
    if (p.y < box->min.y) {
        box->min.y = p.y;
    }
    if (p.x > box->max.x) {
        box->max.x = p.x;
    }
    if (p.y > box->max.y) {
        box->max.y = p.y;
    }
}

/// Adds the segments of one plain polyline to the current path; true when any was added.
template <typename Elements>
bool addPlainSegments(GraphicsContext& context, const Elements& elements, PointBox* box) {
    // The empty cursor is its own state, so a point at any position (x = -1 included) joins
    // its neighbours.
    std::optional<Point> cursor;
    bool added = false;
    for (std::size_t i = 0; i < elements.size(); ++i) {
        const Point p = elements[i].CGPointValue();
        widen(box, p);
        if (cursor) {
            context.moveToPoint(*cursor);
            context.addLineToPoint(p);
            added = true;
        }
        cursor = p;
    }
    return added;
}

void paintStylusStroke(GraphicsContext& context, const Stroke& stroke, PointBox* box) {
    std::optional<Point> cursor;
    for (const _point& sample : stroke) {
        const Point p = sample.CGPointValue();
        widen(box, p);
        if (cursor) {
            // The width comes from the segment's end sample, as it comes: no lower limit.
            context.setLineWidth(2.0 * sample.Pressure());
            context.moveToPoint(*cursor);
            context.addLineToPoint(p);
            context.strokePath();
        }
        cursor = p;
    }
}

}  // namespace

void paintStrokes(GraphicsContext& context, std::span<const Stroke> strokes, double lineWidth,
                  bool smoothing, PointBox* box) {
    context.beginPath();
    bool plainPending = false;
    // Plain segments collected so far are painted before a stylus stroke, at lineWidth: the
    // context has one path and one width, and a stylus segment must neither paint them nor
    // lend them its width. Without stylus strokes all plain ink is one stroke operation.
    auto paintPendingPlain = [&] {
        if (plainPending) {
            context.setLineWidth(lineWidth);
            context.strokePath();
            plainPending = false;
        }
    };
    for (const Stroke& stroke : strokes) {
        if (stroke.empty()) {
            continue;
        }
        if (isStylus(stroke)) {
            paintPendingPlain();
            paintStylusStroke(context, stroke, box);
        } else if (smoothing) {
            const SmoothedStroke smoothed = PenwellViewController::catmullRomSpline(stroke, 4);
            plainPending = addPlainSegments(context, smoothed, box) || plainPending;
        } else {
            plainPending = addPlainSegments(context, stroke, box) || plainPending;
        }
    }
    paintPendingPlain();
}

}  // namespace penwell::render
