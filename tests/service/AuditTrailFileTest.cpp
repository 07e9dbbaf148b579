#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>

#include "TrailFixture.h"
#include "penwell/service/AuditTrailFile.h"

namespace penwell::service {
namespace {

using nlohmann::json;

void expectSameEvents(const std::vector<AuditEvent>& a, const std::vector<AuditEvent>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(a[i].sequence, b[i].sequence);
        EXPECT_EQ(a[i].time, b[i].time);
        EXPECT_EQ(a[i].type, b[i].type);
        EXPECT_EQ(a[i].signer, b[i].signer);
        EXPECT_EQ(a[i].detail, b[i].detail);
        EXPECT_EQ(a[i].actor.address, b[i].actor.address);
        EXPECT_EQ(a[i].actor.userAgent, b[i].actor.userAgent);
        EXPECT_EQ(a[i].previousHash, b[i].previousHash);
        EXPECT_EQ(a[i].hash, b[i].hash);
    }
}

/// A trail whose texts hold what clients really send: a user agent that is not UTF-8, one
/// with a newline and quotes, a reason in another script; times on both sides of 1970 and
/// far ahead, chained as the store chains them.
std::vector<AuditEvent> awkwardTrail() {
    std::vector<AuditEvent> events = testing::sampleTrail();
    events[1].actor.userAgent = std::string("Agent\xff\xfe/1.0", 11);
    events[2].actor.userAgent = "line one\nline \"two\"\t\x01";
    events[3].detail = "Отказ: \xe2\x80\x8b zero width";
    events[0].time = -1;                   // a clock set wrong still writes and reads back
    events[4].time = 253'402'300'799'999;  // 9999-12-31T23:59:59.999Z
    Bytes previous = chainStart();
    for (AuditEvent& event : events) {
        event.previousHash = previous;
        event.hash = eventHash("req_1", event);
        previous = event.hash;
    }
    return events;
}

TEST(AuditTrailFile, RoundTripsEveryByteOfEveryEvent) {
    for (const auto& events : {testing::sampleTrail(), awkwardTrail()}) {
        const std::string file = encodeAuditTrail("req_1", events);
        const Result<AuditTrail> decoded = decodeAuditTrail(file, "trail.json");
        ASSERT_TRUE(decoded) << decoded.error().message;
        EXPECT_EQ(decoded->requestId, "req_1");
        expectSameEvents(decoded->events, events);
        EXPECT_EQ(decoded->lastHash, events.back().hash);
        EXPECT_EQ(checkAuditTrail(*decoded), std::nullopt);
        // Written again, the same bytes: the file is a function of the events alone.
        EXPECT_EQ(encodeAuditTrail(decoded->requestId, decoded->events), file);
    }
}

TEST(AuditTrailFile, IsReadableJsonWithUtcTimesAndHexHashes) {
    const std::vector<AuditEvent> events = awkwardTrail();
    const json doc = json::parse(encodeAuditTrail("req_1", events));
    EXPECT_EQ(doc["format"], "penwell-audit-1");
    EXPECT_EQ(doc["request"], "req_1");
    EXPECT_EQ(doc["last_hash"], hexDigits(events[4].hash));
    const json& first = doc["events"][0];
    EXPECT_EQ(first["time"], "1969-12-31T23:59:59.999Z");
    EXPECT_EQ(first["type"], "request.created");
    EXPECT_EQ(first["previous_hash"], std::string(64, '0'));
    EXPECT_EQ(doc["events"][1]["user_agent"], (json{{"hex", "4167656e74fffe2f312e30"}}));
    EXPECT_EQ(doc["events"][4]["time"], "9999-12-31T23:59:59.999Z");
    EXPECT_EQ(isoTime(1'700'000'000'123), "2023-11-14T22:13:20.123Z");
    // Fields in reading order, not sorted.
    const std::string text = encodeAuditTrail("req_1", events);
    EXPECT_LT(text.find("\"sequence\""), text.find("\"time\""));
    EXPECT_LT(text.find("\"format\""), text.find("\"events\""));
}

TEST(AuditTrailFile, EveryTamperingIsNamedByItsEvent) {
    struct Case {
        const char* name;
        std::function<void(json&)> tamper;
        std::string reason;
    };
    const Case cases[] = {
        {"a changed detail", [](json& d) { d["events"][2]["detail"] = "0100"; },
         "event 3 (document.shown): its hash does not match its contents"},
        {"a time a millisecond later",
         [](json& d) { d["events"][1]["time"] = "1970-01-01T00:00:00.201Z"; },
         "event 2 (link.opened): its hash does not match its contents"},
        {"a removed event", [](json& d) { d["events"].erase(2); },
         "event 3 (signer.signed): numbered 4 where 3 belongs"},
        {"a reordered event", [](json& d) { std::swap(d["events"][1], d["events"][2]); },
         "event 2 (document.shown): numbered 3 where 2 belongs"},
        {"reordered and renumbered",
         [](json& d) {
             std::swap(d["events"][1], d["events"][2]);
             std::swap(d["events"][1]["sequence"], d["events"][2]["sequence"]);
         },
         "event 2 (document.shown): does not chain to the event before it"},
        {"a changed hash", [](json& d) { d["events"][1]["hash"] = std::string(64, 'a'); },
         "event 2 (link.opened): its hash does not match its contents"},
        {"a changed previous hash",
         [](json& d) { d["events"][0]["previous_hash"] = std::string(63, '0') + "1"; },
         "event 1 (request.created): does not chain to the event before it"},
        {"the last event removed", [](json& d) { d["events"].erase(4); },
         "event 4 (signer.signed): the trail's last hash is another; events were removed after "
         "it, or the last hash was changed"},
        {"a changed last hash", [](json& d) { d["last_hash"] = std::string(64, 'b'); },
         "event 5 (request.completed): the trail's last hash is another; events were removed "
         "after it, or the last hash was changed"},
        {"moved to another request", [](json& d) { d["request"] = "req_2"; },
         "event 1 (request.created): its hash does not match its contents"},
        {"every event removed", [](json& d) { d["events"] = json::array(); },
         "the trail holds no event"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        json doc = json::parse(encodeAuditTrail("req_1", testing::sampleTrail()));
        c.tamper(doc);
        const Result<AuditTrail> decoded = decodeAuditTrail(doc.dump(), "trail.json");
        ASSERT_TRUE(decoded) << decoded.error().message;
        EXPECT_EQ(checkAuditTrail(*decoded), c.reason);
    }
}

TEST(AuditTrailFile, RefusesWhatTheEncoderNeverWrites) {
    const std::string good = encodeAuditTrail("req_1", testing::sampleTrail());
    struct Case {
        const char* name;
        std::function<void(json&)> change;
        std::string message;
        bool whole = false;  ///< the message is the whole refusal, not only its start
    };
    const Case cases[] = {
        {"another format", [](json& d) { d["format"] = "penwell-audit-2"; },
         "trail.json: format: expected \"penwell-audit-1\""},
        {"a field misspelt", [](json& d) { d["events"][0]["useragent"] = "x"; },
         "trail.json: events[0]"},
        {"a field missing", [](json& d) { d["events"][2].erase("hash"); }, "trail.json: events[2]"},
        {"a time without milliseconds",
         [](json& d) { d["events"][1]["time"] = "1970-01-01T00:00:00Z"; },
         "trail.json: events[1].time: expected a UTC time as YYYY-MM-DDTHH:MM:SS.mmmZ"},
        {"a time in another zone",
         [](json& d) { d["events"][1]["time"] = "1970-01-01T01:00:00.200+01:00"; },
         "trail.json: events[1].time: expected a UTC time"},
        {"a day that does not exist",
         [](json& d) { d["events"][1]["time"] = "1970-02-30T00:00:00.200Z"; },
         "trail.json: events[1].time: expected a UTC time"},
        {"a hash in capitals",
         [](json& d) {
             std::string h = d["events"][3]["hash"];
             for (char& c : h)
                 c = static_cast<char>(std::toupper(c));
             d["events"][3]["hash"] = h;
         },
         "trail.json: events[3].hash: expected a SHA-256 as 64 lowercase hexadecimal digits"},
        {"a short hash", [](json& d) { d["last_hash"] = "00ff"; },
         "trail.json: last_hash: expected a SHA-256"},
        {"a sequence of zero", [](json& d) { d["events"][0]["sequence"] = 0; },
         "trail.json: events[0].sequence"},
        // Several faults in one trail: the first the reader meets is the refusal, whole, and
        // what follows it (an event that is not an object, events that are a string) is never
        // indexed.
        {"another format, and events that are a string",
         [](json& d) {
             d["format"] = "x";
             d["events"] = "abc";
             d["last_hash"] = 1;
         },
         "trail.json: format: expected \"penwell-audit-1\"", true},
        {"events that are a number",
         [](json& d) {
             d["events"] = 5;
             d["last_hash"] = "00";
         },
         "trail.json: events: expected an array of events", true},
        {"a time in seconds, then a bad hash and a short last hash",
         [](json& d) {
             d["events"][1]["time"] = 200;
             d["events"][3]["hash"] = "x";
             d["last_hash"] = "00";
         },
         "trail.json: events[1].time: expected a string", true},
        {"an event that is not an object, then another",
         [](json& d) {
             d["events"][2] = 7;
             d["events"][3] = "x";
         },
         "trail.json: events[2]: expected an object", true},
        {"odd hex bytes, then a bad hash in the same event",
         [](json& d) {
             d["events"][0]["address"] = {{"hex", "abc"}};
             d["events"][0]["previous_hash"] = "zz";
         },
         "trail.json: events[0].address.hex: expected lowercase hexadecimal digits, two per byte",
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        json doc = json::parse(good);
        c.change(doc);
        const Result<AuditTrail> decoded = decodeAuditTrail(doc.dump(), "trail.json");
        ASSERT_FALSE(decoded);
        const std::string& message = decoded.error().message;
        if (c.whole) {
            EXPECT_EQ(message, c.message);
        } else {
            EXPECT_EQ(message.rfind(c.message, 0), 0u) << message;
        }
        EXPECT_EQ(message.find('\n'), std::string::npos);
    }
    const Result<AuditTrail> notJson = decodeAuditTrail("{\"format\":", "trail.json");
    ASSERT_FALSE(notJson);
    EXPECT_EQ(notJson.error().message.rfind("trail.json: invalid JSON", 0), 0u);
    const Result<AuditTrail> huge =
        decodeAuditTrail(std::string(kMaxAuditTrailBytes + 1, ' '), "trail.json");
    ASSERT_FALSE(huge);
    EXPECT_EQ(huge.error().message, "trail.json: an audit trail of more than 16 MiB");
}

TEST(AuditTrailFile, AListingLineCannotBeForgedByAUserAgent) {
    AuditEvent event = awkwardTrail()[2];
    EXPECT_EQ(describeEvent(event),
              "3  1970-01-01T00:00:00.200Z  document.shown  signer 1  \"192.0.2.7\"  "
              "\"line one\\nline \\\"two\\\"\\t\\u0001\"  \"00ff\"");
    event.signer = 0;
    event.actor = {};
    event.detail.clear();
    EXPECT_EQ(describeEvent(event),
              "3  1970-01-01T00:00:00.200Z  document.shown  request  -  -  -");
    event.type = "signer.signed\n4  forged";
    EXPECT_EQ(describeEvent(event),
              "3  1970-01-01T00:00:00.200Z  \"signer.signed\\n4  forged\"  request  -  -  -");
}

}  // namespace
}  // namespace penwell::service
