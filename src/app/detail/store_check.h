// The command's check of the store file before the launch opens it. A damaged file (not SQLite, pages
// that fail SQLite's integrity check, cut short, or made by another model this one cannot migrate) is
// renamed aside with a time stamp, its "-wal" and "-shm" files beside it unchanged, so the launch
// starts with an empty store and nothing is deleted. The check never writes the file or its journal:
// it reads the file alone when there is no journal, and a copy of both when there is one; and a file
// that changed while it was read (another process writing it) is left alone. A file found sound gets
// an extended attribute naming it as it was (inode, size, modification time) and the model it was
// judged by; while both still match, that verdict stands without opening the file. Copies are made in
// the temp folder under a lock; those of launches that ended while holding one are removed by the next.
//
// Threads: main thread, before the launch.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace lv::app_detail {

struct StoreSetAside {
    std::string reason;               // what is wrong with the file
    std::filesystem::path asidePath;  // the store's new name; empty when the rename failed
    std::string problem;              // why the rename failed, empty when it worked
};

// A copy of the store file and its "-wal" journal in a private folder of the temp folder, locked
// (flock on the folder) while the object lives and removed with it.
class StoreCopy {
public:
    StoreCopy(const std::filesystem::path& store, std::string_view folderPrefix);
    ~StoreCopy();
    StoreCopy(const StoreCopy&) = delete;
    StoreCopy& operator=(const StoreCopy&) = delete;
    const std::filesystem::path& path() const { return path_; }  // empty when the copy failed
    bool madeFolder() const { return !folder_.empty(); }
    const std::error_code& error() const { return error_; }

private:
    void makeFolder(std::string_view prefix);

    std::filesystem::path folder_;
    std::filesystem::path path_;
    std::error_code error_;
    int lock_ = -1;
};

// Removes the copies of the temp folder that no running process holds: those of launches ended by a
// signal or a crash before they removed them.
void removeAbandonedStoreCopies();

// A store this process may not write (its folder or the file read-only) is read from a copy of the
// file and its journal (opening it in place would need its shared-memory file and a write lock); the
// copy goes with `copy`. Nothing, with the problem, when no copy could be made.
std::optional<std::filesystem::path> copyForReading(const std::filesystem::path& store, std::optional<StoreCopy>& copy,
                                                    std::string& problem);

// Checks the store file at the path; a damaged one is renamed aside. Nothing when the file is absent,
// sound, or cannot be judged (then the launch reports what it meets).
std::optional<StoreSetAside> setAsideDamagedStore(const std::filesystem::path& store);

}  // namespace lv::app_detail
