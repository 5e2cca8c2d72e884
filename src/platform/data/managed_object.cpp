#include "platform/data/managed_object.h"

#include <algorithm>
#include <unordered_set>
#include <cstddef>
#include <typeinfo>
#include <utility>

#include "platform/base/error.h"
#include "platform/data/context.h"
#include "platform/data/detail/context_impl.h"

namespace lv {

namespace {

[[noreturn]] void raiseUnknownKey(const ManagedObject& o, const std::string& key, bool setting) {
    Dictionary info{{"NSUnknownUserInfoKey", Value(key)}};
    const std::string entityName = o.entity() ? o.entity()->name() : std::string("(null)");
    Exception::raise(std::string(kUndefinedKeyException),
                     "[<" + o.className() + " " + addressText(&o) + "> " +
                         (setting ? "setValue:forUndefinedKey:" : "valueForUndefinedKey:") + "]: the entity " + entityName +
                         " is not key value coding-compliant for the key \"" + key + "\".",
                     std::move(info));
}

std::string classNameOfValue(const Value& v) {
    if (const ClassInfo* cls = classOfValue(v)) return cls->name();
    return "nil";
}

// Whether an attribute of the type accepts the kind of the value (nil always).
bool acceptsKind(AttributeType type, const Value& v) {
    if (v.isNil()) return true;
    switch (type) {
        case AttributeType::Integer16:
        case AttributeType::Integer32:
        case AttributeType::Integer64:
        case AttributeType::Decimal:
        case AttributeType::Double:
        case AttributeType::Float:
        case AttributeType::Boolean: return v.isNumeric();
        case AttributeType::String: return v.isString();
        case AttributeType::Date: return v.isDate();
        case AttributeType::Binary: return v.isData();
        case AttributeType::ObjectID: return static_cast<bool>(v.objectAs<ManagedObjectID>());
        case AttributeType::Transformable:
        case AttributeType::Undefined: return true;
    }
    return true;
}

// Whether the value is already what the attribute stores (no conversion needed).
bool isStoredForm(AttributeType type, const Value& v) {
    if (v.isNil()) return true;
    const Number* n = v.number();
    switch (type) {
        case AttributeType::String: return v.isString();
        case AttributeType::Date: return v.isDate();
        case AttributeType::Binary: return v.isData();
        case AttributeType::Decimal: return v.isDecimal();
        case AttributeType::Integer64: return n && n->kind() == NumberKind::Int64;
        case AttributeType::Integer32: return n && n->kind() == NumberKind::Int32;
        case AttributeType::Integer16: return n && n->kind() == NumberKind::Int16;
        case AttributeType::Boolean: return n && n->kind() == NumberKind::Bool;
        case AttributeType::Double: return n && n->kind() == NumberKind::Double;
        case AttributeType::Float: return n && n->kind() == NumberKind::Float;
        case AttributeType::Transformable:
        case AttributeType::Undefined: return true;
        case AttributeType::ObjectID: return static_cast<bool>(v.objectAs<ManagedObjectID>());
    }
    return false;
}

std::string desiredClassName(const AttributeDescription& a) {
    switch (a.attributeType()) {
        case AttributeType::Decimal: return "DecimalNumber";
        case AttributeType::Integer16:
        case AttributeType::Integer32:
        case AttributeType::Integer64:
        case AttributeType::Double:
        case AttributeType::Float:
        case AttributeType::Boolean: return "Number";
        case AttributeType::String: return "String";
        case AttributeType::Date: return "Date";
        case AttributeType::Binary: return "Data";
        default: return a.attributeValueClassName().empty() ? std::string("Object") : a.attributeValueClassName();
    }
}

[[noreturn]] void raiseUnacceptable(const std::string& what, const std::string& property, const std::string& desired,
                                    const Value& given) {
    Exception::raise(std::string(kInvalidArgumentException),
                     "Unacceptable type of value for " + what + ": property = \"" + property + "\"; desired type = " + desired +
                         "; given type = " + classNameOfValue(given) + "; value = " + given.description() + ".");
}

bool containsID(const Array& ids, const Ref<ManagedObjectID>& id) {
    SameRecord eq;
    return std::any_of(ids.begin(), ids.end(), [&](const Value& v) { return eq(v.objectAs<ManagedObjectID>(), id); });
}

}  // namespace

const ClassInfo* ManagedObject::runtimeClass() {
    static const ClassInfo* cls =
        ClassDef<ManagedObject>("ManagedObject")
            .factory()
            .keyValueHandler(KeyValueHandler{
                [](const Object& object, const std::string& key, Value& out) {
                    const auto& o = static_cast<const ManagedObject&>(object);
                    if (const int index = o.entity_ ? o.entity_->propertyIndex(key) : -1; index >= 0) {
                        out = o.valueAtIndex(static_cast<std::size_t>(index));
                        return true;
                    }
                    const ClassInfo* own = classOf(object);
                    if ((own && own->findProperty(key)) || key == "self" || key == "description") return false;
                    raiseUnknownKey(o, key, false);
                },
                [](Object& object, const std::string& key, const Value& value) {
                    auto& o = static_cast<ManagedObject&>(object);
                    if (const int index = o.entity_ ? o.entity_->propertyIndex(key) : -1; index >= 0) {
                        o.setValueAtIndex(static_cast<std::size_t>(index), value);
                        return true;
                    }
                    const ClassInfo* own = classOf(object);
                    if (own && own->findProperty(key)) return false;
                    raiseUnknownKey(o, key, true);
                }})
            .registerClass();
    return cls;
}

ManagedObject::ManagedObject() {
    runtimeClass();
    slots_.fill(kNoSlot);
}

ManagedObject::~ManagedObject() = default;

Ref<ManagedObject> ManagedObject::insertNewObject(std::string_view entityName, const Ref<ManagedObjectContext>& context) {
    if (!context) return nullptr;
    auto entity = ContextAccess::impl(*context).entityNamed(entityName);
    if (!entity) return nullptr;
    return make(entity, context);
}

Ref<ManagedObject> ManagedObject::make(const Ref<EntityDescription>& entity, const Ref<ManagedObjectContext>& context) {
    if (!entity) return nullptr;
    Ref<ManagedObject> o = data_detail::makeRecordInstance(entity);
    o->bind(entity, ManagedObjectID::makeTemporary(entity));
    // The properties are the attributes, then the relationships, by index.
    const auto& attributes = entity->attributes();
    for (std::size_t i = 0; i < attributes.size(); ++i) {
        const AttributeDescription& a = *attributes[i];
        if (!a.defaultValue().isNil()) {
            auto coerced = coerceAttributeValue(a.attributeType(), a.defaultValue());
            o->values_[i] = coerced ? *coerced : a.defaultValue();
        }
    }
    const auto& relationships = entity->relationships();
    for (std::size_t r = 0; r < relationships.size(); ++r) {
        if (relationships[r]->isToMany()) o->values_[attributes.size() + r] = Value(Array());
    }
    if (context) context->insertObject(o);
    return o;
}

void ManagedObject::bind(Ref<EntityDescription> entity, Ref<ManagedObjectID> id) {
    entity_ = std::move(entity);
    // Cleared and default-constructed (nil): far cheaper than copying a nil into every slot.
    values_.clear();
    values_.resize(entity_->properties().size());
    setID(std::move(id));
}

ManagedObject* ManagedObject::fromObject(Object* object) {
    if (!object) return nullptr;
    // The record part of an object of one most-derived class always lies at the same offset from it.
    struct Last {
        const std::type_info* type = nullptr;
        bool record = false;
        std::ptrdiff_t offset = 0;
    };
    thread_local Last last;
    const std::type_info* type = &typeid(*object);
    if (type != last.type) {
        auto* record = dynamic_cast<ManagedObject*>(object);
        last.type = type;
        last.record = record != nullptr;
        last.offset = record ? reinterpret_cast<char*>(record) - reinterpret_cast<char*>(object) : 0;
    }
    return last.record ? reinterpret_cast<ManagedObject*>(reinterpret_cast<char*>(object) + last.offset) : nullptr;
}

void ManagedObject::setID(Ref<ManagedObjectID> id) {
    sharedID_.store(id, std::memory_order_release);
    id_ = std::move(id);
}

Ref<ManagedObjectID> ManagedObject::objectID() const { return sharedID_.load(std::memory_order_acquire); }

Ref<ManagedObjectContext> ManagedObject::managedObjectContext() const { return context_.lock(); }

void ManagedObject::fire() const {
    if (!fault_) return;
    if (auto context = context_.lock()) {
        ContextAccess::impl(*context).fulfill(ContextAccess::mutableObject(*this));
    } else {
        fault_ = false;
        gone_ = true;
    }
}

void ManagedObject::willAccessValueForKey(const std::string&) const { fire(); }

inline int ManagedObject::indexForKey(const std::string& key, bool setting) const {
    const int i = entity_ ? entity_->propertyIndex(key) : -1;
    if (i < 0) raiseUnknownKey(*this, key, setting);
    return i;
}

Value ManagedObject::relatedValue(std::size_t index) const {
    const auto& r = static_cast<const RelationshipDescription&>(*entity_->properties()[index]);
    auto context = context_.lock();
    if (r.isToMany()) {
        if (values_[index].isNil() && context) {
            ContextAccess::impl(*context).loadToMany(ContextAccess::mutableObject(*this), index);
        }
        Array out;
        if (!context) return Value(out);
        for (const Value& v : values_[index].array()) {
            if (auto o = context->objectWithID(v.objectAs<ManagedObjectID>())) out.push_back(Value(o));
        }
        return Value(std::move(out));
    }
    auto id = values_[index].objectAs<ManagedObjectID>();
    if (!id || !context) return Value();
    return Value(context->objectWithID(id));
}

Value ManagedObject::valueForKey(const std::string& key) const {
    return valueAtIndex(static_cast<std::size_t>(indexForKey(key, false)));
}

Value ManagedObject::valueAtIndex(std::size_t index) const {
    fire();
    if (entity_->properties()[index]->isRelationship()) return relatedValue(index);
    return values_[index];
}

template <class V>
[[gnu::always_inline]] inline void ManagedObject::storeAttribute(std::size_t index, V&& stored) {
    Value& slot = values_[index];
    if (slot.type() == stored.type() && slot.isEqual(stored)) return;
    if (registered_ && !(inserted_ && slots_[kNoteInserted] != kNoSlot)) [[unlikely]] {  // else nothing new to announce
        if (auto context = context_.lock()) ContextAccess::impl(*context).willChange(*this);
    }
    slot = std::forward<V>(stored);
}

void ManagedObject::setValueForKey(const Value& value, const std::string& key) {
    setValueAtIndex(static_cast<std::size_t>(indexForKey(key, true)), value);
}

void ManagedObject::setValueAtIndex(std::size_t index, const Value& value) {
    if (fault_) fire();
    if (index >= entity_->attributes().size()) {  // attributes come first among the properties
        setRelationshipValue(index, value);
        return;
    }
    const AttributeDescription& a = *entity_->attributes()[index];
    // A value already in the stored form is compared and copied as it is (no temporary, no call).
    if (isStoredForm(a.attributeType(), value)) [[likely]] {
        storeAttribute(index, value);
        return;
    }
    setConvertedAttribute(index, value);
}

void ManagedObject::setConvertedAttribute(std::size_t index, const Value& value) {
    const AttributeDescription& a = *entity_->attributes()[index];
    if (!acceptsKind(a.attributeType(), value)) raiseUnacceptable("attribute", a.name(), desiredClassName(a), value);
    if (auto coerced = coerceAttributeValue(a.attributeType(), value)) storeAttribute(index, std::move(*coerced));
    else storeAttribute(index, value);
}

void ManagedObject::setRelationshipValue(std::size_t index, const Value& value) {
    const auto& r = static_cast<const RelationshipDescription&>(*entity_->properties()[index]);
    auto context = context_.lock();
    auto check = [&](const Value& item) -> Ref<ManagedObjectID> {
        auto related = item.objectAs<ManagedObject>();
        if (!related || !related->entity_ || related->entity_->name() != r.destinationEntityName()) {
            raiseUnacceptable(r.isToMany() ? "to-many relationship" : "to-one relationship", r.name(), r.destinationEntityName(),
                              item);
        }
        if (related->context_.lock() != context) {
            Exception::raise(std::string(kInvalidArgumentException),
                             "Illegal attempt to establish a relationship '" + r.name() +
                                 "' between objects in different contexts");
        }
        return related->id_;
    };
    if (!r.isToMany()) {
        setRelationshipIDs(index, value.isNil() ? Value() : Value(check(value)), true);
        return;
    }
    if (!value.isNil() && !value.isArray()) raiseUnacceptable("to-many relationship", r.name(), "Array", value);
    Array ids;
    if (value.isArray()) {
        for (const Value& item : value.array()) {
            auto id = check(item);
            if (!containsID(ids, id)) ids.push_back(Value(id));
        }
    }
    setRelationshipIDs(index, Value(std::move(ids)), true);
}

void ManagedObject::addObject(const Ref<ManagedObject>& object, const std::string& relationship) {
    Array current = valueForKey(relationship).array();
    if (std::find_if(current.begin(), current.end(), [&](const Value& v) { return v.objectAs<ManagedObject>() == object; }) !=
        current.end()) {
        return;
    }
    current.push_back(Value(object));
    setValueForKey(Value(std::move(current)), relationship);
}

void ManagedObject::removeObject(const Ref<ManagedObject>& object, const std::string& relationship) {
    Array current = valueForKey(relationship).array();
    current.erase(std::remove_if(current.begin(), current.end(), [&](const Value& v) { return v.objectAs<ManagedObject>() == object; }),
                  current.end());
    setValueForKey(Value(std::move(current)), relationship);
}

void ManagedObject::setRelationshipIDs(std::size_t index, const Value& ids, bool maintainInverse) {
    const auto& r = static_cast<const RelationshipDescription&>(*entity_->properties()[index]);
    fire();
    auto context = context_.lock();
    if (r.isToMany() && values_[index].isNil() && context) {
        ContextAccess::impl(*context).loadToMany(*this, index);
    }
    const Value old = values_[index];
    SameRecord eq;
    if (r.isToMany()) {
        const Array& a = old.array();
        const Array& b = ids.array();
        bool same = a.size() == b.size();
        for (std::size_t i = 0; same && i < a.size(); ++i) same = eq(a[i].objectAs<ManagedObjectID>(), b[i].objectAs<ManagedObjectID>());
        if (same && !old.isNil()) return;
    } else if (eq(old.objectAs<ManagedObjectID>(), ids.objectAs<ManagedObjectID>())) {
        return;
    }
    if (context && registered_) ContextAccess::impl(*context).willChange(*this);
    values_[index] = ids;
    if (!maintainInverse || !context) return;
    auto inverse = r.inverseRelationship();
    if (!inverse) return;
    auto destination = r.destinationEntity();
    const int inverseIndex = destination ? destination->propertyIndex(inverse->name()) : -1;
    if (inverseIndex < 0) return;
    const auto j = static_cast<std::size_t>(inverseIndex);
    std::vector<Ref<ManagedObjectID>> removed;
    std::vector<Ref<ManagedObjectID>> added;
    auto asList = [](const Value& v) {
        std::vector<Ref<ManagedObjectID>> out;
        if (v.isArray()) {
            for (const Value& x : v.array()) out.push_back(x.objectAs<ManagedObjectID>());
        } else if (auto id = v.objectAs<ManagedObjectID>()) {
            out.push_back(id);
        }
        return out;
    };
    const auto before = asList(old);
    const auto after = asList(ids);
    // Compared by canonical IDs in hash sets: a change of a long list costs its length, not its square.
    using CanonicalIDs = std::unordered_set<Ref<ManagedObjectID>, IDHash, IDEqual>;
    auto canonicalSet = [](const std::vector<Ref<ManagedObjectID>>& list) {
        CanonicalIDs set;
        set.reserve(list.size());
        for (const auto& id : list) set.insert(data_detail::canonicalID(id));
        return set;
    };
    const CanonicalIDs beforeSet = canonicalSet(before);
    const CanonicalIDs afterSet = canonicalSet(after);
    for (const auto& id : before) {
        if (!afterSet.contains(data_detail::canonicalID(id))) removed.push_back(id);
    }
    for (const auto& id : after) {
        if (!beforeSet.contains(data_detail::canonicalID(id))) added.push_back(id);
    }
    // The other side of the relationship, loaded (its to-many list too), or nullptr when it is gone.
    auto counterpart = [&](const Ref<ManagedObjectID>& id) -> Ref<ManagedObject> {
        auto other = context->objectWithID(id);
        if (!other || other->deleted_) return nullptr;
        other->fire();
        if (other->gone_) return nullptr;
        if (inverse->isToMany() && other->values_[j].isNil()) ContextAccess::impl(*context).loadToMany(*other, j);
        return other;
    };
    for (const auto& id : removed) {
        auto other = counterpart(id);
        if (!other) continue;
        if (inverse->isToMany()) {
            Array list = other->values_[j].array();
            list.erase(std::remove_if(list.begin(), list.end(), [&](const Value& v) { return eq(v.objectAs<ManagedObjectID>(), id_); }),
                       list.end());
            other->setRelationshipIDs(j, Value(std::move(list)), false);
        } else if (eq(other->values_[j].objectAs<ManagedObjectID>(), id_)) {
            other->setRelationshipIDs(j, Value(), false);
        }
    }
    for (const auto& id : added) {
        auto other = counterpart(id);
        if (!other) continue;
        if (inverse->isToMany()) {
            Array list = other->values_[j].array();
            if (!containsID(list, id_)) list.push_back(Value(id_));
            other->setRelationshipIDs(j, Value(std::move(list)), false);
        } else {
            // The other record leaves its previous owner for this one.
            other->setRelationshipIDs(j, Value(id_), true);
        }
    }
}

Dictionary ManagedObject::changedValues() const {
    Dictionary out;
    if (!entity_) return out;
    const auto& properties = entity_->properties();
    for (std::size_t i = 0; i < properties.size(); ++i) {
        bool changed;
        if (inserted_) changed = !values_[i].isNil() && !(values_[i].isArray() && values_[i].array().empty());
        else if (committed_.empty()) changed = false;
        else changed = !(committed_[i].type() == values_[i].type() && committed_[i].isEqual(values_[i]));
        if (!changed) continue;
        Value v = properties[i]->isRelationship() ? relatedValue(i) : values_[i];
        out.set(properties[i]->name(), v.isNil() ? Value::null() : std::move(v));
    }
    return out;
}

Dictionary ManagedObject::committedValuesForKeys(const std::vector<std::string>& keys) const {
    Dictionary out;
    if (!entity_) return out;
    fire();
    const std::vector<Value>& source = committed_.empty() ? values_ : committed_;
    auto put = [&](std::size_t i) {
        const Value& v = source[i];
        out.set(entity_->properties()[i]->name(), v.isNil() ? Value::null() : v);
    };
    if (keys.empty()) {
        for (std::size_t i = 0; i < source.size(); ++i) put(i);
    } else {
        for (const auto& k : keys) put(static_cast<std::size_t>(indexForKey(k, false)));
    }
    return out;
}

std::string ManagedObject::description() const {
    const std::string entityName = entity_ ? entity_->name() : std::string("(null)");
    std::string out = "<" + className() + ": " + addressText(this) + "> (entity: " + entityName +
                      "; id: " + (id_ ? id_->description() : std::string("(null)")) + "; data: ";
    if (fault_) return out + "<fault>)";
    out += "{\n";
    if (entity_) {
        const auto& properties = entity_->properties();
        for (std::size_t i = 0; i < properties.size(); ++i) {
            out += "    " + properties[i]->name() + " = ";
            const Value& v = values_[i];
            if (v.isNil()) {
                out += "nil";
            } else if (properties[i]->isRelationship() && v.isArray()) {
                out += "<relationship fault: " + std::to_string(v.array().size()) + " objects>";
            } else if (auto id = v.objectAs<ManagedObjectID>()) {
                out += id->description();
            } else {
                std::string text;
                v.appendDescription(text, 1);
                out += text;
            }
            out += ";\n";
        }
    }
    return out + "})";
}

}  // namespace lv
