#include "platform/storage/sandbox.h"

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <system_error>

#include "platform/base/log.h"
#include "platform/storage/file_manager.h"
#include "platform/storage/path.h"

namespace lv {

namespace {

struct RootState {
    std::mutex mutex;
    std::string root;  // empty until set or first used
    std::uint64_t generation = 0;
    std::optional<std::string> ubiquityRoot;  // set by setUbiquityRoot
};

RootState& rootState() {
    static RootState& state = *new RootState;  // never destroyed: workers may use it during exit
    return state;
}

constexpr const char* kStandardFolders[] = {"Documents", "Library/Caches", "Library/Application Support",
                                            "Library/Preferences", "tmp"};

bool createStandardFolders(const std::string& root, Ref<Error>* error) {
    auto& files = FileManager::defaultManager();
    for (const char* folder : kStandardFolders) {
        if (!files.createDirectoryAtPath(path::appendingPathComponent(root, folder), true, {}, error)) return false;
    }
    return true;
}

std::string absolute(std::string_view path) {
    std::error_code ec;
    auto p = std::filesystem::absolute(std::filesystem::path(path), ec);
    return path::standardized(ec ? std::string(path) : p.lexically_normal().string());
}

std::string subdirectory(SearchPathDirectory directory) {
    switch (directory) {
        case SearchPathDirectory::Library: return "Library";
        case SearchPathDirectory::Documentation: return "Library/Documentation";
        case SearchPathDirectory::Document: return "Documents";
        case SearchPathDirectory::AutosavedInformation: return "Library/Autosave Information";
        case SearchPathDirectory::Caches: return "Library/Caches";
        case SearchPathDirectory::ApplicationSupport: return "Library/Application Support";
    }
    return "";
}

}  // namespace

bool Sandbox::setRoot(std::string_view path, Ref<Error>* error) {
    const std::string root = absolute(path);
    if (!createStandardFolders(root, error)) return false;
    auto& state = rootState();
    std::lock_guard lock(state.mutex);
    state.root = root;
    ++state.generation;
    return true;
}

std::string Sandbox::defaultRoot() {
    if (const char* home = std::getenv("LV_HOME"); home && *home) return absolute(home);
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data) {
        return path::appendingPathComponent(absolute(data), "lunavexa");
    }
    const char* home = std::getenv("HOME");
    return path::appendingPathComponent(absolute(home && *home ? home : "/tmp"), ".local/share/lunavexa");
}

std::string Sandbox::root() {
    auto& state = rootState();
    {
        std::lock_guard lock(state.mutex);
        if (!state.root.empty()) return state.root;
    }
    const std::string fallback = defaultRoot();
    Ref<Error> error;
    if (!createStandardFolders(fallback, &error)) log("Could not create the sandbox at %@: %@", fallback, error);
    std::lock_guard lock(state.mutex);
    if (state.root.empty()) state.root = fallback;
    return state.root;
}

std::uint64_t Sandbox::generation() {
    auto& state = rootState();
    std::lock_guard lock(state.mutex);
    return state.generation;
}

void Sandbox::setUbiquityRoot(std::string_view path) {
    auto& state = rootState();
    std::lock_guard lock(state.mutex);
    if (path.empty()) {
        state.ubiquityRoot.reset();
    } else {
        state.ubiquityRoot = absolute(path);
    }
}

std::string Sandbox::ubiquityRoot() {
    {
        auto& state = rootState();
        std::lock_guard lock(state.mutex);
        if (state.ubiquityRoot) return *state.ubiquityRoot;
    }
    if (const char* dir = std::getenv("LV_UBIQUITY_DIR"); dir && *dir) return absolute(dir);
    return {};
}

std::string homeDirectory() { return Sandbox::root(); }

std::string temporaryDirectory() { return path::appendingPathComponent(Sandbox::root(), "tmp") + "/"; }

Array searchPathForDirectoriesInDomains(SearchPathDirectory directory, unsigned domainMask, bool expandTilde) {
    Array out;
    if ((domainMask & kUserDomainMask) == 0) return out;
    const std::string sub = subdirectory(directory);
    if (sub.empty()) return out;
    out.emplace_back(path::appendingPathComponent(expandTilde ? Sandbox::root() : std::string("~"), sub));
    return out;
}

std::string expandingTildeInPath(std::string_view path) {
    if (path.empty() || path[0] != '~') return std::string(path);
    if (path.size() == 1) return Sandbox::root();
    if (path[1] != '/') return std::string(path);  // "~user" names another user's home: left as it is
    return path::appendingPathComponent(Sandbox::root(), path.substr(2));
}

std::string documentsDirectory() { return path::appendingPathComponent(Sandbox::root(), "Documents"); }
std::string libraryDirectory() { return path::appendingPathComponent(Sandbox::root(), "Library"); }
std::string cachesDirectory() { return path::appendingPathComponent(Sandbox::root(), "Library/Caches"); }
std::string applicationSupportDirectory() {
    return path::appendingPathComponent(Sandbox::root(), "Library/Application Support");
}
std::string preferencesDirectory() { return path::appendingPathComponent(Sandbox::root(), "Library/Preferences"); }

}  // namespace lv
