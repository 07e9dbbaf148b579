#pragma once
// Reaches into a controller to set up strokes directly, so rendering and export tests need no
// touch sequence.

#include "capture/Penwell.h"

namespace penwell {

struct ControllerTestAccess {
    static std::vector<Stroke>& lines(PenwellViewController& c) { return c._lines; }
    static Stroke& points(PenwellViewController& c) { return c._points; }
    static Point& lastPoint(PenwellViewController& c) { return c.lastPoint; }
    static std::unique_ptr<GraphicsContext>& contextRef(PenwellViewController& c) {
        return c.contextRef;
    }
};

}  // namespace penwell
