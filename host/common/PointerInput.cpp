#include "penwell/host/common/PointerInput.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "penwell/capture/Penwell.h"

namespace penwell::host {

namespace {

Failure refusal(StrokeInputError code, std::string message) {
    return {kStrokeInputDomain, static_cast<std::int64_t>(code), std::move(message)};
}

}  // namespace

double forceFor(PointerKind pointer, double pressure) {
    const double p = std::isnan(pressure) ? 0.0 : std::clamp(pressure, 0.0, 1.0);
    switch (pointer) {
        case PointerKind::stylus:
            return p * kPenForceScale;
        case PointerKind::finger:
            return p * kTouchForceScale;
        case PointerKind::mouse:
        case PointerKind::unknown:
            break;
    }
    return 0.0;
}

Touch touchFor(PointerKind pointer, const PointerSample& sample) {
    Touch touch;
    touch.location = {sample.x, sample.y};
    touch.timestamp = sample.t;
    touch.force = forceFor(pointer, sample.pressure);
    touch.type = touchTypeOf(pointer);
    return touch;
}

StrokeInput::StrokeInput(PenwellViewController& controller, std::size_t samplesLimit,
                         std::function<void(const std::string&)> note)
    : controller_(controller), samplesLimit_(samplesLimit), note_(std::move(note)) {}

std::size_t StrokeInput::heldSamples() const {
    std::size_t n = controller_.points().size();
    for (const Stroke& s : controller_.lines()) {
        n += s.size();
    }
    return n;
}

MaybeFailure StrokeInput::feed(StrokePhase phase, PointerKind pointer,
                               std::span<const PointerSample> samples) {
    static constexpr const char* kNames[] = {"down", "move", "up", "cancel"};
    const char* name = kNames[static_cast<int>(phase)];
    const bool down = phase == StrokePhase::down;
    if (samples.empty()) {
        return refusal(StrokeInputError::noSample, std::string(name) + " without a sample");
    }
    if (const std::optional<std::string> fault = SampleBatch::faultIn(samples)) {
        return refusal(StrokeInputError::badSample, std::string(name) + ": " + *fault);
    }
    if (abandoned_ && !down) {
        // The rest of a stroke that was finished at a step back in time: the device does not
        // know, and its samples belong to no stroke.
        abandoned_ = phase == StrokePhase::move;
        return {};
    }
    if (down == strokeOpen_) {
        return refusal(StrokeInputError::outOfOrder, strokeOpen_
                                                         ? std::string("down during a stroke")
                                                         : std::string(name) + " without a down");
    }
    if (strokeOpen_ && pointer != strokePointer_) {
        return refusal(StrokeInputError::pointerChanged,
                       std::string(name) + ": the pointer kind changed during a stroke");
    }
    abandoned_ = false;
    // A down adds one sample, a move all of its own; an up or a cancel adds none (a tap's dot
    // adds three, which the limit's margin absorbs).
    const std::size_t adding = down ? 1 : phase == StrokePhase::move ? samples.size() : 0;
    if (heldSamples() + adding > samplesLimit_) {
        return refusal(StrokeInputError::tooManySamples,
                       "more than " + std::to_string(samplesLimit_) + " samples on the pad");
    }

    // Event clocks jitter: Chromium has delivered a pointerup 5 us before the last coalesced
    // move. A small step back takes its predecessor's time, so the record stays in order and
    // nothing is dropped; a larger one ends the stroke with what it has. A down starts a
    // stroke of its own, whose times count from it.
    std::vector<Touch> touches;
    touches.reserve(samples.size());
    for (const PointerSample& s : samples) {
        Touch t = touchFor(pointer, s);
        if (!down && t.timestamp < lastTime_) {
            const double back = lastTime_ - t.timestamp;
            if (back > kTimeJitter && phase == StrokePhase::move) {
                note_("time went back " + std::to_string(back) +
                      " s inside a stroke: the stroke ends there, with what it had");
                if (!touches.empty()) {
                    const TouchSet set{touches.back()};
                    controller_.touchesMoved(set, Event(std::move(touches)));
                }
                finishStroke();
                abandoned_ = true;
                return {};
            }
            if (back > kTimeJitter || !jitterNoted_) {
                jitterNoted_ = jitterNoted_ || back <= kTimeJitter;
                note_("a sample " + std::to_string(back) +
                      " s earlier than the one before it was taken at that one's time" +
                      (back <= kTimeJitter ? " (noted once per session)" : ""));
            }
            t.timestamp = lastTime_;
        }
        lastTime_ = t.timestamp;
        touches.push_back(t);
    }
    lastTouch_ = touches.back();
    const TouchSet set{touches.back()};
    switch (phase) {
        case StrokePhase::down:
            strokeOpen_ = true;
            strokePointer_ = pointer;
            controller_.touchesBegan(set, Event());
            break;
        case StrokePhase::move:
            controller_.touchesMoved(set, Event(std::move(touches)));
            break;
        case StrokePhase::up:
            strokeOpen_ = false;
            controller_.touchesEnded(set, Event());
            break;
        case StrokePhase::cancel:
            strokeOpen_ = false;
            controller_.touchesCancelled(set, Event());
            break;
    }
    return {};
}

void StrokeInput::finishStroke() {
    if (strokeOpen_) {
        strokeOpen_ = false;
        controller_.touchesEnded(TouchSet{lastTouch_}, Event());
    }
}

}  // namespace penwell::host
