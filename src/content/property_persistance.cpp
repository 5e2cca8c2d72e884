#include "content/property_persistance.h"

#include <mutex>
#include <optional>
#include <set>

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

// The dictionary held by the settings file, or nothing. A file that exists but is damaged (empty,
// not a property-list dictionary, or its archive unusable) is kept aside, with one log line, so that
// the next save starts from defaults without destroying it.
std::optional<Dictionary> readSettingsDictionary(const std::string& path) {
    if (!FileManager::defaultManager().fileExistsAtPath(path)) return std::nullopt;  // first launch
    Ref<Error> error;
    std::optional<Bytes> data = dataWithContentsOfFile(path, &error);
    if (!data) {
        log("Settings file %@ could not be read, ignored: %@", path, describe(error));
        return std::nullopt;
    }
    auto damaged = [&path](const std::string& problem) -> std::optional<Dictionary> {
        setAsideDamagedFile(path, "Settings file " + problem);
        return std::nullopt;
    };
    Value plist = data->empty() ? Value()
                                : PropertyListSerialization::propertyListWithData(*data, kPropertyListImmutable, nullptr, &error);
    if (!plist.isDictionary()) return damaged("is no property-list dictionary");
    const Dictionary& entries = plist.dictionary();
    if (entries.size() != 1 || !entries.contains(kArchiveEntryKey)) return entries;  // the plain form

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
    return root.dictionary();
}

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

}  // namespace

std::string PropertyPersistance::getPersistPathFilename(const Object& object, std::string_view fileName) {
    const std::string name = fileName.empty() ? format("%@.plist", object.className()) : std::string(fileName);
    return path::appendingPathComponent(documentsDirectory(), name);
}

void PropertyPersistance::loadProperties(Object& object, std::string_view fileName) {
    const std::string path = getPersistPathFilename(object, fileName);
    if (std::optional<Dictionary> values = readSettingsDictionary(path)) applyValues(object, *values, path);
}

bool PropertyPersistance::saveProperties(Object& object, std::string_view fileName) {
    const std::string path = getPersistPathFilename(object, fileName);
    std::lock_guard lock(saveMutex());
    const Dictionary values = PropertiesAsDictionary::propertyValuesDictionary(object);
    Ref<Error> error;
    std::optional<Bytes> archive = KeyedArchiver::archivedDataWithRootObject(Value(values), false, &error);
    if (!archive) {
        log("Settings of %@ could not be archived for %@: %@", object.className(), path, describe(error));
        return false;
    }
    return writeSettingsFile(Value::dictionary({{std::string(kArchiveEntryKey), Value(std::move(*archive))}}), path,
                             object);
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
        if (observed.count(key)) saveProperties(o, name);
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
        writeSettingsFile(Value(Dictionary()), getPersistPathFilename(object, fileName), object);
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
