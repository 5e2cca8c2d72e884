// The store file check before the launch: header, SQLite's integrity check and the model, read without
// writing the file or its journal; a damaged file goes aside with its journal.
#include "app/detail/store_check.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string_view>

#include "platform/base/value.h"
#include "platform/data/coordinator.h"
#include "platform/data/errors.h"
#include "platform/security/digest.h"
#include "platform/storage/file_manager.h"
#include "platform/storage/json.h"
#include "store/persistence.h"

namespace lv::app_detail {

namespace {

namespace fs = std::filesystem;

enum class Verdict { Sound, Damaged, Unknown };

constexpr std::string_view kCheckCopyPrefix = "lunavexa-store-check-";
constexpr std::string_view kReadingCopyPrefix = "lunavexa-show-";

struct Finding {
    Verdict verdict = Verdict::Sound;
    std::string reason;
    bool fileChecked = false;  // sound after SQLite's integrity check of the file alone (no journal)
};

Finding damaged(std::string reason) { return {Verdict::Damaged, std::move(reason)}; }

using Database = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;

// A file: URI for the path with every byte outside the unreserved set escaped ("?" and "#" would end it).
std::string fileURI(const fs::path& path) {
    static const char* digits = "0123456789ABCDEF";
    std::string uri = "file:";
    for (unsigned char c : path.string()) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
                           c == '.' || c == '_' || c == '-' || c == '~';
        if (plain) {
            uri += static_cast<char>(c);
        } else {
            uri += '%';
            uri += digits[c >> 4];
            uri += digits[c & 15];
        }
    }
    return uri;
}

// Opens the file alone ("immutable": no lock, no journal, no write) or normally (a copy).
Database openDatabase(const fs::path& path, bool immutable) {
    sqlite3* handle = nullptr;
    const std::string name = immutable ? fileURI(path) + "?immutable=1" : path.string();
    const int flags = immutable ? SQLITE_OPEN_READONLY | SQLITE_OPEN_URI : SQLITE_OPEN_READWRITE;
    if (sqlite3_open_v2(name.c_str(), &handle, flags, nullptr) != SQLITE_OK) {
        sqlite3_close(handle);
        handle = nullptr;
    }
    return Database(handle, &sqlite3_close);
}

bool isDamageCode(int rc) { return (rc & 0xff) == SQLITE_CORRUPT || (rc & 0xff) == SQLITE_NOTADB; }

// Runs one statement; each row goes to the visitor. SQLite's damage codes become Damaged, other
// failures Unknown.
Finding query(sqlite3* db, const char* sql, const std::function<void(sqlite3_stmt*)>& row) {
    sqlite3_stmt* statement = nullptr;
    int rc = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
    if (rc == SQLITE_OK) {
        while ((rc = sqlite3_step(statement)) == SQLITE_ROW) row(statement);
    }
    sqlite3_finalize(statement);
    if (rc == SQLITE_OK || rc == SQLITE_DONE) return {};
    std::string message = sqlite3_errmsg(db);
    return isDamageCode(rc) ? damaged(message) : Finding{Verdict::Unknown, message};
}

Finding integrity(sqlite3* db) {
    std::string report;  // the rows on one line
    Finding found = query(db, "PRAGMA integrity_check(1)", [&](sqlite3_stmt* s) {
        std::string row = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
        for (char& c : row) {
            if (c == '\n' || c == '\r' || c == '\t') c = ' ';
        }
        report += (report.empty() ? "" : " ") + row;
    });
    if (found.verdict != Verdict::Sound) return found;
    if (report != "ok") return damaged("the integrity check fails: " + report);
    return {};
}

std::optional<Bytes> fromHex(const std::string& hex) {
    if (hex.size() % 2 != 0) return std::nullopt;
    Bytes bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = hex.substr(i, 2);
        const long value = std::strtol(pair.c_str(), &end, 16);
        if (*end != '\0') return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return bytes;
}

// True when the file's recorded entity hashes are the model's: the launch opens it as it is.
bool matchesModel(sqlite3* db) {
    const Ref<ManagedObjectModel> model = RS_defaultManagedObjectModel();
    std::string text;
    const Finding found = query(db, "SELECT value FROM _lv_metadata WHERE key = 'VersionHashes'", [&](sqlite3_stmt* s) {
        text = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    });
    if (!model || found.verdict != Verdict::Sound || text.empty()) return false;
    const Value hashes = JSONSerialization::JSONObjectWithData(text, 0, nullptr);
    if (!hashes.isDictionary()) return false;
    Dictionary stored;
    for (const auto& [name, hex] : hashes.dictionary()) {
        auto bytes = hex.isString() ? fromHex(hex.string()) : std::nullopt;
        if (!bytes) return false;
        stored.set(name, Value(*bytes));
    }
    return model->isCompatibleWithVersionHashes(stored);
}

// Opens a copy as the launch will (automatic migration) and tells what it meets: a file that is not a
// store of ours, or one it cannot migrate, is damaged; a failure of the disk is not the file's fault.
Finding migration(const fs::path& copy) {
    const Ref<ManagedObjectModel> model = RS_defaultManagedObjectModel();
    if (!model) return {Verdict::Unknown, "no model"};
    auto coordinator = makeRef<PersistentStoreCoordinator>(model);
    Ref<Error> error;
    Ref<PersistentStore> store = coordinator->addPersistentStore(kSQLiteStoreType, "", copy, RS_autoMigrationOptions(), &error);
    if (store) {
        coordinator->removePersistentStore(store, nullptr);
        return {};
    }
    if (!error) return {Verdict::Unknown, "the store did not open"};
    const std::string text = error->localizedDescription();
    if (error->code() == kMigrationMissingSourceModelError) return damaged("it holds no model of this app: " + text);
    if (error->code() == kFileReadCorruptFileError) return damaged("its tables cannot be read: " + text);
    if (error->code() == kMigrationError && error->userInfo().get(kUnderlyingErrorKey).isNil()) {
        return damaged("its model cannot be migrated: " + text);
    }
    return {Verdict::Unknown, text};
}

// A file found sound by the full check (SQLite's integrity check on the file alone, and tables of this
// model or none) carries this extended attribute: its identity (inode, size and modification time) and
// the model's entity hashes when it was checked. While both still match, the file has not been written
// since (SQLite's own writes, a copy over it and another program's all change the time) and the model
// is the same, so the verdict stands without opening the file. A file system without extended
// attributes keeps no mark, and the full check runs at every launch.
constexpr const char* kSoundMark = "user.lunavexa.integrity-checked";

std::string fileIdentity(const fs::path& store) {
    struct stat info {};
    if (::stat(store.c_str(), &info) != 0) return {};
    return "2 " + std::to_string(info.st_ino) + " " + std::to_string(info.st_size) + " " +
           std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec);
}

// The model's entity names and version hashes, digested; empty without a model.
std::string modelFingerprint() {
    const Ref<ManagedObjectModel> model = RS_defaultManagedObjectModel();
    if (!model) return {};
    std::string text;
    for (const auto& [name, hash] : model->entityVersionHashesByName()) {
        text += name + "=" + (hash.isData() ? hexString(hash.bytes(), false) : std::string()) + ";";
    }
    return hexString(md5Digest(text), false);
}

std::string soundMark(const fs::path& store) {
    char value[128];
    const ssize_t size = ::getxattr(store.c_str(), kSoundMark, value, sizeof value);
    return size > 0 ? std::string(value, static_cast<std::size_t>(size)) : std::string();
}

// Examines the file; `markedSound`: the file carries a mark matching it and the model, so without a
// journal the earlier verdict stands.
Finding examine(const fs::path& store, bool markedSound) {
    // A FIFO or a device in the store's place is never opened (a FIFO would block the launch).
    std::error_code typeError;
    const fs::file_status type = fs::status(store, typeError);
    if (typeError || !fs::exists(type)) return damaged("it is a link to no file");  // a loop, or dangling
    if (!fs::is_regular_file(type)) return damaged("it is not a regular file");
    std::error_code sizeError;
    // An empty file is a new database (SQLite writes its first page at the first commit): another
    // process may be opening it right now. Its journal, if any, is judged below.
    if (fs::file_size(store, sizeError) != 0 || sizeError) {
        std::ifstream in(store, std::ios::binary);
        char header[16] = {};
        in.read(header, sizeof header);
        if (in.gcount() != sizeof header || std::string(header, sizeof header) != std::string("SQLite format 3\0", 16)) {
            return damaged("it is not a SQLite file");
        }
    }
    std::error_code ec;
    const auto journalSize = fs::file_size(store.string() + "-wal", ec);
    if (!ec && journalSize > 0) {
        // The journal may hold committed pages: judge the file as SQLite would read it, on a copy.
        StoreCopy copy(store, kCheckCopyPrefix);
        if (copy.path().empty()) return {Verdict::Unknown, "no room for a copy"};
        {
            Database db = openDatabase(copy.path(), false);
            if (!db) return {Verdict::Unknown, "the copy does not open"};
            Finding found = integrity(db.get());
            if (found.verdict != Verdict::Sound) return found;
        }
        return migration(copy.path());
    }
    if (markedSound) return {};
    if (fs::file_size(store, ec) == 0 && !ec) return {};
    {
        Database db = openDatabase(store, true);
        if (!db) return {Verdict::Unknown, "the file does not open"};
        Finding found = integrity(db.get());
        if (found.verdict != Verdict::Sound) return found;
        std::size_t tables = 0;
        found = query(db.get(), "SELECT count(*) FROM sqlite_master", [&](sqlite3_stmt* s) {
            tables = static_cast<std::size_t>(sqlite3_column_int64(s, 0));
        });
        if (found.verdict != Verdict::Sound) return found;
        if (tables == 0 || matchesModel(db.get())) return {Verdict::Sound, {}, true};
    }
    // Made by another model (or by another program): only a trial migration can tell.
    StoreCopy copy(store, kCheckCopyPrefix);
    if (copy.path().empty()) return {Verdict::Unknown, "no room for a copy"};
    return migration(copy.path());
}

// Size and modification time of the file and its journal: a check whose files changed meanwhile read
// the writes of another process that has the store open, so its verdict does not count.
struct FilesState {
    std::uintmax_t size = 0, journalSize = 0;
    fs::file_time_type time{}, journalTime{};
    bool operator==(const FilesState&) const = default;
};

FilesState filesState(const fs::path& store) {
    FilesState state;
    std::error_code ec;
    state.size = fs::file_size(store, ec);
    state.time = fs::last_write_time(store, ec);
    const fs::path journal = store.string() + "-wal";
    state.journalSize = fs::file_size(journal, ec);
    if (ec) state.journalSize = 0;
    state.journalTime = fs::last_write_time(journal, ec);
    return state;
}

// "<store>.damaged-<seconds>", with "-2", "-3", … when that name is taken.
fs::path asideName(const fs::path& store) {
    const std::string base = store.string() + ".damaged-" + std::to_string(static_cast<long long>(Date::now().since1970()));
    fs::path name = base;
    std::error_code ec;
    for (int n = 2; fs::exists(name, ec) || fs::exists(name.string() + "-wal", ec) || fs::exists(name.string() + "-shm", ec); ++n) {
        name = base + "-" + std::to_string(n);
    }
    return name;
}

}  // namespace

// ---- copies ----

StoreCopy::StoreCopy(const fs::path& store, std::string_view prefix) {
    for (int attempt = 0; attempt < 3 && folder_.empty(); ++attempt) makeFolder(prefix);
    if (folder_.empty()) {
        error_ = std::make_error_code(std::errc::io_error);
        return;
    }
    const fs::path copy = folder_ / store.filename();
    fs::copy_file(store, copy, error_);
    const fs::path journal = store.string() + "-wal";
    std::error_code ec;
    if (!error_ && fs::exists(journal, ec)) fs::copy_file(journal, copy.string() + "-wal", error_);
    if (!error_) path_ = copy;
}

StoreCopy::~StoreCopy() {
    std::error_code ec;
    if (!folder_.empty()) fs::remove_all(folder_, ec);
    if (lock_ >= 0) ::close(lock_);
}

// A new folder, locked; none when another launch removed it before the lock was taken.
void StoreCopy::makeFolder(std::string_view prefix) {
    std::error_code ec;
    std::string pattern = (fs::temp_directory_path(ec) / (std::string(prefix) + "XXXXXX")).string();
    if (ec || !::mkdtemp(pattern.data())) return;
    const int fd = ::open(pattern.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat held {}, named {};
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &held) == 0 && ::stat(pattern.c_str(), &named) == 0 &&
        held.st_ino == named.st_ino && held.st_dev == named.st_dev) {
        folder_ = pattern;
        lock_ = fd;
        return;
    }
    if (fd >= 0) ::close(fd);
}

void removeAbandonedStoreCopies() {
    std::error_code ec;
    const fs::path temp = fs::temp_directory_path(ec);
    if (ec) return;
    for (fs::directory_iterator it(temp, ec), end; !ec && it != end; it.increment(ec)) {
        // Only folders made as ours are: the prefix and mkdtemp's six characters, the process's own
        // user, mode 0700. Anything else named alike belongs to someone else.
        const std::string name = it->path().filename().string();
        const bool named = (name.rfind(kCheckCopyPrefix, 0) == 0 && name.size() == kCheckCopyPrefix.size() + 6) ||
                           (name.rfind(kReadingCopyPrefix, 0) == 0 && name.size() == kReadingCopyPrefix.size() + 6);
        if (!named) continue;
        // A folder whose lock can be taken belongs to no running launch.
        const int fd = ::open(it->path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat info {};
        const bool ours = ::fstat(fd, &info) == 0 && info.st_uid == ::geteuid() && (info.st_mode & 07777) == 0700;
        std::error_code removeError;
        if (ours && ::flock(fd, LOCK_EX | LOCK_NB) == 0) fs::remove_all(it->path(), removeError);
        ::close(fd);
    }
}

std::optional<fs::path> copyForReading(const fs::path& store, std::optional<StoreCopy>& copy, std::string& problem) {
    copy.emplace(store, kReadingCopyPrefix);
    if (!copy->path().empty()) return copy->path();
    problem = copy->madeFolder() ? "the store file " + store.string() + " cannot be read: " + copy->error().message()
                                 : "no temporary folder for reading the store";
    return std::nullopt;
}

std::optional<StoreSetAside> setAsideDamagedStore(const fs::path& store) {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(store, ec))) return std::nullopt;  // a link is looked at too
    const FilesState before = filesState(store);
    const std::string identity = fileIdentity(store);
    const std::string model = modelFingerprint();
    const std::string mark = identity.empty() || model.empty() ? std::string() : identity + " " + model;
    const Finding finding = examine(store, !mark.empty() && soundMark(store) == mark);
    const bool unchanged = filesState(store) == before && fileIdentity(store) == identity;
    if (finding.fileChecked && unchanged && !mark.empty()) {
        // Failing to mark (no extended attributes here) only means the check runs again next time.
        (void)::setxattr(store.c_str(), kSoundMark, mark.data(), mark.size(), 0);
    }
    if (finding.verdict != Verdict::Damaged || !unchanged) return std::nullopt;
    StoreSetAside result{finding.reason, asideName(store), {}};
    fs::rename(store, result.asidePath, ec);
    if (ec) {
        result.problem = ec.message();
        result.asidePath.clear();
        return result;
    }
    // The journal belongs to the damaged file: it goes with it, untouched, so the new store never
    // applies it.
    for (const char* suffix : {"-wal", "-shm"}) {
        const fs::path companion = store.string() + suffix;
        if (!fs::exists(companion, ec)) continue;
        fs::rename(companion, result.asidePath.string() + suffix, ec);
        if (ec) result.problem += (result.problem.empty() ? "" : "; ") + companion.string() + ": " + ec.message();
    }
    return result;
}

}  // namespace lv::app_detail
