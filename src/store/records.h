// Record-class operations: name a record class's entity, build fetch requests for it, run them in a
// context, find, create, delete and count records.
//
// Three levels:
// - RecordEntity: the class side of one record class known at run time (its class name and optional
//   hooks); every operation that needs a context takes it as its last argument.
// - RecordOps<T>: the same operations as static members of a record class T, typed (records come back
//   as Ref<T>), each also in a form without a context that uses RS_contextForCurrentThread() (the
//   default context on the main thread).
// - Record<T>: the base of record classes (class News : public Record<News>): ManagedObject plus
//   RecordOps<T> and the instance operations (RS_deleteEntityInContext, RS_inContext, …), so that
//   News::RS_findFirstByAttribute("msgId", id) reads as the app reads it.
//
// The entity name is what the class answers to a static entityName() when that is non-empty,
// otherwise the class's registered name after its last "." ("App.News" → "News").
//
// A class T optionally declares
//   static std::string entityName();
//   static Ref<ManagedObject> insertInManagedObjectContext(const Ref<ManagedObjectContext>&);
// Records of T's entity are made as T when T is registered as the entity's record class (see
// platform/data/managed_object.h); typed results leave out records that are not T.
//
// Threads: fetches, counts, creation and deletion run on the context's queue through performAndWait;
// failures go to RecordStack::handleErrors and give nothing (fetches), nil (lookups) or 0 (counts).
#pragma once

#include <concepts>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "platform/base/object.h"
#include "platform/base/value.h"
#include "platform/data/context.h"
#include "platform/data/fetch_request.h"
#include "platform/data/fetched_results_controller.h"
#include "platform/data/managed_object.h"
#include "platform/data/predicate.h"
#include "platform/data/sort_descriptor.h"
#include "platform/runtime/runtime.h"
#include "store/contexts.h"

namespace lv {

class RecordEntity {
public:
    struct Hooks {
        // The class's own entity name (used when it returns a non-empty text).
        std::function<std::string()> entityName;
        // The class's own way of making a record in a context.
        std::function<Ref<ManagedObject>(const Ref<ManagedObjectContext>&)> insertInManagedObjectContext;
    };

    explicit RecordEntity(std::string className, Hooks hooks = {});

    const std::string& className() const { return className_; }
    std::string RS_entityName() const;

    // The fetch batch size the sorted request builder sets (process-wide, initially 20).
    static void RS_setDefaultBatchSize(std::size_t size);
    static std::size_t RS_defaultBatchSize();

    // ---- fetch execution ----
    // The result array, or nothing (the error goes to RecordStack::handleErrors).
    static std::optional<Array> RS_executeFetchRequest(const Ref<FetchRequest>& request, const Ref<ManagedObjectContext>& context);
    // Sets the request's fetch limit to 1 and gives its first result (nil when none).
    static Value RS_executeFetchRequestAndReturnFirstObject(const Ref<FetchRequest>& request, const Ref<ManagedObjectContext>& context);
    static bool RS_performFetch(const Ref<FetchedResultsController>& controller);

    Ref<EntityDescription> RS_entityDescriptionInContext(const Ref<ManagedObjectContext>& context) const;
    // The entity's property descriptions of the names, in order; unknown names are skipped (and
    // logged with mask bit 2).
    Array RS_propertiesNamed(const std::vector<std::string>& names, const Ref<ManagedObjectContext>& context) const;
    static std::vector<SortDescriptor> RS_sortAscending(bool ascending, const std::vector<std::string>& attributes);
    static std::vector<SortDescriptor> RS_ascendingSortDescriptors(const std::vector<std::string>& attributes);
    static std::vector<SortDescriptor> RS_descendingSortDescriptors(const std::vector<std::string>& attributes);

    // ---- create and delete ----
    // Which records a caller can take (a typed caller takes only records of its class); nullptr: any.
    // A plain function: a record is made per item, and a wrapped call would cost a wrapper each time.
    using Accepts = bool (*)(const ManagedObject&);

    // A new record inserted into the context (made without a context when it is nullptr); nullptr when
    // the context's model has no such entity or the record is not one the caller accepts, and then
    // nothing stays inserted. Not saved.
    Ref<ManagedObject> RS_createEntityInContext(const Ref<ManagedObjectContext>& context, Accepts accepts = nullptr) const;
    bool RS_deleteAllMatchingPredicate(const Ref<Predicate>& predicate, const Ref<ManagedObjectContext>& context) const;
    bool RS_truncateAllInContext(const Ref<ManagedObjectContext>& context) const;

    // ---- requests ----
    Ref<FetchRequest> RS_createFetchRequestInContext(const Ref<ManagedObjectContext>& context) const;
    Ref<FetchRequest> RS_requestAllInContext(const Ref<ManagedObjectContext>& context) const;
    Ref<FetchRequest> RS_requestAllWithPredicate(const Ref<Predicate>& predicate, const Ref<ManagedObjectContext>& context) const;
    // Predicate "%K = %@".
    Ref<FetchRequest> RS_requestAllWhere(std::string_view attribute, const Value& value, const Ref<ManagedObjectContext>& context) const;
    Ref<FetchRequest> RS_requestFirstWithPredicate(const Ref<Predicate>& predicate, const Ref<ManagedObjectContext>& context) const;
    Ref<FetchRequest> RS_requestFirstByAttribute(std::string_view attribute, const Value& value,
                                                 const Ref<ManagedObjectContext>& context) const;
    // Sorted by a sort term "key[:flag],key[:flag]…" (a key without a flag takes the last flag given,
    // else the ascending argument), with the default batch size.
    Ref<FetchRequest> RS_requestAllSortedBy(std::string_view sortTerm, bool ascending, const Ref<ManagedObjectContext>& context) const;
    Ref<FetchRequest> RS_requestAllSortedBy(std::string_view sortTerm, bool ascending, const Ref<Predicate>& predicate,
                                            const Ref<ManagedObjectContext>& context) const;

    // ---- finders ----
    std::optional<Array> RS_findAllInContext(const Ref<ManagedObjectContext>& context) const;
    std::optional<Array> RS_findAllSortedBy(std::string_view sortTerm, bool ascending, const Ref<ManagedObjectContext>& context) const;
    std::optional<Array> RS_findAllSortedBy(std::string_view sortTerm, bool ascending, const Ref<Predicate>& predicate,
                                            const Ref<ManagedObjectContext>& context) const;
    std::optional<Array> RS_findAllWithPredicate(const Ref<Predicate>& predicate, const Ref<ManagedObjectContext>& context) const;
    Ref<ManagedObject> RS_findFirstInContext(const Ref<ManagedObjectContext>& context) const;
    Ref<ManagedObject> RS_findFirstByAttribute(std::string_view attribute, const Value& value,
                                               const Ref<ManagedObjectContext>& context) const;
    Ref<ManagedObject> RS_findFirstOrderedByAttribute(std::string_view attribute, bool ascending,
                                                      const Ref<ManagedObjectContext>& context) const;
    // The first match, or a new record with the attribute set to the value (not saved); nullptr, with
    // nothing inserted, when the record found or made is not one the caller accepts.
    Ref<ManagedObject> RS_findFirstOrCreateByAttribute(std::string_view attribute, const Value& value,
                                                       const Ref<ManagedObjectContext>& context, Accepts accepts = nullptr) const;
    Ref<ManagedObject> RS_findFirstWithPredicate(const Ref<Predicate>& predicate, const Ref<ManagedObjectContext>& context) const;
    Ref<ManagedObject> RS_findFirstWithPredicate(const Ref<Predicate>& predicate, std::string_view sortTerm, bool ascending,
                                                 const Ref<ManagedObjectContext>& context) const;
    // Properties to fetch: the names as given.
    Ref<ManagedObject> RS_findFirstWithPredicate(const Ref<Predicate>& predicate, const std::vector<std::string>& attributes,
                                                 const Ref<ManagedObjectContext>& context) const;
    // Properties to fetch: RS_propertiesNamed of the names.
    Ref<ManagedObject> RS_findFirstWithPredicate(const Ref<Predicate>& predicate, std::string_view sortTerm, bool ascending,
                                                 const Ref<ManagedObjectContext>& context,
                                                 const std::vector<std::string>& attributes) const;
    std::optional<Array> RS_findByAttribute(std::string_view attribute, const Value& value, const Ref<ManagedObjectContext>& context) const;
    std::optional<Array> RS_findByAttribute(std::string_view attribute, const Value& value, std::string_view sortTerm, bool ascending,
                                            const Ref<ManagedObjectContext>& context) const;

    // ---- fetched-results controllers ----
    // Not fetched; the cache name "RecordStack-Cache-<class name>" only with useFileCache.
    Ref<FetchedResultsController> RS_fetchController(const Ref<FetchRequest>& request,
                                                     const Ref<FetchedResultsControllerDelegate>& delegate, bool useFileCache,
                                                     std::string_view groupBy, const Ref<ManagedObjectContext>& context) const;
    // The builders below return their controllers fetched (failures go to RecordStack::handleErrors).
    // Without sort descriptors the list is in insertion order.
    Ref<FetchedResultsController> RS_fetchAllWithDelegate(const Ref<FetchedResultsControllerDelegate>& delegate,
                                                          const Ref<ManagedObjectContext>& context) const;
    Ref<FetchedResultsController> RS_fetchAllGroupedBy(std::string_view groupBy, const Ref<Predicate>& predicate,
                                                       std::string_view sortTerm, bool ascending,
                                                       const Ref<FetchedResultsControllerDelegate>& delegate,
                                                       const Ref<ManagedObjectContext>& context) const;
    Ref<FetchedResultsController> RS_fetchAllSortedBy(std::string_view sortTerm, bool ascending, const Ref<Predicate>& predicate,
                                                      std::string_view groupBy, const Ref<FetchedResultsControllerDelegate>& delegate,
                                                      const Ref<ManagedObjectContext>& context) const;

    // ---- counts and aggregates ----
    // Counted on the context's queue, unsaved changes included; 0 on error.
    std::size_t RS_countOfEntitiesWithPredicate(const Ref<Predicate>& predicate, const Ref<ManagedObjectContext>& context) const;
    std::size_t RS_countOfEntitiesWithContext(const Ref<ManagedObjectContext>& context) const;
    Value RS_numberOfEntitiesWithPredicate(const Ref<Predicate>& predicate, const Ref<ManagedObjectContext>& context) const;
    Value RS_numberOfEntitiesWithContext(const Ref<ManagedObjectContext>& context) const;
    bool RS_hasAtLeastOneEntityInContext(const Ref<ManagedObjectContext>& context) const;
    // An aggregate function ("sum:", "average:", "min:", "max:", "count:") over the attribute of the
    // matching records: averages are doubles, counts 64-bit integers, the others of the attribute's
    // type. Nil on error.
    Value RS_aggregateOperation(std::string_view function, std::string_view attribute, const Ref<Predicate>& predicate,
                                const Ref<ManagedObjectContext>& context) const;
    // One dictionary per value of the group attribute: that value under the attribute's name and the
    // aggregate under "result".
    std::optional<Array> RS_aggregateOperation(std::string_view function, std::string_view attribute, const Ref<Predicate>& predicate,
                                               std::string_view groupBy, const Ref<ManagedObjectContext>& context) const;

    // Whether the class makes its records itself (insertInManagedObjectContext).
    bool makesOwnRecords() const { return static_cast<bool>(hooks_.insertInManagedObjectContext); }

private:
    std::string className_;
    Hooks hooks_;
};

// ---- instance operations (any record) ----

// Looks the record up in the context by its ID and deletes what it finds (a failed lookup goes to
// RecordStack::handleErrors). Always true; the deletion reaches the file with a later save.
bool RS_deleteEntityInContext(const Ref<ManagedObject>& record, const Ref<ManagedObjectContext>& context);
bool RS_deleteEntity(const Ref<ManagedObject>& record);  // in the record's own context
bool RS_deleteInContext(const Ref<ManagedObject>& record, const Ref<ManagedObjectContext>& context);
// The same record as another context has it (a new record gets its permanent ID first); nullptr when
// that context cannot find it.
Ref<ManagedObject> RS_inContext(const Ref<ManagedObject>& record, const Ref<ManagedObjectContext>& context);
Ref<ManagedObject> RS_inThreadContext(const Ref<ManagedObject>& record);
// The record of the same entity with the smallest non-nil value of the property.
Ref<ManagedObject> RS_objectWithMinValueFor(const Ref<ManagedObject>& record, std::string_view property,
                                            const Ref<ManagedObjectContext>& context);
Ref<ManagedObject> RS_objectWithMinValueFor(const Ref<ManagedObject>& record, std::string_view property);
// The smallest / largest value of the property among the records of the record's entity, in its context.
Value RS_minValueFor(const Ref<ManagedObject>& record, std::string_view property);
Value RS_maxValueFor(const Ref<ManagedObject>& record, std::string_view property);

// ---- dictionary import (store/import.h has the rest) ----

// The record the data describes — found by the entity's identifying attribute, else new — filled from
// the data, inside performAndWait on the context's queue; nil when the entity is not in the context's
// model, or when a record made for this import was refused by its "shouldImport:" (it is deleted again).
Ref<ManagedObject> RS_importFromObject(const RecordEntity& entity, const Value& data, const Ref<ManagedObjectContext>& context);
// The records of the elements, in order; elements that give no record are left out (and logged).
Array RS_importFromArray(const RecordEntity& entity, const Array& data, const Ref<ManagedObjectContext>& context);

// ---- the class-side operations as runtime hooks, for shorthand methods ----

// Adds (once) to the runtime class "ManagedObject" these class hooks, which every record class inherits;
// each takes the receiving record class first and works in RS_contextForCurrentThread():
//   "RS_entityName", "RS_findAll", "RS_findFirst", "RS_createEntity", "RS_countOfEntities"
//                                                  Value(const ClassInfo&)
//   "RS_findFirstByAttribute:withValue:", "RS_findByAttribute:withValue:"
//                                                  Value(const ClassInfo&, const std::string&, const Value&)
//   "RS_truncateAll"                               bool(const ClassInfo&)
//   "RS_importFromObject:"                         Value(const ClassInfo&, const Value&)
//   "RS_importFromArray:"                          Value(const ClassInfo&, const Array&)
// and the instance hook "RS_deleteEntity" bool(Object& record). Arrays come as array values (nil on a
// failed fetch), records as object values.
void RS_registerRecordClassHooks();

namespace store_detail {

template <class T>
std::string classNameOf() {
    if constexpr (requires { T::runtimeClass(); }) T::runtimeClass();  // registers the class
    if (const ClassInfo* cls = classOf<T>()) return cls->name();
    return demangledClassName(typeid(T));
}

template <class T>
RecordEntity makeRecordEntity() {
    RecordEntity::Hooks hooks;
    if constexpr (requires { { T::entityName() } -> std::convertible_to<std::string>; }) {
        hooks.entityName = [] { return std::string(T::entityName()); };
    }
    if constexpr (requires(const Ref<ManagedObjectContext>& c) { T::insertInManagedObjectContext(c); }) {
        hooks.insertInManagedObjectContext = [](const Ref<ManagedObjectContext>& c) -> Ref<ManagedObject> {
            return T::insertInManagedObjectContext(c);
        };
    }
    return RecordEntity(classNameOf<T>(), std::move(hooks));
}

template <class T>
Ref<T> as(const Value& value) {
    return value.objectAs<T>();
}

template <class T>
std::optional<std::vector<Ref<T>>> recordsOf(std::optional<Array> values) {
    if (!values) return std::nullopt;
    std::vector<Ref<T>> out;
    out.reserve(values->size());
    for (const Value& v : *values) {
        if (auto r = v.objectAs<T>()) out.push_back(std::move(r));
    }
    return out;
}

}  // namespace store_detail

// The class-side operations of the record class T, typed.
template <class T>
class RecordOps {
public:
    using Records = std::optional<std::vector<Ref<T>>>;
    using Context = Ref<ManagedObjectContext>;

    static const RecordEntity& recordEntity() {
        static const RecordEntity& entity = *new RecordEntity(store_detail::makeRecordEntity<T>());
        return entity;
    }

    static std::string RS_entityName() { return recordEntity().RS_entityName(); }
    static void RS_setDefaultBatchSize(std::size_t size) { RecordEntity::RS_setDefaultBatchSize(size); }
    static std::size_t RS_defaultBatchSize() { return RecordEntity::RS_defaultBatchSize(); }

    static std::optional<Array> RS_executeFetchRequest(const Ref<FetchRequest>& request, const Context& context) {
        return RecordEntity::RS_executeFetchRequest(request, context);
    }
    static std::optional<Array> RS_executeFetchRequest(const Ref<FetchRequest>& request) {
        return RS_executeFetchRequest(request, RS_contextForCurrentThread());
    }
    static Ref<T> RS_executeFetchRequestAndReturnFirstObject(const Ref<FetchRequest>& request, const Context& context) {
        return store_detail::as<T>(RecordEntity::RS_executeFetchRequestAndReturnFirstObject(request, context));
    }
    static Ref<T> RS_executeFetchRequestAndReturnFirstObject(const Ref<FetchRequest>& request) {
        return RS_executeFetchRequestAndReturnFirstObject(request, RS_contextForCurrentThread());
    }
    static bool RS_performFetch(const Ref<FetchedResultsController>& controller) { return RecordEntity::RS_performFetch(controller); }
    static Ref<EntityDescription> RS_entityDescriptionInContext(const Context& context) {
        return recordEntity().RS_entityDescriptionInContext(context);
    }
    static Ref<EntityDescription> RS_entityDescription() { return RS_entityDescriptionInContext(RS_contextForCurrentThread()); }
    static Array RS_propertiesNamed(const std::vector<std::string>& names, const Context& context) {
        return recordEntity().RS_propertiesNamed(names, context);
    }
    static Array RS_propertiesNamed(const std::vector<std::string>& names) { return RS_propertiesNamed(names, RS_contextForCurrentThread()); }
    static std::vector<SortDescriptor> RS_sortAscending(bool ascending, const std::vector<std::string>& attributes) {
        return RecordEntity::RS_sortAscending(ascending, attributes);
    }
    static std::vector<SortDescriptor> RS_ascendingSortDescriptors(const std::vector<std::string>& attributes) {
        return RecordEntity::RS_ascendingSortDescriptors(attributes);
    }
    static std::vector<SortDescriptor> RS_descendingSortDescriptors(const std::vector<std::string>& attributes) {
        return RecordEntity::RS_descendingSortDescriptors(attributes);
    }

    static Ref<T> RS_createEntityInContext(const Context& context) {
        return asT(recordEntity().RS_createEntityInContext(context, isT));
    }
    static Ref<T> RS_createEntity() { return RS_createEntityInContext(RS_contextForCurrentThread()); }
    static Ref<T> RS_createInContext(const Context& context) { return RS_createEntityInContext(context); }
    static bool RS_deleteAllMatchingPredicate(const Ref<Predicate>& predicate, const Context& context) {
        return recordEntity().RS_deleteAllMatchingPredicate(predicate, context);
    }
    static bool RS_deleteAllMatchingPredicate(const Ref<Predicate>& predicate) {
        return RS_deleteAllMatchingPredicate(predicate, RS_contextForCurrentThread());
    }
    static bool RS_truncateAllInContext(const Context& context) { return recordEntity().RS_truncateAllInContext(context); }
    static bool RS_truncateAll() { return RS_truncateAllInContext(RS_contextForCurrentThread()); }

    // ---- requests ----
    static Ref<FetchRequest> RS_createFetchRequestInContext(const Context& context) {
        return recordEntity().RS_createFetchRequestInContext(context);
    }
    static Ref<FetchRequest> RS_createFetchRequest() { return RS_createFetchRequestInContext(RS_contextForCurrentThread()); }
    static Ref<FetchRequest> RS_requestAllInContext(const Context& context) { return recordEntity().RS_requestAllInContext(context); }
    static Ref<FetchRequest> RS_requestAll() { return RS_requestAllInContext(RS_contextForCurrentThread()); }
    static Ref<FetchRequest> RS_requestAllWithPredicate(const Ref<Predicate>& predicate, const Context& context) {
        return recordEntity().RS_requestAllWithPredicate(predicate, context);
    }
    static Ref<FetchRequest> RS_requestAllWithPredicate(const Ref<Predicate>& predicate) {
        return RS_requestAllWithPredicate(predicate, RS_contextForCurrentThread());
    }
    static Ref<FetchRequest> RS_requestAllWhere(std::string_view attribute, const Value& value, const Context& context) {
        return recordEntity().RS_requestAllWhere(attribute, value, context);
    }
    static Ref<FetchRequest> RS_requestAllWhere(std::string_view attribute, const Value& value) {
        return RS_requestAllWhere(attribute, value, RS_contextForCurrentThread());
    }
    static Ref<FetchRequest> RS_requestFirstWithPredicate(const Ref<Predicate>& predicate, const Context& context) {
        return recordEntity().RS_requestFirstWithPredicate(predicate, context);
    }
    static Ref<FetchRequest> RS_requestFirstWithPredicate(const Ref<Predicate>& predicate) {
        return RS_requestFirstWithPredicate(predicate, RS_contextForCurrentThread());
    }
    static Ref<FetchRequest> RS_requestFirstByAttribute(std::string_view attribute, const Value& value, const Context& context) {
        return recordEntity().RS_requestFirstByAttribute(attribute, value, context);
    }
    static Ref<FetchRequest> RS_requestFirstByAttribute(std::string_view attribute, const Value& value) {
        return RS_requestFirstByAttribute(attribute, value, RS_contextForCurrentThread());
    }
    static Ref<FetchRequest> RS_requestAllSortedBy(std::string_view sortTerm, bool ascending, const Context& context) {
        return recordEntity().RS_requestAllSortedBy(sortTerm, ascending, context);
    }
    static Ref<FetchRequest> RS_requestAllSortedBy(std::string_view sortTerm, bool ascending) {
        return RS_requestAllSortedBy(sortTerm, ascending, RS_contextForCurrentThread());
    }
    static Ref<FetchRequest> RS_requestAllSortedBy(std::string_view sortTerm, bool ascending, const Ref<Predicate>& predicate,
                                                   const Context& context) {
        return recordEntity().RS_requestAllSortedBy(sortTerm, ascending, predicate, context);
    }
    static Ref<FetchRequest> RS_requestAllSortedBy(std::string_view sortTerm, bool ascending, const Ref<Predicate>& predicate) {
        return RS_requestAllSortedBy(sortTerm, ascending, predicate, RS_contextForCurrentThread());
    }

    // ---- finders ----
    static Records RS_findAllInContext(const Context& context) {
        return store_detail::recordsOf<T>(recordEntity().RS_findAllInContext(context));
    }
    static Records RS_findAll() { return RS_findAllInContext(RS_contextForCurrentThread()); }
    static Records RS_findAllSortedBy(std::string_view sortTerm, bool ascending, const Context& context) {
        return store_detail::recordsOf<T>(recordEntity().RS_findAllSortedBy(sortTerm, ascending, context));
    }
    static Records RS_findAllSortedBy(std::string_view sortTerm, bool ascending) {
        return RS_findAllSortedBy(sortTerm, ascending, RS_contextForCurrentThread());
    }
    static Records RS_findAllSortedBy(std::string_view sortTerm, bool ascending, const Ref<Predicate>& predicate, const Context& context) {
        return store_detail::recordsOf<T>(recordEntity().RS_findAllSortedBy(sortTerm, ascending, predicate, context));
    }
    static Records RS_findAllSortedBy(std::string_view sortTerm, bool ascending, const Ref<Predicate>& predicate) {
        return RS_findAllSortedBy(sortTerm, ascending, predicate, RS_contextForCurrentThread());
    }
    static Records RS_findAllWithPredicate(const Ref<Predicate>& predicate, const Context& context) {
        return store_detail::recordsOf<T>(recordEntity().RS_findAllWithPredicate(predicate, context));
    }
    static Records RS_findAllWithPredicate(const Ref<Predicate>& predicate) {
        return RS_findAllWithPredicate(predicate, RS_contextForCurrentThread());
    }
    static Ref<T> RS_findFirstInContext(const Context& context) {
        return std::dynamic_pointer_cast<T>(recordEntity().RS_findFirstInContext(context));
    }
    static Ref<T> RS_findFirst() { return RS_findFirstInContext(RS_contextForCurrentThread()); }
    static Ref<T> RS_findFirstByAttribute(std::string_view attribute, const Value& value, const Context& context) {
        return std::dynamic_pointer_cast<T>(recordEntity().RS_findFirstByAttribute(attribute, value, context));
    }
    static Ref<T> RS_findFirstByAttribute(std::string_view attribute, const Value& value) {
        return RS_findFirstByAttribute(attribute, value, RS_contextForCurrentThread());
    }
    static Ref<T> RS_findFirstOrderedByAttribute(std::string_view attribute, bool ascending, const Context& context) {
        return std::dynamic_pointer_cast<T>(recordEntity().RS_findFirstOrderedByAttribute(attribute, ascending, context));
    }
    static Ref<T> RS_findFirstOrderedByAttribute(std::string_view attribute, bool ascending) {
        return RS_findFirstOrderedByAttribute(attribute, ascending, RS_contextForCurrentThread());
    }
    static Ref<T> RS_findFirstOrCreateByAttribute(std::string_view attribute, const Value& value, const Context& context) {
        return std::dynamic_pointer_cast<T>(recordEntity().RS_findFirstOrCreateByAttribute(attribute, value, context, isT));
    }
    static Ref<T> RS_findFirstOrCreateByAttribute(std::string_view attribute, const Value& value) {
        return RS_findFirstOrCreateByAttribute(attribute, value, RS_contextForCurrentThread());
    }
    static Ref<T> RS_findFirstWithPredicate(const Ref<Predicate>& predicate, const Context& context) {
        return std::dynamic_pointer_cast<T>(recordEntity().RS_findFirstWithPredicate(predicate, context));
    }
    static Ref<T> RS_findFirstWithPredicate(const Ref<Predicate>& predicate) {
        return RS_findFirstWithPredicate(predicate, RS_contextForCurrentThread());
    }
    static Ref<T> RS_findFirstWithPredicate(const Ref<Predicate>& predicate, std::string_view sortTerm, bool ascending,
                                            const Context& context) {
        return std::dynamic_pointer_cast<T>(recordEntity().RS_findFirstWithPredicate(predicate, sortTerm, ascending, context));
    }
    static Ref<T> RS_findFirstWithPredicate(const Ref<Predicate>& predicate, std::string_view sortTerm, bool ascending) {
        return RS_findFirstWithPredicate(predicate, sortTerm, ascending, RS_contextForCurrentThread());
    }
    static Ref<T> RS_findFirstWithPredicate(const Ref<Predicate>& predicate, const std::vector<std::string>& attributes,
                                            const Context& context) {
        return std::dynamic_pointer_cast<T>(recordEntity().RS_findFirstWithPredicate(predicate, attributes, context));
    }
    static Ref<T> RS_findFirstWithPredicate(const Ref<Predicate>& predicate, const std::vector<std::string>& attributes) {
        return RS_findFirstWithPredicate(predicate, attributes, RS_contextForCurrentThread());
    }
    static Ref<T> RS_findFirstWithPredicate(const Ref<Predicate>& predicate, std::string_view sortTerm, bool ascending,
                                            const Context& context, const std::vector<std::string>& attributes) {
        return std::dynamic_pointer_cast<T>(recordEntity().RS_findFirstWithPredicate(predicate, sortTerm, ascending, context, attributes));
    }
    static Ref<T> RS_findFirstWithPredicate(const Ref<Predicate>& predicate, std::string_view sortTerm, bool ascending,
                                            const std::vector<std::string>& attributes) {
        return RS_findFirstWithPredicate(predicate, sortTerm, ascending, RS_contextForCurrentThread(), attributes);
    }
    static Records RS_findByAttribute(std::string_view attribute, const Value& value, const Context& context) {
        return store_detail::recordsOf<T>(recordEntity().RS_findByAttribute(attribute, value, context));
    }
    static Records RS_findByAttribute(std::string_view attribute, const Value& value) {
        return RS_findByAttribute(attribute, value, RS_contextForCurrentThread());
    }
    static Records RS_findByAttribute(std::string_view attribute, const Value& value, std::string_view sortTerm, bool ascending,
                                      const Context& context) {
        return store_detail::recordsOf<T>(recordEntity().RS_findByAttribute(attribute, value, sortTerm, ascending, context));
    }
    static Records RS_findByAttribute(std::string_view attribute, const Value& value, std::string_view sortTerm, bool ascending) {
        return RS_findByAttribute(attribute, value, sortTerm, ascending, RS_contextForCurrentThread());
    }

    // ---- fetched-results controllers ----
    using Delegate = Ref<FetchedResultsControllerDelegate>;
    static Ref<FetchedResultsController> RS_fetchController(const Ref<FetchRequest>& request, const Delegate& delegate,
                                                            bool useFileCache, std::string_view groupBy, const Context& context) {
        return recordEntity().RS_fetchController(request, delegate, useFileCache, groupBy, context);
    }
    static Ref<FetchedResultsController> RS_fetchAllWithDelegate(const Delegate& delegate, const Context& context) {
        return recordEntity().RS_fetchAllWithDelegate(delegate, context);
    }
    static Ref<FetchedResultsController> RS_fetchAllWithDelegate(const Delegate& delegate) {
        return RS_fetchAllWithDelegate(delegate, RS_contextForCurrentThread());
    }
    static Ref<FetchedResultsController> RS_fetchAllGroupedBy(std::string_view groupBy, const Ref<Predicate>& predicate,
                                                              std::string_view sortTerm, bool ascending, const Delegate& delegate,
                                                              const Context& context) {
        return recordEntity().RS_fetchAllGroupedBy(groupBy, predicate, sortTerm, ascending, delegate, context);
    }
    static Ref<FetchedResultsController> RS_fetchAllGroupedBy(std::string_view groupBy, const Ref<Predicate>& predicate,
                                                              std::string_view sortTerm, bool ascending, const Delegate& delegate) {
        return RS_fetchAllGroupedBy(groupBy, predicate, sortTerm, ascending, delegate, RS_contextForCurrentThread());
    }
    static Ref<FetchedResultsController> RS_fetchAllGroupedBy(std::string_view groupBy, const Ref<Predicate>& predicate,
                                                              std::string_view sortTerm, bool ascending, const Context& context) {
        return RS_fetchAllGroupedBy(groupBy, predicate, sortTerm, ascending, Delegate(), context);
    }
    static Ref<FetchedResultsController> RS_fetchAllGroupedBy(std::string_view groupBy, const Ref<Predicate>& predicate,
                                                              std::string_view sortTerm, bool ascending) {
        return RS_fetchAllGroupedBy(groupBy, predicate, sortTerm, ascending, Delegate(), RS_contextForCurrentThread());
    }
    static Ref<FetchedResultsController> RS_fetchAllSortedBy(std::string_view sortTerm, bool ascending, const Ref<Predicate>& predicate,
                                                             std::string_view groupBy, const Delegate& delegate, const Context& context) {
        return recordEntity().RS_fetchAllSortedBy(sortTerm, ascending, predicate, groupBy, delegate, context);
    }
    static Ref<FetchedResultsController> RS_fetchAllSortedBy(std::string_view sortTerm, bool ascending, const Ref<Predicate>& predicate,
                                                             std::string_view groupBy, const Delegate& delegate) {
        return RS_fetchAllSortedBy(sortTerm, ascending, predicate, groupBy, delegate, RS_contextForCurrentThread());
    }
    static Ref<FetchedResultsController> RS_fetchAllSortedBy(std::string_view sortTerm, bool ascending, const Ref<Predicate>& predicate,
                                                             std::string_view groupBy, const Context& context) {
        return RS_fetchAllSortedBy(sortTerm, ascending, predicate, groupBy, Delegate(), context);
    }
    static Ref<FetchedResultsController> RS_fetchAllSortedBy(std::string_view sortTerm, bool ascending, const Ref<Predicate>& predicate,
                                                             std::string_view groupBy) {
        return RS_fetchAllSortedBy(sortTerm, ascending, predicate, groupBy, Delegate(), RS_contextForCurrentThread());
    }

    // ---- counts and aggregates ----
    static std::size_t RS_countOfEntitiesWithPredicate(const Ref<Predicate>& predicate, const Context& context) {
        return recordEntity().RS_countOfEntitiesWithPredicate(predicate, context);
    }
    static std::size_t RS_countOfEntitiesWithPredicate(const Ref<Predicate>& predicate) {
        return RS_countOfEntitiesWithPredicate(predicate, RS_contextForCurrentThread());
    }
    static std::size_t RS_countOfEntitiesWithContext(const Context& context) { return recordEntity().RS_countOfEntitiesWithContext(context); }
    static std::size_t RS_countOfEntities() { return RS_countOfEntitiesWithContext(RS_contextForCurrentThread()); }
    static Value RS_numberOfEntitiesWithPredicate(const Ref<Predicate>& predicate, const Context& context) {
        return recordEntity().RS_numberOfEntitiesWithPredicate(predicate, context);
    }
    static Value RS_numberOfEntitiesWithPredicate(const Ref<Predicate>& predicate) {
        return RS_numberOfEntitiesWithPredicate(predicate, RS_contextForCurrentThread());
    }
    static Value RS_numberOfEntitiesWithContext(const Context& context) { return recordEntity().RS_numberOfEntitiesWithContext(context); }
    static Value RS_numberOfEntities() { return RS_numberOfEntitiesWithContext(RS_contextForCurrentThread()); }
    static bool RS_hasAtLeastOneEntityInContext(const Context& context) { return recordEntity().RS_hasAtLeastOneEntityInContext(context); }
    static bool RS_hasAtLeastOneEntity() { return RS_hasAtLeastOneEntityInContext(RS_contextForCurrentThread()); }
    static Value RS_aggregateOperation(std::string_view function, std::string_view attribute, const Ref<Predicate>& predicate,
                                       const Context& context) {
        return recordEntity().RS_aggregateOperation(function, attribute, predicate, context);
    }
    static Value RS_aggregateOperation(std::string_view function, std::string_view attribute, const Ref<Predicate>& predicate) {
        return RS_aggregateOperation(function, attribute, predicate, RS_contextForCurrentThread());
    }
    static std::optional<Array> RS_aggregateOperation(std::string_view function, std::string_view attribute,
                                                      const Ref<Predicate>& predicate, std::string_view groupBy, const Context& context) {
        return recordEntity().RS_aggregateOperation(function, attribute, predicate, groupBy, context);
    }
    static std::optional<Array> RS_aggregateOperation(std::string_view function, std::string_view attribute,
                                                      const Ref<Predicate>& predicate, std::string_view groupBy) {
        return RS_aggregateOperation(function, attribute, predicate, groupBy, RS_contextForCurrentThread());
    }

    // ---- dictionary import ----
    static Ref<T> RS_importFromObject(const Value& data, const Context& context) {
        return std::dynamic_pointer_cast<T>(lv::RS_importFromObject(recordEntity(), data, context));
    }
    static Ref<T> RS_importFromObject(const Value& data) { return RS_importFromObject(data, RS_contextForCurrentThread()); }
    static std::vector<Ref<T>> RS_importFromArray(const Array& data, const Context& context) {
        return *store_detail::recordsOf<T>(lv::RS_importFromArray(recordEntity(), data, context));
    }
    static std::vector<Ref<T>> RS_importFromArray(const Array& data) { return RS_importFromArray(data, RS_contextForCurrentThread()); }

private:
    // A record of the class itself (the usual case) is told by its exact type, without a walk of the
    // class hierarchy.
    static bool isT(const ManagedObject& record) {
        return typeid(record) == typeid(T) || dynamic_cast<const T*>(&record) != nullptr;
    }
    static Ref<T> asT(Ref<ManagedObject> record) {
        if (!record) return nullptr;
        const ManagedObject& object = *record;
        if (typeid(object) == typeid(T)) return std::static_pointer_cast<T>(std::move(record));
        return std::dynamic_pointer_cast<T>(std::move(record));
    }
};

// Base of record classes: class News : public Record<News> { … }.
template <class T>
class Record : public ManagedObject, public RecordOps<T> {
public:
    bool RS_deleteEntityInContext(const Ref<ManagedObjectContext>& context) { return lv::RS_deleteEntityInContext(self(), context); }
    bool RS_deleteEntity() { return lv::RS_deleteEntity(self()); }
    bool RS_deleteInContext(const Ref<ManagedObjectContext>& context) { return lv::RS_deleteInContext(self(), context); }
    Ref<T> RS_inContext(const Ref<ManagedObjectContext>& context) { return std::dynamic_pointer_cast<T>(lv::RS_inContext(self(), context)); }
    Ref<T> RS_inThreadContext() { return std::dynamic_pointer_cast<T>(lv::RS_inThreadContext(self())); }
    Ref<T> RS_objectWithMinValueFor(std::string_view property, const Ref<ManagedObjectContext>& context) {
        return std::dynamic_pointer_cast<T>(lv::RS_objectWithMinValueFor(self(), property, context));
    }
    Ref<T> RS_objectWithMinValueFor(std::string_view property) {
        return std::dynamic_pointer_cast<T>(lv::RS_objectWithMinValueFor(self(), property));
    }
    Value RS_minValueFor(std::string_view property) { return lv::RS_minValueFor(self(), property); }
    Value RS_maxValueFor(std::string_view property) { return lv::RS_maxValueFor(self(), property); }

private:
    Ref<ManagedObject> self() { return std::static_pointer_cast<ManagedObject>(shared_from_this()); }
};

}  // namespace lv
