#include "platform/storage/bundle.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "platform/storage/file_manager.h"
#include "platform/storage/path.h"
#include "platform/storage/property_list.h"
#include "platform/storage/user_defaults.h"

#ifndef LV_SOURCE_BUNDLE_DIR
#define LV_SOURCE_BUNDLE_DIR "bundle"
#endif

namespace lv {

namespace {

struct MainBundleState {
    std::mutex mutex;
    Ref<Bundle> bundle;
};

MainBundleState& mainState() {
    static MainBundleState& state = *new MainBundleState;  // never destroyed: workers may use it during exit
    return state;
}

bool isDirectory(const std::string& p) {
    bool directory = false;
    return FileManager::defaultManager().fileExistsAtPath(p, &directory) && directory;
}

bool isFile(const std::string& p) {
    bool directory = false;
    return FileManager::defaultManager().fileExistsAtPath(p, &directory) && !directory;
}

// Folder names of a language tag, most specific first: "zh-Hans-CN" → zh-Hans-CN, zh_Hans_CN, zh-Hans,
// zh_Hans, zh.
std::vector<std::string> lprojCandidates(const std::string& tag) {
    std::vector<std::string> out;
    std::string current = tag;
    while (!current.empty()) {
        out.push_back(current);
        std::string underscored = current;
        std::replace(underscored.begin(), underscored.end(), '-', '_');
        if (underscored != current) out.push_back(underscored);
        const auto cut = current.find_last_of("-_");
        if (cut == std::string::npos) break;
        current.resize(cut);
    }
    return out;
}

}  // namespace

Ref<Bundle> Bundle::mainBundle() {
    auto& state = mainState();
    {
        std::lock_guard lock(state.mutex);
        if (state.bundle) return state.bundle;
    }
    auto bundle = makeRef<Bundle>(defaultMainBundlePath());
    std::lock_guard lock(state.mutex);
    if (!state.bundle) state.bundle = bundle;
    return state.bundle;
}

void Bundle::setMainBundlePath(std::string_view path) {
    auto bundle = makeRef<Bundle>(std::string(path));
    auto& state = mainState();
    std::lock_guard lock(state.mutex);
    state.bundle = std::move(bundle);
}

std::string Bundle::defaultMainBundlePath() {
    if (const char* dir = std::getenv("LV_BUNDLE_DIR"); dir && *dir) return dir;
    if (const char* source = std::getenv("LV_TEST_SOURCE_DIR"); source && *source) {
        std::string candidate = path::appendingPathComponent(source, "bundle");
        if (isDirectory(candidate)) return candidate;
    }
    std::string beside = path::appendingPathComponent(path::deletingLastPathComponent(executablePath()), "bundle");
    if (isDirectory(beside)) return beside;
    return LV_SOURCE_BUNDLE_DIR;
}

Bundle::Bundle(std::string path) : path_(path::standardized(path)) {
    Value info = dictionaryWithContentsOfFile(path::appendingPathComponent(path_, "Info.plist"));
    if (info.isDictionary()) info_ = info.dictionary();
}

std::string Bundle::executablePath() {
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

std::string Bundle::bundleIdentifier() const { return info_.get("CFBundleIdentifier").string(); }

std::vector<std::string> Bundle::searchFolders(std::string_view directory) const {
    std::vector<std::string> folders;
    auto add = [&](const std::string& base) {
        std::string folder = directory.empty() ? base : path::appendingPathComponent(base, directory);
        if (std::find(folders.begin(), folders.end(), folder) == folders.end() && isDirectory(folder)) {
            folders.push_back(std::move(folder));
        }
    };
    add(path_);
    std::vector<std::string> languages = UserDefaults::preferredLanguages();
    languages.emplace_back("Base");
    if (const Value& region = info_.get("CFBundleDevelopmentRegion"); region.isString()) {
        languages.push_back(region.string());
    }
    for (const std::string& language : languages) {
        for (const std::string& name : lprojCandidates(language)) {
            add(path::appendingPathComponent(path_, name + ".lproj"));
        }
    }
    return folders;
}

std::optional<std::string> Bundle::pathForResource(std::string_view name, std::string_view type,
                                                   std::string_view directory) const {
    if (name.empty()) return std::nullopt;
    const std::string file = type.empty() ? std::string(name) : path::appendingPathExtension(name, type);
    for (const std::string& folder : searchFolders(directory)) {
        std::string candidate = path::appendingPathComponent(folder, file);
        if (FileManager::defaultManager().fileExistsAtPath(candidate)) return candidate;
    }
    return std::nullopt;
}

std::vector<std::string> Bundle::pathsForResourcesOfType(std::string_view type, std::string_view directory) const {
    std::vector<std::string> paths;
    for (const std::string& folder : searchFolders(directory)) {
        auto names = FileManager::defaultManager().contentsOfDirectoryAtPath(folder, nullptr);
        if (!names) continue;
        for (const std::string& name : *names) {
            std::string full = path::appendingPathComponent(folder, name);
            if (!isFile(full)) continue;
            if (!type.empty() && path::pathExtension(name) != type) continue;
            paths.push_back(std::move(full));
        }
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

const Dictionary& Bundle::stringTable(const std::string& table) const {
    {
        std::lock_guard lock(tablesMutex_);
        if (auto it = tables_.find(table); it != tables_.end()) return it->second;
    }
    Dictionary entries;
    if (auto file = pathForResource(table, "strings")) {
        if (auto bytes = dataWithContentsOfFile(*file, nullptr)) {
            const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
            std::size_t start = text.find_first_not_of(" \t\r\n\xEF\xBB\xBF");
            const bool plist = text.rfind("bplist", 0) == 0 ||
                               (start != std::string_view::npos && text.substr(start).rfind("<?xml", 0) == 0) ||
                               (start != std::string_view::npos && text.substr(start).rfind("<plist", 0) == 0);
            if (plist) {
                Value value = PropertyListSerialization::propertyListWithData(*bytes, 0, nullptr, nullptr);
                if (value.isDictionary()) entries = value.dictionary();
            } else if (auto parsed = detail::parseStringsText(text)) {
                entries = std::move(*parsed);
            }
        }
    }
    std::lock_guard lock(tablesMutex_);
    return tables_.try_emplace(table, std::move(entries)).first->second;
}

std::string Bundle::localizedStringForKey(std::string_view key, std::string_view value, std::string_view table) const {
    const Dictionary& entries = stringTable(table.empty() ? std::string("Localizable") : std::string(table));
    if (const Value* found = entries.find(key); found && found->isString()) return found->string();
    return value.empty() ? std::string(key) : std::string(value);
}

namespace detail {

namespace {

class StringsScanner {
public:
    explicit StringsScanner(std::string_view text) : text_(text) {
        if (text_.rfind("\xEF\xBB\xBF", 0) == 0) pos_ = 3;
    }

    // Skips white space and comments; false on an unterminated comment.
    bool skip() {
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
                ++pos_;
            } else if (text_.compare(pos_, 2, "//") == 0) {
                const auto end = text_.find('\n', pos_);
                pos_ = end == std::string_view::npos ? text_.size() : end + 1;
            } else if (text_.compare(pos_, 2, "/*") == 0) {
                const auto end = text_.find("*/", pos_ + 2);
                if (end == std::string_view::npos) return false;
                pos_ = end + 2;
            } else {
                break;
            }
        }
        return true;
    }
    bool atEnd() const { return pos_ >= text_.size(); }
    bool consume(char c) {
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }

    std::optional<std::string> token() {
        if (pos_ >= text_.size()) return std::nullopt;
        if (text_[pos_] == '"') return quoted();
        std::string word;
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                            c == '_' || c == '.' || c == '$' || c == ':' || c == '/' || c == '-';
            if (!ok) break;
            word.push_back(c);
            ++pos_;
        }
        if (word.empty()) return std::nullopt;
        return word;
    }

private:
    static void appendUtf8(std::string& out, std::uint32_t cp) {
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }

    std::optional<std::uint32_t> hex4() {
        if (pos_ + 4 > text_.size()) return std::nullopt;
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text_[pos_++];
            v <<= 4;
            if (c >= '0' && c <= '9') v |= static_cast<std::uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f') v |= static_cast<std::uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') v |= static_cast<std::uint32_t>(c - 'A' + 10);
            else return std::nullopt;
        }
        return v;
    }

    std::optional<std::string> quoted() {
        ++pos_;  // opening quote
        std::string out;
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c == '"') return out;
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            if (pos_ >= text_.size()) return std::nullopt;
            const char e = text_[pos_++];
            switch (e) {
                case 'n': out.push_back('\n'); break;
                case 't': out.push_back('\t'); break;
                case 'r': out.push_back('\r'); break;
                case 'a': out.push_back('\a'); break;
                case 'b': out.push_back('\b'); break;
                case 'f': out.push_back('\f'); break;
                case 'v': out.push_back('\v'); break;
                case 'u':
                case 'U': {
                    auto unit = hex4();
                    if (!unit) return std::nullopt;
                    std::uint32_t cp = *unit;
                    const bool escapeFollows = pos_ + 1 < text_.size() && text_[pos_] == '\\' &&
                                               (text_[pos_ + 1] == 'u' || text_[pos_ + 1] == 'U');
                    if (cp >= 0xD800 && cp < 0xDC00 && escapeFollows) {
                        pos_ += 2;
                        auto low = hex4();
                        if (!low || *low < 0xDC00 || *low > 0xDFFF) return std::nullopt;
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (*low - 0xDC00);
                    }
                    appendUtf8(out, cp);
                    break;
                }
                default: out.push_back(e);  // \" \\ \' and any other character stand for themselves
            }
        }
        return std::nullopt;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

}  // namespace

std::optional<Dictionary> parseStringsText(std::string_view text) {
    StringsScanner scanner(text);
    Dictionary entries;
    for (;;) {
        if (!scanner.skip()) return std::nullopt;
        if (scanner.atEnd()) break;
        auto key = scanner.token();
        if (!key || !scanner.skip()) return std::nullopt;
        std::string value = *key;
        if (scanner.consume('=')) {
            if (!scanner.skip()) return std::nullopt;
            auto v = scanner.token();
            if (!v || !scanner.skip()) return std::nullopt;
            value = std::move(*v);
        }
        if (!scanner.consume(';')) return std::nullopt;
        entries.appendUnsorted(std::move(*key), Value(std::move(value)));
    }
    entries.finishAppending();
    return entries;
}

}  // namespace detail

}  // namespace lv
