// Delivering the outbox through a stand-in HTTP client: what counts as delivered, the retry
// schedule to the last attempt, and an event with nowhere to go. Each event once, in order per
// request, signed as a receiver checks it, through the worker of a running server: the browser
// tests' webhook receiver (links.test.mjs); the signature against openssl: WebhookTest.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "StoreFixtures.h"
#include "penwell/service/SigningService.h"
#include "penwell/service/WebhookDelivery.h"

namespace penwell::service {
namespace {

using testing::ManualClock;
using testing::openStore;
using testing::pdfBytes;

struct Post {
    std::string url;
    HttpHeaders headers;
    std::string body;
    std::string type() const { return nlohmann::json::parse(body)["type"]; }
};

class Delivery : public ::testing::Test {
public:
    void SetUp() override {
        store = std::shared_ptr<SigningStore>(openStore(dir.path()));
        service = std::make_unique<SigningService>(store, clock.clock(), 1000);
        settings.secret = "whsec_test";
    }

    /// A request whose signer opened the link and which was then cancelled: two webhook
    /// events, signer.opened and request.cancelled, for `url`.
    void twoEvents(const std::string& url) {
        auto document = service->addDocument(pdfBytes(2'000), 1);
        ASSERT_TRUE(document);
        SignerSpec ann;
        ann.name = "Ann Example";
        auto created = service->createRequest(
            {document->id, {ann}, *clock.now + 86'400'000, url, "{}"}, {"192.0.2.1", "curl"});
        ASSERT_TRUE(created) << created.error().message;
        ASSERT_TRUE(service->openLink(created->linkTokens[0], {"192.0.2.7", "UA"}));
        ASSERT_TRUE(service->cancel(created->request.id, {"192.0.2.1", "curl"}));
    }

    /// One round with a client that answers `status` (nullopt: no answer) and keeps each POST.
    DeliveryRound round(std::optional<int> status = 200) {
        const WebhookPost post = [&, status](const std::string& url, const HttpHeaders& headers,
                                             const std::string& body) -> Result<int> {
            posts.push_back({url, headers, body});
            if (!status) {
                return Failure{"Http", 7, "connection refused"};
            }
            return *status;
        };
        Result<DeliveryRound> done = deliverDue(*store, clock.clock(), settings, post);
        EXPECT_TRUE(done) << done.error().message;
        return done ? *done : DeliveryRound{};
    }

    test::TempDir dir;
    ManualClock clock;
    std::shared_ptr<SigningStore> store;
    std::unique_ptr<SigningService> service;
    WebhookSettings settings;
    std::vector<Post> posts;
};

TEST_F(Delivery, OnlyA2xxAnswerIsADelivery) {
    std::vector<std::unique_ptr<test::TempDir>> folders;
    struct Case {
        std::optional<int> status;
        bool delivered;
    };
    for (const Case c : {Case{200, true},
                         {204, true},
                         {301, false},
                         {410, false},
                         {500, false},
                         {std::nullopt, false}}) {
        SCOPED_TRACE(c.status.value_or(-1));
        // Each case on a store of its own, kept until the end.
        folders.push_back(std::make_unique<test::TempDir>());
        store = std::shared_ptr<SigningStore>(openStore(folders.back()->path()));
        service = std::make_unique<SigningService>(store, clock.clock(), 1000);
        twoEvents("https://hooks.example/a");
        const DeliveryRound done = round(c.status);
        EXPECT_EQ(done.delivered, c.delivered ? 1 : 0);
        EXPECT_EQ(done.failed, c.delivered ? 0 : 1);
        EXPECT_EQ(store->outboxBacklog().value(), c.delivered ? 1 : 2);
    }
}

TEST_F(Delivery, ARefusingReceiverIsTriedThirteenTimesOverADayThenTheNextEventGoes) {
    twoEvents("https://hooks.example/down");
    const TimeMs start = *clock.now;
    // Seconds after the event: 30 s doubling, each wait at most 6 hours, none after 24 hours.
    const TimeMs attempts[] = {0,    30,   90,    210,   450,   930,  1890,
                               3810, 7650, 15330, 30690, 52290, 73890};
    for (std::size_t i = 0; i < std::size(attempts); ++i) {
        SCOPED_TRACE(i);
        const TimeMs due = start + attempts[i] * 1000;
        if (i > 0) {
            *clock.now = due - 1;
            EXPECT_EQ(round(500).failed, 0) << "not before it is due";
        }
        *clock.now = due;
        const DeliveryRound done = round(500);
        const bool last = i + 1 == std::size(attempts);
        EXPECT_EQ(done.failed, last ? 0 : 1);
        EXPECT_EQ(done.givenUp, last ? 1 : 0);
    }
    ASSERT_EQ(posts.size(), std::size(attempts));
    for (const Post& post : posts) {
        EXPECT_EQ(post.type(), "signer.opened");
        EXPECT_EQ(post.body, posts[0].body) << "the same bytes on every attempt";
    }
    // Given up, it no longer holds back the request's next event.
    EXPECT_EQ(round().delivered, 1);
    EXPECT_EQ(posts.back().type(), "request.cancelled");
}

TEST_F(Delivery, AnEventWithNowhereToGoIsGivenUpAndTheServersUrlServesTheRest) {
    twoEvents("");
    const DeliveryRound nowhere = round();
    EXPECT_EQ(nowhere.givenUp, 1);
    EXPECT_TRUE(posts.empty());
    settings.defaultUrl = "https://hooks.example/server";
    EXPECT_EQ(round().delivered, 1);
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].url, "https://hooks.example/server");
    EXPECT_EQ(posts[0].type(), "request.cancelled");
}

}  // namespace
}  // namespace penwell::service
