#include "penwell/platform/sqlite/SqliteCertificateStore.h"

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string_view>
#include <utility>

#include "penwell/platform/openssl/OpenSslCertificates.h"
#include "penwell/platform/sqlite/SqliteHandles.h"
#include "support/CertificateFixtures.h"

namespace {
// Runs once, right after the store's lookup next fails to prepare: the moment in which another
// process's first add can commit before the store looks at the file's shape.
std::function<void()> afterFailedLookup;
}  // namespace

// This test program's own sqlite3_prepare_v2 wraps SQLite's, so that a test can step into
// that moment deterministically instead of hoping for it one run in a hundred.
extern "C" int sqlite3_prepare_v2(sqlite3* db, const char* sql, int bytes, sqlite3_stmt** statement,
                                  const char** tail) {
    static const auto real =
        reinterpret_cast<decltype(&sqlite3_prepare_v2)>(::dlsym(RTLD_NEXT, "sqlite3_prepare_v2"));
    const int rc = real(db, sql, bytes, statement, tail);
    if (rc != SQLITE_OK && afterFailedLookup &&
        std::string_view(sql).starts_with("SELECT der FROM entries")) {
        std::exchange(afterFailedLookup, nullptr)();
    }
    return rc;
}

namespace penwell::sqlite {
namespace {

/// A raw connection, to look at the file behind the store's back.
Database rawOpen(const std::filesystem::path& file) {
    return connect(file.string(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
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

/// Runs `check` in a child process that may read `folder` but not write it: as root (whom
/// permissions do not stop), a child that has become nobody; otherwise the folder is made
/// read-only while the child runs. True when `check` answered true.
bool withoutWriteAccess(const std::filesystem::path& folder, const std::function<bool()>& check) {
    const bool root = ::geteuid() == 0;
    ::chmod(folder.parent_path().c_str(), 0755);  // so that nobody can reach it
    ::chmod(folder.c_str(), root ? 0755 : 0555);
    const pid_t child = ::fork();
    if (child == 0) {
        const bool dropped = !root || (::setgid(65534) == 0 && ::setuid(65534) == 0);
        ::_exit(dropped && check() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ::chmod(folder.c_str(), 0700);
    return child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class SqliteCertificateStoreTest : public ::testing::Test {
protected:
    test::TempDir folder;
    std::filesystem::path file = folder.path() / "store" / "certificates.sqlite";
    std::shared_ptr<CertificateServices> services = openssl::makeCertificateServices();

    std::shared_ptr<SqliteCertificateStore> openStore() {
        auto store = SqliteCertificateStore::open(file, services);
        EXPECT_TRUE(store) << store.error().message;
        return store ? *store : nullptr;
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
    EXPECT_EQ(store->copyMatching(ItemClass::certificate, "Keyloft").status, errSecItemNotFound);
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "a")) << "a lookup wrote nothing";

    ASSERT_EQ(store->add(*demo()).status, errSecSuccess);
    for (const auto& created : {folder.path() / "a", folder.path() / "a" / "b"}) {
        struct stat info {};
        ASSERT_EQ(::stat(created.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0700u) << created;
    }
    const auto found = store->copyMatching(ItemClass::certificate, "Keyloft");
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
            const Status status = store ? (*store)->add(*demo()).status : errSecIO;
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

TEST_F(SqliteCertificateStoreTest, ALookupThatRacesAnotherFirstAddReadsTheNewTable) {
    std::filesystem::create_directories(file.parent_path());
    test::writeFile(file, Bytes{});
    const auto store = openStore();
    afterFailedLookup = [&] { ASSERT_EQ(openStore()->add(*demo()).status, errSecSuccess); };
    const auto found = store->copyMatching(ItemClass::certificate, "Keyloft");
    EXPECT_FALSE(afterFailedLookup) << "the lookup never raced the add";
    EXPECT_EQ(found.status, errSecSuccess) << store->lastFailure().value_or(StoreFailure{}).reason;
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
    const auto store = openStore();
    ASSERT_EQ(store->add(*demo()).status, errSecSuccess);
    sqlite3_exec(rawOpen(file).get(), "UPDATE entries SET der = x'3000'", nullptr, nullptr,
                 nullptr);
    EXPECT_EQ(store->copyMatching(ItemClass::certificate, "Keyloft").status, errSecDecode);
    ASSERT_EQ(store->add(*demo()).status, errSecSuccess);
    const auto found = store->copyMatching(ItemClass::certificate, "Keyloft");
    ASSERT_NE(found.certificate, nullptr);
    EXPECT_EQ(found.certificate->derData(), test::demoCertificateDer());
}

// Lookups take no write lock and write nothing: another process's add in progress does not
// hold them up, and a store in a folder this process may not write still answers.
TEST_F(SqliteCertificateStoreTest, LookupsNeitherWriteNorWaitForTheWriteLock) {
    ASSERT_EQ(openStore()->add(*demo()).status, errSecSuccess);
    {
        const auto writer = rawOpen(file);
        ASSERT_EQ(sqlite3_exec(writer.get(), "BEGIN IMMEDIATE", nullptr, nullptr, nullptr),
                  SQLITE_OK);
        EXPECT_EQ(openStore()->copyMatching(ItemClass::certificate, "Keyloft").status,
                  errSecSuccess);
    }

    ::chmod(file.c_str(), 0644);
    EXPECT_TRUE(withoutWriteAccess(file.parent_path(), [&] {
        const auto store = SqliteCertificateStore::open(file, services);
        return store &&
               (*store)->copyMatching(ItemClass::certificate, "Keyloft").status == errSecSuccess;
    }));
}

// Whatever is wrong with the file, the store names it and says what, and the call answers
// errSecIO.
TEST_F(SqliteCertificateStoreTest, FaultsNameTheFileAndTheCause) {
    const std::filesystem::path home = folder.path() / "home";
    const struct {
        const char* name;
        std::filesystem::path file;
        std::function<void(const std::filesystem::path&)> make;
        const char* reason;
    } cases[] = {
        {"random bytes", file, [](const auto& f) { test::writeFile(f, Bytes(4096, 0x5a)); },
         "file is not a database"},
        {"truncated", file,
         [&](const auto& f) {
             ASSERT_EQ((*SqliteCertificateStore::open(f, services))->add(*demo()).status,
                       errSecSuccess);
             std::filesystem::resize_file(f, 100);
         },
         "database disk image is malformed"},
        {"a folder", file, [](const auto& f) { std::filesystem::create_directories(f); },
         "is a folder, not a certificate store file"},
        {"below a file", file / "certificates.sqlite",
         [](const auto& f) { test::writeFile(f.parent_path(), Bytes{1}); }, ": Not a directory"},
        {"foreign schema", file,
         [](const auto& f) {
             sqlite3_exec(rawOpen(f).get(), "CREATE TABLE entries (id, name)", nullptr, nullptr,
                          nullptr);
         },
         "not a Penwell certificate store"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(file);
        std::filesystem::create_directories(file.parent_path());
        c.make(c.file);
        const auto refused = SqliteCertificateStore::open(c.file, services);
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error().domain, kSqliteErrorDomain);
        EXPECT_EQ(refused.error().where, c.file.string());
        EXPECT_NE(refused.error().message.find(c.reason), std::string::npos) << refused.error().message;
        const auto store = SqliteCertificateStore::openOnFirstUse(c.file, services);
        for (const Status status : {store->copyMatching(ItemClass::certificate, "Keyloft").status,
                                    store->add(*demo()).status}) {
            EXPECT_EQ(status, errSecIO);
            ASSERT_TRUE(store->lastFailure());
            EXPECT_EQ(store->lastFailure()->file, c.file.string());
            EXPECT_THAT(store->lastFailure()->reason, ::testing::HasSubstr(c.reason));
        }
    }

    // A home folder this process may not write: lookups find nothing, the add says why.
    std::filesystem::create_directories(home);
    EXPECT_TRUE(withoutWriteAccess(home, [&] {
        const auto store = *SqliteCertificateStore::open(home / "penwell" / "c.sqlite", services);
        const auto failure =
            store->add(*demo()).status == errSecIO ? store->lastFailure() : std::nullopt;
        return failure && failure->reason == "cannot create the store's folder " +
                                                 (home / "penwell").string() +
                                                 ": Permission denied";
    }));
}

}  // namespace
}  // namespace penwell::sqlite
