// A thin owner of one SQLite connection: prepared statements cached by their text, value binding and
// reading, transactions, and errors as Error values. Not thread-safe: its owner serialises use.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/base/error.h"
#include "platform/base/value.h"

namespace lv::data_detail {

class Connection;

// A prepared statement borrowed from the connection's cache; reset and cleared when it goes out of
// scope so that the next user finds it fresh.
class Statement {
public:
    Statement(Connection& connection, sqlite3_stmt* stmt, bool owned = false)
        : connection_(&connection), stmt_(stmt), owned_(owned) {}
    ~Statement();
    Statement(Statement&& other) noexcept : connection_(other.connection_), stmt_(other.stmt_), owned_(other.owned_) {
        other.stmt_ = nullptr;
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    Statement& operator=(Statement&&) = delete;

    explicit operator bool() const { return stmt_ != nullptr; }
    // Makes the statement ready to run again (its bindings stay until they are replaced).
    void reset() {
        if (stmt_) sqlite3_reset(stmt_);
    }
    sqlite3_stmt* get() const { return stmt_; }

    // Binds a value in its bindable form (see bindingValue): nil and null as NULL, integers, doubles,
    // text, data. Index counts from 1.
    void bind(int index, const Value& value);
    void bindInt64(int index, std::int64_t v) { sqlite3_bind_int64(stmt_, index, v); }
    void bindText(int index, std::string_view v) {
        sqlite3_bind_text(stmt_, index, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() { return sqlite3_step(stmt_); }
    // Steps to the end; false (with the error filled) on failure.
    bool run(Ref<Error>* error);

    std::int64_t columnInt64(int i) const { return sqlite3_column_int64(stmt_, i); }
    double columnDouble(int i) const { return sqlite3_column_double(stmt_, i); }
    bool columnIsNull(int i) const { return sqlite3_column_type(stmt_, i) == SQLITE_NULL; }
    std::string columnText(int i) const;
    // The text of a column, valid until the next step or reset; none for NULL.
    std::optional<std::string_view> columnTextView(int i) const;
    Bytes columnBlob(int i) const;

private:
    Connection* connection_;
    sqlite3_stmt* stmt_;
    bool owned_;  // not cached: finalized here
};

// How long a statement waits for another connection's lock before it answers "busy".
inline constexpr int kBusyMilliseconds = 5000;

class Connection {
public:
    Connection() = default;
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Opens (creating when missing) the database at path, or an in-memory one for ":memory:", and
    // registers the decimal collation.
    bool open(const std::string& path, Ref<Error>* error);
    void close();
    bool isOpen() const { return db_ != nullptr; }
    sqlite3* handle() const { return db_; }

    // A cached prepared statement for the text; an empty one (with the error filled) on failure.
    Statement prepare(const std::string& sql, Ref<Error>* error);
    // Runs one or more statements without results.
    bool exec(const std::string& sql, Ref<Error>* error);

    // One write transaction (BEGIN IMMEDIATE: the file's write lock from the start). Inside a hold
    // (below) it is a savepoint, committed with the hold. commit and rollback end the one begun.
    bool begin(Ref<Error>* error);
    bool commit(Ref<Error>* error);
    void rollback();
    // A transaction begun here is open (whatever SQLite itself rolled back meanwhile).
    bool inTransaction() const { return inTransaction_; }

    // Holds the write lock across several transactions: what is read meanwhile is current, and what
    // they write becomes visible to other connections at release, together. release commits (false,
    // with everything of the hold undone, when that fails or the hold was lost); abandon undoes it.
    bool hold(Ref<Error>* error);
    bool release(Ref<Error>* error);
    void abandon();
    bool isHeld() const { return held_; }

    // The connection's last error as a Cocoa-domain error with the given code, the SQLite message and
    // result code in the user info.
    Ref<Error> lastError(std::int64_t code, std::string_view context) const;

    void clearStatementCache();

private:
    sqlite3* db_ = nullptr;
    std::unordered_map<std::string, sqlite3_stmt*> cache_;
    bool inTransaction_ = false;
    bool held_ = false;
};

// The SQLite rendering of a decimal comparison: both texts read as decimals.
int compareDecimalTexts(std::string_view a, std::string_view b);

}  // namespace lv::data_detail
