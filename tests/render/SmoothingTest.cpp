#include <gtest/gtest.h>

#include <vector>

#include "render/RenderTestSupport.h"
#include "penwell/render/Smoothing.h"

namespace penwell {
namespace {

using testing::strokeThrough;

std::vector<double> xsOf(const SmoothedStroke& s) {
    std::vector<double> xs;
    for (std::size_t i = 0; i < s.size(); ++i) {
        xs.push_back(s[i].CGPointValue().x);
    }
    return xs;
}

const Stroke kCollinear = strokeThrough({{0, 0}, {10, 0}, {20, 0}, {30, 0}});

// Every span gets `segments` steps; one step or fewer gives the knots alone. Every sample is the
// knot of its point.
TEST(CatmullRom, CollinearPointsAtEachStepCount) {
    const std::vector<double> knots{0, 10, 20, 30};
    const std::pair<int, std::vector<double>> cases[] = {
        {4,
         {0, 1.796875, 4.375, 7.265625, 10, 12.5, 15, 17.5, 20, 22.734375, 25.625, 28.203125, 30}},
        {2, {0, 4.375, 10, 15, 20, 25.625, 30}},
        {1, knots},
        {0, knots},
        {-1, knots},
        {-2147483647 - 1, knots},
    };
    for (const auto& [segments, expected] : cases) {
        const SmoothedStroke s = PenwellViewController::catmullRomSpline(kCollinear, segments);
        EXPECT_EQ(xsOf(s), expected) << segments;
        for (std::size_t i = 0; i < 4 && s.size() == expected.size(); ++i) {
            EXPECT_EQ(s[i * (expected.size() - 1) / 3].knot(), kCollinear[i]) << segments;
        }
        EXPECT_EQ(s[1].knot().has_value(), segments <= 1) << segments;
    }
}

TEST(CatmullRom, PointsBetweenTheKnots) {
    const Stroke zigzag = strokeThrough({{0, 0}, {10, 0}, {10, 10}, {0, 10}, {0, 20}});
    const Stroke same = strokeThrough({{0.1, 0.1}, {0.1, 0.1}, {0.1, 0.1}, {0.1, 0.1}});
    constexpr double kFloatTenth = 0.10000000149011612;
    const struct {
        const char* name;
        const Stroke& stroke;
        int segments;
        std::size_t size, index;
        Point expected;
    } cases[] = {
        {"zigzag", zigzag, 4, 17, 1, {2.03125, -0.234375}},
        {"the middle span's midpoint bulges past the side x = 10", zigzag, 4, 17, 6, {11.25, 5}},
        {"knots keep their exact double", same, 4, 13, 0, {0.1, 0.1}},
        {"new points are rounded to single precision", same, 4, 13, 6, {kFloatTenth, kFloatTenth}},
        // Beyond the weight table on the stack the rows are worked out per span, with the same
        // repeated additions of 1/s: the midpoint of the middle span is off by t's rounding.
        {"many steps", kCollinear, 100, 301, 1, {0.05099499970674515, 0}},
        {"many steps accumulate the parameter", kCollinear, 100, 301, 150, {14.999998092651367, 0}},
    };
    for (const auto& c : cases) {
        const SmoothedStroke s = PenwellViewController::catmullRomSpline(c.stroke, c.segments);
        ASSERT_EQ(s.size(), c.size) << c.name;
        EXPECT_EQ(s[c.index].CGPointValue(), c.expected) << c.name;
    }
}

// The result is the stroke's own copy: a touch-up that reallocates the stroke list (and so
// every stroke in it) must not leave it pointing at freed samples.
TEST(CatmullRom, ResultOutlivesItsStroke) {
    for (std::size_t n : {0u, 1u, 3u, 4u}) {
        std::vector<Stroke> lines{
            Stroke(kCollinear.begin(), kCollinear.begin() + static_cast<std::ptrdiff_t>(n))};
        const SmoothedStroke s = PenwellViewController::catmullRomSpline(lines[0], 4);
        lines.assign(100, Stroke(5, _point::initwith({-7, -7}, 99)));
        ASSERT_EQ(s.size(), n < 4 ? n : 13u);
        for (std::size_t i = 0; i < n; ++i) {
            EXPECT_EQ(s[n < 4 ? i : 4 * i].knot(), kCollinear[i]) << n;
        }
    }
}

}  // namespace
}  // namespace penwell
