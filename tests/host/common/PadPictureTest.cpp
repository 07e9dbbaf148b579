// What a signer sees of the pad: a pixel over the background is what Cairo itself composites
// (the browser and the desktop show the pad over its colour without Cairo), the background is
// the view's colour over white, and the changed part is the box of the tiles that were copied.

#include <cairo.h>
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "penwell/host/common/PadPicture.h"

namespace penwell::host {
namespace {

/// `pixel` (premultiplied ARGB32) painted with Cairo's OVER onto one `opaque` pixel.
std::uint32_t cairoOver(std::uint32_t pixel, std::uint32_t opaque) {
    std::uint32_t source = pixel, target = opaque;
    const int stride = cairo_format_stride_for_width(CAIRO_FORMAT_ARGB32, 1);
    cairo_surface_t* src = cairo_image_surface_create_for_data(
        reinterpret_cast<unsigned char*>(&source), CAIRO_FORMAT_ARGB32, 1, 1, stride);
    cairo_surface_t* dst = cairo_image_surface_create_for_data(
        reinterpret_cast<unsigned char*>(&target), CAIRO_FORMAT_ARGB32, 1, 1, stride);
    cairo_t* cr = cairo_create(dst);
    cairo_set_source_surface(cr, src, 0, 0);
    cairo_paint(cr);
    cairo_destroy(cr);
    cairo_surface_flush(dst);
    cairo_surface_destroy(dst);
    cairo_surface_destroy(src);
    return target;
}

TEST(PadPicture, APixelOverTheBackgroundIsWhatCairoComposites) {
    for (const std::uint32_t background : {0xffffffffu, 0xff000000u, 0xff3c8ad1u, 0xfffe0102u}) {
        for (std::uint32_t alpha = 0; alpha <= 255; ++alpha) {
            // Premultiplied channels run from 0 to alpha: both ends and points between.
            for (const std::uint32_t channel : {0u, alpha / 3, alpha / 2, alpha}) {
                const std::uint32_t pixel =
                    alpha << 24 | channel << 16 | (alpha - channel) << 8 | channel / 2;
                ASSERT_EQ(over(pixel, background), cairoOver(pixel, background))
                    << std::hex << pixel << " over " << background;
            }
        }
    }
}

TEST(PadPicture, TheBackgroundIsTheViewsColourOverWhite) {
    const struct {
        std::optional<Color> color;
        std::uint32_t pixel;
    } cases[] = {
        {std::nullopt, 0xffffffffu},
        {Color::clearColor(), 0xffffffffu},
        {Color::blackColor(), 0xff000000u},
        {Color::rgb(1.0, 0.0, 0.0), 0xffff0000u},
        // Half red over white: (255, 127.5, 127.5) rounds to (255, 128, 128).
        {Color::rgb(1.0, 0.0, 0.0, 0.5), 0xffff8080u},
        {Color::grey(0.2), 0xff333333u},
        // Components out of range are held to it, as the pad holds them.
        {Color::rgb(2.0, -1.0, 0.5, 1.0), 0xffff0080u},
    };
    for (const auto& [color, pixel] : cases) {
        EXPECT_EQ(opaqueBackground(color), pixel) << std::hex << pixel;
    }
}

TEST(PadPicture, TheChangedPartIsTheBoxOfTheCopiedTiles) {
    constexpr int width = 200, height = 130;  // the last column and row of tiles are partial
    std::vector<std::uint32_t> pixels(width * height, 0xff102030u);
    const Image first =
        Image::snapshot(pixels.data(), width, width, height, nullptr, {0, 0, width, height});
    EXPECT_EQ(changedSince(first, std::nullopt), (PixelRect{0, 0, width, height}));

    const struct {
        PixelRect touched;
        PixelRect changed;
    } cases[] = {
        {{130, 70, 1, 1}, {128, 64, 64, 64}},
        {{60, 10, 10, 1}, {0, 0, 128, 64}},    // across a tile's edge
        {{199, 129, 1, 1}, {192, 128, 8, 2}},  // the partial corner tile, cut to the image
        {{10, 10, 1, 1}, {0, 0, 64, 64}},
        {{10, 100, 180, 1}, {0, 64, 192, 64}},  // a long stroke across four tiles
    };
    for (const auto& [touched, changed] : cases) {
        const Image next = Image::snapshot(pixels.data(), width, width, height, &first, touched);
        EXPECT_EQ(changedSince(next, first), changed) << touched.x << "," << touched.y;
        EXPECT_TRUE(changedSince(next, next).empty());
    }
    // Another size: all of it is new.
    const Image smaller = Image::snapshot(pixels.data(), width, 100, 100, &first, {0, 0, 1, 1});
    EXPECT_EQ(changedSince(smaller, first), (PixelRect{0, 0, 100, 100}));
}

}  // namespace
}  // namespace penwell::host
