#include "render/StrokePainter.h"

#include <optional>

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

/// Adds one plain stroke to the current path as a single polyline subpath. With round joins
/// and caps it covers the union of its round-capped segments, but Cairo strokes it in time
/// linear in the points instead of tessellating two overlapping caps per segment.
///
/// A lone point adds nothing (a subpath needs a segment), yet still widens the box.
class PlainPolyline final : public PointSink {
public:
    PlainPolyline(GraphicsContext& context, PointBox* box) : context_(context), box_(box) {}

    void append(std::span<const Point> points) override {
        for (const Point p : points) {
            widen(box_, p);
            if (added_) {
                context_.addLineToPoint(p);
            } else if (first_) {
                context_.moveToPoint(*first_);
                context_.addLineToPoint(p);
                added_ = true;
            } else {
                first_ = p;
            }
        }
    }
    /// Whether a subpath was added.
    bool added() const { return added_; }

private:
    GraphicsContext& context_;
    PointBox* box_;
    // The first point waits for the second, so that a lone point adds no subpath.
    std::optional<Point> first_;
    bool added_ = false;
};

bool addPlainStroke(GraphicsContext& context, const Stroke& stroke, bool smoothing, PointBox* box) {
    PlainPolyline polyline(context, box);
    // One step per span streams the samples themselves.
    streamCatmullRom(stroke, smoothing ? 4 : 1, polyline);
    return polyline.added();
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
    // A plain stroke is one polyline; round joins make it cover what its segments would cover
    // each with round caps.
    context.setLineJoin(LineJoin::Round);
    context.beginPath();
    bool plainPending = false;
    // Plain strokes collected so far are painted before a stylus stroke, at lineWidth: the
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
        } else {
            plainPending = addPlainStroke(context, stroke, smoothing, box) || plainPending;
        }
    }
    paintPendingPlain();
}

}  // namespace penwell::render
