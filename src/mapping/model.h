// JMModel: the base of every JSON model. A model's state is its class's declared properties (registered
// with the runtime); the base finds the property keys from those declarations, classifies how each is
// stored, builds models from dictionaries of property values with key-value validation, and gives the
// dictionary value, merging, validation, copying, equality, hash and description.
//
// Declaring a model class: derive from JMModel (or a subclass), give the class a static runtimeClass()
// that registers it once, and call it from the constructor so that every instance's class is known:
//
//   class Article : public JMModel {
//   public:
//       Article() { runtimeClass(); }
//       static const ClassInfo* runtimeClass() {
//           static const ClassInfo* cls = defineModelClass<Article>("Article")
//                                             .property("title", &Article::title_, "String", "&,N")
//                                             .property("count", &Article::count_, "N")
//                                             .registerClass();
//           return cls;
//       }
//       Value title_;
//       std::int64_t count_ = 0;
//   };
//
// Optional behaviour is found by name, as runtime hooks, and used only when the class has it:
//   instance hook "validate<Key>:error:"   bool(Object&, Value&, Ref<Error>*)  (ClassDef::instanceMethod)
//   instance hook "merge<Key>FromModel:"   void(Object&, const Ref<JMModel>&)
//   class hook "storageBehaviorForPropertyWithKey:"  JMPropertyStorage(const ClassInfo*, const std::string&)
//     (the receiving class and the key; defaultStorageBehaviorForPropertyWithKey gives the built-in answer)
//
// Archiving (every model is a Coding; mapping/model_archiving.cpp). Optional hooks:
//   class hook "modelVersion"                            std::uint64_t()
//   class hook "encodingBehaviorsByPropertyKey"          Dictionary(const ClassInfo* receivingClass)
//   class hook "allowedSecureCodingClassesByPropertyKey" JMAllowedClassesByKey(const ClassInfo* receivingClass)
//   class hook "supportsSecureCoding"                    bool()
//   class hook "dictionaryValueFromArchivedExternalRepresentation:version:"
//                                                        Value(const Dictionary&, std::uint64_t)
//   instance hook "decode<Key>WithCoder:modelVersion:"   Value(Object&, Coder&, std::uint64_t)
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <unordered_set>
#include <string>
#include <string_view>
#include <vector>

#include "mapping/errors.h"
#include "platform/base/object.h"
#include "platform/base/value.h"
#include "platform/runtime/runtime.h"
#include "platform/storage/keyed_archive.h"

namespace lv {

// How a property takes part in a model.
enum JMPropertyStorage : std::uint64_t {
    JMPropertyStorageNone = 0,        // not a property key
    JMPropertyStorageTransitory = 1,  // a key, but not part of equality, hash or description
    JMPropertyStoragePermanent = 2,   // a key in every respect
};

using JMStorageBehaviorHook = JMPropertyStorage(const ClassInfo* receivingClass, const std::string& key);

// How a property key is archived (the numbers of +encodingBehaviorsByPropertyKey).
enum JMModelEncodingBehavior : std::uint64_t {
    JMModelEncodingBehaviorExcluded = 0,       // not archived
    JMModelEncodingBehaviorUnconditional = 1,  // encodeObject
    JMModelEncodingBehaviorConditional = 2,    // encodeConditionalObject
};
// Property key → the classes a secure coder accepts for it.
using JMAllowedClassesByKey = std::map<std::string, std::vector<const ClassInfo*>, std::less<>>;
// Archive keys.
inline constexpr std::string_view kJMModelVersionKey = "JMModelVersion";
inline constexpr std::string_view kJMModelExternalRepresentationKey = "externalRepresentation";
class JMModel;
using JMMergeHook = void(Object& self, const Ref<JMModel>& model);

// A set of property keys in declaration order (superclass keys after the subclass's own).
class JMKeySet {
public:
    void insert(const std::string& key);
    bool contains(std::string_view key) const { return index_.find(key) != index_.end(); }
    const std::vector<std::string>& keys() const { return keys_; }
    std::size_t size() const { return keys_.size(); }
    bool empty() const { return keys_.empty(); }
    std::vector<std::string>::const_iterator begin() const { return keys_.begin(); }
    std::vector<std::string>::const_iterator end() const { return keys_.end(); }

private:
    std::vector<std::string> keys_;
    // Hashed, with lookups by string_view (no key copies): asked for every value a model takes.
    struct KeyHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view key) const { return std::hash<std::string_view>()(key); }
    };
    std::unordered_set<std::string, KeyHash, std::equal_to<>> index_;
};

class JMModel : public Object, public Coding {
public:
    JMModel();

    // The runtime class "JMModel" (registered on first use).
    static const ClassInfo* runtimeClass();

    // ---- Class side; `cls` is the receiving class, a JMModel subclass ----

    // A new instance of the class (through its factory) initialised with initWithDictionary, or nullptr.
    static Ref<JMModel> modelWithDictionary(const ClassInfo* cls, const Dictionary& dictionary, Ref<Error>* error);
    template <class T>
    static Ref<T> modelWithDictionary(const Dictionary& dictionary, Ref<Error>* error) {
        return std::dynamic_pointer_cast<T>(modelWithDictionary(T::runtimeClass(), dictionary, error));
    }
    // Property keys: the declared properties of the class and its superclasses below JMModel whose
    // storage is not none. Computed once per class; the reference stays valid for the process's life.
    static const JMKeySet& propertyKeys(const ClassInfo* cls);
    static const JMKeySet& transitoryPropertyKeys(const ClassInfo* cls);
    static const JMKeySet& permanentPropertyKeys(const ClassInfo* cls);
    // The class's "storageBehaviorForPropertyWithKey:" hook when it has one, else the built-in answer.
    static JMPropertyStorage storageBehaviorForPropertyWithKey(const ClassInfo* cls, const std::string& key);
    // The built-in classification: none for an undeclared key or a property with no instance variable
    // and no accessors (unless dynamic); the superclass's answer for a read-only property without
    // instance variable; permanent otherwise.
    static JMPropertyStorage defaultStorageBehaviorForPropertyWithKey(const ClassInfo* cls, const std::string& key);
    // Calls block with each property declared by the class and its superclasses below JMModel (own
    // declarations first), until the block sets *stop.
    static void enumeratePropertiesUsingBlock(const ClassInfo* cls,
                                              const std::function<void(const PropertyInfo& property, bool* stop)>& block);
    // Fills the transitory and permanent key caches of the class.
    static void generateAndCacheStorageBehaviors(const ClassInfo* cls);

    // ---- Instance side ----

    // Validates and sets every entry of the dictionary (null sets nil); false with the error filled at
    // the first failure. A key the model does not have fails with "JMModelErrorDomain" code 1.
    bool initWithDictionary(const Dictionary& dictionary, Ref<Error>* error);
    // Every property key to its value, absent values as null.
    Dictionary dictionaryValue() const;
    // Runs the class's "merge<Key>FromModel:" hook when it has one (also for a null model); otherwise
    // takes the other model's value for the key, when there is another model.
    void mergeValueForKey(const std::string& key, const Ref<JMModel>& model);
    // Merges every property key that the other model's class has too.
    void mergeValuesForKeysFromModel(const Ref<JMModel>& model);
    // Runs the validation hooks of every property key, writing back values they replace.
    bool validate(Ref<Error>* error);
    // A new instance of the same class with the same values (no validation).
    Ref<JMModel> copy() const;

    // Same class and equal permanent values.
    bool isEqual(const Object& other) const override;
    // The exclusive-or of the permanent values' hashes.
    std::size_t hash() const override;
    // "<Class: 0x…> {…}" with the permanent keys' values.
    std::string description() const override;

    // The class of this model (its registered runtime class).
    const ClassInfo* modelClass() const;

    // ---- Archiving ----

    // The class's "modelVersion" hook, else 0.
    static std::uint64_t modelVersion(const ClassInfo* cls);
    // The class's hook, else the built-in answer: conditional for weak properties, unconditional for
    // every other property key (computed on every call).
    static Dictionary encodingBehaviorsByPropertyKey(const ClassInfo* cls);
    static Dictionary defaultEncodingBehaviorsByPropertyKey(const ClassInfo* cls);
    // The class's hook, else (computed once per class and cached) for every archived key: the declared
    // object class, none for untyped and class-typed properties, the runtime class "Value" for scalars.
    static JMAllowedClassesByKey allowedSecureCodingClassesByPropertyKey(const ClassInfo* cls);
    // The class's conversion of an archive in the older layout, else nil (such archives do not decode).
    static Value dictionaryValueFromArchivedExternalRepresentation(const ClassInfo* cls, const Dictionary& externalRepresentation,
                                                                   std::uint64_t version);
    // The "decode<Key>WithCoder:modelVersion:" hook's value when the class has one; otherwise the
    // coder's object (with a secure coder: of the key's allowed classes). An exception is logged and
    // raised again.
    Value decodeValueForKey(const std::string& key, Coder& coder, std::uint64_t modelVersion);
    // Reads the model: false (the object reads as nil) for an archive newer than the class, an archive in
    // the older layout without conversion, or values the model refuses (logged).
    bool initWithCoder(Coder& coder) override;
    // Writes "JMModelVersion" and the non-nil values by their encoding behaviour.
    void encodeWithCoder(Coder& coder) const override;
    // The class's "supportsSecureCoding" hook, else false.
    bool supportsSecureCoding() const override;

private:
    mutable std::atomic<const ClassInfo*> class_{nullptr};  // found on first use
};

// Validates a value for a key (through "validate<Key>:error:") and sets it when forced or when the
// validator replaced it. An exception on the way is logged ("*** Caught exception setting key …") and
// reported as a model error.
bool JMValidateAndAssignValue(JMModel& model, const std::string& key, const Value& value, bool forceUpdate,
                              Ref<Error>* error);

// Whether the coder requires secure coding.
bool JMCoderRequiresSecureCoding(const Coder& coder);
// Raises kInvalidArgumentException ("Cannot encode … securely, because keys are missing from
// +allowedSecureCodingClassesByPropertyKey: …") when an archived key of the class has no allowed classes.
void JMVerifySecureCodingClasses(const ClassInfo* cls);

// Starts the runtime declaration of a model class T whose superclass Super (JMModel or a subclass of it,
// with its own static runtimeClass()) is registered first; the class gets T's default factory.
template <class T, class Super = JMModel>
ClassDef<T> defineModelClass(std::string name) {
    static_assert(std::is_base_of_v<JMModel, T>);
    Super::runtimeClass();
    ClassDef<T> def(std::move(name));
    def.template superclass<Super>().factory();
    return def;
}

}  // namespace lv
