// The one vocabulary of pointer kinds and the bounds of every sample: the spellings each
// reader takes, the numbers sealed evidence holds, the mapping to the component's touch types
// and the batch check the hosts apply.

#include "penwell/format/SampleBatch.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "penwell/platform/Touch.h"

namespace penwell {
namespace {

constexpr PointerKind kKinds[] = {PointerKind::unknown, PointerKind::finger, PointerKind::stylus,
                                  PointerKind::mouse};

// Sealed evidence holds the numbers; every text holds the names. Both are fixed for good, and
// each kind survives every conversion: name, touch type, and back.
TEST(PointerKindTest, EachKindKeepsItsNumberNameAndTouchType) {
    const struct {
        PointerKind kind;
        int number;
        const char* name;
        std::int64_t touchType;
    } cases[] = {
        {PointerKind::unknown, 0, "unknown", kUnknownTouchType},
        {PointerKind::finger, 1, "finger", touch_type::kDirect},
        {PointerKind::stylus, 2, "stylus", touch_type::kStylus},
        {PointerKind::mouse, 3, "mouse", touch_type::kIndirect},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(static_cast<int>(c.kind), c.number) << c.name;
        EXPECT_EQ(pointerKindName(c.kind), c.name);
        EXPECT_EQ(pointerKindNamed(c.name), c.kind) << c.name;
        EXPECT_EQ(touchTypeOf(c.kind), c.touchType) << c.name;
        EXPECT_EQ(pointerKindOf(touchTypeOf(c.kind)), c.kind) << c.name;
    }
    // A toolkit's other types (UIKit's indirect pointer is 3) are unknown, never a finger.
    for (const std::int64_t other : {std::int64_t{3}, std::int64_t{7}, std::int64_t{-2}}) {
        EXPECT_EQ(pointerKindOf(other), PointerKind::unknown) << other;
    }
}

// Older spellings are read only where a reader asks for them, and no spelling is taken by
// case or with spaces.
TEST(PointerKindTest, OlderSpellingsOnlyWhereAReaderTakesThem) {
    EXPECT_EQ(pointerKindNamed("pen"), std::nullopt);
    EXPECT_EQ(pointerKindNamed("pen", {{"pen", PointerKind::stylus}}), PointerKind::stylus);
    EXPECT_EQ(pointerKindNamed("stylus", {{"pen", PointerKind::stylus}}), PointerKind::stylus);
    for (const char* refused : {"", "Stylus", "finger ", "indirect", "touch"}) {
        EXPECT_EQ(pointerKindNamed(refused), std::nullopt) << refused;
    }
}

TEST(SampleBatchTest, TheFirstSampleOutOfBoundsIsNamed) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double inf = std::numeric_limits<double>::infinity();
    const struct {
        PointerSample bad;
        const char* fault;  ///< empty when taken
    } cases[] = {
        {{0.0, 0.0, 0.0, 0.0}, ""},
        {{1.0e9, -1.0e6, 1.0e6, 0.5}, ""},
        // Pressure is the host's to hold to 0..1: drivers report what no pen can press.
        {{1.0, 1.0, 1.0, nan}, ""},
        {{1.0, 1.0, 1.0, -3.0}, ""},
        {{-0.001, 0.0, 0.0, 0.0}, "samples[1]: time not from 0 to 1000000000 s"},
        {{1.0e9 + 1.0, 0.0, 0.0, 0.0}, "samples[1]: time not from 0 to 1000000000 s"},
        {{nan, 0.0, 0.0, 0.0}, "samples[1]: time not from 0 to 1000000000 s"},
        {{1.0, 1.0e6 + 0.5, 0.0, 0.0}, "samples[1]: position beyond 1000000 points of the pad"},
        {{1.0, 0.0, -inf, 0.0}, "samples[1]: position beyond 1000000 points of the pad"},
        {{1.0, nan, 0.0, 0.0}, "samples[1]: position beyond 1000000 points of the pad"},
    };
    for (const auto& c : cases) {
        for (const PointerKind kind : kKinds) {
            const SampleBatch batch{kind, {{0.5, 1.0, 1.0, 0.5}, c.bad, {2.0e9, 0.0, 0.0, 0.0}}};
            // The third sample is out of bounds too: only the first at fault is named.
            const std::string expected =
                *c.fault ? c.fault : "samples[2]: time not from 0 to 1000000000 s";
            EXPECT_EQ(batch.fault().value_or(""), expected) << c.bad.t << " " << c.bad.x;
        }
    }
    EXPECT_EQ(SampleBatch{}.fault(), std::nullopt);
}

// The record keeps positions and thousandths of force in 32-bit fields: every value the
// bounds take fits without wrapping.
TEST(SampleBatchTest, TheBoundsFitTheRecordsFields) {
    EXPECT_LT(SampleBatch::kMaxCoordinate, 2147483647.0);
    EXPECT_LT(SampleBatch::kMaxForce * 1000.0, 4294967295.0);
    EXPECT_TRUE(SampleBatch::forceFits(0.0));
    EXPECT_TRUE(SampleBatch::forceFits(SampleBatch::kMaxForce));
    EXPECT_FALSE(SampleBatch::forceFits(-0.001));
    EXPECT_FALSE(SampleBatch::forceFits(std::nan("")));
}

}  // namespace
}  // namespace penwell
