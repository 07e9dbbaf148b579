#include "penwell/host/common/Trace.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <optional>
#include <utility>

#include "penwell/format/SampleBatch.h"
#include "penwell/json/JsonReader.h"
#include "penwell/platform/Application.h"
#include "penwell/platform/View.h"
#include "penwell/platform/filesystem/StagedFile.h"

namespace penwell::host {

namespace {

using json::Json;

/// The largest pad side taken, in points: a typo like 32000 would otherwise allocate a
/// multi-gigabyte bitmap before anything else could go wrong.
constexpr double kMaxPadSide = 8192.0;

struct NamedValue {
    std::string_view name;
    std::int64_t value;
};

constexpr std::array<NamedValue, 5> kOrientations = {{
    {"unknown", orientation::kUnknown},
    {"portrait", orientation::kPortrait},
    {"portraitUpsideDown", orientation::kPortraitUpsideDown},
    {"landscapeRight", orientation::kLandscapeRight},
    {"landscapeLeft", orientation::kLandscapeLeft},
}};

template <std::size_t N>
std::string listOf(const std::array<NamedValue, N>& table) {
    std::string out;
    for (const NamedValue& n : table) {
        out += out.empty() ? "" : ", ";
        out += n.name;
    }
    return out;
}

template <std::size_t N>
std::int64_t named(json::Reading& r, const Json& v, const std::string& where,
                   const std::array<NamedValue, N>& table) {
    const std::string s = r.string(v, where);
    for (const NamedValue& n : table) {
        if (s == n.name) {
            return n.value;
        }
    }
    r.fail(where, "\"" + s + "\" is not one of " + listOf(table));
    return table.front().value;
}

/// A touch's kind by its name: a PointerKind's one spelling, or "indirect", which traces
/// written before there was one spelling use for a mouse.
PointerKind pointerKind(json::Reading& r, const Json& v, const std::string& where) {
    const std::string s = r.string(v, where);
    const std::optional<PointerKind> kind = pointerKindNamed(s, {{"indirect", PointerKind::mouse}});
    if (!kind) {
        r.fail(where, "\"" + s + "\" is not one of finger, stylus, mouse, unknown");
        return PointerKind::unknown;
    }
    return *kind;
}

Color parseColor(json::Reading& r, const Json& v, const std::string& where) {
    if (v.is_string()) {
        const std::string s = v.get<std::string>();
        if (s == "white") {
            return Color::whiteColor();
        }
        if (s == "black") {
            return Color::blackColor();
        }
        if (s == "blue") {
            return Color::blueColor();
        }
        if (s == "clear") {
            return Color::clearColor();
        }
        const bool hexDigits =
            (s.size() == 7 || s.size() == 9) && s[0] == '#' &&
            s.find_first_not_of("0123456789abcdefABCDEF", 1) == std::string::npos;
        if (!hexDigits) {
            r.fail(where, "expected white, black, blue, clear, #rrggbb, #rrggbbaa or an object");
            return Color::clearColor();
        }
        auto channel = [&](std::size_t i) {
            return std::stoi(s.substr(1 + 2 * i, 2), nullptr, 16) / 255.0;
        };
        return Color::rgb(channel(0), channel(1), channel(2), s.size() == 9 ? channel(3) : 1.0);
    }
    const Json& color = r.object(v, where);
    const Json* alpha = json::find(color, "alpha");
    const double opacity =
        alpha != nullptr ? r.number(*alpha, json::join(where, "alpha"), 0.0, 1.0) : 1.0;
    if (const Json* white = json::find(color, "white")) {
        r.onlyKeys(color, where, {"white", "alpha"});
        return Color::grey(r.number(*white, json::join(where, "white"), 0.0, 1.0), opacity);
    }
    r.onlyKeys(color, where, {"red", "green", "blue", "alpha"});
    auto component = [&](std::string_view key) {
        return r.number(r.require(color, where, key), json::join(where, key), 0.0, 1.0);
    };
    return Color::rgb(component("red"), component("green"), component("blue"), opacity);
}

Touch parseTouch(json::Reading& r, const Json& v, const std::string& where) {
    r.object(v, where);
    r.onlyKeys(v, where, {"t", "x", "y", "force", "type"});
    Touch touch;
    // The bounds every sample meets (format/SampleBatch.h), whichever host recorded it.
    constexpr double kMaxXY = SampleBatch::kMaxCoordinate;
    const auto field = [&](std::string_view key, double min, double max) {
        return r.number(r.require(v, where, key), json::join(where, key), min, max);
    };
    touch.timestamp = field("t", 0.0, SampleBatch::kMaxTime);
    touch.location.x = field("x", -kMaxXY, kMaxXY);
    touch.location.y = field("y", -kMaxXY, kMaxXY);
    if (const Json* force = json::find(v, "force")) {
        touch.force = r.number(*force, json::join(where, "force"), 0.0, SampleBatch::kMaxForce);
    }
    if (const Json* type = json::find(v, "type")) {
        const std::string at = json::join(where, "type");
        touch.type = type->is_number()
                         ? r.integer(*type, at, std::numeric_limits<std::int64_t>::min(),
                                     std::numeric_limits<std::int64_t>::max())
                         : touchTypeOf(pointerKind(r, *type, at));
    }
    return touch;
}

std::vector<Touch> parseTouches(json::Reading& r, const Json& v, const std::string& where) {
    const Json& list = r.array(v, where, "expected an array of touches");
    std::vector<Touch> touches;
    for (std::size_t i = 0; r.ok() && i < list.size(); ++i) {
        touches.push_back(parseTouch(r, list[i], json::at(where, i)));
    }
    return touches;
}

TraceEvent parseEvent(json::Reading& r, const Json& v, const std::string& where) {
    r.object(v, where);
    const std::string type = r.string(r.require(v, where, "type"), json::join(where, "type"));
    TraceEvent event;
    const std::initializer_list<std::pair<std::string_view, EventType>> touchEvents = {
        {"began", EventType::began},
        {"moved", EventType::moved},
        {"ended", EventType::ended},
        {"cancelled", EventType::cancelled}};
    for (const auto& [name, kind] : touchEvents) {
        if (type == name) {
            r.onlyKeys(v, where, {"type", "touches", "coalesced"});
            event.type = kind;
            event.touches =
                parseTouches(r, r.require(v, where, "touches"), json::join(where, "touches"));
            if (const Json* coalesced = json::find(v, "coalesced")) {
                event.coalesced = parseTouches(r, *coalesced, json::join(where, "coalesced"));
            }
            return event;
        }
    }
    const std::initializer_list<std::pair<std::string_view, EventType>> hostCalls = {
        {"undo", EventType::undo},
        {"clear", EventType::clear},
        {"export", EventType::exportSignature},
        {"appear", EventType::appear},
        {"disappear", EventType::disappear}};
    for (const auto& [name, kind] : hostCalls) {
        if (type == name) {
            r.onlyKeys(v, where, {"type"});
            event.type = kind;
            return event;
        }
    }
    if (type == "wait") {
        r.onlyKeys(v, where, {"type", "seconds"});
        event.type = EventType::wait;
        event.seconds =
            r.number(r.require(v, where, "seconds"), json::join(where, "seconds"), 0.0, 1.0e6);
        return event;
    }
    if (type == "rotate") {
        r.onlyKeys(v, where, {"type", "orientation"});
        event.type = EventType::rotate;
        event.orientation = named(r, r.require(v, where, "orientation"),
                                  json::join(where, "orientation"), kOrientations);
        return event;
    }
    r.fail(json::join(where, "type"),
           "\"" + type +
               "\" is not one of began, moved, ended, cancelled, undo, clear, export, appear, "
               "disappear, wait, rotate");
    return event;
}

TraceConfig parseConfig(json::Reading& r, const Json& v) {
    const std::string where = "config";
    r.object(v, where);
    r.onlyKeys(v, where,
               {"smoothing", "smoothingDelay", "lineWidth", "lineColor", "backgroundColor",
                "MinSigPoints"});
    TraceConfig config;
    if (const Json* x = json::find(v, "smoothing")) {
        config.smoothing = r.boolean(*x, "config.smoothing");
    }
    if (const Json* x = json::find(v, "smoothingDelay")) {
        config.smoothingDelay =
            static_cast<float>(r.number(*x, "config.smoothingDelay", 0.0, 3600.0));
    }
    if (const Json* x = json::find(v, "lineWidth")) {
        config.lineWidth = static_cast<float>(r.number(*x, "config.lineWidth", 0.0, 1000.0));
    }
    if (const Json* x = json::find(v, "lineColor")) {
        config.lineColor = parseColor(r, *x, "config.lineColor");
    }
    if (const Json* x = json::find(v, "backgroundColor")) {
        config.backgroundColor = parseColor(r, *x, "config.backgroundColor");
    }
    if (const Json* x = json::find(v, "MinSigPoints")) {
        config.MinSigPoints =
            static_cast<int>(r.integer(*x, "config.MinSigPoints", std::numeric_limits<int>::min(),
                                       std::numeric_limits<int>::max()));
    }
    return config;
}

/// The trace a parsed document describes; its first fault is json::read()'s answer.
Trace readTrace(json::Reading& r, const Json& doc, const std::string& name) {
    r.object(doc, "");
    r.onlyKeys(doc, "",
               {"version", "description", "pad", "device", "orientation", "config", "events"});

    Trace trace;
    trace.name = name;
    if (r.integer(r.require(doc, "", "version"), "version", 0, 1000) != 1) {
        r.fail("version", "this tool reads version 1 traces");
    }
    if (const Json* description = json::find(doc, "description")) {
        r.string(*description, "description");
    }

    const Json& pad = r.object(r.require(doc, "", "pad"), "pad");
    r.onlyKeys(pad, "pad", {"width", "height", "x", "y"});
    trace.padFrame.size.width =
        r.number(r.require(pad, "pad", "width"), "pad.width", 1.0, kMaxPadSide);
    trace.padFrame.size.height =
        r.number(r.require(pad, "pad", "height"), "pad.height", 1.0, kMaxPadSide);
    if (const Json* x = json::find(pad, "x")) {
        trace.padFrame.origin.x = r.number(*x, "pad.x", -kMaxPadSide, kMaxPadSide);
    }
    if (const Json* y = json::find(pad, "y")) {
        trace.padFrame.origin.y = r.number(*y, "pad.y", -kMaxPadSide, kMaxPadSide);
    }

    trace.idiom = UIUserInterfaceIdiomPhone;
    if (const Json* device = json::find(doc, "device")) {
        constexpr std::array<NamedValue, 3> kDevices = {
            {{"phone", UIUserInterfaceIdiomPhone}, {"pad", UIUserInterfaceIdiomPad}, {"none", -1}}};
        const std::int64_t idiom = named(r, *device, "device", kDevices);
        trace.idiom = idiom < 0 ? std::nullopt : std::optional<std::int64_t>(idiom);
    }
    trace.orientation = orientation::kPortrait;
    if (const Json* o = json::find(doc, "orientation")) {
        trace.orientation = named(r, *o, "orientation", kOrientations);
    }
    if (const Json* config = json::find(doc, "config")) {
        trace.config = parseConfig(r, *config);
    }

    const Json& events =
        r.array(r.require(doc, "", "events"), "events", "expected an array of events");
    for (std::size_t i = 0; r.ok() && i < events.size(); ++i) {
        trace.events.push_back(parseEvent(r, events[i], json::at("events", i)));
    }
    return trace;
}

}  // namespace

Result<Trace> parseTrace(std::string_view text, const std::string& name) {
    if (text.size() > kMaxTraceBytes) {
        return Failure{kTraceErrorDomain, static_cast<std::int64_t>(TraceError::tooLarge),
                       name + ": too large for a trace (at most " +
                           std::to_string(kMaxTraceBytes >> 20) + " MiB)"};
    }
    Result<Trace> trace = json::read(
        text, [&](json::Reading& r, const Json& doc) { return readTrace(r, doc, name); });
    if (!trace) {
        return Failure{kTraceErrorDomain, static_cast<std::int64_t>(TraceError::invalid),
                       name + ": " + trace.error().message, trace.error().where};
    }
    return trace;
}

Result<Trace> loadTrace(const std::filesystem::path& path) {
    const Result<Bytes> bytes = filesystem::readFile(path, kMaxTraceBytes, "a trace");
    if (!bytes) {
        return bytes.error();
    }
    return parseTrace(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()),
                      path.string());
}

std::vector<std::string> traceWarnings(const Trace& trace) {
    std::vector<std::string> warnings;
    std::optional<std::size_t> down;  // the event that put the pen down, while it is down
    double last = 0.0;
    bool backwards = false;
    for (std::size_t i = 0; i < trace.events.size(); ++i) {
        const TraceEvent& event = trace.events[i];
        const std::string where = trace.name + ": events[" + std::to_string(i) + "]";
        const bool touch = event.type == EventType::began || event.type == EventType::moved ||
                           event.type == EventType::ended || event.type == EventType::cancelled;
        if (!touch || event.touches.empty()) {
            continue;
        }
        // The coalesced touches are the event's samples in order; without them, its touch.
        const std::vector<Touch> samples =
            event.coalesced.empty() ? std::vector<Touch>{event.touches.front()} : event.coalesced;
        if (event.type == EventType::began) {
            down = i;
            last = samples.front().timestamp;
        }
        for (const Touch& sample : samples) {
            if (down && !backwards && sample.timestamp < last) {
                backwards = true;
                warnings.push_back(where + ": time goes back inside a stroke, from " +
                                   json::format(last) + " s to " + json::format(sample.timestamp) +
                                   " s; replayed as recorded");
            }
            last = std::max(last, sample.timestamp);
        }
        if (event.type == EventType::ended || event.type == EventType::cancelled) {
            down.reset();
        }
    }
    if (down) {
        warnings.push_back(trace.name + ": ends with the pen down: the stroke begun at events[" +
                           std::to_string(*down) + "] never ends; replayed as recorded");
    }
    return warnings;
}

std::string_view orientationName(std::int64_t orientation) {
    for (const NamedValue& n : kOrientations) {
        if (n.value == orientation) {
            return n.name;
        }
    }
    return "unknown";
}

}  // namespace penwell::host
