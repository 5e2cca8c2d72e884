// A reader of the Pack binary form over bytes held in memory: the binary protocol's read operations
// with the same checks in the same order and the same exceptions, over a cursor and an end pointer,
// with no virtual call, no transport and no per-read buffer bookkeeping. The records' readers use it
// for bytes that are all in memory (unpackBytes, and a memory buffer's unread bytes).
// Thread rule: made for one read on one thread.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "analytics/pack_protocol.h"

namespace lv {

// The protocol's failures, shared by the binary protocol and this reader so that both raise the same.
namespace pack_detail {
// TTransportException "Not enough bytes remain in buffer".
[[noreturn]] void raiseShort();
// TProtocolException "Invalid container element type <type>".
[[noreturn]] void raiseElementType(std::uint8_t type);
// TProtocolException "Container size <count> is larger than the bytes that remain".
[[noreturn]] void raiseContainerSize(std::int32_t count);
// TProtocolException "Nesting deeper than 64 levels".
[[noreturn]] void raiseDepth();
// The fewest bytes one value of a valid type occupies, so that count × size bounds a container.
constexpr std::uint64_t minimumEncodedSize(std::uint8_t type) {
    switch (static_cast<PackType>(type)) {
        case PackType::Bool:
        case PackType::Byte:
        case PackType::Struct: return 1;
        case PackType::I16: return 2;
        case PackType::I32:
        case PackType::String: return 4;
        case PackType::Set:
        case PackType::List: return 5;
        case PackType::Map: return 6;
        default: return 8;  // double, i64
    }
}
}  // namespace pack_detail

class PackMemoryReader {
public:
    PackMemoryReader(const std::uint8_t* begin, std::size_t size, int depth = 0)
        : begin_(begin), at_(begin), end_(begin + size), depth_(depth) {}

    std::uint64_t bytesRemaining() const { return static_cast<std::uint64_t>(end_ - at_); }
    std::size_t consumed() const { return static_cast<std::size_t>(at_ - begin_); }
    int depth() const { return depth_; }

    void readStructBegin() { enter(); }
    void readStructEnd() { leave(); }
    // As the binary protocol: a short header consumes its type byte before failing.
    void readFieldBegin(std::uint8_t* type, std::int16_t* fieldID) {
        if (bytesRemaining() >= 3) {
            *type = at_[0];
            if (*type != 0) {
                *fieldID = static_cast<std::int16_t>((at_[1] << 8) | at_[2]);
                at_ += 3;
            } else {
                at_ += 1;
            }
            return;
        }
        *type = readByte();
        if (*type != 0) *fieldID = readI16();
    }
    void readFieldEnd() {}

    bool readBool() { return readByte() == 1; }
    std::uint8_t readByte() { return static_cast<std::uint8_t>(big<1>()); }
    std::int16_t readI16() { return static_cast<std::int16_t>(big<2>()); }
    std::int32_t readI32() { return static_cast<std::int32_t>(big<4>()); }
    std::int64_t readI64() { return static_cast<std::int64_t>(big<8>()); }
    double readDouble() { return std::bit_cast<double>(big<8>()); }

    // The bytes of a counted string: the count is consumed before a count that does not fit fails.
    std::string_view readCounted() {
        const std::int32_t length = readI32();
        if (length < 0 || static_cast<std::uint64_t>(length) > bytesRemaining()) pack_detail::raiseShort();
        const std::string_view text(reinterpret_cast<const char*>(at_), static_cast<std::size_t>(length));
        at_ += length;
        return text;
    }
    // Replaces text with a counted string; false when the bytes are not UTF-8.
    bool readTextInto(std::string& text) {
        const std::string_view bytes = readCounted();
        text.assign(bytes);
        return isWellFormedUtf8(bytes);
    }
    // A text field's value into its storage: nothing when the bytes are not UTF-8. A read that fails
    // leaves the storage as it was.
    void readTextField(std::optional<std::string>& text) {
        const std::string_view bytes = readCounted();
        if (!isWellFormedUtf8(bytes)) {
            text.reset();
        } else if (text) {
            text->assign(bytes);
        } else {
            text.emplace(bytes);  // constructed in place: no assignment into an empty string
        }
    }
    std::optional<std::string> readString() {
        std::optional<std::string> text;
        readTextField(text);
        return text;
    }
    Bytes readBinary() {
        const std::string_view bytes = readCounted();
        return Bytes(bytes.begin(), bytes.end());
    }

    [[gnu::always_inline]] void readMapBegin(std::uint8_t* keyType, std::uint8_t* valueType, std::int32_t* size) {
        std::uint8_t k, v;
        std::int32_t n;
        if (bytesRemaining() >= 6) {  // the whole header: one bounds check
            k = at_[0], v = at_[1];
            n = static_cast<std::int32_t>(pack_detail::loadBig<4>(at_ + 2));
            at_ += 6;
        } else {
            k = readByte(), v = readByte(), n = readI32();
        }
        requireElementType(k);
        requireElementType(v);
        requireElements(n, pack_detail::minimumEncodedSize(k) + pack_detail::minimumEncodedSize(v));
        enter();
        if (keyType) *keyType = k;
        if (valueType) *valueType = v;
        if (size) *size = n;
    }
    void readMapEnd() { leave(); }
    void readSetBegin(std::uint8_t* elementType, std::int32_t* size) { readListBegin(elementType, size); }
    void readSetEnd() { leave(); }
    void readListBegin(std::uint8_t* elementType, std::int32_t* size) {
        std::uint8_t e;
        std::int32_t n;
        if (bytesRemaining() >= 5) {
            e = at_[0];
            n = static_cast<std::int32_t>(pack_detail::loadBig<4>(at_ + 1));
            at_ += 5;
        } else {
            e = readByte(), n = readI32();
        }
        requireElementType(e);
        requireElements(n, pack_detail::minimumEncodedSize(e));
        enter();
        if (elementType) *elementType = e;
        if (size) *size = n;
    }
    void readListEnd() { leave(); }

    // Consumes one value of the type as the type table says (nothing for codes outside it), as
    // TPKProtocolUtil::skipType does on the binary protocol; text is passed over without a copy.
    void skip(std::uint8_t type) {
        switch (static_cast<PackType>(type)) {
            case PackType::Bool:
            case PackType::Byte: big<1>(); break;
            case PackType::I16: big<2>(); break;
            case PackType::I32: big<4>(); break;
            case PackType::Double:
            case PackType::I64: big<8>(); break;
            case PackType::String: readCounted(); break;  // the bytes need not be UTF-8
            case PackType::Struct: {
                readStructBegin();
                for (;;) {
                    std::uint8_t fieldType = 0;
                    std::int16_t id = 0;
                    readFieldBegin(&fieldType, &id);
                    if (fieldType == static_cast<std::uint8_t>(PackType::Stop)) break;
                    skip(fieldType);
                }
                readStructEnd();
                break;
            }
            case PackType::Map: {
                std::uint8_t keyType = 0, valueType = 0;
                std::int32_t size = 0;
                readMapBegin(&keyType, &valueType, &size);
                for (std::int32_t i = 0; i < size; ++i) {
                    skip(keyType);
                    skip(valueType);
                }
                readMapEnd();
                break;
            }
            case PackType::Set:
            case PackType::List: {
                std::uint8_t elementType = 0;
                std::int32_t size = 0;
                readListBegin(&elementType, &size);
                for (std::int32_t i = 0; i < size; ++i) skip(elementType);
                readListEnd();
                break;
            }
            default: break;  // outside the table: nothing is consumed
        }
    }

private:
    // The next fixed-size value.
    template <int N>
    std::uint64_t big() {
        if (bytesRemaining() < N) pack_detail::raiseShort();
        const std::uint64_t v = pack_detail::loadBig<N>(at_);
        at_ += N;
        return v;
    }
    // The type table's value codes (isPackValueType) as bits: 2, 3, 4, 6, 8, 10 to 15.
    static void requireElementType(std::uint8_t type) {
        if (type > 15 || ((0xFD5Cu >> type) & 1u) == 0) pack_detail::raiseElementType(type);
    }
    void requireElements(std::int32_t count, std::uint64_t minimumElementSize) const {
        if (count > 0 && static_cast<std::uint64_t>(count) * minimumElementSize > bytesRemaining()) {
            pack_detail::raiseContainerSize(count);
        }
    }
    void enter() {
        if (++depth_ > kPackMaxDepth) pack_detail::raiseDepth();
    }
    void leave() {
        if (depth_ > 0) --depth_;
    }

    const std::uint8_t* begin_;
    const std::uint8_t* at_;
    const std::uint8_t* end_;
    int depth_;
};

}  // namespace lv
