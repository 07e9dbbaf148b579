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

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "platform/CHandle.h"
#include "platform/Certificates.h"
#include "platform/Errors.h"

struct sqlite3;

namespace penwell::sqlite {

namespace detail {
/// Closes a connection (sqlite3_close_v2 returns a status, so it cannot be a deleter as is).
void closeDatabase(sqlite3* db) noexcept;
using Database = CHandle<sqlite3, closeDatabase>;
}  // namespace detail

/// The domain of the errors that open() reports; the code is SQLite's extended result code, or
/// the errno value when the store's folder could not be made.
inline constexpr std::string_view kErrorDomain = "penwell.sqlite";

class SqliteCertificateStore final : public CertificateStore {
public:
    /// Opens the store in `file`, creating the file and any missing folders above it (folders
    /// owner-only, 0700, since the store decides which key every signature is wrapped for).
    /// `services` parses what the store reads back. Returns null on failure and, when `error`
    /// is not null, says why there.
    static std::shared_ptr<SqliteCertificateStore> open(
        const std::filesystem::path& file, std::shared_ptr<const CertificateServices> services,
        Error* error = nullptr);

    /// The per-user default file: $XDG_DATA_HOME/penwell/certificates.sqlite when
    /// XDG_DATA_HOME is an absolute path, else $HOME/.local/share/penwell/certificates.sqlite;
    /// nullopt when neither variable is usable.
    static std::optional<std::filesystem::path> defaultPath();

    /// open(defaultPath()). Fails with code SQLITE_CANTOPEN when there is no default path.
    static std::shared_ptr<SqliteCertificateStore> openDefault(
        std::shared_ptr<const CertificateServices> services, Error* error = nullptr);

    ~SqliteCertificateStore() override;
    SqliteCertificateStore(const SqliteCertificateStore&) = delete;
    SqliteCertificateStore& operator=(const SqliteCertificateStore&) = delete;

    CopyMatchingResult copyMatching(ItemClass itemClass, std::string_view label) const override;
    AddResult add(const Certificate& certificate) override;

private:
    SqliteCertificateStore(detail::Database db,
                           std::shared_ptr<const CertificateServices> services);

    // One connection per store object; the mutex keeps two threads from interleaving their
    // statements or transactions on it.
    mutable std::mutex mutex_;
    detail::Database db_;
    std::shared_ptr<const CertificateServices> services_;
};

}  // namespace penwell::sqlite
