#include <unordered_map>

#include "platform/base/format.h"
#include "platform/runtime/runtime.h"
#include "platform/storage/detail/plist_codec.h"
#include "platform/storage/detail/value_access.h"
#include "platform/storage/file_manager.h"
#include "platform/storage/keyed_archive.h"

namespace lv {

// ---- Coder: the side a coder does not implement raises ----

namespace {

[[noreturn]] void notOnThisCoder(const char* operation) {
    Exception::raise(std::string(kInvalidArgumentException),
                     format("*** -[Coder %s]: this coder does not implement this method", operation));
}

}  // namespace

Coder::~Coder() = default;
void Coder::encodeObject(const Value&, std::string_view) { notOnThisCoder("encodeObject:forKey:"); }
void Coder::encodeConditionalObject(const Value&, std::string_view) {
    notOnThisCoder("encodeConditionalObject:forKey:");
}
void Coder::encodeBool(bool, std::string_view) { notOnThisCoder("encodeBool:forKey:"); }
void Coder::encodeInt32(std::int32_t, std::string_view) { notOnThisCoder("encodeInt32:forKey:"); }
void Coder::encodeInt64(std::int64_t, std::string_view) { notOnThisCoder("encodeInt64:forKey:"); }
void Coder::encodeInteger(std::int64_t, std::string_view) { notOnThisCoder("encodeInteger:forKey:"); }
void Coder::encodeDouble(double, std::string_view) { notOnThisCoder("encodeDouble:forKey:"); }
void Coder::encodeFloat(float, std::string_view) { notOnThisCoder("encodeFloat:forKey:"); }
void Coder::encodeBytes(std::span<const std::uint8_t>, std::string_view) { notOnThisCoder("encodeBytes:length:forKey:"); }
bool Coder::containsValueForKey(std::string_view) const { notOnThisCoder("containsValueForKey:"); }
Value Coder::decodeObject(std::string_view) { notOnThisCoder("decodeObjectForKey:"); }
Value Coder::decodeObjectOfClass(const ClassInfo*, std::string_view) { notOnThisCoder("decodeObjectOfClass:forKey:"); }
Value Coder::decodeObjectOfClasses(std::span<const ClassInfo* const>, std::string_view) {
    notOnThisCoder("decodeObjectOfClasses:forKey:");
}
bool Coder::decodeBool(std::string_view) { notOnThisCoder("decodeBoolForKey:"); }
std::int32_t Coder::decodeInt32(std::string_view) { notOnThisCoder("decodeInt32ForKey:"); }
std::int64_t Coder::decodeInt64(std::string_view) { notOnThisCoder("decodeInt64ForKey:"); }
std::int64_t Coder::decodeInteger(std::string_view) { notOnThisCoder("decodeIntegerForKey:"); }
double Coder::decodeDouble(std::string_view) { notOnThisCoder("decodeDoubleForKey:"); }
float Coder::decodeFloat(std::string_view) { notOnThisCoder("decodeFloatForKey:"); }
Bytes Coder::decodeBytes(std::string_view) { notOnThisCoder("decodeBytesForKey:returnedLength:"); }

// ---- KeyedArchiver ----

namespace {

// Archive names of the built-in kinds, with their class chains.
const std::vector<std::string>& builtinChain(std::string_view name) {
    static const auto& chains = *new std::unordered_map<std::string_view, std::vector<std::string>>{
        {"NSDictionary", {"NSDictionary", "NSObject"}},
        {"NSArray", {"NSArray", "NSObject"}},
        {"NSDate", {"NSDate", "NSObject"}},
        {"NSNull", {"NSNull", "NSObject"}},
        {"NSDecimalNumber", {"NSDecimalNumber", "NSNumber", "NSValue", "NSObject"}},
        {"NSError", {"NSError", "NSObject"}},
        {"NSSet", {"NSSet", "NSObject"}},
        {"NSString", {"NSString", "NSObject"}},
    };
    return chains.at(name);
}

}  // namespace

struct KeyedArchiver::State {
    Array objects;                                    // "$objects"; an object's slot is filled when it is done
    std::vector<Dictionary> frames;                   // the dictionaries being filled ("$top" first)
    std::unordered_map<const Object*, std::uint64_t> objectUIDs;
    std::unordered_map<std::string, std::uint64_t> stringUIDs;
    std::unordered_map<std::string, std::uint64_t> classUIDs;
    std::optional<std::uint64_t> nullUID;
    std::vector<Ref<Object>> retained;                // keeps encoded objects (and their addresses) alive
    struct Pending {
        const Object* object = nullptr;
        std::string text;
        Ref<detail::PlistUID> uid;
    };
    std::vector<Pending> conditionals;
    int depth = 0;                                    // containers and objects being encoded
    bool finished = false;

    std::uint64_t append(Value node) {
        objects.push_back(std::move(node));
        return objects.size() - 1;
    }

    std::uint64_t classUID(const std::string& name, const std::vector<std::string>& chain) {
        if (auto it = classUIDs.find(name); it != classUIDs.end()) return it->second;
        Array classes(chain.begin(), chain.end());
        const std::uint64_t uid = append(Value::dictionary({{"$classes", Value(std::move(classes))}, {"$classname", name}}));
        classUIDs.emplace(name, uid);
        return uid;
    }

    Value builtinClass(const char* name) { return detail::makeUID(classUID(name, builtinChain(name))); }

    // Nesting of containers and objects is limited as in property lists.
    struct Level {
        int& depth;
        explicit Level(int& d) : depth(d) {
            if (++depth > detail::kMaxPlistDepth) {
                --depth;
                Exception::raise(std::string(kInvalidArchiveOperationException),
                                 "*** -[KeyedArchiver encodeObject:forKey:]: objects nested too deeply to archive");
            }
        }
        ~Level() { --depth; }
        Level(const Level&) = delete;
        Level& operator=(const Level&) = delete;
    };

    std::uint64_t encode(KeyedArchiver& archiver, const Value& value);
    std::uint64_t encodeDecimal(const Decimal& d);
    std::uint64_t encodeObject(KeyedArchiver& archiver, const Ref<Object>& object);
};

namespace {

// Archive names of a registered class and its superclasses (the root "Object" is written as "NSObject").
std::vector<std::string> classChain(const ClassInfo* cls) {
    std::vector<std::string> chain;
    for (const ClassInfo* c = cls; c; c = c->superclass()) chain.push_back(c->superclass() ? c->name() : "NSObject");
    return chain;
}

}  // namespace

KeyedArchiver::KeyedArchiver(bool requiresSecureCoding) : secure_(requiresSecureCoding), state_(new State) {
    state_->append(Value("$null"));
    state_->frames.emplace_back();
}

KeyedArchiver::~KeyedArchiver() = default;

std::uint64_t KeyedArchiver::State::encode(KeyedArchiver& archiver, const Value& value) {
    switch (value.type()) {
        case Value::Type::Nil: return 0;
        case Value::Type::String: {
            if (auto it = stringUIDs.find(value.string()); it != stringUIDs.end()) return it->second;
            const std::string& text = value.string();
            std::uint64_t uid = 0;
            if (text.find('\0') == std::string::npos) {
                uid = append(value);
            } else {
                // A plist string cannot hold NUL: such text is a string object with its UTF-8 bytes.
                uid = append(Value::dictionary({{"$class", builtinClass("NSString")}, {"NS.string", Value::data(text)}}));
            }
            stringUIDs.emplace(value.string(), uid);
            return uid;
        }
        case Value::Type::Number:
        case Value::Type::Data: return append(value);
        case Value::Type::Null:
            if (!nullUID) nullUID = append(Value::dictionary({{"$class", builtinClass("NSNull")}}));
            return *nullUID;
        case Value::Type::Date:
            return append(Value::dictionary(
                {{"$class", builtinClass("NSDate")}, {"NS.time", detail::dateOf(value).sinceReferenceDate()}}));
        case Value::Type::Decimal: return encodeDecimal(detail::decimalOf(value));
        case Value::Type::Array: {
            Level level(depth);
            const std::uint64_t uid = append(Value());
            Array items;
            items.reserve(value.array().size());
            for (const Value& item : value.array()) items.push_back(detail::makeUID(encode(archiver, item)));
            objects[uid] = Value::dictionary({{"NS.objects", Value(std::move(items))}, {"$class", builtinClass("NSArray")}});
            return uid;
        }
        case Value::Type::Dictionary: {
            Level level(depth);
            const std::uint64_t uid = append(Value());
            Array keys, items;
            for (const auto& [key, item] : value.dictionary()) {
                keys.push_back(detail::makeUID(encode(archiver, Value(key))));
                items.push_back(detail::makeUID(encode(archiver, item)));
            }
            objects[uid] = Value::dictionary({{"NS.keys", Value(std::move(keys))},
                                              {"NS.objects", Value(std::move(items))},
                                              {"$class", builtinClass("NSDictionary")}});
            return uid;
        }
        case Value::Type::Object: return encodeObject(archiver, value.object());
    }
    return 0;
}

std::uint64_t KeyedArchiver::State::encodeDecimal(const Decimal& d) {
    std::uint8_t mantissa[16] = {};
    UInt128 m = d.isNaN() ? 0 : d.mantissa();
    int length = 0;
    for (int word = 0; word < 8 && m != 0; ++word) {
        mantissa[word * 2] = static_cast<std::uint8_t>(m & 0xFF);
        mantissa[word * 2 + 1] = static_cast<std::uint8_t>((m >> 8) & 0xFF);
        m >>= 16;
        length = word + 1;
    }
    const std::int64_t exponent = d.isNaN() ? 0 : d.exponent();
    return append(Value::dictionary({
        {"$class", builtinClass("NSDecimalNumber")},
        {"NS.compact", true},
        {"NS.exponent", exponent},
        {"NS.length", static_cast<std::int64_t>(length)},
        {"NS.mantissa", Value(Bytes(mantissa, mantissa + 16))},
        {"NS.mantissa.bo", static_cast<std::int64_t>(1)},
        {"NS.negative", d.isNaN() || d.isNegative()},
    }));
}

std::uint64_t KeyedArchiver::State::encodeObject(KeyedArchiver& archiver, const Ref<Object>& object) {
    if (auto it = objectUIDs.find(object.get()); it != objectUIDs.end()) return it->second;
    Level level(depth);
    if (auto set = std::dynamic_pointer_cast<ArchivedSet>(object)) {
        const std::uint64_t uid = append(Value());
        objectUIDs.emplace(object.get(), uid);
        retained.push_back(object);
        Array items;
        items.reserve(set->members().size());
        for (const Value& item : set->members()) items.push_back(detail::makeUID(encode(archiver, item)));
        objects[uid] = Value::dictionary({{"NS.objects", Value(std::move(items))}, {"$class", builtinClass("NSSet")}});
        return uid;
    }
    if (auto error = std::dynamic_pointer_cast<Error>(object)) {
        const std::uint64_t uid = append(Value());
        objectUIDs.emplace(object.get(), uid);
        retained.push_back(object);
        Dictionary dict{{"NSDomain", detail::makeUID(encode(archiver, Value(error->domain())))},
                        {"NSCode", error->code()}};
        if (!error->userInfo().empty()) dict.set("NSUserInfo", detail::makeUID(encode(archiver, Value(error->userInfo()))));
        dict.set("$class", builtinClass("NSError"));
        objects[uid] = Value(std::move(dict));
        return uid;
    }
    const auto* coding = dynamic_cast<const Coding*>(object.get());
    const ClassInfo* cls = classOf(*object);
    const Object& target = *object;
    if (!coding || !cls || cls->cppType() != std::type_index(typeid(target))) {
        Exception::raise(std::string(kInvalidArgumentException),
                         format("-[%@ encodeWithCoder:]: unrecognized selector sent to instance %p",
                                object->className(), static_cast<const void*>(object.get())));
    }
    if (archiver.requiresSecureCoding() && !coding->supportsSecureCoding()) {
        Exception::raise(std::string(kInvalidArchiveOperationException),
                         format("This coder requires that classes being encoded conform to secure coding; class "
                                "'%@' does not.",
                                cls->name()));
    }
    const std::uint64_t uid = append(Value());
    objectUIDs.emplace(object.get(), uid);
    retained.push_back(object);
    frames.emplace_back();
    struct Pop {
        std::vector<Dictionary>& frames;
        ~Pop() { frames.pop_back(); }
    } pop{frames};
    coding->encodeWithCoder(archiver);
    Dictionary dict = std::move(frames.back());
    dict.set("$class", detail::makeUID(classUID(cls->name(), classChain(cls))));
    objects[uid] = Value(std::move(dict));
    return uid;
}

namespace {

void requireOpen(bool finished) {
    if (finished) {
        Exception::raise(std::string(kInvalidArgumentException),
                         "*** -[KeyedArchiver encode\u2026]: archive already finished, cannot encode anything more");
    }
}

}  // namespace

void KeyedArchiver::encodeObject(const Value& object, std::string_view key) {
    requireOpen(state_->finished);
    const std::uint64_t uid = state_->encode(*this, object);
    state_->frames.back().set(detail::escapedArchiveKey(key), detail::makeUID(uid));
}

void KeyedArchiver::encodeConditionalObject(const Value& object, std::string_view key) {
    requireOpen(state_->finished);
    State& s = *state_;
    auto uid = makeRef<detail::PlistUID>(0);
    s.frames.back().set(detail::escapedArchiveKey(key), Value(uid));
    if (object.isObject()) {
        s.conditionals.push_back({object.object().get(), {}, uid});
        // Keep the address from being reused by another object while the archive is built.
        s.retained.push_back(object.object());
    } else if (object.isString()) {
        s.conditionals.push_back({nullptr, object.string(), uid});
    }
}

void KeyedArchiver::encodeBool(bool value, std::string_view key) {
    requireOpen(state_->finished);
    state_->frames.back().set(detail::escapedArchiveKey(key), Value(value));
}

void KeyedArchiver::encodeInt32(std::int32_t value, std::string_view key) { encodeInt64(value, key); }
void KeyedArchiver::encodeInteger(std::int64_t value, std::string_view key) { encodeInt64(value, key); }

void KeyedArchiver::encodeInt64(std::int64_t value, std::string_view key) {
    requireOpen(state_->finished);
    state_->frames.back().set(detail::escapedArchiveKey(key), Value(value));
}

void KeyedArchiver::encodeDouble(double value, std::string_view key) {
    requireOpen(state_->finished);
    state_->frames.back().set(detail::escapedArchiveKey(key), Value(value));
}

void KeyedArchiver::encodeFloat(float value, std::string_view key) { encodeDouble(value, key); }

void KeyedArchiver::encodeBytes(std::span<const std::uint8_t> bytes, std::string_view key) {
    requireOpen(state_->finished);
    state_->frames.back().set(detail::escapedArchiveKey(key), Value(Bytes(bytes.begin(), bytes.end())));
}

Bytes KeyedArchiver::encodedData() {
    requireOpen(state_->finished);
    State& s = *state_;
    s.finished = true;
    for (const auto& pending : s.conditionals) {
        if (pending.object) {
            if (auto it = s.objectUIDs.find(pending.object); it != s.objectUIDs.end()) pending.uid->value = it->second;
        } else if (auto it = s.stringUIDs.find(pending.text); it != s.stringUIDs.end()) {
            pending.uid->value = it->second;
        }
    }
    const Value root = Value::dictionary({
        {"$archiver", "NSKeyedArchiver"},
        {"$objects", Value(std::move(s.objects))},
        {"$top", Value(std::move(s.frames.front()))},
        {"$version", 100000},
    });
    std::string failure;
    auto bytes = detail::writePlist(root, format_, {.uidsAsObjects = true}, &failure);
    if (!bytes) Exception::raise(std::string(kInvalidArchiveOperationException), failure);
    return std::move(*bytes);
}

Bytes KeyedArchiver::archivedDataWithRootObject(const Value& root) {
    KeyedArchiver archiver;
    archiver.encodeObject(root, "root");
    return archiver.encodedData();
}

std::optional<Bytes> KeyedArchiver::archivedDataWithRootObject(const Value& root, bool requiringSecureCoding,
                                                               Ref<Error>* error) {
    try {
        KeyedArchiver archiver(requiringSecureCoding);
        archiver.encodeObject(root, "root");
        return archiver.encodedData();
    } catch (const Exception& e) {
        setError(error, Error::make(std::string(kCocoaErrorDomain), kCoderInvalidValueError,
                                    {{std::string(kDebugDescriptionErrorKey), Value(e.reason())}}));
        return std::nullopt;
    }
}

bool KeyedArchiver::archiveRootObject(const Value& root, std::string_view path) {
    auto bytes = archivedDataWithRootObject(root, false, nullptr);
    return bytes && writeToFile(*bytes, path, kDataWritingAtomic, nullptr);
}

}  // namespace lv
