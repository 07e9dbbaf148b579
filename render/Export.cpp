#include "capture/Penwell.h"
#include "render/StrokePainter.h"

namespace penwell {

namespace {

/// Margin around the drawn points' box, in points, so that the line's width and its round
/// caps fit into the cropped image.
constexpr double kCropMargin = 20.0;

}  // namespace

std::optional<Image> PenwellViewController::getSignatureImage(bool crop) {
    if (!isSignature()) {
        return std::nullopt;
    }
    _assignLineColorRBG();
    if (!sigImage_) {
        return std::nullopt;
    }
    const Size size = sigImage_->frame().size;
    if (pixelExtent(size.width) == 0 || pixelExtent(size.height) == 0) {
        return std::nullopt;  // an image without pixels is no picture of a signature
    }

    // Own context and cursor: the pad, the live ink and a stroke being captured are untouched.
    // Nothing is painted first, so the image is transparent wherever there is no ink.
    auto context = services_.graphics->beginImageContext(size);
    if (!context) {
        return std::nullopt;  // no bitmap of the pad's size can be made
    }
    render::PointBox box{{size.width, size.height}, {0.0, 0.0}};
    render::paintStrokes(*services_.graphics, *context, _lines,
                         {red, green, blue, alpha, lineWidth_}, smoothing_, &box);
    Image image = context->makeImage();
    context.reset();
    if (!crop) {
        return image;
    }

    const double x = box.min.x - kCropMargin;
    const double y = box.min.y - kCropMargin;
    const double width = box.max.x - box.min.x + 2.0 * kCropMargin;
    const double height = box.max.y - box.min.y + 2.0 * kCropMargin;
    // Sample positions need not be whole: the rectangle grows outward to whole pixels, so no
    // ink inside it is cut. It always meets the image, because the box starts at the pad's
    // far corner and at its origin.
    return image.cropped(pixelRectOutward(x, y, x + width, y + height));
}

}  // namespace penwell
