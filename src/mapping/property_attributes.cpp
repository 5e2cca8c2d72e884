// The attribute-text parser, the type-encoding walker and the hook-name builders.
#include "mapping/property_attributes.h"

#include <cctype>
#include <cstdio>
#include <memory>
#include <shared_mutex>
#include <unordered_map>

#include "mapping/detail/attribute_cache.h"

#include "platform/runtime/runtime.h"

namespace lv {

namespace {

// Type qualifiers that may precede a type: const, in, inout, out, bycopy, byref, oneway, atomic, complex.
bool isQualifier(char c) {
    switch (c) {
        case 'r': case 'n': case 'N': case 'o': case 'O': case 'R': case 'V': case 'A': case 'j':
            return true;
        default:
            return false;
    }
}

bool isSimpleType(char c) {
    switch (c) {
        case 'c': case 'i': case 's': case 'l': case 'q': case 'C': case 'I': case 'S': case 'L': case 'Q':
        case 'f': case 'd': case 'D': case 'B': case 'v': case '*': case '#': case ':': case '?':
            return true;
        default:
            return false;
    }
}

// Walks one type starting at pos; returns the position after it, or nothing when malformed.
std::optional<std::size_t> walkType(std::string_view t, std::size_t pos) {
    while (pos < t.size() && isQualifier(t[pos])) ++pos;
    if (pos >= t.size()) return std::nullopt;
    const char c = t[pos];
    if (isSimpleType(c)) return pos + 1;
    auto digits = [&](std::size_t p) {
        while (p < t.size() && std::isdigit(static_cast<unsigned char>(t[p]))) ++p;
        return p;
    };
    switch (c) {
        case '@': {
            ++pos;
            if (pos < t.size() && t[pos] == '?') return pos + 1;  // a block
            if (pos < t.size() && t[pos] == '"') {
                // A class name in quotes belongs to the type; without a closing quote the type is the
                // bare object type and the name is left to the caller.
                std::size_t close = t.find('"', pos + 1);
                if (close != std::string_view::npos) return close + 1;
            }
            return pos;
        }
        case '^':
            return walkType(t, pos + 1);
        case 'b': {
            std::size_t end = digits(pos + 1);
            if (end == pos + 1) return std::nullopt;
            return end;
        }
        case '[': {
            std::size_t p = digits(pos + 1);
            std::optional<std::size_t> element = walkType(t, p);
            if (!element || *element >= t.size() || t[*element] != ']') return std::nullopt;
            return *element + 1;
        }
        case '{':
        case '(': {
            const char close = c == '{' ? '}' : ')';
            std::size_t p = pos + 1;
            // The name runs to '=' or to the closing bracket (a type without fields).
            while (p < t.size() && t[p] != '=' && t[p] != close) {
                if (t[p] == '{' || t[p] == '(' || t[p] == '[' || t[p] == ',') return std::nullopt;
                ++p;
            }
            if (p >= t.size()) return std::nullopt;
            if (t[p] == '=') {
                ++p;
                while (p < t.size() && t[p] != close) {
                    if (t[p] == '"') {  // a field name
                        std::size_t end = t.find('"', p + 1);
                        if (end == std::string_view::npos) return std::nullopt;
                        p = end + 1;
                        continue;
                    }
                    std::optional<std::size_t> field = walkType(t, p);
                    if (!field) return std::nullopt;
                    p = *field;
                }
                if (p >= t.size()) return std::nullopt;
            }
            return p + 1;
        }
        default:
            return std::nullopt;
    }
}

void diagnose(const char* fmt, std::string_view attributes, std::string_view name) {
    const std::string a(attributes);
    const std::string n(name);
    std::fprintf(stderr, fmt, a.c_str(), n.c_str());
}

bool validUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
        if (b < 0x80) {
            extra = 0;
        } else if (b >= 0xC2 && b <= 0xDF) {
            extra = 1;
        } else if ((b & 0xF0) == 0xE0) {
            extra = 2;
        } else if (b >= 0xF0 && b <= 0xF4) {
            extra = 3;
        } else {
            return false;
        }
        if (text.size() - i <= extra) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        }
        i += extra + 1;
    }
    return true;
}

}  // namespace

std::optional<std::size_t> jm_typeEncodingLength(std::string_view encoding) {
    if (encoding.empty() || encoding[0] == ',') return 0;
    std::optional<std::size_t> end = walkType(encoding, 0);
    if (!end) return std::nullopt;
    return *end;
}

std::optional<jm_propertyAttributes> jm_readPropertyAttributes(const PropertyInfo* property) {
    if (!property || property->attributes.empty()) {
        std::fprintf(stderr, "ERROR: Could not get attribute string from property %s\n",
                     property ? property->name.c_str() : "(null)");
        return std::nullopt;
    }
    return jm_readPropertyAttributes(property->attributes, property->name);
}

std::optional<jm_propertyAttributes> jm_readPropertyAttributes(std::string_view attributes, std::string_view propertyName) {
    if (attributes.empty() || attributes[0] != 'T') {
        diagnose("ERROR: Expected attribute string \"%s\" for property %s to start with 'T'\n", attributes, propertyName);
        return std::nullopt;
    }
    const std::string_view typeText = attributes.substr(1);
    std::optional<std::size_t> typeLength = jm_typeEncodingLength(typeText);
    if (!typeLength) {
        diagnose("ERROR: Could not read past type in attribute string \"%s\" for property %s\n", attributes, propertyName);
        return std::nullopt;
    }
    if (*typeLength == 0) {
        diagnose("ERROR: Invalid type in attribute string \"%s\" for property %s\n", attributes, propertyName);
        return std::nullopt;
    }

    jm_propertyAttributes record;
    record.type = std::string(typeText.substr(0, *typeLength));
    // Positions below are offsets into `attributes`.
    std::size_t next = 1 + *typeLength;

    if (typeText.size() >= 2 && typeText[0] == '@' && typeText[1] == '"') {
        const std::size_t nameStart = 3;  // after T@"
        const std::size_t close = attributes.find('"', nameStart);
        if (close == std::string_view::npos) {
            diagnose("ERROR: Could not read class name in attribute string \"%s\" for property %s\n", attributes,
                     propertyName);
            return std::nullopt;
        }
        if (close > nameStart) record.objectClass = classNamed(attributes.substr(nameStart, close - nameStart));
        next = close;
    }

    // Anything between the type and the first flag is skipped.
    if (next < attributes.size()) {
        std::size_t comma = attributes.find(',', next);
        next = comma == std::string_view::npos ? attributes.size() : comma;
    }

    bool haveGetter = false;
    bool haveSetter = false;
    while (next < attributes.size()) {
        if (attributes[next] != ',') {
            const std::string rest(attributes.substr(next));
            const std::string a(attributes);
            const std::string n(propertyName);
            std::fprintf(stderr, "Warning: Unparsed data \"%s\" in attribute string \"%s\" for property %s\n", rest.c_str(),
                         a.c_str(), n.c_str());
            break;
        }
        if (next + 1 >= attributes.size()) break;  // a trailing comma: nothing more to read
        const char flag = attributes[next + 1];
        next += 2;
        switch (flag) {
            case 'R': record.readonly = true; break;
            case 'N': record.nonatomic = true; break;
            case 'W': record.weak = true; break;
            case 'P': record.canBeCollected = true; break;
            case 'D':
                record.dynamic = true;
                record.ivar.clear();
                break;
            case 'C': record.memoryManagementPolicy = JMPropertyMemoryManagementPolicy::Copy; break;
            case '&': record.memoryManagementPolicy = JMPropertyMemoryManagementPolicy::Retain; break;
            case 'G':
            case 'S': {
                std::size_t end = attributes.find(',', next);
                if (end == std::string_view::npos) end = attributes.size();
                if (end == next) {
                    diagnose("ERROR: Found zero length selector name in attribute string \"%s\" for property %s\n",
                             attributes, propertyName);
                    return std::nullopt;
                }
                std::string name(attributes.substr(next, end - next));
                if (flag == 'G') {
                    record.getter = std::move(name);
                    haveGetter = true;
                } else {
                    record.setter = std::move(name);
                    haveSetter = true;
                }
                next = end;
                break;
            }
            case 'V':
                // The rest of the text, when there is any, is the instance variable's name.
                if (next < attributes.size()) record.ivar = std::string(attributes.substr(next));
                next = attributes.size();
                break;
            case 't': {
                diagnose("ERROR: Old-style type encoding is unsupported in attribute string \"%s\" for property %s\n",
                         attributes, propertyName);
                std::size_t end = attributes.find(',', next);
                next = end == std::string_view::npos ? attributes.size() : end;
                break;
            }
            default: {
                const std::string a(attributes);
                const std::string n(propertyName);
                std::fprintf(stderr, "ERROR: Unrecognized attribute string flag '%c' in attribute string \"%s\" for property %s\n",
                             flag, a.c_str(), n.c_str());
                break;
            }
        }
    }

    if (!haveGetter) record.getter = std::string(propertyName);
    if (!haveSetter && !propertyName.empty()) {
        std::string name(propertyName);
        name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
        record.setter = "set" + name + ":";
    }
    return record;
}

namespace mapping_detail {

const jm_propertyAttributes* cachedPropertyAttributes(const PropertyInfo* property) {
    struct Cache {
        std::shared_mutex mutex;
        std::unordered_map<const PropertyInfo*, std::unique_ptr<const std::optional<jm_propertyAttributes>>> records;
    };
    static auto* cache = new Cache;  // never destroyed: records are handed out for the process's life
    if (!property) return nullptr;
    {
        std::shared_lock lock(cache->mutex);
        auto it = cache->records.find(property);
        if (it != cache->records.end()) return *it->second ? &**it->second : nullptr;
    }
    auto record = std::make_unique<const std::optional<jm_propertyAttributes>>(jm_readPropertyAttributes(property));
    std::unique_lock lock(cache->mutex);
    auto& slot = cache->records[property];
    if (!slot) slot = std::move(record);
    return *slot ? &**slot : nullptr;
}

}  // namespace mapping_detail

std::optional<std::string> JMSelectorFromKeyPattern(std::string_view key, std::string_view suffix) {
    if (!validUtf8(key)) return std::nullopt;
    std::string out;
    out.reserve(key.size() + suffix.size());
    out.append(key);
    out.append(suffix);
    return out;
}

std::optional<std::string> JMSelectorFromCapitalizedKeyPattern(std::string_view prefix, std::string_view key,
                                                               std::string_view suffix) {
    if (!validUtf8(key)) return std::nullopt;
    return selectorName(prefix, key, suffix);
}

}  // namespace lv
