#include "penwell/host/common/Trace.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <algorithm>
#include <tuple>

#include "penwell/format/SampleBatch.h"
#include "penwell/platform/Application.h"
#include "penwell/platform/View.h"

namespace penwell::host {
namespace {

using ::testing::StartsWith;

std::string error(const std::string& json) {
    const Result<Trace> parsed = parseTrace(json, "trace.json");
    return parsed ? "(no error)" : parsed.error().message;
}

/// A minimal trace with `events` (a JSON array body) and extra top-level fields.
std::string trace(const std::string& events, const std::string& extra = "") {
    return R"({"version": 1, "pad": {"width": 300, "height": 150})" + extra + R"(, "events": [)" +
           events + "]}";
}

TEST(TraceTest, ReadsEveryFieldOfPadDeviceAndConfigOrTakesTheDefaults) {
    const Trace minimal = parseTrace(trace(""), "trace.json").value();
    EXPECT_EQ(minimal.name, "trace.json");
    EXPECT_EQ(minimal.padFrame, (Rect{{0, 0}, {300, 150}}));
    EXPECT_EQ(minimal.idiom, UIUserInterfaceIdiomPhone);
    EXPECT_EQ(minimal.orientation, orientation::kPortrait);
    const TraceConfig& none = minimal.config;
    EXPECT_FALSE(none.smoothing || none.smoothingDelay || none.lineWidth || none.lineColor ||
                 none.backgroundColor || none.MinSigPoints);
    const Trace t = parseTrace(
                        R"({"version": 1, "description": "all of it",
            "pad": {"width": 768, "height": 300, "x": 10, "y": -5},
            "device": "none", "orientation": "landscapeLeft",
            "config": {"smoothing": true, "smoothingDelay": 0.25, "lineWidth": 2.5,
                       "backgroundColor": "blue", "MinSigPoints": -3},
            "events": []})",
                        "t")
                        .value();
    EXPECT_EQ(t.padFrame, (Rect{{10, -5}, {768, 300}}));
    EXPECT_FALSE(t.idiom.has_value());
    EXPECT_EQ(t.orientation, orientation::kLandscapeLeft);
    EXPECT_EQ(std::tie(t.config.smoothing, t.config.smoothingDelay, t.config.lineWidth,
                       t.config.MinSigPoints),
              std::tuple(std::optional(true), std::optional(0.25f), std::optional(2.5f),
                         std::optional(-3)));
    EXPECT_EQ(t.config.backgroundColor, Color::blueColor());
}

TEST(TraceTest, ColoursByNameHexOrComponents) {
    const std::pair<std::string, Color> cases[] = {
        {R"("blue")", Color::blueColor()},
        {R"("#ff000080")", Color::rgb(1.0, 0.0, 0.0, 128 / 255.0)},
        {R"({"red": 0.2, "green": 0.4, "blue": 0.6, "alpha": 0.5})",
         Color::rgb(0.2, 0.4, 0.6, 0.5)},
        // A grey colour keeps its two components: painters treat it differently from RGB.
        {R"({"white": 0.5})", Color::grey(0.5, 1.0)},
    };
    for (const auto& [json, colour] : cases) {
        EXPECT_EQ(parseTrace(trace("", R"(, "config": {"lineColor": )" + json + "}"), "t")
                      .value()
                      .config.lineColor,
                  colour)
            << json;
    }
}

// Positions, times and forces reach the record and are checked there end to end (CliTest).
TEST(TraceTest, ReadsTouchEventsHostCallsWaitsAndRotations) {
    const Trace t = parseTrace(trace(R"(
        {"type": "began", "touches": [{"t": 1.0, "x": 10.9, "y": 20, "force": 0.5, "type": "stylus"}]},
        {"type": "moved", "touches": [{"t": 1.02, "x": 12, "y": 21}],
         "coalesced": [{"t": 1.01, "x": 11, "y": 20.5, "type": 7}, {"t": 1.02, "x": 12, "y": 21}]},
        {"type": "cancelled", "touches": []}, {"type": "undo"}, {"type": "clear"},
        {"type": "export"}, {"type": "appear"}, {"type": "disappear"},
        {"type": "wait", "seconds": 1.5}, {"type": "rotate", "orientation": "portraitUpsideDown"})",
                                     R"(, "device": "pad")"),
                               "t")
                        .value();
    EXPECT_EQ(t.idiom, UIUserInterfaceIdiomPad);
    std::vector<EventType> types;
    for (const TraceEvent& e : t.events) {
        types.push_back(e.type);
    }
    using enum EventType;
    EXPECT_EQ(types, (std::vector<EventType>{began, moved, cancelled, undo, clear, exportSignature,
                                             appear, disappear, wait, rotate}));
    EXPECT_EQ(t.events[0].touches.at(0).type, touch_type::kStylus);
    ASSERT_EQ(t.events[1].coalesced.size(), 2u);
    EXPECT_EQ(t.events[1].coalesced[0].type, 7);  // any type the toolkit may report
    EXPECT_EQ(t.events[1].coalesced[0].force, 0.0);
    EXPECT_EQ(t.events[1].touches[0].type, touch_type::kDirect);
    // The one spelling of each kind, and "indirect", a mouse's name in older traces.
    const std::pair<const char*, std::int64_t> kinds[] = {{"finger", touch_type::kDirect},
                                                          {"stylus", touch_type::kStylus},
                                                          {"mouse", touch_type::kIndirect},
                                                          {"indirect", touch_type::kIndirect},
                                                          {"unknown", kUnknownTouchType}};
    for (const auto& [name, type] : kinds) {
        const std::string touch =
            R"({"type": "began", "touches": [{"t": 0, "x": 1, "y": 1, "type": ")" +
            std::string(name) + R"("}]})";
        const Trace k = parseTrace(trace(touch), "t").value();
        EXPECT_EQ(k.events[0].touches.at(0).type, type) << name;
    }
    EXPECT_TRUE(t.events[2].touches.empty());
    EXPECT_EQ(t.events[8].seconds, 1.5);
    EXPECT_EQ(t.events[9].orientation, orientation::kPortraitUpsideDown);
}

// Representative errors: each names the file and the JSON path of what is wrong.
TEST(TraceTest, ErrorsNameTheFieldByItsPath) {
    const std::pair<std::string, std::string> cases[] = {
        {"{\"version\": 1,\n \"pad\": }",
         "trace.json: invalid JSON: parse error at line 2, column"},
        {R"({"version": 2, "pad": {"width": 1, "height": 1}, "events": []})",
         "trace.json: version: this tool reads version 1 traces"},
        {R"({"version": 1, "pad": {"width": 1, "height": 1}})", "trace.json: events: missing"},
        {R"({"version": 1, "pad": {"width": 32000, "height": 1}, "events": []})",
         "trace.json: pad.width: expected a number from 1 to 8192, got 32000"},
        {trace(R"({"type": "began", "touches": [{"t": 0, "x": 1}]})"),
         "trace.json: events[0].touches[0].y: missing"},
        {trace(R"({"type": "began", "touches": [{"t": 0, "x": 1, "y": 1, "type": "pen"}]})"),
         "trace.json: events[0].touches[0].type: \"pen\" is not one of finger, stylus, mouse, "
         "unknown"},
        // The bounds every sample meets, wherever it comes from (format/SampleBatch.h).
        {trace(R"({"type": "began", "touches": [{"t": 0, "x": 1, "y": -1e7}]})"),
         "trace.json: events[0].touches[0].y: expected a number from -1000000 to 1000000"},
        {trace(R"({"type": "began", "touches": [{"t": 0, "x": 1, "y": 1, "force": -0.5}]})"),
         "trace.json: events[0].touches[0].force: expected a number from 0 to 1000000, got -0.5"},
        {trace(R"({"type": "wait", "seconds": -1})"),
         "trace.json: events[0].seconds: expected a number from 0 to 1000000, got -1"},
        {trace(R"({"type": "wait", "secs": 1})"),
         "trace.json: events[0].secs: unknown field (expected type, seconds)"},
        {trace("", R"(, "config": {"lineColor": {"red": 2, "green": 0, "blue": 0}})"),
         "trace.json: config.lineColor.red: expected a number from 0 to 1, got 2"},
        {trace("", R"(, "config": {"MinSigPoints": 1.5})"),
         "trace.json: config.MinSigPoints: expected an integer"},
        // Faults found while reading the text, which must not escape as anything else (the
        // JSON reader's own, its tests pin).
        {std::string((32u << 20) + 1, ' '), "trace.json: too large for a trace (at most 32 MiB)"},
    };
    for (const auto& [json, message] : cases) {
        EXPECT_THAT(error(json), StartsWith(message)) << json.substr(0, 200);
    }
}

// Several faults in one trace: the first the reader meets is the answer, whole and at its
// path, and what follows it is never acted on, however hostile (a string where the events or
// touches should be, a colour that is not one, more bad touches after the first).
TEST(TraceTest, TheFirstFaultIsTheAnswerWhateverFollowsIt) {
    const std::pair<std::string, std::string> cases[] = {
        {R"({"bogus": 1, "version": "x", "pad": 5, "events": "x"})",
         "bogus: unknown field (expected version, description, pad, device, orientation, config, "
         "events)"},
        {R"({"version": 2, "pad": 5, "events": "x"})", "version: this tool reads version 1 traces"},
        {R"({"version": 1, "pad": [1, 2], "events": "x"})", "pad: expected an object"},
        {R"({"version": 1, "pad": {"width": 1}, "device": "tablet", "events": 7})",
         "pad.height: missing"},
        {R"({"version": 1, "pad": {"width": 1, "height": 1}, "device": "tablet",
             "orientation": 5, "events": {"0": 1}})",
         "device: \"tablet\" is not one of phone, pad, none"},
        {trace("7", R"(, "config": {"lineColor": "#zz", "backgroundColor": {"red": 5}})"),
         "config.lineColor: expected white, black, blue, clear, #rrggbb, #rrggbbaa or an object"},
        {trace("7", R"(, "config": {"lineColor": {"white": 2, "red": 1}})"),
         "config.lineColor.red: unknown field (expected white, alpha)"},
        {trace("7", R"(, "config": {"lineColor": {"white": 2, "alpha": -1}})"),
         "config.lineColor.alpha: expected a number from 0 to 1, got -1"},
        {trace(R"({"type": "began", "touches": "abc", "coalesced": 7}, 5)"),
         "events[0].touches: expected an array of touches"},
        {trace(R"({"type": "began", "touches": [{"t": 0, "x": 1, "y": 1}, "x", {"t": "y"}]},
                  {"type": "rotate"})"),
         "events[0].touches[1]: expected an object"},
        {trace(R"({"type": "moved", "touches": [{"t": 0, "x": 1, "y": 1, "type": "pen"}],
                   "coalesced": "abc"})"),
         "events[0].touches[0].type: \"pen\" is not one of finger, stylus, mouse, unknown"},
        {trace(R"({"type": "wait", "seconds": 1}, {"type": "rotate", "orientation": "up"},
                  {"type": "fly"})"),
         "events[1].orientation: \"up\" is not one of unknown, portrait, portraitUpsideDown, "
         "landscapeRight, landscapeLeft"},
        {trace(R"({"type": 3, "touches": 4}, {"type": "fly"})"),
         "events[0].type: expected a string"},
        {trace(R"({"type": "fly", "touches": 4}, {"type": 3})"),
         "events[0].type: \"fly\" is not one of began, moved, ended, cancelled, undo, clear, "
         "export, appear, disappear, wait, rotate"},
    };
    for (const auto& [json, message] : cases) {
        const Result<Trace> parsed = parseTrace(json, "trace.json");
        ASSERT_FALSE(parsed) << json;
        EXPECT_EQ(parsed.error().message, "trace.json: " + message) << json;
        EXPECT_EQ(parsed.error().where, message.substr(0, message.find(':'))) << json;
    }
}

// The demo replays these (CliTest): each must end its strokes and pause long enough for the
// smoothing redraw.
TEST(SampleTraceTest, BundledTracesEndTheirStrokesAndPauseForTheSmoothingRedraw) {
    for (const char* name : {"finger-signature.json", "stylus-signature.json"}) {
        const Trace t =
            loadTrace(std::filesystem::path(PENWELL_SOURCE_DIR) / "examples" / name).value();
        auto count = [&](EventType type) {
            return std::count_if(t.events.begin(), t.events.end(),
                                 [type](const TraceEvent& e) { return e.type == type; });
        };
        EXPECT_GE(count(EventType::began), 4) << name;
        EXPECT_EQ(count(EventType::began), count(EventType::ended)) << name;
        EXPECT_TRUE(*t.config.smoothing) << name;
        EXPECT_EQ(t.events.back().type, EventType::wait) << name;
        EXPECT_GT(t.events.back().seconds, *t.config.smoothingDelay) << name;
    }
}

}  // namespace
}  // namespace penwell::host
