// For the layers' own decoders, not a public interface: dictionaries made from entries in the order a
// peer wrote them, many alike (the items of a list). The orderer remembers the order that sorted the
// last entries, so entries with the same keys in the same order are put in place without sorting,
// and it moves the ordered entries into the buffer the entries before them came in, so that ordering
// them allocates nothing.
// Thread rule: one thread at a time per orderer; the dictionaries it makes are plain values.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/value.h"

namespace lv {

class DictionaryOrderer {
public:
    // The dictionary of the entries, as appending each and finishing makes it: nil values dropped,
    // of equal keys the last. `entries` is taken.
    Dictionary make(std::vector<Dictionary::Entry>&& entries);
    // The dictionary of entries that came with the keys of the last ordering in the same order, each
    // made at the place placeOf() gave for its arrival: already in key order and none repeated, so
    // nothing is checked or moved. None may be nil. `entries` is taken.
    Dictionary makePlaced(std::vector<Dictionary::Entry>&& entries);

    // For a decoder that puts entries at their places as they come. After entries that needed
    // ordering and repeated no key: how many they were (0 otherwise), whether the k-th entry to come
    // has the key the k-th of them had, and the place in key order of the k-th. Entries that came so
    // make a dictionary in key order as they stand (makePlaced()).
    std::size_t placesKnown() const { return order_.size() == keys_.size() ? keys_.size() : 0; }
    bool sameKeyAt(std::size_t k, std::string_view key) const { return keys_[k] == key; }
    std::uint32_t placeOf(std::size_t k) const { return places_[k]; }

private:
    std::vector<std::string> keys_;      // the keys last sorted, in the order they came
    std::vector<std::uint32_t> order_;   // the entries those keys kept, in key order
    std::vector<std::uint32_t> places_;  // when they kept all: the place of each in key order
    std::vector<Dictionary::Entry> spare_;
};

}  // namespace lv
