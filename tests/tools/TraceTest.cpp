#include "tools/Trace.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <algorithm>

#include "platform/Application.h"
#include "platform/View.h"
#include "tools/ToolError.h"

namespace penwell::tools {
namespace {

using ::testing::HasSubstr;

std::string error(const std::string& json) {
    try {
        parseTrace(json, "trace.json");
    } catch (const ToolError& e) {
        return e.what();
    }
    return "(no error)";
}

/// A minimal trace with `events` (a JSON array body) and extra top-level fields.
std::string trace(const std::string& events, const std::string& extra = "") {
    return R"({"version": 1, "pad": {"width": 300, "height": 150})" + extra + R"(, "events": [)" +
           events + "]}";
}

TEST(TraceTest, MinimalTraceTakesTheDefaults) {
    const Trace t = parseTrace(trace(""), "trace.json");
    EXPECT_EQ(t.name, "trace.json");
    EXPECT_EQ(t.padFrame, (Rect{{0, 0}, {300, 150}}));
    EXPECT_EQ(t.idiom, UIUserInterfaceIdiomPhone);
    EXPECT_EQ(t.orientation, orientation::kPortrait);
    EXPECT_FALSE(t.config.smoothing || t.config.smoothingDelay || t.config.lineWidth ||
                 t.config.lineColor || t.config.backgroundColor || t.config.MinSigPoints);
    EXPECT_TRUE(t.events.empty());
}

TEST(TraceTest, ReadsEveryFieldOfPadDeviceAndConfig) {
    const Trace t = parseTrace(
        R"({"version": 1, "description": "all of it",
            "pad": {"width": 768, "height": 300, "x": 10, "y": -5},
            "device": "none", "orientation": "landscapeLeft",
            "config": {"smoothing": true, "smoothingDelay": 0.25, "lineWidth": 2.5,
                       "lineColor": "#ff000080", "backgroundColor": {"white": 0.5},
                       "MinSigPoints": -3},
            "events": []})",
        "t");
    EXPECT_EQ(t.padFrame, (Rect{{10, -5}, {768, 300}}));
    EXPECT_FALSE(t.idiom.has_value());
    EXPECT_EQ(t.orientation, orientation::kLandscapeLeft);
    EXPECT_EQ(t.config.smoothing, true);
    EXPECT_EQ(t.config.smoothingDelay, 0.25f);
    EXPECT_EQ(t.config.lineWidth, 2.5f);
    EXPECT_EQ(t.config.lineColor, Color::rgb(1.0, 0.0, 0.0, 128 / 255.0));
    // A grey colour keeps its two components: painters treat it differently from RGB.
    EXPECT_EQ(t.config.backgroundColor, Color::grey(0.5, 1.0));
    EXPECT_EQ(t.config.MinSigPoints, -3);
}

TEST(TraceTest, ColoursByNameHexOrComponents) {
    auto colour = [](const std::string& value) {
        return parseTrace(trace("", R"(, "config": {"lineColor": )" + value + "}"), "t")
            .config.lineColor;
    };
    EXPECT_EQ(colour(R"("white")"), Color::whiteColor());
    EXPECT_EQ(colour(R"("blue")"), Color::blueColor());
    EXPECT_EQ(colour(R"("#0000ff")"), Color::rgb(0, 0, 1, 1));
    EXPECT_EQ(colour(R"({"red": 0.2, "green": 0.4, "blue": 0.6, "alpha": 0.5})"),
              Color::rgb(0.2, 0.4, 0.6, 0.5));
    EXPECT_THAT(error(trace("", R"(, "config": {"lineColor": "#12345"})")),
                HasSubstr("trace.json: config.lineColor: expected white, black, blue, clear"));
    EXPECT_THAT(error(trace("", R"(, "config": {"lineColor": {"red": 2, "green": 0, "blue": 0}})")),
                HasSubstr("config.lineColor.red: expected a number from 0 to 1, got 2"));
}

TEST(TraceTest, ReadsTouchEventsWithCoalescedTouches) {
    const Trace t = parseTrace(trace(R"(
        {"type": "began", "touches": [{"t": 1.0, "x": 10.9, "y": 20, "force": 0.5, "type": "stylus"}]},
        {"type": "moved", "touches": [{"t": 1.02, "x": 12, "y": 21}],
         "coalesced": [{"t": 1.01, "x": 11, "y": 20.5, "type": 7}, {"t": 1.02, "x": 12, "y": 21}]},
        {"type": "ended", "touches": []},
        {"type": "cancelled", "touches": [{"t": 2, "x": -3.7, "y": 0}]})"),
                               "t");
    ASSERT_EQ(t.events.size(), 4u);
    EXPECT_EQ(t.events[0].type, EventType::began);
    const Touch& down = t.events[0].touches.at(0);
    EXPECT_EQ(down.location, (Point{10.9, 20}));
    EXPECT_EQ(down.timestamp, 1.0);
    EXPECT_EQ(down.force, 0.5);
    EXPECT_EQ(down.type, touch_type::kStylus);
    EXPECT_EQ(t.events[1].type, EventType::moved);
    ASSERT_EQ(t.events[1].coalesced.size(), 2u);
    EXPECT_EQ(t.events[1].coalesced[0].type, 7);  // any type the toolkit may report
    EXPECT_EQ(t.events[1].coalesced[0].force, 0.0);
    EXPECT_EQ(t.events[1].touches[0].type, touch_type::kDirect);
    EXPECT_EQ(t.events[2].type, EventType::ended);
    EXPECT_TRUE(t.events[2].touches.empty());
    EXPECT_EQ(t.events[3].type, EventType::cancelled);
}

TEST(TraceTest, ReadsHostCallsWaitsAndRotations) {
    const Trace t = parseTrace(trace(R"({"type": "undo"}, {"type": "clear"}, {"type": "export"},
        {"type": "appear"}, {"type": "disappear"}, {"type": "wait", "seconds": 1.5},
        {"type": "rotate", "orientation": "portraitUpsideDown"})"),
                               "t");
    ASSERT_EQ(t.events.size(), 7u);
    EXPECT_EQ(t.events[0].type, EventType::undo);
    EXPECT_EQ(t.events[1].type, EventType::clear);
    EXPECT_EQ(t.events[2].type, EventType::exportSignature);
    EXPECT_EQ(t.events[3].type, EventType::appear);
    EXPECT_EQ(t.events[4].type, EventType::disappear);
    EXPECT_EQ(t.events[5].type, EventType::wait);
    EXPECT_EQ(t.events[5].seconds, 1.5);
    EXPECT_EQ(t.events[6].type, EventType::rotate);
    EXPECT_EQ(t.events[6].orientation, orientation::kPortraitUpsideDown);
}

TEST(TraceTest, NamesTheFieldOfTheWrongType) {
    const std::string began = R"({"type": "began", "touches": [{"t": 0, "x": 1, "y": 1}]})";
    EXPECT_EQ(
        error(trace(
            began + "," + began + "," + began +
            R"(, {"type": "moved", "touches": [{"t": 0, "x": 1, "y": 1, "force": "hard"}]})")),
        "trace.json: events[3].touches[0].force: expected a number");
    EXPECT_EQ(error(trace(R"({"type": "began", "touches": [{"t": 0, "x": 1}]})")),
              "trace.json: events[0].touches[0].y: missing");
    EXPECT_EQ(error(trace(R"({"type": "began", "touches": {}})")),
              "trace.json: events[0].touches: expected an array of touches");
    EXPECT_EQ(
        error(trace(R"({"type": "began", "touches": [{"t": 0, "x": 1, "y": 1, "type": "pen"}]})")),
        "trace.json: events[0].touches[0].type: \"pen\" is not one of finger, indirect, stylus");
    EXPECT_EQ(error(trace(R"({"type": "wait", "seconds": -1})")),
              "trace.json: events[0].seconds: expected a number from 0 to 1000000, got -1");
    EXPECT_EQ(error(trace("", R"(, "config": {"MinSigPoints": 1.5})")),
              "trace.json: config.MinSigPoints: expected an integer");
    EXPECT_EQ(error(trace("", R"(, "config": {"smoothing": 1})")),
              "trace.json: config.smoothing: expected true or false");
}

TEST(TraceTest, RefusesUnknownFieldsAndEventTypes) {
    EXPECT_THAT(error(trace(R"({"type": "wait", "secs": 1})")),
                HasSubstr("trace.json: events[0].secs: unknown field (expected type, seconds)"));
    EXPECT_THAT(error(trace(R"({"type": "tap"})")),
                HasSubstr("trace.json: events[0].type: \"tap\" is not one of began"));
    EXPECT_THAT(error(trace("", R"(, "config": {"smothing": true})")),
                HasSubstr("trace.json: config.smothing: unknown field"));
    EXPECT_THAT(error(trace("", R"(, "colour": 1)")),
                HasSubstr("trace.json: colour: unknown field"));
}

TEST(TraceTest, RefusesBadDocuments) {
    EXPECT_THAT(error("{\"version\": 1,\n \"pad\": }"),
                HasSubstr("trace.json: invalid JSON: parse error at line 2, column"));
    EXPECT_EQ(error("[]"), "trace.json: expected an object");
    EXPECT_EQ(error(R"({"pad": {"width": 1, "height": 1}, "events": []})"),
              "trace.json: version: missing");
    EXPECT_EQ(error(R"({"version": 2, "pad": {"width": 1, "height": 1}, "events": []})"),
              "trace.json: version: this tool reads version 1 traces");
    EXPECT_EQ(error(R"({"version": 1, "pad": {"width": 1, "height": 1}})"),
              "trace.json: events: missing");
    EXPECT_EQ(error(R"({"version": 1, "pad": {"width": 100000, "height": 1}, "events": []})"),
              "trace.json: pad.width: expected a number from 1 to 8192, got 100000");
    EXPECT_EQ(error(trace("", R"(, "device": "watch")")),
              "trace.json: device: \"watch\" is not one of phone, pad, none");
}

TEST(TraceTest, OrientationNamesRoundTrip) {
    for (const std::int64_t o :
         {orientation::kUnknown, orientation::kPortrait, orientation::kPortraitUpsideDown,
          orientation::kLandscapeRight, orientation::kLandscapeLeft}) {
        const std::string json =
            trace("", R"(, "orientation": ")" + std::string(orientationName(o)) + "\"");
        EXPECT_EQ(parseTrace(json, "t").orientation, o);
    }
}

}  // namespace
}  // namespace penwell::tools

namespace penwell::tools {
namespace {

TEST(SampleTraceTest, BundledTracesAreValidAndLookLikeTheirDevices) {
    const std::filesystem::path examples = std::filesystem::path(PENWELL_SOURCE_DIR) / "examples";
    const Trace finger = loadTrace(examples / "finger-signature.json");
    const Trace stylus = loadTrace(examples / "stylus-signature.json");

    auto moved = [](const Trace& t) {
        std::vector<const TraceEvent*> out;
        for (const TraceEvent& e : t.events) {
            if (e.type == EventType::moved) {
                out.push_back(&e);
            }
        }
        return out;
    };
    auto count = [](const Trace& t, EventType type) {
        return std::count_if(t.events.begin(), t.events.end(),
                             [type](const TraceEvent& e) { return e.type == type; });
    };
    // Several strokes, and a tap: a touch-down followed directly by its touch-up.
    for (const Trace* t : {&finger, &stylus}) {
        EXPECT_GE(count(*t, EventType::began), 4) << t->name;
        EXPECT_EQ(count(*t, EventType::began), count(*t, EventType::ended)) << t->name;
        bool tap = false;
        for (std::size_t i = 0; i + 1 < t->events.size(); ++i) {
            tap = tap || (t->events[i].type == EventType::began &&
                          t->events[i + 1].type == EventType::ended);
        }
        EXPECT_TRUE(tap) << t->name;
        EXPECT_EQ(t->events.back().type, EventType::wait) << t->name;
        EXPECT_GT(t->events.back().seconds, *t->config.smoothingDelay) << t->name;
        EXPECT_TRUE(*t->config.smoothing) << t->name;
    }
    // Finger: 2 coalesced per event at 120 Hz, no force. Stylus: 4 per event at 240 Hz, force.
    for (const TraceEvent* e : moved(finger)) {
        ASSERT_LE(e->coalesced.size(), 2u);
        EXPECT_EQ(e->coalesced.back().location, e->touches.front().location);
        for (const Touch& c : e->coalesced) {
            EXPECT_EQ(c.type, touch_type::kDirect);
            EXPECT_EQ(c.force, 0.0);
        }
        if (e->coalesced.size() == 2) {
            EXPECT_NEAR(e->coalesced[1].timestamp - e->coalesced[0].timestamp, 1.0 / 120, 2e-6);
        }
    }
    double maxForce = 0.0;
    for (const TraceEvent* e : moved(stylus)) {
        ASSERT_LE(e->coalesced.size(), 4u);
        for (std::size_t i = 0; i < e->coalesced.size(); ++i) {
            EXPECT_EQ(e->coalesced[i].type, touch_type::kStylus);
            EXPECT_GT(e->coalesced[i].force, 0.0);
            maxForce = std::max(maxForce, e->coalesced[i].force);
            if (i > 0) {
                EXPECT_NEAR(e->coalesced[i].timestamp - e->coalesced[i - 1].timestamp, 1.0 / 240,
                            2e-6);
            }
        }
    }
    EXPECT_GT(maxForce, 1.0);
    EXPECT_EQ(count(finger, EventType::undo), 1);
    EXPECT_EQ(stylus.idiom, UIUserInterfaceIdiomPad);
}

}  // namespace
}  // namespace penwell::tools
