#include "penwell/service/sqlite/Query.h"

namespace penwell::service::sqlite {

Failure refusal(ServiceCode code, const std::string& file, const std::string& what) {
    return Failure::at(kServiceDomain, static_cast<std::int64_t>(code), file, what);
}

Failure databaseFailure(sqlite3* db, const std::string& file) {
    return refusal(ServiceCode::storage, file, sqlite3_errmsg(db));
}

MaybeFailure checkId(const std::string& id, const char* what, const std::string& file) {
    const bool safe = !id.empty() && id.size() <= 64 &&
                      id.find_first_not_of(
                          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwx"
                          "yz0123456789_-") == std::string::npos;
    if (!safe) {
        return refusal(ServiceCode::invalid, file,
                       std::string(what) + " id \"" + id.substr(0, 80) +
                           "\" is not 1 to 64 letters, digits, '_' or '-'");
    }
    return std::nullopt;
}

Query::Query(sqlite3* db, const std::string& file, const char* sql)
    : db_(db), file_(file), cache_(StatementCache::of(db)) {
    if (cache_ != nullptr) {
        lent_ = cache_->lend(sql);
    }
    if (lent_ == nullptr) {
        statement_ = penwell::sqlite::prepare(db, sql);
    }
    keepFailure(statement() != nullptr);
}

Query::~Query() {
    if (lent_ != nullptr) {
        cache_->giveBack(lent_);
    }
}

void Query::keepFailure(bool ok) {
    // The first failure is SQLite's reason; later binds on a failed statement are not tried.
    if (!ok && !failure_) {
        failure_ = databaseFailure(db_, file_);
    }
}

Query& Query::bind(int index, std::string_view text) {
    if (!failure_) {
        keepFailure(penwell::sqlite::bindText(statement(), index, text));
    }
    return *this;
}

Query& Query::bind(int index, ByteView blob) {
    if (!failure_) {
        keepFailure(penwell::sqlite::bindBlob(statement(), index, blob));
    }
    return *this;
}

Query& Query::bind(int index, std::int64_t value) {
    if (!failure_) {
        keepFailure(sqlite3_bind_int64(statement(), index, value) == SQLITE_OK);
    }
    return *this;
}

Query& Query::bind(int index, std::optional<std::int64_t> value) {
    if (!value) {
        if (!failure_) {
            keepFailure(sqlite3_bind_null(statement(), index) == SQLITE_OK);
        }
        return *this;
    }
    return bind(index, *value);
}

Result<bool> Query::step() {
    if (failure_) {
        return *failure_;
    }
    const int rc = sqlite3_step(statement());
    if (rc == SQLITE_ROW) {
        return true;
    }
    if (rc == SQLITE_DONE) {
        return false;
    }
    keepFailure(false);
    return *failure_;
}

MaybeFailure Query::run() {
    return eachRow([] {});
}

MaybeFailure Query::expectRow(const Failure& missing) {
    auto row = step();
    if (!row) {
        return row.error();
    }
    return *row ? MaybeFailure{} : MaybeFailure{missing};
}

MaybeFailure Query::expectNoRow(const Failure& present) {
    auto row = step();
    if (!row) {
        return row.error();
    }
    return *row ? MaybeFailure{present} : MaybeFailure{};
}

std::int64_t Query::integer(int column) const {
    return sqlite3_column_int64(statement(), column);
}

std::optional<std::int64_t> Query::maybeInteger(int column) const {
    if (sqlite3_column_type(statement(), column) == SQLITE_NULL) {
        return std::nullopt;
    }
    return integer(column);
}

std::string Query::text(int column) const {
    return penwell::sqlite::columnText(statement(), column);
}

Bytes Query::blob(int column) const {
    return penwell::sqlite::columnBlob(statement(), column);
}

}  // namespace penwell::service::sqlite
