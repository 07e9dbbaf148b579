// Kept statements: a query inside another of the same text, bindings that must not leak into
// the next query, and more SQL texts than the cache keeps.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "penwell/platform/sqlite/SqliteHandles.h"
#include "penwell/service/sqlite/Query.h"

namespace penwell::service::sqlite {
namespace {

const std::string kFile = "memory";

std::vector<std::int64_t> column(sqlite3* db, const char* sql, std::optional<std::int64_t> at) {
    std::vector<std::int64_t> out;
    Query q(db, kFile, sql);
    if (at) {
        q.bind(1, *at);
    }
    EXPECT_FALSE(q.eachRow([&] { out.push_back(q.integer(0)); }));
    return out;
}

TEST(StatementCache, NestedQueriesBindingsAndAFullCacheAllReadWhatTheyAsk) {
    penwell::sqlite::Database db = penwell::sqlite::connect(":memory:", SQLITE_OPEN_READWRITE);
    ASSERT_EQ(
        sqlite3_exec(db.get(), "CREATE TABLE t (x INTEGER); INSERT INTO t VALUES (1), (2), (3)",
                     nullptr, nullptr, nullptr),
        SQLITE_OK);
    StatementCache cache(db.get());
    ASSERT_EQ(StatementCache::of(db.get()), &cache);
    const char* kAll = "SELECT x FROM t ORDER BY x";
    // The same text inside a query still open compiles its own statement.
    std::vector<std::vector<std::int64_t>> inner;
    Query outer(db.get(), kFile, kAll);
    ASSERT_FALSE(outer.eachRow([&] { inner.push_back(column(db.get(), kAll, std::nullopt)); }));
    EXPECT_EQ(inner, (std::vector<std::vector<std::int64_t>>(3, {1, 2, 3})));
    // A binding of one query is gone for the next: NULL matches nothing.
    const char* kAt = "SELECT x FROM t WHERE x = ?";
    EXPECT_EQ(column(db.get(), kAt, 2), std::vector<std::int64_t>{2});
    EXPECT_EQ(column(db.get(), kAt, std::nullopt), std::vector<std::int64_t>{});
    // Past kMaxStatements texts, queries compile their own and read the same.
    for (std::size_t i = 0; i < StatementCache::kMaxStatements + 10; ++i) {
        const std::string sql = "SELECT x + " + std::to_string(i) + " FROM t WHERE x = ?";
        EXPECT_EQ(column(db.get(), sql.c_str(), 3),
                  std::vector<std::int64_t>{3 + static_cast<std::int64_t>(i)});
    }
    // A failure to compile is the query's, named with SQLite's reason.
    Query broken(db.get(), kFile, "SELECT y FROM nowhere");
    const auto failed = broken.run();
    ASSERT_TRUE(failed);
    EXPECT_NE(failed->message.find("no such table: nowhere"), std::string::npos) << failed->message;
}

TEST(StatementCache, AConnectionWithoutOneCompilesEachTime) {
    penwell::sqlite::Database db = penwell::sqlite::connect(":memory:", SQLITE_OPEN_READWRITE);
    { StatementCache gone(db.get()); }
    EXPECT_EQ(StatementCache::of(db.get()), nullptr);
    EXPECT_EQ(column(db.get(), "SELECT 7", std::nullopt), std::vector<std::int64_t>{7});
}

}  // namespace
}  // namespace penwell::service::sqlite
