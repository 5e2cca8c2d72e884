// The context's values from its source: loading records' values from the parent or the store,
// fulfilling faults and to-many relationships, and merging two changes of one to-many list.
#include <algorithm>
#include <unordered_set>
#include <vector>

#include "platform/data/context.h"

#include "platform/data/detail/context_impl.h"
#include "platform/data/errors.h"

namespace lv {

using data_detail::Loaded;

namespace data_detail {

Value mergeToMany(const Value& oldBase, const Value& mine, const Value& newBase) {
    if (!mine.isArray() || !newBase.isArray()) return mine;
    const Array empty;
    const Array& from = oldBase.isArray() ? oldBase.array() : empty;
    // Records are compared by their canonical IDs, each made once, and looked up in hash sets, so a
    // merge of long lists stays linear.
    using CanonicalIDs = std::unordered_set<Ref<ManagedObjectID>, IDHash, IDEqual>;
    auto canonicalAt = [](const Value& v) { return canonicalID(v.objectAs<ManagedObjectID>()); };
    auto canonicalList = [&](const Array& list) {
        std::vector<Ref<ManagedObjectID>> ids;
        ids.reserve(list.size());
        for (const Value& v : list) ids.push_back(canonicalAt(v));
        return ids;
    };
    const std::vector<Ref<ManagedObjectID>> fromIDs = canonicalList(from);
    const std::vector<Ref<ManagedObjectID>> newIDs = canonicalList(newBase.array());
    if (std::equal(fromIDs.begin(), fromIDs.end(), newIDs.begin(), newIDs.end(), IDEqual())) {
        return mine;  // nobody else changed it: mine whole, order included
    }
    const std::vector<Ref<ManagedObjectID>> mineIDs = canonicalList(mine.array());
    const CanonicalIDs fromSet(fromIDs.begin(), fromIDs.end());
    const CanonicalIDs mineSet(mineIDs.begin(), mineIDs.end());
    CanonicalIDs outSet;
    Array out;
    for (std::size_t i = 0; i < newIDs.size(); ++i) {
        if (fromSet.contains(newIDs[i]) && !mineSet.contains(newIDs[i])) continue;  // removed here
        out.push_back(newBase.array()[i]);
        outSet.insert(newIDs[i]);
    }
    for (std::size_t i = 0; i < mineIDs.size(); ++i) {
        if (!fromSet.contains(mineIDs[i]) && outSet.insert(mineIDs[i]).second) out.push_back(mine.array()[i]);  // added here
    }
    return Value(std::move(out));
}

}  // namespace data_detail

// ---- values from the source ----

bool ManagedObjectContext::Impl::loadFromSource(const std::vector<Ref<ManagedObjectID>>& ids, std::vector<Loaded>& out,
                                                Ref<Error>* error, const std::vector<const std::vector<Value>*>* known) {
    if (ids.empty()) {
        out.clear();
        return true;
    }
    if (auto parent = self.parentContext()) {
        bool ok = true;  // the parent fills `out` from scratch
        parent->performAndWait([&] { ok = ContextAccess::impl(*parent).currentValues(ids, out, error, known); });
        return ok;
    }
    out.assign(ids.size(), Loaded{});
    Ref<PersistentStoreCoordinator> coordinator = self.persistentStoreCoordinator();
    if (!coordinator) {
        setError(error, data_detail::contextError(kObjectStoreError, "The context has neither a parent nor a store coordinator."));
        return false;
    }
    std::vector<Ref<ManagedObjectID>> stored;
    std::vector<std::size_t> positions;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        auto id = canonical(ids[i]);
        if (id && !id->isTemporaryID()) {
            stored.push_back(id);
            positions.push_back(i);
        }
    }
    if (stored.empty()) return true;
    auto rows = coordinator->rowsForObjectIDs(stored, error);
    if (!rows) return false;
    // Rows come in the order asked, without the missing ones.
    std::size_t next = 0;
    IDEqual eq;
    for (auto& row : *rows) {
        while (next < stored.size() && !eq(stored[next], row.objectID)) ++next;
        if (next == stored.size()) break;
        Loaded& l = out[positions[next]];
        l.found = true;
        l.values = std::move(row.values);
        l.version = row.version;
        ++next;
    }
    return true;
}

bool ManagedObjectContext::Impl::currentValues(const std::vector<Ref<ManagedObjectID>>& ids, std::vector<Loaded>& out,
                                               Ref<Error>* error, const std::vector<const std::vector<Value>*>* known) {
    out.assign(ids.size(), Loaded{});
    std::vector<Ref<ManagedObjectID>> missing;
    std::vector<std::size_t> positions;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        Ref<ManagedObject> o = lookup(ids[i]);
        if (o && !o->fault_) {
            out[i].deleted = o->deleted_;
            if (!o->deleted_ && !o->gone_) {
                out[i].found = true;
                out[i].version = o->version_;
                const std::vector<Value>* mine = known ? (*known)[i] : nullptr;
                if (mine && *mine == o->values_) {
                    out[i].same = true;
                } else {
                    out[i].values = o->values_;
                }
            }
            continue;
        }
        missing.push_back(ids[i]);
        positions.push_back(i);
    }
    if (missing.empty()) return true;
    std::vector<Loaded> loaded;
    if (!loadFromSource(missing, loaded, error)) return false;
    for (std::size_t k = 0; k < missing.size(); ++k) out[positions[k]] = std::move(loaded[k]);
    return true;
}

std::optional<Value> ManagedObjectContext::Impl::relatedIDsFromSource(const Ref<ManagedObjectID>& id, std::size_t index,
                                                                      Ref<Error>* error) {
    if (auto parent = self.parentContext()) {
        std::optional<Value> out;
        parent->performAndWait([&] { out = ContextAccess::impl(*parent).currentRelatedIDs(id, index, error); });
        return out;
    }
    auto coordinator = self.persistentStoreCoordinator();
    auto c = canonical(id);
    if (!coordinator || !c || c->isTemporaryID()) return Value(Array());
    const auto& name = c->entity()->properties()[index]->name();
    auto ids = coordinator->relatedObjectIDs(c, name, error);
    if (!ids) return std::nullopt;
    Array out;
    out.reserve(ids->size());
    for (auto& x : *ids) out.push_back(Value(std::move(x)));
    return Value(std::move(out));
}

std::optional<Value> ManagedObjectContext::Impl::currentRelatedIDs(const Ref<ManagedObjectID>& id, std::size_t index,
                                                                   Ref<Error>* error) {
    Ref<ManagedObject> o = lookup(id);
    if (o && !o->fault_ && !o->values_[index].isNil()) return o->values_[index];
    return relatedIDsFromSource(id, index, error);
}

void ManagedObjectContext::Impl::fulfill(ManagedObject& o) {
    if (!o.fault_) return;
    std::vector<Loaded> loaded;
    Ref<Error> error;
    if (!loadFromSource({o.id_}, loaded, &error)) return;  // stays a fault; the next access tries again
    o.fault_ = false;
    if (loaded[0].found) {
        o.values_ = std::move(loaded[0].values);
        o.values_.resize(o.entity_->properties().size());
        o.version_ = loaded[0].version;
    } else {
        o.values_.assign(o.entity_->properties().size(), Value());
        o.gone_ = true;
    }
}

void ManagedObjectContext::Impl::loadToMany(ManagedObject& o, std::size_t index) {
    if (!o.values_[index].isNil()) return;
    Ref<Error> error;
    std::optional<Value> ids;
    if (o.inserted_) ids = Value(Array());
    else ids = relatedIDsFromSource(o.id_, index, &error);
    o.values_[index] = ids ? *ids : Value(Array());
    if (!o.committed_.empty() && o.committed_[index].isNil()) o.committed_[index] = o.values_[index];
}

}  // namespace lv
