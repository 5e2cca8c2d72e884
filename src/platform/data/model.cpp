#include "platform/data/model.h"

// The plain SHA-256 functions (deprecated in favour of the EVP interface) digest without starting the
// library's provider machinery, whose first use reads the configuration file and loads providers:
// opening a store at launch would pay milliseconds for one small digest per entity.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

#include "platform/data/errors.h"
#include "platform/storage/bundle.h"
#include "platform/storage/file_manager.h"
#include "platform/storage/json.h"

namespace lv {

namespace {

struct TypeName {
    AttributeType type;
    std::string_view name;
};
constexpr TypeName kTypeNames[] = {
    {AttributeType::Undefined, "undefined"},   {AttributeType::Integer16, "integer16"},
    {AttributeType::Integer32, "integer32"},   {AttributeType::Integer64, "integer64"},
    {AttributeType::Decimal, "decimal"},       {AttributeType::Double, "double"},
    {AttributeType::Float, "float"},           {AttributeType::String, "string"},
    {AttributeType::Boolean, "boolean"},       {AttributeType::Date, "date"},
    {AttributeType::Binary, "binary"},         {AttributeType::Transformable, "transformable"},
    {AttributeType::ObjectID, "objectID"},
};

struct RuleName {
    DeleteRule rule;
    std::string_view name;
};
constexpr RuleName kRuleNames[] = {
    {DeleteRule::NoAction, "noAction"},
    {DeleteRule::Nullify, "nullify"},
    {DeleteRule::Cascade, "cascade"},
    {DeleteRule::Deny, "deny"},
};

Ref<Error> modelError(std::string message) {
    return Error::make(std::string(kCocoaErrorDomain), kObjectStoreError,
                       Dictionary{{std::string(kLocalizedDescriptionKey), Value(std::move(message))}});
}

}  // namespace

std::string_view attributeTypeName(AttributeType type) {
    for (const auto& t : kTypeNames) {
        if (t.type == type) return t.name;
    }
    return "undefined";
}

std::optional<AttributeType> attributeTypeNamed(std::string_view name) {
    for (const auto& t : kTypeNames) {
        if (t.name == name) return t.type;
    }
    return std::nullopt;
}

bool isNumericAttributeType(AttributeType type) {
    return isIntegerAttributeType(type) || type == AttributeType::Decimal || type == AttributeType::Double ||
           type == AttributeType::Float || type == AttributeType::Boolean;
}

// ---- AttributeDescription ----

AttributeDescription::AttributeDescription(std::string name, AttributeType type, bool optional) : type_(type) {
    name_ = std::move(name);
    optional_ = optional;
}

std::string AttributeDescription::attributeValueClassName() const {
    if (!valueClassName_.empty()) return valueClassName_;
    switch (type_) {
        case AttributeType::Integer16:
        case AttributeType::Integer32:
        case AttributeType::Integer64:
        case AttributeType::Double:
        case AttributeType::Float:
        case AttributeType::Boolean: return "Number";
        case AttributeType::Decimal: return "DecimalNumber";
        case AttributeType::String: return "String";
        case AttributeType::Date: return "Date";
        case AttributeType::Binary: return "Data";
        default: return {};
    }
}

std::string AttributeDescription::description() const {
    return "(<AttributeDescription>), name " + name_ + ", isOptional " + (optional_ ? "1" : "0") +
           ", attributeType " + std::to_string(static_cast<int>(type_)) + ", attributeValueClassName " +
           attributeValueClassName() + ", defaultValueAsString " + defaultValue_.description();
}

// ---- RelationshipDescription ----

RelationshipDescription::RelationshipDescription(std::string name, std::string destinationEntityName, bool toMany)
    : destinationName_(std::move(destinationEntityName)), toMany_(toMany) {
    name_ = std::move(name);
}

Ref<EntityDescription> RelationshipDescription::destinationEntity() const {
    Ref<EntityDescription> owner = entity();
    if (!owner) return nullptr;
    Ref<ManagedObjectModel> model = owner->managedObjectModel();
    if (!model) return nullptr;
    return model->entityNamed(destinationName_);
}

Ref<RelationshipDescription> RelationshipDescription::inverseRelationship() const {
    if (inverseName_.empty()) return nullptr;
    Ref<EntityDescription> destination = destinationEntity();
    return destination ? destination->relationshipNamed(inverseName_) : nullptr;
}

std::string RelationshipDescription::description() const {
    return "(<RelationshipDescription>), name " + name_ + ", isOptional " + (optional_ ? "1" : "0") +
           ", destination entity " + destinationName_ + ", inverse relationship " + inverseName_ +
           ", isToMany " + (toMany_ ? "1" : "0") + ", isOrdered " + (ordered_ ? "1" : "0");
}

// ---- EntityDescription ----

EntityDescription::EntityDescription(std::string name, std::string managedObjectClassName)
    : name_(std::move(name)), nameHash_(std::hash<std::string>{}(name_)), className_(std::move(managedObjectClassName)) {}

// Whatever was kept about this entity must not be taken for another one made at its address.
EntityDescription::~EntityDescription() { data_detail::noteEntityEdit(); }

void EntityDescription::addAttribute(Ref<AttributeDescription> attribute) {
    const bool replaced = eraseProperty(attribute->name());
    attribute->entity_ = std::static_pointer_cast<EntityDescription>(shared_from_this());
    attributes_.push_back(std::move(attribute));
    // Attributes come before relationships: a new one goes at the end only while there are none.
    if (replaced || !relationships_.empty()) {
        rebuildIndex();
    } else {
        appendToIndex(attributes_.back());
    }
}

void EntityDescription::addRelationship(Ref<RelationshipDescription> relationship) {
    const bool replaced = eraseProperty(relationship->name());
    relationship->entity_ = std::static_pointer_cast<EntityDescription>(shared_from_this());
    relationships_.push_back(std::move(relationship));
    if (replaced) {
        rebuildIndex();
    } else {
        appendToIndex(relationships_.back());
    }
}

void EntityDescription::removeProperty(std::string_view name) { eraseProperty(name); }

bool EntityDescription::eraseProperty(std::string_view name) {
    auto named = [&](const auto& p) { return p->name() == name; };
    const bool removed = std::erase_if(attributes_, named) + std::erase_if(relationships_, named) > 0;
    if (removed) rebuildIndex();
    return removed;
}

void EntityDescription::appendToIndex(const Ref<PropertyDescription>& property) {
    data_detail::noteEntityEdit();
    properties_.push_back(property);
    if (nameSlots_.size() < 2 * properties_.size()) {
        rebuildIndex();  // the table stays at most half full
        return;
    }
    const std::string& name = property->name();
    const PackedName packed = packName(name);
    for (std::uint64_t s = nameHash(packed) & nameMask_;; s = (s + 1) & nameMask_) {
        NameSlot& slot = nameSlots_[s];
        if (slot.index < 0) {
            slot = NameSlot{packed, name, static_cast<int>(properties_.size() - 1)};
            return;
        }
        if (slot.name == name) return;  // the first property of a name keeps it
    }
}

void EntityDescription::rebuildIndex() {
    data_detail::noteEntityEdit();
    properties_.clear();
    for (const auto& a : attributes_) properties_.push_back(a);
    for (const auto& r : relationships_) properties_.push_back(r);
    std::size_t size = 8;
    while (size < 2 * properties_.size()) size *= 2;
    nameSlots_.assign(size, NameSlot{});
    nameMask_ = size - 1;
    const std::uint64_t mask = size - 1;
    for (std::size_t i = 0; i < properties_.size(); ++i) {
        const std::string& name = properties_[i]->name();
        const PackedName packed = packName(name);
        for (std::uint64_t s = nameHash(packed) & mask;; s = (s + 1) & mask) {
            NameSlot& slot = nameSlots_[s];
            if (slot.index < 0) {
                slot = NameSlot{packed, name, static_cast<int>(i)};
                break;
            }
            if (slot.name == name) break;  // the first property of a name keeps it
        }
    }
}

int EntityDescription::longPropertyIndex(std::string_view name, std::size_t from) const {
    const PackedName packed = packName(name);
    for (std::size_t s = from;; s = (s + 1) & nameMask_) {
        const NameSlot& slot = nameSlots_[s];
        if (slot.index < 0) return -1;
        if (slot.packed == packed && slot.name == name) return slot.index;
    }
}

Ref<PropertyDescription> EntityDescription::propertyNamed(std::string_view name) const {
    const int i = propertyIndex(name);
    return i < 0 ? nullptr : properties_[static_cast<std::size_t>(i)];
}

Ref<AttributeDescription> EntityDescription::attributeNamed(std::string_view name) const {
    return std::dynamic_pointer_cast<AttributeDescription>(propertyNamed(name));
}

Ref<RelationshipDescription> EntityDescription::relationshipNamed(std::string_view name) const {
    return std::dynamic_pointer_cast<RelationshipDescription>(propertyNamed(name));
}

Dictionary EntityDescription::attributesByName() const {
    Dictionary d;
    for (const auto& a : attributes_) d.set(a->name(), Value(a));
    return d;
}

Dictionary EntityDescription::relationshipsByName() const {
    Dictionary d;
    for (const auto& r : relationships_) d.set(r->name(), Value(r));
    return d;
}

Dictionary EntityDescription::propertiesByName() const {
    Dictionary d;
    for (const auto& p : properties_) d.set(p->name(), Value(p));
    return d;
}

Bytes EntityDescription::versionHash() const {
    // Canonical text: the entity name, then the properties sorted by name.
    std::vector<std::string> parts;
    for (const auto& a : attributes_) {
        parts.push_back("a\x1f" + a->name() + "\x1f" + std::to_string(static_cast<int>(a->attributeType())) + "\x1f" +
                        (a->isOptional() ? "1" : "0"));
    }
    for (const auto& r : relationships_) {
        parts.push_back("r\x1f" + r->name() + "\x1f" + r->destinationEntityName() + "\x1f" + (r->isToMany() ? "1" : "0") +
                        "\x1f" + (r->isOrdered() ? "1" : "0") + "\x1f" + (r->isOptional() ? "1" : "0"));
    }
    // By the text after the kind mark ("a\x1f", "r\x1f"), compared in place rather than copied out.
    std::sort(parts.begin(), parts.end(), [](const std::string& a, const std::string& b) {
        return std::string_view(a).substr(2) < std::string_view(b).substr(2);
    });
    std::string text = "entity\x1e" + name_;
    for (const auto& p : parts) text += "\x1e" + p;
    Bytes digest(SHA256_DIGEST_LENGTH);
    SHA256_CTX context;
    SHA256_Init(&context);
    SHA256_Update(&context, text.data(), text.size());
    SHA256_Final(digest.data(), &context);
    return digest;
}

Ref<EntityDescription> EntityDescription::copy() const {
    auto e = EntityDescription::make(name_, className_);
    e->userInfo_ = userInfo_;
    for (const auto& a : attributes_) {
        auto c = AttributeDescription::make(a->name(), a->attributeType(), a->isOptional());
        c->setUserInfo(a->userInfo());
        c->setDefaultValue(a->defaultValue());
        c->setValueTransformerName(a->valueTransformerName());
        c->valueClassName_ = a->valueClassName_;
        e->addAttribute(c);
    }
    for (const auto& r : relationships_) {
        auto c = RelationshipDescription::make(r->name(), r->destinationEntityName(), r->isToMany());
        c->setUserInfo(r->userInfo());
        c->setOptional(r->isOptional());
        c->setInverseRelationshipName(r->inverseRelationshipName());
        c->setOrdered(r->isOrdered());
        c->setDeleteRule(r->deleteRule());
        e->addRelationship(c);
    }
    return e;
}

std::string EntityDescription::description() const {
    std::string out = "(<EntityDescription>) name " + name_ + ", managedObjectClassName " + managedObjectClassName() +
                      ", properties {";
    for (const auto& p : properties_) out += "\n    " + p->name() + " = " + p->description() + ";";
    out += "\n}";
    return out;
}

// ---- ManagedObjectModel ----

void ManagedObjectModel::addEntity(Ref<EntityDescription> entity) {
    std::erase_if(entities_, [&](const auto& e) { return e->name() == entity->name(); });
    entity->model_ = std::static_pointer_cast<ManagedObjectModel>(shared_from_this());
    entities_.push_back(std::move(entity));
}

Ref<EntityDescription> ManagedObjectModel::entityNamed(std::string_view name) const {
    for (const auto& e : entities_) {
        if (e->name() == name) return e;
    }
    return nullptr;
}

Dictionary ManagedObjectModel::entitiesByName() const {
    Dictionary d;
    for (const auto& e : entities_) d.set(e->name(), Value(e));
    return d;
}

Dictionary ManagedObjectModel::entityVersionHashesByName() const {
    Dictionary d;
    for (const auto& e : entities_) d.set(e->name(), Value(e->versionHash()));
    return d;
}

bool ManagedObjectModel::isCompatibleWithVersionHashes(const Dictionary& hashes) const {
    if (hashes.size() != entities_.size()) return false;
    for (const auto& e : entities_) {
        const Value& h = hashes.get(e->name());
        if (!h.isData() || h.bytes() != e->versionHash()) return false;
    }
    return true;
}

bool ManagedObjectModel::validate(Ref<Error>* error) const {
    std::set<std::string> names;
    for (const auto& e : entities_) {
        if (e->name().empty() || e->name()[0] == '_') {
            setError(error, modelError("invalid entity name \"" + e->name() + "\""));
            return false;
        }
        if (!names.insert(e->name()).second) {
            setError(error, modelError("duplicate entity name \"" + e->name() + "\""));
            return false;
        }
        for (const auto& p : e->properties()) {
            if (p->name().empty() || p->name()[0] == '_') {
                setError(error, modelError("invalid property name \"" + p->name() + "\" in entity " + e->name()));
                return false;
            }
        }
        for (const auto& r : e->relationships()) {
            if (!entityNamed(r->destinationEntityName())) {
                setError(error, modelError("relationship " + e->name() + "." + r->name() +
                                           " has an unknown destination \"" + r->destinationEntityName() + "\""));
                return false;
            }
            if (!r->inverseRelationshipName().empty() && !r->inverseRelationship()) {
                setError(error, modelError("relationship " + e->name() + "." + r->name() + " has an unknown inverse \"" +
                                           r->inverseRelationshipName() + "\""));
                return false;
            }
        }
    }
    return true;
}

namespace {

Value defaultValueFromJSON(AttributeType type, const Value& v) {
    if (v.isNilOrNull()) return Value();
    switch (type) {
        case AttributeType::Decimal:
            if (v.isString()) {
                auto d = Decimal::parse(v.string());
                return d ? Value(*d) : Value();
            }
            return v.isNumber() ? Value(Decimal::fromNumber(*v.number())) : Value();
        case AttributeType::Date:
            return v.isNumber() ? Value(Date::fromSinceReferenceDate(v.doubleValue())) : Value();
        default: {
            auto c = coerceAttributeValue(type, v);
            return c ? *c : Value();
        }
    }
}

Value defaultValueToJSON(AttributeType type, const Value& v) {
    if (type == AttributeType::Date && v.isDate()) return Value(v.date()->sinceReferenceDate());
    if (v.isDecimal()) return Value(v.decimal()->stringValue());
    if (v.isData() || v.isObject()) return Value();
    return v;
}

Ref<ManagedObjectModel> modelFromValue(const Value& root, Ref<Error>* error) {
    if (!root.isDictionary() || !root["entities"].isArray()) {
        setError(error, modelError("a model file holds an object with an \"entities\" list"));
        return nullptr;
    }
    auto model = makeRef<ManagedObjectModel>();
    for (const Value& ev : root["entities"].array()) {
        if (!ev["name"].isString()) {
            setError(error, modelError("an entity without a name"));
            return nullptr;
        }
        if (model->entityNamed(ev["name"].string())) {
            setError(error, modelError("duplicate entity name \"" + ev["name"].string() + "\""));
            return nullptr;
        }
        auto entity = EntityDescription::make(ev["name"].string(), ev["className"].isString() ? ev["className"].string() : "");
        if (ev["userInfo"].isDictionary()) entity->setUserInfo(ev["userInfo"].dictionary());
        for (const Value& av : ev["attributes"].array()) {
            auto type = av["type"].isString() ? attributeTypeNamed(av["type"].string()) : std::nullopt;
            if (!av["name"].isString() || !type) {
                setError(error, modelError("entity " + entity->name() + ": an attribute needs a name and a known type"));
                return nullptr;
            }
            const AttributeType attributeType = type.value_or(AttributeType::Undefined);
            auto a = AttributeDescription::make(av["name"].string(), attributeType,
                                                !av["optional"].isNumber() || av["optional"].boolValue());
            a->setDefaultValue(defaultValueFromJSON(attributeType, av["defaultValue"]));
            if (av["valueTransformerName"].isString()) a->setValueTransformerName(av["valueTransformerName"].string());
            if (av["valueClassName"].isString()) a->setAttributeValueClassName(av["valueClassName"].string());
            if (av["userInfo"].isDictionary()) a->setUserInfo(av["userInfo"].dictionary());
            entity->addAttribute(a);
        }
        for (const Value& rv : ev["relationships"].array()) {
            if (!rv["name"].isString() || !rv["destination"].isString()) {
                setError(error, modelError("entity " + entity->name() + ": a relationship needs a name and a destination"));
                return nullptr;
            }
            auto r = RelationshipDescription::make(rv["name"].string(), rv["destination"].string(), rv["toMany"].boolValue());
            r->setOptional(!rv["optional"].isNumber() || rv["optional"].boolValue());
            r->setOrdered(rv["ordered"].boolValue());
            if (rv["inverse"].isString()) r->setInverseRelationshipName(rv["inverse"].string());
            if (rv["deleteRule"].isString()) {
                bool known = false;
                for (const auto& rn : kRuleNames) {
                    if (rn.name == rv["deleteRule"].string()) {
                        r->setDeleteRule(rn.rule);
                        known = true;
                    }
                }
                if (!known) {
                    setError(error, modelError("unknown delete rule \"" + rv["deleteRule"].string() + "\""));
                    return nullptr;
                }
            }
            if (rv["userInfo"].isDictionary()) r->setUserInfo(rv["userInfo"].dictionary());
            entity->addRelationship(r);
        }
        model->addEntity(entity);
    }
    if (!model->validate(error)) return nullptr;
    return model;
}

}  // namespace

Ref<ManagedObjectModel> ManagedObjectModel::modelFromText(std::string_view json, Ref<Error>* error) {
    Ref<Error> jsonError;
    Value root = JSONSerialization::JSONObjectWithData(json, 0, &jsonError);
    if (root.isNil()) {
        Ref<Error> e = modelError("the model text is not valid JSON");
        if (jsonError) {
            Dictionary info = e->userInfo();
            info.set(std::string(kUnderlyingErrorKey), Value(jsonError));
            e = Error::make(e->domain(), e->code(), std::move(info));
        }
        setError(error, e);
        return nullptr;
    }
    return modelFromValue(root, error);
}

Ref<ManagedObjectModel> ManagedObjectModel::modelWithContentsOfFile(const std::filesystem::path& path, Ref<Error>* error) {
    // A model file is text of a few kilobytes: anything but a regular file (a FIFO, a device), or a
    // file past this, is not read.
    constexpr std::size_t kMostModelBytes = 16u << 20;
    const std::optional<Bytes> bytes = dataWithContentsOfFile(path.string(), kMostModelBytes, nullptr);
    if (!bytes) {
        setError(error, Error::make(std::string(kCocoaErrorDomain), 260,
                                    Dictionary{{std::string(kFilePathErrorKey), Value(path.string())}}));
        return nullptr;
    }
    return modelFromText(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()), error);
}

std::string ManagedObjectModel::textRepresentation() const {
    Array entities;
    for (const auto& e : entities_) {
        Dictionary ed{{"name", Value(e->name())}};
        if (e->managedObjectClassName() != e->name()) ed.set("className", Value(e->managedObjectClassName()));
        if (!e->userInfo().empty()) ed.set("userInfo", Value(e->userInfo()));
        Array attributes;
        for (const auto& a : e->attributes()) {
            Dictionary ad{{"name", Value(a->name())},
                          {"type", Value(std::string(attributeTypeName(a->attributeType())))},
                          {"optional", Value(a->isOptional())}};
            ad.set("defaultValue", defaultValueToJSON(a->attributeType(), a->defaultValue()));
            if (!a->valueTransformerName().empty()) ad.set("valueTransformerName", Value(a->valueTransformerName()));
            if (!a->userInfo().empty()) ad.set("userInfo", Value(a->userInfo()));
            attributes.push_back(Value(std::move(ad)));
        }
        ed.set("attributes", Value(std::move(attributes)));
        Array relationships;
        for (const auto& r : e->relationships()) {
            Dictionary rd{{"name", Value(r->name())},
                          {"destination", Value(r->destinationEntityName())},
                          {"toMany", Value(r->isToMany())},
                          {"ordered", Value(r->isOrdered())},
                          {"optional", Value(r->isOptional())}};
            if (!r->inverseRelationshipName().empty()) rd.set("inverse", Value(r->inverseRelationshipName()));
            for (const auto& rn : kRuleNames) {
                if (rn.rule == r->deleteRule()) rd.set("deleteRule", Value(std::string(rn.name)));
            }
            if (!r->userInfo().empty()) rd.set("userInfo", Value(r->userInfo()));
            relationships.push_back(Value(std::move(rd)));
        }
        ed.set("relationships", Value(std::move(relationships)));
        entities.push_back(Value(std::move(ed)));
    }
    auto text = JSONSerialization::stringWithJSONObject(Value(Dictionary{{"entities", Value(std::move(entities))}}),
                                                        kJSONWritingPrettyPrinted, nullptr);
    return text ? *text : std::string();
}

Ref<ManagedObjectModel> ManagedObjectModel::modelByMergingModels(const std::vector<Ref<ManagedObjectModel>>& models) {
    auto merged = makeRef<ManagedObjectModel>();
    for (const auto& m : models) {
        if (!m) continue;
        for (const auto& e : m->entities()) {
            if (merged->entityNamed(e->name())) return nullptr;
            merged->addEntity(e->copy());
        }
    }
    return merged;
}

Ref<ManagedObjectModel> ManagedObjectModel::mergedModelFromDirectories(const std::vector<std::filesystem::path>& directories) {
    std::vector<Ref<ManagedObjectModel>> models;
    for (const auto& dir : directories) {
        std::error_code ec;
        std::vector<std::filesystem::path> files;
        for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
            if (entry.path().extension() == "." + std::string(kModelFileExtension)) files.push_back(entry.path());
        }
        std::sort(files.begin(), files.end());
        for (const auto& file : files) {
            auto model = modelWithContentsOfFile(file, nullptr);
            if (!model) return nullptr;
            models.push_back(model);
        }
    }
    return modelByMergingModels(models);
}

Ref<ManagedObjectModel> ManagedObjectModel::mergedModelFromBundles(const std::vector<Ref<Bundle>>& bundles) {
    std::vector<Ref<Bundle>> list = bundles;
    if (list.empty()) list.push_back(Bundle::mainBundle());
    std::vector<Ref<ManagedObjectModel>> models;
    for (const auto& bundle : list) {
        if (!bundle) continue;
        for (const auto& path : bundle->pathsForResourcesOfType(kModelFileExtension, {})) {
            auto model = modelWithContentsOfFile(path, nullptr);
            if (!model) return nullptr;
            models.push_back(model);
        }
    }
    // One file's model, made here and held by nothing else, is the merged model itself: copying its
    // entities would give the same model.
    if (models.size() == 1) return models.front();
    return modelByMergingModels(models);
}

std::string ManagedObjectModel::description() const {
    std::string out = "(<ManagedObjectModel>) entities {";
    for (const auto& e : entities_) out += "\n    " + e->name() + " = " + e->description() + ";";
    out += "\n}";
    return out;
}

// ---- value coercion ----

int integerRangeOverflow(AttributeType type, const Value& value) {
    int bits = 0;
    switch (type) {
        case AttributeType::Integer16: bits = 16; break;
        case AttributeType::Integer32: bits = 32; break;
        case AttributeType::Integer64: bits = 64; break;
        default: return 0;
    }
    const std::int64_t max = bits == 64 ? std::numeric_limits<std::int64_t>::max() : (std::int64_t{1} << (bits - 1)) - 1;
    const std::int64_t min = -max - 1;
    if (const Number* n = value.number()) {
        if (n->isFloatingPoint()) {
            const double d = std::trunc(n->doubleValue());
            if (std::isnan(d)) return 0;
            const double limit = std::ldexp(1.0, bits - 1);  // exact: 2^(bits-1)
            return d >= limit ? 1 : d < -limit ? -1 : 0;
        }
        if (n->isUnsigned()) return n->unsignedLongLongValue() > static_cast<std::uint64_t>(max) ? 1 : 0;
        const std::int64_t v = n->longLongValue();
        return v > max ? 1 : v < min ? -1 : 0;
    }
    if (const Decimal* d = value.decimal()) {
        if (d->isNaN()) return 0;
        // Truncation toward zero fits exactly when min - 1 < d < max + 1.
        const Decimal above = Decimal::fromUnsigned(static_cast<std::uint64_t>(max) + 1);
        const Decimal below = Decimal::withMantissa(UInt128{static_cast<std::uint64_t>(max) + 2}, 0, true);
        return d->compare(above) >= 0 ? 1 : d->compare(below) <= 0 ? -1 : 0;
    }
    return 0;
}

std::optional<Value> coerceAttributeValue(AttributeType type, const Value& value) {
    if (value.isNil()) return value;
    switch (type) {
        case AttributeType::Integer16:
        case AttributeType::Integer32:
        case AttributeType::Integer64: {
            if (!value.isNumeric()) return std::nullopt;
            // A number no 64-bit integer holds stays as it is, for saves to refuse. One outside a narrower
            // type's range is kept whole as a 64-bit integer (the column holds it), never wrapped.
            if (integerRangeOverflow(AttributeType::Integer64, value) != 0) return value;
            const std::int64_t v = value.longLongValue();
            const bool fits = integerRangeOverflow(type, value) == 0;
            if (type == AttributeType::Integer16 && fits) return Value(Number::of(static_cast<std::int16_t>(v)));
            if (type == AttributeType::Integer32 && fits) return Value(Number::of(static_cast<std::int32_t>(v)));
            return Value(Number::of(v));
        }
        case AttributeType::Boolean:
            if (!value.isNumeric()) return std::nullopt;
            return Value(value.boolValue());
        case AttributeType::Decimal:
            if (value.isDecimal()) return value;
            if (value.isNumber()) return Value(Decimal::fromNumber(*value.number()));
            return std::nullopt;
        case AttributeType::Double:
            if (!value.isNumeric()) return std::nullopt;
            return Value(value.doubleValue());
        case AttributeType::Float:
            if (!value.isNumeric()) return std::nullopt;
            return Value(static_cast<float>(value.doubleValue()));
        case AttributeType::String:
            if (!value.isString()) return std::nullopt;
            return value;
        case AttributeType::Date:
            if (!value.isDate()) return std::nullopt;
            return value;
        case AttributeType::Binary:
            if (!value.isData()) return std::nullopt;
            return value;
        case AttributeType::Undefined:
        case AttributeType::Transformable:
        case AttributeType::ObjectID: return value;
    }
    return std::nullopt;
}

}  // namespace lv
