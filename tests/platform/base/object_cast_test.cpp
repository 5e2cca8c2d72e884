// objectCast: the remembered cast must give what dynamic_cast gives, for every type it has seen.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/base/object.h"

namespace lv {
namespace {

// A second base ahead of Object in the layout, so Object and Marked sit at different offsets.
struct Padding {
    virtual ~Padding() = default;
    char bytes[24] = {};
};
struct Marked {
    virtual ~Marked() = default;
    int mark = 7;
};
class Plain : public Object {};
class Both : public Padding, public Object, public Marked {};
template <int N>
class Numbered : public Object, public Marked {
public:
    Numbered() { mark = N; }
};
// Marked twice: the cast is ambiguous and gives null, as dynamic_cast does.
class Twice : public Numbered<1>, public Numbered<2> {};

template <class T>
void expectSameAsDynamicCast(const Object* object) {
    const T* expected = dynamic_cast<const T*>(object);
    for (int pass = 0; pass < 3; ++pass) EXPECT_EQ(objectCast<T>(object), expected) << typeid(*object).name();
}

TEST(ObjectCast, GivesWhatDynamicCastGivesWhileTypesComeAndGo) {
    auto both = makeRef<Both>();
    auto plain = makeRef<Plain>();
    auto one = makeRef<Numbered<1>>();
    auto three = makeRef<Numbered<3>>();
    auto four = makeRef<Numbered<4>>();
    auto five = makeRef<Numbered<5>>();
    auto twice = makeRef<Twice>();
    const std::vector<const Object*> objects = {both.get(), plain.get(), one.get(), three.get(), four.get(),
                                                five.get(), static_cast<const Numbered<1>*>(twice.get())};
    // More types than the remembered ones, in turns, so entries are replaced and found again.
    for (int round = 0; round < 3; ++round) {
        for (const Object* object : objects) {
            expectSameAsDynamicCast<Marked>(object);
            expectSameAsDynamicCast<Padding>(object);
            expectSameAsDynamicCast<Numbered<3>>(object);
        }
    }
    EXPECT_EQ(objectCast<Marked>(both.get())->mark, 7);
    EXPECT_EQ(objectCast<Marked>(five.get())->mark, 5);
    EXPECT_EQ(objectCast<Marked>(static_cast<const Object*>(nullptr)), nullptr);
}

TEST(ObjectCast, AReferenceSharesOwnership) {
    Ref<Object> object = makeRef<Both>();
    Ref<Marked> marked = objectCast<Marked>(object);
    ASSERT_NE(marked, nullptr);
    EXPECT_EQ(marked.get(), dynamic_cast<Marked*>(object.get()));
    object.reset();
    EXPECT_EQ(marked->mark, 7);  // still owned through the cast
    EXPECT_EQ(objectCast<Padding>(Ref<Object>(makeRef<Plain>())), nullptr);
    EXPECT_EQ(objectCast<Padding>(Ref<Object>()), nullptr);
}

TEST(ObjectCast, EachThreadRemembersItsOwn) {
    auto both = makeRef<Both>();
    auto plain = makeRef<Plain>();
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 10000; ++i) {
                const Object* object = (i + t) % 2 ? static_cast<const Object*>(both.get()) : plain.get();
                if (objectCast<Marked>(object) != dynamic_cast<const Marked*>(object)) ++wrong[t];
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace lv
