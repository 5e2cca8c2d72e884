// Saving a context (to the store, or into its parent) and merging what other contexts saved.
#include <algorithm>
#include <unordered_set>
#include <optional>
#include <unordered_map>

#include "platform/base/lifetime.h"
#include "platform/data/context.h"
#include "platform/data/detail/context_impl.h"
#include "platform/data/errors.h"
#include "platform/dispatch/notification_center.h"

namespace lv {

using data_detail::contextError;
using data_detail::Loaded;
using data_detail::PushedRecord;
using data_detail::releaseElsewhere;
using data_detail::sameValue;

namespace {

// Which values of an updated record differ from its committed ones.
std::vector<bool> changedMask(const std::vector<Value>& values, const std::vector<Value>& committed) {
    std::vector<bool> mask(values.size(), false);
    if (committed.empty()) return mask;
    for (std::size_t i = 0; i < values.size(); ++i) mask[i] = !sameValue(committed[i], values[i]);
    return mask;
}

bool any(const std::vector<bool>& mask) { return std::find(mask.begin(), mask.end(), true) != mask.end(); }

// A save walks thousands of records that lie far apart in memory, and a walk's reference-count
// updates are locked instructions that wait for their cache line: one record's misses would stall
// the next. Asking early for the record a few steps ahead, and for its ID and values once its own
// line is there, lets those misses overlap.
void prefetchAhead(const std::vector<Ref<ManagedObject>>& records, std::size_t k) {
    constexpr std::size_t kFar = 8;
    constexpr std::size_t kNear = 4;
    if (k + kFar < records.size()) __builtin_prefetch(records[k + kFar].get());
    if (k + kNear < records.size()) {
        const ManagedObject& o = *records[k + kNear];
        __builtin_prefetch(ContextAccess::id(o));
        // Every line of the values: the checks read the integers, which sit towards the end.
        const auto [values, bytes] = ContextAccess::values(o);
        for (std::size_t at = 0; at < bytes; at += 64) __builtin_prefetch(values + at);
    }
}

}  // namespace

// What one entity's records are checked for: its integer attributes (by property index) and whether
// any property is required.
struct ManagedObjectContext::Impl::EntityChecks {
    const EntityDescription* entity = nullptr;
    bool hasRequired = false;
    std::vector<std::size_t> integerIndices;

    void prepare(const EntityDescription* e) {
        if (e == entity) return;
        entity = e;
        const auto& all = e->properties();
        hasRequired = std::any_of(all.begin(), all.end(), [](const Ref<PropertyDescription>& p) { return !p->isOptional(); });
        integerIndices.clear();
        for (std::size_t i = 0; i < all.size(); ++i) {
            if (all[i]->isAttribute() && isIntegerAttributeType(static_cast<const AttributeDescription&>(*all[i]).attributeType())) {
                integerIndices.push_back(i);
            }
        }
    }
};

void ManagedObjectContext::Impl::checkValues(const ManagedObject& o, EntityChecks& checks, std::vector<Ref<Error>>& errors) {
    checks.prepare(o.entity_.get());
    if (!checks.hasRequired && checks.integerIndices.empty()) return;
    if (o.fault_) o.fire();
    if (o.gone_) return;
    const auto& properties = o.entity_->properties();
    for (const std::size_t i : checks.integerIndices) {
        // A number no integer column can hold is refused, never stored wrapped. Signed integers
        // (what records normally hold) always fit.
        const Value& value = o.values_[i];
        if (value.isNil()) continue;
        if (const Number* n = value.number()) {
            const NumberKind k = n->kind();
            if (k == NumberKind::Int8 || k == NumberKind::Int16 || k == NumberKind::Int32 || k == NumberKind::Int64) continue;
        }
        const int overflow = integerRangeOverflow(AttributeType::Integer64, value);
        if (overflow == 0) continue;
        const std::string& name = properties[i]->name();
        errors.push_back(contextError(overflow > 0 ? kValidationNumberTooLargeError : kValidationNumberTooSmallError,
                                      name + (overflow > 0 ? " is too large." : " is too small."),
                                      Dictionary{{std::string(kValidationKeyErrorKey), Value(name)},
                                                 {std::string(kValidationObjectErrorKey), Value(ContextAccess::mutableObject(o).shared_from_this())},
                                                 {std::string(kValidationValueErrorKey), value}}));
    }
    if (!checks.hasRequired) return;
    for (std::size_t i = 0; i < properties.size(); ++i) {
        const PropertyDescription& p = *properties[i];
        if (p.isOptional()) continue;
        if (p.isRelationship() && static_cast<const RelationshipDescription&>(p).isToMany()) continue;
        if (!o.values_[i].isNil()) continue;
        errors.push_back(contextError(kValidationMissingMandatoryPropertyError, p.name() + " is a required value.",
                                      Dictionary{{std::string(kValidationKeyErrorKey), Value(p.name())},
                                                 {std::string(kValidationObjectErrorKey), Value(ContextAccess::mutableObject(o).shared_from_this())}}));
    }
}

bool ManagedObjectContext::Impl::reportErrors(std::vector<Ref<Error>>& errors, Ref<Error>* error) {
    if (errors.empty()) return true;
    if (errors.size() == 1) {
        setError(error, errors.front());
    } else {
        Array detailed;
        for (auto& e : errors) detailed.push_back(Value(e));
        setError(error, contextError(kValidationMultipleErrorsError, "Multiple validation errors occurred.",
                                     Dictionary{{std::string(kDetailedErrorsKey), Value(std::move(detailed))}}));
    }
    return false;
}

bool ManagedObjectContext::Impl::validate(Ref<Error>* error) {
    std::vector<Ref<Error>> errors;
    EntityChecks checks;
    for (const auto& o : lists[ManagedObject::kInserted].items) {
        if (o) checkValues(*o, checks, errors);
    }
    for (const auto& o : lists[ManagedObject::kUpdated].items) {
        if (o) checkValues(*o, checks, errors);
    }
    return reportErrors(errors, error);
}

bool ManagedObject::validateForInsert(Ref<Error>* error) const {
    // Records are checked one by one as they are made, nearly always valid, and by the thousand of one
    // entity: what to look at is kept per thread for the last entity (while no entity changed), and a
    // record in which those values are plainly fine is valid. Anything else (a fault, an integer
    // attribute holding another kind of number, a required value missing) takes the full checks, which
    // make the errors in their order.
    struct Kept {
        const EntityDescription* entity = nullptr;
        std::uint64_t generation = 0;
        std::size_t propertyCount = 0;
        std::vector<std::size_t> integers;  // integer attributes
        std::vector<std::size_t> required;  // required properties other than to-many relationships
    };
    static PerThread<Kept> keptPerThread;
    Kept& kept = keptPerThread.get();
    const std::uint64_t generation = data_detail::entityEditGeneration();
    if (entity_ && !fault_ && !gone_) {
        if (kept.entity != entity_.get() || kept.generation != generation) {
            const auto& properties = entity_->properties();
            kept.entity = entity_.get();
            kept.generation = generation;
            kept.propertyCount = properties.size();
            kept.integers.clear();
            kept.required.clear();
            for (std::size_t i = 0; i < properties.size(); ++i) {
                const PropertyDescription& p = *properties[i];
                if (p.isAttribute() && isIntegerAttributeType(static_cast<const AttributeDescription&>(p).attributeType())) {
                    kept.integers.push_back(i);
                }
                if (!p.isOptional() && !(p.isRelationship() && static_cast<const RelationshipDescription&>(p).isToMany())) {
                    kept.required.push_back(i);
                }
            }
        }
        bool clear = values_.size() == kept.propertyCount;
        for (std::size_t k = 0; clear && k < kept.integers.size(); ++k) {
            const Value& value = values_[kept.integers[k]];
            if (value.isNil()) continue;
            const Number* n = value.number();
            const NumberKind kind = n ? n->kind() : NumberKind::Double;
            clear = kind == NumberKind::Int8 || kind == NumberKind::Int16 || kind == NumberKind::Int32 || kind == NumberKind::Int64;
        }
        for (std::size_t k = 0; clear && k < kept.required.size(); ++k) clear = !values_[kept.required[k]].isNil();
        if (clear) return true;
    }
    std::vector<Ref<Error>> errors;
    ManagedObjectContext::Impl::EntityChecks checks;
    ManagedObjectContext::Impl::checkValues(*this, checks, errors);
    return ManagedObjectContext::Impl::reportErrors(errors, error);
}

void ManagedObjectContext::Impl::postDidSave(Array inserted, Array updated, Array deleted) {
    NotificationCenter::defaultCenter()->post(std::string(kManagedObjectContextDidSaveNotification), self.shared_from_this(),
                                              Dictionary{{std::string(kInsertedObjectsKey), Value(std::move(inserted))},
                                                         {std::string(kUpdatedObjectsKey), Value(std::move(updated))},
                                                         {std::string(kDeletedObjectsKey), Value(std::move(deleted))}});
}

bool ManagedObjectContext::save(Ref<Error>* error) {
    Impl& d = *impl_;
    if (d.saving) {
        setError(error, contextError(kPersistentStoreSaveError, "The context is already saving."));
        return false;
    }
    processPendingChanges();
    if (!hasChanges()) return true;
    d.saving = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{d.saving};
    NotificationCenter::defaultCenter()->post(std::string(kManagedObjectContextWillSaveNotification), shared_from_this());
    processPendingChanges();
    if (!hasChanges()) return true;
    // Both validate the records before anything leaves the context.
    return parentContext() ? d.pushToParent(error) : d.saveToStore(error);
}

bool ManagedObjectContext::Impl::saveToStore(Ref<Error>* error) {
    Ref<PersistentStoreCoordinator> coordinator;
    {
        std::lock_guard lock(self.configMutex_);
        coordinator = self.coordinator_;
    }
    // Records are validated before anything else. When rekeying has nothing to do, each record is
    // checked as its changes are gathered (one walk instead of two), before it lends its values.
    const bool checkFirst = !coordinator || rekeyPending();
    if (checkFirst && !validate(error)) return false;
    if (!coordinator) {
        setError(error, contextError(kPersistentStoreSaveError, "The context has no persistent store coordinator. It cannot save."));
        return false;
    }
    if (checkFirst) rekeyIfNeeded();
    std::vector<Ref<Error>> errors;
    EntityChecks checks;
    auto check = [&](const ManagedObject& o) {
        if (!checkFirst) checkValues(o, checks, errors);
    };
    const bool checkVersions = self.mergePolicy_ == MergePolicyType::Error;
    auto inserted = lists[ManagedObject::kInserted].objects();
    auto updated = lists[ManagedObject::kUpdated].objects();
    auto deleted = lists[ManagedObject::kDeleted].objects();

    // Relationship values name records by the IDs this save writes them under.
    auto idForWrite = [&](const Ref<ManagedObjectID>& id) -> Ref<ManagedObjectID> {
        auto c = canonical(id);
        if (c && c->isTemporaryID()) {
            if (auto o = lookup(c)) return o->id_;
        }
        return c;
    };
    auto valueForWrite = [&](const PropertyDescription& p, const Value& v) -> Value {
        if (!p.isRelationship()) return v;
        if (auto id = v.objectAs<ManagedObjectID>()) return Value(idForWrite(id));
        if (!v.isArray()) return v;
        Array out;
        out.reserve(v.array().size());
        for (const Value& x : v.array()) out.push_back(Value(idForWrite(x.objectAs<ManagedObjectID>())));
        return Value(std::move(out));
    };

    ChangeSet changes;
    changes.inserts.reserve(inserted.size());
    // New records lend their values to the change set (given back below, whatever the outcome);
    // relationship values are rewritten, so those records' values are copied.
    std::vector<bool> lent(inserted.size(), false);
    for (std::size_t k = 0; k < inserted.size(); ++k) {
        prefetchAhead(inserted, k);
        const auto& o = inserted[k];
        check(*o);
        ChangeSet::Insert insert{o->id_, {}, {}};
        const auto& properties = o->entity_->properties();
        if (o->entity_->relationships().empty()) {
            insert.valuesByIndex = std::move(o->values_);
            lent[k] = true;
        } else {
            insert.valuesByIndex = o->values_;
            for (std::size_t i = 0; i < properties.size(); ++i) {
                if (properties[i]->isRelationship()) insert.valuesByIndex[i] = valueForWrite(*properties[i], insert.valuesByIndex[i]);
            }
        }
        changes.inserts.push_back(std::move(insert));
    }
    struct GiveBack {
        GiveBack(const std::vector<Ref<ManagedObject>>& o, const std::vector<bool>& l, ChangeSet& c) : objects(o), lent(l), changes(c) {}
        GiveBack(const GiveBack&) = delete;
        GiveBack& operator=(const GiveBack&) = delete;
        const std::vector<Ref<ManagedObject>>& objects;
        const std::vector<bool>& lent;
        ChangeSet& changes;
        ~GiveBack() {
            for (std::size_t k = 0; k < objects.size(); ++k) {
                if (lent[k]) objects[k]->values_ = std::move(changes.inserts[k].valuesByIndex);
            }
        }
    };
    std::optional<GiveBack> giveBack;
    giveBack.emplace(inserted, lent, changes);
    std::vector<std::vector<bool>> masks;
    masks.reserve(updated.size());
    for (const auto& o : updated) {
        check(*o);
        masks.push_back(changedMask(o->values_, o->committed_));
        if (!any(masks.back())) continue;
        ChangeSet::Update update{o->id_, std::nullopt, {}};
        const auto& properties = o->entity_->properties();
        // A relationship is written with its version check under either policy: two writers each
        // changing one side of the same relationship would otherwise leave its sides disagreeing.
        bool relationshipChanged = false;
        for (std::size_t i = 0; i < properties.size() && !relationshipChanged; ++i) {
            relationshipChanged = masks.back()[i] && properties[i]->isRelationship();
        }
        if ((checkVersions || relationshipChanged) && o->version_ > 0) update.expectedVersion = o->version_;
        for (std::size_t i = 0; i < properties.size(); ++i) {
            if (masks.back()[i]) update.changedValues.emplace_back(properties[i]->name(), valueForWrite(*properties[i], o->values_[i]));
        }
        changes.updates.push_back(std::move(update));
    }
    for (const auto& o : deleted) {
        auto id = canonical(o->id_);
        if (id->isTemporaryID()) continue;  // never stored
        ChangeSet::Delete del{id, std::nullopt};
        if (checkVersions && o->version_ > 0) del.expectedVersion = o->version_;
        changes.deletes.push_back(std::move(del));
    }
    if (!reportErrors(errors, error)) return false;  // the lent values go back

    SaveResult result;
    const bool saved = changes.empty() || coordinator->saveChanges(changes, &result, error);
    if (!saved) return false;  // nothing changed here (the lent values go back)

    // Saved records name their related records by permanent IDs from now on.
    auto settleRelationships = [&](ManagedObject& o) {
        if (o.entity_->relationships().empty()) return;
        const auto& properties = o.entity_->properties();
        for (std::size_t i = 0; i < properties.size(); ++i) {
            if (properties[i]->isRelationship()) o.values_[i] = canonicalValue(*properties[i], o.values_[i]);
        }
    };
    ManagedObjectID::setPermanentIDs(result.permanentIDs);
    // One walk over the new records: each takes its values back, moves to its permanent ID and
    // settles its relationships.
    for (std::size_t k = 0; k < inserted.size(); ++k) {
        prefetchAhead(inserted, k);
        if (k + 2 < inserted.size()) registry.prefetch(inserted[k + 2]->id_);  // the slot its move starts from
        ManagedObject& o = *inserted[k];
        if (lent[k]) {
            o.values_ = std::move(changes.inserts[k].valuesByIndex);
            lent[k] = false;
        }
        if (o.id_->isTemporaryID()) {
            if (auto permanent = o.id_->permanentID()) rekey(o, std::move(permanent));
        }
        o.inserted_ = false;
        o.committed_.clear();
        o.version_ = 1;  // a new row's version
        settleRelationships(o);
    }
    giveBack.reset();  // nothing left to give back
    for (const auto& o : updated) settleRelationships(*o);
    std::unordered_map<const ManagedObjectID*, std::int64_t> versions;
    if (!updated.empty()) {
        versions.reserve(result.versions.size());
        for (const auto& [id, version] : result.versions) versions.emplace(id.get(), version);
    }
    std::vector<Ref<ManagedObject>> reload;
    std::vector<std::size_t> reloadMasks;
    for (std::size_t k = 0; k < updated.size(); ++k) {
        const auto& o = updated[k];
        auto it = versions.find(o->id_.get());
        if (it != versions.end()) {
            if (!checkVersions && it->second != o->version_ + 1) {
                reload.push_back(o);  // someone else wrote the row meanwhile: take their other values
                reloadMasks.push_back(k);
            }
            o->version_ = it->second;
        }
        o->updated_ = false;
        o->committed_.clear();
    }
    if (!reload.empty()) {
        std::vector<Ref<ManagedObjectID>> ids;
        for (const auto& o : reload) ids.push_back(o->id_);
        if (auto rows = coordinator->rowsForObjectIDs(ids, nullptr)) {
            IDEqual eq;
            for (auto& row : *rows) {
                for (std::size_t r = 0; r < reload.size(); ++r) {
                    if (!eq(reload[r]->id_, row.objectID)) continue;
                    const auto& mask = masks[reloadMasks[r]];
                    auto& values = reload[r]->values_;
                    for (std::size_t i = 0; i < values.size() && i < row.values.size(); ++i) {
                        if (!mask[i] && !reload[r]->entity_->properties()[i]->isRelationship()) values[i] = row.values[i];
                    }
                    reload[r]->version_ = row.version;
                }
            }
        }
    }
    for (const auto& o : deleted) {
        unregister(*o);
        o->deleted_ = false;
        o->context_.reset();
    }
    lists[ManagedObject::kInserted].clear(ManagedObject::kInserted);
    lists[ManagedObject::kUpdated].clear(ManagedObject::kUpdated);
    lists[ManagedObject::kDeleted].clear(ManagedObject::kDeleted);

    auto toArray = [](std::vector<Ref<ManagedObject>>& objects) {  // the last use: the references move
        Array out;
        out.reserve(objects.size());
        for (auto& o : objects) out.push_back(Value::adopting(std::move(o)));
        return out;
    };
    // The notification's references go when it has been posted; these then free the records.
    std::vector<Ref<ManagedObject>> released = deleted;
    postDidSave(toArray(inserted), toArray(updated), toArray(deleted));
    releaseElsewhere(std::move(released));
    return true;
}

bool ManagedObjectContext::Impl::pushToParent(Ref<Error>* error) {
    Ref<ManagedObjectContext> parent = self.parentContext();
    // Records are validated before any of them is rekeyed. When rekeying has nothing to do, each
    // record is checked as its changes are gathered (one walk over the records instead of two);
    // nothing leaves this context before all of them passed.
    const bool checkFirst = rekeyPending();
    if (checkFirst) {
        if (!validate(error)) return false;
        rekeyIfNeeded();
    }
    std::vector<Ref<Error>> errors;
    EntityChecks checks;
    auto check = [&](const ManagedObject& o) {
        if (!checkFirst) checkValues(o, checks, errors);
    };
    const auto inserted = lists[ManagedObject::kInserted].objects();
    const std::uint64_t insertedVersion = lists[ManagedObject::kInserted].version;
    const auto updated = lists[ManagedObject::kUpdated].objects();
    auto deleted = lists[ManagedObject::kDeleted].objects();
    auto canonicalValues = [&](const ManagedObject& o) {
        std::vector<Value> values = o.values_;
        if (o.entity_->relationships().empty()) return values;
        const auto& properties = o.entity_->properties();
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (properties[i]->isRelationship()) values[i] = canonicalValue(*properties[i], values[i]);
        }
        return values;
    };
    std::vector<PushedRecord> records;
    records.reserve(inserted.size() + updated.size() + deleted.size());
    for (std::size_t k = 0; k < inserted.size(); ++k) {
        prefetchAhead(inserted, k);
        const auto& o = inserted[k];
        check(*o);
        records.push_back(PushedRecord{PushedRecord::Kind::Insert, o->id_, o->entity_, canonicalValues(*o), {}, o->version_, {}});
    }
    for (const auto& o : updated) {
        check(*o);
        auto mask = changedMask(o->values_, o->committed_);
        if (!any(mask)) continue;
        // A changed to-many list goes with the list it was changed from: the parent applies the
        // change to its own list rather than replacing it.
        std::vector<Value> base;
        const auto& properties = o->entity_->properties();
        for (std::size_t i = 0; i < mask.size(); ++i) {
            if (!mask[i] || !properties[i]->isRelationship() || !static_cast<const RelationshipDescription&>(*properties[i]).isToMany()) {
                continue;
            }
            if (base.empty()) base.resize(mask.size());
            base[i] = canonicalValue(*properties[i], o->committed_[i]);
        }
        records.push_back(PushedRecord{PushedRecord::Kind::Update, canonical(o->id_), o->entity_, canonicalValues(*o), std::move(mask),
                                       o->version_, std::move(base)});
    }
    for (const auto& o : deleted) {
        records.push_back(PushedRecord{PushedRecord::Kind::Delete, canonical(o->id_), o->entity_, {}, {}, o->version_, {}});
    }
    if (!reportErrors(errors, error)) return false;
    bool ok = true;
    parent->performAndWait([&] { ok = ContextAccess::impl(*parent).acceptPushed(records, error); });
    if (!ok) return false;

    auto settleInserted = [](ManagedObject& o) {
        o.inserted_ = false;
        o.committed_.clear();
    };
    auto settleUpdatedAndDeleted = [&] {
        for (const auto& o : updated) {
            o->updated_ = false;
            o->committed_.clear();
        }
        for (const auto& o : deleted) {
            unregister(*o);
            o->deleted_ = false;
            o->context_.reset();
        }
    };
    if (!NotificationCenter::defaultCenter()->hasObserver(kManagedObjectContextDidSaveNotification, self.shared_from_this())) {
        // No one would receive the did-save: the records settle and the lists empty as below, without
        // building it.
        for (const auto& o : inserted) settleInserted(*o);
        settleUpdatedAndDeleted();
        for (auto which : {ManagedObject::kInserted, ManagedObject::kUpdated, ManagedObject::kDeleted}) lists[which].clear(which);
        releaseElsewhere(std::move(deleted));
        return true;
    }
    // While the inserted list is still the one pushed (nothing joined or left it meanwhile), it is
    // settled and handed on in one walk.
    const bool insertedAsPushed = lists[ManagedObject::kInserted].version == insertedVersion;
    Array insertedValues;
    if (insertedAsPushed) {
        insertedValues = lists[ManagedObject::kInserted].take(ManagedObject::kInserted, settleInserted);
    } else {
        for (const auto& o : inserted) settleInserted(*o);
    }
    settleUpdatedAndDeleted();
    auto toArray = [&](ManagedObject::List which) { return lists[which].take(which); };
    if (!insertedAsPushed) insertedValues = toArray(ManagedObject::kInserted);
    Array updatedValues = toArray(ManagedObject::kUpdated);
    Array deletedValues = toArray(ManagedObject::kDeleted);
    postDidSave(std::move(insertedValues), std::move(updatedValues), std::move(deletedValues));
    releaseElsewhere(std::move(deleted));  // saved deletions: usually their last references
    return true;
}

bool ManagedObjectContext::Impl::acceptPushed(std::vector<PushedRecord>& records, Ref<Error>* error) {
    rekeyIfNeeded();
    registry.reserve(registry.size() + records.size());
    // New records join two lists each: room for all of them at once.
    const auto insertCount = static_cast<std::size_t>(
        std::count_if(records.begin(), records.end(), [](const PushedRecord& r) { return r.kind == PushedRecord::Kind::Insert; }));
    for (auto which : {ManagedObject::kInserted, ManagedObject::kNoteInserted}) {
        lists[which].items.reserve(lists[which].items.size() + insertCount);
    }
    // First what can fail: the values of changed records this context does not hold yet.
    std::vector<Ref<ManagedObjectID>> need;
    std::vector<std::size_t> needFor;
    for (std::size_t k = 0; k < records.size(); ++k) {
        if (records[k].kind != PushedRecord::Kind::Update) continue;
        auto o = lookup(records[k].id);
        if (!o || o->fault_) {
            need.push_back(canonical(records[k].id));
            needFor.push_back(k);
        }
    }
    std::vector<Loaded> loaded;
    if (!need.empty() && !loadFromSource(need, loaded, error)) return false;
    std::unordered_map<std::size_t, Loaded*> loadedFor;
    for (std::size_t n = 0; n < needFor.size(); ++n) loadedFor.emplace(needFor[n], &loaded[n]);
    // A changed record whose row another writer deleted would take the change nowhere: a conflict,
    // and nothing is taken. (One a level here deleted stays deleted: that deletion wins.)
    Array conflicts;
    for (std::size_t k = 0; k < records.size(); ++k) {
        if (records[k].kind != PushedRecord::Kind::Update) continue;
        auto found = loadedFor.find(k);
        bool gone = found != loadedFor.end() && !found->second->found && !found->second->deleted;
        if (found == loadedFor.end()) {
            auto o = lookup(records[k].id);
            gone = o && o->gone_ && !o->deleted_;
        }
        if (gone) conflicts.push_back(Value(Dictionary{{"objectID", Value(canonical(records[k].id))}}));
    }
    if (!conflicts.empty()) {
        setError(error, contextError(kManagedObjectMergeError, "Could not merge changes.",
                                     Dictionary{{std::string(kConflictListKey), Value(std::move(conflicts))}}));
        return false;
    }

    for (std::size_t k = 0; k < records.size(); ++k) {
        if (k + 4 < records.size()) registry.prefetch(records[k + 4].id);  // room was made above: slots stay put
        PushedRecord& r = records[k];
        Ref<ManagedObject> o = lookup(r.id);
        switch (r.kind) {
            case PushedRecord::Kind::Insert: {
                if (!o) {
                    o = data_detail::makeRecordInstance(r.entity);
                    o->entity_ = std::move(r.entity);
                    o->setID(std::move(r.id));  // the pushed record is not read again
                    o->values_ = std::move(r.values);
                    o->values_.resize(o->entity_->properties().size());
                    o->inserted_ = true;
                    registerObject(o);
                    add(ManagedObject::kInserted, o);
                    add(ManagedObject::kNoteInserted, std::move(o));  // its last use
                    scheduleNotify();
                    break;
                }
                o->fire();
                for (std::size_t i = 0; i < r.values.size() && i < o->values_.size(); ++i) {
                    if (sameValue(o->values_[i], r.values[i])) continue;
                    willChange(*o);
                    o->values_[i] = std::move(r.values[i]);
                }
                break;
            }
            case PushedRecord::Kind::Update: {
                auto found = loadedFor.find(k);
                if (found != loadedFor.end()) {
                    Loaded& l = *found->second;
                    if (!o) {
                        auto entity = entityNamed(r.entity->name());
                        o = materialize(entity ? entity : r.entity, canonical(r.id), std::move(l.values), l.version, false);
                    } else {
                        o->fault_ = false;
                        o->values_ = std::move(l.values);
                        o->values_.resize(o->entity_->properties().size());
                        o->version_ = l.version;
                    }
                }
                if (!o || o->deleted_ || o->gone_) break;
                for (std::size_t i = 0; i < r.changed.size() && i < o->values_.size(); ++i) {
                    if (!r.changed[i] || sameValue(o->values_[i], r.values[i])) continue;
                    if (o->values_[i].isNil() && o->entity_->properties()[i]->isRelationship()) loadToMany(*o, i);
                    Value value = i < r.base.size() && !r.base[i].isNil()
                                      ? data_detail::mergeToMany(r.base[i], r.values[i], o->values_[i])
                                      : std::move(r.values[i]);
                    if (sameValue(o->values_[i], value)) continue;
                    if (o->entity_->properties()[i]->isRelationship()) {
                        // The other side follows here too: it may hold what this level changed.
                        o->setRelationshipIDs(i, value, true);
                        continue;
                    }
                    willChange(*o);
                    o->values_[i] = std::move(value);
                }
                break;
            }
            case PushedRecord::Kind::Delete: {
                if (!o) {
                    if (r.id->isTemporaryID()) break;  // never reached this context
                    o = self.objectWithID(r.id);
                }
                if (!o || o->deleted_) break;
                if (o->version_ == 0) o->version_ = r.version;
                if (o->inserted_) forgetInserted(*o);
                else markDeleted(*o);
                break;
            }
        }
    }
    self.processPendingChanges();
    return true;
}

// ---- merging ----

void ManagedObjectContext::mergeChangesFromContextDidSaveNotification(const Notification& notification) {
    mergeChangesFromUserInfo(notification.userInfo());
}

void ManagedObjectContext::mergeChangesFromUserInfo(const Dictionary& changes) {
    Impl& d = *impl_;
    d.rekeyIfNeeded();
    // The ID a did-save value names (a record's, or an object ID), as this context knows it now. Read
    // in place, one value at a time: a did-save names its records by the thousand, and no list of
    // their IDs is needed (reading an ID changes nothing a later one depends on).
    auto idOf = [&](const Value& v) -> Ref<ManagedObjectID> {
        Object* object = v.isObject() ? v.object().get() : nullptr;
        Ref<ManagedObjectID> id;
        if (const ManagedObject* o = ManagedObject::fromObject(object)) id = o->objectID();
        else if (dynamic_cast<const ManagedObjectID*>(object)) id = std::static_pointer_cast<ManagedObjectID>(v.object());
        if (id && id->isTemporaryID()) {
            if (auto permanent = id->permanentID()) return permanent;
        }
        return id;
    };
    auto drop = [&](const Ref<ManagedObject>& o) {
        for (auto which : {ManagedObject::kInserted, ManagedObject::kUpdated, ManagedObject::kDeleted, ManagedObject::kNoteInserted,
                           ManagedObject::kNoteUpdated, ManagedObject::kNoteRefreshed}) {
            d.remove(which, *o);
        }
        o->inserted_ = o->updated_ = o->deleted_ = false;
        o->gone_ = true;
        d.unregister(*o);
        o->context_.reset();
        d.add(ManagedObject::kNoteDeleted, o);
    };
    std::unordered_set<Ref<ManagedObjectID>, IDHash, IDEqual> deletedIDs;
    for (const Value& v : changes.get(kDeletedObjectsKey).array()) {
        const Ref<ManagedObjectID> id = idOf(v);
        if (!id) continue;
        deletedIDs.insert(data_detail::canonicalID(id));
        if (auto o = d.lookup(id)) drop(o);
    }
    // A record changed here that points at a record the other context deleted would be saved with a
    // reference to a row that is gone: the reference goes (a to-one becomes nil, a list loses it).
    if (!deletedIDs.empty()) {
        const auto gone = [&](const Value& v) { return deletedIDs.contains(data_detail::canonicalID(v.objectAs<ManagedObjectID>())); };
        for (auto which : {ManagedObject::kInserted, ManagedObject::kUpdated}) {
            for (const Ref<ManagedObject>& o : d.list(which).objects()) {
                const auto& properties = o->entity_->properties();
                for (std::size_t i = 0; i < properties.size() && i < o->values_.size(); ++i) {
                    if (!properties[i]->isRelationship() || o->values_[i].isNil()) continue;
                    const Value& value = o->values_[i];
                    if (value.isArray()) {
                        if (std::none_of(value.array().begin(), value.array().end(), gone)) continue;
                        Array kept;
                        for (const Value& item : value.array()) {
                            if (!gone(item)) kept.push_back(item);
                        }
                        o->setRelationshipIDs(i, Value(std::move(kept)), false);
                    } else if (gone(value)) {
                        o->setRelationshipIDs(i, Value(), false);
                    }
                }
            }
        }
    }
    const Array& updatedValues = changes.get(kUpdatedObjectsKey).array();
    const Array& insertedValues = changes.get(kInsertedObjectsKey).array();
    std::vector<Ref<ManagedObjectID>> load;
    std::vector<Ref<ManagedObject>> targets;  // nullptr: a record new to this context
    // A record without local changes only takes the parent's values when they differ from its own:
    // the parent compares them in place instead of copying every merged record's values here.
    std::vector<const std::vector<Value>*> known;
    load.reserve(updatedValues.size() + insertedValues.size());
    targets.reserve(load.capacity());
    known.reserve(load.capacity());
    // The IDs and records move into the lists.
    auto consider = [&](const Value& v, bool mayRegister) {
        Ref<ManagedObjectID> id = idOf(v);
        if (!id) return;
        Ref<ManagedObject> o = d.lookup(id);
        if (o && o->fault_) {
            d.add(ManagedObject::kNoteRefreshed, std::move(o));  // loads the new values when next read
            return;
        }
        if (!o && !mayRegister) return;
        known.push_back(o && o->committed_.empty() ? &o->values_ : nullptr);
        load.push_back(std::move(id));
        targets.push_back(std::move(o));
    };
    for (const Value& v : updatedValues) consider(v, false);
    for (const Value& v : insertedValues) consider(v, true);
    std::vector<Loaded> loaded;
    // Local relationship changes go on once every merged record holds its new values.
    std::vector<Impl::RelationshipEdit> relationshipEdits;
    std::vector<std::pair<Ref<ManagedObject>, std::vector<Value>>> rebased;  // with their values before
    if (!load.empty() && d.loadFromSource(load, loaded, nullptr, &known)) {
        for (std::size_t k = 0; k < load.size(); ++k) {
            Ref<ManagedObject>& o = targets[k];  // not read again after this step
            if (!loaded[k].found) {
                if (o && !o->inserted_) drop(o);
                continue;
            }
            if (!o) {
                auto entity = d.entityNamed(load[k]->entity()->name());
                o = d.materialize(entity ? entity : load[k]->entity(), load[k], std::move(loaded[k].values), loaded[k].version, false);
                d.add(ManagedObject::kNoteInserted, o);
                continue;
            }
            if (o->committed_.empty() && !o->fault_) {
                // No local change: the new values replace the old ones, compared in place (a record
                // whose save this merge reports usually holds them already, and keeps its own).
                std::vector<Value>& values = loaded[k].values;
                bool changed = false;
                if (!loaded[k].same) {
                    values.resize(o->entity_->properties().size());
                    changed = values != o->values_;
                }
                if (changed) o->values_ = std::move(values);
                o->gone_ = false;
                o->version_ = loaded[k].version;
                if (changed) d.add(ManagedObject::kNoteRefreshed, o);
                continue;
            }
            rebased.emplace_back(o, o->values_);
            d.rebase(*o, std::move(loaded[k].values), loaded[k].version, &relationshipEdits);
        }
    }
    for (auto& e : relationshipEdits) e.object->setRelationshipIDs(e.index, e.value, true);
    for (const auto& [o, before] : rebased) {
        if (before != o->values_) d.add(ManagedObject::kNoteRefreshed, o);
    }
    processPendingChanges();
}

}  // namespace lv
