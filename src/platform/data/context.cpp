#include "platform/data/context.h"

#include <algorithm>
#include <unordered_set>

#include "platform/base/lifetime.h"
#include "platform/data/detail/context_impl.h"
#include "platform/data/errors.h"
#include "platform/dispatch/notification_center.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/dispatch/thread.h"
#include "platform/runtime/detail/generation.h"

namespace lv {

using data_detail::Loaded;

namespace data_detail {

Ref<Error> contextError(std::int64_t code, std::string message, Dictionary extra) {
    extra.set(std::string(kLocalizedDescriptionKey), Value(std::move(message)));
    return Error::make(std::string(kCocoaErrorDomain), code, std::move(extra));
}

Ref<Error> recordNotFoundError(const Ref<ManagedObjectID>& id) {
    return contextError(kManagedObjectReferentialIntegrityError,
                        "The record " + (id ? id->description() : std::string("(null)")) + " does not exist.",
                        Dictionary{{std::string(kAffectedObjectsErrorKey), Value(Array{Value(id)})}});
}

Ref<ManagedObject> makeRecordInstance(const Ref<EntityDescription>& entity) {
    // Records are made by the thousand for one entity: the record class of the last entity is kept
    // per thread until the runtime changes (a class registered since may answer the name) or an
    // entity changes (its class name may be another now).
    struct Last {
        const EntityDescription* entity = nullptr;
        std::uint64_t edits = 0;
        std::uint64_t generation = 0;
        const ClassInfo* cls = nullptr;  // nullptr: plain records
    };
    thread_local Last last;
    const std::uint64_t edits = entityEditGeneration();
    const std::uint64_t generation = runtimeGeneration();
    if (last.entity != entity.get() || last.edits != edits || last.generation != generation) {
        const ClassInfo* base = ManagedObject::runtimeClass();
        const ClassInfo* cls = classNamed(entity->managedObjectClassName());
        last.entity = entity.get();
        last.edits = edits;
        last.generation = generation;
        last.cls = cls && cls != base && cls->hasFactory() && cls->isSubclassOf(base) ? cls : nullptr;
    }
    if (last.cls) {
        if (auto o = ManagedObject::fromObject(last.cls->create())) return o;
    }
    return makeRef<ManagedObject>();
}

namespace {
// References waiting for the main run loop's next turn. Main thread only.
std::size_t waitingOnMain = 0;
// A long block that saves again and again without returning to its loop holds at most this many there.
constexpr std::size_t kMostWaitingOnMain = 50'000;
}  // namespace

bool mayReleaseOnMainLater(std::size_t count) {
    if (!Thread::isMainThread() || !RunLoop::main()->isRunning() || waitingOnMain + count > kMostWaitingOnMain) return false;
    waitingOnMain += count;
    return true;
}

void mainReleaseDone(std::size_t count) { waitingOnMain -= std::min(count, waitingOnMain); }

bool sameValue(const Value& a, const Value& b) { return a.type() == b.type() && a.isEqual(b); }

bool orderedBefore(const ManagedObjectID& a, const ManagedObjectID& b) {
    if (a.isTemporaryID() != b.isTemporaryID()) return !a.isTemporaryID();
    if (a.isTemporaryID()) return a.serial() < b.serial();
    return a.key() < b.key();
}

}  // namespace data_detail

// ---- ordered record lists ----

void ManagedObjectContext::Impl::List::add(ManagedObject::List which, const Ref<ManagedObject>& o) {
    if (o->slots_[which] != ManagedObject::kNoSlot) return;
    o->slots_[which] = static_cast<std::uint32_t>(items.size());
    items.push_back(o);
    ++live;
    ++version;
}

void ManagedObjectContext::Impl::List::add(ManagedObject::List which, Ref<ManagedObject>&& o) {
    if (o->slots_[which] != ManagedObject::kNoSlot) return;
    o->slots_[which] = static_cast<std::uint32_t>(items.size());
    items.push_back(std::move(o));
    ++live;
    ++version;
}

void ManagedObjectContext::Impl::List::remove(ManagedObject::List which, ManagedObject& o) {
    const std::uint32_t slot = o.slots_[which];
    if (slot == ManagedObject::kNoSlot) return;
    o.slots_[which] = ManagedObject::kNoSlot;
    items[slot] = nullptr;
    --live;
    ++version;
    if (items.size() > 2 * live + 64) {  // compact
        std::vector<Ref<ManagedObject>> kept;
        kept.reserve(live);
        for (auto& item : items) {
            if (!item) continue;
            item->slots_[which] = static_cast<std::uint32_t>(kept.size());
            kept.push_back(std::move(item));
        }
        items = std::move(kept);
    }
}

void ManagedObjectContext::Impl::List::clear(ManagedObject::List which) {
    for (auto& item : items) {
        if (item) item->slots_[which] = ManagedObject::kNoSlot;
    }
    items.clear();
    live = 0;
    ++version;
}

std::vector<Ref<ManagedObject>> ManagedObjectContext::Impl::List::objects() const {
    std::vector<Ref<ManagedObject>> out;
    out.reserve(live);
    for (const auto& item : items) {
        if (item) out.push_back(item);
    }
    return out;
}

Array ManagedObjectContext::Impl::List::values() const {
    Array out;
    out.reserve(live);
    for (const auto& item : items) {
        if (item) out.push_back(Value(item));
    }
    return out;
}

// ---- registry ----

Ref<ManagedObject> ManagedObjectContext::Impl::lookup(const Ref<ManagedObjectID>& id) {
    if (!id) return nullptr;
    rekeyIfNeeded();
    if (const Ref<ManagedObject>* found = registry.find(id)) return *found;
    if (id->isTemporaryID()) {
        if (auto permanent = id->permanentID()) {
            if (const Ref<ManagedObject>* found = registry.find(permanent)) return *found;
        }
    }
    return nullptr;
}

void ManagedObjectContext::Impl::registerObject(const Ref<ManagedObject>& o) {
    registry.assign(o->id_, o);
    o->registered_ = true;
    if (weakSelf.expired()) weakSelf = std::static_pointer_cast<ManagedObjectContext>(self.shared_from_this());
    o->context_ = weakSelf;
    if (o->id_->isTemporaryID()) {
        // Whether every entry of the list is still known to need no rekeying as of this generation.
        const std::uint64_t generation = ManagedObjectID::permanentIDGeneration();
        const bool wasEmpty = temporaries.empty();
        temporaries.push_back(o);
        if (o->id_->permanentID()) {
            temporariesChecked = false;
        } else if (wasEmpty) {
            temporariesChecked = true;
            checkedGeneration = generation;
        } else if (checkedGeneration != generation) {
            temporariesChecked = false;
        }
    }
}

void ManagedObjectContext::Impl::unregister(ManagedObject& o) {
    if (!o.registered_) return;
    temporariesChecked = false;
    registry.erase(o.id_, o);
    o.registered_ = false;
}

void ManagedObjectContext::Impl::rekey(ManagedObject& o, Ref<ManagedObjectID> id) {
    temporariesChecked = false;
    if (o.registered_) registry.rekey(o.id_, o, id);  // the entry keeps its place
    o.setID(std::move(id));
}

bool ManagedObjectContext::Impl::rekeyPending() const {
    if (temporaries.empty()) return false;
    const std::uint64_t generation = ManagedObjectID::permanentIDGeneration();
    return generation != seenGeneration && !(temporariesChecked && checkedGeneration == generation);
}

void ManagedObjectContext::Impl::rekeyIfNeeded() {
    if (temporaries.empty()) return;
    const std::uint64_t generation = ManagedObjectID::permanentIDGeneration();
    if (generation == seenGeneration) return;
    seenGeneration = generation;
    // Every entry registered, temporary and without a permanent ID as of this generation: the walk
    // below would keep the list as it is.
    if (temporariesChecked && checkedGeneration == generation) return;
    // Compacted in place: the list keeps its room for the next batch of inserts.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < temporaries.size(); ++i) {
        Ref<ManagedObject>& o = temporaries[i];
        if (!o->registered_ || !o->id_->isTemporaryID()) continue;
        if (auto permanent = o->id_->permanentID()) {
            rekey(*o, std::move(permanent));
        } else if (kept != i) {
            temporaries[kept++] = std::move(o);
        } else {
            ++kept;
        }
    }
    temporaries.resize(kept);
    temporariesChecked = true;
    checkedGeneration = generation;
}

Ref<ManagedObjectID> ManagedObjectContext::Impl::canonical(const Ref<ManagedObjectID>& id) const {
    if (id && id->isTemporaryID()) {
        if (auto permanent = id->permanentID()) return permanent;
    }
    return id;
}

Value ManagedObjectContext::Impl::canonicalValue(const PropertyDescription& property, const Value& value) const {
    if (!property.isRelationship()) return value;
    if (auto id = value.objectAs<ManagedObjectID>()) {
        auto c = canonical(id);
        return c == id ? value : Value(c);
    }
    if (!value.isArray()) return value;
    bool changed = false;
    Array out;
    out.reserve(value.array().size());
    for (const Value& v : value.array()) {
        auto id = v.objectAs<ManagedObjectID>();
        auto c = canonical(id);
        changed = changed || c != id;
        out.push_back(c ? Value(c) : v);
    }
    return changed ? Value(std::move(out)) : value;
}

Ref<EntityDescription> ManagedObjectContext::Impl::entityNamed(std::string_view name) {
    if (!model) {
        auto coordinator = self.persistentStoreCoordinator();
        if (!coordinator) return nullptr;
        model = coordinator->managedObjectModel();
    }
    return model->entityNamed(name);
}

Ref<ManagedObject> ManagedObjectContext::Impl::materialize(const Ref<EntityDescription>& entity, const Ref<ManagedObjectID>& id,
                                                           std::vector<Value> values, std::int64_t version, bool fault) {
    Ref<ManagedObject> o = data_detail::makeRecordInstance(entity);
    o->bind(entity, id);
    if (fault) {
        o->fault_ = true;
    } else {
        values.resize(entity->properties().size());
        o->values_ = std::move(values);
    }
    o->version_ = version;
    registerObject(o);
    return o;
}

// ---- change tracking ----

void ManagedObjectContext::Impl::rebase(ManagedObject& o, std::vector<Value> base, std::int64_t version,
                                        std::vector<RelationshipEdit>* later) {
    base.resize(o.entity_->properties().size());
    o.fault_ = false;
    o.gone_ = false;
    // Local relationship changes are made again over the new values, their other sides with them.
    std::vector<std::pair<std::size_t, Value>> relationships;
    if (!o.committed_.empty()) {
        std::vector<Value> merged = base;
        const auto& properties = o.entity_->properties();
        for (std::size_t i = 0; i < merged.size(); ++i) {
            if (data_detail::sameValue(o.committed_[i], o.values_[i])) continue;
            if (!properties[i]->isRelationship()) {
                merged[i] = o.values_[i];  // the local change stays
                continue;
            }
            Value mine = o.values_[i];
            if (static_cast<const RelationshipDescription&>(*properties[i]).isToMany()) {
                // The local additions and removals go onto the list as the source has it now: the
                // other context's changes to it stay.
                if (base[i].isNil()) {
                    if (auto ids = relatedIDsFromSource(o.id_, i, nullptr)) base[i] = *ids;
                }
                mine = data_detail::mergeToMany(o.committed_[i], mine, base[i]);
                merged[i] = base[i];
            }
            relationships.emplace_back(i, std::move(mine));
        }
        o.committed_ = std::move(base);
        o.values_ = std::move(merged);
    } else {
        o.values_ = std::move(base);
    }
    o.version_ = version;
    for (auto& [i, value] : relationships) {
        if (later) later->push_back({std::static_pointer_cast<ManagedObject>(o.shared_from_this()), i, std::move(value)});
        else o.setRelationshipIDs(i, value, true);
    }
}

void ManagedObjectContext::Impl::scheduleNotify() {
    if (notifyScheduled) return;
    notifyScheduled = true;
    Weak<ManagedObjectContext> weak = std::static_pointer_cast<ManagedObjectContext>(self.shared_from_this());
    auto block = [weak] {
        if (auto context = weak.lock()) context->processPendingChanges();
    };
    if (self.queue_) self.queue_->async(block);
    else if (self.ownerLoop_) self.ownerLoop_->perform(block);
}

void ManagedObjectContext::Impl::willChange(ManagedObject& o) {
    if (o.deleted_) return;
    if (o.inserted_) {
        // A new record changed after its insertion was announced is announced as updated.
        if (!contains(ManagedObject::kNoteInserted, o)) {
            add(ManagedObject::kNoteUpdated, std::static_pointer_cast<ManagedObject>(o.shared_from_this()));
            scheduleNotify();
        }
        return;
    }
    if (o.committed_.empty()) o.committed_ = o.values_;
    if (!o.updated_) {
        o.updated_ = true;
        Ref<ManagedObject> ref = std::static_pointer_cast<ManagedObject>(o.shared_from_this());
        add(ManagedObject::kUpdated, ref);
        add(ManagedObject::kNoteUpdated, std::move(ref));  // its last use
    }
    scheduleNotify();
}

void ManagedObjectContext::Impl::forgetInserted(ManagedObject& o) {
    Ref<ManagedObject> ref = std::static_pointer_cast<ManagedObject>(o.shared_from_this());
    o.inserted_ = false;
    remove(ManagedObject::kInserted, o);
    if (contains(ManagedObject::kNoteInserted, o)) {
        remove(ManagedObject::kNoteInserted, o);  // never announced
    } else {
        add(ManagedObject::kNoteDeleted, ref);
    }
    remove(ManagedObject::kNoteUpdated, o);
    unregister(o);
    o.context_.reset();
    scheduleNotify();
}

void ManagedObjectContext::Impl::markDeleted(ManagedObject& o) {
    if (o.deleted_) return;
    Ref<ManagedObject> ref = std::static_pointer_cast<ManagedObject>(o.shared_from_this());
    o.deleted_ = true;
    if (o.updated_) {
        o.updated_ = false;
        remove(ManagedObject::kUpdated, o);
    }
    remove(ManagedObject::kNoteUpdated, o);
    add(ManagedObject::kDeleted, ref);
    add(ManagedObject::kNoteDeleted, std::move(ref));  // its last use
    scheduleNotify();
}

void ManagedObjectContext::Impl::applyDeleteRules(ManagedObject& o) {
    const auto& relationships = o.entity_->relationships();
    if (relationships.empty()) return;
    o.fire();
    if (o.gone_) return;
    for (const auto& r : relationships) {
        const auto index = static_cast<std::size_t>(o.entity_->propertyIndex(r->name()));
        auto inverse = r->inverseRelationship();
        if (r->deleteRule() != DeleteRule::Cascade && !inverse) continue;
        if (r->isToMany()) loadToMany(o, index);
        std::vector<Ref<ManagedObjectID>> related;
        if (auto id = o.values_[index].objectAs<ManagedObjectID>()) related.push_back(id);
        if (o.values_[index].isArray()) {
            for (const Value& v : o.values_[index].array()) related.push_back(v.objectAs<ManagedObjectID>());
        }
        for (const auto& id : related) {
            Ref<ManagedObject> other = self.objectWithID(id);
            if (!other || other->deleted_) continue;
            if (r->deleteRule() == DeleteRule::Cascade) {
                self.deleteObject(other);
                continue;
            }
            other->fire();
            if (other->gone_) continue;
            const int j = other->entity_->propertyIndex(inverse->name());
            if (j < 0) continue;
            const auto ji = static_cast<std::size_t>(j);
            SameRecord eq;
            if (inverse->isToMany()) {
                loadToMany(*other, ji);
                Array list = other->values_[ji].array();
                list.erase(std::remove_if(list.begin(), list.end(), [&](const Value& v) { return eq(v.objectAs<ManagedObjectID>(), o.id_); }),
                           list.end());
                other->setRelationshipIDs(ji, Value(std::move(list)), false);
            } else if (eq(other->values_[ji].objectAs<ManagedObjectID>(), o.id_)) {
                other->setRelationshipIDs(ji, Value(), false);
            }
        }
    }
}

// ---- the context ----

ManagedObjectContext::ManagedObjectContext(ManagedObjectContextConcurrencyType type)
    : type_(type), impl_(std::make_unique<Impl>(*this)) {
    switch (type) {
        case ManagedObjectContextConcurrencyType::PrivateQueue: queue_ = Queue::makeSerial("ManagedObjectContext"); break;
        case ManagedObjectContextConcurrencyType::MainQueue: queue_ = Queue::main(); break;
        case ManagedObjectContextConcurrencyType::Confinement: ownerLoop_ = RunLoop::current(); break;
    }
}

ManagedObjectContext::~ManagedObjectContext() = default;

void ManagedObjectContext::perform(Block block) {
    if (!block) return;
    if (queue_) {
        queue_->async(std::move(block));
    } else if (ownerLoop_) {
        ownerLoop_->perform(std::move(block));
    }
}

void ManagedObjectContext::performAndWait(const Block& block) {
    if (!block) return;
    if (queue_) {
        queue_->sync(block);
    } else {
        block();
    }
}

bool ManagedObjectContext::isOnQueue() const {
    if (queue_) return queue_->isCurrent();
    return ownerLoop_ == RunLoop::current();
}

namespace {
// Raised by every change of a context's coordinator or parent (see inherited_).
std::atomic<std::uint64_t> configEdits{1};
}  // namespace

void ManagedObjectContext::setPersistentStoreCoordinator(Ref<PersistentStoreCoordinator> coordinator) {
    impl_->model = nullptr;
    std::lock_guard lock(configMutex_);
    coordinator_ = std::move(coordinator);
    if (coordinator_) parent_.reset();
    configEdits.fetch_add(1, std::memory_order_release);
}

Ref<PersistentStoreCoordinator> ManagedObjectContext::persistentStoreCoordinator() const {
    Ref<ManagedObjectContext> parent;
    std::uint64_t edits = 0;
    {
        std::lock_guard lock(configMutex_);
        if (coordinator_) return coordinator_;
        if (!parent_) return nullptr;
        edits = configEdits.load(std::memory_order_acquire);
        if (inheritedAt_ == edits) {
            if (auto kept = inherited_.lock()) return kept;
        }
        parent = parent_;
    }
    Ref<PersistentStoreCoordinator> found = parent->persistentStoreCoordinator();
    std::lock_guard lock(configMutex_);
    inherited_ = found;
    inheritedAt_ = edits;
    return found;
}

void ManagedObjectContext::setParentContext(Ref<ManagedObjectContext> parent) {
    impl_->model = nullptr;
    std::lock_guard lock(configMutex_);
    parent_ = std::move(parent);
    if (parent_) coordinator_.reset();
    configEdits.fetch_add(1, std::memory_order_release);
}

Ref<ManagedObjectContext> ManagedObjectContext::parentContext() const {
    std::lock_guard lock(configMutex_);
    return parent_;
}

void ManagedObjectContext::insertObject(const Ref<ManagedObject>& object) {
    if (!object || !object->entity_) return;
    auto owner = object->context_.lock();
    if (owner && owner.get() != this) {
        Exception::raise(std::string(kInvalidArgumentException),
                         "An object may only be in one context at a time: " + object->description());
    }
    Impl& d = *impl_;
    Ref<ManagedObject> ref = object;
    if (owner && object->registered_) {
        if (object->deleted_) {  // deleted here and not saved: undelete
            object->deleted_ = false;
            d.remove(ManagedObject::kDeleted, *object);
            if (d.contains(ManagedObject::kNoteDeleted, *object)) d.remove(ManagedObject::kNoteDeleted, *object);
            if (!object->committed_.empty()) {
                object->updated_ = true;
                d.add(ManagedObject::kUpdated, ref);
                d.add(ManagedObject::kNoteUpdated, ref);
            }
            d.scheduleNotify();
        }
        return;
    }
    if (!object->id_) object->setID(ManagedObjectID::makeTemporary(object->entity_));
    object->inserted_ = true;
    object->deleted_ = false;
    object->fault_ = false;
    d.registerObject(ref);
    d.add(ManagedObject::kInserted, ref);
    d.add(ManagedObject::kNoteInserted, std::move(ref));  // its last use
    d.scheduleNotify();
}

void ManagedObjectContext::deleteObject(const Ref<ManagedObject>& object) {
    if (!object || !object->registered_ || object->context_.lock().get() != this || object->deleted_) return;
    Impl& d = *impl_;
    if (object->inserted_) {
        d.applyDeleteRules(*object);
        d.forgetInserted(*object);
        return;
    }
    d.applyDeleteRules(*object);
    d.markDeleted(*object);
}

Ref<ManagedObject> ManagedObjectContext::objectWithID(const Ref<ManagedObjectID>& id) {
    if (!id || !id->entity()) return nullptr;
    if (auto o = impl_->lookup(id)) return o;
    auto c = impl_->canonical(id);
    auto entity = impl_->entityNamed(c->entity()->name());
    return impl_->materialize(entity ? entity : c->entity(), c, {}, 0, true);
}

Ref<ManagedObject> ManagedObjectContext::objectRegisteredForID(const Ref<ManagedObjectID>& id) const { return impl_->lookup(id); }

Ref<ManagedObject> ManagedObjectContext::existingObjectWithID(const Ref<ManagedObjectID>& id, Ref<Error>* error) {
    auto notFound = [&]() -> Ref<ManagedObject> {
        setError(error, data_detail::recordNotFoundError(id));
        return nullptr;
    };
    if (!id || !id->entity()) return notFound();
    Impl& d = *impl_;
    if (auto o = d.lookup(id)) {
        if (o->fault_) {
            std::vector<Loaded> loaded;
            if (!d.loadFromSource({o->id_}, loaded, error)) return nullptr;
            if (!loaded[0].found) return notFound();
            o->fault_ = false;
            o->values_ = std::move(loaded[0].values);
            o->values_.resize(o->entity_->properties().size());
            o->version_ = loaded[0].version;
        }
        if (o->gone_) return notFound();
        return o;
    }
    auto c = d.canonical(id);
    std::vector<Loaded> loaded;
    if (!d.loadFromSource({c}, loaded, error)) return nullptr;
    if (!loaded[0].found) return notFound();
    auto entity = d.entityNamed(c->entity()->name());
    return d.materialize(entity ? entity : c->entity(), c, std::move(loaded[0].values), loaded[0].version, false);
}

bool ManagedObjectContext::obtainPermanentIDsForObjects(const std::vector<Ref<ManagedObject>>& objects, Ref<Error>* error) {
    Impl& d = *impl_;
    d.rekeyIfNeeded();
    std::vector<std::pair<std::string, std::vector<ManagedObject*>>> groups;
    // Records come in runs of one entity: the group of the last record's entity is tried first.
    const EntityDescription* lastEntity = nullptr;
    std::size_t lastGroup = 0;
    for (const auto& o : objects) {
        if (!o || !o->id_ || !o->id_->isTemporaryID()) continue;
        if (auto permanent = o->id_->permanentID()) {
            d.rekey(*o, std::move(permanent));
            continue;
        }
        if (o->entity_.get() != lastEntity) {
            const std::string& name = o->entity_->name();
            auto it = std::find_if(groups.begin(), groups.end(), [&](const auto& g) { return g.first == name; });
            if (it == groups.end()) {
                groups.emplace_back(name, std::vector<ManagedObject*>{});
                it = groups.end() - 1;
                it->second.reserve(objects.size());
            }
            lastEntity = o->entity_.get();
            lastGroup = static_cast<std::size_t>(it - groups.begin());
        }
        groups[lastGroup].second.push_back(o.get());
    }
    if (groups.empty()) return true;
    // A record named twice gets one identifier, at its first place. A save hands over every inserted
    // record once: marking each record as it is met shows that without sorting or a hash node per
    // record (the marks are cleared before anything else runs).
    for (auto& group : groups) {
        std::vector<ManagedObject*>& members = group.second;
        if (members.size() < 2) continue;
        bool twice = false;
        for (ManagedObject* o : members) {
            twice = twice || o->marked_;
            o->marked_ = true;
        }
        for (ManagedObject* o : members) o->marked_ = false;
        if (!twice) continue;
        std::unordered_set<const ManagedObject*> seen;
        seen.reserve(members.size());
        std::size_t kept = 0;
        for (ManagedObject* o : members) {
            if (seen.insert(o).second) members[kept++] = o;
        }
        members.resize(kept);
    }
    auto coordinator = persistentStoreCoordinator();
    if (!coordinator) {
        setError(error, data_detail::contextError(kObjectStoreError, "The context has no store coordinator."));
        return false;
    }
    for (auto& [name, members] : groups) {
        auto entity = coordinator->managedObjectModel()->entityNamed(name);
        auto ids = coordinator->obtainPermanentIDs(entity, members.size(), error);
        if (!ids) return false;
        std::vector<std::pair<Ref<ManagedObjectID>, Ref<ManagedObjectID>>> pairs;
        pairs.reserve(members.size());
        for (std::size_t i = 0; i < members.size(); ++i) pairs.emplace_back(members[i]->id_, std::move((*ids)[i]));
        ManagedObjectID::setPermanentIDs(pairs);
        for (std::size_t i = 0; i < members.size(); ++i) d.rekey(*members[i], std::move(pairs[i].second));
        // The pairs now hold the temporary IDs, often their last references.
        data_detail::releaseElsewhere(std::move(pairs));
    }
    d.seenGeneration = 0;  // let other temporaries be looked at again
    return true;
}

bool ManagedObjectContext::hasChanges() const {
    return !impl_->lists[ManagedObject::kInserted].empty() || !impl_->lists[ManagedObject::kUpdated].empty() ||
           !impl_->lists[ManagedObject::kDeleted].empty();
}

std::vector<Ref<ManagedObject>> ManagedObjectContext::insertedObjects() const { return impl_->lists[ManagedObject::kInserted].objects(); }
std::vector<Ref<ManagedObject>> ManagedObjectContext::updatedObjects() const { return impl_->lists[ManagedObject::kUpdated].objects(); }
std::vector<Ref<ManagedObject>> ManagedObjectContext::deletedObjects() const { return impl_->lists[ManagedObject::kDeleted].objects(); }

std::vector<Ref<ManagedObject>> ManagedObjectContext::registeredObjects() const {
    std::vector<Ref<ManagedObject>> out;
    out.reserve(impl_->registry.size());
    impl_->registry.forEach([&](const Ref<ManagedObjectID>&, const Ref<ManagedObject>& o) { out.push_back(o); });
    return out;
}

void ManagedObjectContext::processPendingChanges() {
    Impl& d = *impl_;
    d.notifyScheduled = false;
    constexpr ManagedObject::List kNoteLists[] = {ManagedObject::kNoteInserted, ManagedObject::kNoteUpdated, ManagedObject::kNoteDeleted,
                                                  ManagedObject::kNoteRefreshed};
    if (std::all_of(std::begin(kNoteLists), std::end(kNoteLists), [&](ManagedObject::List which) { return d.list(which).empty(); })) {
        return;
    }
    auto center = NotificationCenter::defaultCenter();
    if (!center->hasObserver(kManagedObjectContextObjectsDidChangeNotification, shared_from_this())) {
        // No one would receive the announcement (a save's parent, say, announcing a thousand pushed
        // records): the lists are emptied without building it.
        for (const auto which : kNoteLists) d.list(which).clear(which);
        return;
    }
    Dictionary info;
    auto take = [&](ManagedObject::List which, std::string_view key) {
        Impl::List& l = d.list(which);
        if (l.empty()) return;
        info.set(std::string(key), Value(l.take(which)));
    };
    take(ManagedObject::kNoteInserted, kInsertedObjectsKey);
    take(ManagedObject::kNoteUpdated, kUpdatedObjectsKey);
    take(ManagedObject::kNoteDeleted, kDeletedObjectsKey);
    take(ManagedObject::kNoteRefreshed, kRefreshedObjectsKey);
    if (info.empty()) return;
    center->post(std::string(kManagedObjectContextObjectsDidChangeNotification), shared_from_this(), std::move(info));
}

void ManagedObjectContext::rollback() {
    Impl& d = *impl_;
    for (const auto& o : d.list(ManagedObject::kInserted).objects()) {
        o->inserted_ = false;
        d.unregister(*o);
        o->context_.reset();
        if (d.contains(ManagedObject::kNoteInserted, *o)) d.remove(ManagedObject::kNoteInserted, *o);
        else d.add(ManagedObject::kNoteDeleted, o);
    }
    d.list(ManagedObject::kInserted).clear(ManagedObject::kInserted);
    auto restore = [&](const Ref<ManagedObject>& o) {
        if (!o->committed_.empty()) {
            o->values_ = std::move(o->committed_);
            o->committed_.clear();
        }
        o->updated_ = false;
        o->deleted_ = false;
        d.remove(ManagedObject::kNoteUpdated, *o);
        d.remove(ManagedObject::kNoteDeleted, *o);
        d.add(ManagedObject::kNoteRefreshed, o);
    };
    for (const auto& o : d.list(ManagedObject::kUpdated).objects()) restore(o);
    for (const auto& o : d.list(ManagedObject::kDeleted).objects()) restore(o);
    d.list(ManagedObject::kUpdated).clear(ManagedObject::kUpdated);
    d.list(ManagedObject::kDeleted).clear(ManagedObject::kDeleted);
    processPendingChanges();
}

void ManagedObjectContext::reset() {
    Impl& d = *impl_;
    Array ids;
    ids.reserve(d.registry.size());
    d.registry.forEach([&](const Ref<ManagedObjectID>&, const Ref<ManagedObject>& o) {
        ids.push_back(Value(o->id_));
        o->registered_ = false;
        o->context_.reset();
        o->inserted_ = o->updated_ = o->deleted_ = false;
    });
    for (int which = 0; which < ManagedObject::kListCount; ++which) d.lists[which].clear(static_cast<ManagedObject::List>(which));
    d.registry.clear();
    d.temporaries.clear();
    d.temporariesChecked = false;
    d.notifyScheduled = false;
    NotificationCenter::defaultCenter()->post(std::string(kManagedObjectContextObjectsDidChangeNotification), shared_from_this(),
                                              Dictionary{{std::string(kInvalidatedAllObjectsKey), Value(std::move(ids))}});
}

void ManagedObjectContext::refreshObject(const Ref<ManagedObject>& object, bool mergeChanges) {
    if (!object || !object->registered_ || object->context_.lock().get() != this || object->inserted_) return;
    Impl& d = *impl_;
    if (!mergeChanges) {
        if (object->updated_) {
            object->updated_ = false;
            d.remove(ManagedObject::kUpdated, *object);
            d.remove(ManagedObject::kNoteUpdated, *object);
        }
        object->committed_.clear();
        object->values_.clear();
        object->fault_ = true;
        object->gone_ = false;
        d.add(ManagedObject::kNoteRefreshed, object);
        d.scheduleNotify();
        return;
    }
    if (object->fault_) return;
    std::vector<Loaded> loaded;
    if (!d.loadFromSource({object->id_}, loaded, nullptr) || !loaded[0].found) return;
    d.rebase(*object, std::move(loaded[0].values), loaded[0].version);
    d.add(ManagedObject::kNoteRefreshed, object);
    d.scheduleNotify();
}

std::string ManagedObjectContext::description() const { return "<ManagedObjectContext: " + addressText(this) + ">"; }

}  // namespace lv
