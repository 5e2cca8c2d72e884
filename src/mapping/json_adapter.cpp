#include "mapping/json_adapter.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <typeindex>

#include "mapping/helpers.h"
#include "mapping/detail/attribute_cache.h"
#include "mapping/detail/class_name.h"
#include "mapping/detail/hook_rules.h"
#include "mapping/detail/prepared_keys.h"
#include "platform/runtime/detail/generation.h"
#include "platform/base/format.h"
#include "platform/base/lifetime.h"
#include "platform/base/log.h"

namespace lv {

namespace {

using mapping_detail::classNameValue;

Ref<Error> adapterError(std::int64_t code, std::string description, std::string reason) {
    Dictionary info;
    info.set(std::string(kLocalizedDescriptionKey), Value(std::move(description)));
    info.set(std::string(kLocalizedFailureReasonErrorKey), Value(std::move(reason)));
    return Error::make(std::string(JMJSONAdapterErrorDomain), code, std::move(info));
}

Ref<Error> thrownExceptionError(const Exception& exception) {
    Dictionary info;
    info.set(std::string(kLocalizedDescriptionKey), Value(exception.description()));
    info.set(std::string(kLocalizedFailureReasonErrorKey), Value(exception.reason()));
    info.set(std::string(JMJSONAdapterThrownExceptionErrorKey), Value(makeRef<JMException>(exception)));
    return Error::make(std::string(JMJSONAdapterErrorDomain), JMJSONAdapterErrorExceptionThrown, std::move(info));
}

Ref<Error> invalidDictionaryError(const ClassInfo* modelClass, const Value& given) {
    return adapterError(JMJSONAdapterErrorInvalidJSONDictionary, "Invalid JSON dictionary",
                        format("%@ could not be created because an invalid JSON dictionary was provided: %@",
                               modelClass ? Value(modelClass->name()) : Value(), classNameValue(given)));
}

// A transformer hook's result, accepting the transformer classes of this layer as declared result types.
Ref<ValueTransformer> callTransformerHook(const ClassInfo* cls, std::string_view name) {
    if (const auto* hook = cls->findClassHook<Ref<ValueTransformer>()>(name)) return (*hook)();
    if (const auto* hook = cls->findClassHook<Ref<JMValueTransformer>()>(name)) return (*hook)();
    if (const auto* hook = cls->findClassHook<Ref<JMReversibleValueTransformer>()>(name)) return (*hook)();
    return nullptr;
}

Ref<ValueTransformer> callTransformerForKeyHook(const ClassInfo* cls, const std::string& key) {
    if (const auto* hook = cls->findClassHook<JMTransformerForKeyHook>("JSONTransformerForKey:")) return (*hook)(key);
    if (const auto* hook = cls->findClassHook<Ref<JMValueTransformer>(const std::string&)>("JSONTransformerForKey:")) {
        return (*hook)(key);
    }
    if (const auto* hook =
            cls->findClassHook<Ref<JMReversibleValueTransformer>(const std::string&)>("JSONTransformerForKey:")) {
        return (*hook)(key);
    }
    return nullptr;
}

// "Name" of the type encoding @"Name"; empty for other encodings and for id.
std::string declaredClassName(std::string_view type) {
    if (type.size() < 3 || !type.starts_with("@\"") || !type.ends_with('"')) return {};
    return std::string(type.substr(2, type.size() - 3));
}

// Makes sure every component of the key path exists as a nested dictionary, so that setting the value
// at the path reaches its place. Looking a component up in something other than a dictionary raises,
// as key-value access does.
void prepareKeyPath(Value& root, const std::string& keyPath) {
    Value* current = &root;
    std::size_t start = 0;
    while (true) {
        const std::size_t dot = keyPath.find('.', start);
        const std::string component = keyPath.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (valueForKey(*current, component).isNil()) setValueForKey(*current, Value(Dictionary()), component);
        if (dot == std::string::npos || !current->isDictionary()) return;
        current = &current->mutableDictionary().at(component);
        start = dot + 1;
    }
}

// The entry of the key in the dictionary, or nullptr. Looked for first at the position the hint
// gives (where the previous dictionary had the key); the hint follows the position found.
const Value* findWithHint(const Dictionary& dictionary, const std::string& key, std::atomic<std::uint32_t>& hint) {
    const std::size_t guess = hint.load(std::memory_order_relaxed);
    if (guess < dictionary.size()) {
        const Dictionary::Entry& entry = dictionary.begin()[static_cast<std::ptrdiff_t>(guess)];
        if (entry.first == key) return &entry.second;
    }
    auto it = std::lower_bound(dictionary.begin(), dictionary.end(), key,
                               [](const Dictionary::Entry& entry, const std::string& k) { return entry.first < k; });
    if (it == dictionary.end() || it->first != key) return nullptr;
    hint.store(static_cast<std::uint32_t>(it - dictionary.begin()), std::memory_order_relaxed);
    return &it->second;
}

// The value types other than nil, null and objects whose class (one of the runtime's own, fixed) is
// of the given class, as bits by Value::Type.
std::uint16_t passingValueTypes(const ClassInfo* cls) {
    static const Value* exemplars = new Value[]{Value(0), Value(Decimal()), Value(std::string()), Value(Bytes()),
                                                 Value(Date()), Value(Array()), Value(Dictionary())};
    std::uint16_t types = 0;
    for (std::size_t i = 0; i < 7; ++i) {
        const Value& exemplar = exemplars[i];
        const ClassInfo* valueClass = classOfValue(exemplar);
        if (valueClass && valueClass->isSubclassOf(cls)) types |= static_cast<std::uint16_t>(1u << static_cast<unsigned>(exemplar.type()));
    }
    return types;
}

// Whether a value read passes a step's class check unchanged: by its type, or for an object by its class.
bool passesUnchanged(const Value& value, const ClassInfo* validatedClass, std::uint16_t passingTypes) {
    if (!validatedClass) return false;
    const Value::Type type = value.type();
    if (type == Value::Type::Object) {
        const ClassInfo* valueClass = classOfValue(value);
        return valueClass && valueClass->isSubclassOf(validatedClass);
    }
    return (passingTypes >> static_cast<unsigned>(type) & 1u) != 0;
}

const Value& nilValue() {
    static const Value* nil = new Value();
    return *nil;
}

}  // namespace

// How an adapter sets the values it read into a new model: each plan step's key prepared for the
// model class (the property key-value access writes, whether the key is validated), and whether the
// class validates any key at all. Made at the first model, after it is created, where
// initWithDictionary would first ask for the class's validation hooks.
struct JMJSONAdapter::ModelFill {
    std::vector<mapping_detail::PreparedKey> keys;  // per plan step
    bool validates = false;
};

const JMJSONAdapter::ModelFill& JMJSONAdapter::modelFill() {
    if (const ModelFill* fill = modelFill_.load(std::memory_order_acquire)) return *fill;
    auto made = std::make_unique<ModelFill>();
    made->keys.reserve(plan_.size());
    for (const PropertyPlan& step : plan_) made->keys.push_back(mapping_detail::prepareKey(modelClass_, *step.key));
    made->validates = mapping_detail::hasValidatedKeys(modelClass_);
    // Two threads may both make one; the first stored stays.
    const ModelFill* expected = nullptr;
    if (modelFill_.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) return *made.release();
    return *expected;
}

// ---- Plain values ----

JMPlainValues::JMPlainValues() = default;
JMPlainValues::~JMPlainValues() = default;

const Value& JMPlainValues::valueForKey(std::string_view key) const {
    if (modelClass_) {
        const std::vector<PropertyInfo>& own = modelClass_->ownProperties();
        for (std::size_t i = 0; i < own.size() && i < byProperty_.size(); ++i) {
            if (own[i].name == key) return byProperty_[i] ? *byProperty_[i] : nilValue();
        }
    }
    return nilValue();
}

// ---- Construction ----

JMJSONAdapter::JMJSONAdapter() {
    runtimeClass();
}

JMJSONAdapter::~JMJSONAdapter() {
    delete modelFill_.load(std::memory_order_acquire);
    delete plainFill_.load(std::memory_order_acquire);
}

const ClassInfo* JMJSONAdapter::runtimeClass() {
    static const ClassInfo* cls = (mapping_detail::installHookRules(), ClassDef<JMJSONAdapter>("JMJSONAdapter"))
                                      .factory()
                                      .classMethod("URLJSONTransformer", &JMJSONAdapter::URLJSONTransformer)
                                      .registerClass();
    return cls;
}

const ClassInfo* JMJSONAdapter::adapterClass() const {
    return adapterClass_ ? adapterClass_ : classOf(*this);
}

Ref<JMJSONAdapter> JMJSONAdapter::adapterWithModelClass(const ClassInfo* modelClass, const ClassInfo* adapterClass) {
    const ClassInfo* cls = adapterClass ? adapterClass : runtimeClass();
    try {
        auto adapter = std::dynamic_pointer_cast<JMJSONAdapter>(cls->create());
        if (!adapter) return nullptr;
        adapter->adapterClass_ = cls;
        if (!adapter->initWithModelClass(modelClass)) return nullptr;
        return adapter;
    } catch (...) {
        // A model class's hook raised while the adapter read its key paths or transformers.
        log("*** Caught exception %@ preparing an adapter for %@", currentException().description(),
            modelClass ? modelClass->name() : std::string("(null)"));
        return nullptr;
    }
}

bool JMJSONAdapter::initWithModelClass(const ClassInfo* modelClass) {
    if (!modelClass) return false;
    if (!adapterClass_) adapterClass_ = classOf(*this);
    const auto* keyPathsHook = modelClass->findClassHook<JMKeyPathsHook>("JSONKeyPathsByPropertyKey");
    if (!keyPathsHook) return false;
    Dictionary keyPaths = (*keyPathsHook)();
    const JMKeySet& propertyKeys = JMModel::propertyKeys(modelClass);
    for (const auto& [key, paths] : keyPaths) {
        if (!propertyKeys.contains(key)) return false;
        if (paths.isString()) continue;
        if (!paths.isArray()) return false;
        for (const Value& path : paths.array()) {
            if (!path.isString()) return false;
        }
    }
    modelClass_ = modelClass;
    JSONKeyPathsByPropertyKey_ = std::move(keyPaths);
    std::unordered_map<std::string, const ClassInfo*> validated;
    valueTransformersByPropertyKey_ = transformersForModelClass(modelClass, &validated);
    plan_.clear();
    for (const std::string& key : propertyKeys) {
        const Value* paths = JSONKeyPathsByPropertyKey_.find(key);
        if (!paths) continue;
        PropertyPlan step{&key, paths, nullptr, nullptr, nullptr, nullptr, 0};
        if (auto it = valueTransformersByPropertyKey_.find(key); it != valueTransformersByPropertyKey_.end() && it->second) {
            step.transformer = it->second.get();
            step.handling = dynamic_cast<const JMTransformerErrorHandling*>(step.transformer);
            if (auto checked = validated.find(key); checked != validated.end() && step.handling) {
                step.validatedClass = checked->second;
                step.passingTypes = passingValueTypes(step.validatedClass);
            }
        }
        if (paths->isString() && paths->string().find('.') == std::string::npos) step.singleKey = &paths->string();
        plan_.push_back(step);
    }
    keyHints_ = std::make_unique<std::atomic<std::uint32_t>[]>(plan_.size());
    keyOrder_.resize(plan_.size());
    for (std::uint32_t i = 0; i < keyOrder_.size(); ++i) keyOrder_[i] = i;
    std::sort(keyOrder_.begin(), keyOrder_.end(),
              [this](std::uint32_t a, std::uint32_t b) { return *plan_[a].key < *plan_[b].key; });
    delete modelFill_.exchange(nullptr, std::memory_order_acq_rel);
    delete plainFill_.exchange(nullptr, std::memory_order_acq_rel);
    return true;
}

// ---- Transformer discovery ----

JMTransformerMap JMJSONAdapter::valueTransformersForModelClass(const ClassInfo* modelClass, const ClassInfo* adapterClass) {
    const ClassInfo* cls = adapterClass ? adapterClass : runtimeClass();
    auto adapter = std::dynamic_pointer_cast<JMJSONAdapter>(cls->create());
    if (!adapter) return {};
    adapter->adapterClass_ = cls;
    return adapter->transformersForModelClass(modelClass);
}

JMTransformerMap JMJSONAdapter::transformersForModelClass(
    const ClassInfo* modelClass, std::unordered_map<std::string, const ClassInfo*>* validated) const {
    JMTransformerMap transformers;
    if (!modelClass) return transformers;
    for (const std::string& key : JMModel::propertyKeys(modelClass)) {
        Ref<ValueTransformer> transformer;
        std::optional<std::string> keyHook = JMSelectorFromKeyPattern(key, "JSONTransformer");
        const bool fromHook = keyHook && modelClass->respondsToClassHook(*keyHook);
        const bool fromKeyHook = !fromHook && modelClass->respondsToClassHook("JSONTransformerForKey:");
        if (fromHook) transformer = callTransformerHook(modelClass, *keyHook);
        if (fromKeyHook) transformer = callTransformerForKeyHook(modelClass, key);
        if (!transformer) {
            const jm_propertyAttributes* attributes =
                mapping_detail::cachedPropertyAttributes(modelClass->findProperty(key));
            if (!attributes) continue;
            const bool isObject = !attributes->type.empty() && attributes->type[0] == '@';
            const std::string className = declaredClassName(attributes->type);
            // Looked up now: the class may have registered after the attribute text was first read.
            const ClassInfo* objectClass = className.empty() ? nullptr : classNamed(className);
            if (!fromHook && !fromKeyHook) {
                if (!isObject) {
                    transformer = transformerForModelPropertiesOfObjCType(attributes->type);
                } else if (!className.empty()) {
                    transformer = transformerForModelPropertiesOfClass(className);
                    if (!transformer && objectClass && objectClass->conformsTo(kJMJSONSerializingProtocol)) {
                        transformer = dictionaryTransformerWithModelClass(objectClass, adapterClass());
                    }
                }
            }
            // Without a transformer (also when a hook gave none) the value is checked against the
            // declared type.
            if (!transformer) {
                const ClassInfo* checked = isObject ? (objectClass ? objectClass : classNamed("Object")) : classNamed("Value");
                transformer = jm_validatingTransformerForClass(checked);
                if (validated && checked) validated->emplace(key, checked);
            }
        }
        transformers.emplace(key, std::move(transformer));
    }
    return transformers;
}

Ref<ValueTransformer> JMJSONAdapter::transformerForModelPropertiesOfClass(std::string_view className) const {
    std::optional<std::string> hook = JMSelectorFromKeyPattern(className, "JSONTransformer");
    if (!hook || !adapterClass()->respondsToClassHook(*hook)) return nullptr;
    return callTransformerHook(adapterClass(), *hook);
}

Ref<ValueTransformer> JMJSONAdapter::transformerForModelPropertiesOfObjCType(std::string_view typeEncoding) const {
    if (typeEncoding == "B") {
        jm_registerNamedTransformers();
        return ValueTransformer::valueTransformerForName(JMBooleanValueTransformerName);
    }
    return nullptr;
}

Ref<ValueTransformer> JMJSONAdapter::URLJSONTransformer() {
    jm_registerNamedTransformers();
    return ValueTransformer::valueTransformerForName(JMURLValueTransformerName);
}

// ---- JSON to model ----

Ref<JMModel> JMJSONAdapter::modelFromJSONDictionary(const Value& JSONDictionary, Ref<Error>* error) {
    if (!modelClass_) return nullptr;
    if (!JSONDictionary.isDictionary()) {
        setError(error, invalidDictionaryError(modelClass_, JSONDictionary));
        return nullptr;
    }
    const Dictionary& json = JSONDictionary.dictionary();

    if (const auto* hook = modelClass_->findClassHook<JMClassForParsingHook>("classForParsingJSONDictionary:")) {
        const ClassInfo* cls = nullptr;
        try {
            cls = (*hook)(json);
        } catch (...) {
            Exception exception = currentException();
            log("*** Caught exception %@ selecting a class for JSON: %@", exception.description(), JSONDictionary);
            setError(error, thrownExceptionError(exception));
            return nullptr;
        }
        if (!cls) {
            setError(error, adapterError(JMJSONAdapterErrorNoClassFound, "Could not parse JSON",
                                         "No model class could be found to parse the JSON dictionary."));
            return nullptr;
        }
        if (cls != modelClass_) {
            Ref<JMJSONAdapter> adapter = JSONAdapterForModelClass(cls, error);
            return adapter ? adapter->modelFromJSONDictionary(JSONDictionary, error) : nullptr;
        }
    }

    // The values read, per plan step: where each is (nullptr for a key that is absent), either in the
    // JSON dictionary itself (a value taken as it is, not copied) or in made (one made here).
    constexpr std::size_t kInline = 16;
    std::array<const Value*, kInline> inlineSources{};
    std::array<std::optional<Value>, kInline> inlineMade;
    std::vector<const Value*> moreSources;
    std::vector<std::optional<Value>> moreMade;
    const Value** sources = inlineSources.data();
    std::optional<Value>* made = inlineMade.data();
    if (plan_.size() > kInline) {
        // Filled by assign: GCC 12 at -O3 reports a false null dereference inside resize here.
        moreSources.assign(plan_.size(), nullptr);
        moreMade.resize(plan_.size());
        sources = moreSources.data();
        made = moreMade.data();
    }
    if (!readValues(JSONDictionary, sources, made, error)) return nullptr;

    // As JMModel::modelWithDictionary with a dictionary of the values read: each value is set in the
    // order of its key, then the model validates itself.
    Ref<JMModel> model = asModel(modelClass_->create());
    if (!model) return nullptr;
    const JMModel& instance = *model;
    if (std::type_index(typeid(instance)) == modelClass_->cppType()) {
        // A model of the class itself: its keys were prepared for it.
        const ModelFill& fill = modelFill();
        for (const std::uint32_t i : keyOrder_) {
            if (!sources[i]) continue;
            if (!mapping_detail::assignPreparedValue(*model, fill.keys[i], *sources[i], error)) return nullptr;
        }
        if (fill.validates && !model->validate(error)) return nullptr;
        return model;
    }
    Dictionary dictionary;
    dictionary.reserve(plan_.size());
    for (const std::uint32_t i : keyOrder_) {  // in key order: nothing to sort when done
        Value value;
        if (sources[i]) value = made[i] && sources[i] == &*made[i] ? std::move(*made[i]) : *sources[i];
        dictionary.appendUnsorted(*plan_[i].key, std::move(value));
    }
    dictionary.finishAppending();
    if (!model->initWithDictionary(dictionary, error) || !model->validate(error)) return nullptr;
    return model;
}

bool JMJSONAdapter::readValues(const Value& JSONDictionary, const Value** sources, std::optional<Value>* made,
                               Ref<Error>* error) {
    const Dictionary& json = JSONDictionary.dictionary();
    for (std::size_t i = 0; i < plan_.size(); ++i) {
        const PropertyPlan& step = plan_[i];
        const Value* keyPaths = step.keyPaths;

        // What the key path(s) give: read in place for a single key, else built here.
        std::optional<Value> built;
        const Value* read = nullptr;
        if (step.singleKey) {
            read = findWithHint(json, *step.singleKey, keyHints_[i]);
            if (!read) continue;
        } else if (keyPaths->isArray()) {
            Dictionary byPath;
            for (const Value& path : keyPaths->array()) {
                bool success = false;
                Value found = jm_valueForJSONKeyPath(json, path.string(), &success, error);
                if (!success) return false;
                if (!found.isNil()) byPath.set(path.string(), std::move(found));
            }
            read = &built.emplace(std::move(byPath));
        } else {
            bool success = false;
            read = &built.emplace(jm_valueForJSONKeyPath(json, keyPaths->string(), &success, error));
            if (!success) return false;
        }
        if (read->isNil()) continue;

        try {
            if (passesUnchanged(*read, step.validatedClass, step.passingTypes)) {
                // What the checking transformer gives for a value of its class: the value itself, with
                // the error slot cleared as after any successful transform.
                if (error) *error = nullptr;
                sources[i] = built ? &made[i].emplace(std::move(*built)) : read;
            } else if (step.transformer) {
                const Value& input = read->isNull() ? nilValue() : *read;
                Value value;
                if (step.handling) {
                    bool success = true;
                    value = step.handling->transformedValue(input, &success, error);
                    if (!success) return false;
                } else {
                    value = step.transformer->transformedValue(input);
                }
                if (value.isNil()) value = Value::null();
                sources[i] = &made[i].emplace(std::move(value));
            } else {
                sources[i] = built ? &made[i].emplace(std::move(*built)) : read;
            }
        } catch (...) {
            Exception exception = currentException();
            log("*** Caught exception %@ parsing JSON key path \"%@\" from: %@", exception.description(), *keyPaths,
                JSONDictionary);
            setError(error, thrownExceptionError(exception));
            return false;
        }
    }
    return true;
}

bool JMJSONAdapter::mapsPlainly() {
    if (const PlainFill* fill = plainFill_.load(std::memory_order_acquire)) return fill->plain;
    // Only once a model of the class's own C++ type was made here: it is then known to be a JMModel.
    if (!modelClass_ || !ownTypeIsModel_.load(std::memory_order_acquire)) return false;
    auto made = std::make_unique<PlainFill>();
    const ClassInfo* cls = modelClass_;
    const ModelFill& fill = modelFill();
    const std::vector<PropertyInfo>& own = cls->ownProperties();
    made->plain = cls->makesOwnType() && !methodResolver(cls, HookSide::Class) &&
                  !cls->findClassHook<JMClassForParsingHook>("classForParsingJSONDictionary:") && !fill.validates;
    for (std::size_t i = 0; made->plain && i < plan_.size(); ++i) {
        const mapping_detail::PreparedKey& key = fill.keys[i];
        const PropertyInfo* property = key.property;
        const bool ownValue = property && property->holdsValue && !own.empty() &&
                              std::less_equal<const PropertyInfo*>()(own.data(), property) &&
                              std::less<const PropertyInfo*>()(property, own.data() + own.size());
        made->plain = !key.validates && ownValue;
        if (ownValue) made->ownIndex.push_back(static_cast<std::uint32_t>(property - own.data()));
    }
    const PlainFill* expected = nullptr;
    if (plainFill_.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) return made.release()->plain;
    return expected->plain;
}

bool JMJSONAdapter::plainValuesFromJSONDictionary(const Value& JSONDictionary, JMPlainValues& values, Ref<Error>* error) {
    const PlainFill& fill = *plainFill_.load(std::memory_order_acquire);  // mapsPlainly() said yes
    if (values.adapter_.get() != this) {
        values.adapter_ = std::static_pointer_cast<JMJSONAdapter>(shared_from_this());
        values.modelClass_ = modelClass_;
        values.byProperty_.assign(modelClass_->ownProperties().size(), nullptr);
        values.sources_.assign(plan_.size(), nullptr);
        values.made_.clear();
        values.made_.resize(plan_.size());
    } else {
        std::fill(values.byProperty_.begin(), values.byProperty_.end(), nullptr);
        std::fill(values.sources_.begin(), values.sources_.end(), nullptr);
        for (std::optional<Value>& made : values.made_) made.reset();
    }
    if (!JSONDictionary.isDictionary()) {
        setError(error, invalidDictionaryError(modelClass_, JSONDictionary));
        return false;
    }
    if (!readValues(JSONDictionary, values.sources_.data(), values.made_.data(), error)) return false;
    // What each property's setter would store: null sets nil.
    for (std::size_t i = 0; i < plan_.size(); ++i) values.set(fill.ownIndex[i], values.sources_[i]);
    return true;
}

Ref<JMModel> JMJSONAdapter::asModel(Ref<Object> object) {
    if (!object) return nullptr;
    const Object& instance = *object;
    const bool ownType = std::type_index(typeid(instance)) == modelClass_->cppType();
    // Object is a plain base of JMModel: an object known to be a JMModel is cast without a search.
    if (ownType && ownTypeIsModel_.load(std::memory_order_acquire)) return std::static_pointer_cast<JMModel>(std::move(object));
    Ref<JMModel> model = std::dynamic_pointer_cast<JMModel>(std::move(object));
    if (model && ownType) ownTypeIsModel_.store(true, std::memory_order_release);
    return model;
}

// ---- Model to JSON ----

std::vector<std::string> JMJSONAdapter::serializablePropertyKeys(const std::vector<std::string>& propertyKeys,
                                                                 const JMModel&) {
    return propertyKeys;
}

std::optional<Dictionary> JMJSONAdapter::JSONDictionaryFromModel(const JMModel& model, Ref<Error>* error) {
    const ClassInfo* cls = model.modelClass();
    if (cls != modelClass_) {
        Ref<JMJSONAdapter> adapter = JSONAdapterForModelClass(cls, error);
        if (!adapter) return std::nullopt;
        return adapter->JSONDictionaryFromModel(model, error);
    }
    try {
        std::vector<std::string> keys = serializablePropertyKeys(JSONKeyPathsByPropertyKey_.keys(), model);
        const Dictionary values = dictionaryWithValuesForKeys(model, keys);

        Value json{Dictionary()};
        bool success = true;
        Ref<Error> transformerError;
        for (const auto& [key, propertyValue] : values) {
            const Value* keyPaths = JSONKeyPathsByPropertyKey_.find(key);
            if (!keyPaths) continue;
            Value value = propertyValue;
            auto it = valueTransformersByPropertyKey_.find(key);
            if (it != valueTransformersByPropertyKey_.end() && it->second->allowsReverseTransformation()) {
                const ValueTransformer& transformer = *it->second;
                if (value.isNull()) value = Value();
                const auto* handling = dynamic_cast<const JMTransformerErrorHandling*>(&transformer);
                if (handling && handling->respondsToReverseTransformedValue()) {
                    value = handling->reverseTransformedValue(value, &success, &transformerError);
                    if (!success) break;
                } else {
                    value = transformer.reverseTransformedValue(value);
                    if (value.isNil()) value = Value::null();
                }
            }
            if (keyPaths->isString()) {
                prepareKeyPath(json, keyPaths->string());
                setValueForKeyPath(json, value, keyPaths->string());
            } else {
                // The value is a dictionary keyed by key path, as the forward direction builds it; any
                // other value writes null under each path.
                for (const Value& path : keyPaths->array()) {
                    prepareKeyPath(json, path.string());
                    setValueForKeyPath(json, value.isDictionary() ? value.dictionary().get(path.string()) : Value::null(),
                                       path.string());
                }
            }
        }
        if (!success) {
            setError(error, transformerError);
            return std::nullopt;
        }
        return json.dictionary();
    } catch (...) {
        Exception exception = currentException();
        log("*** Caught exception %@ serializing JSON from: %@", exception.description(), model);
        setError(error, thrownExceptionError(exception));
        return std::nullopt;
    }
}

// ---- Nested adapters ----

Ref<JMJSONAdapter> JMJSONAdapter::JSONAdapterForModelClass(const ClassInfo* modelClass, Ref<Error>*) {
    {
        std::lock_guard lock(adaptersMutex_);
        auto it = JSONAdaptersByModelClass_.find(modelClass);
        if (it != JSONAdaptersByModelClass_.end()) return it->second;
    }
    // Made without the lock (it runs the model class's hooks); two threads racing here keep the adapter
    // stored first, so every caller gets the same one.
    Ref<JMJSONAdapter> adapter = adapterWithModelClass(modelClass, adapterClass());
    if (!adapter) return nullptr;
    std::lock_guard lock(adaptersMutex_);
    return JSONAdaptersByModelClass_.emplace(modelClass, std::move(adapter)).first->second;
}

// ---- Class side ----

namespace {

// The adapter of each (model class, adapter class) pair, made once: its key paths and transformers are
// what the class's hooks give. It is made again when the runtime changes (a class registered, a hook
// added, a resolver set), and never kept for classes with a method resolver, whose answers may vary.
class AdapterCache {
public:
    static AdapterCache& shared() {
        static auto* cache = new AdapterCache();  // never destroyed: adapters may be in use at exit
        return *cache;
    }

    Ref<JMJSONAdapter> adapter(const ClassInfo* modelClass, const ClassInfo* adapterClass) {
        const ClassInfo* cls = adapterClass ? adapterClass : JMJSONAdapter::runtimeClass();
        // Read first: a resolver set after this read makes the generation differ at the next call.
        const std::uint64_t generation = runtimeGeneration();
        const Key key{modelClass, cls};
        // The calling thread's last answer, while the runtime is as it was then (mapping a reply asks
        // for the same pair item after item).
        Last& last = lastOfThread_.get();
        if (last.adapter && last.generation == generation && last.key == key) return last.adapter;
        if (!modelClass || methodResolver(modelClass, HookSide::Class) || methodResolver(cls, HookSide::Class)) {
            return JMJSONAdapter::adapterWithModelClass(modelClass, adapterClass);
        }
        Ref<JMJSONAdapter> found;
        {
            std::lock_guard lock(mutex_);
            auto it = entries_.find(key);
            if (it != entries_.end() && it->second.generation == generation) found = it->second.adapter;
        }
        if (!found) {
            // Made without the lock (it runs the model class's hooks); a failure is not kept.
            Ref<JMJSONAdapter> made = JMJSONAdapter::adapterWithModelClass(modelClass, adapterClass);
            if (!made) return nullptr;
            std::lock_guard lock(mutex_);
            Entry& entry = entries_[key];
            if (!entry.adapter || entry.generation != generation) entry = Entry{generation, std::move(made)};
            found = entry.adapter;
        }
        last = Last{generation, key, found};
        return found;
    }

private:
    using Key = std::pair<const ClassInfo*, const ClassInfo*>;
    struct KeyHash {
        std::size_t operator()(const Key& k) const {
            return std::hash<const void*>()(k.first) * 31 + std::hash<const void*>()(k.second);
        }
    };
    struct Entry {
        std::uint64_t generation = 0;
        Ref<JMJSONAdapter> adapter;
    };
    struct Last {
        std::uint64_t generation = 0;
        Key key{nullptr, nullptr};
        Ref<JMJSONAdapter> adapter;
    };
    std::mutex mutex_;
    std::unordered_map<Key, Entry, KeyHash> entries_;
    PerThread<Last> lastOfThread_;
};

}  // namespace

Ref<JMJSONAdapter> JMJSONAdapter::cachedAdapter(const ClassInfo* modelClass, const ClassInfo* adapterClass) {
    return AdapterCache::shared().adapter(modelClass, adapterClass);
}

Ref<JMModel> JMJSONAdapter::modelOfClass(const ClassInfo* modelClass, const Value& JSONDictionary, Ref<Error>* error,
                                         const ClassInfo* adapterClass) {
    Ref<JMJSONAdapter> adapter = AdapterCache::shared().adapter(modelClass, adapterClass);
    if (!adapter) return nullptr;
    return adapter->modelFromJSONDictionary(JSONDictionary, error);
}

std::optional<Array> JMJSONAdapter::modelsOfClass(const ClassInfo* modelClass, const Value& JSONArray, Ref<Error>* error,
                                                  const ClassInfo* adapterClass) {
    if (!JSONArray.isArray()) {
        setError(error, adapterError(JMJSONAdapterErrorInvalidJSONDictionary, "Missing JSON array",
                                     format("%@ could not be created because an invalid JSON array was provided: %@",
                                            modelClass ? Value(modelClass->name()) : Value(), classNameValue(JSONArray))));
        return std::nullopt;
    }
    Array models;
    models.reserve(JSONArray.array().size());
    for (const Value& item : JSONArray.array()) {
        Ref<JMModel> model = modelOfClass(modelClass, item, error, adapterClass);
        if (!model) return std::nullopt;
        models.emplace_back(model);
    }
    return models;
}

std::optional<Dictionary> JMJSONAdapter::JSONDictionaryFromModel(const Ref<JMModel>& model, Ref<Error>* error,
                                                                 const ClassInfo* adapterClass) {
    if (!model) return std::nullopt;
    Ref<JMJSONAdapter> adapter = adapterWithModelClass(model->modelClass(), adapterClass);
    if (!adapter) return std::nullopt;
    return adapter->JSONDictionaryFromModel(*model, error);
}

std::optional<Array> JMJSONAdapter::JSONArrayFromModels(const Array& models, Ref<Error>* error,
                                                        const ClassInfo* adapterClass) {
    Array out;
    out.reserve(models.size());
    for (const Value& item : models) {
        std::optional<Dictionary> json = JSONDictionaryFromModel(item.objectAs<JMModel>(), error, adapterClass);
        if (!json) return std::nullopt;
        out.emplace_back(std::move(*json));
    }
    return out;
}

}  // namespace lv
