// Declared properties: order, lookup, attribute texts for each property kind, typed access.
#include <gtest/gtest.h>

#include <limits>

#include "platform/runtime/fixtures.h"

namespace lv::test {
namespace {

std::vector<std::string> ownNames(const ClassInfo* cls) {
    std::vector<std::string> names;
    for (const PropertyInfo& p : cls->ownProperties()) names.push_back(p.name);
    return names;
}

TEST(RuntimeProperties, OwnInDeclarationOrderLookupThroughSuperclassesOwnClassFirst) {
    EXPECT_EQ(ownNames(Animal::runtimeClass()),
              (std::vector<std::string>{"name", "legs", "tame", "friendAnimal", "toys"}));
    // Only the class's own declarations, the read-only redeclaration included.
    const ClassInfo* dog = Dog::runtimeClass();
    EXPECT_EQ(ownNames(dog), (std::vector<std::string>{"tricks", "legs"}));
    EXPECT_EQ(dog->findProperty("name"), Animal::runtimeClass()->findProperty("name"));
    EXPECT_TRUE(dog->findProperty("legs")->readOnly);  // Dog's own redeclaration
    EXPECT_FALSE(Animal::runtimeClass()->findProperty("legs")->readOnly);
    EXPECT_EQ(dog->findProperty("wings"), nullptr);
    EXPECT_EQ(Animal::runtimeClass()->findProperty("tricks"), nullptr);
}

TEST(RuntimeProperties, MemberTypesGiveTheirEncodingAndBoxedKind) {
    const ClassInfo* kinds = Kinds::runtimeClass();
    const struct {
        const char* property;
        const char* encoding;
        NumberKind kind;
    } scalars[] = {
        {"flag", "B", NumberKind::Bool},       {"int8", "c", NumberKind::Int8},     {"uint8", "C", NumberKind::UInt8},
        {"int16", "s", NumberKind::Int16},     {"uint16", "S", NumberKind::UInt16}, {"int32", "i", NumberKind::Int32},
        {"uint32", "I", NumberKind::UInt32},   {"int64", "q", NumberKind::Int64},   {"uint64", "Q", NumberKind::UInt64},
        {"real32", "f", NumberKind::Float},    {"real64", "d", NumberKind::Double},
    };
    auto k = makeRef<Kinds>();
    for (const auto& c : scalars) {
        const PropertyInfo* p = kinds->findProperty(c.property);
        EXPECT_EQ(p->typeEncoding, c.encoding) << c.property;
        EXPECT_EQ(p->scalarKind(), c.kind) << c.property;
        const Value boxed = p->get(*k);
        ASSERT_TRUE(boxed.isNumber()) << c.property;
        EXPECT_EQ(boxed.number()->kind(), c.kind) << c.property;
    }
    // Accessor-backed properties have no instance variable; a record field keeps its declared name
    // for the variable and renames its accessors.
    EXPECT_EQ(kinds->findProperty("isEmpty")->attributes, "TB,R,N");
    EXPECT_EQ(kinds->findProperty("extra")->attributes, "T@\"Dictionary\",&,D,N");
    EXPECT_EQ(kinds->findProperty("tlvv2_p_0_r_accessId")->attributes,
              "T@\"String\",&,N,Gtlv_accessId,SsetTlv_accessId:,V_tlvv2_p_0_r_accessId");
    EXPECT_EQ(kinds->findProperty("pet")->declaredClassName(), "Animal");
    EXPECT_EQ(kinds->findProperty("anything")->declaredClassName(), "");
    EXPECT_FALSE(kinds->findProperty("text")->scalarKind().has_value());
    const PropertyInfo* visible = kinds->findProperty("visible");
    EXPECT_EQ(visible->getterName, "isVisible");
    EXPECT_EQ(visible->setterName, "setVisible:");
    EXPECT_EQ(kinds->findProperty("count")->ivarName, "_count");
    EXPECT_TRUE(kinds->findProperty("owner")->weak);
    EXPECT_TRUE(kinds->findProperty("extra")->dynamic);
}

TEST(RuntimeProperties, AttributeTextPutsFlagsInThePlatformsOrder) {
    EXPECT_EQ(attributeText("@\"String\"", "N,C,R", "_title"), "T@\"String\",R,C,N,V_title");
    EXPECT_EQ(attributeText("i", "SsetX:,N,Gx2", ""), "Ti,N,Gx2,SsetX:");
    EXPECT_EQ(attributeText("q", "", ""), "Tq");
}

TEST(RuntimeProperties, MalformedFlagsAreRefused) {
    const char* bad[] = {"X", "N,", "N,N", "G", "C,&", "V_x", "RN"};
    for (const char* flags : bad) {
        EXPECT_EQ(caught([&] { attributeText("i", flags, ""); }).name(), kInvalidArgumentException) << flags;
    }
    class Bad : public Object {
    public:
        Value v;
    };
    EXPECT_THROW(ClassDef<Bad>("BadDynamic").property("v", &Bad::v, "String", "D,N"), Exception);
    EXPECT_THROW(ClassDef<Bad>("BadTwice").property("v", &Bad::v, "String", "N").property("v", &Bad::v, "String", "N"),
                 Exception);
}

TEST(RuntimeProperties, ScalarsConvertAsNumberReadingsDo) {
    const ClassInfo* kinds = Kinds::runtimeClass();
    auto k = makeRef<Kinds>();
    auto set = [&](const char* name, const Value& v) { kinds->findProperty(name)->set(*k, v); };
    set("int8", Value(300));
    EXPECT_EQ(k->int8, 44);
    set("uint32", Value(-1));
    EXPECT_EQ(k->uint32, std::numeric_limits<std::uint32_t>::max());
    set("int32", Value(-3.9));
    EXPECT_EQ(k->int32, -3);
    set("flag", Value(2));
    EXPECT_TRUE(k->flag);
    set("uint64", Value(std::numeric_limits<std::uint64_t>::max()));
    EXPECT_EQ(k->uint64, std::numeric_limits<std::uint64_t>::max());
    set("real32", Value(Decimal::fromString("1.25")));
    EXPECT_EQ(k->real32, 1.25f);
    set("int64", Value(" 42abc"));
    EXPECT_EQ(k->int64, 42);
    set("flag", Value("YES"));
    EXPECT_TRUE(k->flag);
    set("real64", Value("2.5"));
    EXPECT_EQ(k->real64, 2.5);
}

TEST(RuntimeProperties, ScalarsRefuseValuesWithoutTheReading) {
    const ClassInfo* kinds = Kinds::runtimeClass();
    auto k = makeRef<Kinds>();
    Value text("5");
    const Exception e = caught([&] { kinds->findProperty("int8")->set(*k, text); });
    EXPECT_EQ(e.name(), kInvalidArgumentException);
    EXPECT_EQ(e.reason(), "-[String charValue]: unrecognized selector sent to instance " + addressText(&text));
    auto animal = makeRef<Animal>();
    EXPECT_EQ(caught([&] { kinds->findProperty("int64")->set(*k, Value(animal)); }).reason(),
              "-[Animal longLongValue]: unrecognized selector sent to instance " + addressText(animal.get()));
    EXPECT_THROW(kinds->findProperty("flag")->set(*k, Value::null()), Exception);
    EXPECT_EQ(k->int8, 0);
}

TEST(RuntimeProperties, AccessorPropertiesBoxToTheDeclaredKind) {
    const ClassInfo* kinds = Kinds::runtimeClass();
    auto k = makeRef<Kinds>();
    k->count = 0;
    Value empty = kinds->findProperty("isEmpty")->get(*k);
    ASSERT_TRUE(empty.isNumber());
    EXPECT_EQ(empty.number()->kind(), NumberKind::Bool);
    EXPECT_TRUE(empty.boolValue());
    // The setter receives a number of the declared kind.
    kinds->findProperty("visible")->set(*k, Value(7));
    EXPECT_TRUE(k->visible);
    EXPECT_EQ(k->visibleSets, 1);
    EXPECT_THROW(kinds->findProperty("visible")->set(*k, Value()), Exception);
    EXPECT_EQ(k->visibleSets, 1);
    EXPECT_FALSE(static_cast<bool>(kinds->findProperty("isEmpty")->set));
}

TEST(RuntimeProperties, ObjectMembersHoldObjectsOfTheirClass) {
    const ClassInfo* kinds = Kinds::runtimeClass();
    auto k = makeRef<Kinds>();
    auto animal = makeRef<Animal>();
    kinds->findProperty("pet")->set(*k, Value(animal));
    EXPECT_EQ(k->pet, animal);
    EXPECT_EQ(kinds->findProperty("pet")->get(*k).object(), animal);
    kinds->findProperty("pet")->set(*k, Value());
    EXPECT_EQ(k->pet, nullptr);
    EXPECT_TRUE(kinds->findProperty("pet")->get(*k).isNil());
    EXPECT_THROW(kinds->findProperty("pet")->set(*k, Value("not an animal")), Exception);
    EXPECT_THROW(kinds->findProperty("pet")->set(*k, Value(makeRef<Kinds>())), Exception);

    kinds->findProperty("owner")->set(*k, Value(animal));
    EXPECT_EQ(kinds->findProperty("owner")->get(*k).object(), animal);
    animal.reset();
    EXPECT_TRUE(kinds->findProperty("owner")->get(*k).isNil());
}

TEST(RuntimeProperties, AccessorsCheckTheirReceiver) {
    auto animal = makeRef<Animal>();
    const PropertyInfo* tricks = Dog::runtimeClass()->findProperty("tricks");
    EXPECT_EQ(caught([&] { tricks->get(*animal); }).name(), kInvalidArgumentException);
}

}  // namespace
}  // namespace lv::test

namespace lv::test {
namespace {

// A declared accessor works on an instance of its class and of every subclass (registered or not),
// and refuses any other object, naming the class it expected.
TEST(RuntimeAccessors, TakeInstancesOfTheClassAndItsSubclassesAndRefuseOthers) {
    Dog::runtimeClass();
    Kinds::runtimeClass();
    const PropertyInfo* name = Animal::runtimeClass()->findProperty("name");
    ASSERT_TRUE(name);
    struct Row {
        Ref<Object> receiver;
        bool accepted;
    };
    const Row rows[] = {{makeRef<Animal>(), true}, {makeRef<Dog>(), true}, {makeRef<Puppy>(), true},
                        {makeRef<Kinds>(), false}, {makeRef<Object>(), false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.receiver->className());
        if (row.accepted) {
            name->set(*row.receiver, Value("Rex"));
            EXPECT_EQ(name->get(*row.receiver), Value("Rex"));
            EXPECT_EQ(static_cast<Animal&>(*row.receiver).name, Value("Rex"));
        } else {
            const Exception e = caught([&] { name->set(*row.receiver, Value("Rex")); });
            EXPECT_EQ(e.name(), kInvalidArgumentException);
            EXPECT_NE(e.reason().find("is not a Animal"), std::string::npos) << e.reason();
            EXPECT_EQ(caught([&] { name->get(*row.receiver); }).name(), kInvalidArgumentException);
        }
    }
}

}  // namespace
}  // namespace lv::test
