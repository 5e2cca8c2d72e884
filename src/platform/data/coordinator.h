// The coordinator: one model over one or more stores (SQLite files, or the same code over an in-memory
// database). It answers fetch requests with row snapshots that contexts overlay with their unsaved
// changes, and writes a context's change set in one transaction per store.
//
// On disk a store has one table per entity, named after it ("News"), with the key column "_pk", the
// row version "_opt" and one column per attribute and to-one relationship, named after it; to-many
// relationships have a table "_lv_rel_<Entity>_<name>" of (owner, position, target) keys. The table
// "_lv_metadata" holds the store identifier, the model text and the entity version hashes; "_lv_keys"
// holds the last key given out per entity. Integers and booleans are INTEGER, doubles and floats REAL,
// decimals their exact text, dates REAL seconds since the reference date, text TEXT, data BLOB, and
// transformable values the data their transformer (by default the keyed archiver) makes of them.
//
// Threads: every call takes the coordinator's lock for its duration, so one coordinator may be used
// from any thread; performBlockAndWait runs a block under the same (recursive) lock.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/base/error.h"
#include "platform/base/object.h"
#include "platform/base/value.h"
#include "platform/data/errors.h"
#include "platform/data/fetch_request.h"
#include "platform/data/model.h"
#include "platform/data/object_id.h"

namespace lv {

inline constexpr std::string_view kSQLiteStoreType = "SQLite";
inline constexpr std::string_view kInMemoryStoreType = "InMemory";

// Store options.
// Migrate a store whose model differs (a boolean number).
inline constexpr std::string_view kMigratePersistentStoresAutomaticallyOption = "MigratePersistentStoresAutomaticallyOption";
// Infer the mapping from the two models (a boolean number); lightweight migration needs both.
inline constexpr std::string_view kInferMappingModelAutomaticallyOption = "InferMappingModelAutomaticallyOption";
// A dictionary of SQLite pragmas run when the store opens ({"journal_mode": "WAL"}).
inline constexpr std::string_view kSQLitePragmasOption = "SQLitePragmasOption";

// Metadata keys.
inline constexpr std::string_view kStoreUUIDKey = "StoreUUID";
inline constexpr std::string_view kStoreTypeKey = "StoreType";
inline constexpr std::string_view kStoreModelVersionHashesKey = "StoreModelVersionHashes";

class PersistentStoreCoordinator;
namespace data_detail {
class SQLiteStore;
}

class PersistentStore : public Object {
public:
    ~PersistentStore() override;

    const std::string& type() const { return type_; }
    const std::string& configurationName() const { return configuration_; }
    // The file; empty for an in-memory store.
    const std::filesystem::path& URL() const { return url_; }
    const Dictionary& options() const { return options_; }
    // The store's own identifier (kept in the file), part of every permanent object ID.
    const std::string& identifier() const { return identifier_; }
    // StoreUUID, StoreType and StoreModelVersionHashes (entity name → data).
    Dictionary metadata() const;
    Ref<PersistentStoreCoordinator> persistentStoreCoordinator() const { return coordinator_.lock(); }
    std::string description() const override;

    PersistentStore(std::string type, std::string configuration, std::filesystem::path url, Dictionary options);

private:
    friend class PersistentStoreCoordinator;
    std::string type_;
    std::string configuration_;
    std::filesystem::path url_;
    Dictionary options_;
    std::string identifier_;
    Dictionary versionHashes_;
    Weak<PersistentStoreCoordinator> coordinator_;
    std::unique_ptr<data_detail::SQLiteStore> impl_;
};

// One stored record as the store has it: its permanent ID, its row version (raised by every write)
// and its values by the entity's property index (entity->propertyIndex): attributes as their
// Values, to-one relationships as the destination's object ID (nil when empty); to-many
// relationships are not loaded here (relatedObjectIDs reads them). Empty values: not loaded.
struct RowSnapshot {
    Ref<ManagedObjectID> objectID;
    std::int64_t version = 0;
    std::vector<Value> values;

    // The value of a property of the snapshot's entity; nil for an unknown name or an unloaded row.
    const Value& value(std::string_view propertyName) const;
};

struct FetchResult {
    // ManagedObject and ManagedObjectID requests: the rows in order (keys only for the latter).
    std::vector<RowSnapshot> rows;
    // Dictionary requests: the dictionaries in order.
    Array dictionaries;
    // Every type: the number of results (for Count requests the only answer).
    std::size_t count = 0;
};

// A context's changes, written together. Property values are by name; a value may be nil (clears the
// property). To-one relationships take an object ID (or nil), to-many ones an array of object IDs;
// IDs may be temporary IDs of records inserted by the same change set.
struct ChangeSet {
    struct Insert {
        Ref<ManagedObjectID> objectID;  // temporary, or permanent from obtainPermanentIDs
        std::vector<std::pair<std::string, Value>> values;
        // Instead of values: every property's value by the entity's property index (nil: none). Used
        // when it has one value per property.
        std::vector<Value> valuesByIndex = {};
    };
    struct Update {
        Ref<ManagedObjectID> objectID;
        // The version the writer read; the update fails with a conflict when the row changed since.
        // Nothing: no check.
        std::optional<std::int64_t> expectedVersion;
        std::vector<std::pair<std::string, Value>> changedValues;
    };
    struct Delete {
        Ref<ManagedObjectID> objectID;
        std::optional<std::int64_t> expectedVersion;
    };
    std::vector<Insert> inserts;
    std::vector<Update> updates;
    std::vector<Delete> deletes;

    bool empty() const { return inserts.empty() && updates.empty() && deletes.empty(); }
};

struct SaveResult {
    // Temporary ID of every insert that had one → its permanent ID.
    std::vector<std::pair<Ref<ManagedObjectID>, Ref<ManagedObjectID>>> permanentIDs;
    // Permanent ID of every inserted or updated row → its new version.
    std::vector<std::pair<Ref<ManagedObjectID>, std::int64_t>> versions;
};

class PersistentStoreCoordinator : public Object {
public:
    explicit PersistentStoreCoordinator(Ref<ManagedObjectModel> model);
    ~PersistentStoreCoordinator() override;

    const Ref<ManagedObjectModel>& managedObjectModel() const { return model_; }

    // Opens a store of the type (kSQLiteStoreType at the path, kInMemoryStoreType ignoring it) with
    // the options, and adds it. A new file gets the model's schema. A file made with another model:
    // without kMigratePersistentStoresAutomaticallyOption and kInferMappingModelAutomaticallyOption,
    // the error 134100; with them, a lightweight migration in one transaction (added and removed
    // entities, attributes and relationships; added non-optional attributes need a default value or
    // an empty table), 134110 for what it cannot migrate (a changed attribute type), 134130 for a file
    // without a model of ours. A file that is not a database: 259. Nothing on failure.
    Ref<PersistentStore> addPersistentStore(std::string_view type, std::string_view configuration,
                                            const std::filesystem::path& url, const Dictionary& options, Ref<Error>* error);
    bool removePersistentStore(const Ref<PersistentStore>& store, Ref<Error>* error);
    std::vector<Ref<PersistentStore>> persistentStores() const;
    Ref<PersistentStore> persistentStoreForURL(const std::filesystem::path& url) const;
    Ref<PersistentStore> persistentStoreForIdentifier(std::string_view identifier) const;

    // The metadata of a store file without adding it; nothing (with an error) when it has none.
    static std::optional<Dictionary> metadataForPersistentStore(const std::filesystem::path& url, Ref<Error>* error);

    // Runs the request on the stores' rows (no context's pending changes). An unknown entity or key,
    // or no store, is an error (Cocoa kObjectStoreError), never a crash.
    std::optional<FetchResult> executeFetchRequest(const FetchRequest& request, Ref<Error>* error);
    // The same, leaving out every row whose object ID skip accepts; skip is asked before the row's
    // values are read, so rows a caller drops anyway cost no decoding. Offset, limit and count apply
    // to the rows left.
    using RowFilter = std::function<bool(const Ref<ManagedObjectID>&)>;
    std::optional<FetchResult> executeFetchRequest(const FetchRequest& request, Ref<Error>* error, const RowFilter& skip);
    // The same, told IDs that skip accepts for certain: a store leaves out long runs of their
    // consecutive keys in SQL already, so such rows cost neither their columns nor an object ID.
    // With known, a row's object ID is the one known gives for the store identifier and the row's key
    // (an ID equal to the one the store would make, such as the one a context holds its record
    // under); the store makes one only where known gives nullptr.
    using KnownIDs = std::function<const Ref<ManagedObjectID>*(const std::string& storeIdentifier, std::int64_t key)>;
    std::optional<FetchResult> executeFetchRequest(const FetchRequest& request, Ref<Error>* error, const RowFilter& skip,
                                                   const std::vector<const ManagedObjectID*>& skipped,
                                                   const KnownIDs& known = KnownIDs());
    // The number of rows the request would give (offset and limit applied).
    std::optional<std::size_t> countForFetchRequest(const FetchRequest& request, Ref<Error>* error);
    // Current rows of the IDs, in the order given; IDs without a row are left out.
    std::optional<std::vector<RowSnapshot>> rowsForObjectIDs(const std::vector<Ref<ManagedObjectID>>& ids, Ref<Error>* error);
    // The targets of a to-many relationship of a stored row, in their order.
    std::optional<std::vector<Ref<ManagedObjectID>>> relatedObjectIDs(const Ref<ManagedObjectID>& id,
                                                                       std::string_view relationship, Ref<Error>* error);

    // Permanent IDs for new records of the entity, their keys taken from the store (the first store
    // when none is named); the keys are never given out again.
    std::optional<std::vector<Ref<ManagedObjectID>>> obtainPermanentIDs(const Ref<EntityDescription>& entity, std::size_t count,
                                                                        Ref<Error>* error, const Ref<PersistentStore>& store = nullptr);

    // Writes the change set: per store one transaction holding every insert, update and delete, or
    // none of them. A row whose version differs from the expected one (or that is gone) fails the
    // save with 133020 and the user-info entry "conflictList" (one dictionary per conflict:
    // "objectID", "expectedVersion", "currentVersion", nil when the row is gone); other failures give
    // 134030 (with the SQLite error underneath) or 1550 for a value the attribute cannot hold.
    bool saveChanges(const ChangeSet& changes, SaveResult* result, Ref<Error>* error);

    // Takes the write lock of every SQLite store file and keeps it until endWriting: other processes
    // cannot write meanwhile, what is read is current, and the saves made meanwhile reach the files
    // (and other processes) together at endWriting. Calls of this coordinator from any thread run
    // inside it. Nested calls count; the outermost pair takes and gives up the locks. False (with a
    // 134030 error, nothing held) when a lock cannot be had within the busy time-out.
    bool beginWriting(Ref<Error>* error);
    // Commits what was saved since beginWriting; false (with the error) when that fails, and then
    // nothing of it is kept (contexts that saved meanwhile still hold it as saved: reset them).
    // cancelWriting undoes it instead.
    bool endWriting(Ref<Error>* error);
    void cancelWriting();

    // Runs the block under the coordinator's lock (no other call of this coordinator runs meanwhile;
    // the block may call the coordinator itself).
    void performBlockAndWait(const std::function<void()>& block);
    void lock() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }
    bool tryLock() { return mutex_.try_lock(); }

    std::string description() const override;

private:
    Ref<EntityDescription> resolveEntity(const FetchRequest& request, Ref<Error>* error) const;
    Ref<PersistentStore> storeForID(const ManagedObjectID& id) const;

    Ref<ManagedObjectModel> model_;
    mutable std::recursive_mutex mutex_;
    std::vector<Ref<PersistentStore>> stores_;
    int writing_ = 0;  // beginWriting calls not yet ended
};

}  // namespace lv
