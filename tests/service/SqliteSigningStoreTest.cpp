// The SQLite store: every write read back by a fresh store object on the same folder, failures
// that leave nothing behind, and two writers on one file. API keys, and listing requests page
// by page and by state, are the API's tests' (host/web/api/tests/api.test.mjs); what falls due
// for expiry, the sweep's (Service.DeclineCancelAndExpiryEndTheRequest).
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>

#include <fstream>
#include <limits>
#include <thread>

#include "StoreFixtures.h"
#include "penwell/service/AuditChain.h"

namespace penwell::service {
namespace {

using testing::documentFor;
using testing::newRequest;
using testing::openStore;
using testing::pdfBytes;

constexpr auto kStorage = static_cast<std::int64_t>(ServiceCode::storage);
constexpr auto kConflict = static_cast<std::int64_t>(ServiceCode::conflict);
constexpr auto kNotFound = static_cast<std::int64_t>(ServiceCode::notFound);

class SqliteStore : public ::testing::Test {
protected:
    void SetUp() override {
        store = openStore(dir.path());
        ASSERT_TRUE(store);
        ASSERT_FALSE(store->addDocument(documentFor("doc_1", pdf), pdf));
    }

    /// A second store object on the same folder, as after a restart or on another node.
    std::unique_ptr<SigningStore> reopened() { return openStore(dir.path()); }

    test::TempDir dir;
    Bytes pdf = pdfBytes(70'000);
    std::unique_ptr<SigningStore> store;
};

Result<Request> openAs(SigningStore& store, const std::string& id, int position, TimeMs at) {
    return store.change(id, [&](const Request& r) { return openLink(r, position, {}, at); });
}

TEST_F(SqliteStore, ADocumentComesBackFromAFreshStore) {
    ASSERT_FALSE(store->createRequest(newRequest("req_1", "doc_1")));
    auto again = reopened();
    auto document = again->document("doc_1");
    ASSERT_TRUE(document);
    EXPECT_EQ(document->sha256, hexDigits(openssl::sha256(pdf)));
    EXPECT_EQ(document->size, 70'000);
    EXPECT_EQ(document->pages, 3);
    EXPECT_EQ(again->revisionBytes("req_1", 0).value(), pdf);
    EXPECT_EQ(again->documentBytes("doc_1").value(), pdf);
    EXPECT_EQ(again->documentBytes("doc_2").error().code, kNotFound);
    EXPECT_EQ(store->addDocument(documentFor("doc_1", pdf), pdf)->code, kConflict);
    EXPECT_EQ(again->document("doc_2").error().code, kNotFound);
}

TEST_F(SqliteStore, ADamagedDocumentFileIsRefusedNotServed) {
    ASSERT_FALSE(store->createRequest(newRequest("req_1", "doc_1")));
    const auto file = dir.path() / "documents" / "doc_1.pdf";
    {
        std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(5000);
        f.put('!');
    }
    for (auto bytes : {store->revisionBytes("req_1", 0), store->documentBytes("doc_1")}) {
        ASSERT_FALSE(bytes);
        EXPECT_EQ(bytes.error().code, kStorage);
        EXPECT_NE(bytes.error().message.find("does not match the SHA-256 recorded for it"),
                  std::string::npos);
    }
}

TEST_F(SqliteStore, ARequestRoundTripsFieldForField) {
    NewRequest created = newRequest("req_1", "doc_1", 3, 1'234, 99'999);
    created.metadata = R"({"customer":"C-17"})";
    created.returnUrl = "https://portal.example/done?case=7";
    created.signers[1].accessCodeHash = hashAccessCode("4711", 1000);
    ASSERT_FALSE(store->createRequest(created));
    auto request = reopened()->request("req_1");
    ASSERT_TRUE(request) << request.error().message;
    EXPECT_EQ(request->documentId, "doc_1");
    EXPECT_EQ(request->state, RequestState::kPending);
    EXPECT_EQ(request->createdAt, 1'234);
    EXPECT_EQ(request->expiresAt, 99'999);
    EXPECT_FALSE(request->endedAt);
    EXPECT_EQ(request->webhookUrl, "https://hooks.example/p");
    EXPECT_EQ(request->metadata, R"({"customer":"C-17"})");
    EXPECT_EQ(request->returnUrl, "https://portal.example/done?case=7");
    ASSERT_EQ(request->signers.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        const Signer& s = request->signers[static_cast<std::size_t>(i)];
        EXPECT_EQ(s.position, i + 1);
        EXPECT_EQ(s.name, created.signers[static_cast<std::size_t>(i)].spec.name);
        EXPECT_EQ(s.email, "s" + std::to_string(i + 1) + "@example.org");
        EXPECT_EQ(s.placement, R"({"field":"Signature)" + std::to_string(i + 1) + R"("})");
        EXPECT_EQ(s.reason, "Contract");
        EXPECT_EQ(s.location, "Berlin");
        EXPECT_EQ(s.hasAccessCode, i == 1);
        EXPECT_EQ(s.state, SignerState::kWaiting);
        EXPECT_FALSE(s.openedAt);
    }
    auto link = store->requestForLink(secretHash("req_1/t3"));
    ASSERT_TRUE(link);
    EXPECT_EQ(link->position, 3);
    EXPECT_EQ(store->requestForLink(secretHash("req_1/t4")).error().code, kNotFound);
    EXPECT_TRUE(accessCodeMatches("4711", store->accessCodeHash("req_1", 2).value()));
    EXPECT_EQ(store->accessCodeHash("req_1", 1).value(), "");
}

TEST_F(SqliteStore, CreatingRefusesWhatItCannotKeepAndWritesNothing) {
    ASSERT_FALSE(store->createRequest(newRequest("req_1", "doc_1")));
    struct Case {
        const char* name;
        NewRequest request;
        std::int64_t code;
    };
    NewRequest reusedToken = newRequest("req_3", "doc_1");
    reusedToken.signers[1].tokenHash = secretHash("req_1/t1");
    NewRequest sameTwice = newRequest("req_4", "doc_1");
    sameTwice.signers[1].tokenHash = sameTwice.signers[0].tokenHash;
    const Case cases[] = {
        {"a taken id", newRequest("req_1", "doc_1"), kConflict},
        {"an unknown document", newRequest("req_2", "doc_9"), kNotFound},
        {"a token in use by another request", reusedToken, kConflict},
        {"one token for two signers", sameTwice, kConflict},
        {"an id that would leave the folder", newRequest("../x", "doc_1"),
         static_cast<std::int64_t>(ServiceCode::invalid)},
        {"no signers", newRequest("req_5", "doc_1", 0),
         static_cast<std::int64_t>(ServiceCode::invalid)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto failed = store->createRequest(c.request);
        ASSERT_TRUE(failed);
        EXPECT_EQ(failed->code, c.code) << failed->message;
    }
    auto all = store->listRequests(std::nullopt, "", 100);
    ASSERT_TRUE(all);
    ASSERT_EQ(all->size(), 1u) << "no failed create left a request behind";
    EXPECT_EQ(store->auditTrail("req_1")->size(), 1u);
}

TEST_F(SqliteStore, AChangeWritesStatesTrailOutboxAndRevisionTogether) {
    ASSERT_FALSE(store->createRequest(newRequest("req_1", "doc_1")));
    ASSERT_TRUE(openAs(*store, "req_1", 1, 2'000));
    const Bytes signedOnce = pdfBytes(80'000, 7);
    const NewRevision revision{signedOnce, hexDigits(openssl::sha256(signedOnce))};
    auto after = store->change(
        "req_1", [&](const Request& r) { return sign(r, 1, revision.sha256, {}, 3'000); },
        &revision);
    ASSERT_TRUE(after) << after.error().message;

    auto again = reopened();
    auto request = again->request("req_1");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->signers[0].state, SignerState::kSigned);
    EXPECT_EQ(request->signers[0].openedAt, 2'000);
    EXPECT_EQ(request->signers[0].signedAt, 3'000);
    EXPECT_EQ(request->signers[1].state, SignerState::kWaiting);
    auto revisions = again->revisions("req_1");
    ASSERT_EQ(revisions->size(), 2u);
    EXPECT_EQ((*revisions)[1].number, 1);
    EXPECT_EQ((*revisions)[1].sha256, revision.sha256);
    EXPECT_EQ(again->revisionBytes("req_1", 1).value(), signedOnce);
    EXPECT_EQ(again->revisionBytes("req_1", 2).error().code, kNotFound);

    auto trail = again->auditTrail("req_1");
    ASSERT_EQ(trail->size(), 3u);
    EXPECT_EQ((*trail)[0].type, "request.created");
    EXPECT_EQ((*trail)[0].actor.userAgent, "curl/8.0");
    EXPECT_EQ((*trail)[1].type, "link.opened");
    EXPECT_EQ((*trail)[2].type, "signer.signed");
    EXPECT_EQ((*trail)[2].detail, revision.sha256);
    EXPECT_FALSE(verifyChain("req_1", *trail));
    EXPECT_EQ(again->outboxBacklog().value(), 2);
}

TEST_F(SqliteStore, AFailedDecisionWritesNothing) {
    ASSERT_FALSE(store->createRequest(newRequest("req_1", "doc_1")));
    const Bytes other = pdfBytes(100, 1);
    const NewRevision revision{other, hexDigits(openssl::sha256(other))};
    // Signer 2 before signer 1: refused, and neither the revision nor any event is kept.
    auto refused = store->change(
        "req_1", [&](const Request& r) { return sign(r, 2, revision.sha256, {}, 2'000); },
        &revision);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message, "Waiting for Ann Example to sign first");
    EXPECT_EQ(store->revisions("req_1")->size(), 1u);
    EXPECT_EQ(store->auditTrail("req_1")->size(), 1u);
    EXPECT_EQ(store->outboxBacklog().value(), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "revisions" / "req_1" / "1.pdf"));
    EXPECT_EQ(
        store->change("req_9", [](const Request& r) { return cancel(r, {}, 1); }).error().code,
        kNotFound);
}

TEST_F(SqliteStore, AListIsAPageNeverTheWholeStore) {
    ASSERT_FALSE(store->createRequest(newRequest("req_a", "doc_1")));
    for (const int limit : {0, -1, kMaxListLimit + 1, std::numeric_limits<int>::min()}) {
        auto list = store->listRequests(std::nullopt, "", limit);
        ASSERT_FALSE(list) << limit;
        EXPECT_EQ(list.error().code, static_cast<std::int64_t>(ServiceCode::invalid));
        EXPECT_NE(list.error().message.find("not " + std::to_string(limit)), std::string::npos);
    }
    EXPECT_EQ(store->listRequests(std::nullopt, "", kMaxListLimit)->size(), 1u);
}

TEST_F(SqliteStore, AStateThisProgramDoesNotKnowIsADamagedRowRefused) {
    ASSERT_FALSE(store->createRequest(newRequest("req_a", "doc_1")));
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(sqlite::SqliteSigningStore::databaseFile(dir.path()).c_str(), &db),
                  SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, "UPDATE signers SET state = 'sleeping' WHERE position = 2",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    const std::string expected = "a signer of request req_a has state \"sleeping\"";
    auto one = store->request("req_a");
    auto list = store->listRequests(std::nullopt, "", 5);
    for (const Failure& failure : {one.error(), list.error()}) {
        EXPECT_EQ(failure.code, kStorage);
        EXPECT_NE(failure.message.find(expected), std::string::npos) << failure.message;
    }
}

TEST_F(SqliteStore, TheOutboxHandsOutEachRequestsEventsInOrder) {
    ASSERT_FALSE(store->createRequest(newRequest("req_a", "doc_1")));
    ASSERT_FALSE(store->createRequest(newRequest("req_b", "doc_1")));
    ASSERT_TRUE(openAs(*store, "req_a", 1, 100));                                              // a1
    ASSERT_TRUE(openAs(*store, "req_b", 1, 110));                                              // b1
    ASSERT_TRUE(store->change("req_a", [](const Request& r) { return cancel(r, {}, 120); }));  // a2
    const auto events = [](const Result<std::vector<OutboxEntry>>& taken) {
        std::vector<std::string> out;
        for (const auto& e : *taken) {
            out.push_back(e.requestId + ":" + e.event);
        }
        return out;
    };
    const TimeMs lease = 60'000;
    auto first = store->takeDueOutbox(200, lease, 10);
    ASSERT_TRUE(first);
    EXPECT_EQ(events(first),
              (std::vector<std::string>{"req_a:signer.opened", "req_b:signer.opened"}));
    EXPECT_EQ((*first)[0].body, R"({"request":"req_a","state":"pending","signer":{"position":1,)"
                                R"("name":"Ann Example","state":"open"},"metadata":{}})");
    EXPECT_EQ((*first)[0].url, "https://hooks.example/p");
    // Leased: another taker sees nothing until the lease runs out.
    EXPECT_TRUE(reopened()->takeDueOutbox(201, lease, 10)->empty());
    ASSERT_FALSE(store->outboxDelivered((*first)[0].id, 300));
    // req_a's next event is due now; req_b's is still leased.
    EXPECT_EQ(events(store->takeDueOutbox(300, lease, 10)),
              (std::vector<std::string>{"req_a:request.cancelled"}));
    // The lease of req_b's ran out without an answer: it comes back (at least once).
    EXPECT_EQ(events(store->takeDueOutbox(200 + lease, lease, 10)),
              (std::vector<std::string>{"req_b:signer.opened"}));
    EXPECT_EQ(store->outboxBacklog().value(), 2);
    EXPECT_EQ(store->outboxDelivered((*first)[0].id, 400)->code, kNotFound) << "once only";
}

TEST_F(SqliteStore, SamplesComeBackInOrderFromAFreshStore) {
    ASSERT_FALSE(store->createRequest(newRequest("req_1", "doc_1")));
    const std::int64_t signer = store->request("req_1")->signers[0].id;
    std::vector<Bytes> sent;
    for (std::int64_t n = 1; n <= 200; ++n) {
        sent.push_back(
            pdfBytes(static_cast<std::size_t>(n * 13 % 97 + 1), static_cast<std::uint8_t>(n)));
    }
    // Out of order on the wire is fine: they are kept by message number.
    for (std::int64_t n = 200; n >= 1; --n) {
        ASSERT_FALSE(store->appendSamples(signer, n, sent[static_cast<std::size_t>(n - 1)]));
    }
    // A resent message: the same bytes are accepted once more, other bytes are refused.
    EXPECT_FALSE(store->appendSamples(signer, 5, sent[4]));
    EXPECT_EQ(store->appendSamples(signer, 5, sent[5])->code, kConflict);
    EXPECT_EQ(store->appendSamples(signer + 100, 1, sent[0])->code, kNotFound);
    store.reset();
    auto again = reopened();
    auto batches = again->samples(signer);
    ASSERT_TRUE(batches);
    ASSERT_EQ(batches->size(), 200u);
    for (std::size_t i = 0; i < 200; ++i) {
        EXPECT_EQ((*batches)[i].sequence, static_cast<std::int64_t>(i + 1));
        EXPECT_EQ((*batches)[i].samples, sent[i]);
    }
    EXPECT_TRUE(again->samples(signer + 1)->empty());
}

TEST_F(SqliteStore, AnIdempotencyKeyKeepsTheFirstAnswer) {
    const Bytes body = secretHash("{\"a\":1}");
    const Bytes other = secretHash("{\"a\":2}");
    EXPECT_FALSE(store->recallAnswer("backoffice", "k1", body).value());
    EXPECT_EQ(store->keepAnswer("backoffice", "k1", body, "first", 10)->answer, "first");
    // A racing second request with the same body gets the first answer back.
    EXPECT_EQ(store->keepAnswer("backoffice", "k1", body, "second", 11)->answer, "first");
    auto again = reopened();
    EXPECT_EQ(again->recallAnswer("backoffice", "k1", body).value()->answer, "first");
    auto conflict = again->recallAnswer("backoffice", "k1", other);
    ASSERT_FALSE(conflict);
    EXPECT_EQ(conflict.error().code, kConflict);
    EXPECT_NE(conflict.error().message.find("Idempotency-Key k1 was used with another body"),
              std::string::npos);
    EXPECT_EQ(again->keepAnswer("backoffice", "k1", other, "x", 12).error().code, kConflict);
    // Keys are per client.
    EXPECT_FALSE(again->recallAnswer("clinic", "k1", other).value());
}

TEST_F(SqliteStore, TwoStoresWritingOneFileAtOnceLoseNothing) {
    ASSERT_FALSE(store->createRequest(newRequest("req_1", "doc_1")));
    const std::int64_t signer = store->request("req_1")->signers[0].id;
    auto other = reopened();
    constexpr int kEach = 60;
    std::vector<std::string> failures[2];
    const auto write = [&](SigningStore& s, int half) {
        for (int i = 0; i < kEach; ++i) {
            const std::int64_t n = half * kEach + i + 1;
            if (auto f = s.appendSamples(signer, n, Bytes{static_cast<std::uint8_t>(n)})) {
                failures[half].push_back(f->message);
            }
            const std::string id = "req_" + std::to_string(half) + "_" + std::to_string(i);
            if (auto f = s.createRequest(newRequest(id, "doc_1", 1))) {
                failures[half].push_back(f->message);
            }
            if (!s.change("req_1", [&](const Request& r) { return openLink(r, 1, {}, n); })) {
                failures[half].push_back("open " + std::to_string(n));
            }
        }
    };
    std::thread a(write, std::ref(*store), 0);
    std::thread b(write, std::ref(*other), 1);
    a.join();
    b.join();
    EXPECT_TRUE(failures[0].empty()) << failures[0].front();
    EXPECT_TRUE(failures[1].empty()) << failures[1].front();
    auto fresh = reopened();
    EXPECT_EQ(fresh->samples(signer)->size(), 2u * kEach);
    EXPECT_EQ(fresh->listRequests(std::nullopt, "", 1000)->size(), 1u + 2 * kEach);
    // Every open went into one chain: 1 + 120 events, numbered without a gap and intact.
    auto trail = fresh->auditTrail("req_1");
    EXPECT_EQ(trail->size(), 1u + 2 * kEach);
    EXPECT_FALSE(verifyChain("req_1", *trail));
}

/// Writes past `limit` bytes fail with EFBIG for the rest of the scope, as on a full disk.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t limit) {
        ::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit lower = saved_;
        lower.rlim_cur = limit;
        ::setrlimit(RLIMIT_FSIZE, &lower);
    }
    ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &saved_); }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved_{};
};

TEST_F(SqliteStore, AFullDiskFailsTheWriteAndKeepsTheStoreAsItWas) {
    ASSERT_FALSE(store->createRequest(newRequest("req_1", "doc_1")));
    const Bytes large = pdfBytes(200'000, 3);
    MaybeFailure failed;
    {
        const FileSizeLimit full(100'000);
        failed = store->addDocument(documentFor("doc_2", large), large);
    }
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->code, kStorage);
    EXPECT_EQ(store->document("doc_2").error().code, kNotFound);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "documents" / "doc_2.pdf"));

    // A revision that cannot be written: the signature is not recorded either.
    ASSERT_TRUE(openAs(*store, "req_1", 1, 2'000));
    const NewRevision revision{large, hexDigits(openssl::sha256(large))};
    Result<Request> signedIt = Failure();
    {
        const FileSizeLimit full(100'000);
        signedIt = store->change(
            "req_1", [&](const Request& r) { return sign(r, 1, revision.sha256, {}, 3'000); },
            &revision);
    }
    ASSERT_FALSE(signedIt);
    EXPECT_EQ(signedIt.error().code, kStorage);
    auto request = reopened()->request("req_1");
    EXPECT_EQ(request->signers[0].state, SignerState::kOpen);
    EXPECT_EQ(store->auditTrail("req_1")->size(), 2u);
    EXPECT_EQ(store->revisions("req_1")->size(), 1u);
    // Once there is room again, the same step succeeds.
    EXPECT_TRUE(store->change(
        "req_1", [&](const Request& r) { return sign(r, 1, revision.sha256, {}, 3'000); },
        &revision));
    EXPECT_EQ(store->revisionBytes("req_1", 1).value(), large);
}

TEST_F(SqliteStore, AnUnwritableFolderFailsTheWriteNamingTheFile) {
    // The documents folder replaced by a file: nothing can be kept there (as a read-only
    // folder would, but also when the tests run as root).
    std::filesystem::remove_all(dir.path() / "documents");
    std::ofstream(dir.path() / "documents") << "not a folder";
    const Bytes other = pdfBytes(100, 9);
    const auto failed = store->addDocument(documentFor("doc_2", other), other);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->code, kStorage);
    EXPECT_NE(failed->message.find("documents"), std::string::npos) << failed->message;
    EXPECT_EQ(store->document("doc_2").error().code, kNotFound);
}

}  // namespace
}  // namespace penwell::service
