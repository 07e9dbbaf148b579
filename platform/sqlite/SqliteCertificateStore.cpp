#include "platform/sqlite/SqliteCertificateStore.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <system_error>
#include <utility>

namespace penwell::sqlite {

void detail::closeDatabase(sqlite3* db) noexcept {
    // _v2 defers the close until every statement is finalised instead of failing.
    sqlite3_close_v2(db);
}

namespace {

void finalizeStatement(sqlite3_stmt* statement) noexcept {
    sqlite3_finalize(statement);
}
using Statement = CHandle<sqlite3_stmt, finalizeStatement>;

// Long enough to wait out another process's add (a single short insert) even on a slow disk,
// short enough that a wedged writer does not hang the caller for good.
constexpr int kBusyTimeoutMilliseconds = 10'000;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS entries ("
    " id INTEGER PRIMARY KEY,"
    " class TEXT NOT NULL,"
    " label TEXT NOT NULL,"
    " der BLOB NOT NULL UNIQUE,"
    " persistent_ref BLOB NOT NULL UNIQUE);"
    "CREATE INDEX IF NOT EXISTS entries_by_class_and_label ON entries (class, label);";

std::string_view className(ItemClass itemClass) {
    switch (itemClass) {
        case ItemClass::certificate:
            return "certificate";
    }
    return {};
}

void report(Error* error, std::int64_t code) {
    if (error != nullptr) {
        *error = Error{std::string(kErrorDomain), code};
    }
}

Statement prepare(sqlite3* db, const char* sql) {
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
    return Statement(raw);
}

bool bindText(sqlite3_stmt* statement, int index, std::string_view text) {
    return text.size() <= static_cast<std::size_t>(INT_MAX) &&
           sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                             SQLITE_STATIC) == SQLITE_OK;
}

bool bindBlob(sqlite3_stmt* statement, int index, ByteView blob) {
    return blob.size() <= static_cast<std::size_t>(INT_MAX) &&
           sqlite3_bind_blob(statement, index, blob.data(), static_cast<int>(blob.size()),
                             SQLITE_STATIC) == SQLITE_OK;
}

Bytes columnBlob(sqlite3_stmt* statement, int column) {
    const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement, column));
    const int size = sqlite3_column_bytes(statement, column);
    if (data == nullptr || size <= 0) {
        return {};
    }
    return Bytes(data, data + size);
}

/// An IMMEDIATE transaction that rolls back unless committed. IMMEDIATE takes the write lock at
/// BEGIN, where the busy timeout applies; a deferred transaction would take it at the first
/// write and could fail there at once with SQLITE_BUSY when another process is writing.
class ImmediateTransaction {
public:
    explicit ImmediateTransaction(sqlite3* db)
        : db_(db),
          open_(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK) {}
    ~ImmediateTransaction() {
        if (open_) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    ImmediateTransaction(const ImmediateTransaction&) = delete;
    ImmediateTransaction& operator=(const ImmediateTransaction&) = delete;

    bool isOpen() const noexcept { return open_; }

    int commit() {
        const int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) {
            open_ = false;
        }
        return rc;
    }

private:
    sqlite3* db_;
    bool open_;
};

/// Creates each missing folder on the way to `folder` with owner-only access. Folders that
/// already exist are left as they are. Returns 0 or the errno of the failure.
int makeFolders(const std::filesystem::path& folder) {
    std::filesystem::path partial;
    for (const auto& part : folder) {
        partial /= part;
        if (::mkdir(partial.c_str(), 0700) == 0) {
            // mkdir's mode passes through the umask; insist on exactly owner-only.
            if (::chmod(partial.c_str(), 0700) != 0) {
                return errno;
            }
        } else if (errno != EEXIST) {
            return errno;
        }
    }
    std::error_code ec;
    return std::filesystem::is_directory(folder, ec) ? 0 : ENOTDIR;
}

}  // namespace

std::shared_ptr<SqliteCertificateStore> SqliteCertificateStore::open(
    const std::filesystem::path& file, std::shared_ptr<const CertificateServices> services,
    Error* error) {
    if (file.empty() || services == nullptr) {
        report(error, SQLITE_MISUSE);
        return nullptr;
    }
    if (file.has_parent_path()) {
        if (const int failure = makeFolders(file.parent_path()); failure != 0) {
            report(error, failure);
            return nullptr;
        }
    }

    sqlite3* raw = nullptr;
    const int opened =
        sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    // The handle exists even when the open fails and must be closed all the same.
    detail::Database db(raw);
    if (opened != SQLITE_OK) {
        report(error, db != nullptr ? sqlite3_extended_errcode(db.get()) : opened);
        return nullptr;
    }
    sqlite3_extended_result_codes(db.get(), 1);
    sqlite3_busy_timeout(db.get(), kBusyTimeoutMilliseconds);

    // WAL lets lookups proceed while another process adds, and its commit is a single append,
    // so a writer killed halfway leaves frames that readers simply ignore. If the mode cannot
    // be set (a file system without shared memory), the rollback journal still keeps every
    // add atomic, just with readers and writers taking turns.
    sqlite3_exec(db.get(), "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    // FULL makes a committed add survive a power cut, not only a crash; adds are rare.
    sqlite3_exec(db.get(), "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);

    {
        ImmediateTransaction transaction(db.get());
        int rc = transaction.isOpen() ? sqlite3_exec(db.get(), kSchema, nullptr, nullptr, nullptr)
                                      : sqlite3_extended_errcode(db.get());
        if (rc == SQLITE_OK) {
            rc = transaction.commit();
        }
        if (rc != SQLITE_OK) {
            report(error, sqlite3_extended_errcode(db.get()));
            return nullptr;
        }
    }
    return std::shared_ptr<SqliteCertificateStore>(
        new SqliteCertificateStore(std::move(db), std::move(services)));
}

std::optional<std::filesystem::path> SqliteCertificateStore::defaultPath() {
    // The XDG base directory rules say a relative XDG_DATA_HOME is invalid and to be ignored.
    if (const char* dataHome = std::getenv("XDG_DATA_HOME");
        dataHome != nullptr && std::filesystem::path(dataHome).is_absolute()) {
        return std::filesystem::path(dataHome) / "penwell" / "certificates.sqlite";
    }
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return std::filesystem::path(home) / ".local" / "share" / "penwell" / "certificates.sqlite";
    }
    return std::nullopt;
}

std::shared_ptr<SqliteCertificateStore> SqliteCertificateStore::openDefault(
    std::shared_ptr<const CertificateServices> services, Error* error) {
    const auto path = defaultPath();
    if (!path) {
        report(error, SQLITE_CANTOPEN);
        return nullptr;
    }
    return open(*path, std::move(services), error);
}

SqliteCertificateStore::SqliteCertificateStore(detail::Database db,
                                               std::shared_ptr<const CertificateServices> services)
    : db_(std::move(db)), services_(std::move(services)) {}

SqliteCertificateStore::~SqliteCertificateStore() = default;

CopyMatchingResult SqliteCertificateStore::copyMatching(ItemClass itemClass,
                                                        std::string_view label) const {
    const std::lock_guard lock(mutex_);
    // The oldest entry wins, so the answer does not change when later ones are added. An entry
    // that no longer parses is passed over: left in front, it would hide every later entry
    // with the same label for good.
    Statement select =
        prepare(db_.get(), "SELECT der FROM entries WHERE class = ?1 AND label = ?2 ORDER BY id");
    if (select == nullptr) {
        return {errSecIO, nullptr};
    }
    if (!bindText(select.get(), 1, className(itemClass)) || !bindText(select.get(), 2, label)) {
        return {errSecParam, nullptr};
    }
    Status status = errSecItemNotFound;
    for (int rc = sqlite3_step(select.get()); rc != SQLITE_DONE; rc = sqlite3_step(select.get())) {
        if (rc != SQLITE_ROW) {
            return {errSecIO, nullptr};
        }
        if (auto certificate = services_->createCertificateWithData(columnBlob(select.get(), 0))) {
            return {errSecSuccess, std::move(certificate)};
        }
        status = errSecDecode;
    }
    return {status, nullptr};
}

AddResult SqliteCertificateStore::add(const Certificate& certificate) {
    // Computed before the write lock is taken, to keep the locked span short.
    const std::string label = certificate.subjectSummary();
    const Bytes der = certificate.derData();
    if (der.empty()) {
        return {errSecParam, {}};
    }

    const std::lock_guard lock(mutex_);
    ImmediateTransaction transaction(db_.get());
    if (!transaction.isOpen()) {
        return {errSecIO, {}};
    }
    Bytes persistentRef;
    {
        Statement insert = prepare(db_.get(),
                                   "INSERT INTO entries (class, label, der, persistent_ref)"
                                   " VALUES (?1, ?2, ?3, randomblob(16)) RETURNING persistent_ref");
        if (insert == nullptr) {
            return {errSecIO, {}};
        }
        if (!bindText(insert.get(), 1, className(ItemClass::certificate)) ||
            !bindText(insert.get(), 2, label) || !bindBlob(insert.get(), 3, der)) {
            return {errSecParam, {}};
        }
        int rc = sqlite3_step(insert.get());
        if (rc == SQLITE_ROW) {
            persistentRef = columnBlob(insert.get(), 0);
            rc = sqlite3_step(insert.get());
        }
        // The der column is unique; a clash of the 16 random persistent_ref bytes would land
        // here too but is not a practical concern.
        if (rc == SQLITE_CONSTRAINT_UNIQUE) {
            return {errSecDuplicateItem, {}};
        }
        if (rc != SQLITE_DONE || persistentRef.empty()) {
            return {errSecIO, {}};
        }
    }
    if (transaction.commit() != SQLITE_OK) {
        return {errSecIO, {}};
    }
    return {errSecSuccess, std::move(persistentRef)};
}

}  // namespace penwell::sqlite
