// Retention: requests that ended longer ago than asked lose their samples and files and keep
// their rows and trail; a document shared with a request still within the period stays; files
// a crash left behind go in the next sweep; Idempotency-Key answers go after a day; and the
// counts by state the metrics show.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <fstream>
#include <thread>

#include "StoreFixtures.h"
#include "penwell/platform/sqlite/SqliteHandles.h"
#include "penwell/service/AuditChain.h"
#include "penwell/service/Retention.h"

namespace penwell::service {
namespace {

using testing::ManualClock;
using testing::openStore;
using testing::pdfBytes;
using testing::SqliteSigningStore;

const Actor kSigner{"192.0.2.10", "Browser/1"};
const Actor kOffice{"198.51.100.1", "backoffice/2"};
constexpr TimeMs kWeek = 7 * kDayMs;

class Retention : public ::testing::Test {
public:
    void SetUp() override {
        store = std::shared_ptr<SigningStore>(openStore(dir.path()));
        service = std::make_shared<SigningService>(store, clock.clock(), 1000);
    }

    std::string upload(std::uint8_t seed) {
        auto document = service->addDocument(pdfBytes(4'000, seed), 2);
        EXPECT_TRUE(document);
        return document->id;
    }

    CreatedRequest request(const std::string& document, int signers = 1,
                           TimeMs validFor = 30 * kDayMs) {
        RequestSpec spec{document, {}, *clock.now + validFor, "", "{}"};
        for (int i = 0; i < signers; ++i) {
            spec.signers.push_back({"Signer " + std::to_string(i + 1), "", "{}", "", "", ""});
        }
        auto created = service->createRequest(spec, kOffice);
        EXPECT_TRUE(created) << created.error().message;
        return std::move(*created);
    }

    /// The signer opens, sees the document and draws `messages` page messages.
    void draw(const std::string& token, int messages) {
        ASSERT_TRUE(service->openLink(token, kSigner));
        ASSERT_TRUE(service->showDocument(token, kSigner));
        for (int i = 1; i <= messages; ++i) {
            ASSERT_FALSE(service->appendSamples(token, i, Bytes{1, 2, static_cast<uint8_t>(i)}));
        }
    }

    /// Every signer draws and signs in order: one revision file each.
    void signAll(const CreatedRequest& created, int messages = 3) {
        std::uint8_t seed = 100;
        for (const std::string& token : created.linkTokens) {
            draw(token, messages);
            ASSERT_TRUE(service->sign(token, pdfBytes(4'500, ++seed), kSigner));
        }
    }

    SweepReport sweepWith(std::optional<TimeMs> keepFor, int batch = 100, int maxBatches = 100) {
        RetentionSettings settings;
        settings.keepFor = keepFor;
        settings.batch = batch;
        settings.maxBatches = maxBatches;
        auto report = sweep(*service, settings);
        EXPECT_TRUE(report) << report.error().message;
        return report ? *report : SweepReport{};
    }

    /// The files in the folder, the database's own left out, as sorted relative paths.
    std::vector<std::string> files() const {
        std::vector<std::string> out;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path())) {
            const std::string name = entry.path().filename().string();
            if (entry.is_regular_file() && name.rfind("penwell.sqlite", 0) != 0) {
                out.push_back(std::filesystem::relative(entry.path(), dir.path()).string());
            }
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    std::int64_t count(const std::string& sql) const {
        auto db = penwell::sqlite::connect(SqliteSigningStore::databaseFile(dir.path()).string(),
                                           SQLITE_OPEN_READWRITE);
        auto select = penwell::sqlite::prepare(db.get(), sql.c_str());
        EXPECT_EQ(sqlite3_step(select.get()), SQLITE_ROW) << sql;
        return sqlite3_column_int64(select.get(), 0);
    }

    void exec(const std::string& sql) const {
        auto db = penwell::sqlite::connect(SqliteSigningStore::databaseFile(dir.path()).string(),
                                           SQLITE_OPEN_READWRITE);
        ASSERT_EQ(sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
    }

    std::int64_t samplesOf(const std::string& requestId) const {
        return count(
            "SELECT count(*) FROM samples s JOIN signers g ON g.id = s.signer_id "
            "WHERE g.request_id = '" +
            requestId + "'");
    }

    AuditEvent lastEvent(const std::string& requestId) {
        auto trail = store->auditTrail(requestId);
        EXPECT_TRUE(trail && !trail->empty());
        EXPECT_FALSE(verifyChain(requestId, *trail)) << "the purge is chained as every event";
        return trail->back();
    }

    test::TempDir dir;
    ManualClock clock;
    std::shared_ptr<SigningStore> store;
    std::shared_ptr<SigningService> service;
};

std::string doc(const std::string& id) {
    return "documents/" + id + ".pdf";
}

std::string rev(const std::string& id, int n) {
    return "revisions/" + id + "/" + std::to_string(n) + ".pdf";
}

TEST_F(Retention, EndedRequestsLoseSamplesAndFilesAndKeepRowsAndTrail) {
    const std::string shared = upload(1);
    const std::string other = upload(2);
    const CreatedRequest completed = request(shared, 2);
    const CreatedRequest pending = request(shared);  // keeps the shared upload
    const CreatedRequest declined = request(other);
    const CreatedRequest cancelledLater = request(other);

    signAll(completed);
    draw(declined.linkTokens[0], 2);
    ASSERT_TRUE(service->decline(declined.linkTokens[0], "Not my contract", kSigner));
    draw(pending.linkTokens[0], 4);
    clock.advance(3 * kDayMs);
    draw(cancelledLater.linkTokens[0], 5);
    ASSERT_TRUE(service->cancel(cancelledLater.request.id, kOffice));
    std::vector<std::string> before{doc(shared), doc(other), rev(completed.request.id, 1),
                                    rev(completed.request.id, 2)};
    std::sort(before.begin(), before.end());
    ASSERT_EQ(files(), before);

    // A week after the first two ended, not yet for the cancelled one.
    clock.advance(kWeek - 3 * kDayMs);
    SweepReport report = sweepWith(kWeek);
    EXPECT_EQ(report.purged, 2);
    EXPECT_EQ(report.samples, 6 + 2);
    EXPECT_EQ(report.files, 2);
    EXPECT_EQ(report.filesLeft, "");
    EXPECT_EQ(files(), (std::vector<std::string>{before[0], before[1]}))
        << "both uploads are still needed: one by a pending request, one within the period";
    EXPECT_EQ(samplesOf(completed.request.id), 0);
    EXPECT_EQ(samplesOf(declined.request.id), 0);
    EXPECT_EQ(samplesOf(pending.request.id), 4);
    EXPECT_EQ(samplesOf(cancelledLater.request.id), 5);

    // The rows stay: the request, its signers as they ended, the revisions' hashes (the
    // counts at the end; the request as the API shows it, ApiRetention).
    auto kept = store->request(completed.request.id);
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->purgedAt, *clock.now);
    EXPECT_EQ(store->revisions(completed.request.id)->back().sha256,
              hexDigits(openssl::sha256(pdfBytes(4'500, 102))));
    EXPECT_FALSE(store->request(cancelledLater.request.id)->purgedAt);

    const AuditEvent purged = lastEvent(completed.request.id);
    EXPECT_EQ(purged.type, "request.purged");
    EXPECT_EQ(purged.time, *clock.now);
    EXPECT_EQ(purged.signer, 0);
    EXPECT_EQ(purged.actor.userAgent, "penwell retention");
    EXPECT_EQ(purged.detail,
              "deleted 6 sample messages and 2 revision files; the upload stays for another "
              "request");
    EXPECT_EQ(lastEvent(declined.request.id).detail,
              "deleted 2 sample messages and 0 revision files; the upload stays for another "
              "request");

    // The bytes are refused, never served.
    EXPECT_FALSE(store->revisionBytes(completed.request.id, 2));
    auto sealed = service->seal(
        completed.request.id,
        [](ByteView latest, const std::vector<AuditEvent>&) {
            return Result<Bytes>(Bytes(latest.begin(), latest.end()));
        },
        kOffice);
    ASSERT_FALSE(sealed);
    EXPECT_EQ(sealed.error().message, "This request's files were deleted");

    // A second sweep at the same time finds nothing more to do and writes nothing.
    const auto eventsBefore = count("SELECT count(*) FROM events");
    report = sweepWith(kWeek);
    EXPECT_EQ(report.purged, 0);
    EXPECT_EQ(report.files, 0);
    EXPECT_EQ(count("SELECT count(*) FROM events"), eventsBefore);

    // Once the cancelled request is past the period too, the other upload goes with it.
    clock.advance(3 * kDayMs);
    report = sweepWith(kWeek);
    EXPECT_EQ(report.purged, 1);
    EXPECT_EQ(report.files, 1);
    EXPECT_EQ(files(), (std::vector<std::string>{doc(shared)}));
    EXPECT_EQ(lastEvent(cancelledLater.request.id).detail,
              "deleted 5 sample messages, 0 revision files and the upload");
    auto again = service->createRequest(
        {other, {{"Ann", "", "{}", "", "", ""}}, *clock.now + kDayMs, "", "{}"}, kOffice);
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().code, static_cast<std::int64_t>(ServiceCode::notFound));
    EXPECT_NE(
        again.error().message.find("document " + other + " was deleted after the retention period"),
        std::string::npos)
        << again.error().message;
    // Its bytes are refused alike (the API reads them to check a signer's field).
    auto bytes = service->store().documentBytes(other);
    ASSERT_FALSE(bytes);
    EXPECT_EQ(bytes.error().code, static_cast<std::int64_t>(ServiceCode::notFound));
    EXPECT_TRUE(service->store().documentBytes(shared)) << "the shared upload is still there";

    // The pending request keeps the shared upload until it ended a week ago itself.
    ASSERT_TRUE(service->cancel(pending.request.id, kOffice));
    clock.advance(kWeek - 1);
    EXPECT_EQ(sweepWith(kWeek).purged, 0);
    clock.advance(1);
    report = sweepWith(kWeek);
    EXPECT_EQ(report.purged, 1);
    EXPECT_EQ(report.samples, 4);
    EXPECT_EQ(files(), std::vector<std::string>{});
    EXPECT_EQ(count("SELECT count(*) FROM samples"), 0);
    EXPECT_EQ(count("SELECT count(*) FROM requests"), 4);
    EXPECT_EQ(count("SELECT count(*) FROM signers"), 5);
    EXPECT_EQ(count("SELECT count(*) FROM revisions"), 6);
    EXPECT_EQ(count("SELECT count(*) FROM documents WHERE purged_at IS NOT NULL"), 2);
}

TEST_F(Retention, WithoutARetentionPeriodNothingIsPurged) {
    const CreatedRequest done = request(upload(1));
    signAll(done);
    clock.advance(100 * 365 * kDayMs);
    const SweepReport report = sweepWith(std::nullopt);
    EXPECT_EQ(report.purged, 0);
    EXPECT_EQ(samplesOf(done.request.id), 3);
    EXPECT_EQ(files().size(), 2u);
    EXPECT_EQ(lastEvent(done.request.id).type, "request.completed");
}

TEST_F(Retention, ARequestNobodyActedOnExpiresInTheSweepAndIsPurgedLater) {
    const CreatedRequest lapsed = request(upload(1), 1, kDayMs);
    draw(lapsed.linkTokens[0], 2);
    clock.advance(kDayMs);
    SweepReport report = sweepWith(kWeek);
    EXPECT_EQ(report.expired, 1);
    EXPECT_EQ(report.purged, 0);
    EXPECT_EQ(store->request(lapsed.request.id)->state, RequestState::kExpired);
    EXPECT_EQ(lastEvent(lapsed.request.id).type, "request.expired");
    clock.advance(kWeek);
    report = sweepWith(kWeek);
    EXPECT_EQ(report.expired, 0);
    EXPECT_EQ(report.purged, 1);
    EXPECT_EQ(report.samples, 2);
    EXPECT_EQ(files(), std::vector<std::string>{});
}

TEST_F(Retention, FilesACrashLeftAfterThePurgeGoInTheNextSweep) {
    const std::string document = upload(1);
    const CreatedRequest done = request(document, 2);
    signAll(done);
    clock.advance(kWeek);
    ASSERT_EQ(sweepWith(kWeek).purged, 1);
    ASSERT_EQ(files(), std::vector<std::string>{});

    // What a crash between the commit and the removal leaves: the rows say purged, the files
    // are still there, and files_left still marks the request.
    std::filesystem::create_directories(dir.path() / "revisions" / done.request.id);
    for (const std::string& name :
         {rev(done.request.id, 1), rev(done.request.id, 2), doc(document)}) {
        std::ofstream(dir.path() / name) << "left";
    }
    exec("UPDATE requests SET files_left = 1");
    const auto eventsBefore = count("SELECT count(*) FROM events");

    const SweepReport report = sweepWith(kWeek);
    EXPECT_EQ(report.purged, 0);
    EXPECT_EQ(report.files, 3);
    EXPECT_EQ(files(), std::vector<std::string>{});
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "revisions" / done.request.id));
    EXPECT_EQ(count("SELECT count(*) FROM requests WHERE files_left = 1"), 0);
    EXPECT_EQ(count("SELECT count(*) FROM events"), eventsBefore) << "purged once, recorded once";
}

TEST_F(Retention, SweepsPurgeInBoundedBatches) {
    const std::string document = upload(1);
    std::vector<std::string> ids;
    for (int i = 0; i < 5; ++i) {
        const CreatedRequest created = request(document);
        ids.push_back(created.request.id);
        ASSERT_TRUE(service->cancel(created.request.id, kOffice));
        clock.advance(1);
    }
    clock.advance(kWeek);
    // Two transactions of two: four purged, the oldest first; the next sweep takes the last.
    EXPECT_EQ(sweepWith(kWeek, 2, 2).purged, 4);
    EXPECT_FALSE(store->request(ids[4])->purgedAt);
    EXPECT_TRUE(store->request(ids[3])->purgedAt);
    EXPECT_EQ(files(), std::vector<std::string>{doc(document)});
    EXPECT_EQ(sweepWith(kWeek, 2, 2).purged, 1);
    EXPECT_EQ(files(), std::vector<std::string>{});
}

TEST_F(Retention, AStoreRefusesPurgeBatchesOutOfBounds) {
    for (int limit : {0, -1, kMaxListLimit + 1}) {
        auto purged = store->purgeEnded(0, 0, retentionActor(), limit);
        ASSERT_FALSE(purged) << limit;
        EXPECT_EQ(purged.error().code, static_cast<std::int64_t>(ServiceCode::invalid));
        auto removed = store->removePurgedFiles(limit);
        ASSERT_FALSE(removed) << limit;
        EXPECT_EQ(removed.error().code, static_cast<std::int64_t>(ServiceCode::invalid));
    }
    EXPECT_FALSE(store->forgetAnswers(0, 0));
}

TEST_F(Retention, IdempotencyAnswersAreForgottenAfterADayWithOrWithoutRetention) {
    const Bytes body(32, 1);
    const TimeMs start = *clock.now;
    ASSERT_TRUE(store->keepAnswer("ops", "k-old", body, "201 {\"old\":1}", start));
    ASSERT_TRUE(store->keepAnswer("ops", "k-edge", body, "201 {\"edge\":1}", start + 1));
    ASSERT_TRUE(store->keepAnswer("ops", "k-new", body, "201 {\"new\":1}", start + kDayMs));
    clock.advance(kDayMs + 1);  // k-old is older than a day; k-edge exactly a day old

    const SweepReport report = sweepWith(std::nullopt);
    EXPECT_EQ(report.answers, 1);
    EXPECT_EQ(store->recallAnswer("ops", "k-old", body).value(), std::nullopt);
    EXPECT_TRUE(store->recallAnswer("ops", "k-edge", body).value());
    EXPECT_TRUE(store->recallAnswer("ops", "k-new", body).value());
    // A forgotten key may be used again, as a new request.
    EXPECT_EQ(store->keepAnswer("ops", "k-old", Bytes(32, 2), "201 {}", *clock.now)->answer,
              "201 {}");

    // In batches, oldest first, until none is older than a day.
    clock.advance(kDayMs);
    EXPECT_EQ(sweepWith(kWeek, 1, 10).answers, 2);
    EXPECT_EQ(count("SELECT count(*) FROM idempotency"), 1);
}

// The counts by state are pinned through /metrics (ApiRetention); here the damaged row.
TEST_F(Retention, RequestCountsRefuseAStateThisProgramDoesNotKnow) {
    ASSERT_TRUE(service->cancel(request(upload(1)).request.id, kOffice));
    // A row with a state this program does not know is damage, reported rather than skipped.
    exec("UPDATE requests SET state = 'archived' WHERE state = 'cancelled'");
    const auto counts = store->requestCounts();
    ASSERT_FALSE(counts);
    EXPECT_EQ(counts.error().code, static_cast<std::int64_t>(ServiceCode::storage));
    EXPECT_NE(counts.error().message.find("\"archived\""), std::string::npos);
}

TEST_F(Retention, TheWorkerSweepsAtStartAndStopsWhenDestroyed) {
    const CreatedRequest done = request(upload(1));
    signAll(done);
    clock.advance(kWeek);
    std::vector<std::string> reports;
    {
        RetentionSettings settings;
        settings.keepFor = kWeek;
        RetentionWorker worker(service, settings, std::chrono::hours(1),
                               [&](const std::string& line) { reports.push_back(line); });
        // Bounded: 500 looks, 10 ms apart.
        for (int i = 0; i < 500 && !store->request(done.request.id)->purgedAt; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }  // joins: a worker waiting an hour for its next sweep is woken
    EXPECT_TRUE(store->request(done.request.id)->purgedAt);
    EXPECT_EQ(files(), std::vector<std::string>{});
    EXPECT_EQ(reports, std::vector<std::string>{});
}

}  // namespace
}  // namespace penwell::service
