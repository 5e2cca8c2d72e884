// How entities map onto SQLite tables, and the SQL back end of predicates and sort descriptors.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/base/error.h"
#include "platform/data/model.h"
#include "platform/data/predicate.h"
#include "platform/data/sort_descriptor.h"

namespace lv::data_detail {

// Names of the store's own tables and columns. Entity and property names never begin with "_", so
// these cannot collide with them.
inline constexpr std::string_view kMetadataTable = "_lv_metadata";
inline constexpr std::string_view kKeysTable = "_lv_keys";
inline constexpr std::string_view kRelationTablePrefix = "_lv_rel_";
inline constexpr std::string_view kKeyColumn = "_pk";
inline constexpr std::string_view kVersionColumn = "_opt";
// The collation that orders decimal text by value.
inline constexpr std::string_view kDecimalCollation = "lvdecimal";

// How a property is kept in its entity's table.
enum class ColumnKind {
    Integer,   // integer16/32/64 and boolean: INTEGER
    Real,      // double and float: REAL
    DateReal,  // date: REAL seconds since the reference date
    Decimal,   // decimal: TEXT, compared through kDecimalCollation
    Text,      // string: TEXT
    Blob,      // binary: BLOB
    Archive,   // transformable, undefined, object ID: BLOB (transformed or archived)
    ToOne,     // to-one relationship: INTEGER key of the destination row
    ToMany,    // to-many relationship: rows of a relation table, no column
};

ColumnKind columnKind(const PropertyDescription& property);
// The declared SQL type of a column kind ("INTEGER", "REAL", "TEXT", "BLOB").
std::string_view columnType(ColumnKind kind);
// "\"name\"" with inner quotes doubled.
std::string quoteIdentifier(std::string_view name);
// "_lv_rel_<Entity>_<relationship>".
std::string relationTableName(std::string_view entity, std::string_view relationship);

// Bindable form of a value: integers and booleans as 64-bit integers, reals as doubles, decimals as
// their text, dates as seconds since the reference date (a double), text, data, object IDs as their
// key. Anything else binds as NULL.
Value bindingValue(const Value& value);

// A WHERE clause for the predicate (see Predicate::sqlForEntity); `residual` receives the conjuncts of
// a top-level AND that SQL cannot decide, which the caller then evaluates in memory on the rows (the
// whole predicate when it is not an AND). A key the entity does not have, a key path of more than one
// step, or a to-many key is an error (Cocoa kObjectStoreError).
struct WherePlan {
    std::string sql;  // empty: no condition
    std::vector<Value> bindings;
    Ref<Predicate> residual;
};
bool planWhere(const Ref<Predicate>& predicate, const EntityDescription& entity, WherePlan& plan, Ref<Error>* error);

// ORDER BY terms for the descriptors followed by the key tie-break; false when a key cannot be sorted
// in SQL (the caller sorts in memory). A key the entity does not have is an error.
bool planOrder(const std::vector<SortDescriptor>& descriptors, const EntityDescription& entity, std::string& orderBy,
               bool& sqlCanSort, Ref<Error>* error);

Ref<Error> storeError(std::int64_t code, std::string message);

}  // namespace lv::data_detail
