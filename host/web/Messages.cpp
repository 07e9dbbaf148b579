#include "host/web/Messages.h"

#include <cmath>
#include <nlohmann/json.hpp>

namespace penwell::web {

namespace {

using Json = nlohmann::json;

// The same ranges a trace's touches must meet: times from 0 to 1e9 seconds, finite positions.
// Positions are further held to a band around any pad the server makes, so that nothing far
// outside reaches the controller's painting or the record's 32-bit fields.
constexpr double kMaxTime = 1.0e9;
constexpr double kMaxCoordinate = 1.0e6;

[[noreturn]] void fail(const std::string& where, const std::string& what) {
    throw ProtocolError(where.empty() ? what : where + ": " + what);
}

double number(const Json& v, const std::string& where, double min, double max) {
    if (!v.is_number()) {
        fail(where, "expected a number");
    }
    const double d = v.get<double>();
    if (!std::isfinite(d)) {
        fail(where, "expected a finite number");
    }
    if (d < min || d > max) {
        fail(where, "out of range");
    }
    return d;
}

Sample parseSample(const Json& v, const std::string& where) {
    if (!v.is_array() || v.size() != 4) {
        fail(where, "expected [t, x, y, pressure]");
    }
    Sample s;
    s.t = number(v[0], where + "[0]", 0.0, kMaxTime);
    s.x = number(v[1], where + "[1]", -kMaxCoordinate, kMaxCoordinate);
    s.y = number(v[2], where + "[2]", -kMaxCoordinate, kMaxCoordinate);
    s.pressure = number(v[3], where + "[3]", 0.0, 1.0);
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
    {"config", MessageType::config},
};

void onlyKeys(const Json& v, std::initializer_list<std::string_view> allowed) {
    for (const auto& [key, value] : v.items()) {
        bool known = false;
        for (const std::string_view a : allowed) {
            known = known || key == a;
        }
        if (!known) {
            fail(key, "unknown field");
        }
    }
}

}  // namespace

ClientMessage parseClientMessage(std::string_view text, const MessageLimits& limits) {
    if (text.size() > limits.messageBytes) {
        fail("", "message of " + std::to_string(text.size()) + " bytes, more than " +
                     std::to_string(limits.messageBytes));
    }
    Json doc = Json::parse(text, nullptr, false);
    if (doc.is_discarded()) {
        fail("", "invalid JSON");
    }
    if (!doc.is_object()) {
        fail("", "expected an object");
    }
    const auto typeIt = doc.find("type");
    if (typeIt == doc.end() || !typeIt->is_string()) {
        fail("type", "expected a string");
    }
    ClientMessage message;
    const std::string type = typeIt->get<std::string>();
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
            onlyKeys(doc, {"type", "pointer", "samples"});
            const auto pointer = doc.find("pointer");
            if (pointer == doc.end() || !pointer->is_string()) {
                fail("pointer", "expected pen, touch or mouse");
            }
            const std::string kind = pointer->get<std::string>();
            if (kind == "pen") {
                message.pointer = PointerKind::pen;
            } else if (kind == "touch") {
                message.pointer = PointerKind::touch;
            } else if (kind == "mouse") {
                message.pointer = PointerKind::mouse;
            } else {
                fail("pointer", "expected pen, touch or mouse");
            }
            const auto samples = doc.find("samples");
            if (samples == doc.end() || !samples->is_array()) {
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
                message.samples.push_back(
                    parseSample((*samples)[i], "samples[" + std::to_string(i) + "]"));
            }
            break;
        }
        case MessageType::config: {
            onlyKeys(doc, {"type", "smoothing", "lineWidth"});
            if (const auto it = doc.find("smoothing"); it != doc.end()) {
                if (!it->is_boolean()) {
                    fail("smoothing", "expected true or false");
                }
                message.smoothing = it->get<bool>();
            }
            if (const auto it = doc.find("lineWidth"); it != doc.end()) {
                // The trace format's range for an ink width, narrowed to what a pad can show.
                message.lineWidth = static_cast<float>(number(*it, "lineWidth", 0.5, 40.0));
            }
            break;
        }
        default:
            onlyKeys(doc, {"type"});
            break;
    }
    return message;
}

Touch touchFor(PointerKind pointer, const Sample& sample) {
    Touch touch;
    touch.location = {sample.x, sample.y};
    touch.timestamp = sample.t;
    switch (pointer) {
        case PointerKind::pen:
            touch.type = touch_type::kStylus;
            touch.force = sample.pressure * kPenForceScale;
            break;
        case PointerKind::touch:
            touch.type = touch_type::kDirect;
            touch.force = sample.pressure * kTouchForceScale;
            break;
        case PointerKind::mouse:
            touch.type = touch_type::kDirect;
            touch.force = 0.0;
            break;
    }
    return touch;
}

}  // namespace penwell::web
