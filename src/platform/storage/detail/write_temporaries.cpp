#include "platform/storage/detail/write_temporaries.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <csignal>
#include <ctime>
#include <mutex>
#include <set>

namespace lv::detail {

namespace {

constexpr std::string_view kMarker = ".lvtmp-";
constexpr std::size_t kUniqueLength = 6;  // mkostemp's X's
// A temporary older than this is abandoned even when a process of its writer's id runs (ids are reused).
constexpr std::time_t kAbandonedAfterSeconds = 24 * 60 * 60;

bool isAlphanumeric(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

}  // namespace

std::string writeTemporaryTemplate(std::string_view folder, std::string_view name) {
    std::string path(folder);
    if (!path.empty() && path.back() != '/') path += '/';
    path += '.';
    path += name;
    path += kMarker;
    path += std::to_string(::getpid());
    path += '-';
    path.append(kUniqueLength, 'X');
    return path;
}

std::optional<pid_t> writeTemporaryWriter(std::string_view fileName) {
    // "." + at least one character of the target's name + ".lvtmp-" + pid + "-" + 6 letters or digits.
    const std::size_t marker = fileName.rfind(kMarker);
    if (fileName.size() < 2 || fileName[0] != '.' || marker == std::string_view::npos || marker < 2) return std::nullopt;
    const std::string_view rest = fileName.substr(marker + kMarker.size());
    const std::size_t dash = rest.find('-');
    if (dash == std::string_view::npos || dash == 0 || rest.size() - dash - 1 != kUniqueLength) return std::nullopt;
    for (char c : rest.substr(dash + 1)) {
        if (!isAlphanumeric(c)) return std::nullopt;
    }
    const std::string_view digits = rest.substr(0, dash);
    if (digits[0] == '0') return std::nullopt;
    pid_t pid = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
    if (error != std::errc() || end != digits.data() + digits.size() || pid <= 0) return std::nullopt;
    return pid;
}

void removeStaleWriteTemporaries(const std::string& folder) {
    static auto& lock = *new std::mutex;                 // never destroyed: writers run on workers
    static auto& swept = *new std::set<std::string>;     // folders already looked at by this process
    {
        std::lock_guard guard(lock);
        if (!swept.insert(folder).second) return;
    }
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return;
    const pid_t self = ::getpid();
    const std::time_t now = std::time(nullptr);
    while (const dirent* entry = ::readdir(dir)) {
        const auto writer = writeTemporaryWriter(entry->d_name);
        if (!writer || *writer == self) continue;
        struct stat st{};
        if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        const bool writerEnded = ::kill(*writer, 0) != 0 && errno == ESRCH;
        if (writerEnded || now - st.st_mtime > kAbandonedAfterSeconds) ::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
    ::closedir(dir);
}

}  // namespace lv::detail
