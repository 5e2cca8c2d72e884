// The object model: entities with their ordered attributes and relationships, loaded from model files
// of the bundle and merged into one model. A model is built (or loaded) first and then handed to a
// coordinator; from then on it is read-only and may be read from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/base/error.h"
#include "platform/base/object.h"
#include "platform/base/value.h"

namespace lv {

namespace data_detail {
// Raised by every change to what an entity's records are checked against or made as: properties added,
// removed, replaced or renamed, a property's optionality, attribute type or to-many flag, an entity's
// names, and an entity going away. What is worked out from an entity may be kept while this reads the
// same.
inline std::atomic<std::uint64_t> entityEdits{1};
inline void noteEntityEdit() { entityEdits.fetch_add(1, std::memory_order_release); }
inline std::uint64_t entityEditGeneration() { return entityEdits.load(std::memory_order_acquire); }
}  // namespace data_detail

class Bundle;
class EntityDescription;
class ManagedObjectModel;

// Attribute type codes; the numbers are observable (user info, import conversions).
enum class AttributeType : std::int32_t {
    Undefined = 0,
    Integer16 = 100,
    Integer32 = 200,
    Integer64 = 300,
    Decimal = 400,
    Double = 500,
    Float = 600,
    String = 700,
    Boolean = 800,
    Date = 900,
    Binary = 1000,
    Transformable = 1800,
    ObjectID = 2000,
};

// "integer16", "decimal", "transformable", …: the names used in model files. Unknown names give nothing.
std::string_view attributeTypeName(AttributeType type);
std::optional<AttributeType> attributeTypeNamed(std::string_view name);
inline bool isIntegerAttributeType(AttributeType type) {
    return type == AttributeType::Integer16 || type == AttributeType::Integer32 || type == AttributeType::Integer64;
}
bool isNumericAttributeType(AttributeType type);  // integers, decimal, double, float, boolean

enum class DeleteRule : std::uint8_t { NoAction = 0, Nullify = 1, Cascade = 2, Deny = 3 };

// Common part of attributes and relationships.
class PropertyDescription : public Object {
public:
    const std::string& name() const { return name_; }
    void setName(std::string name) {
        name_ = std::move(name);
        data_detail::noteEntityEdit();
    }
    bool isOptional() const { return optional_; }
    void setOptional(bool optional) {
        optional_ = optional;
        data_detail::noteEntityEdit();
    }
    const Dictionary& userInfo() const { return userInfo_; }
    void setUserInfo(Dictionary userInfo) { userInfo_ = std::move(userInfo); }
    // The entity that holds the property (nullptr before it is added to one).
    Ref<EntityDescription> entity() const { return entity_.lock(); }

    virtual bool isAttribute() const { return false; }
    virtual bool isRelationship() const { return false; }

protected:
    friend class EntityDescription;
    std::string name_;
    bool optional_ = true;
    Dictionary userInfo_;
    Weak<EntityDescription> entity_;
};

class AttributeDescription : public PropertyDescription {
public:
    AttributeDescription() = default;
    AttributeDescription(std::string name, AttributeType type, bool optional = true);
    static Ref<AttributeDescription> make(std::string name, AttributeType type, bool optional = true) {
        return makeRef<AttributeDescription>(std::move(name), type, optional);
    }

    AttributeType attributeType() const { return type_; }
    void setAttributeType(AttributeType type) {
        type_ = type;
        data_detail::noteEntityEdit();
    }
    // Set on new records at insert; nil when there is none.
    const Value& defaultValue() const { return defaultValue_; }
    void setDefaultValue(Value value) { defaultValue_ = std::move(value); }
    // Transformable attributes: the name of the registered value transformer; empty for the default
    // (the keyed archiver).
    const std::string& valueTransformerName() const { return valueTransformerName_; }
    void setValueTransformerName(std::string name) { valueTransformerName_ = std::move(name); }
    // The class of the attribute's values ("String", "Number", "DecimalNumber", "Date", "Data", or
    // what a transformable attribute holds).
    std::string attributeValueClassName() const;
    void setAttributeValueClassName(std::string name) { valueClassName_ = std::move(name); }

    bool isAttribute() const override { return true; }
    std::string description() const override;

private:
    friend class EntityDescription;
    AttributeType type_ = AttributeType::Undefined;
    Value defaultValue_;
    std::string valueTransformerName_;
    std::string valueClassName_;
};

class RelationshipDescription : public PropertyDescription {
public:
    RelationshipDescription() = default;
    RelationshipDescription(std::string name, std::string destinationEntityName, bool toMany = false);
    static Ref<RelationshipDescription> make(std::string name, std::string destination, bool toMany = false) {
        return makeRef<RelationshipDescription>(std::move(name), std::move(destination), toMany);
    }

    const std::string& destinationEntityName() const { return destinationName_; }
    void setDestinationEntityName(std::string name) { destinationName_ = std::move(name); }
    // The destination in the model that holds this relationship's entity; nullptr when unknown.
    Ref<EntityDescription> destinationEntity() const;
    const std::string& inverseRelationshipName() const { return inverseName_; }
    void setInverseRelationshipName(std::string name) { inverseName_ = std::move(name); }
    Ref<RelationshipDescription> inverseRelationship() const;
    bool isToMany() const { return toMany_; }
    void setToMany(bool toMany) {
        toMany_ = toMany;
        data_detail::noteEntityEdit();
    }
    bool isOrdered() const { return ordered_; }
    void setOrdered(bool ordered) { ordered_ = ordered; }
    DeleteRule deleteRule() const { return deleteRule_; }
    void setDeleteRule(DeleteRule rule) { deleteRule_ = rule; }

    bool isRelationship() const override { return true; }
    std::string description() const override;

private:
    std::string destinationName_;
    std::string inverseName_;
    bool toMany_ = false;
    bool ordered_ = false;
    DeleteRule deleteRule_ = DeleteRule::Nullify;
};

class EntityDescription : public Object {
public:
    EntityDescription() = default;
    explicit EntityDescription(std::string name, std::string managedObjectClassName = {});
    ~EntityDescription() override;
    static Ref<EntityDescription> make(std::string name, std::string className = {}) {
        return makeRef<EntityDescription>(std::move(name), std::move(className));
    }

    const std::string& name() const { return name_; }
    // std::hash of the name, kept with it: object IDs are made by the thousand and each hashes it.
    std::size_t nameHash() const { return nameHash_; }
    void setName(std::string name) {
        name_ = std::move(name);
        nameHash_ = std::hash<std::string>{}(name_);
        data_detail::noteEntityEdit();
    }
    // The record class name; the entity name when none was set.
    const std::string& managedObjectClassName() const { return className_.empty() ? name_ : className_; }
    void setManagedObjectClassName(std::string name) {
        className_ = std::move(name);
        data_detail::noteEntityEdit();
    }
    const Dictionary& userInfo() const { return userInfo_; }
    void setUserInfo(Dictionary userInfo) { userInfo_ = std::move(userInfo); }
    // The model that holds the entity (nullptr before it is added to one).
    Ref<ManagedObjectModel> managedObjectModel() const { return model_.lock(); }

    // Adds a property at the end of its kind's list (the entity becomes its owner). A property whose
    // name is already used replaces the earlier one.
    void addAttribute(Ref<AttributeDescription> attribute);
    void addRelationship(Ref<RelationshipDescription> relationship);
    void removeProperty(std::string_view name);

    // In declaration order.
    const std::vector<Ref<AttributeDescription>>& attributes() const { return attributes_; }
    const std::vector<Ref<RelationshipDescription>>& relationships() const { return relationships_; }
    // Attributes first, then relationships; a property's position here is its index.
    const std::vector<Ref<PropertyDescription>>& properties() const { return properties_; }
    // -1 when the entity has no property of that name.
    int propertyIndex(std::string_view name) const;
    Ref<PropertyDescription> propertyNamed(std::string_view name) const;
    Ref<AttributeDescription> attributeNamed(std::string_view name) const;
    Ref<RelationshipDescription> relationshipNamed(std::string_view name) const;
    // Name → description dictionaries (values hold the description objects).
    Dictionary attributesByName() const;
    Dictionary relationshipsByName() const;
    Dictionary propertiesByName() const;

    // Digest of what the stored form depends on: the entity name and, for every property, its name,
    // kind, type, optionality and (relationships) destination, to-many and ordered flags. Equal
    // entities have equal hashes; the order of declaration does not count.
    Bytes versionHash() const;

    // A deep copy that belongs to no model.
    Ref<EntityDescription> copy() const;
    std::string description() const override;

private:
    friend class ManagedObjectModel;
    // Removes the properties of that name; true when there was one (the index is then rebuilt).
    bool eraseProperty(std::string_view name);
    // A property just added at the end of the properties.
    void appendToIndex(const Ref<PropertyDescription>& property);
    void rebuildIndex();

    std::string name_;
    std::size_t nameHash_ = std::hash<std::string>{}(std::string());
    std::string className_;
    Dictionary userInfo_;
    Weak<ManagedObjectModel> model_;
    std::vector<Ref<AttributeDescription>> attributes_;
    std::vector<Ref<RelationshipDescription>> relationships_;
    std::vector<Ref<PropertyDescription>> properties_;
    // Property index by name: an open-addressing table (a power of two of slots, at most half full).
    // A name is packed into two words that, with its length, tell names of up to 16 bytes apart
    // exactly (longer ones are compared in full when those match); the table is probed under a mix of
    // them. Records look their keys up on every access, so this costs a few instructions and no call.
    struct PackedName {
        std::uint64_t head = 0;
        std::uint64_t tail = 0;
        std::size_t size = 0;
        bool operator==(const PackedName&) const = default;
    };
    struct NameSlot {
        PackedName packed;
        std::string name;
        int index = -1;  // -1: empty
    };
    static PackedName packName(std::string_view name) {
        // Two overlapping loads cover every byte of a name of up to 16 bytes (of up to 8 for the head
        // alone); shorter names take their first, middle and last bytes, which are all of them.
        PackedName p;
        const char* d = name.data();
        const std::size_t n = name.size();
        p.size = n;
        if (n >= 8) {
            std::memcpy(&p.head, d, 8);
            std::memcpy(&p.tail, d + n - 8, 8);
        } else if (n >= 4) {
            std::uint32_t first;
            std::uint32_t last;
            std::memcpy(&first, d, 4);
            std::memcpy(&last, d + n - 4, 4);
            p.head = first | (std::uint64_t{last} << 32);
        } else if (n > 0) {
            const auto byte = [&](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(d[i])}; };
            p.head = byte(0) | (byte(n / 2) << 8) | (byte(n - 1) << 16);
        }
        return p;
    }
    static std::uint64_t nameHash(const PackedName& p) {
        const std::uint64_t h =
            (p.head ^ (p.tail * 0xc2b2ae3d27d4eb4fULL) ^ (static_cast<std::uint64_t>(p.size) << 56)) * 0x9e3779b97f4a7c15ULL;
        return h ^ (h >> 32);
    }
    // The rest of a lookup of a name longer than 16 bytes from the slot `from` on.
    int longPropertyIndex(std::string_view name, std::size_t from) const;
    std::vector<NameSlot> nameSlots_ = std::vector<NameSlot>(1);  // never empty: one empty slot at first
    std::size_t nameMask_ = 0;                                      // slot count - 1
};

inline int EntityDescription::propertyIndex(std::string_view name) const {
    const PackedName packed = packName(name);
    for (std::size_t s = nameHash(packed) & nameMask_;; s = (s + 1) & nameMask_) {
        const NameSlot& slot = nameSlots_[s];
        if (slot.index < 0) return -1;
        if (slot.packed == packed) return packed.size <= 16 ? slot.index : longPropertyIndex(name, s);
    }
}

class ManagedObjectModel : public Object {
public:
    ManagedObjectModel() = default;

    // Adds an entity (the model becomes its owner); an entity of the same name is replaced.
    void addEntity(Ref<EntityDescription> entity);
    const std::vector<Ref<EntityDescription>>& entities() const { return entities_; }
    Ref<EntityDescription> entityNamed(std::string_view name) const;
    Dictionary entitiesByName() const;
    // Entity name → version hash (data).
    Dictionary entityVersionHashesByName() const;
    // Whether every entity of the model has the hash given for it and no other entity is named.
    bool isCompatibleWithVersionHashes(const Dictionary& hashes) const;

    // Checks names and references: entity and property names non-empty, not starting with "_", unique;
    // destinations and inverses present. Fills the error (Cocoa domain, code 134060) otherwise.
    bool validate(Ref<Error>* error) const;

    // Model files. The format is JSON:
    //   {"entities": [{"name": "News", "className": "News", "userInfo": {…},
    //     "attributes": [{"name": "title", "type": "string", "optional": true, "defaultValue": …,
    //                     "valueTransformerName": "…", "valueClassName": "…", "userInfo": {…}}, …],
    //     "relationships": [{"name": "owner", "destination": "Person", "inverse": "items",
    //                        "toMany": false, "ordered": false, "optional": true,
    //                        "deleteRule": "nullify", "userInfo": {…}}, …]}, …]}
    // Default values are read for the attribute's type: numbers, decimal text or numbers, dates as
    // seconds since the reference date, data as Base64 is not supported (binary defaults are absent).
    static constexpr std::string_view kModelFileExtension = "lvmodel";
    static Ref<ManagedObjectModel> modelWithContentsOfFile(const std::filesystem::path& path, Ref<Error>* error);
    static Ref<ManagedObjectModel> modelFromText(std::string_view json, Ref<Error>* error);
    // The model as model-file text (stable: the same model gives the same bytes).
    std::string textRepresentation() const;

    // One model holding copies of every entity of the given models; nullptr when two of them name the
    // same entity.
    static Ref<ManagedObjectModel> modelByMergingModels(const std::vector<Ref<ManagedObjectModel>>& models);
    // Every model file (extension kModelFileExtension) directly inside each directory, merged; nullptr
    // when a file cannot be read or entity names repeat. No files give an empty model.
    static Ref<ManagedObjectModel> mergedModelFromDirectories(const std::vector<std::filesystem::path>& directories);
    // Every model file among the resources of the bundles (the main bundle when none are given), merged
    // as above.
    static Ref<ManagedObjectModel> mergedModelFromBundles(const std::vector<Ref<Bundle>>& bundles = {});

    std::string description() const override;

private:
    std::vector<Ref<EntityDescription>> entities_;
};

// Converts a value to what an attribute of the type stores: integers (truncating reals as the number
// readings do) into numbers of the attribute's width, booleans, decimals (exact), doubles and floats,
// text, dates, data; nil stays nil. Transformable, undefined and object-ID attributes take any value.
// A value of an unrelated kind (text for a number, a number for a date, …) gives nothing. Integers are
// never wrapped: a number outside a 16- or 32-bit attribute's range becomes a whole 64-bit integer
// (what the column stores and reads back); one outside the 64-bit range is returned unchanged, for
// saves to refuse.
std::optional<Value> coerceAttributeValue(AttributeType type, const Value& value);

// For integer attributes: 1 when the number, truncated toward zero, is above the type's range, -1 when
// below, 0 when it fits (and for other types, non-numbers and NaN).
int integerRangeOverflow(AttributeType type, const Value& value);

}  // namespace lv
