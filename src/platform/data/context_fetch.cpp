// Fetching in a context: the store's rows with every unsaved change of the context and its parents
// laid over them.
#include <algorithm>
#include <functional>

#include "platform/data/context.h"
#include "platform/data/detail/context_impl.h"
#include "platform/data/errors.h"

namespace lv {

using data_detail::Overlay;
using data_detail::OverlayEntry;

namespace data_detail {

Ref<ManagedObjectID> canonicalID(const Ref<ManagedObjectID>& id) {
    if (id && id->isTemporaryID()) {
        if (auto permanent = id->permanentID()) return permanent;
    }
    return id;
}

}  // namespace data_detail

namespace {

using data_detail::canonicalID;

// Records given as predicate arguments stand for their object IDs.
Expression substitute(const Expression& e, bool& changed) {
    switch (e.kind()) {
        case Expression::Kind::Constant: {
            if (auto o = e.constantValue().objectAs<ManagedObject>()) {
                changed = true;
                return Expression::constant(Value(canonicalID(o->objectID())));
            }
            if (auto id = e.constantValue().objectAs<ManagedObjectID>()) {
                auto c = canonicalID(id);
                if (c != id) {
                    changed = true;
                    return Expression::constant(Value(c));
                }
            }
            return e;
        }
        case Expression::Kind::Function: {
            std::vector<Expression> args;
            bool any = false;
            for (const auto& a : e.arguments()) args.push_back(substitute(a, any));
            if (!any) return e;
            changed = true;
            return Expression::function(e.functionName(), std::move(args));
        }
        default: return e;
    }
}

Ref<Predicate> substitute(const Ref<Predicate>& p) {
    if (!p || p->depth() > Predicate::kMaxDepth) return p;  // such a predicate matches nothing
    switch (p->kind()) {
        case Predicate::Kind::Comparison: {
            bool changed = false;
            Expression lhs = substitute(p->leftExpression(), changed);
            Expression rhs = substitute(p->rightExpression(), changed);
            return changed ? Predicate::comparison(std::move(lhs), p->predicateOperator(), std::move(rhs)) : p;
        }
        case Predicate::Kind::And:
        case Predicate::Kind::Or:
        case Predicate::Kind::Not: {
            bool changed = false;
            std::vector<Ref<Predicate>> subs;
            for (const auto& s : p->subpredicates()) {
                subs.push_back(substitute(s));
                changed = changed || subs.back() != s;
            }
            if (!changed) return p;
            if (p->kind() == Predicate::Kind::And) return Predicate::andPredicate(std::move(subs));
            if (p->kind() == Predicate::Kind::Or) return Predicate::orPredicate(std::move(subs));
            return Predicate::notPredicate(subs.empty() ? nullptr : subs[0]);
        }
        default: return p;
    }
}

// A record's values as a predicate reads them.
class ValuesSubject : public PredicateSubject {
public:
    ValuesSubject(const EntityDescription& entity, const std::vector<Value>& values, const Ref<ManagedObjectID>& id)
        : entity_(entity), values_(values), id_(id) {}
    Value valueForKeyPath(const std::string& keyPath) const override {
        const int i = entity_.propertyIndex(keyPath);
        if (i < 0 || static_cast<std::size_t>(i) >= values_.size()) return Value();
        const Value& v = values_[static_cast<std::size_t>(i)];
        if (auto id = v.objectAs<ManagedObjectID>()) {
            auto c = canonicalID(id);
            return c == id ? v : Value(c);
        }
        return v;
    }
    Value evaluatedObject() const override { return Value(canonicalID(id_)); }

private:
    const EntityDescription& entity_;
    const std::vector<Value>& values_;
    Ref<ManagedObjectID> id_;
};

// Evaluates a fetch's predicate on a record's values. A comparison of one attribute with a constant
// (the common form) reads the value in place, without a subject or copies; other forms, and values
// that are object IDs, go through the predicate's own evaluation.
class RecordMatcher {
public:
    RecordMatcher(const EntityDescription& entity, const Ref<Predicate>& predicate) : entity_(entity), predicate_(predicate) {
        if (!predicate || predicate->kind() != Predicate::Kind::Comparison) return;
        const Expression& lhs = predicate->leftExpression();
        const Expression& rhs = predicate->rightExpression();
        const bool keyOnLeft = lhs.kind() == Expression::Kind::KeyPath && rhs.kind() == Expression::Kind::Constant;
        const bool keyOnRight = lhs.kind() == Expression::Kind::Constant && rhs.kind() == Expression::Kind::KeyPath;
        if (!keyOnLeft && !keyOnRight) return;
        simple_ = true;
        keyOnLeft_ = keyOnLeft;
        index_ = entity.propertyIndex(keyOnLeft ? lhs.keyPath() : rhs.keyPath());
        constant_ = keyOnLeft ? &rhs.constantValue() : &lhs.constantValue();
        if (constant_->isObject()) simple_ = false;
    }
    bool matches(const std::vector<Value>& values, const Ref<ManagedObjectID>& id) const {
        if (!predicate_) return true;
        if (simple_) {
            static const Value& nil = *new Value;
            const Value& v = index_ >= 0 && static_cast<std::size_t>(index_) < values.size() ? values[static_cast<std::size_t>(index_)] : nil;
            if (!v.isObject()) {
                const Predicate::Operator op = predicate_->predicateOperator();
                return keyOnLeft_ ? comparePredicateValues(v, op, *constant_) : comparePredicateValues(*constant_, op, v);
            }
        }
        return predicate_->evaluate(ValuesSubject(entity_, values, id));
    }

private:
    const EntityDescription& entity_;
    const Ref<Predicate>& predicate_;
    bool simple_ = false;
    bool keyOnLeft_ = true;
    int index_ = -1;
    const Value* constant_ = nullptr;
};

struct Candidate {
    Ref<ManagedObjectID> id;
    const std::vector<Value>* values = nullptr;
    std::int64_t version = 0;
    Ref<ManagedObject> own;      // the requesting context's record
    RowSnapshot* row = nullptr;  // a store row
    OverlayEntry* entry = nullptr;
};

}  // namespace

Ref<Predicate> data_detail::substituteRecordArguments(const Ref<Predicate>& predicate) { return substitute(predicate); }

namespace {

Ref<Error> noCoordinatorError() {
    return data_detail::contextError(kObjectStoreError, "The context has no persistent store coordinator. It cannot perform a fetch.");
}

}  // namespace

data_detail::DeletedIDs ManagedObjectContext::Impl::deletedIDs(const std::string& entityName) {
    const List& deletedList = lists[ManagedObject::kDeleted];
    static const data_detail::DeletedIDs& none = *new data_detail::DeletedIDs(std::make_shared<const data_detail::IDSet>());
    if (deletedList.empty()) {
        // Let go of the IDs of saved deletions: often their last references (a clear's thousand), freed
        // after this call (see releaseElsewhere). The entries stay for the next deletions of their entities.
        if (!deletedIndex.empty()) {
            std::vector<data_detail::DeletedIDs> released;
            for (auto& entry : deletedIndex) {
                if (entry.second.ids) released.push_back(std::move(entry.second.ids));
            }
            data_detail::releaseElsewhere(std::move(released));
        }
        return none;
    }
    // Read before the IDs are made canonical: a permanent ID given meanwhile moves the generation on,
    // and the next fetch gathers again.
    const std::uint64_t generation = ManagedObjectID::permanentIDGeneration();
    DeletedIndex& index = deletedIndex[entityName];
    if (index.ids && index.listVersion == deletedList.version && index.idGeneration == generation) return index.ids;
    auto found = std::make_shared<data_detail::IDSet>();
    found->reserve(deletedList.live);
    // Deletions come by the thousand of one entity: a record of the entity last found to bear the
    // name needs no name compare.
    const EntityDescription* named = nullptr;
    for (const auto& o : deletedList.items) {
        if (!o) continue;
        if (o->entity_.get() != named) {
            if (o->entity_->name() != entityName) continue;
            named = o->entity_.get();
        }
        found->add(canonical(o->id_));
    }
    index.listVersion = deletedList.version;
    index.idGeneration = generation;
    index.ids = std::move(found);
    return index.ids;
}

void ManagedObjectContext::Impl::gatherOverlay(const std::string& entityName, Overlay& out, std::vector<data_detail::DeletedIDs>& deleted,
                                               std::vector<ManagedObject*>& fresh, bool requesting,
                                               const std::function<void(bool unchanged)>& atTop) {
    // This level first; a parent's values of a record count only where no nearer level changed it.
    rekeyIfNeeded();
    if (auto ids = deletedIDs(entityName); !ids->empty()) deleted.push_back(std::move(ids));
    auto put = [&](const Ref<ManagedObject>& o) {
        if (o->entity_->name() != entityName) return;
        auto [it, added] = out.try_emplace(canonical(o->id_));
        if (!added) return;
        OverlayEntry& e = it->second;
        e.version = o->version_;
        if (requesting) e.own = o;
        else e.values = o->values_;
    };
    for (const auto& o : lists[ManagedObject::kInserted].items) {
        if (!o) continue;
        // A record inserted here was never handed to a parent, so neither a parent nor the store has it.
        if (requesting) {
            if (o->entity_->name() == entityName) fresh.push_back(o.get());
        } else {
            put(o);
        }
    }
    for (const auto& o : lists[ManagedObject::kUpdated].items) {
        if (o) put(o);
    }
    if (auto parent = self.parentContext()) {
        parent->performAndWait([&] { ContextAccess::impl(*parent).gatherOverlay(entityName, out, deleted, fresh, false, atTop); });
    } else if (atTop) {
        // On the top context's queue, where no save of the chain can run meanwhile.
        atTop(out.empty() && deleted.empty() && fresh.empty());
    }
}

Ref<ManagedObject> ManagedObjectContext::Impl::fromRow(const Ref<EntityDescription>& entity, RowSnapshot& row,
                                                       Ref<ManagedObject> held) {
    Ref<ManagedObject> o = held ? std::move(held) : lookup(row.objectID);
    const bool hasValues = !row.values.empty();
    if (!o) return materialize(entity, row.objectID, std::move(row.values), row.version, !hasValues);
    if (!hasValues) return o;
    if (o->fault_) {
        o->fault_ = false;
        o->gone_ = false;
        o->values_ = std::move(row.values);
        o->values_.resize(entity->properties().size());
        o->version_ = row.version;
    } else if (!o->inserted_ && !o->updated_ && !o->deleted_ && o->version_ != row.version) {
        o->values_ = std::move(row.values);
        o->values_.resize(entity->properties().size());
        o->version_ = row.version;
    }
    return o;
}

bool ManagedObjectContext::Impl::valuesForMovedRows(PersistentStoreCoordinator& coordinator, std::vector<RowSnapshot>& rows,
                                                    std::vector<Ref<ManagedObject>>& held, Ref<Error>* error) {
    std::vector<Ref<ManagedObjectID>> ids;
    std::vector<std::size_t> positions;
    held.assign(rows.size(), nullptr);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const RowSnapshot& row = rows[i];
        if (!row.values.empty()) continue;
        held[i] = lookup(row.objectID);
        const ManagedObject* o = held[i].get();
        if (!o || o->fault_ || o->inserted_ || o->updated_ || o->deleted_ || o->version_ == row.version) continue;
        ids.push_back(row.objectID);
        positions.push_back(i);
    }
    if (ids.empty()) return true;
    auto loaded = coordinator.rowsForObjectIDs(ids, error);
    if (!loaded) return false;
    // Rows come in the order asked, without the missing ones.
    std::size_t next = 0;
    IDEqual eq;
    for (auto& row : *loaded) {
        while (next < ids.size() && !eq(ids[next], row.objectID)) ++next;
        if (next == ids.size()) break;
        RowSnapshot& target = rows[positions[next]];
        target.values = std::move(row.values);
        target.version = row.version;
        ++next;
    }
    return true;
}

std::optional<Array> ManagedObjectContext::Impl::runFetch(const FetchRequest& request, FetchRequestResultType type,
                                                          Ref<Error>* error) {
    auto coordinator = self.persistentStoreCoordinator();
    if (!coordinator) {
        setError(error, noCoordinatorError());
        return std::nullopt;
    }
    const std::string& name = request.entity() ? request.entity()->name() : request.entityName();
    Ref<EntityDescription> entity = coordinator->managedObjectModel()->entityNamed(name);
    if (!entity) {
        setError(error, data_detail::contextError(kObjectStoreError, name.empty() ? std::string("A fetch request must have an entity.")
                                                                                  : "The model has no entity named " + name));
        return std::nullopt;
    }
    rekeyIfNeeded();
    Ref<FetchRequest> req = request.copy();
    req->setEntity(entity);
    req->setResultType(type);
    const Ref<Predicate> predicate = substitute(request.predicate());
    req->setPredicate(predicate);

    if (type == FetchRequestResultType::Dictionary) {
        auto result = coordinator->executeFetchRequest(*req, error);
        if (!result) return std::nullopt;
        return std::move(result->dictionaries);
    }

    // The store's rows are read on the top context's queue while the unsaved changes of the chain are
    // gathered, so that no save of the chain falls between the two: a record is then either a row or
    // unsaved, never both or neither. With nothing unsaved anywhere the store answers with its window,
    // sort and count; otherwise it gives every matching row and the window applies after the overlay.
    Overlay overlay;
    std::vector<data_detail::DeletedIDs> deleted;
    std::vector<ManagedObject*> fresh;
    // Records asked for without their values (keys only) come as faults, except that a record this
    // context holds loaded and unchanged whose row moved on takes the row's values, as a fetch with
    // values would give it. Overlay rows are merged by sort order, which then needs the values.
    const bool keysOnly = type == FetchRequestResultType::ManagedObject && !request.includesPropertyValues();
    Ref<FetchRequest> whole = req->copy();
    whole->setResultType(FetchRequestResultType::ManagedObject);
    whole->setFetchLimit(0);
    whole->setFetchOffset(0);
    whole->setIncludesPropertyValues(!keysOnly || !request.sortDescriptors().empty());
    std::optional<FetchResult> result;
    std::optional<std::size_t> storeCount;
    // The rows' registered records as valuesForMovedRows found them (keys-only fetches): each row is
    // looked up once. Nothing the fetch does between the two registers or lets go of a record of a row.
    std::vector<Ref<ManagedObject>> held;
    auto heldOf = [&](const RowSnapshot& row) -> Ref<ManagedObject> {
        const auto i = static_cast<std::size_t>(&row - result->rows.data());
        return i < held.size() ? std::move(held[i]) : nullptr;
    };
    // A row of a record this context holds gets the ID the record is registered under, found by the
    // row's key: the row needs no ID of its own (made, then let go once the record is found).
    const std::size_t entityNameHash = entity->nameHash();
    const PersistentStoreCoordinator::KnownIDs known = [&](const std::string& store, std::int64_t key) {
        return registry.findPermanent(ManagedObjectID::permanentHashFor(entityNameHash, key), *entity, store, key);
    };
    bool unchanged = true;
    bool storeFailed = false;
    // A deletion at any level hides the record, over any other level's changes.
    auto isDeleted = [&](const Ref<ManagedObjectID>& id) {
        return std::any_of(deleted.begin(), deleted.end(), [&](const data_detail::DeletedIDs& ids) { return ids->count(id) != 0; });
    };
    auto readStore = [&](bool nothingUnsaved) {
        unchanged = nothingUnsaved;
        if (nothingUnsaved && type == FetchRequestResultType::Count) {
            storeCount = coordinator->countForFetchRequest(*req, error);
            storeFailed = !storeCount;
        } else if (nothingUnsaved) {
            result = coordinator->executeFetchRequest(*req, error, PersistentStoreCoordinator::RowFilter(), {}, known);
            storeFailed = !result;
        } else {
            // Rows of records the overlay decides about (changed or deleted at some level) are dropped
            // below; the store leaves them out before decoding them (runs of their keys in SQL
            // already). The overlay is complete here.
            std::vector<const ManagedObjectID*> skipped;
            skipped.reserve(overlay.size());
            for (const auto& entry : overlay) skipped.push_back(entry.first.get());
            for (const auto& ids : deleted) ids->forEach([&](const Ref<ManagedObjectID>& id) { skipped.push_back(id.get()); });
            result = coordinator->executeFetchRequest(
                *whole, error, [&](const Ref<ManagedObjectID>& id) { return overlay.count(id) != 0 || isDeleted(id); }, skipped,
                known);
            storeFailed = !result;
        }
        // Read here, with the rows, so that no save of the chain falls between them.
        if (keysOnly && result && !storeFailed) storeFailed = !valuesForMovedRows(*coordinator, result->rows, held, error);
    };
    if (request.includesPendingChanges()) {
        gatherOverlay(entity->name(), overlay, deleted, fresh, true, readStore);
    } else {
        readStore(true);
    }
    if (storeFailed) return std::nullopt;

    if (unchanged) {
        if (type == FetchRequestResultType::Count) return Array{Value(static_cast<std::int64_t>(*storeCount))};
        Array out;
        out.reserve(result->rows.size());
        for (auto& row : result->rows) {
            if (type == FetchRequestResultType::ManagedObjectID) out.push_back(Value(row.objectID));
            else out.push_back(Value(fromRow(entity, row, heldOf(row))));
        }
        return out;
    }

    const RecordMatcher matcher(*entity, predicate);
    std::vector<Candidate> candidates;
    candidates.reserve(result->rows.size() + overlay.size());
    for (auto& row : result->rows) {
        Candidate c;
        c.id = row.objectID;
        c.values = &row.values;
        c.version = row.version;
        c.row = &row;
        candidates.push_back(std::move(c));
    }
    for (auto& [id, entry] : overlay) {
        if (isDeleted(id)) continue;
        if (entry.own && entry.own->fault_) entry.own->fire();
        const std::vector<Value>& values = entry.own ? entry.own->values_ : entry.values;
        if (!matcher.matches(values, id)) continue;
        Candidate c;
        c.id = id;
        c.values = &values;
        c.version = entry.version;
        c.own = entry.own;
        c.entry = &entry;
        candidates.push_back(std::move(c));
    }
    for (ManagedObject* o : fresh) {
        if (o->fault_) o->fire();
        if (!matcher.matches(o->values_, o->id_)) continue;
        Candidate c;
        c.id = canonical(o->id_);
        c.values = &o->values_;
        c.version = o->version_;
        c.own = std::static_pointer_cast<ManagedObject>(o->shared_from_this());
        candidates.push_back(std::move(c));
    }
    const auto& descriptors = request.sortDescriptors();
    std::vector<int> sortIndexes;
    for (const auto& d : descriptors) sortIndexes.push_back(entity->propertyIndex(d.key()));
    static const Value& nil = *new Value;
    auto valueAt = [&](const Candidate& c, int i) -> const Value& {
        if (i < 0 || static_cast<std::size_t>(i) >= c.values->size()) return nil;
        return (*c.values)[static_cast<std::size_t>(i)];
    };
    std::sort(candidates.begin(), candidates.end(), [&](const Candidate& a, const Candidate& b) {
        for (std::size_t k = 0; k < descriptors.size(); ++k) {
            if (int c = descriptors[k].compare(valueAt(a, sortIndexes[k]), valueAt(b, sortIndexes[k]))) return c < 0;
        }
        return data_detail::orderedBefore(*a.id, *b.id);
    });
    const std::size_t offset = std::min(request.fetchOffset(), candidates.size());
    std::size_t end = candidates.size();
    if (request.fetchLimit() > 0) end = std::min(end, offset + request.fetchLimit());
    if (type == FetchRequestResultType::Count) return Array{Value(static_cast<std::int64_t>(end - offset))};

    Array out;
    out.reserve(end - offset);
    for (std::size_t i = offset; i < end; ++i) {
        Candidate& c = candidates[i];
        if (type == FetchRequestResultType::ManagedObjectID) {
            out.push_back(Value(c.id));
        } else if (c.own) {
            out.push_back(Value(c.own));
        } else if (c.row) {
            out.push_back(Value(fromRow(entity, *c.row, heldOf(*c.row))));
        } else {
            // A record changed by a parent: this context sees the parent's values.
            Ref<ManagedObject> o = lookup(c.id);
            if (!o) {
                o = materialize(entity, c.id, c.entry->values, c.entry->version, false);
            } else if (o->fault_ || (!o->inserted_ && !o->updated_ && !o->deleted_)) {
                o->fault_ = false;
                o->gone_ = false;
                o->values_ = c.entry->values;
                o->values_.resize(entity->properties().size());
                o->version_ = c.entry->version;
            }
            out.push_back(Value(o));
        }
    }
    return out;
}

std::vector<Ref<ManagedObject>> ManagedObjectContext::existingObjectsWithIDs(const std::vector<Ref<ManagedObjectID>>& ids,
                                                                            std::vector<Ref<Error>>* errors) {
    Impl& d = *impl_;
    std::vector<Ref<ManagedObject>> out(ids.size());
    if (errors) errors->assign(ids.size(), nullptr);
    auto fail = [&](std::size_t i, Ref<Error> error) {
        if (errors) (*errors)[i] = std::move(error);
    };
    // The IDs whose values must be read: a registered fault's own, else the canonical one.
    std::vector<Ref<ManagedObjectID>> toLoad;
    std::vector<std::size_t> loadOf(ids.size(), ids.size());  // each ID's place in toLoad, size when none
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const Ref<ManagedObjectID>& id = ids[i];
        if (!id || !id->entity()) continue;
        Ref<ManagedObject> o = d.lookup(id);
        if (o && !o->fault_) continue;
        loadOf[i] = toLoad.size();
        toLoad.push_back(o ? o->id_ : d.canonical(id));
    }
    std::vector<data_detail::Loaded> loaded;
    // A read that fails stops at its first failing group, so then each ID is looked up on its own:
    // only the IDs whose own read fails get an error.
    Ref<Error> readError;  // not reported: the lookups one by one report their own
    const bool read = d.loadFromSource(toLoad, loaded, &readError);
    // In the order given, as one lookup after another would go: an ID named twice finds the record
    // its first lookup registered or filled in.
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const Ref<ManagedObjectID>& id = ids[i];
        if (!id || !id->entity()) {
            fail(i, data_detail::recordNotFoundError(id));
            continue;
        }
        Ref<ManagedObject> o = d.lookup(id);
        if ((!o || o->fault_) && (loadOf[i] == ids.size() || !read)) {
            // Not read above (it was loaded then, or the read failed): looked up on its own.
            Ref<Error> error;
            out[i] = existingObjectWithID(id, &error);
            if (!out[i]) fail(i, std::move(error));
            continue;
        }
        if (!o || o->fault_) {
            data_detail::Loaded& l = loaded[loadOf[i]];
            if (!l.found) {
                fail(i, data_detail::recordNotFoundError(id));
                continue;
            }
            if (o) {
                o->fault_ = false;
                o->values_ = std::move(l.values);
                o->values_.resize(o->entity_->properties().size());
                o->version_ = l.version;
            } else {
                auto c = d.canonical(id);
                auto entity = d.entityNamed(c->entity()->name());
                o = d.materialize(entity ? entity : c->entity(), c, std::move(l.values), l.version, false);
            }
        }
        if (o->gone_) {
            fail(i, data_detail::recordNotFoundError(id));
            continue;
        }
        out[i] = std::move(o);
    }
    return out;
}

std::optional<Array> ManagedObjectContext::executeFetchRequest(const FetchRequest& request, Ref<Error>* error) {
    return impl_->runFetch(request, request.resultType(), error);
}

std::optional<std::vector<Ref<ManagedObject>>> ManagedObjectContext::fetchObjects(const FetchRequest& request, Ref<Error>* error) {
    auto result = impl_->runFetch(request, FetchRequestResultType::ManagedObject, error);
    if (!result) return std::nullopt;
    std::vector<Ref<ManagedObject>> out;
    out.reserve(result->size());
    for (const Value& v : *result) out.push_back(ManagedObject::fromValue(v));
    return out;
}

std::optional<std::size_t> ManagedObjectContext::countForFetchRequest(const FetchRequest& request, Ref<Error>* error) {
    if (request.resultType() == FetchRequestResultType::Dictionary) {
        auto result = impl_->runFetch(request, FetchRequestResultType::Dictionary, error);
        if (!result) return std::nullopt;
        return result->size();
    }
    auto result = impl_->runFetch(request, FetchRequestResultType::Count, error);
    if (!result) return std::nullopt;
    return static_cast<std::size_t>(result->front().longLongValue());
}

}  // namespace lv
