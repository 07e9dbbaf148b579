#pragma once
// A recorded signing session: the pad, its configuration and the events a toolkit and a host
// deliver to the controller, in time order. docs/trace-format.md describes the JSON form.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "penwell/platform/Color.h"
#include "penwell/platform/Geometry.h"
#include "penwell/platform/Result.h"
#include "penwell/platform/Touch.h"

namespace penwell::host {

/// A trace: the bundled ones are 20 to 130 KB for a few seconds of writing; 32 MiB holds about
/// a quarter of an hour of continuous stylus input in the same form, which replays in about
/// 200 MB and two seconds.
inline constexpr std::uint64_t kMaxTraceBytes = 32u << 20;

/// Domain of a trace's refusals (a file that cannot be read answers filesystem::kFileDomain).
inline constexpr const char* kTraceErrorDomain = "PenwellTrace";

enum class TraceError : int {
    tooLarge = 1,  ///< over kMaxTraceBytes
    invalid = 2,   ///< not JSON, or not a version-1 trace
};

struct TraceConfig {
    std::optional<bool> smoothing;
    std::optional<float> smoothingDelay;
    std::optional<float> lineWidth;
    std::optional<Color> lineColor;
    std::optional<Color> backgroundColor;
    std::optional<int> MinSigPoints;
};

enum class EventType {
    began,
    moved,
    ended,
    cancelled,
    undo,
    clear,
    exportSignature,
    rotate,
    wait,
    appear,
    disappear,
};

struct TraceEvent {
    EventType type = EventType::wait;
    std::vector<Touch> touches;    ///< touch events: the set; the first is the one followed
    std::vector<Touch> coalesced;  ///< touch events: the event's coalesced touches, if any
    std::int64_t orientation = 0;  ///< rotate: the new status-bar orientation
    double seconds = 0.0;          ///< wait: how far to move the clock
};

struct Trace {
    std::string name;  ///< the file it came from, for messages
    Rect padFrame;     ///< the pad view's frame in the controller's view
    std::optional<std::int64_t> idiom;
    std::int64_t orientation = 0;
    TraceConfig config;
    std::vector<TraceEvent> events;
};

/// Parses and validates a trace of at most kMaxTraceBytes. Fails with "<name>: <where>: <what
/// is wrong>", e.g. "trace.json: events[3].touches[0].force: expected a number"; never throws,
/// whatever the bytes.
Result<Trace> parseTrace(std::string_view json, const std::string& name);

/// Reads and parses a trace file.
Result<Trace> loadTrace(const std::filesystem::path& path);

/// What a trace does that a toolkit never would, which the replay reproduces all the same:
/// time going back inside a stroke (the first time only), and ending with the pen down. One
/// line each, naming the trace and the event.
std::vector<std::string> traceWarnings(const Trace& trace);

/// The orientation's name in traces ("portrait", "landscapeLeft", ...).
std::string_view orientationName(std::int64_t orientation);

}  // namespace penwell::host
