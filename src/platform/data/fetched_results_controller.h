// The fetched-results controller: the result of a fetch request in a context, split into sections by a
// key path, kept current as the context changes, and reporting each change of its list to a delegate,
// so that a table can follow with row inserts, deletes, moves and updates.
//
// Threads: the controller belongs to its context's queue (fetch, read and change reports there).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/error.h"
#include "platform/base/object.h"
#include "platform/data/context.h"
#include "platform/data/fetch_request.h"
#include "platform/data/managed_object.h"

namespace lv {

class FetchedResultsController;
class Notification;

struct IndexPath {
    std::size_t section = 0;
    std::size_t row = 0;
    bool operator==(const IndexPath& o) const { return section == o.section && row == o.row; }
    bool operator!=(const IndexPath& o) const { return !(*this == o); }
};

// The platform's values.
enum class FetchedResultsChangeType : std::uint8_t { Insert = 1, Delete = 2, Move = 3, Update = 4 };

class FetchedResultsSectionInfo : public Object {
public:
    FetchedResultsSectionInfo(std::string name, std::vector<Ref<ManagedObject>> objects)
        : name_(std::move(name)), objects_(std::move(objects)) {}
    // The section key path's value as text ("" for nil, and for every object without sections).
    const std::string& name() const { return name_; }
    // The name's first letter, upper-cased.
    std::string indexTitle() const;
    std::size_t numberOfObjects() const { return objects_.size(); }
    const std::vector<Ref<ManagedObject>>& objects() const { return objects_; }

private:
    std::string name_;
    std::vector<Ref<ManagedObject>> objects_;
};

// Every method is optional. Between will-change and did-change the controller reports section
// changes (deletes, then inserts) and object changes (deletes, inserts, moves, updates); index paths
// of deletes, moves and updates are the old ones, of inserts and move destinations the new ones.
class FetchedResultsControllerDelegate {
public:
    virtual ~FetchedResultsControllerDelegate() = default;
    virtual void controllerWillChangeContent(FetchedResultsController&) {}
    virtual void controllerDidChangeSection(FetchedResultsController&, const Ref<FetchedResultsSectionInfo>&, std::size_t /*index*/,
                                            FetchedResultsChangeType) {}
    virtual void controllerDidChangeObject(FetchedResultsController&, const Ref<ManagedObject>&, std::optional<IndexPath> /*indexPath*/,
                                           FetchedResultsChangeType, std::optional<IndexPath> /*newIndexPath*/) {}
    virtual void controllerDidChangeContent(FetchedResultsController&) {}
};

class FetchedResultsController : public Object {
public:
    // The request's entity, predicate and sort descriptors define the list (without sort descriptors:
    // the records' store order); the section key path (may be empty) splits it into runs of equal
    // values; the cache name is kept for the caller (nothing is cached on disk).
    FetchedResultsController(Ref<FetchRequest> request, Ref<ManagedObjectContext> context, std::string sectionNameKeyPath = {},
                             std::string cacheName = {});
    static Ref<FetchedResultsController> make(Ref<FetchRequest> request, Ref<ManagedObjectContext> context,
                                              std::string sectionNameKeyPath = {}, std::string cacheName = {}) {
        return makeRef<FetchedResultsController>(std::move(request), std::move(context), std::move(sectionNameKeyPath),
                                                 std::move(cacheName));
    }
    ~FetchedResultsController() override;

    const Ref<FetchRequest>& fetchRequest() const { return request_; }
    const Ref<ManagedObjectContext>& managedObjectContext() const { return context_; }
    const std::string& sectionNameKeyPath() const { return sectionNameKeyPath_; }
    const std::string& cacheName() const { return cacheName_; }
    // Nothing is cached on disk, so there is nothing to delete.
    static void deleteCacheWithName(const std::string& name);

    // Held weakly.
    void setDelegate(const Ref<FetchedResultsControllerDelegate>& delegate) { delegate_ = delegate; }
    Ref<FetchedResultsControllerDelegate> delegate() const { return delegate_.lock(); }

    // Runs the fetch and starts following the context's changes. False with the fetch's error.
    bool performFetch(Ref<Error>* error);

    const std::vector<Ref<ManagedObject>>& fetchedObjects() const { return objects_; }
    std::vector<Ref<FetchedResultsSectionInfo>> sections() const;
    // Nullptr outside the list.
    Ref<ManagedObject> objectAtIndexPath(const IndexPath& indexPath) const;
    std::optional<IndexPath> indexPathForObject(const Ref<ManagedObject>& object) const;

private:
    struct Section {
        std::string name;
        std::size_t start = 0;
        std::size_t count = 0;
    };
    std::vector<Section> sectionsOf(const std::vector<Ref<ManagedObject>>& objects) const;
    std::string sectionName(const Ref<ManagedObject>& object) const;
    void contextDidChange(const Notification& notification);
    void observe();

    Ref<FetchRequest> request_;
    Ref<ManagedObjectContext> context_;
    std::string sectionNameKeyPath_;
    std::string cacheName_;
    Weak<FetchedResultsControllerDelegate> delegate_;
    std::vector<Ref<ManagedObject>> objects_;
    std::vector<Section> sections_;
    bool observing_ = false;
};

}  // namespace lv
