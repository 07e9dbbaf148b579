// The signing store's retention: counting requests by state, purging the samples and files of
// requests that ended long enough ago, and forgetting old Idempotency-Key answers
// (SqliteSigningStore.h).
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <system_error>

#include "penwell/platform/sqlite/SqliteHandles.h"
#include "penwell/service/Writes.h"
#include "penwell/service/sqlite/Query.h"
#include "penwell/service/sqlite/SqliteSigningStore.h"

namespace penwell::service::sqlite {
namespace {

using penwell::sqlite::ReadTransaction;

constexpr RequestState kAllStates[] = {RequestState::kPending, RequestState::kCompleted,
                                       RequestState::kDeclined, RequestState::kExpired,
                                       RequestState::kCancelled};

/// Makes the removals in `folder` durable before the row that says they happened commits.
void syncFolder(const std::filesystem::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

/// Removes the files in `folder` and then the folder; answers how many files went. A folder
/// that is not there (removed before a crash) is no failure.
Result<std::int64_t> removeFolder(const std::filesystem::path& folder) {
    std::error_code ec;
    std::vector<std::filesystem::path> files;
    std::filesystem::directory_iterator it(folder, ec);
    if (ec == std::errc::no_such_file_or_directory) {
        return std::int64_t{0};
    }
    for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        files.push_back(it->path());
    }
    std::int64_t removed = 0;
    for (const auto& file : files) {
        if (ec) {
            break;
        }
        removed += std::filesystem::remove(file, ec) ? 1 : 0;
    }
    if (!ec) {
        std::filesystem::remove(folder, ec);
    }
    if (ec) {
        return Failure(kServiceDomain, static_cast<std::int64_t>(ServiceCode::storage),
                       folder.string() + ": " + ec.message());
    }
    return removed;
}

std::string counted(std::int64_t n, const std::string& what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

std::string purgedDetail(std::int64_t samples, std::int64_t revisionFiles, bool upload) {
    const std::string detail = "deleted " + counted(samples, "sample message");
    if (upload) {
        return detail + ", " + counted(revisionFiles, "revision file") + " and the upload";
    }
    return detail + " and " + counted(revisionFiles, "revision file") +
           "; the upload stays for another request";
}

}  // namespace

Result<RequestCounts> SqliteSigningStore::requestCounts() {
    std::lock_guard lock(mutex_);
    Query select(db_.get(), file_, "SELECT state, count(*) FROM requests GROUP BY state");
    RequestCounts counts;
    for (RequestState state : kAllStates) {
        counts.emplace_back(state, 0);
    }
    MaybeFailure damaged;
    auto failed = select.eachRow([&] {
        const auto state = requestStateNamed(select.text(0));
        if (!state) {
            damaged = refusal(ServiceCode::storage, file_,
                              "requests have the state \"" + select.text(0) + "\"");
            return;
        }
        counts[static_cast<std::size_t>(*state)].second = select.integer(1);
    });
    if (failed || damaged) {
        return failed ? *failed : *damaged;
    }
    return counts;
}

Result<PurgedBatch> SqliteSigningStore::purgeEnded(TimeMs endedBy, TimeMs now, const Actor& actor,
                                                   int limit) {
    if (limit < 1 || limit > kMaxListLimit) {
        return refusal(ServiceCode::invalid, file_,
                       "a purge takes 1 to " + std::to_string(kMaxListLimit) + " requests, not " +
                           std::to_string(limit));
    }
    std::lock_guard lock(mutex_);
    auto purged = inTransaction(db_.get(), file_, [&]() -> Result<PurgedBatch> {
        Query select(db_.get(), file_,
                     "SELECT id FROM requests WHERE purged_at IS NULL AND ended_at IS NOT NULL "
                     "AND ended_at <= ? ORDER BY ended_at, id LIMIT ?");
        select.bind(1, endedBy).bind(2, std::int64_t{limit});
        PurgedBatch batch;
        if (auto failed = select.eachRow([&] { batch.requests.push_back(select.text(0)); })) {
            return *failed;
        }
        for (const std::string& id : batch.requests) {
            if (auto failed = purgeRequest(id, now, actor, batch)) {
                return *failed;
            }
        }
        return batch;
    });
    if (!purged || purged->requests.empty()) {
        return purged;
    }
    // The files go only after the commit: a crash in between leaves files that no row needs
    // (files_left says whose), never a row that names a file already gone. The batch is
    // purged whatever happens here; files not removed now are removed by the next sweep.
    auto removed = removeFilesLeft(static_cast<int>(purged->requests.size()));
    if (removed) {
        purged->files = *removed;
    } else {
        purged->filesLeft = removed.error().message;
    }
    return purged;
}

MaybeFailure SqliteSigningStore::purgeRequest(const std::string& requestId, TimeMs now,
                                              const Actor& actor, PurgedBatch& batch) {
    auto before = loadRequest(requestId);
    if (!before) {
        return before.error();
    }
    if (auto failed = Query(db_.get(), file_,
                            "DELETE FROM samples WHERE signer_id IN "
                            "(SELECT id FROM signers WHERE request_id = ?)")
                          .bind(1, requestId)
                          .run()) {
        return failed;
    }
    const std::int64_t samples = sqlite3_changes(db_.get());
    batch.samples += samples;
    if (auto failed = Query(db_.get(), file_,
                            "UPDATE requests SET purged_at = ?, files_left = 1 WHERE id = ?")
                          .bindAll(now, requestId)
                          .run()) {
        return failed;
    }
    // The upload goes with the last request that needs it; one still pending (or ended but
    // within the retention period) keeps it.
    Query needed(db_.get(), file_,
                 "SELECT 1 FROM requests WHERE document_id = ? AND purged_at IS NULL LIMIT 1");
    auto stillNeeded = needed.bind(1, before->documentId).step();
    if (!stillNeeded) {
        return stillNeeded.error();
    }
    if (!*stillNeeded) {
        if (auto failed =
                Query(db_.get(), file_,
                      "UPDATE documents SET purged_at = ? WHERE id = ? AND purged_at IS NULL")
                    .bindAll(now, before->documentId)
                    .run()) {
            return failed;
        }
    }
    Query revisions(db_.get(), file_,
                    "SELECT count(*) FROM revisions WHERE request_id = ? AND number > 0");
    if (auto failed = revisions.bind(1, requestId)
                          .expectRow(refusal(ServiceCode::storage, file_, "no revision count"))) {
        return failed;
    }
    Change change;
    change.time = now;
    change.events.push_back(
        {"request.purged", 0, purgedDetail(samples, revisions.integer(0), !*stillNeeded), actor});
    auto last = lastEvent(requestId);
    if (!last) {
        return last.error();
    }
    for (const AuditEvent& event : writesOf(*before, change, *last).events) {
        if (auto failed = insertEvent(db_.get(), file_, requestId, event)) {
            return failed;
        }
    }
    return std::nullopt;
}

Result<std::int64_t> SqliteSigningStore::removePurgedFiles(int limit) {
    if (limit < 1 || limit > kMaxListLimit) {
        return refusal(ServiceCode::invalid, file_,
                       "a removal takes 1 to " + std::to_string(kMaxListLimit) +
                           " requests, not " + std::to_string(limit));
    }
    std::lock_guard lock(mutex_);
    return removeFilesLeft(limit);
}

Result<std::int64_t> SqliteSigningStore::removeFilesLeft(int limit) {
    struct Left {
        std::string request;
        std::string document;
        bool documentPurged = false;
    };
    std::vector<Left> left;
    {
        ReadTransaction snapshot(db_.get());
        Query select(db_.get(), file_,
                     "SELECT r.id, r.document_id, d.purged_at IS NOT NULL FROM requests r "
                     "JOIN documents d ON d.id = r.document_id WHERE r.files_left = 1 "
                     "ORDER BY r.id LIMIT ?");
        select.bind(1, std::int64_t{limit});
        if (auto failed = select.eachRow([&] {
                left.push_back({select.text(0), select.text(1), select.integer(2) != 0});
            })) {
            return *failed;
        }
    }
    std::int64_t removed = 0;
    MaybeFailure firstFailure;
    std::vector<std::string> done;
    for (const Left& l : left) {
        auto revisions = removeFolder(revisionFile(l.request, 1).parent_path());
        std::error_code ec;
        if (revisions && l.documentPurged && std::filesystem::remove(documentFile(l.document), ec)) {
            ++removed;
        }
        if (!revisions || ec) {
            if (!firstFailure) {
                firstFailure = !revisions ? revisions.error()
                                          : refusal(ServiceCode::storage, file_,
                                                    documentFile(l.document).string() + ": " +
                                                        ec.message());
            }
            continue;
        }
        removed += *revisions;
        done.push_back(l.request);
    }
    syncFolder(folder_ / "revisions");
    syncFolder(folder_ / "documents");
    auto marked = inTransaction(db_.get(), file_, [&]() -> MaybeFailure {
        for (const std::string& id : done) {
            if (auto failed = Query(db_.get(), file_,
                                    "UPDATE requests SET files_left = 0 WHERE id = ?")
                                  .bind(1, id)
                                  .run()) {
                return failed;
            }
        }
        return std::nullopt;
    });
    if (marked || firstFailure) {
        return marked ? *marked : *firstFailure;
    }
    return removed;
}

Result<std::int64_t> SqliteSigningStore::forgetAnswers(TimeMs keptBefore, int limit) {
    if (limit < 1) {
        return refusal(ServiceCode::invalid, file_,
                       "forgetting takes at least 1 answer, not " + std::to_string(limit));
    }
    std::lock_guard lock(mutex_);
    return inTransaction(db_.get(), file_, [&]() -> Result<std::int64_t> {
        if (auto failed = Query(db_.get(), file_,
                                "DELETE FROM idempotency WHERE rowid IN (SELECT rowid FROM "
                                "idempotency WHERE created_at < ? ORDER BY created_at LIMIT ?)")
                              .bindAll(keptBefore, std::int64_t{limit})
                              .run()) {
            return *failed;
        }
        return std::int64_t{sqlite3_changes(db_.get())};
    });
}

}  // namespace penwell::service::sqlite
