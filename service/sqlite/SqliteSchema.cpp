#include "penwell/service/sqlite/SqliteSchema.h"

#include "penwell/platform/sqlite/SqliteHandles.h"
#include "penwell/service/Model.h"

namespace penwell::service::sqlite {
namespace {

// Version 1: documents, requests and their signers, revisions, the trail, the outbox, keys.
// Times are UTC milliseconds. Secrets are hashes only: token_hash (SHA-256 of the link token,
// unique, the index a link is found by), access_code_hash (salted PBKDF2), key_hash.
constexpr const char* kVersion1 = R"sql(
CREATE TABLE schema_version (version INTEGER NOT NULL);
INSERT INTO schema_version (version) VALUES (0);
CREATE TABLE documents (
    id TEXT PRIMARY KEY, sha256 TEXT NOT NULL, size INTEGER NOT NULL,
    pages INTEGER NOT NULL, created_at INTEGER NOT NULL);
CREATE TABLE requests (
    id TEXT PRIMARY KEY, document_id TEXT NOT NULL REFERENCES documents (id),
    state TEXT NOT NULL, created_at INTEGER NOT NULL, expires_at INTEGER NOT NULL,
    ended_at INTEGER, webhook_url TEXT NOT NULL, metadata TEXT NOT NULL);
CREATE INDEX requests_by_state ON requests (state, expires_at);
CREATE TABLE signers (
    id INTEGER PRIMARY KEY, request_id TEXT NOT NULL REFERENCES requests (id),
    position INTEGER NOT NULL, name TEXT NOT NULL, email TEXT NOT NULL,
    placement TEXT NOT NULL, reason TEXT NOT NULL, location TEXT NOT NULL,
    access_code_hash TEXT NOT NULL, token_hash BLOB NOT NULL UNIQUE, state TEXT NOT NULL,
    opened_at INTEGER, code_passed_at INTEGER, signed_at INTEGER, declined_at INTEGER,
    decline_reason TEXT NOT NULL DEFAULT '', UNIQUE (request_id, position));
CREATE TABLE revisions (
    request_id TEXT NOT NULL REFERENCES requests (id), number INTEGER NOT NULL,
    sha256 TEXT NOT NULL, created_at INTEGER NOT NULL, PRIMARY KEY (request_id, number));
CREATE TABLE events (
    request_id TEXT NOT NULL REFERENCES requests (id), sequence INTEGER NOT NULL,
    time INTEGER NOT NULL, type TEXT NOT NULL, signer INTEGER NOT NULL, detail TEXT NOT NULL,
    address TEXT NOT NULL, user_agent TEXT NOT NULL, previous_hash BLOB NOT NULL,
    hash BLOB NOT NULL, PRIMARY KEY (request_id, sequence));
CREATE TABLE outbox (
    id INTEGER PRIMARY KEY AUTOINCREMENT, request_id TEXT NOT NULL REFERENCES requests (id),
    event TEXT NOT NULL, body TEXT NOT NULL, url TEXT NOT NULL, created_at INTEGER NOT NULL,
    attempts INTEGER NOT NULL DEFAULT 0, next_attempt_at INTEGER NOT NULL,
    delivered_at INTEGER, given_up_at INTEGER);
CREATE INDEX outbox_waiting ON outbox (request_id, id)
    WHERE delivered_at IS NULL AND given_up_at IS NULL;
CREATE TABLE api_keys (
    name TEXT PRIMARY KEY, key_hash BLOB NOT NULL UNIQUE, created_at INTEGER NOT NULL,
    revoked_at INTEGER);
)sql";

// Version 2: a pad's samples, kept as the page sent them so that an acknowledged message
// survives a restart, and the first answers of Idempotency-Key requests.
constexpr const char* kVersion2 = R"sql(
CREATE TABLE samples (
    signer_id INTEGER NOT NULL REFERENCES signers (id), sequence INTEGER NOT NULL,
    bytes BLOB NOT NULL, PRIMARY KEY (signer_id, sequence)) WITHOUT ROWID;
CREATE TABLE idempotency (
    scope TEXT NOT NULL, key TEXT NOT NULL, body_hash BLOB NOT NULL, answer TEXT NOT NULL,
    created_at INTEGER NOT NULL, PRIMARY KEY (scope, key));
)sql";

// Version 3: retention. A request's samples and files are deleted some time after it ended
// (purged_at); files_left marks a purged request whose files were not yet removed, which is
// done after the commit and so may be cut short by a crash: the next sweep finds them by it.
// A document is purged with the last request that used it, and takes no new requests after.
// Idempotency answers hold signing links, so they are found by age and deleted too.
constexpr const char* kVersion3 = R"sql(
ALTER TABLE requests ADD COLUMN purged_at INTEGER;
ALTER TABLE requests ADD COLUMN files_left INTEGER NOT NULL DEFAULT 0;
ALTER TABLE documents ADD COLUMN purged_at INTEGER;
CREATE INDEX requests_to_purge ON requests (ended_at, id)
    WHERE purged_at IS NULL AND ended_at IS NOT NULL;
CREATE INDEX requests_files_left ON requests (id) WHERE files_left = 1;
CREATE INDEX requests_by_document ON requests (document_id, purged_at);
CREATE INDEX idempotency_by_age ON idempotency (created_at);
)sql";

// Version 4: the integrator's page a signer's page goes to after Done or Decline.
constexpr const char* kVersion4 = R"sql(
ALTER TABLE requests ADD COLUMN return_url TEXT NOT NULL DEFAULT '';
)sql";

Failure failure(ServiceCode code, const std::string& file, const std::string& what) {
    return Failure::at(kServiceDomain, static_cast<std::int64_t>(code), file, what);
}

Failure sqliteFailure(sqlite3* db, const std::string& file) {
    return failure(ServiceCode::storage, file, sqlite3_errmsg(db));
}

/// The stored version: 0 for a database with no tables; nullopt (with the failure) otherwise.
Result<int> storedVersion(sqlite3* db, const std::string& file) {
    using penwell::sqlite::prepare;
    auto tables = prepare(db,
                          "SELECT count(*), count(*) FILTER (WHERE name = 'schema_version') "
                          "FROM sqlite_schema WHERE type = 'table'");
    if (tables == nullptr || sqlite3_step(tables.get()) != SQLITE_ROW) {
        return sqliteFailure(db, file);
    }
    const int all = sqlite3_column_int(tables.get(), 0);
    const int ours = sqlite3_column_int(tables.get(), 1);
    if (all == 0) {
        return 0;
    }
    if (ours == 0) {
        return failure(ServiceCode::schema, file, "not a Penwell signing database");
    }
    auto version = prepare(db, "SELECT version FROM schema_version");
    if (version == nullptr) {
        return sqliteFailure(db, file);
    }
    const int rc = sqlite3_step(version.get());
    if (rc != SQLITE_ROW) {
        return rc == SQLITE_DONE ? failure(ServiceCode::schema, file, "no schema version")
                                 : sqliteFailure(db, file);
    }
    return sqlite3_column_int(version.get(), 0);
}

}  // namespace

const std::vector<const char*>& migrations() {
    static const std::vector<const char*> all{kVersion1, kVersion2, kVersion3, kVersion4};
    return all;
}

int schemaVersion() {
    return static_cast<int>(migrations().size());
}

MaybeFailure migrateTo(sqlite3* db, const std::string& file, int target) {
    penwell::sqlite::ImmediateTransaction transaction(db);
    if (!transaction.isOpen()) {
        return sqliteFailure(db, file);
    }
    auto version = storedVersion(db, file);
    if (!version) {
        return version.error();
    }
    if (*version > schemaVersion()) {
        return failure(ServiceCode::schema, file,
                       "the database has schema version " + std::to_string(*version) +
                           ", newer than " + std::to_string(schemaVersion()) +
                           ", the newest this penwell knows");
    }
    if (*version >= target) {
        return std::nullopt;
    }
    for (int v = *version; v < target; ++v) {
        if (sqlite3_exec(db, migrations()[static_cast<std::size_t>(v)], nullptr, nullptr,
                         nullptr) != SQLITE_OK) {
            return failure(ServiceCode::storage, file,
                           "migration to schema version " + std::to_string(v + 1) +
                               " failed: " + sqlite3_errmsg(db));
        }
    }
    const std::string update = "UPDATE schema_version SET version = " + std::to_string(target);
    if (sqlite3_exec(db, update.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK ||
        transaction.commit() != SQLITE_OK) {
        return sqliteFailure(db, file);
    }
    return std::nullopt;
}

MaybeFailure migrate(sqlite3* db, const std::string& file) {
    return migrateTo(db, file, schemaVersion());
}

}  // namespace penwell::service::sqlite
