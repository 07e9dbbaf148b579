#include "penwell/service/sqlite/Query.h"

namespace penwell::service::sqlite {

void refuse(ServiceCode code, const std::string& file, const std::string& what) {
    throw Refusal{Failure::at(kServiceDomain, static_cast<std::int64_t>(code), file, what)};
}

void refuseWithDatabase(sqlite3* db, const std::string& file) {
    refuse(ServiceCode::storage, file, sqlite3_errmsg(db));
}

void checkId(const std::string& id, const char* what, const std::string& file) {
    const bool safe = !id.empty() && id.size() <= 64 &&
                      id.find_first_not_of(
                          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwx"
                          "yz0123456789_-") == std::string::npos;
    if (!safe) {
        refuse(ServiceCode::invalid, file,
               std::string(what) + " id \"" + id.substr(0, 80) +
                   "\" is not 1 to 64 letters, digits, '_' or '-'");
    }
}

Query::Query(sqlite3* db, const std::string& file, const char* sql)
    : db_(db), file_(file), statement_(penwell::sqlite::prepare(db, sql)) {
    if (statement_ == nullptr) {
        refuseWithDatabase(db_, file_);
    }
}

Query& Query::bind(int index, std::string_view text) {
    if (!penwell::sqlite::bindText(statement_.get(), index, text)) {
        refuseWithDatabase(db_, file_);
    }
    return *this;
}

Query& Query::bind(int index, ByteView blob) {
    if (!penwell::sqlite::bindBlob(statement_.get(), index, blob)) {
        refuseWithDatabase(db_, file_);
    }
    return *this;
}

Query& Query::bind(int index, std::int64_t value) {
    if (sqlite3_bind_int64(statement_.get(), index, value) != SQLITE_OK) {
        refuseWithDatabase(db_, file_);
    }
    return *this;
}

Query& Query::bind(int index, std::optional<std::int64_t> value) {
    if (!value) {
        if (sqlite3_bind_null(statement_.get(), index) != SQLITE_OK) {
            refuseWithDatabase(db_, file_);
        }
        return *this;
    }
    return bind(index, *value);
}

bool Query::step() {
    const int rc = sqlite3_step(statement_.get());
    if (rc == SQLITE_ROW) {
        return true;
    }
    if (rc == SQLITE_DONE) {
        return false;
    }
    refuseWithDatabase(db_, file_);
}

void Query::run() {
    while (step()) {
    }
}

std::int64_t Query::integer(int column) const {
    return sqlite3_column_int64(statement_.get(), column);
}

std::optional<std::int64_t> Query::maybeInteger(int column) const {
    if (sqlite3_column_type(statement_.get(), column) == SQLITE_NULL) {
        return std::nullopt;
    }
    return integer(column);
}

std::string Query::text(int column) const {
    return penwell::sqlite::columnText(statement_.get(), column);
}

Bytes Query::blob(int column) const {
    return penwell::sqlite::columnBlob(statement_.get(), column);
}

}  // namespace penwell::service::sqlite
