#include "mapping/model.h"

#include <mutex>

#include "mapping/detail/attribute_cache.h"
#include "mapping/detail/hook_rules.h"
#include "mapping/detail/prepared_keys.h"
#include "platform/base/format.h"
#include "platform/base/log.h"

namespace lv {

namespace {

// Keys of the per-class caches (associated values of the class). Each is filled once and never
// replaced. The fourth, the default secure-coding classes, is kept by model_archiving.cpp.
const char kPropertyKeysKey = 0;
const char kTransitoryKeysKey = 0;
const char kPermanentKeysKey = 0;
const char kValidatedKeysKey = 0;  // property keys that have a "validate<Key>:error:" hook

class KeySetBox : public Object {
public:
    explicit KeySetBox(JMKeySet s) : set(std::move(s)) {}
    const JMKeySet set;
};

// Serialises the check-and-store of the caches; never held while user code runs.
std::mutex& cacheMutex() {
    static auto* m = new std::mutex;
    return *m;
}

const JMKeySet* cachedKeySet(const ClassInfo* cls, const void* key) {
    Value v = cls->associatedValue(key);
    // The class's association keeps the box alive for the process's life.
    return v.isNil() ? nullptr : &static_cast<const KeySetBox&>(*v.object()).set;
}

// Stores the set unless another thread stored one first; returns the stored one.
const JMKeySet& storeKeySet(const ClassInfo* cls, const void* key, JMKeySet set) {
    auto box = makeRef<KeySetBox>(std::move(set));
    std::lock_guard lock(cacheMutex());
    if (const JMKeySet* existing = cachedKeySet(cls, key)) return *existing;
    cls->setAssociatedValue(key, Value(box));
    return box->set;
}

// Reads a property value; a key that cannot be read (a property without accessors) reads as nil.
Value readValue(const JMModel& model, const std::string& key) {
    try {
        return valueForKey(model, key);
    } catch (...) {
        return Value();
    }
}

// Whether the validator handed back the very value it was given (objects by identity).
bool sameValue(const Value& a, const Value& b) {
    if (a.type() != b.type()) return false;
    if (a.isObject()) return a.object() == b.object();
    if (const Number* n = a.number()) {
        const Number* m = b.number();
        return m && n->kind() == m->kind() && a.isEqual(b);
    }
    return a.isEqual(b);
}

void logSetException(const std::string& key, const Exception& exception) {
    log("*** Caught exception setting key \"%@\" : %@", key, exception.description());
}

}  // namespace

void JMKeySet::insert(const std::string& key) {
    if (index_.insert(key).second) keys_.push_back(key);
}

JMModel::JMModel() {
    runtimeClass();
}

const ClassInfo* JMModel::runtimeClass() {
    // The base declares its dictionary value and the read-only properties every object answers; none
    // of them is ever a property key. The hook rules are installed before any model class registers.
    static const ClassInfo* cls =
        (mapping_detail::installHookRules(), ClassDef<JMModel>("JMModel"))
            .factory()
            .property("dictionaryValue", "@\"Dictionary\"", "R,C,N",
                      [](const JMModel& m) { return Value(m.dictionaryValue()); })
            .property("hash", "Q", "R", [](const JMModel& m) { return Value(static_cast<std::uint64_t>(m.hash())); })
            .property("superclass", "#", "R",
                      [](const JMModel& m) {
                          const ClassInfo* c = m.modelClass();
                          return c && c->superclass() ? Value(c->superclass()->name()) : Value();
                      })
            .property("description", "@\"String\"", "R,C", [](const JMModel& m) { return Value(m.description()); })
            .property("debugDescription", "@\"String\"", "R,C",
                      [](const JMModel& m) { return Value(m.description()); })
            .registerClass();
    return cls;
}

const ClassInfo* JMModel::modelClass() const {
    const ClassInfo* cls = class_.load(std::memory_order_acquire);
    if (!cls) {
        cls = classOf(*this);
        class_.store(cls, std::memory_order_release);
    }
    return cls;
}

// ---- Class side ----

Ref<JMModel> JMModel::modelWithDictionary(const ClassInfo* cls, const Dictionary& dictionary, Ref<Error>* error) {
    if (!cls) return nullptr;
    auto model = std::dynamic_pointer_cast<JMModel>(cls->create());
    if (!model) return nullptr;
    if (!model->initWithDictionary(dictionary, error)) return nullptr;
    return model;
}

void JMModel::enumeratePropertiesUsingBlock(const ClassInfo* cls,
                                            const std::function<void(const PropertyInfo& property, bool* stop)>& block) {
    const ClassInfo* base = runtimeClass();
    bool stop = false;
    for (const ClassInfo* c = cls; c && c != base && !stop; c = c->superclass()) {
        for (const PropertyInfo& property : c->ownProperties()) {
            block(property, &stop);
            if (stop) break;
        }
    }
}

JMPropertyStorage JMModel::storageBehaviorForPropertyWithKey(const ClassInfo* cls, const std::string& key) {
    if (!cls) return JMPropertyStorageNone;
    if (const auto* hook = cls->findClassHook<JMStorageBehaviorHook>("storageBehaviorForPropertyWithKey:")) {
        return (*hook)(cls, key);
    }
    return defaultStorageBehaviorForPropertyWithKey(cls, key);
}

JMPropertyStorage JMModel::defaultStorageBehaviorForPropertyWithKey(const ClassInfo* cls, const std::string& key) {
    if (!cls) return JMPropertyStorageNone;
    const PropertyInfo* property = cls->findProperty(key);
    if (!property) return JMPropertyStorageNone;
    const jm_propertyAttributes* attributes = mapping_detail::cachedPropertyAttributes(property);
    if (!attributes) return JMPropertyStorageNone;
    const bool hasGetter = cls->instancesRespondTo(attributes->getter);
    const bool hasSetter = cls->instancesRespondTo(attributes->setter);
    if (!attributes->dynamic && attributes->ivar.empty() && !hasGetter && !hasSetter) return JMPropertyStorageNone;
    if (attributes->readonly && attributes->ivar.empty()) {
        if (cls == runtimeClass() || !cls->superclass()) return JMPropertyStorageNone;
        return storageBehaviorForPropertyWithKey(cls->superclass(), key);
    }
    return JMPropertyStoragePermanent;
}

const JMKeySet& JMModel::propertyKeys(const ClassInfo* cls) {
    if (const JMKeySet* cached = cachedKeySet(cls, &kPropertyKeysKey)) return *cached;
    JMKeySet keys;
    enumeratePropertiesUsingBlock(cls, [&](const PropertyInfo& property, bool*) {
        if (storageBehaviorForPropertyWithKey(cls, property.name) != JMPropertyStorageNone) keys.insert(property.name);
    });
    return storeKeySet(cls, &kPropertyKeysKey, std::move(keys));
}

void JMModel::generateAndCacheStorageBehaviors(const ClassInfo* cls) {
    JMKeySet transitory;
    JMKeySet permanent;
    for (const std::string& key : propertyKeys(cls)) {
        switch (storageBehaviorForPropertyWithKey(cls, key)) {
            case JMPropertyStorageTransitory: transitory.insert(key); break;
            case JMPropertyStoragePermanent: permanent.insert(key); break;
            default: break;
        }
    }
    storeKeySet(cls, &kTransitoryKeysKey, std::move(transitory));
    storeKeySet(cls, &kPermanentKeysKey, std::move(permanent));
}

const JMKeySet& JMModel::transitoryPropertyKeys(const ClassInfo* cls) {
    if (const JMKeySet* cached = cachedKeySet(cls, &kTransitoryKeysKey)) return *cached;
    generateAndCacheStorageBehaviors(cls);
    return *cachedKeySet(cls, &kTransitoryKeysKey);
}

const JMKeySet& JMModel::permanentPropertyKeys(const ClassInfo* cls) {
    if (const JMKeySet* cached = cachedKeySet(cls, &kPermanentKeysKey)) return *cached;
    generateAndCacheStorageBehaviors(cls);
    return *cachedKeySet(cls, &kPermanentKeysKey);
}

// ---- Instance side ----

namespace {

// The property keys whose validation hook exists; the others need no validation call. Hooks are
// fixed once a class is registered, so the answer is computed once per class.
const JMKeySet& validatedPropertyKeys(const ClassInfo* cls) {
    if (const JMKeySet* cached = cachedKeySet(cls, &kValidatedKeysKey)) return *cached;
    JMKeySet keys;
    for (const std::string& key : JMModel::propertyKeys(cls)) {
        if (cls->respondsToInstanceHook(selectorName("validate", key, ":error:"))) keys.insert(key);
    }
    return storeKeySet(cls, &kValidatedKeysKey, std::move(keys));
}

// Which keys of a class need the validation call: those with a hook, and keys that are not property
// keys (the key-value validation of an unknown key is left to the runtime).
class ValidationPlan {
public:
    explicit ValidationPlan(const ClassInfo* cls)
        : keys_(cls ? &JMModel::propertyKeys(cls) : nullptr), validated_(cls ? &validatedPropertyKeys(cls) : nullptr) {}
    bool needsValidation(const std::string& key) const {
        return !keys_ || (!validated_->empty() && validated_->contains(key)) || !keys_->contains(key);
    }

private:
    const JMKeySet* keys_;
    const JMKeySet* validated_;
};

// Sets through the property found beforehand when there is one (what setValueForKey would find for the
// model's class), else by key.
void assign(JMModel& model, const std::string& key, const Value& value, const PropertyInfo* property) {
    if (property) {
        property->set(model, value);
    } else {
        setValueForKey(model, value, key);
    }
}

bool validateAndAssign(JMModel& model, const std::string& key, const Value& value, bool forceUpdate, bool validate,
                       Ref<Error>* error, const PropertyInfo* property = nullptr) {
    try {
        if (!validate) {
            // Nothing can replace the value, so it needs no copy (a value unequal to itself, such as a
            // NaN, still counts as replaced).
            if (forceUpdate || !sameValue(value, value)) assign(model, key, value, property);
            return true;
        }
        Value validated = value;
        if (!validateValueForKey(model, validated, key, error)) return false;
        if (forceUpdate || !sameValue(validated, value)) assign(model, key, validated, property);
        return true;
    } catch (...) {
        Exception exception = currentException();
        logSetException(key, exception);
        setError(error, jm_modelErrorWithException(exception));
        return false;
    }
}

}  // namespace

namespace mapping_detail {

PreparedKey prepareKey(const ClassInfo* cls, const std::string& key) {
    const KeyValueHandler* handler = cls->keyValueHandler();
    return PreparedKey{&key, handler && handler->set ? nullptr : propertyForSettingKey(cls, key),
                       ValidationPlan(cls).needsValidation(key)};
}

bool hasValidatedKeys(const ClassInfo* cls) {
    return !validatedPropertyKeys(cls).empty();
}

bool assignPreparedValue(JMModel& model, const PreparedKey& prepared, const Value& value, Ref<Error>* error) {
    if (!prepared.validates && prepared.property && !value.isNull()) {
        // validateAndAssign's road for a key without validation, forced: the property's setter.
        try {
            prepared.property->set(model, value);
            return true;
        } catch (...) {
            Exception exception = currentException();
            logSetException(*prepared.key, exception);
            setError(error, jm_modelErrorWithException(exception));
            return false;
        }
    }
    if (value.isNull()) return validateAndAssign(model, *prepared.key, Value(), true, prepared.validates, error, prepared.property);
    return validateAndAssign(model, *prepared.key, value, true, prepared.validates, error, prepared.property);
}

}  // namespace mapping_detail

bool JMValidateAndAssignValue(JMModel& model, const std::string& key, const Value& value, bool forceUpdate,
                              Ref<Error>* error) {
    return validateAndAssign(model, key, value, forceUpdate, ValidationPlan(model.modelClass()).needsValidation(key),
                             error);
}

bool JMModel::initWithDictionary(const Dictionary& dictionary, Ref<Error>* error) {
    const ValidationPlan plan(modelClass());
    for (const auto& [key, value] : dictionary) {
        if (!validateAndAssign(*this, key, value.isNull() ? Value() : value, true, plan.needsValidation(key), error)) {
            return false;
        }
    }
    return true;
}

Dictionary JMModel::dictionaryValue() const {
    const ClassInfo* cls = modelClass();
    Dictionary out;
    for (const JMKeySet* keys : {&transitoryPropertyKeys(cls), &permanentPropertyKeys(cls)}) {
        for (const std::string& key : *keys) {
            Value v = readValue(*this, key);
            out.set(key, v.isNil() ? Value::null() : std::move(v));
        }
    }
    return out;
}

void JMModel::mergeValueForKey(const std::string& key, const Ref<JMModel>& model) {
    const ClassInfo* cls = modelClass();
    std::optional<std::string> selector = JMSelectorFromCapitalizedKeyPattern("merge", key, "FromModel:");
    if (selector && cls->respondsToInstanceHook(*selector)) {
        if (const auto* hook = cls->findInstanceHook<JMMergeHook>(*selector)) (*hook)(*this, model);
        return;
    }
    if (!model) return;
    try {
        setValueForKey(*this, valueForKey(*model, key), key);
    } catch (...) {
        logSetException(key, currentException());
    }
}

void JMModel::mergeValuesForKeysFromModel(const Ref<JMModel>& model) {
    if (!model) return;
    const JMKeySet& otherKeys = propertyKeys(model->modelClass());
    for (const std::string& key : propertyKeys(modelClass())) {
        if (otherKeys.contains(key)) mergeValueForKey(key, model);
    }
}

bool JMModel::validate(Ref<Error>* error) {
    // Without a validation hook a key's value is accepted as it is and nothing is written back, so only
    // the keys with a hook need their value read: those are the validated keys, kept in the order of
    // the property keys.
    for (const std::string& key : validatedPropertyKeys(modelClass())) {
        if (!validateAndAssign(*this, key, readValue(*this, key), false, true, error)) return false;
    }
    return true;
}

Ref<JMModel> JMModel::copy() const {
    auto other = std::dynamic_pointer_cast<JMModel>(modelClass()->create());
    if (!other) return nullptr;
    for (const auto& [key, value] : dictionaryValue()) {
        try {
            setValueForKey(*other, value.isNull() ? Value() : value, key);
        } catch (...) {
            logSetException(key, currentException());
        }
    }
    return other;
}

bool JMModel::isEqual(const Object& other) const {
    if (this == &other) return true;
    if (typeid(other) != typeid(*this)) return false;
    const auto& model = static_cast<const JMModel&>(other);
    for (const std::string& key : permanentPropertyKeys(modelClass())) {
        Value mine = readValue(*this, key);
        Value theirs = readValue(model, key);
        if (mine.isNil() && theirs.isNil()) continue;
        if (!mine.isEqual(theirs)) return false;
    }
    return true;
}

std::size_t JMModel::hash() const {
    std::size_t value = 0;
    for (const std::string& key : permanentPropertyKeys(modelClass())) {
        Value v = readValue(*this, key);
        if (!v.isNil()) value ^= v.hash();
    }
    return value;
}

std::string JMModel::description() const {
    Dictionary permanent;
    for (const std::string& key : permanentPropertyKeys(modelClass())) {
        Value v = readValue(*this, key);
        permanent.set(key, v.isNil() ? Value::null() : std::move(v));
    }
    return format("<%@: %p> %@", className(), static_cast<const void*>(this), Value(std::move(permanent)));
}

}  // namespace lv
