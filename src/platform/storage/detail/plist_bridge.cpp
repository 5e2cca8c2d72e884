#include "platform/storage/detail/plist_bridge.h"
#include "platform/storage/detail/value_access.h"

#include <plist/plist.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/base/format.h"

namespace lv::detail {

void PlistFree::operator()(void* node) const {
    if (node) plist_free(static_cast<plist_t>(node));
}

namespace {

bool startsWith(std::span<const std::uint8_t> data, std::string_view prefix) {
    return data.size() >= prefix.size() && std::memcmp(data.data(), prefix.data(), prefix.size()) == 0;
}

// XML when the first thing after white space (and a UTF-8 byte-order mark) is "<".
bool looksLikeXml(std::span<const std::uint8_t> data) {
    std::size_t i = startsWith(data, "\xEF\xBB\xBF") ? 3 : 0;
    while (i < data.size() && (data[i] == ' ' || data[i] == '\t' || data[i] == '\r' || data[i] == '\n')) ++i;
    return i < data.size() && data[i] == '<';
}

// Reads a big-endian unsigned integer of n bytes (1..8) at the offset; false when out of bounds.
bool readBigEndian(std::span<const std::uint8_t> data, std::uint64_t offset, unsigned n, std::uint64_t& out) {
    if (n == 0 || n > 8 || offset > data.size() || data.size() - offset < n) return false;
    out = 0;
    for (unsigned i = 0; i < n; ++i) out = (out << 8) | data[static_cast<std::size_t>(offset) + i];
    return true;
}

// Guards run before libplist sees outside input. libplist stops the process on a dictionary key with
// a NUL character, and it reads and frees nested containers recursively, so deep nesting exhausts the
// stack. Input with either is refused here; anything else that is malformed is left for libplist to
// reject.

// XML: the nesting depth of <array> and <dict> elements.
bool xmlNestingIsSafe(std::span<const std::uint8_t> data) {
    const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    int depth = 0;
    for (std::size_t at = text.find('<'); at != std::string_view::npos; at = text.find('<', at + 1)) {
        const bool closing = at + 1 < text.size() && text[at + 1] == '/';
        const std::size_t nameStart = at + (closing ? 2 : 1);
        std::size_t nameLength = 0;
        if (text.compare(nameStart, 5, "array") == 0) nameLength = 5;
        else if (text.compare(nameStart, 4, "dict") == 0) nameLength = 4;
        if (nameLength == 0) continue;
        const std::size_t after = nameStart + nameLength;
        if (after < text.size() && text[after] != '>' && text[after] != '/' && text[after] != ' ' &&
            text[after] != '\t' && text[after] != '\r' && text[after] != '\n') {
            continue;  // another element whose name starts the same way
        }
        if (closing) {
            --depth;
            continue;
        }
        const std::size_t end = text.find('>', after);
        if (end == std::string_view::npos) return true;  // unterminated: libplist rejects it
        if (text[end - 1] == '/') continue;               // <array/>
        if (++depth > kMaxPlistDepth) return false;
    }
    return true;
}

// Binary: walks the object table once, noting every object used as a dictionary key (whose strings
// must not hold NUL) and the nesting depth of arrays, sets and dictionaries from the top object.
bool binaryIsSafe(std::span<const std::uint8_t> data) {
    if (data.size() < 40) return true;
    const std::size_t trailer = data.size() - 32;
    const unsigned offsetSize = data[trailer + 6];
    const unsigned refSize = data[trailer + 7];
    std::uint64_t count = 0, tableOffset = 0;
    if (!readBigEndian(data, trailer + 8, 8, count) || !readBigEndian(data, trailer + 24, 8, tableOffset)) return true;
    if (offsetSize == 0 || offsetSize > 8 || refSize == 0 || refSize > 8) return true;
    if (tableOffset > trailer || count > (trailer - tableOffset) / offsetSize) return true;

    auto objectOffset = [&](std::uint64_t index, std::uint64_t& offset) {
        return index < count && readBigEndian(data, tableOffset + index * offsetSize, offsetSize, offset) &&
               offset < trailer;
    };
    // Length of the object at offset (low nibble, or a following integer object); the start of its
    // contents goes to start.
    auto lengthOf = [&](std::uint64_t offset, std::uint64_t& length, std::uint64_t& start) {
        length = data[static_cast<std::size_t>(offset)] & 0x0F;
        start = offset + 1;
        if (length != 0x0F) return true;
        if (start >= trailer) return false;
        const std::uint8_t marker = data[static_cast<std::size_t>(start)];
        if ((marker & 0xF0) != 0x10 || (marker & 0x0F) > 3) return false;
        const unsigned bytes = 1u << (marker & 0x0F);
        if (!readBigEndian(data, start + 1, bytes, length)) return false;
        start += 1 + bytes;
        return true;
    };

    // Children of a container object (keys then values for dictionaries); empty for other objects.
    auto childrenOf = [&](std::uint64_t index, std::vector<std::uint64_t>& out, bool& isDictionary) {
        out.clear();
        std::uint64_t offset = 0, length = 0, start = 0;
        if (!objectOffset(index, offset)) return;
        const std::uint8_t type = data[static_cast<std::size_t>(offset)] & 0xF0;
        isDictionary = type == 0xD0;
        if (type != 0xA0 && type != 0xC0 && !isDictionary) return;
        if (!lengthOf(offset, length, start) || length > trailer / refSize) return;
        const std::uint64_t refs = isDictionary ? length * 2 : length;
        for (std::uint64_t k = 0; k < refs; ++k) {
            std::uint64_t ref = 0;
            if (readBigEndian(data, start + k * refSize, refSize, ref)) out.push_back(ref);
        }
    };

    std::vector<std::uint64_t> keys;
    std::vector<std::uint64_t> children;
    bool isDictionary = false;
    for (std::uint64_t i = 0; i < count; ++i) {
        childrenOf(i, children, isDictionary);
        if (isDictionary) keys.insert(keys.end(), children.begin(), children.begin() + static_cast<std::ptrdiff_t>(children.size() / 2));
    }

    // Depth of every container, iteratively with an explicit stack; a cycle (which libplist refuses)
    // ends the walk.
    std::uint64_t top = 0;
    if (!readBigEndian(data, trailer + 16, 8, top) || top >= count) return true;
    std::vector<std::uint16_t> depthOf(static_cast<std::size_t>(count), 0);  // 0: not reached yet
    struct Frame {
        std::uint64_t index;
        std::uint16_t depth;
    };
    std::vector<Frame> pending{{top, 1}};
    while (!pending.empty()) {
        const Frame frame = pending.back();
        pending.pop_back();
        if (frame.depth > kMaxPlistDepth) return false;
        auto& seen = depthOf[static_cast<std::size_t>(frame.index)];
        if (seen >= frame.depth) continue;
        seen = frame.depth;
        childrenOf(frame.index, children, isDictionary);
        for (std::uint64_t child : children) {
            if (child < count) pending.push_back({child, static_cast<std::uint16_t>(frame.depth + 1)});
        }
    }
    for (std::uint64_t key : keys) {
        std::uint64_t offset = 0, length = 0, start = 0;
        if (!objectOffset(key, offset) || !lengthOf(offset, length, start)) continue;
        const std::uint8_t type = data[static_cast<std::size_t>(offset)] & 0xF0;
        const std::uint64_t unit = type == 0x50 ? 1 : type == 0x60 ? 2 : 0;
        if (unit == 0 || length > trailer || start + length * unit > trailer) continue;
        for (std::uint64_t c = 0; c < length; ++c) {
            const std::size_t at = static_cast<std::size_t>(start + c * unit);
            if (data[at] == 0 && (unit == 1 || data[at + 1] == 0)) return false;
        }
    }
    return true;
}

const char* typeName(const Value& value) {
    switch (value.type()) {
        case Value::Type::Nil: return "nil";
        case Value::Type::Null: return "Null";
        case Value::Type::Object: return "Object";
        default: return "value";
    }
}

struct KeyFree {
    void operator()(char* p) const { std::free(p); }
};

Value convert(plist_t node, int depth, std::string* failure) {
    if (depth > kMaxPlistDepth) {
        if (failure && failure->empty()) *failure = "Too many nested arrays or dictionaries";
        return {};
    }
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN:
        case PLIST_UINT:
        case PLIST_REAL: return numberFromPlist(node);
        case PLIST_STRING:
        case PLIST_KEY: {
            uint64_t length = 0;
            const char* text = plist_get_string_ptr(node, &length);
            if (text) return Value(std::string(text, static_cast<std::size_t>(length)));
            char* copy = nullptr;
            plist_get_key_val(node, &copy);
            std::unique_ptr<char, KeyFree> owned(copy);
            return Value(std::string(copy ? copy : ""));
        }
        case PLIST_DATA: {
            uint64_t length = 0;
            const char* bytes = plist_get_data_ptr(node, &length);
            const auto* begin = reinterpret_cast<const std::uint8_t*>(bytes);
            return Value(bytes ? Bytes(begin, begin + length) : Bytes());
        }
        case PLIST_DATE: {
            const auto seconds = dateSecondsFromPlist(node);
            return seconds ? Value(Date::fromSinceReferenceDate(*seconds)) : Value();
        }
        case PLIST_UID: {
            uint64_t uid = 0;
            plist_get_uid_val(node, &uid);
            return Value::dictionary({{"CF$UID", Value(static_cast<std::int64_t>(uid))}});
        }
        case PLIST_ARRAY: {
            Array items;
            items.reserve(plist_array_get_size(node));
            plist_array_iter iter = nullptr;
            plist_array_new_iter(node, &iter);
            for (;;) {
                plist_t item = nullptr;
                plist_array_next_item(node, iter, &item);
                if (!item) break;
                Value value = convert(item, depth + 1, failure);
                if (value.isNil()) {
                    std::free(iter);
                    return {};
                }
                items.push_back(std::move(value));
            }
            std::free(iter);
            return Value(std::move(items));
        }
        case PLIST_DICT: {
            Dictionary entries;
            entries.reserve(plist_dict_get_size(node));
            plist_dict_iter iter = nullptr;
            plist_dict_new_iter(node, &iter);
            for (;;) {
                char* key = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, iter, &key, &item);
                std::unique_ptr<char, KeyFree> ownedKey(key);
                if (!item) break;
                Value value = convert(item, depth + 1, failure);
                if (value.isNil()) {
                    std::free(iter);
                    return {};
                }
                entries.appendUnsorted(std::string(key ? key : ""), std::move(value));
            }
            std::free(iter);
            entries.finishAppending();
            return Value(std::move(entries));
        }
        case PLIST_NONE:
        default:
            if (failure && failure->empty()) *failure = "Unknown object type";
            return {};
    }
}

PlistPtr build(const Value& value, int depth, std::string* failure) {
    auto refuse = [&](std::string why) {
        if (failure && failure->empty()) *failure = std::move(why);
        return PlistPtr();
    };
    if (depth > kMaxPlistDepth) return refuse("Too many nested arrays or dictionaries");
    switch (value.type()) {
        case Value::Type::Number: {
            const Number n = numberOf(value);
            if (n.isBool()) return PlistPtr(plist_new_bool(n.boolValue() ? 1 : 0));
            if (n.isFloatingPoint()) return PlistPtr(plist_new_real(n.doubleValue()));
            if (n.isUnsigned()) return PlistPtr(plist_new_uint(n.unsignedLongLongValue()));
            return PlistPtr(plist_new_uint(static_cast<uint64_t>(n.longLongValue())));
        }
        case Value::Type::Decimal: {
            const Decimal d = decimalOf(value);
            if (d.isNaN()) return PlistPtr(plist_new_real(std::numeric_limits<double>::quiet_NaN()));
            if (d.exponent() >= 0 && d.exponent() <= 18) {
                const double asDouble = d.doubleValue();
                if (std::fabs(asDouble) < 9.2e18) return PlistPtr(plist_new_uint(static_cast<uint64_t>(d.longLongValue())));
            }
            return PlistPtr(plist_new_real(d.doubleValue()));
        }
        case Value::Type::String:
            if (value.string().find('\0') != std::string::npos) return refuse("A string with a NUL character");
            return PlistPtr(plist_new_string(value.string().c_str()));
        case Value::Type::Data: {
            const Bytes& bytes = value.bytes();
            return PlistPtr(plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        }
        case Value::Type::Date: {
            void* node = newPlistDate(dateOf(value));
            if (!node) return refuse("Date out of range for a property list: " + dateOf(value).description());
            return PlistPtr(node);
        }
        case Value::Type::Array: {
            PlistPtr array(plist_new_array());
            for (const Value& item : value.array()) {
                PlistPtr child = build(item, depth + 1, failure);
                if (!child) return {};
                plist_array_append_item(array.get(), child.release());
            }
            return array;
        }
        case Value::Type::Dictionary: {
            PlistPtr dict(plist_new_dict());
            for (const auto& [key, item] : value.dictionary()) {
                if (key.find('\0') != std::string::npos) return refuse("Dictionary key with a NUL character");
                PlistPtr child = build(item, depth + 1, failure);
                if (!child) return {};
                plist_dict_set_item(dict.get(), key.c_str(), child.release());
            }
            return dict;
        }
        default:
            return refuse(format("property lists cannot contain objects of type '%s'", typeName(value)));
    }
}

}  // namespace

PlistPtr parsePlist(std::span<const std::uint8_t> data, PropertyListFormat* format, std::string* failure) {
    auto reject = [&](const char* why) {
        if (failure) *failure = why;
        return PlistPtr();
    };
    if (data.empty()) return reject("Cannot parse a NULL or zero-length data");
    if (data.size() > std::numeric_limits<uint32_t>::max()) return reject("Property list too large");
    plist_t root = nullptr;
    const auto* bytes = reinterpret_cast<const char*>(data.data());
    const auto length = static_cast<uint32_t>(data.size());
    if (startsWith(data, "bplist00")) {
        if (format) *format = PropertyListFormat::Binary;
        if (!binaryIsSafe(data)) return reject("Damaged binary property list: nested too deeply or a key with NUL");
        plist_from_bin(bytes, length, &root);
        if (!root) return reject("Damaged binary property list");
    } else if (looksLikeXml(data)) {
        if (format) *format = PropertyListFormat::XML;
        if (!xmlNestingIsSafe(data)) return reject("Too many nested arrays or dictionaries");
        plist_from_xml(bytes, length, &root);
        if (!root) return reject("Damaged XML property list");
    } else {
        return reject("Unexpected character at the start of the data");
    }
    return PlistPtr(root);
}

std::optional<Bytes> serializePlist(void* node, PropertyListFormat format, std::string* failure) {
    char* out = nullptr;
    uint32_t length = 0;
    if (format == PropertyListFormat::XML) {
        plist_to_xml(static_cast<plist_t>(node), &out, &length);
    } else if (format == PropertyListFormat::Binary) {
        plist_to_bin(static_cast<plist_t>(node), &out, &length);
    } else {
        if (failure) *failure = format == PropertyListFormat::OpenStep ? "Writing the OpenStep format is not supported"
                                                                       : "Unknown property-list format";
        return std::nullopt;
    }
    if (!out) {
        if (failure) *failure = "The property list could not be written";
        return std::nullopt;
    }
    Bytes bytes(reinterpret_cast<std::uint8_t*>(out), reinterpret_cast<std::uint8_t*>(out) + length);
    if (format == PropertyListFormat::XML) plist_to_xml_free(out);
    else plist_to_bin_free(out);
    return bytes;
}

Value valueFromPlist(void* node, std::string* failure) {
    if (!node) return {};
    return convert(static_cast<plist_t>(node), 0, failure);
}

PlistPtr plistFromValue(const Value& value, std::string* failure) { return build(value, 0, failure); }

Value numberFromPlist(void* node) {
    auto* n = static_cast<plist_t>(node);
    switch (plist_get_node_type(n)) {
        case PLIST_BOOLEAN: {
            uint8_t b = 0;
            plist_get_bool_val(n, &b);
            return Value(b != 0);
        }
        case PLIST_UINT: {
            uint64_t u = 0;
            plist_get_uint_val(n, &u);
            return Value(static_cast<std::int64_t>(u));
        }
        case PLIST_REAL: {
            double d = 0;
            plist_get_real_val(n, &d);
            return Value(d);
        }
        default: return {};
    }
}

std::optional<double> dateSecondsFromPlist(void* node) {
    auto* n = static_cast<plist_t>(node);
    if (plist_get_node_type(n) != PLIST_DATE) return std::nullopt;
    int32_t sec = 0, usec = 0;
    plist_get_date_val(n, &sec, &usec);
    // The microseconds come back without their sign: a date before the reference date is the
    // seconds minus them.
    const double fraction = std::fabs(static_cast<double>(usec)) / 1e6;
    return sec < 0 ? static_cast<double>(sec) - fraction : static_cast<double>(sec) + fraction;
}

void* newPlistDate(const Date& date) {
    const double t = date.sinceReferenceDate();
    if (!std::isfinite(t) || t < std::numeric_limits<int32_t>::min() || t >= std::numeric_limits<int32_t>::max()) {
        return nullptr;
    }
    const double whole = std::trunc(t);
    auto sec = static_cast<int32_t>(whole);
    auto usec = static_cast<int32_t>(std::lround((t - whole) * 1e6));
    if (usec >= 1000000) sec += 1, usec -= 1000000;
    if (usec <= -1000000) sec -= 1, usec += 1000000;
    return plist_new_date(sec, usec);
}

}  // namespace lv::detail
