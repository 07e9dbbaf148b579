#include "tools/Trace.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <algorithm>

#include "platform/Application.h"
#include "platform/View.h"
#include "tools/ToolError.h"

namespace penwell::tools {
namespace {

using ::testing::StartsWith;

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

TEST(TraceTest, ColoursByNameOrComponents) {
    auto colour = [](const std::string& value) {
        return parseTrace(trace("", R"(, "config": {"lineColor": )" + value + "}"), "t")
            .config.lineColor;
    };
    EXPECT_EQ(colour(R"("blue")"), Color::blueColor());
    EXPECT_EQ(colour(R"({"red": 0.2, "green": 0.4, "blue": 0.6, "alpha": 0.5})"),
              Color::rgb(0.2, 0.4, 0.6, 0.5));
}

TEST(TraceTest, ReadsTouchEventsWithCoalescedTouches) {
    const Trace t = parseTrace(trace(R"(
        {"type": "began", "touches": [{"t": 1.0, "x": 10.9, "y": 20, "force": 0.5, "type": "stylus"}]},
        {"type": "moved", "touches": [{"t": 1.02, "x": 12, "y": 21}],
         "coalesced": [{"t": 1.01, "x": 11, "y": 20.5, "type": 7}, {"t": 1.02, "x": 12, "y": 21}]},
        {"type": "cancelled", "touches": []})"),
                               "t");
    ASSERT_EQ(t.events.size(), 3u);
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
    EXPECT_EQ(t.events[2].type, EventType::cancelled);
    EXPECT_TRUE(t.events[2].touches.empty());
}

TEST(TraceTest, ReadsHostCallsWaitsAndRotations) {
    const Trace t = parseTrace(trace(R"({"type": "undo"}, {"type": "clear"}, {"type": "export"},
        {"type": "appear"}, {"type": "disappear"}, {"type": "wait", "seconds": 1.5},
        {"type": "rotate", "orientation": "portraitUpsideDown"})"),
                               "t");
    std::vector<EventType> types;
    for (const TraceEvent& e : t.events) {
        types.push_back(e.type);
    }
    EXPECT_EQ(types,
              (std::vector<EventType>{EventType::undo, EventType::clear, EventType::exportSignature,
                                      EventType::appear, EventType::disappear, EventType::wait,
                                      EventType::rotate}));
    EXPECT_EQ(t.events[5].seconds, 1.5);
    EXPECT_EQ(t.events[6].orientation, orientation::kPortraitUpsideDown);
}

// Representative errors: each names the file and the JSON path of what is wrong.
TEST(TraceTest, ErrorsNameTheFieldByItsPath) {
    const std::pair<std::string, std::string> cases[] = {
        {"{\"version\": 1,\n \"pad\": }",
         "trace.json: invalid JSON: parse error at line 2, column"},
        {"[]", "trace.json: expected an object"},
        {R"({"version": 2, "pad": {"width": 1, "height": 1}, "events": []})",
         "trace.json: version: this tool reads version 1 traces"},
        {R"({"version": 1, "pad": {"width": 1, "height": 1}})", "trace.json: events: missing"},
        {trace(R"({"type": "began", "touches": [{"t": 0, "x": 1}]})"),
         "trace.json: events[0].touches[0].y: missing"},
        {trace(R"({"type": "began", "touches": [{"t": 0, "x": 1, "y": 1, "type": "pen"}]})"),
         "trace.json: events[0].touches[0].type: \"pen\" is not one of finger, indirect, stylus"},
        {trace(R"({"type": "wait", "seconds": -1})"),
         "trace.json: events[0].seconds: expected a number from 0 to 1000000, got -1"},
        {trace(R"({"type": "wait", "secs": 1})"),
         "trace.json: events[0].secs: unknown field (expected type, seconds)"},
        {trace("", R"(, "config": {"lineColor": {"red": 2, "green": 0, "blue": 0}})"),
         "trace.json: config.lineColor.red: expected a number from 0 to 1, got 2"},
        {trace("", R"(, "config": {"MinSigPoints": 1.5})"),
         "trace.json: config.MinSigPoints: expected an integer"},
        // Faults found while reading the text, which must not escape as anything else.
        {trace(R"({"type": "wait", "seconds": 2}, {"type": "wait", "seconds": -1e400})"),
         "trace.json: events[1].seconds: number overflow parsing '-1e400'"},
        {std::string(17, '[') + std::string(17, ']'),
         "trace.json: [0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0]: nested more than 16"},
        {std::string((32u << 20) + 1, ' '), "trace.json: too large for a trace (at most 32 MiB)"},
    };
    for (const auto& [json, message] : cases) {
        EXPECT_THAT(error(json), StartsWith(message)) << json.substr(0, 200);
    }
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

TEST(SampleTraceTest, BundledTracesAreValidAndLookLikeTheirDevices) {
    const std::filesystem::path examples = std::filesystem::path(PENWELL_SOURCE_DIR) / "examples";
    const Trace finger = loadTrace(examples / "finger-signature.json");
    const Trace stylus = loadTrace(examples / "stylus-signature.json");
    auto count = [](const Trace& t, EventType type) {
        return std::count_if(t.events.begin(), t.events.end(),
                             [type](const TraceEvent& e) { return e.type == type; });
    };
    // Several strokes, and a pause at the end long enough for the smoothing redraw.
    for (const Trace* t : {&finger, &stylus}) {
        EXPECT_GE(count(*t, EventType::began), 4) << t->name;
        EXPECT_EQ(count(*t, EventType::began), count(*t, EventType::ended)) << t->name;
        EXPECT_EQ(t->events.back().type, EventType::wait) << t->name;
        EXPECT_GT(t->events.back().seconds, *t->config.smoothingDelay) << t->name;
        EXPECT_TRUE(*t->config.smoothing) << t->name;
    }
    // Stylus touches carry force, finger touches none.
    auto maxForce = [](const Trace& t) {
        double force = 0.0;
        for (const TraceEvent& e : t.events) {
            for (const Touch& c : e.coalesced) {
                force = std::max(force, c.force);
            }
        }
        return force;
    };
    EXPECT_EQ(maxForce(finger), 0.0);
    EXPECT_GT(maxForce(stylus), 1.0);
    EXPECT_EQ(count(finger, EventType::undo), 1);
    EXPECT_EQ(stylus.idiom, UIUserInterfaceIdiomPad);
}

}  // namespace
}  // namespace penwell::tools
