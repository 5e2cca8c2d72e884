// The class registry: names, superclasses, factories, protocols, the class of an object, the class of
// a value, and registration racing with lookups.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/runtime/fixtures.h"

namespace lv::test {
namespace {

class Plain : public Object {};

TEST(RuntimeRegistry, FindsClassesByNameAndNothingForUnknownNames) {
    const ClassInfo* dog = Dog::runtimeClass();
    EXPECT_EQ(classNamed("Dog"), dog);
    EXPECT_EQ(classNamed("NoSuchClass"), nullptr);
    EXPECT_EQ(classNamed(""), nullptr);
    EXPECT_EQ(classOf<Dog>(), dog);
    EXPECT_EQ(classOf<Plain>(), nullptr);
}

TEST(RuntimeRegistry, WalksTheSuperclassChainToTheRoot) {
    const ClassInfo* dog = Dog::runtimeClass();
    std::vector<std::string> chain;
    for (const ClassInfo* c = dog; c; c = c->superclass()) chain.push_back(c->name());
    EXPECT_EQ(chain, (std::vector<std::string>{"Dog", "Animal", "Object"}));
    EXPECT_TRUE(dog->isSubclassOf(Animal::runtimeClass()));
    EXPECT_TRUE(dog->isSubclassOf("Object"));
    EXPECT_TRUE(dog->isSubclassOf(dog));
    EXPECT_FALSE(Animal::runtimeClass()->isSubclassOf("Dog"));
    EXPECT_FALSE(dog->isSubclassOf(Kinds::runtimeClass()));
}

TEST(RuntimeRegistry, CreatesInstancesThroughTheFactory) {
    Ref<Object> made = Dog::runtimeClass()->create();
    ASSERT_NE(made, nullptr);
    EXPECT_NE(dynamic_cast<Dog*>(made.get()), nullptr);
    EXPECT_EQ(classNamed("Object")->create(), nullptr);
    EXPECT_FALSE(classNamed("Object")->hasFactory());
}

TEST(RuntimeRegistry, ProtocolsAreFoundThroughSuperclasses) {
    const ClassInfo* dog = Dog::runtimeClass();
    EXPECT_TRUE(dog->conformsTo("Barking"));
    EXPECT_TRUE(dog->conformsTo("Coding"));
    EXPECT_FALSE(Animal::runtimeClass()->conformsTo("Barking"));
    EXPECT_EQ(dog->ownProtocols(), std::vector<std::string>{"Barking"});
}

TEST(RuntimeRegistry, ASecondRegistrationKeepsTheFirst) {
    const ClassInfo* animal = Animal::runtimeClass();
    class Impostor : public Object {};
    EXPECT_EQ(ClassDef<Impostor>("Animal").registerClass(), animal);
    EXPECT_EQ(classOf<Impostor>(), nullptr);
    EXPECT_EQ(ClassDef<Animal>("AnimalAgain").registerClass(), animal);
    EXPECT_EQ(classNamed("AnimalAgain"), nullptr);
}

TEST(RuntimeRegistry, AnUnregisteredSuperclassIsRefused) {
    class Base : public Object {};
    class Derived : public Base {};
    EXPECT_EQ(caught([] { ClassDef<Derived>("DerivedOfUnregistered").superclass<Base>(); }).name(),
              kInvalidArgumentException);
    EXPECT_EQ(classNamed("DerivedOfUnregistered"), nullptr);
}

TEST(RuntimeRegistry, AnObjectsClassIsItsNearestRegisteredClass) {
    Dog::runtimeClass();
    auto puppy = makeRef<Puppy>();
    auto plain = makeRef<Plain>();
    EXPECT_EQ(classOf(*puppy), Dog::runtimeClass());
    EXPECT_EQ(classOf(*plain), classNamed("Object"));
    EXPECT_EQ(classOf(*makeRef<Dog>()), Dog::runtimeClass());
    // A class registered after the first lookup is found from then on (the registry outlives a
    // repeated run of this test, which then finds it registered already).
    class Late : public Puppy {};
    auto late = makeRef<Late>();
    if (!classNamed("LatePuppy")) {
        EXPECT_EQ(classOf(*late), Dog::runtimeClass());
    }
    const ClassInfo* lateClass = ClassDef<Late>("LatePuppy").superclass<Dog>().registerClass();
    EXPECT_EQ(classOf(*late), lateClass);
}

TEST(RuntimeRegistry, ClassNamesOfObjectsAreTheRegisteredNames) {
    RecordImpl::runtimeClass();
    Dog::runtimeClass();
    auto record = makeRef<RecordImpl>();
    EXPECT_EQ(classNameOf(*record), "TestRecord");
    // An unregistered subclass keeps its own (C++) name.
    EXPECT_EQ(makeRef<Puppy>()->className(), "Puppy");
    EXPECT_EQ(record->description(), "<TestRecord: " + addressText(record.get()) + ">");
}

TEST(RuntimeRegistry, KindAndMemberTests) {
    Dog::runtimeClass();
    auto puppy = makeRef<Puppy>();
    auto dog = makeRef<Dog>();
    EXPECT_TRUE(isKindOf(*puppy, "Dog"));
    EXPECT_TRUE(isKindOf(*puppy, "Animal"));
    EXPECT_FALSE(isKindOf(*puppy, "Kinds"));
    EXPECT_FALSE(isMemberOf(*puppy, "Dog"));
    EXPECT_TRUE(isMemberOf(*dog, "Dog"));
    EXPECT_FALSE(isMemberOf(*dog, "Animal"));
}

TEST(RuntimeRegistry, ValuesHaveTheClassesOfTheirKinds) {
    Animal::runtimeClass();
    struct Case {
        Value value;
        const char* className;
    };
    const Case cases[] = {
        {Value("text"), "String"},
        {Value(3), "Number"},
        {Value(true), "Number"},
        {Value(Decimal::fromString("1.5")), "DecimalNumber"},
        {Value::data("ab"), "Data"},
        {Value(Date::fromSince1970(0)), "Date"},
        {Value::array({1}), "Array"},
        {Value::dictionary({{"a", 1}}), "Dictionary"},
        {Value::null(), "Null"},
        {Value(makeRef<Animal>()), "Animal"},
    };
    for (const Case& c : cases) {
        const ClassInfo* cls = classOfValue(c.value);
        ASSERT_NE(cls, nullptr) << c.className;
        EXPECT_EQ(cls->name(), c.className);
        EXPECT_EQ(classNamed(c.className), cls);
    }
    EXPECT_EQ(classOfValue(Value()), nullptr);
    EXPECT_TRUE(classOfValue(Value(Decimal::fromString("2")))->isSubclassOf("Number"));
    EXPECT_TRUE(classOfValue(Value(2))->isSubclassOf("Value"));
    EXPECT_FALSE(classOfValue(Value("2"))->isSubclassOf("Value"));
}

template <int N>
class Generated : public Object {};

template <int... N>
void registerGenerated(std::integer_sequence<int, N...>, std::vector<const ClassInfo*>& out) {
    (out.push_back(ClassDef<Generated<N>>("Generated" + std::to_string(N)).factory().registerClass()), ...);
}

TEST(RuntimeRegistry, LookupsRunSafelyWhileClassesAreRegistered) {
    Dog::runtimeClass();
    std::atomic<bool> done{false};
    std::vector<std::thread> readers;
    std::atomic<int> misses{0};
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&] {
            auto puppy = makeRef<Puppy>();
            auto g = makeRef<Generated<63>>();
            while (!done.load()) {
                if (classNamed("Dog") != Dog::runtimeClass()) ++misses;
                if (classOf(*puppy) != Dog::runtimeClass()) ++misses;
                if (puppy->className() != "Puppy") ++misses;
                const ClassInfo* gc = classOf(*g);
                if (!gc || (gc->name() != "Object" && gc->name() != "Generated63")) ++misses;
                classNamed("Generated17");
            }
        });
    }
    std::vector<const ClassInfo*> registered;
    registerGenerated(std::make_integer_sequence<int, 64>(), registered);
    done = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(misses.load(), 0);
    for (int i = 0; i < 64; ++i) {
        ASSERT_EQ(classNamed("Generated" + std::to_string(i)), registered[static_cast<std::size_t>(i)]);
    }
    EXPECT_EQ(classOf(*makeRef<Generated<63>>())->name(), "Generated63");
}

}  // namespace
}  // namespace lv::test
