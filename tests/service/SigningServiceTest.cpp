// The service as the HTTP layer will drive it: two signers in order, access codes, decline,
// cancel, expiry, replayed links, when samples are taken, and no secret in the file (API keys
// are the API's to refuse: api.test.mjs).
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <thread>

#include "StoreFixtures.h"
#include "penwell/service/AuditChain.h"
#include "penwell/service/SampleCommitter.h"
#include "penwell/service/SigningService.h"

namespace penwell::service {
namespace {

using testing::ManualClock;
using testing::openStore;
using testing::pdfBytes;

const Actor kAnn{"192.0.2.10", "AnnBrowser/1"};
const Actor kBob{"192.0.2.20", "BobBrowser/1"};
const Actor kBackOffice{"198.51.100.1", "backoffice/2"};

SignerSpec named(std::string name, std::string accessCode = {}) {
    SignerSpec spec;
    spec.name = std::move(name);
    spec.accessCode = std::move(accessCode);
    return spec;
}

class Service : public ::testing::Test {
public:
    void SetUp() override { restart(); }

    /// A new service on a new store object over the same folder: what a restarted server has.
    void restart() {
        service.reset();
        service = std::make_shared<SigningService>(
            std::shared_ptr<SigningStore>(openStore(dir.path())), clock.clock(), 1000);
    }

    CreatedRequest create(std::vector<SignerSpec> signers, TimeMs validFor = 86'400'000) {
        auto document = service->addDocument(pdf, 2);
        EXPECT_TRUE(document);
        auto created = service->createRequest(
            {document->id, std::move(signers), *clock.now + validFor, "", R"({"ref":"T-1"})"},
            kBackOffice);
        EXPECT_TRUE(created) << created.error().message;
        return std::move(*created);
    }

    static std::vector<std::string> types(const std::vector<AuditEvent>& events) {
        std::vector<std::string> out;
        for (const auto& e : events) {
            out.push_back(e.type);
        }
        return out;
    }

    test::TempDir dir;
    ManualClock clock;
    Bytes pdf = pdfBytes(5'000);
    std::shared_ptr<SigningService> service;
};

std::string messageOf(const MaybeFailure& failure) {
    return failure ? failure->message : "";
}

template <typename T>
std::string messageOf(const Result<T>& result) {
    return result ? "" : result.error().message;
}

TEST_F(Service, TwoSignersSignInOrder) {
    const CreatedRequest created = create({named("Ann Example"), named("Bob Example")});
    const std::string& ann = created.linkTokens[0];
    const std::string& bob = created.linkTokens[1];
    const std::string id = created.request.id;

    clock.advance(1'000);
    EXPECT_EQ(messageOf(service->openLink(bob, kBob)), "Waiting for Ann Example to sign first");
    auto session = service->openLink(ann, kAnn);
    ASSERT_TRUE(session);
    EXPECT_EQ(session->position, 1);
    EXPECT_FALSE(session->needsAccessCode);
    auto shown = service->showDocument(ann, kAnn);
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown->number, 0);
    EXPECT_EQ(shown->sha256, hexDigits(openssl::sha256(pdf)));

    const Bytes afterAnn = pdfBytes(6'000, 1);
    clock.advance(1'000);
    auto signedByAnn = service->sign(ann, afterAnn, kAnn);
    ASSERT_TRUE(signedByAnn);
    EXPECT_EQ(signedByAnn->state, RequestState::kPending);

    restart();  // nothing of the session lives only in memory
    EXPECT_EQ(messageOf(service->openLink(ann, kAnn)), "You have already signed");
    ASSERT_TRUE(service->openLink(bob, kBob));
    shown = service->showDocument(bob, kBob);
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown->number, 1) << "Bob sees the document as signed so far";
    EXPECT_EQ(shown->sha256, hexDigits(openssl::sha256(afterAnn)));
    const Bytes afterBob = pdfBytes(7'000, 2);
    auto done = service->sign(bob, afterBob, kBob);
    ASSERT_TRUE(done);
    EXPECT_EQ(done->state, RequestState::kCompleted);
    EXPECT_EQ(done->endedAt, *clock.now);
    EXPECT_EQ(service->store().revisionBytes(id, 2).value(), afterBob);
    EXPECT_EQ(messageOf(service->sign(bob, afterBob, kBob)), "You have already signed");

    auto trail = service->store().auditTrail(id);
    ASSERT_TRUE(trail);
    EXPECT_EQ(types(*trail),
              (std::vector<std::string>{"request.created", "link.opened", "document.shown",
                                        "signer.signed", "link.opened", "document.shown",
                                        "signer.signed", "request.completed"}));
    EXPECT_EQ((*trail)[0].actor.address, "198.51.100.1");
    EXPECT_EQ((*trail)[4].actor.userAgent, "BobBrowser/1");
    EXPECT_EQ((*trail)[5].detail, hexDigits(openssl::sha256(afterAnn)));
    EXPECT_FALSE(verifyChain(id, *trail));
}

TEST_F(Service, ACompletedRequestIsSealedOnceOverItsLastRevisionAndTrail) {
    const CreatedRequest created = create({named("Ann Example")});
    const std::string& ann = created.linkTokens[0];
    const std::string id = created.request.id;
    int calls = 0;
    std::vector<std::string> sealedTrail;
    Bytes sealedFrom;
    const SigningService::Sealer sealer = [&](ByteView latest,
                                              const std::vector<AuditEvent>& trail) {
        ++calls;
        sealedFrom.assign(latest.begin(), latest.end());
        sealedTrail = types(trail);
        Bytes out = sealedFrom;
        out.push_back('S');
        return Result<Bytes>(std::move(out));
    };

    // Before completion there is nothing to seal, and the sealer is not asked.
    EXPECT_EQ(messageOf(service->seal(id, sealer, kBackOffice)),
              "Only a completed request is sealed");
    EXPECT_EQ(calls, 0);

    ASSERT_TRUE(service->openLink(ann, kAnn));
    ASSERT_TRUE(service->showDocument(ann, kAnn));
    const Bytes signedPdf = pdfBytes(6'000, 1);
    ASSERT_TRUE(service->sign(ann, signedPdf, kAnn));

    // A sealer that fails writes nothing: no revision, no event, no webhook.
    const auto refused = service->seal(
        id,
        [](ByteView, const std::vector<AuditEvent>&) -> Result<Bytes> {
            return Failure("PenwellPdf", 10, "request " + std::string("req: certified"));
        },
        kBackOffice);
    EXPECT_EQ(messageOf(refused), "request req: certified");
    EXPECT_EQ(service->store().revisions(id)->size(), 2u);

    clock.advance(500);
    auto sealed = service->seal(id, sealer, kBackOffice);
    ASSERT_TRUE(sealed) << sealed.error().message;
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(sealedFrom, signedPdf) << "the seal goes over the last signed revision";
    EXPECT_EQ(sealedTrail.back(), "request.completed") << "and the trail up to the completion";
    Bytes expected = signedPdf;
    expected.push_back('S');
    EXPECT_EQ(service->store().revisionBytes(id, 2).value(), expected);
    auto trail = service->store().auditTrail(id);
    ASSERT_TRUE(trail);
    EXPECT_EQ(trail->back().type, "request.sealed");
    EXPECT_EQ(trail->back().detail, hexDigits(openssl::sha256(expected)));
    EXPECT_EQ(trail->back().time, *clock.now);
    EXPECT_FALSE(verifyChain(id, *trail));

    // Once sealed, never again: a second call refuses before asking the sealer.
    EXPECT_EQ(messageOf(service->seal(id, sealer, kBackOffice)), "This request is sealed already");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(messageOf(service->seal("req_nothing", sealer, kBackOffice)).empty(), false);
}

TEST_F(Service, AnAccessCodeIsAskedBeforeTheDocument) {
    const CreatedRequest created = create({named("Ann Example", "4711")});
    const std::string& ann = created.linkTokens[0];
    auto session = service->openLink(ann, kAnn);
    ASSERT_TRUE(session);
    EXPECT_TRUE(session->needsAccessCode);
    EXPECT_EQ(messageOf(service->showDocument(ann, kAnn)), "The access code is needed first");
    EXPECT_EQ(messageOf(service->enterAccessCode(ann, "0000", kAnn)),
              "The access code is not right");
    EXPECT_EQ(messageOf(service->sign(ann, pdf, kAnn)), "The access code is needed first");
    EXPECT_FALSE(service->enterAccessCode(ann, "4711", kAnn));
    restart();
    EXPECT_FALSE(service->openLink(ann, kAnn)->needsAccessCode);
    EXPECT_TRUE(service->showDocument(ann, kAnn));
    EXPECT_TRUE(service->sign(ann, pdf, kAnn));
    EXPECT_EQ(types(*service->store().auditTrail(created.request.id)),
              (std::vector<std::string>{"request.created", "link.opened", "access_code.refused",
                                        "access_code.passed", "link.opened", "document.shown",
                                        "signer.signed", "request.completed"}));
}

TEST_F(Service, DeclineCancelAndExpiryEndTheRequest) {
    struct Case {
        const char* name;
        std::function<void(Service&, const CreatedRequest&)> end;
        RequestState state;
        std::string bobSees;
        std::string webhook;
    };
    const Case cases[] = {
        {"declined",
         [](Service& t, const CreatedRequest& c) {
             ASSERT_TRUE(t.service->openLink(c.linkTokens[0], kAnn));
             EXPECT_EQ(messageOf(t.service->decline(c.linkTokens[0], "", kAnn)),
                       "A reason is needed to decline");
             ASSERT_TRUE(t.service->decline(c.linkTokens[0], "The amount is wrong", kAnn));
         },
         RequestState::kDeclined, "This request was declined", "signer.declined"},
        {"cancelled",
         [](Service& t, const CreatedRequest& c) {
             ASSERT_TRUE(t.service->cancel(c.request.id, kBackOffice));
         },
         RequestState::kCancelled, "This request was cancelled", "request.cancelled"},
        {"expired by the sweep",
         [](Service& t, const CreatedRequest&) {
             t.clock.advance(60'000 - 1);
             EXPECT_EQ(t.service->expireDue(10).value(), 0);
             t.clock.advance(1);
             EXPECT_EQ(t.service->expireDue(10).value(), 1);
             EXPECT_EQ(t.service->expireDue(10).value(), 0);
         },
         RequestState::kExpired, "This request expired", "request.expired"},
        {"expired when a link finds it",
         [](Service& t, const CreatedRequest& c) {
             t.clock.advance(60'000);
             EXPECT_EQ(messageOf(t.service->openLink(c.linkTokens[0], kAnn)),
                       "This request expired");
         },
         RequestState::kExpired, "This request expired", "request.expired"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CreatedRequest created = create({named("Ann Example"), named("Bob Example")}, 60'000);
        c.end(*this, created);
        restart();
        auto request = service->store().request(created.request.id);
        EXPECT_EQ(request->state, c.state);
        EXPECT_EQ(request->endedAt, *clock.now);
        EXPECT_EQ(messageOf(service->openLink(created.linkTokens[1], kBob)), c.bobSees);
        EXPECT_EQ(messageOf(service->appendSamples(created.linkTokens[1], 1, Bytes{1})), c.bobSees);
        // The last webhook event of the request says how it ended.
        std::string last;
        while (true) {
            auto due = service->store().takeDueOutbox(*clock.now, 1, 10);
            if (due->empty()) {
                break;
            }
            for (const auto& e : *due) {
                if (e.requestId == created.request.id) {
                    last = e.event;
                }
                ASSERT_FALSE(service->store().outboxDelivered(e.id, *clock.now));
            }
        }
        EXPECT_EQ(last, c.webhook);
    }
}

// A page's samples are taken only while its signer may sign (that they survive a restart, in
// order, is the store's: SqliteStore.SamplesComeBackInOrderFromAFreshStore).
TEST_F(Service, SamplesAreTakenOnlyWhileTheSignerMaySign) {
    const CreatedRequest created = create({named("Ann Example"), named("Bob Example")});
    const std::string& ann = created.linkTokens[0];
    EXPECT_EQ(messageOf(service->appendSamples(created.linkTokens[1], 1, Bytes{1})),
              "Waiting for Ann Example to sign first");
    EXPECT_EQ(messageOf(service->appendSamples(ann, 1, Bytes{1})), "The link must be opened first");
    ASSERT_TRUE(service->openLink(ann, kAnn));
    ASSERT_FALSE(service->appendSamples(ann, 1, Bytes{1}));
    ASSERT_TRUE(service->sign(ann, pdf, kAnn));
    EXPECT_EQ(messageOf(service->appendSamples(ann, 2, Bytes{1})), "You have already signed");
}

TEST_F(Service, TheCommitterKeepsEachLinksMessagesInOrderAndWithoutGaps) {
    const CreatedRequest created = create({named("Ann Example"), named("Bob Example")});
    const std::string& ann = created.linkTokens[0];
    ASSERT_TRUE(service->openLink(ann, kAnn));
    std::mutex mutex;
    std::map<std::string, std::vector<std::string>> answers;  // by link, as answered; "": stored
    {
        SampleCommitter committer(service);
        const auto submit = [&](const std::string& who, std::int64_t n, Bytes bytes) {
            committer.submit(who == "ann" ? ann : created.linkTokens[1], n, std::move(bytes),
                             [&, who](MaybeFailure f, double seconds) {
                                 std::lock_guard lock(mutex);
                                 EXPECT_GE(seconds, 0.0);
                                 answers[who].push_back(f ? f->message : "");
                             });
        };
        // Two threads at once, as two I/O threads hand in their pads' messages.
        std::thread a([&] {
            for (std::int64_t n = 1; n <= 200; ++n) {
                submit("ann", n, pdfBytes(30, static_cast<std::uint8_t>(n)));
            }
        });
        std::thread b([&] {
            for (std::int64_t n = 1; n <= 3; ++n) {
                submit("bob", n, Bytes{1});
            }
        });
        a.join();
        b.join();
        // Ann's 100th sent again with other bytes is refused, and so is what comes after it,
        // until the page sends the 100th again as it was.
        submit("ann", 100, Bytes{9});
        submit("ann", 201, Bytes{2});
        submit("ann", 100, pdfBytes(30, 100));
        submit("ann", 201, Bytes{2});
    }  // gone only once everything handed in is answered
    const std::vector<std::string> bob = {"Waiting for Ann Example to sign first",
                                          "message 2 follows message 1, which was not stored",
                                          "message 3 follows message 1, which was not stored"};
    EXPECT_EQ(answers["bob"], bob);
    const std::vector<std::string>& annAnswers = answers["ann"];
    ASSERT_EQ(annAnswers.size(), 204u);
    EXPECT_EQ(std::count(annAnswers.begin(), annAnswers.begin() + 200, ""), 200);
    EXPECT_NE(annAnswers[200].find("message 100 of signer"), std::string::npos) << annAnswers[200];
    EXPECT_EQ(annAnswers[201], "message 201 follows message 100, which was not stored");
    EXPECT_EQ(annAnswers[202], "");
    EXPECT_EQ(annAnswers[203], "");
    restart();
    auto batches = service->samples(ann);
    ASSERT_TRUE(batches);
    ASSERT_EQ(batches->size(), 201u);
    for (std::int64_t n = 1; n <= 200; ++n) {
        EXPECT_EQ((*batches)[static_cast<std::size_t>(n - 1)].samples,
                  pdfBytes(30, static_cast<std::uint8_t>(n)));
    }
    EXPECT_EQ((*batches)[200].samples, Bytes{2});
}

// What only a caller other than the API can ask: the API's reader refuses an empty signer list
// and a past expiry before they reach the service (api.test.mjs has the rest).
TEST_F(Service, CreatingRefusesBadRequests) {
    auto document = service->addDocument(pdf, 2);
    ASSERT_TRUE(document);
    EXPECT_EQ(
        messageOf(service->createRequest({document->id, {}, *clock.now + 1, "", ""}, kBackOffice)),
        "A request needs at least one signer");
    EXPECT_EQ(messageOf(service->createRequest(
                  {document->id, {named("Ann Example")}, *clock.now, "", ""}, kBackOffice)),
              "The expiry must be in the future");
}

TEST_F(Service, NoSecretIsInTheDatabaseFiles) {
    const CreatedRequest created =
        create({named("Ann Example", "code-4711-secret"), named("Bob Example")});
    auto key = service->createApiKey("backoffice");
    ASSERT_TRUE(key);
    service.reset();  // closed: the WAL is checkpointed into the file
    std::string everything;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        if (entry.is_regular_file()) {
            everything += test::readText(entry.path());
        }
    }
    ASSERT_NE(everything.find("Ann Example"), std::string::npos) << "the files were read";
    for (const std::string& secret :
         {created.linkTokens[0], created.linkTokens[1], *key, std::string("code-4711-secret")}) {
        EXPECT_EQ(everything.find(secret), std::string::npos) << secret;
    }
}

}  // namespace
}  // namespace penwell::service
