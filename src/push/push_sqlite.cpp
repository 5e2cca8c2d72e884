#include "push/push_sqlite.h"

#include <sys/stat.h>

#include <mutex>
#include <vector>

#include "platform/base/log.h"
#include "platform/storage/file_manager.h"
#include "platform/storage/path.h"
#include "platform/storage/sandbox.h"
#include "platform/storage/user_defaults.h"
#include "push/push_helper.h"

namespace lv {

namespace {

// How long a statement waits for another connection (another process on the same home) to let go.
constexpr int kBusyTimeoutMilliseconds = 5000;

constexpr const char* kCreateSQL =
    "create table if not exists register_tag_model(type INTEGER,account TEXT,is_registered INTEGER,update_time "
    "TEXT,PRIMARY KEY(type))";
constexpr const char* kReplaceSQL =
    "replace into register_tag_model(type,account,is_registered,update_time) "
    "values(@type,@account,@is_registered,@update_time)";
constexpr const char* kUpdateSQL = "update register_tag_model set is_registered = @is_registered where type = @type";
constexpr const char* kSelectRegisterSQL =
    "select account,is_registered,update_time from register_tag_model where type = 2;";
constexpr const char* kSelectUnRegisterSQL =
    "select account,is_registered,update_time from register_tag_model where type = 3;";

// The one process-wide lock of the database ("__PNSTAT_LOCK__"); recursive, since recovery re-enters.
std::recursive_mutex& statLock() {
    static std::recursive_mutex lock;
    return lock;
}

std::string documentsFolder() {
    const Array paths = searchPathForDirectoriesInDomains(SearchPathDirectory::Document, kUserDomainMask, true);
    return paths.empty() ? std::string() : expandingTildeInPath(paths[0].string());
}

std::string databasePath(std::string_view name) { return path::appendingPathComponent(documentsFolder(), name); }

// Collects each row whose first value is not null, as UTF-8 texts.
int collectRow(void* context, int count, char** values, char**) {
    if (count <= 0 || !values[0]) return 0;
    auto* rows = static_cast<std::vector<std::vector<std::string>>*>(context);
    std::vector<std::string> row;
    for (int i = 0; i < count; ++i) row.emplace_back(values[i] ? values[i] : "");
    rows->push_back(std::move(row));
    return 0;
}

bool isDamage(int result) { return (result & 0xff) == SQLITE_CORRUPT || (result & 0xff) == SQLITE_NOTADB; }

// Moves the database (or what stands at its path) and its journals aside, so a new one can start.
void setAsideDatabase(const std::string& path, std::string_view problem) {
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
        const std::string file = path + suffix;
        struct stat info {};
        if (::lstat(file.c_str(), &info) == 0) setAsideDamagedFile(file, problem);
    }
}

// The first row of exactly three values, or none.
const std::vector<std::string>* firstFullRow(const std::vector<std::vector<std::string>>& rows) {
    for (const auto& row : rows) {
        if (row.size() == 3) return &row;
    }
    return nullptr;
}

}  // namespace

PNSqlite& PNSqlite::getInstance() {
    static auto& instance = *new PNSqlite;
    return instance;
}

PNSqlite::PNSqlite() : taskQueue_(Queue::makeSerial("StatStore")) { initDB(); }

sqlite3* PNSqlite::getDB() {
    std::lock_guard lock(statLock());
    if (db_) return db_;
    FileManager& files = FileManager::defaultManager();
    const std::string target = databasePath(kPNDatabaseFileName);
    const std::string legacy = databasePath(kPNLegacyDatabaseFileName);
    if (files.fileExistsAtPath(legacy)) {
        if (files.fileExistsAtPath(target)) deleteDB();
        Ref<Error> error;
        if (!files.moveItemAtPath(legacy, target, &error)) {
            log("Unable to move file: %@", error ? error->localizedDescription() : std::string());
        }
    }
    // A folder (or anything but a file) where the database belongs never opens: it goes aside.
    struct stat info {};
    if (::stat(target.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) setAsideDatabase(target, "Push database is no file");
    sqlite3* handle = nullptr;
    if (sqlite3_open(target.c_str(), &handle) != SQLITE_OK) {
        sqlite3_close(handle);
        log("open sqlite db failed.");
        return nullptr;
    }
    log("open sqlite db ok.");
    // Another process of the app on the same home may hold the file for a moment: wait for it rather
    // than fail the statement (and lose its row) at once.
    sqlite3_busy_timeout(handle, kBusyTimeoutMilliseconds);
    db_ = handle;
    return db_;
}

void PNSqlite::initDB() {
    std::lock_guard lock(statLock());
    if (!getDB()) {
        log("NULL database to init table.");
        return;
    }
    const Ref<UserDefaults> defaults = UserDefaults::standardUserDefaults();
    if (defaults->integerForKey(kPNStatDBVersionKey) == 0) {
        defaults->setInteger(1, kPNStatDBVersionKey);
        defaults->synchronize();
    }
    if (healIfDamaged(runStatement(kCreateSQL, nullptr)) && getDB()) runStatement(kCreateSQL, nullptr);
}

bool PNSqlite::healIfDamaged(int result) {
    std::lock_guard lock(statLock());
    if (!isDamage(result)) return false;
    closeDB();
    setAsideDatabase(databasePath(kPNDatabaseFileName), result == SQLITE_NOTADB ? "Push database is not a database" : "Push database is malformed");
    return true;
}

void PNSqlite::finalizeCached() {
    sqlite3_finalize(replaceStatement_);
    sqlite3_finalize(updateStatement_);
    replaceStatement_ = nullptr;
    updateStatement_ = nullptr;
}

void PNSqlite::closeDB() {
    std::lock_guard lock(statLock());
    if (!db_) return;
    // Statements of a handle must end before it, or the close fails and the next write uses a dead one.
    finalizeCached();
    sqlite3_close(db_);
    db_ = nullptr;
}

void PNSqlite::deleteDB() {
    std::lock_guard lock(statLock());
    closeDB();
    Ref<Error> error;
    if (!FileManager::defaultManager().removeItemAtPath(databasePath(kPNDatabaseFileName), &error) && error) {
        log("Delete database failed reason:%@", error);
    }
}

int PNSqlite::runStatement(const std::string& sql, std::vector<std::vector<std::string>>* rows) {
    std::lock_guard lock(statLock());
    if (!db_) return -1;
    char* message = nullptr;
    const int result = sqlite3_exec(db_, sql.c_str(), rows ? collectRow : nullptr, rows, &message);
    if (result != SQLITE_OK) {
        log("Failed to execute sql:%s for reason:%s", sql.c_str(), message ? message : sqlite3_errmsg(db_));
    }
    sqlite3_free(message);
    return result;
}

int PNSqlite::updateDatabase(std::string_view sql) {
    std::lock_guard lock(statLock());
    if (!getDB()) return -1;
    const int result = runStatement(std::string(sql), nullptr);
    if (healIfDamaged(result)) initDB();
    return result;
}

int PNSqlite::stepCached(sqlite3_stmt** slot, const char* sql, const char* prepareFailure,
                         const std::function<void(sqlite3_stmt*)>& bind) {
    std::lock_guard lock(statLock());
    const int result = stepCachedOnce(slot, sql, prepareFailure, bind);
    // A damaged file is set aside and the row written once more into the new one.
    if (healIfDamaged(result)) {
        initDB();
        if (db_) return stepCachedOnce(slot, sql, prepareFailure, bind);
    }
    return result;
}

int PNSqlite::stepCachedOnce(sqlite3_stmt** slot, const char* sql, const char* prepareFailure,
                             const std::function<void(sqlite3_stmt*)>& bind) {
    if (!*slot) {
        const int prepared = sqlite3_prepare_v2(db_, sql, -1, slot, nullptr);
        if (prepared != SQLITE_OK) {
            sqlite3_finalize(*slot);
            *slot = nullptr;
            log("%s", prepareFailure);
            return prepared;
        }
    }
    bind(*slot);
    const int result = sqlite3_step(*slot);
    if (result == SQLITE_DONE) {
        sqlite3_clear_bindings(*slot);
        sqlite3_reset(*slot);
    } else {
        sqlite3_finalize(*slot);
        *slot = nullptr;
        log("Failed to exec satement to insert configs.");
    }
    return result;
}

void PNSqlite::storeRegisterModel(const Ref<PNRegisterModel>& model) {
    // The model is fixed up and read here, on the caller's thread, so the queue never touches it.
    if (!model->Account()) model->setAccount(std::string());
    taskQueue_->async([this, account = *model->Account(), registered = std::int64_t{model->IsRegistered()}] {
        std::lock_guard lock(statLock());
        if (!getDB()) return;
        const std::string now = PNHelper::getInstance().getCurrentTime();
        stepCached(&replaceStatement_, kReplaceSQL, "Failed to prepare replace register_tag_model",
                   [&](sqlite3_stmt* statement) {
                       sqlite3_bind_int64(statement, 1, 2);
                       sqlite3_bind_text(statement, 2, account.c_str(), -1, SQLITE_TRANSIENT);
                       sqlite3_bind_int64(statement, 3, registered);
                       sqlite3_bind_text(statement, 4, now.c_str(), -1, SQLITE_TRANSIENT);
                   });
    });
}

void PNSqlite::updateRegisterStatus(std::uint8_t status) {
    taskQueue_->async([this, status] {
        std::lock_guard lock(statLock());
        if (!getDB()) return;
        stepCached(&updateStatement_, kUpdateSQL, "Failed to prepare update register_tag_model",
                   [&](sqlite3_stmt* statement) {
                       sqlite3_bind_int64(statement, 1, status);
                       sqlite3_bind_int64(statement, 2, 2);
                   });
    });
}

Ref<PNRegisterModel> PNSqlite::loadRegisterModel() {
    std::lock_guard lock(statLock());
    if (!getDB()) return nullptr;
    std::vector<std::vector<std::string>> rows;
    if (const int result = runStatement(kSelectRegisterSQL, &rows); result != SQLITE_OK) {
        if (healIfDamaged(result)) initDB();
        return nullptr;
    }
    const auto* row = firstFullRow(rows);
    if (!row) return nullptr;
    auto model = makeRef<PNRegisterModel>();
    model->setAccount((*row)[0]);
    model->setIsRegistered(static_cast<std::uint8_t>(Value((*row)[1]).intValue()));
    model->setUpdateTime((*row)[2]);
    return model;
}

void PNSqlite::storeUnRegisterStatus(std::uint8_t status, std::function<void()> successCallback) {
    taskQueue_->async([this, status, callback = std::move(successCallback)] {
        {
            std::lock_guard lock(statLock());
            if (getDB()) {
                const std::string now = PNHelper::getInstance().getCurrentTime();
                stepCached(&replaceStatement_, kReplaceSQL, "Failed to prepare replace register_tag_model",
                           [&](sqlite3_stmt* statement) {
                               sqlite3_bind_int64(statement, 1, 3);
                               sqlite3_bind_text(statement, 2, "", -1, SQLITE_TRANSIENT);
                               sqlite3_bind_int64(statement, 3, status);
                               sqlite3_bind_text(statement, 4, now.c_str(), -1, SQLITE_TRANSIENT);
                           });
            }
        }
        if (callback) callback();
    });
}

std::uint8_t PNSqlite::loadUnRegisterStatus() {
    std::lock_guard lock(statLock());
    if (!getDB()) return 2;
    std::vector<std::vector<std::string>> rows;
    if (const int result = runStatement(kSelectUnRegisterSQL, &rows); result != SQLITE_OK) {
        if (healIfDamaged(result)) initDB();
        return 2;
    }
    const auto* row = firstFullRow(rows);
    if (!row) return 2;
    return static_cast<std::uint8_t>(Value((*row)[1]).intValue());
}

}  // namespace lv
