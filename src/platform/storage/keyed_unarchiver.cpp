#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <unordered_map>
#include <unordered_set>

#include "platform/base/format.h"
#include "platform/base/log.h"
#include "platform/runtime/runtime.h"
#include "platform/storage/detail/plist_codec.h"
#include "platform/storage/file_manager.h"
#include "platform/storage/index_set.h"
#include "platform/storage/keyed_archive.h"

namespace lv {

namespace {

[[noreturn]] void damaged(std::string reason) {
    Exception::raise(std::string(kInvalidUnarchiveOperationException), std::move(reason));
}

// A UID, or its XML form {"CF$UID": n}.
std::optional<std::uint64_t> uidOf(const Value* node) { return node ? detail::uidOf(*node) : std::nullopt; }

// The number under the key, nil when absent or of another kind.
Value numberAt(const Value& dict, const char* key) {
    const Value& v = dict[key];
    return v.isNumber() ? v : Value();
}

// Runtime names of the built-in kinds, by archive name.
const char* builtinKind(std::string_view archiveName) {
    static const auto& kinds = *new std::unordered_map<std::string_view, const char*>{
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
    Value root;
    const Array* objects = nullptr;                   // "$objects", by UID
    std::vector<const Value*> stack;                  // the dictionary being read ("$top" first)
    // By UID: objects and finished containers (decoded), and containers being read (a cycle is damage).
    enum Phase : std::uint8_t { Unread, InProgress, Decoded };
    std::vector<Phase> phases;
    std::vector<Value> decoded;
    // By the UID of a class entry: its name and what it names, once found (a class not registered yet
    // is looked up again).
    struct ClassEntry {
        std::string name;
        const char* kind = nullptr;                   // the built-in kind, or nullptr
        const ClassInfo* cls = nullptr;
    };
    std::unordered_map<std::uint64_t, ClassEntry> classes;
    std::vector<const AllowedClasses*> allowed;       // innermost decodeObjectOfClasses sets
    int depth = 0;

    void start(const Array& list) {
        objects = &list;
        phases.assign(list.size(), Unread);
        decoded.resize(list.size());
    }
    // Where a key was found last: objects of one class hold their keys at the same places, so a
    // look-up mostly takes one comparison. The slot is picked by the key text's address and size, and
    // the entry there is taken only when its key is the text.
    struct KeyHint {
        const char* data = nullptr;
        std::size_t size = 0;
        std::size_t index = 0;
    };
    mutable std::array<KeyHint, 64> hints{};

    const Value* lookup(std::string_view key) const {
        const Dictionary& entries = stack.back()->dictionary();
        if (!key.empty() && key[0] == '$') return entries.find(detail::escapedArchiveKey(key));
        KeyHint& hint = hints[((reinterpret_cast<std::uintptr_t>(key.data()) >> 3) ^ key.size()) % hints.size()];
        if (hint.data == key.data() && hint.size == key.size() && hint.index < entries.size()) {
            const auto& entry = *(entries.begin() + static_cast<std::ptrdiff_t>(hint.index));
            if (entry.first == key) return &entry.second;
        }
        const auto it = std::lower_bound(entries.begin(), entries.end(), key,
                                         [](const Dictionary::Entry& entry, std::string_view k) { return entry.first < k; });
        if (it == entries.end() || it->first != key) return nullptr;
        hint = {key.data(), key.size(), static_cast<std::size_t>(it - entries.begin())};
        return &it->second;
    }

    Value decodeUID(KeyedUnarchiver& coder, std::uint64_t uid, const AllowedClasses* allowedSet, bool element);
    Value decodeClassed(KeyedUnarchiver& coder, std::uint64_t uid, const Value& dict, ClassEntry& entry,
                        const AllowedClasses* allowedSet);
    Value decodeMember(KeyedUnarchiver& coder, const Value& dict, const char* key, const AllowedClasses* allowedSet);
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

Decimal decimalFrom(const Value& dict) {
    auto integerOf = [&](const char* key) -> std::int64_t { return numberAt(dict, key).longLongValue(); };
    const std::int64_t length = integerOf("NS.length");
    const bool negative = integerOf("NS.negative") != 0;
    std::int64_t exponent = integerOf("NS.exponent");
    if (length == 0) return negative ? Decimal::notANumber() : Decimal::fromInteger(0);
    const Value& data = dict["NS.mantissa"];
    if (!data.isData() || length < 0 || length > 8) damaged("Damaged decimal number");
    const std::uint8_t* bytes = data.bytes().data();
    if (data.bytes().size() < static_cast<std::uint64_t>(length) * 2) damaged("Damaged decimal number");
    const bool bigEndian = integerOf("NS.mantissa.bo") == 2;  // 1 (little-endian) is what is written
    std::vector<std::uint32_t> words(static_cast<std::size_t>(length));
    for (std::size_t i = 0; i < words.size(); ++i) {
        words[i] = bigEndian ? (static_cast<std::uint32_t>(bytes[2 * i]) << 8) | bytes[2 * i + 1]
                             : (static_cast<std::uint32_t>(bytes[2 * i + 1]) << 8) | bytes[2 * i];
    }
    // Up to eight 16-bit words: the 128 bits a mantissa holds (past 38 digits it is rounded).
    UInt128 mantissa = 0;
    for (std::size_t i = words.size(); i-- > 0;) mantissa = (mantissa << 16) | words[i];
    if (exponent < -128 || exponent > 127) damaged("Damaged decimal number");
    return Decimal::withMantissa(mantissa, static_cast<int>(exponent), negative);
}

}  // namespace

Value KeyedUnarchiver::State::decodeMember(KeyedUnarchiver& coder, const Value& dict, const char* key,
                                           const AllowedClasses* allowedSet) {
    const Value* node = dict.dictionary().find(key);
    if (!node) return {};
    auto uid = uidOf(node);
    if (!uid) damaged(format("Damaged archive: member %s is not an object reference", key));
    return decodeUID(coder, *uid, allowedSet, true);
}

Value KeyedUnarchiver::State::decodeUID(KeyedUnarchiver& coder, std::uint64_t uid, const AllowedClasses* allowedSet,
                                        bool element) {
    if (uid == 0) return {};
    if (uid >= objects->size()) {
        damaged(format("Damaged archive: object reference %llu out of bounds (%lu objects)",
                       static_cast<unsigned long long>(uid), static_cast<unsigned long>(objects->size())));
    }
    if (phases[uid] == Decoded) {
        const Value& done = decoded[uid];
        if (done.isNil()) return {};  // an object that refused to be read
        if (allowedSet) {
            const ClassInfo* cls = kindClass(done);
            checkAllowed(allowedSet, cls, cls ? cls->name() : std::string("?"));
        }
        return done;
    }
    const Value& node = (*objects)[uid];
    switch (node.type()) {
        case Value::Type::String:
        case Value::Type::Number:
        case Value::Type::Data: {
            // Strings, numbers and data stored inline pass inside an allowed collection.
            if (!element) {
                const ClassInfo* cls = kindClass(node);
                checkAllowed(allowedSet, cls, cls ? cls->name() : std::string("?"));
            }
            return node;
        }
        case Value::Type::Dictionary: break;
        default: damaged(format("Damaged archive: object %llu has an unknown type", static_cast<unsigned long long>(uid)));
    }
    auto classRef = uidOf(node.dictionary().find("$class"));
    if (!classRef || *classRef == 0 || *classRef >= objects->size() || !(*objects)[*classRef].isDictionary()) {
        damaged(format("Damaged archive: object %llu has no class", static_cast<unsigned long long>(uid)));
    }
    auto known = classes.find(*classRef);
    if (known == classes.end()) {
        const Value& classNameValue = (*objects)[*classRef]["$classname"];
        if (!classNameValue.isString() || classNameValue.string().empty()) damaged("Damaged archive: a class without a name");
        known = classes.emplace(*classRef, ClassEntry{classNameValue.string()}).first;
        known->second.kind = builtinKind(known->second.name);
    }
    if (++depth > detail::kMaxPlistDepth) damaged("Damaged archive: objects nested too deeply");
    struct Leave {
        int& depth;
        ~Leave() { --depth; }
    } leave{depth};
    return decodeClassed(coder, uid, node, known->second, allowedSet);
}

Value KeyedUnarchiver::State::decodeClassed(KeyedUnarchiver& coder, std::uint64_t uid, const Value& dict,
                                            ClassEntry& entry, const AllowedClasses* allowedSet) {
    const std::string& className = entry.name;
    const char* kind = entry.kind;
    if (kind && std::string_view(kind) != "Error") {
        checkAllowed(allowedSet, classNamed(kind), className);
        const std::string_view k(kind);
        if (k == "Null") return Value::null();
        if (k == "Date") {
            Value seconds = numberAt(dict, "NS.time");
            if (!seconds.isNumber() || !std::isfinite(seconds.doubleValue())) damaged("Damaged archive: a date without its time");
            return Value(Date::fromSinceReferenceDate(seconds.doubleValue()));
        }
        if (k == "DecimalNumber") return Value(decimalFrom(dict));
        if (k == "String") {
            Value text = dict["NS.string"];
            if (text.isData()) text = Value(std::string(text.bytes().begin(), text.bytes().end()));
            bool valid = text.isString();
            for (std::size_t i = 0; valid && i < text.string().size();) decodeUtf8(text.string(), i, &valid);
            if (!valid) damaged("Damaged archive: a string without its text");
            return text;
        }
        if (k == "Data") {
            const Value& bytes = dict["NS.data"];
            if (!bytes.isData()) damaged("Damaged archive: data without its bytes");
            return bytes;
        }
        if (k == "Number") damaged("Damaged archive: a number stored as an object");
        if (phases[uid] == InProgress) damaged("Damaged archive: a collection that contains itself");
        phases[uid] = InProgress;
        struct Done {
            Phase& phase;
            ~Done() {
                if (phase == InProgress) phase = Unread;
            }
        } done{phases[uid]};
        auto refs = [&](const char* key) {
            std::vector<std::uint64_t> out;
            const Value* list = dict.dictionary().find(key);
            if (!list) return out;
            if (!list->isArray()) damaged(format("Damaged archive: %s is not a list", key));
            out.reserve(list->array().size());
            for (const Value& item : list->array()) {
                auto ref = uidOf(&item);
                if (!ref) damaged(format("Damaged archive: an entry of %s is not an object reference", key));
                out.push_back(*ref);
            }
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
        decoded[uid] = result;
        phases[uid] = Decoded;
        return result;
    }

    if (!entry.cls) entry.cls = kind ? classNamed("Error") : classNamed(className);
    const ClassInfo* cls = entry.cls;
    if (kind) {
        // Errors: checked against the allowed classes by their registered class, "Object" at least.
        checkAllowed(allowedSet, cls ? cls : classNamed("Object"), className);
        Value domain = decodeMember(coder, dict, "NSDomain", nullptr);
        Value code = numberAt(dict, "NSCode");
        Value info = decodeMember(coder, dict, "NSUserInfo", nullptr);
        if (!domain.isString() || !code.isNumber()) damaged("Damaged archive: an error without domain or code");
        Value error(Error::make(domain.string(), code.longLongValue(), info.dictionary()));
        decoded[uid] = error;
        phases[uid] = Decoded;
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
    decoded[uid] = Value(object);
    phases[uid] = Decoded;
    stack.push_back(&dict);
    bool ok = false;
    {
        struct Pop {
            std::vector<const Value*>& frames;
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

namespace {

// The platform's own archivable classes are known before any archive is read: index sets, and errors
// under the class "Error", so that secure decoding can name it.
void registerPlatformClasses() {
    static const bool registered = [] {
        IndexSet::runtimeClass();
        ClassDef<Error>("Error").registerClass();
        return true;
    }();
    (void)registered;
}

}  // namespace

KeyedUnarchiver::KeyedUnarchiver() : state_(new State) { registerPlatformClasses(); }

KeyedUnarchiver::~KeyedUnarchiver() = default;

KeyedUnarchiver::KeyedUnarchiver(std::span<const std::uint8_t> data) : KeyedUnarchiver() {
    std::string failure;
    state_->root = detail::readPlist(data, {.uidsAsObjects = true}, nullptr, &failure);
    const Value& objects = state_->root["$objects"];
    const Value& top = state_->root["$top"];
    if (!objects.isArray() || !top.isDictionary()) {
        Exception::raise(std::string(kInvalidArgumentException),
                         format("*** -[KeyedUnarchiver initForReadingWithData:]: incomprehensible archive (%@)",
                                failure.empty() ? std::string("not a keyed archive") : failure));
    }
    state_->start(objects.array());
    state_->stack.push_back(&top);
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
    const Value* node = state_->lookup(key);
    if (!node) return {};
    auto uid = uidOf(node);
    if (!uid) {
        // A scalar written under the key is read as its value.
        if (node->isArray() || node->isDictionary() || node->isObject()) {
            damaged(format("Damaged archive: value for key (%@) is not an object", key));
        }
        return *node;
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
    const Value* node = state_->lookup(key);
    if (!node) return {};
    auto uid = uidOf(node);
    if (!uid && node->isNumber()) {
        // A scalar written under the key reads as its number, when numbers are allowed.
        AllowedClasses allowed{std::vector<const ClassInfo*>(classes.begin(), classes.end())};
        if (!allowed.allows(kindClass(*node))) {
            damaged(format("value for key '%@' was of unexpected class 'Number'. Allowed classes are '{(%@)}'.", key,
                           allowed.names()));
        }
        return *node;
    }
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

Value scalarAt(const Value* node, std::string_view key) {
    if (!node) return {};
    if (!node->isNumber()) damaged(format("Damaged archive: value for key (%@) is not a number", key));
    return *node;
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
    const Value* node = state_->lookup(key);
    if (!node) return {};
    if (!node->isData()) damaged(format("Damaged archive: value for key (%@) is not data", key));
    return node->bytes();
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
