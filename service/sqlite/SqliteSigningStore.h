#pragma once
// The signing store in one folder: the SQLite database `penwell.sqlite` (WAL mode, full
// synchronous commits, foreign keys on, a busy timeout) and the documents as files beside it:
//     DIR/penwell.sqlite             the state
//     DIR/documents/<id>.pdf         uploaded documents (revision 0 of their requests)
//     DIR/revisions/<request>/<n>.pdf  the document after its n-th signature
// Files are written whole or not at all (StagedFile) before the transaction that names them
// commits, so a row never names a missing or half-written file; a file whose transaction did
// not commit is an orphan that the next revision of that number replaces. A file read back is
// checked against the SHA-256 its row records.
//
// Several store objects, in one process or several, may use one folder: every write is one
// IMMEDIATE transaction and waits up to the busy timeout for another writer. One object may be
// shared by threads (its one connection is guarded by a mutex).

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "penwell/platform/sqlite/SqliteDatabase.h"
#include "penwell/service/SigningStore.h"
#include "penwell/service/sqlite/StatementCache.h"

namespace penwell::service::sqlite {

class Query;

class SqliteSigningStore final : public SigningStore {
public:
    /// Opens the store in `folder`, making the folder (owner-only) and the database when
    /// missing, and migrating an older schema forward. Fails with ServiceCode::schema for a
    /// newer schema or another program's database, ServiceCode::storage for a folder or file
    /// that cannot be used (a damaged database: "<file>: file is not a database"). The failure
    /// names the file.
    static Result<std::unique_ptr<SqliteSigningStore>> open(const std::filesystem::path& folder);

    /// The database file in a store folder.
    static std::filesystem::path databaseFile(const std::filesystem::path& folder);

    ~SqliteSigningStore() override;
    SqliteSigningStore(const SqliteSigningStore&) = delete;
    SqliteSigningStore& operator=(const SqliteSigningStore&) = delete;

    MaybeFailure addDocument(const Document& document, ByteView pdf) override;
    Result<Document> document(const std::string& id) override;
    Result<Bytes> documentBytes(const std::string& id) override;
    Result<std::vector<Revision>> revisions(const std::string& requestId) override;
    Result<Bytes> revisionBytes(const std::string& requestId, int number) override;

    MaybeFailure createRequest(const NewRequest& request) override;
    Result<Request> request(const std::string& id) override;
    Result<LinkTarget> requestForLink(ByteView tokenHash) override;
    Result<std::string> accessCodeHash(const std::string& requestId, int position) override;
    Result<std::vector<Request>> listRequests(std::optional<RequestState> state,
                                              const std::string& after, int limit) override;
    Result<RequestCounts> requestCounts() override;
    Result<std::vector<std::string>> dueForExpiry(TimeMs now, int limit) override;
    Result<Request> change(const std::string& requestId, const Decide& decide,
                           const NewRevision* revision) override;
    Result<std::vector<AuditEvent>> auditTrail(const std::string& requestId) override;

    Result<PurgedBatch> purgeEnded(TimeMs endedBy, TimeMs now, const Actor& actor,
                                   int limit) override;
    Result<std::int64_t> removePurgedFiles(int limit) override;
    Result<std::int64_t> forgetAnswers(TimeMs keptBefore, int limit) override;

    Result<std::vector<OutboxEntry>> takeDueOutbox(TimeMs now, TimeMs leaseMs, int limit) override;
    MaybeFailure outboxDelivered(std::int64_t id, TimeMs now) override;
    MaybeFailure outboxFailed(std::int64_t id, std::optional<TimeMs> nextAttemptAt,
                              TimeMs now) override;
    Result<std::int64_t> outboxBacklog() override;

    MaybeFailure appendSamples(std::int64_t signerId, std::int64_t sequence,
                               ByteView samples) override;
    std::vector<MaybeFailure> appendSampleBatch(std::span<const SampleAppend> batch) override;
    Result<std::vector<SampleBatch>> samples(std::int64_t signerId) override;

    MaybeFailure addApiKey(const std::string& name, ByteView keyHash, TimeMs now) override;
    Result<std::vector<ApiKey>> apiKeys() override;
    MaybeFailure revokeApiKey(const std::string& name, TimeMs now) override;
    Result<std::string> apiKeyNamed(ByteView keyHash) override;

    Result<std::optional<KeptAnswer>> recallAnswer(const std::string& scope, const std::string& key,
                                                   ByteView bodyHash) override;
    Result<KeptAnswer> keepAnswer(const std::string& scope, const std::string& key,
                                  ByteView bodyHash, const std::string& answer,
                                  TimeMs now) override;

private:
    SqliteSigningStore(std::filesystem::path folder, penwell::sqlite::Database db);

    // With mutex_ held.
    Result<Request> loadRequest(const std::string& id);
    /// One message of appendSamples, inside the caller's transaction.
    MaybeFailure appendInTransaction(const SampleAppend& message);
    MaybeFailure insertRequest(const NewRequest& request);
    /// The change as committed; `refused` is the change's own refusal (written all the same).
    Result<Request> applyChange(const std::string& requestId, const Decide& decide,
                                const NewRevision* revision, MaybeFailure& refused);
    Result<std::optional<AuditEvent>> lastEvent(const std::string& requestId);
    MaybeFailure addRevision(const std::string& requestId, const NewRevision& revision,
                             TimeMs time);
    MaybeFailure updateWaitingEntry(Query& update, std::int64_t id);
    /// Purges one ended request inside purgeEnded's transaction.
    MaybeFailure purgeRequest(const std::string& requestId, TimeMs now, const Actor& actor,
                              PurgedBatch& batch);
    /// Removes the files of up to `limit` requests marked files_left, then unmarks them.
    Result<std::int64_t> removeFilesLeft(int limit);
    Result<std::optional<KeptAnswer>> keptAnswer(const std::string& scope, const std::string& key,
                                                 ByteView bodyHash);
    MaybeFailure writeFile(const std::filesystem::path& file, ByteView bytes);
    Result<Bytes> readChecked(const std::filesystem::path& file, const std::string& sha256);
    std::filesystem::path documentFile(const std::string& id) const;
    std::filesystem::path revisionFile(const std::string& requestId, int number) const;

    std::mutex mutex_;
    std::filesystem::path folder_;
    std::string file_;  // the database file, as messages name it
    penwell::sqlite::Database db_;
    StatementCache statements_{db_.get()};  // after db_: gone before the connection closes
};

}  // namespace penwell::service::sqlite
