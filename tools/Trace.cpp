#include "tools/Trace.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <utility>

#include "platform/Application.h"
#include "platform/View.h"
#include "tools/Limits.h"
#include "tools/StagedFile.h"
#include "tools/ToolError.h"

namespace penwell::tools {

namespace {

using Json = nlohmann::json;

/// Deeper than any trace goes (touch fields sit five levels down); a bound keeps a hostile
/// "[[[[..." from building millions of nested values.
constexpr std::size_t kMaxDepth = 16;

/// Builds the document as nlohmann's own parser does, and keeps the JSON path of where the
/// parser is, so that a fault its lexer finds (a number beyond double range) is reported at
/// its place like every other trace error.
class DocumentBuilder {
public:
    explicit DocumentBuilder(Json& doc) : dom_(doc, false) {}

    bool null() { return value(dom_.null()); }
    bool boolean(bool v) { return value(dom_.boolean(v)); }
    bool number_integer(Json::number_integer_t v) { return value(dom_.number_integer(v)); }
    bool number_unsigned(Json::number_unsigned_t v) { return value(dom_.number_unsigned(v)); }
    bool number_float(Json::number_float_t v, const Json::string_t& s) {
        return value(dom_.number_float(v, s));
    }
    bool string(Json::string_t& v) { return value(dom_.string(v)); }
    bool binary(Json::binary_t& v) { return value(dom_.binary(v)); }
    bool start_object(std::size_t n) { return open(false) && dom_.start_object(n); }
    bool key(Json::string_t& k) {
        path_.back().key = k;
        return dom_.key(k);
    }
    bool end_object() { return close(dom_.end_object()); }
    bool start_array(std::size_t n) { return open(true) && dom_.start_array(n); }
    bool end_array() { return close(dom_.end_array()); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) {
        // what() starts with "[json.exception.parse_error.101] "; the rest says where and why.
        const std::string what = e.what();
        const auto bracket = what.find("] ");
        const std::string text = bracket == std::string::npos ? what : what.substr(bracket + 2);
        if (e.id == 406) {
            error_ = {where(), text};  // "number overflow parsing '1e400'": the place is ours
        } else {
            error_ = {"", "invalid JSON: " + text};
        }
        return false;
    }

    /// Where and what went wrong once parsing stopped early.
    const std::pair<std::string, std::string>& error() const { return error_; }

private:
    struct Level {
        bool array = false;
        std::size_t count = 0;  // values finished at this level
        std::string key;        // the last key read, in an object
    };

    bool value(bool ok) {
        if (!path_.empty()) {
            ++path_.back().count;
        }
        return ok;
    }
    bool open(bool array) {
        if (path_.size() >= kMaxDepth) {
            error_ = {where(), "nested more than " + std::to_string(kMaxDepth) + " levels deep"};
            return false;
        }
        path_.push_back({array, 0, {}});
        return true;
    }
    bool close(bool ok) {
        path_.pop_back();
        return value(ok);
    }
    std::string where() const {
        std::string out;
        // Appended piecewise: GCC 12 at -O3 reports a false memcpy overlap
        // (-Werror=restrict) for `"[" + std::string`.
        for (const Level& level : path_) {
            if (level.array) {
                out += '[';
                out += std::to_string(level.count);
                out += ']';
            } else {
                if (!out.empty()) {
                    out += '.';
                }
                out += level.key;
            }
        }
        return out;
    }

    nlohmann::detail::json_sax_dom_parser<Json> dom_;
    std::vector<Level> path_;
    std::pair<std::string, std::string> error_;
};

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

constexpr std::array<NamedValue, 3> kTouchTypes = {{
    {"finger", touch_type::kDirect},
    {"indirect", touch_type::kIndirect},
    {"stylus", touch_type::kStylus},
}};

std::string listOf(std::initializer_list<std::string_view> names) {
    std::string out;
    for (const std::string_view n : names) {
        out += out.empty() ? "" : ", ";
        out += n;
    }
    return out;
}

template <std::size_t N>
std::string listOf(const std::array<NamedValue, N>& table) {
    std::string out;
    for (const NamedValue& n : table) {
        out += out.empty() ? "" : ", ";
        out += n.name;
    }
    return out;
}

/// Walks a parsed document, keeping the file name for every message.
class Reader {
public:
    explicit Reader(std::string name) : name_(std::move(name)) {}

    [[noreturn]] void fail(const std::string& where, const std::string& what) const {
        throw ToolError(name_ + ": " + (where.empty() ? "" : where + ": ") + what);
    }

    const Json& object(const Json& v, const std::string& where) const {
        if (!v.is_object()) {
            fail(where, "expected an object");
        }
        return v;
    }

    /// Refuses keys outside `allowed`: a misspelt optional field would otherwise be ignored
    /// silently and the replay would differ from what its author meant.
    void onlyKeys(const Json& v, const std::string& where,
                  std::initializer_list<std::string_view> allowed) const {
        for (const auto& [key, value] : v.items()) {
            bool known = false;
            for (const std::string_view a : allowed) {
                known = known || key == a;
            }
            if (!known) {
                fail(join(where, key), "unknown field (expected " + listOf(allowed) + ")");
            }
        }
    }

    static std::string join(const std::string& where, std::string_view key) {
        return where.empty() ? std::string(key) : where + "." + std::string(key);
    }

    const Json* find(const Json& v, std::string_view key) const {
        const auto it = v.find(key);
        return it == v.end() ? nullptr : &*it;
    }

    const Json& require(const Json& v, const std::string& where, std::string_view key) const {
        const Json* found = find(v, key);
        if (found == nullptr) {
            fail(join(where, key), "missing");
        }
        return *found;
    }

    double number(const Json& v, const std::string& where) const {
        if (!v.is_number()) {
            fail(where, "expected a number");
        }
        const double d = v.get<double>();
        if (!std::isfinite(d)) {
            fail(where, "expected a finite number");
        }
        return d;
    }

    double number(const Json& v, const std::string& where, double min, double max) const {
        const double d = number(v, where);
        if (d < min || d > max) {
            fail(where, "expected a number from " + format(min) + " to " + format(max) + ", got " +
                            format(d));
        }
        return d;
    }

    std::int64_t integer(const Json& v, const std::string& where, std::int64_t min,
                         std::int64_t max) const {
        if (!v.is_number_integer()) {
            fail(where, "expected an integer");
        }
        // nlohmann keeps integers above INT64_MAX as unsigned; they are out of range anyway.
        if (v.is_number_unsigned() && v.get<std::uint64_t>() > static_cast<std::uint64_t>(max)) {
            fail(where,
                 "expected an integer from " + std::to_string(min) + " to " + std::to_string(max));
        }
        const std::int64_t i = v.get<std::int64_t>();
        if (i < min || i > max) {
            fail(where, "expected an integer from " + std::to_string(min) + " to " +
                            std::to_string(max) + ", got " + std::to_string(i));
        }
        return i;
    }

    bool boolean(const Json& v, const std::string& where) const {
        if (!v.is_boolean()) {
            fail(where, "expected true or false");
        }
        return v.get<bool>();
    }

    std::string string(const Json& v, const std::string& where) const {
        if (!v.is_string()) {
            fail(where, "expected a string");
        }
        return v.get<std::string>();
    }

    template <std::size_t N>
    std::int64_t named(const Json& v, const std::string& where,
                       const std::array<NamedValue, N>& table) const {
        const std::string s = string(v, where);
        for (const NamedValue& n : table) {
            if (s == n.name) {
                return n.value;
            }
        }
        fail(where, "\"" + s + "\" is not one of " + listOf(table));
    }

    static std::string format(double d) {
        std::string s = std::to_string(d);
        s.erase(s.find_last_not_of('0') + 1);
        if (!s.empty() && s.back() == '.') {
            s.pop_back();
        }
        return s;
    }

private:
    std::string name_;
};

Color parseColor(const Reader& r, const Json& v, const std::string& where) {
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
        }
        auto channel = [&](std::size_t i) {
            return std::stoi(s.substr(1 + 2 * i, 2), nullptr, 16) / 255.0;
        };
        return Color::rgb(channel(0), channel(1), channel(2), s.size() == 9 ? channel(3) : 1.0);
    }
    r.object(v, where);
    const double alpha = r.find(v, "alpha") != nullptr
                             ? r.number(v["alpha"], Reader::join(where, "alpha"), 0.0, 1.0)
                             : 1.0;
    if (r.find(v, "white") != nullptr) {
        r.onlyKeys(v, where, {"white", "alpha"});
        return Color::grey(r.number(v["white"], Reader::join(where, "white"), 0.0, 1.0), alpha);
    }
    r.onlyKeys(v, where, {"red", "green", "blue", "alpha"});
    auto component = [&](std::string_view key) {
        return r.number(r.require(v, where, key), Reader::join(where, key), 0.0, 1.0);
    };
    return Color::rgb(component("red"), component("green"), component("blue"), alpha);
}

Touch parseTouch(const Reader& r, const Json& v, const std::string& where) {
    r.object(v, where);
    r.onlyKeys(v, where, {"t", "x", "y", "force", "type"});
    Touch touch;
    touch.timestamp = r.number(r.require(v, where, "t"), Reader::join(where, "t"), 0.0, 1.0e9);
    touch.location.x = r.number(r.require(v, where, "x"), Reader::join(where, "x"));
    touch.location.y = r.number(r.require(v, where, "y"), Reader::join(where, "y"));
    if (const Json* force = r.find(v, "force")) {
        touch.force = r.number(*force, Reader::join(where, "force"));
    }
    if (const Json* type = r.find(v, "type")) {
        const std::string at = Reader::join(where, "type");
        touch.type = type->is_number()
                         ? r.integer(*type, at, std::numeric_limits<std::int64_t>::min(),
                                     std::numeric_limits<std::int64_t>::max())
                         : r.named(*type, at, kTouchTypes);
    }
    return touch;
}

std::vector<Touch> parseTouches(const Reader& r, const Json& v, const std::string& where) {
    if (!v.is_array()) {
        r.fail(where, "expected an array of touches");
    }
    std::vector<Touch> touches;
    for (std::size_t i = 0; i < v.size(); ++i) {
        touches.push_back(parseTouch(r, v[i], where + "[" + std::to_string(i) + "]"));
    }
    return touches;
}

TraceEvent parseEvent(const Reader& r, const Json& v, const std::string& where) {
    r.object(v, where);
    const std::string type = r.string(r.require(v, where, "type"), Reader::join(where, "type"));
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
                parseTouches(r, r.require(v, where, "touches"), Reader::join(where, "touches"));
            if (const Json* coalesced = r.find(v, "coalesced")) {
                event.coalesced = parseTouches(r, *coalesced, Reader::join(where, "coalesced"));
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
            r.number(r.require(v, where, "seconds"), Reader::join(where, "seconds"), 0.0, 1.0e6);
        return event;
    }
    if (type == "rotate") {
        r.onlyKeys(v, where, {"type", "orientation"});
        event.type = EventType::rotate;
        event.orientation = r.named(r.require(v, where, "orientation"),
                                    Reader::join(where, "orientation"), kOrientations);
        return event;
    }
    r.fail(Reader::join(where, "type"),
           "\"" + type +
               "\" is not one of began, moved, ended, cancelled, undo, clear, export, appear, "
               "disappear, wait, rotate");
}

TraceConfig parseConfig(const Reader& r, const Json& v) {
    const std::string where = "config";
    r.object(v, where);
    r.onlyKeys(v, where,
               {"smoothing", "smoothingDelay", "lineWidth", "lineColor", "backgroundColor",
                "MinSigPoints"});
    TraceConfig config;
    if (const Json* x = r.find(v, "smoothing")) {
        config.smoothing = r.boolean(*x, "config.smoothing");
    }
    if (const Json* x = r.find(v, "smoothingDelay")) {
        config.smoothingDelay =
            static_cast<float>(r.number(*x, "config.smoothingDelay", 0.0, 3600.0));
    }
    if (const Json* x = r.find(v, "lineWidth")) {
        config.lineWidth = static_cast<float>(r.number(*x, "config.lineWidth", 0.0, 1000.0));
    }
    if (const Json* x = r.find(v, "lineColor")) {
        config.lineColor = parseColor(r, *x, "config.lineColor");
    }
    if (const Json* x = r.find(v, "backgroundColor")) {
        config.backgroundColor = parseColor(r, *x, "config.backgroundColor");
    }
    if (const Json* x = r.find(v, "MinSigPoints")) {
        config.MinSigPoints =
            static_cast<int>(r.integer(*x, "config.MinSigPoints", std::numeric_limits<int>::min(),
                                       std::numeric_limits<int>::max()));
    }
    return config;
}

}  // namespace

Trace parseTrace(std::string_view text, const std::string& name) {
    const Reader r(name);
    if (text.size() > kMaxTraceBytes) {
        r.fail("",
               "too large for a trace (at most " + std::to_string(kMaxTraceBytes >> 20) + " MiB)");
    }
    Json doc;
    DocumentBuilder builder(doc);
    bool parsed = false;
    try {
        parsed = Json::sax_parse(text, &builder);
    } catch (const Json::exception& e) {
        r.fail("", std::string("invalid JSON: ") + e.what());
    }
    if (!parsed) {
        r.fail(builder.error().first, builder.error().second);
    }
    r.object(doc, "");
    r.onlyKeys(doc, "",
               {"version", "description", "pad", "device", "orientation", "config", "events"});

    Trace trace;
    trace.name = name;
    if (r.integer(r.require(doc, "", "version"), "version", 0, 1000) != 1) {
        r.fail("version", "this tool reads version 1 traces");
    }
    if (const Json* description = r.find(doc, "description")) {
        r.string(*description, "description");
    }

    const Json& pad = r.object(r.require(doc, "", "pad"), "pad");
    r.onlyKeys(pad, "pad", {"width", "height", "x", "y"});
    trace.padFrame.size.width =
        r.number(r.require(pad, "pad", "width"), "pad.width", 1.0, kMaxPadSide);
    trace.padFrame.size.height =
        r.number(r.require(pad, "pad", "height"), "pad.height", 1.0, kMaxPadSide);
    if (const Json* x = r.find(pad, "x")) {
        trace.padFrame.origin.x = r.number(*x, "pad.x", -kMaxPadSide, kMaxPadSide);
    }
    if (const Json* y = r.find(pad, "y")) {
        trace.padFrame.origin.y = r.number(*y, "pad.y", -kMaxPadSide, kMaxPadSide);
    }

    trace.idiom = UIUserInterfaceIdiomPhone;
    if (const Json* device = r.find(doc, "device")) {
        constexpr std::array<NamedValue, 3> kDevices = {
            {{"phone", UIUserInterfaceIdiomPhone}, {"pad", UIUserInterfaceIdiomPad}, {"none", -1}}};
        const std::int64_t idiom = r.named(*device, "device", kDevices);
        trace.idiom = idiom < 0 ? std::nullopt : std::optional<std::int64_t>(idiom);
    }
    trace.orientation = orientation::kPortrait;
    if (const Json* o = r.find(doc, "orientation")) {
        trace.orientation = r.named(*o, "orientation", kOrientations);
    }
    if (const Json* config = r.find(doc, "config")) {
        trace.config = parseConfig(r, *config);
    }

    const Json& events = r.require(doc, "", "events");
    if (!events.is_array()) {
        r.fail("events", "expected an array of events");
    }
    for (std::size_t i = 0; i < events.size(); ++i) {
        trace.events.push_back(parseEvent(r, events[i], "events[" + std::to_string(i) + "]"));
    }
    return trace;
}

Trace loadTrace(const std::filesystem::path& path) {
    const Bytes bytes = readFile(path, kMaxTraceBytes, "a trace");
    return parseTrace(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
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
                                   Reader::format(last) + " s to " +
                                   Reader::format(sample.timestamp) + " s; replayed as recorded");
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

}  // namespace penwell::tools
