// zlib compression of the analytics log entry, optionally behind a prefix: the prefix bytes, then a
// zlib stream (two-byte header, deflate data, Adler-32 trailer) made by compress2. Stateless; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "platform/base/value.h"

namespace lv {

class TLYDeflated {
public:
    // The prefix followed by the zlib stream of the source at the level (-1 is zlib's default);
    // nothing when zlib fails.
    static std::optional<Bytes> deflatedDataPrefixedWith(std::span<const std::uint8_t> prefix, int level,
                                                         std::span<const std::uint8_t> source);
    static std::optional<Bytes> deflatedData(std::span<const std::uint8_t> source) {
        return deflatedDataPrefixedWith({}, -1, source);
    }
    // The buffer the output needs: the prefix plus zlib's bound for the source, in size_t (no wrap).
    static std::size_t outputCapacity(std::size_t prefixLength, std::size_t sourceLength);
};

}  // namespace lv
