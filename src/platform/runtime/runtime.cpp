// The class registry: registration, lookups by name and type, the nearest registered class of an
// object, the built-in classes, and the class-side queries of ClassInfo.
#include "platform/runtime/runtime.h"
#include "platform/runtime/detail/generation.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

namespace lv {

struct ClassInfo::Associations {
    std::mutex mutex;
    std::unordered_map<const void*, Value> values;
};

namespace {

// Type tags of the built-in classes that stand for Value's kinds (they have no C++ object type).
struct ValueClassTag {};
struct NumberClassTag {};
struct DecimalNumberClassTag {};
struct StringClassTag {};
struct DataClassTag {};
struct DateClassTag {};
struct ArrayClassTag {};
struct DictionaryClassTag {};
struct NullClassTag {};

bool matchesNoObject(const Object&) {
    return false;
}

}  // namespace

struct RuntimeAccess {
    struct Registry {
        std::shared_mutex mutex;
        std::vector<std::unique_ptr<ClassInfo>> classes;  // owners, in registration order
        std::map<std::string, const ClassInfo*, std::less<>> byName;
        std::unordered_map<std::type_index, const ClassInfo*> byType;
        // Dynamic types that are not registered themselves → their nearest registered class. Emptied
        // whenever a class is added, since the new class may be nearer.
        std::unordered_map<std::type_index, const ClassInfo*> nearest;
        const ClassInfo* root = nullptr;
        // Built-in class of each Value::Type (nullptr for nil and objects).
        std::array<const ClassInfo*, 10> valueClasses{};
        // Bumped by every registration; per-thread caches of lookups compare it.
        std::atomic<std::uint64_t> generation{1};
    };

    static Registry& registry() {
        // Never destroyed: classes stay valid while other static objects are torn down.
        static Registry* r = create();
        return *r;
    }

    static const std::string* resolveName(const std::type_info& type) {
        Registry& r = registry();
        std::shared_lock lock(r.mutex);
        auto it = r.byType.find(std::type_index(type));
        return it == r.byType.end() ? nullptr : &it->second->name_;
    }

    // Requires the registry's lock (or exclusive access during creation).
    static const ClassInfo* publish(Registry& r, std::unique_ptr<ClassInfo> info) {
        if (auto it = r.byName.find(info->name_); it != r.byName.end()) return it->second;
        if (auto it = r.byType.find(info->type_); it != r.byType.end()) return it->second;
        if (!info->superclass_ && r.root) info->superclass_ = r.root;
        info->depth_ = info->superclass_ ? info->superclass_->depth_ + 1 : 0;
        info->associations_ = std::make_shared<ClassInfo::Associations>();
        const ClassInfo* published = info.get();
        r.byName.emplace(info->name_, published);
        r.byType.emplace(info->type_, published);
        r.classes.push_back(std::move(info));
        r.nearest.clear();
        r.generation.fetch_add(1, std::memory_order_release);
        return published;
    }

    static const ClassInfo* builtin(Registry& r, const char* name, const std::type_info& type,
                                    bool (*matches)(const Object&), const ClassInfo* super) {
        std::unique_ptr<ClassInfo> info(new ClassInfo(name, std::type_index(type), matches));
        info->superclass_ = super;
        return publish(r, std::move(info));
    }

    static Registry* create() {
        auto* r = new Registry;
        r->root = builtin(*r, "Object", typeid(Object), &runtime_detail::isInstance<Object>, nullptr);
        const ClassInfo* value = builtin(*r, "Value", typeid(ValueClassTag), &matchesNoObject, r->root);
        const ClassInfo* number = builtin(*r, "Number", typeid(NumberClassTag), &matchesNoObject, value);
        auto slot = [r](Value::Type t) -> const ClassInfo*& { return r->valueClasses[static_cast<std::size_t>(t)]; };
        slot(Value::Type::Number) = number;
        slot(Value::Type::Decimal) =
            builtin(*r, "DecimalNumber", typeid(DecimalNumberClassTag), &matchesNoObject, number);
        slot(Value::Type::String) = builtin(*r, "String", typeid(StringClassTag), &matchesNoObject, r->root);
        slot(Value::Type::Data) = builtin(*r, "Data", typeid(DataClassTag), &matchesNoObject, r->root);
        slot(Value::Type::Date) = builtin(*r, "Date", typeid(DateClassTag), &matchesNoObject, r->root);
        slot(Value::Type::Array) = builtin(*r, "Array", typeid(ArrayClassTag), &matchesNoObject, r->root);
        slot(Value::Type::Dictionary) =
            builtin(*r, "Dictionary", typeid(DictionaryClassTag), &matchesNoObject, r->root);
        slot(Value::Type::Null) = builtin(*r, "Null", typeid(NullClassTag), &matchesNoObject, r->root);
        setClassNameResolver(&resolveName);
        return r;
    }

    // Every key-value access asks for the class of its receiver, so the answer is cached per thread,
    // keyed by the dynamic type, until the next registration.
    static const ClassInfo* nearestClass(const Object& object) {
        struct Slot {
            const std::type_info* type = nullptr;
            const ClassInfo* cls = nullptr;
            std::uint64_t generation = 0;
        };
        thread_local std::array<Slot, 16> cache;
        const std::type_info& type = typeid(object);
        const std::uint64_t generation = registry().generation.load(std::memory_order_acquire);
        Slot& slot = cache[(reinterpret_cast<std::uintptr_t>(&type) >> 4) % cache.size()];
        if (slot.type == &type && slot.generation == generation) return slot.cls;
        const ClassInfo* cls = nearestClassUncached(object);
        slot = Slot{&type, cls, generation};
        return cls;
    }

    static const ClassInfo* nearestClassUncached(const Object& object) {
        Registry& r = registry();
        const std::type_index type(typeid(object));
        std::size_t seen = 0;
        const ClassInfo* best = nullptr;
        {
            std::shared_lock lock(r.mutex);
            if (auto it = r.byType.find(type); it != r.byType.end()) return it->second;
            if (auto it = r.nearest.find(type); it != r.nearest.end()) return it->second;
            // The deepest registered class whose C++ type the object derives from. The matchers are
            // dynamic_casts; they run no user code.
            for (const auto& c : r.classes) {
                if (c->matches_(object) && (!best || c->depth_ > best->depth_)) best = c.get();
            }
            seen = r.classes.size();
        }
        std::unique_lock lock(r.mutex);
        if (r.classes.size() == seen) r.nearest.emplace(type, best);
        return best;
    }

    static const ClassInfo* valueClass(Value::Type type) {
        return registry().valueClasses[static_cast<std::size_t>(type)];
    }
};

namespace {

struct RegistrationChecks {
    std::mutex mutex;
    std::vector<std::function<void(const ClassInfo&)>> checks;
};

RegistrationChecks& registrationChecks() {
    static auto* c = new RegistrationChecks;
    return *c;
}

}  // namespace

void ClassRegistry::addRegistrationCheck(std::function<void(const ClassInfo&)> check) {
    RegistrationChecks& c = registrationChecks();
    std::lock_guard lock(c.mutex);
    c.checks.push_back(std::move(check));
}

const ClassInfo* ClassRegistry::add(std::unique_ptr<ClassInfo> info) {
    std::vector<std::function<void(const ClassInfo&)>> checks;
    {
        RegistrationChecks& c = registrationChecks();
        std::lock_guard lock(c.mutex);
        checks = c.checks;
    }
    // Run without the registry's lock: a check may look classes up.
    for (const auto& check : checks) check(*info);
    RuntimeAccess::Registry& r = RuntimeAccess::registry();
    std::unique_lock lock(r.mutex);
    return RuntimeAccess::publish(r, std::move(info));
}

namespace runtime_detail {
std::uint64_t hookChanges();  // method_resolution.cpp
}  // namespace runtime_detail

std::uint64_t runtimeGeneration() {
    // Both counts only grow, so their sum changes whenever either does.
    return RuntimeAccess::registry().generation.load(std::memory_order_acquire) + runtime_detail::hookChanges();
}

const ClassInfo* classNamed(std::string_view name) {
    RuntimeAccess::Registry& r = RuntimeAccess::registry();
    std::shared_lock lock(r.mutex);
    auto it = r.byName.find(name);
    return it == r.byName.end() ? nullptr : it->second;
}

const ClassInfo* classForType(const std::type_info& type) {
    RuntimeAccess::Registry& r = RuntimeAccess::registry();
    std::shared_lock lock(r.mutex);
    auto it = r.byType.find(std::type_index(type));
    return it == r.byType.end() ? nullptr : it->second;
}

const ClassInfo* classOf(const Object& object) {
    return RuntimeAccess::nearestClass(object);
}

const ClassInfo* classOfValue(const Value& value) {
    switch (value.type()) {
        case Value::Type::Nil:
            return nullptr;
        case Value::Type::Object:
            return classOf(*value.object());
        default:
            return RuntimeAccess::valueClass(value.type());
    }
}

std::string classNameOf(const Object& object) {
    if (const ClassInfo* cls = classForType(typeid(object))) return cls->name();
    return demangledClassName(typeid(object));
}

bool isKindOf(const Object& object, std::string_view className) {
    const ClassInfo* cls = classOf(object);
    return cls && cls->isSubclassOf(className);
}

bool isMemberOf(const Object& object, std::string_view className) {
    const ClassInfo* cls = classForType(typeid(object));
    return cls && cls->name() == className;
}

bool respondsTo(const Object& object, std::string_view selector) {
    const ClassInfo* cls = classOf(object);
    return cls && cls->instancesRespondTo(selector);
}

// ClassInfo

bool ClassInfo::isSubclassOf(const ClassInfo* cls) const {
    for (const ClassInfo* c = this; c; c = c->superclass_) {
        if (c == cls) return true;
    }
    return false;
}

bool ClassInfo::isSubclassOf(std::string_view className) const {
    for (const ClassInfo* c = this; c; c = c->superclass_) {
        if (c->name_ == className) return true;
    }
    return false;
}

Ref<Object> ClassInfo::create() const {
    return factory_ ? factory_() : nullptr;
}

bool ClassInfo::conformsTo(std::string_view protocol) const {
    for (const ClassInfo* c = this; c; c = c->superclass_) {
        for (const std::string& p : c->protocols_) {
            if (p == protocol) return true;
        }
    }
    return false;
}

const PropertyInfo* ClassInfo::findProperty(std::string_view name) const {
    for (const ClassInfo* c = this; c; c = c->superclass_) {
        for (const PropertyInfo& p : c->properties_) {
            if (p.name == name) return &p;
        }
    }
    return nullptr;
}

const std::any* ClassInfo::ownHook(const HookMap& hooks, std::string_view name) const {
    for (const auto& [hookName, fn] : hooks) {
        if (hookName == name) return &fn;
    }
    return nullptr;
}

ClassInfo::HookSignatures ClassInfo::signatures(const HookMap& hooks) {
    HookSignatures out;
    out.reserve(hooks.size());
    for (const auto& [name, fn] : hooks) out.emplace_back(name, &fn.type());
    return out;
}

const std::any* ClassInfo::registeredHook(HookSide side, std::string_view name) const {
    for (const ClassInfo* c = this; c; c = c->superclass_) {
        if (const std::any* a = c->ownHook(side == HookSide::Class ? c->classHooks_ : c->instanceHooks_, name)) return a;
    }
    return nullptr;
}

bool ClassInfo::respondsToClassHook(std::string_view name) const { return hook(HookSide::Class, name) != nullptr; }

bool ClassInfo::respondsToInstanceHook(std::string_view name) const { return hook(HookSide::Instance, name) != nullptr; }

const ClassInfo* ClassInfo::classDefiningInstanceHook(std::string_view name) const {
    for (const ClassInfo* c = this; c; c = c->superclass_) {
        if (c->ownHook(c->instanceHooks_, name)) return c;
    }
    return nullptr;
}

bool ClassInfo::instancesRespondTo(std::string_view selector) const {
    if (registeredHook(HookSide::Instance, selector)) return true;
    for (const ClassInfo* c = this; c; c = c->superclass_) {
        for (const PropertyInfo& p : c->properties_) {
            if (p.get && p.getterName == selector) return true;
            if (p.set && !p.readOnly && p.setterName == selector) return true;
        }
    }
    return respondsToInstanceHook(selector);  // added hooks and the resolver
}

const KeyValueHandler* ClassInfo::keyValueHandler() const {
    for (const ClassInfo* c = this; c; c = c->superclass_) {
        if (c->keyValueHandler_) return c->keyValueHandler_.get();
    }
    return nullptr;
}

Value ClassInfo::associatedValue(const void* key) const {
    std::lock_guard lock(associations_->mutex);
    auto it = associations_->values.find(key);
    return it == associations_->values.end() ? Value() : it->second;
}

void ClassInfo::setAssociatedValue(const void* key, const Value& value) const {
    Value previous;  // released after the lock, in case it holds the last reference to an object
    std::lock_guard lock(associations_->mutex);
    if (value.isNil()) {
        auto it = associations_->values.find(key);
        if (it != associations_->values.end()) {
            previous = std::move(it->second);
            associations_->values.erase(it);
        }
    } else {
        Value& slot = associations_->values[key];
        previous = std::move(slot);
        slot = value;
    }
}

}  // namespace lv
