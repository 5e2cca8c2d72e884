// A writer of the Pack binary form into one buffer of a size counted beforehand: the binary
// protocol's write operations, giving the same bytes and raising the same exceptions, as plain
// stores at a cursor with no virtual call and no transport. packBytes uses it.
// Thread rule: made for one write on one thread.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "analytics/pack_protocol.h"

namespace lv {

// The small writes are forced inline: each is a bounds check and a store or two.
class PackMemoryWriter {
public:
    // Room for size bytes, taken at once.
    explicit PackMemoryWriter(std::size_t size) : bytes_(size), at_(bytes_.data()), end_(bytes_.data() + size) {}

    // The bytes written.
    Bytes take() {
        bytes_.resize(static_cast<std::size_t>(at_ - bytes_.data()));
        at_ = end_ = nullptr;
        return std::move(bytes_);
    }

    void writeStructBegin(std::string_view) {}
    void writeStructEnd() {}
    [[gnu::always_inline]] void writeFieldBegin(std::string_view, std::uint8_t type, std::int16_t fieldID) {
        std::uint8_t* at = room(3);
        at[0] = type;
        store<2>(at + 1, static_cast<std::uint16_t>(fieldID));
        at_ += 3;
    }
    void writeFieldEnd() {}
    void writeFieldStop() { writeByte(0); }
    void writeI32(std::int32_t value) { big<4>(static_cast<std::uint32_t>(value)); }
    void writeI64(std::int64_t value) { big<8>(static_cast<std::uint64_t>(value)); }
    void writeI16(std::int16_t value) { big<2>(static_cast<std::uint16_t>(value)); }
    void writeByte(std::uint8_t value) { big<1>(value); }
    void writeDouble(double value) { big<8>(std::bit_cast<std::uint64_t>(value)); }
    void writeBool(bool value) { writeByte(value ? 1 : 0); }
    // Nothing writes the count 0; otherwise every byte with its count.
    void writeString(const std::optional<std::string>& value) {
        if (!value) return writeI32(0);
        writeText(*value);
    }
    void writeBinary(const std::optional<Bytes>& value) {
        if (!value) return writeI32(0);
        if (value->size() > static_cast<std::size_t>(INT32_MAX)) TPKProtocolException::raise("Data too long to write");
        counted(value->data(), value->size());
    }
    [[gnu::always_inline]] void writeMapBegin(std::uint8_t keyType, std::uint8_t valueType, std::int32_t size) {
        std::uint8_t* at = room(6);
        at[0] = keyType;
        at[1] = valueType;
        store<4>(at + 2, static_cast<std::uint32_t>(size));
        at_ += 6;
    }
    void writeMapEnd() {}
    void writeSetBegin(std::uint8_t elementType, std::int32_t size) { writeListBegin(elementType, size); }
    void writeSetEnd() {}
    [[gnu::always_inline]] void writeListBegin(std::uint8_t elementType, std::int32_t size) {
        std::uint8_t* at = room(5);
        at[0] = elementType;
        store<4>(at + 1, static_cast<std::uint32_t>(size));
        at_ += 5;
    }
    void writeListEnd() {}

    // The count, then the bytes.
    [[gnu::always_inline]] void writeText(std::string_view text) {
        if (text.size() > static_cast<std::size_t>(INT32_MAX)) TPKProtocolException::raise("String too long to write");
        counted(text.data(), text.size());
    }
    // A field's header and its fixed-size value (N bytes, big-endian).
    template <int N>
    [[gnu::always_inline]] void writeBigField(PackType type, std::int16_t fieldID, std::uint64_t value) {
        std::uint8_t* at = room(3 + N);
        at[0] = static_cast<std::uint8_t>(type);
        store<2>(at + 1, static_cast<std::uint16_t>(fieldID));
        store<N>(at + 3, value);
        at_ += 3 + N;
    }
    // A text field's header, count and bytes.
    [[gnu::always_inline]] void writeTextField(std::int16_t fieldID, std::string_view text) {
        if (text.size() > static_cast<std::size_t>(INT32_MAX)) TPKProtocolException::raise("String too long to write");
        std::uint8_t* at = room(7 + text.size());
        at[0] = static_cast<std::uint8_t>(PackType::String);
        store<2>(at + 1, static_cast<std::uint16_t>(fieldID));
        store<4>(at + 3, text.size());
        if (!text.empty()) std::memcpy(at + 7, text.data(), text.size());
        at_ += 7 + text.size();
    }

private:
    // Room for n more bytes. The size counted beforehand holds every write; were it short, the
    // buffer grows rather than overflow.
    [[gnu::always_inline]] std::uint8_t* room(std::size_t n) {
        if (n > static_cast<std::size_t>(end_ - at_)) grow(n);
        return at_;
    }
    [[gnu::noinline, gnu::cold]] void grow(std::size_t n) {
        const std::size_t used = static_cast<std::size_t>(at_ - bytes_.data());
        bytes_.resize(std::max(bytes_.size() * 2, used + n));
        at_ = bytes_.data() + used;
        end_ = bytes_.data() + bytes_.size();
    }
    template <int N>
    static void store(std::uint8_t* at, std::uint64_t value) {
        if constexpr (N == 1) {
            at[0] = static_cast<std::uint8_t>(value);
        } else if constexpr (N == 2) {
            const auto v = __builtin_bswap16(static_cast<std::uint16_t>(value));
            std::memcpy(at, &v, 2);
        } else if constexpr (N == 4) {
            const auto v = __builtin_bswap32(static_cast<std::uint32_t>(value));
            std::memcpy(at, &v, 4);
        } else {
            static_assert(N == 8);
            const auto v = __builtin_bswap64(value);
            std::memcpy(at, &v, 8);
        }
    }
    template <int N>
    [[gnu::always_inline]] void big(std::uint64_t value) {
        store<N>(room(N), value);
        at_ += N;
    }
    [[gnu::always_inline]] void counted(const void* data, std::size_t size) {
        std::uint8_t* at = room(4 + size);
        store<4>(at, size);
        if (size > 0) std::memcpy(at + 4, data, size);
        at_ += 4 + size;
    }

    Bytes bytes_;
    std::uint8_t* at_;
    std::uint8_t* end_;
};

}  // namespace lv
