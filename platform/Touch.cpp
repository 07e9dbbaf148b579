#include "penwell/platform/Touch.h"

#include "penwell/platform/View.h"

namespace penwell {

Point Touch::locationInView(const ImageView& view) const {
    const Rect frame = view.frame();
    return {location.x - frame.origin.x, location.y - frame.origin.y};
}

const Touch& TouchSet::anyObject() const {
    static const Touch none{};
    return touches_.empty() ? none : touches_.front();
}

std::vector<Touch> Event::coalescedTouchesForTouch(const Touch& touch) const {
    if (coalesced_.empty()) {
        return {touch};
    }
    return coalesced_;
}

}  // namespace penwell
