// How every interactive host turns a pointer's samples into touches: the force each kind gets
// from a pressure, the touch type each kind becomes, and what StrokeInput refuses before
// anything reaches the controller.

#include "penwell/host/common/PointerInput.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "penwell/capture/Penwell.h"
#include "penwell/host/common/Replay.h"

namespace penwell::host {
namespace {

constexpr PointerKind kKinds[] = {PointerKind::unknown, PointerKind::finger, PointerKind::stylus,
                                  PointerKind::mouse};

// Properties over pressures a driver may report, the wild ones included: a force is never
// below 0 nor above the kind's scale, never NaN, grows with the pressure, and is 0 for a
// pointer whose pressure means nothing (a mouse, an unknown device).
TEST(PointerInputTest, ForceGrowsWithPressureWithinTheKindsScale) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double inf = std::numeric_limits<double>::infinity();
    const std::vector<double> pressures = {-inf, -1.0, -0.0,  0.0, 1e-9,  0.001, 0.25,
                                           0.5,  0.75, 0.999, 1.0, 1.001, 7.0,   inf};
    const struct {
        PointerKind kind;
        double scale;
    } kinds[] = {{PointerKind::stylus, kPenForceScale},
                 {PointerKind::finger, kTouchForceScale},
                 {PointerKind::mouse, 0.0},
                 {PointerKind::unknown, 0.0}};
    for (const auto& [kind, scale] : kinds) {
        double previous = 0.0;
        for (const double p : pressures) {
            const double f = forceFor(kind, p);
            EXPECT_GE(f, previous) << pointerKindName(kind) << " at " << p;
            EXPECT_LE(f, scale) << pointerKindName(kind) << " at " << p;
            previous = f;
        }
        EXPECT_EQ(forceFor(kind, nan), 0.0) << pointerKindName(kind);
        EXPECT_EQ(forceFor(kind, 0.0), 0.0) << pointerKindName(kind);
        EXPECT_EQ(forceFor(kind, 1.0), scale) << pointerKindName(kind);
    }
    // The browser's unsensed pressure gives the force the component draws as a tablet's
    // average finger, and a typical press of a pen its stylus ink.
    EXPECT_EQ(forceFor(PointerKind::finger, kUnsensedPressure), 1.0);
    EXPECT_EQ(forceFor(PointerKind::stylus, kUnsensedPressure), 2.0);
}

// Each kind becomes its own touch type, which the evidence turns back into the same kind: a
// mouse is never recorded as a finger.
TEST(PointerInputTest, EachKindComesBackFromItsTouch) {
    for (const PointerKind kind : kKinds) {
        const Touch t = touchFor(kind, {1.5, 10.0, 20.0, 0.5});
        EXPECT_EQ(pointerKindOf(t.type), kind) << pointerKindName(kind);
        EXPECT_EQ(t.timestamp, 1.5);
        EXPECT_EQ(t.location, (Point{10.0, 20.0}));
    }
}

// A sample beyond the bounds every sample meets (a host's bad conversion, a driver's garbage)
// is refused with the phase and the sample, and changes nothing: the stroke goes on with the
// next good event.
TEST(StrokeInputTest, ASampleOutOfBoundsIsRefusedAndChangesNothing) {
    Trace trace;
    trace.name = "pad";
    trace.padFrame = {{0, 0}, {200, 100}};
    ReplaySettings settings;
    settings.services.memoryStore = true;
    settings.services.resources = std::filesystem::path(PENWELL_SOURCE_DIR) / "demo-certificate";
    Replay replay(trace, settings);
    PenwellViewController& controller = replay.controller();
    std::vector<std::string> notes;
    StrokeInput input(controller, 100, [&](const std::string& n) { notes.push_back(n); });

    const PointerSample good{1.0, 10.0, 10.0, 0.5};
    const PointerSample far{1.01, 2.0e6, 10.0, 0.5};
    const PointerSample early{-1.0, 10.0, 10.0, 0.5};
    const PointerSample lost{1.02, std::nan(""), 10.0, 0.5};

    const MaybeFailure down =
        input.feed(StrokePhase::down, PointerKind::stylus, std::vector<PointerSample>{early});
    ASSERT_TRUE(down);
    EXPECT_EQ(down->domain, kStrokeInputDomain);
    EXPECT_EQ(down->code, static_cast<std::int64_t>(StrokeInputError::badSample));
    EXPECT_EQ(down->message, "down: samples[0]: time not from 0 to 1000000000 s");
    EXPECT_FALSE(input.strokeOpen());

    ASSERT_FALSE(
        input.feed(StrokePhase::down, PointerKind::stylus, std::vector<PointerSample>{good}));
    const std::size_t held = input.heldSamples();
    const MaybeFailure move = input.feed(StrokePhase::move, PointerKind::stylus,
                                         std::vector<PointerSample>{{1.005, 12, 12, 0.5}, far});
    ASSERT_TRUE(move);
    EXPECT_EQ(move->message, "move: samples[1]: position beyond 1000000 points of the pad");
    EXPECT_EQ(input.heldSamples(), held);  // not even the good sample before it
    ASSERT_TRUE(input.feed(StrokePhase::up, PointerKind::stylus, std::vector<PointerSample>{lost}));
    ASSERT_FALSE(input.feed(StrokePhase::up, PointerKind::stylus,
                            std::vector<PointerSample>{{1.03, 12, 12, 0.0}}));
    EXPECT_FALSE(input.strokeOpen());
    ASSERT_EQ(controller.lines().size(), 1u);
    EXPECT_TRUE(notes.empty());
}

}  // namespace
}  // namespace penwell::host
