#pragma once
// One prepared statement of the signing store, with binding and reading in one place. A failure
// to prepare or to bind is kept and answered by the next step() or run(), so that a chain
// `Query(...).bindAll(...).run()` is checked once; every failure names the database file.

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "penwell/platform/Result.h"
#include "penwell/platform/sqlite/SqliteHandles.h"
#include "penwell/service/Model.h"
#include "penwell/service/sqlite/StatementCache.h"

namespace penwell::service::sqlite {

/// The failure of a store operation, "<file>: <what>".
Failure refusal(ServiceCode code, const std::string& file, const std::string& what);
/// SQLite's own reason for the last failure on `db`, as a storage failure.
Failure databaseFailure(sqlite3* db, const std::string& file);

/// Ids become file names, so they are held to a safe alphabet and length; `what` names the
/// kind ("request") in the invalid failure.
MaybeFailure checkId(const std::string& id, const char* what, const std::string& file);

/// Appends one audit event of a request, numbered and chained already (Writes.h): the trail's
/// one INSERT, for every step that writes to it.
MaybeFailure insertEvent(sqlite3* db, const std::string& file, const std::string& requestId,
                         const AuditEvent& event);

class Query {
public:
    /// The statement for `sql`: the connection's kept one when it has a StatementCache.
    Query(sqlite3* db, const std::string& file, const char* sql);
    ~Query();
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    Query& bind(int index, std::string_view text);
    Query& bind(int index, ByteView blob);
    Query& bind(int index, std::int64_t value);
    Query& bind(int index, std::optional<std::int64_t> value);

    /// Binds `values` to the parameters 1, 2, ... in order.
    template <typename... Values>
    Query& bindAll(const Values&... values) {
        int index = 0;
        (bind(++index, values), ...);
        return *this;
    }

    /// Steps once: true with a row to read, false when done; the failure of the step, or of
    /// an earlier prepare or bind.
    Result<bool> step();
    /// Steps to the end (a write, or a read whose rows are not wanted).
    MaybeFailure run();
    /// Steps through every row, calling `read()` on each (it reads the columns): the first
    /// failure, with the rows before it read.
    template <typename Read>
    MaybeFailure eachRow(Read&& read) {
        for (;;) {
            auto row = step();
            if (!row) {
                return row.error();
            }
            if (!*row) {
                return std::nullopt;
            }
            read();
        }
    }
    /// Steps once and expects a row: the step's failure, or `missing` when there is none.
    MaybeFailure expectRow(const Failure& missing);
    /// Steps once and expects no row: the step's failure, or `present` when there is one.
    MaybeFailure expectNoRow(const Failure& present);

    std::int64_t integer(int column) const;
    std::optional<std::int64_t> maybeInteger(int column) const;
    std::string text(int column) const;
    Bytes blob(int column) const;

private:
    void keepFailure(bool ok);
    sqlite3_stmt* statement() const { return lent_ != nullptr ? lent_ : statement_.get(); }

    sqlite3* db_;
    const std::string& file_;
    StatementCache* cache_ = nullptr;
    sqlite3_stmt* lent_ = nullptr;  // the cache's, given back when the query goes
    penwell::sqlite::Statement statement_;
    MaybeFailure failure_;
};

/// Runs `body` (answering a Result<T> or a MaybeFailure) in an IMMEDIATE transaction and
/// commits it when `body` succeeded, answering what `body` answers; a failure of `body` or of
/// the commit rolls everything back.
template <typename Body>
auto inTransaction(sqlite3* db, const std::string& file, Body&& body) {
    using Answer = std::invoke_result_t<Body&>;
    penwell::sqlite::ImmediateTransaction transaction(db);
    if (!transaction.isOpen()) {
        return Answer(databaseFailure(db, file));
    }
    Answer answer = body();
    if constexpr (std::is_same_v<Answer, MaybeFailure>) {
        if (answer) {
            return answer;
        }
    } else if (!answer) {
        return answer;
    }
    if (transaction.commit() != SQLITE_OK) {
        return Answer(databaseFailure(db, file));
    }
    return answer;
}

}  // namespace penwell::service::sqlite
