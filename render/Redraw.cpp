#include "penwell/capture/Penwell.h"
#include "penwell/render/StrokePainter.h"

namespace penwell {

void PenwellViewController::renderSignture() {
    drawBackground();
    if (!sigImage_) {
        return;
    }
    const Size size = sigImage_->frame().size;
    if (pixelExtent(size.width) == 0 || pixelExtent(size.height) == 0) {
        return;  // a bitmap without pixels shows nothing; the background step was all there is
    }

    // A context of its own, never contextRef: a stroke being captured keeps its live context
    // and its cursor, and carries on over the new pad image at its next sample.
    auto context = services_.graphics->beginImageContext(size);
    if (!context) {
        return;  // a pad too large for a bitmap: as with no pixels, the background step is all
    }
    if (const std::optional<Image>& background = sigImage_->image()) {
        context->drawImage(*background, {{0.0, 0.0}, size});
    }
    render::paintStrokes(*context, _lines, {red, green, blue, alpha, lineWidth_}, smoothing_);
    sigImage_->setImage(context->makeImage());
    redrawnLines_ = _lines.size();
    redrawnSmoothing_ = smoothing_;
}

}  // namespace penwell
