#include "content/base_jm_model.h"

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "content/content_records.h"
#include "mapping/errors.h"
#include "platform/base/lifetime.h"
#include "platform/base/log.h"
#include "platform/data/model.h"

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

namespace {

// The identity pairs of a class as its declared properties stand (a class that gains a property gets
// new ones; the old stay valid), with, per pair, the property valueForKey reads for its key on an
// instance of the class (none where the class's key-value handler answers first, or no property does).
struct IdentityPairs {
    Array pairs;
    std::vector<const PropertyInfo*> getters;
    std::vector<const std::string*> keys;  // each pair's key (model and entity key alike), inside pairs
};

using IdentityPairsKey = std::pair<const ClassInfo*, std::size_t>;

struct IdentityPairsKeyHash {
    std::size_t operator()(const IdentityPairsKey& key) const {
        return std::hash<const void*>()(key.first) * 31 + key.second;
    }
};

// Per thread: made without a lock, and never replaced, so references to them stay valid. The entry
// found last is found again without hashing (a reply's models are of one class).
struct IdentityPairsOfThread {
    std::unordered_map<IdentityPairsKey, IdentityPairs, IdentityPairsKeyHash> made;
    IdentityPairsKey lastKey{nullptr, 0};
    IdentityPairs* last = nullptr;
};

IdentityPairsOfThread& identityPairsOfThread() {
    static PerThread<IdentityPairsOfThread> madePerThread;
    return madePerThread.get();
}

const IdentityPairs& identityPairs(const ClassInfo* cls) {
    const auto& properties = cls->ownProperties();
    const IdentityPairsKey key{cls, properties.size()};
    IdentityPairsOfThread& ofThread = identityPairsOfThread();
    if (ofThread.last && ofThread.lastKey == key) return *ofThread.last;
    auto [it, made] = ofThread.made.try_emplace(key);
    IdentityPairs& entry = it->second;
    ofThread.lastKey = key;
    ofThread.last = &entry;
    if (made) {
        const KeyValueHandler* handler = cls->keyValueHandler();
        const bool byHandler = handler && handler->get;
        entry.pairs.reserve(properties.size());
        entry.getters.reserve(properties.size());
        for (const PropertyInfo& property : properties) {
            entry.pairs.push_back(Value(Dictionary{{property.name, Value(property.name)}}));
            entry.getters.push_back(byHandler ? nullptr : propertyForGettingKey(cls, property.name));
        }
        // The pairs are never changed again, so their texts stay where they are.
        entry.keys.reserve(properties.size());
        for (const Value& pair : entry.pairs) entry.keys.push_back(&pair.dictionary().begin()->second.string());
    }
    return entry;
}

// The identity pairs already made for the class on this thread, or nullptr.
const IdentityPairs* madeIdentityPairs(const ClassInfo* cls) {
    if (!cls) return nullptr;
    IdentityPairsOfThread& ofThread = identityPairsOfThread();
    const IdentityPairsKey key{cls, cls->ownProperties().size()};
    if (ofThread.last && ofThread.lastKey == key) return ofThread.last;
    auto it = ofThread.made.find(key);
    return it == ofThread.made.end() ? nullptr : &it->second;
}

}  // namespace

const Array& BaseJMModel::propertiesList() const {
    static const Array* none = new Array();
    return *none;
}

namespace {

// The record whose key-value access is the one every record class inherits: a key naming a property
// of its entity sets that property by its index; nullptr for any other target (whose own handler or
// properties must answer).
ManagedObject* recordWithPlainKeyValueAccess(Object& target) {
    ManagedObject* record = ManagedObject::fromObject(&target);
    if (!record || !record->entity()) return nullptr;
    const ClassInfo* cls = classOf(target);
    if (!cls || cls->keyValueHandler() != ManagedObject::runtimeClass()->keyValueHandler()) return nullptr;
    return record;
}

// Copies one value read from the model to the target's key, as setValueForKey does; a record with the
// inherited key-value access is set by the index of the key in its entity.
void copyValue(Object& target, ManagedObject* record, const Value& value, const std::string& entityKey) {
    if (record) {
        if (const int index = record->entity()->propertyIndex(entityKey); index >= 0) {
            record->setValueForPropertyIndex(static_cast<std::size_t>(index), value);
            return;
        }
    }
    setValueForKey(target, value, entityKey);
}

// Per model class and entity: the index in the entity of each identity pair's key (own property of
// the class, in declaration order), -1 where the entity has none. Kept per thread for the last pair
// met, while no entity was edited since (entity edits also count every entity's end, so a new entity
// at a freed one's address is never taken for it).
struct EntityIndices {
    const ClassInfo* cls = nullptr;
    const EntityDescription* entity = nullptr;
    std::uint64_t edits = 0;
    std::size_t properties = 0;
    std::vector<int> byProperty;
};

const std::vector<int>& entityIndices(const ClassInfo* cls, const EntityDescription& entity) {
    static PerThread<EntityIndices> ofThread;
    EntityIndices& last = ofThread.get();
    const std::uint64_t edits = data_detail::entityEditGeneration();
    const auto& own = cls->ownProperties();
    if (last.cls == cls && last.entity == &entity && last.edits == edits && last.properties == own.size()) {
        return last.byProperty;
    }
    last.byProperty.clear();
    last.byProperty.reserve(own.size());
    for (const PropertyInfo& property : own) last.byProperty.push_back(entity.propertyIndex(property.name));
    last.cls = cls;
    last.entity = &entity;
    last.edits = edits;
    last.properties = own.size();
    return last.byProperty;
}

void logRefusedPair(const std::string& modelKey, const std::string& className, const Value& entityKey) {
    Exception exception = currentException();
    log("*** Caught exception %@ copying key \"%@\" of %@ to \"%@\"", exception.description(), modelKey, className,
        entityKey);
}

}  // namespace

void BaseJMModel::migratePropertiesToObject(Object& target) const {
    const Array& pairs = propertiesList();
    // The class's identity pairs come with the property each model key reads (what valueForKey finds)
    // and their keys as texts, so a pair is not looked into for each copy.
    const IdentityPairs* identity = madeIdentityPairs(modelClass());
    const bool identical = identity && &identity->pairs == &pairs;
    // A store record is set by property index, as its key-value handler would after finding the index
    // by name, without the runtime's dispatch per key.
    ManagedObject* record = recordWithPlainKeyValueAccess(target);
    // The entity's index of each identity pair's key, found once per class and entity.
    const std::vector<int>* indices = identical && record ? &entityIndices(modelClass(), *record->entity()) : nullptr;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        try {
            if (identical) {
                const PropertyInfo* getter = identity->getters[i];
                const std::string& key = *identity->keys[i];
                const Value value = getter ? getter->get(*this) : valueForKey(*this, key);
                if (value.isNilOrNull()) continue;
                if (indices && (*indices)[i] >= 0) {
                    record->setValueForPropertyIndex(static_cast<std::size_t>((*indices)[i]), value);
                } else {
                    copyValue(target, record, value, key);
                }
                continue;
            }
            const Value& pair = pairs[i];
            if (!pair.isDictionary() || pair.dictionary().empty()) continue;
            const auto& [modelKey, entityKey] = *pair.dictionary().begin();
            const Value value = valueForKey(*this, modelKey);
            if (value.isNilOrNull()) continue;
            copyValue(target, entityKey.isString() ? record : nullptr, value,
                      entityKey.isString() ? entityKey.string() : entityKey.stringValue());
        } catch (...) {
            // A pair the record refuses must not end the copy of the others (nor escape to the caller).
            const Value& pair = pairs[i];
            const auto& [modelKey, entityKey] = *pair.dictionary().begin();
            logRefusedPair(modelKey, className(), entityKey);
        }
    }
}

bool BaseJMModel::copiesPlainly() const {
    const ClassInfo* cls = modelClass();
    const Array& pairs = propertiesList();  // makes the identity pairs of a class that copies by them
    const IdentityPairs* identity = madeIdentityPairs(cls);
    if (!identity || &identity->pairs != &pairs) return false;
    const auto& own = cls->ownProperties();
    if (identity->getters.size() != own.size()) return false;
    for (std::size_t i = 0; i < own.size(); ++i) {
        if (identity->getters[i] != &own[i] || !own[i].holdsValue) return false;
    }
    return true;
}

void BaseJMModel::migratePlainValuesToObject(const JMPlainValues& values, const std::string& className, Object& target) {
    const ClassInfo* cls = values.modelClass();
    if (!cls) return;
    const auto& own = cls->ownProperties();
    ManagedObject* record = recordWithPlainKeyValueAccess(target);
    const std::vector<int>* indices = record ? &entityIndices(cls, *record->entity()) : nullptr;
    for (std::size_t i = 0; i < own.size() && i < values.size(); ++i) {
        const Value* value = values[i];
        if (!value) continue;  // nil (a null read is held as nil)
        try {
            if (indices && (*indices)[i] >= 0) {
                record->setValueForPropertyIndex(static_cast<std::size_t>((*indices)[i]), *value);
            } else {
                copyValue(target, record, *value, own[i].name);
            }
        } catch (...) {
            logRefusedPair(own[i].name, className, Value(own[i].name));
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

const Array& BaseJMModel::identityPropertiesList() const {
    const ClassInfo* cls = modelClass();
    if (!cls) return BaseJMModel::propertiesList();
    return identityPairs(cls).pairs;
}

Dictionary BaseJMModel::identityKeyPaths(std::initializer_list<std::string_view> keys) {
    Dictionary map;
    map.reserve(keys.size());
    for (std::string_view key : keys) map.appendUnsorted(std::string(key), Value(std::string(key)));
    map.finishAppending();
    return map;
}

}  // namespace lv
