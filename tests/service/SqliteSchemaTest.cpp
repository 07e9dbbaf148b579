// The database's schema: made fresh, migrated forward from version 1, and refused when it is
// newer, foreign or damaged.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <thread>

#include "StoreFixtures.h"
#include "penwell/platform/sqlite/SqliteHandles.h"
#include "penwell/service/sqlite/SqliteSchema.h"

namespace penwell::service {
namespace {

using penwell::sqlite::connect;
using penwell::sqlite::Database;
using testing::openStore;
using testing::SqliteSigningStore;

std::string fileIn(const test::TempDir& dir) {
    return SqliteSigningStore::databaseFile(dir.path()).string();
}

void exec(sqlite3* db, const std::string& sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string text = message != nullptr ? message : "?";
        sqlite3_free(message);
        FAIL() << sql << ": " << text;
    }
}

int versionOf(const std::string& file) {
    Database db = connect(file, SQLITE_OPEN_READONLY);
    auto select = penwell::sqlite::prepare(db.get(), "SELECT version FROM schema_version");
    EXPECT_EQ(sqlite3_step(select.get()), SQLITE_ROW);
    return sqlite3_column_int(select.get(), 0);
}

TEST(SqliteSchema, AFreshFolderGetsTheNewestSchemaInWalMode) {
    test::TempDir dir;
    const auto folder = dir.path() / "data" / "service";  // folders made as needed
    ASSERT_TRUE(openStore(folder));
    const std::string file = SqliteSigningStore::databaseFile(folder).string();
    EXPECT_EQ(versionOf(file), sqlite::schemaVersion());
    Database db = connect(file, SQLITE_OPEN_READONLY);
    auto mode = penwell::sqlite::prepare(db.get(), "PRAGMA journal_mode");
    ASSERT_EQ(sqlite3_step(mode.get()), SQLITE_ROW);
    EXPECT_EQ(penwell::sqlite::columnText(mode.get(), 0), "wal");
    EXPECT_EQ(std::filesystem::status(folder).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_all);
    // Opening again migrates nothing and keeps the version.
    ASSERT_TRUE(openStore(folder));
    EXPECT_EQ(versionOf(file), 4);
}

TEST(SqliteSchema, TheDatabaseAndItsJournalAreTheOwnersAlone) {
    test::TempDir dir;
    const auto folder = dir.path() / "data";
    const auto store = openStore(folder);
    ASSERT_TRUE(store);
    ASSERT_FALSE(store->addApiKey("ops", Bytes(32, 7), 1'000));  // a write: the journal exists
    for (const char* suffix : {"", "-wal", "-shm"}) {
        const auto file = SqliteSigningStore::databaseFile(folder).string() + suffix;
        EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::all,
                  std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)
            << file;
    }
}

TEST(SqliteSchema, AVersionOneDatabaseIsMigratedWithItsRowsKept) {
    test::TempDir dir;
    const std::string file = fileIn(dir);
    {
        Database db = connect(file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        ASSERT_FALSE(sqlite::migrateTo(db.get(), file, 1));
        exec(db.get(),
             "INSERT INTO documents VALUES ('doc_1', 'ab', 10, 1, 5);"
             "INSERT INTO requests VALUES ('req_1', 'doc_1', 'pending', 5, 500, NULL, '', '{}');"
             "INSERT INTO signers (request_id, position, name, email, placement, reason, "
             "location, access_code_hash, token_hash, state) VALUES ('req_1', 1, "
             "'Ann Example', '', '{}', '', '', '', x'01', 'waiting');");
    }
    ASSERT_EQ(versionOf(file), 1);
    auto store = openStore(dir.path());
    ASSERT_TRUE(store);
    EXPECT_EQ(versionOf(file), 4);
    auto request = store->request("req_1");
    ASSERT_TRUE(request) << request.error().message;
    EXPECT_FALSE(request->purgedAt) << "a request from before retention is not purged";
    EXPECT_EQ(request->returnUrl, "") << "a request from before return URLs goes nowhere";
    ASSERT_EQ(request->signers.size(), 1u);
    EXPECT_EQ(request->signers[0].name, "Ann Example");
    // The tables of version 2 work on the migrated rows.
    EXPECT_FALSE(store->appendSamples(request->signers[0].id, 1, Bytes{1, 2, 3}));
    EXPECT_EQ(store->samples(request->signers[0].id)->size(), 1u);
}

TEST(SqliteSchema, AFailedMigrationLeavesTheDatabaseAtItsVersion) {
    test::TempDir dir;
    const std::string file = fileIn(dir);
    {
        Database db = connect(file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        ASSERT_FALSE(sqlite::migrateTo(db.get(), file, 1));
        // A table in the way of version 2's first statement.
        exec(db.get(), "CREATE TABLE idempotency (x)");
    }
    auto store = SqliteSigningStore::open(dir.path());
    ASSERT_FALSE(store);
    EXPECT_EQ(store.error().code, static_cast<std::int64_t>(ServiceCode::storage));
    EXPECT_EQ(store.error().message,
              file + ": migration to schema version 2 failed: table idempotency already exists");
    EXPECT_EQ(versionOf(file), 1);
    Database db = connect(file, SQLITE_OPEN_READONLY);
    auto samples = penwell::sqlite::prepare(
        db.get(), "SELECT count(*) FROM sqlite_schema WHERE name = 'samples'");
    ASSERT_EQ(sqlite3_step(samples.get()), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(samples.get(), 0), 0) << "version 2's samples table rolled back";
}

TEST(SqliteSchema, RefusedDatabasesAsATable) {
    struct Case {
        const char* name;
        std::function<void(const std::string& file)> make;
        ServiceCode code;
        std::string message;  // after "<file>: "
    };
    const Case cases[] = {
        {"a newer schema",
         [](const std::string& file) {
             Database db = connect(file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
             ASSERT_FALSE(sqlite::migrate(db.get(), file));
             exec(db.get(), "UPDATE schema_version SET version = 9");
         },
         ServiceCode::schema,
         "the database has schema version 9, newer than 4, the newest this penwell knows"},
        {"another program's database",
         [](const std::string& file) {
             Database db = connect(file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
             exec(db.get(), "CREATE TABLE entries (id INTEGER)");
         },
         ServiceCode::schema, "not a Penwell signing database"},
        {"an empty version table",
         [](const std::string& file) {
             Database db = connect(file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
             exec(db.get(), "CREATE TABLE schema_version (version INTEGER)");
         },
         ServiceCode::schema, "no schema version"},
        {"a file that is not a database",
         [](const std::string& file) {
             std::ofstream(file, std::ios::binary) << std::string(8192, 'x');
         },
         ServiceCode::storage, "file is not a database"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        const std::string file = fileIn(dir);
        c.make(file);
        const auto before = std::filesystem::file_size(file);
        auto store = SqliteSigningStore::open(dir.path());
        ASSERT_FALSE(store);
        EXPECT_EQ(store.error().code, static_cast<std::int64_t>(c.code));
        EXPECT_EQ(store.error().domain, kServiceDomain);
        EXPECT_EQ(store.error().message, file + ": " + c.message);
        EXPECT_EQ(std::filesystem::file_size(file), before) << "a refused file is not written";
    }
}

TEST(SqliteSchema, AFolderThatCannotBeMadeIsNamed) {
    test::TempDir dir;
    std::ofstream(dir.path() / "plain-file") << "x";
    auto store = SqliteSigningStore::open(dir.path() / "plain-file" / "data");
    ASSERT_FALSE(store);
    EXPECT_EQ(store.error().code, static_cast<std::int64_t>(ServiceCode::storage));
    EXPECT_NE(store.error().message.find("plain-file"), std::string::npos) << store.error().message;
}

TEST(SqliteSchema, TwoStoresOpeningAFreshFolderAtOnceMigrateItOnce) {
    test::TempDir dir;
    std::vector<std::thread> threads;
    std::atomic<int> opened{0};
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            if (SqliteSigningStore::open(dir.path())) {
                ++opened;
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(opened.load(), 4);
    EXPECT_EQ(versionOf(fileIn(dir)), 4);
}

}  // namespace
}  // namespace penwell::service
