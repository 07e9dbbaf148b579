#include <gtest/gtest.h>

#include <filesystem>
#include <limits>

#include "penwell/platform/Defaults.h"
#include "penwell/platform/cairo/CairoGraphics.h"
#include "support/CertificateFixtures.h"
#include "support/TestPad.h"

namespace penwell {
namespace {

// A context is transparent at one pixel per point, rounding its size up.
TEST(CairoGraphics, ContextSizeRoundCapsWidthColourAndAntialiasing) {
    auto graphics = cairo::makeGraphics();
    EXPECT_EQ(graphics->beginImageContext({-4, 0})->makeImage().width(), 0);
    auto context = graphics->beginImageContext({99.5, 100});
    context->setLineCap(LineCap::Round);
    context->setLineWidth(10);
    context->setAllowsAntialiasing(false);
    context->setRGBStrokeColor(1, 0, 0, 1);
    context->beginPath();
    context->moveToPoint({20, 50});
    context->addLineToPoint({80, 50});
    context->strokePath();
    const Image image = context->makeImage();
    EXPECT_EQ(image.size(), (Size{100, 100}));
    EXPECT_EQ(image.premultipliedPixel(50, 80), 0u);
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

// Hostile input reaches Cairo bounded: each stroke paints exactly what its tame twin paints,
// fast (a 1e12 width used to keep the stroker busy for minutes; an end at 1e12 wrapped around in
// Cairo's fixed point; NaN colours were undefined behaviour on conversion).
TEST(CairoGraphics, HostileStrokesPaintWhatTheirTameTwinsPaint) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    struct Line {
        Point from, to;
        double width;
        double red = 1.0, alpha = 1.0;
    };
    const struct {
        const char* name;
        Line hostile, tame;
    } cases[] = {
        {"width 1e12", {{50, 50}, {60, 50}, 1e12}, {{50, 50}, {60, 50}, 1000}},
        {"an end at 1e12", {{50, 50}, {1e12, 50}, 3}, {{50, 50}, {150, 50}, 3}},
        {"an end at -1e300", {{50, 50}, {50, -1e300}, 3}, {{50, 50}, {50, -10}, 3}},
        {"both ends far outside", {{-1e15, 30}, {1e15, 30}, 5}, {{-10, 30}, {110, 30}, 5}},
        {"a NaN end", {{50, 50}, {kNaN, 50}, 3}, {{50, 50}, {60, 50}, 0}},
        {"a NaN width", {{50, 50}, {60, 50}, kNaN}, {{50, 50}, {60, 50}, 0}},
        {"NaN and 7 as colour components",
         {{50, 50}, {60, 50}, 3, kNaN, 7},
         {{50, 50}, {60, 50}, 3, 0, 1}},
    };
    auto graphics = cairo::makeGraphics();
    auto paint = [&](const Line& line) {
        auto context = graphics->beginImageContext({100, 100});
        context->setLineCap(LineCap::Round);
        context->setLineWidth(line.width);
        context->setRGBStrokeColor(line.red, 0.5, 0.0, line.alpha);
        context->beginPath();
        context->moveToPoint(line.from);
        context->addLineToPoint(line.to);
        context->strokePath();
        return context->makeImage();
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(paint(c.hostile).samePixels(paint(c.tame))) << c.name;
    }
    // A line wider than the bitmap's diagonal along a path off the bitmap still reaches as far
    // as its width says: its round cap at x = -140 ends at x = 60.
    const Image offBitmap = paint({{-150, 50}, {-140, 50}, 400});
    EXPECT_EQ(offBitmap.pixel(58, 50).a, 255);
    EXPECT_EQ(offBitmap.pixel(62, 50).a, 0);

    // Drawing into a rectangle of no area or a non-finite one paints nothing (and leaks nothing).
    auto context = graphics->beginImageContext({20, 20});
    const Image dot = testing::solidImage(2, 2, {255, 0, 0, 255});
    for (const Rect r : {Rect{{5, 5}, {0, 5}}, Rect{{kNaN, 0}, {4, 4}},
                         Rect{{0, 0}, {std::numeric_limits<double>::infinity(), 4}}}) {
        context->drawImage(dot, r);
    }
    EXPECT_TRUE(context->makeImage().samePixels(Image::transparent(20, 20)));
    // Beyond Cairo's largest bitmap there is no context rather than one without pixels.
    EXPECT_FALSE(graphics->beginImageContext({32768, 1}));

    // A view's background colour with NaN or infinite components: NaN counts as 0, the rest
    // is limited to [0, 1].
    ImageView view({{0, 0}, {4, 4}});
    view.setBackgroundColor(Color::rgb(kNaN, 2.0, 0.5, 1.0));
    EXPECT_EQ(renderView(*graphics, view).pixel(1, 1), (Rgba{0, 255, 128, 255}));
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
    const test::TempDir folder;
    const Image image = testing::solidImage(7, 5, {10, 200, 30, 255});
    ASSERT_TRUE(cairo::writePng(image, folder.path() / "a.png"));
    const auto back = cairo::readPng(folder.path() / "a.png");
    ASSERT_TRUE(back && back->samePixels(image));
    EXPECT_FALSE(cairo::readPng(folder.path() / "missing.png"));
}

}  // namespace
}  // namespace penwell
