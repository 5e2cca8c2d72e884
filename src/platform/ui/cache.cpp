#include "platform/ui/cache.h"

namespace lv {

Ref<Object> Cache::objectForKey(std::string_view key) {
    std::lock_guard lock(mutex_);
    const auto found = index_.find(std::string(key));
    if (found == index_.end()) return nullptr;
    entries_.splice(entries_.begin(), entries_, found->second);
    return found->second->object;
}

void Cache::setObject(std::string_view key, const Ref<Object>& object, std::size_t cost) {
    if (!object) {
        removeObjectForKey(key);
        return;
    }
    std::lock_guard lock(mutex_);
    const std::string name(key);
    if (const auto found = index_.find(name); found != index_.end()) {
        totalCost_ -= found->second->cost;
        entries_.erase(found->second);
        index_.erase(found);
    }
    entries_.push_front(Entry{name, object, cost});
    index_.emplace(name, entries_.begin());
    totalCost_ += cost;
    evictLocked();
}

void Cache::removeObjectForKey(std::string_view key) {
    std::lock_guard lock(mutex_);
    const auto found = index_.find(std::string(key));
    if (found == index_.end()) return;
    totalCost_ -= found->second->cost;
    entries_.erase(found->second);
    index_.erase(found);
}

void Cache::removeAllObjects() {
    std::lock_guard lock(mutex_);
    entries_.clear();
    index_.clear();
    totalCost_ = 0;
}

void Cache::evictLocked() {
    while (!entries_.empty() && ((countLimit_ > 0 && entries_.size() > countLimit_) ||
                                 (totalCostLimit_ > 0 && totalCost_ > totalCostLimit_))) {
        const Entry& oldest = entries_.back();
        totalCost_ -= oldest.cost;
        index_.erase(oldest.key);
        entries_.pop_back();
    }
}

std::size_t Cache::countLimit() const {
    std::lock_guard lock(mutex_);
    return countLimit_;
}

void Cache::setCountLimit(std::size_t limit) {
    std::lock_guard lock(mutex_);
    countLimit_ = limit;
    evictLocked();
}

std::size_t Cache::totalCostLimit() const {
    std::lock_guard lock(mutex_);
    return totalCostLimit_;
}

void Cache::setTotalCostLimit(std::size_t limit) {
    std::lock_guard lock(mutex_);
    totalCostLimit_ = limit;
    evictLocked();
}

std::size_t Cache::count() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

std::size_t Cache::totalCost() const {
    std::lock_guard lock(mutex_);
    return totalCost_;
}

}  // namespace lv
