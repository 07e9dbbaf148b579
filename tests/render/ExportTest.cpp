#include <gtest/gtest.h>

#include "render/RenderTestSupport.h"
#include "support/TestPad.h"

namespace penwell {
namespace {

using testing::clear;
using testing::inked;
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

struct ExportPad : TestPad {
    explicit ExportPad(Size size = {300, 400}) : TestPad(size) { show(); }
    std::vector<Stroke>& lines() { return ControllerTestAccess::lines(*controller); }
};

TEST(SignatureImage, NilUntilTheStrokesPassTheThreshold) {
    ExportPad t;
    Stroke twelve = thirteenSamples({20, 20}, {200, 20});
    twelve.pop_back();
    t.lines() = {twelve};
    t.controller->renderSignture();
    EXPECT_TRUE(inked(*t.pad->image(), 100, 20));  // ink shows, yet it is no signature
    EXPECT_FALSE(t.controller->getSignatureImage(false));
    EXPECT_FALSE(t.controller->getSignatureImage(true));
    t.lines().push_back(strokeThrough({{20, 200}}));
    EXPECT_TRUE(t.controller->getSignatureImage(false));
}

TEST(SignatureImage, UncroppedIsThePadsSizeAndTransparentWithoutInk) {
    TestPad t({300, 400});
    t.controller->setIphoneport(solidImage(300, 400, kRed));
    t.controller->setIbackcolor(Color::rgb(0, 1, 0));
    t.show();
    ControllerTestAccess::lines(*t.controller) = {thirteenSamples({20, 20}, {200, 20})};
    const std::optional<Image> image = t.controller->getSignatureImage(false);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width(), 300);
    EXPECT_EQ(image->height(), 400);
    EXPECT_EQ(image->pixel(100, 20), kBlue);
    EXPECT_TRUE(clear(*image, 100, 60));
    EXPECT_TRUE(clear(*image, 0, 0));
    EXPECT_TRUE(clear(*image, 299, 399));
}

TEST(SignatureImage, CropIsTheBoxOfThePointsWithATwentyPointMargin) {
    ExportPad t({400, 300});
    t.lines() = {thirteenSamples({100, 50}, {300, 150})};
    const std::optional<Image> full = t.controller->getSignatureImage(false);
    const std::optional<Image> cropped = t.controller->getSignatureImage(true);
    ASSERT_TRUE(full && cropped);
    EXPECT_EQ(cropped->width(), 240);
    EXPECT_EQ(cropped->height(), 140);
    EXPECT_TRUE(cropped->samePixels(full->cropped({80, 30, 240, 140})));
    EXPECT_TRUE(inked(*cropped, 20, 20));    // the point (100, 50)
    EXPECT_TRUE(inked(*cropped, 219, 119));  // the point (300, 150), from its upper-left pixel
    EXPECT_TRUE(clear(*cropped, 0, 0));
}

TEST(SignatureImage, CropIsLimitedToTheImage) {
    ExportPad t({400, 300});
    t.lines() = {thirteenSamples({5, 50}, {205, 150})};
    const std::optional<Image> cropped = t.controller->getSignatureImage(true);
    ASSERT_TRUE(cropped);
    EXPECT_EQ(cropped->width(), 225);  // the rectangle starts at x = -15
    EXPECT_EQ(cropped->height(), 140);
    EXPECT_TRUE(inked(*cropped, 5, 20));
}

TEST(SignatureImage, CropGrowsOutwardToWholePixels) {
    ExportPad t({400, 300});
    t.lines() = {thirteenSamples({100.5, 50.25}, {300.25, 150.75})};
    const std::optional<Image> full = t.controller->getSignatureImage(false);
    const std::optional<Image> cropped = t.controller->getSignatureImage(true);
    ASSERT_TRUE(full && cropped);
    // x from 80.5 to 320.25 and y from 30.25 to 170.75 become pixels 80..320 and 30..170.
    EXPECT_EQ(cropped->width(), 241);
    EXPECT_EQ(cropped->height(), 141);
    EXPECT_TRUE(cropped->samePixels(full->cropped({80, 30, 241, 141})));
}

TEST(SignatureImage, SmoothedBoxIsThatOfTheSmoothedPoints) {
    ExportPad t;
    t.controller->setMinSigPoints(4);
    const Stroke zigzag = strokeThrough({{50, 50}, {150, 50}, {150, 150}, {50, 150}, {50, 250}});
    t.lines() = {Stroke{}, zigzag, Stroke{}};  // empty strokes do not widen the box
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

TEST(SignatureImage, NewLinecolorIsUsedAtOnce) {
    ExportPad t;
    t.lines() = {thirteenSamples({20, 20}, {200, 20})};
    t.controller->renderSignture();
    t.controller->setLinecolor(Color::rgb(1, 0, 0));
    const std::optional<Image> image = t.controller->getSignatureImage(false);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->pixel(100, 20), kRed);
    EXPECT_EQ(t.pad->image()->pixel(100, 20), kBlue);  // the pad still shows the old ink
    EXPECT_EQ(t.controller->inkComponents(), (InkComponents{1, 0, 0, 1}));
}

TEST(SignatureImage, RepeatableAndLeavesThePadAndStrokesAlone) {
    ExportPad t;
    t.controller->setSmoothing(true);
    t.lines() = {thirteenSamples({20, 20}, {200, 80}),
                 strokeThrough({{30, 200}, {130, 210}, {230, 200}}, 0.75)};
    t.controller->renderSignture();
    const Image pad = *t.pad->image();
    const std::vector<Stroke> strokes = t.lines();
    const std::optional<Image> first = t.controller->getSignatureImage(true);
    const std::optional<Image> second = t.controller->getSignatureImage(true);
    ASSERT_TRUE(first && second);
    EXPECT_TRUE(first->samePixels(*second));
    EXPECT_TRUE(t.pad->image()->samePixels(pad));
    EXPECT_EQ(t.controller->lines(), strokes);
    EXPECT_TRUE(t.controller->isSignature());
}

TEST(SignatureImage, PaintsWhatTheRedrawPaints) {
    // Over a transparent pad the redraw's image is the ink alone, so both must agree pixel
    // for pixel: the same strokes, widths, smoothing and painting order.
    for (bool smoothing : {false, true}) {
        ExportPad t;
        t.controller->setSmoothing(smoothing);
        t.controller->setLineWidth(5);
        Stroke stylus = strokeThrough({{40, 300}}, 0.5);
        stylus.push_back(_point::initwith({140, 320}, 8, 1.5));
        stylus.push_back(_point::initwith({240, 300}, 16, 3.0));
        t.lines() = {thirteenSamples({20, 20}, {200, 80}), stylus,
                     strokeThrough({{30, 100}, {-1, 150}, {130, 200}, {230, 160}})};
        t.controller->renderSignture();
        const std::optional<Image> image = t.controller->getSignatureImage(false);
        ASSERT_TRUE(image);
        EXPECT_TRUE(image->samePixels(*t.pad->image())) << smoothing;
    }
}

TEST(SignatureImage, MidStrokeLeavesTheLiveInkAlone) {
    ExportPad t;
    auto& c = *t.controller;
    t.lines() = {thirteenSamples({20, 20}, {200, 80})};
    const Stroke inProgress = strokeThrough({{200, 300}, {210, 310}, {220, 305}});
    ControllerTestAccess::points(c) = inProgress;
    ControllerTestAccess::lastPoint(c) = {220, 305};
    auto& live = ControllerTestAccess::contextRef(c);
    live = t.services.graphics->beginImageContext({300, 400});
    const GraphicsContext* liveContext = live.get();
    const Image pad = *t.pad->image();
    EXPECT_TRUE(c.getSignatureImage(false));
    EXPECT_TRUE(c.getSignatureImage(true));
    EXPECT_EQ(ControllerTestAccess::points(c), inProgress);
    EXPECT_EQ(ControllerTestAccess::lastPoint(c), (Point{220, 305}));
    EXPECT_EQ(live.get(), liveContext);
    EXPECT_TRUE(live->makeImage().samePixels(Image::transparent(300, 400)));
    EXPECT_TRUE(t.pad->image()->samePixels(pad));
}

TEST(SignatureImage, NilWithoutPixelsOrWithoutPad) {
    for (Size size : {Size{0, 400}, Size{300, 0}}) {
        ExportPad t(size);
        t.lines() = {thirteenSamples({1, 1}, {20, 20})};
        EXPECT_FALSE(t.controller->getSignatureImage(false));
    }
    ExportPad t;
    t.lines() = {thirteenSamples({1, 1}, {20, 20})};
    t.controller->setSigImage(nullptr);
    EXPECT_FALSE(t.controller->getSignatureImage(false));
}

TEST(SignatureImage, BoxStartsAtThePadsCorners) {
    // Ink wholly beyond the pad's far corner: the box still starts at (300, 400), so the crop
    // is the pad's last 20 x 20 pixels, all transparent.
    ExportPad t;
    t.lines() = {thirteenSamples({1000, 1000}, {1100, 1000})};
    const std::optional<Image> cropped = t.controller->getSignatureImage(true);
    ASSERT_TRUE(cropped);
    EXPECT_EQ(cropped->width(), 20);
    EXPECT_EQ(cropped->height(), 20);
    EXPECT_TRUE(cropped->samePixels(Image::transparent(20, 20)));

    // And before the origin: the box still ends at (0, 0).
    t.lines() = {thirteenSamples({-500, -300}, {-400, -300})};
    const std::optional<Image> corner = t.controller->getSignatureImage(true);
    ASSERT_TRUE(corner);
    EXPECT_EQ(corner->width(), 20);
    EXPECT_EQ(corner->height(), 20);
}

}  // namespace
}  // namespace penwell
