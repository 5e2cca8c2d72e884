// Opt-in introspection: a registry of classes with names, superclasses, factories, adopted protocols,
// declared properties (with attribute texts in the platform's format), named hooks looked up by a
// selector-like name, key-value access, per-class associated storage, and a run-once registry for
// load-time set-up.
//
// Plain C++ classes stay plain; a class takes part by registering a ClassDef<T>.
//
// Registering. A static initialiser in a static library is dropped by the linker when nothing else in
// its object file is referenced, so do not rely on one. Register explicitly instead, from a function
// that every way of reaching the class passes through, for example:
//
//   const ClassInfo* Person::runtimeClass() {
//       static const ClassInfo* cls = ClassDef<Person>("Person").superclass<Model>().factory()
//                                         .property("name", &Person::name_, "String", "C,N")
//                                         .registerClass();
//       return cls;
//   }
//   Person::Person() { runtimeClass(); }
//
// or register a library's classes together under runOnce("mylib.classes", ...) from its entry points.
// A superclass is registered before its subclasses (call its registration first).
//
// Threads. Registration takes the registry's lock; lookups may run on any thread at the same time.
// A registered ClassInfo is immutable (apart from its associated storage, which has its own lock) and
// lives until the process ends, so pointers to it, its properties and its hooks stay valid.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeindex>
#include <typeinfo>
#include <utility>
#include <vector>

#include "platform/base/error.h"
#include "platform/base/object.h"
#include "platform/base/value.h"

namespace lv {

class ClassInfo;

// The two sides of a class's named hooks: class-side (no receiver) and instance-side.
enum class HookSide : std::uint8_t { Class, Instance };

// One declared property. Attribute text: "T<type encoding>[,<flags>][,V<ivar>]", e.g.
// T@"String",C,N,V_name   Tq,N,V_count   TB,R,N
// The flags always appear in the platform's order: R, C, &, W, D, P, N, G<getter>, S<setter>, then V.
struct PropertyInfo {
    std::string name;
    std::string attributes;
    std::string typeEncoding;  // the part after 'T' up to the first ',' ("@\"String\"", "q", "B")
    std::string ivarName;      // the V entry, empty when the property has no instance variable
    std::string getterName;    // the G entry, else the property name
    std::string setterName;    // the S entry, else "set" + name with its first byte ASCII upper-cased + ":"
    bool readOnly = false;
    bool weak = false;
    bool dynamic = false;
    // Typed access through Value: scalars box into numbers of the declared kind; setting a scalar from
    // a number converts as the number's readings do, from text as the text's readings do, and raises
    // for nil ("setNilValueForKey") and for values with no such reading. Empty getter or setter: not
    // accessible that way. A read-only property with an instance variable still has a setter: it
    // stands for direct instance-variable access, which key-value access uses as the platform does.
    std::function<Value(const Object&)> get;
    std::function<void(Object&, const Value&)> set;
    // The accessors are a Value member's (ClassDef::property with a `Value T::*`): the getter gives
    // back exactly the value last set (nil before any), and the setter does nothing else but announce
    // the set (didSetProperty). Code that would only set values and read them back may then hold the
    // values itself.
    bool holdsValue = false;

    // The number kind of a scalar encoding (c C s S i I l L q Q f d D B), nothing for objects and others.
    std::optional<NumberKind> scalarKind() const;
    bool isObject() const { return !typeEncoding.empty() && typeEncoding[0] == '@'; }
    // The class name in @"Name", empty for id and non-objects.
    std::string declaredClassName() const;
};

// Custom key-value access for a class (records, proxies): answers first, before declared properties.
// Return false from get/set when the key is not handled, to fall through to the declared properties.
struct KeyValueHandler {
    std::function<bool(const Object&, const std::string& key, Value& out)> get;
    std::function<bool(Object&, const std::string& key, const Value& value)> set;
};

class ClassInfo {
public:
    const std::string& name() const { return name_; }
    // Every class has one except the root class "Object".
    const ClassInfo* superclass() const { return superclass_; }
    // True when this class is cls or descends from it.
    bool isSubclassOf(const ClassInfo* cls) const;
    bool isSubclassOf(std::string_view className) const;

    // New instance through the registered factory; nullptr when the class has none.
    Ref<Object> create() const;
    bool hasFactory() const { return static_cast<bool>(factory_); }
    // Whether the factory is ClassDef::factory()'s: a default-constructed instance of the class's own
    // C++ type (cppType()).
    bool makesOwnType() const { return ownTypeFactory_; }

    // Adopted protocols, searched through superclasses.
    bool conformsTo(std::string_view protocol) const;
    const std::vector<std::string>& ownProtocols() const { return protocols_; }

    // Properties declared by this class itself, in declaration order.
    const std::vector<PropertyInfo>& ownProperties() const { return properties_; }
    // Lookup by name through the superclass chain (own class first).
    const PropertyInfo* findProperty(std::string_view name) const;

    // Named hooks. Class-side hooks take no receiver; instance-side ones take the receiver as their
    // first argument, as Object& (ClassDef::instanceMethod builds such hooks from member functions).
    // Looked up through the superclass chain; the nearest registration of the name wins, and when its
    // signature differs from the requested one the hook is reported as absent. A name no registered
    // hook answers is then looked up among the hooks added at run time (addHook), and when none
    // answers either, the class's method resolver (setMethodResolver) is asked once and the lookup
    // repeated.
    template <class Sig>
    const std::function<Sig>* findClassHook(std::string_view name) const {
        const std::any* a = hook(HookSide::Class, name);
        return a ? std::any_cast<std::function<Sig>>(a) : nullptr;
    }
    template <class Sig>
    const std::function<Sig>* findInstanceHook(std::string_view name) const {
        const std::any* a = hook(HookSide::Instance, name);
        return a ? std::any_cast<std::function<Sig>>(a) : nullptr;
    }
    // The hook of the name on that side (std::function<Sig> of any signature), as findClassHook and
    // findInstanceHook find it; nullptr when there is none.
    const std::any* hook(HookSide side, std::string_view name) const;
    // Only the hooks registered with the class and its superclasses (no added hooks, no resolver).
    const std::any* registeredHook(HookSide side, std::string_view name) const;
    // Whether the class itself (not a superclass) registered a hook of the name on that side.
    bool registersHook(HookSide side, std::string_view name) const {
        return ownHook(side == HookSide::Class ? classHooks_ : instanceHooks_, name) != nullptr;
    }
    // Presence of a hook of any signature (the resolver is asked as for lookups).
    bool respondsToClassHook(std::string_view name) const;
    bool respondsToInstanceHook(std::string_view name) const;
    // The hooks this class registered itself: each name with the type of the function it holds
    // (typeid(std::function<Sig>)), in registration order.
    using HookSignatures = std::vector<std::pair<std::string_view, const std::type_info*>>;
    HookSignatures ownClassHookSignatures() const { return signatures(classHooks_); }
    HookSignatures ownInstanceHookSignatures() const { return signatures(instanceHooks_); }
    // The class in the chain (this or a superclass) that registered the hook itself, or nullptr
    // (hooks added at run time and resolution do not count).
    const ClassInfo* classDefiningInstanceHook(std::string_view name) const;
    // Whether instances answer a selector: an instance hook of that name, or the getter (when readable)
    // or setter (when writable and not read-only) of a declared property.
    bool instancesRespondTo(std::string_view selector) const;

    // The nearest handler in the chain, or nullptr.
    const KeyValueHandler* keyValueHandler() const;

    // Per-class associated storage, separate for every class (a subclass does not see its superclass's
    // entries). Setting nil removes the entry. Thread-safe.
    Value associatedValue(const void* key) const;
    void setAssociatedValue(const void* key, const Value& value) const;

    std::type_index cppType() const { return type_; }

private:
    template <class T>
    friend class ClassDef;
    friend class ClassRegistry;
    friend struct RuntimeAccess;  // the registry's implementation
    using HookMap = std::vector<std::pair<std::string, std::any>>;
    ClassInfo(std::string name, std::type_index type, bool (*matches)(const Object&))
        : name_(std::move(name)), type_(type), matches_(matches) {}
    const std::any* ownHook(const HookMap& hooks, std::string_view name) const;
    static HookSignatures signatures(const HookMap& hooks);

    std::string name_;
    std::type_index type_;
    bool (*matches_)(const Object&);  // is the object an instance of the C++ type (or derived from it)
    const ClassInfo* superclass_ = nullptr;
    int depth_ = 0;  // number of superclasses
    std::function<Ref<Object>()> factory_;
    bool ownTypeFactory_ = false;
    std::vector<std::string> protocols_;
    std::vector<PropertyInfo> properties_;
    HookMap classHooks_;
    HookMap instanceHooks_;
    std::unique_ptr<KeyValueHandler> keyValueHandler_;
    struct Associations;
    std::shared_ptr<Associations> associations_;
};

// Registry lookups. A ClassInfo lives until the process ends.
//
// Built-in classes: "Object" (the root, the class of lv::Object; every class without an explicit
// superclass descends from it), and the classes of Value's kinds: "String", "Number" (under "Value"),
// "DecimalNumber" (under "Number"), "Data", "Date", "Array", "Dictionary", "Null".
const ClassInfo* classNamed(std::string_view name);  // nullptr for an unknown name
// The class registered for exactly this C++ type, or nullptr.
const ClassInfo* classForType(const std::type_info& type);
template <class T>
const ClassInfo* classOf() {
    return classForType(typeid(T));
}
// The registered class of the object's dynamic type or, for a type that was not registered itself,
// the most derived registered class among its C++ bases ("Object" at least).
const ClassInfo* classOf(const Object& object);
// The class of a value: its kind's built-in class, classOf(object) for objects, nullptr for nil.
const ClassInfo* classOfValue(const Value& value);
// "Foo" for an object whose dynamic type is registered as "Foo", the plain C++ name otherwise
// (Object::className answers the same).
std::string classNameOf(const Object& object);
// Kind: the object's class (see classOf) is the named class or a subclass of it. Member: the object's
// dynamic type is registered under exactly that name.
bool isKindOf(const Object& object, std::string_view className);
bool isMemberOf(const Object& object, std::string_view className);
// classOf(object)->instancesRespondTo(selector).
bool respondsTo(const Object& object, std::string_view selector);

// ---- Hooks added after registration, and method resolution ----
// A side table (one lock) holds hooks added to registered classes at run time and one method resolver
// per class and side. A lookup that no registered hook answers tries the added hooks through the
// superclass chain, then asks the nearest resolver in the chain (with the receiving class and the
// name; it answers whether it added something) and looks again. Resolvers run without any lock held,
// and a resolver asked for a name on a thread that is already resolving that name on that class is
// not asked again (so a resolver may look names up itself). Added hooks stay for the process's life.
using MethodResolver = std::function<bool(const ClassInfo& receiver, std::string_view name)>;
// Adds the hook (an std::any holding a std::function<Sig>, as ClassDef stores them) to the class
// itself; false, with nothing added, when the class already has a hook of that name on that side
// (registered or added; a superclass's hook does not count).
bool addHook(const ClassInfo* cls, HookSide side, std::string name, std::any fn);
// The hook the class answers for the name without asking a resolver (registered first, then added),
// or nullptr.
const std::any* hookWithoutResolving(const ClassInfo* cls, HookSide side, std::string_view name);
// The resolver that runs for the class: its own, else its nearest superclass's; empty when none.
MethodResolver methodResolver(const ClassInfo* cls, HookSide side);
// Sets the class's own resolver (empty removes it) and returns its previous own one.
MethodResolver setMethodResolver(const ClassInfo* cls, HookSide side, MethodResolver resolver);

// Adds a class to the registry (used by ClassDef::registerClass).
class ClassRegistry {
public:
    // Publishes the class; when a class of the same name or C++ type exists already, keeps that one,
    // drops the new one and returns the existing one.
    static const ClassInfo* add(std::unique_ptr<ClassInfo> info);
    // A check that every class registered from then on passes before it is published; a check refuses
    // a class by raising (kInvalidArgumentException), which drops the class. A library installs the
    // rules for the hooks it calls before it registers the base class those hooks belong under.
    static void addRegistrationCheck(std::function<void(const ClassInfo&)> check);
};

// Builds and registers one class:
//   ClassDef<Person>("Person").superclass<Model>().factory()
//       .property("name", &Person::name, "String", "C,N")   // Value member declared @"String"
//       .property("age", &Person::age, "N")                  // scalar member, encoding from its type
//       .instanceMethod("validateName:error:", &Person::validateName)
//       .registerClass();
// Flags are the attribute flags between the type and the ivar, comma-separated, in any order:
// R (read-only), C (copy), & (retain/strong), W (weak), D (dynamic), P, N (non-atomic), G<getter name>,
// S<setter name>. Member-backed properties get the instance variable "_" + name. An unknown flag, a
// dynamic member-backed property or a duplicate name raise kInvalidArgumentException, and so does
// registerClass when a registration check refuses the class.
template <class T>
class ClassDef {
public:
    explicit ClassDef(std::string name);

    // The superclass must be registered first (kInvalidArgumentException otherwise).
    template <class Super>
    ClassDef& superclass() {
        static_assert(std::is_base_of_v<Super, T>);
        return superclassNamed(classOf<Super>());
    }
    ClassDef& superclassNamed(const ClassInfo* super);
    // Factory using T's default constructor.
    ClassDef& factory() {
        static_assert(std::is_default_constructible_v<T>);
        info_->factory_ = [] { return std::static_pointer_cast<Object>(makeRef<T>()); };
        info_->ownTypeFactory_ = true;
        return *this;
    }
    ClassDef& factory(std::function<Ref<Object>()> make) {
        info_->factory_ = std::move(make);
        info_->ownTypeFactory_ = false;
        return *this;
    }
    ClassDef& protocol(std::string name) {
        info_->protocols_.push_back(std::move(name));
        return *this;
    }

    // A Value member declared as an object of the given class ("String", "Number", "Array",
    // "Dictionary", "Date", "Data", "URL", …; empty for id), e.g. flags "C,N" or "&,N" or "R,N".
    ClassDef& property(std::string name, Value T::*member, std::string_view className, std::string_view flags);
    // A scalar member; the encoding follows the C++ type (bool B, int8 c, uint8 C, int16 s, uint16 S,
    // int32 i, uint32 I, int64 q, uint64 Q, float f, double d, long double D).
    template <class M, std::enable_if_t<std::is_arithmetic_v<M>, int> = 0>
    ClassDef& property(std::string name, M T::*member, std::string_view flags);
    // An object member held as Ref<M> (M derived from Object), declared @"className". Setting a value
    // that is not nil and not an M raises kInvalidArgumentException.
    template <class M, std::enable_if_t<std::is_base_of_v<Object, M>, int> = 0>
    ClassDef& property(std::string name, Ref<M> T::*member, std::string_view className, std::string_view flags);
    // An object member held weakly (give the W flag).
    template <class M, std::enable_if_t<std::is_base_of_v<Object, M>, int> = 0>
    ClassDef& property(std::string name, Weak<M> T::*member, std::string_view className, std::string_view flags);
    // Any property with explicit encoding and accessors (no ivar unless ivarName is given). For a
    // scalar encoding the getter's result is boxed to the declared kind and the setter receives a
    // number of that kind (nil raises before the setter is called).
    ClassDef& property(std::string name, std::string typeEncoding, std::string_view flags,
                       std::function<Value(const T&)> get, std::function<void(T&, const Value&)> set = nullptr,
                       std::string_view ivarName = {});

    template <class Sig>
    ClassDef& classHook(std::string name, std::function<Sig> fn) {
        info_->classHooks_.emplace_back(std::move(name), std::any(std::move(fn)));
        return *this;
    }
    template <class Sig>
    ClassDef& instanceHook(std::string name, std::function<Sig> fn) {
        info_->instanceHooks_.emplace_back(std::move(name), std::any(std::move(fn)));
        return *this;
    }
    // A static function as a class hook of signature R(A...).
    template <class R, class... A>
    ClassDef& classMethod(std::string name, R (*fn)(A...)) {
        return classHook<R(A...)>(std::move(name), std::function<R(A...)>(fn));
    }
    // A member function as an instance hook of signature R(Object&, A...).
    template <class R, class... A>
    ClassDef& instanceMethod(std::string name, R (T::*fn)(A...));
    template <class R, class... A>
    ClassDef& instanceMethod(std::string name, R (T::*fn)(A...) const);

    ClassDef& keyValueHandler(KeyValueHandler handler) {
        info_->keyValueHandler_ = std::make_unique<KeyValueHandler>(std::move(handler));
        return *this;
    }

    // Publishes the class; registering a second class under the same name or C++ type keeps the first
    // and returns it. The ClassDef is empty afterwards.
    const ClassInfo* registerClass() { return ClassRegistry::add(std::move(info_)); }

private:
    ClassDef& addProperty(PropertyInfo info, std::string_view flags, std::string_view ivarName);
    std::unique_ptr<ClassInfo> info_;
};

// Type encodings and attribute texts.
template <class M>
constexpr char scalarEncoding() {
    if constexpr (std::is_same_v<M, bool>) return 'B';
    else if constexpr (std::is_same_v<M, float>) return 'f';
    else if constexpr (std::is_same_v<M, double>) return 'd';
    else if constexpr (std::is_same_v<M, long double>) return 'D';
    else if constexpr (std::is_signed_v<M>) return sizeof(M) == 1 ? 'c' : sizeof(M) == 2 ? 's' : sizeof(M) == 4 ? 'i' : 'q';
    else return sizeof(M) == 1 ? 'C' : sizeof(M) == 2 ? 'S' : sizeof(M) == 4 ? 'I' : 'Q';
}
// "T<encoding>[,flags][,V<ivar>]", flags in the platform's order (see ClassDef for the flags); an
// unknown flag raises kInvalidArgumentException.
std::string attributeText(std::string_view typeEncoding, std::string_view flags, std::string_view ivarName);

// Key-value access on registered objects and on values holding dictionaries, arrays or objects.
// Order of lookup on an object: the class's KeyValueHandler, then the declared properties by name,
// getter name (for reading), setter name (for writing) and instance-variable name, then the keys every
// object answers for reading: "self" and "description".
// An unknown key raises kUndefinedKeyException ("[<Class 0x…> valueForUndefinedKey:]: this class is not
// key value coding-compliant for the key k."; "setValue:forUndefinedKey:" when setting); nil for a
// scalar raises kInvalidArgumentException ("[<Class 0x…> setNilValueForKey]: could not set nil as the
// value for the key k.").
Value valueForKey(const Object& object, const std::string& key);
void setValueForKey(Object& object, const Value& value, const std::string& key);
// The declared property setValueForKey writes for the key on an instance of the class when no
// KeyValueHandler answers first (by name, setter name or instance variable, as above), or nullptr.
// Properties never change after registration, so a caller setting many instances may find it once.
const PropertyInfo* propertyForSettingKey(const ClassInfo* cls, const std::string& key);
// The declared property valueForKey reads for the key on an instance of the class when no
// KeyValueHandler answers first (by name, getter name or instance variable), or nullptr.
const PropertyInfo* propertyForGettingKey(const ClassInfo* cls, std::string_view key);
// Dictionary: the entry ("@count": the count); array: the key applied to every element (nil as null;
// "@count": the count); object: as above; nil: nil; other kinds answer only "self" and "description".
Value valueForKey(const Value& target, const std::string& key);
// Dictionary: sets the entry, nil removes it; array: sets the key on every element; object: as above;
// nil: nothing; other kinds raise for every key.
void setValueForKey(Value& target, const Value& value, const std::string& key);
// Dotted key paths. On arrays a component may be a collection operator: "@count", "@unionOfObjects",
// "@distinctUnionOfObjects", "@unionOfArrays", "@distinctUnionOfArrays", "@max", "@min" (the rest of the
// path applies to the elements; "@unionOfArrays.self" joins an array of arrays).
Value valueForKeyPath(const Value& target, const std::string& keyPath);
Value valueForKeyPath(const Object& object, const std::string& keyPath);
// Sets through the objects and dictionaries on the path; a nil step ends the walk without effect (no
// dictionary is made on the way); a dictionary held by an object is updated and set back on the object.
void setValueForKeyPath(Object& object, const Value& value, const std::string& keyPath);
void setValueForKeyPath(Value& target, const Value& value, const std::string& keyPath);
// Dictionary forms: nil values appear as null; null values set nil.
Dictionary dictionaryWithValuesForKeys(const Object& object, const std::vector<std::string>& keys);
void setValuesForKeysWithDictionary(Object& object, const Dictionary& values);
// Runs the instance hook "validate<Key>:error:" (signature ValidateHook) when the class has one; true
// otherwise. The hook may replace the value.
using ValidateHook = bool(Object&, Value&, Ref<Error>*);
bool validateValueForKey(Object& object, Value& value, const std::string& key, Ref<Error>* error);

// Property-set notifications: every set of a member-backed property (through key-value access or
// PropertyInfo::set) announces itself, and a class's own setters announce with didSetProperty. The
// observers of the object hear each announcement on the setting thread, also when the value did not
// change. Observers are called without any lock held.
using PropertyObserver = std::function<void(Object& object, const std::string& key)>;
std::uint64_t addPropertyObserver(Object& object, PropertyObserver observer);  // a token
void removePropertyObserver(Object& object, std::uint64_t token);
void didSetProperty(Object& object, const std::string& key);

// "validate" + "Name" + ":error:" style names: the key with its first character upper-cased
// (Unicode full case mapping of the first character, which may lengthen it: "ßx" gives "SSx").
std::string selectorName(std::string_view prefix, std::string_view key, std::string_view suffix);
std::string upperCaseFirst(std::string_view text);

// Run-once registry: runs fn the first time name is seen (from any thread; later callers wait until it
// has finished), and never again. When fn throws, the exception reaches its caller and the next caller
// runs it again. fn must not call runOnce with its own name.
void runOnce(std::string_view name, const std::function<void()>& fn);

}  // namespace lv

#include "platform/runtime/detail/class_def.h"
