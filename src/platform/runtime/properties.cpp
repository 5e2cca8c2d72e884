// Declared properties: attribute texts in the platform's format, flag validation, and the conversions
// between Value and scalar properties.
#include <cctype>

#include "platform/runtime/runtime.h"

namespace lv {

namespace {

struct Flags {
    bool readOnly = false;
    bool copy = false;
    bool retain = false;
    bool weak = false;
    bool dynamic = false;
    bool collectable = false;
    bool nonatomic = false;
    std::string getter;
    std::string setter;
};

[[noreturn]] void raiseBadFlags(std::string_view flags, std::string_view why) {
    Exception::raise(std::string(kInvalidArgumentException),
                     "invalid property attribute flags \"" + std::string(flags) + "\": " + std::string(why));
}

Flags parseFlags(std::string_view flags) {
    Flags f;
    if (flags.empty()) return f;
    std::size_t start = 0;
    while (start <= flags.size()) {
        std::size_t comma = flags.find(',', start);
        if (comma == std::string_view::npos) comma = flags.size();
        std::string_view token = flags.substr(start, comma - start);
        if (token.empty()) raiseBadFlags(flags, "empty flag");
        auto once = [&](bool& b) {
            if (token.size() != 1) raiseBadFlags(flags, "unknown flag " + std::string(token));
            if (b) raiseBadFlags(flags, "repeated flag " + std::string(token));
            b = true;
        };
        switch (token[0]) {
            case 'R': once(f.readOnly); break;
            case 'C': once(f.copy); break;
            case '&': once(f.retain); break;
            case 'W': once(f.weak); break;
            case 'D': once(f.dynamic); break;
            case 'P': once(f.collectable); break;
            case 'N': once(f.nonatomic); break;
            case 'G':
            case 'S': {
                std::string& name = token[0] == 'G' ? f.getter : f.setter;
                if (token.size() == 1) raiseBadFlags(flags, "accessor flag without a name");
                if (!name.empty()) raiseBadFlags(flags, "repeated flag " + std::string(1, token[0]));
                name = std::string(token.substr(1));
                break;
            }
            default:
                raiseBadFlags(flags, "unknown flag " + std::string(token));
        }
        start = comma + 1;
    }
    if (int(f.copy) + int(f.retain) + int(f.weak) > 1) raiseBadFlags(flags, "more than one of C, & and W");
    return f;
}

std::string canonicalText(std::string_view typeEncoding, const Flags& f, std::string_view ivarName) {
    std::string s = "T";
    s += typeEncoding;
    if (f.readOnly) s += ",R";
    if (f.copy) s += ",C";
    if (f.retain) s += ",&";
    if (f.weak) s += ",W";
    if (f.dynamic) s += ",D";
    if (f.collectable) s += ",P";
    if (f.nonatomic) s += ",N";
    if (!f.getter.empty()) s += ",G" + f.getter;
    if (!f.setter.empty()) s += ",S" + f.setter;
    if (!ivarName.empty()) {
        s += ",V";
        s += ivarName;
    }
    return s;
}

const char* readingName(NumberKind kind) {
    switch (kind) {
        case NumberKind::Bool: return "boolValue";
        case NumberKind::Int8: return "charValue";
        case NumberKind::Int16: return "shortValue";
        case NumberKind::Int32: return "intValue";
        case NumberKind::Int64: return "longLongValue";
        case NumberKind::UInt8: return "unsignedCharValue";
        case NumberKind::UInt16: return "unsignedShortValue";
        case NumberKind::UInt32: return "unsignedIntValue";
        case NumberKind::UInt64: return "unsignedLongLongValue";
        case NumberKind::Float: return "floatValue";
        case NumberKind::Double: return "doubleValue";
    }
    return "";
}

// The readings text offers: intValue, longLongValue, floatValue, doubleValue and boolValue.
bool textHasReading(NumberKind kind) {
    switch (kind) {
        case NumberKind::Bool:
        case NumberKind::Int32:
        case NumberKind::Int64:
        case NumberKind::Float:
        case NumberKind::Double:
            return true;
        default:
            return false;
    }
}

Number convert(NumberKind kind, const Value& value) {
    switch (kind) {
        case NumberKind::Bool:
            return Number::of(value.boolValue());
        case NumberKind::Float:
        case NumberKind::Double:
            return Number::withKind(kind, value.doubleValue());
        case NumberKind::UInt64:
            return Number::withKind(kind, static_cast<std::int64_t>(value.unsignedLongLongValue()));
        case NumberKind::Int32:
            if (value.isString()) return Number::withKind(kind, static_cast<std::int64_t>(value.intValue()));
            return Number::withKind(kind, value.longLongValue());
        default:
            return Number::withKind(kind, value.longLongValue());
    }
}

std::string valueClassName(const Value& value) {
    if (value.isObject()) return value.object()->className();
    const ClassInfo* cls = classOfValue(value);
    return cls ? cls->name() : "nil";
}

const void* valueAddress(const Value& value) {
    if (value.isObject()) return value.object().get();
    return &value;
}

}  // namespace

std::string attributeText(std::string_view typeEncoding, std::string_view flags, std::string_view ivarName) {
    return canonicalText(typeEncoding, parseFlags(flags), ivarName);
}

std::optional<NumberKind> PropertyInfo::scalarKind() const {
    return runtime_detail::kindOfEncoding(typeEncoding);
}

std::string PropertyInfo::declaredClassName() const {
    if (typeEncoding.size() >= 3 && typeEncoding[0] == '@' && typeEncoding[1] == '"' && typeEncoding.back() == '"') {
        return typeEncoding.substr(2, typeEncoding.size() - 3);
    }
    return {};
}

namespace runtime_detail {

std::optional<NumberKind> kindOfEncoding(std::string_view typeEncoding) {
    if (typeEncoding.size() != 1) return std::nullopt;
    switch (typeEncoding[0]) {
        case 'c': return NumberKind::Int8;
        case 'C': return NumberKind::UInt8;
        case 's': return NumberKind::Int16;
        case 'S': return NumberKind::UInt16;
        case 'i':
        case 'l': return NumberKind::Int32;
        case 'I':
        case 'L': return NumberKind::UInt32;
        case 'q': return NumberKind::Int64;
        case 'Q': return NumberKind::UInt64;
        case 'f': return NumberKind::Float;
        case 'd':
        case 'D': return NumberKind::Double;
        case 'B': return NumberKind::Bool;
        default: return std::nullopt;
    }
}

Number scalarFromValue(NumberKind kind, const Value& value, const Object& object, const std::string& key) {
    if (value.isNil()) {
        Exception::raise(std::string(kInvalidArgumentException),
                         "[<" + object.className() + " " + addressText(&object) +
                             "> setNilValueForKey]: could not set nil as the value for the key " + key + ".");
    }
    if (value.isNumeric() || (value.isString() && textHasReading(kind))) return convert(kind, value);
    Exception::raise(std::string(kInvalidArgumentException),
                     "-[" + valueClassName(value) + " " + readingName(kind) + "]: unrecognized selector sent to instance " +
                         addressText(valueAddress(value)));
}

Value boxScalar(NumberKind kind, const Value& value) {
    if (value.isNumeric() || value.isString()) return Value(convert(kind, value));
    return Value(Number::withKind(kind, std::int64_t{0}));
}

void completeProperty(PropertyInfo& property, std::string_view flags, std::string_view ivarName) {
    if (property.name.empty()) raiseBadFlags(flags, "property without a name");
    Flags f = parseFlags(flags);
    if (f.dynamic && !ivarName.empty()) raiseBadFlags(flags, "a dynamic property has no instance variable");
    property.attributes = canonicalText(property.typeEncoding, f, ivarName);
    property.ivarName = std::string(ivarName);
    property.readOnly = f.readOnly;
    property.weak = f.weak;
    property.dynamic = f.dynamic;
    property.getterName = f.getter.empty() ? property.name : f.getter;
    if (!f.setter.empty()) {
        property.setterName = f.setter;
    } else {
        std::string capitalised = property.name;
        capitalised[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(capitalised[0])));
        property.setterName = "set" + capitalised + ":";
    }
}

void checkNewProperty(const ClassInfo& cls, const std::vector<PropertyInfo>& existing, const PropertyInfo& property) {
    for (const PropertyInfo& p : existing) {
        if (p.name == property.name) {
            Exception::raise(std::string(kInvalidArgumentException),
                             "class " + cls.name() + " declares the property " + property.name + " twice");
        }
    }
}

void raiseWrongReceiver(const Object& object, const std::type_info& expected) {
    Exception::raise(std::string(kInvalidArgumentException),
                     "<" + object.className() + ": " + addressText(&object) + "> is not a " +
                         demangledClassName(expected));
}

void raiseUnregisteredSuperclass(const std::string& className) {
    Exception::raise(std::string(kInvalidArgumentException),
                     "the superclass of " + className + " is not registered");
}

void raiseWrongObject(const Object& object, const std::string& key, const std::type_info& expected) {
    Exception::raise(std::string(kInvalidArgumentException),
                     "[<" + object.className() + " " + addressText(&object) + "> setValue:forKey:]: the value for the key " +
                         key + " is not a " + demangledClassName(expected));
}

}  // namespace runtime_detail

}  // namespace lv
