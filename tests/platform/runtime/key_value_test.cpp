// Key-value access: objects, values, key paths, collection operators, dictionary forms, validation,
// and the errors raised for unknown keys and nil scalars.
#include <gtest/gtest.h>

#include "platform/runtime/fixtures.h"

namespace lv::test {
namespace {

std::string undefinedKeyReason(const std::string& cls, const void* address, const std::string& selector,
                               const std::string& key) {
    return "[<" + cls + " " + addressText(address) + "> " + selector +
           "]: this class is not key value coding-compliant for the key " + key + ".";
}

TEST(RuntimeKeyValue, ReadsAndWritesDeclaredProperties) {
    Dog::runtimeClass();
    auto dog = makeRef<Dog>();
    setValueForKey(*dog, Value("Rex"), "name");
    setValueForKey(*dog, Value(3), "legs");
    setValueForKey(*dog, Value::array({"sit"}), "tricks");
    EXPECT_EQ(dog->legs, 3);
    EXPECT_EQ(valueForKey(*dog, "name"), Value("Rex"));
    Value legs = valueForKey(*dog, "legs");
    ASSERT_TRUE(legs.isNumber());
    EXPECT_EQ(legs.number()->kind(), NumberKind::Int64);
    EXPECT_EQ(legs.longLongValue(), 3);
    EXPECT_EQ(valueForKey(*dog, "tricks"), Value::array({"sit"}));
    setValueForKey(*dog, Value(), "name");
    EXPECT_TRUE(dog->name.isNil());
    setValueForKey(*dog, Value::null(), "name");
    EXPECT_TRUE(dog->name.isNull());
}

TEST(RuntimeKeyValue, AccessorNamesAndInstanceVariablesAreKeysToo) {
    Kinds::runtimeClass();
    auto k = makeRef<Kinds>();
    setValueForKey(*k, Value(true), "visible");
    EXPECT_TRUE(k->visible);
    EXPECT_TRUE(valueForKey(*k, "isVisible").boolValue());
    EXPECT_TRUE(valueForKey(*k, "visible").boolValue());
    // Accessor keys of a record field reach the property named by its declaration.
    setValueForKey(*k, Value("A-1"), "tlv_accessId");
    EXPECT_EQ(k->accessId, Value("A-1"));
    EXPECT_EQ(valueForKey(*k, "tlv_accessId"), Value("A-1"));
    EXPECT_EQ(valueForKey(*k, "tlvv2_p_0_r_accessId"), Value("A-1"));
    // A read-only property with an instance variable is written directly, as the platform does.
    setValueForKey(*k, Value(9), "count");
    EXPECT_EQ(k->count, 9);
    setValueForKey(*k, Value(10), "_count");
    EXPECT_EQ(k->count, 10);
    EXPECT_EQ(valueForKey(*k, "_count").longLongValue(), 10);
    // A computed read-only property has nothing to write.
    auto e = caught([&] { setValueForKey(*k, Value(true), "isEmpty"); });
    EXPECT_EQ(e.name(), kUndefinedKeyException);
    EXPECT_EQ(e.reason(), undefinedKeyReason("Kinds", k.get(), "setValue:forUndefinedKey:", "isEmpty"));
}

TEST(RuntimeKeyValue, AnUnknownKeyRaisesAsThePlatformDoes) {
    Dog::runtimeClass();
    auto dog = makeRef<Dog>();
    auto get = caught([&] { valueForKey(*dog, "wings"); });
    EXPECT_EQ(get.name(), kUndefinedKeyException);
    EXPECT_EQ(get.reason(), undefinedKeyReason("Dog", dog.get(), "valueForUndefinedKey:", "wings"));
    EXPECT_EQ(get.userInfo().get("NSUnknownUserInfoKey"), Value("wings"));
    EXPECT_EQ(get.userInfo().get("NSTargetObjectUserInfoKey").object(), dog);

    auto set = caught([&] { setValueForKey(*dog, Value(1), "wings"); });
    EXPECT_EQ(set.name(), kUndefinedKeyException);
    EXPECT_EQ(set.reason(), undefinedKeyReason("Dog", dog.get(), "setValue:forUndefinedKey:", "wings"));

    // Unregistered classes answer no keys but their own name appears.
    auto puppy = makeRef<Puppy>();
    EXPECT_EQ(caught([&] { valueForKey(*puppy, "wings"); }).reason(),
              undefinedKeyReason("Puppy", puppy.get(), "valueForUndefinedKey:", "wings"));
}

TEST(RuntimeKeyValue, NilForAScalarRaises) {
    Dog::runtimeClass();
    auto dog = makeRef<Dog>();
    auto e = caught([&] { setValueForKey(*dog, Value(), "legs"); });
    EXPECT_EQ(e.name(), kInvalidArgumentException);
    EXPECT_EQ(e.reason(), "[<Dog " + addressText(dog.get()) +
                              "> setNilValueForKey]: could not set nil as the value for the key legs.");
    EXPECT_EQ(dog->legs, 4);
}

TEST(RuntimeKeyValue, EveryObjectAnswersSelfAndDescription) {
    Animal::runtimeClass();
    auto animal = makeRef<Animal>();
    EXPECT_EQ(valueForKey(*animal, "self").object(), animal);
    EXPECT_EQ(valueForKey(*animal, "description"), Value(animal->description()));
    EXPECT_EQ(valueForKey(Value("abc"), "self"), Value("abc"));
    EXPECT_EQ(valueForKey(Value(12), "description"), Value("12"));
}

TEST(RuntimeKeyValue, AKeyValueHandlerAnswersFirst) {
    RecordImpl::runtimeClass();
    auto record = makeRef<RecordImpl>();
    record->attributes.set("price", Value(12));
    EXPECT_EQ(valueForKey(*record, "price"), Value(12));
    setValueForKey(*record, Value(13), "price");
    EXPECT_EQ(record->attributes.get("price"), Value(13));
    // Keys the handler declines reach the declared properties, then the error.
    setValueForKey(*record, Value("T"), "title");
    EXPECT_EQ(record->title, Value("T"));
    EXPECT_EQ(valueForKey(*record, "title"), Value("T"));
    EXPECT_EQ(caught([&] { valueForKey(*record, "other"); }).reason(),
              undefinedKeyReason("TestRecord", record.get(), "valueForUndefinedKey:", "other"));
}

TEST(RuntimeKeyValue, ValuesAnswerKeysByKind) {
    Value dict = Value::dictionary({{"a", 1}, {"b", Value::null()}});
    EXPECT_EQ(valueForKey(dict, "a"), Value(1));
    EXPECT_TRUE(valueForKey(dict, "b").isNull());
    EXPECT_TRUE(valueForKey(dict, "missing").isNil());
    EXPECT_EQ(valueForKey(dict, "@count").unsignedLongLongValue(), 2u);
    EXPECT_TRUE(valueForKey(Value(), "anything").isNil());

    Value list = Value::array({Value::dictionary({{"a", 1}}), Value::dictionary({{"b", 2}})});
    EXPECT_EQ(valueForKey(list, "a"), Value::array({1, Value::null()}));
    EXPECT_EQ(valueForKey(list, "@count").unsignedLongLongValue(), 2u);

    Value text("str");
    auto e = caught([&] { valueForKey(text, "length"); });
    EXPECT_EQ(e.name(), kUndefinedKeyException);
    EXPECT_EQ(e.reason(), undefinedKeyReason("String", &text, "valueForUndefinedKey:", "length"));
    Value null = Value::null();
    EXPECT_EQ(caught([&] { valueForKey(null, "x"); }).reason(),
              undefinedKeyReason("Null", &null, "valueForUndefinedKey:", "x"));
}

TEST(RuntimeKeyValue, KeyPathsWalkObjectsAndDictionaries) {
    Dog::runtimeClass();
    auto dog = makeRef<Dog>();
    auto buddy = makeRef<Animal>();
    buddy->name = Value("Buddy");
    buddy->toys = Value::dictionary({{"ball", Value::dictionary({{"colour", "red"}})}});
    dog->friendAnimal = buddy;
    EXPECT_EQ(valueForKeyPath(*dog, "friendAnimal.name"), Value("Buddy"));
    EXPECT_EQ(valueForKeyPath(*dog, "friendAnimal.toys.ball.colour"), Value("red"));
    EXPECT_TRUE(valueForKeyPath(*dog, "friendAnimal.toys.bone.colour").isNil());
    EXPECT_TRUE(valueForKeyPath(*buddy, "friendAnimal.name").isNil());
    EXPECT_EQ(caught([&] { valueForKeyPath(*dog, "friendAnimal.name.first"); }).name(), kUndefinedKeyException);

    setValueForKeyPath(*dog, Value("Bud"), "friendAnimal.name");
    EXPECT_EQ(buddy->name, Value("Bud"));
    // A dictionary held by an object is updated in the object.
    setValueForKeyPath(*dog, Value("blue"), "friendAnimal.toys.ball.colour");
    EXPECT_EQ(buddy->toys["ball"]["colour"], Value("blue"));
    // A nil step ends the walk.
    setValueForKeyPath(*buddy, Value("x"), "friendAnimal.name");
    EXPECT_EQ(buddy->friendAnimal, nullptr);
}

TEST(RuntimeKeyValue, KeyPathsSetIntoDictionaryValues) {
    Value target = Value::dictionary({{"a", Value::dictionary({{"b", 1}})}});
    setValueForKeyPath(target, Value(2), "a.b");
    setValueForKeyPath(target, Value(3), "a.c");
    EXPECT_EQ(target, Value::dictionary({{"a", Value::dictionary({{"b", 2}, {"c", 3}})}}));
    setValueForKeyPath(target, Value(), "a.b");
    EXPECT_EQ(target, Value::dictionary({{"a", Value::dictionary({{"c", 3}})}}));
    // No dictionary is made for a missing step.
    setValueForKeyPath(target, Value(4), "x.y");
    EXPECT_FALSE(target.dictionary().contains("x"));
    setValueForKey(target, Value(), "a");
    EXPECT_TRUE(target.dictionary().empty());

    Value rows = Value::array({Value::dictionary({{"n", 1}}), Value::dictionary({{"n", 2}})});
    setValueForKey(rows, Value(0), "n");
    EXPECT_EQ(valueForKey(rows, "n"), Value::array({0, 0}));

    Value text("s");
    EXPECT_EQ(caught([&] { setValueForKey(text, Value(1), "k"); }).reason(),
              undefinedKeyReason("String", &text, "setValue:forUndefinedKey:", "k"));
}

TEST(RuntimeKeyValue, CollectionOperatorsOnArrays) {
    Value lists = Value::array({Value::array({1, 2}), Value::array({2, 3}), Value::array({})});
    EXPECT_EQ(valueForKeyPath(lists, "@unionOfArrays.self"), Value::array({1, 2, 2, 3}));
    EXPECT_EQ(valueForKeyPath(lists, "@distinctUnionOfArrays.self"), Value::array({1, 2, 3}));
    EXPECT_EQ(valueForKeyPath(lists, "@count").unsignedLongLongValue(), 3u);

    Value rows = Value::array({Value::dictionary({{"n", 5}}), Value::dictionary({{"n", 1}}),
                               Value::dictionary({{"n", 5}}), Value::dictionary({})});
    EXPECT_EQ(valueForKeyPath(rows, "@unionOfObjects.n"), Value::array({5, 1, 5}));
    EXPECT_EQ(valueForKeyPath(rows, "@distinctUnionOfObjects.n"), Value::array({5, 1}));
    EXPECT_EQ(valueForKeyPath(rows, "@max.n"), Value(5));
    EXPECT_EQ(valueForKeyPath(rows, "@min.n"), Value(1));
    EXPECT_EQ(caught([&] { valueForKeyPath(rows, "@median.n"); }).name(), kUndefinedKeyException);
}

TEST(RuntimeKeyValue, DictionaryFormsTurnNilIntoNullAndBack) {
    Dog::runtimeClass();
    auto dog = makeRef<Dog>();
    dog->name = Value("Rex");
    Dictionary values = dictionaryWithValuesForKeys(*dog, {"name", "tricks", "legs"});
    EXPECT_EQ(values, (Dictionary{{"name", "Rex"}, {"tricks", Value::null()}, {"legs", std::int64_t{4}}}));

    auto other = makeRef<Dog>();
    other->tricks = Value::array({"x"});
    setValuesForKeysWithDictionary(*other, values);
    EXPECT_EQ(other->name, Value("Rex"));
    EXPECT_TRUE(other->tricks.isNil());
    EXPECT_EQ(other->legs, 4);
    EXPECT_THROW(setValuesForKeysWithDictionary(*other, Dictionary{{"legs", Value::null()}}), Exception);
}

TEST(RuntimeKeyValue, ValidationRunsTheValidateHook) {
    Dog::runtimeClass();
    auto dog = makeRef<Dog>();
    Value value("roll");
    Ref<Error> error;
    EXPECT_TRUE(validateValueForKey(*dog, value, "tricks", &error));
    EXPECT_EQ(value, Value::array({"roll"}));
    Value bad(3);
    EXPECT_FALSE(validateValueForKey(*dog, bad, "tricks", &error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), 7);
    // No hook for the key: accepted unchanged.
    dog->validateCalled = false;
    Value name(5);
    EXPECT_TRUE(validateValueForKey(*dog, name, "name", nullptr));
    EXPECT_EQ(name, Value(5));
    EXPECT_FALSE(dog->validateCalled);
}

}  // namespace
}  // namespace lv::test
