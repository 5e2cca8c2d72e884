// IndexSet: a set of unsigned integers kept as sorted, disjoint, non-adjacent ranges, archived as the
// platform's index set (class "NSIndexSet": "NSRangeCount"; for one range "NSLocation" and "NSLength";
// for several "NSRangeData", each range's location then length as base-128 numbers, low seven bits
// first, the high bit marking that more follow). Immutable once made; any thread.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "platform/base/object.h"
#include "platform/storage/keyed_archive.h"

namespace lv {

class ClassInfo;

class IndexSet final : public Object, public Coding {
public:
    using Range = std::pair<std::uint64_t, std::uint64_t>;  // location, length

    IndexSet();
    // The indexes in any order; repeats are merged.
    static Ref<IndexSet> withIndexes(std::vector<std::uint64_t> indexes);
    static Ref<IndexSet> withRange(std::uint64_t location, std::uint64_t length);

    const std::vector<Range>& ranges() const { return ranges_; }
    std::uint64_t count() const;
    bool containsIndex(std::uint64_t index) const;

    bool isEqual(const Object& other) const override;
    std::size_t hash() const override;
    std::string description() const override;

    // Registered on first use (also by every new set).
    static const ClassInfo* runtimeClass();
    void encodeWithCoder(Coder& coder) const override;
    // Refuses ranges that are empty, overlap, are out of order or reach past 2^63.
    bool initWithCoder(Coder& coder) override;
    bool supportsSecureCoding() const override { return true; }

private:
    std::vector<Range> ranges_;
};

}  // namespace lv
