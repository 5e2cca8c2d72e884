// Ways to make SQLite fail under a store (a read-only file, a full disk, locks held by another
// connection, a trigger), each with the way to remove its cause, for the save and migration tests.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "data_test_support.h"
#include "support/raw_sqlite.h"

namespace lv::test {

// A connection of the test's own to the file, kept open while a case needs it.
struct RawConnection {
    explicit RawConnection(const std::string& path) { EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK); }
    ~RawConnection() {
        sqlite3_finalize(reading);
        sqlite3_close(db);
    }
    void exec(const std::string& sql) {
        char* message = nullptr;
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK) << (message ? message : "");
        sqlite3_free(message);
    }
    // A read left open inside a transaction: a shared lock that blocks any commit of another writer.
    void holdSharedLock() {
        exec("BEGIN");
        ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT 1 FROM \"Item\"", -1, &reading, nullptr), SQLITE_OK);
        ASSERT_EQ(sqlite3_step(reading), SQLITE_ROW);
    }
    void releaseSharedLock() {
        sqlite3_finalize(reading);
        reading = nullptr;
        exec("COMMIT");
    }
    sqlite3* db = nullptr;
    sqlite3_stmt* reading = nullptr;
};

inline std::int64_t pageCount(const std::string& path) { return std::stoll(rawTexts(path, "PRAGMA page_count").at(0)); }

// The rows every case starts from: the item "old" and ballast an owner holds (64 KiB of text).
inline void seedFile(const std::string& path) {
    auto seed = openCoordinator(makeItemModel(), path);
    ASSERT_TRUE(seed);
    insertRow(*seed, "Item", {{"name", Value("old")}});
    insertRow(*seed, "Owner", {{"name", Value(std::string(64 * 1024, 'b'))}});
}

// How SQLite is made to fail: options for the store's connection, what is done to the file before
// the store opens it and before the save, and how the cause is removed again (none: it cannot be
// for the open connection).
struct SQLiteFailure {
    const char* label;
    const char* message;  // SQLite's
    std::function<Dictionary(const std::string& path)> beforeOpen;
    std::function<std::function<void()>(const std::string& path)> impose;
};

inline Dictionary pragmas(Dictionary values) { return Dictionary{{std::string(kSQLitePragmasOption), Value(std::move(values))}}; }

// The file's mode is read-only; a process that may write it anyway (root) is kept from writing by
// the connection's own read-only switch, which SQLite reports in the same way.
inline Dictionary makeReadOnly(const std::string& path) {
    std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
    return access(path.c_str(), W_OK) == 0 ? pragmas({{"query_only", Value(1)}}) : Dictionary{};
}

inline const SQLiteFailure kSQLiteFailures[] = {
    {"read-only file", "attempt to write a readonly database", makeReadOnly,
     [](const std::string&) { return std::function<void()>(); }},
    {"full disk", "database or disk is full",
     [](const std::string& path) { return pragmas({{"max_page_count", Value(pageCount(path))}}); },
     [](const std::string& path) {  // ballast rows freed by another writer make room
         return std::function<void()>([path] { RawConnection(path).exec("DELETE FROM \"Owner\""); });
     }},
    {"another writer holds the write lock", "database is locked",
     [](const std::string&) { return pragmas({{"busy_timeout", Value(0)}}); },
     [](const std::string& path) {
         auto holder = std::make_shared<RawConnection>(path);
         holder->exec("BEGIN IMMEDIATE");
         return std::function<void()>([holder] { holder->exec("ROLLBACK"); });
     }},
    {"a reader blocks the commit", "database is locked",
     [](const std::string&) { return pragmas({{"busy_timeout", Value(0)}}); },
     [](const std::string& path) {
         auto holder = std::make_shared<RawConnection>(path);
         holder->holdSharedLock();
         return std::function<void()>([holder] { holder->releaseSharedLock(); });
     }},
    {"a trigger refuses inserts", "no new items today", [](const std::string&) { return Dictionary{}; },
     [](const std::string& path) {
         RawConnection(path).exec("CREATE TRIGGER \"refuse\" BEFORE INSERT ON \"Item\" BEGIN SELECT RAISE(ABORT, 'no new items today'); END;");
         return std::function<void()>([path] { RawConnection(path).exec("DROP TRIGGER \"refuse\""); });
     }},
};

}  // namespace lv::test
