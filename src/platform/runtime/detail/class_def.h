// Template member definitions of ClassDef<T>; included by platform/runtime/runtime.h only.
#pragma once

#include <limits>

namespace lv {
namespace runtime_detail {

// Receiver checks for accessors and hooks: the object must be a T (raises kInvalidArgumentException
// naming the expected class otherwise).
[[noreturn]] void raiseWrongReceiver(const Object& object, const std::type_info& expected);

template <class T>
const T& receiverAs(const Object& object) {
    if constexpr (std::is_same_v<T, Object>) {
        return object;
    } else {
        // An instance of T itself (the usual receiver) needs no walk of the class hierarchy.
        if constexpr (requires { static_cast<const T*>(&object); }) {
            if (typeid(object) == typeid(T)) return *static_cast<const T*>(&object);
        }
        if (const T* t = dynamic_cast<const T*>(&object)) return *t;
        raiseWrongReceiver(object, typeid(T));
    }
}
template <class T>
T& receiverAs(Object& object) {
    return const_cast<T&>(receiverAs<T>(static_cast<const Object&>(object)));
}

template <class T>
bool isInstance(const Object& object) {
    if constexpr (std::is_same_v<T, Object>) {
        return true;
    } else {
        return dynamic_cast<const T*>(&object) != nullptr;
    }
}

// The number a scalar of the given kind receives from value: nil raises "setNilValueForKey"; numbers,
// decimals and (for the kinds text can be read as) strings convert; anything else raises.
Number scalarFromValue(NumberKind kind, const Value& value, const Object& object, const std::string& key);
// A value read from a scalar accessor, boxed into a number of the declared kind.
Value boxScalar(NumberKind kind, const Value& value);
std::optional<NumberKind> kindOfEncoding(std::string_view typeEncoding);

// Fills attributes, flags, getter and setter names of a property, validating the flags.
void completeProperty(PropertyInfo& property, std::string_view flags, std::string_view ivarName);
void checkNewProperty(const ClassInfo& cls, const std::vector<PropertyInfo>& existing, const PropertyInfo& property);
[[noreturn]] void raiseUnregisteredSuperclass(const std::string& className);
[[noreturn]] void raiseWrongObject(const Object& object, const std::string& key, const std::type_info& expected);

template <class M>
M scalarOf(const Number& n) {
    if constexpr (std::is_same_v<M, bool>) return n.boolValue();
    else if constexpr (std::is_floating_point_v<M>) return static_cast<M>(n.doubleValue());
    else if constexpr (std::is_unsigned_v<M>) return static_cast<M>(n.unsignedLongLongValue());
    else return static_cast<M>(n.longLongValue());
}

template <class M>
NumberKind numberKindOf() {
    return Number::of(M{}).kind();
}

}  // namespace runtime_detail

template <class T>
ClassDef<T>::ClassDef(std::string name)
    : info_(new ClassInfo(std::move(name), std::type_index(typeid(T)), &runtime_detail::isInstance<T>)) {
    static_assert(std::is_base_of_v<Object, T>, "registered classes derive from lv::Object");
}

template <class T>
ClassDef<T>& ClassDef<T>::superclassNamed(const ClassInfo* super) {
    if (!super) runtime_detail::raiseUnregisteredSuperclass(info_->name_);
    info_->superclass_ = super;
    return *this;
}

template <class T>
ClassDef<T>& ClassDef<T>::addProperty(PropertyInfo info, std::string_view flags, std::string_view ivarName) {
    runtime_detail::completeProperty(info, flags, ivarName);
    runtime_detail::checkNewProperty(*info_, info_->properties_, info);
    info_->properties_.push_back(std::move(info));
    return *this;
}

template <class T>
ClassDef<T>& ClassDef<T>::property(std::string name, Value T::*member, std::string_view className,
                                   std::string_view flags) {
    PropertyInfo p;
    p.name = name;
    p.typeEncoding = className.empty() ? std::string("@") : "@\"" + std::string(className) + "\"";
    p.get = [member](const Object& o) -> Value { return runtime_detail::receiverAs<T>(o).*member; };
    p.set = [member, name](Object& o, const Value& v) {
        runtime_detail::receiverAs<T>(o).*member = v;
        didSetProperty(o, name);
    };
    p.holdsValue = true;
    return addProperty(std::move(p), flags, "_" + name);
}

template <class T>
template <class M, std::enable_if_t<std::is_arithmetic_v<M>, int>>
ClassDef<T>& ClassDef<T>::property(std::string name, M T::*member, std::string_view flags) {
    PropertyInfo p;
    p.name = name;
    p.typeEncoding = std::string(1, scalarEncoding<M>());
    p.get = [member](const Object& o) -> Value { return Value(runtime_detail::receiverAs<T>(o).*member); };
    p.set = [member, name](Object& o, const Value& v) {
        T& self = runtime_detail::receiverAs<T>(o);
        Number n = runtime_detail::scalarFromValue(runtime_detail::numberKindOf<M>(), v, o, name);
        self.*member = runtime_detail::scalarOf<M>(n);
        didSetProperty(o, name);
    };
    return addProperty(std::move(p), flags, "_" + name);
}

template <class T>
template <class M, std::enable_if_t<std::is_base_of_v<Object, M>, int>>
ClassDef<T>& ClassDef<T>::property(std::string name, Ref<M> T::*member, std::string_view className,
                                   std::string_view flags) {
    PropertyInfo p;
    p.name = name;
    p.typeEncoding = className.empty() ? std::string("@") : "@\"" + std::string(className) + "\"";
    p.get = [member](const Object& o) -> Value { return Value(runtime_detail::receiverAs<T>(o).*member); };
    p.set = [member, name](Object& o, const Value& v) {
        T& self = runtime_detail::receiverAs<T>(o);
        Ref<M> ref;
        if (!v.isNil()) {
            ref = v.objectAs<M>();
            if (!ref) runtime_detail::raiseWrongObject(o, name, typeid(M));
        }
        self.*member = std::move(ref);
        didSetProperty(o, name);
    };
    return addProperty(std::move(p), flags, "_" + name);
}

template <class T>
template <class M, std::enable_if_t<std::is_base_of_v<Object, M>, int>>
ClassDef<T>& ClassDef<T>::property(std::string name, Weak<M> T::*member, std::string_view className,
                                   std::string_view flags) {
    PropertyInfo p;
    p.name = name;
    p.typeEncoding = className.empty() ? std::string("@") : "@\"" + std::string(className) + "\"";
    p.get = [member](const Object& o) -> Value { return Value((runtime_detail::receiverAs<T>(o).*member).lock()); };
    p.set = [member, name](Object& o, const Value& v) {
        T& self = runtime_detail::receiverAs<T>(o);
        Ref<M> ref;
        if (!v.isNil()) {
            ref = v.objectAs<M>();
            if (!ref) runtime_detail::raiseWrongObject(o, name, typeid(M));
        }
        self.*member = ref;
        didSetProperty(o, name);
    };
    return addProperty(std::move(p), flags, "_" + name);
}

template <class T>
ClassDef<T>& ClassDef<T>::property(std::string name, std::string typeEncoding, std::string_view flags,
                                   std::function<Value(const T&)> get, std::function<void(T&, const Value&)> set,
                                   std::string_view ivarName) {
    PropertyInfo p;
    p.name = name;
    std::optional<NumberKind> kind = runtime_detail::kindOfEncoding(typeEncoding);
    p.typeEncoding = std::move(typeEncoding);
    if (get) {
        p.get = [get = std::move(get), kind](const Object& o) -> Value {
            Value v = get(runtime_detail::receiverAs<T>(o));
            return kind ? runtime_detail::boxScalar(*kind, v) : v;
        };
    }
    if (set) {
        p.set = [set = std::move(set), kind, name](Object& o, const Value& v) {
            T& self = runtime_detail::receiverAs<T>(o);
            if (kind) {
                set(self, Value(runtime_detail::scalarFromValue(*kind, v, o, name)));
            } else {
                set(self, v);
            }
        };
    }
    return addProperty(std::move(p), flags, ivarName);
}

template <class T>
template <class R, class... A>
ClassDef<T>& ClassDef<T>::instanceMethod(std::string name, R (T::*fn)(A...)) {
    return instanceHook<R(Object&, A...)>(
        std::move(name), std::function<R(Object&, A...)>([fn](Object& self, A... args) -> R {
            return (runtime_detail::receiverAs<T>(self).*fn)(std::forward<A>(args)...);
        }));
}

template <class T>
template <class R, class... A>
ClassDef<T>& ClassDef<T>::instanceMethod(std::string name, R (T::*fn)(A...) const) {
    return instanceHook<R(Object&, A...)>(
        std::move(name), std::function<R(Object&, A...)>([fn](Object& self, A... args) -> R {
            return (runtime_detail::receiverAs<T>(self).*fn)(std::forward<A>(args)...);
        }));
}

}  // namespace lv
