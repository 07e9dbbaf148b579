#include "penwell/capture/Penwell.h"

namespace penwell {

const std::optional<Image>& PenwellViewController::backgroundPicture(int& offset) const {
    const std::optional<std::int64_t> idiom = services_.device->userInterfaceIdiom();
    const bool pad = idiom && *idiom == UIUserInterfaceIdiomPad;
    const bool portrait = currentOrientation == orientation::kPortrait ||
                          currentOrientation == orientation::kPortraitUpsideDown;
    if (pad) {
        offset = portrait ? ipadportY_ : ipadlandY_;
        return portrait ? ipadport_ : ipadland_;
    }
    offset = portrait ? iphoneportY_ : iphonelandY_;
    return portrait ? iphoneport_ : iphoneland_;
}

void PenwellViewController::drawBackground() {
    const Size size = sigImage_ ? sigImage_->bounds().size : Size{};
    auto context = services_.graphics->beginImageContext(size);

    int offset = 0;
    const std::optional<Image>& picture = backgroundPicture(offset);
    if (picture && sigImage_ && context) {
        // The picture keeps its own height and is stretched to the pad's width; whatever falls
        // outside the bitmap is cut off.
        context->drawImage(*picture, {{0.0, static_cast<double>(offset)},
                                      {sigImage_->frame().size.width, picture->size().height}});
    }
    redrawnLines_ = 0;  // no ink on the pad's image now
    if (sigImage_) {
        sigImage_->setBackgroundColor(ibackcolor_);
        // A pad the graphics cannot make a bitmap for shows nothing, like a pad of no size.
        sigImage_->setImage(context ? context->makeImage() : Image());
    }
    context.reset();
    _assignLineColorRBG();
}

void PenwellViewController::clearSignature() {
    drawBackground();
    _points.clear();
    _lines.clear();
}

void PenwellViewController::_assignLineColorRBG() {
    if (!linecolor_) {
        // No colour at all: every component reads as 0, as asking a missing colour would.
        red = green = blue = alpha = 0.0;
        return;
    }
    alpha = linecolor_->alpha();
    const auto components = linecolor_->components();
    if (linecolor_->numberOfComponents() >= 3) {
        red = components[0];
        green = components[1];
        blue = components[2];
    } else {
        // A grey-scale colour: its grey level is the level of every channel, so white or grey
        // ink stays white or grey.
        red = green = blue = components[0];
    }
}

}  // namespace penwell
