// Model archiving through the keyed archiver: versions, encoding behaviours, conditional (weak)
// values, the older layout, decoding hooks and secure coding.
#include <gtest/gtest.h>

#include "archive_models.h"
#include "platform/base/log.h"
#include "platform/storage/keyed_archive.h"
#include "platform/storage/property_list.h"

namespace lv::test {
namespace {

Ref<ArchivedNote> note(const char* title, std::int64_t count = 0) {
    auto n = makeRef<ArchivedNote>();
    n->title = Value(title);
    n->count = count;
    return n;
}

// Holds its partner weakly: archived conditionally.
class Pairing : public JMModel {
public:
    Pairing() { runtimeClass(); }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = defineModelClass<Pairing>("ArchivedPairing")
                                          .property("label", &Pairing::label, "String", "&,N")
                                          .property("partner", &Pairing::partner, "ArchivedNote", "W,N")
                                          .registerClass();
        return cls;
    }
    Value label;
    Weak<ArchivedNote> partner;
};

// Keeps "secret" out of its archives.
class GuardedNote : public JMModel {
public:
    GuardedNote() { runtimeClass(); }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls =
            defineModelClass<GuardedNote>("ArchivedGuardedNote")
                .property("title", &GuardedNote::title, "String", "&,N")
                .property("secret", &GuardedNote::secret, "String", "&,N")
                .classHook<Dictionary(const ClassInfo*)>("encodingBehaviorsByPropertyKey", [](const ClassInfo* receiver) {
                    Dictionary behaviors = JMModel::defaultEncodingBehaviorsByPropertyKey(receiver);
                    behaviors.set("secret", Value(std::uint64_t{JMModelEncodingBehaviorExcluded}));
                    return behaviors;
                })
                .registerClass();
        return cls;
    }
    Value title, secret;
};

// Version 2, with a conversion of the older layout and a decoding hook for its title.
class VersionedNote : public JMModel {
public:
    VersionedNote() { runtimeClass(); }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls =
            defineModelClass<VersionedNote>("ArchivedVersionedNote")
                .property("title", &VersionedNote::title, "String", "&,N")
                .property("extra", &VersionedNote::extra, "Dictionary", "&,N")
                .classHook<std::uint64_t()>("modelVersion", [] { return std::uint64_t{2}; })
                .classHook<Value(const Dictionary&, std::uint64_t)>(
                    "dictionaryValueFromArchivedExternalRepresentation:version:",
                    [](const Dictionary& old, std::uint64_t version) {
                        return Value(Dictionary{{"title", Value(old.get("name").stringValue() + " v" + std::to_string(version))}});
                    })
                .registerClass();
        return cls;
    }
    Value title, extra;
};

class HookedNote : public JMModel {
public:
    HookedNote() { runtimeClass(); }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls =
            defineModelClass<HookedNote>("ArchivedHookedNote")
                .property("title", &HookedNote::title, "String", "&,N")
                .classHook<std::uint64_t()>("modelVersion", [] { return std::uint64_t{5}; })
                .instanceHook<Value(Object&, Coder&, std::uint64_t)>(
                    "decodeTitleWithCoder:modelVersion:",
                    [](Object&, Coder& coder, std::uint64_t version) {
                        return Value(coder.decodeObject("title").stringValue() + " via hook v" + std::to_string(version));
                    })
                .registerClass();
        return cls;
    }
    Value title;
};

// Secure coding: typed properties only, and the same with an untyped one.
class SecureNote : public JMModel {
public:
    SecureNote() { runtimeClass(); }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = defineModelClass<SecureNote>("ArchivedSecureNote")
                                          .property("title", &SecureNote::title, "String", "&,N")
                                          .property("count", &SecureNote::count, "N")
                                          .classHook<bool()>("supportsSecureCoding", [] { return true; })
                                          .registerClass();
        return cls;
    }
    Value title;
    std::int64_t count = 0;
};

class UntypedSecureNote : public JMModel {
public:
    UntypedSecureNote() { runtimeClass(); }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = defineModelClass<UntypedSecureNote>("ArchivedUntypedSecureNote")
                                          .property("title", &UntypedSecureNote::title, "String", "&,N")
                                          .property("untyped", &UntypedSecureNote::untyped, "", "&,N")
                                          .classHook<bool()>("supportsSecureCoding", [] { return true; })
                                          .registerClass();
        return cls;
    }
    Value title, untyped;
};

Bytes archive(const Value& root, bool secure = false) {
    KeyedArchiver archiver(secure);
    archiver.setOutputFormat(PropertyListFormat::XML);
    archiver.encodeObject(root, "root");
    return archiver.encodedData();
}

Value unarchive(const Bytes& data) {
    Ref<Error> error;
    return KeyedUnarchiver::unarchivedObject(data, &error);
}

// The archive as a property list, and the root object's own entry in it.
struct ArchiveText {
    explicit ArchiveText(const Bytes& data) {
        Ref<Error> error;
        plist = PropertyListSerialization::propertyListWithData(data, 0, nullptr, &error).dictionary();
    }
    Array& objects() { return plist.at("$objects").mutableArray(); }
    std::size_t rootIndex() const {
        return static_cast<std::size_t>(plist.get("$top").dictionary().get("root").dictionary().get("CF$UID").longLongValue());
    }
    Dictionary& root() { return objects().at(rootIndex()).mutableDictionary(); }
    // The value an entry of the root refers to.
    Value rootValue(std::string_view key) {
        const Value& ref = root().get(key);
        if (!ref.isDictionary() || !ref.dictionary().contains("CF$UID")) return ref;
        return objects().at(static_cast<std::size_t>(ref.dictionary().get("CF$UID").longLongValue()));
    }
    // Sets a root entry to a new scalar object.
    void setRootValue(const std::string& key, const Value& value) {
        objects().push_back(value);
        root().set(key, Value(Dictionary{{"CF$UID", Value(static_cast<std::int64_t>(objects().size() - 1))}}));
    }
    Bytes bytes() const {
        Ref<Error> error;
        return *PropertyListSerialization::dataWithPropertyList(Value(plist), PropertyListFormat::XML, 0, &error);
    }
    Dictionary plist;
};

TEST(ModelArchiving, AModelComesBackEqualWithItsVersionAndNoEntryForNil) {
    auto written = note("Hello", 3);
    written->extra = Value(Dictionary{{"k", Value("v")}});
    const Bytes data = archive(Value(written));
    ArchiveText text(data);
    EXPECT_EQ(text.rootValue("JMModelVersion"), Value(0));
    EXPECT_TRUE(text.root().contains("title"));
    EXPECT_FALSE(text.root().contains("body"));  // nil: not written
    auto read = unarchive(data).objectAs<ArchivedNote>();
    ASSERT_TRUE(read);
    EXPECT_TRUE(read->isEqual(*written));
    EXPECT_TRUE(read->body.isNil());
    EXPECT_EQ(read->count, 3);
}

TEST(ModelArchiving, AWeakValueComesBackOnlyWhenArchivedUnconditionallyElsewhere) {
    auto partner = note("partner");
    auto pairing = makeRef<Pairing>();
    pairing->label = Value("pair");
    pairing->partner = partner;
    EXPECT_EQ(JMModel::encodingBehaviorsByPropertyKey(Pairing::runtimeClass()).get("partner"), Value(2));

    auto alone = unarchive(archive(Value(pairing))).objectAs<Pairing>();
    ASSERT_TRUE(alone);
    EXPECT_EQ(alone->label, Value("pair"));
    EXPECT_FALSE(alone->partner.lock());

    const Value both = unarchive(archive(Value(Array{Value(partner), Value(pairing)})));
    ASSERT_TRUE(both.isArray());
    auto readPartner = both.array().at(0).objectAs<ArchivedNote>();
    auto readPairing = both.array().at(1).objectAs<Pairing>();
    ASSERT_TRUE(readPartner && readPairing);
    EXPECT_EQ(readPairing->partner.lock(), readPartner);  // one shared object
}

TEST(ModelArchiving, AnExcludedKeyIsNeitherWrittenNorSetWhenAbsent) {
    auto guarded = makeRef<GuardedNote>();
    guarded->title = Value("open");
    guarded->secret = Value("hidden");
    ArchiveText text(archive(Value(guarded)));
    EXPECT_FALSE(text.root().contains("secret"));
    auto read = unarchive(text.bytes()).objectAs<GuardedNote>();
    ASSERT_TRUE(read);
    EXPECT_EQ(read->title, Value("open"));
    EXPECT_TRUE(read->secret.isNil());
}

TEST(ModelArchiving, VersionsDecideWhetherAndHowAnArchiveIsRead) {
    auto versioned = makeRef<VersionedNote>();
    versioned->title = Value("now");
    versioned->extra = Value(Dictionary{{"name", Value("legacy")}});
    const Bytes data = archive(Value(versioned));
    EXPECT_EQ(ArchiveText(data).rootValue("JMModelVersion"), Value(2));

    ArchiveText newer(data);  // written by a later version of the class
    newer.setRootValue("JMModelVersion", Value(3));
    LogCapture log;
    EXPECT_TRUE(unarchive(newer.bytes()).isNil());
    EXPECT_TRUE(log.lines().empty());  // silently

    ArchiveText unversioned(data);
    unversioned.root().remove("JMModelVersion");
    auto read = unarchive(unversioned.bytes()).objectAs<VersionedNote>();
    ASSERT_TRUE(read);
    EXPECT_EQ(read->title, Value("now"));
    EXPECT_TRUE(log.contains("Warning: decoding an archive of ArchivedVersionedNote without a version, assuming 0"));

    // The older layout: the dictionary under "externalRepresentation", converted by the class (with
    // the archive's version), refused by a class without a conversion.
    ArchiveText old(data);
    old.root().set("externalRepresentation", old.root().get("extra"));
    old.root().remove("extra");
    read = unarchive(old.bytes()).objectAs<VersionedNote>();
    ASSERT_TRUE(read);
    EXPECT_EQ(read->title, Value("legacy v2"));

    auto plain = note("plain");
    plain->extra = Value(Dictionary{{"name", Value("legacy")}});
    ArchiveText oldPlain(archive(Value(plain)));
    oldPlain.root().set("externalRepresentation", oldPlain.root().get("extra"));
    EXPECT_TRUE(unarchive(oldPlain.bytes()).isNil());
}

TEST(ModelArchiving, ADecodingHookGivesItsKeysValueWithTheArchivesVersion) {
    auto hooked = makeRef<HookedNote>();
    hooked->title = Value("title");
    auto read = unarchive(archive(Value(hooked))).objectAs<HookedNote>();
    ASSERT_TRUE(read);
    EXPECT_EQ(read->title, Value("title via hook v5"));
}

TEST(SecureModelArchiving, AnUntypedKeyRefusesSecureCodingBeforeAnythingIsWritten) {
    auto untyped = makeRef<UntypedSecureNote>();
    untyped->title = Value("t");
    untyped->untyped = Value("anything");
    EXPECT_FALSE(JMModel::allowedSecureCodingClassesByPropertyKey(UntypedSecureNote::runtimeClass()).contains("untyped"));
    KeyedArchiver archiver(true);
    try {
        untyped->encodeWithCoder(archiver);
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.name(), kInvalidArgumentException);
        EXPECT_EQ(e.reason(),
                  "Cannot encode ArchivedUntypedSecureNote securely, because keys are missing from "
                  "+allowedSecureCodingClassesByPropertyKey: {(\n    untyped\n)}");
    }
    ArchiveText nothing(archiver.encodedData());
    EXPECT_TRUE(nothing.plist.get("$top").dictionary().empty());
    // The plain archiver writes it.
    EXPECT_TRUE(unarchive(archive(Value(untyped))).objectAs<UntypedSecureNote>());
}

TEST(SecureModelArchiving, EachValueIsDecodedWithItsDeclaredClassOnly) {
    const JMAllowedClassesByKey allowed = JMModel::allowedSecureCodingClassesByPropertyKey(SecureNote::runtimeClass());
    ASSERT_EQ(allowed.size(), 2u);
    EXPECT_EQ(allowed.at("title"), std::vector<const ClassInfo*>{classNamed("String")});
    EXPECT_EQ(allowed.at("count"), std::vector<const ClassInfo*>{classNamed("Value")});  // scalars travel boxed

    auto secure = makeRef<SecureNote>();
    secure->title = Value("safe");
    secure->count = 7;
    const Bytes data = archive(Value(secure), true);
    Ref<Error> error;
    auto read = KeyedUnarchiver::unarchivedObjectOfClass(SecureNote::runtimeClass(), data, &error).objectAs<SecureNote>();
    ASSERT_TRUE(read) << (error ? error->description() : "");
    EXPECT_TRUE(read->isEqual(*secure));

    // A title of another class (the note itself): refused, with the decoding line.
    ArchiveText tampered(data);
    tampered.root().set("title", tampered.plist.get("$top").dictionary().get("root"));
    LogCapture log;
    EXPECT_TRUE(KeyedUnarchiver::unarchivedObjectOfClass(SecureNote::runtimeClass(), tampered.bytes(), &error).isNil());
    EXPECT_TRUE(log.contains("*** Caught exception decoding value for key \"title\" on class ArchivedSecureNote: "));
}

}  // namespace
}  // namespace lv::test
