#include "penwell/service/sqlite/StatementCache.h"

#include <map>

namespace penwell::service::sqlite {

namespace {

std::mutex& registryMutex() {
    static std::mutex mutex;
    return mutex;
}

std::map<sqlite3*, StatementCache*>& registry() {
    static std::map<sqlite3*, StatementCache*> caches;
    return caches;
}

}  // namespace

StatementCache::StatementCache(sqlite3* db) : db_(db) {
    std::lock_guard lock(registryMutex());
    registry()[db_] = this;
}

StatementCache::~StatementCache() {
    std::lock_guard lock(registryMutex());
    registry().erase(db_);
}

StatementCache* StatementCache::of(sqlite3* db) {
    std::lock_guard lock(registryMutex());
    const auto found = registry().find(db);
    return found == registry().end() ? nullptr : found->second;
}

sqlite3_stmt* StatementCache::lend(const char* sql) {
    std::lock_guard lock(mutex_);
    auto found = kept_.find(sql);
    if (found == kept_.end()) {
        if (kept_.size() >= kMaxStatements) {
            return nullptr;
        }
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr) !=
                SQLITE_OK ||
            raw == nullptr) {
            sqlite3_finalize(raw);
            return nullptr;  // the caller compiles it again and reports SQLite's reason
        }
        found = kept_.emplace(sql, Kept{penwell::sqlite::Statement(raw), false}).first;
    }
    if (found->second.lent) {
        return nullptr;
    }
    found->second.lent = true;
    return found->second.statement.get();
}

void StatementCache::giveBack(sqlite3_stmt* statement) {
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    std::lock_guard lock(mutex_);
    if (const auto found = kept_.find(sqlite3_sql(statement)); found != kept_.end()) {
        found->second.lent = false;
    }
}

}  // namespace penwell::service::sqlite
