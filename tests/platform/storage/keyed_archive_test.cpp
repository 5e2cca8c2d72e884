#include <gtest/gtest.h>

#include <random>

#include "platform/base/log.h"
#include "platform/runtime/runtime.h"
#include "platform/storage/keyed_archive.h"
#include "platform/storage/property_list.h"

#include "storage_test_support.h"

namespace lv {
namespace {

// An archivable class with every scalar kind, a shared reference and a conditional one.
class Person : public Object, public Coding {
public:
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = ClassDef<Person>("Person").factory().registerClass();
        return cls;
    }
    Person() { runtimeClass(); }

    std::string name;
    bool active = false;
    std::int32_t age = 0;
    std::int64_t id = 0;
    double score = 0;
    float ratio = 0;
    Bytes raw;
    Value extra;
    Ref<Person> friendRef;
    Ref<Person> boss;  // written conditionally
    bool refuseDecoding = false;

    void encodeWithCoder(Coder& coder) const override {
        coder.encodeObject(Value(name), "name");
        coder.encodeBool(active, "active");
        coder.encodeInt32(age, "age");
        coder.encodeInt64(id, "id");
        coder.encodeDouble(score, "score");
        coder.encodeFloat(ratio, "ratio");
        coder.encodeBytes(raw, "raw");
        coder.encodeObject(extra, "$extra");
        coder.encodeObject(Value(friendRef), "friend");
        coder.encodeConditionalObject(Value(boss), "boss");
        coder.encodeBool(refuseDecoding, "refuse");
    }
    bool initWithCoder(Coder& coder) override {
        if (coder.decodeBool("refuse")) return false;
        name = coder.decodeObject("name").string();
        active = coder.decodeBool("active");
        age = coder.decodeInt32("age");
        id = coder.decodeInt64("id");
        score = coder.decodeDouble("score");
        ratio = coder.decodeFloat("ratio");
        raw = coder.decodeBytes("raw");
        extra = coder.decodeObject("$extra");
        friendRef = coder.decodeObject("friend").objectAs<Person>();
        boss = coder.decodeObject("boss").objectAs<Person>();
        return true;
    }
};

// A class that secure coders accept.
class Note : public Object, public Coding {
public:
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = ClassDef<Note>("Note").factory().registerClass();
        return cls;
    }
    Note() { runtimeClass(); }
    Value text;
    void encodeWithCoder(Coder& coder) const override { coder.encodeObject(text, "text"); }
    bool initWithCoder(Coder& coder) override {
        text = coder.decodeObjectOfClass(classNamed("String"), "text");
        return true;
    }
    bool supportsSecureCoding() const override { return true; }
};

// Not archivable: no Coding.
class Plain : public Object {};

Value roundTrip(const Value& root) {
    Ref<Error> error;
    const Value back = KeyedUnarchiver::unarchivedObject(KeyedArchiver::archivedDataWithRootObject(root), &error);
    EXPECT_FALSE(error) << (error ? error->description() : "");
    return back;
}

Value plistOf(const Bytes& archive) {
    return PropertyListSerialization::propertyListWithData(archive, 0, nullptr, nullptr);
}

std::string xmlArchive(const Value& root) {
    KeyedArchiver archiver;
    archiver.setOutputFormat(PropertyListFormat::XML);
    archiver.encodeObject(root, "root");
    const Bytes bytes = archiver.encodedData();
    return std::string(bytes.begin(), bytes.end());
}

using test::bytesOf;

void replaceOnce(std::string& text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    ASSERT_NE(text.find(from), std::string::npos) << from;
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

TEST(KeyedArchives, HaveThePlatformShape) {
    const Value plist = plistOf(KeyedArchiver::archivedDataWithRootObject(Value::dictionary({{"k", "v"}})));
    EXPECT_EQ(plist["$archiver"].string(), "NSKeyedArchiver");
    EXPECT_EQ(plist["$version"].intValue(), 100000);
    EXPECT_EQ(plist["$top"]["root"], Value::dictionary({{"CF$UID", 1}}));
    const Value& objects = plist["$objects"];
    EXPECT_EQ(objects[0].string(), "$null");
    const Value& dict = objects[1];
    EXPECT_EQ(dict["NS.keys"], Value::array({Value::dictionary({{"CF$UID", 2}})}));
    EXPECT_EQ(objects[2].string(), "k");
    EXPECT_EQ(objects[3].string(), "v");
    const Value& cls = objects[dict["$class"]["CF$UID"].intValue()];
    EXPECT_EQ(cls["$classname"].string(), "NSDictionary");
    EXPECT_EQ(cls["$classes"], Value::array({"NSDictionary", "NSObject"}));
}

TEST(KeyedArchives, EveryValueKindRoundTrips) {
    const Value root = Value::dictionary({
        {"text", "韩剧 \U0001F3B5"},
        {"int", -7},
        {"big", INT64_MIN},
        {"wide", std::int64_t{5000000000}},
        {"max", UINT64_MAX},
        {"real", 0.1},
        {"flag", true},
        {"data", Value(Bytes{0, 255, 7})},
        {"date", Value(Date::fromSince1970(1425517622.125))},
        {"null", Value::null()},
        {"price", Value(*Decimal::parse("199.90"))},
        {"negative", Value(*Decimal::parse("-0.0005"))},
        {"wide price", Value(*Decimal::parse("-123456789012345678901234567890.12345678"))},
        {"nan", Value(Decimal::notANumber())},
        {"list", Value::array({1, "two", Value::array({}), Value::dictionary({}), Value::null()})},
        {"$dollar", Value::dictionary({{"$inner", "x"}})},
        {"error", Value(Error::make("NSCocoaErrorDomain", 4, {{"NSFilePath", "/x"},
                                                              {"NSUnderlyingError", Value(Error::make("NSPOSIXErrorDomain", 2))}}))},
    });
    const Value back = roundTrip(root);
    EXPECT_EQ(back, root) << back.description();
    EXPECT_TRUE(back["price"].isDecimal());
    EXPECT_EQ(back["wide price"].decimal()->stringValue(), "-123456789012345678901234567890.12345678");
    EXPECT_TRUE(test::isNaNDecimal(back["nan"]));
    EXPECT_EQ(test::kindOf(back["flag"]), NumberKind::Bool);
    EXPECT_EQ(back["wide"].longLongValue(), 5000000000);
    EXPECT_EQ(back["max"].unsignedLongLongValue(), UINT64_MAX);
    EXPECT_EQ(test::kindOf(back["max"]), NumberKind::UInt64);
    EXPECT_EQ(roundTrip(Value("bare")), Value("bare"));
    const std::string withNul("a\0b", 3);
    EXPECT_EQ(roundTrip(Value::array({withNul, "a"})), Value::array({withNul, "a"}));
    EXPECT_TRUE(roundTrip(Value()).isNil());

    KeyedArchiver xml;
    xml.setOutputFormat(PropertyListFormat::XML);
    xml.encodeObject(root, "root");
    EXPECT_EQ(KeyedUnarchiver::unarchivedObject(xml.encodedData(), nullptr), root);
}

TEST(KeyedArchives, ObjectGraphsKeepSharedReferencesAndCycles) {
    auto a = makeRef<Person>();
    auto b = makeRef<Person>();
    a->name = "a";
    b->name = "b";
    a->friendRef = b;
    b->friendRef = a;  // a cycle
    const Value back = roundTrip(Value::array({Value(a), Value(b), Value(a)}));
    auto a2 = back[0].objectAs<Person>();
    auto b2 = back[1].objectAs<Person>();
    ASSERT_TRUE(a2 && b2);
    EXPECT_NE(a2, a);
    EXPECT_EQ(back[2].objectAs<Person>(), a2);
    EXPECT_EQ(a2->friendRef, b2);
    EXPECT_EQ(b2->friendRef, a2);
    EXPECT_EQ(b2->name, "b");
    a->friendRef.reset();  // break the cycles so the objects are released
    a2->friendRef.reset();
}

TEST(KeyedArchives, EveryScalarKindOfTheCoder) {
    auto p = makeRef<Person>();
    p->name = "李";
    p->active = true;
    p->age = -2147483647 - 1;
    p->id = INT64_MAX;
    p->score = 2.718281828459045;
    p->ratio = 0.25f;
    p->raw = {1, 2, 3};
    p->extra = Value::dictionary({{"a", 1}});
    auto q = roundTrip(Value(p)).objectAs<Person>();
    ASSERT_TRUE(q);
    EXPECT_EQ(q->name, "李");
    EXPECT_TRUE(q->active);
    EXPECT_EQ(q->age, p->age);
    EXPECT_EQ(q->id, p->id);
    EXPECT_EQ(q->score, p->score);
    EXPECT_EQ(q->ratio, 0.25f);
    EXPECT_EQ(q->raw, p->raw);
    EXPECT_EQ(q->extra, p->extra);
    EXPECT_FALSE(q->friendRef);

    // A key a class never wrote reads as nothing; a scalar read of another kind is damage.
    KeyedUnarchiver unarchiver(KeyedArchiver::archivedDataWithRootObject(Value(p)));
    EXPECT_FALSE(unarchiver.containsValueForKey("missing"));
    EXPECT_EQ(unarchiver.decodeInt64("missing"), 0);
    EXPECT_TRUE(unarchiver.decodeObject("missing").isNil());
    EXPECT_THROW(unarchiver.decodeInt32("root"), Exception);
}

TEST(KeyedArchives, ConditionalAndRefusingObjectsReadAsNil) {
    auto refusing = makeRef<Person>();
    refusing->refuseDecoding = true;
    EXPECT_TRUE(roundTrip(Value::array({Value(refusing)}))[0].isNull());

    auto boss = makeRef<Person>();
    boss->name = "boss";
    auto worker = makeRef<Person>();
    worker->boss = boss;
    auto alone = roundTrip(Value(worker)).objectAs<Person>();
    ASSERT_TRUE(alone);
    EXPECT_FALSE(alone->boss);
    const Value both = roundTrip(Value::array({Value(worker), Value(boss)}));
    auto worker2 = both[0].objectAs<Person>();
    ASSERT_TRUE(worker2);
    EXPECT_EQ(worker2->boss, both[1].objectAs<Person>());

    KeyedArchiver archiver;
    archiver.encodeConditionalObject(Value("shared"), "maybe");
    archiver.encodeConditionalObject(Value("alone"), "never");
    archiver.encodeObject(Value("shared"), "always");
    KeyedUnarchiver unarchiver(archiver.encodedData());
    EXPECT_EQ(unarchiver.decodeObject("maybe").string(), "shared");
    EXPECT_TRUE(unarchiver.decodeObject("never").isNil());
}

TEST(KeyedArchives, ObjectsThatCannotBeArchivedRaiseOrReportAnError) {
    const Value root = Value::array({Value(makeRef<Plain>())});
    EXPECT_THROW(KeyedArchiver::archivedDataWithRootObject(root), Exception);
    Ref<Error> error;
    EXPECT_FALSE(KeyedArchiver::archivedDataWithRootObject(root, false, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), kCoderInvalidValueError);
    EXPECT_FALSE(KeyedArchiver::archivedDataWithRootObject(Value(makeRef<Person>()), true, &error));
    // Values nested past 512 levels are refused, not a crash.
    for (int levels : {600, 40000}) {
        Value deep = Value::array({});
        for (int i = 1; i < levels; ++i) deep = Value::array({std::move(deep)});
        EXPECT_FALSE(KeyedArchiver::archivedDataWithRootObject(deep, false, &error)) << levels;
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), kCoderInvalidValueError);
        EXPECT_THROW(KeyedArchiver::archivedDataWithRootObject(deep), Exception);
        // Taken apart from the outside in, so that releasing it does not recurse as deep.
        while (deep.isArray() && !deep.array().empty()) deep = Value(deep.array()[0]);
    }
    Value fine = Value::array({});
    for (int i = 1; i < 500; ++i) fine = Value::array({std::move(fine)});
    EXPECT_EQ(roundTrip(fine), fine);
}

TEST(SecureDecoding, AcceptsOnlyTheAllowedClasses) {
    auto note = makeRef<Note>();
    note->text = "hello";
    auto archive = KeyedArchiver::archivedDataWithRootObject(Value(note), true, nullptr);
    ASSERT_TRUE(archive);
    Ref<Error> error;
    auto back = KeyedUnarchiver::unarchivedObjectOfClass(Note::runtimeClass(), *archive, &error).objectAs<Note>();
    ASSERT_TRUE(back);
    EXPECT_EQ(back->text.string(), "hello");

    LogCapture capture;
    EXPECT_TRUE(KeyedUnarchiver::unarchivedObjectOfClass(classNamed("Dictionary"), *archive, &error).isNil());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), kCoderReadCorruptError);
    EXPECT_EQ(error->userInfo().get(kDebugDescriptionErrorKey).string(),
              "value for key 'root' was of unexpected class 'Note'. Allowed classes are '{(Dictionary)}'.");
    EXPECT_EQ(capture.lines().size(), 1u);

    // A class without secure coding is refused even when named.
    auto person = KeyedArchiver::archivedDataWithRootObject(Value(makeRef<Person>()));
    error.reset();
    EXPECT_TRUE(KeyedUnarchiver::unarchivedObjectOfClass(Person::runtimeClass(), person, &error).isNil());
    EXPECT_TRUE(error);
}

TEST(SecureDecoding, CollectionElementsMustBeAllowedExceptInlineScalars) {
    const ClassInfo* dictionary = classNamed("Dictionary");
    const Bytes plain = KeyedArchiver::archivedDataWithRootObject(
        Value::dictionary({{"s", "x"}, {"n", 1}, {"d", Value::data("z")}}));
    EXPECT_TRUE(KeyedUnarchiver::unarchivedObjectOfClass(dictionary, plain, nullptr).isDictionary());
    const Bytes withDate = KeyedArchiver::archivedDataWithRootObject(Value::dictionary({{"t", Value(Date::now())}}));
    Ref<Error> error;
    LogCapture quiet;
    EXPECT_TRUE(KeyedUnarchiver::unarchivedObjectOfClass(dictionary, withDate, &error).isNil());
    EXPECT_TRUE(error);
    const ClassInfo* both[] = {dictionary, classNamed("Date")};
    EXPECT_TRUE(KeyedUnarchiver::unarchivedObjectOfClasses(both, withDate, nullptr).isDictionary());
    EXPECT_TRUE(KeyedUnarchiver::unarchivedObjectOfClass(classNamed("Number"), KeyedArchiver::archivedDataWithRootObject(
                                                                                  Value(*Decimal::parse("1.5"))),
                                                         nullptr)
                    .isDecimal());
}

// Damaged archives: every reader gives an error (or raises, for the raising form) and logs one line.
void expectDamaged(const Bytes& archive, const std::string& what) {
    {
        LogCapture capture;
        Ref<Error> error;
        EXPECT_TRUE(KeyedUnarchiver::unarchivedObject(archive, &error).isNil()) << what;
        ASSERT_TRUE(error) << what;
        EXPECT_EQ(error->domain(), "NSCocoaErrorDomain") << what;
        EXPECT_EQ(error->code(), kCoderReadCorruptError) << what;
        EXPECT_EQ(capture.lines().size(), 1u) << what;
    }
    LogCapture quiet;
    EXPECT_THROW(KeyedUnarchiver::unarchiveObjectWithData(archive), Exception) << what;
}

TEST(DamagedArchives, UnknownClassesBadReferencesAndCyclesAreErrors) {
    auto person = makeRef<Person>();
    person->name = "x";
    std::string xml = xmlArchive(Value(person));
    std::string unknown = xml;
    replaceAll(unknown, "<string>Person</string>", "<string>Ghost</string>");
    expectDamaged(bytesOf(unknown), "unknown class");

    std::string outOfRange = xmlArchive(Value::array({"a"}));
    replaceOnce(outOfRange, "<integer>2</integer>", "<integer>999</integer>");
    expectDamaged(bytesOf(outOfRange), "reference out of range");

    std::string selfContaining = xmlArchive(Value::array({"a"}));
    replaceOnce(selfContaining, "<integer>2</integer>", "<integer>1</integer>");  // the array holds itself
    expectDamaged(bytesOf(selfContaining), "self-containing array");

    std::string noClass = xmlArchive(Value::array({"a"}));
    replaceOnce(noClass, "<key>$class</key>", "<key>$klass</key>");
    expectDamaged(bytesOf(noClass), "object without class");

    const Bytes notAnArchive = *PropertyListSerialization::dataWithPropertyList(Value::dictionary({{"a", 1}}),
                                                                               PropertyListFormat::Binary, 0, nullptr);
    expectDamaged(notAnArchive, "plain property list");
    expectDamaged(bytesOf("garbage"), "garbage");
    expectDamaged({}, "empty");
}

TEST(DamagedArchives, TruncatedAndFlippedArchivesNeverCrash) {
    auto a = makeRef<Person>();
    a->name = "韩";
    a->extra = Value::dictionary({{"list", Value::array({1, 2.5, "x", Value::null()})}});
    a->friendRef = makeRef<Person>();
    const Bytes archive = KeyedArchiver::archivedDataWithRootObject(Value(a));
    for (std::size_t cut = 0; cut + 1 < archive.size(); cut += 3) {
        expectDamaged(Bytes(archive.begin(), archive.begin() + static_cast<std::ptrdiff_t>(cut)),
                      "cut at " + std::to_string(cut));
    }
    std::mt19937 random(99);
    LogCapture quiet;
    for (int round = 0; round < 2000; ++round) {
        Bytes damaged = archive;
        damaged[random() % damaged.size()] = static_cast<std::uint8_t>(random());
        Ref<Error> error;
        const Value v = KeyedUnarchiver::unarchivedObject(damaged, &error);
        EXPECT_TRUE(!v.isNil() || error);
    }
}

TEST(DamagedArchives, AnArchiveWithoutARootIsTheValueNotFoundError) {
    KeyedArchiver archiver;
    archiver.encodeObject(Value("x"), "other");
    Ref<Error> error;
    EXPECT_TRUE(KeyedUnarchiver::unarchivedObject(archiver.encodedData(), &error).isNil());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), kCoderValueNotFoundError);
}

}  // namespace
}  // namespace lv
