#include "store/records.h"

#include "platform/base/format.h"
#include "platform/data/errors.h"
#include "platform/text/strings.h"
#include "store/detail/state.h"
#include "store/import.h"
#include "store/record_stack.h"

namespace lv {

using store_detail::logEnabled;
using store_detail::logMasked;
using store_detail::state;

namespace {

void reportError(const Ref<Error>& error) { RecordStack::handleErrors(error); }

Ref<Predicate> attributeEquals(std::string_view attribute, const Value& value) {
    Ref<Error> error;
    Ref<Predicate> predicate = Predicate::parse("%K = %@", {Value(std::string(attribute)), value}, &error);
    if (!predicate) {
        // A name the format language cannot take: match nothing rather than everything.
        reportError(error);
        predicate = Predicate::falsePredicate();
    }
    return predicate;
}

}  // namespace

RecordEntity::RecordEntity(std::string className, Hooks hooks) : className_(std::move(className)), hooks_(std::move(hooks)) {}

std::string RecordEntity::RS_entityName() const {
    if (hooks_.entityName) {
        std::string name = hooks_.entityName();
        if (!name.empty()) return name;
    }
    const auto dot = className_.rfind('.');
    return dot == std::string::npos ? className_ : className_.substr(dot + 1);
}

void RecordEntity::RS_setDefaultBatchSize(std::size_t size) {
    std::lock_guard lock(state().mutex);
    state().defaultBatchSize = size;
}

std::size_t RecordEntity::RS_defaultBatchSize() {
    std::lock_guard lock(state().mutex);
    return state().defaultBatchSize;
}

// ---- fetch execution ----

std::optional<Array> RecordEntity::RS_executeFetchRequest(const Ref<FetchRequest>& request, const Ref<ManagedObjectContext>& context) {
    if (!request || !context) return std::nullopt;
    std::optional<Array> result;
    Ref<Error> error;
    context->performAndWait([&] {
        store_detail::guarded(kObjectStoreError, &error, [&] { result = context->executeFetchRequest(*request, &error); });
    });
    if (!result) reportError(error);
    return result;
}

Value RecordEntity::RS_executeFetchRequestAndReturnFirstObject(const Ref<FetchRequest>& request, const Ref<ManagedObjectContext>& context) {
    if (!request) return Value();
    request->setFetchLimit(1);
    std::optional<Array> result = RS_executeFetchRequest(request, context);
    if (!result || result->empty()) return Value();
    return result->front();
}

bool RecordEntity::RS_performFetch(const Ref<FetchedResultsController>& controller) {
    if (!controller) return false;
    bool ok = false;
    Ref<Error> error;
    auto fetch = [&] {
        if (!store_detail::guarded(kObjectStoreError, &error, [&] { ok = controller->performFetch(&error); })) ok = false;
    };
    if (const auto& context = controller->managedObjectContext()) {
        context->performAndWait(fetch);
    } else {
        fetch();
    }
    if (!ok) reportError(error);
    return ok;
}

Ref<EntityDescription> RecordEntity::RS_entityDescriptionInContext(const Ref<ManagedObjectContext>& context) const {
    if (!context) return nullptr;
    Ref<PersistentStoreCoordinator> coordinator = context->persistentStoreCoordinator();
    if (!coordinator || !coordinator->managedObjectModel()) return nullptr;
    const ManagedObjectModel& model = *coordinator->managedObjectModel();
    if (hooks_.entityName) return model.entityNamed(RS_entityName());
    // RS_entityName's answer without a hook, looked up in place (a record is made per item).
    std::string_view name = className_;
    if (const auto dot = name.rfind('.'); dot != std::string_view::npos) name.remove_prefix(dot + 1);
    return model.entityNamed(name);
}

Array RecordEntity::RS_propertiesNamed(const std::vector<std::string>& names, const Ref<ManagedObjectContext>& context) const {
    Array out;
    Ref<EntityDescription> entity = RS_entityDescriptionInContext(context);
    for (const std::string& name : names) {
        Ref<PropertyDescription> property = entity ? entity->propertyNamed(name) : nullptr;
        if (property) {
            out.push_back(Value(property));
        } else {
            const unsigned long count = entity ? static_cast<unsigned long>(entity->properties().size()) : 0UL;
            logMasked(RSLogMaskWarning, "Property '%@' not found in %lx properties for %@", name, count, className_);
        }
    }
    return out;
}

std::vector<SortDescriptor> RecordEntity::RS_sortAscending(bool ascending, const std::vector<std::string>& attributes) {
    std::vector<SortDescriptor> out;
    out.reserve(attributes.size());
    for (const auto& attribute : attributes) out.emplace_back(attribute, ascending);
    return out;
}

std::vector<SortDescriptor> RecordEntity::RS_ascendingSortDescriptors(const std::vector<std::string>& attributes) {
    return RS_sortAscending(true, attributes);
}

std::vector<SortDescriptor> RecordEntity::RS_descendingSortDescriptors(const std::vector<std::string>& attributes) {
    return RS_sortAscending(false, attributes);
}

// ---- create and delete ----

Ref<ManagedObject> RecordEntity::RS_createEntityInContext(const Ref<ManagedObjectContext>& context, Accepts accepts) const {
    auto accepted = [&](const Ref<ManagedObject>& record) { return record && (!accepts || accepts(*record)); };
    if (context && hooks_.insertInManagedObjectContext) {
        Ref<ManagedObject> record;
        context->performAndWait([&] {
            record = hooks_.insertInManagedObjectContext(context);
            if (record && !accepted(record)) {
                context->deleteObject(record);  // an unsaved insert is simply forgotten
                record = nullptr;
            }
        });
        return record;
    }
    Ref<EntityDescription> entity = RS_entityDescriptionInContext(context ? context : RS_contextForCurrentThread());
    if (!entity) return nullptr;
    // Made outside the context and inserted only once the caller can take it.
    Ref<ManagedObject> record = ManagedObject::make(entity, nullptr);
    if (!accepted(record)) return nullptr;
    if (context) context->performAndWait([&] { context->insertObject(record); });
    return record;
}

bool RecordEntity::RS_deleteAllMatchingPredicate(const Ref<Predicate>& predicate, const Ref<ManagedObjectContext>& context) const {
    Ref<FetchRequest> request = RS_requestAllWithPredicate(predicate, context);
    request->setReturnsObjectsAsFaults(true);
    request->setIncludesPropertyValues(false);
    auto records = RS_executeFetchRequest(request, context);
    if (!records || !context) return true;
    std::vector<Ref<ManagedObjectID>> ids;
    ids.reserve(records->size());
    for (const Value& value : *records) {
        if (auto record = ManagedObject::fromValue(value)) ids.push_back(record->objectID());
    }
    // The faults' values are read in one go first, not with a read each; then each record is looked
    // up and deleted in turn as RS_deleteInContext does (a deletion's rules can change what a later
    // lookup finds), each lookup now finding its record loaded.
    std::vector<Ref<Error>> errors;
    errors.reserve(ids.size());
    context->performAndWait([&] {
        context->existingObjectsWithIDs(ids, nullptr);
        for (const Ref<ManagedObjectID>& id : ids) {
            Ref<Error> error;
            if (Ref<ManagedObject> found = context->existingObjectWithID(id, &error)) context->deleteObject(found);
            errors.push_back(std::move(error));
        }
    });
    for (const Ref<Error>& error : errors) reportError(error);
    return true;
}

bool RecordEntity::RS_truncateAllInContext(const Ref<ManagedObjectContext>& context) const {
    if (auto records = RS_executeFetchRequest(RS_requestAllInContext(context), context)) {
        for (const Value& value : *records) {
            if (auto record = ManagedObject::fromValue(value)) RS_deleteEntityInContext(record, context);
        }
    }
    return true;
}

// ---- requests ----

Ref<FetchRequest> RecordEntity::RS_createFetchRequestInContext(const Ref<ManagedObjectContext>& context) const {
    auto request = makeRef<FetchRequest>();
    if (Ref<EntityDescription> entity = RS_entityDescriptionInContext(context)) request->setEntity(entity);
    return request;
}

Ref<FetchRequest> RecordEntity::RS_requestAllInContext(const Ref<ManagedObjectContext>& context) const {
    return RS_createFetchRequestInContext(context);
}

Ref<FetchRequest> RecordEntity::RS_requestAllWithPredicate(const Ref<Predicate>& predicate, const Ref<ManagedObjectContext>& context) const {
    Ref<FetchRequest> request = RS_createFetchRequestInContext(context);
    request->setPredicate(predicate);
    return request;
}

Ref<FetchRequest> RecordEntity::RS_requestAllWhere(std::string_view attribute, const Value& value,
                                                   const Ref<ManagedObjectContext>& context) const {
    return RS_requestAllWithPredicate(attributeEquals(attribute, value), context);
}

Ref<FetchRequest> RecordEntity::RS_requestFirstWithPredicate(const Ref<Predicate>& predicate, const Ref<ManagedObjectContext>& context) const {
    Ref<FetchRequest> request = RS_requestAllWithPredicate(predicate, context);
    request->setFetchLimit(1);
    return request;
}

Ref<FetchRequest> RecordEntity::RS_requestFirstByAttribute(std::string_view attribute, const Value& value,
                                                           const Ref<ManagedObjectContext>& context) const {
    Ref<FetchRequest> request = RS_requestAllWhere(attribute, value, context);
    request->setFetchLimit(1);
    return request;
}

Ref<FetchRequest> RecordEntity::RS_requestAllSortedBy(std::string_view sortTerm, bool ascending, const Ref<ManagedObjectContext>& context) const {
    return RS_requestAllSortedBy(sortTerm, ascending, nullptr, context);
}

Ref<FetchRequest> RecordEntity::RS_requestAllSortedBy(std::string_view sortTerm, bool ascending, const Ref<Predicate>& predicate,
                                                      const Ref<ManagedObjectContext>& context) const {
    Ref<FetchRequest> request = RS_requestAllInContext(context);
    if (predicate) request->setPredicate(predicate);
    request->setFetchBatchSize(RS_defaultBatchSize());
    // "key[:flag],key[:flag]…": a flag sets the direction of its key and of the keys after it.
    std::vector<SortDescriptor> descriptors;
    bool direction = ascending;
    for (const std::string& part : text::split(sortTerm, ",")) {
        const std::vector<std::string> fields = text::split(part, ":");
        std::string key = part;
        if (fields.size() >= 2) {
            direction = readBool(fields.back());
            key = fields.front();
        }
        descriptors.emplace_back(std::move(key), direction);
    }
    request->setSortDescriptors(std::move(descriptors));
    return request;
}

// ---- finders ----

std::optional<Array> RecordEntity::RS_findAllInContext(const Ref<ManagedObjectContext>& context) const {
    return RS_executeFetchRequest(RS_requestAllInContext(context), context);
}

std::optional<Array> RecordEntity::RS_findAllSortedBy(std::string_view sortTerm, bool ascending,
                                                      const Ref<ManagedObjectContext>& context) const {
    return RS_executeFetchRequest(RS_requestAllSortedBy(sortTerm, ascending, context), context);
}

std::optional<Array> RecordEntity::RS_findAllSortedBy(std::string_view sortTerm, bool ascending, const Ref<Predicate>& predicate,
                                                      const Ref<ManagedObjectContext>& context) const {
    return RS_executeFetchRequest(RS_requestAllSortedBy(sortTerm, ascending, predicate, context), context);
}

std::optional<Array> RecordEntity::RS_findAllWithPredicate(const Ref<Predicate>& predicate, const Ref<ManagedObjectContext>& context) const {
    Ref<FetchRequest> request = RS_createFetchRequestInContext(context);
    request->setPredicate(predicate);
    return RS_executeFetchRequest(request, context);
}

namespace {

Ref<ManagedObject> firstRecord(const Ref<FetchRequest>& request, const Ref<ManagedObjectContext>& context) {
    return RecordEntity::RS_executeFetchRequestAndReturnFirstObject(request, context).objectAs<ManagedObject>();
}

}  // namespace

Ref<ManagedObject> RecordEntity::RS_findFirstInContext(const Ref<ManagedObjectContext>& context) const {
    return firstRecord(RS_createFetchRequestInContext(context), context);
}

Ref<ManagedObject> RecordEntity::RS_findFirstByAttribute(std::string_view attribute, const Value& value,
                                                         const Ref<ManagedObjectContext>& context) const {
    return firstRecord(RS_requestFirstByAttribute(attribute, value, context), context);
}

Ref<ManagedObject> RecordEntity::RS_findFirstOrderedByAttribute(std::string_view attribute, bool ascending,
                                                                const Ref<ManagedObjectContext>& context) const {
    Ref<FetchRequest> request = RS_requestAllSortedBy(attribute, ascending, context);
    request->setFetchLimit(1);
    return firstRecord(request, context);
}

Ref<ManagedObject> RecordEntity::RS_findFirstOrCreateByAttribute(std::string_view attribute, const Value& value,
                                                                 const Ref<ManagedObjectContext>& context,
                                                                 Accepts accepts) const {
    if (Ref<ManagedObject> found = RS_findFirstByAttribute(attribute, value, context)) return found;
    Ref<ManagedObject> record = RS_createEntityInContext(context, accepts);
    if (!record) return nullptr;
    Ref<Error> error;
    auto set = [&] {
        store_detail::guarded(kManagedObjectValidationError, &error, [&] { record->setValueForKey(value, std::string(attribute)); });
    };
    if (context) {
        context->performAndWait(set);
    } else {
        set();
    }
    reportError(error);  // a value the attribute cannot hold: the record stays, without it
    return record;
}

Ref<ManagedObject> RecordEntity::RS_findFirstWithPredicate(const Ref<Predicate>& predicate, const Ref<ManagedObjectContext>& context) const {
    return firstRecord(RS_requestFirstWithPredicate(predicate, context), context);
}

Ref<ManagedObject> RecordEntity::RS_findFirstWithPredicate(const Ref<Predicate>& predicate, std::string_view sortTerm, bool ascending,
                                                           const Ref<ManagedObjectContext>& context) const {
    return firstRecord(RS_requestAllSortedBy(sortTerm, ascending, predicate, context), context);
}

Ref<ManagedObject> RecordEntity::RS_findFirstWithPredicate(const Ref<Predicate>& predicate, const std::vector<std::string>& attributes,
                                                           const Ref<ManagedObjectContext>& context) const {
    Ref<FetchRequest> request = RS_createFetchRequestInContext(context);
    request->setPredicate(predicate);
    Array names;
    for (const auto& name : attributes) names.push_back(Value(name));
    request->setPropertiesToFetch(std::move(names));
    return firstRecord(request, context);
}

Ref<ManagedObject> RecordEntity::RS_findFirstWithPredicate(const Ref<Predicate>& predicate, std::string_view sortTerm, bool ascending,
                                                           const Ref<ManagedObjectContext>& context,
                                                           const std::vector<std::string>& attributes) const {
    Ref<FetchRequest> request = RS_requestAllSortedBy(sortTerm, ascending, predicate, context);
    request->setPropertiesToFetch(RS_propertiesNamed(attributes, context));
    return firstRecord(request, context);
}

std::optional<Array> RecordEntity::RS_findByAttribute(std::string_view attribute, const Value& value,
                                                      const Ref<ManagedObjectContext>& context) const {
    return RS_executeFetchRequest(RS_requestAllWhere(attribute, value, context), context);
}

std::optional<Array> RecordEntity::RS_findByAttribute(std::string_view attribute, const Value& value, std::string_view sortTerm,
                                                      bool ascending, const Ref<ManagedObjectContext>& context) const {
    return RS_executeFetchRequest(RS_requestAllSortedBy(sortTerm, ascending, attributeEquals(attribute, value), context), context);
}

// ---- fetched-results controllers ----

Ref<FetchedResultsController> RecordEntity::RS_fetchController(const Ref<FetchRequest>& request,
                                                               const Ref<FetchedResultsControllerDelegate>& delegate, bool useFileCache,
                                                               std::string_view groupBy, const Ref<ManagedObjectContext>& context) const {
    std::string cacheName = useFileCache ? format("RecordStack-Cache-%@", className_) : std::string();
    auto controller = FetchedResultsController::make(request, context, std::string(groupBy), std::move(cacheName));
    controller->setDelegate(delegate);
    return controller;
}

Ref<FetchedResultsController> RecordEntity::RS_fetchAllWithDelegate(const Ref<FetchedResultsControllerDelegate>& delegate,
                                                                    const Ref<ManagedObjectContext>& context) const {
    auto controller = RS_fetchController(RS_requestAllInContext(context), delegate, false, {}, context);
    RS_performFetch(controller);
    return controller;
}

Ref<FetchedResultsController> RecordEntity::RS_fetchAllGroupedBy(std::string_view groupBy, const Ref<Predicate>& predicate,
                                                                 std::string_view sortTerm, bool ascending,
                                                                 const Ref<FetchedResultsControllerDelegate>& delegate,
                                                                 const Ref<ManagedObjectContext>& context) const {
    auto controller = RS_fetchController(RS_requestAllSortedBy(sortTerm, ascending, predicate, context), delegate, false, groupBy, context);
    RS_performFetch(controller);
    return controller;
}

Ref<FetchedResultsController> RecordEntity::RS_fetchAllSortedBy(std::string_view sortTerm, bool ascending, const Ref<Predicate>& predicate,
                                                                std::string_view groupBy,
                                                                const Ref<FetchedResultsControllerDelegate>& delegate,
                                                                const Ref<ManagedObjectContext>& context) const {
    return RS_fetchAllGroupedBy(groupBy, predicate, sortTerm, ascending, delegate, context);
}

// ---- counts and aggregates ----

std::size_t RecordEntity::RS_countOfEntitiesWithPredicate(const Ref<Predicate>& predicate, const Ref<ManagedObjectContext>& context) const {
    if (!context) return 0;
    Ref<FetchRequest> request = RS_createFetchRequestInContext(context);
    if (predicate) request->setPredicate(predicate);
    std::optional<std::size_t> count;
    Ref<Error> error;
    context->performAndWait([&] {
        store_detail::guarded(kObjectStoreError, &error, [&] { count = context->countForFetchRequest(*request, &error); });
    });
    if (!count) {
        reportError(error);
        return 0;
    }
    return *count;
}

std::size_t RecordEntity::RS_countOfEntitiesWithContext(const Ref<ManagedObjectContext>& context) const {
    return RS_countOfEntitiesWithPredicate(nullptr, context);
}

Value RecordEntity::RS_numberOfEntitiesWithPredicate(const Ref<Predicate>& predicate, const Ref<ManagedObjectContext>& context) const {
    return Value(static_cast<std::uint64_t>(RS_countOfEntitiesWithPredicate(predicate, context)));
}

Value RecordEntity::RS_numberOfEntitiesWithContext(const Ref<ManagedObjectContext>& context) const {
    return RS_numberOfEntitiesWithPredicate(nullptr, context);
}

bool RecordEntity::RS_hasAtLeastOneEntityInContext(const Ref<ManagedObjectContext>& context) const {
    return RS_numberOfEntitiesWithContext(context).unsignedLongLongValue() > 0;
}

namespace {

// The aggregate's result type: averages are real, counts 64-bit integers, the others keep the
// attribute's type (undefined for an unknown attribute).
AttributeType aggregateResultType(std::string_view function, const Ref<EntityDescription>& entity, std::string_view attribute) {
    if (function == "average:") return AttributeType::Double;
    if (function == "count:") return AttributeType::Integer64;
    Ref<AttributeDescription> description = RS_attributeDescriptionForName(entity, attribute);
    return description ? description->attributeType() : AttributeType::Undefined;
}

}  // namespace

Value RecordEntity::RS_aggregateOperation(std::string_view function, std::string_view attribute, const Ref<Predicate>& predicate,
                                          const Ref<ManagedObjectContext>& context) const {
    Ref<EntityDescription> entity = RS_entityDescriptionInContext(context);
    auto description = ExpressionDescription::make(
        "result", Expression::function(std::string(function), {Expression::keyPath(std::string(attribute))}),
        aggregateResultType(function, entity, attribute));
    Ref<FetchRequest> request = RS_requestAllWithPredicate(predicate, context);
    request->setPropertiesToFetch(Array{Value(description)});
    request->setResultType(FetchRequestResultType::Dictionary);
    const Value first = RS_executeFetchRequestAndReturnFirstObject(request, context);
    return first["result"];
}

std::optional<Array> RecordEntity::RS_aggregateOperation(std::string_view function, std::string_view attribute,
                                                         const Ref<Predicate>& predicate, std::string_view groupBy,
                                                         const Ref<ManagedObjectContext>& context) const {
    Ref<EntityDescription> entity = RS_entityDescriptionInContext(context);
    auto description = ExpressionDescription::make(
        "result", Expression::function(std::string(function), {Expression::keyPath(std::string(attribute))}),
        aggregateResultType(function, entity, attribute));
    Ref<FetchRequest> request = RS_requestAllWithPredicate(predicate, context);
    request->setPropertiesToFetch(Array{Value(std::string(groupBy)), Value(description)});
    request->setResultType(FetchRequestResultType::Dictionary);
    request->setPropertiesToGroupBy(Array{Value(std::string(groupBy))});
    return RS_executeFetchRequest(request, context);
}

// ---- instance operations ----

bool RS_deleteEntityInContext(const Ref<ManagedObject>& record, const Ref<ManagedObjectContext>& context) {
    if (!record || !context) return true;
    Ref<Error> error;
    context->performAndWait([&] {
        Ref<ManagedObject> found = context->existingObjectWithID(record->objectID(), &error);
        if (found) context->deleteObject(found);
    });
    reportError(error);
    return true;
}

bool RS_deleteEntity(const Ref<ManagedObject>& record) {
    if (!record) return true;
    return RS_deleteEntityInContext(record, record->managedObjectContext());
}

bool RS_deleteInContext(const Ref<ManagedObject>& record, const Ref<ManagedObjectContext>& context) {
    return RS_deleteEntityInContext(record, context);
}

Ref<ManagedObject> RS_inContext(const Ref<ManagedObject>& record, const Ref<ManagedObjectContext>& context) {
    if (!record || !context) return nullptr;
    if (record->objectID()->isTemporaryID()) {
        Ref<ManagedObjectContext> own = record->managedObjectContext();
        bool ok = false;
        Ref<Error> error;
        if (own) own->performAndWait([&] { ok = own->obtainPermanentIDsForObjects({record}, &error); });
        if (!ok) {
            reportError(error);
            return nullptr;
        }
    }
    Ref<ManagedObjectID> id = record->objectID();
    Ref<ManagedObject> found;
    Ref<Error> error;
    context->performAndWait([&] { found = context->existingObjectWithID(id, &error); });
    reportError(error);
    return found;
}

Ref<ManagedObject> RS_inThreadContext(const Ref<ManagedObject>& record) { return RS_inContext(record, RS_contextForCurrentThread()); }

namespace {

// The class side of a record's own entity.
RecordEntity entityOf(const Ref<ManagedObject>& record) {
    const std::string name = record->entity() ? record->entity()->name() : std::string();
    RecordEntity::Hooks hooks;
    hooks.entityName = [name] { return name; };
    return RecordEntity(record->entity() ? record->entity()->managedObjectClassName() : std::string(), std::move(hooks));
}

}  // namespace

Ref<ManagedObject> RS_objectWithMinValueFor(const Ref<ManagedObject>& record, std::string_view property,
                                            const Ref<ManagedObjectContext>& context) {
    if (!record) return nullptr;
    Ref<Error> error;
    Ref<Predicate> notNil = Predicate::parse("%K != nil", {Value(std::string(property))}, &error);
    if (!notNil) {
        reportError(error);
        return nullptr;
    }
    RecordEntity entity = entityOf(record);
    Ref<FetchRequest> request = entity.RS_requestAllWithPredicate(notNil, context);
    request->setSortDescriptors({SortDescriptor(std::string(property), true)});
    return firstRecord(request, context);
}

Ref<ManagedObject> RS_objectWithMinValueFor(const Ref<ManagedObject>& record, std::string_view property) {
    return RS_objectWithMinValueFor(record, property, record ? record->managedObjectContext() : nullptr);
}

Value RS_minValueFor(const Ref<ManagedObject>& record, std::string_view property) {
    if (!record) return Value();
    return entityOf(record).RS_aggregateOperation("min:", property, nullptr, record->managedObjectContext());
}

Value RS_maxValueFor(const Ref<ManagedObject>& record, std::string_view property) {
    if (!record) return Value();
    return entityOf(record).RS_aggregateOperation("max:", property, nullptr, record->managedObjectContext());
}

}  // namespace lv
