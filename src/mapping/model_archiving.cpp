// Model archiving: every model writes its version and its property values to a keyed archive and reads
// them back, with per-key encoding behaviours, secure decoding with per-key allowed classes, per-key
// decoding hooks and the older archive layout.
#include <mutex>

#include "mapping/detail/attribute_cache.h"
#include "mapping/model.h"
#include "mapping/property_attributes.h"
#include "platform/base/format.h"
#include "platform/base/log.h"

namespace lv {

namespace {

// The fourth per-class cache: the default allowed secure-coding classes.
const char kAllowedClassesKey = 0;

class AllowedClassesBox : public Object {
public:
    explicit AllowedClassesBox(JMAllowedClassesByKey c) : classes(std::move(c)) {}
    const JMAllowedClassesByKey classes;
};

std::mutex& allowedClassesMutex() {
    static auto* m = new std::mutex;
    return *m;
}

const JMAllowedClassesByKey* cachedAllowedClasses(const ClassInfo* cls) {
    Value v = cls->associatedValue(&kAllowedClassesKey);
    return v.isNil() ? nullptr : &static_cast<const AllowedClassesBox&>(*v.object()).classes;
}

JMAllowedClassesByKey computeAllowedClasses(const ClassInfo* cls) {
    JMAllowedClassesByKey out;
    const ClassInfo* valueClass = classNamed("Value");
    for (const auto& [key, behavior] : JMModel::encodingBehaviorsByPropertyKey(cls)) {
        if (behavior.unsignedLongLongValue() == JMModelEncodingBehaviorExcluded) continue;
        const PropertyInfo* property = cls->findProperty(key);
        const jm_propertyAttributes* attributes = property ? mapping_detail::cachedPropertyAttributes(property) : nullptr;
        if (!attributes) continue;
        const char kind = attributes->type.empty() ? '\0' : attributes->type[0];
        if (kind == '@' || kind == '#') {
            if (attributes->objectClass) out[key] = {attributes->objectClass};
        } else if (valueClass) {
            out[key] = {valueClass};  // scalars travel boxed
        }
    }
    return out;
}

std::string setDescription(const std::vector<std::string>& keys) {
    std::string text = "{(";
    for (std::size_t i = 0; i < keys.size(); ++i) text += (i ? ",\n    " : "\n    ") + keys[i];
    return text + "\n)}";
}

template <class Sig>
const std::function<Sig>* classHook(const ClassInfo* cls, std::string_view name) {
    return cls ? cls->findClassHook<Sig>(name) : nullptr;
}

}  // namespace

std::uint64_t JMModel::modelVersion(const ClassInfo* cls) {
    if (const auto* hook = classHook<std::uint64_t()>(cls, "modelVersion")) return (*hook)();
    return 0;
}

Dictionary JMModel::encodingBehaviorsByPropertyKey(const ClassInfo* cls) {
    if (const auto* hook = classHook<Dictionary(const ClassInfo*)>(cls, "encodingBehaviorsByPropertyKey")) return (*hook)(cls);
    return defaultEncodingBehaviorsByPropertyKey(cls);
}

Dictionary JMModel::defaultEncodingBehaviorsByPropertyKey(const ClassInfo* cls) {
    Dictionary behaviors;
    for (const std::string& key : propertyKeys(cls)) {
        const PropertyInfo* property = cls->findProperty(key);
        const jm_propertyAttributes* attributes = property ? mapping_detail::cachedPropertyAttributes(property) : nullptr;
        const bool weak = attributes && attributes->weak;
        behaviors.set(key, Value(static_cast<std::uint64_t>(weak ? JMModelEncodingBehaviorConditional : JMModelEncodingBehaviorUnconditional)));
    }
    return behaviors;
}

JMAllowedClassesByKey JMModel::allowedSecureCodingClassesByPropertyKey(const ClassInfo* cls) {
    if (const auto* hook = classHook<JMAllowedClassesByKey(const ClassInfo*)>(cls, "allowedSecureCodingClassesByPropertyKey")) {
        return (*hook)(cls);
    }
    {
        std::lock_guard lock(allowedClassesMutex());
        if (const auto* cached = cachedAllowedClasses(cls)) return *cached;
    }
    auto box = makeRef<AllowedClassesBox>(computeAllowedClasses(cls));  // outside the lock: it reads the class's hooks
    std::lock_guard lock(allowedClassesMutex());
    if (const auto* cached = cachedAllowedClasses(cls)) return *cached;  // another thread was first
    cls->setAssociatedValue(&kAllowedClassesKey, Value(box));
    return box->classes;
}

Value JMModel::dictionaryValueFromArchivedExternalRepresentation(const ClassInfo* cls, const Dictionary& externalRepresentation,
                                                                std::uint64_t version) {
    using Hook = Value(const Dictionary&, std::uint64_t);
    if (const auto* hook = classHook<Hook>(cls, "dictionaryValueFromArchivedExternalRepresentation:version:")) {
        return (*hook)(externalRepresentation, version);
    }
    return Value();
}

bool JMModel::supportsSecureCoding() const {
    if (const auto* hook = classHook<bool()>(modelClass(), "supportsSecureCoding")) return (*hook)();
    return false;
}

bool JMCoderRequiresSecureCoding(const Coder& coder) { return coder.requiresSecureCoding(); }

void JMVerifySecureCodingClasses(const ClassInfo* cls) {
    const JMAllowedClassesByKey allowed = JMModel::allowedSecureCodingClassesByPropertyKey(cls);
    std::vector<std::string> missing;
    for (const auto& [key, behavior] : JMModel::encodingBehaviorsByPropertyKey(cls)) {
        if (behavior.unsignedLongLongValue() != JMModelEncodingBehaviorExcluded && !allowed.contains(key)) missing.push_back(key);
    }
    if (missing.empty()) return;
    Exception::raise(std::string(kInvalidArgumentException),
                     format("Cannot encode %@ securely, because keys are missing from +allowedSecureCodingClassesByPropertyKey: %@",
                            cls ? cls->name() : std::string(), setDescription(missing)));
}

Value JMModel::decodeValueForKey(const std::string& key, Coder& coder, std::uint64_t version) {
    const ClassInfo* cls = modelClass();
    if (const auto name = JMSelectorFromCapitalizedKeyPattern("decode", key, "WithCoder:modelVersion:")) {
        if (const auto* hook = cls->findInstanceHook<Value(Object&, Coder&, std::uint64_t)>(*name)) return (*hook)(*this, coder, version);
    }
    try {
        if (JMCoderRequiresSecureCoding(coder)) {
            const JMAllowedClassesByKey allowed = allowedSecureCodingClassesByPropertyKey(cls);
            auto it = allowed.find(key);
            const std::vector<const ClassInfo*> classes = it == allowed.end() ? std::vector<const ClassInfo*>() : it->second;
            return coder.decodeObjectOfClasses(classes, key);
        }
        return coder.decodeObject(key);
    } catch (const Exception& e) {
        log("*** Caught exception decoding value for key \"%@\" on class %@: %@", key, cls->name(), e.description());
        throw;
    }
}

bool JMModel::initWithCoder(Coder& coder) {
    const ClassInfo* cls = modelClass();
    const bool secure = JMCoderRequiresSecureCoding(coder);
    const Value versionValue = secure ? coder.decodeObjectOfClass(classNamed("Number"), kJMModelVersionKey) : coder.decodeObject(kJMModelVersionKey);
    std::uint64_t version = 0;
    if (!versionValue.isNumeric()) {
        log("Warning: decoding an archive of %@ without a version, assuming 0", cls->name());
    } else {
        version = versionValue.unsignedLongLongValue();
        if (version > modelVersion(cls)) return false;
    }
    if (secure) JMVerifySecureCodingClasses(cls);

    if (!secure) {
        const Value external = coder.decodeObject(kJMModelExternalRepresentationKey);
        if (!external.isNil()) {
            const Value converted = dictionaryValueFromArchivedExternalRepresentation(
                cls, external.isDictionary() ? external.dictionary() : Dictionary(), version);
            if (!converted.isDictionary()) return false;
            Ref<Error> error;
            if (initWithDictionary(converted.dictionary(), &error)) return true;
            log("*** Could not decode old %@ archive: %@", cls->name(), error);
            return false;
        }
    }

    Dictionary values;
    values.reserve(propertyKeys(cls).size());
    for (const std::string& key : propertyKeys(cls)) {
        Value value = decodeValueForKey(key, coder, version);
        if (!value.isNil()) values.set(key, std::move(value));
    }
    Ref<Error> error;
    if (initWithDictionary(values, &error)) return true;
    log("*** Could not unarchive %@: %@", cls->name(), error);
    return false;
}

void JMModel::encodeWithCoder(Coder& coder) const {
    const ClassInfo* cls = modelClass();
    if (JMCoderRequiresSecureCoding(coder)) JMVerifySecureCodingClasses(cls);
    coder.encodeObject(Value(modelVersion(cls)), kJMModelVersionKey);
    const Dictionary behaviors = encodingBehaviorsByPropertyKey(cls);
    for (const auto& [key, value] : dictionaryValue()) {
        try {
            if (value.isNull()) continue;
            const Value& behavior = behaviors.get(key);
            const std::uint64_t kind = behavior.isNumeric() ? behavior.unsignedLongLongValue() : JMModelEncodingBehaviorExcluded;
            if (kind == JMModelEncodingBehaviorUnconditional) {
                coder.encodeObject(value, key);
            } else if (kind == JMModelEncodingBehaviorConditional) {
                coder.encodeConditionalObject(value, key);
            }
        } catch (const Exception& e) {
            log("*** Caught exception encoding value for key \"%@\" on class %@: %@", key, cls->name(), e.description());
            throw;
        }
    }
}

}  // namespace lv
