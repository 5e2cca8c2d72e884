#include "platform/data/fetched_results_controller.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "platform/data/detail/context_impl.h"
#include "platform/dispatch/notification_center.h"
#include "platform/text/strings.h"

namespace lv {

namespace {

// A record's values as a predicate reads them: attributes as they are, to-one relationships as the
// related record's ID, the record itself as its ID.
class RecordSubject : public PredicateSubject {
public:
    explicit RecordSubject(const ManagedObject& o) : o_(o) {}
    Value valueForKeyPath(const std::string& keyPath) const override {
        const int i = o_.entity()->propertyIndex(keyPath);
        if (i < 0) return Value();
        Value v = o_.valueForKey(keyPath);
        if (auto related = v.objectAs<ManagedObject>()) return Value(data_detail::canonicalID(related->objectID()));
        return v;
    }
    Value evaluatedObject() const override { return Value(data_detail::canonicalID(o_.objectID())); }

private:
    const ManagedObject& o_;
};

}  // namespace

std::string FetchedResultsSectionInfo::indexTitle() const {
    if (name_.empty()) return std::string();
    const std::size_t end = utf8OffsetOfUtf16Index(name_, 1);
    return text::uppercase(name_.substr(0, std::max<std::size_t>(end, 1)));
}

FetchedResultsController::FetchedResultsController(Ref<FetchRequest> request, Ref<ManagedObjectContext> context,
                                                   std::string sectionNameKeyPath, std::string cacheName)
    : request_(std::move(request)), context_(std::move(context)), sectionNameKeyPath_(std::move(sectionNameKeyPath)),
      cacheName_(std::move(cacheName)) {}

FetchedResultsController::~FetchedResultsController() {
    if (observing_) NotificationCenter::defaultCenter()->removeObserver(this);
}

void FetchedResultsController::deleteCacheWithName(const std::string&) {}

std::string FetchedResultsController::sectionName(const Ref<ManagedObject>& object) const {
    if (sectionNameKeyPath_.empty()) return std::string();
    Value v = object->valueForKey(sectionNameKeyPath_);
    if (v.isNilOrNull()) return std::string();
    return v.stringValue();
}

std::vector<FetchedResultsController::Section> FetchedResultsController::sectionsOf(const std::vector<Ref<ManagedObject>>& objects) const {
    std::vector<Section> out;
    if (sectionNameKeyPath_.empty()) {
        out.push_back(Section{std::string(), 0, objects.size()});  // one section, also when empty
        return out;
    }
    for (std::size_t i = 0; i < objects.size(); ++i) {
        std::string name = sectionName(objects[i]);
        if (out.empty() || out.back().name != name) out.push_back(Section{std::move(name), i, 0});
        ++out.back().count;
    }
    return out;
}

void FetchedResultsController::observe() {
    if (observing_ || !context_) return;
    observing_ = true;
    Weak<FetchedResultsController> weak = std::static_pointer_cast<FetchedResultsController>(shared_from_this());
    NotificationCenter::defaultCenter()->addObserver(this, kManagedObjectContextObjectsDidChangeNotification, context_,
                                                     [weak](const Notification& n) {
                                                         if (auto self = weak.lock()) self->contextDidChange(n);
                                                     });
}

bool FetchedResultsController::performFetch(Ref<Error>* error) {
    if (!request_ || !context_) {
        setError(error, data_detail::contextError(kObjectStoreError, "A fetched-results controller needs a fetch request and a context."));
        return false;
    }
    auto objects = context_->fetchObjects(*request_, error);
    if (!objects) return false;
    objects_ = std::move(*objects);
    sections_ = sectionsOf(objects_);
    observe();
    return true;
}

std::vector<Ref<FetchedResultsSectionInfo>> FetchedResultsController::sections() const {
    std::vector<Ref<FetchedResultsSectionInfo>> out;
    for (const auto& s : sections_) {
        out.push_back(makeRef<FetchedResultsSectionInfo>(
            s.name, std::vector<Ref<ManagedObject>>(objects_.begin() + static_cast<std::ptrdiff_t>(s.start),
                                                     objects_.begin() + static_cast<std::ptrdiff_t>(s.start + s.count))));
    }
    return out;
}

Ref<ManagedObject> FetchedResultsController::objectAtIndexPath(const IndexPath& indexPath) const {
    if (indexPath.section >= sections_.size() || indexPath.row >= sections_[indexPath.section].count) return nullptr;
    return objects_[sections_[indexPath.section].start + indexPath.row];
}

std::optional<IndexPath> FetchedResultsController::indexPathForObject(const Ref<ManagedObject>& object) const {
    auto it = std::find(objects_.begin(), objects_.end(), object);
    if (it == objects_.end()) return std::nullopt;
    const auto position = static_cast<std::size_t>(it - objects_.begin());
    for (std::size_t s = 0; s < sections_.size(); ++s) {
        if (position < sections_[s].start + sections_[s].count) return IndexPath{s, position - sections_[s].start};
    }
    return std::nullopt;
}

void FetchedResultsController::contextDidChange(const Notification& notification) {
    const Dictionary& info = notification.userInfo();
    const std::string entityName = request_->entity() ? request_->entity()->name() : request_->entityName();
    std::vector<Ref<ManagedObject>> next;
    std::unordered_set<const ManagedObject*> changed;  // updated or refreshed members

    if (info.contains(kInvalidatedAllObjectsKey)) {
        // Every record of the context was dropped: fetch again.
        auto objects = context_->fetchObjects(*request_, nullptr);
        next = objects ? std::move(*objects) : std::vector<Ref<ManagedObject>>{};
    } else {
        auto collect = [&](std::string_view key, std::vector<Ref<ManagedObject>>& into) {
            for (const Value& v : info.get(key).array()) {
                auto o = v.objectAs<ManagedObject>();
                if (o && o->entity() && o->entity()->name() == entityName) into.push_back(std::move(o));
            }
        };
        std::vector<Ref<ManagedObject>> inserted, updated, deleted;
        collect(kInsertedObjectsKey, inserted);
        collect(kUpdatedObjectsKey, updated);
        collect(kRefreshedObjectsKey, updated);
        collect(kDeletedObjectsKey, deleted);
        if (inserted.empty() && updated.empty() && deleted.empty()) return;
        std::unordered_set<const ManagedObject*> gone;
        for (const auto& o : deleted) gone.insert(o.get());
        std::unordered_set<const ManagedObject*> seen;
        std::vector<Ref<ManagedObject>> candidates;
        auto consider = [&](const Ref<ManagedObject>& o) {
            if (gone.count(o.get()) || !seen.insert(o.get()).second) return;
            candidates.push_back(o);
        };
        for (const auto& o : objects_) consider(o);
        for (const auto& o : inserted) consider(o);
        for (const auto& o : updated) {
            changed.insert(o.get());
            consider(o);
        }
        const Ref<Predicate> predicate = data_detail::substituteRecordArguments(request_->predicate());
        for (const auto& o : candidates) {
            if (o->isDeleted() || !o->managedObjectContext()) continue;
            if (predicate && changed.count(o.get()) == 0 && std::find(objects_.begin(), objects_.end(), o) != objects_.end()) {
                next.push_back(o);  // an unchanged member stays
                continue;
            }
            if (predicate && !predicate->evaluate(RecordSubject(*o))) continue;
            next.push_back(o);
        }
        // Sort by the descriptors, ties in store order.
        const auto& descriptors = request_->sortDescriptors();
        std::unordered_map<const ManagedObject*, std::vector<Value>> keys;
        keys.reserve(next.size());
        for (const auto& o : next) {
            std::vector<Value>& k = keys[o.get()];
            for (const auto& d : descriptors) {
                Value v = o->valueForKey(d.key());
                if (auto related = v.objectAs<ManagedObject>()) v = Value(related->objectID());
                k.push_back(std::move(v));
            }
        }
        std::stable_sort(next.begin(), next.end(), [&](const Ref<ManagedObject>& a, const Ref<ManagedObject>& b) {
            const auto& ka = keys[a.get()];
            const auto& kb = keys[b.get()];
            for (std::size_t i = 0; i < descriptors.size(); ++i) {
                if (int c = descriptors[i].compare(ka[i], kb[i])) return c < 0;
            }
            return data_detail::orderedBefore(*data_detail::canonicalID(a->objectID()), *data_detail::canonicalID(b->objectID()));
        });
        if (request_->fetchLimit() > 0 && next.size() > request_->fetchLimit()) next.resize(request_->fetchLimit());
    }

    // The reports: what left, what came, what moved or changed.
    const std::vector<Ref<ManagedObject>> before = std::move(objects_);
    const std::vector<Section> sectionsBefore = std::move(sections_);
    objects_ = std::move(next);
    sections_ = sectionsOf(objects_);
    auto pathIn = [](const std::vector<Section>& sections, std::size_t position) {
        for (std::size_t s = 0; s < sections.size(); ++s) {
            if (position < sections[s].start + sections[s].count) return IndexPath{s, position - sections[s].start};
        }
        return IndexPath{};
    };
    std::unordered_map<const ManagedObject*, std::size_t> oldPos, newPos;
    for (std::size_t i = 0; i < before.size(); ++i) oldPos.emplace(before[i].get(), i);
    for (std::size_t i = 0; i < objects_.size(); ++i) newPos.emplace(objects_[i].get(), i);

    struct Report {
        Ref<ManagedObject> object;
        std::optional<IndexPath> from, to;
        FetchedResultsChangeType type;
    };
    std::vector<Report> deletes, inserts, moves, updates;
    for (std::size_t i = 0; i < before.size(); ++i) {
        if (!newPos.count(before[i].get())) deletes.push_back({before[i], pathIn(sectionsBefore, i), std::nullopt, FetchedResultsChangeType::Delete});
    }
    for (std::size_t i = 0; i < objects_.size(); ++i) {
        if (!oldPos.count(objects_[i].get())) inserts.push_back({objects_[i], std::nullopt, pathIn(sections_, i), FetchedResultsChangeType::Insert});
    }
    // Among the records in both lists, a changed one whose place among them or whose section changed
    // has moved; the others were updated in place.
    std::unordered_map<const ManagedObject*, std::size_t> survivorOld, survivorNew;
    for (const auto& o : before) {
        if (newPos.count(o.get())) survivorOld.emplace(o.get(), survivorOld.size());
    }
    for (const auto& o : objects_) {
        if (oldPos.count(o.get())) survivorNew.emplace(o.get(), survivorNew.size());
    }
    for (const auto& o : objects_) {
        if (!oldPos.count(o.get()) || !changed.count(o.get())) continue;
        const IndexPath from = pathIn(sectionsBefore, oldPos[o.get()]);
        const IndexPath to = pathIn(sections_, newPos[o.get()]);
        const bool moved = survivorOld[o.get()] != survivorNew[o.get()] ||
                           sectionsBefore[from.section].name != sections_[to.section].name;
        if (moved) moves.push_back({o, from, to, FetchedResultsChangeType::Move});
        else updates.push_back({o, from, std::nullopt, FetchedResultsChangeType::Update});
    }
    // Sections that emptied or appeared.
    std::vector<std::pair<std::size_t, const Section*>> sectionDeletes, sectionInserts;
    if (!sectionNameKeyPath_.empty()) {
        for (std::size_t s = 0; s < sectionsBefore.size(); ++s) {
            const auto& name = sectionsBefore[s].name;
            if (std::none_of(sections_.begin(), sections_.end(), [&](const Section& x) { return x.name == name; })) {
                sectionDeletes.emplace_back(s, &sectionsBefore[s]);
            }
        }
        for (std::size_t s = 0; s < sections_.size(); ++s) {
            const auto& name = sections_[s].name;
            if (std::none_of(sectionsBefore.begin(), sectionsBefore.end(), [&](const Section& x) { return x.name == name; })) {
                sectionInserts.emplace_back(s, &sections_[s]);
            }
        }
    }
    if (deletes.empty() && inserts.empty() && moves.empty() && updates.empty() && sectionDeletes.empty() && sectionInserts.empty()) {
        return;
    }
    auto delegate = delegate_.lock();
    if (!delegate) return;
    delegate->controllerWillChangeContent(*this);
    for (const auto& [index, section] : sectionDeletes) {
        auto first = before.begin() + static_cast<std::ptrdiff_t>(section->start);
        delegate->controllerDidChangeSection(
            *this, makeRef<FetchedResultsSectionInfo>(section->name, std::vector<Ref<ManagedObject>>(first, first + static_cast<std::ptrdiff_t>(section->count))),
            index, FetchedResultsChangeType::Delete);
    }
    for (const auto& [index, section] : sectionInserts) {
        auto first = objects_.begin() + static_cast<std::ptrdiff_t>(section->start);
        delegate->controllerDidChangeSection(
            *this, makeRef<FetchedResultsSectionInfo>(section->name, std::vector<Ref<ManagedObject>>(first, first + static_cast<std::ptrdiff_t>(section->count))),
            index, FetchedResultsChangeType::Insert);
    }
    for (const auto* group : {&deletes, &inserts, &moves, &updates}) {
        for (const auto& r : *group) delegate->controllerDidChangeObject(*this, r.object, r.from, r.type, r.to);
    }
    delegate->controllerDidChangeContent(*this);
}

}  // namespace lv
