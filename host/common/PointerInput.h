#pragma once
// How every interactive host turns a pointer's samples into the controller's touches: one
// mapping from a device's pressure to the component's force, and one set of rules for the
// order of a stroke's events (a down, moves, an up or a cancel) and for time that runs back.
// The browser host (host/web/) and the desktop host (host/qt/) both feed the controller
// through here, so the same strokes make the same record whichever host captured them.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "penwell/format/SampleBatch.h"
#include "penwell/platform/Result.h"
#include "penwell/platform/Touch.h"

namespace penwell {
class PenwellViewController;
}

namespace penwell::host {

// What drew a sample is a PointerKind (format/SampleBatch.h); each becomes its own touch type,
// so the evidence names it.

/// Pressure scale for a pen: force = pressure x 4, so a typical press (0.5) gives force 2 and
/// the component's stylus ink is 4 points wide, as with a stylus on a tablet.
inline constexpr double kPenForceScale = 4.0;
/// Pressure scale for a finger: force = pressure x 2, so the 0.5 that a touch screen without
/// pressure sensing reports becomes force 1, a tablet's average finger touch.
inline constexpr double kTouchForceScale = 2.0;
/// The pressure a host reports for a pressed pointer whose device senses none (a touch screen
/// without pressure, a pen without it), as browsers report it.
inline constexpr double kUnsensedPressure = 0.5;

/// The component's force for a pressure. Drivers do report what no pen can press: a pressure
/// below 0 (touch screens' "unknown", some tablets at first contact), above 1, or NaN. Those
/// are held to the range (NaN counts as no pressure, 0), so a quirk of a driver never reaches
/// the record as a force no hand made. A pressure of 0 at first contact is kept as it is: the
/// record says what the pen reported. A mouse, and a pointer of unknown kind, give force 0.
double forceFor(PointerKind pointer, double pressure);

/// The touch the controller receives for a sample: a stylus with force from its pressure; a
/// finger touch with force from its pressure; a mouse (the indirect touch type, which the
/// evidence records as a mouse) with force 0: browsers and desktop toolkits report a constant
/// pressure for any pressed button, which is not one. A pointer of unknown kind is drawn as a
/// finger's, with force 0, and recorded as unknown.
Touch touchFor(PointerKind pointer, const PointerSample& sample);

/// How far a sample's time may lie before its predecessor's and still be taken (at the
/// predecessor's time): event clocks jitter by microseconds between a pointer event and its
/// coalesced samples. A larger step back ends the stroke being drawn.
inline constexpr double kTimeJitter = 0.002;

/// Domain of StrokeInput's refusals; codes are StrokeInputError values. Nothing reaches the
/// controller from a refused event.
inline constexpr const char* kStrokeInputDomain = "PenwellStrokeInput";

enum class StrokeInputError : int {
    outOfOrder = 1,      ///< a move, up or cancel without a down, or a down during a stroke
    pointerChanged = 2,  ///< another kind of pointer during a stroke
    tooManySamples = 3,  ///< the pad would hold more than its limit
    noSample = 4,        ///< an event without a sample
    badSample = 5,       ///< a time or position outside SampleBatch's bounds
};

enum class StrokePhase { down, move, up, cancel };

/// Feeds one controller with a pointer's events, one stroke at a time. A down carries one
/// sample, a move its samples oldest first (the event's coalesced ones), an up or a cancel
/// one sample, which ends the stroke without being recorded (as a toolkit's touch-up is not).
/// Every call, and the controller, on one thread.
class StrokeInput {
public:
    /// `note` receives one line about the stream (time running back), for a log.
    StrokeInput(PenwellViewController& controller, std::size_t samplesLimit,
                std::function<void(const std::string&)> note);

    /// Delivers one event. Refuses, changing nothing, an event out of order, another pointer
    /// kind during a stroke, a sample outside SampleBatch's bounds, or one that would make the
    /// pad hold more than the limit.
    /// Time running back is the device's fault, not the stream's: a small step back (up to
    /// kTimeJitter) takes the predecessor's time; a larger one inside a move ends the stroke
    /// with what it had, and the rest of that stroke (up to its up or cancel) is ignored.
    MaybeFailure feed(StrokePhase phase, PointerKind pointer,
                      std::span<const PointerSample> samples);

    /// Ends the stroke being drawn, if any, with what it has (a pointer that went away).
    void finishStroke();

    bool strokeOpen() const { return strokeOpen_; }
    /// Samples on the pad: finished strokes and the stroke being drawn.
    std::size_t heldSamples() const;
    std::size_t samplesLimit() const { return samplesLimit_; }

private:
    PenwellViewController& controller_;
    std::size_t samplesLimit_;
    std::function<void(const std::string&)> note_;
    bool strokeOpen_ = false;
    PointerKind strokePointer_ = PointerKind::mouse;
    double lastTime_ = 0.0;
    Touch lastTouch_;
    bool abandoned_ = false;  // a stroke ended at a step back in time; its rest is ignored
    bool jitterNoted_ = false;
};

}  // namespace penwell::host
