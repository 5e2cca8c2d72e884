// Fetch requests: which records of an entity, in what order, how many, and in what form.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/base/object.h"
#include "platform/base/value.h"
#include "platform/data/model.h"
#include "platform/data/predicate.h"
#include "platform/data/sort_descriptor.h"

namespace lv {

// Result types, with the platform's values.
enum class FetchRequestResultType : std::uint8_t {
    ManagedObject = 0x00,
    ManagedObjectID = 0x01,
    Dictionary = 0x02,
    Count = 0x04,
};

// A named expression in a dictionary fetch: an aggregate function over a key path ("sum:", "average:",
// "min:", "max:", "count:"), or a plain key path; the result appears under the name, converted to the
// result type (sum, min and max of integers stay integers of that width, averages are doubles).
class ExpressionDescription : public Object {
public:
    ExpressionDescription() = default;
    ExpressionDescription(std::string name, Expression expression, AttributeType resultType)
        : name_(std::move(name)), expression_(std::move(expression)), resultType_(resultType) {}
    static Ref<ExpressionDescription> make(std::string name, Expression expression, AttributeType resultType) {
        return makeRef<ExpressionDescription>(std::move(name), std::move(expression), resultType);
    }

    const std::string& name() const { return name_; }
    void setName(std::string name) { name_ = std::move(name); }
    const Expression& expression() const { return expression_; }
    void setExpression(Expression e) { expression_ = std::move(e); }
    AttributeType expressionResultType() const { return resultType_; }
    void setExpressionResultType(AttributeType type) { resultType_ = type; }
    std::string description() const override;

private:
    std::string name_;
    Expression expression_;
    AttributeType resultType_ = AttributeType::Undefined;
};

class FetchRequest : public Object {
public:
    FetchRequest() = default;
    explicit FetchRequest(std::string entityName) : entityName_(std::move(entityName)) {}
    static Ref<FetchRequest> make(std::string entityName) { return makeRef<FetchRequest>(std::move(entityName)); }

    // The entity, by name (resolved in the coordinator's model when the request runs) or description.
    const std::string& entityName() const { return entityName_; }
    void setEntityName(std::string name) { entityName_ = std::move(name); }
    const Ref<EntityDescription>& entity() const { return entity_; }
    void setEntity(Ref<EntityDescription> entity);

    const Ref<Predicate>& predicate() const { return predicate_; }
    void setPredicate(Ref<Predicate> predicate) { predicate_ = std::move(predicate); }
    const std::vector<SortDescriptor>& sortDescriptors() const { return sortDescriptors_; }
    void setSortDescriptors(std::vector<SortDescriptor> d) { sortDescriptors_ = std::move(d); }
    // 0: no limit.
    std::size_t fetchLimit() const { return fetchLimit_; }
    void setFetchLimit(std::size_t limit) { fetchLimit_ = limit; }
    std::size_t fetchOffset() const { return fetchOffset_; }
    void setFetchOffset(std::size_t offset) { fetchOffset_ = offset; }
    // A hint: the store may read the result in pieces of this size; 0 means all at once.
    std::size_t fetchBatchSize() const { return fetchBatchSize_; }
    void setFetchBatchSize(std::size_t size) { fetchBatchSize_ = size; }

    FetchRequestResultType resultType() const { return resultType_; }
    void setResultType(FetchRequestResultType type) { resultType_ = type; }
    // Dictionary results: property names (text), property descriptions and expression descriptions
    // (objects). Empty: every attribute.
    const Array& propertiesToFetch() const { return propertiesToFetch_; }
    void setPropertiesToFetch(Array properties) { propertiesToFetch_ = std::move(properties); }
    // Dictionary results: one dictionary per distinct combination of these properties (names or
    // property descriptions), which must all be among the properties to fetch.
    const Array& propertiesToGroupBy() const { return propertiesToGroupBy_; }
    void setPropertiesToGroupBy(Array properties) { propertiesToGroupBy_ = std::move(properties); }
    bool returnsDistinctResults() const { return returnsDistinctResults_; }
    void setReturnsDistinctResults(bool v) { returnsDistinctResults_ = v; }

    // Object results: whether rows carry their values (false: keys only, the records start as faults).
    bool includesPropertyValues() const { return includesPropertyValues_; }
    void setIncludesPropertyValues(bool v) { includesPropertyValues_ = v; }
    bool returnsObjectsAsFaults() const { return returnsObjectsAsFaults_; }
    void setReturnsObjectsAsFaults(bool v) { returnsObjectsAsFaults_ = v; }
    // Whether a context's unsaved changes take part (the coordinator itself has none).
    bool includesPendingChanges() const { return includesPendingChanges_; }
    void setIncludesPendingChanges(bool v) { includesPendingChanges_ = v; }

    Ref<FetchRequest> copy() const;
    std::string description() const override;

private:
    std::string entityName_;
    Ref<EntityDescription> entity_;
    Ref<Predicate> predicate_;
    std::vector<SortDescriptor> sortDescriptors_;
    std::size_t fetchLimit_ = 0;
    std::size_t fetchOffset_ = 0;
    std::size_t fetchBatchSize_ = 0;
    FetchRequestResultType resultType_ = FetchRequestResultType::ManagedObject;
    Array propertiesToFetch_;
    Array propertiesToGroupBy_;
    bool returnsDistinctResults_ = false;
    bool includesPropertyValues_ = true;
    bool returnsObjectsAsFaults_ = true;
    bool includesPendingChanges_ = true;
};

}  // namespace lv
