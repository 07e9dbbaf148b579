#include <gtest/gtest.h>

#include <filesystem>

#include "platform/Application.h"
#include "platform/cairo/CairoGraphics.h"
#include "platform/headless/Headless.h"
#include "support/TestPad.h"

namespace penwell {
namespace {

TEST(CairoGraphics, ContextIsTransparentOnePixelPerPointAndRoundsUp) {
    auto graphics = cairo::makeGraphics();
    auto context = graphics->beginImageContext({10.5, 3});
    const Image image = context->makeImage();
    EXPECT_EQ(image.width(), 11);
    EXPECT_EQ(image.height(), 3);
    EXPECT_EQ(image.premultipliedPixel(5, 1), 0u);
    auto empty = graphics->beginImageContext({-4, 0});
    EXPECT_EQ(empty->makeImage().width(), 0);
}

TEST(CairoGraphics, RoundCapsWidthColourAndAntialiasing) {
    auto graphics = cairo::makeGraphics();
    auto context = graphics->beginImageContext({100, 100});
    context->setLineCap(LineCap::Round);
    context->setLineWidth(10);
    context->setAllowsAntialiasing(false);
    context->setRGBStrokeColor(1, 0, 0, 1);
    context->beginPath();
    context->moveToPoint({20, 50});
    context->addLineToPoint({80, 50});
    context->strokePath();
    const Image image = context->makeImage();
    EXPECT_EQ(image.pixel(50, 46), (Rgba{255, 0, 0, 255}));
    EXPECT_EQ(image.pixel(50, 44).a, 0);
    EXPECT_EQ(image.pixel(16, 50).a, 255);  // the round cap reaches 5 points past the end
    EXPECT_EQ(image.pixel(14, 50).a, 0);
    // Without antialiasing every pixel is either fully painted or untouched.
    for (int y = 40; y < 60; ++y) {
        const auto a = image.pixel(16, y).a;
        EXPECT_TRUE(a == 0 || a == 255) << y;
    }
}

TEST(CairoGraphics, ImagesShareUnchangedTilesAndReportTheChangedRegion) {
    auto graphics = cairo::makeGraphics();
    auto context = graphics->beginImageContext({512, 256});
    const Image first = context->makeImage();
    context->setLineWidth(4);
    context->beginPath();
    context->moveToPoint({10, 10});
    context->addLineToPoint({20, 12});
    context->strokePath();
    const Image second = context->makeImage();
    EXPECT_TRUE(second.sharesTileWith(first, 300, 200));
    EXPECT_FALSE(second.sharesTileWith(first, 15, 11));
    const PixelRect changed = second.changedRegion();
    EXPECT_LE(changed.x, 8);
    EXPECT_GE(changed.right(), 22);
    EXPECT_LT(changed.width, 40);
    EXPECT_EQ(first.pixel(15, 11).a, 0);  // the earlier image is unchanged
    // Nothing painted since: the next image changes nothing and shares everything.
    const Image third = context->makeImage();
    EXPECT_TRUE(third.changedRegion().empty());
    EXPECT_TRUE(third.sharesTileWith(second, 15, 11));
}

TEST(CairoGraphics, DrawImageScalesToFillAndStartsFromAnImageWithoutCopyingIt) {
    auto graphics = cairo::makeGraphics();
    const Image red = testing::solidImage(2, 2, {255, 0, 0, 255});
    auto context = graphics->beginImageContext({20, 10});
    context->drawImage(red, {{5, 0}, {10, 5}});
    const Image image = context->makeImage();
    EXPECT_EQ(image.pixel(14, 4), (Rgba{255, 0, 0, 255}));
    EXPECT_EQ(image.pixel(4, 0).a + image.pixel(15, 0).a + image.pixel(5, 5).a, 0);

    auto next = graphics->beginImageContext({20, 10});
    next->drawImage(image, {{0, 0}, {20, 10}});
    const Image copy = next->makeImage();
    EXPECT_TRUE(copy.samePixels(image));
    EXPECT_TRUE(copy.sharesTileWith(image, 0, 0));
}

TEST(Image, CropIsLimitedToTheImage) {
    std::vector<std::uint32_t> pixels(100 * 80);
    for (int y = 0; y < 80; ++y) {
        for (int x = 0; x < 100; ++x) {
            pixels[static_cast<std::size_t>(y * 100 + x)] =
                0xff000000u | static_cast<std::uint32_t>(x) << 8 | static_cast<std::uint32_t>(y);
        }
    }
    const Image image = Image::fromPixels(100, 80, pixels.data(), 100);
    const Image crop = image.cropped({-15, 70, 30, 40});
    EXPECT_EQ(crop.width(), 15);
    EXPECT_EQ(crop.height(), 10);
    EXPECT_EQ(crop.pixel(0, 0), (Rgba{0, 0, 70, 255}));
    EXPECT_EQ(crop.pixel(14, 9), (Rgba{0, 14, 79, 255}));
    EXPECT_EQ(image.cropped({200, 0, 5, 5}).width(), 0);
}

TEST(CairoGraphics, PngRoundTrip) {
    const auto file = std::filesystem::temp_directory_path() / "penwell-png-roundtrip.png";
    const Image image = testing::solidImage(7, 5, {10, 200, 30, 255});
    ASSERT_TRUE(cairo::writePng(image, file));
    const auto back = cairo::readPng(file);
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->samePixels(image));
    std::filesystem::remove(file);
    EXPECT_FALSE(cairo::readPng(file));
}

TEST(ManualRunLoop, TasksAndTimersRunInTimeOrderAndInvalidatedTimersNever) {
    headless::ManualRunLoop loop;
    std::vector<std::string> log;
    auto late = loop.scheduleTimer(2.0, [&] { log.push_back("late"); });
    auto early = loop.scheduleTimer(1.0, [&] { log.push_back("early"); });
    auto cancelled = loop.scheduleTimer(0.5, [&] { log.push_back("cancelled"); });
    loop.post([&] {
        log.push_back("posted");
        loop.post([&] { log.push_back("posted by a task"); });
    });
    EXPECT_TRUE(log.empty());  // nothing runs inside the call that schedules it
    cancelled->invalidate();
    loop.runPending();
    EXPECT_EQ(log, (std::vector<std::string>{"posted", "posted by a task"}));
    loop.advance(1.5);
    EXPECT_FALSE(early->isValid());
    EXPECT_TRUE(late->isValid());
    loop.runUntilIdle();
    EXPECT_EQ(log, (std::vector<std::string>{"posted", "posted by a task", "early", "late"}));
    EXPECT_DOUBLE_EQ(loop.now(), 2.0);
}

TEST(RealTimeRunLoop, RunsPostedWorkAndTimers) {
    headless::RealTimeRunLoop loop;
    int fired = 0;
    loop.post([&] { ++fired; });
    auto timer = loop.scheduleTimer(0.01, [&] {
        ++fired;
        loop.stop();
    });
    loop.runFor(std::chrono::seconds(5));
    EXPECT_EQ(fired, 2);
}

TEST(NotificationCenter, ObservationEndsWithItsOwner) {
    NotificationCenter center;
    int calls = 0;
    {
        auto observation = center.addObserver("n", [&](const Notification&) { ++calls; });
        center.post("n");
        center.post("other");
    }
    center.post("n");
    EXPECT_EQ(calls, 1);
    // A handler that removes a later observer of the same post: the later one is not called.
    NotificationCenter::Observation second;
    auto first = center.addObserver("n", [&](const Notification&) { second.reset(); });
    second = center.addObserver("n", [&](const Notification&) { ++calls; });
    center.post("n");
    EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace penwell
