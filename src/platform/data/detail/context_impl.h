// The inside of a context: its registry of records, its change lists and the operations the public
// calls share. Everything here runs on the context's queue.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <memory>
#include <memory_resource>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/data/context.h"
#include "platform/data/detail/registry.h"
#include "platform/data/managed_object.h"
#include "platform/dispatch/queue.h"

namespace lv {

struct IDHash {
    std::size_t operator()(const Ref<ManagedObjectID>& id) const { return id ? id->hash() : 0; }
};
struct IDEqual {
    bool operator()(const Ref<ManagedObjectID>& a, const Ref<ManagedObjectID>& b) const {
        return a == b || (a && b && a->isEqualToID(*b));
    }
};

namespace data_detail {
Ref<ManagedObjectID> canonicalID(const Ref<ManagedObjectID>& id);
}

// Whether two IDs name the same record, also when one of them is a temporary ID that has its
// permanent ID now.
struct SameRecord {
    bool operator()(const Ref<ManagedObjectID>& a, const Ref<ManagedObjectID>& b) const {
        return IDEqual()(data_detail::canonicalID(a), data_detail::canonicalID(b));
    }
};

// Reaches the private parts of records and contexts for the context's implementation.
struct ContextAccess {
    static ManagedObjectContext::Impl& impl(const ManagedObjectContext& c) { return *c.impl_; }
    static ManagedObject& mutableObject(const ManagedObject& o) { return const_cast<ManagedObject&>(o); }
    // Where a record's ID and values live (for prefetching; nothing is read).
    static const void* id(const ManagedObject& o) { return o.id_.get(); }
    static std::pair<const char*, std::size_t> values(const ManagedObject& o) {
        return {reinterpret_cast<const char*>(o.values_.data()), o.values_.size() * sizeof(Value)};
    }
};

namespace data_detail {

// Values of one record as some level (a parent context or the store) has them.
struct Loaded {
    bool found = false;
    bool deleted = false;  // not found as a level deleted it (not saved yet)
    std::vector<Value> values;
    std::int64_t version = 0;
    // The level's values equal the ones the caller named as known for this record; `values` stays
    // empty then (no copy of what the caller holds already).
    bool same = false;
};

// One record's unsaved values as a fetch sees them: those of the nearest level that changed it.
struct OverlayEntry {
    std::vector<Value> values;        // copied from a parent level
    Ref<ManagedObject> own;           // the requesting context's own record (its values are used)
    std::int64_t version = 0;
};
using Overlay = std::unordered_map<Ref<ManagedObjectID>, OverlayEntry, IDHash, IDEqual>;
// A set of IDs made once and then only read (a thousand deletions at a time): a hash set, so that
// building it costs a probe per ID and no sort. Its nodes come from an arena of its own, let go all at
// once with the set (one allocation per run of nodes instead of one per ID); so the set stays where it
// was made.
class IDSet {
public:
    IDSet() : ids_(&arena_) {}
    IDSet(const IDSet&) = delete;
    IDSet& operator=(const IDSet&) = delete;
    explicit IDSet(std::vector<Ref<ManagedObjectID>> ids) : IDSet() {
        reserve(ids.size());
        for (auto& id : ids) add(std::move(id));
    }
    // Room for count IDs.
    void reserve(std::size_t count) { ids_.reserve(count); }
    // Adds the ID unless an equal one is in the set already (the first of equal IDs is kept).
    void add(Ref<ManagedObjectID> id) { ids_.insert(std::move(id)); }
    std::size_t count(const Ref<ManagedObjectID>& id) const { return ids_.empty() ? 0 : ids_.count(id); }
    bool empty() const { return ids_.empty(); }
    std::size_t size() const { return ids_.size(); }
    // Visits every ID.
    template <class F>
    void forEach(F&& f) const {
        for (const auto& id : ids_) f(id);
    }

private:
    std::pmr::monotonic_buffer_resource arena_;
    std::pmr::unordered_set<Ref<ManagedObjectID>, IDHash, IDEqual> ids_;
};
// The IDs (as they were then) of one context's unsaved deletions of one entity; never changed once
// made, so a child may read a parent's set off the parent's queue.
using DeletedIDs = std::shared_ptr<const IDSet>;

// A record's changes as a child hands them to its parent.
struct PushedRecord {
    enum class Kind : std::uint8_t { Insert, Update, Delete };
    Kind kind;
    Ref<ManagedObjectID> id;
    Ref<EntityDescription> entity;
    std::vector<Value> values;   // inserts: all values; updates: all current values
    std::vector<bool> changed;   // updates: which of them changed
    std::int64_t version = 0;
    std::vector<Value> base;     // updates of to-many lists: each list as the child read it (else empty)
};

// Whether a release of `count` references may wait for the main run loop's next turn: on the main
// thread, while its run loop runs (so a later turn will come) and fewer than a bound of references
// already wait there. Counts them in when it answers true; `mainReleaseDone` counts them out.
bool mayReleaseOnMainLater(std::size_t count);
void mainReleaseDone(std::size_t count);

// Hands the last references of what a save is done with (deleted records with their values,
// temporary IDs replaced by permanent ones; a thousand at a time) on, to be freed after the save:
// work the saving queue need not wait for. A save on the main thread inside its run loop leaves them
// to the loop's next turn: the memory goes back to the allocator of the thread that made it, where the
// next records reuse it, instead of being freed on another thread that must take that allocator's lock
// while the main thread allocates (the two then wake each other dozens of times a save). Elsewhere, or
// past the bound, a background queue frees them.
template <class T>
void releaseElsewhere(std::vector<T>&& doomed) {
    if (doomed.empty()) return;
    if (mayReleaseOnMainLater(doomed.size())) {
        Queue::main()->async([released = std::move(doomed)]() mutable {
            const std::size_t count = released.size();
            std::vector<T>().swap(released);
            mainReleaseDone(count);
        });
        return;
    }
    Queue::global()->async([released = std::move(doomed)] {});
}

// Error helpers.
Ref<Error> contextError(std::int64_t code, std::string message, Dictionary extra = {});
// The error of an existing-record lookup that finds no record with the ID (133000).
Ref<Error> recordNotFoundError(const Ref<ManagedObjectID>& id);

// A new record instance for the entity: its registered record class, else ManagedObject.
Ref<ManagedObject> makeRecordInstance(const Ref<EntityDescription>& entity);

// A temporary ID's permanent ID when it has one, else the ID itself.
Ref<ManagedObjectID> canonicalID(const Ref<ManagedObjectID>& id);
// The predicate with records given as arguments replaced by their object IDs.
Ref<Predicate> substituteRecordArguments(const Ref<Predicate>& predicate);

// Same kind and equal (2 and 2.0 differ here: a change of kind is a change).
bool sameValue(const Value& a, const Value& b);

// A to-many list changed from oldBase to mine here, while its source moved to newBase: newBase
// without what was removed here and with what was added here (in mine's order); mine itself when the
// source has not moved.
Value mergeToMany(const Value& oldBase, const Value& mine, const Value& newBase);

// Stored rows first in key order, then new records in the order they were made.
bool orderedBefore(const ManagedObjectID& a, const ManagedObjectID& b);

}  // namespace data_detail

struct ManagedObjectContext::Impl {
    explicit Impl(ManagedObjectContext& owner) : self(owner) {}

    // An ordered set of records kept through the records' slots (no hashing).
    struct List {
        std::vector<Ref<ManagedObject>> items;  // nullptr where a record was removed
        std::size_t live = 0;
        std::uint64_t version = 0;  // moves on whenever a record joins or leaves
        void add(ManagedObject::List which, const Ref<ManagedObject>& o);
        // The same, taking the caller's reference over when the record joins (no count change).
        void add(ManagedObject::List which, Ref<ManagedObject>&& o);
        void remove(ManagedObject::List which, ManagedObject& o);
        bool contains(ManagedObject::List which, const ManagedObject& o) const { return o.slots_[which] != ManagedObject::kNoSlot; }
        void clear(ManagedObject::List which);
        std::vector<Ref<ManagedObject>> objects() const;
        Array values() const;
        // values() and clear() in one: the list's references move into the array.
        Array take(ManagedObject::List which) {
            return take(which, [](ManagedObject&) {});
        }
        // The same, calling each(record) for every record first, in order.
        template <class F>
        Array take(ManagedObject::List which, F&& each) {
            Array out;
            out.reserve(live);
            for (auto& item : items) {
                if (!item) continue;
                each(*item);
                item->slots_[which] = ManagedObject::kNoSlot;
                out.push_back(Value::adopting(std::move(item)));
            }
            items.clear();
            live = 0;
            ++version;
            return out;
        }
        bool empty() const { return live == 0; }
    };

    ManagedObjectContext& self;
    Weak<ManagedObjectContext> weakSelf;  // what records point back to
    Ref<ManagedObjectModel> model;        // the coordinator's, once looked up
    data_detail::Registry registry;
    std::vector<Ref<ManagedObject>> temporaries;  // registered with temporary IDs (some may be stale)
    std::uint64_t seenGeneration = 0;
    // True while every entry of `temporaries` is registered here under a temporary ID that had no
    // permanent ID as of checkedGeneration (each was looked at when it joined, or by the last walk):
    // rekeyIfNeeded has nothing to do at that generation.
    bool temporariesChecked = false;
    std::uint64_t checkedGeneration = 0;
    List lists[ManagedObject::kListCount];
    // Per entity name: the IDs of the unsaved deletions, as of the deleted list's version and the
    // permanent-ID generation they were gathered at (a fetch then reads them without a rebuild).
    struct DeletedIndex {
        std::uint64_t listVersion = 0;
        std::uint64_t idGeneration = 0;
        data_detail::DeletedIDs ids;
    };
    std::unordered_map<std::string, DeletedIndex> deletedIndex;
    bool notifyScheduled = false;
    bool saving = false;

    List& list(ManagedObject::List which) { return lists[which]; }
    void add(ManagedObject::List which, const Ref<ManagedObject>& o) { lists[which].add(which, o); }
    void add(ManagedObject::List which, Ref<ManagedObject>&& o) { lists[which].add(which, std::move(o)); }
    void remove(ManagedObject::List which, ManagedObject& o) { lists[which].remove(which, o); }
    bool contains(ManagedObject::List which, const ManagedObject& o) const { return lists[which].contains(which, o); }

    // ---- registry (context.cpp) ----
    Ref<ManagedObject> lookup(const Ref<ManagedObjectID>& id);
    void registerObject(const Ref<ManagedObject>& o);
    void unregister(ManagedObject& o);
    void rekey(ManagedObject& o, Ref<ManagedObjectID> id);
    // Moves records whose temporary IDs got permanent ones (anywhere) to their permanent IDs.
    void rekeyIfNeeded();
    // Whether rekeyIfNeeded might move a record now.
    bool rekeyPending() const;
    // The ID as this context knows it now (a temporary ID's permanent one when it has one).
    Ref<ManagedObjectID> canonical(const Ref<ManagedObjectID>& id) const;
    // Relationship values with canonical IDs.
    Value canonicalValue(const PropertyDescription& property, const Value& value) const;
    // The entity of the coordinator's model (the model is looked up once).
    Ref<EntityDescription> entityNamed(std::string_view name);

    // ---- values from the parent or store (context.cpp) ----
    // Values of the records as this context's source (parent chain, else the store) has them.
    // known (optional, one per ID, nullptr where none): values the caller holds for the record; a
    // parent context holding equal values answers `same` instead of copying them. Read on the
    // parent's queue while the caller waits for it.
    bool loadFromSource(const std::vector<Ref<ManagedObjectID>>& ids, std::vector<data_detail::Loaded>& out, Ref<Error>* error,
                        const std::vector<const std::vector<Value>*>* known = nullptr);
    // Values of the records as this context has them (its unsaved changes included).
    bool currentValues(const std::vector<Ref<ManagedObjectID>>& ids, std::vector<data_detail::Loaded>& out, Ref<Error>* error,
                       const std::vector<const std::vector<Value>*>* known = nullptr);
    std::optional<Value> relatedIDsFromSource(const Ref<ManagedObjectID>& id, std::size_t index, Ref<Error>* error);
    std::optional<Value> currentRelatedIDs(const Ref<ManagedObjectID>& id, std::size_t index, Ref<Error>* error);
    void fulfill(ManagedObject& o);
    void loadToMany(ManagedObject& o, std::size_t index);

    // ---- change tracking (context.cpp) ----
    void willChange(ManagedObject& o);
    void scheduleNotify();
    void forgetInserted(ManagedObject& o);
    void markDeleted(ManagedObject& o);
    void applyDeleteRules(ManagedObject& o);
    // New values from the source for a loaded record; its own unsaved changes stay on top.
    // Its local relationship changes are made again over the new values with their other sides, at
    // once or, given `later`, there (when other records are still to take their new values first).
    struct RelationshipEdit {
        Ref<ManagedObject> object;
        std::size_t index;
        Value value;
    };
    void rebase(ManagedObject& o, std::vector<Value> base, std::int64_t version, std::vector<RelationshipEdit>* later = nullptr);
    Ref<ManagedObject> materialize(const Ref<EntityDescription>& entity, const Ref<ManagedObjectID>& id,
                                   std::vector<Value> values, std::int64_t version, bool fault);

    // ---- fetching (context_fetch.cpp) ----
    // The unsaved inserts and updates of the entity in this context and its parents (the requesting
    // context's own records by reference, the parents' values copied); the nearest level that changed
    // a record decides. Each level's unsaved deletions go to `deleted`: a record deleted at any level
    // is hidden, whatever another level did to it. The requesting context's own new records, which no
    // other level and no store row can know, go to `fresh` instead of the map. atTop, when given, runs
    // on the top context's queue (the one over the coordinator) once every level's changes are
    // gathered, and is told whether there are none.
    void gatherOverlay(const std::string& entityName, data_detail::Overlay& out, std::vector<data_detail::DeletedIDs>& deleted,
                       std::vector<ManagedObject*>& fresh, bool requesting, const std::function<void(bool unchanged)>& atTop);
    // This context's unsaved deletions of the entity; kept between fetches until the deleted list
    // changes or temporary IDs get permanent ones.
    data_detail::DeletedIDs deletedIDs(const std::string& entityName);
    // The registered record of a store row (its values refreshed when it has no changes), or a new one.
    // held: the row's registered record when the caller looked it up already (nullptr: looked up here).
    Ref<ManagedObject> fromRow(const Ref<EntityDescription>& entity, RowSnapshot& row, Ref<ManagedObject> held = nullptr);
    // Keys-only rows of records this context holds loaded and unchanged at another row version: their
    // values read from the store, so the fetch refreshes them as a fetch with values does. held gets
    // each row's registered record (nullptr for none), in the rows' order, for fromRow.
    bool valuesForMovedRows(PersistentStoreCoordinator& coordinator, std::vector<RowSnapshot>& rows,
                            std::vector<Ref<ManagedObject>>& held, Ref<Error>* error);
    std::optional<Array> runFetch(const FetchRequest& request, FetchRequestResultType type, Ref<Error>* error);

    // ---- saving (context_save.cpp) ----
    struct EntityChecks;
    // Adds the record's validation errors (integers out of range, required values missing).
    static void checkValues(const ManagedObject& o, EntityChecks& checks, std::vector<Ref<Error>>& errors);
    // True without errors; else the one error, or 1560 holding them all.
    static bool reportErrors(std::vector<Ref<Error>>& errors, Ref<Error>* error);
    bool validate(Ref<Error>* error);
    bool saveToStore(Ref<Error>* error);
    bool pushToParent(Ref<Error>* error);
    bool acceptPushed(std::vector<data_detail::PushedRecord>& records, Ref<Error>* error);
    void postDidSave(Array inserted, Array updated, Array deleted);
};

}  // namespace lv
