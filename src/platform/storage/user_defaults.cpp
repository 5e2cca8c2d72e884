#include "platform/storage/user_defaults.h"

#include <sys/stat.h>

#include <cerrno>

#include "platform/base/log.h"
#include "platform/storage/bundle.h"
#include "platform/storage/file_manager.h"
#include "platform/storage/path.h"
#include "platform/storage/property_list.h"
#include "platform/storage/sandbox.h"
#include "platform/text/locale.h"

namespace lv {

namespace {

// A defaults file holds a few settings; one past this is no defaults file.
constexpr std::size_t kMaxUserDefaultsBytes = 4 << 20;

struct StandardState {
    std::mutex mutex;
    Ref<UserDefaults> defaults;
    bool languagesSourceInstalled = false;
};

// Whether a value may be stored (nil removes); logs the refusal.
bool storable(const Value& value, std::string_view key) {
    if (value.isNil() || PropertyListSerialization::propertyListIsValidForFormat(value, PropertyListFormat::Binary)) return true;
    log("Attempt to set a non-property-list object %@ as a user default for key %@", value, key);
    return false;
}

StandardState& standardState() {
    static StandardState& state = *new StandardState;  // never destroyed: workers may use it during exit
    return state;
}

std::string standardFilePath() {
    std::string identifier = Bundle::mainBundle()->bundleIdentifier();
    if (identifier.empty()) identifier = "lunavexa";
    return path::appendingPathComponent(preferencesDirectory(), identifier + ".plist");
}

Value environmentLanguages() {
    Array languages;
    for (auto& tag : Locale::environmentLanguages()) languages.emplace_back(std::move(tag));
    return Value(std::move(languages));
}

}  // namespace

Ref<UserDefaults> UserDefaults::standardUserDefaults() {
    const std::string file = standardFilePath();
    auto& state = standardState();
    bool installSource = false;
    Ref<UserDefaults> defaults;
    {
        std::lock_guard lock(state.mutex);
        if (!state.defaults || state.defaults->filePath() != file) state.defaults = makeRef<UserDefaults>(file);
        defaults = state.defaults;
        installSource = !state.languagesSourceInstalled;
        state.languagesSourceInstalled = true;
    }
    if (installSource) Locale::setPreferredLanguagesSource([] { return UserDefaults::preferredLanguages(); });
    return defaults;
}

void UserDefaults::resetStandardUserDefaults() {
    auto& state = standardState();
    std::lock_guard lock(state.mutex);
    state.defaults.reset();
}

std::vector<std::string> UserDefaults::preferredLanguages() {
    std::vector<std::string> tags;
    const Value languages = standardUserDefaults()->objectForKey(kAppleLanguagesKey);
    for (const Value& tag : languages.array()) {
        if (tag.isString() && !tag.string().empty()) tags.push_back(tag.string());
    }
    if (tags.empty()) tags = Locale::environmentLanguages();
    return tags;
}

std::optional<UserDefaults::FileStamp> UserDefaults::stampOf(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return FileStamp{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
                     static_cast<std::uint64_t>(info.st_size), static_cast<std::uint64_t>(info.st_mode & 07777),
                     static_cast<std::int64_t>(info.st_mtim.tv_sec),
                     static_cast<std::int64_t>(info.st_mtim.tv_nsec)};
}

UserDefaults::UserDefaults(std::string filePath) : path_(std::move(filePath)) {
    // Stamped before the read: a file replaced meanwhile no longer matches the stamp, so the next
    // change writes it.
    const std::optional<FileStamp> stamp = stampOf(path_);
    Ref<Error> error;
    auto bytes = dataWithContentsOfFile(path_, kMaxUserDefaultsBytes, &error);
    if (!bytes) {
        // A device, a FIFO, a file past the bound or one that is there but cannot be read is no defaults
        // file this process can use: kept aside like a damaged one, never written over with its data.
        if (error && !(error->domain() == kCocoaErrorDomain && error->code() == kFileReadNoSuchFileError)) {
            setAsideDamagedFile(path_, !isUnfitFileError(error)                       ? "User defaults file cannot be read"
                                       : error->code() == kFileReadTooLargeError ? "User defaults file is too large"
                                                                                 : "User defaults file is no regular file");
        }
        return;
    }
    Value stored = bytes->empty() ? Value()
                                  : PropertyListSerialization::propertyListWithData(*bytes, kPropertyListImmutable, nullptr, nullptr);
    if (stored.isDictionary()) {
        values_ = stored.dictionary();
        fileBytes_ = std::move(*bytes);
        fileStamp_ = stamp;
        return;
    }
    // Damaged: kept aside rather than replaced by the next change; the defaults start empty.
    setAsideDamagedFile(path_, bytes->empty()       ? "User defaults file is empty"
                               : stored.isNil()     ? "User defaults file is no property list"
                                                    : "User defaults file holds no dictionary");
}

std::optional<std::string> setAsideDamagedFile(const std::string& path, std::string_view problem) {
    const std::string folder = path::appendingPathComponent(path::deletingLastPathComponent(path), "Damaged");
    FileManager& files = FileManager::defaultManager();
    Ref<Error> error;
    if (!files.createDirectoryAtPath(folder, true, {}, &error)) {
        log("%@: %@ could not be kept aside, left in place: %@", problem, path, error);
        return std::nullopt;
    }
    const std::string base = path::appendingPathComponent(
        folder, path::lastPathComponent(path) + ".damaged-" + std::to_string(static_cast<long long>(Date::now().since1970())));
    std::string aside = base;
    for (int n = 2; files.fileExistsAtPath(aside); ++n) aside = base + "-" + std::to_string(n);
    if (!files.moveItemAtPath(path, aside, &error)) {
        log("%@: %@ could not be kept aside, left in place: %@", problem, path, error);
        return std::nullopt;
    }
    log("%@: %@ kept aside as %@; starting from defaults", problem, path, aside);
    return aside;
}

Value UserDefaults::lookupLocked(std::string_view key) const {
    if (const Value* v = values_.find(key)) return *v;
    if (const Value* v = registered_.find(key)) return *v;
    return {};
}

Value UserDefaults::objectForKey(std::string_view key) const {
    Value value;
    {
        std::lock_guard lock(mutex_);
        value = lookupLocked(key);
    }
    if (value.isNil() && key == kAppleLanguagesKey) value = environmentLanguages();
    return value;
}

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) const {
    const Value value = objectForKey(key);
    if (value.isString()) return value.string();
    if (value.isNumeric()) return value.stringValue();
    return std::nullopt;
}

Value UserDefaults::arrayForKey(std::string_view key) const {
    Value value = objectForKey(key);
    return value.isArray() ? value : Value();
}

Value UserDefaults::dictionaryForKey(std::string_view key) const {
    Value value = objectForKey(key);
    return value.isDictionary() ? value : Value();
}

Value UserDefaults::dataForKey(std::string_view key) const {
    Value value = objectForKey(key);
    return value.isData() ? value : Value();
}

std::int64_t UserDefaults::integerForKey(std::string_view key) const {
    const Value value = objectForKey(key);
    return value.isNumeric() || value.isString() ? value.longLongValue() : 0;
}

bool UserDefaults::boolForKey(std::string_view key) const {
    const Value value = objectForKey(key);
    return value.isNumeric() || value.isString() ? value.boolValue() : false;
}

double UserDefaults::doubleForKey(std::string_view key) const {
    const Value value = objectForKey(key);
    return value.isNumeric() || value.isString() ? value.doubleValue() : 0.0;
}

bool UserDefaults::setObject(const Value& value, std::string_view key) {
    if (!storable(value, key)) return false;
    std::lock_guard lock(mutex_);
    FileTurn turn(path_);
    mergeFileLocked();
    values_.set(std::string(key), value);
    changed_.insert(std::string(key));
    return writeLocked();
}

void UserDefaults::mergeFileLocked() {
    auto bytes = dataWithContentsOfFile(path_, kMaxUserDefaultsBytes, nullptr);
    // Unchanged since this object read or wrote it; or gone (written again from memory).
    if (!bytes || *bytes == fileBytes_) return;
    const std::optional<FileStamp> stamp = stampOf(path_);
    const Value stored = bytes->empty() ? Value() : PropertyListSerialization::propertyListWithData(*bytes, kPropertyListImmutable, nullptr, nullptr);
    if (!stored.isDictionary()) return;  // another process's damaged write: replaced by this one
    // Another process wrote it: its values, with the keys changed here and not yet written on top.
    Dictionary merged = stored.dictionary();
    for (const std::string& key : changed_) {
        if (const Value* mine = values_.find(key)) {
            merged.set(key, *mine);
        } else {
            merged.set(key, Value());
        }
    }
    values_ = std::move(merged);
    fileBytes_ = std::move(*bytes);
    fileStamp_ = stamp;
}

std::int64_t UserDefaults::addInteger(std::int64_t delta, std::string_view key, const Dictionary& alsoSet) {
    Dictionary valid;
    for (const auto& [name, value] : alsoSet) {
        if (storable(value, name)) valid.set(name, value);
    }
    std::lock_guard lock(mutex_);
    // The sum is taken from the file as it is now: another process's additions count.
    FileTurn turn(path_);
    mergeFileLocked();
    const Value current = lookupLocked(key);
    const std::int64_t base = current.isNumeric() || current.isString() ? current.longLongValue() : 0;
    const auto sum = static_cast<std::int64_t>(static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(delta));
    values_.set(std::string(key), Value(sum));
    changed_.insert(std::string(key));
    for (const auto& [name, value] : valid) {
        values_.set(name, value);
        changed_.insert(name);
    }
    writeLocked();
    return sum;
}

void UserDefaults::registerDefaults(const Dictionary& defaults) {
    std::lock_guard lock(mutex_);
    for (const auto& [key, value] : defaults) registered_.set(key, value);
}

Dictionary UserDefaults::dictionaryRepresentation() const {
    std::lock_guard lock(mutex_);
    Dictionary merged = registered_;
    for (const auto& [key, value] : values_) merged.set(key, value);
    return merged;
}

bool UserDefaults::synchronize() {
    std::lock_guard lock(mutex_);
    if (lastWriteOk_) return true;
    FileTurn turn(path_);
    mergeFileLocked();
    return writeLocked();
}

bool UserDefaults::writeLocked() {
    Ref<Error> error;
    auto bytes = PropertyListSerialization::dataWithPropertyList(Value(values_), PropertyListFormat::Binary, 0, &error);
    // The file already holds these very bytes: writing them again (a flush and a rename) would change
    // nothing but its time.
    if (bytes && lastWriteOk_ && fileStamp_ && fileStamp_->mode == 0600 && *bytes == fileBytes_ && stampOf(path_) == fileStamp_) {
        return true;
    }
    fileStamp_.reset();
    if (bytes) {
        FileManager::defaultManager().createDirectoryAtPath(path::deletingLastPathComponent(path_), true, {}, nullptr);
        lastWriteOk_ = writeToFile(*bytes, path_, kDataWritingAtomic | kDataWritingFileProtectionComplete, &error);
        if (lastWriteOk_) {
            fileStamp_ = stampOf(path_);
            fileBytes_ = std::move(*bytes);
            changed_.clear();
        }
    } else {
        lastWriteOk_ = false;
    }
    if (!lastWriteOk_) log("User defaults could not be written to %@: %@", path_, error);
    return lastWriteOk_;
}

}  // namespace lv
