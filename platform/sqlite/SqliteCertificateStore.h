#pragma once
// The persistent certificate store as one SQLite database file.
//
// Table `entries`: id INTEGER PRIMARY KEY, class TEXT, label TEXT, der BLOB UNIQUE,
// persistent_ref BLOB UNIQUE (16 random bytes). Certificates are kept as DER and turned back
// into Certificate objects by the CertificateServices the store is given, so this backend never
// parses X.509 itself.
//
// Several processes may use one file at once: the database runs in WAL mode with a busy
// timeout, and every add is one IMMEDIATE transaction, so concurrent adds of one certificate
// leave exactly one entry and a process killed in the middle of an add leaves the store as it
// was before that add.
//
// Only add writes. Lookups read through a read-only connection and take no write lock, so a
// store in a folder the process may not write (one provisioned by an administrator, say) still
// answers, and a lookup never waits behind another process's add. The file, its folders and
// its table are made by the first add. (WAL readers need a shared-memory file beside the
// database; where none can be made and no WAL file is pending, the file is read as immutable,
// without locks: such a store is meant to be read only, not written by others meanwhile.)

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "penwell/platform/Certificates.h"
#include "penwell/platform/Result.h"
#include "penwell/platform/sqlite/SqliteDatabase.h"

namespace penwell::sqlite {

/// The domain of the failures that open() reports; the code is SQLite's extended result code,
/// or the errno value when the file or its folder is unusable. The failure's where is the file.
inline constexpr const char* kSqliteErrorDomain = "PenwellSqlite";

class SqliteCertificateStore final : public CertificateStore {
public:
    /// Opens the store in `file` without writing anything. A missing file is an empty store;
    /// the first add creates it and any missing folders above it (folders owner-only, 0700,
    /// since the store decides which key every signature is wrapped for). `services` parses
    /// what the store reads back. Returns null when the file exists but cannot be read or is
    /// not such a store, or when nothing can ever be stored there (the path is a folder, or
    /// goes through a file); the failure's message is "<file>: <what is wrong>". An empty
    /// `file` or a null `services` fails with SQLITE_MISUSE.
    static Result<std::shared_ptr<SqliteCertificateStore>> open(
        const std::filesystem::path& file, std::shared_ptr<const CertificateServices> services);

    /// The store in `file`, first touched by its first lookup or add: whatever is wrong with
    /// the file shows there, as errSecIO with lastFailure(), and not here. Null only when
    /// `file` is empty or `services` is null.
    static std::shared_ptr<SqliteCertificateStore> openOnFirstUse(
        std::filesystem::path file, std::shared_ptr<const CertificateServices> services);

    /// A store in memory that lives as long as the object: a throwaway for runs that must
    /// not install anything in a store on disk.
    static std::shared_ptr<SqliteCertificateStore> openInMemory(
        std::shared_ptr<const CertificateServices> services);

    /// The per-user default file: $XDG_DATA_HOME/penwell/certificates.sqlite when
    /// XDG_DATA_HOME is an absolute path, else $HOME/.local/share/penwell/certificates.sqlite;
    /// nullopt when neither variable is usable.
    static std::optional<std::filesystem::path> defaultPath();

    /// open(defaultPath()). Fails with code SQLITE_CANTOPEN when there is no default path.
    static Result<std::shared_ptr<SqliteCertificateStore>> openDefault(
        std::shared_ptr<const CertificateServices> services);

    ~SqliteCertificateStore() override;
    SqliteCertificateStore(const SqliteCertificateStore&) = delete;
    SqliteCertificateStore& operator=(const SqliteCertificateStore&) = delete;

    CopyMatchingResult copyMatching(ItemClass itemClass, std::string_view label) const override;
    AddResult add(const Certificate& certificate) override;
    std::optional<StoreFailure> lastFailure() const override;
    std::string name() const override;

private:
    SqliteCertificateStore(std::filesystem::path file,
                           std::shared_ptr<const CertificateServices> services);

    // All of these run with mutex_ held. Each answers false after recording the failure.
    bool connectForReading() const;
    bool connectForWriting();
    bool fail(std::int64_t code, std::string reason) const;
    bool failWithDatabase(sqlite3* db, const char* doing) const;

    // One connection per store object: read-only until the first add, read-write after it.
    // The mutex keeps two threads from interleaving their statements or transactions on it.
    mutable std::mutex mutex_;
    std::filesystem::path file_;  // empty for a store in memory
    std::shared_ptr<const CertificateServices> services_;
    mutable Database db_;
    bool writable_ = false;
    mutable std::optional<StoreFailure> failure_;
    mutable std::int64_t failureCode_ = 0;
};

}  // namespace penwell::sqlite
