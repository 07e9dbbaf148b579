#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "render/RenderTestSupport.h"

namespace penwell {
namespace {

using testing::TestPad;

Touch at(double x, double y, double time, double force = 0.0,
         std::int64_t type = touch_type::kDirect) {
    return Touch{{x, y}, time, force, type};
}

TEST(Touch, TapBecomesAFourSampleDot) {
    TestPad t;
    t.show();
    t.down({10, 20}, 100.0, 0.0);
    EXPECT_TRUE(testing::clear(*t.pad->image(), 10, 20));  // nothing drawn at touch-down
    t.up({12, 25}, 100.0125, 0.25);
    ASSERT_EQ(t.controller->lines().size(), 1u);
    const Stroke& s = t.controller->lines()[0];
    const Stroke expected = {_point({10, 20}, 0, 0.0), _point({11, 20}, 12, 0.25),
                             _point({10, 21}, 12, 0.25), _point({10, 20}, 12, 0.25)};
    EXPECT_EQ(s, expected);
    EXPECT_GT(t.pad->image()->pixel(10, 20).a, 0);  // a visible dot
    EXPECT_TRUE(t.controller->points().empty());
    EXPECT_FALSE(t.controller->isCollectingPoints());
}

TEST(Touch, SamplesTimesPositionsAndOnlyTheFirstTouch) {
    TestPad t;
    t.show();
    t.down({-5, 30}, 50.0, 0.0);  // outside the pad: kept as it is
    EXPECT_FALSE(t.controller->shouldAutorotate());
    EXPECT_FALSE(t.controller->shouldAutorotateToInterfaceOrientation(orientation::kPortrait));
    t.down({90, 90}, 55.0);  // ignored: tZero stays 50.0
    t.move({at(10, 30, 50.0025), at(20, 31, 50.0004 + 0.004), at(30, 32, 50.010)});
    EXPECT_EQ(t.controller->points().size(), 4u);
    t.up({99, 99}, 50.02);
    EXPECT_TRUE(t.controller->shouldAutorotate());
    ASSERT_EQ(t.controller->lines().size(), 1u);
    const Stroke& s = t.controller->lines()[0];
    ASSERT_EQ(s.size(), 4u);  // every coalesced touch; the touch-up position is not stored
    EXPECT_EQ(s[0], _point({-5, 30}, 0, 0.0));
    EXPECT_EQ(s[1].Timestamp(), 2u);  // 2.5 ms
    EXPECT_EQ(s[3].CGPointValue(), (Point{30, 32}));

    // The second stroke starts at 0 ms again; the finished one is a copy it leaves alone.
    t.down({50, 50}, 80.0);
    t.move({50, 60}, 80.004);
    EXPECT_EQ(t.controller->points()[1].Timestamp(), 4u);
    EXPECT_EQ(t.controller->lines()[0].size(), 4u);
}

TEST(Touch, SignatureTestCountsFinishedSamplesOnly) {
    TestPad t;
    t.show();
    ASSERT_TRUE(t.controller->restoreSignature({Stroke(12, _point({10, 10}, 0, 0))}));
    t.down({100, 10}, 5.0);
    t.move({110, 10}, 5.01);
    EXPECT_FALSE(t.controller->isSignature());             // the stroke in progress does not count
    EXPECT_FALSE(t.controller->getSignatureImage(false));  // though its ink shows
    t.up({110, 10}, 5.02);
    EXPECT_TRUE(t.controller->isSignature());

    t.controller->setMinSigPoints(-5);
    t.controller->clearSignature();
    EXPECT_FALSE(t.controller->isSignature());  // empty is never a signature
    ASSERT_TRUE(t.controller->restoreSignature({{}}));
    EXPECT_FALSE(t.controller->isSignature());  // a stroke, but no sample
    ASSERT_TRUE(t.controller->restoreSignature({{}, {_point({1, 1}, 0, 0)}}));
    EXPECT_TRUE(t.controller->isSignature());
}

TEST(Touch, StylusSegmentsArePressureWideAndStartNoTimer) {
    TestPad t({200, 100});
    t.controller->setSmoothing(true);
    t.show();
    t.down({20, 30}, 1.0, 0.5, touch_type::kStylus);
    t.move(
        {at(60, 30, 1.01, 1.0, touch_type::kStylus), at(100, 30, 1.02, 2.0, touch_type::kStylus)});
    t.up({100, 30}, 1.03, 2.0, touch_type::kStylus);
    const Image image = *t.pad->image();
    EXPECT_NEAR(testing::inkedInColumn(image, 80, 0, 99), 4, 1);  // 2 x 2.0
    EXPECT_FALSE(t.controller->smoothingPending());

    // A finger stroke after it starts at lineWidth again (set at every touch-down).
    t.down({20, 70}, 2.0);
    t.move({100, 70}, 2.01);
    EXPECT_NEAR(testing::inkedInColumn(*t.pad->image(), 60, 0, 99) -
                    testing::inkedInColumn(image, 60, 0, 99),
                3, 1);
}

// Finger touch-ups (re)start the smoothing delay; a touch-down, a cancel and hiding the pad
// start none or end it. A clear keeps it, and its redraw paints the empty pad.
TEST(Touch, SmoothingDelayRestartsOnTouchUpsOnly) {
    TestPad t;
    t.controller->setSmoothing(true);
    t.controller->setSmoothingDelay(0.5f);
    t.show();
    auto& clock = *t.host.runLoop;
    t.down({10, 10}, 0);
    t.move({50, 10}, 0.01);
    t.up({50, 10}, 0.02);
    t.controller->clearSignature();
    EXPECT_TRUE(t.controller->smoothingPending());
    clock.advance(0.4);
    t.up({50, 10}, 0.4);  // a touch-up with no stroke still restarts the delay
    clock.advance(0.4);
    EXPECT_TRUE(t.controller->smoothingPending());
    clock.advance(0.2);
    EXPECT_FALSE(t.controller->smoothingPending());  // fired at 0.9 s
    EXPECT_TRUE(testing::clear(*t.pad->image(), 30, 10));

    t.up({50, 10}, 2.0);
    t.down({10, 50}, 2.1);  // a touch-down cancels it
    EXPECT_FALSE(t.controller->smoothingPending());
    t.move({40, 50}, 2.11);
    t.controller->touchesCancelled(TouchSet{at(40, 50, 2.12)}, Event{});
    EXPECT_FALSE(t.controller->isCollectingPoints());
    EXPECT_FALSE(t.controller->smoothingPending());
    ASSERT_EQ(t.controller->lines().size(), 1u);
    EXPECT_EQ(t.controller->lines()[0].size(), 2u);
    t.up({10, 50}, 2.2);
    t.controller->viewWillDisappear(false);
    EXPECT_FALSE(t.controller->smoothingPending());
}

/// Asks the controller whether it may rotate whenever the pad is painted.
class WatchingDevice final : public Device {
public:
    std::optional<std::int64_t> userInterfaceIdiom() const override {
        if (controller != nullptr) {
            answers.push_back(controller->shouldAutorotate());
        }
        return UIUserInterfaceIdiomPhone;
    }
    const PenwellViewController* controller = nullptr;
    mutable std::vector<bool> answers;
};

TEST(Touch, NoAutorotationWhileTheSmoothingRedrawRuns) {
    TestPad t;
    auto device = std::make_shared<WatchingDevice>();
    t.services.device = device;
    t.controller = std::make_unique<PenwellViewController>(t.services);
    t.controller->setSigImage(t.pad);
    t.controller->setSmoothing(true);
    t.show();
    t.down({10, 10}, 0);
    t.up({10, 10}, 0.01);
    device->controller = t.controller.get();
    t.host.runLoop->runUntilIdle();
    ASSERT_FALSE(device->answers.empty());
    EXPECT_FALSE(device->answers.front());
    EXPECT_TRUE(t.controller->shouldAutorotate());
}

TEST(Touch, HostRepaintsDuringAStrokeKeepTheLiveInkOnTop) {
    TestPad t;
    t.show();
    t.down({10, 10}, 0);
    t.move({60, 10}, 0.01);
    t.up({60, 10}, 0.02);  // a finished stroke along y = 10

    t.down({10, 50}, 1);
    t.move({60, 50}, 1.01);
    t.controller->undoSignature();  // removes the finished stroke mid-stroke
    EXPECT_TRUE(testing::clear(*t.pad->image(), 30, 10));
    t.move({60, 90}, 1.02);
    const Image afterUndo = *t.pad->image();
    EXPECT_GT(afterUndo.pixel(30, 50).a, 0);         // the live stroke was stroked again
    EXPECT_GT(afterUndo.pixel(60, 70).a, 0);         // and continues
    EXPECT_TRUE(testing::clear(afterUndo, 30, 10));  // the undone ink stays gone

    t.controller->clearSignature();  // discards the stroke in progress too
    t.move({100, 90}, 1.03);
    t.move({150, 90}, 1.04);
    const Image afterClear = *t.pad->image();
    EXPECT_TRUE(testing::clear(afterClear, 30, 50));
    EXPECT_TRUE(testing::clear(afterClear, 80, 90));  // not joined to the discarded part
    EXPECT_GT(afterClear.pixel(125, 90).a, 0);
    t.up({150, 90}, 1.05);
    ASSERT_EQ(t.controller->lines().size(), 1u);
    EXPECT_EQ(t.controller->lines()[0].size(), 2u);
}

TEST(Touch, PadAfterEachSegmentEqualsAFullReferenceRendering) {
    TestPad t({300, 200});
    t.controller->setIphoneport(testing::solidImage(300, 60, {200, 220, 40, 255}));
    t.controller->setIphoneportY(70);
    t.show();
    auto reference = t.services.graphics->beginImageContext({300, 200});
    reference->drawImage(*t.pad->image(), {{0, 0}, {300, 200}});
    reference->setLineCap(LineCap::Round);
    reference->setRGBStrokeColor(0, 0, 1, 1);
    t.down({20, 20}, 0, 0.3, touch_type::kStylus);
    Point last{20, 20};
    for (int i = 1; i < 60; ++i) {
        const Point p{20 + i * 4.3, 100 + 80 * std::sin(i * 0.4)};
        const double force = 0.2 + (i % 7) * 0.3;
        t.move(p, i * 0.004, force, touch_type::kStylus);
        reference->setLineWidth(2 * force);
        reference->beginPath();
        reference->moveToPoint(last);
        reference->addLineToPoint(p);
        reference->strokePath();
        last = p;
        const Image expected = reference->makeImage();
        const Image& actual = *t.pad->image();
        for (int y = 0; y < 200; y += 3) {
            for (int x = 0; x < 300; x += 3) {
                const Rgba a = actual.pixel(x, y), b = expected.pixel(x, y);
                ASSERT_LE(std::abs(a.a - b.a) + std::abs(a.r - b.r) + std::abs(a.b - b.b), 1)
                    << "segment " << i << " pixel " << x << "," << y;
            }
        }
    }
}

}  // namespace
}  // namespace penwell
