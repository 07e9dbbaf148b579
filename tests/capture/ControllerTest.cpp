#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/TestPad.h"

namespace penwell {
namespace {

using testing::TestPad;

// Most defaults show in what the pad paints (the other tests); setters take effect only then.
TEST(Controller, SettersOnlyStore) {
    TestPad t;
    auto& c = *t.controller;
    EXPECT_EQ(c.inkComponents(), InkComponents{});  // not derived until the first paint
    t.show();
    const Image before = *t.pad->image();
    c.setLineWidth(-7.5f);  // not validated
    c.setMinSigPoints(-3);
    c.setSmoothingDelay(0.25f);
    c.setIbackcolor(Color::rgb(1, 0, 0));
    c.setIphoneport(testing::solidImage(10, 10, {0, 255, 0, 255}));
    EXPECT_EQ(c.lineWidth(), -7.5f);
    // Nothing was repainted: the same image, the old background colour.
    EXPECT_TRUE(t.pad->image()->sharesTileWith(before, 0, 0));
    EXPECT_EQ(t.pad->backgroundColor(), Color::whiteColor());
}

TEST(Controller, MissingServicesAreRejected) {
    headless::HeadlessHost host;
    Services services = headlessServices(host);
    services.graphics.reset();
    EXPECT_THROW(PenwellViewController{services}, std::invalid_argument);
}

TEST(Controller, AppearingWithoutPadRaisesAfterTheBaseRan) {
    TestPad t;
    t.controller->setSigImage(nullptr);
    t.host.application->setStatusBarOrientation(orientation::kLandscapeLeft);
    try {
        t.controller->viewWillAppear(true);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.name(), "Penwell");
        EXPECT_EQ(e.reason(), "sigImage not initialized");
    }
    EXPECT_TRUE(t.controller->isAppearing());  // the base class's viewWillAppear ran
    EXPECT_EQ(t.controller->interfaceOrientation(), orientation::kPortrait);  // not read
    EXPECT_EQ(t.host.application->notificationCenter().observerCount(
                  UIApplicationDidChangeStatusBarOrientationNotification),
              0u);
    EXPECT_TRUE(t.host.runLoop->idle());  // no clear posted
}

// The clear viewWillAppear posts runs later, and never once its controller is gone.
TEST(Controller, AppearingPostsAClearThatRunsLater) {
    TestPad t;
    t.controller->viewWillAppear(false);
    EXPECT_FALSE(t.pad->image());  // not painted inside viewWillAppear
    t.host.runLoop->runPending();
    ASSERT_TRUE(t.pad->image());
    EXPECT_EQ(t.pad->image()->width(), 300);
    EXPECT_EQ(t.controller->inkComponents(), (InkComponents{0, 0, 1, 1}));
    t.controller->viewDidUnload();
    EXPECT_FALSE(t.pad->image());

    t.controller->viewWillAppear(false);  // posts a clear and observes rotation
    t.controller.reset();
    EXPECT_EQ(t.host.application->notificationCenter().observerCount(
                  UIApplicationDidChangeStatusBarOrientationNotification),
              0u);
    t.host.application->rotateTo(orientation::kLandscapeLeft);
    t.host.runLoop->runUntilIdle();  // the posted clear is skipped safely
    EXPECT_FALSE(t.pad->image());
}

TEST(Controller, OrientationChangesRepaintOnlyWhenTheOrientationDiffers) {
    TestPad t;
    t.host.device->setUserInterfaceIdiom(UIUserInterfaceIdiomPhone);
    t.controller->setIphoneland(testing::solidImage(300, 40, {255, 0, 0, 255}));
    t.show();
    EXPECT_TRUE(testing::clear(*t.pad->image(), 10, 10));

    // The same orientation announced again: nothing posted, nothing repainted.
    t.host.application->rotateTo(orientation::kPortrait);
    EXPECT_TRUE(t.host.runLoop->idle());

    t.host.application->rotateTo(orientation::kLandscapeRight);
    EXPECT_EQ(t.controller->interfaceOrientation(), orientation::kLandscapeRight);
    EXPECT_TRUE(testing::clear(*t.pad->image(), 10, 10));  // the clear is posted, not run
    t.host.runLoop->runPending();
    EXPECT_EQ(t.pad->image()->pixel(10, 10), (Rgba{255, 0, 0, 255}));

    // Hidden: no longer observing.
    t.controller->viewWillDisappear(false);
    t.host.application->rotateTo(orientation::kPortrait);
    EXPECT_EQ(t.controller->interfaceOrientation(), orientation::kLandscapeRight);
    EXPECT_TRUE(t.host.runLoop->idle());
}

TEST(Sample, ElapsedMilliseconds) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const struct {
        double timestamp, tZero;
        std::uint64_t ms;
    } cases[] = {
        {10.0025, 10.0, 2},
        {10.0004, 10.0, 0},
        // Clock values are not exact in binary: 1000.01 - 1000.00 is 9.99999... ms, and
        // 0.3 - 0.1 is 199.99999... ms. Those are whole milliseconds, not one less.
        {1000.01, 1000.00, 10},
        {0.3, 0.1, 200},
        {1000.0289999, 1000.0, 28},  // 0.9999 ms short of 29 is still 28
        // A clock that runs backwards, and NaN, give 0 instead of undefined behaviour.
        {4.0, 5.0, 0},
        {std::nan(""), 5.0, 0},
        // 2^63 ms and beyond keep the top bit; beyond 2^64 saturates.
        {5.0 * 2251799813685248.0, 0.0, std::uint64_t{625} << 54},
        {kInf, 0.0, std::numeric_limits<std::uint64_t>::max()},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(elapsedMilliseconds(c.timestamp, c.tZero), c.ms)
            << c.timestamp << " - " << c.tZero;
    }
}

// Hosts call in any order and hand over any frame; painting may fail, capture never does.
TEST(Controller, HostileHostCallsKeepEverySample) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const struct {
        const char* name;
        Size pad;
        bool dropPadMidStroke, cancel;
        bool document;  // made without a bitmap
        bool cropped;   // a bitmap of the crop alone
    } cases[] = {
        {"a pad wider than any bitmap", {40000, 100}, false, false, true, true},
        {"a pad wider than any bitmap, 8 high", {40000, 8}, false, false, true, true},
        {"a pad of infinite size", {kInf, kInf}, false, true, false, true},
        {"the pad removed during the stroke, then touch-up", {300, 400}, true, false, false, false},
        {"the pad removed during the stroke, then cancel", {300, 400}, true, true, false, false},
    };
    for (const auto& c : cases) {
        TestPad t(c.pad);
        t.show();
        t.controller->setMinSigPoints(2);
        t.down({10, 10}, 1.0);
        t.move({20, 10}, 1.010);
        if (c.dropPadMidStroke) {
            t.controller->setSigImage(nullptr);
        }
        t.move({30, 10}, 1.020);  // without a pad there is no place for it: not recorded
        const Touch last{{30, 10}, 1.030, 0.0, touch_type::kDirect};
        if (c.cancel) {
            t.controller->touchesCancelled(TouchSet{last}, Event{});
        } else {
            t.controller->touchesEnded(TouchSet{last}, Event{});
        }
        ASSERT_EQ(t.controller->lines().size(), 1u) << c.name;
        EXPECT_EQ(t.controller->lines()[0].size(), c.dropPadMidStroke ? 2u : 3u) << c.name;
        EXPECT_FALSE(t.controller->isCollectingPoints()) << c.name;
        EXPECT_FALSE(t.controller->getSignatureImage(false)) << c.name;  // nothing to paint
        EXPECT_FALSE(t.controller->exportSignature({ExportFormat::PNG})) << c.name;
        // The cropped image and the cropped PNG: both or neither, with the same pixels.
        const std::optional<Image> image = t.controller->getSignatureImage(true);
        const auto png = t.controller->exportSignature({ExportFormat::PNG, 1.0, true});
        ASSERT_EQ(image.has_value(), c.cropped) << c.name;
        ASSERT_EQ(png.has_value(), c.cropped) << c.name;
        if (c.cropped) {
            // The ink from x = 10 to 30 at y = 10, widened by 20 and cut at the pad's edges.
            EXPECT_EQ(image->size(), (Size{50, std::min(c.pad.height, 30.0)})) << c.name;
            EXPECT_EQ(png->rect, (Rect{{0, 0}, image->size()})) << c.name;
            std::vector<std::uint32_t> a(50 * 30), b(50 * 30);
            image->copyPixels({0, 0, 50, 30}, a.data(), 50);
            png->image.copyPixels({0, 0, 50, 30}, b.data(), 50);
            EXPECT_EQ(a, b) << c.name;
            EXPECT_EQ(testing::clear(*image, 20, 10), c.pad.height < 10) << c.name;
        }
        for (ExportFormat format : {ExportFormat::SVG, ExportFormat::PDF}) {
            EXPECT_EQ(t.controller->exportSignature({format}).has_value(), c.document) << c.name;
        }
        t.controller->undoSignature();
        t.controller->renderSignture();
        EXPECT_TRUE(t.controller->lines().empty()) << c.name;
    }
}

}  // namespace
}  // namespace penwell
