// The JSON adapter: JSON to models and back, transformer discovery, class selection, nested models,
// hook signatures, adapter subclasses and the failures of each.
#include <gtest/gtest.h>

#include <cctype>

#include "platform/base/log.h"
#include "platform/net/url.h"
#include "platform/runtime/runtime.h"
#include "sample_models.h"

namespace lv {
namespace {

using test::Circle;
using test::Item;
using test::jsonModel;
using test::Owner;
using test::Pet;
using test::Shape;

Value itemJSON() {
    return Value::dictionary({{"title", "Hello"}, {"count", 12}, {"user", Value::dictionary({{"name", "ann"}})},
                              {"created", "1425690000"}, {"flag", 2}, {"link", "http://example.com/x"},
                              {"rank", 5}, {"ignored", "x"}});
}

void expectError(const Ref<Error>& error, std::string_view domain, std::int64_t code, std::string_view reason = {}) {
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), domain);
    EXPECT_EQ(error->code(), code);
    if (!reason.empty()) {
        EXPECT_EQ(error->localizedFailureReason(), reason);
    }
}

// From JSONTransformerForKey: "boom" raises on "explode", "forward" is forward-only, "dropped" reverses
// to nil; "name" gets none.
class Tricky : public JMModel {
public:
    Tricky() { runtimeClass(); }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls =
            jsonModel<Tricky>("Tricky", {{"name", "a.b"}, {"boom", "boom"}, {"forward", "f.x"}, {"dropped", "d.y"}})
                .property("name", &Tricky::name_, "String", "C,N")
                .property("boom", &Tricky::boom_, "String", "C,N")
                .property("forward", &Tricky::forward_, "String", "C,N")
                .property("dropped", &Tricky::dropped_, "String", "C,N")
                .classMethod("JSONTransformerForKey:", &Tricky::transformerForKey)
                .registerClass();
        return cls;
    }
    static Ref<ValueTransformer> transformerForKey(const std::string& key) {
        auto same = [](const Value& v, bool*, Ref<Error>*) {
            if (v == Value("explode")) Exception::raise(std::string(kInvalidArgumentException), "boom went the value");
            return v;
        };
        auto none = [](const Value&, bool*, Ref<Error>*) { return Value(); };
        if (key == "boom" || key == "forward") return JMValueTransformer::transformerUsingForwardBlock(same);
        return key == "dropped" ? JMValueTransformer::transformerUsingForwardBlock(same, none) : nullptr;
    }
    Value name_, boom_, forward_, dropped_;
};

// Array key paths: "coords" <- ["lat", "pos.lng"]; "label" <- "info.label".
class Location : public JMModel {
public:
    Location() { runtimeClass(); }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls =
            jsonModel<Location>("Location", {{"coords", Value::array({"lat", "pos.lng"})}, {"label", "info.label"}})
                .property("coords", &Location::coords_, "Dictionary", "C,N")
                .property("label", &Location::label_, "String", "C,N")
                .registerClass();
        return cls;
    }
    Value coords_, label_;
};

// A key-path map is refused (a key that is no property, a path that is a number) or raises.
class BadMap : public JMModel {
public:
    BadMap() { runtimeClass(); }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = defineModelClass<BadMap>("BadMap")
                                          .property("title", &BadMap::title_, "String", "C,N")
                                          .classHook<JMKeyPathsHook>("JSONKeyPathsByPropertyKey", [] {
                                              if (mode == 2) Exception::raise("Test", "no map today");
                                              return mode == 0 ? Dictionary{{"title", "title"}, {"missing", "x"}}
                                                               : Dictionary{{"title", 3}};
                                          })
                                          .registerClass();
        return cls;
    }
    static inline int mode = 0;
    Value title_;
};

// A plain one-property model for hooks added after its first mapping.
class LateHooked : public JMModel {
public:
    LateHooked() { runtimeClass(); }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = jsonModel<LateHooked>("LateHooked", {{"title", "title"}})
                                          .property("title", &LateHooked::title_, "String", "C,N")
                                          .registerClass();
        return cls;
    }
    Value title_;
};

// Records every validation and every set of its properties, which are declared out of key order;
// "a" has a validation hook that replaces "bad" with "good".
class Audited : public JMModel {
public:
    Audited() { runtimeClass(); }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls =
            jsonModel<Audited>("Audited", {{"b", "b"}, {"a", "a"}, {"c", "x.c"}})
                .property("b", "@\"String\"", "C,N", [](const Audited& m) { return m.b_; },
                          [](Audited& m, const Value& v) { m.b_ = record("set b", v); })
                .property("a", "@\"String\"", "C,N", [](const Audited& m) { return m.a_; },
                          [](Audited& m, const Value& v) { m.a_ = record("set a", v); })
                .property("c", "@\"String\"", "C,N", [](const Audited& m) { return m.c_; },
                          [](Audited& m, const Value& v) { m.c_ = record("set c", v); })
                .instanceMethod("validateA:error:", &Audited::validateA)
                .registerClass();
        return cls;
    }
    static Value record(const std::string& event, const Value& v) {
        events.push_back(event + " " + v.stringValue());
        return v;
    }
    bool validateA(Value& value, Ref<Error>*) {
        record("validate a", value);
        if (value == Value("bad")) value = Value("good");
        return true;
    }
    static inline std::vector<std::string> events;
    Value a_, b_, c_;
};

// ---- JSON to model ----

// The values read are set in the order of their keys, each validated first when its key has a hook,
// and the model then validates itself, as initWithDictionary and validate do with them.
TEST(ModelFromJSON, SetsValuesInKeyOrderWithTheirValidation) {
    for (int round = 0; round < 2; ++round) {
        Audited::events.clear();
        Ref<Error> error;
        auto m = JMJSONAdapter::modelOfClass<Audited>(
            Value::dictionary({{"c", "0"}, {"b", "2"}, {"a", "bad"}, {"x", Value::dictionary({{"c", "3"}})}}), &error);
        ASSERT_NE(m, nullptr) << (error ? error->description() : "");
        EXPECT_EQ(Audited::events,
                  (std::vector<std::string>{"validate a bad", "set a good", "set b 2", "set c 3", "validate a good"}));
    }
}

// A class whose factory makes an instance of a subclass: its models are filled through
// initWithDictionary with a dictionary of the values read, where the class's own are set directly.
class Relayed : public JMModel {
public:
    Relayed() { runtimeClass(); }
    static const ClassInfo* runtimeClass();
    Value title_, userName_, created_, note_;
};
class RelayedInstance : public Relayed {
public:
    RelayedInstance() { runtimeClass(); }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = defineModelClass<RelayedInstance, Relayed>("RelayedInstance").registerClass();
        return cls;
    }
};
const ClassInfo* Relayed::runtimeClass() {
    static const ClassInfo* cls =
        jsonModel<Relayed>("Relayed", {{"title", "title"}, {"userName", "user.name"}, {"created", "created"}, {"note", "note"}})
            .property("title", &Relayed::title_, "String", "&,N")
            .property("userName", &Relayed::userName_, "String", "C,N")
            .property("created", &Relayed::created_, "Date", "&,N")
            .property("note", &Relayed::note_, "String", "C,N")
            .classMethod("createdJSONTransformer", &Item::createdJSONTransformer)
            .factory([] { return std::static_pointer_cast<Object>(makeRef<RelayedInstance>()); })
            .registerClass();
    return cls;
}

// A class of more properties than the adapter keeps inline per item (16), one of them through a key path
// and one through a transformer.
class Wide : public JMModel {
public:
    Wide() { runtimeClass(); }
    static const ClassInfo* runtimeClass();
    Value p00_, p01_, p02_, p03_, p04_, p05_, p06_, p07_, p08_, p09_, p10_, p11_, p12_, p13_, p14_, p15_, p16_, p17_, p18_, p19_;
};
const ClassInfo* Wide::runtimeClass() {
    static const ClassInfo* cls = [] {
        Dictionary keyPaths;
        for (int i = 0; i < 20; ++i) {
            const std::string key = format("p%02d", i);
            keyPaths.set(key, Value(i == 5 ? std::string("deep.p05") : key));
        }
        return jsonModel<Wide>("Wide", std::move(keyPaths))
            .property("p00", &Wide::p00_, "String", "&,N")
            .property("p01", &Wide::p01_, "String", "&,N")
            .property("p02", &Wide::p02_, "String", "&,N")
            .property("p03", &Wide::p03_, "String", "&,N")
            .property("p04", &Wide::p04_, "String", "&,N")
            .property("p05", &Wide::p05_, "String", "&,N")
            .property("p06", &Wide::p06_, "String", "&,N")
            .property("p07", &Wide::p07_, "String", "&,N")
            .property("p08", &Wide::p08_, "String", "&,N")
            .property("p09", &Wide::p09_, "String", "&,N")
            .property("p10", &Wide::p10_, "String", "&,N")
            .property("p11", &Wide::p11_, "String", "&,N")
            .property("p12", &Wide::p12_, "String", "&,N")
            .property("p13", &Wide::p13_, "String", "&,N")
            .property("p14", &Wide::p14_, "String", "&,N")
            .property("p15", &Wide::p15_, "String", "&,N")
            .property("p16", &Wide::p16_, "String", "&,N")
            .property("p17", &Wide::p17_, "String", "&,N")
            .property("p18", &Wide::p18_, "String", "&,N")
            .property("p19", &Wide::p19_, "String", "&,N")
            .classHook<JMKeyTransformerHook>("p19JSONTransformer",
                                             [] {
                                                 return Ref<ValueTransformer>(JMValueTransformer::transformerWithBlock(
                                                     [](const Value& v) { return Value(v.string() + "!"); }));
                                             })
            .registerClass();
    }();
    return cls;
}

// A model class with another base before JMModel: its instances do not start with their JMModel part.
struct Ballast {
    virtual ~Ballast() = default;
    std::int64_t weight[3] = {1, 2, 3};
};
class Offset : public Ballast, public JMModel {
public:
    Offset() { runtimeClass(); }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = jsonModel<Offset>("Offset", {{"title", "title"}, {"note", "note"}})
                                          .property("title", &Offset::title_, "String", "&,N")
                                          .property("note", &Offset::note_, "String", "C,N")
                                          .registerClass();
        return cls;
    }
    Value title_, note_;
};

// Values taken from the JSON as they are (a single key, a key path, a value the transformer makes, a
// null, an absent key) reach the model equal to what the JSON holds, on both roads: a model of the
// class itself, and one its factory makes of a subclass. Each JSON is read twice in a row, and the
// JSON outlives the model unchanged.
TEST(ModelFromJSON, ValuesReadInPlaceReachTheModelOnBothRoads) {
    const std::string longText(64, 'w');  // past any inline storage
    const Value rows[] = {
        Value::dictionary({{"title", longText}, {"user", Value::dictionary({{"name", "ann"}})}, {"created", "5"}, {"note", "n"}}),
        Value::dictionary({{"title", Value::null()}, {"user", Value::dictionary({{"name", longText}})}}),
        Value::dictionary({{"note", longText}, {"created", Value::null()}}),
        Value::dictionary({}),
    };
    for (const Value& json : rows) {
        SCOPED_TRACE(json.description());
        const Value before = json;
        const Value title = json["title"].isNull() ? Value() : json["title"];
        const Value userName = json["user"].isDictionary() ? json["user"]["name"] : Value();
        const Value created = json["created"].isString() ? Value(Date::fromSince1970(5)) : Value();
        const Value note = json["note"];
        for (int round = 0; round < 2; ++round) {
            Ref<Error> error;
            auto item = JMJSONAdapter::modelOfClass<Item>(json, &error);
            ASSERT_NE(item, nullptr) << (error ? error->description() : "");
            EXPECT_EQ(item->title_, title);
            EXPECT_EQ(item->userName_, userName);
            EXPECT_EQ(item->created_, created);
            EXPECT_EQ(item->note_, note);
            auto relayed = JMJSONAdapter::modelOfClass(Relayed::runtimeClass(), json, &error);
            ASSERT_NE(std::dynamic_pointer_cast<RelayedInstance>(relayed), nullptr) << (error ? error->description() : "");
            const auto& r = static_cast<const Relayed&>(*relayed);
            EXPECT_EQ(r.title_, title);
            EXPECT_EQ(r.userName_, userName);
            EXPECT_EQ(r.created_, created);
            EXPECT_EQ(r.note_, note);
        }
        EXPECT_EQ(json, before);
    }
    // Models of a class with another base first: the first one made and the later ones.
    for (int round = 0; round < 3; ++round) {
        auto offset = JMJSONAdapter::modelOfClass<Offset>(Value::dictionary({{"title", "t"}, {"note", "n"}}), nullptr);
        ASSERT_NE(offset, nullptr);
        EXPECT_EQ(offset->title_, Value("t"));
        EXPECT_EQ(offset->note_, Value("n"));
        EXPECT_EQ(offset->weight[2], 3);
        // (the layout this checks: the JMModel part is not at the start)
        EXPECT_NE(static_cast<const void*>(offset.get()), static_cast<const void*>(static_cast<JMModel*>(offset.get())));
    }
    // Past the inline slots: every value reaches its property, whichever road it took.
    Dictionary wideJSON;
    for (int i = 0; i < 20; ++i) {
        if (i == 7) continue;  // absent
        const std::string key = format("p%02d", i);
        wideJSON.set(i == 5 ? std::string("deep") : key,
                     i == 5 ? Value::dictionary({{"p05", "five"}}) : Value(key + std::string(40, '.')));
    }
    for (int round = 0; round < 2; ++round) {
        Ref<Error> error;
        auto wide = JMJSONAdapter::modelOfClass<Wide>(Value(wideJSON), &error);
        ASSERT_NE(wide, nullptr) << (error ? error->description() : "");
        for (int i = 0; i < 20; ++i) {
            const std::string key = format("p%02d", i);
            const Value expected = i == 7 ? Value() : i == 5 ? Value("five") : i == 19 ? Value(key + std::string(40, '.') + "!")
                                                                                        : Value(key + std::string(40, '.'));
            EXPECT_EQ(valueForKey(*wide, key), expected) << key;
        }
    }
}

// Plain values: a class whose models only hold what is read (Value properties of its own, its own
// factory, no validation, no class selection) is read into values equal to what the model's
// properties hold, and fails exactly where the model road fails, with the same error. Any other class
// is never plain, and no class is before a model was made.
TEST(ModelFromJSON, PlainValuesAreWhatTheModelOfAPlainClassHolds) {
    struct Case {
        const ClassInfo* cls;
        bool plain;
    };
    for (const Case& c : {Case{Wide::runtimeClass(), true}, Case{Offset::runtimeClass(), true},
                          Case{Item::runtimeClass(), false}, Case{Relayed::runtimeClass(), false},
                          Case{Shape::runtimeClass(), false}}) {
        SCOPED_TRACE(c.cls->name());
        Ref<JMJSONAdapter> adapter = JMJSONAdapter::adapterWithModelClass(c.cls);
        ASSERT_NE(adapter, nullptr);
        EXPECT_FALSE(adapter->mapsPlainly());  // no model made yet
        adapter->modelFromJSONDictionary(Value::dictionary({{"kind", "circle"}}), nullptr);
        EXPECT_EQ(adapter->mapsPlainly(), c.plain);
    }
    Ref<JMJSONAdapter> wide = JMJSONAdapter::adapterWithModelClass(Wide::runtimeClass());
    ASSERT_NE(wide->modelFromJSONDictionary(Value::dictionary({}), nullptr), nullptr);
    ASSERT_TRUE(wide->mapsPlainly());
    Dictionary full;
    for (int i = 0; i < 20; ++i) full.set(format("p%02d", i), Value(format("v%02d", i)));
    full.set("deep", Value::dictionary({{"p05", "five"}}));
    Dictionary nulls = full;
    nulls.set("p03", Value::null());
    nulls.set("p19", Value::null());  // through the transformer
    nulls.set("deep", Value::dictionary({{"p05", Value::null()}}));
    Dictionary wrongKind = full;
    wrongKind.set("p11", Value(11));  // a number for a text
    Dictionary badPath = full;
    badPath.set("deep", Value("not a dictionary"));
    const Value rows[] = {Value(full), Value(nulls), Value(Dictionary()), Value(wrongKind), Value(badPath),
                          Value("not a dictionary"), Value(full)};
    JMPlainValues values;  // reused, as a run of items does
    for (const Value& json : rows) {
        SCOPED_TRACE(json.description());
        Ref<Error> modelError = Error::make("before", 1, {});
        Ref<Error> plainError = modelError;
        Ref<JMModel> model = wide->modelFromJSONDictionary(json, &modelError);
        const bool read = wide->plainValuesFromJSONDictionary(json, values, &plainError);
        ASSERT_EQ(read, model != nullptr);
        ASSERT_EQ(plainError != nullptr, modelError != nullptr);
        if (modelError) {
            EXPECT_EQ(plainError->domain(), modelError->domain());
            EXPECT_EQ(plainError->code(), modelError->code());
            EXPECT_EQ(plainError->userInfo(), modelError->userInfo());
        }
        if (!model) continue;
        const auto& own = Wide::runtimeClass()->ownProperties();
        ASSERT_EQ(values.size(), own.size());
        for (std::size_t i = 0; i < own.size(); ++i) {
            const Value held = valueForKey(*model, own[i].name);
            EXPECT_EQ(values[i] ? *values[i] : Value(), held) << own[i].name;
            EXPECT_EQ(values.valueForKey(own[i].name), held) << own[i].name;
        }
    }
}

// The adapter kept for a class after its first mapping gives way when the runtime changes: a
// transformer hook added later is used by the next call.
TEST(ModelFromJSON, KeptAdapterFollowsHooksAddedLater) {
    const Value json = Value::dictionary({{"title", "late"}});
    for (int round = 0; round < 2; ++round) EXPECT_EQ(JMJSONAdapter::modelOfClass<LateHooked>(json, nullptr)->title_, Value("late"));
    const std::function<Ref<ValueTransformer>()> upper = [] {
        return JMValueTransformer::transformerWithBlock([](const Value& v) { return Value(v.string() + "!"); });
    };
    ASSERT_TRUE(addHook(LateHooked::runtimeClass(), HookSide::Class, "titleJSONTransformer", upper));
    EXPECT_EQ(JMJSONAdapter::modelOfClass<LateHooked>(json, nullptr)->title_, Value("late!"));
}

TEST(ModelFromJSON, MapsEveryKindAndRoundTrips) {
    Ref<Error> error;
    auto item = JMJSONAdapter::modelOfClass<Item>(itemJSON(), &error);
    ASSERT_NE(item, nullptr) << (error ? error->description() : "");
    EXPECT_EQ(item->title_, Value("Hello"));
    EXPECT_EQ(item->userName_, Value("ann"));
    ASSERT_TRUE(item->created_.isDate());
    EXPECT_DOUBLE_EQ(item->created_.date()->since1970(), 1425690000.0);
    EXPECT_TRUE(item->flag_);
    EXPECT_EQ(item->rank_, 5);
    ASSERT_TRUE(item->link_.isObject() && isKindOf(*item->link_.object(), "URL"));  // the platform's URL class
    EXPECT_EQ(Value(*JMJSONAdapter::JSONDictionaryFromModel(item)),
              Value::dictionary({{"title", "Hello"}, {"count", 12}, {"user", Value::dictionary({{"name", "ann"}})},
                                 {"created", "1425690000"}, {"link", "http://example.com/x"}, {"note", Value::null()},
                                 {"flag", true}, {"rank", 5}}));

    // Missing keys and nulls (on the path too) leave properties nil.
    item = JMJSONAdapter::modelOfClass<Item>(Value::dictionary({{"user", Value::null()}, {"created", Value::null()}}),
                                             nullptr);
    ASSERT_NE(item, nullptr);
    EXPECT_TRUE(item->userName_.isNil() && item->created_.isNil() && item->title_.isNil());
}

// A property whose transformer only checks the value's class takes a value of that class without the
// transformer's call: the model holds what the transformer gives, a value of another class fails with
// the transformer's error, and the error slot is cleared as after any successful transform.
TEST(ModelFromJSON, ClassCheckedPropertiesGetWhatTheirTransformerGives) {
    const JMTransformerMap transformers = JMJSONAdapter::valueTransformersForModelClass(Item::runtimeClass(), nullptr);
    const std::vector<Value> inputs{Value("text"), Value(std::string(40, 'x')), Value(3), Value(2.5), Value(true),
                                    Value(Decimal::fromString("1.25")), Value(Date::fromSince1970(5)),
                                    Value::array({1}), Value::dictionary({{"a", 1}}), Value::null(),
                                    Value(URL::URLWithString("http://example.com/y"))};
    for (const std::string key : {"title", "count", "userName", "note", "rank"}) {
        const auto* transformer = dynamic_cast<const JMTransformerErrorHandling*>(transformers.at(key).get());
        ASSERT_NE(transformer, nullptr) << key;
        for (std::size_t n = 0; n < inputs.size(); ++n) {
            const Value& input = inputs[n];
            SCOPED_TRACE(key + " " + std::to_string(n));
            Value json = itemJSON();
            if (key == "userName") {
                json.mutableDictionary().set("user", Value::dictionary({{"name", input}}));
            } else {
                json.mutableDictionary().set(key, input);
            }
            bool success = true;
            Ref<Error> expectedError;
            const Value expected = transformer->transformedValue(input.isNull() ? Value() : input, &success, &expectedError);
            Ref<Error> error = Error::make("Earlier", 7);
            auto item = JMJSONAdapter::modelOfClass<Item>(json, &error);
            if (!success) {
                EXPECT_EQ(item, nullptr);
                ASSERT_NE(error, nullptr);
                ASSERT_NE(expectedError, nullptr);
                EXPECT_EQ(error->domain(), expectedError->domain());
                EXPECT_EQ(error->localizedFailureReason(), expectedError->localizedFailureReason());
                continue;
            }
            // The value set as the adapter sets it (null as nil); a scalar refuses nil, and so the item.
            auto reference = std::dynamic_pointer_cast<Item>(Item::runtimeClass()->create());
            if (!JMValidateAndAssignValue(*reference, key, expected.isNull() ? Value() : expected, true, nullptr)) {
                EXPECT_EQ(item, nullptr);
                continue;
            }
            ASSERT_NE(item, nullptr);
            EXPECT_EQ(error, nullptr);
            EXPECT_TRUE(valueForKey(*item, key).isEqual(valueForKey(*reference, key)));
        }
    }
    // A model of checked properties only: its error slot is cleared too.
    Ref<Error> error = Error::make("Earlier", 7);
    ASSERT_NE(JMJSONAdapter::modelOfClass<Pet>(Value::dictionary({{"name", "rex"}}), &error), nullptr);
    EXPECT_EQ(error, nullptr);
}

struct AdapterFailure {
    const char* name;
    const char* key;
    Value value;
    std::int64_t code;  // 1: transformer error, 3: adapter code 3
    const char* reason;
};

class ItemFailures : public ::testing::TestWithParam<AdapterFailure> {};

TEST_P(ItemFailures, FailTheWholeItem) {
    const AdapterFailure& c = GetParam();
    Value json = itemJSON();
    json.mutableDictionary().set(c.key, c.value);
    Ref<Error> error;
    EXPECT_EQ(JMJSONAdapter::modelOfClass<Item>(json, &error), nullptr);
    expectError(error, c.code == 1 ? "JMTransformerErrorHandlingErrorDomain" : "JMJSONAdapterErrorDomain", c.code,
                c.reason);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ItemFailures,
    ::testing::Values(
        AdapterFailure{"TextNotString", "title", Value(3), 1, "Expected 3 to be of class String but got Number"},
        AdapterFailure{"NumberNotNumber", "count", Value("3"), 1, "Expected 3 to be of class Number but got String"},
        AdapterFailure{"ScalarNotNumber", "rank", Value("5"), 1, "Expected 5 to be of class Value but got String"},
        AdapterFailure{"BooleanNotNumber", "flag", Value("yes"), 1, "Expected an NSNumber, got: yes."},
        AdapterFailure{"KeyPathThroughText", "user", Value("ann"), 3, ""},
        AdapterFailure{"MalformedURL", "link", Value("http://exa mple.com/x"), 1,
                    "Input URL string http://exa mple.com/x was malformed"},
        // A key whose hook gives no transformer keeps the check of its declared type.
        AdapterFailure{"KeyWhoseHookGivesNoTransformer", "note", Value(42), 1,
                    "Expected 42 to be of class String but got Number"}),
    [](const auto& param) { return std::string(param.param.name); });

// Something other than a dictionary where one is expected gives code 3, never a crash.
TEST(ModelFromJSON, NonDictionaryGivesCode3) {
    Ref<Error> error;
    for (const Value& input : {Value("text"), Value(5), Value::null(), Value(), Value::array({1})}) {
        EXPECT_EQ(JMJSONAdapter::modelOfClass<Item>(input, &error), nullptr);
        expectError(error, "JMJSONAdapterErrorDomain", 3);
    }
    EXPECT_FALSE(JMJSONAdapter::modelsOfClass(Pet::runtimeClass(), Value::array({Value::dictionary({}), "x"}), &error));
    expectError(error, "JMJSONAdapterErrorDomain", 3);
    EXPECT_FALSE(JMJSONAdapter::modelsOfClass(Pet::runtimeClass(), Value::dictionary({}), &error));
    expectError(error, "JMJSONAdapterErrorDomain", 3,
                "Pet could not be created because an invalid JSON array was provided: Dictionary");
}

TEST(ModelFromJSON, RaisingTransformerGivesCode1AndOneLogLine) {
    LogCapture capture;
    Ref<Error> error;
    EXPECT_EQ(JMJSONAdapter::modelOfClass<Tricky>(Value::dictionary({{"boom", "explode"}}), &error), nullptr);
    expectError(error, "JMJSONAdapterErrorDomain", 1, "boom went the value");
    EXPECT_NE(error->userInfo().get("JMJSONAdapterThrownException").objectAs<JMException>(), nullptr);
    EXPECT_EQ(capture.lines(), std::vector<std::string>{"*** Caught exception boom went the value parsing JSON key path "
                                                        "\"boom\" from: {\n    boom = explode;\n}"});
}

TEST(ModelFromJSON, RefusedOrRaisingKeyPathMapsGiveNilAndLeaveTheErrorSlot) {
    LogCapture capture;
    for (int mode : {0, 1, 2}) {
        BadMap::mode = mode;
        Ref<Error> error = Error::make("Untouched", 1);
        EXPECT_EQ(JMJSONAdapter::modelOfClass<BadMap>(Value::dictionary({{"title", "t"}}), &error), nullptr);
        EXPECT_EQ(error->domain(), "Untouched");
    }
    EXPECT_EQ(capture.lines(), std::vector<std::string>{"*** Caught exception no map today preparing an adapter for BadMap"});
}

TEST(ClassSelection, PicksTheClassOrFailsWithCode2) {
    Ref<Error> error;
    auto circle = std::dynamic_pointer_cast<Circle>(
        JMJSONAdapter::modelOfClass(Shape::runtimeClass(), Value::dictionary({{"kind", "circle"}, {"r", 2}}), &error));
    ASSERT_NE(circle, nullptr);
    EXPECT_EQ(circle->radius_, Value(2));
    EXPECT_EQ(JMJSONAdapter::modelOfClass(Shape::runtimeClass(), Value::dictionary({{"kind", "none"}}), &error), nullptr);
    expectError(error, "JMJSONAdapterErrorDomain", 2, "No model class could be found to parse the JSON dictionary.");
    // Model to JSON goes through the adapter of the model's own class, made once.
    auto adapter = JMJSONAdapter::adapterWithModelClass(Shape::runtimeClass());
    EXPECT_EQ(Value(*adapter->JSONDictionaryFromModel(*circle, nullptr)), Value::dictionary({{"kind", "circle"}, {"r", 2}}));
    EXPECT_EQ(adapter->JSONAdapterForModelClass(Circle::runtimeClass(), nullptr),
              adapter->JSONAdapterForModelClass(Circle::runtimeClass(), nullptr));
}

TEST(ArrayKeyPaths, GiveADictionaryKeyedByPathAndWriteEachPathBack) {
    auto m = JMJSONAdapter::modelOfClass<Location>(Value::dictionary({{"lat", 1.5}, {"pos", Value::dictionary({{"lng", 2}})}}),
                                                   nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->coords_, Value::dictionary({{"lat", 1.5}, {"pos.lng", 2}}));
    EXPECT_EQ(Value(*JMJSONAdapter::JSONDictionaryFromModel(m)),
              Value::dictionary({{"info", Value::dictionary({{"label", Value::null()}})}, {"lat", 1.5},
                                 {"pos", Value::dictionary({{"lng", 2}})}}));
    m = JMJSONAdapter::modelOfClass<Location>(Value::dictionary({}), nullptr);
    EXPECT_EQ(m->coords_, Value::dictionary({}));  // never nil
    m->coords_ = Value();  // not a dictionary: null under each path
    EXPECT_EQ(JMJSONAdapter::JSONDictionaryFromModel(m)->get("pos"), Value::dictionary({{"lng", Value::null()}}));
}

// ---- Nested models and arrays ----

TEST(NestedModels, MapBothWaysAndReportFailures) {
    Value json = Value::dictionary({{"pet", Value::dictionary({{"name", "rex"}})},
                                    {"pets", Value::array({Value::dictionary({{"name", "a"}}), Value::null()})}});
    Ref<Error> error;
    auto owner = JMJSONAdapter::modelOfClass<Owner>(json, &error);
    ASSERT_NE(owner, nullptr) << (error ? error->description() : "");
    EXPECT_EQ(owner->pet_->name_, Value("rex"));
    EXPECT_TRUE(owner->pets_[1].isNull());
    EXPECT_EQ(Value(*JMJSONAdapter::JSONDictionaryFromModel(owner)), json);

    owner->pets_ = Value::array({"not a model"});
    EXPECT_FALSE(JMJSONAdapter::JSONDictionaryFromModel(owner, &error));
    expectError(error, "JMTransformerErrorHandlingErrorDomain", 1, "Expected a JMModel or an NSNull, got: not a model.");
    json.mutableDictionary().set("pets", Value::array({4}));
    EXPECT_EQ(JMJSONAdapter::modelOfClass<Owner>(json, &error), nullptr);
    expectError(error, "JMTransformerErrorHandlingErrorDomain", 1, "Expected an NSDictionary or an NSNull, got: 4.");
    bool success = true;
    EXPECT_TRUE(JMJSONAdapter::dictionaryTransformerWithModelClass(Pet::runtimeClass())
                    ->reverseTransformedValue(Value(1), &success, &error)
                    .isNil());
    EXPECT_FALSE(success);
    expectError(error, "JMTransformerErrorHandlingErrorDomain", 1,
                "Expected a JMModel object conforming to <JMJSONSerializing>, got: 1.");
}

TEST(JSONFromModel, NestedPathsNullsAndDroppedEntries) {
    Ref<Error> error;  // "name" has no transformer of its own but is still checked
    EXPECT_EQ(JMJSONAdapter::modelOfClass<Tricky>(Value::dictionary({{"a", Value::dictionary({{"b", 4}})}}), &error), nullptr);
    expectError(error, "JMTransformerErrorHandlingErrorDomain", 1, "Expected 4 to be of class String but got Number");
    auto m = makeRef<Tricky>();
    m->name_ = Value("n");
    EXPECT_EQ(Value(*JMJSONAdapter::JSONDictionaryFromModel(m)),
              Value::dictionary({{"a", Value::dictionary({{"b", "n"}})}, {"boom", Value::null()},
                                 {"d", Value::dictionary({})},                        // nil from an error-handling reverse
                                 {"f", Value::dictionary({{"x", Value::null()}})}}));  // forward-only
}

// Conflicting key paths ("a" holds text, "a.b" is written into it) give code 1, not a crash.
TEST(JSONFromModel, ConflictingKeyPathsGiveCode1) {
    struct Conflict : JMModel {
        Conflict() {
            static const ClassInfo* cls = jsonModel<Conflict>("Conflict", {{"x", "a"}, {"y", "a.b"}})
                                              .property("x", &Conflict::x_, "", "&,N")
                                              .property("y", &Conflict::y_, "", "&,N")
                                              .registerClass();
            (void)cls;
        }
        Value x_{"text"}, y_{"inner"};
    };
    LogCapture capture;
    Ref<Error> error;
    EXPECT_FALSE(JMJSONAdapter::JSONDictionaryFromModel(makeRef<Conflict>(), &error));
    expectError(error, "JMJSONAdapterErrorDomain", 1);
    EXPECT_EQ(capture.count("*** Caught exception "), 1u);
}

// ---- Hook signatures ----

struct BadHooks : JMModel {
    Value title_;
};

struct HookCase {
    const char* name;
    void (*add)(ClassDef<BadHooks>&);
};

class HookSignatures : public ::testing::TestWithParam<HookCase> {};

// A hook the mapping layer would not find under its expected signature refuses the class at
// registration, instead of being skipped when models are mapped.
TEST_P(HookSignatures, UnexpectedSignatureRaisesAtRegistration) {
    const std::string name = std::string("Bad_") + GetParam().name;
    auto def = defineModelClass<BadHooks>(name);
    def.property("title", &BadHooks::title_, "String", "C,N");
    GetParam().add(def);
    try {
        def.registerClass();
        ADD_FAILURE() << "registered";
    } catch (const Exception& e) {
        EXPECT_EQ(e.name(), kInvalidArgumentException);
        EXPECT_NE(e.reason().find(GetParam().name), std::string::npos) << e.reason();
    }
    EXPECT_EQ(classNamed(name), nullptr);
}

#define LV_BAD_HOOK(side, hookName, ...) \
    HookCase{hookName, [](ClassDef<BadHooks>& d) { d.side##Hook<__VA_ARGS__>(hookName, nullptr); }}

INSTANTIATE_TEST_SUITE_P(
    Cases, HookSignatures,
    ::testing::Values(LV_BAD_HOOK(class, "titleJSONTransformer", Value()),
                      LV_BAD_HOOK(class, "JSONTransformerForKey:", Ref<ValueTransformer>(std::string)),
                      LV_BAD_HOOK(class, "classForParsingJSONDictionary:", const ClassInfo*(Dictionary)),
                      LV_BAD_HOOK(class, "JSONKeyPathsByPropertyKey", Value()),
                      LV_BAD_HOOK(class, "storageBehaviorForPropertyWithKey:", JMPropertyStorage(const std::string&)),
                      LV_BAD_HOOK(instance, "validateTitle:error:", bool(Object&, Value&)),
                      LV_BAD_HOOK(instance, "mergeTitleFromModel:", void(Object&, const Ref<Object>&))));

// ---- Adapter subclasses ----

// Text properties are upper-cased on the way in and lower-cased on the way out; 64-bit integers are
// doubled on the way in.
class CaseAdapter : public JMJSONAdapter {
public:
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls =
            (JMJSONAdapter::runtimeClass(), ClassDef<CaseAdapter>("CaseAdapter")).superclass<JMJSONAdapter>().factory().registerClass();
        return cls;
    }
    Ref<ValueTransformer> transformerForModelPropertiesOfClass(std::string_view className) const override {
        if (className != "String") return JMJSONAdapter::transformerForModelPropertiesOfClass(className);
        auto with = [](int (*f)(int)) {
            return [f](const Value& v, bool*, Ref<Error>*) {
                std::string s = v.stringValue();
                for (char& c : s) c = static_cast<char>(f(static_cast<unsigned char>(c)));
                return v.isNil() ? v : Value(s);
            };
        };
        return JMValueTransformer::transformerUsingForwardBlock(with(::toupper), with(::tolower));
    }
    Ref<ValueTransformer> transformerForModelPropertiesOfObjCType(std::string_view type) const override {
        if (type != "q") return JMJSONAdapter::transformerForModelPropertiesOfObjCType(type);
        return JMValueTransformer::transformerWithBlock([](const Value& v) { return Value(v.longLongValue() * 2); });
    }
};

TEST(AdapterSubclass, TakesEffectThroughoutTheClassSideCalls) {
    const ClassInfo* adapterClass = CaseAdapter::runtimeClass();
    auto item = JMJSONAdapter::modelOfClass<Item>(itemJSON(), nullptr, adapterClass);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->title_, Value("HELLO"));
    EXPECT_EQ(item->userName_, Value("ANN"));
    EXPECT_EQ(item->rank_, 10);
    EXPECT_EQ(JMJSONAdapter::JSONDictionaryFromModel(item, nullptr, adapterClass)->get("title"), Value("hello"));
    // Nested adapters (a selected class, a nested model) are of the subclass too.
    auto circle = JMJSONAdapter::modelOfClass<Shape>(Value::dictionary({{"kind", "circle"}}), nullptr, adapterClass);
    EXPECT_EQ(circle->kind_, Value("CIRCLE"));
    auto owner = JMJSONAdapter::modelOfClass<Owner>(Value::dictionary({{"pet", Value::dictionary({{"name", "rex"}})}}),
                                                    nullptr, adapterClass);
    EXPECT_EQ(owner->pet_->name_, Value("REX"));
    auto pets = JMJSONAdapter::modelsOfClass(Pet::runtimeClass(), Value::array({Value::dictionary({{"name", "a"}})}),
                                             nullptr, adapterClass);
    EXPECT_EQ((*pets)[0].objectAs<Pet>()->name_, Value("A"));
    EXPECT_EQ(Value(*JMJSONAdapter::JSONArrayFromModels(*pets, nullptr, adapterClass)),
              Value::array({Value::dictionary({{"name", "a"}})}));
    // Its per-class hooks follow the same signature rule.
    struct BadAdapter : JMJSONAdapter {};
    EXPECT_THROW(ClassDef<BadAdapter>("BadAdapter")
                     .superclass<JMJSONAdapter>()
                     .classHook<Value()>("StringJSONTransformer", nullptr)
                     .registerClass(),
                 Exception);
}

}  // namespace
}  // namespace lv
