#include "platform/sqlite/SqliteCertificateStore.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/openssl/OpenSslCertificates.h"
#include "support/CertificateFixtures.h"

namespace penwell::sqlite {
namespace {

void closeDatabase(sqlite3* db) {
    sqlite3_close_v2(db);
}
using Database = CHandle<sqlite3, closeDatabase>;

/// A raw connection, to look at the file behind the store's back.
Database rawOpen(const std::filesystem::path& file) {
    sqlite3* raw = nullptr;
    sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    Database db(raw);
    sqlite3_busy_timeout(db.get(), 10'000);
    return db;
}

/// The first column of the first row `sql` gives.
std::string queryText(const std::filesystem::path& file, const char* sql) {
    std::string first = "<no row>";
    const auto keepFirst = [](void* out, int, char** values, char**) {
        *static_cast<std::string*>(out) = values[0] != nullptr ? values[0] : "<null>";
        return 1;  // stop after the first row
    };
    sqlite3_exec(rawOpen(file).get(), sql, keepFirst, &first, nullptr);
    return first;
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

    std::string rowCount() { return queryText(file, "SELECT count(*) FROM entries"); }
};

TEST_F(SqliteCertificateStoreTest, AddFindAndDuplicateInOwnerOnlyFolders) {
    file = folder.path() / "a" / "b" / "certificates.sqlite";
    const auto store = openStore();
    ASSERT_NE(store, nullptr);
    for (const auto& created : {folder.path() / "a", folder.path() / "a" / "b"}) {
        struct stat info {};
        ASSERT_EQ(::stat(created.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0700u) << created;
    }

    const auto missing = store->copyMatching(ItemClass::certificate, "Keyloft");
    EXPECT_EQ(missing.status, errSecItemNotFound);
    EXPECT_EQ(missing.certificate, nullptr);

    ASSERT_EQ(store->add(*demo()).status, errSecSuccess);
    const auto found = store->copyMatching(ItemClass::certificate, "Keyloft");
    ASSERT_EQ(found.status, errSecSuccess);
    ASSERT_NE(found.certificate, nullptr);
    EXPECT_EQ(found.certificate->derData(), test::demoCertificateDer());
    EXPECT_EQ(store->copyMatching(ItemClass::certificate, "keyloft").status, errSecItemNotFound);

    const auto again = store->add(*demo());
    EXPECT_EQ(again.status, -25299);  // errSecDuplicateItem
    EXPECT_TRUE(again.persistentRef.empty());
    EXPECT_EQ(rowCount(), "1");
}

TEST_F(SqliteCertificateStoreTest, TwoProcessesAddingAtOnceLeaveOneEntry) {
    ASSERT_NE(openStore(), nullptr);
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
            const auto store = SqliteCertificateStore::open(file, services);
            const Status status = store != nullptr ? store->add(*demo()).status : errSecIO;
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
    const auto key = test::generateRsaKey(1024);
    const auto other = test::makeSelfSignedDer(key.get(), {{"CN", "After"}});
    EXPECT_EQ(after->add(*services->createCertificateWithData(other)).status, errSecSuccess)
        << "the dead writer's lock must not outlive it";
    EXPECT_EQ(store->copyMatching(ItemClass::certificate, "After").status, errSecSuccess);
    EXPECT_EQ(rowCount(), "2");
    EXPECT_EQ(queryText(file, "PRAGMA integrity_check"), "ok");
}

TEST_F(SqliteCertificateStoreTest, AnEntryThatNoLongerParsesDoesNotHideLaterOnes) {
    auto store = openStore();
    sqlite3_exec(rawOpen(file).get(),
                 "INSERT INTO entries (class, label, der, persistent_ref) "
                 "VALUES ('certificate', 'Keyloft', x'3000', x'00')",
                 nullptr, nullptr, nullptr);
    EXPECT_EQ(store->copyMatching(ItemClass::certificate, "Keyloft").status, errSecDecode);
    ASSERT_EQ(store->add(*demo()).status, errSecSuccess);
    const auto found = store->copyMatching(ItemClass::certificate, "Keyloft");
    EXPECT_EQ(found.status, errSecSuccess);
    ASSERT_NE(found.certificate, nullptr);
    EXPECT_EQ(found.certificate->derData(), test::demoCertificateDer());
}

}  // namespace
}  // namespace penwell::sqlite
