#include "content/base_jm_model.h"

#include <string>
#include <unordered_map>

#include "content/content_records.h"
#include "mapping/errors.h"
#include "platform/base/lifetime.h"
#include "platform/base/log.h"

namespace lv {

BaseJMModel::BaseJMModel() {
    runtimeClass();
}

const ClassInfo* BaseJMModel::runtimeClass() {
    static const ClassInfo* cls = [] {
        registerContentRecordClasses();
        return defineModelClass<BaseJMModel>("BaseJMModel").registerClass();
    }();
    return cls;
}

Array BaseJMModel::propertiesList() const {
    return Array();
}

void BaseJMModel::migratePropertiesToObject(Object& target) const {
    for (const Value& pair : propertiesList()) {
        if (!pair.isDictionary() || pair.dictionary().empty()) continue;
        const auto& [modelKey, entityKey] = *pair.dictionary().begin();
        try {
            Value value = valueForKey(*this, modelKey);
            if (value.isNilOrNull()) continue;
            if (entityKey.isString()) {
                setValueForKey(target, value, entityKey.string());
            } else {
                setValueForKey(target, value, entityKey.stringValue());
            }
        } catch (...) {
            // A pair the record refuses must not end the copy of the others (nor escape to the caller).
            Exception exception = currentException();
            log("*** Caught exception %@ copying key \"%@\" of %@ to \"%@\"", exception.description(), modelKey,
                className(), entityKey);
        }
    }
}

void BaseJMModel::migratePropertiesToObject(const Ref<Object>& target) const {
    if (target) migratePropertiesToObject(*target);
}

DateFormatter BaseJMModel::dateFormatter1() {
    return DateFormatter("yyyy-MM-dd:HH");
}

DateFormatter BaseJMModel::dateFormatter2() {
    return DateFormatter("yyyy-M-d HH:mm:ss");
}

DateFormatter BaseJMModel::dateFormatter3() {
    return DateFormatter("yyyy-MM-dd");
}

Array BaseJMModel::identityPropertiesList() const {
    const ClassInfo* cls = modelClass();
    if (!cls) return Array();
    // The pairs follow only from the class's declared properties: made once per class (and again if
    // the class gains a property), since every record copy asks for them.
    struct Pairs {
        std::size_t propertyCount = 0;
        Array pairs;
    };
    static PerThread<std::unordered_map<const ClassInfo*, Pairs>> madePerThread;
    auto& made = madePerThread.get();
    Pairs& entry = made[cls];
    const auto& properties = cls->ownProperties();
    if (entry.pairs.empty() || entry.propertyCount != properties.size()) {
        entry.pairs.clear();
        entry.pairs.reserve(properties.size());
        for (const PropertyInfo& property : properties) {
            entry.pairs.push_back(Value(Dictionary{{property.name, Value(property.name)}}));
        }
        entry.propertyCount = properties.size();
    }
    return entry.pairs;
}

Dictionary BaseJMModel::identityKeyPaths(std::initializer_list<std::string_view> keys) {
    Dictionary map;
    map.reserve(keys.size());
    for (std::string_view key : keys) map.appendUnsorted(std::string(key), Value(std::string(key)));
    map.finishAppending();
    return map;
}

}  // namespace lv
