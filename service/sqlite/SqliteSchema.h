#pragma once
// The signing database's schema and its migrations. The version lives in the one-row table
// schema_version; opening a database runs, in one transaction, every migration after its
// version in order, so a database is always at one version or the one before, never between.
// A database newer than this program is refused rather than used: an older binary would not
// know what the newer columns mean.

#include <sqlite3.h>

#include <string>
#include <vector>

#include "penwell/platform/Result.h"

namespace penwell::service::sqlite {

/// The SQL of each migration, in order: element i takes a database from version i to i + 1.
const std::vector<const char*>& migrations();

/// The version this program writes: migrations().size().
int schemaVersion();

/// Brings the database in `db` (named `file` in messages) to schemaVersion(), or fails with
/// ServiceCode::schema: "<file>: the database has schema version 9, newer than 2, the newest
/// this penwell knows", "<file>: not a Penwell signing database" (tables of another program),
/// or ServiceCode::storage when SQLite cannot read or write it (a damaged file). Fails leaving
/// the database as it was.
MaybeFailure migrate(sqlite3* db, const std::string& file);

/// Applies migrations up to `version` only: for tests that build an older database.
MaybeFailure migrateTo(sqlite3* db, const std::string& file, int version);

}  // namespace penwell::service::sqlite
