// The command's check of the store file before the launch opens it. A damaged file (not SQLite, pages
// that fail SQLite's integrity check, cut short, or made by another model this one cannot migrate) is
// renamed aside with a time stamp, its "-wal" and "-shm" files beside it unchanged, so the launch
// starts with an empty store and nothing is deleted. The check never writes the file or its journal:
// it reads the file alone when there is no journal, and a copy of both when there is one; and a file
// that changed while it was read (another process writing it) is left alone. A file found sound gets
// an extended attribute naming it as it was (inode, size, modification time) and the model it was
// judged by; while both still match, that verdict stands without opening the file.
//
// Threads: main thread, before the launch.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace lv::app_detail {

struct StoreSetAside {
    std::string reason;               // what is wrong with the file
    std::filesystem::path asidePath;  // the store's new name; empty when the rename failed
    std::string problem;              // why the rename failed, empty when it worked
};

// Checks the store file at the path; a damaged one is renamed aside. Nothing when the file is absent,
// sound, or cannot be judged (then the launch reports what it meets).
std::optional<StoreSetAside> setAsideDamagedStore(const std::filesystem::path& store);

}  // namespace lv::app_detail
