#include <gtest/gtest.h>

#include "platform/base/error.h"
#include "platform/base/value.h"

namespace lv {
namespace {

class Thing : public Object {};

TEST(Description, ScalarsAtTopLevel) {
    EXPECT_EQ(Value().description(), "(null)");
    EXPECT_EQ(Value::null().description(), "<null>");
    EXPECT_EQ(Value("a b").description(), "a b");
    EXPECT_EQ(Value(true).description(), "1");
    EXPECT_EQ(Value(1.5).description(), "1.5");
    EXPECT_EQ(Value(Decimal::fromString("199.90")).description(), "199.9");
    EXPECT_EQ(Value::data(std::string("\x01\x02\x03\x04\x05\xab", 6)).description(), "<01020304 05ab>");
    EXPECT_EQ(Value(Bytes{}).description(), "<>");
}

TEST(Description, NestedCollectionsUseThePlatformLayout) {
    Value v = Value::dictionary({
        {"name", "Anna"},
        {"tags", Value::array({"a b", 2})},
        {"inner", Value::dictionary({{"x", Value::null()}})},
    });
    EXPECT_EQ(v.description(),
              "{\n"
              "    inner =     {\n"
              "        x = \"<null>\";\n"
              "    };\n"
              "    name = Anna;\n"
              "    tags =     (\n"
              "        \"a b\",\n"
              "        2\n"
              "    );\n"
              "}");
}

TEST(Description, EmptyAndDeeplyNestedArrays) {
    EXPECT_EQ(Value(Array{}).description(), "(\n)");
    EXPECT_EQ(Value(Dictionary{}).description(), "{\n}");
    EXPECT_EQ(Value::array({Value::array({1})}).description(),
              "(\n"
              "        (\n"
              "        1\n"
              "    )\n"
              ")");
}

TEST(Description, QuotingInsideCollections) {
    struct {
        Value v;
        const char* text;
    } cases[] = {
        {Value("plain42"), "plain42"},
        {Value(""), "\"\""},
        {Value("expires_in"), "\"expires_in\""},
        {Value("say \"hi\"\\"), "\"say \\\"hi\\\"\\\\\""},
        {Value("a\nb"), "\"a\\nb\""},
        {Value("中文"), "\"\\U4e2d\\U6587\""},
        {Value(Date::fromSince1970(0)), "\"1970-01-01 00:00:00 +0000\""},
        // Dates beyond what a calendar text holds print the nearest one, never overflow.
        {Value(Date::fromSince1970(1e300)), "\"9999-12-31 23:59:59 +0000\""},
        {Value(Date::fromSince1970(-2e264)), "\"0001-01-01 00:00:00 +0000\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Value::array({c.v}).description(), std::string("(\n    ") + c.text + "\n)") << c.v.string();
    }
}

TEST(Description, ObjectsDefaultToClassAndAddress) {
    auto thing = makeRef<Thing>();
    EXPECT_EQ(thing->className(), "Thing");
    EXPECT_EQ(thing->description(), "<Thing: " + addressText(thing.get()) + ">");
    EXPECT_EQ(Value(thing).description(), thing->description());
    EXPECT_EQ(addressText(nullptr), "0x0");
}

}  // namespace
}  // namespace lv
