#include <gtest/gtest.h>

#include <limits>
#include <regex>

#include "support/TestPad.h"

namespace penwell {
namespace {

using testing::TestPad;

/// Every export a host can take, as bytes. Cairo numbers each SVG surface it makes in the
/// document ("surface42"); that number says nothing about the signature.
std::vector<Bytes> exports(PenwellViewController& c) {
    std::vector<Bytes> all;
    for (ExportFormat format : {ExportFormat::PNG, ExportFormat::SVG, ExportFormat::PDF}) {
        for (bool crop : {false, true}) {
            const auto result = c.exportSignature({format, 2.0, crop, true});
            if (!result) {
                return {};
            }
            const std::string text(result->bytes.begin(), result->bytes.end());
            const std::string kept = std::regex_replace(text, std::regex("surface[0-9]+"), "");
            all.emplace_back(kept.begin(), kept.end());
        }
    }
    return all;
}

TEST(Restore, SavedStrokesRestoredElsewhereGiveTheSameRecordStatisticsAndExports) {
    for (bool smoothing : {false, true}) {
        TestPad sender;
        sender.controller->setSmoothing(smoothing);
        sender.show();
        sender.down({10.25, 20}, 1.0, 0.5, touch_type::kStylus);
        sender.move({40, 30.5}, 1.012, 1.25, touch_type::kStylus);
        sender.up({40, 30.5}, 1.03, 1.25, touch_type::kStylus);
        sender.down({100, 100}, 2.0);
        for (int i = 1; i <= 12; ++i) {
            sender.move({100.0 + 10 * i, 100.0 + (i % 3) * 7.5}, 2.0 + 0.011 * i);
        }
        sender.up({220, 100}, 2.2);
        PenwellViewController& a = *sender.controller;

        TestPad receiver;
        receiver.controller->setSmoothing(smoothing);
        receiver.show();
        PenwellViewController& b = *receiver.controller;
        ASSERT_TRUE(b.restoreSignature(a.lines()));
        EXPECT_EQ(b.lines(), a.lines());
        EXPECT_TRUE(b.isSignature());
        EXPECT_EQ(b.calculateSigma(), a.calculateSigma());
        const std::vector<Bytes> sent = exports(a);
        ASSERT_EQ(sent.size(), 6u);
        EXPECT_EQ(exports(b), sent) << "smoothing " << smoothing;
        // The pad shows what the redraw shows.
        a.renderSignture();
        EXPECT_TRUE(receiver.pad->image()->samePixels(*sender.pad->image()));
    }
}

TEST(Restore, RefusesNonFiniteSamplesAndChangesNothing) {
    const struct {
        Point position;
        double pressure;
        std::int64_t code;
    } cases[] = {
        {{kNaN, 5}, 0.0, kRestoreNonFinitePosition},
        {{5, -kInf}, 0.5, kRestoreNonFinitePosition},
        {{5, 5}, kNaN, kRestoreNonFinitePressure},
        {{5, 5}, kInf, kRestoreNonFinitePressure},
    };
    TestPad t;
    t.show();
    const std::vector<Stroke> kept = {{_point({1, 1}, 0, 0), _point({50, 50}, 8, 0)}};
    ASSERT_TRUE(t.controller->restoreSignature(kept));
    const Image pad = *t.pad->image();
    for (const auto& c : cases) {
        Error error;
        EXPECT_FALSE(t.controller->restoreSignature(
            {{_point({2, 2}, 0, 0)}, {_point({3, 3}, 0, 0), _point(c.position, 4, c.pressure)}},
            &error));
        EXPECT_EQ(error, (Error{kRestoreErrorDomain, c.code}));
        EXPECT_EQ(t.controller->lines(), kept);
        EXPECT_EQ(t.pad->image()->identity(), pad.identity());
        EXPECT_FALSE(t.controller->restoreSignature({{_point(c.position, 4, c.pressure)}}));
    }
}

}  // namespace
}  // namespace penwell
