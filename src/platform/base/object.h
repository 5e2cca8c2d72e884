// Reference types with identity: the common base of errors, models, records, operations and delegates.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <atomic>
#include <mutex>
#include <string>
#include <typeinfo>

namespace lv {

template <class T>
using Ref = std::shared_ptr<T>;
template <class T>
using Weak = std::weak_ptr<T>;

template <class T, class... Args>
Ref<T> makeRef(Args&&... args) {
    return std::make_shared<T>(std::forward<Args>(args)...);
}

class Value;

// Base of every reference type. Identity is the address; subclasses with value semantics override
// isEqual/hash. Objects are always held through Ref, so shared_from_this is available to every subclass.
class Object : public std::enable_shared_from_this<Object> {
public:
    Object();
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    virtual ~Object();

    // The registered class name when the class is registered with the runtime, otherwise the
    // unqualified C++ class name.
    virtual std::string className() const;
    // "<ClassName: 0x…>" unless overridden.
    virtual std::string description() const;
    virtual bool isEqual(const Object& other) const { return this == &other; }
    virtual std::size_t hash() const { return reinterpret_cast<std::size_t>(this); }

    // Associated storage: values attached to this object under a key chosen by the attaching code
    // (usually the address of a static). Setting nil removes the entry. Thread-safe.
    Value associatedValue(const void* key) const;
    void setAssociatedValue(const void* key, const Value& value);
    // False while the object has never had an associated value (every associatedValue is nil then).
    bool mayHaveAssociatedValues() const { return hasAssociations_.load(std::memory_order_acquire); }

    template <class T>
    Ref<T> refAs() {
        return std::dynamic_pointer_cast<T>(shared_from_this());
    }

private:
    struct Associations;
    mutable std::mutex associationsMutex_;
    std::unique_ptr<Associations> associations_;
    // Set (never cleared) once associations_ exists: most objects never get one, and asking them
    // (a property observer check at every set) then takes no lock.
    std::atomic<bool> hasAssociations_{false};
};

// dynamic_cast<const T*>(object), remembered per dynamic type on each thread. A cast walks the class
// hierarchy comparing type names (hundreds of instructions for a miss through several bases); where a
// T lies within a complete object of a given type never changes, so after a type's first cast this
// costs two loads from its virtual table. Null for null or an object that is not a T.
template <class T>
const T* objectCast(const Object* object) {
    if (!object) return nullptr;
    struct Entry {
        const std::type_info* type = nullptr;
        std::ptrdiff_t offset = 0;  // from the complete object to its T; -1 when it has none
    };
    static constexpr std::size_t kEntries = 4;
    thread_local Entry entries[kEntries];
    thread_local std::size_t next = 0;
    const std::type_info* type = &typeid(*object);
    const auto* complete = static_cast<const char*>(dynamic_cast<const void*>(object));
    for (const Entry& entry : entries) {
        if (entry.type != type) continue;
        return entry.offset < 0 ? nullptr : reinterpret_cast<const T*>(complete + entry.offset);
    }
    const T* cast = dynamic_cast<const T*>(object);
    entries[next] = {type, cast ? reinterpret_cast<const char*>(cast) - complete : -1};
    next = (next + 1) % kEntries;
    return cast;
}

// The same for a shared reference: the T that shares its ownership, or null.
template <class T>
Ref<T> objectCast(Ref<Object> object) {
    const T* cast = objectCast<T>(static_cast<const Object*>(object.get()));
    return cast ? Ref<T>(std::move(object), const_cast<T*>(cast)) : nullptr;
}

// Pointer text as the platform prints it for %p: "0x" followed by lower-case hex, "0x0" for null.
std::string addressText(const void* pointer);

// Unqualified, demangled C++ name of a type: "Foo" for lv::detail::Foo.
std::string demangledClassName(const std::type_info& type);

// Hook through which the runtime supplies registered class names to Object::className.
using ClassNameResolver = const std::string* (*)(const std::type_info& type);
void setClassNameResolver(ClassNameResolver resolver);

}  // namespace lv
