// State shared by threads: per-class key caches, the named-transformer registry, an adapter's nested
// adapters and a nested-model transformer's adapter, each first filled by racing threads.
#include <gtest/gtest.h>

#include <latch>
#include <thread>
#include <vector>

#include "sample_models.h"

namespace lv {
namespace {

constexpr std::size_t kThreads = 8;

// Runs body(i) on kThreads threads released together.
template <class Body>
void onThreads(Body body) {
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            body(i);
        });
    }
    for (std::thread& t : threads) t.join();
}

// Used by no other test, so that its caches are first filled here.
class RacedModel : public JMModel {
public:
    RacedModel() { runtimeClass(); }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = test::jsonModel<RacedModel>("RacedModel", {{"a", "a"}, {"b", "x.b"}, {"c", "c"}})
                                          .property("a", &RacedModel::a_, "String", "C,N")
                                          .property("b", &RacedModel::b_, "Number", "&,N")
                                          .property("c", &RacedModel::c_, "N")
                                          .registerClass();
        return cls;
    }
    Value a_, b_;
    bool c_ = false;
};

TEST(Concurrency, KeyCachesAndNamedTransformers) {
    std::vector<const JMKeySet*> keys(kThreads);
    std::vector<Ref<RacedModel>> models(kThreads);
    std::vector<Ref<ValueTransformer>> found(kThreads);
    onThreads([&](std::size_t i) {
        keys[i] = &JMModel::permanentPropertyKeys(RacedModel::runtimeClass());
        models[i] = JMJSONAdapter::modelOfClass<RacedModel>(
            Value::dictionary({{"a", "t"}, {"x", Value::dictionary({{"b", static_cast<int>(i)}})}, {"c", 1}}), nullptr);
        found[i] = ValueTransformer::valueTransformerForName(JMBooleanValueTransformerName);
        ValueTransformer::setValueTransformer(models[i] ? found[i] : nullptr, "RacedName" + std::to_string(i));
    });
    for (std::size_t i = 0; i < kThreads; ++i) {
        EXPECT_EQ(keys[i], keys[0]);
        ASSERT_NE(models[i], nullptr);
        EXPECT_EQ(models[i]->b_, Value(static_cast<int>(i)));
        EXPECT_EQ(found[i], found[0]);
        EXPECT_EQ(ValueTransformer::valueTransformerForName("RacedName" + std::to_string(i)), found[0]);
    }
    EXPECT_EQ(keys[0]->size(), 3u);
}

TEST(Concurrency, NestedAdaptersAreSharedOnePerClass) {
    auto adapter = JMJSONAdapter::adapterWithModelClass(test::Shape::runtimeClass());
    auto pets = JMJSONAdapter::dictionaryTransformerWithModelClass(test::Pet::runtimeClass());
    std::vector<Ref<JMJSONAdapter>> nested(kThreads);
    std::vector<Ref<JMModel>> circles(kThreads);
    std::vector<Value> results(kThreads);
    onThreads([&](std::size_t i) {
        const int n = static_cast<int>(i);
        nested[i] = adapter->JSONAdapterForModelClass(test::Circle::runtimeClass(), nullptr);
        circles[i] = adapter->modelFromJSONDictionary(Value::dictionary({{"kind", "circle"}, {"r", n}}), nullptr);
        bool success = true;
        results[i] = pets->transformedValue(Value::dictionary({{"name", std::to_string(i)}}), &success, nullptr);
    });
    for (std::size_t i = 0; i < kThreads; ++i) {
        EXPECT_EQ(nested[i], nested[0]);
        auto circle = std::dynamic_pointer_cast<test::Circle>(circles[i]);
        ASSERT_NE(circle, nullptr);
        EXPECT_EQ(circle->radius_, Value(static_cast<int>(i)));
        auto pet = results[i].objectAs<test::Pet>();
        ASSERT_NE(pet, nullptr);
        EXPECT_EQ(pet->name_, Value(std::to_string(i)));
    }
}

}  // namespace
}  // namespace lv
