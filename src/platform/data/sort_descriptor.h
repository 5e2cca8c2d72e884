// Sort descriptors and the one ordering rule that fetches use in SQL and in memory: nil first when
// ascending (last when descending), numbers, decimals and booleans by value across kinds, text by code
// points, dates by time, data bytewise, object IDs by entity and key; values of unrelated kinds by
// kind. Rows that tie on every descriptor keep the order of their keys (insertion order for new ones).
#pragma once

#include <string>
#include <vector>

#include "platform/base/value.h"

namespace lv {

class SortDescriptor {
public:
    SortDescriptor() = default;
    SortDescriptor(std::string key, bool ascending) : key_(std::move(key)), ascending_(ascending) {}
    static SortDescriptor make(std::string key, bool ascending) { return SortDescriptor(std::move(key), ascending); }

    const std::string& key() const { return key_; }
    bool ascending() const { return ascending_; }
    SortDescriptor reversed() const { return SortDescriptor(key_, !ascending_); }

    // -1, 0 or 1 for two values of the key, in this descriptor's direction.
    int compare(const Value& a, const Value& b) const;
    // "(key, ascending, compare:)" as the platform describes a descriptor.
    std::string description() const;

private:
    std::string key_;
    bool ascending_ = true;
};

// The ascending ordering rule above: -1, 0 or 1.
int compareForSort(const Value& a, const Value& b);

}  // namespace lv
