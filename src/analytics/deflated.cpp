#include "analytics/deflated.h"

#include <algorithm>
#include <limits>

#include <zlib.h>

namespace lv {

std::size_t TLYDeflated::outputCapacity(std::size_t prefixLength, std::size_t sourceLength) {
    return prefixLength + static_cast<std::size_t>(compressBound(static_cast<uLong>(sourceLength)));
}

std::optional<Bytes> TLYDeflated::deflatedDataPrefixedWith(std::span<const std::uint8_t> prefix, int level,
                                                          std::span<const std::uint8_t> source) {
    static_assert(sizeof(uLong) >= sizeof(std::size_t));
    Bytes out(outputCapacity(prefix.size(), source.size()));
    uLongf compressedLength = static_cast<uLongf>(out.size() - prefix.size());
    if (compress2(out.data() + prefix.size(), &compressedLength, source.data(), static_cast<uLong>(source.size()),
                  level) != Z_OK) {
        return std::nullopt;
    }
    std::copy(prefix.begin(), prefix.end(), out.begin());
    out.resize(prefix.size() + compressedLength);
    return out;
}

}  // namespace lv
