#include "platform/data/fetch_request.h"

namespace lv {

std::string ExpressionDescription::description() const {
    return "(<ExpressionDescription>), name " + name_ + ", isOptional 1, expression " + expression_.description();
}

void FetchRequest::setEntity(Ref<EntityDescription> entity) {
    entity_ = std::move(entity);
    if (entity_) entityName_ = entity_->name();
}

Ref<FetchRequest> FetchRequest::copy() const {
    auto r = makeRef<FetchRequest>(entityName_);
    r->entity_ = entity_;
    r->predicate_ = predicate_;
    r->sortDescriptors_ = sortDescriptors_;
    r->fetchLimit_ = fetchLimit_;
    r->fetchOffset_ = fetchOffset_;
    r->fetchBatchSize_ = fetchBatchSize_;
    r->resultType_ = resultType_;
    r->propertiesToFetch_ = propertiesToFetch_;
    r->propertiesToGroupBy_ = propertiesToGroupBy_;
    r->returnsDistinctResults_ = returnsDistinctResults_;
    r->includesPropertyValues_ = includesPropertyValues_;
    r->returnsObjectsAsFaults_ = returnsObjectsAsFaults_;
    r->includesPendingChanges_ = includesPendingChanges_;
    return r;
}

std::string FetchRequest::description() const {
    std::string sorts;
    for (const auto& d : sortDescriptors_) sorts += (sorts.empty() ? "" : ", ") + d.description();
    return "<FetchRequest: " + addressText(this) + "> (entity: " + entityName_ +
           "; predicate: (" + (predicate_ ? predicate_->predicateFormat() : std::string("null")) +
           "); sortDescriptors: (" + sorts + "); limit: " + std::to_string(fetchLimit_) +
           "; offset: " + std::to_string(fetchOffset_) + "; type: " + std::to_string(static_cast<int>(resultType_)) + ")";
}

}  // namespace lv
