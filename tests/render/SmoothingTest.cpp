#include <gtest/gtest.h>

#include <vector>

#include "capture/Penwell.h"

namespace penwell {
namespace {

Stroke strokeOf(std::initializer_list<Point> points) {
    Stroke s;
    std::uint64_t t = 0;
    for (Point p : points) {
        s.push_back(_point::initwith(p, t, 0.0));
        t += 8;
    }
    return s;
}

std::vector<double> xsOf(const SmoothedStroke& s) {
    std::vector<double> xs;
    for (std::size_t i = 0; i < s.size(); ++i) {
        xs.push_back(s[i].CGPointValue().x);
    }
    return xs;
}

const Stroke kCollinear = strokeOf({{0, 0}, {10, 0}, {20, 0}, {30, 0}});

TEST(CatmullRom, CollinearPointsFourSteps) {
    const SmoothedStroke s = PenwellViewController::catmullRomSpline(kCollinear, 4);
    EXPECT_FALSE(s.borrowsInput());
    const std::vector<double> expected{0,    1.796875, 4.375,     7.265625, 10,        12.5, 15,
                                       17.5, 20,       22.734375, 25.625,   28.203125, 30};
    EXPECT_EQ(xsOf(s), expected);
    for (std::size_t i = 0; i < s.size(); ++i) {
        EXPECT_EQ(s[i].CGPointValue().y, 0.0) << i;
    }
}

TEST(CatmullRom, ZigzagSwingsOutsideThePolygon) {
    const Stroke zigzag = strokeOf({{0, 0}, {10, 0}, {10, 10}, {0, 10}, {0, 20}});
    const SmoothedStroke s = PenwellViewController::catmullRomSpline(zigzag, 4);
    ASSERT_EQ(s.size(), 17u);
    EXPECT_EQ(s[1].CGPointValue(), (Point{2.03125, -0.234375}));
    EXPECT_EQ(s[2].CGPointValue(), (Point{5.0, -0.625}));
    // The middle span's midpoint bulges past the side x = 10.
    EXPECT_EQ(s[6].CGPointValue(), (Point{11.25, 5.0}));
}

TEST(CatmullRom, TwoSteps) {
    const SmoothedStroke s = PenwellViewController::catmullRomSpline(kCollinear, 2);
    EXPECT_EQ(xsOf(s), (std::vector<double>{0, 4.375, 10, 15, 20, 25.625, 30}));
}

TEST(CatmullRom, OneZeroOrNegativeStepsGiveTheKnots) {
    for (int segments : {1, 0, -1, -2147483647 - 1}) {
        const SmoothedStroke s = PenwellViewController::catmullRomSpline(kCollinear, segments);
        ASSERT_EQ(s.size(), 4u) << segments;
        for (std::size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(s[i].knot(), &kCollinear[i]) << segments;
        }
    }
}

TEST(CatmullRom, TenSamplesGiveThirtySevenPoints) {
    Stroke ten;
    for (int i = 0; i < 10; ++i) {
        ten.push_back(_point::initwith({i * 3.0, (i % 3) * 5.0}, i));
    }
    const SmoothedStroke s = PenwellViewController::catmullRomSpline(ten, 4);
    ASSERT_EQ(s.size(), 37u);
    for (std::size_t k = 0; k < 10; ++k) {
        EXPECT_EQ(s[4 * k].knot(), &ten[k]) << k;
    }
    EXPECT_EQ(s[1].knot(), nullptr);
}

TEST(CatmullRom, NewPointsAreRoundedToSinglePrecision) {
    const Stroke same = strokeOf({{0.1, 0.1}, {0.1, 0.1}, {0.1, 0.1}, {0.1, 0.1}});
    const SmoothedStroke s = PenwellViewController::catmullRomSpline(same, 4);
    ASSERT_EQ(s.size(), 13u);
    for (std::size_t i = 0; i < s.size(); ++i) {
        const Point p = s[i].CGPointValue();
        if (i % 4 == 0) {
            EXPECT_EQ(p, (Point{0.1, 0.1})) << i;  // knots keep their exact double
        } else {
            EXPECT_EQ(p, (Point{0.10000000149011612, 0.10000000149011612})) << i;
        }
    }
}

TEST(CatmullRom, ManyStepsAccumulateTheParameter) {
    // Beyond the weight table on the stack the rows are worked out per span, with the same
    // repeated additions of 1/s: the midpoint of the middle span is off by t's rounding.
    const SmoothedStroke s = PenwellViewController::catmullRomSpline(kCollinear, 100);
    ASSERT_EQ(s.size(), 301u);
    EXPECT_EQ(s[1].CGPointValue().x, 0.05099499970674515);
    EXPECT_EQ(s[77].CGPointValue().x, 7.496330261230469);
    EXPECT_EQ(s[150].CGPointValue().x, 14.999998092651367);
    EXPECT_EQ(s[300].knot(), &kCollinear[3]);
}

TEST(CatmullRom, KnotsAreTheInputSamples) {
    const Stroke stroke{_point::initwith({1, 2}, 0, 0.0), _point::initwith({3, 4}, 17, 0.25),
                        _point::initwith({5, 6}, 33, 0.5), _point::initwith({7, 8}, 50, 0.75)};
    const SmoothedStroke s = PenwellViewController::catmullRomSpline(stroke, 4);
    ASSERT_EQ(s.size(), 13u);
    const _point* knot = s[4].knot();
    ASSERT_EQ(knot, &stroke[1]);
    EXPECT_EQ(knot->Timestamp(), 17u);
    EXPECT_EQ(knot->Pressure(), 0.25);
    EXPECT_EQ(s[12].knot()->Timestamp(), 50u);
}

TEST(CatmullRom, ShortStrokesAreBorrowedNotCopied) {
    for (std::size_t n : {0u, 1u, 2u, 3u}) {
        Stroke stroke;
        for (std::size_t i = 0; i < n; ++i) {
            stroke.push_back(_point::initwith({double(i), 1.0}, i, 0.5));
        }
        const SmoothedStroke s = PenwellViewController::catmullRomSpline(stroke, 4);
        EXPECT_TRUE(s.borrowsInput()) << n;
        EXPECT_EQ(s.borrowed().data(), stroke.data()) << n;
        ASSERT_EQ(s.size(), n);
        for (std::size_t i = 0; i < n; ++i) {
            EXPECT_EQ(s[i].knot(), &stroke[i]);
        }
    }
}

}  // namespace
}  // namespace penwell
