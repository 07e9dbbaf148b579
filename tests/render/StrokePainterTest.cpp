#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "penwell/render/Smoothing.h"
#include "penwell/render/StrokePainter.h"
#include "render/RenderTestSupport.h"

namespace penwell {
namespace {

using testing::ShownPad;
using testing::strokeThrough;

/// The painting that plain polylines replaced, kept as the reference: every segment of every
/// stroke a subpath of its own with round caps; plain ones gathered and stroked once.
Image segmentBySegment(Graphics& graphics, Size size, const std::optional<Image>& under,
                       const std::vector<Stroke>& strokes, double width, bool smoothing,
                       InkComponents ink) {
    auto c = graphics.beginImageContext(size);
    if (under) {
        c->drawImage(*under, {{0, 0}, size});
    }
    c->setLineCap(LineCap::Round);
    c->setRGBStrokeColor(ink.red, ink.green, ink.blue, ink.alpha);
    c->beginPath();
    bool pending = false;
    auto strokePending = [&] {
        if (pending) {
            c->setLineWidth(width);
            c->strokePath();
            pending = false;
        }
    };
    for (const Stroke& stroke : strokes) {
        const bool stylus = !stroke.empty() && stroke.front().Pressure() > 0;
        if (stylus) {
            strokePending();
        }
        const SmoothedStroke line =
            PenwellViewController::catmullRomSpline(stroke, smoothing && !stylus ? 4 : 1);
        for (std::size_t i = 1; i < line.size(); ++i) {
            if (stylus) {
                c->setLineWidth(2 * stroke[i].Pressure());
            }
            c->moveToPoint(line[i - 1].CGPointValue());
            c->addLineToPoint(line[i].CGPointValue());
            if (stylus) {
                c->strokePath();
            } else {
                pending = true;
            }
        }
    }
    strokePending();
    return c->makeImage();
}

/// A wavy plain stroke at fractional positions, like handwriting.
Stroke wave(double x0, double y0, int n, double step) {
    Stroke s;
    for (int i = 0; i < n; ++i) {
        s.push_back(_point::initwith(
            {x0 + step * i + 0.37, y0 + 25 * std::sin(i * 0.3) + 6 * std::sin(i * 1.7)},
            static_cast<std::uint64_t>(i) * 8));
    }
    return s;
}

Stroke stylus(std::initializer_list<std::pair<Point, double>> samples) {
    Stroke s;
    for (const auto& [p, pressure] : samples) {
        s.push_back(_point::initwith(p, s.size() * 8, pressure));
    }
    return s;
}

struct Signature {
    const char* name;
    std::vector<Stroke> strokes;
};

const std::vector<Signature>& signatures() {
    static const std::vector<Signature> all{
        {"handwriting", {wave(20, 80, 90, 2.9), wave(30, 200, 60, 4.1), wave(10, 300, 40, 7)}},
        // Acute turns, where a join swings almost all the way round.
        {"zigzag",
         {wave(20, 350, 20, 5),
          strokeThrough({{30, 40}, {34, 200}, {38, 40}, {42, 200}, {60, 41}, {61.5, 200}})}},
        {"taps, lone points and doubling back",
         {wave(20, 350, 20, 5), strokeThrough({{100, 100}, {101, 100}, {100.5, 101}, {100, 100}}),
          strokeThrough({{150, 100}}), Stroke{}, strokeThrough({{200, 50}, {200, 50}, {200, 50}}),
          strokeThrough({{20, 150}, {250, 150}, {40, 150.5}, {240, 180}, {20, 130}}),
          strokeThrough({{50, 250}, {250, 250}, {250, 250}, {50, 250}, {150, 260}})}},
        {"mixed kinds, off the pad",
         {stylus({{{20, 30}, 0.5}, {{120, 40}, 1.5}, {{200, 30}, 0}, {{280, 60}, 3}}),
          wave(-20, 120, 60, 6),
          stylus({{{40, 200}, 2}, {{140, 210}, -1}, {{240, 190}, 0.75}, {{260, 230}, 2.25}}),
          strokeThrough({{-1, 260}, {60, 300}, {-1, 340}, {320, 390}, {200, 450}}),
          stylus({{{150, 300}, 0.25}})}},
    };
    return all;
}

/// The largest difference between two images in one premultiplied 8-bit channel.
int largestDifference(const Image& a, const Image& b) {
    int largest = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const std::uint32_t p = a.premultipliedPixel(x, y), q = b.premultipliedPixel(x, y);
            for (int shift = 0; shift < 32; shift += 8) {
                largest = std::max(largest, std::abs(static_cast<int>((p >> shift) & 255) -
                                                     static_cast<int>((q >> shift) & 255)));
            }
        }
    }
    return largest;
}

// Plain strokes are painted as one polyline each; the redraw and the export must show what
// painting every segment on its own showed. Cairo flattens a round join and a round cap into
// different polygons, each within its 0.1-pixel tolerance, so edge pixels may differ by up to
// a tenth of full coverage (measured: at most 17 of 255, on at most 418 pixels of a 300 x 400
// pad). A missing or extra dot, a wrong width, a bevelled corner or translucent ink darkened
// where it overlaps all differ by far more. Painting in bands gives the same pixels, but for
// translucent ink, which is rounded to 8 bits once more on its way through the band's bitmap
// (measured: 1 of 255).
TEST(StrokePainter, PolylinesPaintWhatSeparateSegmentsPainted) {
    constexpr int kFlatteningTolerance = 25;  // 0.1 x 255
    const struct {
        bool smoothing;
        double width, alpha;
    } cases[] = {{false, 1, 1},  {false, 3, 0.5}, {false, 6.5, 1},
                 {true, 1, 0.5}, {true, 3, 1},    {true, 6.5, 0.5}};
    for (const Signature& signature : signatures()) {
        for (const auto& [smoothing, width, alpha] : cases) {
            ShownPad t;
            t.controller->setSmoothing(smoothing);
            t.controller->setLineWidth(static_cast<float>(width));
            t.controller->setLinecolor(Color::rgb(0.2, 0.1, 0.9, alpha));
            t.restore(signature.strokes);
            const std::optional<Image> exported = t.controller->getSignatureImage(false);
            ASSERT_TRUE(exported);
            const Image& redrawn = t.image();

            Graphics& g = *t.services.graphics;
            const InkComponents ink = t.controller->inkComponents();
            auto banded = g.beginImageContext(redrawn.size());
            banded->drawImage(t.bare, {{0, 0}, redrawn.size()});
            render::paintStrokes(*banded, signature.strokes,
                                 {ink.red, ink.green, ink.blue, ink.alpha, width}, smoothing,
                                 nullptr, 16);
            auto reference = [&](const std::optional<Image>& under) {
                return segmentBySegment(g, redrawn.size(), under, signature.strokes, width,
                                        smoothing, ink);
            };
            const auto where = ::testing::Message() << signature.name << ", smoothing " << smoothing
                                                    << ", width " << width << ", alpha " << alpha;
            EXPECT_LE(largestDifference(redrawn, reference(t.bare)), kFlatteningTolerance)
                << where << " (redraw)";
            EXPECT_LE(largestDifference(*exported, reference(std::nullopt)), kFlatteningTolerance)
                << where << " (export)";
            EXPECT_LE(largestDifference(banded->makeImage(), redrawn), 1) << where << " (bands)";
        }
    }
}

}  // namespace
}  // namespace penwell
