#include <cmath>

#include "penwell/capture/Penwell.h"

namespace penwell {

// The live ink draws each segment into a context that holds the pad's image and all ink so
// far, and shows a new image of it after every segment. Images share unchanged tiles, so the
// cost of a sample depends on the segment, not on the pad's size or the signature's length.
//
// A host may repaint the pad during a stroke (undo, clear, an export's redraw, a posted clear).
// Before drawing, the live ink checks whether the pad still shows the image it set last; if not,
// it reopens its context from the pad's new image and strokes again what is left of the stroke
// in _points (nothing after a clear), so its ink continues on top and discarded ink never comes
// back.

void PenwellViewController::touchesBegan(const TouchSet& touches, const Event& /*event*/) {
    if (collectPoints || !sigImage_) {
        return;  // a second touch-down during a stroke starts nothing; no pad, nothing to draw
    }
    collectPoints = true;
    cancelSmoothingTimer();
    const Touch& t = touches.anyObject();
    lastPoint = t.locationInView(*sigImage_);
    tZero = t.timestamp;
    pointsType_ = t.type;
    _points.clear();
    liveWidths_.clear();
    _points.push_back(_point::initwith(lastPoint, 0, t.force));
    liveWidths_.push_back(0.0);
    liveCursor_ = lastPoint;
    liveWidth_ = lineWidth_;
    openLiveInk();
}

void PenwellViewController::touchesMoved(const TouchSet& touches, const Event& event) {
    if (!collectPoints || !sigImage_) {
        return;  // without a pad view there is no space to place the touch in
    }
    if (!padShowsLiveInk()) {
        openLiveInk();
    }
    for (const Touch& c : event.coalescedTouchesForTouch(touches.anyObject())) {
        newPoint = c.locationInView(*sigImage_);
        if (c.type == touch_type::kStylus) {
            // Not set back afterwards: the width holds until the next stylus sample changes it.
            liveWidth_ = 2.0 * c.force;
        }
        strokeLiveSegment(newPoint);
        showLiveInk();
        lastPoint = newPoint;
        _points.push_back(
            _point::initwith(lastPoint, elapsedMilliseconds(c.timestamp, tZero), c.force));
    }
}

void PenwellViewController::touchesEnded(const TouchSet& touches, const Event& /*event*/) {
    const Touch& t = touches.anyObject();
    if (collectPoints) {
        finishStroke(t);
    }
    if (smoothing_ && t.type != touch_type::kStylus) {
        cancelSmoothingTimer();
        timeout =
            services_.runLoop->scheduleTimer(static_cast<double>(smoothingDelay_),
                                             [alive = std::weak_ptr<const bool>(alive_), this] {
                                                 if (alive.lock()) {
                                                     SmoothRedraw();
                                                 }
                                             });
    }
}

void PenwellViewController::touchesCancelled(const TouchSet& touches, const Event& /*event*/) {
    // The toolkit took the touch away (a system gesture, a call). Without this the controller
    // would stay in the middle of a stroke: the next touch-down would be ignored and its moves
    // would join the stale stroke. The samples so far are kept; no smoothing is scheduled.
    if (collectPoints) {
        finishStroke(touches.anyObject());
    }
}

void PenwellViewController::SmoothRedraw() {
    if (!timeout) {
        return;
    }
    collectPoints = true;  // refuses autorotation while the pad is repainted
    cancelSmoothingTimer();
    renderSignture();
    collectPoints = false;
}

void PenwellViewController::undoSignature() {
    if (!_lines.empty()) {
        _lines.pop_back();
    }
    renderSignture();
}

void PenwellViewController::finishStroke(const Touch& t) {
    collectPoints = false;
    if (sigImage_ && !padShowsLiveInk()) {
        openLiveInk();
    }
    if (_points.size() == 1) {
        // A tap: three more samples around the touch make a closed triangle one point wide,
        // which the round caps turn into a visible dot.
        const Point p = _points.front().CGPointValue();
        const std::uint64_t e = elapsedMilliseconds(t.timestamp, tZero);
        lastPoint = p;
        liveCursor_ = p;
        for (const Point q : {Point{p.x + 1.0, p.y}, Point{p.x, p.y + 1.0}, p}) {
            _points.push_back(_point::initwith(q, e, t.force));
            strokeLiveSegment(q);
            lastPoint = q;
        }
        showLiveInk();
    }
    if (!_points.empty()) {
        // A clear during the stroke with no sample after it leaves nothing: storing an empty
        // stroke would make the next undo remove nothing visible.
        _lines.push_back(_points);  // a copy: emptying _points leaves the finished stroke intact
        noteStrokeKind(pointsType_);
    }
    _points.clear();
    liveWidths_.clear();
    liveCursor_.reset();
    contextRef.reset();
}

bool PenwellViewController::padShowsLiveInk() const {
    const auto& image = sigImage_->image();
    return image && image->identity() == liveImage_;
}

void PenwellViewController::openLiveInk() {
    const Size size = sigImage_->frame().size;
    const std::optional<Image>& image = sigImage_->image();
    liveImage_ = image ? image->identity() : 0;
    // What is left of the stroke: all of it after a repaint, nothing after a clear emptied it.
    if (_points.empty()) {
        liveWidths_.clear();
        liveCursor_.reset();
    } else {
        liveWidths_.resize(_points.size(), liveWidth_);
        liveCursor_ = _points.back().CGPointValue();
    }
    contextRef = services_.graphics->beginImageContext(size);
    if (!contextRef) {
        return;  // a pad the graphics cannot paint shows no ink, but every sample is still kept
    }
    if (image) {
        contextRef->drawImage(*image, {{0, 0}, size});
    }
    contextRef->setLineCap(LineCap::Round);
    contextRef->setRGBStrokeColor(red, green, blue, alpha);
    contextRef->beginPath();
    // Stroke it again, each segment at the width it had.
    for (std::size_t i = 1; i < _points.size(); ++i) {
        contextRef->setLineWidth(liveWidths_[i]);
        contextRef->moveToPoint(_points[i - 1].CGPointValue());
        contextRef->addLineToPoint(_points[i].CGPointValue());
        contextRef->strokePath();
    }
    contextRef->setLineWidth(liveWidth_);
    if (_points.size() > 1) {
        showLiveInk();
    }
}

void PenwellViewController::strokeLiveSegment(Point to) {
    liveWidths_.push_back(liveWidth_);
    if (liveCursor_ && contextRef) {
        contextRef->setLineWidth(liveWidth_);
        contextRef->moveToPoint(*liveCursor_);
        contextRef->addLineToPoint(to);
        contextRef->strokePath();
    }
    liveCursor_ = to;
}

void PenwellViewController::showLiveInk() {
    if (!contextRef || !sigImage_) {
        return;  // nothing could be painted, or the pad view went away during the stroke
    }
    Image image = contextRef->makeImage();
    liveImage_ = image.identity();
    sigImage_->setImage(std::move(image));
}

void PenwellViewController::cancelSmoothingTimer() {
    if (timeout) {
        timeout->invalidate();
        timeout.reset();
    }
}

}  // namespace penwell
