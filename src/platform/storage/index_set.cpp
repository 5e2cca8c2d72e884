#include "platform/storage/index_set.h"

#include <algorithm>
#include <limits>

#include "platform/base/format.h"
#include "platform/runtime/runtime.h"

namespace lv {

namespace {

constexpr std::uint64_t kIndexLimit = std::uint64_t{1} << 63;

void appendVarint(Bytes& out, std::uint64_t value) {
    do {
        std::uint8_t byte = value & 0x7F;
        value >>= 7;
        if (value != 0) byte |= 0x80;
        out.push_back(byte);
    } while (value != 0);
}

bool readVarint(const Bytes& in, std::size_t& at, std::uint64_t& value) {
    value = 0;
    for (int shift = 0; shift < 64 && at < in.size(); shift += 7) {
        const std::uint8_t byte = in[at++];
        value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
        if (!(byte & 0x80)) return true;
    }
    return false;
}

}  // namespace

IndexSet::IndexSet() { runtimeClass(); }

Ref<IndexSet> IndexSet::withIndexes(std::vector<std::uint64_t> indexes) {
    std::sort(indexes.begin(), indexes.end());
    auto set = makeRef<IndexSet>();
    for (std::uint64_t index : indexes) {
        if (!set->ranges_.empty()) {
            Range& last = set->ranges_.back();
            if (index < last.first + last.second) continue;  // a repeat
            if (index == last.first + last.second) {
                ++last.second;
                continue;
            }
        }
        set->ranges_.emplace_back(index, 1);
    }
    return set;
}

Ref<IndexSet> IndexSet::withRange(std::uint64_t location, std::uint64_t length) {
    auto set = makeRef<IndexSet>();
    if (length > 0) set->ranges_.emplace_back(location, length);
    return set;
}

std::uint64_t IndexSet::count() const {
    std::uint64_t total = 0;
    for (const auto& range : ranges_) total += range.second;
    return total;
}

bool IndexSet::containsIndex(std::uint64_t index) const {
    auto it = std::upper_bound(ranges_.begin(), ranges_.end(), index,
                               [](std::uint64_t i, const Range& range) { return i < range.first; });
    if (it == ranges_.begin()) return false;
    --it;
    return index - it->first < it->second;
}

bool IndexSet::isEqual(const Object& other) const {
    const auto* set = dynamic_cast<const IndexSet*>(&other);
    return set && set->ranges_ == ranges_;
}

std::size_t IndexSet::hash() const { return static_cast<std::size_t>(count()); }

std::string IndexSet::description() const {
    std::string text = "<IndexSet: " + addressText(this) + ">[number of indexes: " + std::to_string(count()) +
                       " (in " + std::to_string(ranges_.size()) + " ranges), indexes: (";
    for (std::size_t i = 0; i < ranges_.size(); ++i) {
        if (i) text += ' ';
        const auto& [location, length] = ranges_[i];
        text += std::to_string(location);
        if (length > 1) text += "-" + std::to_string(location + length - 1);
    }
    return text + ")]";
}

const ClassInfo* IndexSet::runtimeClass() {
    static const ClassInfo* cls = ClassDef<IndexSet>("NSIndexSet").factory().registerClass();
    return cls;
}

void IndexSet::encodeWithCoder(Coder& coder) const {
    coder.encodeInteger(static_cast<std::int64_t>(ranges_.size()), "NSRangeCount");
    if (ranges_.size() == 1) {
        coder.encodeInteger(static_cast<std::int64_t>(ranges_[0].first), "NSLocation");
        coder.encodeInteger(static_cast<std::int64_t>(ranges_[0].second), "NSLength");
    } else if (ranges_.size() > 1) {
        Bytes data;
        for (const auto& [location, length] : ranges_) {
            appendVarint(data, location);
            appendVarint(data, length);
        }
        coder.encodeObject(Value(std::move(data)), "NSRangeData");
    }
}

bool IndexSet::initWithCoder(Coder& coder) {
    const std::int64_t rangeCount = coder.decodeInteger("NSRangeCount");
    std::vector<Range> ranges;
    if (rangeCount == 1) {
        const std::int64_t location = coder.decodeInteger("NSLocation");
        const std::int64_t length = coder.decodeInteger("NSLength");
        if (location < 0 || length < 0) return false;
        ranges.emplace_back(static_cast<std::uint64_t>(location), static_cast<std::uint64_t>(length));
    } else if (rangeCount > 1) {
        const Value data = coder.decodeObjectOfClass(classNamed("Data"), "NSRangeData");
        if (!data.isData()) return false;
        const Bytes& bytes = data.bytes();
        std::size_t at = 0;
        while (at < bytes.size()) {
            Range range;
            if (!readVarint(bytes, at, range.first) || !readVarint(bytes, at, range.second)) return false;
            ranges.push_back(range);
        }
        if (ranges.size() != static_cast<std::uint64_t>(rangeCount)) return false;
    } else if (rangeCount < 0) {
        return false;
    }
    std::uint64_t end = 0;
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        const auto [location, length] = ranges[i];
        if (length == 0 || location >= kIndexLimit || length > kIndexLimit - location) return false;
        if (i > 0 && location <= end) return false;  // overlapping, adjacent or out of order
        end = location + length;
    }
    ranges_ = std::move(ranges);
    return true;
}

}  // namespace lv
