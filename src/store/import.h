// Dictionary import into records: find the record a dictionary (say a parsed JSON object) describes or
// create it, copy the attributes it provides with type conversion, and follow the relationships into
// nested dictionaries, arrays and plain identifying values, finding or creating the related records.
// The model's user info steers it: "relatedByAttribute" (entity, relationship), "mappedKeyName" and
// "mappedKeyName.1" … "mappedKeyName.9", "attributeValueClassName", "dateFormat",
// "useDefaultValueWhenNotPresent" (attributes).
//
// The platform's categories are free functions named as the operations, the receiver first. Optional
// instance hooks of a record class (registered with its RecordClassDef, found by name):
//   "shouldImport:"                 bool(Object& record, const Value& data)   false skips the import
//   "willImport:", "didImport:"     void(Object& record, const Value& data)
//   "import<Key>:"                  bool(Object&, const Value&) or void(Object&, const Value&): takes over
//                                   setting the key (true or no result: handled)
//   "shouldImport<Relationship>:"   bool(Object&, const Value& relationshipData)  false skips it
//   "set<Relationship>:", "add<Relationship>Object:"  void(Object&, const Value& relatedRecord): attach
//                                   messages; without them the object store's own relationship calls
//                                   attach (ordered to-many relationships always append that way)
//
// Nothing is saved; the caller saves. Nothing is thrown: a value a record refuses is logged (mask bit 1)
// and left out, and a failing relationship lookup (bit 2) or attach (bit 1) is logged and skipped.
//
// Threads: RS_importFromObject and RS_importFromArray run each import inside performAndWait on the
// context's queue and may be called from any thread; every other record operation here runs on the
// queue of the record's context.
#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/object.h"
#include "platform/base/value.h"
#include "platform/data/context.h"
#include "platform/data/managed_object.h"
#include "platform/data/model.h"
#include "platform/ui/color.h"
#include "store/records.h"

namespace lv {

// User-info keys and fixed texts.
inline constexpr std::string_view kRSImportRelatedByAttributeKey = "relatedByAttribute";
inline constexpr std::string_view kRSImportMappedKeyNameKey = "mappedKeyName";
inline constexpr std::string_view kRSImportAttributeValueClassNameKey = "attributeValueClassName";
inline constexpr std::string_view kRSImportDateFormatKey = "dateFormat";
inline constexpr std::string_view kRSImportUseDefaultValueWhenNotPresentKey = "useDefaultValueWhenNotPresent";
inline constexpr std::string_view kRSImportUnixTimeDateFormat = "UnixTime";
inline constexpr std::string_view kRSImportDefaultDateFormat = "yyyy-MM-dd'T'HH:mm:ssz";

// ---- records (NSManagedObject's import category) ----

// Runs the record's "import<Key>:" hook with the value: true when the hook handled the key, false when
// the record has no such hook.
bool RS_importValue(const Ref<ManagedObject>& record, const Value& value, const std::string& key);
// Copies the attributes (name → attribute description, in the dictionary's order) from the data.
void RS_setAttributes(const Ref<ManagedObject>& record, const Dictionary& attributes, const Value& data);
// The existing record that one piece of relationship data names, or nil.
Ref<ManagedObject> RS_findObjectForRelationship(const Ref<ManagedObject>& record, const Ref<RelationshipDescription>& relationship,
                                                const Value& data);
// Attaches the related record through the relationship ("set<Name>:", "add<Name>Object:", or an
// append to an ordered relationship).
void RS_addObject(const Ref<ManagedObject>& record, const Ref<ManagedObject>& related, const Ref<RelationshipDescription>& relationship);
// Called with (relationship, one piece of data) for each related item to import.
using RSRelationshipBlock = std::function<void(const Ref<RelationshipDescription>& relationship, const Value& data)>;
// Visits the relationships (name → relationship description) and calls the block per related item.
void RS_setRelationships(const Ref<ManagedObject>& record, const Dictionary& relationships, const Value& data,
                         const RSRelationshipBlock& block);
// "shouldImport:" then "willImport:"; false when the import was refused.
bool RS_preImport(const Ref<ManagedObject>& record, const Value& data);
// "didImport:"; true.
bool RS_postImport(const Ref<ManagedObject>& record, const Value& data);
// Pre-import, attributes, relationships with the block, post-import; false when refused.
bool RS_performDataImportFromObject(const Ref<ManagedObject>& record, const Value& data, const RSRelationshipBlock& block);
// The same with the standard relationship block (find or create each related record, import nested
// dictionaries into it, set the identifying attribute from a plain value, attach it).
bool RS_importValuesForKeysWithObject(const Ref<ManagedObject>& record, const Value& data);

// ---- record classes (declared with the finders in records.h) ----
// RS_importFromObject(entity, data, context): the record found by the entity's identifying attribute, or
// a new one, filled from the data. A nil or null identifying value always makes a new record. A record
// made only for this import whose "shouldImport:" refuses is deleted again and nil returned (an existing
// record comes back unchanged). RS_importFromArray: the records of the elements, in order; elements
// that give no record are left out (logged with mask bit 2).

// ---- entities, attributes, relationships ----

// The attribute named by the entity's "relatedByAttribute", else by RSImportPrimaryKeyName of its name;
// nil when the entity has no such attribute.
Ref<AttributeDescription> RS_primaryAttributeToRelateBy(const Ref<EntityDescription>& entity);
// A new record of the entity's record class in the context.
Ref<ManagedObject> RS_createInstanceInContext(const Ref<EntityDescription>& entity, const Ref<ManagedObjectContext>& context);
// The entity's attribute of that name, or nil.
Ref<AttributeDescription> RS_attributeDescriptionForName(const Ref<EntityDescription>& entity, std::string_view name);
// Attributes identify nothing by themselves: always nil.
Value RS_primaryKey(const Ref<AttributeDescription>& attribute);
// The relationship's "relatedByAttribute", else RSImportPrimaryKeyName of the destination entity's name.
std::string RS_primaryKey(const Ref<RelationshipDescription>& relationship);
// The value under the key path in the data, converted for the attribute (nil for null).
Value RS_valueForKeyPath(const Ref<AttributeDescription>& attribute, const std::string& keyPath, const Value& data);

// ---- data objects (dictionaries; strings and numbers are their own identifying values) ----

// The key path ("mappedKeyName", then "mappedKeyName.1" … while defined, else the attribute's name)
// under which the data holds a value for the attribute; nil when none does, and always for strings and
// numbers.
Value RS_lookupKeyForAttribute(const Value& data, const Ref<AttributeDescription>& attribute);
Value RS_valueForAttribute(const Value& data, const Ref<AttributeDescription>& attribute);
// The key path of a related record's identifying value in the data.
Value RS_lookupKeyForRelationship(const Value& data, const Ref<RelationshipDescription>& relationship);
// That value; a string or number is its own.
Value RS_relatedValueForRelationship(const Value& data, const Ref<RelationshipDescription>& relationship);
// The text with its first character capitalised (the text itself when empty).
std::string RS_capitalizedFirstCharacterString(std::string_view text);

// ---- conversions ----

std::string RSImportCapitalizedName(std::string_view name);
// "Person" → "personID".
std::string RSImportPrimaryKeyName(std::string_view entityName);
// The date the pattern reads from the whole text in UTC (Gregorian calendar, ASCII digits, the current
// locale's names), or nil.
Value RSImportDateFromText(std::string_view text, std::string_view pattern);
// Seconds (or, with the flag, milliseconds) since 1970-01-01 00:00 UTC.
Value RSImportDateFromNumber(const Value& number, bool milliseconds);
// The double value at the start of the text (0 when it does not start with a number).
Value RSImportNumberFromText(std::string_view text);
// "rgba(r,g,b,a)": red, green and blue as integers, alpha as a decimal fraction, read as far as the
// text allows (missing components stay 0); nothing for a text not starting with "rgba".
std::optional<std::array<double, 4>> RSImportColorComponentsFromText(std::string_view text);
// The colour of such a text (red, green, blue divided by 255; every component clamped to 0…1), or nil.
Ref<Color> RSImportColorFromText(std::string_view text);

}  // namespace lv
