#include <plist/plist.h>

#include <unordered_map>

#include "platform/base/format.h"
#include "platform/runtime/runtime.h"
#include "platform/storage/detail/plist_bridge.h"
#include "platform/storage/detail/value_access.h"
#include "platform/storage/file_manager.h"
#include "platform/storage/keyed_archive.h"

namespace lv {

using detail::PlistPtr;

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

std::string escapedKey(std::string_view key) {
    std::string out;
    if (!key.empty() && key[0] == '$') out.push_back('$');
    out.append(key);
    return out;
}

// Archive names of the built-in kinds, with their class chains.
const std::vector<std::string>& builtinChain(std::string_view name) {
    static const std::unordered_map<std::string_view, std::vector<std::string>> chains = {
        {"NSDictionary", {"NSDictionary", "NSObject"}},
        {"NSArray", {"NSArray", "NSObject"}},
        {"NSDate", {"NSDate", "NSObject"}},
        {"NSNull", {"NSNull", "NSObject"}},
        {"NSDecimalNumber", {"NSDecimalNumber", "NSNumber", "NSValue", "NSObject"}},
        {"NSError", {"NSError", "NSObject"}},
        {"NSString", {"NSString", "NSObject"}},
    };
    return chains.at(name);
}

}  // namespace

struct KeyedArchiver::State {
    PlistPtr objects{plist_new_array()};
    PlistPtr top{plist_new_dict()};
    std::uint64_t count = 0;                          // entries in objects
    std::vector<plist_t> stack;                       // the dictionary being filled (top first)
    std::unordered_map<const Object*, std::uint64_t> objectUIDs;
    std::unordered_map<std::string, std::uint64_t> stringUIDs;
    std::unordered_map<std::string, std::uint64_t> classUIDs;
    std::optional<std::uint64_t> nullUID;
    std::vector<Ref<Object>> retained;                // keeps encoded objects (and their addresses) alive
    struct Pending {
        const Object* object = nullptr;
        std::string text;
        plist_t uidNode = nullptr;
    };
    std::vector<Pending> conditionals;
    bool finished = false;

    std::uint64_t append(plist_t node) {
        plist_array_append_item(objects.get(), node);
        return count++;
    }

    // A dictionary node appended before its members are encoded, so that it precedes them.
    std::uint64_t appendPlaceholder(plist_t& node) {
        node = plist_new_dict();
        return append(node);
    }

    std::uint64_t classUID(const std::string& name, const std::vector<std::string>& chain) {
        if (auto it = classUIDs.find(name); it != classUIDs.end()) return it->second;
        plist_t dict = plist_new_dict();
        plist_t classes = plist_new_array();
        for (const std::string& c : chain) plist_array_append_item(classes, plist_new_string(c.c_str()));
        plist_dict_set_item(dict, "$classes", classes);
        plist_dict_set_item(dict, "$classname", plist_new_string(name.c_str()));
        const std::uint64_t uid = append(dict);
        classUIDs.emplace(name, uid);
        return uid;
    }

    std::uint64_t builtinClassUID(const char* name) { return classUID(name, builtinChain(name)); }

    plist_t newObjectDict(const char* builtinClass) {
        plist_t dict = plist_new_dict();
        plist_dict_set_item(dict, "$class", plist_new_uid(builtinClassUID(builtinClass)));
        return dict;
    }

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
    state_->append(plist_new_string("$null"));
    state_->stack.push_back(state_->top.get());
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
                uid = append(plist_new_string(text.c_str()));
            } else {
                // A plist string cannot hold NUL: such text is a string object with its UTF-8 bytes.
                plist_t dict = newObjectDict("NSString");
                plist_dict_set_item(dict, "NS.string", plist_new_data(text.data(), text.size()));
                uid = append(dict);
            }
            stringUIDs.emplace(value.string(), uid);
            return uid;
        }
        case Value::Type::Number:
        case Value::Type::Data: return append(detail::plistFromValue(value, nullptr).release());
        case Value::Type::Null:
            if (!nullUID) nullUID = append(newObjectDict("NSNull"));
            return *nullUID;
        case Value::Type::Date: {
            plist_t dict = newObjectDict("NSDate");
            plist_dict_set_item(dict, "NS.time", plist_new_real(detail::dateOf(value).sinceReferenceDate()));
            return append(dict);
        }
        case Value::Type::Decimal: return encodeDecimal(detail::decimalOf(value));
        case Value::Type::Array: {
            plist_t dict = nullptr;
            const std::uint64_t uid = appendPlaceholder(dict);
            plist_t items = plist_new_array();
            plist_dict_set_item(dict, "NS.objects", items);
            for (const Value& item : value.array()) plist_array_append_item(items, plist_new_uid(encode(archiver, item)));
            plist_dict_set_item(dict, "$class", plist_new_uid(builtinClassUID("NSArray")));
            return uid;
        }
        case Value::Type::Dictionary: {
            plist_t dict = nullptr;
            const std::uint64_t uid = appendPlaceholder(dict);
            plist_t keys = plist_new_array();
            plist_t items = plist_new_array();
            plist_dict_set_item(dict, "NS.keys", keys);
            plist_dict_set_item(dict, "NS.objects", items);
            for (const auto& [key, item] : value.dictionary()) {
                plist_array_append_item(keys, plist_new_uid(encode(archiver, Value(key))));
                plist_array_append_item(items, plist_new_uid(encode(archiver, item)));
            }
            plist_dict_set_item(dict, "$class", plist_new_uid(builtinClassUID("NSDictionary")));
            return uid;
        }
        case Value::Type::Object: return encodeObject(archiver, value.object());
    }
    return 0;
}

std::uint64_t KeyedArchiver::State::encodeDecimal(const Decimal& d) {
    plist_t dict = newObjectDict("NSDecimalNumber");
    std::uint8_t mantissa[16] = {};
    std::uint64_t m = d.isNaN() ? 0 : d.mantissa();
    int length = 0;
    for (int word = 0; word < 4 && m != 0; ++word) {
        mantissa[word * 2] = static_cast<std::uint8_t>(m & 0xFF);
        mantissa[word * 2 + 1] = static_cast<std::uint8_t>((m >> 8) & 0xFF);
        m >>= 16;
        length = word + 1;
    }
    const std::int64_t exponent = d.isNaN() ? 0 : d.exponent();
    plist_dict_set_item(dict, "NS.compact", plist_new_bool(1));
    plist_dict_set_item(dict, "NS.exponent", plist_new_uint(static_cast<uint64_t>(exponent)));
    plist_dict_set_item(dict, "NS.length", plist_new_uint(static_cast<uint64_t>(length)));
    plist_dict_set_item(dict, "NS.mantissa", plist_new_data(reinterpret_cast<const char*>(mantissa), 16));
    plist_dict_set_item(dict, "NS.mantissa.bo", plist_new_uint(1));
    plist_dict_set_item(dict, "NS.negative", plist_new_bool(d.isNaN() || d.isNegative() ? 1 : 0));
    return append(dict);
}

std::uint64_t KeyedArchiver::State::encodeObject(KeyedArchiver& archiver, const Ref<Object>& object) {
    if (auto it = objectUIDs.find(object.get()); it != objectUIDs.end()) return it->second;
    if (auto error = std::dynamic_pointer_cast<Error>(object)) {
        plist_t dict = nullptr;
        const std::uint64_t uid = appendPlaceholder(dict);
        objectUIDs.emplace(object.get(), uid);
        retained.push_back(object);
        plist_dict_set_item(dict, "NSDomain", plist_new_uid(encode(archiver, Value(error->domain()))));
        plist_dict_set_item(dict, "NSCode", plist_new_uint(static_cast<uint64_t>(error->code())));
        if (!error->userInfo().empty()) {
            plist_dict_set_item(dict, "NSUserInfo", plist_new_uid(encode(archiver, Value(error->userInfo()))));
        }
        plist_dict_set_item(dict, "$class", plist_new_uid(builtinClassUID("NSError")));
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
    plist_t dict = nullptr;
    const std::uint64_t uid = appendPlaceholder(dict);
    objectUIDs.emplace(object.get(), uid);
    retained.push_back(object);
    stack.push_back(dict);
    struct Pop {
        std::vector<plist_t>& frames;
        ~Pop() { frames.pop_back(); }
    } pop{stack};
    coding->encodeWithCoder(archiver);
    plist_dict_set_item(dict, "$class", plist_new_uid(classUID(cls->name(), classChain(cls))));
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
    plist_dict_set_item(state_->stack.back(), escapedKey(key).c_str(), plist_new_uid(uid));
}

void KeyedArchiver::encodeConditionalObject(const Value& object, std::string_view key) {
    requireOpen(state_->finished);
    State& s = *state_;
    plist_t uidNode = plist_new_uid(0);
    plist_dict_set_item(s.stack.back(), escapedKey(key).c_str(), uidNode);
    if (object.isObject()) {
        s.conditionals.push_back({object.object().get(), {}, uidNode});
        // Keep the address from being reused by another object while the archive is built.
        s.retained.push_back(object.object());
    } else if (object.isString()) {
        s.conditionals.push_back({nullptr, object.string(), uidNode});
    }
}

void KeyedArchiver::encodeBool(bool value, std::string_view key) {
    requireOpen(state_->finished);
    plist_dict_set_item(state_->stack.back(), escapedKey(key).c_str(), plist_new_bool(value ? 1 : 0));
}

void KeyedArchiver::encodeInt32(std::int32_t value, std::string_view key) { encodeInt64(value, key); }
void KeyedArchiver::encodeInteger(std::int64_t value, std::string_view key) { encodeInt64(value, key); }

void KeyedArchiver::encodeInt64(std::int64_t value, std::string_view key) {
    requireOpen(state_->finished);
    plist_dict_set_item(state_->stack.back(), escapedKey(key).c_str(), plist_new_uint(static_cast<uint64_t>(value)));
}

void KeyedArchiver::encodeDouble(double value, std::string_view key) {
    requireOpen(state_->finished);
    plist_dict_set_item(state_->stack.back(), escapedKey(key).c_str(), plist_new_real(value));
}

void KeyedArchiver::encodeFloat(float value, std::string_view key) { encodeDouble(value, key); }

void KeyedArchiver::encodeBytes(std::span<const std::uint8_t> bytes, std::string_view key) {
    requireOpen(state_->finished);
    plist_dict_set_item(state_->stack.back(), escapedKey(key).c_str(),
                        plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

Bytes KeyedArchiver::encodedData() {
    requireOpen(state_->finished);
    State& s = *state_;
    s.finished = true;
    for (const auto& pending : s.conditionals) {
        std::uint64_t uid = 0;
        if (pending.object) {
            if (auto it = s.objectUIDs.find(pending.object); it != s.objectUIDs.end()) uid = it->second;
        } else if (auto it = s.stringUIDs.find(pending.text); it != s.stringUIDs.end()) {
            uid = it->second;
        }
        plist_set_uid_val(pending.uidNode, uid);
    }
    PlistPtr root(plist_new_dict());
    plist_dict_set_item(root.get(), "$archiver", plist_new_string("NSKeyedArchiver"));
    plist_dict_set_item(root.get(), "$objects", s.objects.release());
    plist_dict_set_item(root.get(), "$top", s.top.release());
    plist_dict_set_item(root.get(), "$version", plist_new_uint(100000));
    std::string failure;
    auto bytes = detail::serializePlist(root.get(), format_, &failure);
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
