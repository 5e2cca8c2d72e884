#include <plist/plist.h>

#include <limits>
#include <unordered_map>
#include <unordered_set>

#include "platform/base/format.h"
#include "platform/base/log.h"
#include "platform/runtime/runtime.h"
#include "platform/storage/detail/plist_bridge.h"
#include "platform/storage/file_manager.h"
#include "platform/storage/keyed_archive.h"

namespace lv {

using detail::PlistPtr;

namespace {

[[noreturn]] void damaged(std::string reason) {
    Exception::raise(std::string(kInvalidUnarchiveOperationException), std::move(reason));
}

std::string escapedKey(std::string_view key) {
    std::string out;
    if (!key.empty() && key[0] == '$') out.push_back('$');
    out.append(key);
    return out;
}

// A UID node, or its XML form {"CF$UID": n}.
std::optional<std::uint64_t> uidOf(plist_t node) {
    if (!node) return std::nullopt;
    if (plist_get_node_type(node) == PLIST_UID) {
        uint64_t uid = 0;
        plist_get_uid_val(node, &uid);
        return uid;
    }
    if (plist_get_node_type(node) == PLIST_DICT && plist_dict_get_size(node) == 1) {
        plist_t inner = plist_dict_get_item(node, "CF$UID");
        if (inner && plist_get_node_type(inner) == PLIST_UINT) {
            uint64_t uid = 0;
            plist_get_uint_val(inner, &uid);
            return uid;
        }
    }
    return std::nullopt;
}

std::string stringOf(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_STRING) return {};
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    return text ? std::string(text, static_cast<std::size_t>(length)) : std::string();
}

// Runtime names of the built-in kinds, by archive name.
const char* builtinKind(std::string_view archiveName) {
    static const std::unordered_map<std::string_view, const char*> kinds = {
        {"NSDictionary", "Dictionary"}, {"NSMutableDictionary", "Dictionary"},
        {"NSArray", "Array"},           {"NSMutableArray", "Array"},
        {"NSSet", "Array"},             {"NSMutableSet", "Array"},
        {"NSOrderedSet", "Array"},      {"NSMutableOrderedSet", "Array"},
        {"NSString", "String"},         {"NSMutableString", "String"},
        {"NSData", "Data"},             {"NSMutableData", "Data"},
        {"NSDate", "Date"},             {"NSNull", "Null"},
        {"NSDecimalNumber", "DecimalNumber"}, {"NSNumber", "Number"},
        {"NSError", "Error"},
    };
    auto it = kinds.find(archiveName);
    return it == kinds.end() ? nullptr : it->second;
}

struct AllowedClasses {
    std::vector<const ClassInfo*> classes;
    bool allows(const ClassInfo* cls) const {
        if (!cls) return false;
        for (const ClassInfo* allowed : classes) {
            if (allowed && cls->isSubclassOf(allowed)) return true;
        }
        return false;
    }
    std::string names() const {
        std::string out;
        for (const ClassInfo* c : classes) {
            if (!out.empty()) out += ", ";
            out += c ? c->name() : "(nil)";
        }
        return out;
    }
};

}  // namespace

struct KeyedUnarchiver::State {
    PlistPtr root;
    plist_t top = nullptr;
    std::vector<plist_t> objects;                     // "$objects", by UID
    std::vector<plist_t> stack;                       // the dictionary being read (top first)
    std::unordered_map<std::uint64_t, Value> decoded;  // objects and finished containers, by UID
    std::unordered_set<std::uint64_t> inProgress;     // containers being read (a cycle is damage)
    std::vector<const AllowedClasses*> allowed;       // innermost decodeObjectOfClasses sets
    int depth = 0;

    plist_t lookup(std::string_view key) const {
        return plist_dict_get_item(stack.back(), escapedKey(key).c_str());
    }

    Value decodeUID(KeyedUnarchiver& coder, std::uint64_t uid, const AllowedClasses* allowedSet, bool element);
    Value decodeClassed(KeyedUnarchiver& coder, std::uint64_t uid, plist_t dict, const std::string& className,
                        const AllowedClasses* allowedSet);
    Value decodeMember(KeyedUnarchiver& coder, plist_t dict, const char* key, const AllowedClasses* allowedSet);
};

namespace {

const ClassInfo* kindClass(const Value& value) { return classOfValue(value); }

// Marks an exception raised by checkAllowed until decodeObjectOfClasses names the key in it.
constexpr std::string_view kUnexpectedClassKey = "unexpectedClass";
constexpr std::string_view kAllowedClassesKey = "allowedClasses";

void checkAllowed(const AllowedClasses* allowedSet, const ClassInfo* cls, const std::string& shownName) {
    if (!allowedSet || allowedSet->allows(cls)) return;
    Exception::raise(std::string(kInvalidUnarchiveOperationException),
                     format("value of unexpected class '%@'. Allowed classes are '{(%@)}'.", shownName,
                            allowedSet->names()),
                     {{std::string(kUnexpectedClassKey), Value(shownName)},
                      {std::string(kAllowedClassesKey), Value(allowedSet->names())}});
}

Decimal decimalFrom(plist_t dict) {
    auto integerOf = [&](const char* key) -> std::int64_t {
        plist_t node = plist_dict_get_item(dict, key);
        Value n = node ? detail::numberFromPlist(node) : Value();
        return n.longLongValue();
    };
    const std::int64_t length = integerOf("NS.length");
    const bool negative = integerOf("NS.negative") != 0;
    std::int64_t exponent = integerOf("NS.exponent");
    if (length == 0) return negative ? Decimal::notANumber() : Decimal::fromInteger(0);
    plist_t data = plist_dict_get_item(dict, "NS.mantissa");
    if (!data || plist_get_node_type(data) != PLIST_DATA || length < 0 || length > 8) damaged("Damaged decimal number");
    uint64_t size = 0;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(plist_get_data_ptr(data, &size));
    if (size < static_cast<uint64_t>(length) * 2) damaged("Damaged decimal number");
    const bool bigEndian = integerOf("NS.mantissa.bo") == 2;  // 1 (little-endian) is what is written
    std::vector<std::uint32_t> words(static_cast<std::size_t>(length));
    for (std::size_t i = 0; i < words.size(); ++i) {
        words[i] = bigEndian ? (static_cast<std::uint32_t>(bytes[2 * i]) << 8) | bytes[2 * i + 1]
                             : (static_cast<std::uint32_t>(bytes[2 * i + 1]) << 8) | bytes[2 * i];
    }
    // Mantissas wider than 64 bits lose their last digits (and gain exponent) until they fit.
    auto highWordsSet = [&] {
        for (std::size_t i = 4; i < words.size(); ++i)
            if (words[i] != 0) return true;
        return false;
    };
    while (highWordsSet()) {
        std::uint32_t remainder = 0;
        for (std::size_t i = words.size(); i-- > 0;) {
            const std::uint32_t current = (remainder << 16) | words[i];
            words[i] = current / 10;
            remainder = current % 10;
        }
        ++exponent;
    }
    std::uint64_t mantissa = 0;
    for (std::size_t i = std::min<std::size_t>(words.size(), 4); i-- > 0;) mantissa = (mantissa << 16) | words[i];
    if (exponent < -128 || exponent > 127) damaged("Damaged decimal number");
    return Decimal::withMantissa(mantissa, static_cast<int>(exponent), negative);
}

}  // namespace

Value KeyedUnarchiver::State::decodeMember(KeyedUnarchiver& coder, plist_t dict, const char* key,
                                           const AllowedClasses* allowedSet) {
    plist_t node = plist_dict_get_item(dict, key);
    if (!node) return {};
    auto uid = uidOf(node);
    if (!uid) damaged(format("Damaged archive: member %s is not an object reference", key));
    return decodeUID(coder, *uid, allowedSet, true);
}

Value KeyedUnarchiver::State::decodeUID(KeyedUnarchiver& coder, std::uint64_t uid, const AllowedClasses* allowedSet,
                                        bool element) {
    if (uid == 0) return {};
    if (uid >= objects.size()) {
        damaged(format("Damaged archive: object reference %llu out of bounds (%lu objects)",
                       static_cast<unsigned long long>(uid), static_cast<unsigned long>(objects.size())));
    }
    if (auto it = decoded.find(uid); it != decoded.end()) {
        if (it->second.isNil()) return {};  // an object that refused to be read
        const ClassInfo* cls = kindClass(it->second);
        checkAllowed(allowedSet, cls, cls ? cls->name() : std::string("?"));
        return it->second;
    }
    plist_t node = objects[uid];
    switch (plist_get_node_type(node)) {
        case PLIST_STRING:
        case PLIST_UINT:
        case PLIST_REAL:
        case PLIST_BOOLEAN:
        case PLIST_DATA: {
            Value value = detail::valueFromPlist(node, nullptr);
            // Strings, numbers and data stored inline pass inside an allowed collection.
            if (!element) {
                const ClassInfo* cls = kindClass(value);
                checkAllowed(allowedSet, cls, cls ? cls->name() : std::string("?"));
            }
            return value;
        }
        case PLIST_DICT: break;
        default: damaged(format("Damaged archive: object %llu has an unknown type", static_cast<unsigned long long>(uid)));
    }
    auto classRef = uidOf(plist_dict_get_item(node, "$class"));
    if (!classRef || *classRef == 0 || *classRef >= objects.size() ||
        plist_get_node_type(objects[*classRef]) != PLIST_DICT) {
        damaged(format("Damaged archive: object %llu has no class", static_cast<unsigned long long>(uid)));
    }
    const std::string className = stringOf(plist_dict_get_item(objects[*classRef], "$classname"));
    if (className.empty()) damaged("Damaged archive: a class without a name");
    if (++depth > detail::kMaxPlistDepth) damaged("Damaged archive: objects nested too deeply");
    struct Leave {
        int& depth;
        ~Leave() { --depth; }
    } leave{depth};
    return decodeClassed(coder, uid, node, className, allowedSet);
}

Value KeyedUnarchiver::State::decodeClassed(KeyedUnarchiver& coder, std::uint64_t uid, plist_t dict,
                                            const std::string& className, const AllowedClasses* allowedSet) {
    const char* kind = builtinKind(className);
    if (kind && std::string_view(kind) != "Error") {
        checkAllowed(allowedSet, classNamed(kind), className);
        const std::string_view k(kind);
        if (k == "Null") return Value::null();
        if (k == "Date") {
            plist_t time = plist_dict_get_item(dict, "NS.time");
            Value seconds = time ? detail::numberFromPlist(time) : Value();
            if (!seconds.isNumber()) damaged("Damaged archive: a date without its time");
            return Value(Date::fromSinceReferenceDate(seconds.doubleValue()));
        }
        if (k == "DecimalNumber") return Value(decimalFrom(dict));
        if (k == "String") {
            Value text = detail::valueFromPlist(plist_dict_get_item(dict, "NS.string"), nullptr);
            if (text.isData()) text = Value(std::string(text.bytes().begin(), text.bytes().end()));
            if (!text.isString()) damaged("Damaged archive: a string without its text");
            return text;
        }
        if (k == "Data") {
            Value bytes = detail::valueFromPlist(plist_dict_get_item(dict, "NS.data"), nullptr);
            if (!bytes.isData()) damaged("Damaged archive: data without its bytes");
            return bytes;
        }
        if (k == "Number") damaged("Damaged archive: a number stored as an object");
        if (!inProgress.insert(uid).second) damaged("Damaged archive: a collection that contains itself");
        struct Done {
            std::unordered_set<std::uint64_t>& set;
            std::uint64_t uid;
            ~Done() { set.erase(uid); }
        } done{inProgress, uid};
        auto refs = [&](const char* key) {
            std::vector<std::uint64_t> out;
            plist_t list = plist_dict_get_item(dict, key);
            if (!list) return out;
            if (plist_get_node_type(list) != PLIST_ARRAY) damaged(format("Damaged archive: %s is not a list", key));
            const uint32_t n = plist_array_get_size(list);
            out.reserve(n);
            plist_array_iter iter = nullptr;
            plist_array_new_iter(list, &iter);
            for (;;) {
                plist_t item = nullptr;
                plist_array_next_item(list, iter, &item);
                if (!item) break;
                auto ref = uidOf(item);
                if (!ref) {
                    std::free(iter);
                    damaged(format("Damaged archive: an entry of %s is not an object reference", key));
                }
                out.push_back(*ref);
            }
            std::free(iter);
            return out;
        };
        Value result;
        if (k == "Array") {
            Array items;
            for (std::uint64_t ref : refs("NS.objects")) {
                Value item = decodeUID(coder, ref, allowedSet, true);
                items.push_back(item.isNil() ? Value::null() : std::move(item));
            }
            result = Value(std::move(items));
        } else {
            const auto keys = refs("NS.keys");
            const auto values = refs("NS.objects");
            if (keys.size() != values.size()) damaged("Damaged archive: a dictionary with unmatched keys and values");
            Dictionary entries;
            entries.reserve(keys.size());
            for (std::size_t i = 0; i < keys.size(); ++i) {
                Value key = decodeUID(coder, keys[i], allowedSet, true);
                if (!key.isString() && !key.isNumeric()) damaged("Damaged archive: a dictionary key that is not text");
                entries.appendUnsorted(key.stringValue(), decodeUID(coder, values[i], allowedSet, true));
            }
            entries.finishAppending();
            result = Value(std::move(entries));
        }
        decoded.emplace(uid, result);
        return result;
    }

    const ClassInfo* cls = kind ? classNamed("Error") : classNamed(className);
    if (kind) {
        // Errors: checked against the allowed classes by their registered class, "Object" at least.
        checkAllowed(allowedSet, cls ? cls : classNamed("Object"), className);
        Value domain = decodeMember(coder, dict, "NSDomain", nullptr);
        plist_t codeNode = plist_dict_get_item(dict, "NSCode");
        Value code = codeNode ? detail::numberFromPlist(codeNode) : Value();
        Value info = decodeMember(coder, dict, "NSUserInfo", nullptr);
        if (!domain.isString() || !code.isNumber()) damaged("Damaged archive: an error without domain or code");
        Value error(Error::make(domain.string(), code.longLongValue(), info.dictionary()));
        decoded.emplace(uid, error);
        return error;
    }
    if (!cls) {
        damaged(format("cannot decode object of class (%@); the class is not registered", className));
    }
    checkAllowed(allowedSet, cls, className);
    Ref<Object> object = cls->create();
    auto* coding = dynamic_cast<Coding*>(object.get());
    if (!coding) damaged(format("cannot decode object of class (%@); it cannot be created from an archive", className));
    if (coder.requiresSecureCoding() && !coding->supportsSecureCoding()) {
        damaged(format("The class '%@' does not support secure coding", className));
    }
    // Registered before its contents are read, so that references back to it find this object.
    decoded.emplace(uid, Value(object));
    stack.push_back(dict);
    bool ok = false;
    {
        struct Pop {
            std::vector<plist_t>& frames;
            ~Pop() { frames.pop_back(); }
        } pop{stack};
        ok = coding->initWithCoder(coder);
    }
    if (!ok) {
        decoded[uid] = Value();
        return {};
    }
    return Value(object);
}

// ---- KeyedUnarchiver ----

KeyedUnarchiver::KeyedUnarchiver() : state_(new State) {}

KeyedUnarchiver::~KeyedUnarchiver() = default;

KeyedUnarchiver::KeyedUnarchiver(std::span<const std::uint8_t> data) : KeyedUnarchiver() {
    std::string failure;
    state_->root = detail::parsePlist(data, nullptr, &failure);
    plist_t root = state_->root.get();
    plist_t objects = root && plist_get_node_type(root) == PLIST_DICT ? plist_dict_get_item(root, "$objects") : nullptr;
    plist_t top = root && plist_get_node_type(root) == PLIST_DICT ? plist_dict_get_item(root, "$top") : nullptr;
    if (!objects || plist_get_node_type(objects) != PLIST_ARRAY || !top || plist_get_node_type(top) != PLIST_DICT) {
        Exception::raise(std::string(kInvalidArgumentException),
                         format("*** -[KeyedUnarchiver initForReadingWithData:]: incomprehensible archive (%@)",
                                failure.empty() ? std::string("not a keyed archive") : failure));
    }
    state_->top = top;
    state_->objects.reserve(plist_array_get_size(objects));
    plist_array_iter iter = nullptr;
    plist_array_new_iter(objects, &iter);
    for (;;) {
        plist_t item = nullptr;
        plist_array_next_item(objects, iter, &item);
        if (!item) break;
        state_->objects.push_back(item);
    }
    std::free(iter);
    state_->stack.push_back(top);
}

std::unique_ptr<KeyedUnarchiver> KeyedUnarchiver::forReadingFromData(std::span<const std::uint8_t> data,
                                                                     Ref<Error>* error) {
    try {
        return std::make_unique<KeyedUnarchiver>(data);
    } catch (const Exception& e) {
        setError(error, Error::make(std::string(kCocoaErrorDomain), kCoderReadCorruptError,
                                    {{std::string(kDebugDescriptionErrorKey), Value(e.reason())}}));
        return nullptr;
    }
}

bool KeyedUnarchiver::containsValueForKey(std::string_view key) const { return state_->lookup(key) != nullptr; }

Value KeyedUnarchiver::decodeObject(std::string_view key) {
    plist_t node = state_->lookup(key);
    if (!node) return {};
    auto uid = uidOf(node);
    if (!uid) {
        // A scalar written under the key is read as its value.
        Value value = detail::valueFromPlist(node, nullptr);
        if (value.isNil()) damaged(format("Damaged archive: value for key (%@) is not an object", key));
        return value;
    }
    if (secure_) {
        if (state_->allowed.empty()) {
            damaged(format("decodeObjectForKey: with secure coding needs the allowed classes (key %@)", key));
        }
        return state_->decodeUID(*this, *uid, state_->allowed.back(), false);
    }
    return state_->decodeUID(*this, *uid, nullptr, false);
}

Value KeyedUnarchiver::decodeObjectOfClass(const ClassInfo* cls, std::string_view key) {
    const ClassInfo* classes[] = {cls};
    return decodeObjectOfClasses(classes, key);
}

Value KeyedUnarchiver::decodeObjectOfClasses(std::span<const ClassInfo* const> classes, std::string_view key) {
    if (!secure_) return decodeObject(key);
    plist_t node = state_->lookup(key);
    if (!node) return {};
    auto uid = uidOf(node);
    if (!uid) damaged(format("Damaged archive: value for key (%@) is not an object", key));
    AllowedClasses allowed{std::vector<const ClassInfo*>(classes.begin(), classes.end())};
    state_->allowed.push_back(&allowed);
    struct Pop {
        std::vector<const AllowedClasses*>& sets;
        ~Pop() { sets.pop_back(); }
    } pop{state_->allowed};
    try {
        return state_->decodeUID(*this, *uid, &allowed, false);
    } catch (const Exception& e) {
        const Value& unexpected = e.userInfo().get(kUnexpectedClassKey);
        if (!unexpected.isString()) throw;
        damaged(format("value for key '%@' was of unexpected class '%@'. Allowed classes are '{(%@)}'.", key,
                       unexpected, e.userInfo().get(kAllowedClassesKey)));
    }
}

namespace {

Value scalarAt(plist_t node, std::string_view key) {
    if (!node) return {};
    Value n = detail::numberFromPlist(node);
    if (n.isNil()) damaged(format("Damaged archive: value for key (%@) is not a number", key));
    return n;
}

}  // namespace

bool KeyedUnarchiver::decodeBool(std::string_view key) { return scalarAt(state_->lookup(key), key).boolValue(); }

std::int32_t KeyedUnarchiver::decodeInt32(std::string_view key) {
    const std::int64_t v = decodeInt64(key);
    if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max()) {
        damaged(format("value (%lld) for key (%@) too large to fit in 32-bit integer", static_cast<long long>(v), key));
    }
    return static_cast<std::int32_t>(v);
}

std::int64_t KeyedUnarchiver::decodeInt64(std::string_view key) {
    return scalarAt(state_->lookup(key), key).longLongValue();
}

std::int64_t KeyedUnarchiver::decodeInteger(std::string_view key) { return decodeInt64(key); }

double KeyedUnarchiver::decodeDouble(std::string_view key) { return scalarAt(state_->lookup(key), key).doubleValue(); }

float KeyedUnarchiver::decodeFloat(std::string_view key) { return static_cast<float>(decodeDouble(key)); }

Bytes KeyedUnarchiver::decodeBytes(std::string_view key) {
    plist_t node = state_->lookup(key);
    if (!node) return {};
    if (plist_get_node_type(node) != PLIST_DATA) damaged(format("Damaged archive: value for key (%@) is not data", key));
    return detail::valueFromPlist(node, nullptr).bytes();
}

Value KeyedUnarchiver::unarchiveObjectWithData(std::span<const std::uint8_t> data) {
    try {
        KeyedUnarchiver unarchiver(data);
        return unarchiver.decodeObject("root");
    } catch (const Exception& e) {
        log("Keyed archive could not be read (%lu bytes): %@", static_cast<unsigned long>(data.size()), e.reason());
        throw;
    }
}

Value KeyedUnarchiver::unarchiveObjectWithFile(std::string_view path) {
    auto bytes = dataWithContentsOfFile(path, nullptr);
    if (!bytes) return {};
    return unarchiveObjectWithData(*bytes);
}

namespace {

Value readRoot(std::span<const std::uint8_t> data, const std::vector<const ClassInfo*>* classes, Ref<Error>* error) {
    try {
        KeyedUnarchiver unarchiver(data);
        if (!unarchiver.containsValueForKey("root")) {
            setError(error, Error::make(std::string(kCocoaErrorDomain), kCoderValueNotFoundError,
                                        {{std::string(kDebugDescriptionErrorKey), Value("The archive has no root object")}}));
            return {};
        }
        if (!classes) return unarchiver.decodeObject("root");
        unarchiver.setRequiresSecureCoding(true);
        return unarchiver.decodeObjectOfClasses(*classes, "root");
    } catch (const Exception& e) {
        log("Keyed archive could not be read (%lu bytes): %@", static_cast<unsigned long>(data.size()), e.reason());
        setError(error, Error::make(std::string(kCocoaErrorDomain), kCoderReadCorruptError,
                                    {{std::string(kDebugDescriptionErrorKey), Value(e.reason())}}));
        return {};
    }
}

}  // namespace

Value KeyedUnarchiver::unarchivedObject(std::span<const std::uint8_t> data, Ref<Error>* error) {
    return readRoot(data, nullptr, error);
}

Value KeyedUnarchiver::unarchivedObjectOfClasses(std::span<const ClassInfo* const> classes,
                                                 std::span<const std::uint8_t> data, Ref<Error>* error) {
    const std::vector<const ClassInfo*> list(classes.begin(), classes.end());
    return readRoot(data, &list, error);
}

Value KeyedUnarchiver::unarchivedObjectOfClass(const ClassInfo* cls, std::span<const std::uint8_t> data,
                                               Ref<Error>* error) {
    const std::vector<const ClassInfo*> list{cls};
    return readRoot(data, &list, error);
}

}  // namespace lv
