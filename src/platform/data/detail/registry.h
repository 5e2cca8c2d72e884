// A context's registry: the records it holds by object ID (equal IDs name one entry), in the order
// they were registered. Entries sit side by side in a list; an open-addressing index of small slots
// (a tag of the ID's hash and the entry's position) finds them, so a lookup, a registration or moving
// a record to its permanent ID after a save touches a few adjacent cache lines and no list of nodes.
// Used on the owner context's queue only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/data/managed_object.h"
#include "platform/data/object_id.h"

namespace lv::data_detail {

class Registry {
public:
    // The record registered under an ID equal to id, or nullptr.
    const Ref<ManagedObject>* find(const Ref<ManagedObjectID>& id) const;
    // The ID of the entry whose ID equals the permanent ID of key in the entity (by name) of the
    // store, found without making that ID (hash: that ID's hash()), or nullptr.
    const Ref<ManagedObjectID>* findPermanent(std::size_t hash, const EntityDescription& entity, std::string_view store,
                                              std::int64_t key) const;
    // Registers the record under id; an entry of an equal ID keeps its ID and its place and takes the
    // record instead.
    void assign(const Ref<ManagedObjectID>& id, const Ref<ManagedObject>& record);
    // Removes the entry of id when it holds the record.
    void erase(const Ref<ManagedObjectID>& id, const ManagedObject& record);
    // Moves the record's entry from the ID `from` to the ID `to`, keeping its place, when the entry of
    // `from` holds the record. When another entry has an ID equal to `to` already, that one stays and
    // the record's entry is dropped.
    void rekey(const Ref<ManagedObjectID>& from, const ManagedObject& record, const Ref<ManagedObjectID>& to);

    // Asks the processor early for the slot where a look-up of id starts; reads and changes nothing
    // that matters. A walk over many records calls it a few records ahead, so that the look-ups' cache
    // misses overlap.
    void prefetch(const Ref<ManagedObjectID>& id) const;

    void reserve(std::size_t count);
    std::size_t size() const { return entries_.size() - dead_; }
    void clear();

    // f(id, record) for every entry, in registration order.
    template <class F>
    void forEach(F&& f) const {
        for (const Entry& e : entries_) {
            if (e.record) f(e.id, e.record);
        }
    }

private:
    struct Entry {
        Ref<ManagedObjectID> id;
        Ref<ManagedObject> record;  // nullptr: removed
        std::uint32_t tag;
    };
    struct Slot {
        std::uint32_t entry = 0;  // position + 1; 0: empty
        std::uint32_t tag = 0;    // the high half of the mixed hash (its top bits pick the home slot)
    };
    static std::uint32_t tagOfHash(std::size_t hash);
    static std::uint32_t tagOf(const Ref<ManagedObjectID>& id);
    std::size_t home(std::uint32_t tag) const { return static_cast<std::size_t>(std::uint64_t{tag} >> shift_); }
    // The slot holding the entry of an ID equal to id, or the empty slot where it would go.
    std::size_t probe(const Ref<ManagedObjectID>& id, std::uint32_t tag) const;
    // The slot of the first entry with the tag whose ID `matches`, or the empty slot ending the run.
    template <class Matches>
    std::size_t probeWhere(std::uint32_t tag, const Matches& matches) const {
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = home(tag);; i = (i + 1) & mask) {
            const Slot& slot = slots_[i];
            if (slot.entry == 0 || (slot.tag == tag && matches(entries_[slot.entry - 1].id))) return i;
        }
    }
    void removeSlot(std::size_t slot);
    void rebuild(std::size_t slotCount);
    void compactIfSparse();

    std::vector<Entry> entries_;
    std::vector<Slot> slots_;  // a power of two of them, at most 5/8 used
    unsigned shift_ = 32;
    std::size_t dead_ = 0;
};

}  // namespace lv::data_detail
