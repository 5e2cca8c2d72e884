// JMJSONAdapter: maps JSON dictionaries (as the JSON reader delivers them: dictionaries, arrays,
// strings, numbers and null) into models of classes adopting JMJSONSerializing, and models back into
// JSON dictionaries. Each model class names the JSON key path of each property and may give a value
// transformer per property; the adapter finds the other transformers from the declared property types,
// runs them, catches exceptions at its boundary and reports every failure as an error.
//
// A model class adopts JMJSONSerializing by declaring the protocol and its hooks with the runtime:
//   .protocol(kJMJSONSerializingProtocol)
//   .classMethod("JSONKeyPathsByPropertyKey", &T::JSONKeyPathsByPropertyKey)   // Dictionary()
// and optionally:
//   .classMethod("<key>JSONTransformer", &T::fn)                // Ref<ValueTransformer>() (or a Ref of a
//                                                                  JMValueTransformer / JMReversibleValueTransformer)
//   .classMethod("JSONTransformerForKey:", &T::fn)              // Ref<ValueTransformer>(const std::string&)
//   .classMethod("classForParsingJSONDictionary:", &T::fn)      // const ClassInfo*(const Dictionary&)
// The key-path map sends each property key to one dotted JSON key path (a string) or to an array of them.
// A hook under one of these names with another signature makes the class's registration raise.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "mapping/errors.h"
#include "mapping/model.h"
#include "mapping/value_transformer.h"

namespace lv {

inline constexpr std::string_view kJMJSONSerializingProtocol = "JMJSONSerializing";

using JMKeyPathsHook = Dictionary();
using JMTransformerForKeyHook = Ref<ValueTransformer>(const std::string& key);
using JMClassForParsingHook = const ClassInfo*(const Dictionary& JSONDictionary);
using JMKeyTransformerHook = Ref<ValueTransformer>();

// Property key → transformer.
using JMTransformerMap = std::map<std::string, Ref<ValueTransformer>, std::less<>>;

class JMJSONAdapter;

// The values a JSON dictionary gives a model of a plainly mapped class (JMJSONAdapter::mapsPlainly), by
// the index of the property among the class's own declared properties: what each property would hold
// after the mapping, nullptr for nil. Made for a run of items and reused; each read replaces the values
// of the last one. The values point into the JSON dictionary read (or into this object), which must
// outlive their use. Not shared between threads.
class JMPlainValues {
public:
    JMPlainValues();
    ~JMPlainValues();
    JMPlainValues(const JMPlainValues&) = delete;
    JMPlainValues& operator=(const JMPlainValues&) = delete;

    std::size_t size() const { return byProperty_.size(); }
    const Value* operator[](std::size_t ownIndex) const { return byProperty_[ownIndex]; }
    // What the model's property of that name would hold (nil when it holds nothing or has no such
    // own property).
    const Value& valueForKey(std::string_view key) const;
    // Sets one property's value as the model's setter would (nullptr or a null value: nil). The value
    // must outlive its use.
    void set(std::size_t ownIndex, const Value* value) {
        byProperty_[ownIndex] = value && !value->isNull() ? value : nullptr;
    }
    // The class of the model the values stand for, nullptr before the first read.
    const ClassInfo* modelClass() const { return modelClass_; }

private:
    friend class JMJSONAdapter;
    const ClassInfo* modelClass_ = nullptr;
    Ref<JMJSONAdapter> adapter_;  // keeps the plan the values were read by
    std::vector<const Value*> byProperty_;
    std::vector<const Value*> sources_;      // per plan step of the adapter
    std::vector<std::optional<Value>> made_;  // per plan step: the values made while reading
};

// Subclasses: derive from JMJSONAdapter, register the subclass with the runtime (ClassDef with
// .superclass<JMJSONAdapter>().factory()) and pass its class as `adapterClass` to the class-side calls.
// Every adapter they make, nested ones included, is then of that class, so its overrides of the
// per-type transformer lookups and of serializablePropertyKeys apply throughout.
class JMJSONAdapter : public Object {
public:
    // An adapter needs initWithModelClass before use (adapterWithModelClass does both).
    JMJSONAdapter();
    ~JMJSONAdapter() override;

    // The runtime class "JMJSONAdapter". Its class hook "URLJSONTransformer" gives properties declared
    // as URL the URL transformer; a subclass may add "<Class>JSONTransformer" hooks of signature
    // Ref<ValueTransformer>() for other property classes.
    static const ClassInfo* runtimeClass();

    // A new adapter of adapterClass (JMJSONAdapter when null) for the model class, or nullptr when the
    // model class's key-path map names a key that is not a property key or maps a key to something other
    // than a string or an array of strings (no error is reported then).
    static Ref<JMJSONAdapter> adapterWithModelClass(const ClassInfo* modelClass, const ClassInfo* adapterClass = nullptr);
    bool initWithModelClass(const ClassInfo* modelClass);

    // ---- Class side; adapterClass: the class of the adapters made (JMJSONAdapter when null) ----

    // One JSON dictionary to one model, with a new adapter for the call. A value that is not a dictionary
    // gives nil with "JMJSONAdapterErrorDomain" code 3.
    static Ref<JMModel> modelOfClass(const ClassInfo* modelClass, const Value& JSONDictionary, Ref<Error>* error,
                                     const ClassInfo* adapterClass = nullptr);
    template <class T>
    static Ref<T> modelOfClass(const Value& JSONDictionary, Ref<Error>* error, const ClassInfo* adapterClass = nullptr) {
        return std::dynamic_pointer_cast<T>(modelOfClass(T::runtimeClass(), JSONDictionary, error, adapterClass));
    }
    // An array of JSON dictionaries to an array of models (object values), in order; nil at the first
    // failure. Not an array: code 3 ("Missing JSON array").
    static std::optional<Array> modelsOfClass(const ClassInfo* modelClass, const Value& JSONArray, Ref<Error>* error,
                                              const ClassInfo* adapterClass = nullptr);
    // A model to its JSON dictionary, with a new adapter for the model's class.
    static std::optional<Dictionary> JSONDictionaryFromModel(const Ref<JMModel>& model, Ref<Error>* error = nullptr,
                                                             const ClassInfo* adapterClass = nullptr);
    // Models (object values) to JSON dictionaries, in order; nil at the first failure.
    static std::optional<Array> JSONArrayFromModels(const Array& models, Ref<Error>* error = nullptr,
                                                    const ClassInfo* adapterClass = nullptr);

    // Transformer discovery for every property key of the model class, by an adapter of adapterClass:
    // the class's "<key>JSONTransformer" hook, else its "JSONTransformerForKey:" hook, else by the
    // declared type (transformerForModelPropertiesOfClass / OfObjCType, nested models, validation). A
    // hook that gives no transformer leaves the key the validation of its declared type.
    static JMTransformerMap valueTransformersForModelClass(const ClassInfo* modelClass,
                                                           const ClassInfo* adapterClass = nullptr);

    // Nested models: a reversible transformer between a JSON dictionary and a model of the class, and
    // one between a JSON array of such dictionaries and an array of models.
    static Ref<JMReversibleValueTransformer> dictionaryTransformerWithModelClass(const ClassInfo* modelClass,
                                                                                const ClassInfo* adapterClass = nullptr);
    static Ref<JMReversibleValueTransformer> arrayTransformerWithModelClass(const ClassInfo* modelClass,
                                                                           const ClassInfo* adapterClass = nullptr);
    // The transformer registered under JMURLValueTransformerName.
    static Ref<ValueTransformer> URLJSONTransformer();

    // ---- Per-type lookups (override points) ----

    // For properties declared as objects of the named class (registered or not): the result of the
    // adapter class's "<ClassName>JSONTransformer" hook, or nullptr.
    virtual Ref<ValueTransformer> transformerForModelPropertiesOfClass(std::string_view className) const;
    // For properties of a non-object type: the boolean transformer for the encoding "B", else nullptr.
    virtual Ref<ValueTransformer> transformerForModelPropertiesOfObjCType(std::string_view typeEncoding) const;

    // The adapter modelOfClass maps with (made once per model class and adapter class while the runtime
    // stays as it is), or nullptr when none can be made.
    static Ref<JMJSONAdapter> cachedAdapter(const ClassInfo* modelClass, const ClassInfo* adapterClass = nullptr);

    // ---- Instance side ----

    // The JSON dictionary to a model of the adapter's model class (or of the class the model class
    // selects for it). A value that is not a dictionary gives nil with code 3.
    Ref<JMModel> modelFromJSONDictionary(const Value& JSONDictionary, Ref<Error>* error);
    // Whether a model made by modelFromJSONDictionary would hold exactly the values read and do
    // nothing else: the class picks no other class per dictionary and has no method resolver, its
    // factory makes its own C++ type (a JMModel: one such model was made by this adapter before), no
    // mapped key is validated, and each is set through a property of the class itself that holds a
    // Value (PropertyInfo::holdsValue). False until this adapter has made a model; found once after.
    bool mapsPlainly();
    // For a class that mapsPlainly: the JSON dictionary read as modelFromJSONDictionary reads it, into
    // values instead of a new model. False, with the error slot as modelFromJSONDictionary leaves it,
    // exactly where that gives no model; on success the error slot is also left as it would be.
    bool plainValuesFromJSONDictionary(const Value& JSONDictionary, JMPlainValues& values, Ref<Error>* error);
    // The model to a JSON dictionary; exceptions on the way give nil with code 1.
    std::optional<Dictionary> JSONDictionaryFromModel(const JMModel& model, Ref<Error>* error);
    // The property keys to serialise for a model; all of them unless a subclass says otherwise.
    virtual std::vector<std::string> serializablePropertyKeys(const std::vector<std::string>& propertyKeys,
                                                              const JMModel& model);
    // The adapter (of this adapter's class) for another model class, made once per class; nullptr when
    // none can be made. Never fills the error slot.
    Ref<JMJSONAdapter> JSONAdapterForModelClass(const ClassInfo* modelClass, Ref<Error>* error);

    const ClassInfo* modelClass() const { return modelClass_; }
    const Dictionary& JSONKeyPathsByPropertyKey() const { return JSONKeyPathsByPropertyKey_; }
    const JMTransformerMap& valueTransformersByPropertyKey() const { return valueTransformersByPropertyKey_; }

private:
    const ClassInfo* adapterClass() const;
    // The transformers by property key; `validated`, when given, receives per key whose transformer
    // only checks the value's class (made here for a property without one) the class it checks.
    JMTransformerMap transformersForModelClass(
        const ClassInfo* modelClass, std::unordered_map<std::string, const ClassInfo*>* validated = nullptr) const;

    // What reading one property from JSON takes, found once when the adapter is made: the property
    // key, its key path(s) and its transformer (with its failure-reporting form, when it has one).
    struct PropertyPlan {
        const std::string* key;
        const Value* keyPaths;
        const ValueTransformer* transformer;
        const JMTransformerErrorHandling* handling;
        const std::string* singleKey;  // the key path when it is one key (no dots), else nullptr
        // The class the transformer checks values against when it does nothing else (a value of the
        // class passes unchanged, without the transformer's call), else nullptr.
        const ClassInfo* validatedClass;
        // With a validated class: the value types (bits by Value::Type) other than objects whose class
        // is of it, found when the plan is made (those classes are the runtime's own, fixed).
        std::uint16_t passingTypes;
    };
    std::vector<PropertyPlan> plan_;
    // Per step: where its single key was found in the last JSON dictionary read, looked at first in
    // the next one (the items of a reply mostly share one layout). A guess only, so relaxed atomics.
    std::unique_ptr<std::atomic<std::uint32_t>[]> keyHints_;
    // The plan's steps in the order of their keys: the order in which a dictionary of the values
    // read would hand them to the model.
    std::vector<std::uint32_t> keyOrder_;
    // How the values read are set into a new model of the model class (see modelFill()).
    struct ModelFill;
    const ModelFill& modelFill();
    std::atomic<const ModelFill*> modelFill_{nullptr};  // owned; made once, at the first model
    // Whether an instance of the model class's own C++ type was found to be a JMModel (set at the
    // first): later ones are cast without a walk of their class hierarchy.
    std::atomic<bool> ownTypeIsModel_{false};
    Ref<JMModel> asModel(Ref<Object> object);
    // Reads every plan step's value: sources[i] points at it (into the JSON dictionary or made[i]),
    // nullptr where the dictionary gives none. False where the mapping fails (error filled as it says).
    bool readValues(const Value& JSONDictionary, const Value** sources, std::optional<Value>* made, Ref<Error>* error);
    // Per plan step, the index of its key among the model class's own properties, when the class maps
    // plainly (see mapsPlainly); made once.
    struct PlainFill {
        bool plain = false;
        std::vector<std::uint32_t> ownIndex;  // per plan step
    };
    std::atomic<const PlainFill*> plainFill_{nullptr};  // owned

    const ClassInfo* adapterClass_ = nullptr;  // the runtime class of this adapter, set before it is shared
    const ClassInfo* modelClass_ = nullptr;
    Dictionary JSONKeyPathsByPropertyKey_;
    JMTransformerMap valueTransformersByPropertyKey_;
    std::mutex adaptersMutex_;
    std::unordered_map<const ClassInfo*, Ref<JMJSONAdapter>> JSONAdaptersByModelClass_;
};

}  // namespace lv
