#include "platform/data/detail/registry.h"

#include <algorithm>
#include <utility>

namespace lv::data_detail {

std::uint32_t Registry::tagOfHash(std::size_t hash) {
    // Fibonacci mixing: the IDs' own hashes are sequential or nearly so.
    const std::uint64_t h = static_cast<std::uint64_t>(hash) * 0x9e3779b97f4a7c15ULL;
    return static_cast<std::uint32_t>(h >> 32);
}

std::uint32_t Registry::tagOf(const Ref<ManagedObjectID>& id) { return tagOfHash(id ? id->ManagedObjectID::hash() : 0); }

std::size_t Registry::probe(const Ref<ManagedObjectID>& id, std::uint32_t tag) const {
    return probeWhere(tag, [&](const Ref<ManagedObjectID>& other) { return other == id || (other && id && other->isEqualToID(*id)); });
}

void Registry::prefetch(const Ref<ManagedObjectID>& id) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[home(tagOf(id))]);
}

const Ref<ManagedObject>* Registry::find(const Ref<ManagedObjectID>& id) const {
    if (slots_.empty()) return nullptr;
    const Slot& slot = slots_[probe(id, tagOf(id))];
    return slot.entry ? &entries_[slot.entry - 1].record : nullptr;
}

const Ref<ManagedObjectID>* Registry::findPermanent(std::size_t hash, const EntityDescription& entity, std::string_view store,
                                                    std::int64_t key) const {
    if (slots_.empty() || key == 0) return nullptr;
    // The equality of isEqualToID with an ID of that key, store and entity.
    const Slot& slot = slots_[probeWhere(tagOfHash(hash), [&](const Ref<ManagedObjectID>& other) {
        if (!other || other->key() != key || other->ManagedObjectID::hash() != hash || other->storeIdentifier() != store) return false;
        const Ref<EntityDescription>& e = other->entity();
        return e && (e.get() == &entity || e->name() == entity.name());
    })];
    return slot.entry ? &entries_[slot.entry - 1].id : nullptr;
}

void Registry::assign(const Ref<ManagedObjectID>& id, const Ref<ManagedObject>& record) {
    if ((size() + 1) * 8 > slots_.size() * 5) rebuild(std::max<std::size_t>(16, slots_.size() * 2));
    const std::uint32_t tag = tagOf(id);
    Slot& slot = slots_[probe(id, tag)];
    if (slot.entry) {
        Ref<ManagedObject> replaced = std::exchange(entries_[slot.entry - 1].record, record);
        return;  // the replaced record is let go last
    }
    entries_.push_back(Entry{id, record, tag});
    slot = Slot{static_cast<std::uint32_t>(entries_.size()), tag};
}

void Registry::erase(const Ref<ManagedObjectID>& id, const ManagedObject& record) {
    if (slots_.empty()) return;
    const std::size_t at = probe(id, tagOf(id));
    if (!slots_[at].entry) return;
    Entry& e = entries_[slots_[at].entry - 1];
    if (e.record.get() != &record) return;
    removeSlot(at);
    // Let go of the entry's references once the registry is consistent again.
    Ref<ManagedObject> removed = std::move(e.record);
    Ref<ManagedObjectID> removedID = std::move(e.id);
    ++dead_;
    compactIfSparse();
}

void Registry::rekey(const Ref<ManagedObjectID>& from, const ManagedObject& record, const Ref<ManagedObjectID>& to) {
    if (slots_.empty()) return;
    const std::size_t at = probe(from, tagOf(from));
    if (!slots_[at].entry) return;
    const std::uint32_t position = slots_[at].entry - 1;
    if (entries_[position].record.get() != &record) return;
    removeSlot(at);
    const std::uint32_t tag = tagOf(to);
    Slot& slot = slots_[probe(to, tag)];
    Entry& e = entries_[position];
    if (slot.entry) {  // another entry holds `to`: it stays, this one goes
        Ref<ManagedObject> removed = std::move(e.record);
        Ref<ManagedObjectID> removedID = std::move(e.id);
        ++dead_;
        compactIfSparse();
        return;
    }
    Ref<ManagedObjectID> previous = std::exchange(e.id, to);
    e.tag = tag;
    slot = Slot{position + 1, tag};
}

void Registry::removeSlot(std::size_t at) {
    // Backward shift: later slots of the same run move up unless their home lies after the hole.
    const std::size_t mask = slots_.size() - 1;
    std::size_t hole = at;
    for (std::size_t j = (at + 1) & mask; slots_[j].entry != 0; j = (j + 1) & mask) {
        const std::size_t h = home(slots_[j].tag);
        const bool stays = hole <= j ? (h > hole && h <= j) : (h > hole || h <= j);
        if (stays) continue;
        slots_[hole] = slots_[j];
        hole = j;
    }
    slots_[hole] = Slot{};
}

void Registry::rebuild(std::size_t slotCount) {
    if (dead_) {
        std::erase_if(entries_, [](const Entry& e) { return !e.record; });
        dead_ = 0;
    }
    slots_.assign(slotCount, Slot{});
    unsigned bits = 0;
    while ((std::size_t{1} << bits) < slotCount) ++bits;
    shift_ = 32 - bits;
    const std::size_t mask = slotCount - 1;
    for (std::size_t k = 0; k < entries_.size(); ++k) {
        std::size_t i = home(entries_[k].tag);
        while (slots_[i].entry) i = (i + 1) & mask;
        slots_[i] = Slot{static_cast<std::uint32_t>(k + 1), entries_[k].tag};
    }
}

void Registry::compactIfSparse() {
    if (dead_ > 64 && dead_ * 2 > entries_.size()) rebuild(slots_.size());
}

void Registry::reserve(std::size_t count) {
    entries_.reserve(count + dead_);
    if (count * 8 <= slots_.size() * 5) return;
    std::size_t slotCount = 16;
    while (count * 8 > slotCount * 5) slotCount *= 2;
    rebuild(slotCount);
}

void Registry::clear() {
    std::vector<Entry> entries = std::move(entries_);  // let go of the records once the registry is empty
    entries_.clear();
    slots_.clear();
    shift_ = 32;
    dead_ = 0;
}

}  // namespace lv::data_detail
