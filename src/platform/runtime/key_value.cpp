// Key-value access on registered objects and on values: keys, key paths, collection operators,
// dictionary forms and validation.
#include <cctype>
#include <unordered_set>

#include "platform/runtime/runtime.h"

namespace lv {

namespace {

enum class Access { Get, Set };

Value objectValue(const Object& object) {
    Ref<const Object> self = object.weak_from_this().lock();
    return Value(std::const_pointer_cast<Object>(self));
}

[[noreturn]] void raiseUndefinedKey(const std::string& className, const void* address, const std::string& key,
                                    Access access, Value target) {
    Dictionary info;
    info.set("NSUnknownUserInfoKey", Value(key));
    if (!target.isNil()) info.set("NSTargetObjectUserInfoKey", std::move(target));
    Exception::raise(std::string(kUndefinedKeyException),
                     "[<" + className + " " + addressText(address) + "> " +
                         (access == Access::Get ? "valueForUndefinedKey:" : "setValue:forUndefinedKey:") +
                         "]: this class is not key value coding-compliant for the key " + key + ".",
                     std::move(info));
}

[[noreturn]] void raiseUndefinedKey(const Object& object, const std::string& key, Access access) {
    raiseUndefinedKey(object.className(), &object, key, access, objectValue(object));
}

[[noreturn]] void raiseUndefinedKey(const Value& target, const std::string& key, Access access) {
    const ClassInfo* cls = classOfValue(target);
    raiseUndefinedKey(cls ? cls->name() : std::string("nil"), &target, key, access, target);
}

// The property a key reads: by name, getter name or instance-variable name, through the superclasses.
const PropertyInfo* readableProperty(const ClassInfo* cls, std::string_view key) {
    for (const ClassInfo* c = cls; c; c = c->superclass()) {
        for (const PropertyInfo& p : c->ownProperties()) {
            if (p.get && (p.name == key || p.getterName == key || p.ivarName == key)) return &p;
        }
    }
    return nullptr;
}

// The property a key writes: by name, setter name ("set<Key>:") or instance variable ("_key", "key");
// a read-only property only through its instance variable.
// Whether the name is "_" + key.
bool isUnderscored(const std::string& name, const std::string& key) {
    return name.size() == key.size() + 1 && name[0] == '_' && name.compare(1, key.size(), key) == 0;
}

// Whether the name is the setter of the key, "set<Key>:" (first letter upper-cased as C does).
bool isSetterOf(const std::string& name, const std::string& key) {
    if (name.size() != key.size() + 4 || name.compare(0, 3, "set") != 0 || name.back() != ':') return false;
    if (name[3] != static_cast<char>(std::toupper(static_cast<unsigned char>(key[0])))) return false;
    return name.compare(4, key.size() - 1, key, 1, key.size() - 1) == 0;
}

const PropertyInfo* writableProperty(const ClassInfo* cls, const std::string& key) {
    if (key.empty()) return nullptr;
    for (const ClassInfo* c = cls; c; c = c->superclass()) {
        for (const PropertyInfo& p : c->ownProperties()) {
            if (!p.set) continue;
            bool viaIvar = !p.ivarName.empty() && (p.ivarName == key || isUnderscored(p.ivarName, key));
            if (p.readOnly) {
                if (viaIvar || (p.name == key && !p.ivarName.empty())) return &p;
                continue;
            }
            if (p.name == key || isSetterOf(p.setterName, key) || viaIvar) return &p;
        }
    }
    return nullptr;
}

std::pair<std::string, std::string> splitPath(const std::string& keyPath) {
    std::size_t dot = keyPath.find('.');
    if (dot == std::string::npos) return {keyPath, std::string()};
    return {keyPath.substr(0, dot), keyPath.substr(dot + 1)};
}

Value countOf(const Value& target) {
    return Value(static_cast<std::uint64_t>(target.count()));
}

void appendDistinct(Array& out, std::unordered_set<Value>& seen, const Value& v, bool distinct) {
    if (!distinct || seen.insert(v).second) out.push_back(v);
}

Value collectionOperator(const Value& array, const std::string& op, const std::string& rest) {
    const std::string path = rest.empty() ? std::string("self") : rest;
    if (op == "count") return countOf(array);
    if (op == "unionOfObjects" || op == "distinctUnionOfObjects" || op == "unionOfArrays" ||
        op == "distinctUnionOfArrays") {
        const bool distinct = op.rfind("distinct", 0) == 0;
        const bool ofArrays = op.find("Arrays") != std::string::npos;
        Array out;
        std::unordered_set<Value> seen;
        for (const Value& element : array.array()) {
            Value v = valueForKeyPath(element, path);
            if (v.isNil()) continue;
            if (ofArrays) {
                if (!v.isArray()) continue;
                for (const Value& inner : v.array()) appendDistinct(out, seen, inner, distinct);
            } else {
                appendDistinct(out, seen, v, distinct);
            }
        }
        return Value(std::move(out));
    }
    if (op == "max" || op == "min") {
        Value best;
        for (const Value& element : array.array()) {
            Value v = valueForKeyPath(element, path);
            if (v.isNilOrNull()) continue;
            if (best.isNil() || (op == "max" ? v.compare(best) > 0 : v.compare(best) < 0)) best = v;
        }
        return best;
    }
    raiseUndefinedKey(array, op, Access::Get);
}

}  // namespace

Value valueForKey(const Object& object, const std::string& key) {
    if (const ClassInfo* cls = classOf(object)) {
        if (const KeyValueHandler* handler = cls->keyValueHandler(); handler && handler->get) {
            Value out;
            if (handler->get(object, key, out)) return out;
        }
        if (const PropertyInfo* p = readableProperty(cls, key)) return p->get(object);
    }
    if (key == "self") return objectValue(object);
    if (key == "description") return Value(object.description());
    raiseUndefinedKey(object, key, Access::Get);
}

const PropertyInfo* propertyForGettingKey(const ClassInfo* cls, std::string_view key) {
    return cls ? readableProperty(cls, key) : nullptr;
}

const PropertyInfo* propertyForSettingKey(const ClassInfo* cls, const std::string& key) {
    return cls ? writableProperty(cls, key) : nullptr;
}

void setValueForKey(Object& object, const Value& value, const std::string& key) {
    if (const ClassInfo* cls = classOf(object)) {
        if (const KeyValueHandler* handler = cls->keyValueHandler(); handler && handler->set) {
            if (handler->set(object, key, value)) return;
        }
        if (const PropertyInfo* p = writableProperty(cls, key)) {
            p->set(object, value);
            return;
        }
    }
    raiseUndefinedKey(object, key, Access::Set);
}

Value valueForKey(const Value& target, const std::string& key) {
    switch (target.type()) {
        case Value::Type::Nil:
            return Value();
        case Value::Type::Dictionary:
            if (!key.empty() && key[0] == '@') {
                if (key == "@count") return countOf(target);
                raiseUndefinedKey(target, key.substr(1), Access::Get);
            }
            return target.dictionary().get(key);
        case Value::Type::Array: {
            if (!key.empty() && key[0] == '@') {
                if (key == "@count") return countOf(target);
                raiseUndefinedKey(target, key.substr(1), Access::Get);
            }
            Array out;
            out.reserve(target.array().size());
            for (const Value& element : target.array()) {
                Value v = valueForKey(element, key);
                out.push_back(v.isNil() ? Value::null() : std::move(v));
            }
            return Value(std::move(out));
        }
        case Value::Type::Object:
            return valueForKey(*target.object(), key);
        default:
            if (key == "self") return target;
            if (key == "description") return Value(target.description());
            raiseUndefinedKey(target, key, Access::Get);
    }
}

void setValueForKey(Value& target, const Value& value, const std::string& key) {
    switch (target.type()) {
        case Value::Type::Nil:
            return;
        case Value::Type::Dictionary:
            target.mutableDictionary().set(key, value);
            return;
        case Value::Type::Array:
            for (Value& element : target.mutableArray()) setValueForKey(element, value, key);
            return;
        case Value::Type::Object:
            setValueForKey(*target.object(), value, key);
            return;
        default:
            raiseUndefinedKey(target, key, Access::Set);
    }
}

Value valueForKeyPath(const Value& target, const std::string& keyPath) {
    auto [first, rest] = splitPath(keyPath);
    if (target.isArray() && !first.empty() && first[0] == '@') return collectionOperator(target, first.substr(1), rest);
    Value v = valueForKey(target, first);
    return rest.empty() ? v : valueForKeyPath(v, rest);
}

Value valueForKeyPath(const Object& object, const std::string& keyPath) {
    auto [first, rest] = splitPath(keyPath);
    Value v = valueForKey(object, first);
    return rest.empty() ? v : valueForKeyPath(v, rest);
}

void setValueForKeyPath(Object& object, const Value& value, const std::string& keyPath) {
    auto [first, rest] = splitPath(keyPath);
    if (rest.empty()) {
        setValueForKey(object, value, first);
        return;
    }
    Value inner = valueForKey(object, first);
    if (inner.isNil()) return;
    if (inner.isObject()) {
        setValueForKeyPath(*inner.object(), value, rest);
        return;
    }
    setValueForKeyPath(inner, value, rest);
    // A dictionary (or array) held by value: the object gets the updated one back.
    setValueForKey(object, inner, first);
}

void setValueForKeyPath(Value& target, const Value& value, const std::string& keyPath) {
    auto [first, rest] = splitPath(keyPath);
    if (rest.empty()) {
        setValueForKey(target, value, first);
        return;
    }
    switch (target.type()) {
        case Value::Type::Nil:
            return;
        case Value::Type::Dictionary: {
            const Value* existing = target.dictionary().find(first);
            if (!existing || existing->isNil()) return;
            if (existing->isObject()) {
                setValueForKeyPath(*existing->object(), value, rest);
                return;
            }
            setValueForKeyPath(target.mutableDictionary().at(first), value, rest);
            return;
        }
        case Value::Type::Array:
            for (Value& element : target.mutableArray()) setValueForKeyPath(element, value, keyPath);
            return;
        case Value::Type::Object:
            setValueForKeyPath(*target.object(), value, keyPath);
            return;
        default:
            raiseUndefinedKey(target, first, Access::Get);
    }
}

Dictionary dictionaryWithValuesForKeys(const Object& object, const std::vector<std::string>& keys) {
    Dictionary out;
    for (const std::string& key : keys) {
        Value v = valueForKey(object, key);
        out.set(key, v.isNil() ? Value::null() : std::move(v));
    }
    return out;
}

void setValuesForKeysWithDictionary(Object& object, const Dictionary& values) {
    for (const auto& [key, value] : values) {
        setValueForKey(object, value.isNull() ? Value() : value, key);
    }
}

bool validateValueForKey(Object& object, Value& value, const std::string& key, Ref<Error>* error) {
    const ClassInfo* cls = classOf(object);
    if (!cls) return true;
    const std::function<ValidateHook>* hook = cls->findInstanceHook<ValidateHook>(selectorName("validate", key, ":error:"));
    if (!hook) return true;
    return (*hook)(object, value, error);
}

}  // namespace lv
