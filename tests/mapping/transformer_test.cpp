// Block transformers, inversion, the named transformers and the predefined transformers.
#include <gtest/gtest.h>

#include "mapping/value_transformer.h"
#include "platform/runtime/runtime.h"

namespace lv {
namespace {

// Fails for "bad" (domain "Block"); prefixes anything else with the tag, to tell directions apart.
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

struct Outcome {
    Value result;
    bool success = true;
    Ref<Error> error = Error::make("stale", 1);
};

Outcome forward(const Ref<ValueTransformer>& t, const Value& v) {
    Outcome o;
    o.result = dynamic_cast<const JMTransformerErrorHandling&>(*t).transformedValue(v, &o.success, &o.error);
    return o;
}

Outcome reverse(const Ref<ValueTransformer>& t, const Value& v) {
    Outcome o;
    o.result = dynamic_cast<const JMTransformerErrorHandling&>(*t).reverseTransformedValue(v, &o.success, &o.error);
    return o;
}

TEST(BlockTransformer, PassesFlagAndErrorOutAndKeepsItsDirections) {
    auto t = JMValueTransformer::transformerUsingForwardBlock(failingOnBad("f:"), failingOnBad("r:"));
    Outcome ok = forward(t, Value("x"));
    EXPECT_TRUE(ok.result == Value("f:x") && ok.success && !ok.error);  // the error slot is written on success too
    Outcome failed = reverse(t, Value("bad"));
    EXPECT_TRUE(!failed.success && failed.error->domain() == "Block");
    EXPECT_EQ(t->reverseTransformedValue(Value("x")), Value("r:x"));

    auto forwardOnly = JMValueTransformer::transformerUsingForwardBlock(failingOnBad("f:"));
    EXPECT_FALSE(forwardOnly->allowsReverseTransformation());
    EXPECT_TRUE(forwardOnly->reverseTransformedValue(Value("x")).isNil());
    EXPECT_TRUE(JMReversibleValueTransformer::transformerUsingForwardBlock(failingOnBad("f:"))->allowsReverseTransformation());
}

TEST(Inversion, SwapsDirectionsAndPassesFailuresThrough) {
    auto inverted = jm_invertedTransformer(JMValueTransformer::transformerUsingForwardBlock(failingOnBad("f:"), failingOnBad("r:")));
    EXPECT_EQ(inverted->transformedValue(Value("x")), Value("r:x"));
    EXPECT_EQ(inverted->reverseTransformedValue(Value("x")), Value("f:x"));
    Outcome failed = forward(inverted, Value("bad"));
    EXPECT_TRUE(!failed.success && failed.error->domain() == "Block");
}

// A forward-only error-handling transformer has no reverse form: inverted, it fails softly.
TEST(Inversion, ForwardOnlyErrorHandlingTransformerFailsSoftly) {
    auto inverted = jm_invertedTransformer(JMValueTransformer::transformerUsingForwardBlock(failingOnBad("f:")));
    Outcome o = forward(inverted, Value("x"));
    EXPECT_TRUE(o.result.isNil() && !o.success && !o.error);
}

struct TransformerFailure {
    const char* name;
    Ref<ValueTransformer> (*transformer)();
    bool forward;
    Value input;
    const char* description;
    const char* reason;
};

class PredefinedFailures : public ::testing::TestWithParam<TransformerFailure> {};

TEST_P(PredefinedFailures, ReportTheInputWithTheirTexts) {
    const TransformerFailure& c = GetParam();
    Outcome o = c.forward ? forward(c.transformer(), c.input) : reverse(c.transformer(), c.input);
    EXPECT_TRUE(o.result.isNil());
    EXPECT_FALSE(o.success);
    ASSERT_NE(o.error, nullptr);
    EXPECT_EQ(o.error->domain(), "JMTransformerErrorHandlingErrorDomain");
    EXPECT_EQ(o.error->code(), 1);
    EXPECT_EQ(o.error->localizedDescription(), c.description);
    EXPECT_EQ(o.error->localizedFailureReason(), c.reason);
    EXPECT_TRUE(o.error->userInfo().get("JMTransformerErrorHandlingInputValueErrorKey").isEqual(c.input));
}

Ref<ValueTransformer> url() { return ValueTransformer::valueTransformerForName(JMURLValueTransformerName); }
Ref<ValueTransformer> boolean() { return ValueTransformer::valueTransformerForName(JMBooleanValueTransformerName); }
Ref<ValueTransformer> numbers() { return jm_validatingTransformerForClass(classNamed("Number")); }
Ref<ValueTransformer> arrays() { return jm_arrayMappingTransformerWithTransformer(boolean()); }

INSTANTIATE_TEST_SUITE_P(
    Cases, PredefinedFailures,
    ::testing::Values(
        TransformerFailure{"URLNotText", &url, true, Value(42), "Could not convert string to URL", "Expected an NSString, got: 42."},
        TransformerFailure{"MalformedURL", &url, true, Value("http://exa mple.com/a"), "Could not convert string to URL",
                    "Input URL string http://exa mple.com/a was malformed"},
        TransformerFailure{"URLReverseNotURL", &url, false, Value("http://x"), "Could not convert URL to string",
                    "Expected an NSURL, got: http://x."},
        TransformerFailure{"BooleanText", &boolean, false, Value("1"),
                    "Could not convert number to boolean-backed number or vice-versa", "Expected an NSNumber, got: 1."},
        TransformerFailure{"Validating", &numbers, true, Value("3"), "Value did not match expected type",
                    "Expected 3 to be of class Number but got String"},
        TransformerFailure{"ArrayNotArray", &arrays, true, Value("x"), "Could not transform non-array type",
                    "Expected an NSArray, got: x."},
        TransformerFailure{"ArrayElement", &arrays, true, Value::array({1, Value::null(), "no"}), "Could not transform array",
                    "Could not transform value at index 2"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(PredefinedTransformers, PassNilAndConvert) {
    for (auto* make : {&url, &boolean, &numbers, &arrays}) {
        Outcome nil = forward(make(), Value());
        EXPECT_TRUE(nil.result.isNil() && nil.success);
    }
    // The platform's URL class is found by name: text becomes a URL object and back.
    Value link = forward(url(), Value("http://example.com/a?b=1")).result;
    ASSERT_TRUE(link.isObject() && isKindOf(*link.object(), "URL"));
    EXPECT_EQ(reverse(url(), link).result, Value("http://example.com/a?b=1"));
    Value two = forward(boolean(), Value(2)).result;
    EXPECT_TRUE(two.isNumber() && two.number()->isBool() && two.boolValue());
    EXPECT_FALSE(reverse(boolean(), Value(0)).result.boolValue());
    // The failing element's error is the underlying error.
    EXPECT_EQ(forward(arrays(), Value::array({"no"})).error->underlyingError()->localizedFailureReason(),
              "Expected an NSNumber, got: no.");
}

TEST(ArrayMapping, KeepsNullsDropsNilsAndFollowsTheElementsDirections) {
    auto element = JMValueTransformer::transformerUsingForwardBlock(
        [](const Value& v, bool*, Ref<Error>*) { return v == Value("skip") ? Value() : Value(v.stringValue() + "!"); },
        [](const Value& v, bool*, Ref<Error>*) { return Value(v.stringValue() + "?"); });
    auto t = jm_arrayMappingTransformerWithTransformer(element);
    EXPECT_EQ(forward(t, Value::array({"a", Value::null(), "skip", "b"})).result, Value::array({"a!", Value::null(), "b!"}));
    EXPECT_EQ(reverse(t, Value::array({"a"})).result, Value::array({"a?"}));
    auto forwardOnly = jm_arrayMappingTransformerWithTransformer(JMValueTransformer::transformerWithBlock([](const Value& v) { return v; }));
    EXPECT_FALSE(forwardOnly->allowsReverseTransformation());
}

TEST(ValueMapping, MapsThroughTheDictionaryWithDefaults) {
    auto t = jm_valueMappingTransformerWithDictionary(
        JMValueMap{{Value("on"), Value(1)}, {Value::null(), Value(-1)}, {Value("yes"), Value(1)}}, Value(0), Value("off"));
    EXPECT_EQ(forward(t, Value()).result, Value(-1));  // nil looks up the null key
    EXPECT_EQ(forward(t, Value("??")).result, Value(0));
    EXPECT_EQ(reverse(t, Value(1.0)).result, Value("on"));  // the first equal value
    EXPECT_EQ(reverse(t, Value(7)).result, Value("off"));
    EXPECT_EQ(reverse(t, Value()).result, Value("off"));
}

}  // namespace
}  // namespace lv
