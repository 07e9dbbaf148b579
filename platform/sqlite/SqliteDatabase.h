#pragma once
// The owner of an SQLite connection, without SQLite's header: public headers (the certificate
// store's) hold one as a member, and their includers need not have sqlite3.h.

#include "penwell/platform/CHandle.h"

struct sqlite3;

namespace penwell::sqlite {

/// Closes a connection (sqlite3_close_v2 returns a status, so it cannot be a deleter as is).
void closeDatabase(sqlite3* db) noexcept;
using Database = CHandle<sqlite3, closeDatabase>;

}  // namespace penwell::sqlite
