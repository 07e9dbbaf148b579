#include <gtest/gtest.h>

#include "support/TestPad.h"

namespace penwell {
namespace {

using testing::clear;
using testing::solidImage;
using testing::TestPad;

// The picture is laid at its offset across the full width; what runs past the top or the
// bottom is cut off there.
TEST(Background, PictureBandAtItsOffsetCutAtThePad) {
    const struct {
        int pictureHeight, offset, firstRow, lastRow;
    } cases[] = {{100, 50, 50, 149}, {90, -20, 0, 69}, {90, 350, 350, 399}};
    for (const auto& c : cases) {
        TestPad t({300, 400});
        t.controller->setIphoneport(solidImage(200, c.pictureHeight, kRed));
        t.controller->setIphoneportY(c.offset);
        t.controller->setIbackcolor(Color::rgb(0, 0, 1));
        t.controller->drawBackground();
        const Image& image = *t.pad->image();
        ASSERT_EQ(image.size(), (Size{300, 400}));
        for (int x : {0, 150, 299}) {
            EXPECT_TRUE(c.firstRow == 0 || clear(image, x, c.firstRow - 1)) << c.offset;
            EXPECT_EQ(image.pixel(x, c.firstRow), kRed) << c.offset;
            EXPECT_EQ(image.pixel(x, c.lastRow), kRed) << c.offset;
            EXPECT_TRUE(c.lastRow == 399 || clear(image, x, c.lastRow + 1)) << c.offset;
        }
        EXPECT_EQ(t.pad->backgroundColor(), Color::rgb(0, 0, 1));
    }
}

TEST(Background, DeviceKindAndOrientationChooseThePicture) {
    struct Case {
        std::optional<std::int64_t> idiom;
        std::int64_t orientation;
        Rgba expected;
    };
    const Rgba padPort{1, 0, 0, 255}, padLand{2, 0, 0, 255}, phonePort{3, 0, 0, 255},
        phoneLand{4, 0, 0, 255}, none{0, 0, 0, 0};
    const Case cases[] = {
        {UIUserInterfaceIdiomPad, orientation::kPortraitUpsideDown, padPort},
        {UIUserInterfaceIdiomPad, orientation::kUnknown, padLand},
        {UIUserInterfaceIdiomPad, orientation::kLandscapeLeft, padLand},
        {UIUserInterfaceIdiomPhone, orientation::kPortrait, phonePort},
        {UIUserInterfaceIdiomPhone, orientation::kLandscapeRight, phoneLand},
        {std::nullopt, orientation::kPortrait, phonePort},  // a device that does not answer
        {5, orientation::kPortrait, phonePort},             // an idiom of another kind
        {UIUserInterfaceIdiomPad, 9, padLand},              // unknown orientations: landscape
        // Without its picture the pad stays bare: no other picture stands in.
        {UIUserInterfaceIdiomPhone, orientation::kLandscapeLeft, none},
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
        if (c.expected != none) {
            t.controller->setIphoneland(solidImage(40, 40, phoneLand));
        }
        t.controller->drawBackground();
        EXPECT_EQ(t.pad->image()->pixel(20, 20), c.expected)
            << "idiom " << c.idiom.value_or(-1) << " orientation " << c.orientation;
    }
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
