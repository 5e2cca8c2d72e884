#include <array>
#include <functional>
#include <typeinfo>
#include <unordered_map>

#include "platform/base/format.h"
#include "platform/runtime/runtime.h"
#include "platform/storage/detail/archive_graph.h"
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

using detail::ArchiveNode;
using NodeKind = detail::ArchiveNode::Kind;

// The built-in kinds by their archive names, with their class chains.
enum class Builtin : std::uint8_t { Dictionary, Array, Date, Null, Decimal, Error, Set, String, Count };

struct BuiltinClass {
    std::string_view name;
    std::vector<std::string> chain;
};

const BuiltinClass& builtinClass(Builtin kind) {
    static const auto& classes = *new std::array<BuiltinClass, static_cast<std::size_t>(Builtin::Count)>{{
        {"NSDictionary", {"NSDictionary", "NSObject"}},
        {"NSArray", {"NSArray", "NSObject"}},
        {"NSDate", {"NSDate", "NSObject"}},
        {"NSNull", {"NSNull", "NSObject"}},
        {"NSDecimalNumber", {"NSDecimalNumber", "NSNumber", "NSValue", "NSObject"}},
        {"NSError", {"NSError", "NSObject"}},
        {"NSSet", {"NSSet", "NSObject"}},
        {"NSString", {"NSString", "NSObject"}},
    }};
    return classes[static_cast<std::size_t>(kind)];
}

// Archive names of a registered class and its superclasses (the root "Object" is written as "NSObject").
std::vector<std::string> classChain(const ClassInfo* cls) {
    std::vector<std::string> chain;
    for (const ClassInfo* c = cls; c; c = c->superclass()) chain.push_back(c->superclass() ? c->name() : "NSObject");
    return chain;
}

// Text keys looked up by string_view without a copy.
struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};
template <class T>
using TextMap = std::unordered_map<std::string, T, TextHash, std::equal_to<>>;

}  // namespace

// The archive is built as nodes (detail/archive_graph.h): each object's entries are gathered in the
// frame of its depth, then kept together; keys are held once each, as numbers.
struct KeyedArchiver::State {
    detail::ArchiveGraph graph;
    std::vector<std::vector<ArchiveNode>> frames;     // entries of the objects being encoded ("$top" first)
    std::size_t openFrames = 1;
    std::unordered_map<const Object*, std::uint64_t> objectUIDs;
    TextMap<std::uint64_t> stringUIDs;
    TextMap<std::uint64_t> classUIDs;                 // by archive name
    std::unordered_map<const ClassInfo*, std::uint64_t> registeredClassUIDs;
    std::array<std::uint64_t, static_cast<std::size_t>(Builtin::Count)> builtinUIDs{};  // 0 until written
    TextMap<std::uint32_t> keyIDs;
    std::uint32_t classKey, objectsKey, keysKey, classesKey, classNameKey;
    std::optional<std::uint64_t> nullUID;
    const std::type_info* lastNonError = nullptr;     // the type last found not to be an Error
    std::vector<Ref<Object>> retained;                // keeps encoded objects (and their addresses) alive
    struct Pending {
        const Object* object = nullptr;
        std::string text;
        std::size_t index;                            // in graph.conditionals
    };
    std::vector<Pending> conditionals;
    int depth = 0;                                    // containers and objects being encoded
    bool finished = false;

    State() : frames(1) {
        classKey = key("$class");
        objectsKey = key("NS.objects");
        keysKey = key("NS.keys");
        classesKey = key("$classes");
        classNameKey = key("$classname");
        graph.objects.push_back(graph.text("$null"));
    }

    // A key as stored (escaped by the caller when it comes from a coder call).
    std::uint32_t key(std::string_view stored) {
        if (auto it = keyIDs.find(stored); it != keyIDs.end()) return it->second;
        const auto id = static_cast<std::uint32_t>(graph.keys.size());
        graph.keys.push_back({std::string(stored), detail::plistStringIsValid(stored, false)});
        keyIDs.emplace(std::string(stored), id);
        return id;
    }
    // The key a coder call names. Callers mostly pass the same texts at the same addresses: the key
    // last found for the address is taken when its text is the same.
    struct KeyHint {
        const char* data = nullptr;
        std::size_t size = 0;
        std::uint32_t id = 0;
    };
    std::array<KeyHint, 64> keyHints{};
    std::uint32_t coderKey(std::string_view key) {
        if (!key.empty() && key[0] == '$') return this->key(detail::escapedArchiveKey(key));
        KeyHint& hint = keyHints[((reinterpret_cast<std::uintptr_t>(key.data()) >> 3) ^ key.size()) % keyHints.size()];
        if (hint.data == key.data() && hint.size == key.size() && graph.keys[hint.id].text == key) return hint.id;
        const std::uint32_t id = this->key(key);
        hint = {key.data(), key.size(), id};
        return id;
    }
    static ArchiveNode entry(std::uint32_t key, ArchiveNode node) {
        node.key = key;
        return node;
    }
    std::vector<ArchiveNode>& frame() { return frames[openFrames - 1]; }

    std::uint64_t append(ArchiveNode node) {
        graph.objects.push_back(node);
        return graph.objects.size() - 1;
    }

    std::uint64_t classUID(std::string_view name, const std::vector<std::string>& chain) {
        if (auto it = classUIDs.find(name); it != classUIDs.end()) return it->second;
        std::vector<ArchiveNode> names;
        names.reserve(chain.size());
        for (const std::string& c : chain) names.push_back(graph.text(c));
        const ArchiveNode list = entry(classesKey, graph.container(NodeKind::Array, names));
        const ArchiveNode entries[] = {list, entry(classNameKey, graph.text(name))};
        const std::uint64_t uid = append(graph.container(NodeKind::Dictionary, entries));
        classUIDs.emplace(std::string(name), uid);
        return uid;
    }

    ArchiveNode builtinClassEntry(Builtin kind) {
        std::uint64_t& uid = builtinUIDs[static_cast<std::size_t>(kind)];
        if (!uid) uid = classUID(builtinClass(kind).name, builtinClass(kind).chain);
        return entry(classKey, detail::ArchiveGraph::uid(uid));
    }

    std::uint64_t registeredClassUID(const ClassInfo* cls) {
        if (auto it = registeredClassUIDs.find(cls); it != registeredClassUIDs.end()) return it->second;
        const std::uint64_t uid = classUID(cls->name(), classChain(cls));
        registeredClassUIDs.emplace(cls, uid);
        return uid;
    }

    // A list of references under the key.
    ArchiveNode uidList(std::uint32_t key, std::span<const std::uint64_t> uids) {
        std::vector<ArchiveNode> nodes;
        nodes.reserve(uids.size());
        for (std::uint64_t uid : uids) nodes.push_back(detail::ArchiveGraph::uid(uid));
        return entry(key, graph.container(NodeKind::Array, nodes));
    }

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

KeyedArchiver::KeyedArchiver(bool requiresSecureCoding) : secure_(requiresSecureCoding), state_(new State) {}

KeyedArchiver::~KeyedArchiver() = default;

std::uint64_t KeyedArchiver::State::encode(KeyedArchiver& archiver, const Value& value) {
    switch (value.type()) {
        case Value::Type::Nil: return 0;
        case Value::Type::String: {
            const std::string& text = value.string();
            if (auto it = stringUIDs.find(text); it != stringUIDs.end()) return it->second;
            std::uint64_t uid = 0;
            if (text.find('\0') == std::string::npos) {
                uid = append(graph.text(text));
            } else {
                // A plist string cannot hold NUL: such text is a string object with its UTF-8 bytes.
                const ArchiveNode entries[] = {
                    builtinClassEntry(Builtin::String),
                    entry(key("NS.string"), graph.data({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()})),
                };
                uid = append(graph.container(NodeKind::Dictionary, entries));
            }
            stringUIDs.emplace(text, uid);
            return uid;
        }
        case Value::Type::Number: return append(graph.number(detail::numberOf(value)));
        case Value::Type::Data: return append(graph.data(value.bytes()));
        case Value::Type::Null:
            if (!nullUID) {
                const ArchiveNode entries[] = {builtinClassEntry(Builtin::Null)};
                nullUID = append(graph.container(NodeKind::Dictionary, entries));
            }
            return *nullUID;
        case Value::Type::Date: {
            const ArchiveNode entries[] = {
                builtinClassEntry(Builtin::Date),
                entry(key("NS.time"), graph.number(Number::of(detail::dateOf(value).sinceReferenceDate()))),
            };
            return append(graph.container(NodeKind::Dictionary, entries));
        }
        case Value::Type::Decimal: return encodeDecimal(detail::decimalOf(value));
        case Value::Type::Array: {
            Level level(depth);
            const std::uint64_t uid = append({});
            std::vector<std::uint64_t> items;
            items.reserve(value.array().size());
            for (const Value& item : value.array()) items.push_back(encode(archiver, item));
            const ArchiveNode entries[] = {uidList(objectsKey, items), builtinClassEntry(Builtin::Array)};
            graph.objects[uid] = graph.container(NodeKind::Dictionary, entries);
            return uid;
        }
        case Value::Type::Dictionary: {
            Level level(depth);
            const std::uint64_t uid = append({});
            std::vector<std::uint64_t> keys, items;
            keys.reserve(value.dictionary().size());
            items.reserve(value.dictionary().size());
            for (const auto& [key, item] : value.dictionary()) {
                keys.push_back(encode(archiver, Value(key)));
                items.push_back(encode(archiver, item));
            }
            const ArchiveNode entries[] = {uidList(keysKey, keys), uidList(objectsKey, items),
                                           builtinClassEntry(Builtin::Dictionary)};
            graph.objects[uid] = graph.container(NodeKind::Dictionary, entries);
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
    const ArchiveNode entries[] = {
        builtinClassEntry(Builtin::Decimal),
        entry(key("NS.compact"), graph.number(Number::of(true))),
        entry(key("NS.exponent"), graph.number(Number::of(exponent))),
        entry(key("NS.length"), graph.number(Number::of(static_cast<std::int64_t>(length)))),
        entry(key("NS.mantissa"), graph.data(mantissa)),
        entry(key("NS.mantissa.bo"), graph.number(Number::of(static_cast<std::int64_t>(1)))),
        entry(key("NS.negative"), graph.number(Number::of(d.isNaN() || d.isNegative()))),
    };
    return append(graph.container(NodeKind::Dictionary, entries));
}

std::uint64_t KeyedArchiver::State::encodeObject(KeyedArchiver& archiver, const Ref<Object>& object) {
    if (auto it = objectUIDs.find(object.get()); it != objectUIDs.end()) return it->second;
    Level level(depth);
    const Object& target = *object;
    const std::type_info& type = typeid(target);
    if (type == typeid(ArchivedSet)) {  // a final class
        const auto set = std::static_pointer_cast<ArchivedSet>(object);
        const std::uint64_t uid = append({});
        objectUIDs.emplace(object.get(), uid);
        retained.push_back(object);
        std::vector<std::uint64_t> items;
        items.reserve(set->members().size());
        for (const Value& item : set->members()) items.push_back(encode(archiver, item));
        const ArchiveNode entries[] = {uidList(objectsKey, items), builtinClassEntry(Builtin::Set)};
        graph.objects[uid] = graph.container(NodeKind::Dictionary, entries);
        return uid;
    }
    const auto error = lastNonError && *lastNonError == type ? nullptr : std::dynamic_pointer_cast<Error>(object);
    if (!error) lastNonError = &type;
    if (error) {
        const std::uint64_t uid = append({});
        objectUIDs.emplace(object.get(), uid);
        retained.push_back(object);
        std::vector<ArchiveNode> entries;
        entries.push_back(entry(key("NSDomain"), detail::ArchiveGraph::uid(encode(archiver, Value(error->domain())))));
        entries.push_back(entry(key("NSCode"), graph.number(Number::of(error->code()))));
        if (!error->userInfo().empty()) {
            entries.push_back(entry(key("NSUserInfo"), detail::ArchiveGraph::uid(encode(archiver, Value(error->userInfo())))));
        }
        entries.push_back(builtinClassEntry(Builtin::Error));
        graph.objects[uid] = graph.container(NodeKind::Dictionary, entries);
        return uid;
    }
    const auto* coding = dynamic_cast<const Coding*>(object.get());
    const ClassInfo* cls = classOf(*object);
    if (!coding || !cls || cls->cppType() != std::type_index(type)) {
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
    const std::uint64_t uid = append({});
    objectUIDs.emplace(object.get(), uid);
    retained.push_back(object);
    if (frames.size() == openFrames) frames.emplace_back();
    frames[openFrames].clear();
    ++openFrames;
    struct Pop {
        std::size_t& open;
        ~Pop() { --open; }
    } pop{openFrames};
    coding->encodeWithCoder(archiver);
    std::vector<ArchiveNode>& entries = frame();
    entries.push_back(entry(classKey, detail::ArchiveGraph::uid(registeredClassUID(cls))));
    graph.objects[uid] = graph.container(NodeKind::Dictionary, entries);
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
    State& s = *state_;
    const std::uint64_t uid = s.encode(*this, object);
    s.frame().push_back(State::entry(s.coderKey(key), detail::ArchiveGraph::uid(uid)));
}

void KeyedArchiver::encodeConditionalObject(const Value& object, std::string_view key) {
    requireOpen(state_->finished);
    State& s = *state_;
    const std::size_t index = s.graph.conditionals.size();
    s.graph.conditionals.push_back(0);
    s.frame().push_back(State::entry(s.coderKey(key), {NodeKind::Conditional, true, 0, 0, 0, index}));
    if (object.isObject()) {
        s.conditionals.push_back({object.object().get(), {}, index});
        // Keep the address from being reused by another object while the archive is built.
        s.retained.push_back(object.object());
    } else if (object.isString()) {
        s.conditionals.push_back({nullptr, object.string(), index});
    }
}

void KeyedArchiver::encodeBool(bool value, std::string_view key) {
    requireOpen(state_->finished);
    State& s = *state_;
    s.frame().push_back(State::entry(s.coderKey(key), s.graph.number(Number::of(value))));
}

void KeyedArchiver::encodeInt32(std::int32_t value, std::string_view key) { encodeInt64(value, key); }
void KeyedArchiver::encodeInteger(std::int64_t value, std::string_view key) { encodeInt64(value, key); }

void KeyedArchiver::encodeInt64(std::int64_t value, std::string_view key) {
    requireOpen(state_->finished);
    State& s = *state_;
    s.frame().push_back(State::entry(s.coderKey(key), s.graph.number(Number::of(value))));
}

void KeyedArchiver::encodeDouble(double value, std::string_view key) {
    requireOpen(state_->finished);
    State& s = *state_;
    s.frame().push_back(State::entry(s.coderKey(key), s.graph.number(Number::of(value))));
}

void KeyedArchiver::encodeFloat(float value, std::string_view key) { encodeDouble(value, key); }

void KeyedArchiver::encodeBytes(std::span<const std::uint8_t> bytes, std::string_view key) {
    requireOpen(state_->finished);
    State& s = *state_;
    s.frame().push_back(State::entry(s.coderKey(key), s.graph.data(bytes)));
}

Bytes KeyedArchiver::encodedData() {
    requireOpen(state_->finished);
    State& s = *state_;
    s.finished = true;
    for (const auto& pending : s.conditionals) {
        if (pending.object) {
            if (auto it = s.objectUIDs.find(pending.object); it != s.objectUIDs.end()) s.graph.conditionals[pending.index] = it->second;
        } else if (auto it = s.stringUIDs.find(pending.text); it != s.stringUIDs.end()) {
            s.graph.conditionals[pending.index] = it->second;
        }
    }
    s.graph.top = s.graph.container(NodeKind::Dictionary, s.frames.front());
    detail::sortArchiveEntries(s.graph);
    std::string failure;
    std::optional<Bytes> bytes;
    if (format_ == PropertyListFormat::Binary) {
        bytes = detail::writeBinaryArchive(s.graph, &failure);
    } else {
        bytes = detail::writePlist(detail::archiveTree(s.graph), format_, {.uidsAsObjects = true}, &failure);
    }
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
