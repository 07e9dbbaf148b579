#include <gtest/gtest.h>

#include "render/RenderTestSupport.h"

namespace penwell {
namespace {

using testing::inked;
using testing::inkedInColumn;
using testing::ShownPad;
using testing::strokeThrough;

// Stylus segments are twice their end pressure wide; plain strokes keep lineWidth before and
// after them.
TEST(Redraw, StylusAndPlainStrokesKeepTheirOwnWidths) {
    Stroke stylus = strokeThrough({{50, 100}}, 0.5);
    stylus.push_back(_point::initwith({150, 100}, 8, 1.0));   // 2 wide
    stylus.push_back(_point::initwith({250, 100}, 16, 2.0));  // 4 wide
    const Stroke plain = strokeThrough({{50, 200}, {100, 200}, {150, 200}, {200, 200}, {250, 200}});
    const Stroke plain2 = strokeThrough({{50, 300}, {250, 300}});
    for (bool smoothing : {false, true}) {
        for (bool stylusFirst : {true, false}) {
            ShownPad t;
            t.controller->setLineWidth(6);
            t.controller->setSmoothing(smoothing);
            t.restore(stylusFirst ? std::vector<Stroke>{stylus, plain, plain2}
                                  : std::vector<Stroke>{plain, stylus, plain2});
            const auto where = ::testing::Message()
                               << "smoothing " << smoothing << " stylus first " << stylusFirst;
            EXPECT_EQ(inkedInColumn(t.image(), 100, 80, 120), 2) << where;
            EXPECT_EQ(inkedInColumn(t.image(), 200, 80, 120), 4) << where;
            EXPECT_EQ(t.image().pixel(100, 99), kBlue) << where;
            EXPECT_EQ(inkedInColumn(t.image(), 125, 180, 220), 6) << where;
            EXPECT_EQ(inkedInColumn(t.image(), 125, 280, 320), 6) << where;
        }
    }
}

TEST(Redraw, PointAtMinusOneIsJoinedLikeAnyOther) {
    ShownPad t;
    t.controller->setLineWidth(6);
    t.restore({strokeThrough({{-1.0, 50}, {40, 50}}),
               strokeThrough({{60, 120}, {-1.0, 120}, {60, 180}})});
    EXPECT_TRUE(inked(t.image(), 20, 50));  // starts at -1
    EXPECT_TRUE(inked(t.image(), 30, 120));
    EXPECT_TRUE(inked(t.image(), 29, 150));  // continues from -1
}

}  // namespace
}  // namespace penwell
