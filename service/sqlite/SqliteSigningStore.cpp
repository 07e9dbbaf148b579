#include "penwell/service/sqlite/SqliteSigningStore.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "penwell/platform/filesystem/StagedFile.h"
#include "penwell/platform/openssl/Digests.h"
#include "penwell/platform/sqlite/SqliteHandles.h"
#include "penwell/service/sqlite/Query.h"
#include "penwell/service/sqlite/SqliteSchema.h"

namespace penwell::service::sqlite {
namespace {

using penwell::sqlite::ReadTransaction;

void syncPath(const std::filesystem::path& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    ::fsync(fd);
    ::close(fd);
}

MaybeFailure configure(sqlite3* db, const std::string& file) {
    if (db == nullptr) {
        return refusal(ServiceCode::storage, file, "SQLite could not allocate a connection");
    }
    if (sqlite3_errcode(db) != SQLITE_OK) {
        return databaseFailure(db, file);
    }
    // WAL lets readers go on while one writer commits; FULL makes each commit durable
    // before it returns, which "acknowledged means durable" stands on.
    Query wal(db, file, "PRAGMA journal_mode = WAL");
    auto row = wal.step();
    if (!row) {
        return row.error();
    }
    if (!*row || wal.text(0) != "wal") {
        return refusal(ServiceCode::storage, file, "the database cannot run in WAL mode");
    }
    if (auto failed = Query(db, file, "PRAGMA synchronous = FULL").run()) {
        return failed;
    }
    return Query(db, file, "PRAGMA foreign_keys = ON").run();
}

}  // namespace

std::filesystem::path SqliteSigningStore::databaseFile(const std::filesystem::path& folder) {
    return folder / "penwell.sqlite";
}

Result<std::unique_ptr<SqliteSigningStore>> SqliteSigningStore::open(
    const std::filesystem::path& folder) {
    const std::string file = databaseFile(folder).string();
    if (auto made = filesystem::makePrivateFolders(folder); !made) {
        return Failure::at(kServiceDomain, static_cast<std::int64_t>(ServiceCode::storage), file,
                           made.error().message);
    }
    // SQLite would make the file readable by all (0644 less the umask), and its -wal and -shm
    // files after it: made owner-only here first, they all are.
    if (const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600); fd >= 0) {
        ::close(fd);
    }
    penwell::sqlite::Database db = penwell::sqlite::connect(
        file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX);
    if (auto failed = configure(db.get(), file)) {
        return *failed;
    }
    if (auto migrated = migrate(db.get(), file)) {
        return *migrated;
    }
    return std::unique_ptr<SqliteSigningStore>(new SqliteSigningStore(folder, std::move(db)));
}

SqliteSigningStore::SqliteSigningStore(std::filesystem::path folder, penwell::sqlite::Database db)
    : folder_(std::move(folder)), file_(databaseFile(folder_).string()), db_(std::move(db)) {}

SqliteSigningStore::~SqliteSigningStore() = default;

std::filesystem::path SqliteSigningStore::documentFile(const std::string& id) const {
    return folder_ / "documents" / (id + ".pdf");
}

std::filesystem::path SqliteSigningStore::revisionFile(const std::string& requestId,
                                                       int number) const {
    return folder_ / "revisions" / requestId / (std::to_string(number) + ".pdf");
}

MaybeFailure SqliteSigningStore::writeFile(const std::filesystem::path& file, ByteView bytes) {
    const auto fail = [&](const Failure& f) {
        return refusal(ServiceCode::storage, file_, f.message);
    };
    if (auto made = filesystem::makePrivateFolders(file.parent_path()); !made) {
        return fail(made.error());
    }
    auto staged = filesystem::StagedFile::create(file);
    if (!staged) {
        return fail(staged.error());
    }
    if (auto failed = staged->write(bytes)) {
        return fail(*failed);
    }
    // The row that names the file commits after this, so the bytes must be on disk first.
    syncPath(staged->temporary(), O_RDONLY);
    if (auto failed = staged->commit()) {
        return fail(*failed);
    }
    syncPath(file.parent_path(), O_RDONLY | O_DIRECTORY);
    return std::nullopt;
}

Result<Bytes> SqliteSigningStore::readChecked(const std::filesystem::path& file,
                                              const std::string& sha256) {
    // Documents are at most what the API accepts (256 MiB) and some room above it.
    auto bytes = filesystem::readFile(file, std::uint64_t{1} << 30, "a stored document");
    if (!bytes) {
        return refusal(ServiceCode::storage, file_, bytes.error().message);
    }
    if (hexDigits(openssl::sha256(*bytes)) != sha256) {
        return refusal(ServiceCode::storage, file_,
                       file.string() + " does not match the SHA-256 recorded for it");
    }
    return std::move(*bytes);
}

MaybeFailure SqliteSigningStore::addDocument(const Document& document, ByteView pdf) {
    std::lock_guard lock(mutex_);
    if (auto invalid = checkId(document.id, "document", file_)) {
        return invalid;
    }
    return inTransaction(db_.get(), file_, [&]() -> MaybeFailure {
        Query taken(db_.get(), file_, "SELECT 1 FROM documents WHERE id = ?");
        if (auto failed =
                taken.bind(1, document.id)
                    .expectNoRow(refusal(ServiceCode::conflict, file_,
                                         "document " + document.id + " exists already"))) {
            return failed;
        }
        if (auto failed = writeFile(documentFile(document.id), pdf)) {
            return failed;
        }
        return Query(db_.get(), file_,
                     "INSERT INTO documents (id, sha256, size, pages, created_at) "
                     "VALUES (?, ?, ?, ?, ?)")
            .bindAll(document.id, document.sha256, document.size, std::int64_t{document.pages},
                     document.createdAt)
            .run();
    });
}

Result<Document> SqliteSigningStore::document(const std::string& id) {
    std::lock_guard lock(mutex_);
    Query select(db_.get(), file_,
                 "SELECT sha256, size, pages, created_at FROM documents WHERE id = ?");
    if (auto failed = select.bind(1, id).expectRow(
            refusal(ServiceCode::notFound, file_, "no document " + id))) {
        return *failed;
    }
    return Document{id, select.text(0), select.integer(1), static_cast<int>(select.integer(2)),
                    select.integer(3)};
}

Result<Bytes> SqliteSigningStore::documentBytes(const std::string& id) {
    std::lock_guard lock(mutex_);
    Query select(db_.get(), file_, "SELECT sha256, purged_at FROM documents WHERE id = ?");
    if (auto failed = select.bind(1, id).expectRow(
            refusal(ServiceCode::notFound, file_, "no document " + id))) {
        return *failed;
    }
    if (select.maybeInteger(1)) {
        return refusal(ServiceCode::notFound, file_,
                       "document " + id + " was deleted after the retention period; upload it again");
    }
    return readChecked(documentFile(id), select.text(0));
}

Result<std::vector<Revision>> SqliteSigningStore::revisions(const std::string& requestId) {
    std::lock_guard lock(mutex_);
    ReadTransaction snapshot(db_.get());
    if (auto known = loadRequest(requestId); !known) {
        return known.error();
    }
    Query select(db_.get(), file_,
                 "SELECT number, sha256, created_at FROM revisions WHERE request_id = ? "
                 "ORDER BY number");
    select.bind(1, requestId);
    std::vector<Revision> all;
    if (auto failed = select.eachRow([&] {
            all.push_back({static_cast<int>(select.integer(0)), select.text(1), select.integer(2)});
        })) {
        return *failed;
    }
    return all;
}

Result<Bytes> SqliteSigningStore::revisionBytes(const std::string& requestId, int number) {
    std::lock_guard lock(mutex_);
    Query select(db_.get(), file_,
                 "SELECT v.sha256, r.document_id FROM revisions v JOIN requests r "
                 "ON r.id = v.request_id WHERE v.request_id = ? AND v.number = ?");
    if (auto failed = select.bind(1, requestId)
                          .bind(2, std::int64_t{number})
                          .expectRow(refusal(ServiceCode::notFound, file_,
                                             "request " + requestId + " has no revision " +
                                                 std::to_string(number)))) {
        return *failed;
    }
    const auto file = number == 0 ? documentFile(select.text(1)) : revisionFile(requestId, number);
    return readChecked(file, select.text(0));
}

}  // namespace penwell::service::sqlite
