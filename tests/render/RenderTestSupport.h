#pragma once
// A shown pad, stroke builders and ink measurements shared by the redraw and export tests.

#include <initializer_list>
#include <stdexcept>

#include "penwell/capture/Penwell.h"
#include "support/TestPad.h"

namespace penwell::testing {

/// A stroke through the points, 8 ms apart, all with the same pressure (0: a plain stroke).
inline Stroke strokeThrough(std::initializer_list<Point> points, double pressure = 0.0) {
    Stroke stroke;
    std::uint64_t t = 0;
    for (Point p : points) {
        stroke.push_back(_point::initwith(p, t, pressure));
        t += 8;
    }
    return stroke;
}

/// A pad already shown, its bare image kept.
struct ShownPad : TestPad {
    explicit ShownPad(Size size = {300, 400}) : TestPad(size) {
        show();
        bare = *pad->image();
    }
    /// Sets the strokes as a host restoring them would (the pad is repainted).
    void restore(std::vector<Stroke> strokes) {
        if (!controller->restoreSignature(std::move(strokes))) {
            throw std::invalid_argument("the test's strokes were refused");
        }
    }
    const Image& image() const { return *pad->image(); }
    Image bare;
};

/// Whether a pixel is more than half covered.
inline bool inked(const Image& image, int x, int y) {
    return image.pixel(x, y).a > 127;
}

/// How many pixels of column x, from y0 to y1 inclusive, are more than half covered: the
/// width of a horizontal line crossing that column.
inline int inkedInColumn(const Image& image, int x, int y0, int y1) {
    int count = 0;
    for (int y = y0; y <= y1; ++y) {
        count += inked(image, x, y) ? 1 : 0;
    }
    return count;
}

}  // namespace penwell::testing
