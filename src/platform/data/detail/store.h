// One SQLite store of a coordinator: schema, metadata, migration, row reading and change writing.
// Used only under the coordinator's lock.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/data/coordinator.h"
#include "platform/data/detail/sql.h"
#include "platform/data/detail/sqlite.h"

namespace lv::data_detail {

// Transformable values to data and back: through the named transformer, or the keyed archiver when
// the name is empty.
std::optional<Bytes> encodeTransformable(const AttributeDescription& attribute, const Value& value, Ref<Error>* error);
Value decodeTransformable(const AttributeDescription& attribute, const Bytes& data);

// A Cocoa-domain error with the message as its description and the other user-info entries.
Ref<Error> errorWithInfo(std::int64_t code, std::string message, Dictionary extra);

// An attribute's type; Undefined for a relationship.
inline AttributeType attributeTypeOf(const PropertyDescription& property) {
    return property.isAttribute() ? static_cast<const AttributeDescription&>(property).attributeType() : AttributeType::Undefined;
}

// A SQLite failure while saving as the save error (134030) with SQLite's message as its reason and
// the SQLite error underneath; other errors unchanged.
Ref<Error> saveFailure(const Ref<Error>& sqliteError);

// Rows an insert statement writes at most; the rest of a run go in statements of kInsertRows / step,
// / step², … down to one row: a handful of statement texts per entity, each prepared once.
inline constexpr std::size_t kInsertRows = 64;
inline constexpr std::size_t kInsertRowsStep = 4;

class SQLiteStore {
public:
    explicit SQLiteStore(Ref<ManagedObjectModel> model) : model_(std::move(model)) {}

    // Opens the database (":memory:" for an in-memory store) and brings its schema to the model.
    bool open(const std::string& path, const Dictionary& options, Ref<Error>* error);
    const std::string& identifier() const { return identifier_; }
    const Dictionary& versionHashes() const { return versionHashes_; }
    Connection& connection() { return db_; }

    // Rows of the entity matching the plan, ordered by orderBy (SQL text; empty: by key), with the
    // limit and offset applied in SQL when limit > 0 (the caller passes 0 when it filters or sorts
    // afterwards). Rows whose object ID skip accepts are left out before their values are read.
    // Rows whose keys lie in one of the excluded runs (first, last) are left out in SQL. A row's
    // object ID is the one known gives for its key, where it gives one.
    bool fetchRows(const Ref<EntityDescription>& entity, const WherePlan& plan, const std::string& orderBy, std::size_t limit,
                   std::size_t offset, bool includeValues, std::vector<RowSnapshot>& out, Ref<Error>* error,
                   const std::function<bool(const Ref<ManagedObjectID>&)>* skip = nullptr,
                   const std::vector<std::pair<std::int64_t, std::int64_t>>& excluded = {},
                   const std::function<const Ref<ManagedObjectID>*(const std::string&, std::int64_t)>* known = nullptr);
    // The longest runs of consecutive keys among the IDs of this store and the entity (at most a few,
    // each of at least several keys), as (first, last).
    std::vector<std::pair<std::int64_t, std::int64_t>> keyRuns(const EntityDescription& entity,
                                                                const std::vector<const ManagedObjectID*>& ids) const;
    std::optional<std::size_t> countRows(const EntityDescription& entity, const WherePlan& plan, Ref<Error>* error);
    bool rowForKey(const Ref<EntityDescription>& entity, std::int64_t key, std::optional<RowSnapshot>& out, Ref<Error>* error);
    // The rows (with values) of the entity whose keys are among keys, appended to out in the store's
    // order, each once; keys without a row are left out.
    bool rowsForKeys(const Ref<EntityDescription>& entity, const std::vector<std::int64_t>& keys, std::vector<RowSnapshot>& out,
                     Ref<Error>* error);
    std::optional<std::vector<std::int64_t>> relatedKeys(const EntityDescription& entity, const RelationshipDescription& relationship,
                                                         std::int64_t key, Ref<Error>* error);

    // Reserves count keys of the entity; the first of them. Never one this store handed out before,
    // also when the transaction that took it was rolled back (records may still hold it).
    std::optional<std::int64_t> allocateKeys(const EntityDescription& entity, std::size_t count, Ref<Error>* error);

    struct PendingInsert {
        const ChangeSet::Insert* insert;
        Ref<ManagedObjectID> permanentID;
    };
    // Writes this store's part of a change set in one transaction. temporaryKeys maps temporary IDs
    // (by identity) of every insert of the change set to permanent IDs.
    bool save(const std::vector<PendingInsert>& inserts, const std::vector<const ChangeSet::Update*>& updates,
              const std::vector<const ChangeSet::Delete*>& deletes,
              const std::unordered_map<const ManagedObjectID*, Ref<ManagedObjectID>>& temporaryIDs, SaveResult* result,
              Ref<Error>* error);

private:
    struct EntityInfo {
        std::string selectColumns;           // "_pk", "_opt", then the stored columns
        std::vector<int> columnProperties;   // property index of each stored column
        std::vector<ColumnKind> columnKinds;
        std::vector<AttributeType> columnTypes;  // Undefined for relationships
        std::size_t textColumns = 0;
        std::string insertSQL;
        // Inserts go several rows to a statement when the entity has no to-many relationship: the row
        // counts of its insert statements (descending, the last one row) and their texts.
        bool insertsInBatches = false;
        std::vector<std::size_t> insertRows;
        std::vector<std::string> insertRowsSQL;
    };
    const EntityInfo& info(const EntityDescription& entity);
    // Appends the column's value, made in its place. Text is made in `texts`, an allocation for the
    // texts of the row and of the rows read with it.
    void appendColumn(std::vector<Value>& values, const Statement& stmt, int column, const PropertyDescription& property,
                      ColumnKind kind, TextBlock& texts);
    // `texts` has room for the row's texts (info.textColumns of them).
    bool readRow(const Ref<EntityDescription>& entity, const EntityInfo& info, const Statement& stmt, bool includeValues,
                 RowSnapshot& row, TextBlock& texts);
    using TemporaryIDs = std::unordered_map<const ManagedObjectID*, Ref<ManagedObjectID>>;
    // Inserts the rows in their order (rows of an entity without to-many relationships several to a
    // statement) and notes each one's version; false with the first failure in that order.
    bool insertRows(const std::vector<PendingInsert>& inserts, const TemporaryIDs& temporaryIDs,
                    std::vector<std::pair<Ref<ManagedObjectID>, std::int64_t>>& versions, Ref<Error>& failure);
    // Writes a to-many relationship's rows of the owner (replacing what it had when replace is set).
    bool writeToMany(const EntityDescription& entity, const RelationshipDescription& r, std::int64_t owner, const Value& value,
                     bool replace, const TemporaryIDs& temporaryIDs, Ref<Error>& failure);
    // The bound form of a value for a column; nothing (with a 1550 error) when the property cannot
    // hold it.
    std::optional<Value> encodeValue(const PropertyDescription& property, const Value& value,
                                     const std::unordered_map<const ManagedObjectID*, Ref<ManagedObjectID>>& temporaryIDs,
                                     Ref<Error>* error);
    // Binds a column's value (as encodeValue would give it); false (with a 1550 error) when the
    // property cannot hold it.
    bool bindColumn(Statement& s, int column, const PropertyDescription& property, ColumnKind kind, const Value& value,
                    const std::unordered_map<const ManagedObjectID*, Ref<ManagedObjectID>>& temporaryIDs, Ref<Error>* error);
    std::optional<std::int64_t> keyOf(const Value& value, const std::string& destination,
                                      const std::unordered_map<const ManagedObjectID*, Ref<ManagedObjectID>>& temporaryIDs);

    bool createSchema(Ref<Error>* error);
    bool createEntity(const EntityDescription& entity, Ref<Error>* error);
    // The table of a to-many relationship's members, with its index by owner and position.
    bool createRelationTable(const std::string& table, Ref<Error>* error);
    bool writeMetadata(Ref<Error>* error);
    bool migrate(const ManagedObjectModel& source, Ref<Error>* error);

    Ref<ManagedObjectModel> model_;
    Connection db_;
    std::string identifier_;
    Dictionary versionHashes_;
    std::map<std::string, EntityInfo, std::less<>> infos_;
    std::map<std::string, std::int64_t, std::less<>> lastKeys_;  // the last key handed out, per entity
};

}  // namespace lv::data_detail
