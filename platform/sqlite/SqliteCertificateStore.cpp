#include "penwell/platform/sqlite/SqliteCertificateStore.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <system_error>
#include <utility>

#include "penwell/platform/filesystem/StagedFile.h"
#include "penwell/platform/sqlite/SqliteHandles.h"

namespace penwell::sqlite {

namespace {

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

std::string errnoText(int error) {
    return std::generic_category().message(error);
}

/// What a database file holds.
enum class Shape {
    empty,    ///< no tables at all: a new file, or one whose first add has not committed yet
    store,    ///< the entries table, column for column
    foreign,  ///< anything else: another program's database, which is never written to
};

/// Reads the file's shape; answers SQLite's status (a file that is not a database fails here).
int readShape(sqlite3* db, Shape& shape) {
    Statement columns = prepare(db, "SELECT name FROM pragma_table_info('entries')");
    if (columns == nullptr) {
        return sqlite3_extended_errcode(db);
    }
    std::string names;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(columns.get())) == SQLITE_ROW) {
        const auto* name = sqlite3_column_text(columns.get(), 0);
        names += names.empty() ? "" : ",";
        names += name != nullptr ? reinterpret_cast<const char*>(name) : "";
    }
    if (rc != SQLITE_DONE) {
        return sqlite3_extended_errcode(db);
    }
    if (!names.empty()) {
        shape = names == "id,class,label,der,persistent_ref" ? Shape::store : Shape::foreign;
        return SQLITE_OK;
    }
    Statement tables = prepare(db, "SELECT count(*) FROM sqlite_schema");
    if (tables == nullptr || sqlite3_step(tables.get()) != SQLITE_ROW) {
        return sqlite3_extended_errcode(db);
    }
    shape = sqlite3_column_int(tables.get(), 0) == 0 ? Shape::empty : Shape::foreign;
    return SQLITE_OK;
}

/// `file` as an SQLite URI that opens it immutable: read without locks or the WAL's
/// shared-memory file.
std::string immutableUri(const std::filesystem::path& file) {
    std::string uri = "file:";
    for (const char c : std::filesystem::absolute(file).string()) {
        switch (c) {
            case '%':
                uri += "%25";
                break;
            case '?':
                uri += "%3f";
                break;
            case '#':
                uri += "%23";
                break;
            default:
                uri += c;
        }
    }
    return uri + "?immutable=1";
}

constexpr const char* kForeign =
    "not a Penwell certificate store (it holds other tables, or an entries table of another "
    "shape)";

}  // namespace

Result<std::shared_ptr<SqliteCertificateStore>> SqliteCertificateStore::open(
    const std::filesystem::path& file, std::shared_ptr<const CertificateServices> services) {
    auto store = openOnFirstUse(file, std::move(services));
    if (store == nullptr) {
        return Failure::at(kSqliteErrorDomain, SQLITE_MISUSE,
                           file.empty() ? "the certificate store" : file.string(),
                           file.empty() ? "no file named" : "no certificate services to read it");
    }
    const std::lock_guard lock(store->mutex_);
    if (!store->connectForReading()) {
        return Failure::at(kSqliteErrorDomain, store->failureCode_, store->failure_->file,
                           store->failure_->reason);
    }
    return store;
}

std::shared_ptr<SqliteCertificateStore> SqliteCertificateStore::openOnFirstUse(
    std::filesystem::path file, std::shared_ptr<const CertificateServices> services) {
    if (file.empty() || services == nullptr) {
        return nullptr;
    }
    return std::shared_ptr<SqliteCertificateStore>(
        new SqliteCertificateStore(std::move(file), std::move(services)));
}

std::shared_ptr<SqliteCertificateStore> SqliteCertificateStore::openInMemory(
    std::shared_ptr<const CertificateServices> services) {
    if (services == nullptr) {
        return nullptr;
    }
    std::shared_ptr<SqliteCertificateStore> store(
        new SqliteCertificateStore({}, std::move(services)));
    store->db_ = connect(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    if (store->db_ == nullptr ||
        sqlite3_exec(store->db_.get(), kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
        return nullptr;
    }
    store->writable_ = true;
    return store;
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

Result<std::shared_ptr<SqliteCertificateStore>> SqliteCertificateStore::openDefault(
    std::shared_ptr<const CertificateServices> services) {
    const auto path = defaultPath();
    if (!path) {
        return Failure::at(kSqliteErrorDomain, SQLITE_CANTOPEN, "the certificate store",
                           "no file for it: neither XDG_DATA_HOME nor HOME is set");
    }
    return open(*path, std::move(services));
}

SqliteCertificateStore::SqliteCertificateStore(std::filesystem::path file,
                                               std::shared_ptr<const CertificateServices> services)
    : file_(std::move(file)), services_(std::move(services)) {}

SqliteCertificateStore::~SqliteCertificateStore() = default;

bool SqliteCertificateStore::fail(std::int64_t code, std::string reason) const {
    failureCode_ = code;
    failure_ = StoreFailure{name(), std::move(reason)};
    return false;
}

bool SqliteCertificateStore::failWithDatabase(sqlite3* db, const char* doing) const {
    if (db == nullptr) {
        return fail(SQLITE_NOMEM, std::string(doing) + ": " + sqlite3_errstr(SQLITE_NOMEM));
    }
    const int code = sqlite3_extended_errcode(db);
    std::string reason = std::string(doing) + ": " + sqlite3_errmsg(db);
    if ((code & 0xff) == SQLITE_BUSY) {
        reason += " (another process holds its lock)";
    }
    return fail(code, std::move(reason));
}

bool SqliteCertificateStore::connectForReading() const {
    struct stat info {};
    if (::stat(file_.c_str(), &info) != 0) {
        // No file yet is an empty store; the first add makes it. Anything else (the path
        // runs through a file, a folder on the way cannot be searched) is a fault.
        return errno == ENOENT ||
               fail(errno, "cannot read the certificate store: " + errnoText(errno));
    }
    if (S_ISDIR(info.st_mode)) {
        return fail(EISDIR, "is a folder, not a certificate store file");
    }
    if (!S_ISREG(info.st_mode)) {
        return fail(EINVAL, "is not a regular file, so not a certificate store");
    }
    Shape shape = Shape::empty;
    Database db = connect(file_.string(), SQLITE_OPEN_READONLY);
    int rc = db != nullptr ? readShape(db.get(), shape) : SQLITE_NOMEM;
    std::error_code ec;
    if ((rc == SQLITE_READONLY_DIRECTORY || (rc & 0xff) == SQLITE_CANTOPEN) &&
        !std::filesystem::exists(file_.string() + "-wal", ec)) {
        // A WAL database is read through a shared-memory file beside it, which a folder this
        // process may not write cannot take. With no WAL file the database file holds every
        // committed add, so read it as immutable: without that file and without locks.
        db = connect(immutableUri(file_), SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
        rc = db != nullptr ? readShape(db.get(), shape) : SQLITE_NOMEM;
    }
    if (rc != SQLITE_OK) {
        return failWithDatabase(db.get(), "cannot read the certificate store");
    }
    if (shape == Shape::foreign) {
        return fail(SQLITE_NOTADB, kForeign);
    }
    db_ = std::move(db);
    return true;
}

bool SqliteCertificateStore::connectForWriting() {
    if (writable_) {
        return true;
    }
    if (file_.has_parent_path()) {
        std::filesystem::path folder;
        if (const auto made = filesystem::makePrivateFolders(file_.parent_path(), &folder); !made) {
            const int failure = static_cast<int>(made.error().code);
            return fail(failure, "cannot create the store's folder " + folder.string() + ": " +
                                     errnoText(failure));
        }
    }
    std::error_code ec;
    if (std::filesystem::is_directory(file_, ec)) {
        return fail(EISDIR, "is a folder, not a certificate store file");
    }
    // SQLite would create the file readable by all, and its journals copy the file's mode:
    // made owner-only here first, the store and its journals stay so.
    if (const int fd = ::open(file_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        fd >= 0) {
        ::close(fd);
    }
    Database db = connect(file_.string(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    Shape shape = Shape::empty;
    if (db == nullptr || readShape(db.get(), shape) != SQLITE_OK) {
        return failWithDatabase(db.get(), "cannot read the certificate store");
    }
    if (shape == Shape::foreign) {
        return fail(SQLITE_NOTADB, kForeign);
    }
    // WAL lets lookups proceed while another process adds, and its commit is a single append,
    // so a writer killed halfway leaves frames that readers simply ignore. If the mode cannot
    // be set (a file system without shared memory), the rollback journal still keeps every
    // add atomic, just with readers and writers taking turns.
    sqlite3_exec(db.get(), "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    // FULL makes a committed add survive a power cut, not only a crash; adds are rare.
    sqlite3_exec(db.get(), "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
    db_ = std::move(db);
    writable_ = true;
    return true;
}

std::string SqliteCertificateStore::name() const {
    return file_.empty() ? "(certificate store in memory)" : file_.string();
}

std::optional<StoreFailure> SqliteCertificateStore::lastFailure() const {
    const std::lock_guard lock(mutex_);
    return failure_;
}

CopyMatchingResult SqliteCertificateStore::copyMatching(ItemClass itemClass,
                                                        std::string_view label) const {
    const std::lock_guard lock(mutex_);
    failure_.reset();
    if (db_ == nullptr && !connectForReading()) {
        return {errSecIO, nullptr};
    }
    if (db_ == nullptr) {
        return {errSecItemNotFound, nullptr};  // no file yet
    }
    // The oldest entry wins, so the answer does not change when later ones are added. An entry
    // that no longer parses is passed over: left in front, it would hide every later entry
    // with the same label for good.
    constexpr const char* kLookup =
        "SELECT der FROM entries WHERE class = ?1 AND label = ?2 ORDER BY id";
    Statement select = prepare(db_.get(), kLookup);
    if (select == nullptr) {
        // Until the first add commits, the file holds no table: an empty store. Another
        // process's first add may commit between the failed prepare and the shape check; then
        // the table is Penwell's and the lookup simply runs again.
        Shape shape = Shape::foreign;
        if (readShape(db_.get(), shape) != SQLITE_OK) {
            failWithDatabase(db_.get(), "cannot read the certificate store");
            return {errSecIO, nullptr};
        }
        if (shape == Shape::empty) {
            return {errSecItemNotFound, nullptr};
        }
        if (shape == Shape::foreign) {
            fail(SQLITE_NOTADB, kForeign);
            return {errSecIO, nullptr};
        }
        select = prepare(db_.get(), kLookup);
        if (select == nullptr) {
            failWithDatabase(db_.get(), "cannot read the certificate store");
            return {errSecIO, nullptr};
        }
    }
    if (!bindText(select.get(), 1, className(itemClass)) || !bindText(select.get(), 2, label)) {
        return {errSecParam, nullptr};
    }
    Status status = errSecItemNotFound;
    for (int rc = sqlite3_step(select.get()); rc != SQLITE_DONE; rc = sqlite3_step(select.get())) {
        if (rc != SQLITE_ROW) {
            failWithDatabase(db_.get(), "cannot read the certificate store");
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
    failure_.reset();
    if (!connectForWriting()) {
        return {errSecIO, {}};
    }
    constexpr const char* kAdding = "cannot add to the certificate store";
    ImmediateTransaction transaction(db_.get());
    // The table is made in the same transaction as the first entry, so a lookup never sees a
    // store that was begun and not finished.
    if (!transaction.isOpen() ||
        sqlite3_exec(db_.get(), kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
        failWithDatabase(db_.get(), kAdding);
        return {errSecIO, {}};
    }
    Bytes persistentRef;
    {
        Statement insert = prepare(db_.get(),
                                   "INSERT INTO entries (class, label, der, persistent_ref)"
                                   " VALUES (?1, ?2, ?3, randomblob(16)) RETURNING persistent_ref");
        if (insert == nullptr) {
            failWithDatabase(db_.get(), kAdding);
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
            failWithDatabase(db_.get(), kAdding);
            return {errSecIO, {}};
        }
    }
    if (transaction.commit() != SQLITE_OK) {
        failWithDatabase(db_.get(), kAdding);
        return {errSecIO, {}};
    }
    return {errSecSuccess, std::move(persistentRef)};
}

}  // namespace penwell::sqlite
