// Named hooks and selector names, per-class associated storage, property-set observers and the
// run-once registry.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "platform/runtime/fixtures.h"
#include "support/scoped_resolver.h"

namespace lv::test {
namespace {

// A run-once name not used before in this process (tests may be repeated).
std::string freshName(const std::string& base) {
    static std::atomic<int> counter{0};
    return "runtime-test." + base + "." + std::to_string(counter++);
}

TEST(RuntimeHooks, ClassHooksAreFoundThroughSuperclassesNearestFirst) {
    const ClassInfo* dog = Dog::runtimeClass();
    const ClassInfo* animal = Animal::runtimeClass();
    const auto* kingdom = dog->findClassHook<std::string()>("kingdom");
    ASSERT_NE(kingdom, nullptr);
    EXPECT_EQ((*kingdom)(), "dogs");
    const auto* animalKingdom = animal->findClassHook<std::string()>("kingdom");
    ASSERT_NE(animalKingdom, nullptr);
    EXPECT_EQ((*animalKingdom)(), "animals");
    const auto* twice = dog->findClassHook<int(int)>("twice");
    ASSERT_NE(twice, nullptr);
    EXPECT_EQ((*twice)(21), 42);
    EXPECT_TRUE(dog->respondsToClassHook("twice"));
    EXPECT_FALSE(dog->respondsToClassHook("thrice"));
    EXPECT_EQ(dog->findClassHook<int()>("missing"), nullptr);
    // A hook of another signature is absent.
    EXPECT_EQ(dog->findClassHook<int(double)>("twice"), nullptr);
    EXPECT_EQ(dog->findInstanceHook<bool(Object&, Value&)>("validateTricks:error:"), nullptr);
    EXPECT_TRUE(dog->respondsToInstanceHook("validateTricks:error:"));
}

TEST(RuntimeHooks, MemberFunctionsBecomeInstanceHooks) {
    const ClassInfo* dog = Dog::runtimeClass();
    auto d = makeRef<Dog>();
    const auto* bark = dog->findInstanceHook<std::string(Object&, int)>("bark:");
    ASSERT_NE(bark, nullptr);
    EXPECT_EQ((*bark)(*d, 2), "woofwoof");
    const auto* validate = dog->findInstanceHook<ValidateHook>("validateTricks:error:");
    ASSERT_NE(validate, nullptr);
    Value v("sit");
    EXPECT_TRUE((*validate)(*d, v, nullptr));
    EXPECT_TRUE(d->validateCalled);
    // Called with an object of another class, the hook refuses instead of misreading it.
    auto animal = makeRef<Animal>();
    EXPECT_THROW((*bark)(*animal, 1), Exception);
}

TEST(RuntimeHooks, TheDefiningClassOfAnInstanceHook) {
    const ClassInfo* dog = Dog::runtimeClass();
    class Hound : public Dog {};
    const ClassInfo* hound = ClassDef<Hound>("Hound").superclass<Dog>().registerClass();
    EXPECT_EQ(hound->classDefiningInstanceHook("bark:"), dog);
    EXPECT_EQ(dog->classDefiningInstanceHook("bark:"), dog);
    EXPECT_EQ(Animal::runtimeClass()->classDefiningInstanceHook("bark:"), nullptr);
}

TEST(RuntimeHooks, InstancesRespondToHooksAndPropertyAccessors) {
    const ClassInfo* kinds = Kinds::runtimeClass();
    EXPECT_TRUE(kinds->instancesRespondTo("text"));
    EXPECT_TRUE(kinds->instancesRespondTo("setText:"));
    EXPECT_TRUE(kinds->instancesRespondTo("isVisible"));
    EXPECT_TRUE(kinds->instancesRespondTo("setVisible:"));
    EXPECT_FALSE(kinds->instancesRespondTo("visible"));
    EXPECT_TRUE(kinds->instancesRespondTo("count"));
    EXPECT_FALSE(kinds->instancesRespondTo("setCount:"));  // read-only
    EXPECT_FALSE(kinds->instancesRespondTo("setIsEmpty:"));
    auto dog = makeRef<Dog>();
    EXPECT_TRUE(respondsTo(*dog, "bark:"));
    EXPECT_TRUE(respondsTo(*dog, "isTame"));
    EXPECT_FALSE(respondsTo(*dog, "meow"));
}

TEST(RuntimeSelectorNames, TheKeysFirstCharacterIsUpperCased) {
    struct Case {
        const char* prefix;
        const char* key;
        const char* suffix;
        const char* expected;
    };
    const Case cases[] = {
        {"validate", "name", ":error:", "validateName:error:"},
        {"merge", "title", "FromModel:", "mergeTitleFromModel:"},
        {"decode", "update_time", "WithCoder:modelVersion:", "decodeUpdate_timeWithCoder:modelVersion:"},
        {"import", "Already", ":", "importAlready:"},
        {"import", "1st", ":", "import1st:"},
        {"import", "_id", ":", "import_id:"},
        {"import", "", ":", "import:"},
        // Full case mapping: the upper-case form may be longer than the character.
        {"decode", "\xC3\x9F" "eta", ":", "decodeSSeta:"},                          // ß
        {"merge", "\xEF\xAC\x81le", ":", "mergeFIle:"},                               // ﬁ ligature
        {"validate", "\xCE\xB1\xCE\xBB", ":error:", "validate\xCE\x91\xCE\xBB:error:"},  // αλ → Αλ
        {"set", "\xC7\x86x", ":", "set\xC7\x84x:"},                                    // ǆ → Ǆ, not the title form
        {"set", "\xF0\x90\x90\xA8x", ":", "set\xF0\x90\x90\x80x:"},                    // outside the BMP
    };
    for (const Case& c : cases) {
        EXPECT_EQ(selectorName(c.prefix, c.key, c.suffix), c.expected) << c.key;
    }
}

TEST(RuntimeAssociations, EachClassHasItsOwnStorage) {
    static const char kCache = 0;
    const ClassInfo* dog = Dog::runtimeClass();
    const ClassInfo* animal = Animal::runtimeClass();
    animal->setAssociatedValue(&kCache, Value("animal cache"));
    EXPECT_TRUE(dog->associatedValue(&kCache).isNil());
    dog->setAssociatedValue(&kCache, Value("dog cache"));
    EXPECT_EQ(animal->associatedValue(&kCache), Value("animal cache"));
    EXPECT_EQ(dog->associatedValue(&kCache), Value("dog cache"));
    dog->setAssociatedValue(&kCache, Value());
    EXPECT_TRUE(dog->associatedValue(&kCache).isNil());
    EXPECT_EQ(animal->associatedValue(&kCache), Value("animal cache"));
    animal->setAssociatedValue(&kCache, Value());
}

TEST(RuntimeAssociations, StorageIsSafeAcrossThreads) {
    static const char kKeys[4] = {};
    const ClassInfo* kinds = Kinds::runtimeClass();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([kinds, t] {
            for (int i = 0; i < 500; ++i) {
                kinds->setAssociatedValue(&kKeys[t], Value(i));
                kinds->associatedValue(&kKeys[(t + 1) % 4]);
            }
        });
    }
    for (auto& th : threads) th.join();
    for (const char& key : kKeys) EXPECT_EQ(kinds->associatedValue(&key), Value(499));
}

// An object's first associated value, set on one thread, is what another thread reads once told; an
// object never given one reads nil, and so does one whose only value was removed.
TEST(RuntimeAssociations, AFirstValueSetOnOneThreadIsSeenByAnother) {
    static const char kKey = 0;
    std::vector<Ref<Object>> objects;
    for (int i = 0; i < 50; ++i) objects.push_back(makeRef<Object>());
    for (const auto& object : objects) EXPECT_TRUE(object->associatedValue(&kKey).isNil());
    std::promise<void> set;
    std::thread writer([&] {
        for (std::size_t i = 0; i < objects.size(); ++i) objects[i]->setAssociatedValue(&kKey, Value(static_cast<std::int64_t>(i)));
        set.set_value();
    });
    set.get_future().get();
    for (std::size_t i = 0; i < objects.size(); ++i) {
        EXPECT_EQ(objects[i]->associatedValue(&kKey), Value(static_cast<std::int64_t>(i)));
    }
    writer.join();
    objects[0]->setAssociatedValue(&kKey, Value());
    EXPECT_TRUE(objects[0]->associatedValue(&kKey).isNil());
    static const char kOtherKey = 0;
    EXPECT_TRUE(objects[1]->associatedValue(&kOtherKey).isNil());
}

TEST(RuntimePropertyObservers, EverySetOfAMemberPropertyIsAnnounced) {
    Dog::runtimeClass();
    auto dog = makeRef<Dog>();
    std::vector<std::string> heard;
    std::uint64_t token = addPropertyObserver(*dog, [&](Object& o, const std::string& key) {
        EXPECT_EQ(&o, dog.get());
        heard.push_back(key);
    });
    setValueForKey(*dog, Value("Rex"), "name");
    setValueForKey(*dog, Value("Rex"), "name");  // the same value is announced again
    setValueForKey(*dog, Value(2), "legs");
    Dog::runtimeClass()->findProperty("tricks")->set(*dog, Value());
    EXPECT_EQ(heard, (std::vector<std::string>{"name", "name", "legs", "tricks"}));
    removePropertyObserver(*dog, token);
    setValueForKey(*dog, Value("Max"), "name");
    EXPECT_EQ(heard.size(), 4u);
}

TEST(RuntimePropertyObservers, AccessorSettersAnnounceThemselves) {
    Kinds::runtimeClass();
    auto k = makeRef<Kinds>();
    int heard = 0;
    addPropertyObserver(*k, [&](Object&, const std::string&) { ++heard; });
    setValueForKey(*k, Value(true), "visible");  // its setter does not announce
    EXPECT_EQ(heard, 0);
    didSetProperty(*k, "visible");
    EXPECT_EQ(heard, 1);
    // A failed set announces nothing.
    EXPECT_THROW(setValueForKey(*k, Value(), "int32"), Exception);
    EXPECT_EQ(heard, 1);
}

TEST(RuntimePropertyObservers, AnObserverMayRemoveItselfWhileCalled) {
    Animal::runtimeClass();
    auto animal = makeRef<Animal>();
    int calls = 0;
    std::uint64_t token = 0;
    token = addPropertyObserver(*animal, [&](Object& o, const std::string&) {
        ++calls;
        removePropertyObserver(o, token);
    });
    setValueForKey(*animal, Value("a"), "name");
    setValueForKey(*animal, Value("b"), "name");
    EXPECT_EQ(calls, 1);
}

TEST(RuntimeRunOnce, RunsOnceAndLaterCallersWaitForTheEnd) {
    std::atomic<int> runs{0};
    std::atomic<bool> finished{false};
    std::atomic<int> sawUnfinished{0};
    std::mutex m;
    std::condition_variable cv;
    int started = 0;
    const std::string name = freshName("once");
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            {
                std::unique_lock lock(m);
                ++started;
                cv.notify_all();
                cv.wait(lock, [&] { return started == 8; });
            }
            runOnce(name, [&] {
                ++runs;
                finished = true;
            });
            if (!finished.load()) ++sawUnfinished;
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(runs.load(), 1);
    EXPECT_EQ(sawUnfinished.load(), 0);
    runOnce(name, [&] { ++runs; });
    EXPECT_EQ(runs.load(), 1);
}

TEST(RuntimeRunOnce, AThrowingSetUpRunsAgainNextTime) {
    const std::string name = freshName("throws");
    int runs = 0;
    EXPECT_THROW(runOnce(name, [&] {
                     ++runs;
                     throw std::runtime_error("not yet");
                 }),
                 std::runtime_error);
    runOnce(name, [&] { ++runs; });
    runOnce(name, [&] { ++runs; });
    EXPECT_EQ(runs, 2);
    // Names are independent.
    bool other = false;
    runOnce(freshName("other"), [&] { other = true; });
    EXPECT_TRUE(other);
}

// Classes of their own, so that what the side table gains here stays apart from other tests.
class Vessel : public Object {
public:
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = ClassDef<Vessel>("RuntimeTestVessel")
                                          .classMethod("registered", +[] { return 1; })
                                          .registerClass();
        return cls;
    }
};
class Boat : public Vessel {
public:
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = ClassDef<Boat>("RuntimeTestBoat").superclass<Vessel>().registerClass();
        return cls;
    }
};

TEST(RuntimeMethodResolution, AddedHooksAreInheritedAndNeverReplaceAnOwnHook) {
    const ClassInfo* vessel = Vessel::runtimeClass();
    const ClassInfo* boat = Boat::runtimeClass();
    addHook(vessel, HookSide::Class, "sail", std::any(std::function<int(int)>([](int n) { return n + 1; })));
    // The class's own hook of the name, registered or added, keeps its place.
    EXPECT_FALSE(addHook(vessel, HookSide::Class, "registered", std::any(std::function<int()>([] { return 2; }))));
    EXPECT_FALSE(addHook(vessel, HookSide::Class, "sail", std::any(std::function<int(int)>([](int) { return 0; }))));
    const auto* sail = boat->findClassHook<int(int)>("sail");
    ASSERT_NE(sail, nullptr);
    EXPECT_EQ((*sail)(1), 2);
    const auto* registered = vessel->findClassHook<int()>("registered");
    ASSERT_NE(registered, nullptr);
    EXPECT_EQ((*registered)(), 1);
    EXPECT_EQ(boat->findInstanceHook<int(int)>("sail"), nullptr);  // sides are apart
}

TEST(RuntimeMethodResolution, AMissedLookupAsksTheNearestResolverOnceAndLooksAgain) {
    const ClassInfo* vessel = Vessel::runtimeClass();
    const ClassInfo* boat = Boat::runtimeClass();
    std::vector<std::string> asked;
    // Put back however the test ends: this resolver writes into a local.
    const ScopedMethodResolver resolver(vessel, HookSide::Instance, [&](const ClassInfo& receiver, std::string_view name) {
        asked.push_back(receiver.name() + " " + std::string(name));
        // Looking the same name up again from inside the resolver does not recurse.
        EXPECT_FALSE(receiver.respondsToInstanceHook(name));
        if (name != "anchor") return false;
        return addHook(&receiver, HookSide::Instance, std::string(name), std::any(std::function<int(Object&)>([](Object&) { return 7; })));
    });
    EXPECT_FALSE(resolver.previous());
    const auto* anchor = boat->findInstanceHook<int(Object&)>("anchor");
    ASSERT_NE(anchor, nullptr);
    Boat b;
    EXPECT_EQ((*anchor)(b), 7);
    EXPECT_TRUE(boat->instancesRespondTo("anchor"));
    EXPECT_FALSE(boat->instancesRespondTo("drift"));
    EXPECT_EQ(asked, (std::vector<std::string>{"RuntimeTestBoat anchor", "RuntimeTestBoat drift"}));
    EXPECT_TRUE(methodResolver(boat, HookSide::Instance));  // inherited
    EXPECT_FALSE(methodResolver(boat, HookSide::Class));
    // Removing the resolver hands it back; the added hook stays.
    EXPECT_TRUE(setMethodResolver(vessel, HookSide::Instance, nullptr));
    EXPECT_FALSE(methodResolver(boat, HookSide::Instance));
    EXPECT_NE(boat->findInstanceHook<int(Object&)>("anchor"), nullptr);
}

TEST(RuntimeMethodResolution, AddingAndLookingUpFromManyThreadsIsSafe) {
    const ClassInfo* boat = Boat::runtimeClass();
    std::vector<std::thread> threads;
    std::atomic<int> found{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                const std::string name = "oar" + std::to_string(t) + "_" + std::to_string(i);
                addHook(boat, HookSide::Class, name, std::any(std::function<int()>([i] { return i; })));
                if (const auto* fn = boat->findClassHook<int()>(name); fn && (*fn)() == i) ++found;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(found.load(), 200);
}

}  // namespace
}  // namespace lv::test
