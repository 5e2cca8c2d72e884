// Binary property lists ("bplist00"): objects, an offset table and a 32-byte trailer (offset size,
// reference size, object count, top object, offset-table offset), all integers big-endian.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_map>

#include "platform/base/big_endian.h"
#include "platform/storage/detail/plist_codec.h"
#include "platform/storage/detail/value_access.h"

namespace lv::detail {

namespace {

constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kTrailerSize = 32;

class BinaryReader {
public:
    BinaryReader(std::span<const std::uint8_t> data, bool uidsAsObjects) : data_(data), uidsAsObjects_(uidsAsObjects) {}

    Value read(std::string* failure) {
        if (!readTrailer()) return refuse(failure, "Damaged binary property list: bad trailer or offset table");
        states_.assign(static_cast<std::size_t>(count_), {});
        // Shared containers are converted once, but whoever walks the value visits them each time:
        // the expanded size is bounded by the input's size.
        budget_ = 2 * static_cast<std::uint64_t>(data_.size()) + (1u << 16);
        Value value = object(top_, 1);
        if (value.isNil()) return refuse(failure, failure_.empty() ? "Damaged binary property list" : failure_.c_str());
        return value;
    }

private:
    struct State {
        enum : std::uint8_t { Unread, Reading, Read } phase = Unread;
        std::uint16_t height = 0;     // containers nested in it, itself included
        std::uint64_t expanded = 0;   // objects when every reference is followed
        Value value;
    };

    static Value refuse(std::string* failure, const char* why) {
        *failure = why;
        return {};
    }
    Value fail(const char* why) {
        if (failure_.empty()) failure_ = why;
        return {};
    }

    bool readTrailer() {
        if (data_.size() < kHeaderSize + 1 + kTrailerSize) return false;
        const std::uint8_t* trailer = data_.data() + data_.size() - kTrailerSize;
        offsetSize_ = trailer[6];
        refSize_ = trailer[7];
        count_ = loadBig(trailer + 8, 8);
        top_ = loadBig(trailer + 16, 8);
        tableOffset_ = loadBig(trailer + 24, 8);
        end_ = data_.size() - kTrailerSize;
        if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return false;
        if (count_ == 0 || top_ >= count_ || tableOffset_ < kHeaderSize || tableOffset_ > end_) return false;
        if (count_ > (end_ - tableOffset_) / offsetSize_) return false;
        return true;
    }

    // The object's bytes run from its offset to the offset table.
    bool offsetOf(std::uint64_t index, std::uint64_t& offset) const {
        offset = loadBig(data_.data() + tableOffset_ + index * offsetSize_, offsetSize_);
        return offset >= kHeaderSize && offset < tableOffset_;
    }
    bool has(std::uint64_t at, std::uint64_t length) const { return at <= tableOffset_ && length <= tableOffset_ - at; }

    // Element count from the marker's low nibble or the integer object after it.
    bool lengthAt(std::uint64_t& at, unsigned nibble, std::uint64_t& length) const {
        if (nibble != 0x0F) {
            length = nibble;
            return true;
        }
        if (!has(at, 1)) return false;
        const std::uint8_t marker = data_[at];
        if ((marker & 0xF0) != 0x10 || (marker & 0x0F) > 3) return false;
        const unsigned bytes = 1u << (marker & 0x0F);
        if (!has(at + 1, bytes)) return false;
        length = loadBig(data_.data() + at + 1, bytes);
        at += 1 + bytes;
        return true;
    }

    Value object(std::uint64_t index, int depth) {
        if (index >= count_) return fail("Damaged binary property list: object reference out of range");
        State& state = states_[static_cast<std::size_t>(index)];
        if (state.phase == State::Reading) return fail("Damaged binary property list: a container that contains itself");
        if (state.phase == State::Read) {
            if (depth - 1 + state.height > kMaxPlistDepth) return fail("Too many nested arrays or dictionaries");
            return spend(state.expanded) ? state.value : Value();
        }
        std::uint64_t at = 0;
        if (!offsetOf(index, at)) return fail("Damaged binary property list: object offset out of range");
        const std::uint8_t marker = data_[at++];
        const unsigned nibble = marker & 0x0F;
        if ((marker & 0xF0) == 0xA0 || (marker & 0xF0) == 0xC0 || (marker & 0xF0) == 0xD0) {
            if (depth > kMaxPlistDepth) return fail("Too many nested arrays or dictionaries");
            state.phase = State::Reading;
            Value value = container(marker, nibble, at, depth, state.height, state.expanded);
            State& done = states_[static_cast<std::size_t>(index)];
            done.phase = value.isNil() ? State::Unread : State::Read;
            done.value = value;
            return value;
        }
        Value value = scalar(marker, nibble, at);
        if (value.isNil()) return value;
        state.phase = State::Read;
        state.height = 0;
        state.expanded = 1;
        state.value = value;
        return spend(1) ? value : Value();
    }

    bool spend(std::uint64_t n) {
        if (n > budget_) {
            fail("Damaged binary property list: too many shared references");
            return false;
        }
        budget_ -= n;
        return true;
    }

    Value scalar(std::uint8_t marker, unsigned nibble, std::uint64_t at) {
        switch (marker & 0xF0) {
            case 0x00:
                if (marker == 0x08 || marker == 0x09) return Value(marker == 0x09);
                return fail("Damaged binary property list: null or fill object");
            case 0x10: {
                if (nibble > 4) return fail("Damaged binary property list: bad integer");
                const unsigned bytes = 1u << nibble;
                if (!has(at, bytes)) return fail("Damaged binary property list: truncated integer");
                const std::uint8_t* p = data_.data() + at;
                if (bytes < 8) return Value(static_cast<std::int64_t>(loadBig(p, bytes)));
                if (bytes == 8) return Value(static_cast<std::int64_t>(loadBig(p, 8)));
                // 16 bytes: an unsigned number above the signed range, or a sign-extended negative one.
                const std::uint64_t high = loadBig(p, 8), low = loadBig(p + 8, 8);
                if (high == 0) return low > static_cast<std::uint64_t>(INT64_MAX) ? Value(low) : Value(static_cast<std::int64_t>(low));
                if (high == ~std::uint64_t{0} && (low >> 63) != 0) return Value(static_cast<std::int64_t>(low));
                return fail("Damaged binary property list: integer beyond 64 bits");
            }
            case 0x20:
            case 0x30: {
                if (nibble != 2 && nibble != 3) return fail("Damaged binary property list: bad real or date");
                if ((marker & 0xF0) == 0x30 && nibble != 3) return fail("Damaged binary property list: bad date");
                const unsigned bytes = nibble == 2 ? 4 : 8;
                if (!has(at, bytes)) return fail("Damaged binary property list: truncated real");
                const std::uint64_t bits = loadBig(data_.data() + at, bytes);
                const double d = bytes == 4 ? static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(bits)))
                                            : std::bit_cast<double>(bits);
                if ((marker & 0xF0) == 0x20) return Value(d);
                if (!std::isfinite(d)) return fail("Damaged binary property list: a date that is not a number");
                return Value(Date::fromSinceReferenceDate(d));
            }
            case 0x40: {
                std::uint64_t length = 0;
                if (!lengthAt(at, nibble, length) || !has(at, length)) return fail("Damaged binary property list: truncated data");
                const auto* p = data_.data() + at;
                return Value(Bytes(p, p + length));
            }
            case 0x50: {
                std::uint64_t length = 0;
                if (!lengthAt(at, nibble, length) || !has(at, length)) return fail("Damaged binary property list: truncated string");
                std::string text(reinterpret_cast<const char*>(data_.data() + at), static_cast<std::size_t>(length));
                for (char c : text) {
                    if (c == 0 || static_cast<unsigned char>(c) >= 0x80) {
                        return fail("Damaged binary property list: an ASCII string with NUL or a non-ASCII byte");
                    }
                }
                return Value(std::move(text));
            }
            case 0x60: {
                std::uint64_t length = 0;
                if (!lengthAt(at, nibble, length) || length > tableOffset_ / 2 || !has(at, length * 2)) {
                    return fail("Damaged binary property list: truncated string");
                }
                std::u16string units(static_cast<std::size_t>(length), u'\0');
                for (std::size_t i = 0; i < units.size(); ++i) {
                    units[i] = static_cast<char16_t>(loadBig(data_.data() + at + 2 * i, 2));
                }
                for (std::size_t i = 0; i < units.size(); ++i) {
                    const bool high = units[i] >= 0xD800 && units[i] < 0xDC00;
                    const bool low = units[i] >= 0xDC00 && units[i] < 0xE000;
                    if (low || (high && (i + 1 == units.size() || units[i + 1] < 0xDC00 || units[i + 1] >= 0xE000))) {
                        return fail("Damaged binary property list: a string with unpaired surrogates");
                    }
                    if (high) ++i;
                }
                std::string text = fromUtf16(units);
                if (!plistStringIsValid(text, false)) {
                    return fail("Damaged binary property list: a string with NUL or unpaired surrogates");
                }
                return Value(std::move(text));
            }
            case 0x80: {
                if (nibble > 7 || !has(at, nibble + 1)) return fail("Damaged binary property list: bad UID");
                const std::uint64_t uid = loadBig(data_.data() + at, nibble + 1);
                if (uidsAsObjects_) return makeUID(uid);
                return Value::dictionary({{"CF$UID", uid > static_cast<std::uint64_t>(INT64_MAX)
                                                         ? Value(uid)
                                                         : Value(static_cast<std::int64_t>(uid))}});
            }
            default: return fail("Damaged binary property list: unknown object type");
        }
    }

    Value container(std::uint8_t marker, unsigned nibble, std::uint64_t at, int depth, std::uint16_t& height,
                    std::uint64_t& expanded) {
        std::uint64_t length = 0;
        const bool isDictionary = (marker & 0xF0) == 0xD0;
        const std::uint64_t perEntry = (isDictionary ? 2 : 1) * refSize_;
        if (!lengthAt(at, nibble, length) || length > tableOffset_ / perEntry || !has(at, length * perEntry)) {
            return fail("Damaged binary property list: truncated array or dictionary");
        }
        auto ref = [&](std::uint64_t k) { return loadBig(data_.data() + at + k * refSize_, refSize_); };
        const std::uint64_t before = budget_;
        if (!spend(1)) return {};
        int deepest = 0;
        auto child = [&](std::uint64_t k) {
            Value v = object(ref(k), depth + 1);
            if (!v.isNil()) deepest = std::max<int>(deepest, states_[static_cast<std::size_t>(ref(k))].height);
            return v;
        };
        Value result;
        if (isDictionary) {
            Dictionary entries;
            entries.reserve(static_cast<std::size_t>(length));
            for (std::uint64_t k = 0; k < length; ++k) {
                Value key = child(k);
                if (key.isNil()) return {};
                if (!key.isString()) return fail("Damaged binary property list: a dictionary key that is not a string");
                Value item = child(length + k);
                if (item.isNil()) return {};
                entries.appendUnsorted(key.string(), std::move(item));
            }
            entries.finishAppending();
            result = Value(std::move(entries));
        } else {
            Array items;
            items.reserve(static_cast<std::size_t>(length));
            for (std::uint64_t k = 0; k < length; ++k) {
                Value item = child(k);
                if (item.isNil()) return {};
                items.push_back(std::move(item));
            }
            result = Value(std::move(items));
        }
        height = static_cast<std::uint16_t>(deepest + 1);
        expanded = before - budget_;
        return result;
    }

    std::span<const std::uint8_t> data_;
    bool uidsAsObjects_;
    unsigned offsetSize_ = 0, refSize_ = 0;
    std::uint64_t count_ = 0, top_ = 0, tableOffset_ = 0, end_ = 0;
    std::vector<State> states_;
    std::uint64_t budget_ = 0;
    std::string failure_;
};

}  // namespace

// ---- writing ----

void putBigEndian(Bytes& out, std::uint64_t v, unsigned n) {
    for (unsigned i = n; i-- > 0;) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

unsigned bytesFor(std::uint64_t v) { return v <= 0xFF ? 1 : v <= 0xFFFF ? 2 : v <= 0xFFFFFFFF ? 4 : 8; }

void putInteger(Bytes& out, std::uint64_t v, bool negative) {
    if (negative) {
        out.push_back(0x13);
        putBigEndian(out, v, 8);
    } else if (v > static_cast<std::uint64_t>(INT64_MAX)) {
        out.push_back(0x14);
        putBigEndian(out, 0, 8);
        putBigEndian(out, v, 8);
    } else {
        const unsigned n = bytesFor(v);
        out.push_back(static_cast<std::uint8_t>(0x10 | std::countr_zero(n)));
        putBigEndian(out, v, n);
    }
}

void putMarker(Bytes& out, std::uint8_t type, std::uint64_t length) {
    if (length < 15) {
        out.push_back(static_cast<std::uint8_t>(type | length));
        return;
    }
    out.push_back(static_cast<std::uint8_t>(type | 0x0F));
    putInteger(out, length, false);
}

void putNumber(Bytes& out, const Number& n) {
    if (n.isBool()) {
        out.push_back(n.boolValue() ? 0x09 : 0x08);
    } else if (n.isFloatingPoint()) {
        out.push_back(0x23);
        putBigEndian(out, std::bit_cast<std::uint64_t>(n.doubleValue()), 8);
    } else if (n.isUnsigned()) {
        putInteger(out, n.unsignedLongLongValue(), false);
    } else {
        putInteger(out, static_cast<std::uint64_t>(n.longLongValue()), n.longLongValue() < 0);
    }
}

void putText(Bytes& out, std::string_view text) {
    const bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) {
        putMarker(out, 0x50, text.size());
        out.insert(out.end(), text.begin(), text.end());
    } else {
        const std::u16string units = toUtf16(text);
        putMarker(out, 0x60, units.size());
        for (char16_t unit : units) putBigEndian(out, unit, 2);
    }
}

namespace {

// Flattens the value into the object list (each object before its contents, dictionary keys before
// values); scalars with equal encodings are written once.
class BinaryWriter {
public:
    Bytes write(const Value& root) {
        add(root);
        const std::uint64_t count = objects_.size();
        const unsigned refSize = bytesFor(count - 1);
        Bytes out{'b', 'p', 'l', 'i', 's', 't', '0', '0'};
        std::vector<std::uint64_t> offsets;
        offsets.reserve(objects_.size());
        for (const Object& object : objects_) {
            offsets.push_back(out.size());
            if (object.refs.empty() && object.marker == 0) {
                out.insert(out.end(), object.bytes.begin(), object.bytes.end());
                continue;
            }
            const std::uint64_t length = object.marker == 0xD0 ? object.refs.size() / 2 : object.refs.size();
            putMarker(out, object.marker, length);
            for (std::uint64_t ref : object.refs) putBigEndian(out, ref, refSize);
        }
        const std::uint64_t tableOffset = out.size();
        const unsigned offsetSize = bytesFor(offsets.back());
        for (std::uint64_t offset : offsets) putBigEndian(out, offset, offsetSize);
        out.insert(out.end(), 6, 0);
        out.push_back(static_cast<std::uint8_t>(offsetSize));
        out.push_back(static_cast<std::uint8_t>(refSize));
        putBigEndian(out, count, 8);
        putBigEndian(out, 0, 8);
        putBigEndian(out, tableOffset, 8);
        return out;
    }

private:
    struct Object {
        std::uint8_t marker = 0;  // 0xA0 or 0xD0 for containers, 0 for scalars
        std::vector<std::uint64_t> refs;
        std::string bytes;        // a scalar's whole encoding
    };

    std::uint64_t scalar(const Bytes& encoded) {
        std::string key(encoded.begin(), encoded.end());
        auto [it, added] = scalars_.emplace(std::move(key), objects_.size());
        if (added) objects_.push_back({0, {}, it->first});
        return it->second;
    }

    std::uint64_t string(const std::string& text) {
        Bytes out;
        putText(out, text);
        return scalar(out);
    }

    std::uint64_t add(const Value& value) {
        Bytes out;
        switch (value.type()) {
            case Value::Type::Number: putNumber(out, numberOf(value)); break;
            case Value::Type::Decimal: putNumber(out, numberOf(plistNumberOfDecimal(decimalOf(value)))); break;
            case Value::Type::String: return string(value.string());
            case Value::Type::Data:
                putMarker(out, 0x40, value.bytes().size());
                out.insert(out.end(), value.bytes().begin(), value.bytes().end());
                break;
            case Value::Type::Date:
                out.push_back(0x33);
                putBigEndian(out, std::bit_cast<std::uint64_t>(dateOf(value).sinceReferenceDate()), 8);
                break;
            case Value::Type::Object: {
                const std::uint64_t uid = uidOf(value).value_or(0);
                const unsigned n = bytesFor(uid);
                out.push_back(static_cast<std::uint8_t>(0x80 | (n - 1)));
                putBigEndian(out, uid, n);
                break;
            }
            case Value::Type::Array: {
                const std::uint64_t index = objects_.size();
                objects_.push_back({0xA0, {}, {}});
                std::vector<std::uint64_t> refs;
                refs.reserve(value.array().size());
                for (const Value& item : value.array()) refs.push_back(add(item));
                objects_[index].refs = std::move(refs);
                return index;
            }
            case Value::Type::Dictionary: {
                const std::uint64_t index = objects_.size();
                objects_.push_back({0xD0, {}, {}});
                std::vector<std::uint64_t> refs;
                refs.reserve(value.dictionary().size() * 2);
                for (const auto& entry : value.dictionary()) refs.push_back(string(entry.first));
                for (const auto& entry : value.dictionary()) refs.push_back(add(entry.second));
                objects_[index].refs = std::move(refs);
                return index;
            }
            case Value::Type::Nil:
            case Value::Type::Null: break;  // refused before writing
        }
        return scalar(out);
    }

    std::vector<Object> objects_;
    std::unordered_map<std::string, std::uint64_t> scalars_;
};

}  // namespace

Value readBinaryPlist(std::span<const std::uint8_t> data, bool uidsAsObjects, std::string* failure) {
    return BinaryReader(data, uidsAsObjects).read(failure);
}

Bytes writeBinaryPlist(const Value& value) { return BinaryWriter().write(value); }

}  // namespace lv::detail
