// Contexts: a scratch pad of records over a coordinator or over a parent context. A context tracks the
// records it holds (registered by object ID), what was inserted, updated and deleted since its last
// save, and announces its changes. Fetches see every unsaved change of the context and of its parents;
// a save writes a root context's changes to the store in one transaction, or pushes a child's changes
// into its parent.
//
// Threads. A private-queue context owns a serial queue, a main-queue context uses the main queue, a
// confinement context belongs to the thread that made it. Everything a context holds (its records
// included) is touched only on its queue: run work there with perform (asynchronous) or
// performAndWait (synchronous; inline when the caller already runs on that queue). Notifications are
// posted on the context's queue. The coordinator has its own lock; a child reaches its parent through
// the parent's performAndWait, never the other way round.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/base/error.h"
#include "platform/base/object.h"
#include "platform/base/value.h"
#include "platform/data/coordinator.h"
#include "platform/data/fetch_request.h"
#include "platform/data/managed_object.h"
#include "platform/data/object_id.h"

namespace lv {

class Notification;
class Queue;
class RunLoop;

// The platform's values.
enum class ManagedObjectContextConcurrencyType : std::uint8_t { Confinement = 0, PrivateQueue = 1, MainQueue = 2 };

enum class MergePolicyType : std::uint8_t {
    // A record whose row changed in the store since the context read it fails the save (133020).
    Error = 0,
    // The context's changed properties win; the store keeps its values for the others.
    MergeByPropertyObjectTrump = 2,
};

// Notifications (object: the context).
// Before a save, before validation: observers may still change records or obtain permanent IDs.
inline constexpr std::string_view kManagedObjectContextWillSaveNotification = "NSManagedObjectContextWillSaveNotification";
// After a save; user info: kInsertedObjectsKey, kUpdatedObjectsKey, kDeletedObjectsKey (arrays of the
// saving context's records).
inline constexpr std::string_view kManagedObjectContextDidSaveNotification = "NSManagedObjectContextDidSaveNotification";
// The changes since the last such notification (processPendingChanges): arrays of records under the keys
// below that have any; kInvalidatedAllObjectsKey (the object IDs) after reset.
inline constexpr std::string_view kManagedObjectContextObjectsDidChangeNotification =
    "NSManagedObjectContextObjectsDidChangeNotification";
inline constexpr std::string_view kInsertedObjectsKey = "inserted";
inline constexpr std::string_view kUpdatedObjectsKey = "updated";
inline constexpr std::string_view kDeletedObjectsKey = "deleted";
inline constexpr std::string_view kRefreshedObjectsKey = "refreshed";
inline constexpr std::string_view kInvalidatedAllObjectsKey = "invalidatedAll";

class ManagedObjectContext : public Object {
public:
    using Block = std::function<void()>;

    explicit ManagedObjectContext(ManagedObjectContextConcurrencyType type);
    static Ref<ManagedObjectContext> make(ManagedObjectContextConcurrencyType type) {
        return makeRef<ManagedObjectContext>(type);
    }
    ~ManagedObjectContext() override;

    ManagedObjectContextConcurrencyType concurrencyType() const { return type_; }

    // Runs the block on the context's queue: perform later (a confinement context: on its thread's run
    // loop), performAndWait before returning (inline when already on the queue; a confinement context
    // always inline).
    void perform(Block block);
    void performAndWait(const Block& block);
    // Whether the calling thread may touch the context now.
    bool isOnQueue() const;

    // Where the context reads and saves: a coordinator (a root context) or a parent context. Set one
    // of them before use; setting one clears the other.
    void setPersistentStoreCoordinator(Ref<PersistentStoreCoordinator> coordinator);
    // The context's own coordinator, or its root's.
    Ref<PersistentStoreCoordinator> persistentStoreCoordinator() const;
    void setParentContext(Ref<ManagedObjectContext> parent);
    Ref<ManagedObjectContext> parentContext() const;

    // Free-form entries of the caller (the context's queue only).
    Dictionary& userInfo() { return userInfo_; }
    const Dictionary& userInfo() const { return userInfo_; }
    const std::string& name() const { return name_; }
    void setName(std::string name) { name_ = std::move(name); }
    MergePolicyType mergePolicy() const { return mergePolicy_; }
    void setMergePolicy(MergePolicyType policy) { mergePolicy_ = policy; }

    // ---- records (the context's queue) ----

    // Inserts a new record (one made without a context, or one deleted here before being saved).
    void insertObject(const Ref<ManagedObject>& object);
    // Marks the record deleted; a record inserted in this context and not yet saved is simply
    // forgotten. Deleting also applies the delete rules of its relationships.
    void deleteObject(const Ref<ManagedObject>& object);

    // The record with the ID: the registered one, else a new fault (whose values load on first access).
    Ref<ManagedObject> objectWithID(const Ref<ManagedObjectID>& id);
    // The registered record with the ID, or nullptr.
    Ref<ManagedObject> objectRegisteredForID(const Ref<ManagedObjectID>& id) const;
    // The record with its values loaded; nullptr with the error 133000 when no parent and no store
    // has it.
    Ref<ManagedObject> existingObjectWithID(const Ref<ManagedObjectID>& id, Ref<Error>* error);
    // The records existingObjectWithID gives for each ID in turn (nullptr where it gives none, with its
    // error in errors, when given, at the same place), with the values of every fault and every record
    // not yet registered read from the parent or the store at once rather than one by one.
    std::vector<Ref<ManagedObject>> existingObjectsWithIDs(const std::vector<Ref<ManagedObjectID>>& ids,
                                                           std::vector<Ref<Error>>* errors);
    // Gives the records with temporary IDs their permanent IDs (keys taken from the store now).
    bool obtainPermanentIDsForObjects(const std::vector<Ref<ManagedObject>>& objects, Ref<Error>* error);

    // Runs the request over the store's rows and every unsaved change of this context and its parents.
    // The array holds records, object IDs, dictionaries (the store's rows only) or, for a count
    // request, one number. Errors: an unknown entity or key, no store (134060).
    std::optional<Array> executeFetchRequest(const FetchRequest& request, Ref<Error>* error);
    // The records of a record request.
    std::optional<std::vector<Ref<ManagedObject>>> fetchObjects(const FetchRequest& request, Ref<Error>* error);
    // The number of results the request would give, unsaved changes included.
    std::optional<std::size_t> countForFetchRequest(const FetchRequest& request, Ref<Error>* error);

    bool hasChanges() const;
    std::vector<Ref<ManagedObject>> insertedObjects() const;
    std::vector<Ref<ManagedObject>> updatedObjects() const;
    std::vector<Ref<ManagedObject>> deletedObjects() const;
    std::vector<Ref<ManagedObject>> registeredObjects() const;

    // Posts kManagedObjectContextObjectsDidChangeNotification with the changes since the last one, if
    // any. Runs by itself at the end of the queue task that made the first change, before a save and
    // after a merge.
    void processPendingChanges();

    // Root context: posts will-save, validates (a required value missing: 1570; several errors: 1560
    // with the list), gives new records permanent IDs and writes every change in one transaction; on
    // failure (the store's error: 134030 with SQLite's message, 133020 for a conflict) nothing is lost
    // and the changes stay. Then posts did-save. Child context: the same, but the changes go into the
    // parent (unsaved there). No changes: true, nothing posted.
    bool save(Ref<Error>* error);
    // Forgets every unsaved change (inserted records are dropped, the others get their saved values).
    void rollback();
    // Forgets every record; posts kInvalidatedAllObjectsKey.
    void reset();
    // Without mergeChanges: drops the record's unsaved changes and turns it into a fault. With it:
    // reloads its values from the parent or store and keeps its changed values on top.
    void refreshObject(const Ref<ManagedObject>& object, bool mergeChanges);

    // Brings in what another context saved (its did-save notification, or a user info of the same
    // keys holding records or object IDs): updated records held here are reloaded keeping their
    // unsaved changes, deleted ones are removed, inserted ones are registered; then
    // processPendingChanges.
    void mergeChangesFromContextDidSaveNotification(const Notification& notification);
    void mergeChangesFromUserInfo(const Dictionary& changes);

    std::string description() const override;

private:
    friend class ManagedObject;
    friend struct ContextAccess;
    struct Impl;

    ManagedObjectContextConcurrencyType type_;
    Ref<Queue> queue_;        // private and main-queue contexts
    Ref<RunLoop> ownerLoop_;  // confinement contexts
    mutable std::mutex configMutex_;
    Ref<PersistentStoreCoordinator> coordinator_;
    Ref<ManagedObjectContext> parent_;
    // The coordinator last found through the parents (not kept alive by it), and the count of context
    // configuration changes it was found at: while no context changed its coordinator or parent, it is
    // still the answer.
    mutable Weak<PersistentStoreCoordinator> inherited_;
    mutable std::uint64_t inheritedAt_ = 0;
    Dictionary userInfo_;
    std::string name_;
    MergePolicyType mergePolicy_ = MergePolicyType::Error;
    std::unique_ptr<Impl> impl_;
};

}  // namespace lv
