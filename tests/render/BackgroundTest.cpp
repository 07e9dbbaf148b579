#include <gtest/gtest.h>

#include "support/TestPad.h"

namespace penwell {
namespace {

using testing::clear;
using testing::solidImage;
using testing::TestPad;

constexpr Rgba kRed{255, 0, 0, 255};
constexpr Rgba kGreen{0, 255, 0, 255};

TEST(Background, PictureBandAtItsOffsetAcrossTheFullWidth) {
    TestPad t({300, 400});
    t.controller->setIphoneport(solidImage(200, 100, kRed));
    t.controller->setIphoneportY(50);
    t.controller->setIbackcolor(Color::rgb(0, 0, 1));
    t.controller->drawBackground();
    const Image& image = *t.pad->image();
    ASSERT_EQ(image.size(), (Size{300, 400}));
    for (int x : {0, 150, 299}) {
        EXPECT_TRUE(clear(image, x, 49)) << x;
        EXPECT_EQ(image.pixel(x, 50), kRed) << x;
        EXPECT_EQ(image.pixel(x, 149), kRed) << x;
        EXPECT_TRUE(clear(image, x, 150)) << x;
    }
    EXPECT_EQ(t.pad->backgroundColor(), Color::rgb(0, 0, 1));
}

TEST(Background, NegativeOffsetAndTallPicturesAreCutOff) {
    TestPad t({100, 100});
    t.controller->setIphoneport(solidImage(100, 90, kRed));
    t.controller->setIphoneportY(-20);
    t.controller->drawBackground();
    EXPECT_EQ(t.pad->image()->pixel(50, 0), kRed);
    EXPECT_EQ(t.pad->image()->pixel(50, 69), kRed);
    EXPECT_TRUE(clear(*t.pad->image(), 50, 70));
    // A picture running past the bottom is cut off there.

    t.controller->setIphoneportY(60);
    t.controller->drawBackground();
    EXPECT_TRUE(clear(*t.pad->image(), 50, 59));
    EXPECT_EQ(t.pad->image()->pixel(50, 99), kRed);
}

TEST(Background, DeviceKindAndOrientationChooseThePicture) {
    struct Case {
        std::optional<std::int64_t> idiom;
        std::int64_t orientation;
        Rgba expected;
    };
    const Rgba padPort{1, 0, 0, 255}, padLand{2, 0, 0, 255}, phonePort{3, 0, 0, 255},
        phoneLand{4, 0, 0, 255};
    const Case cases[] = {
        {UIUserInterfaceIdiomPad, orientation::kPortraitUpsideDown, padPort},
        {UIUserInterfaceIdiomPad, orientation::kUnknown, padLand},
        {UIUserInterfaceIdiomPad, orientation::kLandscapeLeft, padLand},
        {UIUserInterfaceIdiomPhone, orientation::kPortrait, phonePort},
        {UIUserInterfaceIdiomPhone, orientation::kLandscapeRight, phoneLand},
        {std::nullopt, orientation::kPortrait, phonePort},  // a device that does not answer
        {5, orientation::kPortrait, phonePort},             // an idiom of another kind
        {UIUserInterfaceIdiomPad, 9, padLand},              // unknown orientations: landscape
    };
    for (const Case& c : cases) {
        TestPad t({40, 40});
        t.host.device->setUserInterfaceIdiom(c.idiom);
        t.host.application->setStatusBarOrientation(c.orientation);
        t.controller->initialize();  // reads the orientation
        t.controller->setSigImage(t.pad);
        t.controller->setIpadport(solidImage(40, 40, padPort));
        t.controller->setIpadland(solidImage(40, 40, padLand));
        t.controller->setIphoneport(solidImage(40, 40, phonePort));
        t.controller->setIphoneland(solidImage(40, 40, phoneLand));
        t.controller->drawBackground();
        EXPECT_EQ(t.pad->image()->pixel(20, 20), c.expected)
            << "idiom " << c.idiom.value_or(-1) << " orientation " << c.orientation;
    }
}

TEST(Background, NoFallbackToAnotherPicture) {
    TestPad t({50, 50});
    t.host.application->setStatusBarOrientation(orientation::kLandscapeLeft);
    t.controller->initialize();
    t.controller->setSigImage(t.pad);
    t.controller->setIphoneport(solidImage(50, 50, kGreen));
    t.controller->setIbackcolor(Color::rgb(0.5, 0.5, 0.5));
    t.controller->drawBackground();
    EXPECT_TRUE(clear(*t.pad->image(), 25, 0) && clear(*t.pad->image(), 25, 49));
    EXPECT_EQ(t.pad->backgroundColor(), Color::rgb(0.5, 0.5, 0.5));
}

TEST(Background, InkComponentsFollowLinecolorOnlyAtTheNextPaint) {
    TestPad t;
    t.show();
    EXPECT_EQ(t.controller->inkComponents(), (InkComponents{0, 0, 1, 1}));
    t.controller->setLinecolor(Color::rgb(0.2, 0.4, 0.6, 0.5));
    EXPECT_EQ(t.controller->inkComponents(), (InkComponents{0, 0, 1, 1}));
    t.controller->drawBackground();
    EXPECT_EQ(t.controller->inkComponents(), (InkComponents{0.2, 0.4, 0.6, 0.5}));

    // A grey colour's level is every channel's: white ink is white, not black.
    t.controller->setLinecolor(Color::whiteColor());
    t.controller->_assignLineColorRBG();
    EXPECT_EQ(t.controller->inkComponents(), (InkComponents{1, 1, 1, 1}));
    t.controller->setLinecolor(Color::grey(0.7, 0.25));
    t.controller->_assignLineColorRBG();
    EXPECT_EQ(t.controller->inkComponents(), (InkComponents{0.7, 0.7, 0.7, 0.25}));
    t.controller->setLinecolor(std::nullopt);
    t.controller->_assignLineColorRBG();
    EXPECT_EQ(t.controller->inkComponents(), InkComponents{});
}

TEST(Background, WithoutPadNothingIsPaintedButTheColourIsRefreshed) {
    TestPad t;
    t.controller->setSigImage(nullptr);
    t.controller->setLinecolor(Color::rgb(1, 0, 0));
    t.controller->clearSignature();
    EXPECT_EQ(t.controller->inkComponents(), (InkComponents{1, 0, 0, 1}));
    EXPECT_FALSE(t.pad->image());
}

}  // namespace
}  // namespace penwell
