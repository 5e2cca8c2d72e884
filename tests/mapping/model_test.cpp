// The model base: attribute parser, storage classification, construction, validation, merging,
// copying, equality, hash and description.
#include <gtest/gtest.h>

#include "mapping/model.h"
#include "mapping/property_attributes.h"
#include "platform/base/log.h"
#include "sample_models.h"

namespace lv {
namespace {

using test::EmptyModel;
using test::HookedModel;
using test::PairModel;
using test::PairSubModel;
using test::OtherPairModel;
using test::StoredModel;
using test::StoredSubModel;
using test::TransitoryModel;

// ---- Attribute parser ----

struct ParserCase {
    const char* attributes;
    const char* name;
    bool parsed;
    const char* type;
    bool readonly, nonatomic, weak, collectable, dynamic;
    JMPropertyMemoryManagementPolicy policy;
    const char* getter;
    const char* setter;
    const char* ivar;
    const char* objectClass;  // nullptr: none
    const char* diagnostic;   // expected stderr text ("" for none)
};

using P = JMPropertyMemoryManagementPolicy;

class AttributeParser : public ::testing::TestWithParam<ParserCase> {};

TEST_P(AttributeParser, ReadsTheRecord) {
    const ParserCase& c = GetParam();
    test::TestURL::runtimeClass();
    ::testing::internal::CaptureStderr();
    std::optional<jm_propertyAttributes> a = jm_readPropertyAttributes(c.attributes, c.name);
    const std::string diagnostics = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(diagnostics, c.diagnostic);
    ASSERT_EQ(a.has_value(), c.parsed);
    if (!c.parsed) return;
    EXPECT_EQ(a->type, c.type);
    EXPECT_EQ(a->readonly, c.readonly);
    EXPECT_EQ(a->nonatomic, c.nonatomic);
    EXPECT_EQ(a->weak, c.weak);
    EXPECT_EQ(a->canBeCollected, c.collectable);
    EXPECT_EQ(a->dynamic, c.dynamic);
    EXPECT_EQ(a->memoryManagementPolicy, c.policy);
    EXPECT_EQ(a->getter, c.getter);
    EXPECT_EQ(a->setter, c.setter);
    EXPECT_EQ(a->ivar, c.ivar);
    if (c.objectClass) {
        ASSERT_NE(a->objectClass, nullptr);
        EXPECT_EQ(a->objectClass->name(), c.objectClass);
    } else {
        EXPECT_EQ(a->objectClass, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, AttributeParser,
    ::testing::Values(
        ParserCase{"T@\"String\",C,N,V_title", "title", true, "@\"String\"", false, true, false, false, false, P::Copy,
                   "title", "setTitle:", "_title", "String", ""},
        ParserCase{"Tq,R,N", "count", true, "q", true, true, false, false, false, P::Assign, "count", "setCount:", "",
                   nullptr, ""},
        ParserCase{"TB,N,GisOn,SturnOn:", "on", true, "B", false, true, false, false, false, P::Assign, "isOn", "turnOn:",
                   "", nullptr, ""},
        ParserCase{"T@\"URL\",&,W,P,N,V_link", "link", true, "@\"URL\"", false, true, true, true, false, P::Retain, "link",
                   "setLink:", "_link", "URL", ""},
        ParserCase{"T@,D,N", "any", true, "@", false, true, false, false, true, P::Assign, "any", "setAny:", "", nullptr,
                   ""},
        // A dynamic flag after the instance variable is part of the name: V ends the flags.
        ParserCase{"Ti,V_x,D", "x", true, "i", false, false, false, false, false, P::Assign, "x", "setX:", "_x,D", nullptr,
                   ""},
        ParserCase{"Ti,D,V_x", "x", true, "i", false, false, false, false, true, P::Assign, "x", "setX:", "_x", nullptr, ""},
        ParserCase{"Ti,V", "x", true, "i", false, false, false, false, false, P::Assign, "x", "setX:", "", nullptr, ""},
        // Names that no class bears.
        ParserCase{"T@\"NoSuchClass\",&", "p", true, "@\"NoSuchClass\"", false, false, false, false, false, P::Retain, "p",
                   "setP:", "", nullptr, ""},
        ParserCase{"T@\"\",&", "p", true, "@\"\"", false, false, false, false, false, P::Retain, "p", "setP:", "", nullptr,
                   ""},
        ParserCase{"T{Point=dd},N", "pt", true, "{Point=dd}", false, true, false, false, false, P::Assign, "pt", "setPt:",
                   "", nullptr, ""},
        ParserCase{"T^[4i],N", "ptr", true, "^[4i]", false, true, false, false, false, P::Assign, "ptr", "setPtr:", "",
                   nullptr, ""},
        // The setter's first byte is upper-cased only when it is an ASCII letter.
        ParserCase{"T@,N", "\xC3\xA9lan", true, "@", false, true, false, false, false, P::Assign, "\xC3\xA9lan",
                   "set\xC3\xA9lan:", "", nullptr, ""},
        ParserCase{"Tq,N,", "t", true, "q", false, true, false, false, false, P::Assign, "t", "setT:", "", nullptr, ""},
        // Diagnostics.
        ParserCase{"Tq,X,N", "odd", true, "q", false, true, false, false, false, P::Assign, "odd", "setOdd:", "", nullptr,
                   "ERROR: Unrecognized attribute string flag 'X' in attribute string \"Tq,X,N\" for property odd\n"},
        ParserCase{"Tq,XY", "odd", true, "q", false, false, false, false, false, P::Assign, "odd", "setOdd:", "", nullptr,
                   "ERROR: Unrecognized attribute string flag 'X' in attribute string \"Tq,XY\" for property odd\n"
                   "Warning: Unparsed data \"Y\" in attribute string \"Tq,XY\" for property odd\n"},
        ParserCase{"Tq,tfoo,N", "old", true, "q", false, true, false, false, false, P::Assign, "old", "setOld:", "", nullptr,
                   "ERROR: Old-style type encoding is unsupported in attribute string \"Tq,tfoo,N\" for property old\n"},
        ParserCase{"T@\"String,C,N", "broken", false, "", false, false, false, false, false, P::Assign, "", "", "", nullptr,
                   "ERROR: Could not read class name in attribute string \"T@\"String,C,N\" for property broken\n"},
        ParserCase{"q,N", "noT", false, "", false, false, false, false, false, P::Assign, "", "", "", nullptr,
                   "ERROR: Expected attribute string \"q,N\" for property noT to start with 'T'\n"},
        ParserCase{"T,N", "noType", false, "", false, false, false, false, false, P::Assign, "", "", "", nullptr,
                   "ERROR: Invalid type in attribute string \"T,N\" for property noType\n"},
        ParserCase{"T{Point=dd,N", "open", false, "", false, false, false, false, false, P::Assign, "", "", "", nullptr,
                   "ERROR: Could not read past type in attribute string \"T{Point=dd,N\" for property open\n"},
        ParserCase{"Tq,G,N", "g", false, "", false, false, false, false, false, P::Assign, "", "", "", nullptr,
                   "ERROR: Found zero length selector name in attribute string \"Tq,G,N\" for property g\n"}));

TEST(AttributeParser, ReadsTheRuntimesAttributeText) {
    const PropertyInfo* title = StoredModel::runtimeClass()->findProperty("title");
    ASSERT_NE(title, nullptr);
    std::optional<jm_propertyAttributes> a = jm_readPropertyAttributes(title);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->type, "@\"String\"");
    EXPECT_EQ(a->memoryManagementPolicy, P::Copy);
    EXPECT_EQ(a->ivar, "_title");
    EXPECT_EQ(a->objectClass, classNamed("String"));

    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(jm_readPropertyAttributes(nullptr));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "ERROR: Could not get attribute string from property (null)\n");
}

TEST(SelectorBuilders, BuildHookNames) {
    EXPECT_EQ(JMSelectorFromKeyPattern("update_time", "JSONTransformer"), "update_timeJSONTransformer");
    EXPECT_EQ(JMSelectorFromCapitalizedKeyPattern("merge", "title", "FromModel:"), "mergeTitleFromModel:");
    // A non-ASCII first character takes its Unicode upper-case form, which may be longer.
    EXPECT_EQ(JMSelectorFromCapitalizedKeyPattern("merge", "\xC3\xA9lan", "FromModel:"), "merge\xC3\x89lanFromModel:");
    EXPECT_EQ(JMSelectorFromCapitalizedKeyPattern("merge", "\xC3\x9Fx", "FromModel:"), "mergeSSxFromModel:");
    EXPECT_EQ(JMSelectorFromKeyPattern("\xFF", "JSONTransformer"), std::nullopt);
    EXPECT_EQ(JMSelectorFromCapitalizedKeyPattern("merge", "\xC3", "FromModel:"), std::nullopt);
}

// ---- Storage classification ----

struct StorageCase {
    const ClassInfo* (*cls)();
    const char* key;
    JMPropertyStorage expected;
};

class StorageClassification : public ::testing::TestWithParam<StorageCase> {};

TEST_P(StorageClassification, ClassifiesTheKey) {
    const StorageCase& c = GetParam();
    EXPECT_EQ(JMModel::storageBehaviorForPropertyWithKey(c.cls(), c.key), c.expected) << c.key;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StorageClassification,
    ::testing::Values(StorageCase{&StoredModel::runtimeClass, "title", JMPropertyStoragePermanent},
                      StorageCase{&StoredModel::runtimeClass, "name", JMPropertyStoragePermanent},  // read-only stored
                      StorageCase{&StoredModel::runtimeClass, "computed", JMPropertyStorageNone},
                      StorageCase{&StoredModel::runtimeClass, "description", JMPropertyStorageNone},
                      StorageCase{&StoredModel::runtimeClass, "hash", JMPropertyStorageNone},
                      StorageCase{&StoredModel::runtimeClass, "superclass", JMPropertyStorageNone},
                      StorageCase{&StoredModel::runtimeClass, "debugDescription", JMPropertyStorageNone},
                      StorageCase{&StoredModel::runtimeClass, "dictionaryValue", JMPropertyStorageNone},
                      StorageCase{&StoredModel::runtimeClass, "undeclared", JMPropertyStorageNone},
                      StorageCase{&StoredSubModel::runtimeClass, "title", JMPropertyStoragePermanent},
                      StorageCase{&StoredSubModel::runtimeClass, "dynamicRW", JMPropertyStoragePermanent},
                      StorageCase{&StoredSubModel::runtimeClass, "dynamicRO", JMPropertyStorageNone},
                      StorageCase{&StoredSubModel::runtimeClass, "noAccess", JMPropertyStorageNone},
                      StorageCase{&TransitoryModel::runtimeClass, "scratch", JMPropertyStorageTransitory},
                      StorageCase{&TransitoryModel::runtimeClass, "title", JMPropertyStoragePermanent}));

TEST(PropertyKeys, ComeFromTheDeclarationsBelowTheBase) {
    EXPECT_EQ(JMModel::propertyKeys(StoredModel::runtimeClass()).keys(), (std::vector<std::string>{"title", "name"}));
    // Own declarations first; a key declared twice appears once.
    EXPECT_EQ(JMModel::propertyKeys(StoredSubModel::runtimeClass()).keys(),
              (std::vector<std::string>{"title", "dynamicRW", "name"}));
    EXPECT_TRUE(JMModel::propertyKeys(EmptyModel::runtimeClass()).empty());
    // Cached: the same set on every call.
    EXPECT_EQ(&JMModel::propertyKeys(StoredModel::runtimeClass()), &JMModel::propertyKeys(StoredModel::runtimeClass()));
}

TEST(PropertyKeys, SplitIntoTransitoryAndPermanent) {
    const ClassInfo* cls = TransitoryModel::runtimeClass();
    EXPECT_EQ(JMModel::transitoryPropertyKeys(cls).keys(), std::vector<std::string>{"scratch"});
    EXPECT_EQ(JMModel::permanentPropertyKeys(cls).keys(), std::vector<std::string>{"title"});
    EXPECT_EQ(JMModel::propertyKeys(cls).size(), 2u);
}

TEST(PropertyKeys, EnumerationStopsWhenAsked) {
    std::vector<std::string> seen;
    JMModel::enumeratePropertiesUsingBlock(StoredSubModel::runtimeClass(), [&](const PropertyInfo& p, bool* stop) {
        seen.push_back(p.name);
        if (seen.size() == 2) *stop = true;
    });
    EXPECT_EQ(seen, (std::vector<std::string>{"title", "dynamicRW"}));
}

// ---- Construction ----

TEST(Construction, SetsEveryEntryAndTurnsNullIntoNil) {
    Ref<Error> error;
    auto m = JMModel::modelWithDictionary<HookedModel>({{"title", Value::null()}, {"note", "n"}, {"count", 4}}, &error);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(error, nullptr);
    EXPECT_TRUE(m->title_.isNil());
    EXPECT_EQ(m->note_, Value("n"));
    EXPECT_EQ(m->count_, 4);
}

TEST(Construction, UnknownKeyFailsWithModelErrorAndLogLine) {
    LogCapture capture;
    Ref<Error> error;
    auto m = JMModel::modelWithDictionary<HookedModel>({{"nope", 1}}, &error);
    EXPECT_EQ(m, nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), "JMModelErrorDomain");
    EXPECT_EQ(error->code(), 1);
    auto thrown = error->userInfo().get("JMModelThrownException").objectAs<JMException>();
    ASSERT_NE(thrown, nullptr);
    EXPECT_EQ(thrown->name(), "NSUnknownKeyException");
    EXPECT_EQ(error->localizedFailureReason(), thrown->reason());
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(capture.lines()[0], "*** Caught exception setting key \"nope\" : " + thrown->reason());
}

TEST(Construction, NilForScalarFailsWithModelError) {
    LogCapture capture;
    Ref<Error> error;
    EXPECT_EQ(JMModel::modelWithDictionary<HookedModel>({{"count", Value::null()}}, &error), nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), "JMModelErrorDomain");
    EXPECT_TRUE(capture.contains("*** Caught exception setting key \"count\" : "));
}

TEST(Construction, ValidatorsReplaceAndRefuse) {
    Ref<Error> error;
    auto replaced = JMModel::modelWithDictionary<HookedModel>({{"title", "bad"}}, &error);
    ASSERT_NE(replaced, nullptr);
    EXPECT_EQ(replaced->title_, Value("good"));

    EXPECT_EQ(JMModel::modelWithDictionary<HookedModel>({{"title", "refuse"}}, &error), nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), "Test");
    EXPECT_EQ(error->code(), 7);
}

// ---- Validation ----

TEST(Validation, WritesBackReplacedValuesOnly) {
    auto m = makeRef<HookedModel>();
    m->title_ = Value("bad");
    int sets = 0;
    addPropertyObserver(*m, [&](Object&, const std::string&) { ++sets; });
    EXPECT_TRUE(m->validate(nullptr));
    EXPECT_EQ(m->title_, Value("good"));
    EXPECT_EQ(sets, 1);  // only the replaced title was set
    EXPECT_TRUE(m->validate(nullptr));
    EXPECT_EQ(sets, 1);

    m->title_ = Value("refuse");
    Ref<Error> error;
    EXPECT_FALSE(m->validate(&error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), 7);
}

// ---- Dictionary value, merging, copying ----

TEST(DictionaryValue, HoldsEveryKeyWithNullForNil) {
    auto m = makeRef<TransitoryModel>();
    m->title_ = Value("t");
    EXPECT_EQ(Value(m->dictionaryValue()), Value::dictionary({{"scratch", Value::null()}, {"title", "t"}}));
    EXPECT_EQ(valueForKey(*m, "dictionaryValue"), Value(m->dictionaryValue()));
}

TEST(Merging, UsesTheHookOrTheOtherModelsValue) {
    auto a = makeRef<HookedModel>();
    auto b = makeRef<HookedModel>();
    a->title_ = Value("mine");
    a->note_ = Value("mine");
    b->title_ = Value("theirs");
    b->note_ = Value("theirs");

    a->mergeValueForKey("title", b);  // the hook runs instead
    EXPECT_EQ(a->title_, Value("mine"));
    EXPECT_EQ(a->mergeCalls, 1);
    a->mergeValueForKey("title", nullptr);  // also with no model
    EXPECT_EQ(a->mergeCalls, 2);
    EXPECT_TRUE(a->mergeSawNil);

    a->mergeValueForKey("note", nullptr);  // no hook, no model: unchanged
    EXPECT_EQ(a->note_, Value("mine"));
    a->mergeValueForKey("note", b);
    EXPECT_EQ(a->note_, Value("theirs"));

    b->note_ = Value();
    a->mergeValuesForKeysFromModel(b);
    EXPECT_TRUE(a->note_.isNil());  // nil is taken too
    EXPECT_EQ(a->mergeCalls, 3);
}

TEST(Merging, HookNameUsesTheUnicodeUpperCase) {
    auto a = makeRef<test::AccentModel>();
    a->mergeValueForKey("\xC3\xA9lan", nullptr);
    EXPECT_TRUE(a->merged);
}

TEST(Copying, MakesAnEqualInstanceOfTheSameClass) {
    auto m = makeRef<PairModel>();
    m->first_ = Value::array({1, 2});
    Ref<JMModel> copy = m->copy();
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy.get(), m.get());
    EXPECT_EQ(copy->className(), "PairModel");
    EXPECT_TRUE(copy->isEqual(*m));
}

// ---- Equality, hash, description ----

TEST(Equality, ComparesClassAndPermanentValues) {
    auto a = makeRef<PairModel>();
    auto b = makeRef<PairModel>();
    EXPECT_TRUE(a->isEqual(*b));  // every value nil
    a->first_ = Value(1);
    EXPECT_FALSE(a->isEqual(*b));
    b->first_ = Value(1.0);
    EXPECT_TRUE(a->isEqual(*b));
    EXPECT_EQ(a->hash(), b->hash());

    auto other = makeRef<OtherPairModel>();
    other->first_ = Value(1);
    EXPECT_FALSE(a->isEqual(*other));  // another class with equal values

    auto sub = makeRef<PairSubModel>();
    sub->first_ = Value(1);
    EXPECT_FALSE(sub->isEqual(*a));  // subclass vs superclass
    EXPECT_FALSE(a->isEqual(*sub));
}

TEST(Equality, TransitoryKeysTakeNoPart) {
    auto a = makeRef<TransitoryModel>();
    auto b = makeRef<TransitoryModel>();
    a->title_ = b->title_ = Value("t");
    a->scratch_ = Value("x");
    EXPECT_TRUE(a->isEqual(*b));
    EXPECT_EQ(a->hash(), b->hash());
}

TEST(Hash, IsTheXorOfThePermanentValuesHashes) {
    EXPECT_EQ(makeRef<EmptyModel>()->hash(), 0u);
    auto m = makeRef<PairModel>();
    EXPECT_EQ(m->hash(), 0u);
    m->first_ = Value("a");
    m->second_ = Value(7);
    EXPECT_EQ(m->hash(), Value("a").hash() ^ Value(7).hash());
}

TEST(Description, NamesClassAddressAndPermanentValues) {
    auto m = makeRef<TransitoryModel>();
    m->title_ = Value("hello world");
    m->scratch_ = Value("hidden");
    EXPECT_EQ(m->description(), "<TransitoryModel: " + addressText(m.get()) + "> {\n    title = \"hello world\";\n}");
}

}  // namespace
}  // namespace lv
