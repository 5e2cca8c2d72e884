// The bytes of keyed archives: other programs read them, so varied archives must keep exactly the
// bytes the writer has always given (recorded as digests), and refused archives the same reasons.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "platform/base/format.h"
#include "platform/base/log.h"
#include "platform/runtime/runtime.h"
#include "platform/storage/keyed_archive.h"

namespace lv {
namespace {

// A class whose encoding is a table of coder calls, so that archives can hold any mix of keys.
class Scripted : public Object, public Coding {
public:
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = ClassDef<Scripted>("Scripted").factory().registerClass();
        return cls;
    }
    Scripted() { runtimeClass(); }
    std::vector<std::function<void(Coder&)>> calls;
    void encodeWithCoder(Coder& coder) const override {
        for (const auto& call : calls) call(coder);
    }
    bool initWithCoder(Coder&) override { return true; }
};

// A subclass, so that class chains of more than one registered class are written.
class ScriptedChild final : public Scripted {
public:
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls =
            ClassDef<ScriptedChild>("ScriptedChild").superclass<Scripted>().factory().registerClass();
        return cls;
    }
    ScriptedChild() { runtimeClass(); }
};

// Not archivable.
class NotCoding : public Object {};

std::string digest(const Bytes& bytes) {
    std::uint64_t h = 0xcbf29ce484222325ULL;  // FNV-1a
    for (std::uint8_t b : bytes) h = (h ^ b) * 0x100000001b3ULL;
    char out[40];
    std::snprintf(out, sizeof out, "%zu:%016llx", bytes.size(), static_cast<unsigned long long>(h));
    return out;
}

Ref<Scripted> scripted(std::vector<std::function<void(Coder&)>> calls, bool child = false) {
    Ref<Scripted> object = child ? Ref<Scripted>(makeRef<ScriptedChild>()) : makeRef<Scripted>();
    object->calls = std::move(calls);
    return object;
}

// Every kind of value, texts that equal the archive's own keys and names, shared and conditional
// objects, repeated keys, "$" keys and a cycle.
Value variedRoot() {
    auto shared = scripted({[](Coder& c) { c.encodeObject(Value("shared"), "name"); }}, true);
    auto absent = scripted({[](Coder& c) { c.encodeInt32(7, "n"); }});
    auto a = scripted({});
    // b holds a weakly (a outlives the archive's making), so the two are freed.
    auto b = scripted({[weakA = Weak<Scripted>(a)](Coder& c) { c.encodeObject(Value(weakA.lock()), "peer"); }});
    a->calls.push_back([b](Coder& c) { c.encodeConditionalObject(Value(b), "peer"); });
    const Bytes blob = {0, 1, 2, 0xFF};
    auto everything = scripted({
        [](Coder& c) { c.encodeObject(Value("韩剧 \U0001F3B5 text"), "unicode"); },
        [](Coder& c) { c.encodeObject(Value(std::string("nul\0inside", 10)), "nul"); },
        [](Coder& c) { c.encodeObject(Value("name"), "textLikeAKey"); },
        [](Coder& c) { c.encodeObject(Value("$class"), "textLikeClassKey"); },
        [](Coder& c) { c.encodeObject(Value("$null"), "textLikeNull"); },
        [](Coder& c) { c.encodeObject(Value("NSKeyedArchiver"), "textLikeArchiver"); },
        [](Coder& c) { c.encodeObject(Value("Scripted"), "textLikeClass"); },
        [](Coder& c) { c.encodeObject(Value(""), "empty"); },
        [](Coder& c) { c.encodeObject(Value(std::string(40, 'x')), "long"); },
        [](Coder& c) { c.encodeObject(Value(std::string(40, 'x')), "longAgain"); },
        [](Coder& c) { c.encodeInt64(100000, "likeVersion"); },
        [](Coder& c) { c.encodeObject(Value(100000), "likeVersionObject"); },
        [](Coder& c) { c.encodeBool(true, "yes"); },
        [](Coder& c) { c.encodeBool(false, "no"); },
        [](Coder& c) { c.encodeInt32(-1, "minusOne"); },
        [](Coder& c) { c.encodeInt64(INT64_MIN, "min"); },
        [](Coder& c) { c.encodeInt64(1, "one"); },
        [](Coder& c) { c.encodeInteger(70000, "wide"); },
        [](Coder& c) { c.encodeInt64(5000000000, "wider"); },
        [](Coder& c) { c.encodeDouble(0.1, "real"); },
        [](Coder& c) { c.encodeDouble(1.0, "realOne"); },
        [](Coder& c) { c.encodeFloat(0.5F, "float"); },
        [blob](Coder& c) { c.encodeBytes(blob, "bytes"); },
        [blob](Coder& c) { c.encodeObject(Value(blob), "sameBytesAsObject"); },
        [](Coder& c) { c.encodeBytes({}, "noBytes"); },
        [](Coder& c) { c.encodeObject(Value(UINT64_MAX), "unsigned"); },
        [](Coder& c) { c.encodeObject(Value(-2.5), "negativeReal"); },
        [](Coder& c) { c.encodeObject(Value(true), "boolObject"); },
        [](Coder& c) { c.encodeObject(Value(Date::fromSince1970(1234567890.5)), "date"); },
        [](Coder& c) { c.encodeObject(Value::null(), "null"); },
        [](Coder& c) { c.encodeObject(Value::null(), "nullAgain"); },
        [](Coder& c) { c.encodeObject(Value(Decimal::fromString("-123.456")), "decimal"); },
        [](Coder& c) { c.encodeObject(Value(Decimal::notANumber()), "nan"); },
        [](Coder& c) { c.encodeObject(Value(Decimal::fromInteger(0)), "zero"); },
        [](Coder& c) { c.encodeObject(Value(ArchivedSet::make({Value("s"), Value(1)})), "set"); },
        [](Coder& c) {
            c.encodeObject(Value(Error::make("Domain", 42, {{"info", Value("text")}, {"n", Value(3)}})), "error");
        },
        [](Coder& c) { c.encodeObject(Value(Error::make("Domain", -1, {})), "plainError"); },
        [](Coder& c) {
            c.encodeObject(Value::dictionary({{"z", 1}, {"a", Value::array({Value("name"), Value(), Value::array({})})},
                                              {"m", Value::dictionary({})}}),
                           "dictionary");
        },
        [](Coder& c) { c.encodeObject(Value(), "nil"); },
        [shared](Coder& c) { c.encodeObject(Value(shared), "shared"); },
        [shared](Coder& c) { c.encodeObject(Value(shared), "sharedAgain"); },
        [shared](Coder& c) { c.encodeConditionalObject(Value(shared), "conditionalKept"); },
        [absent](Coder& c) { c.encodeConditionalObject(Value(absent), "conditionalDropped"); },
        [](Coder& c) { c.encodeConditionalObject(Value("韩剧 \U0001F3B5 text"), "conditionalText"); },
        [](Coder& c) { c.encodeConditionalObject(Value("never written"), "conditionalTextDropped"); },
        [](Coder& c) { c.encodeConditionalObject(Value(5), "conditionalNumber"); },
        [a](Coder& c) { c.encodeObject(Value(a), "cycle"); },
        [](Coder& c) { c.encodeInt32(1, "repeated"); },
        [](Coder& c) { c.encodeObject(Value("second"), "repeated"); },
        [](Coder& c) { c.encodeDouble(2, "$dollar"); },
        [](Coder& c) { c.encodeDouble(3, "$$two"); },
        [](Coder& c) { c.encodeDouble(4, "self.ts"); },
        [](Coder& c) { c.encodeDouble(5, ""); },
        [](Coder& c) { c.encodeObject(Value("k\xC3\xA9y"), "cl\xC3\xA9"); },
    });
    return Value::array({Value(everything), Value(shared), Value("top text"), Value(3)});
}

// Enough objects for references and offsets of two and four bytes.
Value manyObjectsRoot(int count) {
    Array items;
    for (int i = 0; i < count; ++i) {
        items.emplace_back(scripted({[i](Coder& c) {
            c.encodeInt64(i, "i");
            c.encodeObject(Value("text " + std::to_string(i % 300)), "text");
            c.encodeDouble(i * 0.5, "half");
        }}));
    }
    return Value(std::move(items));
}

Bytes archive(const Value& root, PropertyListFormat format, std::string_view key = "root") {
    KeyedArchiver archiver;
    archiver.setOutputFormat(format);
    archiver.encodeObject(root, key);
    return archiver.encodedData();
}

TEST(KeyedArchiveBytes, VariedArchivesKeepTheirBytes) {
    struct Case {
        const char* what;
        std::function<Bytes()> make;
        const char* expected;
    };
    const Case cases[] = {
        {"varied, binary", [] { return archive(variedRoot(), PropertyListFormat::Binary); }, "2249:aa2d1c1b0d7e44e8"},
        {"varied, XML", [] { return archive(variedRoot(), PropertyListFormat::XML); }, "12572:616cc9ea8eee574a"},
        {"nil root", [] { return KeyedArchiver::archivedDataWithRootObject(Value()); }, "135:5fbf0cc97a03552e"},
        {"text root", [] { return KeyedArchiver::archivedDataWithRootObject(Value("root")); }, "136:444e08659cc8f186"},
        {"empty array", [] { return KeyedArchiver::archivedDataWithRootObject(Value(Array{})); }, "219:b790c6539d6de2d3"},
        {"no root key", [] { return KeyedArchiver().encodedData(); }, "124:319a0e8b55c42eb5"},
        {"$ root key", [] { return archive(Value(1), PropertyListFormat::Binary, "$top"); }, "140:1408912964ab7fc0"},
        {"300 objects", [] { return KeyedArchiver::archivedDataWithRootObject(manyObjectsRoot(300)); }, "18306:c1d8bdc33c3bdda3"},
        {"30,000 objects", [] { return KeyedArchiver::archivedDataWithRootObject(manyObjectsRoot(30000)); }, "2167026:8fc6343487aeff3e"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(digest(c.make()), c.expected) << c.what;
    }
}

TEST(KeyedArchiveBytes, TextThePropertyListCannotHoldIsRefusedWithItsReason) {
    struct Case {
        const char* what;
        std::function<void(KeyedArchiver&)> encode;
        const char* reason;  // empty: accepted
    };
    const std::string badText = "bad \xC3";
    const Case cases[] = {
        {"invalid text", [&](KeyedArchiver& a) { a.encodeObject(Value(badText), "root"); }, "NSInvalidArchiveOperationException: A string with NUL or invalid UTF-8"},
        {"invalid key", [&](KeyedArchiver& a) { a.encodeInt32(1, badText); }, "NSInvalidArchiveOperationException: A dictionary key that the format cannot hold"},
        {"NUL in a key", [&](KeyedArchiver& a) { a.encodeInt32(1, std::string_view("a\0b", 3)); }, "NSInvalidArchiveOperationException: A dictionary key that the format cannot hold"},
        {"invalid key inside an object",
         [&](KeyedArchiver& a) { a.encodeObject(Value(scripted({[&](Coder& c) { c.encodeBool(true, badText); }})), "root"); },
         "NSInvalidArchiveOperationException: A dictionary key that the format cannot hold"},
        {"invalid text before an invalid key",
         [&](KeyedArchiver& a) {
             a.encodeObject(Value(badText), "a");
             a.encodeInt32(1, "b\xFF");
         },
         "NSInvalidArchiveOperationException: A string with NUL or invalid UTF-8"},
        {"invalid key before invalid text",
         [&](KeyedArchiver& a) {
             a.encodeInt32(1, "a\xFF");
             a.encodeObject(Value(badText), "b");
         },
         "NSInvalidArchiveOperationException: A string with NUL or invalid UTF-8"},
        {"NUL text is fine", [&](KeyedArchiver& a) { a.encodeObject(Value(std::string("\0", 1)), "root"); }, ""},
        {"an encoding that raised part way",
         [&](KeyedArchiver& a) {
             try {
                 a.encodeObject(Value::array({Value(1), Value(makeRef<NotCoding>())}), "root");
             } catch (const Exception&) {
             }
         },
         "NSInvalidArchiveOperationException: property lists cannot contain objects of type 'nil'"},
    };
    for (const auto& c : cases) {
        KeyedArchiver archiver;
        c.encode(archiver);
        std::string reason;
        try {
            archiver.encodedData();
        } catch (const Exception& e) {
            reason = e.name() + ": " + e.reason();
        }
        EXPECT_EQ(reason, c.reason) << c.what;
    }
}

// Reads its "list" twice, keeping the reason of each failure (a list whose reading failed fails again
// for the same reason, not as one that contains itself).
class Retrying : public Object, public Coding {
public:
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = ClassDef<Retrying>("Retrying").factory().registerClass();
        return cls;
    }
    Retrying() { runtimeClass(); }
    std::vector<std::string> reasons;
    Value list;           // written
    std::string readList;  // what was read: the list's description (a damaged archive can make the
                           // list hold this object, which must not keep itself alive)
    void encodeWithCoder(Coder& coder) const override {
        coder.encodeObject(list, "list");
        Array failures(reasons.begin(), reasons.end());
        coder.encodeObject(Value(std::move(failures)), "reasons");
        coder.encodeObject(Value(readList), "read");
    }
    bool initWithCoder(Coder& coder) override {
        for (int i = 0; i < 2; ++i) {
            try {
                const Value read = coder.decodeObject("list");
                readList = read.isArray() ? format("%d items", static_cast<int>(read.array().size())) : "not a list";
            } catch (const Exception& e) {
                reasons.push_back(e.reason());
            }
        }
        return true;
    }
};

// Reads keys of one size through one buffer, so that every key has the same address (each must still
// find its own entry).
class SameBufferKeys : public Object, public Coding {
public:
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = ClassDef<SameBufferKeys>("SameBufferKeys").factory().registerClass();
        return cls;
    }
    SameBufferKeys() { runtimeClass(); }
    std::vector<std::int64_t> values;
    void encodeWithCoder(Coder& coder) const override {
        for (std::size_t i = 0; i < values.size(); ++i) coder.encodeInt64(values[i], std::string(1, static_cast<char>('a' + i)));
    }
    bool initWithCoder(Coder& coder) override {
        std::string key = "?";
        for (char c : std::string("cabdz")) {
            key[0] = c;
            values.push_back(coder.containsValueForKey(key) ? coder.decodeInt64(key) : -1);
        }
        return true;
    }
};

// What reading gives: the error and its reason, or the digest of the value archived again.
std::string outcomeOf(const Bytes& archive) {
    Ref<Error> error;
    const Value value = KeyedUnarchiver::unarchivedObject(archive, &error);
    if (error) return format("error %lld %@", static_cast<long long>(error->code()), error->userInfo().get(kDebugDescriptionErrorKey));
    try {
        return "read " + digest(KeyedArchiver::archivedDataWithRootObject(value));
    } catch (const Exception& e) {
        return "read, not archivable: " + e.reason();
    }
}

// Damaged archives (every byte changed three ways, every length cut) are read with the outcomes they
// always had: the same errors with the same reasons, and the same values where they still read.
TEST(KeyedArchiveBytes, DamagedArchivesKeepTheirOutcomes) {
    LogCapture quiet;
    auto counted = makeRef<SameBufferKeys>();
    counted->values = {1, -2, 300};
    auto retrying = makeRef<Retrying>();
    retrying->list = Value::array({Value("text"), Value(2.5)});
    const Value root = Value::array({
        Value(counted), Value(retrying), Value(counted), Value(std::string("a\0b", 3)), Value("韩剧"),
        Value(Date::fromSince1970(1000.5)), Value(Decimal::fromString("12.5")), Value::null(),
        Value(Error::make("D", 7, {{"k", Value("v")}})), Value(ArchivedSet::make({Value(1), Value("s")})),
        Value::dictionary({{"n", Value(UINT64_MAX)}, {"d", Value(Bytes{1, 2})}}), Value(true),
    });
    const Bytes archive = KeyedArchiver::archivedDataWithRootObject(root);
    std::uint64_t h = 0xcbf29ce484222325ULL;
    std::size_t errors = 0;
    auto note = [&](const std::string& outcome) {
        errors += outcome.starts_with("error");
        for (char c : outcome) h = (h ^ static_cast<std::uint8_t>(c)) * 0x100000001b3ULL;
        h = (h ^ 0xFF) * 0x100000001b3ULL;
    };
    note(outcomeOf(archive));
    for (std::size_t i = 0; i < archive.size(); ++i) {
        for (std::uint8_t flip : {0x01, 0x80, 0xFF}) {
            Bytes damaged = archive;
            damaged[i] ^= flip;
            note(outcomeOf(damaged));
        }
    }
    for (std::size_t length = 0; length < archive.size(); length += 7) note(outcomeOf(Bytes(archive.begin(), archive.begin() + static_cast<std::ptrdiff_t>(length))));
    // Recorded with the reader and writer as they were before archives were built as nodes.
    EXPECT_EQ(archive.size(), 1151U);
    EXPECT_EQ(errors, 2898U);
    EXPECT_EQ(h, 9015297615488166275ULL);
}

}  // namespace
}  // namespace lv
