// The push client's registration database: `PNSqlite` owns ".push_analysis.db" in the Documents
// folder (table `register_tag_model`: the registration row, type 2, and the unregister-status row,
// type 3), its "StatStore" queue for writes, and the SQL; `PNRegisterModel` is the registration row.
//
// Threads: writes are queued on the serial "StatStore" queue and return at once; reads, opening and
// closing run on the caller's thread. Every statement run, prepare, bind, step, reset and finalise,
// and the first open, happens under one process-wide recursive lock. A read may miss a write queued
// just before it.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/base/format.h"
#include "platform/base/object.h"
#include "platform/dispatch/queue.h"
#include "push/push_config.h"

namespace lv {

inline constexpr std::string_view kPNDatabaseFileName = ".push_analysis.db";
inline constexpr std::string_view kPNLegacyDatabaseFileName = "push_analysis.db";

class PNRegisterModel : public Object {
public:
    const PNText& Account() const { return account_; }
    void setAccount(PNText v) { account_ = std::move(v); }
    std::uint8_t IsRegistered() const { return isRegistered_; }
    void setIsRegistered(std::uint8_t v) { isRegistered_ = v; }
    const PNText& UpdateTime() const { return updateTime_; }
    void setUpdateTime(PNText v) { updateTime_ = std::move(v); }

private:
    PNText account_;
    std::uint8_t isRegistered_ = 0;
    PNText updateTime_;
};

class PNSqlite {
public:
    // The shared instance; made on first use, when it opens the database and prepares the schema.
    static PNSqlite& getInstance();

    // The handle, opening the database on first use (moving a legacy file first); null when the open
    // failed. Something else than a file at the database's path (a folder) is set aside first.
    sqlite3* getDB();
    // getDB, then the schema ("PNSTAT_DB_VER" set to 1 when 0, the create statement). A file the
    // create statement finds damaged (not a database, malformed) is set aside and a new one made.
    void initDB();
    void launch() { getDB(); }
    // Finalises the cached statements, closes the handle and forgets it.
    void closeDB();
    // closeDB, then removes the file ("Delete database failed reason:%@" on failure).
    void deleteDB();
    // Runs the statement (whole, however long); its SQLite result code, -1 without a database. Result
    // 11 (malformed image) or 26 (not a database) sets the file aside and prepares a fresh database.
    int updateDatabase(std::string_view sql);
    template <class... Args>
    int updateDatabase(std::string_view fmt, const Args&... args) {
        return updateDatabase(std::string_view(format(fmt, args...)));
    }

    // Queued: replaces the registration row (a nil account becomes "" on the model itself; the time is
    // now, not the model's).
    void storeRegisterModel(const Ref<PNRegisterModel>& model);
    // Queued: sets is_registered of the registration row.
    void updateRegisterStatus(std::uint8_t status);
    // The registration row, or null.
    Ref<PNRegisterModel> loadRegisterModel();
    // Queued: replaces the unregister-status row, then calls the block (when set) on the queue, whether
    // or not the write took place.
    void storeUnRegisterStatus(std::uint8_t status, std::function<void()> successCallback);
    // The unregister-status row's is_registered cut to 8 bits; 2 without a database, query or row.
    std::uint8_t loadUnRegisterStatus();

    // The "StatStore" queue (tests wait on it).
    const Ref<Queue>& taskQueue() const { return taskQueue_; }

private:
    PNSqlite();
    int runStatement(const std::string& sql, std::vector<std::vector<std::string>>* rows);
    int stepCached(sqlite3_stmt** slot, const char* sql, const char* prepareFailure,
                   const std::function<void(sqlite3_stmt*)>& bind);
    int stepCachedOnce(sqlite3_stmt** slot, const char* sql, const char* prepareFailure,
                       const std::function<void(sqlite3_stmt*)>& bind);
    void finalizeCached();
    // A result that says the file is damaged (malformed, not a database): the file and its journals
    // are moved into "Damaged" beside it (setAsideDamagedFile) and a new database made. Answers
    // whether it did so.
    bool healIfDamaged(int result);

    Ref<Queue> taskQueue_;
    sqlite3* db_ = nullptr;  // under the lock
    sqlite3_stmt* replaceStatement_ = nullptr;  // under the lock
    sqlite3_stmt* updateStatement_ = nullptr;  // under the lock
};

}  // namespace lv
