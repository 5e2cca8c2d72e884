// Big-endian numbers in byte buffers, as the wire and file formats store them: one load or store of
// the byte-swapped value, no loop over bytes. The caller makes sure the bytes are there.
// Thread rule: plain functions on the caller's memory.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace lv {

namespace big_endian_detail {
inline std::uint16_t swapBytes(std::uint16_t v) { return __builtin_bswap16(v); }
inline std::uint32_t swapBytes(std::uint32_t v) { return __builtin_bswap32(v); }
inline std::uint64_t swapBytes(std::uint64_t v) { return __builtin_bswap64(v); }
}  // namespace big_endian_detail

// The big-endian value of N bytes (1, 2, 4 or 8) at an address.
template <int N>
[[gnu::always_inline]] inline std::uint64_t loadBig(const std::uint8_t* at) {
    static_assert(N == 1 || N == 2 || N == 4 || N == 8);
    if constexpr (N == 1) {
        return at[0];
    } else {
        using Word = std::conditional_t<N == 2, std::uint16_t, std::conditional_t<N == 4, std::uint32_t, std::uint64_t>>;
        Word raw;
        std::memcpy(&raw, at, N);
        if constexpr (std::endian::native == std::endian::little) raw = big_endian_detail::swapBytes(raw);
        return raw;
    }
}

// The big-endian value of `width` bytes (up to 8) at an address, for a width known only at run time
// (the usual ones take one load).
inline std::uint64_t loadBig(const std::uint8_t* at, unsigned width) {
    switch (width) {
        case 1: return loadBig<1>(at);
        case 2: return loadBig<2>(at);
        case 4: return loadBig<4>(at);
        case 8: return loadBig<8>(at);
        default: {
            std::uint64_t value = 0;
            for (unsigned i = 0; i < width; ++i) value = value << 8 | at[i];
            return value;
        }
    }
}

// The value's low N bytes (1, 2, 4 or 8), most significant first.
template <int N>
[[gnu::always_inline]] inline void storeBig(std::uint8_t* at, std::uint64_t value) {
    static_assert(N == 1 || N == 2 || N == 4 || N == 8);
    if constexpr (N == 1) {
        at[0] = static_cast<std::uint8_t>(value);
    } else {
        using Word = std::conditional_t<N == 2, std::uint16_t, std::conditional_t<N == 4, std::uint32_t, std::uint64_t>>;
        auto word = static_cast<Word>(value);
        if constexpr (std::endian::native == std::endian::little) word = big_endian_detail::swapBytes(word);
        std::memcpy(at, &word, N);
    }
}

// The value's low `width` bytes, most significant first, for a width known only at run time (any
// width up to 8; the usual ones take one store).
inline void storeBig(std::uint8_t* at, std::uint64_t value, unsigned width) {
    switch (width) {
        case 1: storeBig<1>(at, value); return;
        case 2: storeBig<2>(at, value); return;
        case 4: storeBig<4>(at, value); return;
        case 8: storeBig<8>(at, value); return;
        default:
            for (unsigned i = width; i-- > 0; value >>= 8) at[i] = static_cast<std::uint8_t>(value);
            return;
    }
}

}  // namespace lv
