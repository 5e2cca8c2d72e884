#include "content/property_persistance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "content/properties_as_dictionary.h"
#include "platform/base/error.h"
#include "platform/base/format.h"
#include "platform/base/log.h"
#include "platform/runtime/runtime.h"
#include "platform/storage/file_manager.h"
#include "platform/storage/keyed_archive.h"
#include "platform/storage/path.h"
#include "platform/storage/property_list.h"
#include "platform/storage/sandbox.h"
#include "platform/storage/user_defaults.h"

namespace lv {

namespace {

// The key of the one entry of the settings file.
constexpr std::string_view kArchiveEntryKey = "key";

// Associated-storage key of an object's observation token.
const char kObservationKey = 0;

// Serialises saves (reading the values and writing the file) and the on/off bookkeeping.
std::mutex& saveMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}
std::mutex& observationMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

std::string describe(const Ref<Error>& error) { return error ? error->description() : std::string("unknown error"); }

// A settings file is a few kilobytes; one past this is no settings file.
constexpr std::size_t kMaxSettingsBytes = 1 << 20;

// What the settings file holds: its dictionary, nothing (no file, or a damaged one now kept aside), or
// unreadable (it is there but could not be read, a folder say): it is left as it is.
struct SettingsRead {
    std::optional<Dictionary> values;
    bool unreadable = false;
    Ref<Error> error;
};

// A file that exists but is damaged (empty, not a property-list dictionary, its archive unusable, no
// regular file or too large) is kept aside, with one log line, so that the next save starts from
// defaults without destroying it.
SettingsRead readSettingsFile(const std::string& path) {
    SettingsRead read;
    if (!FileManager::defaultManager().fileExistsAtPath(path)) return read;  // first launch
    auto damaged = [&path, &read](const std::string& problem) -> SettingsRead& {
        setAsideDamagedFile(path, "Settings file " + problem);
        return read;
    };
    Ref<Error> error;
    std::optional<Bytes> data = dataWithContentsOfFile(path, kMaxSettingsBytes, &error);
    if (!data && isUnfitFileError(error)) {
        return damaged(error->code() == kFileReadTooLargeError ? "is too large" : "is no regular file");
    }
    if (!data) {
        read.unreadable = true;
        read.error = error;
        return read;
    }
    Value plist = data->empty() ? Value()
                                : PropertyListSerialization::propertyListWithData(*data, kPropertyListImmutable, nullptr, &error);
    if (!plist.isDictionary()) return damaged("is no property-list dictionary");
    const Dictionary& entries = plist.dictionary();
    if (entries.size() != 1 || !entries.contains(kArchiveEntryKey)) {  // the plain form
        read.values = entries;
        return read;
    }

    const Value& archive = entries.get(kArchiveEntryKey);
    if (!archive.isData()) return damaged(format("holds no archive under \"%@\"", kArchiveEntryKey));
    std::unique_ptr<KeyedUnarchiver> unarchiver = KeyedUnarchiver::forReadingFromData(archive.bytes(), &error);
    if (!unarchiver) return damaged("holds a damaged archive (" + describe(error) + ")");
    Value root;
    try {
        root = unarchiver->decodeObject("root");
    } catch (const Exception& e) {
        return damaged("holds a damaged archive (" + e.reason() + ")");
    }
    if (!root.isDictionary()) return damaged("holds no dictionary in its archive");
    read.values = root.dictionary();
    return read;
}

// The folder of a settings file locked (flock) against other processes' saves for the scope, so that
// the re-read, the merge and the write of one save are one step on a home shared by several processes.
// A lock not had within 5 s (a process stopped mid-save) fails the save rather than waiting for ever.
class FolderLock {
public:
    explicit FolderLock(const std::string& file) {
        fd_ = ::open(path::deletingLastPathComponent(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0) {
            held_ = errno == ENOENT;  // no folder yet: the write makes it, nobody else can hold it
            return;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (;;) {
            if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
                held_ = true;
                return;
            }
            if (errno != EWOULDBLOCK && errno != EINTR) return;
            if (std::chrono::steady_clock::now() >= deadline) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    ~FolderLock() {
        if (fd_ >= 0) ::close(fd_);  // gives the lock up
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    bool held() const { return held_; }

private:
    int fd_ = -1;
    bool held_ = false;
};

// Whether the value may be stored in the property: a declared class must be the value's class or one
// of its superclasses (an undeclared or unknown class accepts anything; so does nil).
bool fitsProperty(const PropertyInfo& property, const Value& value) {
    if (!property.isObject() || value.isNil()) return true;  // scalars convert through key-value access
    const std::string declared = property.declaredClassName();
    if (declared.empty()) return true;
    const ClassInfo* declaredClass = classNamed(declared);
    if (!declaredClass) return true;
    const ClassInfo* valueClass = classOfValue(value);
    return valueClass && valueClass->isSubclassOf(declaredClass);
}

// Sets each entry through the property's setter, as a set by key would: a setter that converts (text to
// a boolean number, a number to text) stores the file's value as the declared kind, one that refuses it
// says so. A value that still does not fit the declared class afterwards is dropped with one log line.
void applyValues(Object& object, const Dictionary& values, const std::string& path) {
    const ClassInfo* cls = classOf(object);
    for (const auto& [key, value] : values) {
        const PropertyInfo* property = cls ? cls->findProperty(key) : nullptr;
        if (!property) {
            log("Settings file %@: no property \"%@\" in %@, entry skipped", path, key, object.className());
            continue;
        }
        try {
            setValueForKey(object, value, key);
            if (fitsProperty(*property, valueForKey(object, key))) continue;
            setValueForKey(object, Value(), key);
            const ClassInfo* valueClass = classOfValue(value);
            log("Settings file %@: \"%@\" holds a %@ where %@ expects a %@, entry skipped", path, key,
                valueClass ? valueClass->name() : std::string("nil"), object.className(), property->declaredClassName());
        } catch (const Exception& e) {
            log("Settings file %@: \"%@\" could not be set, entry skipped: %@", path, key, e.reason());
        }
    }
}

bool writeSettingsFile(const Value& plist, const std::string& path, const Object& object) {
    Ref<Error> error;
    std::optional<Bytes> bytes =
        PropertyListSerialization::dataWithPropertyList(plist, PropertyListFormat::XML, 0, &error);
    if (!bytes) {
        log("Settings of %@ could not be encoded for %@: %@", object.className(), path, describe(error));
        return false;
    }
    if (!writeToFile(*bytes, path, kDataWritingAtomic | kDataWritingFileProtectionComplete, &error)) {
        log("Settings of %@ could not be written to %@: %@", object.className(), path, describe(error));
        return false;
    }
    return true;
}

// Writes the keys' values into the settings file as it is now (a nil value removes its entry), every
// other entry kept as another process may have written it; keys nothing: every declared property.
// Called with saveMutex held.
bool saveKeys(Object& object, const std::string& path, const std::set<std::string>* keys) {
    FolderLock folder(path);
    if (!folder.held()) {
        log("Settings of %@ could not be written to %@: its folder could not be locked", object.className(), path);
        return false;
    }
    SettingsRead read = readSettingsFile(path);
    if (read.unreadable) {
        log("Settings of %@ could not be written to %@: the file there could not be read: %@", object.className(), path,
            describe(read.error));
        return false;
    }
    Dictionary values = read.values ? std::move(*read.values) : Dictionary();
    auto put = [&](const std::string& key) {
        try {
            Value value = valueForKey(object, key);
            if (value.isNil()) values.remove(key);
            else values.set(key, std::move(value));
        } catch (const Exception&) {
            // Unreadable through key-value access: the file's entry stays.
        }
    };
    if (keys) {
        for (const std::string& key : *keys) put(key);
    } else if (const ClassInfo* cls = classOf(object)) {
        for (const PropertyInfo& property : cls->ownProperties()) put(property.name);
    }
    Ref<Error> error;
    std::optional<Bytes> archive = KeyedArchiver::archivedDataWithRootObject(Value(values), false, &error);
    if (!archive) {
        log("Settings of %@ could not be archived for %@: %@", object.className(), path, describe(error));
        return false;
    }
    return writeSettingsFile(Value::dictionary({{std::string(kArchiveEntryKey), Value(std::move(*archive))}}), path,
                             object);
}

// Associated-storage key of the keys set on an object whose save has not succeeded yet.
const char kUnsavedKeysKey = 0;

// Saves the key just set together with any whose save failed before (called with saveMutex held).
bool saveSetKey(Object& object, const std::string& path, const std::string& key) {
    std::set<std::string> keys{key};
    const Value unsaved = object.associatedValue(&kUnsavedKeysKey);
    if (unsaved.isArray()) {
        for (const Value& name : unsaved.array()) keys.insert(name.string());
    }
    const bool saved = saveKeys(object, path, &keys);
    Array left;
    if (!saved) {
        for (const std::string& name : keys) left.push_back(Value(name));
    }
    object.setAssociatedValue(&kUnsavedKeysKey, left.empty() ? Value() : Value(std::move(left)));
    return saved;
}

}  // namespace

bool PropertyPersistance::hasUnsavedProperties(const Object& object) {
    std::lock_guard lock(saveMutex());
    const Value unsaved = object.associatedValue(&kUnsavedKeysKey);
    return unsaved.isArray() && !unsaved.array().empty();
}

std::string PropertyPersistance::getPersistPathFilename(const Object& object, std::string_view fileName) {
    const std::string name = fileName.empty() ? format("%@.plist", object.className()) : std::string(fileName);
    return path::appendingPathComponent(documentsDirectory(), name);
}

void PropertyPersistance::loadProperties(Object& object, std::string_view fileName) {
    const std::string path = getPersistPathFilename(object, fileName);
    SettingsRead read;
    {
        FolderLock folder(path);  // no other process's save or set-aside between the read and a set-aside
        read = readSettingsFile(path);
    }
    if (read.unreadable) log("Settings file %@ could not be read, ignored: %@", path, describe(read.error));
    if (read.values) applyValues(object, *read.values, path);
}

bool PropertyPersistance::saveProperties(Object& object, std::string_view fileName) {
    std::lock_guard lock(saveMutex());
    return saveKeys(object, getPersistPathFilename(object, fileName), nullptr);
}

void PropertyPersistance::setPersistanceOn(Object& object, std::string_view fileName) {
    setPersistanceOff(object);
    loadProperties(object, fileName);

    const Dictionary types = PropertiesAsDictionary::propertyNamesAttrDictionary(classOf(object));
    std::set<std::string> observed;
    for (const auto& entry : types) observed.insert(entry.first);
    const std::string name(fileName);
    std::lock_guard lock(observationMutex());
    auto save = [observed = std::move(observed), name](Object& o, const std::string& key) {
        if (!observed.count(key)) return;
        std::lock_guard saving(saveMutex());
        saveSetKey(o, getPersistPathFilename(o, name), key);
    };
    const std::uint64_t token = addPropertyObserver(object, std::move(save));
    object.setAssociatedValue(&kObservationKey, Value(token));
}

void PropertyPersistance::setPersistanceOff(Object& object) {
    std::lock_guard lock(observationMutex());
    const Value token = object.associatedValue(&kObservationKey);
    if (!token.isNumber()) return;
    removePropertyObserver(object, token.number()->unsignedLongLongValue());
    object.setAssociatedValue(&kObservationKey, Value());
}

bool PropertyPersistance::isPersistanceOn(const Object& object) {
    return object.associatedValue(&kObservationKey).isNumber();
}

void PropertyPersistance::persistanceCleanProperties(Object& object, std::string_view fileName) {
    {
        std::lock_guard lock(saveMutex());
        const std::string path = getPersistPathFilename(object, fileName);
        FolderLock folder(path);
        writeSettingsFile(Value(Dictionary()), path, object);
    }
    setPersistanceOff(object);
    const ClassInfo* cls = classOf(object);
    if (cls) {
        for (const PropertyInfo& property : cls->ownProperties()) {
            try {
                if (!valueForKey(object, property.name).isNil()) setValueForKey(object, Value(), property.name);
            } catch (const Exception& e) {
                log("%@: property \"%@\" could not be cleared: %@", object.className(), property.name, e.reason());
            }
        }
    }
    saveProperties(object);
    setPersistanceOn(object);
}

}  // namespace lv
