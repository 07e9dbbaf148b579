#include <gtest/gtest.h>

#include "render/RenderTestSupport.h"

namespace penwell {
namespace {

using testing::clear;
using testing::inked;
using testing::ShownPad;
using testing::solidImage;
using testing::strokeThrough;
using testing::TestPad;

constexpr Rgba kBlue{0, 0, 255, 255};
constexpr Rgba kRed{255, 0, 0, 255};

/// A plain stroke of 13 samples (one more than the default threshold) on the straight line
/// from `a` to `b`, both included.
Stroke thirteenSamples(Point a, Point b) {
    Stroke s;
    for (int i = 0; i <= 12; ++i) {
        const double f = i / 12.0;
        s.push_back(_point::initwith({a.x + f * (b.x - a.x), a.y + f * (b.y - a.y)},
                                     static_cast<std::uint64_t>(i) * 8, 0.0));
    }
    s.back() = _point::initwith(b, 96, 0.0);  // exactly b, whatever the rounding above
    return s;
}

TEST(SignatureImage, NilUntilTheStrokesPassTheThreshold) {
    ShownPad t;
    Stroke twelve = thirteenSamples({20, 20}, {200, 20});
    twelve.pop_back();
    t.restore({twelve});
    EXPECT_TRUE(inked(*t.pad->image(), 100, 20));  // ink shows, yet it is no signature
    EXPECT_FALSE(t.controller->getSignatureImage(false));
    EXPECT_FALSE(t.controller->getSignatureImage(true));
    t.restore({twelve, strokeThrough({{20, 200}})});
    EXPECT_TRUE(t.controller->getSignatureImage(false));
}

TEST(SignatureImage, UncroppedIsThePadsSizeTransparentWithoutInkAndInTheNewLinecolor) {
    TestPad t({300, 400});
    t.controller->setIphoneport(solidImage(300, 400, kRed));
    t.controller->setIbackcolor(Color::rgb(0, 1, 0));
    t.show();
    ASSERT_TRUE(t.controller->restoreSignature({thirteenSamples({20, 20}, {200, 20})}));
    // A new linecolor is used at once, though the pad still shows the old ink.
    t.controller->setLinecolor(Color::rgb(1, 0, 0));
    const std::optional<Image> image = t.controller->getSignatureImage(false);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width(), 300);
    EXPECT_EQ(image->height(), 400);
    EXPECT_EQ(image->pixel(100, 20), kRed);
    EXPECT_EQ(t.pad->image()->pixel(100, 20), kBlue);
    EXPECT_EQ(t.controller->inkComponents(), (InkComponents{1, 0, 0, 1}));
    EXPECT_TRUE(clear(*image, 100, 60));
    EXPECT_TRUE(clear(*image, 0, 0));
    EXPECT_TRUE(clear(*image, 299, 399));
}

TEST(SignatureImage, CropIsTheBoxOfThePointsWithATwentyPointMarginInWholePixels) {
    const struct {
        Point from, to;
        PixelRect crop;
    } cases[] = {
        {{100, 50}, {300, 150}, {80, 30, 240, 140}},
        {{5, 50}, {205, 150}, {0, 30, 225, 140}},  // the box starts at x = -15: 15 narrower
        // x from 80.5 to 320.25 and y from 30.25 to 170.75 become pixels 80..320 and 30..170.
        {{100.5, 50.25}, {300.25, 150.75}, {80, 30, 241, 141}},
    };
    for (const auto& c : cases) {
        ShownPad t({400, 300});
        t.restore({thirteenSamples(c.from, c.to)});
        const std::optional<Image> full = t.controller->getSignatureImage(false);
        const std::optional<Image> cropped = t.controller->getSignatureImage(true);
        ASSERT_TRUE(full && cropped);
        EXPECT_EQ(cropped->width(), c.crop.width) << c.from.x;
        EXPECT_EQ(cropped->height(), c.crop.height) << c.from.x;
        EXPECT_TRUE(cropped->samePixels(full->cropped(c.crop))) << c.from.x;
        EXPECT_TRUE(inked(*cropped, static_cast<int>(c.from.x) - c.crop.x,
                          static_cast<int>(c.from.y) - c.crop.y))
            << c.from.x;
    }
}

TEST(SignatureImage, SmoothedBoxIsThatOfTheSmoothedPoints) {
    ShownPad t;
    t.controller->setMinSigPoints(4);
    const Stroke zigzag = strokeThrough({{50, 50}, {150, 50}, {150, 150}, {50, 150}, {50, 250}});
    t.restore({Stroke{}, zigzag, Stroke{}});  // empty strokes do not widen the box
    std::optional<Image> cropped = t.controller->getSignatureImage(true);
    ASSERT_TRUE(cropped);
    EXPECT_EQ(cropped->width(), 140);
    EXPECT_EQ(cropped->height(), 240);

    // Smoothed, the points reach from (42.96875, 42.96875) to (162.5, 250).
    t.controller->setSmoothing(true);
    cropped = t.controller->getSignatureImage(true);
    ASSERT_TRUE(cropped);
    EXPECT_EQ(cropped->width(), 161);
    EXPECT_EQ(cropped->height(), 248);
}

TEST(SignatureImage, RepeatablePaintsWhatTheRedrawPaintsAndLeavesThePadAndStrokesAlone) {
    // Over a transparent pad the redraw's image is the ink alone, so both must agree pixel
    // for pixel: the same strokes, widths, smoothing and painting order.
    for (bool smoothing : {false, true}) {
        ShownPad t;
        t.controller->setSmoothing(smoothing);
        t.controller->setLineWidth(5);
        Stroke stylus = strokeThrough({{40, 300}}, 0.5);
        stylus.push_back(_point::initwith({140, 320}, 8, 1.5));
        stylus.push_back(_point::initwith({240, 300}, 16, 3.0));
        t.restore({thirteenSamples({20, 20}, {200, 80}), stylus,
                   strokeThrough({{30, 100}, {-1, 150}, {130, 200}, {230, 160}})});
        const Image pad = *t.pad->image();
        const std::vector<Stroke> strokes = t.controller->lines();
        const std::optional<Image> first = t.controller->getSignatureImage(false);
        const std::optional<Image> second = t.controller->getSignatureImage(false);
        ASSERT_TRUE(first && second);
        EXPECT_TRUE(first->samePixels(*second)) << smoothing;
        EXPECT_TRUE(first->samePixels(pad)) << smoothing;
        EXPECT_TRUE(t.pad->image()->samePixels(pad)) << smoothing;
        EXPECT_EQ(t.controller->lines(), strokes);
    }
}

TEST(SignatureImage, MidStrokeLeavesTheLiveInkAlone) {
    ShownPad t;
    auto& c = *t.controller;
    t.restore({thirteenSamples({20, 20}, {200, 80})});
    t.down({200, 300}, 1.0);
    t.move({210, 310}, 1.01);
    const Stroke inProgress = c.points();
    const Image pad = t.image();
    EXPECT_TRUE(c.getSignatureImage(false));
    EXPECT_TRUE(c.exportSignature({ExportFormat::SVG, 1.0, true, true}));
    EXPECT_EQ(c.points(), inProgress);
    EXPECT_TRUE(t.image().samePixels(pad));
    // The stroke carries on from where it was, over the same pad.
    t.move({260, 310}, 1.02);
    EXPECT_TRUE(inked(t.image(), 205, 305));
    EXPECT_TRUE(inked(t.image(), 250, 310));
    EXPECT_TRUE(inked(t.image(), 110, 50));
}

}  // namespace
}  // namespace penwell
