#include "store/import.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "platform/base/error.h"
#include "platform/base/format.h"
#include "platform/runtime/runtime.h"
#include "platform/time/date_formatter.h"
#include "platform/time/time_zone.h"
#include "store/detail/state.h"
#include "store/record_stack.h"

namespace lv {

using store_detail::logEnabled;
using store_detail::logMasked;

namespace {

using DataHook = void(Object&, const Value&);
using DecisionHook = bool(Object&, const Value&);

const ClassInfo* classOfRecord(const ManagedObject& record) { return classOf(record); }

// Runs a bool or void hook of the record with the argument: nothing when the record has no hook of
// either signature, else the hook's answer (true for a void hook).
std::optional<bool> runHook(const Ref<ManagedObject>& record, const std::string& name, const Value& argument) {
    const ClassInfo* cls = classOfRecord(*record);
    if (!cls) return std::nullopt;
    if (const auto* decide = cls->findInstanceHook<DecisionHook>(name)) return (*decide)(*record, argument);
    if (const auto* act = cls->findInstanceHook<DataHook>(name)) {
        (*act)(*record, argument);
        return true;
    }
    return std::nullopt;
}

const Value& userInfoEntry(const PropertyDescription& property, std::string_view key) { return property.userInfo().get(key); }

std::string userInfoText(const Dictionary& userInfo, std::string_view key) {
    const Value& v = userInfo.get(key);
    return v.isString() ? v.string() : std::string();
}

// Dictionary key paths of a data object; strings and numbers have no keys.
Value dataValueForKeyPath(const Value& data, const std::string& keyPath) {
    if (data.isNilOrNull() || data.isString() || data.isNumeric()) return Value();
    return valueForKeyPath(data, keyPath);
}

std::string exceptionText(const Exception& e) { return e.name() + ": " + e.reason(); }

// Sets a value by key, logging (mask bit 1) instead of letting a refusal escape.
void setValueLogged(const Ref<ManagedObject>& record, const Value& value, const std::string& key) {
    try {
        record->setValueForKey(value, key);
    } catch (const Exception& e) {
        logMasked(RSLogMaskError, "Import could not set '%@' to %@: %@", key, value, e.reason());
    } catch (const std::exception& e) {
        logMasked(RSLogMaskError, "Import could not set '%@' to %@: %@", key, value, std::string(e.what()));
    }
}

// The class side of an entity's record class, named by the entity itself.
RecordEntity entityOfDescription(const Ref<EntityDescription>& entity) {
    RecordEntity::Hooks hooks;
    hooks.entityName = [name = entity->name()] { return name; };
    return RecordEntity(entity->managedObjectClassName(), std::move(hooks));
}

std::string lowerCaseFirst(std::string_view text) {
    std::string out(text);
    if (!out.empty() && static_cast<unsigned char>(out[0]) < 0x80) {
        out[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(out[0])));
    }
    return out;
}

}  // namespace

// ---- conversions ----

std::string RS_capitalizedFirstCharacterString(std::string_view text) { return text.empty() ? std::string() : upperCaseFirst(text); }

std::string RSImportCapitalizedName(std::string_view name) { return RS_capitalizedFirstCharacterString(name); }

std::string RSImportPrimaryKeyName(std::string_view entityName) { return format("%@ID", lowerCaseFirst(entityName)); }

Value RSImportDateFromText(std::string_view text, std::string_view pattern) {
    DateFormatter formatter{std::string(pattern), TimeZone::forSecondsFromGMT(0)};
    const auto date = formatter.dateFromString(text);
    return date ? Value(*date) : Value();
}

Value RSImportDateFromNumber(const Value& number, bool milliseconds) {
    double seconds = number.doubleValue();
    if (milliseconds) seconds /= 1000.0;
    return Value(Date::fromSince1970(seconds));
}

Value RSImportNumberFromText(std::string_view text) { return Value(Value(std::string(text)).doubleValue()); }

std::optional<std::array<double, 4>> RSImportColorComponentsFromText(std::string_view text) {
    const auto open = text.find('(');
    if (!text.substr(0, open).starts_with("rgba")) return std::nullopt;
    std::array<double, 4> components{0, 0, 0, 0};
    if (open == std::string_view::npos) return components;
    const std::string rest(text.substr(open));
    const char* p = rest.c_str();
    for (std::size_t i = 0; i < components.size(); ++i) {
        while (*p == '(' || *p == ',' || *p == ')' || *p == ' ' || *p == '\t') ++p;
        char* end = nullptr;
        // Red, green and blue are integers; alpha is a fraction ("0.5"), so 0 and 1 read as before.
        const double value = i < 3 ? static_cast<double>(std::strtol(p, &end, 10)) : std::strtod(p, &end);
        if (end == p) break;
        components[i] = value;
        p = end;
    }
    return components;
}

Ref<Color> RSImportColorFromText(std::string_view text) {
    const auto components = RSImportColorComponentsFromText(text);
    if (!components) return nullptr;
    auto unit = [](double v) { return std::clamp(v, 0.0, 1.0); };
    const auto& c = *components;
    return Color::colorWithRed(unit(static_cast<float>(c[0]) / 255.0f), unit(static_cast<float>(c[1]) / 255.0f),
                               unit(static_cast<float>(c[2]) / 255.0f), unit(c[3]));
}

// ---- entities, attributes, relationships ----

Ref<AttributeDescription> RS_attributeDescriptionForName(const Ref<EntityDescription>& entity, std::string_view name) {
    if (!entity) return nullptr;
    for (const auto& attribute : entity->attributes()) {
        if (attribute->name() == name) return attribute;
    }
    return nullptr;
}

Ref<AttributeDescription> RS_primaryAttributeToRelateBy(const Ref<EntityDescription>& entity) {
    if (!entity) return nullptr;
    std::string name = userInfoText(entity->userInfo(), kRSImportRelatedByAttributeKey);
    if (name.empty()) name = RSImportPrimaryKeyName(entity->name());
    return RS_attributeDescriptionForName(entity, name);
}

Ref<ManagedObject> RS_createInstanceInContext(const Ref<EntityDescription>& entity, const Ref<ManagedObjectContext>& context) {
    if (!entity) return nullptr;
    return entityOfDescription(entity).RS_createEntityInContext(context);
}

Value RS_primaryKey(const Ref<AttributeDescription>&) { return Value(); }

std::string RS_primaryKey(const Ref<RelationshipDescription>& relationship) {
    if (!relationship) return {};
    std::string name = userInfoText(relationship->userInfo(), kRSImportRelatedByAttributeKey);
    if (!name.empty()) return name;
    return RSImportPrimaryKeyName(relationship->destinationEntityName());
}

Value RS_valueForKeyPath(const Ref<AttributeDescription>& attribute, const std::string& keyPath, const Value& data) {
    Value value = dataValueForKeyPath(data, keyPath);
    if (!attribute) return value.isNull() ? Value() : value;
    const Value& className = userInfoEntry(*attribute, kRSImportAttributeValueClassNameKey);
    if (className.isString()) {
        if (className.string().ends_with("Color")) value = Value(RSImportColorFromText(value.isString() ? value.string() : value.description()));
    } else if (!value.isNilOrNull()) {
        switch (attribute->attributeType()) {
            case AttributeType::Integer16:
            case AttributeType::Integer32:
            case AttributeType::Integer64:
            case AttributeType::Decimal:
            case AttributeType::Double:
            case AttributeType::Float:
                if (!value.isNumeric()) value = RSImportNumberFromText(value.description());
                break;
            case AttributeType::String:
                if (!value.isString()) value = Value(value.description());
                break;
            case AttributeType::Boolean:
                if (!value.isNumeric()) value = Value(value.boolValue());
                break;
            case AttributeType::Date: {
                if (value.isDate()) break;
                const Value& format = userInfoEntry(*attribute, kRSImportDateFormatKey);
                if (value.isNumeric()) {
                    value = RSImportDateFromNumber(value, format.isString() && format.string() == kRSImportUnixTimeDateFormat);
                } else {
                    value = RSImportDateFromText(value.isString() ? value.string() : value.description(),
                                                 format.isString() ? format.string() : std::string(kRSImportDefaultDateFormat));
                }
                break;
            }
            default:
                break;
        }
    }
    return value.isNull() ? Value() : value;
}

// ---- data objects ----

Value RS_lookupKeyForAttribute(const Value& data, const Ref<AttributeDescription>& attribute) {
    if (!attribute || data.isString() || data.isNumeric()) return Value();
    std::string key = userInfoText(attribute->userInfo(), kRSImportMappedKeyNameKey);
    if (key.empty()) key = attribute->name();
    Value value = dataValueForKeyPath(data, key);
    for (unsigned long i = 1; i <= 9 && value.isNil(); ++i) {
        const Value& next = attribute->userInfo().get(format("%@.%lu", kRSImportMappedKeyNameKey, i));
        if (!next.isString()) return Value();
        key = next.string();
        value = dataValueForKeyPath(data, key);
    }
    return value.isNil() ? Value() : Value(key);
}

Value RS_valueForAttribute(const Value& data, const Ref<AttributeDescription>& attribute) {
    const Value key = RS_lookupKeyForAttribute(data, attribute);
    return key.isString() ? dataValueForKeyPath(data, key.string()) : Value();
}

Value RS_lookupKeyForRelationship(const Value& data, const Ref<RelationshipDescription>& relationship) {
    if (!relationship) return Value();
    Ref<EntityDescription> destination = relationship->destinationEntity();
    if (!destination) {
        if (logEnabled(RSLogMaskError)) logMasked(RSLogMaskError, "Unable to find entity for type '%@'", dataValueForKeyPath(data, "type"));
        return Value();
    }
    const std::string primaryKey = RS_primaryKey(relationship);
    Ref<AttributeDescription> attribute = RS_attributeDescriptionForName(destination, primaryKey);
    if (!attribute) return Value(primaryKey);
    const Value key = RS_lookupKeyForAttribute(data, attribute);
    return key.isNil() ? Value(attribute->name()) : key;
}

Value RS_relatedValueForRelationship(const Value& data, const Ref<RelationshipDescription>& relationship) {
    if (data.isString() || data.isNumeric()) return data;
    const Value key = RS_lookupKeyForRelationship(data, relationship);
    return key.isString() ? dataValueForKeyPath(data, key.string()) : Value();
}

// ---- records ----

bool RS_importValue(const Ref<ManagedObject>& record, const Value& value, const std::string& key) {
    if (!record) return false;
    return runHook(record, format("import%@:", RS_capitalizedFirstCharacterString(key)), value).value_or(false);
}

void RS_setAttributes(const Ref<ManagedObject>& record, const Dictionary& attributes, const Value& data) {
    if (!record) return;
    for (const auto& [name, entry] : attributes) {
        Ref<AttributeDescription> attribute = entry.objectAs<AttributeDescription>();
        if (!attribute) continue;
        Value value;
        try {
            const Value keyPath = RS_lookupKeyForAttribute(data, attribute);
            if (keyPath.isString()) {
                value = RS_valueForKeyPath(attribute, keyPath.string(), data);
            } else if (userInfoEntry(*attribute, kRSImportUseDefaultValueWhenNotPresentKey).boolValue()) {
                value = attribute->defaultValue();
            } else {
                continue;
            }
            if (!RS_importValue(record, value, name)) record->setValueForKey(value, name);
        } catch (const Exception& e) {
            // A value the record refuses (or a key path through a non-dictionary): the attribute keeps
            // its value and the import goes on.
            logMasked(RSLogMaskError, "Import could not set '%@' to %@: %@", name, value, e.reason());
        }
    }
}

Ref<ManagedObject> RS_findObjectForRelationship(const Ref<ManagedObject>& record, const Ref<RelationshipDescription>& relationship,
                                                const Value& data) {
    if (!record || !relationship) return nullptr;
    const Value identifier = data.isDictionary() ? RS_relatedValueForRelationship(data, relationship) : data;
    if (identifier.isNilOrNull()) return nullptr;
    Ref<EntityDescription> destination = relationship->destinationEntity();
    if (!destination) return nullptr;
    return entityOfDescription(destination).RS_findFirstByAttribute(RS_primaryKey(relationship), identifier, record->managedObjectContext());
}

void RS_addObject(const Ref<ManagedObject>& record, const Ref<ManagedObject>& related, const Ref<RelationshipDescription>& relationship) {
    if (!record || !related || !relationship) return;
    const std::string& name = relationship->name();
    std::string message;
    if (!relationship->isToMany()) {
        message = format("set%@:", RSImportCapitalizedName(name));
    } else if (!relationship->isOrdered()) {
        message = format("add%@Object:", RSImportCapitalizedName(name));
    } else {
        message = "addObject:";
    }
    try {
        const ClassInfo* cls = classOfRecord(*record);
        const auto* hook = relationship->isOrdered() || !cls ? nullptr : cls->findInstanceHook<DataHook>(message);
        if (hook) {
            (*hook)(*record, Value(related));
        } else if (relationship->isToMany()) {
            record->addObject(related, name);
        } else {
            record->setValueForKey(Value(related), name);
        }
    } catch (const Exception& e) {
        if (!logEnabled(RSLogMaskError)) return;
        logMasked(RSLogMaskError, "Adding object for relationship failed: %@\n", relationship);
        logMasked(RSLogMaskError, "relatedObject.entity %@", related->entity());
        logMasked(RSLogMaskError, "relationshipInfo.destinationEntity %@", relationship->destinationEntity());
        logMasked(RSLogMaskError, "Add Relationship Selector: %@", message);
        logMasked(RSLogMaskError, "perform selector error: %@", exceptionText(e));
    }
}

void RS_setRelationships(const Ref<ManagedObject>& record, const Dictionary& relationships, const Value& data,
                         const RSRelationshipBlock& block) {
    if (!record) return;
    const ClassInfo* cls = classOfRecord(*record);
    for (const auto& [name, entry] : relationships) {
        Ref<RelationshipDescription> relationship = entry.objectAs<RelationshipDescription>();
        if (!relationship) continue;
        const std::string shouldImportName = format("shouldImport%@:", RS_capitalizedFirstCharacterString(name));
        const auto* shouldImport = cls ? cls->findInstanceHook<DecisionHook>(shouldImportName) : nullptr;
        std::string key = userInfoText(relationship->userInfo(), kRSImportMappedKeyNameKey);
        if (key.empty()) key = name;
        Value related;
        try {
            related = dataValueForKeyPath(data, key);
        } catch (const Exception& e) {
            if (logEnabled(RSLogMaskWarning)) {
                logMasked(RSLogMaskWarning, "Looking up a key for relationship failed while importing: %@\n", relationship);
                logMasked(RSLogMaskWarning, "lookupKey: %@", key);
                logMasked(RSLogMaskWarning, "relationshipInfo.destinationEntity %@", relationship->destinationEntity());
                logMasked(RSLogMaskWarning, "relationshipData: %@", data);
                logMasked(RSLogMaskWarning, "Exception:\n%@: %@", e.name(), e.reason());
            }
            continue;
        }
        if (related.isNilOrNull()) continue;
        if (shouldImport && !(*shouldImport)(*record, related)) continue;
        if (RS_importValue(record, data, name)) continue;
        if (relationship->isToMany() && related.isArray()) {
            for (const Value& element : related.array()) block(relationship, element);
        } else {
            block(relationship, related);
        }
    }
}

bool RS_preImport(const Ref<ManagedObject>& record, const Value& data) {
    if (!record) return false;
    const ClassInfo* cls = classOfRecord(*record);
    if (!cls) return true;
    if (const auto* shouldImport = cls->findInstanceHook<DecisionHook>("shouldImport:")) {
        if (!(*shouldImport)(*record, data)) return false;
    }
    if (const auto* willImport = cls->findInstanceHook<DataHook>("willImport:")) (*willImport)(*record, data);
    return true;
}

bool RS_postImport(const Ref<ManagedObject>& record, const Value& data) {
    if (!record) return true;
    const ClassInfo* cls = classOfRecord(*record);
    if (const auto* didImport = cls ? cls->findInstanceHook<DataHook>("didImport:") : nullptr) (*didImport)(*record, data);
    return true;
}

bool RS_performDataImportFromObject(const Ref<ManagedObject>& record, const Value& data, const RSRelationshipBlock& block) {
    if (!record || !RS_preImport(record, data)) return false;
    const Ref<EntityDescription>& entity = record->entity();
    if (entity) {
        RS_setAttributes(record, entity->attributesByName(), data);
        RS_setRelationships(record, entity->relationshipsByName(), data, block);
    }
    return RS_postImport(record, data);
}

namespace {

// The standard relationship block's work for one piece of data.
void importRelated(const Ref<ManagedObject>& record, const Ref<RelationshipDescription>& relationship, const Value& data) {
    Ref<ManagedObject> related = RS_findObjectForRelationship(record, relationship, data);
    bool created = false;
    if (!related) {
        related = RS_createInstanceInContext(relationship->destinationEntity(), record->managedObjectContext());
        created = true;
    }
    if (!related) return;
    if (data.isDictionary()) {
        if (!RS_importValuesForKeysWithObject(related, data) && created) {
            // Refused: the record made for it goes again, and nothing is attached.
            if (auto context = related->managedObjectContext()) context->deleteObject(related);
            return;
        }
    } else if (!data.isNil()) {
        std::string name = userInfoText(relationship->userInfo(), kRSImportRelatedByAttributeKey);
        if (name.empty()) name = RSImportPrimaryKeyName(relationship->destinationEntityName());
        if (!RS_importValue(related, data, name)) setValueLogged(related, data, name);
    }
    RS_addObject(record, related, relationship);
}

}  // namespace

bool RS_importValuesForKeysWithObject(const Ref<ManagedObject>& record, const Value& data) {
    Weak<ManagedObject> weak = record;
    return RS_performDataImportFromObject(record, data, [weak](const Ref<RelationshipDescription>& relationship, const Value& item) {
        if (Ref<ManagedObject> self = weak.lock()) importRelated(self, relationship, item);
    });
}

// ---- record classes ----

Ref<ManagedObject> RS_importFromObject(const RecordEntity& entity, const Value& data, const Ref<ManagedObjectContext>& context) {
    if (!context) return nullptr;
    Ref<ManagedObject> record;
    context->performAndWait([&] {
        try {
            Ref<EntityDescription> description = entity.RS_entityDescriptionInContext(context);
            Ref<AttributeDescription> attribute = RS_primaryAttributeToRelateBy(description);
            if (attribute) {
                // A missing identifying value names no record: every such item is a record of its own.
                const Value value = RS_valueForAttribute(data, attribute);
                if (!value.isNilOrNull()) record = entity.RS_findFirstByAttribute(attribute->name(), value, context);
            }
            const bool created = !record;
            if (created) record = entity.RS_createEntityInContext(context);
            if (!record) return;
            if (!RS_importValuesForKeysWithObject(record, data) && created) {
                context->deleteObject(record);
                record = nullptr;
            }
        } catch (const Exception& e) {
            // A hook that raised: the import ends here, reported as a log line.
            logMasked(RSLogMaskError, "Import into %@ failed: %@", entity.RS_entityName(), exceptionText(e));
        }
    });
    return record;
}

Array RS_importFromArray(const RecordEntity& entity, const Array& data, const Ref<ManagedObjectContext>& context) {
    Array records;
    records.reserve(data.size());
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (Ref<ManagedObject> record = RS_importFromObject(entity, data[i], context)) {
            records.push_back(Value(record));
        } else {
            logMasked(RSLogMaskWarning, "Import of element %lu into %@ gave no record", static_cast<unsigned long>(i), entity.RS_entityName());
        }
    }
    return records;
}

}  // namespace lv
