#pragma once
// The RAII owners and small helpers every SQLite user in Penwell shares: a prepared statement,
// a connection opened with extended codes and a busy timeout, binding and reading columns, and
// an IMMEDIATE transaction that rolls back unless committed. Private to the backends that use
// SQLite (it includes sqlite3.h); not installed.

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "penwell/platform/Bytes.h"
#include "penwell/platform/CHandle.h"
#include "penwell/platform/sqlite/SqliteDatabase.h"

namespace penwell::sqlite {

/// A prepared statement, finalised when its owner goes.
void finalizeStatement(sqlite3_stmt* statement) noexcept;
using Statement = CHandle<sqlite3_stmt, finalizeStatement>;

/// Long enough to wait out another writer's transaction (a few short inserts) even on a slow
/// disk, short enough that a wedged writer does not hang the caller for good.
inline constexpr int kBusyTimeoutMilliseconds = 10'000;

/// Opens `name` with `flags` (SQLITE_OPEN_*), extended result codes on and the busy timeout
/// set. The handle exists even when the open fails and must be closed all the same, so it is
/// answered either way; the failure shows at its first statement, or through
/// sqlite3_errcode on the returned handle. Null only when SQLite could not allocate one.
Database connect(const std::string& name, int flags);

/// The statement for `sql`, or null (the reason is then sqlite3_errmsg(db)).
Statement prepare(sqlite3* db, const char* sql);

/// Bind a copy-free text or blob (the bytes must outlive the statement's next step); false
/// when the value is longer than SQLite takes or the index is out of range.
bool bindText(sqlite3_stmt* statement, int index, std::string_view text);
bool bindBlob(sqlite3_stmt* statement, int index, ByteView blob);

/// A column's bytes (empty for NULL) and its text (empty for NULL).
Bytes columnBlob(sqlite3_stmt* statement, int column);
std::string columnText(sqlite3_stmt* statement, int column);

/// A transaction that rolls back unless committed. `begin` is the statement that opens it.
class Transaction {
public:
    Transaction(sqlite3* db, const char* begin)
        : db_(db), open_(sqlite3_exec(db, begin, nullptr, nullptr, nullptr) == SQLITE_OK) {}
    ~Transaction() {
        if (open_) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

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

/// A write transaction. IMMEDIATE takes the write lock at BEGIN, where the busy timeout
/// applies; a deferred transaction would take it at the first write and could fail there at
/// once with SQLITE_BUSY when another process is writing.
class ImmediateTransaction : public Transaction {
public:
    explicit ImmediateTransaction(sqlite3* db) : Transaction(db, "BEGIN IMMEDIATE") {}
};

/// A read transaction: every statement inside it sees one snapshot of the database (in WAL
/// mode readers do not wait for the writer, nor the writer for them). Rolled back when it goes.
class ReadTransaction : public Transaction {
public:
    explicit ReadTransaction(sqlite3* db) : Transaction(db, "BEGIN") {}
};

}  // namespace penwell::sqlite
