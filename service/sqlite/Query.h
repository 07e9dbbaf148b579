#pragma once
// One prepared statement of the signing store, with binding and reading in one place. Inside
// the store's own source only: a failure throws a Refusal (platform/Result.h) naming the
// database file, which the store's public function answers as a value.

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "penwell/platform/Result.h"
#include "penwell/platform/sqlite/SqliteHandles.h"
#include "penwell/service/Model.h"

namespace penwell::service::sqlite {

/// The failure of a store operation, "<file>: <what>".
[[noreturn]] void refuse(ServiceCode code, const std::string& file, const std::string& what);
/// SQLite's own reason for the last failure on `db`, as a storage failure.
[[noreturn]] void refuseWithDatabase(sqlite3* db, const std::string& file);

/// Ids become file names, so they are held to a safe alphabet and length; `what` names the
/// kind ("request") in the invalid failure.
void checkId(const std::string& id, const char* what, const std::string& file);

class Query {
public:
    Query(sqlite3* db, const std::string& file, const char* sql);

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

    /// Steps once: true with a row to read, false when done.
    bool step();
    /// Steps to the end (a write, or a read whose rows are not wanted).
    void run();

    std::int64_t integer(int column) const;
    std::optional<std::int64_t> maybeInteger(int column) const;
    std::string text(int column) const;
    Bytes blob(int column) const;

private:
    sqlite3* db_;
    const std::string& file_;
    penwell::sqlite::Statement statement_;
};

/// Runs `body` in an IMMEDIATE transaction and commits it, answering what `body` answers; a
/// Refusal from `body` or the commit rolls everything back.
template <typename Body>
auto inTransaction(sqlite3* db, const std::string& file, Body&& body) {
    penwell::sqlite::ImmediateTransaction transaction(db);
    if (!transaction.isOpen()) {
        refuseWithDatabase(db, file);
    }
    const auto commit = [&] {
        if (transaction.commit() != SQLITE_OK) {
            refuseWithDatabase(db, file);
        }
    };
    if constexpr (std::is_void_v<std::invoke_result_t<Body&>>) {
        body();
        commit();
    } else {
        auto value = body();
        commit();
        return value;
    }
}

}  // namespace penwell::service::sqlite
