#include "penwell/service/AuditTrailFile.h"

#include <cstdio>
#include <ctime>

#include "penwell/json/JsonReader.h"
#include "penwell/platform/Hex.h"
#include "penwell/service/AuditChain.h"

namespace penwell::service {
namespace {

using json::Json;
/// What the encoder writes: its fields in the order a person reads them, not sorted.
using Ordered = nlohmann::ordered_json;

constexpr const char* kFormat = "penwell-audit-1";

/// A text as JSON: itself when it is UTF-8, else its bytes as {"hex": ...}; nlohmann refuses
/// to write a string that is not UTF-8, and replacing its bytes would change what was hashed.
Ordered text(const std::string& value) {
    Ordered out = value;
    try {
        (void)out.dump();
        return out;
    } catch (const Ordered::type_error&) {
        return Ordered{{"hex", hexDigits(asBytes(value))}};
    }
}

/// Lowercase hex digits as the encoder writes them, or nothing: one spelling per value keeps
/// the file's bytes canonical.
std::optional<Bytes> fromHex(std::string_view digits) {
    return bytesFromHex(digits, true);
}

std::string readText(json::Reading& r, const Json& v, const std::string& where) {
    if (v.is_object()) {
        r.onlyKeys(v, where, {"hex"});
        const std::string path = json::join(where, "hex");
        const std::optional<Bytes> bytes = fromHex(r.string(r.require(v, where, "hex"), path));
        if (!bytes) {
            r.fail(path, "expected lowercase hexadecimal digits, two per byte");
            return {};
        }
        return std::string(bytes->begin(), bytes->end());
    }
    return r.string(v, where);
}

Bytes readHash(json::Reading& r, const Json& v, const std::string& where) {
    std::optional<Bytes> bytes = fromHex(r.string(v, where));
    if (!bytes || bytes->size() != 32) {
        r.fail(where, "expected a SHA-256 as 64 lowercase hexadecimal digits");
        return {};
    }
    return std::move(*bytes);
}

/// The milliseconds a time written by isoTime() stands for; any other spelling is refused, so
/// that what a person reads is exactly what was hashed.
TimeMs readTime(json::Reading& r, const Json& v, const std::string& where) {
    const std::string value = r.string(v, where);
    std::tm fields{};
    int millis = 0;
    char zone = 0;
    if (std::sscanf(value.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c", &fields.tm_year, &fields.tm_mon,
                    &fields.tm_mday, &fields.tm_hour, &fields.tm_min, &fields.tm_sec, &millis,
                    &zone) == 8) {
        fields.tm_year -= 1900;
        fields.tm_mon -= 1;
        const TimeMs time = static_cast<TimeMs>(timegm(&fields)) * 1000 + millis;
        if (isoTime(time) == value) {
            return time;
        }
    }
    r.fail(where, "expected a UTC time as YYYY-MM-DDTHH:MM:SS.mmmZ");
    return 0;
}

AuditEvent readEvent(json::Reading& r, const Json& v, const std::string& where) {
    r.object(v, where);
    r.onlyKeys(v, where,
               {"sequence", "time", "type", "signer", "detail", "address", "user_agent",
                "previous_hash", "hash"});
    const auto field = [&](std::string_view key) -> std::pair<const Json&, std::string> {
        return {r.require(v, where, key), json::join(where, key)};
    };
    AuditEvent event;
    auto [sequence, sequenceAt] = field("sequence");
    event.sequence = r.integer(sequence, sequenceAt, 1, std::int64_t{1} << 53);
    auto [time, timeAt] = field("time");
    event.time = readTime(r, time, timeAt);
    auto [type, typeAt] = field("type");
    event.type = r.string(type, typeAt);
    auto [signer, signerAt] = field("signer");
    event.signer = static_cast<int>(r.integer(signer, signerAt, 0, 1 << 20));
    auto [detail, detailAt] = field("detail");
    event.detail = readText(r, detail, detailAt);
    auto [address, addressAt] = field("address");
    event.actor.address = readText(r, address, addressAt);
    auto [agent, agentAt] = field("user_agent");
    event.actor.userAgent = readText(r, agent, agentAt);
    auto [previous, previousAt] = field("previous_hash");
    event.previousHash = readHash(r, previous, previousAt);
    auto [hash, hashAt] = field("hash");
    event.hash = readHash(r, hash, hashAt);
    return event;
}

AuditTrail readTrail(json::Reading& r, const Json& v) {
    r.object(v, "");
    r.onlyKeys(v, "", {"format", "request", "events", "last_hash"});
    if (r.string(r.require(v, "", "format"), "format") != kFormat) {
        r.fail("format", std::string("expected \"") + kFormat + "\"");
    }
    AuditTrail trail;
    trail.requestId = readText(r, r.require(v, "", "request"), "request");
    const Json& events =
        r.array(r.require(v, "", "events"), "events", "expected an array of events");
    for (std::size_t i = 0; r.ok() && i < events.size(); ++i) {
        trail.events.push_back(readEvent(r, events[i], json::at("events", i)));
    }
    trail.lastHash = readHash(r, r.require(v, "", "last_hash"), "last_hash");
    return trail;
}

}  // namespace

std::string isoTime(TimeMs time) {
    // Floored, so that a time before 1970 keeps its milliseconds positive.
    TimeMs seconds = time / 1000;
    TimeMs millis = time % 1000;
    if (millis < 0) {
        millis += 1000;
        seconds -= 1;
    }
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(millis));
    return buffer;
}

std::string encodeAuditTrail(const std::string& requestId, const std::vector<AuditEvent>& events) {
    Ordered list = Ordered::array();
    for (const AuditEvent& event : events) {
        Ordered item = Ordered::object();
        item["sequence"] = event.sequence;
        item["time"] = isoTime(event.time);
        item["type"] = text(event.type);
        item["signer"] = event.signer;
        item["detail"] = text(event.detail);
        item["address"] = text(event.actor.address);
        item["user_agent"] = text(event.actor.userAgent);
        item["previous_hash"] = hexDigits(event.previousHash);
        item["hash"] = hexDigits(event.hash);
        list.push_back(std::move(item));
    }
    const Ordered doc{{"format", kFormat},
                   {"request", text(requestId)},
                   {"events", std::move(list)},
                   {"last_hash", events.empty() ? std::string() : hexDigits(events.back().hash)}};
    return doc.dump(1) + "\n";
}

Result<AuditTrail> decodeAuditTrail(std::string_view text, const std::string& name) {
    const auto refused = [&](const std::string& what) {
        return Failure{kServiceDomain, static_cast<std::int64_t>(ServiceCode::invalid),
                       name + ": " + what, name};
    };
    if (text.size() > kMaxAuditTrailBytes) {
        return refused("an audit trail of more than " +
                       std::to_string(kMaxAuditTrailBytes >> 20) + " MiB");
    }
    Result<AuditTrail> trail = json::read(text, readTrail);
    if (!trail) {
        return refused(trail.error().message);
    }
    return trail;
}

std::optional<std::string> checkAuditTrail(const AuditTrail& trail) {
    if (trail.events.empty()) {
        return "the trail holds no event";
    }
    if (const std::optional<ChainBreak> broken = verifyChain(trail.requestId, trail.events)) {
        return broken->message;
    }
    const AuditEvent& last = trail.events.back();
    if (last.hash != trail.lastHash) {
        return "event " + std::to_string(last.sequence) + " (" + last.type +
               "): the trail's last hash is another; events were removed after it, or the last "
               "hash was changed";
    }
    return std::nullopt;
}

std::string describeEvent(const AuditEvent& event) {
    // A kind as the service writes them stands as it is; anything else is quoted, as every
    // text is: a user agent or a reason can hold a newline or a control character, which
    // would forge a line of its own in a listing.
    const bool plainType =
        !event.type.empty() &&
        event.type.find_first_not_of("abcdefghijklmnopqrstuvwxyz._") == std::string::npos;
    std::string line = std::to_string(event.sequence) + "  " + isoTime(event.time) + "  " +
                       (plainType ? event.type : text(event.type).dump()) + "  " +
                       (event.signer == 0 ? "request" : "signer " + std::to_string(event.signer));
    for (const std::string* value : {&event.actor.address, &event.actor.userAgent, &event.detail}) {
        line += "  " + (value->empty() ? std::string("-") : text(*value).dump());
    }
    return line;
}

std::string quoted(const std::string& value) {
    return text(value).dump();
}

}  // namespace penwell::service
