// Cache: a keyed store of objects that gives entries up by itself, least recently used first, when it
// holds more than its count limit or its total cost limit (0: no limit). The image loader keeps decoded
// images in one.
//
// Threads: every call takes the cache's lock, so any thread may use it.
#pragma once

#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/base/object.h"

namespace lv {

class Cache : public Object {
public:
    static Ref<Cache> make() { return makeRef<Cache>(); }

    // The object under the key (it becomes the most recently used), or null.
    Ref<Object> objectForKey(std::string_view key);
    // Stores the object under the key with its cost, replacing what was there; null removes the key.
    void setObject(std::string_view key, const Ref<Object>& object, std::size_t cost = 0);
    void removeObjectForKey(std::string_view key);
    void removeAllObjects();

    std::size_t countLimit() const;
    void setCountLimit(std::size_t limit);
    std::size_t totalCostLimit() const;
    void setTotalCostLimit(std::size_t limit);
    std::size_t count() const;
    std::size_t totalCost() const;

private:
    struct Entry {
        std::string key;
        Ref<Object> object;
        std::size_t cost;
    };
    void evictLocked();

    mutable std::mutex mutex_;
    std::list<Entry> entries_;  // most recently used first
    std::unordered_map<std::string, std::list<Entry>::iterator> index_;
    std::size_t countLimit_ = 0;
    std::size_t totalCostLimit_ = 0;
    std::size_t totalCost_ = 0;
};

}  // namespace lv
