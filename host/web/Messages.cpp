#include "penwell/host/web/Messages.h"

#include <cmath>

#include "penwell/json/JsonReader.h"

namespace penwell::web {

namespace {

using json::Json;

Sample parseSample(json::Reading& r, const Json& v, const std::string& where) {
    Sample s;
    if (!v.is_array() || v.size() != 4) {
        r.fail(where, "expected [t, x, y, pressure]");
        return s;
    }
    // The bounds every sample meets (format/SampleBatch.h); the page's pressure is the
    // browser's, from 0 to 1, which the server alone turns into a force.
    s.t = r.number(v[0], json::at(where, 0), 0.0, SampleBatch::kMaxTime);
    s.x = r.number(v[1], json::at(where, 1), -SampleBatch::kMaxCoordinate,
                   SampleBatch::kMaxCoordinate);
    s.y = r.number(v[2], json::at(where, 2), -SampleBatch::kMaxCoordinate,
                   SampleBatch::kMaxCoordinate);
    s.pressure = r.number(v[3], json::at(where, 3), 0.0, SampleBatch::kMaxPressure);
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

/// The pointer and samples of a down, move, up or cancel. Its first fault is the reading's,
/// and ends it before anything is sized by what the message claims.
void readSamples(json::Reading& r, const Json& doc, const std::string& type,
                 const MessageLimits& limits, ClientMessage& message) {
    r.onlyKeys(doc, "", {"type", "seq", "pointer", "samples"});
    const Json* pointer = json::find(doc, "pointer");
    const std::optional<PointerKind> kind =
        pointerKindNamed(pointer && pointer->is_string() ? pointer->get<std::string>() : "",
                         {{"pen", PointerKind::stylus}, {"touch", PointerKind::finger}});
    if (!kind) {
        r.fail("pointer", "expected stylus, finger, mouse or unknown");
        return;
    }
    message.pointer = *kind;
    const Json* samples = json::find(doc, "samples");
    if (!samples || !samples->is_array()) {
        r.fail("samples", "expected an array");
        return;
    }
    const std::size_t wanted = samples->size();
    if (wanted == 0) {
        r.fail("samples", "empty");
        return;
    }
    if (message.type != MessageType::move && wanted != 1) {
        r.fail("samples", type + " carries exactly one sample");
        return;
    }
    if (wanted > limits.samplesPerMessage) {
        r.fail("samples", std::to_string(wanted) + " samples, more than " +
                              std::to_string(limits.samplesPerMessage));
        return;
    }
    if (!r.ok()) {
        return;  // a fault above: nothing is sized by what the message claims
    }
    message.samples.reserve(wanted);
    for (std::size_t i = 0; r.ok() && i < wanted; ++i) {
        message.samples.push_back(parseSample(r, (*samples)[i], json::at("samples", i)));
    }
}

/// The message a parsed document describes; its first fault is json::read()'s answer.
ClientMessage readMessage(json::Reading& r, const Json& doc, const MessageLimits& limits) {
    const std::string type = r.string(r.require(doc, "", "type"), "type");
    ClientMessage message;
    bool known = false;
    for (const Named& n : kTypes) {
        if (type == n.name) {
            message.type = n.type;
            known = true;
        }
    }
    if (!known) {
        r.fail("type", "unknown message type");
        return message;
    }

    switch (message.type) {
        case MessageType::down:
        case MessageType::move:
        case MessageType::up:
        case MessageType::cancel:
            readSamples(r, doc, type, limits, message);
            break;
        case MessageType::config: {
            r.onlyKeys(doc, "", {"type", "seq", "smoothing", "lineWidth", "scale"});
            if (const Json* it = json::find(doc, "smoothing")) {
                message.smoothing = r.boolean(*it, "smoothing");
            }
            if (const Json* it = json::find(doc, "lineWidth")) {
                // The trace format's range for an ink width, narrowed to what a pad can show.
                message.lineWidth = static_cast<float>(r.number(*it, "lineWidth", 0.5, 40.0));
            }
            if (const Json* it = json::find(doc, "scale")) {
                // Screens have 1 to 4 device pixels per CSS pixel; the page rounds its ratio.
                const double scale = r.number(*it, "scale", 1.0, kMaxPatchScale);
                if (scale != std::floor(scale)) {
                    r.fail("scale", it->dump() + " is not a whole number");
                }
                message.scale = static_cast<int>(scale);
            }
            break;
        }
        case MessageType::shown:
            r.onlyKeys(doc, "", {"type", "seq", "page"});
            // A PDF has at most a few million pages; the bound only keeps the number an int.
            message.page =
                static_cast<int>(r.integer(r.require(doc, "", "page"), "page", 1, 1 << 24));
            break;
        default:
            r.onlyKeys(doc, "", {"type", "seq"});
            break;
    }
    if (const Json* seq = json::find(doc, "seq")) {
        // Up to 2^53, where a page's numbers stop being exact.
        message.seq = static_cast<std::uint64_t>(r.integer(*seq, "seq", 0, 1LL << 53));
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
    Result<ClientMessage> message = json::read(text, [&](json::Reading& r, const Json& doc) {
        return readMessage(r, r.object(doc, ""), limits);
    });
    if (!message) {
        return Failure{kProtocolErrorDomain, malformed, message.error().message,
                       message.error().where};
    }
    return std::move(*message);
}

}  // namespace penwell::web
