#include <gtest/gtest.h>

#include "penwell/service/Webhook.h"
#include "support/Shell.h"

namespace penwell::service {
namespace {

using test::quoted;
using test::run;

TEST(Webhook, SignatureMatchesOpensslHmac) {
    struct Case {
        std::string secret;
        std::int64_t time;
        std::string body;
    };
    const Case cases[] = {
        {"whsec_test", 1'700'000'000, R"({"id":"evt_1","type":"signer.signed"})"},
        {"another secret with spaces", 1, "{}"},
        {"k", 4'102'444'800, ""},  // an empty body still signs "TIME."
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.secret);
        const std::string expected =
            run("printf '%s' " + quoted(std::to_string(c.time) + "." + c.body) +
                " | openssl dgst -sha256 -hmac " + quoted(c.secret) + " -r | cut -d' ' -f1");
        EXPECT_EQ(webhookSignature(c.secret, c.time, c.body),
                  "t=" + std::to_string(c.time) + ",v1=" + expected);
    }
}

TEST(Webhook, BackoffDoublesFromThirtySecondsUpToSixHours) {
    constexpr TimeMs kCreated = 5'000;
    struct Case {
        int attempts;
        TimeMs failedAt;
        std::optional<TimeMs> next;
    };
    const Case cases[] = {
        {1, kCreated, kCreated + 30'000},
        {2, kCreated, kCreated + 60'000},
        {3, kCreated, kCreated + 120'000},
        {10, kCreated, kCreated + 30'000 * 512},
        {11, kCreated, kCreated + 6 * 3'600'000},         // 30 s * 1024 is past the cap
        {1'000'000, kCreated, kCreated + 6 * 3'600'000},  // no overflow however many
        {0, kCreated, kCreated + 30'000},                 // read as the first failure
        // The window is 24 hours from the event: a retry that lands exactly at its end is
        // made, one a millisecond later is not.
        {1, kCreated + 86'400'000 - 30'000, kCreated + 86'400'000},
        {1, kCreated + 86'400'000 - 29'999, std::nullopt},
        {12, kCreated + 20 * 3'600'000, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.attempts);
        EXPECT_EQ(nextAttempt(kCreated, c.attempts, c.failedAt), c.next);
    }
}

TEST(Webhook, PayloadKeepsTheStoredBodyBytes) {
    OutboxEntry entry;
    entry.id = 7;
    entry.event = "signer.signed";
    entry.createdAt = 1'700'000'000'123;
    entry.body = R"({"request":"req_1","b":2,"a":1})";
    EXPECT_EQ(webhookPayload(entry),
              R"({"id":"evt_7","type":"signer.signed","created":1700000000123,)"
              R"("data":{"request":"req_1","b":2,"a":1}})");
}

TEST(Webhook, DataNamesTheRequestTheSignerAndTheMetadata) {
    Request request;
    request.id = "req_1";
    request.state = RequestState::kCompleted;
    request.metadata = R"({"customer":"C-17"})";
    Signer ann;
    ann.position = 1;
    ann.name = "Ann Example";
    ann.state = SignerState::kSigned;
    request.signers = {ann};
    EXPECT_EQ(webhookData(request, 1),
              R"({"request":"req_1","state":"completed","signer":{"position":1,)"
              R"("name":"Ann Example","state":"signed"},"metadata":{"customer":"C-17"}})");
    EXPECT_EQ(webhookData(request, 0), R"({"request":"req_1","state":"completed",)"
                                       R"("metadata":{"customer":"C-17"}})");
    request.metadata = "not json";
    request.signers[0].name = "Bad \xff byte";
    EXPECT_EQ(
        webhookData(request, 1),
        R"({"request":"req_1","state":"completed","signer":{"position":1,)"
        "\"name\":\"Bad \xEF\xBF\xBD byte\",\"state\":\"signed\"},\"metadata\":\"not json\"}");
}

}  // namespace
}  // namespace penwell::service
