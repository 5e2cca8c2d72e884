// The shared shape of every Pack record: one value and one "is set" flag per field, four accessors
// per field, and a writer and reader driven by the record's field table.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "analytics/detail/pack_reader.h"
#include "analytics/detail/pack_writer.h"
#include "analytics/pack_protocol.h"

namespace lv {

// A field's value and its flag. Setting marks the field set even when the value is nothing.
template <class T>
class PackField {
public:
    const T& get() const { return value_; }
    void set(T value) {
        value_ = std::move(value);
        isSet_ = true;
    }
    bool isSet() const { return isSet_; }
    // The value to fill in place; the caller marks the field set once it is filled.
    T& storage() { return value_; }
    void markSet() { isSet_ = true; }
    void unset() {
        value_ = T{};
        isSet_ = false;
    }
    bool operator==(const PackField&) const = default;

private:
    T value_{};
    bool isSet_ = false;
};

template <class R>
class PackStruct;

// The binary protocol's counted-text helpers, for the codecs below.
struct PackBinaryAccess {
    static void writeText(TPKBinaryProtocol& p, std::string_view text) { p.writeText(text); }
    template <int N>
    static void writeBigField(TPKBinaryProtocol& p, PackType type, std::int16_t id, std::uint64_t value) {
        p.writeBigField<N>(type, id, value);
    }
    static void writeTextField(TPKBinaryProtocol& p, std::int16_t id, std::string_view text) { p.writeTextField(id, text); }
    static bool readTextInto(TPKBinaryProtocol& p, std::string& text) { return p.readTextInto(text); }
    static bool readBufferedText(TPKBinaryProtocol& p, std::optional<std::string>& text) { return p.readBufferedText(text); }
    static void reserve(TPKMemoryBuffer& b, std::uint64_t size) { b.reserveStorage(static_cast<std::size_t>(size)); }
    static TPKMemoryBuffer borrow(std::span<const std::uint8_t> bytes) { return TPKMemoryBuffer(bytes, TPKMemoryBuffer::Borrow{}); }
    // Reads a record from the unread bytes of the protocol's memory buffer with the memory reader;
    // the buffer's read position and the protocol's nesting depth then stand as if the protocol had
    // read (up to the failing read, when one fails). False when the transport is not a memory buffer.
    template <class R>
    static bool readFromMemory(TPKBinaryProtocol& p, R& record) {
        if (!p.memory_) return false;
        TPKMemoryBuffer& memory = *p.memory_;
        PackMemoryReader in(memory.readCursor(), static_cast<std::size_t>(memory.bytesRemaining()), p.depth_);
        struct Settle {
            TPKBinaryProtocol& p;
            TPKMemoryBuffer& memory;
            PackMemoryReader& in;
            ~Settle() {
                memory.advance(in.consumed());
                p.depth_ = in.depth();
            }
        } settle{p, memory, in};
        record.readMemoryFields(in);
        return true;
    }
};

// The bytes that remain to be read.
inline std::uint64_t packRemaining(TPKProtocol& p) { return p.transport().bytesRemaining(); }
inline std::uint64_t packRemaining(TPKBinaryProtocol& p) { return p.transport().bytesRemaining(); }
inline std::uint64_t packRemaining(PackMemoryReader& p) { return p.bytesRemaining(); }

// How each kind of value is written and read: its type code, whether it holds a value, and the codec.
// P is TPKProtocol, or TPKBinaryProtocol itself so that its calls are direct and inline.
template <class T, class = void>
struct PackCodec;

template <>
struct PackCodec<std::int32_t> {
    static constexpr PackType kType = PackType::I32;
    static std::uint64_t size(std::int32_t) { return 4; }
    template <class P>
    static void write(P& p, std::int32_t v) { p.writeI32(v); }
    template <class P>
    static std::int32_t read(P& p) { return p.readI32(); }
};
template <>
struct PackCodec<std::int64_t> {
    static constexpr PackType kType = PackType::I64;
    static std::uint64_t size(std::int64_t) { return 8; }
    template <class P>
    static void write(P& p, std::int64_t v) { p.writeI64(v); }
    template <class P>
    static std::int64_t read(P& p) { return p.readI64(); }
};
template <>
struct PackCodec<double> {
    static constexpr PackType kType = PackType::Double;
    static std::uint64_t size(double) { return 8; }
    template <class P>
    static void write(P& p, double v) { p.writeDouble(v); }
    template <class P>
    static double read(P& p) { return p.readDouble(); }
};
// Map keys: text that is not UTF-8 cannot be a key.
template <>
struct PackCodec<std::string> {
    static constexpr PackType kType = PackType::String;
    static std::uint64_t size(const std::string& v) { return 4 + v.size(); }
    template <class P>
    static void write(P& p, const std::string& v) {
        if constexpr (std::is_same_v<P, TPKBinaryProtocol>) {
            PackBinaryAccess::writeText(p, v);
        } else {
            p.writeString(v);
        }
    }
    template <class P>
    static std::string read(P& p) {
        if constexpr (std::is_same_v<P, TPKBinaryProtocol>) {
            std::string key;
            if (!PackBinaryAccess::readTextInto(p, key)) TPKProtocolException::raise("Map key is not UTF-8 text");
            return key;
        } else if constexpr (std::is_same_v<P, PackMemoryReader>) {
            std::string key;
            if (!p.readTextInto(key)) TPKProtocolException::raise("Map key is not UTF-8 text");
            return key;
        } else {
            auto text = p.readString();
            if (!text) TPKProtocolException::raise("Map key is not UTF-8 text");
            return std::move(*text);
        }
    }
};
template <>
struct PackCodec<std::optional<std::string>> {
    static constexpr PackType kType = PackType::String;
    static std::uint64_t size(const std::optional<std::string>& v) { return 4 + (v ? v->size() : 0); }
    template <class P>
    static void write(P& p, const std::optional<std::string>& v) { p.writeString(v); }
    template <class P>
    static std::optional<std::string> read(P& p) { return p.readString(); }
};
template <>
struct PackCodec<std::optional<Bytes>> {
    static constexpr PackType kType = PackType::String;
    static std::uint64_t size(const std::optional<Bytes>& v) { return 4 + (v ? v->size() : 0); }
    template <class P>
    static void write(P& p, const std::optional<Bytes>& v) { p.writeBinary(v); }
    template <class P>
    static std::optional<Bytes> read(P& p) { return p.readBinary(); }
};
template <class R>
struct PackCodec<R, std::enable_if_t<std::is_base_of_v<PackStruct<R>, R>>> {
    static constexpr PackType kType = PackType::Struct;
    static std::uint64_t size(const R& v) { return v.packedSize(); }
    template <class P>
    static void write(P& p, const R& v) { v.writeFields(p); }
    template <class P>
    static R read(P& p) {
        R record;
        record.readFields(p);
        return record;
    }
    template <class P>
    static void readInto(P& p, R& record) { record.readFields(p); }
};
template <class E>
struct PackCodec<std::vector<E>> {
    static constexpr PackType kType = PackType::List;
    static std::uint64_t size(const std::vector<E>& v) {
        std::uint64_t total = 5;
        for (const E& e : v) total += PackCodec<E>::size(e);
        return total;
    }
    template <class P>
    static void write(P& p, const std::vector<E>& v) {
        p.writeListBegin(static_cast<std::uint8_t>(PackCodec<E>::kType), static_cast<std::int32_t>(v.size()));
        for (const E& e : v) PackCodec<E>::write(p, e);
        p.writeListEnd();
    }
    template <class P>
    static std::vector<E> read(P& p) {
        std::vector<E> list;
        readInto(p, list);
        return list;
    }
    // Into an empty list.
    template <class P>
    static void readInto(P& p, std::vector<E>& list) {
        std::int32_t size = 0;
        p.readListBegin(nullptr, &size);
        // The count was checked against the bytes, but an element may take far less room than it
        // does read: a long list gets room for its first element, then for as many as the bytes that
        // remain hold at the size of those read.
        list.reserve(static_cast<std::size_t>(size > 1024 ? 1 : std::max(size, 0)));
        const std::uint64_t bytesAtStart = packRemaining(p);
        for (std::int32_t i = 0; i < size; ++i) {
            if (i > 0 && list.size() == list.capacity()) {
                // Full: room for the rest of the count, as far as the bytes that remain hold elements
                // the size of those read so far.
                const std::uint64_t remaining = packRemaining(p);
                const std::uint64_t perElement = std::max<std::uint64_t>(1, (bytesAtStart - remaining) / static_cast<std::uint64_t>(i));
                list.reserve(static_cast<std::size_t>(
                    std::min<std::uint64_t>(static_cast<std::uint64_t>(size), static_cast<std::uint64_t>(i) + remaining / perElement)));
            }
            if constexpr (PackCodec<E>::kType == PackType::Struct) {
                list.emplace_back().readFields(p);  // read in place: the list is dropped if reading fails
            } else {
                list.push_back(PackCodec<E>::read(p));
            }
        }
        p.readListEnd();
    }
};
template <class V>
struct PackCodec<std::map<std::string, V>> {
    static constexpr PackType kType = PackType::Map;
    static std::uint64_t size(const std::map<std::string, V>& m) {
        std::uint64_t total = 6;
        if (m.size() == 1) {  // the usual one entry: no step through the tree
            const auto& [key, value] = *m.begin();
            return total + 4 + key.size() + PackCodec<V>::size(value);
        }
        for (const auto& [key, value] : m) total += 4 + key.size() + PackCodec<V>::size(value);
        return total;
    }
    template <class P>
    static void write(P& p, const std::map<std::string, V>& m) {
        p.writeMapBegin(static_cast<std::uint8_t>(PackType::String), static_cast<std::uint8_t>(PackCodec<V>::kType),
                        static_cast<std::int32_t>(m.size()));
        if (m.size() == 1) {  // the usual one entry: no step through the tree
            const auto& [key, value] = *m.begin();
            PackCodec<std::string>::write(p, key);
            PackCodec<V>::write(p, value);
        } else {
            for (const auto& [key, value] : m) {
                PackCodec<std::string>::write(p, key);
                PackCodec<V>::write(p, value);
            }
        }
        p.writeMapEnd();
    }
    template <class P>
    static std::map<std::string, V> read(P& p) {
        std::map<std::string, V> m;
        readInto(p, m);
        return m;
    }
    // Into an empty map.
    template <class P>
    static void readInto(P& p, std::map<std::string, V>& m) {
        std::int32_t size = 0;
        p.readMapBegin(nullptr, nullptr, &size);
        for (std::int32_t i = 0; i < size; ++i) {
            // Keys written by us come in order, so the end is the usual place. A new entry's record
            // is read in place (the map is dropped if reading fails); a repeated key takes the last value.
            const std::size_t before = m.size();
            typename std::map<std::string, V>::iterator entry;
            if constexpr (std::is_same_v<P, PackMemoryReader>) {
                // The key's bytes go straight into the new entry.
                const std::string_view key = p.readCounted();
                if (!isWellFormedUtf8(key)) TPKProtocolException::raise("Map key is not UTF-8 text");
                entry = m.emplace_hint(m.end(), std::piecewise_construct, std::forward_as_tuple(key), std::forward_as_tuple());
            } else {
                entry = m.try_emplace(m.end(), PackCodec<std::string>::read(p));
            }
            if constexpr (PackCodec<V>::kType == PackType::Struct) {
                if (m.size() != before) {
                    entry->second.readFields(p);
                    continue;
                }
            }
            entry->second = PackCodec<V>::read(p);
        }
        p.readMapEnd();
    }
};
// Objects (strings, data, structs, lists, maps) may be nothing; only those holding a value are written.
template <class T>
struct PackCodec<std::optional<T>, std::enable_if_t<!std::is_same_v<T, std::string> && !std::is_same_v<T, Bytes>>> {
    static constexpr PackType kType = PackCodec<T>::kType;
    static std::uint64_t size(const std::optional<T>& v) { return PackCodec<T>::size(*v); }
    template <class P>
    static void write(P& p, const std::optional<T>& v) { PackCodec<T>::write(p, *v); }
    template <class P>
    static std::optional<T> read(P& p) { return PackCodec<T>::read(p); }
    // Into a value made empty in place.
    template <class P>
    static void readInto(P& p, std::optional<T>& v) { PackCodec<T>::readInto(p, v.emplace()); }
};

// How a value goes into the memory writer: `prepare` takes what its write needs from the record,
// `put` stores its bytes (a record's, list's or map's with all they hold) at the cursor, unchecked:
// the buffer was made of the size the same record counts to (`packedSize`, over the same fields).
template <class T, class = void>
struct PackPut;

template <int N>
struct PackPutFixed {
    using Prepared = std::uint64_t;
    [[gnu::always_inline]] static PackCursor put(PackMemoryWriter&, PackCursor c, Prepared v) {
        c.at = PackMemoryWriter::store<N>(c.at, v);
        return c;
    }
};
template <>
struct PackPut<std::int32_t> : PackPutFixed<4> {
    [[gnu::always_inline]] static Prepared prepare(std::int32_t v) { return static_cast<std::uint32_t>(v); }
};
template <>
struct PackPut<std::int64_t> : PackPutFixed<8> {
    [[gnu::always_inline]] static Prepared prepare(std::int64_t v) { return static_cast<std::uint64_t>(v); }
};
template <>
struct PackPut<double> : PackPutFixed<8> {
    [[gnu::always_inline]] static Prepared prepare(double v) { return std::bit_cast<std::uint64_t>(v); }
};
// Text, and text set to nothing as the protocol writes it: the count 0.
struct PackPutText {
    using Prepared = std::string_view;
    [[gnu::always_inline]] static PackCursor put(PackMemoryWriter&, PackCursor c, std::string_view text) {
        c.at = PackMemoryWriter::text(c.at, text);
        return c;
    }
};
template <>
struct PackPut<std::string> : PackPutText {
    [[gnu::always_inline]] static Prepared prepare(const std::string& v) { return v; }
};
template <>
struct PackPut<std::optional<std::string>> : PackPutText {
    [[gnu::always_inline]] static Prepared prepare(const std::optional<std::string>& v) { return v ? std::string_view(*v) : std::string_view(); }
};
template <>
struct PackPut<std::optional<Bytes>> {
    using Prepared = std::span<const std::uint8_t>;
    [[gnu::always_inline]] static Prepared prepare(const std::optional<Bytes>& v) { return v ? Prepared(*v) : Prepared(); }
    [[gnu::always_inline]] static PackCursor put(PackMemoryWriter&, PackCursor c, Prepared v) {
        c.at = PackMemoryWriter::data(c.at, v.data(), v.size());
        return c;
    }
};
template <class R>
struct PackPut<R, std::enable_if_t<std::is_base_of_v<PackStruct<R>, R>>> {
    using Prepared = const R*;
    [[gnu::always_inline]] static Prepared prepare(const R& v) { return &v; }
    static PackCursor put(PackMemoryWriter& w, PackCursor c, Prepared v) { return v->writeMemoryFields(w, c); }
};
template <class E>
[[gnu::always_inline]] inline PackCursor packPutElement(PackMemoryWriter& w, PackCursor c, const E& e) {
    return PackPut<E>::put(w, c, PackPut<E>::prepare(e));
}
template <class E>
struct PackPut<std::vector<E>> {
    using Prepared = const std::vector<E>*;
    [[gnu::always_inline]] static Prepared prepare(const std::vector<E>& v) { return &v; }
    static PackCursor put(PackMemoryWriter& w, PackCursor c, Prepared list) {
        c.at[0] = static_cast<std::uint8_t>(PackCodec<E>::kType);
        c.at = PackMemoryWriter::store<4>(c.at + 1, static_cast<std::uint32_t>(static_cast<std::int32_t>(list->size())));
        for (const E& e : *list) c = packPutElement(w, c, e);
        return c;
    }
};
template <class V>
struct PackPut<std::map<std::string, V>> {
    using Prepared = const std::map<std::string, V>*;
    [[gnu::always_inline]] static Prepared prepare(const std::map<std::string, V>& m) { return &m; }
    static PackCursor put(PackMemoryWriter& w, PackCursor c, Prepared m) {
        c.at[0] = static_cast<std::uint8_t>(PackType::String);
        c.at[1] = static_cast<std::uint8_t>(PackCodec<V>::kType);
        c.at = PackMemoryWriter::store<4>(c.at + 2, static_cast<std::uint32_t>(static_cast<std::int32_t>(m->size())));
        if (m->size() == 1) return entry(w, c, *m->begin());  // the usual one entry: no step through the tree
        for (const auto& e : *m) c = entry(w, c, e);
        return c;
    }
    // The key, then the value.
    [[gnu::always_inline]] static PackCursor entry(PackMemoryWriter& w, PackCursor c, const std::pair<const std::string, V>& e) {
        c.at = PackMemoryWriter::text(c.at, e.first);
        return PackPut<V>::put(w, c, PackPut<V>::prepare(e.second));
    }
};
// Objects that may be nothing (records, lists, maps): written as the value they hold.
template <class T>
struct PackPut<std::optional<T>, std::enable_if_t<!std::is_same_v<T, std::string> && !std::is_same_v<T, Bytes>>> {
    using Prepared = typename PackPut<T>::Prepared;
    [[gnu::always_inline]] static Prepared prepare(const std::optional<T>& v) { return PackPut<T>::prepare(*v); }
    [[gnu::always_inline]] static PackCursor put(PackMemoryWriter& w, PackCursor c, const Prepared& v) {
        return PackPut<T>::put(w, c, v);
    }
};

template <class T>
bool packHoldsValue(const T&) {
    return true;
}
template <class T>
bool packHoldsValue(const std::optional<T>& v) {
    return v.has_value();
}

// One row of a record's field table.
template <class R>
struct PackFieldInfo {
    std::int16_t id;
    const char* name;
    PackType type;
    bool (*shouldWrite)(const R&);
    void (*writeValue)(const R&, TPKProtocol&);
    void (*readValue)(R&, TPKProtocol&);
    bool (*isSet)(const R&);
    // The same codec with direct calls on the binary protocol.
    void (*writeBinaryValue)(const R&, TPKBinaryProtocol&);
    void (*readBinaryValue)(R&, TPKBinaryProtocol&);
    template <class P>
    void writeWith(const R& r, P& p) const {
        if constexpr (std::is_same_v<P, TPKBinaryProtocol>) {
            writeBinaryValue(r, p);
        } else {
            writeValue(r, p);
        }
    }
    template <class P>
    void readWith(R& r, P& p) const {
        if constexpr (std::is_same_v<P, TPKBinaryProtocol>) {
            readBinaryValue(r, p);
        } else {
            readValue(r, p);
        }
    }
};

template <class M>
struct PackMember;
template <class R, class T>
struct PackMember<PackField<T> R::*> {
    using Record = R;
    using Type = T;
};

// One field of a record as written in its table: converts to the table's row, and writes the field
// (or counts its bytes) with the member and codec known at compile time, so a record's whole write
// is straight-line code with no call through the table.
template <auto Member>
struct PackFieldSpec {
    using R = typename PackMember<decltype(Member)>::Record;
    using T = typename PackMember<decltype(Member)>::Type;
    std::int16_t id;
    const char* name;

    bool holdsValue(const R& r) const { return (r.*Member).isSet() && packHoldsValue((r.*Member).get()); }
    // The field's header and value; nothing when it is not written.
    std::uint64_t packedSize(const R& r) const { return holdsValue(r) ? 3 + PackCodec<T>::size((r.*Member).get()) : 0; }
    // On the binary protocol or the memory writer.
    template <class P>
    void writeBinary(const R& r, P& p) const {
        if (!holdsValue(r)) return;
        const T& value = (r.*Member).get();
        // The binary form holds no names. Fixed-size values and text go out with their header at once.
        if constexpr (std::is_same_v<T, std::int32_t>) {
            PackBinaryAccess::writeBigField<4>(p, PackType::I32, id, static_cast<std::uint32_t>(value));
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
            PackBinaryAccess::writeBigField<8>(p, PackType::I64, id, static_cast<std::uint64_t>(value));
        } else if constexpr (std::is_same_v<T, double>) {
            PackBinaryAccess::writeBigField<8>(p, PackType::Double, id, std::bit_cast<std::uint64_t>(value));
        } else if constexpr (std::is_same_v<T, std::optional<std::string>>) {
            PackBinaryAccess::writeTextField(p, id, *value);  // held: checked above
        } else {
            p.writeFieldBegin({}, static_cast<std::uint8_t>(PackCodec<T>::kType), id);
            PackCodec<T>::write(p, value);
        }
    }

    // The memory writer's road: the field's header and value, when it holds one.
    [[gnu::always_inline]] PackCursor put(const R& r, PackMemoryWriter& w, PackCursor c) const {
        if (!holdsValue(r)) return c;
        c.at = PackMemoryWriter::header(c.at, PackCodec<T>::kType, id);
        return PackPut<T>::put(w, c, PackPut<T>::prepare((r.*Member).get()));
    }

    operator PackFieldInfo<R>() const {  // NOLINT: a table row is written as its spec
        return PackFieldInfo<R>{
            id,
            name,
            PackCodec<T>::kType,
            [](const R& r) { return (r.*Member).isSet() && packHoldsValue((r.*Member).get()); },
            [](const R& r, TPKProtocol& p) { PackCodec<T>::write(p, (r.*Member).get()); },
            [](R& r, TPKProtocol& p) { (r.*Member).set(PackCodec<T>::read(p)); },
            [](const R& r) { return (r.*Member).isSet(); },
            [](const R& r, TPKBinaryProtocol& p) { PackCodec<T>::write(p, (r.*Member).get()); },
            &readBinaryValue,
        };
    }
    // The field's value from the memory reader; a read that fails leaves the field as it was.
    static void readMemory(R& r, PackMemoryReader& p) {
        auto& field = r.*Member;
        if constexpr (std::is_same_v<T, std::optional<std::string>>) {
            p.readTextField(field.storage());
            field.markSet();
        } else if constexpr (requires(T& v) { PackCodec<T>::readInto(p, v); }) {
            if (!field.isSet() && !field.get()) {
                // A fresh field (the usual case) is filled in place, and made fresh again if the read fails.
                try {
                    PackCodec<T>::readInto(p, field.storage());
                } catch (...) {
                    field.storage().reset();
                    throw;
                }
                return field.markSet();
            }
            field.set(PackCodec<T>::read(p));
        } else {
            field.set(PackCodec<T>::read(p));
        }
    }
    static void readBinaryValue(R& r, TPKBinaryProtocol& p) {
        auto& field = r.*Member;
        if constexpr (std::is_same_v<T, std::optional<std::string>>) {
            // Text the buffer holds whole goes straight into the field.
            if (PackBinaryAccess::readBufferedText(p, field.storage())) return field.markSet();
        }
        field.set(PackCodec<T>::read(p));
    }
};

template <auto Member>
constexpr PackFieldSpec<Member> packField(std::int16_t id, const char* name) {
    return PackFieldSpec<Member>{id, name};
}

// A record's bytes and its binary write, over its field specs (in id order), with the stop byte.
template <class R, class... Specs>
std::uint64_t packSpecsSize(const R& r, const Specs&... specs) {
    return (std::uint64_t{1} + ... + specs.packedSize(r));
}
// A record's read from the memory reader: each field header is matched against the specs' ids and
// types in code (no table, no call per field); unknown ids and fields of another type are skipped.
template <class R, class... Specs>
void packSpecsRead(R& r, PackMemoryReader& p, const Specs&... specs) {
    p.readStructBegin();
    for (;;) {
        std::uint8_t type = 0;
        std::int16_t id = 0;
        p.readFieldBegin(&type, &id);
        if (type == static_cast<std::uint8_t>(PackType::Stop)) break;
        const bool read = ((id == specs.id && type == static_cast<std::uint8_t>(PackCodec<typename Specs::T>::kType) &&
                            (Specs::readMemory(r, p), true)) ||
                           ...);
        if (!read) p.skip(type);
    }
    p.readStructEnd();
}
template <class R, class P, class... Specs>
void packSpecsWrite(const R& r, P& p, const Specs&... specs) {
    (specs.writeBinary(r, p), ...);
    p.writeFieldStop();
}
// A record's write into memory: its fields, then the stop byte.
template <class R, class... Specs>
[[gnu::always_inline]] inline PackCursor packSpecsPut(const R& r, PackMemoryWriter& w, PackCursor c, const Specs&... specs) {
    ((c = specs.put(r, w, c)), ...);
    *c.at++ = 0;
    return c;
}

// Base of every record: the writer emits set fields holding a value in id order, then the stop byte;
// the reader stores known ids of the expected type and skips the rest. On the binary protocol the
// whole record is written and read with direct calls.
template <class R>
class PackStruct {
public:
    void write(TPKProtocol& p) const {
        if (auto* binary = dynamic_cast<TPKBinaryProtocol*>(&p)) {
            writeFields(*binary);
        } else {
            writeFields(p);
        }
    }
    void read(TPKProtocol& p) {
        if (auto* binary = dynamic_cast<TPKBinaryProtocol*>(&p)) {
            readFields(*binary);
        } else {
            readFields(p);
        }
    }
    bool operator==(const PackStruct&) const = default;

    // write() and read() once the protocol's kind is known (P is TPKProtocol or TPKBinaryProtocol;
    // readFields also the memory reader).
    template <class P>
    void writeFields(P& p) const {
        const R& self = static_cast<const R&>(*this);
        if constexpr (std::is_same_v<P, TPKBinaryProtocol>) {
            self.writeBinaryFields(p);  // struct begin and end write nothing in the binary form
        } else {
            writeThroughTable(self, p);
        }
    }
    template <class P>
    void readFields(P& p) {
        R& self = static_cast<R&>(*this);
        if constexpr (std::is_same_v<P, PackMemoryReader>) {
            self.readMemoryFields(p);
        } else {
            if constexpr (std::is_same_v<P, TPKBinaryProtocol>) {
                if (PackBinaryAccess::readFromMemory(p, self)) return;  // the bytes are all in memory
            }
            readThroughTable(self, p);
        }
    }

private:
    // The general write: each field written through its row of the record's table.
    template <class P>
    static void writeThroughTable(const R& self, P& p) {
        p.writeStructBegin(R::kStructName);
        for (const auto& f : R::fieldTable()) {
            if (!f.shouldWrite(self)) continue;
            p.writeFieldBegin(f.name, static_cast<std::uint8_t>(f.type), f.id);
            f.writeWith(self, p);
            p.writeFieldEnd();
        }
        p.writeFieldStop();
        p.writeStructEnd();
    }
    // The general read: each field looked up in the record's table and read through its row.
    template <class P>
    static void readThroughTable(R& self, P& p) {
        p.readStructBegin();
        for (;;) {
            std::uint8_t type = 0;
            std::int16_t id = 0;
            p.readFieldBegin(&type, &id);
            if (type == static_cast<std::uint8_t>(PackType::Stop)) break;
            // Tables list ids in order, mostly from 1 without gaps: the row at id - 1 is tried first.
            const auto table = R::fieldTable();
            const PackFieldInfo<R>* field = nullptr;
            if (id >= 1 && static_cast<std::size_t>(id) <= table.size() && table[static_cast<std::size_t>(id) - 1].id == id) {
                field = &table[static_cast<std::size_t>(id) - 1];
            } else {
                for (const auto& f : table) {
                    if (f.id == id) {
                        field = &f;
                        break;
                    }
                }
            }
            if (field && static_cast<std::uint8_t>(field->type) == type) {
                field->readWith(self, p);
            } else {
                TPKProtocolUtil::skipType(type, p);
            }
            p.readFieldEnd();
        }
        p.readStructEnd();
    }
};

// Declares a field's storage and its four accessors: name(), setName(v), nameIsSet(), unsetName().
#define LV_PACK_FIELD(Type, name, Name)                              \
public:                                                              \
    const Type& name() const { return name##_.get(); }               \
    void set##Name(Type value) { name##_.set(std::move(value)); }    \
    bool name##IsSet() const { return name##_.isSet(); }             \
    void unset##Name() { name##_.unset(); }                          \
                                                                     \
private:                                                             \
    ::lv::PackField<Type> name##_;

// Declares a record's name, its field table (defined with LV_PACK_TABLE), value equality, and a
// default constructor of its own: every field has its initial value, so a record made in place (a
// list's element, a map's value) is not first filled with zeros as value-initialization would.
#define LV_PACK_RECORD(Record)                                                   \
    LV_PACK_RECORD_TABLE(Record)                                                 \
    Record() {}                                                                  \
    bool operator==(const Record&) const = default;
#define LV_PACK_RECORD_TABLE(Record)                                             \
public:                                                                          \
    static constexpr std::string_view kStructName = #Record;                     \
    static std::span<const ::lv::PackFieldInfo<Record>> fieldTable();          \
    /* The bytes the binary form of the record takes, and that form written. */ \
    std::uint64_t packedSize() const;                                          \
    void writeBinaryFields(::lv::TPKBinaryProtocol& p) const;                  \
    /* The record read from bytes in memory, and written into memory. */      \
    void readMemoryFields(::lv::PackMemoryReader& p);                         \
    ::lv::PackCursor writeMemoryFields(::lv::PackMemoryWriter& w, ::lv::PackCursor c) const;

#define LV_PACK_TABLE(Record, ...)                                               \
    std::span<const ::lv::PackFieldInfo<Record>> Record::fieldTable() {          \
        static const ::lv::PackFieldInfo<Record> table[] = {__VA_ARGS__};        \
        return table;                                                            \
    }                                                                            \
    [[gnu::flatten]] std::uint64_t Record::packedSize() const {                                \
        return ::lv::packSpecsSize(*this, __VA_ARGS__);                          \
    }                                                                            \
    void Record::writeBinaryFields(::lv::TPKBinaryProtocol& p) const {           \
        ::lv::packSpecsWrite(*this, p, __VA_ARGS__);                             \
    }                                                                            \
    void Record::readMemoryFields(::lv::PackMemoryReader& p) {                   \
        ::lv::packSpecsRead(*this, p, __VA_ARGS__);                              \
    }                                                                            \
    [[gnu::flatten]] ::lv::PackCursor Record::writeMemoryFields(::lv::PackMemoryWriter& w, ::lv::PackCursor c) const { \
        return ::lv::packSpecsPut(*this, w, c, __VA_ARGS__);                     \
    }

// Field kinds: text, lists and maps may be set to nothing.
using PackText = std::optional<std::string>;
template <class T>
using PackList = std::optional<std::vector<T>>;
template <class T>
using PackMap = std::optional<std::map<std::string, T>>;

// Writes a record into a fresh buffer and returns its bytes; reads one from bytes.
template <class R>
Bytes packBytes(const R& record) {
    // Counted first, so that the bytes are written into one buffer of their exact size.
    const std::uint64_t size = record.packedSize();
    if (size <= UINT32_MAX) {
        PackMemoryWriter writer(static_cast<std::size_t>(size));
        return writer.take(record.writeMemoryFields(writer, writer.start()));
    }
    TPKMemoryBuffer buffer;
    TPKBinaryProtocol protocol(buffer);
    record.writeFields(protocol);
    return buffer.takeBuffer();
}
template <class R>
R unpackBytes(std::span<const std::uint8_t> bytes) {
    PackMemoryReader in(bytes.data(), bytes.size());
    R record;
    record.readMemoryFields(in);
    return record;
}

}  // namespace lv
