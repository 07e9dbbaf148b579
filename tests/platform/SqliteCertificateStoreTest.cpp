#include "platform/sqlite/SqliteCertificateStore.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <latch>
#include <thread>

#include "platform/openssl/OpenSslCertificates.h"
#include "support/CertificateFixtures.h"

namespace penwell::sqlite {
namespace {

void closeDatabase(sqlite3* db) {
    sqlite3_close_v2(db);
}
void finalizeStatement(sqlite3_stmt* s) {
    sqlite3_finalize(s);
}
using Database = CHandle<sqlite3, closeDatabase>;
using Statement = CHandle<sqlite3_stmt, finalizeStatement>;

/// A raw connection, to look at the file behind the store's back.
Database rawOpen(const std::filesystem::path& file) {
    sqlite3* raw = nullptr;
    sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    Database db(raw);
    sqlite3_busy_timeout(db.get(), 10'000);
    return db;
}

std::string queryText(sqlite3* db, const char* sql) {
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
    Statement statement(raw);
    if (statement == nullptr || sqlite3_step(statement.get()) != SQLITE_ROW) {
        return "<no row>";
    }
    const auto* text = sqlite3_column_text(statement.get(), 0);
    return text != nullptr ? reinterpret_cast<const char*>(text) : "<null>";
}

class SqliteCertificateStoreTest : public ::testing::Test {
protected:
    test::TempDir folder;
    std::filesystem::path file = folder.path() / "store" / "certificates.sqlite";
    std::shared_ptr<CertificateServices> services = openssl::makeCertificateServices();

    std::shared_ptr<SqliteCertificateStore> openStore() {
        Error error;
        auto store = SqliteCertificateStore::open(file, services, &error);
        EXPECT_NE(store, nullptr) << error.domain << " " << error.code;
        return store;
    }

    std::shared_ptr<Certificate> demo() {
        return services->createCertificateWithData(test::demoCertificateDer());
    }

    std::shared_ptr<Certificate> otherCertificate(const std::string& commonName) {
        const auto key = test::generateRsaKey(1024);
        return services->createCertificateWithData(
            test::makeSelfSignedDer(key.get(), {{"CN", commonName}}));
    }

    std::string rowCount() {
        return queryText(rawOpen(file).get(), "SELECT count(*) FROM entries");
    }
};

TEST_F(SqliteCertificateStoreTest, FreshStoreFindsNothing) {
    const auto store = openStore();
    ASSERT_NE(store, nullptr);
    const auto found = store->copyMatching(ItemClass::certificate, "Keyloft");
    EXPECT_EQ(found.status, errSecItemNotFound);
    EXPECT_EQ(found.certificate, nullptr);
}

TEST_F(SqliteCertificateStoreTest, AddedCertificateIsFoundByItsSubjectSummary) {
    const auto store = openStore();
    ASSERT_NE(store, nullptr);
    const auto added = store->add(*demo());
    ASSERT_EQ(added.status, errSecSuccess);
    EXPECT_EQ(added.persistentRef.size(), 16u);

    const auto found = store->copyMatching(ItemClass::certificate, "Keyloft");
    ASSERT_EQ(found.status, errSecSuccess);
    ASSERT_NE(found.certificate, nullptr);
    EXPECT_EQ(found.certificate->derData(), test::demoCertificateDer());

    EXPECT_EQ(store->copyMatching(ItemClass::certificate, "keyloft").status, errSecItemNotFound);
    EXPECT_EQ(store->copyMatching(ItemClass::certificate, "Keylof").status, errSecItemNotFound);
}

TEST_F(SqliteCertificateStoreTest, EntriesSurviveReopening) {
    ASSERT_EQ(openStore()->add(*demo()).status, errSecSuccess);
    const auto reopened = openStore();
    ASSERT_NE(reopened, nullptr);
    EXPECT_EQ(reopened->copyMatching(ItemClass::certificate, "Keyloft").status, errSecSuccess);
    EXPECT_EQ(queryText(rawOpen(file).get(), "SELECT class FROM entries"), "certificate");
    EXPECT_EQ(queryText(rawOpen(file).get(), "PRAGMA journal_mode"), "wal");
}

TEST_F(SqliteCertificateStoreTest, DuplicateAddIsRefused) {
    const auto store = openStore();
    ASSERT_NE(store, nullptr);
    ASSERT_EQ(store->add(*demo()).status, errSecSuccess);
    const auto again = store->add(*demo());
    EXPECT_EQ(again.status, errSecDuplicateItem);
    EXPECT_TRUE(again.persistentRef.empty());
    EXPECT_EQ(rowCount(), "1");
}

TEST_F(SqliteCertificateStoreTest, EachEntryHasItsOwnPersistentReference) {
    const auto store = openStore();
    ASSERT_NE(store, nullptr);
    const auto first = store->add(*demo());
    const auto second = store->add(*otherCertificate("Other"));
    ASSERT_EQ(first.status, errSecSuccess);
    ASSERT_EQ(second.status, errSecSuccess);
    EXPECT_NE(first.persistentRef, second.persistentRef);

    const auto other = store->copyMatching(ItemClass::certificate, "Other");
    ASSERT_EQ(other.status, errSecSuccess);
    EXPECT_EQ(other.certificate->subjectSummary(), "Other");
}

TEST_F(SqliteCertificateStoreTest, OldestOfTwoEntriesWithOneLabelIsFound) {
    const auto store = openStore();
    ASSERT_NE(store, nullptr);
    const auto first = otherCertificate("Keyloft");
    ASSERT_EQ(store->add(*first).status, errSecSuccess);
    ASSERT_EQ(store->add(*demo()).status, errSecSuccess);
    const auto found = store->copyMatching(ItemClass::certificate, "Keyloft");
    ASSERT_EQ(found.status, errSecSuccess);
    EXPECT_EQ(found.certificate->derData(), first->derData());
}

TEST_F(SqliteCertificateStoreTest, UnparsableStoredBytesAreReportedNotReturned) {
    ASSERT_NE(openStore(), nullptr);
    {
        const auto db = rawOpen(file);
        ASSERT_EQ(sqlite3_exec(db.get(),
                               "INSERT INTO entries (class, label, der, persistent_ref)"
                               " VALUES ('certificate', 'Keyloft', x'0102', x'00')",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
    }
    const auto found = openStore()->copyMatching(ItemClass::certificate, "Keyloft");
    EXPECT_EQ(found.status, errSecDecode);
    EXPECT_EQ(found.certificate, nullptr);
}

TEST_F(SqliteCertificateStoreTest, MissingFoldersAreCreatedOwnerOnly) {
    file = folder.path() / "a" / "b" / "certificates.sqlite";
    ASSERT_NE(openStore(), nullptr);
    for (const auto& created : {folder.path() / "a", folder.path() / "a" / "b"}) {
        struct stat info {};
        ASSERT_EQ(::stat(created.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0700u) << created;
    }
}

TEST_F(SqliteCertificateStoreTest, NonDatabaseFileDoesNotOpen) {
    std::filesystem::create_directories(file.parent_path());
    test::writeFile(file, asBytes(std::string(4096, 'x')));
    Error error;
    EXPECT_EQ(SqliteCertificateStore::open(file, services, &error), nullptr);
    EXPECT_EQ(error.domain, kErrorDomain);
    EXPECT_EQ(error.code, SQLITE_NOTADB);
}

TEST_F(SqliteCertificateStoreTest, DefaultPathFollowsXdgThenHome) {
    {
        test::ScopedEnv data("XDG_DATA_HOME", "/xdg/data");
        test::ScopedEnv home("HOME", "/home/someone");
        EXPECT_EQ(SqliteCertificateStore::defaultPath(),
                  std::filesystem::path("/xdg/data/penwell/certificates.sqlite"));
    }
    {
        test::ScopedEnv data("XDG_DATA_HOME", "relative/is/ignored");
        test::ScopedEnv home("HOME", "/home/someone");
        EXPECT_EQ(SqliteCertificateStore::defaultPath(),
                  std::filesystem::path("/home/someone/.local/share/penwell/certificates.sqlite"));
    }
    {
        test::ScopedEnv data("XDG_DATA_HOME", nullptr);
        test::ScopedEnv home("HOME", nullptr);
        EXPECT_EQ(SqliteCertificateStore::defaultPath(), std::nullopt);
        Error error;
        EXPECT_EQ(SqliteCertificateStore::openDefault(services, &error), nullptr);
        EXPECT_EQ(error.code, SQLITE_CANTOPEN);
    }
    {
        test::ScopedEnv data("XDG_DATA_HOME", folder.path().c_str());
        const auto store = SqliteCertificateStore::openDefault(services);
        ASSERT_NE(store, nullptr);
        EXPECT_TRUE(std::filesystem::exists(folder.path() / "penwell" / "certificates.sqlite"));
    }
}

TEST_F(SqliteCertificateStoreTest, TwoConnectionsAddingAtOnceLeaveOneEntry) {
    ASSERT_NE(openStore(), nullptr);
    const auto certificate = demo();
    std::latch start(2);
    Status statuses[2] = {};
    auto adder = [&](int index) {
        const auto store = SqliteCertificateStore::open(file, services);
        start.arrive_and_wait();
        statuses[index] = store != nullptr ? store->add(*certificate).status : errSecIO;
    };
    std::thread first(adder, 0);
    std::thread second(adder, 1);
    first.join();
    second.join();

    EXPECT_EQ(std::min(statuses[0], statuses[1]), errSecDuplicateItem);
    EXPECT_EQ(std::max(statuses[0], statuses[1]), errSecSuccess);
    EXPECT_EQ(rowCount(), "1");
}

TEST_F(SqliteCertificateStoreTest, OneStoreSharedByThreadsStaysConsistent) {
    const auto store = openStore();
    ASSERT_NE(store, nullptr);
    const auto certificate = demo();
    constexpr int kThreads = 4;
    std::latch start(kThreads);
    std::vector<Status> statuses(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            statuses[static_cast<std::size_t>(i)] = store->add(*certificate).status;
            EXPECT_EQ(store->copyMatching(ItemClass::certificate, "Keyloft").status, errSecSuccess);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), errSecSuccess), 1);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), errSecDuplicateItem), kThreads - 1);
}

TEST_F(SqliteCertificateStoreTest, TwoProcessesAddingAtOnceLeaveOneEntry) {
    ASSERT_NE(openStore(), nullptr);
    const Bytes der = test::demoCertificateDer();
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    pid_t children[2];
    for (auto& child : children) {
        child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(gate[1]);
            char byte;
            // Returns 0 when the parent closes its end: both children start together.
            (void)::read(gate[0], &byte, 1);
            const auto childServices = openssl::makeCertificateServices();
            const auto store = SqliteCertificateStore::open(file, childServices);
            const auto certificate = childServices->createCertificateWithData(der);
            if (store == nullptr || certificate == nullptr) {
                ::_exit(3);
            }
            const Status status = store->add(*certificate).status;
            ::_exit(status == errSecSuccess ? 0 : status == errSecDuplicateItem ? 1 : 2);
        }
    }
    ::close(gate[0]);
    ::close(gate[1]);
    int exitCodes[2] = {-1, -1};
    for (int i = 0; i < 2; ++i) {
        int status = 0;
        ASSERT_EQ(::waitpid(children[i], &status, 0), children[i]);
        ASSERT_TRUE(WIFEXITED(status));
        exitCodes[i] = WEXITSTATUS(status);
    }
    EXPECT_EQ(exitCodes[0] + exitCodes[1], 1) << exitCodes[0] << " " << exitCodes[1];
    EXPECT_EQ(rowCount(), "1");
}

TEST_F(SqliteCertificateStoreTest, WriterKilledInTheMiddleOfAnAddLeavesTheStoreConsistent) {
    const auto store = openStore();
    ASSERT_NE(store, nullptr);
    ASSERT_EQ(store->add(*demo()).status, errSecSuccess);

    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // An add that is still open when the process dies: several megabytes through a tiny
        // page cache, so uncommitted pages spill into the WAL file before the kill.
        ::close(ready[0]);
        const auto db = rawOpen(file);
        const bool ok =
            sqlite3_exec(db.get(), "PRAGMA cache_size=8", nullptr, nullptr, nullptr) == SQLITE_OK &&
            sqlite3_exec(db.get(), "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK &&
            sqlite3_exec(db.get(),
                         "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n"
                         " WHERE i < 32)"
                         " INSERT INTO entries (class, label, der, persistent_ref)"
                         " SELECT 'certificate', 'Planted', randomblob(131072), randomblob(16)"
                         " FROM n",
                         nullptr, nullptr, nullptr) == SQLITE_OK;
        const char byte = ok ? 'y' : 'n';
        (void)::write(ready[1], &byte, 1);
        for (;;) {
            ::pause();
        }
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(byte, 'y') << "the child could not start its add";
    ASSERT_TRUE(WIFSIGNALED(status));
    std::error_code ec;
    EXPECT_GT(std::filesystem::file_size(file.string() + "-wal", ec), 1'000'000u)
        << "the killed add should have left uncommitted frames behind";

    const auto after = openStore();
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(after->copyMatching(ItemClass::certificate, "Keyloft").status, errSecSuccess);
    EXPECT_EQ(after->copyMatching(ItemClass::certificate, "Planted").status, errSecItemNotFound);
    EXPECT_EQ(after->add(*otherCertificate("After")).status, errSecSuccess)
        << "the dead writer's lock must not outlive it";
    EXPECT_EQ(store->copyMatching(ItemClass::certificate, "After").status, errSecSuccess);
    EXPECT_EQ(rowCount(), "2");
    EXPECT_EQ(queryText(rawOpen(file).get(), "PRAGMA integrity_check"), "ok");
}

}  // namespace
}  // namespace penwell::sqlite
