// Block transformers, inversion, the named transformers and the predefined transformers.
#include <gtest/gtest.h>

#include "mapping/value_transformer.h"
#include "platform/runtime/runtime.h"
#include "sample_models.h"

namespace lv {
namespace {

// A block that fails for "bad" with an error of domain "Block", and upper-cases the first letter of
// anything else, for telling the directions apart.
JMTransformerBlock failingOnBad(const char* tag) {
    return [tag](const Value& value, bool* success, Ref<Error>* error) -> Value {
        if (value == Value("bad")) {
            *success = false;
            *error = Error::make("Block", 5);
            return Value();
        }
        return Value(std::string(tag) + value.stringValue());
    };
}

TEST(BlockTransformer, PassesFlagAndErrorOut) {
    auto t = JMValueTransformer::transformerUsingForwardBlock(failingOnBad("f:"));
    bool success = false;
    Ref<Error> error = Error::make("stale", 1);
    EXPECT_EQ(t->transformedValue(Value("x"), &success, &error), Value("f:x"));
    EXPECT_TRUE(success);
    EXPECT_EQ(error, nullptr);  // written on success too

    success = true;
    EXPECT_TRUE(t->transformedValue(Value("bad"), &success, &error).isNil());
    EXPECT_FALSE(success);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), "Block");

    // The plain form reports nothing.
    EXPECT_TRUE(t->transformedValue(Value("bad")).isNil());
    // Null pointers are allowed.
    EXPECT_EQ(t->transformedValue(Value("y"), nullptr, nullptr), Value("f:y"));
}

TEST(BlockTransformer, ErrorStoredWhileSucceedingIsPassedOut) {
    auto t = JMValueTransformer::transformerUsingForwardBlock([](const Value& v, bool*, Ref<Error>* error) {
        *error = Error::make("Note", 2);
        return v;
    });
    bool success = false;
    Ref<Error> error;
    EXPECT_EQ(t->transformedValue(Value(1), &success, &error), Value(1));
    EXPECT_TRUE(success);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), "Note");
}

TEST(BlockTransformer, ClassesAndDirections) {
    auto forwardOnly = JMValueTransformer::transformerUsingForwardBlock(failingOnBad("f:"));
    EXPECT_FALSE(forwardOnly->allowsReverseTransformation());
    EXPECT_FALSE(forwardOnly->respondsToReverseTransformedValue());
    EXPECT_EQ(forwardOnly->transformedValueClass(), "Object");
    EXPECT_TRUE(forwardOnly->reverseTransformedValue(Value("x")).isNil());

    Ref<JMReversibleValueTransformer> both =
        JMValueTransformer::transformerUsingForwardBlock(failingOnBad("f:"), failingOnBad("r:"));
    EXPECT_TRUE(both->allowsReverseTransformation());
    EXPECT_TRUE(both->respondsToReverseTransformedValue());
    EXPECT_EQ(both->transformedValue(Value("x")), Value("f:x"));
    EXPECT_EQ(both->reverseTransformedValue(Value("x")), Value("r:x"));
    bool success = true;
    Ref<Error> error;
    EXPECT_TRUE(both->reverseTransformedValue(Value("bad"), &success, &error).isNil());
    EXPECT_FALSE(success);

    auto same = JMValueTransformer::transformerUsingReversibleBlock(failingOnBad("s:"));
    EXPECT_EQ(same->reverseTransformedValue(Value("x")), Value("s:x"));

    // The receiving class decides the class of the one-block constructors.
    Ref<JMReversibleValueTransformer> reversibleForward =
        JMReversibleValueTransformer::transformerUsingForwardBlock(failingOnBad("f:"));
    EXPECT_TRUE(reversibleForward->allowsReverseTransformation());
}

TEST(BlockTransformer, OlderConstructorsNeverFail) {
    auto up = [](const Value& v) { return Value(v.stringValue() + "+"); };
    auto down = [](const Value& v) { return Value(v.stringValue() + "-"); };
    auto forward = JMValueTransformer::transformerWithBlock(up);
    EXPECT_FALSE(forward->allowsReverseTransformation());
    bool success = false;
    Ref<Error> error;
    EXPECT_EQ(forward->transformedValue(Value("a"), &success, &error), Value("a+"));
    EXPECT_TRUE(success);
    auto same = JMValueTransformer::reversibleTransformerWithBlock(up);
    EXPECT_EQ(same->reverseTransformedValue(Value("a")), Value("a+"));
    auto pair = JMValueTransformer::reversibleTransformerWithForwardBlock(up, down);
    EXPECT_EQ(pair->transformedValue(Value("a")), Value("a+"));
    EXPECT_EQ(pair->reverseTransformedValue(Value("a")), Value("a-"));
}

TEST(Inversion, SwapsDirectionsAndPassesFailuresThrough) {
    auto t = JMValueTransformer::transformerUsingForwardBlock(failingOnBad("f:"), failingOnBad("r:"));
    auto inverted = jm_invertedTransformer(t);
    EXPECT_EQ(inverted->transformedValue(Value("x")), Value("r:x"));
    EXPECT_EQ(inverted->reverseTransformedValue(Value("x")), Value("f:x"));
    bool success = true;
    Ref<Error> error;
    EXPECT_TRUE(inverted->transformedValue(Value("bad"), &success, &error).isNil());
    EXPECT_FALSE(success);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), "Block");
}

// Inverting a forward-only error-handling transformer: its missing reverse form fails softly.
TEST(Inversion, ForwardOnlyErrorHandlingTransformerFailsSoftly) {
    auto inverted = jm_invertedTransformer(JMValueTransformer::transformerUsingForwardBlock(failingOnBad("f:")));
    bool success = true;
    Ref<Error> error = Error::make("stale", 1);
    EXPECT_TRUE(inverted->transformedValue(Value("x"), &success, &error).isNil());
    EXPECT_FALSE(success);
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(inverted->reverseTransformedValue(Value("x")), Value("f:x"));
}

TEST(Inversion, PlainTransformerUsesItsPlainForms) {
    class Doubler : public ValueTransformer {
    public:
        bool allowsReverseTransformation() const override { return true; }
        Value transformedValue(const Value& v) const override { return Value(v.intValue() * 2); }
        Value reverseTransformedValue(const Value& v) const override { return Value(v.intValue() / 2); }
    };
    auto inverted = jm_invertedTransformer(makeRef<Doubler>());
    bool success = false;
    Ref<Error> error;
    EXPECT_EQ(inverted->transformedValue(Value(8), &success, &error), Value(4));
    EXPECT_TRUE(success);
    EXPECT_EQ(inverted->reverseTransformedValue(Value(8)), Value(16));
}

// ---- Named transformers ----

TEST(NamedTransformers, AreRegisteredOnceAndShared) {
    jm_registerNamedTransformers();
    jm_registerNamedTransformers();
    Ref<ValueTransformer> url = ValueTransformer::valueTransformerForName("JMURLValueTransformerName");
    Ref<ValueTransformer> boolean = ValueTransformer::valueTransformerForName("JMBooleanValueTransformerName");
    ASSERT_NE(url, nullptr);
    ASSERT_NE(boolean, nullptr);
    EXPECT_TRUE(url->allowsReverseTransformation());
    EXPECT_TRUE(boolean->allowsReverseTransformation());
    EXPECT_EQ(url, ValueTransformer::valueTransformerForName(JMURLValueTransformerName));
    EXPECT_EQ(boolean, ValueTransformer::valueTransformerForName(JMBooleanValueTransformerName));
    EXPECT_EQ(ValueTransformer::valueTransformerForName("NoSuchName"), nullptr);
}

TEST(NamedTransformers, RegistryTakesNewNames) {
    auto t = JMValueTransformer::transformerWithBlock([](const Value& v) { return v; });
    ValueTransformer::setValueTransformer(t, "TestTransformerName");
    EXPECT_EQ(ValueTransformer::valueTransformerForName("TestTransformerName"), t);
    ValueTransformer::setValueTransformer(nullptr, "TestTransformerName");
    EXPECT_EQ(ValueTransformer::valueTransformerForName("TestTransformerName"), nullptr);
}

struct Outcome {
    Value result;
    bool success;
    Ref<Error> error;
};

Outcome forward(const Ref<ValueTransformer>& t, const Value& v) {
    Outcome o{Value(), true, nullptr};
    o.result = dynamic_cast<const JMTransformerErrorHandling&>(*t).transformedValue(v, &o.success, &o.error);
    return o;
}

Outcome reverse(const Ref<ValueTransformer>& t, const Value& v) {
    Outcome o{Value(), true, nullptr};
    o.result = dynamic_cast<const JMTransformerErrorHandling&>(*t).reverseTransformedValue(v, &o.success, &o.error);
    return o;
}

void expectFailure(const Outcome& o, const char* description, const std::string& reason, const Value& input) {
    EXPECT_TRUE(o.result.isNil());
    EXPECT_FALSE(o.success);
    ASSERT_NE(o.error, nullptr);
    EXPECT_EQ(o.error->domain(), "JMTransformerErrorHandlingErrorDomain");
    EXPECT_EQ(o.error->code(), 1);
    EXPECT_EQ(o.error->localizedDescription(), description);
    EXPECT_EQ(o.error->localizedFailureReason(), reason);
    EXPECT_TRUE(o.error->userInfo().get("JMTransformerErrorHandlingInputValueErrorKey").isEqual(input));
}

TEST(URLTransformer, ConvertsBothWays) {
    test::TestURL::runtimeClass();
    Ref<ValueTransformer> t = ValueTransformer::valueTransformerForName(JMURLValueTransformerName);

    Outcome nil = forward(t, Value());
    EXPECT_TRUE(nil.result.isNil());
    EXPECT_TRUE(nil.success);

    Outcome made = forward(t, Value("http://example.com/a"));
    EXPECT_TRUE(made.success);
    ASSERT_TRUE(made.result.isObject());
    EXPECT_TRUE(isKindOf(*made.result.object(), "URL"));

    Outcome back = reverse(t, made.result);
    EXPECT_EQ(back.result, Value("http://example.com/a"));

    expectFailure(forward(t, Value(42)), "Could not convert string to URL", "Expected an NSString, got: 42.", Value(42));
    expectFailure(forward(t, Value("not a url")), "Could not convert string to URL",
                  "Input URL string not a url was malformed", Value("not a url"));
    expectFailure(reverse(t, Value("http://x")), "Could not convert URL to string",
                  "Expected an NSURL, got: http://x.", Value("http://x"));
    EXPECT_TRUE(reverse(t, Value()).result.isNil());
}

TEST(BooleanTransformer, GivesBooleansBothWays) {
    Ref<ValueTransformer> t = ValueTransformer::valueTransformerForName(JMBooleanValueTransformerName);
    for (auto direction : {&forward, &reverse}) {
        Outcome two = direction(t, Value(2));
        ASSERT_TRUE(two.result.isNumber());
        EXPECT_TRUE(two.result.number()->isBool());
        EXPECT_TRUE(two.result.boolValue());
        Outcome zero = direction(t, Value(0));
        ASSERT_TRUE(zero.result.isNumber());
        EXPECT_TRUE(zero.result.number()->isBool());
        EXPECT_FALSE(zero.result.boolValue());
        EXPECT_TRUE(direction(t, Value()).success);
        expectFailure(direction(t, Value("1")), "Could not convert number to boolean-backed number or vice-versa",
                      "Expected an NSNumber, got: 1.", Value("1"));
    }
}

TEST(ValidatingTransformer, LetsInstancesOfTheClassThrough) {
    auto numbers = jm_validatingTransformerForClass(classNamed("Number"));
    EXPECT_FALSE(numbers->allowsReverseTransformation());
    EXPECT_EQ(forward(numbers, Value(3)).result, Value(3));
    EXPECT_EQ(forward(numbers, Value(Decimal::fromString("1.5"))).result, Value(Decimal::fromString("1.5")));  // subclass
    Outcome nil = forward(numbers, Value());
    EXPECT_TRUE(nil.success);
    EXPECT_TRUE(nil.result.isNil());
    expectFailure(forward(numbers, Value("3")), "Value did not match expected type",
                  "Expected 3 to be of class Number but got String", Value("3"));

    auto anything = jm_validatingTransformerForClass(classNamed("Object"));
    EXPECT_TRUE(forward(anything, Value::null()).success);
    EXPECT_TRUE(forward(anything, Value::array({1})).success);
}

TEST(ArrayMapping, MapsEveryElement) {
    auto element = JMValueTransformer::transformerUsingForwardBlock(
        [](const Value& v, bool* success, Ref<Error>* error) -> Value {
            if (v == Value("bad")) {
                *success = false;
                *error = Error::make("Element", 9);
                return Value();
            }
            if (v == Value("skip")) return Value();
            return Value(v.stringValue() + "!");
        },
        [](const Value& v, bool*, Ref<Error>*) { return Value(v.stringValue() + "?"); });
    auto t = jm_arrayMappingTransformerWithTransformer(element);
    EXPECT_TRUE(t->allowsReverseTransformation());

    // A null stays null at its place; a nil result is left out.
    Outcome mapped = forward(t, Value::array({"a", Value::null(), "skip", "b"}));
    EXPECT_TRUE(mapped.success);
    EXPECT_EQ(mapped.result, Value::array({"a!", Value::null(), "b!"}));
    EXPECT_EQ(reverse(t, Value::array({"a"})).result, Value::array({"a?"}));

    Value input = Value::array({"a", "b", "bad", "c"});
    Outcome failed = forward(t, input);
    expectFailure(failed, "Could not transform array", "Could not transform value at index 2", input);
    ASSERT_NE(failed.error, nullptr);
    Ref<Error> underlying = failed.error->underlyingError();
    ASSERT_NE(underlying, nullptr);
    EXPECT_EQ(underlying->domain(), "Element");

    expectFailure(forward(t, Value("x")), "Could not transform non-array type", "Expected an NSArray, got: x.", Value("x"));
    EXPECT_TRUE(forward(t, Value()).success);
}

TEST(ArrayMapping, OverForwardOnlyElementIsForwardOnly) {
    auto t = jm_arrayMappingTransformerWithTransformer(
        JMValueTransformer::transformerWithBlock([](const Value& v) { return v; }));
    EXPECT_FALSE(t->allowsReverseTransformation());
    EXPECT_FALSE(t->respondsToReverseTransformedValue());
}

TEST(ArrayMapping, PlainElementTransformerIsCalledPlainly) {
    class Negate : public ValueTransformer {
    public:
        bool allowsReverseTransformation() const override { return true; }
        Value transformedValue(const Value& v) const override { return Value(-v.intValue()); }
    };
    auto t = jm_arrayMappingTransformerWithTransformer(makeRef<Negate>());
    EXPECT_EQ(forward(t, Value::array({1, 2})).result, Value::array({-1, -2}));
    EXPECT_EQ(reverse(t, Value::array({3})).result, Value::array({-3}));
}

TEST(ValueMapping, MapsThroughTheDictionaryWithDefaults) {
    auto t = jm_valueMappingTransformerWithDictionary(
        JMValueMap{{Value("on"), Value(1)}, {Value::null(), Value(-1)}, {Value("yes"), Value(1)}}, Value(0), Value("off"));
    EXPECT_EQ(forward(t, Value("on")).result, Value(1));
    EXPECT_EQ(forward(t, Value()).result, Value(-1));  // nil looks up the null key
    EXPECT_EQ(forward(t, Value("??")).result, Value(0));
    EXPECT_EQ(reverse(t, Value(1)).result, Value("on"));  // the first matching pair
    EXPECT_EQ(reverse(t, Value(1.0)).result, Value("on"));
    EXPECT_EQ(reverse(t, Value(7)).result, Value("off"));
    EXPECT_EQ(reverse(t, Value()).result, Value("off"));

    auto noDefaults = jm_valueMappingTransformerWithDictionary(Dictionary{{"a", 1}});
    EXPECT_TRUE(forward(noDefaults, Value("b")).result.isNil());
    EXPECT_TRUE(forward(noDefaults, Value("b")).success);
    EXPECT_EQ(reverse(noDefaults, Value(1)).result, Value("a"));
}

}  // namespace
}  // namespace lv
