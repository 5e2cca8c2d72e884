// The JSON adapter: JSON to models, models to JSON, transformer discovery, class selection, nested
// models, arrays and the failures of each.
#include <gtest/gtest.h>

#include "mapping/json_adapter.h"
#include "platform/base/log.h"
#include "sample_models.h"

namespace lv {
namespace {

using test::BadKeyModel;
using test::BadPathModel;
using test::Circle;
using test::Conflict;
using test::Location;
using test::Owner;
using test::Pet;
using test::SampleItem;
using test::Shape;
using test::Tricky;

Value sampleJSON() {
    return Value::dictionary({{"title", "Hello"},
                              {"count", 12},
                              {"user", Value::dictionary({{"name", "ann"}})},
                              {"created", "1425690000"},
                              {"link", "http://example.com/x"},
                              {"extra", Value::array({1, "two"})},
                              {"flag", 2},
                              {"rank", 5},
                              {"ignored", "whatever"}});
}

void expectError(const Ref<Error>& error, std::string_view domain, std::int64_t code) {
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), domain);
    EXPECT_EQ(error->code(), code);
}

// ---- JSON to model ----

TEST(ModelFromJSON, MapsEveryKindOfProperty) {
    Ref<Error> error;
    auto item = JMJSONAdapter::modelOfClass<SampleItem>(sampleJSON(), &error);
    ASSERT_NE(item, nullptr) << (error ? error->description() : "");
    EXPECT_EQ(item->title_, Value("Hello"));
    EXPECT_EQ(item->count_, Value(12));
    EXPECT_EQ(item->userName_, Value("ann"));
    ASSERT_TRUE(item->created_.isDate());
    EXPECT_DOUBLE_EQ(item->created_.date()->since1970(), 1425690000.0);
    ASSERT_TRUE(item->link_.isObject());
    EXPECT_EQ(valueForKey(item->link_, "absoluteString"), Value("http://example.com/x"));
    EXPECT_EQ(item->extra_, Value::array({1, "two"}));
    EXPECT_TRUE(item->flag_);
    EXPECT_EQ(item->rank_, 5);
}

TEST(ModelFromJSON, MissingKeysAndNullsLeaveThePropertyNil) {
    Ref<Error> error;
    auto item = JMJSONAdapter::modelOfClass<SampleItem>(
        Value::dictionary({{"title", Value::null()}, {"user", Value::null()}, {"created", Value::null()}}), &error);
    ASSERT_NE(item, nullptr);
    EXPECT_TRUE(item->title_.isNil());
    EXPECT_TRUE(item->userName_.isNil());  // null on the path
    EXPECT_TRUE(item->created_.isNil());   // the transformer got nil and gave nil
    EXPECT_TRUE(item->count_.isNil());     // missing
}

TEST(ModelFromJSON, NullReachesTheTransformerAsNil) {
    int before = Tricky::nullableSawNil.load();
    auto m = JMJSONAdapter::modelOfClass<Tricky>(Value::dictionary({{"nullable", Value::null()}}), nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(Tricky::nullableSawNil.load(), before + 1);
    EXPECT_TRUE(m->nullable_.isNil());
}

struct WrongKindCase {
    const char* key;
    Value value;
    const char* reason;
};

class WrongKinds : public ::testing::TestWithParam<WrongKindCase> {};

TEST_P(WrongKinds, FailTheWholeItemWithTheTransformerError) {
    const WrongKindCase& c = GetParam();
    Value json = sampleJSON();
    json.mutableDictionary().set(c.key, c.value);
    Ref<Error> error;
    EXPECT_EQ(JMJSONAdapter::modelOfClass<SampleItem>(json, &error), nullptr);
    expectError(error, "JMTransformerErrorHandlingErrorDomain", 1);
    EXPECT_EQ(error->localizedFailureReason(), c.reason);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WrongKinds,
    ::testing::Values(WrongKindCase{"title", Value(3), "Expected 3 to be of class String but got Number"},
                      WrongKindCase{"count", Value("3"), "Expected 3 to be of class Number but got String"},
                      WrongKindCase{"rank", Value("5"), "Expected 5 to be of class Value but got String"},
                      WrongKindCase{"flag", Value("yes"), "Expected an NSNumber, got: yes."},
                      WrongKindCase{"link", Value("no url"), "Input URL string no url was malformed"}));

TEST(ModelFromJSON, KeyPathThroughAStringFailsWithCode3) {
    Value json = sampleJSON();
    json.mutableDictionary().set("user", Value("ann"));
    Ref<Error> error;
    EXPECT_EQ(JMJSONAdapter::modelOfClass<SampleItem>(json, &error), nullptr);
    expectError(error, "JMJSONAdapterErrorDomain", 3);
    EXPECT_EQ(error->localizedDescription(), "Invalid JSON dictionary");
}

// A non-dictionary where a dictionary is expected gives code 3, never a crash.
TEST(ModelFromJSON, NonDictionaryInputGivesCode3) {
    for (const Value& input : {Value("text"), Value(5), Value::null(), Value(), Value::array({1})}) {
        Ref<Error> error;
        EXPECT_EQ(JMJSONAdapter::modelOfClass<SampleItem>(input, &error), nullptr);
        expectError(error, "JMJSONAdapterErrorDomain", 3);
        EXPECT_EQ(error->localizedDescription(), "Invalid JSON dictionary");
    }
    Ref<Error> error;
    auto adapter = JMJSONAdapter::adapterWithModelClass(SampleItem::runtimeClass());
    ASSERT_NE(adapter, nullptr);
    EXPECT_EQ(adapter->modelFromJSONDictionary(Value("x"), &error), nullptr);
    EXPECT_EQ(error->localizedFailureReason(),
              "SampleItem could not be created because an invalid JSON dictionary was provided: String");
}

TEST(ModelFromJSON, RaisingTransformerGivesCode1AndOneLogLine) {
    LogCapture capture;
    Ref<Error> error;
    Value json = Value::dictionary({{"boom", "explode"}});
    EXPECT_EQ(JMJSONAdapter::modelOfClass<Tricky>(json, &error), nullptr);
    expectError(error, "JMJSONAdapterErrorDomain", 1);
    EXPECT_EQ(error->localizedDescription(), "boom went the value");
    EXPECT_EQ(error->localizedFailureReason(), "boom went the value");
    auto thrown = error->userInfo().get("JMJSONAdapterThrownException").objectAs<JMException>();
    ASSERT_NE(thrown, nullptr);
    EXPECT_EQ(thrown->name(), "NSInvalidArgumentException");
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(capture.lines()[0], "*** Caught exception boom went the value parsing JSON key path \"boom\" from: "
                                  "{\n    boom = explode;\n}");
}

TEST(ModelFromJSON, KeyWithoutTransformerTakesTheValueUnchanged) {
    // "name" has no transformer at all (JSONTransformerForKey: gave none), so no class check applies.
    auto m = JMJSONAdapter::modelOfClass<Tricky>(Value::dictionary({{"a", Value::dictionary({{"b", 4}})}}), nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->name_, Value(4));
}

TEST(ModelFromJSON, RefusedKeyPathMapsGiveNilAndLeaveTheErrorSlot) {
    Ref<Error> error = Error::make("Untouched", 1);
    EXPECT_EQ(JMJSONAdapter::adapterWithModelClass(BadKeyModel::runtimeClass()), nullptr);
    EXPECT_EQ(JMJSONAdapter::adapterWithModelClass(BadPathModel::runtimeClass()), nullptr);
    EXPECT_EQ(JMJSONAdapter::modelOfClass<BadKeyModel>(Value::dictionary({{"title", "t"}}), &error), nullptr);
    EXPECT_EQ(JMJSONAdapter::modelOfClass<BadPathModel>(Value::dictionary({{"title", "t"}}), &error), nullptr);
    EXPECT_EQ(error->domain(), "Untouched");
}

TEST(ModelFromJSON, RaisingKeyPathHookGivesNilAndOneLogLine) {
    LogCapture capture;
    Ref<Error> error = Error::make("Untouched", 1);
    EXPECT_EQ(JMJSONAdapter::modelOfClass<test::RaisingMapModel>(Value::dictionary({{"title", "t"}}), &error), nullptr);
    EXPECT_EQ(error->domain(), "Untouched");
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(capture.lines()[0], "*** Caught exception no map today preparing an adapter for RaisingMapModel");
}

TEST(ClassSelection, PicksTheClassOrFailsWithCode2) {
    Ref<Error> error;
    Ref<JMModel> circle = JMJSONAdapter::modelOfClass(Shape::runtimeClass(),
                                                      Value::dictionary({{"kind", "circle"}, {"r", 2}}), &error);
    ASSERT_NE(circle, nullptr);
    auto asCircle = std::dynamic_pointer_cast<Circle>(circle);
    ASSERT_NE(asCircle, nullptr);
    EXPECT_EQ(asCircle->radius_, Value(2));
    EXPECT_EQ(circle->className(), "Circle");

    Ref<JMModel> shape = JMJSONAdapter::modelOfClass(Shape::runtimeClass(), Value::dictionary({{"kind", "square"}}), &error);
    ASSERT_NE(shape, nullptr);
    EXPECT_EQ(shape->className(), "Shape");

    EXPECT_EQ(JMJSONAdapter::modelOfClass(Shape::runtimeClass(), Value::dictionary({{"kind", "none"}}), &error), nullptr);
    expectError(error, "JMJSONAdapterErrorDomain", 2);
    EXPECT_EQ(error->localizedDescription(), "Could not parse JSON");
    EXPECT_EQ(error->localizedFailureReason(), "No model class could be found to parse the JSON dictionary.");
}

TEST(ClassSelection, NestedAdaptersAreMadeOncePerClass) {
    auto adapter = JMJSONAdapter::adapterWithModelClass(Shape::runtimeClass());
    ASSERT_NE(adapter, nullptr);
    Ref<JMJSONAdapter> first = adapter->JSONAdapterForModelClass(Circle::runtimeClass(), nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, adapter->JSONAdapterForModelClass(Circle::runtimeClass(), nullptr));
    EXPECT_EQ(first->modelClass(), Circle::runtimeClass());
    Ref<Error> error = Error::make("Untouched", 1);
    EXPECT_EQ(adapter->JSONAdapterForModelClass(BadKeyModel::runtimeClass(), &error), nullptr);
    EXPECT_EQ(error->domain(), "Untouched");
}

TEST(ArrayKeyPaths, GiveADictionaryKeyedByPath) {
    auto m = JMJSONAdapter::modelOfClass<Location>(
        Value::dictionary({{"lat", 1.5}, {"pos", Value::dictionary({{"lng", 2.5}})}}), nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->coords_, Value::dictionary({{"lat", 1.5}, {"pos.lng", 2.5}}));

    auto partial = JMJSONAdapter::modelOfClass<Location>(Value::dictionary({{"lat", 1.5}}), nullptr);
    ASSERT_NE(partial, nullptr);
    EXPECT_EQ(partial->coords_, Value::dictionary({{"lat", 1.5}}));  // absent paths are left out

    auto none = JMJSONAdapter::modelOfClass<Location>(Value::dictionary({}), nullptr);
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(none->coords_, Value::dictionary({}));  // never nil

    Ref<Error> error;
    EXPECT_EQ(JMJSONAdapter::modelOfClass<Location>(Value::dictionary({{"pos", "x"}}), &error), nullptr);
    expectError(error, "JMJSONAdapterErrorDomain", 3);
}

// ---- Transformer discovery ----

TEST(TransformerDiscovery, FollowsHooksThenDeclaredTypes) {
    const ClassInfo* cls = SampleItem::runtimeClass();
    JMTransformerMap map = JMJSONAdapter::valueTransformersForModelClass(cls);
    EXPECT_EQ(map.size(), 8u);
    EXPECT_EQ(map.at("flag"), ValueTransformer::valueTransformerForName(JMBooleanValueTransformerName));
    EXPECT_EQ(map.at("link"), ValueTransformer::valueTransformerForName(JMURLValueTransformerName));
    EXPECT_TRUE(map.at("created")->allowsReverseTransformation());  // the class's own hook
    EXPECT_FALSE(map.at("title")->allowsReverseTransformation());   // validating
    EXPECT_FALSE(map.at("rank")->allowsReverseTransformation());
    // An untyped property lets anything through.
    bool success = true;
    Ref<Error> error;
    dynamic_cast<const JMTransformerErrorHandling&>(*map.at("extra")).transformedValue(Value::null(), &success, &error);
    EXPECT_TRUE(success);
    // The per-key hook is called once for each map built.
    int before = SampleItem::createdTransformerCalls.load();
    JMJSONAdapter::modelOfClass<SampleItem>(sampleJSON(), nullptr);
    JMJSONAdapter::modelOfClass<SampleItem>(sampleJSON(), nullptr);
    EXPECT_EQ(SampleItem::createdTransformerCalls.load(), before + 2);
}

TEST(TransformerDiscovery, ByClassAndByEncoding) {
    test::TestURL::runtimeClass();
    EXPECT_EQ(JMJSONAdapter::transformerForModelPropertiesOfClass(classNamed("URL")), JMJSONAdapter::URLJSONTransformer());
    EXPECT_EQ(JMJSONAdapter::transformerForModelPropertiesOfClass(classNamed("String")), nullptr);
    EXPECT_EQ(JMJSONAdapter::transformerForModelPropertiesOfObjCType("B"),
              ValueTransformer::valueTransformerForName(JMBooleanValueTransformerName));
    EXPECT_EQ(JMJSONAdapter::transformerForModelPropertiesOfObjCType("c"), nullptr);
}

TEST(TransformerDiscovery, JSONTransformerForKeyAnswersForEveryKey) {
    JMTransformerMap map = JMJSONAdapter::valueTransformersForModelClass(Tricky::runtimeClass());
    EXPECT_EQ(map.count("name"), 0u);  // the hook gave none: no transformer
    EXPECT_EQ(map.count("boom"), 1u);
}

// ---- Nested models ----

TEST(NestedModels, DictionaryAndArrayTransformers) {
    Ref<Error> error;
    auto owner = JMJSONAdapter::modelOfClass<Owner>(
        Value::dictionary({{"pet", Value::dictionary({{"name", "rex"}})},
                           {"pets", Value::array({Value::dictionary({{"name", "a"}}), Value::null(),
                                                  Value::dictionary({{"name", "b"}})})}}),
        &error);
    ASSERT_NE(owner, nullptr) << (error ? error->description() : "");
    ASSERT_NE(owner->pet_, nullptr);
    EXPECT_EQ(owner->pet_->name_, Value("rex"));
    ASSERT_TRUE(owner->pets_.isArray());
    ASSERT_EQ(owner->pets_.array().size(), 3u);
    EXPECT_TRUE(owner->pets_[1].isNull());
    EXPECT_EQ(owner->pets_[2].objectAs<Pet>()->name_, Value("b"));

    std::optional<Dictionary> json = JMJSONAdapter::JSONDictionaryFromModel(owner, &error);
    ASSERT_TRUE(json);
    EXPECT_EQ(Value(*json), Value::dictionary({{"pet", Value::dictionary({{"name", "rex"}})},
                                               {"pets", Value::array({Value::dictionary({{"name", "a"}}), Value::null(),
                                                                      Value::dictionary({{"name", "b"}})})}}));
}

TEST(NestedModels, TransformerFailures) {
    auto t = JMJSONAdapter::dictionaryTransformerWithModelClass(Pet::runtimeClass());
    bool success = true;
    Ref<Error> error;
    EXPECT_TRUE(t->transformedValue(Value("x"), &success, &error).isNil());
    EXPECT_FALSE(success);
    expectError(error, "JMTransformerErrorHandlingErrorDomain", 1);
    EXPECT_EQ(error->localizedDescription(), "Could not convert JSON dictionary to model object");
    EXPECT_EQ(error->localizedFailureReason(), "Expected an NSDictionary, got: x");

    success = true;
    EXPECT_TRUE(t->reverseTransformedValue(Value(1), &success, &error).isNil());
    EXPECT_FALSE(success);
    EXPECT_EQ(error->localizedFailureReason(), "Expected a JMModel object conforming to <JMJSONSerializing>, got: 1.");

    auto arrays = JMJSONAdapter::arrayTransformerWithModelClass(Pet::runtimeClass());
    success = true;
    EXPECT_TRUE(arrays->transformedValue(Value::array({Value::dictionary({}), 4}), &success, &error).isNil());
    EXPECT_FALSE(success);
    EXPECT_EQ(error->localizedDescription(), "Could not convert JSON array to model array");
    EXPECT_EQ(error->localizedFailureReason(), "Expected an NSDictionary or an NSNull, got: 4.");
    EXPECT_EQ(error->userInfo().get("JMTransformerErrorHandlingInputValueErrorKey"), Value(4));

    success = true;
    EXPECT_TRUE(arrays->reverseTransformedValue(Value::array({"m"}), &success, &error).isNil());
    EXPECT_FALSE(success);
    EXPECT_EQ(error->localizedFailureReason(), "Expected a JMModel or an NSNull, got: m.");

    success = true;
    EXPECT_TRUE(arrays->transformedValue(Value(), &success, &error).isNil());
    EXPECT_TRUE(success);
}

// ---- Arrays of models ----

TEST(ModelArrays, MapEveryElementOrFail) {
    Ref<Error> error;
    std::optional<Array> pets = JMJSONAdapter::modelsOfClass(
        Pet::runtimeClass(), Value::array({Value::dictionary({{"name", "a"}}), Value::dictionary({{"name", "b"}})}), &error);
    ASSERT_TRUE(pets);
    ASSERT_EQ(pets->size(), 2u);
    EXPECT_EQ((*pets)[1].objectAs<Pet>()->name_, Value("b"));

    std::optional<Array> empty = JMJSONAdapter::modelsOfClass(Pet::runtimeClass(), Value::array({}), &error);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());

    EXPECT_FALSE(JMJSONAdapter::modelsOfClass(Pet::runtimeClass(), Value::dictionary({}), &error));
    expectError(error, "JMJSONAdapterErrorDomain", 3);
    EXPECT_EQ(error->localizedDescription(), "Missing JSON array");
    EXPECT_EQ(error->localizedFailureReason(), "Pet could not be created because an invalid JSON array was provided: Dictionary");

    EXPECT_FALSE(JMJSONAdapter::modelsOfClass(Pet::runtimeClass(), Value(), &error));
    EXPECT_EQ(error->localizedFailureReason(), "Pet could not be created because an invalid JSON array was provided: (null)");

    // An element that is not a dictionary.
    EXPECT_FALSE(JMJSONAdapter::modelsOfClass(Pet::runtimeClass(), Value::array({Value::dictionary({}), "oops"}), &error));
    expectError(error, "JMJSONAdapterErrorDomain", 3);
    EXPECT_EQ(error->localizedDescription(), "Invalid JSON dictionary");

    std::optional<Array> back = JMJSONAdapter::JSONArrayFromModels(*pets, &error);
    ASSERT_TRUE(back);
    EXPECT_EQ(Value(*back), Value::array({Value::dictionary({{"name", "a"}}), Value::dictionary({{"name", "b"}})}));
    EXPECT_TRUE(JMJSONAdapter::JSONArrayFromModels(Array{})->empty());
}

// ---- Model to JSON ----

TEST(JSONFromModel, RoundTripsThroughReversibleTransformers) {
    auto item = JMJSONAdapter::modelOfClass<SampleItem>(sampleJSON(), nullptr);
    ASSERT_NE(item, nullptr);
    std::optional<Dictionary> json = JMJSONAdapter::JSONDictionaryFromModel(item);
    ASSERT_TRUE(json);
    EXPECT_EQ(Value(*json), Value::dictionary({{"title", "Hello"},
                                               {"count", 12},
                                               {"user", Value::dictionary({{"name", "ann"}})},
                                               {"created", "1425690000"},
                                               {"link", "http://example.com/x"},
                                               {"extra", Value::array({1, "two"})},
                                               {"flag", true},
                                               {"rank", 5}}));
}

TEST(JSONFromModel, NestedPathsNullsAndDroppedEntries) {
    auto m = makeRef<Tricky>();
    m->name_ = Value("n");
    std::optional<Dictionary> json = JMJSONAdapter::JSONDictionaryFromModel(m);
    ASSERT_TRUE(json);
    EXPECT_EQ(Value(*json), Value::dictionary({{"a", Value::dictionary({{"b", "n"}})},
                                               {"boom", Value::null()},
                                               {"d", Value::dictionary({})},  // nil from an error-handling reverse
                                               {"f", Value::dictionary({{"x", Value::null()}})},  // forward-only
                                               {"nullable", Value::null()}}));
}

TEST(JSONFromModel, ArrayKeyPathsWriteEachPath) {
    auto m = makeRef<Location>();
    m->coords_ = Value::dictionary({{"lat", 1}, {"pos.lng", 2}});
    std::optional<Dictionary> json = JMJSONAdapter::JSONDictionaryFromModel(m);
    ASSERT_TRUE(json);
    EXPECT_EQ(Value(*json), Value::dictionary({{"info", Value::dictionary({{"label", Value::null()}})},
                                               {"lat", 1},
                                               {"pos", Value::dictionary({{"lng", 2}})}}));

    // A value that is not a dictionary (here nil) writes null under each path.
    m->coords_ = Value();
    json = JMJSONAdapter::JSONDictionaryFromModel(m);
    ASSERT_TRUE(json);
    EXPECT_EQ(json->get("lat"), Value::null());
    EXPECT_EQ(json->get("pos"), Value::dictionary({{"lng", Value::null()}}));
}

// Conflicting key paths raise on the way; the adapter turns that into code 1.
TEST(JSONFromModel, ConflictingKeyPathsGiveCode1) {
    LogCapture capture;
    auto m = makeRef<Conflict>();
    m->x_ = Value("text");
    m->y_ = Value("inner");
    Ref<Error> error;
    EXPECT_FALSE(JMJSONAdapter::JSONDictionaryFromModel(m, &error));
    expectError(error, "JMJSONAdapterErrorDomain", 1);
    EXPECT_NE(error->userInfo().get("JMJSONAdapterThrownException").objectAs<JMException>(), nullptr);
    EXPECT_EQ(capture.count("*** Caught exception "), 1u);
}

TEST(JSONFromModel, FailingReverseTransformerStopsTheVisit) {
    auto m = makeRef<Owner>();
    auto adapter = JMJSONAdapter::adapterWithModelClass(Owner::runtimeClass());
    ASSERT_NE(adapter, nullptr);
    m->pets_ = Value::array({"not a model"});
    Ref<Error> error;
    EXPECT_FALSE(adapter->JSONDictionaryFromModel(*m, &error));
    expectError(error, "JMTransformerErrorHandlingErrorDomain", 1);
    EXPECT_EQ(error->localizedDescription(), "Could not convert model array to JSON array");
}

TEST(JSONFromModel, SubclassModelUsesItsOwnAdapter) {
    auto adapter = JMJSONAdapter::adapterWithModelClass(Shape::runtimeClass());
    ASSERT_NE(adapter, nullptr);
    auto circle = makeRef<Circle>();
    circle->kind_ = Value("circle");
    circle->radius_ = Value(3);
    std::optional<Dictionary> json = adapter->JSONDictionaryFromModel(*circle, nullptr);
    ASSERT_TRUE(json);
    EXPECT_EQ(Value(*json), Value::dictionary({{"kind", "circle"}, {"r", 3}}));
}

}  // namespace
}  // namespace lv
