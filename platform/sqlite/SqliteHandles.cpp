#include "penwell/platform/sqlite/SqliteHandles.h"

#include <climits>

namespace penwell::sqlite {

void closeDatabase(sqlite3* db) noexcept {
    // _v2 defers the close until every statement is finalised instead of failing.
    sqlite3_close_v2(db);
}

void finalizeStatement(sqlite3_stmt* statement) noexcept {
    sqlite3_finalize(statement);
}

Database connect(const std::string& name, int flags) {
    sqlite3* raw = nullptr;
    sqlite3_open_v2(name.c_str(), &raw, flags, nullptr);
    Database db(raw);
    if (db != nullptr) {
        sqlite3_extended_result_codes(db.get(), 1);
        sqlite3_busy_timeout(db.get(), kBusyTimeoutMilliseconds);
    }
    return db;
}

Statement prepare(sqlite3* db, const char* sql) {
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
    return Statement(raw);
}

bool bindText(sqlite3_stmt* statement, int index, std::string_view text) {
    return text.size() <= static_cast<std::size_t>(INT_MAX) &&
           sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                             SQLITE_STATIC) == SQLITE_OK;
}

bool bindBlob(sqlite3_stmt* statement, int index, ByteView blob) {
    // A null pointer binds NULL, not an empty blob: give SQLite a real address for no bytes.
    static const std::uint8_t kNoBytes = 0;
    return blob.size() <= static_cast<std::size_t>(INT_MAX) &&
           sqlite3_bind_blob(statement, index, blob.empty() ? &kNoBytes : blob.data(),
                             static_cast<int>(blob.size()), SQLITE_STATIC) == SQLITE_OK;
}

Bytes columnBlob(sqlite3_stmt* statement, int column) {
    const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement, column));
    const int size = sqlite3_column_bytes(statement, column);
    if (data == nullptr || size <= 0) {
        return {};
    }
    return Bytes(data, data + size);
}

std::string columnText(sqlite3_stmt* statement, int column) {
    const auto* text = sqlite3_column_text(statement, column);
    const int size = sqlite3_column_bytes(statement, column);
    if (text == nullptr || size <= 0) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size));
}

}  // namespace penwell::sqlite
