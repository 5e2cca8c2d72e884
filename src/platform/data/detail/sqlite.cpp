#include "platform/data/detail/sqlite.h"

#include "platform/data/detail/sql.h"
#include "platform/data/errors.h"

namespace lv::data_detail {

namespace {

constexpr std::size_t kStatementCacheLimit = 256;

int decimalCollation(void*, int lengthA, const void* a, int lengthB, const void* b) {
    return compareDecimalTexts(std::string_view(static_cast<const char*>(a), static_cast<std::size_t>(lengthA)),
                               std::string_view(static_cast<const char*>(b), static_cast<std::size_t>(lengthB)));
}

}  // namespace

int compareDecimalTexts(std::string_view a, std::string_view b) {
    if (a == b) return 0;
    const Decimal da = Decimal::fromString(a);
    const Decimal db = Decimal::fromString(b);
    return da.compare(db);
}

// ---- Statement ----

Statement::~Statement() {
    if (!stmt_) return;
    if (owned_) {
        sqlite3_finalize(stmt_);
        return;
    }
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

void Statement::bind(int index, const Value& value) {
    const Value v = bindingValue(value);
    switch (v.type()) {
        case Value::Type::Number:
            if (v.number()->isFloatingPoint()) sqlite3_bind_double(stmt_, index, v.number()->doubleValue());
            else sqlite3_bind_int64(stmt_, index, v.number()->longLongValue());
            break;
        case Value::Type::String:
            sqlite3_bind_text(stmt_, index, v.string().data(), static_cast<int>(v.string().size()), SQLITE_TRANSIENT);
            break;
        case Value::Type::Data:
            sqlite3_bind_blob(stmt_, index, v.bytes().data(), static_cast<int>(v.bytes().size()), SQLITE_TRANSIENT);
            break;
        default: sqlite3_bind_null(stmt_, index); break;
    }
}

bool Statement::run(Ref<Error>* error) {
    int rc;
    while ((rc = step()) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) {
        setError(error, connection_->lastError(kSQLiteError, "statement failed"));
        return false;
    }
    return true;
}

std::string Statement::columnText(int i) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, i));
    const int length = sqlite3_column_bytes(stmt_, i);
    return text ? std::string(text, static_cast<std::size_t>(length)) : std::string();
}

std::optional<std::string_view> Statement::columnTextView(int i) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, i));
    if (!text) return std::nullopt;
    return std::string_view(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, i)));
}

Bytes Statement::columnBlob(int i) const {
    const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, i));
    const int length = sqlite3_column_bytes(stmt_, i);
    return data ? Bytes(data, data + length) : Bytes();
}

// ---- Connection ----

Connection::~Connection() { close(); }

bool Connection::open(const std::string& path, Ref<Error>* error) {
    close();
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    const int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
        Ref<Error> e = lastError(kSQLiteError, "cannot open the store file");
        close();
        setError(error, e);
        return false;
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, kBusyMilliseconds);
    sqlite3_create_collation(db_, std::string(kDecimalCollation).c_str(), SQLITE_UTF8, nullptr, decimalCollation);
    return true;
}

void Connection::close() {
    clearStatementCache();
    if (db_) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

void Connection::clearStatementCache() {
    for (auto& [sql, stmt] : cache_) sqlite3_finalize(stmt);
    cache_.clear();
}

Statement Connection::prepare(const std::string& sql, Ref<Error>* error) {
    auto it = cache_.find(sql);
    if (it != cache_.end()) return Statement(*this, it->second);
    // A full cache keeps what it has (statements in it may be in use) and hands out an uncached one.
    const bool cacheIt = cache_.size() < kStatementCacheLimit;
    sqlite3_stmt* stmt = nullptr;
    const int rc = sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()),
                                      cacheIt ? SQLITE_PREPARE_PERSISTENT : 0, &stmt, nullptr);
    if (rc != SQLITE_OK || !stmt) {
        setError(error, lastError(kSQLiteError, sql));
        if (stmt) sqlite3_finalize(stmt);
        return Statement(*this, nullptr);
    }
    if (!cacheIt) return Statement(*this, stmt, true);
    cache_.emplace(sql, stmt);
    return Statement(*this, stmt);
}

bool Connection::exec(const std::string& sql, Ref<Error>* error) {
    char* message = nullptr;
    const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
    if (message) sqlite3_free(message);
    if (rc != SQLITE_OK) {
        setError(error, lastError(kSQLiteError, sql));
        return false;
    }
    return true;
}

bool Connection::begin(Ref<Error>* error) {
    if (!exec(held_ ? "SAVEPOINT lv_transaction" : "BEGIN IMMEDIATE", error)) return false;
    inTransaction_ = true;
    return true;
}

bool Connection::commit(Ref<Error>* error) {
    if (!exec(held_ ? "RELEASE lv_transaction" : "COMMIT", error)) return false;
    inTransaction_ = false;
    return true;
}

void Connection::rollback() {
    exec(held_ ? "ROLLBACK TO lv_transaction; RELEASE lv_transaction" : "ROLLBACK", nullptr);
    inTransaction_ = false;
}

bool Connection::hold(Ref<Error>* error) {
    if (held_ || inTransaction_) return true;
    if (!exec("BEGIN IMMEDIATE", error)) return false;
    held_ = true;
    return true;
}

bool Connection::release(Ref<Error>* error) {
    if (!held_) return true;
    if (inTransaction_) rollback();
    held_ = false;
    if (sqlite3_get_autocommit(db_)) {
        // SQLite ended the transaction itself (a full disk, an I/O error): nothing of it was kept.
        setError(error, Error::make(std::string(kCocoaErrorDomain), kSQLiteError,
                                    Dictionary{{std::string(kLocalizedDescriptionKey),
                                                Value(std::string("the write transaction was lost"))}}));
        return false;
    }
    if (exec("COMMIT", error)) return true;
    exec("ROLLBACK", nullptr);
    return false;
}

void Connection::abandon() {
    if (!held_) return;
    inTransaction_ = false;
    held_ = false;
    exec("ROLLBACK", nullptr);
}

Ref<Error> Connection::lastError(std::int64_t code, std::string_view context) const {
    const int rc = db_ ? sqlite3_extended_errcode(db_) : SQLITE_CANTOPEN;
    const std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    return Error::make(std::string(kCocoaErrorDomain), code,
                       Dictionary{{std::string(kLocalizedDescriptionKey), Value(message)},
                                  {std::string(kReasonKey), Value(std::string(context))},
                                  {std::string(kSQLiteErrorCodeKey), Value(static_cast<std::int64_t>(rc))}});
}

}  // namespace lv::data_detail
