#pragma once
// Stand-ins for the toolkit's touches and touch events. Toolkit events are converted into
// these at the edge; the controller reads nothing else of a touch.

#include <cstdint>
#include <span>
#include <vector>

#include "penwell/platform/Geometry.h"

namespace penwell {

class ImageView;

namespace touch_type {
inline constexpr std::int64_t kDirect = 0;  // a finger
inline constexpr std::int64_t kIndirect = 1;
inline constexpr std::int64_t kStylus = 2;
}  // namespace touch_type

struct Touch {
    Point location;          ///< in the controller's view, whose origin is its top-left corner
    double timestamp = 0.0;  ///< seconds, on the clock of touch events
    double force = 0.0;      ///< as the hardware reports it; 0 where it senses none
    std::int64_t type = touch_type::kDirect;

    /// The location in `view`'s own coordinate space (the view is a subview of the
    /// controller's view, placed at its frame's origin).
    Point locationInView(const ImageView& view) const;
};

/// The touches of one callback. anyObject() is the one the controller follows.
class TouchSet {
public:
    TouchSet() = default;
    TouchSet(std::initializer_list<Touch> touches) : touches_(touches) {}
    explicit TouchSet(std::vector<Touch> touches) : touches_(std::move(touches)) {}

    bool empty() const { return touches_.empty(); }
    /// The first touch; a set without touches answers a default touch.
    const Touch& anyObject() const;
    std::span<const Touch> all() const { return touches_; }

private:
    std::vector<Touch> touches_;
};

/// A touch event: for the touch it is about, every intermediate position the hardware sampled
/// since the previous event ("coalesced touches"), oldest first, the touch itself last.
class Event {
public:
    Event() = default;
    explicit Event(std::vector<Touch> coalesced) : coalesced_(std::move(coalesced)) {}

    /// The coalesced touches; without any recorded, the touch alone.
    std::vector<Touch> coalescedTouchesForTouch(const Touch& touch) const;

private:
    std::vector<Touch> coalesced_;
};

}  // namespace penwell
