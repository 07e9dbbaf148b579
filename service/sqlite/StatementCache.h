#pragma once
// The prepared statements of one store connection, kept while the store is open. Compiling a
// statement costs more than running most of the store's: a signing link's message, say, is
// checked with three short reads and kept with three more, and compiling them all again for
// every message was half of what storing it cost. A Query on a connection that has a cache
// borrows the statement for its SQL and gives it back reset; a statement already lent out (a
// query made while another of the same text is still open) is compiled for that Query alone.

#include <sqlite3.h>

#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>

#include "penwell/platform/sqlite/SqliteHandles.h"

namespace penwell::service::sqlite {

class StatementCache {
public:
    /// At most this many statements are kept; SQL beyond them is compiled each time.
    static constexpr std::size_t kMaxStatements = 256;

    /// Made once `db` is open and gone before it closes; meanwhile every Query on `db` uses it.
    explicit StatementCache(sqlite3* db);
    ~StatementCache();
    StatementCache(const StatementCache&) = delete;
    StatementCache& operator=(const StatementCache&) = delete;

    /// The cache of `db`, or null when it has none.
    static StatementCache* of(sqlite3* db);

    /// The statement for `sql`, lent until given back; null when it cannot be lent (it is
    /// lent out already, or the cache is full): the caller then compiles its own.
    sqlite3_stmt* lend(const char* sql);
    /// Takes back a lent statement, reset and without its bindings (which may point at
    /// memory that is about to go).
    void giveBack(sqlite3_stmt* statement);

private:
    struct Kept {
        penwell::sqlite::Statement statement;
        bool lent = false;
    };

    sqlite3* db_;
    std::mutex mutex_;
    std::unordered_map<std::string, Kept> kept_;
};

}  // namespace penwell::service::sqlite
