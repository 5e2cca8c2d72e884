// The model base: attribute parser, storage classification, construction, validation, merging,
// equality, hash and description.
#include <gtest/gtest.h>

#include "mapping/model.h"
#include "mapping/property_attributes.h"
#include "platform/base/log.h"

namespace lv {
namespace {

// Storage cases: "computed" (read-only, no ivar) and the redeclared "description" are no keys.
class Stored : public JMModel {
public:
    Stored() { runtimeClass(); }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls =
            defineModelClass<Stored>("Stored")
                .property("title", &Stored::title_, "String", "C,N")
                .property("name", &Stored::name_, "String", "R,C,N")
                .property("computed", "@\"String\"", "R,N", [](const Stored& m) { return m.title_; })
                .property("description", "@\"String\"", "R,C", [](const Stored& m) { return Value(m.description()); })
                .registerClass();
        return cls;
    }
    Value title_, name_;
};

// "title" redeclared read-only without ivar takes the superclass's answer; "dynamicRW" is a key,
// "dynamicRO" and "noAccess" are not.
class StoredSub : public Stored {
public:
    StoredSub() { runtimeClass(); }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls =
            defineModelClass<StoredSub, Stored>("StoredSub")
                .property("title", "@\"String\"", "R,C,N", [](const StoredSub& m) { return m.title_; })
                .property("dynamicRW", "@\"String\"", "D,N", nullptr)
                .property("dynamicRO", "@\"String\"", "R,D,N", nullptr)
                .property("noAccess", "@\"String\"", "N", nullptr)
                .registerClass();
        return cls;
    }
};

// "title" has validation ("bad" becomes "good", "refuse" fails with domain "Test" code 7) and merge
// hooks; "scratch" is transitory through the storage hook.
class Hooked : public JMModel {
public:
    Hooked() { runtimeClass(); }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls =
            defineModelClass<Hooked>("Hooked")
                .property("title", &Hooked::title_, "String", "C,N")
                .property("scratch", &Hooked::scratch_, "String", "C,N")
                .property("count", &Hooked::count_, "N")
                .property("\xC3\xA9lan", &Hooked::elan_, "String", "C,N")
                .instanceMethod("validateTitle:error:", &Hooked::validateTitle)
                .instanceMethod("mergeTitleFromModel:", &Hooked::mergeTitle)
                .instanceMethod("merge\xC3\x89lanFromModel:", &Hooked::mergeTitle)
                .classMethod("storageBehaviorForPropertyWithKey:", &Hooked::storage)
                .registerClass();
        return cls;
    }
    bool validateTitle(Value& value, Ref<Error>* error) {
        if (value == Value("bad")) value = Value("good");
        if (value != Value("refuse")) return true;
        setError(error, Error::make("Test", 7));
        return false;
    }
    void mergeTitle(const Ref<JMModel>&) { ++merges; }
    static JMPropertyStorage storage(const ClassInfo* cls, const std::string& key) {
        return key == "scratch" ? JMPropertyStorageTransitory : JMModel::defaultStorageBehaviorForPropertyWithKey(cls, key);
    }
    Value title_, scratch_, elan_;
    std::int64_t count_ = 0;
    int merges = 0;
};

// ---- Attribute parser ----

// The record in one line: type, flags, policy (0 assign, 1 retain, 2 copy), getter, setter, ivar, class.
std::string summary(const jm_propertyAttributes& a) {
    std::string flags = std::string(a.readonly ? "R" : "") + (a.nonatomic ? "N" : "") + (a.weak ? "W" : "") +
                        (a.canBeCollected ? "P" : "") + (a.dynamic ? "D" : "");
    return a.type + " " + flags + " " + std::to_string(static_cast<int>(a.memoryManagementPolicy)) + " " + a.getter +
           " " + a.setter + " " + a.ivar + " " + (a.objectClass ? a.objectClass->name() : "-");
}

struct ParserCase {
    const char* attributes;
    const char* summary;     // "" when the text cannot be read
    const char* diagnostic;  // stderr
};

class AttributeParser : public ::testing::TestWithParam<ParserCase> {};

TEST_P(AttributeParser, ReadsTheRecord) {
    ::testing::internal::CaptureStderr();
    std::optional<jm_propertyAttributes> a = jm_readPropertyAttributes(GetParam().attributes, "p");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), GetParam().diagnostic);
    EXPECT_EQ(a ? summary(*a) : "", GetParam().summary);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AttributeParser,
    ::testing::Values(
        ParserCase{"T@\"String\",C,N,V_title", "@\"String\" N 2 p setP: _title String", ""},
        ParserCase{"TB,R,N,GisOn,SturnOn:", "B RN 0 isOn turnOn:  -", ""},
        ParserCase{"Ti,V_x,D", "i  0 p setP: _x,D -", ""},  // V ends the flags
        ParserCase{"T@\"Unknown\",&,W,P,D", "@\"Unknown\" WPD 1 p setP:  -", ""},
        ParserCase{"Tq,XY", "q  0 p setP:  -",
                   "ERROR: Unrecognized attribute string flag 'X' in attribute string \"Tq,XY\" for property p\n"
                   "Warning: Unparsed data \"Y\" in attribute string \"Tq,XY\" for property p\n"},
        ParserCase{"Tq,tfoo,N", "q N 0 p setP:  -",
                   "ERROR: Old-style type encoding is unsupported in attribute string \"Tq,tfoo,N\" for property p\n"},
        ParserCase{"T@\"String,C", "", "ERROR: Could not read class name in attribute string \"T@\"String,C\" for property p\n"},
        ParserCase{"Tq,G,N", "", "ERROR: Found zero length selector name in attribute string \"Tq,G,N\" for property p\n"}));

// ---- Storage classification ----

TEST(PropertyKeys, ComeFromTheStoredDeclarationsBelowTheBase) {
    EXPECT_EQ(JMModel::propertyKeys(Stored::runtimeClass()).keys(), (std::vector<std::string>{"title", "name"}));
    EXPECT_EQ(JMModel::propertyKeys(StoredSub::runtimeClass()).keys(),
              (std::vector<std::string>{"title", "dynamicRW", "name"}));
    EXPECT_EQ(JMModel::transitoryPropertyKeys(Hooked::runtimeClass()).keys(), std::vector<std::string>{"scratch"});
    EXPECT_FALSE(JMModel::permanentPropertyKeys(Hooked::runtimeClass()).contains("scratch"));
}

// ---- Construction, validation, merging ----

TEST(Construction, SetsEntriesAndReportsFailuresAsModelErrors) {
    Ref<Error> error;
    auto m = JMModel::modelWithDictionary<Hooked>({{"title", "bad"}, {"scratch", Value::null()}, {"count", 4}}, &error);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->title_, Value("good"));  // replaced by the validator
    EXPECT_EQ(m->count_, 4);

    EXPECT_EQ(JMModel::modelWithDictionary<Hooked>({{"title", "refuse"}}, &error), nullptr);
    EXPECT_EQ(error->domain(), "Test");

    LogCapture capture;
    EXPECT_EQ(JMModel::modelWithDictionary<Hooked>({{"nope", 1}}, &error), nullptr);
    EXPECT_EQ(error->domain(), "JMModelErrorDomain");
    auto thrown = error->userInfo().get("JMModelThrownException").objectAs<JMException>();
    ASSERT_NE(thrown, nullptr);
    EXPECT_EQ(thrown->name(), "NSUnknownKeyException");
    EXPECT_EQ(capture.lines(), std::vector<std::string>{"*** Caught exception setting key \"nope\" : " + thrown->reason()});
    EXPECT_EQ(JMModel::modelWithDictionary<Hooked>({{"count", Value::null()}}, &error), nullptr);  // nil for a scalar
    EXPECT_EQ(error->domain(), "JMModelErrorDomain");
}

TEST(Validation, WritesBackReplacedValuesOnly) {
    auto m = makeRef<Hooked>();
    m->title_ = Value("bad");
    int sets = 0;
    addPropertyObserver(*m, [&](Object&, const std::string&) { ++sets; });
    EXPECT_TRUE(m->validate(nullptr));
    EXPECT_TRUE(m->validate(nullptr));
    EXPECT_EQ(m->title_, Value("good"));
    EXPECT_EQ(sets, 1);
}

TEST(Merging, UsesTheHookOrTheOtherModelsValue) {
    auto a = makeRef<Hooked>();
    auto b = makeRef<Hooked>();
    a->title_ = a->scratch_ = Value("mine");
    b->title_ = Value("theirs");
    a->mergeValueForKey("title", nullptr);  // the hook runs, also without a model
    a->mergeValueForKey("\xC3\xA9lan", nullptr);
    a->mergeValuesForKeysFromModel(b);
    EXPECT_EQ(a->title_, Value("mine"));
    EXPECT_TRUE(a->scratch_.isNil());  // nil is taken too
    EXPECT_EQ(a->merges, 4);  // title and élan once more
}

// ---- Equality, hash, description ----

TEST(Equality, ComparesClassAndPermanentValues) {
    auto a = makeRef<Stored>();
    auto b = makeRef<Stored>();
    auto sub = makeRef<StoredSub>();
    a->title_ = sub->title_ = Value(1);
    b->title_ = Value(1.0);
    EXPECT_TRUE(a->isEqual(*b));
    EXPECT_FALSE(a->isEqual(*sub));
    EXPECT_EQ(a->hash(), b->hash());
    a->name_ = Value("x");
    EXPECT_EQ(a->hash(), Value(1).hash() ^ Value("x").hash());
    EXPECT_TRUE(a->copy()->isEqual(*a));

    auto h = makeRef<Hooked>();
    auto other = makeRef<Hooked>();
    h->scratch_ = Value("hidden");  // transitory: no part in equality or description
    EXPECT_TRUE(h->isEqual(*other));
    h->title_ = Value("hello world");
    EXPECT_EQ(h->description(), "<Hooked: " + addressText(h.get()) +
                                    "> {\n    count = 0;\n    title = \"hello world\";\n    \"\\U00e9lan\" = \"<null>\";\n}");
}

}  // namespace
}  // namespace lv
