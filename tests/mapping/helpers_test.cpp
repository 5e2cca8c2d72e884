// The JSON key-path lookup and the collection helpers.
#include <gtest/gtest.h>

#include "mapping/helpers.h"

namespace lv {
namespace {

const Dictionary& sampleJSON() {
    static const Dictionary json{
        {"user", Value::dictionary({{"name", "ann"}, {"tags", Value::array({"a", "b"})}, {"gone", Value::null()}})},
        {"nothing", Value::null()},
        {"text", "plain"},
        {"", "empty key"},
    };
    return json;
}

struct KeyPathCase {
    const char* path;
    bool success;
    Value expected;
};

class KeyPathLookup : public ::testing::TestWithParam<KeyPathCase> {};

TEST_P(KeyPathLookup, FindsTheValueOrFails) {
    const KeyPathCase& c = GetParam();
    bool success = !c.success;  // starts opposite to the expected answer
    Ref<Error> error;
    Value found = jm_valueForJSONKeyPath(sampleJSON(), c.path, &success, &error);
    EXPECT_EQ(success, c.success);
    EXPECT_TRUE(found.isEqual(c.expected) && found.type() == c.expected.type()) << found.description();
    EXPECT_EQ(error ? error->code() : 0, c.success ? 0 : 3);
    // Without success and error pointers the lookup gives the same value.
    EXPECT_TRUE(jm_valueForJSONKeyPath(sampleJSON(), c.path, nullptr, nullptr).isEqual(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KeyPathLookup,
    ::testing::Values(KeyPathCase{"user.name", true, Value("ann")},
                      KeyPathCase{"missing.name", true, Value()},               // no key on the way
                      KeyPathCase{"nothing.name", true, Value::null()},         // null on the way
                      KeyPathCase{"text.name", false, Value()},                 // a string on the way
                      KeyPathCase{"text", true, Value("plain")},                // a string at the end
                      KeyPathCase{"user.gone", true, Value::null()},            // ends on a null
                      KeyPathCase{"user.tags", true, Value::array({"a", "b"})}, // ends on an array
                      KeyPathCase{"user.tags.first", false, Value()},           // an array on the way
                      KeyPathCase{"", true, Value("empty key")},                // one empty component
                      KeyPathCase{"user..name", true, Value()}));               // an empty component

TEST(KeyPathLookup, FailureTextsNameThePathAndTheWholeDictionary) {
    Dictionary json{{"a", "x"}};
    Ref<Error> error;
    jm_valueForJSONKeyPath(json, "a.b", nullptr, &error);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->localizedDescription(), "Invalid JSON dictionary");
    EXPECT_EQ(error->localizedFailureReason(),
              "JSON key path a.b could not resolved because an incompatible JSON dictionary was supplied: \"{\n    a = x;\n}\"");
}

TEST(CollectionHelpers, CopyAndChange) {
    const Array many{Value(1), Value("x"), Value(1), Value(2)};
    EXPECT_TRUE(jm_arrayByRemovingFirstObject(Array{}).empty() && jm_arrayByRemovingLastObject(Array{Value(1)}).empty());
    EXPECT_EQ(Value(jm_arrayByRemovingLastObject(many)), Value::array({1, "x", 1}));
    EXPECT_EQ(Value(jm_arrayByRemovingObject(many, Value(1.0))), Value::array({"x", 2}));  // every equal element
    const Dictionary base{{"a", 1}, {"b", 2}};
    EXPECT_EQ(Value(jm_dictionaryByAddingEntriesFromDictionary(base, {{"b", 3}})), Value::dictionary({{"a", 1}, {"b", 3}}));
    EXPECT_EQ(Value(jm_dictionaryByRemovingValuesForKeys(base, {"a", "zz"})), Value::dictionary({{"b", 2}}));
}

}  // namespace
}  // namespace lv
