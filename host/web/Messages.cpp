#include "penwell/host/web/Messages.h"

#include <cmath>

#include "penwell/json/JsonReader.h"

namespace penwell::web {

namespace {

using json::fail;
using json::Json;
using json::number;

Sample parseSample(const Json& v, const std::string& where) {
    if (!v.is_array() || v.size() != 4) {
        fail(where, "expected [t, x, y, pressure]");
    }
    Sample s;
    // The bounds every sample meets (format/SampleBatch.h); the page's pressure is the
    // browser's, from 0 to 1, which the server alone turns into a force.
    s.t = number(v[0], where + "[0]", 0.0, SampleBatch::kMaxTime);
    s.x = number(v[1], where + "[1]", -SampleBatch::kMaxCoordinate, SampleBatch::kMaxCoordinate);
    s.y = number(v[2], where + "[2]", -SampleBatch::kMaxCoordinate, SampleBatch::kMaxCoordinate);
    s.pressure = number(v[3], where + "[3]", 0.0, SampleBatch::kMaxPressure);
    return s;
}

struct Named {
    std::string_view name;
    MessageType type;
};

constexpr Named kTypes[] = {
    {"down", MessageType::down},     {"move", MessageType::move},
    {"up", MessageType::up},         {"cancel", MessageType::cancel},
    {"undo", MessageType::undo},     {"clear", MessageType::clear},
    {"done", MessageType::done},     {"snapshot", MessageType::snapshot},
    {"config", MessageType::config}, {"shown", MessageType::shown},
};

/// The message a parsed document describes; its faults end json::read().
ClientMessage readMessage(const Json& doc, const MessageLimits& limits) {
    const std::string type = json::string(json::require(doc, "", "type"), "type");
    ClientMessage message;
    bool known = false;
    for (const Named& n : kTypes) {
        if (type == n.name) {
            message.type = n.type;
            known = true;
        }
    }
    if (!known) {
        fail("type", "unknown message type");
    }

    switch (message.type) {
        case MessageType::down:
        case MessageType::move:
        case MessageType::up:
        case MessageType::cancel: {
            json::onlyKeys(doc, "", {"type", "seq", "pointer", "samples"});
            const Json* pointer = json::find(doc, "pointer");
            const std::optional<PointerKind> kind =
                pointerKindNamed(pointer && pointer->is_string() ? pointer->get<std::string>() : "",
                                 {{"pen", PointerKind::stylus}, {"touch", PointerKind::finger}});
            if (!kind) {
                fail("pointer", "expected stylus, finger, mouse or unknown");
            }
            message.pointer = *kind;
            const Json* samples = json::find(doc, "samples");
            if (!samples || !samples->is_array()) {
                fail("samples", "expected an array");
            }
            const std::size_t wanted = samples->size();
            if (wanted == 0) {
                fail("samples", "empty");
            }
            if (message.type != MessageType::move && wanted != 1) {
                fail("samples", type + " carries exactly one sample");
            }
            if (wanted > limits.samplesPerMessage) {
                fail("samples", std::to_string(wanted) + " samples, more than " +
                                    std::to_string(limits.samplesPerMessage));
            }
            message.samples.reserve(wanted);
            for (std::size_t i = 0; i < wanted; ++i) {
                message.samples.push_back(parseSample((*samples)[i], json::at("samples", i)));
            }
            break;
        }
        case MessageType::config: {
            json::onlyKeys(doc, "", {"type", "seq", "smoothing", "lineWidth", "scale"});
            if (const Json* it = json::find(doc, "smoothing")) {
                message.smoothing = json::boolean(*it, "smoothing");
            }
            if (const Json* it = json::find(doc, "lineWidth")) {
                // The trace format's range for an ink width, narrowed to what a pad can show.
                message.lineWidth = static_cast<float>(number(*it, "lineWidth", 0.5, 40.0));
            }
            if (const Json* it = json::find(doc, "scale")) {
                // Screens have 1 to 4 device pixels per CSS pixel; the page rounds its ratio.
                const double scale = number(*it, "scale", 1.0, kMaxPatchScale);
                if (scale != std::floor(scale)) {
                    fail("scale", it->dump() + " is not a whole number");
                }
                message.scale = static_cast<int>(scale);
            }
            break;
        }
        case MessageType::shown:
            json::onlyKeys(doc, "", {"type", "seq", "page"});
            // A PDF has at most a few million pages; the bound only keeps the number an int.
            message.page = static_cast<int>(
                json::integer(json::require(doc, "", "page"), "page", 1, 1 << 24));
            break;
        default:
            json::onlyKeys(doc, "", {"type", "seq"});
            break;
    }
    if (const Json* seq = json::find(doc, "seq")) {
        // Up to 2^53, where a page's numbers stop being exact.
        message.seq = static_cast<std::uint64_t>(json::integer(*seq, "seq", 0, 1LL << 53));
    }
    return message;
}

}  // namespace

Result<ClientMessage> parseClientMessage(std::string_view text, const MessageLimits& limits) {
    const auto malformed = static_cast<std::int64_t>(ProtocolFault::malformed);
    if (text.size() > limits.messageBytes) {
        return Failure{kProtocolErrorDomain, malformed,
                       "message of " + std::to_string(text.size()) + " bytes, more than " +
                           std::to_string(limits.messageBytes)};
    }
    Result<ClientMessage> message = json::read(
        text, [&](const Json& doc) { return readMessage(json::object(doc, ""), limits); });
    if (!message) {
        return Failure{kProtocolErrorDomain, malformed, message.error().message,
                       message.error().where};
    }
    return std::move(*message);
}

}  // namespace penwell::web
